// The shared cookie store taking the inner browser's cookies as the browser holds them, and the
// rule that picks which of them belong to the page's site.
#include "browser/CookieJar.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace dtl {
namespace {

struct SiteCase {
  const char* name;
  const char* host;
  const char* cookieDomain;
  bool sameSite;
};

class SameSiteTest : public ::testing::TestWithParam<SiteCase> {};

TEST_P(SameSiteTest, CookieBelongsToThePagesRegistrableDomainOnly) {
  const SiteCase& c = GetParam();
  EXPECT_EQ(CookieJar::SameSite(c.host, c.cookieDomain), c.sameSite)
      << c.host << " / " << c.cookieDomain;
}

INSTANTIATE_TEST_SUITE_P(
    Table, SameSiteTest,
    ::testing::Values(
        SiteCase{"SameHost", "mail.walla.com", "mail.walla.com", true},
        SiteCase{"DomainCookieOfTheSite", "mail.walla.com", ".walla.com", true},
        SiteCase{"SiblingHostOfTheSite", "mail.walla.com", "login.walla.com", true},
        SiteCase{"CaseIgnored", "MAIL.Walla.COM", ".WALLA.com", true},
        SiteCase{"OtherSite", "mail.walla.com", "mail.yahoo.com", false},
        SiteCase{"LookAlikeSuffix", "mail.walla.com", "walla.com.evil.example", false},
        SiteCase{"TopLevelDomainAlone", "mail.walla.com", ".com", false},
        SiteCase{"CountrySecondLevelSite", "mail.yahoo.co.uk", "login.yahoo.co.uk", true},
        SiteCase{"CountrySecondLevelAlone", "mail.yahoo.co.uk", ".co.uk", false},
        SiteCase{"OtherSiteUnderCountrySecondLevel", "mail.yahoo.co.uk", "mail.other.co.uk", false},
        SiteCase{"TwoLabelCountrySite", "poczta.o2.pl", ".o2.pl", true},
        SiteCase{"AddressIsItsOwnSite", "127.0.0.1", "127.0.0.1", true},
        SiteCase{"AddressTailIsNoSite", "127.0.0.1", "0.0.1", false},
        SiteCase{"NoDomain", "mail.walla.com", "", false}),
    [](const ::testing::TestParamInfo<SiteCase>& info) { return std::string(info.param.name); });

TEST(CookieJarStore, KeepsDomainPathSecureExpiryAndHttpOnly) {
  CookieJar jar;
  ASSERT_TRUE(jar.Valid());
  CookieJar::Cookie session{"SID", "42", "mail.walla.com"};
  session.httpOnly = true;
  CookieJar::Cookie wide{"pref", "x", ".walla.com", "/mail"};
  wide.hostOnly = false;
  wide.secure = true;
  wide.expires = 4102444800;  // 2100-01-01
  CookieJar::Cookie forged{"a\tb", "1\n2", "mail.walla.com", ""};
  CookieJar::Cookie nameless{"", "1", "mail.walla.com"};
  CookieJar::Cookie hostless{"x", "1", ""};
  jar.Store({session, wide, forged, nameless, hostless});
  std::vector<std::string> lines = jar.List();
  std::sort(lines.begin(), lines.end());
  const std::vector<std::string> expected = {
      "#HttpOnly_mail.walla.com\tFALSE\t/\tFALSE\t0\tSID\t42",
      ".walla.com\tTRUE\t/mail\tTRUE\t4102444800\tpref\tx",
      "mail.walla.com\tFALSE\t/\tFALSE\t0\tab\t12",
  };
  std::vector<std::string> want = expected;
  std::sort(want.begin(), want.end());
  EXPECT_EQ(lines, want);
}

// The crawler lends the session string to the provider's hosts after the browser handed over
// its own cookies: a copy the browser already holds for a host keeps its HttpOnly and Secure
// flags, while hosts it does not cover, and a new session value, still get the string.
TEST(CookieJarStore, SessionStringNeverDowngradesACookieTheBrowserHandedOver) {
  CookieJar jar;
  CookieJar::Cookie sid{"SID", "42", "mail.walla.com"};
  sid.httpOnly = true;
  CookieJar::Cookie wide{"LANG", "he", ".walla.com"};
  wide.hostOnly = false;
  CookieJar::Cookie narrow{"PREF", "1", "mail.walla.com", "/mail"};
  jar.Store({sid, wide, narrow});

  ASSERT_TRUE(jar.StoreForHost("mail.walla.com", "SID=42; LANG=he; PREF=1", false).ok());
  ASSERT_TRUE(jar.StoreForHost("attach.walla.com", "SID=42; LANG=he", false).ok());
  auto lines = jar.List();
  std::sort(lines.begin(), lines.end());
  const std::vector<std::string> kept = {
      "#HttpOnly_mail.walla.com\tFALSE\t/\tFALSE\t0\tSID\t42",
      ".walla.com\tTRUE\t/\tFALSE\t0\tLANG\the",
      "attach.walla.com\tFALSE\t/\tFALSE\t0\tSID\t42",
      "mail.walla.com\tFALSE\t/\tFALSE\t0\tPREF\t1",
      "mail.walla.com\tFALSE\t/mail\tFALSE\t0\tPREF\t1",
  };
  EXPECT_EQ(lines, kept);

  ASSERT_TRUE(jar.StoreForHost("mail.walla.com", "SID=43", false).ok());
  lines = jar.List();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "mail.walla.com\tFALSE\t/\tFALSE\t0\tSID\t43"),
            lines.end())
      << "a new session replaces the old one";
  ASSERT_TRUE(jar.StoreForHost("mail.walla.com", "LANG=he", true).ok());
  lines = jar.List();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "mail.walla.com\tFALSE\t/\tTRUE\t0\tLANG\the"),
            lines.end())
      << "a plain cookie does not stand in for a secure-only copy";
}

}  // namespace
}  // namespace dtl
