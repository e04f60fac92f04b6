// The download engine: fetches the attachments ticked in the Segment Manager from the web-mail
// provider, one after another over HTTP, and saves each under its segment file name in the
// download folder; with Auto Merge on it hands the downloaded descriptors to the merge. Recovery
// files ("NAME.par2", "NAME.vol00+01.par2") are downloaded like segments; a file whose
// descriptor is not among the items but whose recovery files are goes to the merge by one of
// them, and the merge rebuilds it first.
//
// Call order: fill a DownloadEngine::Params (items in the order they were ticked), then
// DownloadEngine::Run() on a worker thread; every observer call happens on that thread. Run()
// returns when every item was saved or skipped (and the merge, when asked for, has run), when
// a stop was requested on its std::stop_token, or when an error ends the run (Summary::outcome
// says which).
//
// Per item: the URL comes from the provider id and the item key (DownloadUrl). An existing file
// is handled by the replace mode, which starts at Overwrite and is changed by the answers of
// ConfirmReplace(). The request asks for "Accept-Encoding: gzip, x-gzip, identity, *;q=0";
// a gzip or x-gzip body is decoded as it arrives and must end with a matching gzip trailer.
//
// Errors: a failed attempt (connection, status other than 200, a body cut short, a bad gzip
// header or stream, the provider's own page instead of the attachment: a body holding the
// provider table's page marker) never ends the run: the same item is fetched again, without
// limit, until it succeeds or a stop is requested; the partly written file of a failed attempt
// is removed first. The retries are paced by a RetryBackoff (base/RetryBackoff.h): the first
// goes at once, later ones wait 1 s, 2 s, 4 s ... up to 60 s, and a saved item starts the count
// again; after a provider page the wait is never shorter than 3,000 ms. Every retry is
// announced with OnRetryWait() and a stop request ends the wait at once.
//
// Logins: a 401 (server) or 407 (proxy) answer asks OnAuthenticationRequired() once per server
// (scheme, host and port) and once for the proxy; the answer is kept for the rest of the run and
// sent only to that server. No credentials, or credentials refused once more, end the run with
// Outcome::LoginFailed and a Summary::message naming the URL and the status; the item is never
// fetched again without a login.
//
// Only an unusable URL, a local file that cannot be created (OnMessage with the system's text),
// a login that fails and an HTTP session that cannot be set up end the run. The partly written
// file of an item interrupted by a stop is removed.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include <curl/curl.h>

#include "archive/MergeJob.h"
#include "base/ReplaceMode.h"
#include "base/SecretMemory.h"

namespace dtl {

// One attachment to fetch: a found-attachment record of the crawler (InboxCrawler.h names it
// FoundAttachment).
struct DownloadItem {
  std::string fileName;  // the segment file name to save as ("movie.avi.001", "movie.avi.dtl")
  std::string key;       // message id, path or whole URL, by provider
  bool operator==(const DownloadItem&) const = default;
};

// What happens to an item whose file already exists: ReplaceMode (base/ReplaceMode.h).

// The replace confirmation's countdown: an unanswered prompt overwrites. A UI shows Text()
// once a second and calls Tick(); when Tick() returns true the prompt ends with Overwrite.
class ReplaceCountdown {
 public:
  static constexpr int kStart = 30;
  // "Delaying %d seconds before overwrite." with the current count.
  std::string Text() const;
  // One second passed: the tick that finds the count below 1 ends the prompt (true); any
  // other lowers the count by one. An unanswered prompt therefore ends on the 31st tick.
  bool Tick();
  int Count() const { return count_; }

 private:
  int count_ = kStart;
};

// How long one download attempt may take, however the server spaces its bytes. The largest
// segment archive is about 10 MB (1,000 positions of 10,000 bytes, plus the zip's own bytes).
// By default an attempt fails when it has averaged under 2 KiB a second over 30 s, and in any
// case after 90 minutes in all, which still lets the largest segment through at that lowest
// rate (about 82 minutes). A failed attempt is retried like any other (reason: libcurl's
// "Timeout was reached"). Tests shorten them.
struct DownloadLimits {
  long lowSpeedBytesPerSecond = 2048;
  std::chrono::seconds lowSpeedTime{30};  // whole seconds, as libcurl counts them
  std::chrono::milliseconds totalTime{std::chrono::minutes(90)};
};

// Credentials for a 401 (server) or 407 (proxy) answer. Every copy wipes its password when it
// goes, so the copies the observer hands out and the engine keeps for the run leave nothing.
struct HttpCredentials {
  std::string user;
  std::string password;

  HttpCredentials() = default;
  HttpCredentials(std::string u, std::string p) : user(std::move(u)), password(std::move(p)) {}
  HttpCredentials(const HttpCredentials&) = default;
  HttpCredentials(HttpCredentials&& other) noexcept
      : user(std::move(other.user)), password(std::move(other.password)) {
    WipeSecret(other.password);
  }
  HttpCredentials& operator=(const HttpCredentials&) = default;
  HttpCredentials& operator=(HttpCredentials&& other) noexcept {
    user = std::move(other.user);
    WipeSecret(password);
    password = std::move(other.password);
    WipeSecret(other.password);
    return *this;
  }
  ~HttpCredentials() { WipeSecret(password); }
};

// Display values of a refresh (after a chunk, once the item has run a second or more).
struct DownloadDisplay {
  std::string rate;        // "%0.2f KB/s" of the current file
  std::string fileBytes;   // the current file's bytes, ByteCountText()
  std::string totalBytes;  // all items' bytes, ByteCountText()
};

// Events of a download run, delivered on the thread that calls DownloadEngine::Run().
class DownloadObserver {
 public:
  virtual ~DownloadObserver() = default;
  // Overall progress: the number of items; one step per item saved or skipped.
  virtual void OnOverallRange(size_t items) {}
  virtual void OnOverallStep() {}
  // An attempt at item `index` begins; `fileName` is the name the file is saved as.
  virtual void OnItemStarted(size_t index, const std::string& fileName) {}
  // Every chunk written: the current file's and the whole run's byte counts, and the length
  // the server announced for this file (-1 when it gave none; for gzip bodies the encoded size).
  virtual void OnBytes(uint64_t fileBytes, uint64_t totalBytes, int64_t announced) {}
  // The display refresh with the texts the dialog and the status bar show.
  virtual void OnDisplay(const DownloadDisplay& display) {}
  // The item with this key was saved or skipped: the Segment Manager unticks it.
  virtual void OnItemDone(const std::string& key) {}
  // An attempt failed and the item will be fetched again; `reason` is for logs.
  virtual void OnAttemptFailed(size_t index, const std::string& reason) {}
  // Follows OnAttemptFailed(): the next attempt at item `index` comes after `wait` (zero: at
  // once) unless a stop ends the wait first. dtl::RetryStatus(reason, wait) is the status text
  // ("Connection refused — trying again in 8 s").
  virtual void OnRetryWait(size_t index, const std::string& reason,
                           std::chrono::milliseconds wait) {}
  // The server said a provider limit was hit (ImapReceiveJob): every connection rests until it
  // goes on, in `wait`, unless a stop ends the wait first. `status` says what was hit and when
  // ("Receiving paused: the server is throttling this account (...). Going on at 14:05."). The
  // default shows it as a retry wait.
  virtual void OnPaused(size_t index, const std::string& status, std::chrono::milliseconds wait) {
    OnRetryWait(index, status, wait);
  }
  // The provider (id 2) answered with its own page, usually its login page: log in again.
  virtual void OnProviderPage() {}
  // A file of this name exists and the replace mode asks: answer with the new mode. The worker
  // waits for the answer; a UI runs ReplaceCountdown and answers Overwrite when it runs out.
  virtual ReplaceMode ConfirmReplace(const std::string& fileName) { return ReplaceMode::Overwrite; }
  // The server (401) or a proxy (407) wants credentials for `url`. Asked once per server and
  // once for the proxy in a run; the worker waits for the answer. nullopt ends the run
  // (Outcome::LoginFailed); so do credentials that are refused in turn.
  virtual std::optional<HttpCredentials> OnAuthenticationRequired(long status,
                                                                  const std::string& url) {
    return std::nullopt;
  }
  // A failure text exactly as the user should see it (title "Drovetail", error icon).
  virtual void OnMessage(const std::string& text) {}
  // The rate text of the status bar is cleared (the run is finishing).
  virtual void OnRateCleared() {}
};

class DownloadEngine {
 public:
  struct Params {
    std::filesystem::path folder;  // the download folder
    std::string host;              // host (and port) of the browser's current page
    int providerId = 0;
    bool autoMerge = false;
    std::string password;  // passed to the merge; empty: the default password
    std::vector<DownloadItem> items;
    // Each attempt's rate and total time. A non-zero idle time-out in the NetworkEndpoints
    // applied by prepareHandle replaces the rate rule.
    DownloadLimits limits;
    // Applied to the HTTP handle once, after the engine's own options: this is where the
    // program's shared CookieJar is attached and its NetworkEndpoints applied (resolve list,
    // CA file, time-outs), so the download rides in the user's web-mail session.
    std::function<void(CURL*)> prepareHandle;
    // Every wait before a retry (the back-off, and the pause after a provider page). Returns
    // false, at once, when a stop is requested on `stop`. Empty: dtl::WaitUnlessStopped.
    std::function<bool(std::chrono::milliseconds, std::stop_token stop)> wait;
    // Clock for the rate and elapsed texts. Empty: std::chrono::steady_clock.
    std::function<std::chrono::steady_clock::time_point()> now;
    // Random numbers for the five digits of provider 1's URL. Empty: std::random_device.
    std::function<uint32_t()> random;
    // Observer of the merge run with Auto Merge (null: its events are dropped).
    MergeObserver* mergeObserver = nullptr;
    unsigned mergeThreads = 0;  // segment decoders of the merge; 0 = one per core
  };

  enum class Outcome {
    Completed,      // every item was saved or skipped (and merged, with Auto Merge)
    Stopped,        // a stop request ended the run
    SessionFailed,  // the HTTP session could not be set up
    BadUrl,         // an item's URL could not be built or parsed
    FileError,      // a local file could not be created
    LoginFailed,    // a 401/407 got no credentials, or refused the ones given (see message)
  };

  struct Summary {
    Outcome outcome = Outcome::Completed;
    size_t itemsSaved = 0;
    size_t itemsSkipped = 0;
    uint64_t attemptsFailed = 0;
    uint64_t totalBytes = 0;                         // bytes written over the run
    std::vector<std::filesystem::path> descriptors;  // downloaded ".dtl" paths, no duplicates
    bool merged = false;                             // the merge ran (Auto Merge on)
    bool mergeComplete = false;                      // ... and rebuilt every file completely
    // What a merge of this run is handed, filled on every completed run with or without Auto
    // Merge (a caller that merges by itself hands the same): the descriptors, and for a file
    // whose descriptor was not among the items but whose recovery files were, one of those
    // (the merge rebuilds the descriptor from it; see receive/ReceivedFiles.h).
    std::vector<std::filesystem::path> mergeDescriptors;
    // The merge's result per file, in mergeDescriptors order; FileResult::repaired names the
    // segment files rebuilt from recovery data.
    std::vector<MergeJob::FileResult> mergeResults;
    // Why a LoginFailed run ended, as the user should see it: "URL: the server asks for a
    // login (401)", "URL: the proxy refused the login (407)". Empty otherwise.
    std::string message;
  };

  // Runs the download. `stop` is read before each item, while connecting and after each chunk;
  // a stop request ends the run (result Stopped). Never throws for network or file problems.
  static Summary Run(const Params& params, DownloadObserver& observer, std::stop_token stop);
};

// The URL of an item by provider id, from the provider table's download template; nullopt for
// ids not in the table (8, 10, 13, ...). Providers without a template take the key as the
// whole URL; the others wrap it with the host. `random` gives Yahoo's five digits (0 to 8).
std::optional<std::string> DownloadUrl(int providerId, const std::string& host,
                                       const std::string& key,
                                       const std::function<uint32_t()>& random);

// "%0.2f KB" up to 1,024,000 bytes (bytes / 1024), "%0.2f MB" above (bytes / 1,048,576).
std::string ByteCountText(uint64_t bytes);
// "%0.2f KB/s": bytes / (seconds * 1024); seconds must be above 0.
std::string RateText(uint64_t bytes, int64_t seconds);
// Elapsed time: "%H:%M:%S" under a day, "D:%H:%M:%S" (whole days first) from then on.
std::string ElapsedText(int64_t seconds);

}  // namespace dtl
