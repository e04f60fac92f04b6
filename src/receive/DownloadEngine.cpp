#include "receive/DownloadEngine.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <random>
#include <stop_token>

#include "archive/MergeJob.h"
#include "archive/SegmentBounds.h"
#include "base/RetryBackoff.h"
#include "base/SecretMemory.h"
#include "receive/AttachmentName.h"
#include "receive/GzipBody.h"
#include "receive/ProviderTable.h"
#include "receive/ReceivedFiles.h"

namespace dtl {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr char kUserAgent[] = "Mozilla/4.0 (compatible; MSIE 5.5; Windows NT 5.0)";
constexpr long kConnectTimeoutMs = 100000;
constexpr auto kPageMarkerPause = std::chrono::milliseconds(3000);
constexpr uint64_t kKbLimit = 1024000;

std::string Format(const char* fmt, double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, fmt, v);
  return buf;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool IEquals(const std::string& a, const char* b) { return Lower(a) == b; }

bool WriteAll(int fd, const uint8_t* data, size_t size) {
  while (size) {
    ssize_t w = ::write(fd, data, size);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    data += w;
    size -= static_cast<size_t>(w);
  }
  return true;
}

class NullMergeObserver : public MergeObserver {};

// Why an attempt ended.
enum class AttemptEnd { Saved, Failed, ProviderPage, LoginFailed, Stopped };

// The logins the observer gave in this run. A server's login is kept under its origin and sent
// to that origin alone: left on the handle, it would go to every host a later item names.
struct Logins {
  std::map<std::string, HttpCredentials> servers;
  std::optional<HttpCredentials> proxy;
};

// The state of one attempt, shared with libcurl's callbacks.
struct Attempt {
  CURL* handle = nullptr;
  int fd = -1;
  const std::stop_token* stop = nullptr;
  DownloadObserver* observer = nullptr;
  const std::string* marker = nullptr;
  Logins* logins = nullptr;
  std::function<Clock::time_point()> now;
  Clock::time_point fileStart;
  uint64_t* totalBytes = nullptr;
  uint64_t largest = kLargestSegmentArchive;  // the item's bound (LargestAttachment)

  // Per response.
  bool gzipHeader = false;  // Content-Encoding of the response at hand
  bool started = false;     // the first body byte was seen
  long status = 0;
  int64_t announced = -1;
  std::unique_ptr<GzipBody> gzip;
  std::string markerTail;  // the last marker.size()-1 decoded bytes, for split markers
  uint64_t fileBytes = 0;
  bool markerHit = false;
  bool writeFailed = false;
  std::string failure;  // why the body was refused

  void ResetResponse() {
    gzipHeader = false;
    started = false;
    status = 0;
    announced = -1;
    gzip.reset();
    markerTail.clear();
    fileBytes = 0;
    markerHit = false;
    writeFailed = false;
    failure.clear();
  }

  // The provider's page is recognised in the decoded bytes, also when its marker straddles
  // two reads.
  bool HoldsMarker(const uint8_t* data, size_t size) {
    if (!marker || marker->empty()) return false;
    const std::string& m = *marker;
    std::string_view chunk(reinterpret_cast<const char*>(data), size);
    if (!markerTail.empty()) {
      std::string seam = markerTail;
      seam.append(chunk.substr(0, std::min(chunk.size(), m.size() - 1)));
      if (seam.find(m) != std::string::npos) return true;
    }
    if (chunk.find(m) != std::string_view::npos) return true;
    size_t keep = m.size() - 1;
    if (chunk.size() >= keep) {
      markerTail.assign(chunk.substr(chunk.size() - keep));
    } else {
      markerTail.append(chunk);
      if (markerTail.size() > keep) markerTail.erase(0, markerTail.size() - keep);
    }
    return false;
  }

  bool Store(const uint8_t* data, size_t size) {
    if (HoldsMarker(data, size)) {
      markerHit = true;
      return false;
    }
    // Nothing larger than a segment archive (or a recovery file) is ever downloaded.
    if (size > largest - fileBytes) {
      failure = largest == kLargestSegmentArchive ? "the answer is larger than any segment"
                                                  : "the answer is larger than any recovery file";
      return false;
    }
    if (!WriteAll(fd, data, size)) {
      writeFailed = true;
      failure = std::string("writing the file failed: ") + std::strerror(errno);
      return false;
    }
    fileBytes += size;
    *totalBytes += size;
    observer->OnBytes(fileBytes, *totalBytes, announced);
    // The display shows whole seconds, rounded; nothing is shown during the first half second.
    double secs = std::chrono::duration<double>(now() - fileStart).count();
    auto seconds = static_cast<int64_t>(secs + 0.5);
    if (seconds > 0) {
      DownloadDisplay d{RateText(fileBytes, seconds), ByteCountText(fileBytes),
                        ByteCountText(*totalBytes)};
      observer->OnDisplay(d);
    }
    return true;
  }

  size_t OnBody(const char* data, size_t size) {
    if (!started) {
      started = true;
      curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
      // Anything but the attachment itself (an error page, an authentication request) is
      // never written to the segment's file.
      if (status != 200) return 0;
      curl_off_t len = -1;
      if (curl_easy_getinfo(handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &len) == CURLE_OK)
        announced = len;
      if (gzipHeader) gzip = std::make_unique<GzipBody>();
    }
    if (stop->stop_requested()) return 0;
    auto* bytes = reinterpret_cast<const uint8_t*>(data);
    if (gzip) {
      bool ok = gzip->Feed(bytes, size, [this](const uint8_t* d, size_t n) { return Store(d, n); });
      if (!ok && failure.empty() && !markerHit) failure = gzip->Error();
      return ok ? size : 0;
    }
    return Store(bytes, size) ? size : 0;
  }

  void OnHeaderLine(const char* data, size_t size) {
    std::string line(data, size);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    // A new status line starts a new response (a redirect or an interim answer came first).
    if (line.rfind("HTTP/", 0) == 0) {
      gzipHeader = false;
      return;
    }
    size_t colon = line.find(':');
    if (colon == std::string::npos) return;
    if (!IEquals(line.substr(0, colon), "content-encoding")) return;
    std::string value = line.substr(colon + 1);
    size_t b = value.find_first_not_of(" \t");
    size_t e = value.find_last_not_of(" \t");
    value = b == std::string::npos ? std::string() : value.substr(b, e - b + 1);
    gzipHeader = IEquals(value, "gzip") || IEquals(value, "x-gzip");
  }
};

size_t BodyCallback(char* data, size_t size, size_t n, void* user) {
  return static_cast<Attempt*>(user)->OnBody(data, size * n);
}

size_t HeaderCallback(char* data, size_t size, size_t n, void* user) {
  static_cast<Attempt*>(user)->OnHeaderLine(data, size * n);
  return size * n;
}

int ProgressCallback(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<Attempt*>(user)->stop->stop_requested() ? 1 : 0;
}

// "scheme://host:port" of a URL that UrlSplits() accepted; the key of a server's login.
std::string OriginOf(const std::string& url) {
  std::string origin;
  CURLU* u = curl_url();
  char *scheme = nullptr, *host = nullptr, *port = nullptr;
  if (u && curl_url_set(u, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
      curl_url_get(u, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
      curl_url_get(u, CURLUPART_HOST, &host, 0) == CURLUE_OK &&
      curl_url_get(u, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK)
    origin = Lower(std::string(scheme) + "://" + host + ":" + port);
  curl_free(scheme);
  curl_free(host);
  curl_free(port);
  curl_url_cleanup(u);
  return origin;
}

void UseServerLogin(CURL* handle, const HttpCredentials* login) {
  curl_easy_setopt(handle, CURLOPT_USERNAME, login ? login->user.c_str() : nullptr);
  curl_easy_setopt(handle, CURLOPT_PASSWORD, login ? login->password.c_str() : nullptr);
  curl_easy_setopt(handle, CURLOPT_HTTPAUTH, login ? CURLAUTH_ANY : CURLAUTH_BASIC);
}

void UseProxyLogin(CURL* handle, const HttpCredentials& login) {
  curl_easy_setopt(handle, CURLOPT_PROXYUSERNAME, login.user.c_str());
  curl_easy_setopt(handle, CURLOPT_PROXYPASSWORD, login.password.c_str());
  curl_easy_setopt(handle, CURLOPT_PROXYAUTH, CURLAUTH_ANY);
}

// A connection the system refused or could not reach is named by the system's own words
// ("Connection refused"), which tell the user more than libcurl's generic text.
std::string TransferError(CURL* handle, CURLcode rc) {
  long osError = 0;
  if ((rc == CURLE_COULDNT_CONNECT || rc == CURLE_COULDNT_RESOLVE_PROXY) &&
      curl_easy_getinfo(handle, CURLINFO_OS_ERRNO, &osError) == CURLE_OK && osError != 0)
    return std::strerror(static_cast<int>(osError));
  return curl_easy_strerror(rc);
}

// One request and its body into the open file. A 401/407 asks the observer once per server
// (and once for the proxy) and tries again with the answer; a second refusal is final, since
// asking again would only loop on credentials the server has already turned down.
AttemptEnd FetchInto(Attempt& a, const std::string& url, std::string& reason) {
  const std::string origin = OriginOf(url);
  auto known = a.logins->servers.find(origin);
  UseServerLogin(a.handle, known == a.logins->servers.end() ? nullptr : &known->second);
  bool serverLoginSent = known != a.logins->servers.end();
  bool proxyLoginSent = a.logins->proxy.has_value();
  for (;;) {
    a.ResetResponse();
    if (::ftruncate(a.fd, 0) != 0 || ::lseek(a.fd, 0, SEEK_SET) != 0) {
      reason = std::string("the file could not be rewound: ") + std::strerror(errno);
      return AttemptEnd::Failed;
    }
    curl_easy_setopt(a.handle, CURLOPT_URL, url.c_str());
    CURLcode rc = curl_easy_perform(a.handle);
    if (a.stop->stop_requested()) return AttemptEnd::Stopped;
    if (a.markerHit) {
      reason = "the provider sent one of its pages instead of the attachment";
      return AttemptEnd::ProviderPage;
    }
    long status = a.status;
    if (!a.started) curl_easy_getinfo(a.handle, CURLINFO_RESPONSE_CODE, &status);
    if (status == 401 || status == 407) {
      const bool proxy = status == 407;
      const std::string who = proxy ? "the proxy" : "the server";
      const std::string code = " (" + std::to_string(status) + ")";
      if (proxy ? proxyLoginSent : serverLoginSent) {
        reason = url + ": " + who + " refused the login" + code;
        return AttemptEnd::LoginFailed;
      }
      auto creds = a.observer->OnAuthenticationRequired(status, url);
      if (a.stop->stop_requested()) return AttemptEnd::Stopped;
      if (!creds) {
        reason = url + ": " + who + " asks for a login" + code;
        return AttemptEnd::LoginFailed;
      }
      if (proxy) {
        a.logins->proxy = std::move(*creds);
        UseProxyLogin(a.handle, *a.logins->proxy);
        proxyLoginSent = true;
      } else {
        const HttpCredentials& kept = a.logins->servers[origin] = std::move(*creds);
        UseServerLogin(a.handle, &kept);
        serverLoginSent = true;
      }
      continue;
    }
    if (status == 0 && rc != CURLE_OK) {
      reason = TransferError(a.handle, rc);  // no answer at all
      return AttemptEnd::Failed;
    }
    if (status != 200) {
      reason = "HTTP status " + std::to_string(status);
      return AttemptEnd::Failed;
    }
    if (!a.failure.empty()) {
      reason = a.failure;
      return AttemptEnd::Failed;
    }
    if (rc != CURLE_OK) {
      reason = TransferError(a.handle, rc);
      return AttemptEnd::Failed;
    }
    if (a.gzipHeader) {
      // A 200 without any body never created the decoder; an empty gzip body is no body.
      if (!a.gzip || !a.gzip->Complete()) {
        reason = a.gzip ? a.gzip->TruncationError() : "the gzip body is empty";
        return AttemptEnd::Failed;
      }
    }
    return AttemptEnd::Saved;
  }
}

bool UrlSplits(const std::string& url) {
  CURLU* u = curl_url();
  if (!u) return false;
  bool ok = curl_url_set(u, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK;
  char* host = nullptr;
  if (ok) ok = curl_url_get(u, CURLUPART_HOST, &host, 0) == CURLUE_OK && host && *host;
  curl_free(host);
  char* scheme = nullptr;
  if (ok) {
    ok = curl_url_get(u, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK && scheme &&
         (std::strcmp(scheme, "http") == 0 || std::strcmp(scheme, "https") == 0);
  }
  curl_free(scheme);
  curl_url_cleanup(u);
  return ok;
}

}  // namespace

std::string ReplaceCountdown::Text() const {
  char buf[64];
  std::snprintf(buf, sizeof buf, "Delaying %d seconds before overwrite.", count_);
  return buf;
}

bool ReplaceCountdown::Tick() {
  if (count_ < 1) return true;
  --count_;
  return false;
}

std::optional<std::string> DownloadUrl(int providerId, const std::string& host,
                                       const std::string& key,
                                       const std::function<uint32_t()>& random) {
  const ProviderInfo* provider = FindProvider(providerId);
  if (!provider) return std::nullopt;
  if (!provider->download) return key;
  if (providerId == kProviderYahoo)
    return FormatUrl(provider->download, host.c_str(), key.c_str(), RandomDigits(random).c_str());
  return FormatUrl(provider->download, host.c_str(), key.c_str());
}

std::string ByteCountText(uint64_t bytes) {
  if (bytes <= kKbLimit) return Format("%0.2f KB", static_cast<double>(bytes) / 1024.0);
  return Format("%0.2f MB", static_cast<double>(bytes) / 1048576.0);
}

std::string RateText(uint64_t bytes, int64_t seconds) {
  return Format("%0.2f KB/s", static_cast<double>(bytes) / (static_cast<double>(seconds) * 1024.0));
}

std::string ElapsedText(int64_t seconds) {
  if (seconds < 0) seconds = 0;
  char buf[64];
  int64_t days = seconds / 86400, rest = seconds % 86400;
  int h = static_cast<int>(rest / 3600), m = static_cast<int>(rest / 60 % 60),
      s = static_cast<int>(rest % 60);
  // Whole days are counted from 0: a span of 25 hours is one day and one hour.
  if (days == 0)
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", h, m, s);
  else
    std::snprintf(buf, sizeof buf, "%lld:%02d:%02d:%02d", static_cast<long long>(days), h, m, s);
  return buf;
}

DownloadEngine::Summary DownloadEngine::Run(const Params& params, DownloadObserver& observer,
                                            std::stop_token stop) {
  Summary result;
  auto now = params.now ? params.now : [] { return Clock::now(); };
  auto wait = params.wait ? params.wait : WaitUnlessStopped;
  std::random_device device;
  auto random =
      params.random ? params.random : [&device] { return static_cast<uint32_t>(device()); };

  curl_global_init(CURL_GLOBAL_DEFAULT);
  CURL* handle = curl_easy_init();
  if (!handle) {
    observer.OnRateCleared();
    result.outcome = Outcome::SessionFailed;
    return result;
  }

  Attempt attempt;
  attempt.handle = handle;
  attempt.stop = &stop;
  attempt.observer = &observer;
  const ProviderInfo* provider = FindProvider(params.providerId);
  const std::string marker = provider && provider->pageMarker ? provider->pageMarker : "";
  attempt.marker = &marker;
  Logins logins;
  attempt.logins = &logins;
  attempt.now = now;
  attempt.totalBytes = &result.totalBytes;

  curl_slist* headers = nullptr;
  headers = curl_slist_append(headers, "Accept: */*");
  headers = curl_slist_append(headers, "Connection: Keep-Alive");
  headers = curl_slist_append(headers, "Accept-Encoding: gzip, x-gzip, identity, *;q=0");
  curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(handle, CURLOPT_USERAGENT, kUserAgent);
  curl_easy_setopt(handle, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_0);
  curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
  // A wait for each read alone would let a server that trickles hold the run for ever.
  curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, params.limits.lowSpeedBytesPerSecond);
  curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME,
                   static_cast<long>(params.limits.lowSpeedTime.count()));
  curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(params.limits.totalTime.count()));
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  // Segments are megabytes: large reads keep the per-chunk work (marker search, inflate call,
  // write) from dominating a fast local transfer.
  curl_easy_setopt(handle, CURLOPT_BUFFERSIZE, 256L * 1024);
  curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(handle, CURLOPT_MAXREDIRS, 10L);
  // Keys and links come from remote pages: only web addresses may be fetched, never a local
  // file or another protocol a page could name, also not through a redirect.
  curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, BodyCallback);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &attempt);
  curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, HeaderCallback);
  curl_easy_setopt(handle, CURLOPT_HEADERDATA, &attempt);
  curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, ProgressCallback);
  curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &attempt);
  if (params.prepareHandle) params.prepareHandle(handle);

  observer.OnOverallRange(params.items.size());
  ReplaceMode mode = ReplaceMode::Overwrite;
  fs::path partial;  // the file of the item in progress, until it is complete
  RetryBackoff backoff;
  size_t i = 0;
  while (i < params.items.size()) {
    attempt.fileStart = now();
    if (stop.stop_requested()) break;
    const DownloadItem& item = params.items[i];
    const std::string name = SafeAttachmentName(item.fileName);
    observer.OnItemStarted(i, name);
    attempt.largest = LargestAttachment(name);
    const fs::path local = params.folder / name;
    if (Lower(fs::path(name).extension().string()) == ".dtl" &&
        std::find(result.descriptors.begin(), result.descriptors.end(), local) ==
            result.descriptors.end())
      result.descriptors.push_back(local);

    std::optional<std::string> url = DownloadUrl(params.providerId, params.host, item.key, random);
    if (!url || !UrlSplits(*url)) {
      result.outcome = Outcome::BadUrl;
      break;
    }

    std::error_code ec;
    bool exists = fs::exists(fs::symlink_status(local, ec));
    if (exists && (mode == ReplaceMode::Overwrite || mode == ReplaceMode::Skip)) {
      ReplaceMode answer = observer.ConfirmReplace(name);
      if (!stop.stop_requested()) mode = answer;
    }
    // A stop given while the question was open must leave the existing file untouched.
    if (stop.stop_requested()) break;
    if (exists && (mode == ReplaceMode::SkipAll || mode == ReplaceMode::Skip)) {
      ++result.itemsSkipped;
      observer.OnOverallStep();
      if (!stop.stop_requested()) observer.OnItemDone(item.key);
      ++i;
      continue;
    }

    // A symbolic link at the segment's path is never followed out of the folder.
    int fd = ::open(local.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) {
      observer.OnMessage(std::strerror(errno));
      result.outcome = Outcome::FileError;
      break;
    }
    partial = local;
    attempt.fd = fd;
    std::string reason;
    AttemptEnd end = FetchInto(attempt, *url, reason);
    attempt.gzip.reset();
    ::close(fd);
    attempt.fd = -1;

    if (end == AttemptEnd::Saved) {
      backoff.Reset();
      partial.clear();
      ++result.itemsSaved;
      observer.OnOverallStep();
      if (!stop.stop_requested()) observer.OnItemDone(item.key);
      ++i;
      continue;
    }
    if (end == AttemptEnd::Stopped) break;
    // The next attempt starts from nothing: a partial file left here would be taken for an
    // existing one (and skipped, under Skip All) by the retry.
    fs::remove(local, ec);
    partial.clear();
    if (end == AttemptEnd::LoginFailed) {
      result.outcome = Outcome::LoginFailed;
      result.message = reason;
      break;
    }
    ++result.attemptsFailed;
    observer.OnAttemptFailed(i, reason);
    std::chrono::milliseconds delay = backoff.NextDelay();
    if (end == AttemptEnd::ProviderPage) {
      if (params.providerId == kProviderWalla && !stop.stop_requested()) observer.OnProviderPage();
      delay = std::max<std::chrono::milliseconds>(delay, kPageMarkerPause);
    }
    if (stop.stop_requested()) break;
    observer.OnRetryWait(i, reason, delay);
    if (delay.count() > 0 && !wait(delay, stop)) break;
  }

  observer.OnRateCleared();
  curl_easy_cleanup(handle);
  curl_slist_free_all(headers);

  if (stop.stop_requested()) {
    result.outcome = Outcome::Stopped;
    std::error_code ec;
    if (!partial.empty()) fs::remove(partial, ec);
    return result;
  }
  if (result.outcome != Outcome::Completed) return result;
  // Every item is on disk here (saved or kept), so the items' names are the folder's.
  std::vector<std::string> names;
  for (const DownloadItem& item : params.items) names.push_back(SafeAttachmentName(item.fileName));
  result.mergeDescriptors = MergeDescriptors(params.folder, names);
  if (params.autoMerge) {
    NullMergeObserver quiet;
    MergeJob::Params mp;
    mp.descriptors = result.mergeDescriptors;
    mp.saveFolder = params.folder;
    mp.password = params.password;
    mp.threads = params.mergeThreads;
    MergeJob::Report merged =
        MergeJob::Run(mp, params.mergeObserver ? *params.mergeObserver : quiet, stop);
    WipeSecret(mp.password);
    result.merged = true;
    result.mergeComplete = merged.AllComplete();
    result.mergeResults = std::move(merged.files);
  }
  return result;
}

}  // namespace dtl
