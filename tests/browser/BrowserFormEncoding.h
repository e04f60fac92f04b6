// What a browser does to a form value before posting it (application/x-www-form-urlencoded):
// letters, digits and "*-._" stay, a blank becomes "+", every other byte becomes %XX.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace dtltest {

inline std::string BrowserFormEncode(std::string_view value) {
  std::string out;
  for (unsigned char c : value) {
    char hex[4];
    const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      (c && std::strchr("*-._", c));
    std::snprintf(hex, sizeof hex, "%%%02X", c);
    out += keep ? std::string(1, char(c)) : c == ' ' ? std::string("+") : std::string(hex);
  }
  return out;
}

}  // namespace dtltest
