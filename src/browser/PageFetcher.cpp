#include "browser/PageFetcher.h"

#include <curl/curl.h>

#include "browser/CookieJar.h"

namespace dtl {

struct PageFetcher::Transfer {
  std::string* body = nullptr;
  std::string* headers = nullptr;
  bool headersOnly = false;
  bool stoppedForHeaders = false;  // the write callback ended a FetchHeaders on purpose
  bool capped = false;
  size_t headerBytes = 0;

  static size_t OnBody(char* data, size_t size, size_t n, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const size_t len = size * n;
    if (t->headersOnly) {
      // The headers are complete once the body starts; its bytes are not wanted.
      t->stoppedForHeaders = true;
      return len == 0 ? 1 : 0;
    }
    // The cap counts decoded bytes: a small gzip body must not inflate past it.
    if (len > kMaxPageBody - t->body->size()) {
      t->capped = true;
      return len == 0 ? 1 : 0;
    }
    t->body->append(data, len);
    return len;
  }

  static size_t OnHeader(char* data, size_t size, size_t n, void* user) {
    auto* t = static_cast<Transfer*>(user);
    const size_t len = size * n;
    // Counted over every response of the request (redirects, 100 Continue), so a server
    // cannot grow memory by splitting its header flood across responses either.
    t->headerBytes += len;
    if (t->headerBytes > kMaxHeaderBlock) {
      t->capped = true;
      return 0;
    }
    std::string_view line(data, len);
    if (line.starts_with("HTTP/")) t->headers->clear();  // only the last response's block is kept
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    t->headers->append(line);
    t->headers->append("\r\n");
    return len;
  }
};

PageFetcher::PageFetcher(CookieJar& jar, NetworkEndpoints endpoints, PageLimits limits)
    : jar_(jar), endpoints_(std::move(endpoints)) {
  // The jar's constructor has run curl_global_init already.
  curl_ = curl_easy_init();
  if (!curl_) return;
  // The options every request shares are set once: the handle is never reset, which keeps
  // its connection cache (consecutive pages of one site reuse the connection) and sets the
  // jar's cookie switch only once (libcurl leaks it when set again after a reset).
  curl_easy_setopt(curl_, CURLOPT_USERAGENT, kAgentText);
  curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl_, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl_, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(curl_, CURLOPT_CONNECTTIMEOUT_MS, kPageConnectTimeoutMs);
  // A wait for each read alone would let a server that sends a byte now and then hold the
  // crawl for ever; the rate and the total bound the whole request.
  curl_easy_setopt(curl_, CURLOPT_LOW_SPEED_LIMIT, limits.lowSpeedBytesPerSecond);
  curl_easy_setopt(curl_, CURLOPT_LOW_SPEED_TIME, static_cast<long>(limits.lowSpeedTime.count()));
  curl_easy_setopt(curl_, CURLOPT_TIMEOUT_MS, static_cast<long>(limits.totalTime.count()));
  // Every encoding libcurl can decode (gzip and its x-gzip alias, deflate); the cap applies
  // to the decoded bytes.
  curl_easy_setopt(curl_, CURLOPT_ACCEPT_ENCODING, "");
  curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, &Transfer::OnBody);
  curl_easy_setopt(curl_, CURLOPT_HEADERFUNCTION, &Transfer::OnHeader);
  jar_.Attach(curl_);
  ApplyEndpoints(curl_, endpoints_);
}

namespace {

// libcurl's code stays in `system` for callers that tell the causes apart; the kind is a guide.
Error CurlError(CURLcode rc) {
  ErrorCode code = ErrorCode::Network;
  switch (rc) {
    case CURLE_OPERATION_TIMEDOUT: code = ErrorCode::Timeout; break;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CACERT_BADFILE: code = ErrorCode::Tls; break;
    case CURLE_URL_MALFORMAT:
    case CURLE_UNSUPPORTED_PROTOCOL: code = ErrorCode::InvalidArgument; break;
    case CURLE_FILESIZE_EXCEEDED:  // our own cap on a page's size
    case CURLE_FAILED_INIT:
    case CURLE_OUT_OF_MEMORY: code = ErrorCode::Failed; break;
    default: break;
  }
  return Error(code, curl_easy_strerror(rc), static_cast<int>(rc));
}

}  // namespace

PageFetcher::~PageFetcher() {
  if (curl_) curl_easy_cleanup(curl_);
}

Result<std::string_view> PageFetcher::Fetch(std::string_view url, bool post,
                                            std::string_view postData, long postLength) {
  if (url.empty()) return Error(ErrorCode::InvalidArgument, "no URL given");
  if (postLength < 0) {
    postData = postData.substr(0, postData.find('\0'));
  } else if (static_cast<unsigned long>(postLength) < postData.size()) {
    postData = postData.substr(0, static_cast<size_t>(postLength));
  }
  std::string body, headers;
  if (auto done = Perform(url, post, postData, false, body, headers); !done) return done.error();
  body_ = std::move(body);
  headers_ = std::move(headers);
  // The caller gets text: a zero byte in the page ends it, as it would end a C string.
  return std::string_view(body_).substr(0, body_.find('\0'));
}

Result<std::string_view> PageFetcher::FetchHeaders(std::string_view url) {
  if (url.empty()) return Error(ErrorCode::InvalidArgument, "no URL given");
  std::string body, headers;
  if (auto done = Perform(url, false, {}, true, body, headers); !done) return done.error();
  headers_ = std::move(headers);
  return std::string_view(headers_);
}

Status PageFetcher::Perform(std::string_view url, bool post, std::string_view postData,
                            bool headersOnly, std::string& body, std::string& headers) {
  if (!curl_) return CurlError(CURLE_FAILED_INIT);

  Transfer t;
  t.body = &body;
  t.headers = &headers;
  t.headersOnly = headersOnly;
  const std::string target(url);
  const std::string payload(postData);

  curl_easy_setopt(curl_, CURLOPT_URL, target.c_str());
  // A headers request never reads the body, so only a page is held to the body cap early.
  curl_easy_setopt(curl_, CURLOPT_MAXFILESIZE_LARGE,
                   static_cast<curl_off_t>(headersOnly ? 0 : kMaxPageBody));
  curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &t);
  curl_easy_setopt(curl_, CURLOPT_HEADERDATA, &t);
  curl_slist* extra = nullptr;
  if (post) {
    extra = curl_slist_append(extra, "Content-Type: application/x-www-form-urlencoded");
    // No "Expect: 100-continue" round trip for larger forms.
    curl_slist* grown = curl_slist_append(extra, "Expect:");
    if (grown) extra = grown;
    curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, payload.data());
    curl_easy_setopt(curl_, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(payload.size()));
    curl_easy_setopt(curl_, CURLOPT_POST, 1L);
  } else {
    // Forget the previous POST's form (setting it makes a POST, so GET comes after).
    curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, nullptr);
    curl_easy_setopt(curl_, CURLOPT_HTTPGET, 1L);
  }
  curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, extra);

  CURLcode rc = curl_easy_perform(curl_);
  curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, nullptr);
  curl_slist_free_all(extra);
  long status = 0;
  curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &status);
  if (status != 0) lastStatus_ = status;

  if (rc == CURLE_WRITE_ERROR && t.stoppedForHeaders && !t.capped) rc = CURLE_OK;
  if (t.capped) rc = CURLE_FILESIZE_EXCEEDED;
  if (rc != CURLE_OK) return CurlError(rc);
  return {};
}

}  // namespace dtl
