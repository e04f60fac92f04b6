// The process-wide cookie store of the receiving side. Every page fetcher and the download
// engine attach their curl handles to the one jar they are given, so a cookie stored for a site
// (the inner browser's document cookie string, handed over when the Segment Manager opens) and
// every cookie a server sets ride on all later requests to that site, from any of them.
//
// There is no global jar: the program makes one and passes it to each component. The jar must
// outlive every handle attached to it. All members may be called from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/Error.h"

typedef void CURL;

namespace dtl {

class CookieJar {
 public:
  // Makes an empty store (a libcurl share handle for cookies, guarded by a lock). When libcurl
  // cannot make one, Valid() is false, Attach() does nothing and Store() stores nothing.
  CookieJar();
  ~CookieJar();
  CookieJar(const CookieJar&) = delete;
  CookieJar& operator=(const CookieJar&) = delete;

  bool Valid() const;

  // Joins `easy` to the store: its requests carry the stored cookies that match their URL, and
  // cookies its responses set are kept. Call once per handle, before its first transfer; a
  // curl_easy_reset() drops it (and libcurl 7.88 leaks a few bytes when it is set again after
  // a reset, so prefer keeping one attached handle). Detach by curl_easy_cleanup() before the
  // jar dies.
  void Attach(CURL* easy) const;

  // Stores a document cookie string ("a=1; b=two") for the host of `url` alone, as
  // StoreForHost does; the cookies are secure-only when `url` is https (a page read over TLS
  // never lends its session to a plain request). InvalidArgument when `url` has no host
  // (nothing stored).
  Status Store(std::string_view url, std::string_view cookieString);

  // Stores a document cookie string for exactly `host` (no subdomains, any port, path "/"): each
  // "name=value" pair becomes a session cookie of that host, replacing a stored cookie of the
  // same name. `secureOnly`: only https requests carry them. Blanks around names and values are
  // dropped, control characters never stored, pairs without "=" or with an empty name skipped.
  // An empty string stores nothing, so requests carry what the store already holds.
  // InvalidArgument when `host` is empty after cleaning (nothing stored).
  Status StoreForHost(std::string_view host, std::string_view cookieString, bool secureOnly);

  // One cookie as a browser holds it. `domain` is the host it belongs to; `hostOnly` false
  // sends it to the subdomains too (a Set-Cookie "Domain="; a leading dot is ignored).
  // `expires` is seconds since the epoch, 0 for a session cookie.
  struct Cookie {
    std::string name, value, domain, path = "/";
    bool hostOnly = true;
    bool secure = false;
    bool httpOnly = false;
    int64_t expires = 0;
  };
  // Stores each cookie with its own domain, path, secure flag, expiry and HttpOnly flag,
  // replacing a stored cookie of the same name, domain and path. Control characters are never
  // stored; a cookie without a name or domain is skipped; an empty path is "/".
  void Store(const std::vector<Cookie>& cookies);

  // Whether a cookie of `cookieDomain` (a leading dot allowed) belongs to the site of `host`:
  // both lie under the same registrable domain (the last two labels, three when the second
  // last is a short second-level label such as "co" in "example.co.uk"; an IP address is its
  // own site). Case-insensitive.
  static bool SameSite(std::string_view host, std::string_view cookieDomain);

  // Every stored cookie as a Netscape cookie-file line (domain, subdomains, path, secure,
  // expiry, name, value; tab-separated), for diagnostics and tests.
  std::vector<std::string> List() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace dtl
