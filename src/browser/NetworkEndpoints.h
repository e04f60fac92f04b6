// Where the program's HTTP requests really go, and how long they may take: every curl handle of
// the receiving side (page fetcher, download engine) is set up with ApplyEndpoints(), so a test
// (or a user behind an unusual network) can aim a provider host at another address, trust its
// own CA and shorten the waits without touching the code that builds the URLs.
//
// Call order: fill a NetworkEndpoints, then ApplyEndpoints() on each easy handle before
// curl_easy_perform(). Bad entries are not checked here; libcurl ignores what it cannot parse.
#pragma once

#include <memory>
#include <string>
#include <vector>

typedef void CURL;

namespace dtl {

namespace detail {
struct CurlLists;  // the curl_slist copies handed to libcurl (NetworkEndpoints.cpp)
}

struct NetworkEndpoints {
  // "HOST:PORT:ADDRESS[,ADDRESS...]" entries, as libcurl's CURLOPT_RESOLVE takes them: a name
  // is looked up here before DNS ("mail.walla.com:80:127.0.0.1").
  std::vector<std::string> resolve;
  // "HOST:PORT:CONNECT-HOST:CONNECT-PORT" entries (CURLOPT_CONNECT_TO): a request for HOST:PORT
  // is carried to another address and port while its URL, Host header, cookies and TLS name
  // stay those of HOST ("mail.yahoo.com:80:127.0.0.1:34567"). This is how a test reaches a
  // provider whose templates fix the port (80 or 443) on a server listening elsewhere.
  std::vector<std::string> connectTo;
  // PEM bundle of the CAs to trust instead of the system's; empty: the system's.
  std::string caFile;
  // Longest wait for a connection, in milliseconds; 0: the component's own default.
  long connectTimeoutMs = 0;
  // Longest stretch without a single received byte, in milliseconds (rounded up to whole
  // seconds); 0: the component's own default.
  long receiveTimeoutMs = 0;

  // The lists libcurl was given. libcurl keeps pointers to them until the transfer ends, so
  // they live with this object and every copy made after ApplyEndpoints(); never set by hand.
  mutable std::shared_ptr<const detail::CurlLists> applied;
};

// Sets the resolve and connect-to lists, the CA file and the non-zero time-outs on `easy`, and
// limits it (and its redirects) to http and https. Call it after the component's own
// time-outs so the endpoints' values win. `endpoints` (or a copy made after this call) must
// outlive every transfer of `easy` that follows; one object is applied by one thread at a time.
void ApplyEndpoints(CURL* easy, const NetworkEndpoints& endpoints);

}  // namespace dtl
