// The parses the receiving side runs on text from remote pages and headers: the file name of a
// Content-Disposition block, a page's base href, the ".doc" ending, and the reduction of a
// remote name to a file name that is safe to join to the download folder; provider recognition
// by host, the hosts a page's session goes to, and download URLs built from page keys.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "browser/BrowserSites.h"
#include "receive/AttachmentName.h"
#include "receive/DownloadEngine.h"
#include "receive/InboxCrawler.h"
#include "receive/ProviderTable.h"

namespace {

// What a name joined to the download folder must never be: empty, a path, a dot name, longer
// than a file name may be, or holding control bytes.
void CheckSafe(const std::string& name) {
  if (name.empty() || name.size() > 255) std::abort();
  if (name.find_first_of("/\\") != std::string::npos) std::abort();
  if (name.find_first_not_of('.') == std::string::npos) std::abort();
  for (char c : name)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) std::abort();
  if (dtl::SafeAttachmentName(name) != name) std::abort();  // already safe stays as it is
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dtl;
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  const std::string disposition = DispositionFileName(text);
  if (disposition.size() > text.size()) std::abort();  // a name is cut out of the text
  const std::string segment = WithoutDocEnding(disposition);
  if (segment.ends_with(".doc")) std::abort();
  CheckSafe(SafeAttachmentName(segment));
  CheckSafe(SafeAttachmentName(text));

  const std::string base = BaseHref(text);
  if (base.size() > text.size()) std::abort();

  // Keys and page URLs from pages become download URLs: a key is always an argument, never part
  // of a format, so it comes back whole whatever "%" it holds. (Page text ends at its first
  // zero byte, so keys never hold one.)
  const int32_t provider = RecognizeProvider(text);
  PageBase(text);
  // Recognition and the session's hosts agree: a recognised page's host lies under one of its
  // provider's domains; the session goes to that host, and to a provider's fixed hosts only
  // from the provider's own page, never to a host the text merely names.
  static const std::string_view kFixed[] = {"mail.google.com", "mail.walla.com",
                                            "attach.walla.com"};
  for (int32_t id : {provider, kProviderGmail, kProviderWalla, kProviderUnknown}) {
    const std::vector<std::string> hosts = SessionHosts(id, text);
    if (hosts.size() > 3) std::abort();
    for (size_t i = 1; i < hosts.size(); ++i) {
      if (id != provider || provider == kProviderUnknown) std::abort();
      if (std::find(std::begin(kFixed), std::end(kFixed), hosts[i]) == std::end(kFixed))
        std::abort();
    }
    if (id == provider && provider != kProviderUnknown) {
      if (hosts.empty()) std::abort();
      const ProviderInfo* p = FindProvider(provider);
      bool under = false;
      for (const char* domain : p->domains)
        under = under || (domain && site::HostIsUnder(hosts[0], domain));
      if (!under) std::abort();
    }
  }
  const std::string key(text.substr(0, std::min<size_t>(200, text.find('\0'))));
  for (int id : {provider, 0, 1, 2, 7, 9, 14}) {
    auto url = DownloadUrl(id, "mail.example.org", key, [] { return 4u; });
    if (url && url->find(key) == std::string::npos) std::abort();
  }
  return 0;
}
