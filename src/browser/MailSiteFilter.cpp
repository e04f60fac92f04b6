#include "browser/MailSiteFilter.h"

#include <algorithm>
#include <string>

#include "browser/BrowserSites.h"
#include "browser/NavigationPolicy.h"

namespace dtl {
namespace {

// Narrower than the inner browser's keyword list: plain "mail" stays open here, so a pane may
// still link to any page that merely mentions mail.
constexpr std::string_view kRefused[] = {
    "gmail",    "google",  "yahoo",     "walla",    "omnilect", "gawab", "unitedemailsystems",
    "spymac",   "hriders", "intermail", "rotomail", "netscape", "lycos", site::kO2,
    "xasamail",
};

}  // namespace

bool PaneRefusesNavigation(std::string_view url) {
  const std::string u = LowerAscii(url);
  return std::any_of(std::begin(kRefused), std::end(kRefused),
                     [&](std::string_view w) { return u.find(w) != std::string::npos; });
}

}  // namespace dtl
