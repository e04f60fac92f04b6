// The web-mail hosts the inner browser's rules know, in one place: the fragments looked for in
// lower-cased URLs and document domains, and the endpoints the browser is sent to itself. Where
// the crawler's provider table (receive/) recognises the same provider, the fragments agree.
#pragma once

#include <string>
#include <string_view>

namespace dtl::site {

inline constexpr std::string_view kO2 = "o2.pl";  // o2 and its two partner domains
inline constexpr std::string_view kO2PartnerA = "tlen.pl";
inline constexpr std::string_view kO2PartnerB = "go2.pl";
inline constexpr std::string_view kHriders = "hriders.";
inline constexpr std::string_view kYahooDomain = "yahoo.com";
inline constexpr std::string_view kYahooAccountEditing = "edit.yahoo.com";
inline constexpr std::string_view kYahooMail = "mail.yahoo.";
inline constexpr std::string_view kAolScreenName = "screenname.aol.com";
inline constexpr std::string_view kGmailWeb = "mail.google.com";
inline constexpr std::string_view kWallaMail = "mail.walla.com";
inline constexpr std::string_view kGawab = "gawab.";
inline constexpr std::string_view kXasamail = "xasamail.";
inline constexpr std::string_view kSpymacMail = "spymac.";
inline constexpr std::string_view kUnitedEmail = "unitedemailsystems.";
inline constexpr std::string_view kOmnilect = "omnilect.";

// A host the program knows as a provider's own: the name itself and every name below it
// ("mail.yahoo.com" covers "us.f500.mail.yahoo.com", never "mail.yahoo.com.example").
struct ProviderHost {
  std::string_view provider;
  std::string_view host;
};

// Where a known provider's login form may post a decoded password marker: the provider's mail
// hosts (the ones the crawler reads, see receive/ProviderTable) and its dedicated login hosts.
// Whole domains only for the small providers that serve nothing but mail; for the portals
// (Google, Yahoo, Walla, Lycos, AOL) only the mail and login hosts, never the hosts where other
// people's pages or forms live.
inline constexpr ProviderHost kLoginHosts[] = {
    {"Gmail", "mail.google.com"},
    {"Gmail", "accounts.google.com"},
    {"Gmail", "www.google.com"},
    {"Gmail", "gmail.com"},
    {"Yahoo", "mail.yahoo.com"},
    {"Yahoo", "login.yahoo.com"},
    {"Walla", "mail.walla.com"},
    {"Walla", "login.walla.com"},
    {"Hotmail", "hotmail.com"},
    {"Hotmail", "login.live.com"},
    {"Hotmail", "passport.com"},
    {"Hotmail", "passport.net"},
    {"Lycos", "mail.lycos.com"},
    {"Lycos", "login.lycos.com"},
    {"Netscape", "webmail.netscape.com"},
    {"Netscape", kAolScreenName},
    {"O2", "poczta.o2.pl"},
    {"O2", "login.o2.pl"},
    {"Spymac", "spymac.com"},
    {"Gawab", "gawab.com"},
    {"Omnilect", "omnilect.com"},
    {"United Email Systems", "unitedemailsystems.com"},
    {"Xasamail", "xasamail.com"},
    {"Hriders", "hriders.com"},
    {"Rotomail", "rotomail.com"},
};

// True when `host` (lower-case, no port, no trailing dot) is `domain` or a name below it.
constexpr bool HostIsUnder(std::string_view host, std::string_view domain) {
  if (domain.empty() || host.size() < domain.size()) return false;
  if (host.substr(host.size() - domain.size()) != domain) return false;
  return host.size() == domain.size() || host[host.size() - domain.size() - 1] == '.';
}

}  // namespace dtl::site

namespace dtl {

// Where the browser is sent by the program itself, without a trailing "/". Passed in so a test
// can point them at a local server.
struct BrowserEndpoints {
  std::string wallaMail = "http://mail.walla.com";            // the forced inbox page
  std::string wallaLogin = "https://login.walla.com";         // the re-login after a lost session
  std::string productSite = "https://www.drovetail.example";  // help and forum pages
};

}  // namespace dtl
