// The page fetcher: plain HTTP GET, POST and header requests made inside the user's web-mail
// session. Requests carry what the shared CookieJar holds for their URL and nothing else: the
// fetcher never stores a cookie for a URL it is asked to fetch, so a session reaches only the
// hosts its owner stored it for (the crawler does that once per run, see InboxCrawler).
//
// One fetcher is used by one thread at a time; several fetchers may share one jar. The views
// returned point into the fetcher's own buffers and stay valid until the next call on the same
// fetcher or its destruction.
//
// Limits: a body larger than kMaxPageBody bytes (after content decoding) or a header block
// larger than kMaxHeaderBlock fails the request, so a hostile or broken server cannot exhaust
// memory. Certificates are always verified (system CAs or the endpoints' CA file, host name
// and dates), for GET and POST alike. Redirects are followed (http and https only).
//
// Errors: a failed request returns an Error and leaves the previous body and headers as they
// were: InvalidArgument for no URL, otherwise libcurl's CURLcode in Error::system
// (CURLE_FILESIZE_EXCEEDED when a cap was hit) with libcurl's text as the message. The HTTP
// status does not decide success: an error page is a page like any other (LastStatus() has
// the code).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/Error.h"
#include "browser/NetworkEndpoints.h"

namespace dtl {

class CookieJar;

// The agent text of every request of the receiving side.
inline constexpr char kAgentText[] = "Mozilla/4.0 (compatible; MSIE 5.5; Windows NT 5.0)";
// The fetcher's own time-outs (NetworkEndpoints may override them).
inline constexpr long kPageConnectTimeoutMs = 10000;

// How long one request may take, however the server spaces its bytes. A page is small
// (listings and message pages are tens of KiB), so by default a request fails (Timeout,
// CURLE_OPERATION_TIMEDOUT) when it has averaged under 100 bytes a second over 30 s, and in any
// case after 120 s in all, redirects included. Tests shorten them.
struct PageLimits {
  long lowSpeedBytesPerSecond = 100;
  std::chrono::seconds lowSpeedTime{30};  // whole seconds, as libcurl counts them
  std::chrono::milliseconds totalTime{120000};
};
inline constexpr size_t kMaxPageBody = size_t{64} << 20;  // 64 MiB
// Every header line of a request, redirects included; real pages send a few KiB.
inline constexpr size_t kMaxHeaderBlock = size_t{256} << 10;

class PageFetcher {
 public:
  // `jar` must outlive the fetcher. When libcurl cannot make a handle every fetch fails.
  // A non-zero idle time-out in `endpoints` replaces the low-speed rule of `limits`.
  explicit PageFetcher(CookieJar& jar, NetworkEndpoints endpoints = {}, PageLimits limits = {});
  ~PageFetcher();
  PageFetcher(const PageFetcher&) = delete;
  PageFetcher& operator=(const PageFetcher&) = delete;

  // Fetches `url` and returns its body as text: everything up to the first zero byte, while
  // BodyLength() counts every byte read. `post` false: GET. `post` true: POST of `postData`
  // as "application/x-www-form-urlencoded"; `postLength` -1 sends the text of `postData` up
  // to its first zero byte, any other value that many bytes (never more than postData holds).
  // The scheme of `url` decides plain or TLS for both methods.
  Result<std::string_view> Fetch(std::string_view url, bool post = false,
                                 std::string_view postData = {}, long postLength = -1);

  // Sends a GET for `url` and returns the raw response header block of the final response:
  // the status line and every header line, each ended by CR LF, then the empty line. The body
  // is not read.
  Result<std::string_view> FetchHeaders(std::string_view url);

  // The jar the fetcher's requests read and fill (the one given to the constructor).
  CookieJar& Jar() const { return jar_; }

  // HTTP status of the last request that got an answer (0 before any).
  long LastStatus() const { return lastStatus_; }
  // Bytes read into the body by the last successful Fetch (zero bytes included).
  uint64_t BodyLength() const { return body_.size(); }
  // The whole body of the last successful Fetch, zero bytes included.
  std::string_view RawBody() const { return body_; }

 private:
  struct Transfer;
  Status Perform(std::string_view url, bool post, std::string_view postData, bool headersOnly,
                 std::string& body, std::string& headers);

  CookieJar& jar_;
  NetworkEndpoints endpoints_;
  CURL* curl_ = nullptr;
  std::string body_;
  std::string headers_;
  long lastStatus_ = 0;
};

}  // namespace dtl
