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
