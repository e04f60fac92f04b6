#include "browser/NetworkEndpoints.h"

#include <curl/curl.h>

namespace dtl {

namespace detail {

// libcurl does not copy CURLOPT_RESOLVE or CURLOPT_CONNECT_TO lists; it reads them when a
// transfer starts. These copies stay alive as long as some NetworkEndpoints holds them.
struct CurlLists {
  std::vector<std::string> resolveSource, connectToSource;
  curl_slist* resolve = nullptr;
  curl_slist* connectTo = nullptr;

  CurlLists(const std::vector<std::string>& r, const std::vector<std::string>& c)
      : resolveSource(r), connectToSource(c) {
    resolve = Build(r);
    connectTo = Build(c);
  }
  ~CurlLists() {
    curl_slist_free_all(resolve);
    curl_slist_free_all(connectTo);
  }
  CurlLists(const CurlLists&) = delete;
  CurlLists& operator=(const CurlLists&) = delete;

  static curl_slist* Build(const std::vector<std::string>& entries) {
    curl_slist* list = nullptr;
    for (const std::string& e : entries) {
      curl_slist* grown = curl_slist_append(list, e.c_str());
      if (grown) list = grown;
    }
    return list;
  }
};

}  // namespace detail

void ApplyEndpoints(CURL* easy, const NetworkEndpoints& endpoints) {
  if (!easy) return;
  const auto& lists = endpoints.applied;
  if (!lists || lists->resolveSource != endpoints.resolve ||
      lists->connectToSource != endpoints.connectTo) {
    // A fresh object rather than an edit: copies made earlier may still have transfers
    // reading the old lists.
    endpoints.applied =
        std::make_shared<const detail::CurlLists>(endpoints.resolve, endpoints.connectTo);
  }
  curl_easy_setopt(easy, CURLOPT_RESOLVE, endpoints.applied->resolve);
  curl_easy_setopt(easy, CURLOPT_CONNECT_TO, endpoints.applied->connectTo);
  if (!endpoints.caFile.empty()) curl_easy_setopt(easy, CURLOPT_CAINFO, endpoints.caFile.c_str());
  if (endpoints.connectTimeoutMs > 0)
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, endpoints.connectTimeoutMs);
  if (endpoints.receiveTimeoutMs > 0) {
    // libcurl has no idle-read time-out of its own: "below one byte per second for N seconds"
    // is the same thing.
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, (endpoints.receiveTimeoutMs + 999) / 1000);
  }
  // Pages and keys come from remote servers: never let one of them reach file://, ftp:// or
  // anything else libcurl could speak, directly or through a redirect.
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
}

}  // namespace dtl
