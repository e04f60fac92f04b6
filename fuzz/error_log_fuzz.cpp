// The error log writer on hostile text: operation and value names, values and messages (server
// replies end up in them) come from the fuzz input. The document must stay well-formed XML a
// reader can take: valid UTF-8, no control characters outside tab/CR/LF, CDATA sections that
// close, and elements that nest.
#include <fuzzer/FuzzedDataProvider.h>

#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <cuchar>
#include <string>
#include <vector>

#include "mail/ErrorLog.h"
#include "mail/MailLog.h"

namespace {

// XML's character rules over glibc's UTF-8 decoder (which refuses overlong forms and surrogates).
bool ValidUtf8(const std::string& s) {
  static const bool utf8 = std::setlocale(LC_CTYPE, "C.UTF-8") != nullptr;
  if (!utf8) std::abort();
  std::mbstate_t state{};
  for (size_t i = 0, n = 0; i < s.size(); i += n) {
    char32_t cp = 0;
    n = std::mbrtoc32(&cp, s.data() + i, s.size() - i, &state);
    if (n == 0 || n > 4 || cp > 0x10ffff || cp == 0xfffe || cp == 0xffff) return false;
    if (cp < 0x20 && cp != '\t' && cp != '\n' && cp != '\r') return false;
  }
  return true;
}

// Element nesting and CDATA closure, outside the declaration line.
bool WellNested(const std::string& xml) {
  std::vector<std::string> open;
  size_t i = xml.find("?>");
  if (i == std::string::npos) return false;
  i += 2;
  while ((i = xml.find('<', i)) != std::string::npos) {
    if (xml.compare(i, 9, "<![CDATA[") == 0) {
      size_t end = xml.find("]]>", i + 9);
      if (end == std::string::npos) return false;
      i = end + 3;
      continue;
    }
    size_t close = xml.find('>', i);
    if (close == std::string::npos) return false;
    std::string tag = xml.substr(i + 1, close - i - 1);
    i = close + 1;
    if (tag.empty()) return false;
    if (tag[0] == '/') {
      if (open.empty() || open.back() != tag.substr(1)) return false;
      open.pop_back();
    } else if (tag.back() != '/') {
      open.push_back(tag.substr(0, tag.find(' ')));
    }
  }
  return open.empty();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dtl;
  FuzzedDataProvider in(data, size);
  MailLog log([] { return std::time_t(1700000000); });
  int depth = 0;
  while (in.remaining_bytes() > 0) {
    switch (in.ConsumeIntegralInRange<int>(0, 5)) {
      case 0:
        if (depth < 32) {
          log.Enter(in.ConsumeRandomLengthString(40));
          ++depth;
        }
        break;
      case 1:
        log.Leave();
        depth = depth > 0 ? depth - 1 : 0;
        break;
      case 2: {
        std::string name = in.ConsumeRandomLengthString(40);
        log.Value(name, in.ConsumeRandomLengthString(200));
        break;
      }
      case 3: log.Info(in.ConsumeRandomLengthString(200)); break;
      case 4: log.Error(in.ConsumeRandomLengthString(200)); break;
      default: log.Debug(in.ConsumeRandomLengthString(200)); break;
    }
  }
  const std::string xml = MailLogToXml(log);
  if (!ValidUtf8(xml) || !WellNested(xml)) std::abort();
  return 0;
}
