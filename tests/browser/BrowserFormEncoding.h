// What a browser does to a form value before posting it (application/x-www-form-urlencoded):
// letters, digits and "*-._" stay, a blank becomes "+", every other byte becomes %XX.
#pragma once

#include <string>
#include <string_view>

namespace dtltest {

inline std::string BrowserFormEncode(std::string_view value) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char ch : value) {
    auto c = static_cast<unsigned char>(ch);
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '*' || c == '-' ||
        c == '.' || c == '_') {
      out += ch;
    } else if (c == ' ') {
      out += '+';
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

}  // namespace dtltest
