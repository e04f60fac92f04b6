#include "account/AccountProfile.h"

#include <arpa/inet.h>

namespace dtl {

bool IsUsableHostName(std::string_view host, bool singleLabel) {
  if (host.empty() || host.size() > 253) return false;
  in_addr v4{};
  if (inet_pton(AF_INET, std::string(host).c_str(), &v4) == 1) return true;
  if (host == "localhost") return true;
  size_t start = 0;
  int labels = 0;
  while (start <= host.size()) {
    size_t dot = host.find('.', start);
    if (dot == std::string_view::npos) dot = host.size();
    std::string_view label = host.substr(start, dot - start);
    if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-')
      return false;
    for (char c : label) {
      bool ok =
          (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
      if (!ok) return false;
    }
    ++labels;
    start = dot + 1;
  }
  return labels >= 2 || singleLabel;
}

}  // namespace dtl
