// The shared cookie store on hostile document cookie strings, URLs and hosts (all come from the
// pages the inner browser shows): whatever it stores lists as well-formed cookie-file lines, so
// a cookie can never smuggle a field, a line or a control byte into what libcurl reads back;
// every cookie stays host-only, and secure-only exactly when it was stored so.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "browser/CookieJar.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dtl;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const size_t cut = text.find('\n');
  const std::string url =
      cut == std::string_view::npos
          ? "https://mail.example.org/inbox"
          : "https://" + std::string(text.substr(0, std::min<size_t>(cut, 100)));
  const std::string_view cookies = cut == std::string_view::npos ? text : text.substr(cut + 1);
  // One jar holds only what an https page or a secure-only store put there, the other only
  // plain stores: every line of the first is secure-only, none of the second; all are host-only.
  const std::string host(
      text.substr(0, std::min<size_t>(cut == std::string_view::npos ? 0 : cut, 60)));
  CookieJar secure, plain;
  if (!secure.Valid() || !plain.Valid()) return 0;
  (void)secure.Store(url, cookies);
  (void)secure.StoreForHost(host, cookies, true);
  (void)plain.Store("http://mail.example.org/", cookies);
  (void)plain.StoreForHost(host, cookies, false);
  for (CookieJar* jar : {&secure, &plain}) {
    for (const std::string& line : jar->List()) {
      size_t tabs = 0;
      for (char c : line) {
        if (c == '\t')
          ++tabs;
        else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
          std::abort();
      }
      if (tabs != 6) std::abort();
      // domain, subdomains, path, secure, ...
      const size_t t1 = line.find('\t'), t2 = line.find('\t', t1 + 1), t3 = line.find('\t', t2 + 1);
      const size_t t4 = line.find('\t', t3 + 1);
      if (line.substr(t1 + 1, t2 - t1 - 1) != "FALSE") std::abort();
      // libcurl marks a host-only cookie's domain with no leading dot in the listing.
      if (line.empty() || line[0] == '.') std::abort();
      const std::string_view secureField = std::string_view(line).substr(t3 + 1, t4 - t3 - 1);
      if (secureField != (jar == &secure ? "TRUE" : "FALSE")) std::abort();
    }
  }
  return 0;
}
