// The shared cookie store on hostile document cookie strings and URLs (both come from the
// pages the inner browser shows): whatever it stores lists as well-formed cookie-file lines, so
// a cookie can never smuggle a field, a line or a control byte into what libcurl reads back.
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
  CookieJar jar;
  if (!jar.Valid()) return 0;
  (void)jar.Store(url, cookies);
  (void)jar.Store("http://mail.example.org/", cookies);
  for (const std::string& line : jar.List()) {
    size_t tabs = 0;
    for (char c : line) {
      if (c == '\t')
        ++tabs;
      else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
        std::abort();
    }
    if (tabs != 6) std::abort();
  }
  return 0;
}
