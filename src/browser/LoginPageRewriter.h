// The browser view's smaller rules, as text in and decisions out: the login-page rewriting after
// every page download, the Walla re-login when a download finds the session ended, the session
// keep-alive, when "Auto Download Segments..." is enabled, and the Quick Help text.
//
// Pure functions; thread-safe; never throw for any input (only std::bad_alloc).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "browser/BrowserSites.h"
#include "browser/NavigationPolicy.h"

namespace dtl {

// The page's inner HTML rewritten so a marker longer than the site's password field can be typed
// and no page script alters it before it is posted; nullopt when the page is left alone.
// Yahoo mail pages (".yahoo.com" and "mail" in the URL) lose their first onsubmit attribute. AOL
// screen-name pages lose every maxlength attribute name (and the value "16" with it where it
// is written maxlength="16", in any of four spellings) and then their first onsubmit attribute.
std::optional<std::string> RewriteLoginPage(std::string_view pageUrl, std::string_view innerHtml);

// Removes the first `onsubmit="..."` attribute (case as written). False, text unchanged, when
// there is no complete one.
bool RemoveFirstOnSubmit(std::string& html);

// What the view does when a Walla download reports the session ended (hint 32791): with a saved
// login, post it again to the login host's root page (no target frame; the navigation policy
// decodes its marker again) and clear the inbox-redirect flag; without one, show `message`.
struct WallaRelogin {
  std::optional<PolicyMessage> message;     // information icon
  std::optional<BrowserNavigation> repost;  // the saved login, marker still encoded
  bool clearInboxRedirectFlag = false;
};
WallaRelogin DecideWallaRelogin(const SavedWallaLogin& saved,
                                const BrowserEndpoints& endpoints = {});

// The keep-alive timer (every 2.5 minutes) refreshes the current page unless it is Gmail's,
// which keeps its session by itself.
inline constexpr unsigned kKeepAliveTimerId = 1;
inline constexpr unsigned kKeepAliveIntervalMs = 150000;
bool KeepAliveShouldRefresh(std::string_view currentUrl);

// "Auto Download Segments..." is enabled only on a logged-in page of a provider the crawler reads:
// the document's domain names one of them and it has a cookie string longer than 5 characters;
// Hriders pages are recognised by their URL ("uid=") instead.
bool AutoDownloadEnabled(std::string_view documentDomain, std::string_view documentUrl,
                         std::string_view cookie);

// The Xasamail account id that Auto Download hands over: the text after "acc=" up to the next
// "&" in the lower-cased page HTML; nullopt without "acc=".
std::optional<std::string> XasamailAccountId(std::string_view innerHtml);

// The browser pane's Quick Help text (HTML). Only the text: the tip that shows it adds the
// title and the link to the program's help itself.
std::string QuickHelpHtml();

}  // namespace dtl
