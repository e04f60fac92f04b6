// The view's smaller rules: login-page rewriting for Yahoo and AOL, the Walla re-login, the
// keep-alive, when Auto Download is enabled, and the sites the product panes refuse.
#include <gtest/gtest.h>

#include <string>

#include "browser/AccountPassword.h"
#include "browser/BrowserFormEncoding.h"
#include "browser/LoginPageRewriter.h"
#include "browser/MailSiteFilter.h"
#include "browser/NavigationPolicy.h"

namespace {

using dtl::RewriteLoginPage;

TEST(LoginPageRewriter, YahooMailPagesLoseTheirFirstOnSubmit) {
  const std::string page =
      "<form onsubmit=\"return hash(this)\" action=/login><input onsubmit=\"x\">";
  EXPECT_EQ(RewriteLoginPage("https://login.YAHOO.com/?.src=ym&mail=1", page),
            "<form  action=/login><input onsubmit=\"x\">");
  // Only mail pages under a dotted Yahoo host.
  EXPECT_FALSE(RewriteLoginPage("https://login.yahoo.com/?.src=fp", page));
  EXPECT_FALSE(RewriteLoginPage("http://yahoo.com/mail", page));
  // No complete attribute: the page is left alone.
  EXPECT_FALSE(RewriteLoginPage("https://mail.yahoo.com/", "<form onsubmit=\"return x(this)>"));
  EXPECT_FALSE(RewriteLoginPage("https://mail.yahoo.com/", "<form ONSUBMIT=\"x\">"));
  // An empty attribute does not swallow the next one.
  EXPECT_EQ(RewriteLoginPage("https://mail.yahoo.com/", "<form onsubmit=\"\" name=\"f\">"),
            "<form  name=\"f\">");
}

TEST(LoginPageRewriter, AolScreenNamePagesLoseEveryMaxLengthThenTheOnSubmit) {
  const std::string page =
      "<form onsubmit=\"return v()\"><input type=password maxlength=\"16\" name=pw>"
      "<input maxLength=\"16\"><input MaxLength=\"8\"><input Maxlength=20 maxlength=\"30\">";
  EXPECT_EQ(RewriteLoginPage("https://my.screenname.aol.com/_cqr/login/login.psp", page),
            "<form ><input type=password  name=pw><input ><input \"8\"><input 20 \"30\">");
  // Without an onsubmit the length limits still go.
  EXPECT_EQ(RewriteLoginPage("https://my.screenname.aol.com/", "<input maxlength=\"16\">"),
            "<input >");
  EXPECT_FALSE(RewriteLoginPage("https://my.screenname.aol.com/", "<input name=pw>"));
}

// Without a saved login the user is told to log in again; with one it is posted again and its
// marker decoded on the way.
TEST(WallaRelogin, TheSavedLoginIsPostedAgainOrTheUserToldToLogIn) {
  auto none = dtl::DecideWallaRelogin({});
  ASSERT_TRUE(none.message);
  EXPECT_EQ(none.message->text,
            "The session ended and Drovetail couldn't re-login.\nplease login again with the "
            "Encrypted Password.");
  EXPECT_EQ(none.message->icon, dtl::MessageIcon::Information);
  EXPECT_FALSE(none.repost || none.clearInboxRedirectFlag);

  const std::string body =
      "user=shared&pass=" + dtltest::BrowserFormEncode(dtl::ExportAccountPassword("pw!", true));
  auto r = dtl::DecideWallaRelogin({body, 0x10, "H: v\r\n"});
  ASSERT_TRUE(r.repost);
  EXPECT_FALSE(r.message);
  EXPECT_TRUE(r.clearInboxRedirectFlag);
  EXPECT_EQ(r.repost->url, "https://login.walla.com/");
  EXPECT_EQ(r.repost->targetFrame, "");
  EXPECT_EQ(r.repost->headers, "H: v\r\n");
  EXPECT_EQ(r.repost->body.Str(), body);

  dtl::NavigationRequest again{r.repost->url, r.repost->flags, r.repost->targetFrame,
                               r.repost->body.Str(), r.repost->headers};
  auto d = dtl::DecideNavigation(again, {});
  ASSERT_TRUE(d.repost);
  EXPECT_EQ(d.repost->body.Str(), "user=shared&pass=pw!");
  EXPECT_EQ(d.repost->flags, 0x10u);
}

TEST(BrowserViewRules, KeepAliveAutoDownloadAndAccountId) {
  EXPECT_TRUE(dtl::KeepAliveShouldRefresh("http://mail.walla.com/"));
  EXPECT_FALSE(dtl::KeepAliveShouldRefresh("https://MAIL.GOOGLE.COM/mail/?ui=2"));

  struct Case {
    const char* domain;
    const char* url;
    const char* cookie;
    bool enabled;
  } cases[] = {
      {"mail.google.com", "https://mail.google.com/mail/", "SID=abc", true},
      {"us.f1.mail.yahoo.com", "http://us.f1.mail.yahoo.com/ym/", "Y=abcd", true},
      {"poczta.o2.pl", "http://poczta.o2.pl/", "s=12345", true},
      {"mail.walla.com", "http://mail.walla.com/", "s=1234", true},  // 6 characters is enough
      {"www.example.com", "http://www.example.com/", "SID=abcdef", false},
      {"www.hriders.com", "http://www.hriders.com:8383/x.cgi?uid=7&a=1", "S=abcdef", true},
      {"www.hriders.com", "http://www.hriders.com:8383/x.cgi", "S=abcdef", false},
      {"mail.google.com", "https://mail.google.com/mail/", "S=123", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(dtl::AutoDownloadEnabled(c.domain, c.url, c.cookie), c.enabled) << c.domain << c.url;

  EXPECT_EQ(dtl::XasamailAccountId("<a href=\"read.cgi?ACC=Shared01&folder=inbox\">"), "shared01");
  EXPECT_FALSE(dtl::XasamailAccountId("<p>nothing</p>"));
}

// The product panes never open a web-mail site.
TEST(MailSiteFilter, PanesRefuseEveryProviderAndNothingElse) {
  for (const char* url :
       {"https://mail.GOOGLE.com/", "http://gmail.com", "http://mail.yahoo.com/",
        "http://walla.co.il", "http://omnilect.com", "http://www.gawab.com",
        "http://unitedemailsystems.com", "http://spymac.com", "http://www.hriders.com:8383/",
        "http://intermail.example", "http://rotomail.com", "http://webmail.netscape.com",
        "http://mail.lycos.com", "http://poczta.o2.pl/", "http://xasamail.com/",
        "http://example.org/?next=yahoo"})
    EXPECT_TRUE(dtl::PaneRefusesNavigation(url)) << url;
  for (const char* url : {"https://www.drovetail.example/forums/", "http://mail.example.com/",
                          "http://hotmail.com/", "file:///opt/drovetail/verb1.html", ""})
    EXPECT_FALSE(dtl::PaneRefusesNavigation(url)) << url;
}

}  // namespace
