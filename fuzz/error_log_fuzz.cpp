// The error log writer on hostile text: operation and value names, values and messages (server
// replies end up in them) come from the fuzz input. The document must stay well-formed XML a
// reader can take: valid UTF-8, no control characters outside tab/CR/LF, CDATA sections that
// close, and elements that nest.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "send/ErrorLog.h"
#include "send/MailLog.h"

namespace {

bool ValidUtf8(const std::string& s) {
  size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    size_t n = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : 9;
    if (n == 9 || i + n >= s.size()) return false;
    uint32_t cp = n == 0 ? c : n == 1 ? (c & 0x1f) : n == 2 ? (c & 0x0f) : (c & 0x07);
    for (size_t k = 1; k <= n; ++k) {
      const auto d = static_cast<unsigned char>(s[i + k]);
      if ((d >> 6) != 2) return false;
      cp = cp << 6 | (d & 0x3f);
    }
    static constexpr uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[n] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return false;
    if (cp < 0x20 && cp != '\t' && cp != '\n' && cp != '\r') return false;
    if (cp == 0xfffe || cp == 0xffff) return false;
    i += n + 1;
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
