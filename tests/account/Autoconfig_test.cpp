// The autoconfig reader and fetch: what a document may say, what it can never make the program
// do (talk plain text, reach a bad host name), and how documents come over https only.
#include <gtest/gtest.h>

#include "account/AccountDiscovery.h"
#include "account/Autoconfig.h"
#include "account/AutoconfigFixture.h"

namespace {

std::string Doc(const std::string& incoming, const std::string& outgoing) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<clientConfig version=\"1.1\"><emailProvider id=\"example.test\">"
         "<domain>example.test</domain><displayName>Example Mail</displayName>" +
         incoming + outgoing + "</emailProvider></clientConfig>\n";
}

std::string Server(const char* kind, const char* type, const std::string& host, const char* port,
                   const char* socket, const char* user = "%EMAILADDRESS%",
                   const char* auth = "password-cleartext") {
  return std::string("<") + kind + " type=\"" + type + "\"><hostname>" + host +
         "</hostname><port>" + port + "</port><socketType>" + socket + "</socketType><username>" +
         user + "</username><authentication>" + auth + "</authentication></" + kind + ">";
}

std::string Imap(const std::string& host, const char* port, const char* socket,
                 const char* user = "%EMAILADDRESS%", const char* auth = "password-cleartext") {
  return Server("incomingServer", "imap", host, port, socket, user, auth);
}
std::string Smtp(const std::string& host, const char* port, const char* socket,
                 const char* user = "%EMAILADDRESS%", const char* auth = "password-cleartext") {
  return Server("outgoingServer", "smtp", host, port, socket, user, auth);
}

const std::string kGood =
    Doc(Imap("imap.example.test", "993", "SSL"), Smtp("smtp.example.test", "587", "STARTTLS"));

TEST(Autoconfig, ReadsServersAndReplacesPlaceholders) {
  auto doc = dtl::ParseAutoconfig(
      Doc(Imap("imap.example.test", "993", "SSL", "%EMAILLOCALPART%"),
          Smtp("smtp.example.test", "465", "SSL", "%EMAILLOCALPART%@%EMAILDOMAIN%")));
  ASSERT_TRUE(doc) << doc.error().message;
  EXPECT_EQ(doc->displayName, "Example Mail");
  auto p = dtl::ProfileFromAutoconfig(*doc, "ann@example.test");
  ASSERT_TRUE(p) << p.error().message;
  EXPECT_EQ(p->imap.host, "imap.example.test");
  EXPECT_EQ(p->imap.port, 993);
  EXPECT_EQ(p->imap.security, dtl::ServerSecurity::ImplicitTls);
  EXPECT_EQ(p->imap.user, "ann");
  EXPECT_EQ(p->smtp.user, "ann@example.test");
  EXPECT_EQ(p->login, dtl::LoginKind::Password);
}

TEST(Autoconfig, OAuthOnlyServersGiveAnOAuthProfile) {
  auto doc = dtl::ParseAutoconfig(
      Doc(Imap("outlook.office365.com", "993", "SSL", "%EMAILADDRESS%", "OAuth2"),
          Smtp("smtp.office365.com", "587", "STARTTLS", "%EMAILADDRESS%", "OAuth2")));
  ASSERT_TRUE(doc);
  auto p = dtl::ProfileFromAutoconfig(*doc, "a@contoso.test");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->login, dtl::LoginKind::OAuth2);
  EXPECT_EQ(p->oauthProvider, "microsoft");
}

// Each row: a document whose first server of a kind is unusable, then a usable one. The
// unusable one must be passed over; were the check missing, its host would be taken.
TEST(Autoconfig, UnsafeOrUnusableServersAreSkipped) {
  const struct {
    const char* what;
    std::string badImap;
  } cases[] = {
      {"socketType plain", Imap("bad.example.test", "143", "plain")},
      {"socketType missing", Imap("bad.example.test", "143", "")},
      {"host with a space", Imap("bad.example.test evil", "993", "SSL")},
      {"host with a URL part", Imap("bad.example.test/x", "993", "SSL")},
      {"host with a port", Imap("bad.example.test:25", "993", "SSL")},
      {"host with a user", Imap("u@bad.example.test", "993", "SSL")},
      {"port 0", Imap("bad.example.test", "0", "SSL")},
      {"port 65536", Imap("bad.example.test", "65536", "SSL")},
      {"port not a number", Imap("bad.example.test", "99x", "SSL")},
      {"only a login the program cannot make",
       Imap("bad.example.test", "993", "SSL", "%EMAILADDRESS%", "GSSAPI")},
      {"a POP3 server", Server("incomingServer", "pop3", "bad.example.test", "995", "SSL")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto doc = dtl::ParseAutoconfig(Doc(c.badImap + Imap("imap.example.test", "993", "SSL"),
                                        Smtp("smtp.example.test", "465", "SSL")));
    ASSERT_TRUE(doc) << doc.error().message;
    auto p = dtl::ProfileFromAutoconfig(*doc, "a@example.test");
    ASSERT_TRUE(p) << p.error().message;
    EXPECT_EQ(p->imap.host, "imap.example.test");
  }
}

TEST(Autoconfig, OnlyPlainServersFindNothing) {
  auto doc = dtl::ParseAutoconfig(
      Doc(Imap("imap.example.test", "143", "plain"), Smtp("smtp.example.test", "25", "plain")));
  ASSERT_TRUE(doc);
  auto p = dtl::ProfileFromAutoconfig(*doc, "a@example.test");
  ASSERT_FALSE(p);
  EXPECT_EQ(p.error().code, dtl::ErrorCode::NotFound);
}

TEST(Autoconfig, HostileDocumentsAreRefused) {
  // Usable servers in each, so only the rule under test can refuse the document.
  std::string nest;
  for (int i = 0; i < 40; ++i) nest += "<x>";
  for (int i = 0; i < 40; ++i) nest += "</x>";
  std::string deep = kGood;
  deep.insert(deep.find("</emailProvider>"), nest);
  std::string huge = kGood;
  huge.insert(huge.find("</emailProvider>"),
              "<instruction>" + std::string(dtl::kAutoconfigMaxBytes, 'a') + "</instruction>");
  const struct {
    const char* what;
    std::string xml;
  } cases[] = {
      {"nested deeper than the limit", deep},
      {"larger than the limit", huge},
      {"an internal entity",
       "<?xml version=\"1.0\"?><!DOCTYPE clientConfig [<!ENTITY a \"aaaaaaaa\">"
       "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;\">]><clientConfig><emailProvider>"
       "<displayName>&b;</displayName>" +
           Imap("imap.example.test", "993", "SSL") + Smtp("smtp.example.test", "465", "SSL") +
           "</emailProvider></clientConfig>"},
      {"an external entity",
       "<?xml version=\"1.0\"?><!DOCTYPE clientConfig [<!ENTITY x SYSTEM \"file:///etc/passwd\">]>"
       "<clientConfig><emailProvider><displayName>&x;</displayName>" +
           Imap("imap.example.test", "993", "SSL") + Smtp("smtp.example.test", "465", "SSL") +
           "</emailProvider></clientConfig>"},
      {"a bare DOCTYPE", "<!DOCTYPE clientConfig>" + kGood.substr(kGood.find("<clientConfig"))},
      {"not well formed", kGood.substr(0, kGood.size() / 2)},
      {"another root", "<html><body>not here</body></html>"},
      {"no servers", "<clientConfig><emailProvider/></clientConfig>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto doc = dtl::ParseAutoconfig(c.xml);
    ASSERT_FALSE(doc);
    EXPECT_EQ(doc.error().code, dtl::ErrorCode::Corrupt);
  }
}

TEST(Autoconfig, UrlsPercentEncodeTheAddress) {
  EXPECT_EQ(
      dtl::AutoconfigUrl("example.test", "a+b@example.test"),
      "https://autoconfig.example.test/mail/config-v1.1.xml?emailaddress=a%2Bb%40example.test");
  EXPECT_EQ(dtl::WellKnownAutoconfigUrl("example.test"),
            "https://example.test/.well-known/autoconfig/mail/config-v1.1.xml");
}

TEST(Autoconfig, FetchRefusesAnythingButHttps) {
  auto r =
      dtl::FetchAutoconfig("http://example.test/mail/config-v1.1.xml", {}, std::chrono::seconds(5));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().code, dtl::ErrorCode::Unsupported);
}

class AutoconfigFetch : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { pki_ = std::make_unique<dtltest::AutoconfigPki>(); }
  static void TearDownTestSuite() { pki_.reset(); }
  void SetUp() override {
    ASSERT_TRUE(pki_->ok()) << pki_->output();
    server_ = std::make_unique<dtltest::AutoconfigServer>(*pki_);
    ASSERT_TRUE(server_->running()) << server_->error();
    env_.endpoints = server_->Endpoints();
    env_.useSrv = false;
    env_.fetchTimeout = std::chrono::seconds(10);
  }
  dtl::Result<dtl::AccountProfile> Discover(std::vector<dtl::DiscoveryStep>* steps = nullptr) {
    return dtl::DiscoverAccount("ann@example.test", env_, [steps](const dtl::DiscoveryStep& s) {
      if (steps) steps->push_back(s);
    });
  }
  static inline std::unique_ptr<dtltest::AutoconfigPki> pki_;
  std::unique_ptr<dtltest::AutoconfigServer> server_;
  dtl::DiscoveryEnvironment env_;
};

const char kFirst[] = "autoconfig.example.test/mail/config-v1.1.xml";
const char kSecond[] = "example.test/.well-known/autoconfig/mail/config-v1.1.xml";

TEST_F(AutoconfigFetch, FirstUrlIsUsedWithTheAddress) {
  server_->Route(kFirst, 200, kGood);
  auto p = Discover();
  ASSERT_TRUE(p) << p.error().message;
  EXPECT_EQ(p->source, dtl::ProfileSource::Autoconfig);
  EXPECT_EQ(p->sourceDetail, dtl::AutoconfigUrl("example.test", "ann@example.test"));
  EXPECT_EQ(p->imap.host, "imap.example.test");
  EXPECT_EQ(p->smtp.security, dtl::ServerSecurity::StartTls);
  const auto requests = server_->Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0],
            "autoconfig.example.test /mail/config-v1.1.xml?emailaddress=ann%40example.test");
}

TEST_F(AutoconfigFetch, MissingFirstDocumentFallsToTheWellKnownOne) {
  server_->Route(kSecond, 200, kGood);
  std::vector<dtl::DiscoveryStep> steps;
  auto p = Discover(&steps);
  ASSERT_TRUE(p) << p.error().message;
  EXPECT_EQ(p->source, dtl::ProfileSource::WellKnownAutoconfig);
  ASSERT_EQ(steps.size(), 3u);  // table, first URL (404), second URL
  EXPECT_FALSE(steps[1].found);
  EXPECT_NE(steps[1].outcome.find("404"), std::string::npos) << steps[1].outcome;
  EXPECT_TRUE(steps[2].found);
}

TEST_F(AutoconfigFetch, RedirectToHttpIsRefused) {
  server_->Redirect(kFirst, "http://example.test/mail/config-v1.1.xml");
  server_->Redirect(kSecond, "http://example.test/plain.xml");
  std::vector<dtl::DiscoveryStep> steps;
  auto p = Discover(&steps);
  ASSERT_FALSE(p);
  EXPECT_EQ(p.error().code, dtl::ErrorCode::NotFound);
  auto r = dtl::FetchAutoconfig("https://" + std::string(kFirst), server_->Endpoints(),
                                std::chrono::seconds(10));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().code, dtl::ErrorCode::Unsupported) << r.error().message;
}

TEST_F(AutoconfigFetch, RedirectToHttpsIsFollowed) {
  server_->Redirect(kFirst, "https://elsewhere.example.test/config.xml");
  server_->Route("elsewhere.example.test/config.xml", 200, kGood);
  auto p = Discover();
  ASSERT_TRUE(p) << p.error().message;
  EXPECT_EQ(p->imap.host, "imap.example.test");
}

TEST_F(AutoconfigFetch, DocumentWithOnlyPlainServersGivesNothing) {
  server_->Route(
      kFirst, 200,
      Doc(Imap("imap.example.test", "143", "plain"), Smtp("smtp.example.test", "25", "plain")));
  auto p = Discover();
  ASSERT_FALSE(p);
  EXPECT_EQ(p.error().code, dtl::ErrorCode::NotFound);
}

TEST_F(AutoconfigFetch, OversizedDocumentIsRefusedOnTheWire) {
  server_->Route(kFirst, 200, std::string(dtl::kAutoconfigMaxBytes + 10, ' ') + kGood);
  auto r = dtl::FetchAutoconfig("https://" + std::string(kFirst), server_->Endpoints(),
                                std::chrono::seconds(10));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().code, dtl::ErrorCode::Corrupt) << r.error().message;
}

TEST_F(AutoconfigFetch, CertificateFromAnotherCaIsRefused) {
  server_->Route(kFirst, 200, kGood);
  dtl::NetworkEndpoints ep = server_->Endpoints();
  ep.caFile.clear();  // the system's CAs do not know the test CA
  auto r = dtl::FetchAutoconfig("https://" + std::string(kFirst), ep, std::chrono::seconds(10));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().code, dtl::ErrorCode::Tls) << r.error().message;
}

}  // namespace
