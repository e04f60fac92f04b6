// The inner browser's navigation policy: non-mail POSTs, every provider rule row in and out of its
// block, the message texts, the user-name guard, every marker form and its SSL variant, the
// re-post body, the Walla state, and hostile bodies and URLs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "browser/AccountPassword.h"
#include "browser/BrowserFormEncoding.h"
#include "browser/NavigationPolicy.h"

namespace {

using dtl::DecideNavigation;
using dtl::NavigationDecision;

const std::string S1 =
    "For security reasons you are not allowed to view the settings of the account.";
const std::string S2 =
    "For security reasons you are not allowed to view the messages.\nTo download the segments "
    "click on the "
    "Auto Download button.";
const std::string S3 = "For security reasons you are not allowed to send invites.";
const std::string S4 = "For security reasons you are not allowed to compose a new message.";
const std::string S5 =
    "You are not allowed to delete Gmail messages from the Drovetail inner browser.";
const std::string S6 = "You are not allowed to report spam from the Drovetail inner browser.";
const std::string S7 =
    "For security reasons DTL prevents the \"Remember me\" option, please uncheck this button and "
    "try again.";
const std::string S8 = "You are not allowed to delete messages from the Drovetail inner browser.";
const std::string S9 =
    "For security reasons you are not allowed to view the options of the account.";
const std::string S10 = "For security reasons you are not allowed to manage the account.";
const std::string S11 =
    "For security reasons you are not allowed to change the settings of the account.";
const std::string S12 = "Please login with Simple Interface mode.";
const std::string kUseCookies =
    "Please check the 'Use Cookies' Checkbox (Second checkbox on the bottom).";

// Every provider rule block as it must read, in table order; a silent row has no message.
// Written out by hand on purpose: never derive it from the table under test.
struct PinnedRow {
  dtl::RuleTarget target;
  std::vector<std::string> any;
  std::string message;
};
struct PinnedBlock {
  std::string name;
  std::vector<std::string> selectors;
  bool wallaInboxRedirect;
  std::vector<std::string> cookiePurges;
  std::vector<PinnedRow> rows;
};
constexpr dtl::RuleTarget kU = dtl::RuleTarget::Url;
constexpr dtl::RuleTarget kB = dtl::RuleTarget::Body;
const std::string kQuiet;
const std::vector<PinnedBlock> kPinnedBlocks = {
    {"Gmail",
     {"gmail", "google"},
     false,
     {},
     {
         {kU, {"view=pr", "manage", "editpasswd"}, S1},
         {kU, {"view=cv"}, S2},
         {kU, {"search=trash", "search=spam"}, kQuiet},
         {kU, {"search=cf", "view=cl"}, kQuiet},
         {kU, {"?ui=html", "/mail/h/"}, kQuiet},
         {kU, {"view=ii"}, S3},
         {kU, {"view=cm"}, S4},
         {kB, {"act=rc"}, kQuiet},
         {kB, {"act=tr", "act=dl"}, S5},
         {kB, {"act=sp"}, S6},
         {kB, {"&persistentcookie=yes"}, S7},
     }},
    {"Yahoo",
     {"yahoo"},
     false,
     {},
     {
         {kU, {"options?", "preferences?"}, S1},
         {kU, {"?eb=1", "?et=1", "&eb=1", "&et=1"}, S8},
         {kU, {"edit.yahoo.com", "eval_profile"}, S1},
         {kU, {"=spam", "blocksender"}, kQuiet},
         {kU, {"compose?"}, kQuiet},
         {kB, {".persistent=y"}, S7},
         {kB, {"&mov=1", "&isspam=1", "send=1"}, kQuiet},
         {kB, {"del=1", "del=delete"}, S8},
     }},
    {"Netscape",
     {"netscape"},
     false,
     {},
     {
         {kU, {"prefs.adp"}, S1},
         {kU, {"=deletemsgs", "emptytrash"}, S8},
         {kU,
          {"myaccount.", "wallet.psp", "edit.psp", "=movemsgs", "rab.adp", "folders.adp",
           "compose.adp"},
          kQuiet},
     }},
    {"Lycos",
     {"lycos"},
     false,
     {},
     {
         {kU,
          {"environ", "compose", "/env/", "/spam/", "/filter/", "mayaregister", "=empty",
           "foldermanage", "mailmanage", "trash"},
          kQuiet},
         {kB, {"m_ws=y"}, S7},
     }},
    {"O2",
     {"o2.pl", "tlen.pl", "go2.pl"},
     false,
     {},
     {
         {kU,
          {"cmd=konfiguracja", "nazwa.php", "haslo.php", "pytanie.php", "sms.php", "fwd.php",
           "cmd=sygnatury", "konta.php", "blokowanie.php", "filtr.php", "vr.php", "spam.php"},
          S1},
         {kU,
          {"im_index.php", "cmd=d_wpis2", "blokowanie.php", "cmd=activate_spamguard", "=ssppaamm",
           "=wyslane", "=ddraft", "cmd=adresy", "cmd=foldery", "cmd=napisz"},
          kQuiet},
         {kB, {"&cmd=", "content-disposition"}, kQuiet},
     }},
    {"Walla",
     {"walla"},
     true,
     {"*walla*.*"},
     {
         {kU, {"w=/@options", "@reg"}, S9},
         {kU, {"w=/@compose"}, S4},
         {kU, {"w=/@manage"}, S10},
         {kB, {"/@folder.action"}, kQuiet},
     }},
    {"Hriders",
     {"hriders"},
     false,
     {"*hriders*.*"},
     {
         {kU,
          {"userpref", "signature", "chgpass", "chgfwd", "chgldap", "addrbook", "subfolder",
           "autoresplink", "chgvac", "chgrules", "chgplan"},
          S9},
         {kU, {"newmsg"}, S4},
         {kB, {"delete"}, S8},
     }},
    {"Omnilect",
     {"omnilect"},
     false,
     {},
     {
         {kU, {"options"}, S9},
         {kU, {"delete"}, S8},
         {kU, {"compose"}, S4},
         {kU, {"move"}, kQuiet},
         {kB, {"delete"}, S8},
         {kB, {"rename", "newfile", "copy"}, kQuiet},
     }},
    {"Xasamail",
     {"xasamail"},
     false,
     {},
     {
         {kU, {"user_pref"}, S9},
         {kU, {"&write=newmsg"}, S4},
         {kU, {"empty_trash", "spam"}, kQuiet},
         {kB, {"move", "block", "delete"}, kQuiet},
         {kB, {"pass_save=save"}, S7},
     }},
    {"Rotomail",
     {"rotomail"},
     false,
     {},
     {
         {kU, {"settings"}, S1},
         {kU, {"compose"}, S4},
         {kU, {"labels", "movefolder", "trash"}, kQuiet},
         {kB, {"move", "block", "delete"}, kQuiet},
         {kB, {"rememberme"}, S7},
     }},
    {"Gawab",
     {"gawab"},
     false,
     {},
     {
         {kU,
          {"=preferences", "=mailpref", "=chpasswd", "=signature", "=vacation", "=blocked",
           "=showextact", "=filters", "=trackmsgs", "=ygmanage"},
          S9},
         {kU, {"=newmsg"}, S4},
         {kB, {"movefile", "cmdmove", "moveto", "spamact"}, S8},
     }},
    {"United E-mail Systems and Spymac",
     {"unitedemailsystems", "spymac"},
     false,
     {"*unitedemailsystems*.*", "*spymac*.*"},
     {
         {kU, {"func=settings", "func=info", "func=profile", "func=spamsettings"}, S11},
         {kU, {"=trash", "action=option"}, kQuiet},
         {kU, {"func=new"}, S4},
         {kB, {"move"}, kQuiet},
         {kB, {"logintype=xp"}, S12},
     }},
};

NavigationDecision Go(const std::string& url, const std::string& body = {},
                      dtl::BrowserViewState state = {}) {
  dtl::NavigationRequest r;
  r.url = url;
  r.postData = body;
  r.flags = 0x40;
  r.targetFrame = "_self";
  r.headers = "Content-Type: application/x-www-form-urlencoded\r\n";
  return DecideNavigation(r, state);
}

std::vector<std::string> Texts(const NavigationDecision& d) {
  std::vector<std::string> t;
  for (const auto& m : d.messages) t.push_back(m.text);
  return t;
}

TEST(NavigationPolicy, PostsGoOnlyToMailSites) {
  const std::vector<std::string> words = {"google",     "gmail",     "yahoo",
                                          "mail",       "walla",     "webmail",
                                          "spymac",     "gawab",     "unitedemailsystems",
                                          "xasamail",   "hotmail",   "passport",
                                          "hriders",    "intermail", "rotomail",
                                          "netscape",   "lycos",     "o2.pl",
                                          "screenname", "omnilect"};
  EXPECT_EQ(
      std::vector<std::string>(dtl::MailSiteKeywords().begin(), dtl::MailSiteKeywords().end()),
      words);
  for (const std::string& w : words) {
    auto d = Go("http://example.test/" + w + "?use_cookie=1", "use_cookie=1&q=1");
    EXPECT_FALSE(d.cancel) << w;
  }
  auto d = Go("http://shop.example.test/cart", "item=1");
  EXPECT_TRUE(d.cancel);
  EXPECT_TRUE(d.messages.empty());
  EXPECT_FALSE(Go("http://shop.example.test/cart").cancel);  // GETs go anywhere
  EXPECT_FALSE(Go("http://shop.example.test/cart?next=MAIL", "item=1").cancel);
}

TEST(NavigationPolicy, RuleTableReadsAsPinned) {
  const auto& table = dtl::ProviderRuleBlocks();
  ASSERT_EQ(table.size(), kPinnedBlocks.size());
  for (size_t i = 0; i < table.size(); ++i) {
    const dtl::ProviderBlock& got = table[i];
    const PinnedBlock& want = kPinnedBlocks[i];
    SCOPED_TRACE(want.name);
    EXPECT_EQ(got.name, want.name);
    EXPECT_EQ(std::vector<std::string>(got.selectors.begin(), got.selectors.end()), want.selectors);
    EXPECT_EQ(got.wallaInboxRedirect, want.wallaInboxRedirect);
    EXPECT_EQ(std::vector<std::string>(got.cookiePurges.begin(), got.cookiePurges.end()),
              want.cookiePurges);
    ASSERT_EQ(got.rules.size(), want.rows.size());
    for (size_t r = 0; r < want.rows.size(); ++r) {
      EXPECT_EQ(got.rules[r].target, want.rows[r].target) << "row " << r;
      EXPECT_EQ(std::vector<std::string>(got.rules[r].any.begin(), got.rules[r].any.end()),
                want.rows[r].any)
          << "row " << r;
      EXPECT_EQ(got.rules[r].message ? std::string(got.rules[r].message) : kQuiet,
                want.rows[r].message)
          << "row " << r;
    }
  }
}

// Each pinned string, placed in a URL or body of its block, cancels with the row's message;
// placed on a neutral mail site it does nothing.
TEST(NavigationPolicy, EveryProviderRowCancelsInsideItsBlockOnly) {
  for (const PinnedBlock& block : kPinnedBlocks) {
    for (const PinnedRow& rule : block.rows) {
      for (const std::string& s : rule.any) {
        const bool body = rule.target == dtl::RuleTarget::Body;
        for (const std::string& selector : block.selectors) {
          const std::string host = "http://www." + selector + ".example/";
          auto d = body ? Go(host + "login", "use_cookie=1&x=" + s) : Go(host + "?" + s);
          EXPECT_TRUE(d.cancel) << block.name << " " << s;
          std::vector<std::string> expected;
          if (!rule.message.empty()) expected.push_back(rule.message);
          if (s == "blokowanie.php") expected = {S1};  // listed in both O2 rows
          EXPECT_EQ(Texts(d), expected) << block.name << " " << s;
        }
        bool namesABlock = false;
        for (const auto& b : kPinnedBlocks)
          for (const std::string& sel : b.selectors)
            namesABlock |= s.find(sel) != std::string::npos;
        if (namesABlock) continue;
        auto out = body ? Go("http://mail.example/login", "use_cookie=1&x=" + s)
                        : Go("http://mail.example/?" + s);
        EXPECT_FALSE(out.cancel) << block.name << " " << s;
        EXPECT_TRUE(out.messages.empty()) << block.name << " " << s;
      }
    }
  }
}

TEST(NavigationPolicy, MessagesFollowTheTableOrderAcrossRowsAndBlocks) {
  struct Case {
    const char* url;
    const char* body;
    std::vector<std::string> messages;
  } cases[] = {
      {"https://mail.google.com/mail/?view=cv&th=1&manage=1", "", {S1, S2}},
      {"https://mail.google.com/mail/?view=ii", "", {S3}},
      {"https://mail.google.com/mail/?act=1", "act=tr&at=x", {S5}},
      {"https://mail.google.com/mail/?act=1", "act=sp", {S6}},
      {"https://login.yahoo.com/config/login", ".persistent=y&login=a", {S7}},
      {"https://mail.walla.com/?w=/@manage", "", {S10}},
      {"http://www.gawab.com/mail?page=preferences", "", {S9}},
      {"http://www.spymac.example/?func=profile", "", {S11}},
      {"http://www.spymac.example/login", "logintype=xp&u=a", {S12}},
      // Blocks are independent: a Gmail address on a Yahoo host is tested by both.
      {"http://mail.yahoo.com/ym/x?next=gmail&view=cm&options?", "", {S4, S1}},
      {"http://mail.yahoo.com/ym/x?m=1&et=1", "del=1&mov=1", {S8, S8}},
  };
  for (const Case& c : cases) {
    auto d = Go(c.url, c.body);
    EXPECT_TRUE(d.cancel) << c.url;
    EXPECT_EQ(Texts(d), c.messages) << c.url;
    for (const auto& m : d.messages) EXPECT_EQ(m.icon, dtl::MessageIcon::Error);
  }
  EXPECT_FALSE(Go("https://login.yahoo.com/config/login", "login=a&passwd=b").cancel);
}

TEST(NavigationPolicy, HridersLoginNeedsTheUseCookiesBox) {
  auto d = Go("http://www.hriders.com:8383/login.cgi", "user=a&pass=b");
  EXPECT_TRUE(d.cancel);
  EXPECT_EQ(Texts(d), std::vector<std::string>{kUseCookies});
  for (auto [page, body] : {std::pair{"login.cgi", "user=a&USE_COOKIE=1"},
                            {"multibtn.cgi", "user=a"},
                            {"button.cgi", "user=a"}})
    EXPECT_FALSE(Go(std::string("http://www.hriders.com:8383/") + page, body).cancel) << page;
  EXPECT_EQ(Go("http://www.hriders.com:8383/").cookiePurges,
            std::vector<std::string>{"*hriders*.*"});
}

struct MarkerForm {
  const char* open;
  const char* close;
  const char* sslOpen;
  const char* sslClose;
  int scheme;
};
const MarkerForm kForms[] = {
    {"(#", "#)", "($", "$)", 160}, {"(|", "|)", "|(", ")|", 150},  {"({", "})", "{(", ")}", 148},
    {"((", "))", "<<", ">>", 143}, {"&|", "|&", "|&", "&|", 143},  {"[{", "}]", "{[", "]}", 141},
    {"<(", ")>", "(<", ">)", 14},  {"|\\", "|/", "|/", "|\\", 13},
};

// A login body whose password field holds `marker` as the user typed it.
std::string LoginBody(const std::string& marker) {
  return "login=alice&passwd=" + dtltest::BrowserFormEncode(marker) + "&.persistent=n";
}

TEST(NavigationPolicy, EveryMarkerFormIsDecodedAndRepostedSslVariantsOnlyOnHttps) {
  const std::string password = "s3cret-pw";
  for (const MarkerForm& f : kForms) {
    for (bool ssl : {false, true}) {
      const std::string inner = dtl::EncryptAccountPassword(password, f.scheme, ssl);
      const std::string marker =
          std::string(ssl ? f.sslOpen : f.open) + inner + (ssl ? f.sslClose : f.close);
      for (const char* scheme : {"http", "HTTPS"}) {
        const std::string url = std::string(scheme) + "://mail.gawab.com/login";
        auto d = Go(url, LoginBody(marker));
        const bool https = scheme[0] == 'H';
        SCOPED_TRACE(marker + " " + url);
        if (ssl && !https) {
          EXPECT_FALSE(d.cancel);
          EXPECT_FALSE(d.repost);
          continue;
        }
        ASSERT_TRUE(d.repost);
        EXPECT_TRUE(d.cancel);
        EXPECT_TRUE(d.messages.empty());
        EXPECT_EQ(d.repost->body.Str(), "login=alice&passwd=" + password + "&.persistent=n");
        EXPECT_EQ(d.repost->url, url);
        EXPECT_EQ(d.repost->flags, 0x40u);
        EXPECT_EQ(d.repost->targetFrame, "_self");
        EXPECT_EQ(d.repost->headers, "Content-Type: application/x-www-form-urlencoded\r\n");
      }
    }
  }
}

// A marker is decoded only in a POST to a known provider's own login or mail host; anywhere
// else (a foreign host, a provider named only in the path, query or user name, a portal host
// where other people's forms live) it goes out as typed and nothing is saved for Walla.
TEST(NavigationPolicy, MarkerIsDecodedOnlyForAKnownProvidersLoginHost) {
  const std::string marker =
      dtltest::BrowserFormEncode(dtl::ExportAccountPassword("Hunter2", false));
  dtl::BrowserEndpoints relogin;
  relogin.wallaLogin = "http://relogin.test:8080";
  struct Case {
    const char* url;
    bool decoded;
    dtl::BrowserEndpoints endpoints = {};
  };
  for (const Case& c : {
           Case{"http://attacker.example/mail/collect", false},
           Case{"http://mail.example.com/login", false},
           Case{"https://attacker.example/?next=https://login.yahoo.com/", false},
           Case{"https://login.yahoo.com.attacker.example/config/login", false},
           Case{"http://login.yahoo.com@attacker.example/mail", false},
           Case{"http://login.yahoo.com:pw@login.yahoo.com/mail", false},  // no user names at all
           Case{"http://attacker.example\\@login.yahoo.com/mail", false},
           Case{"http://groups.yahoo.com/mail/post", false},  // the portal, not its mail
           Case{"http://notwalla.com/mail", false},
           Case{"http://[::1]/mail", false},
           Case{"http://%6cogin.yahoo.com/mail", false},
           Case{"ftp://login.yahoo.com/mail", false},
           Case{"http://relogin.test:8080/mail", false},  // only when the program is aimed there
           Case{"http://relogin.test:8080/mail", true, relogin},
           Case{"https://login.yahoo.com/config/login", true},
           Case{" HTTPS://LOGIN.YAHOO.COM./config/login", true},
           Case{"http://us.f500.mail.yahoo.com/ym/login", true},
           Case{"https://accounts.google.com/ServiceLoginAuth", true},
           Case{"https://login.walla.com/", true},
           Case{"https://screenname.aol.com/_cqr/login/login.psp", true},
           Case{"http://www.xasamail.com:8080/cgi-bin/login.cgi", true},
       }) {
    SCOPED_TRACE(c.url);
    EXPECT_EQ(dtl::IsProviderLoginHost(c.url, c.endpoints), c.decoded);
    dtl::NavigationRequest r;
    r.url = c.url;
    r.postData = "user=joe&password=" + marker;
    const NavigationDecision d = DecideNavigation(r, {}, c.endpoints);
    EXPECT_EQ(d.repost.has_value(), c.decoded);
    if (d.repost) {
      EXPECT_EQ(d.repost->body.Str(), "user=joe&password=Hunter2");
      continue;
    }
    // Goes out as typed: nothing cancels it (none of these names a rule block) and no login
    // with a marker is saved.
    EXPECT_FALSE(d.cancel);
    EXPECT_FALSE(d.newSavedWallaLogin);
  }
}

TEST(NavigationPolicy, MarkerInAUserNameFieldTurnsDecodingAndBodyRulesOff) {
  const std::string marker = dtltest::BrowserFormEncode(dtl::ExportAccountPassword("pw", false));
  for (std::string field : {"email", "login", "username"})
    for (std::string c : {"%7C", "%3c", "%28", "%5B", "%7B", "%26"}) {
      const std::string g = field + "=" + c + "%";
      auto d = Go("http://login.yahoo.com/config", g + "41&passwd=" + marker + "&.persistent=y");
      EXPECT_FALSE(d.cancel) << g;
      EXPECT_FALSE(d.repost) << g;
    }
  // One encoded character alone ("%28" then a letter) is not the guard's shape.
  EXPECT_TRUE(Go("http://login.yahoo.com/config", "login=%28a&passwd=" + marker).repost);
}

TEST(NavigationPolicy, RepostKeepsOtherFieldsAndEscapesThePasswordForTheForm) {
  struct Case {
    const char* password;
    const char* posted;
  } cases[] = {
      {"plain", "plain"},
      {"a&b=c+d%e f", "a%26b%3Dc%2Bd%25e%20f"},
      {"(#x#)", "(#x#)"},  // a password shaped like a marker is not decoded a second time
  };
  for (const Case& c : cases) {
    const std::string marker =
        dtltest::BrowserFormEncode(dtl::ExportAccountPassword(c.password, false));
    const std::string body = "user=john+smith&pass=" + marker + "&again=" + marker + "&btn=Sign+in";
    auto d = Go("http://mail.gawab.com/login", body);
    ASSERT_TRUE(d.repost) << c.password;
    EXPECT_EQ(d.repost->body.Str(), std::string("user=john+smith&pass=") + c.posted +
                                        "&again=" + c.posted + "&btn=Sign+in");
    // The re-post comes back through the policy and goes out as it is.
    auto again = Go("http://mail.gawab.com/login", d.repost->body.Str());
    EXPECT_FALSE(again.cancel) << c.password;
    EXPECT_FALSE(again.repost) << c.password;
  }
  // Plus signs typed inside the marker are dropped with it.
  std::string marker = dtltest::BrowserFormEncode(dtl::ExportAccountPassword("pw", false));
  marker.insert(10, "+");
  EXPECT_EQ(Go("http://mail.gawab.com/login", "pass=" + marker + "+&x=1").repost->body.Str(),
            "pass=pw+&x=1");
}

TEST(NavigationPolicy, WallaLoginIsSavedAndTheInboxForcedOnce) {
  const std::string body = LoginBody("(#" + dtl::EncryptAccountPassword("pw", 160, false) + "#)");
  auto login = Go("https://login.walla.com/", body);
  EXPECT_TRUE(login.wallaFlag);
  ASSERT_TRUE(login.newSavedWallaLogin);
  EXPECT_EQ(login.newSavedWallaLogin->body, body);  // the marker stays encoded
  EXPECT_EQ(login.newSavedWallaLogin->flags, 0x40u);
  EXPECT_FALSE(Go("https://mail.gawab.com/", body).newSavedWallaLogin);

  dtl::BrowserViewState s;
  auto noDocument = Go("http://mail.walla.com/", "", s);
  EXPECT_FALSE(noDocument.inboxRedirect);
  EXPECT_EQ(noDocument.cookiePurges, std::vector<std::string>{"*walla*.*"});

  s.documentCookie = "A=1234567890";  // 12 characters, no session marker
  auto forced = Go("http://mail.walla.com/?w=/@main", "", s);
  EXPECT_EQ(forced.inboxRedirect,
            "http://mail.walla.com/?w=/@msg&fid=-1000&f=0&o=6&p=0&q=&id=-1&prev=-1&next=-1");
  EXPECT_TRUE(forced.inboxRedirectFlag);
  EXPECT_FALSE(forced.cancel);

  s.inboxRedirectFlag = true;
  EXPECT_FALSE(Go("http://mail.walla.com/", "", s).inboxRedirect);
  s.documentCookie = "short=1";
  EXPECT_FALSE(Go("http://mail.walla.com/", "", s).inboxRedirectFlag);
  s.inboxRedirectFlag = false;
  s.documentCookie = "A=1; WSD=abcdef";
  EXPECT_FALSE(Go("http://mail.walla.com/", "", s).inboxRedirect);
  EXPECT_EQ(Go("http://www.spymac.example/").cookiePurges,
            (std::vector<std::string>{"*unitedemailsystems*.*", "*spymac*.*"}));
}

// Markers cut short, nested, reversed or overlapping, and huge inputs: no crash, no read outside
// a buffer (the suite also runs under AddressSanitizer).
TEST(NavigationPolicy, HostileBodiesAndUrlsAreHandledSafely) {
  const std::string good = dtltest::BrowserFormEncode(dtl::ExportAccountPassword("pw", false));
  struct Case {
    std::string body;
    bool repost;
  } cases[] = {
      {"pass=%28%23QUJD", false},                   // no closing text
      {"pass=%28%23%29", false},                    // closing overlaps the opening
      {"a=%23%29&pass=" + good, true},              // a closing text before the opening
      {"pass=%28%23%28%23QUJD%23%29%23%29", true},  // nested
      {"pass=%28%23%ZZ%4%23%29", true},             // invalid escapes inside
      {"pass=" + good.substr(0, good.size() - 3), false},
  };
  for (const Case& c : cases) {
    auto d = Go("http://mail.gawab.com/login", c.body);
    EXPECT_EQ(d.repost.has_value(), c.repost) << c.body;
  }
  EXPECT_EQ(Go("http://mail.gawab.com/login", "a=%23%29&pass=" + good).repost->body.Str(),
            "a=%23%29&pass=pw");

  const std::string longUrl = "http://mail.google.com/" + std::string(1 << 20, 'a') + "view=cm";
  EXPECT_EQ(Texts(Go(longUrl)), std::vector<std::string>{S4});
  std::string longBody(1 << 20, '+');
  longBody += "pass=" + good + std::string(1 << 20, 'x');
  auto d = Go("http://mail.gawab.com/login", longBody);
  ASSERT_TRUE(d.repost);
  EXPECT_EQ(d.repost->body.Size(), (2u << 20) + 7);
}

}  // namespace
