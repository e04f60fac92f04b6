// The SMTP client against a real SMTP server (the aiosmtpd fixture, started per test on a free
// loopback port), with a throw-away CA made by the openssl tool.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "fixtures/provider_server.h"
#include "fixtures/smtp_fixture.h"
#include "mail/EmailObject.h"
#include "mail/SmtpClient.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using dtl::SmtpClient;
using dtl::SmtpSettings;
using dtltest::ShellQuote;

// A CA the client does not know: the system's own bundle never signed the test certificate.
constexpr char kUnknownCa[] = "/etc/ssl/certs/ca-certificates.crt";

class SmtpIntegration : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { pki_ = std::make_unique<dtltest::ProviderPki>(); }
  static void TearDownTestSuite() { pki_.reset(); }
  void SetUp() override { ASSERT_TRUE(pki_->ok()) << pki_->output(); }

  // The fixture storing into this test's mail folder; `tls`: "--implicit-tls" or "--starttls",
  // serving the PKI's certificate `cert` ("server": valid for localhost, "wrong": for another
  // name).
  std::unique_ptr<dtltest::SmtpFixture> Start(std::vector<std::string> extra,
                                              const char* tls = nullptr,
                                              const std::string& cert = "server") {
    if (tls)
      extra.insert(extra.end(), {"--cert", pki_->file((cert + ".pem").c_str()), "--key",
                                 pki_->file((cert + ".key").c_str()), tls});
    auto s = std::make_unique<dtltest::SmtpFixture>(mail_.path(), extra);
    EXPECT_NE(s->port(), 0) << "the SMTP fixture did not start";
    return s;
  }
  SmtpSettings Settings(int port) const {
    SmtpSettings s;
    s.host = "localhost";
    s.port = port;
    s.localHostName = "client.test";
    s.caFile = pki_->file("ca.pem");
    s.connectTimeout = std::chrono::milliseconds(10000);
    s.replyTimeout = std::chrono::milliseconds(20000);
    return s;
  }
  std::string Stored(const char* ext) const {
    return dtltest::ReadFileText(mail_ / ("msg-1" + std::string(ext)));
  }
  static std::string Errors(const SmtpClient& c) {
    std::string out;
    for (const auto& e : c.LastLog().Errors()) out += e + "\n";
    return out;
  }

  static std::unique_ptr<dtltest::ProviderPki> pki_;
  dtltest::TempDir mail_;
};
std::unique_ptr<dtltest::ProviderPki> SmtpIntegration::pki_;

const dtl::SmtpEnvelope kEnvelope{"sender@example.test",
                                  {"first@example.test", "second@example.test"}};
const std::string kMessage = "From: sender@example.test\r\nSubject: integration\r\n\r\nhello\r\n";

TEST_F(SmtpIntegration, EachLoginMechanismLogsInAndAWrongPasswordFails) {
  for (const char* mechanism : {"LOGIN", "PLAIN", "CRAM-MD5"}) {
    SCOPED_TRACE(mechanism);
    auto server = Start({"--auth", "drover:pa ss:w0rd", "--mechanisms", mechanism});
    SmtpSettings s = Settings(server->port());
    s.user = "drover";
    s.password = "pa ss:w0rd";
    s.allowPlainLogin = true;  // the mechanisms themselves, over a plain connection
    SmtpClient client(s);
    ASSERT_TRUE(client.SendMessage(kEnvelope, kMessage)) << Errors(client);
    EXPECT_NE(Stored(".json").find("\"login\": \"drover\""), std::string::npos) << Stored(".json");
    fs::remove(mail_ / "msg-1.json");

    s.password = "wrong";
    SmtpClient refused(s);
    EXPECT_FALSE(refused.SendMessage(kEnvelope, kMessage));
    EXPECT_NE(Errors(refused).find(std::string("Failed to login using ") + mechanism + " method"),
              std::string::npos)
        << Errors(refused);
  }
}

// A configured login goes out only over an encrypted connection unless plain logins are
// allowed; the server's own record of logins proves the password never reached it.
TEST_F(SmtpIntegration, LoginIsNeverSentInTheClearUnlessPlainLoginsAreAllowed) {
  const struct {
    const char* name;
    const char* tls;
    bool allowPlain;
    bool delivered;
    const char* security;
  } cases[] = {
      {"no STARTTLS offered", nullptr, false, false, "plain"},
      {"no STARTTLS offered, plain logins allowed", nullptr, true, true, "plain"},
      {"STARTTLS offered", "--starttls", false, true, "STARTTLS"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto server = Start({"--auth", "alice:TopSecret", "--mechanisms", "LOGIN"}, c.tls);
    SmtpSettings s = Settings(server->port());
    s.user = "alice";
    s.password = "TopSecret";
    s.allowPlainLogin = c.allowPlain;
    SmtpClient client(s);
    const dtl::Status sent = client.SendMessage(kEnvelope, kMessage);
    EXPECT_EQ(client.Security(), c.security);
    const std::string logins =
        fs::exists(mail_ / "auth.log") ? dtltest::ReadFileText(mail_ / "auth.log") : "";
    if (c.delivered) {
      EXPECT_TRUE(sent) << Errors(client);
      EXPECT_EQ(logins, "LOGIN alice\n");
    } else {
      ASSERT_FALSE(sent);
      EXPECT_EQ(sent.error().code, dtl::ErrorCode::Tls);
      EXPECT_NE(Errors(client).find("the server offers no encryption; the password was not sent"),
                std::string::npos)
          << Errors(client);
      EXPECT_EQ(logins, "");
      EXPECT_FALSE(fs::exists(mail_ / "msg-1.eml"));
    }
    fs::remove_all(mail_.path());
    fs::create_directories(mail_.path());
  }
}

// RFC 1870: the announced limit is read, every MAIL FROM gives the size, and a larger message
// is refused before any of it goes out.
TEST_F(SmtpIntegration, SizeExtensionIsReadAndALargerMessageIsNeverSent) {
  auto server = Start({"--size-limit", "10240000"});
  SmtpClient small(Settings(server->port()));
  ASSERT_TRUE(small.SendMessage(kEnvelope, kMessage)) << Errors(small);
  EXPECT_EQ(small.SizeLimit(), 10240000u);
  EXPECT_NE(Stored(".json").find("\"SIZE=" + std::to_string(kMessage.size()) + "\""),
            std::string::npos)
      << Stored(".json");

  std::string big = "Subject: big\r\n\r\n";
  while (big.size() <= 10240000) big += std::string(998, 'A') + "\r\n";
  SmtpClient client(Settings(server->port()));
  const dtl::Status sent = client.SendMessage(kEnvelope, big);
  ASSERT_FALSE(sent);
  EXPECT_EQ(sent.error().code, dtl::ErrorCode::Refused);
  ASSERT_TRUE(client.PermanentRefusal());
  EXPECT_EQ(client.PermanentRefusal()->code, 552);
  EXPECT_NE(Errors(client).find("the server takes at most 10240000 bytes"), std::string::npos)
      << Errors(client);
  EXPECT_FALSE(fs::exists(mail_ / "msg-2.eml"));
}

// A 5xx to the end of data is a permanent refusal of the whole message; a 4xx is not.
TEST_F(SmtpIntegration, RefusalAtTheEndOfDataTellsPermanentFromTransient) {
  for (const char* reply :
       {"552 5.3.4 Message size exceeds fixed limit", "452 4.3.1 Insufficient system storage"}) {
    SCOPED_TRACE(reply);
    auto server = Start({"--refuse-data", reply});
    SmtpClient client(Settings(server->port()));
    ASSERT_FALSE(client.SendMessage(kEnvelope, kMessage));
    const bool permanent = reply[0] == '5';
    ASSERT_EQ(client.PermanentRefusal().has_value(), permanent);
    if (permanent) {
      EXPECT_EQ(client.PermanentRefusal()->code, 552);
      EXPECT_EQ(client.PermanentRefusal()->lines,
                std::vector<std::string>{"5.3.4 Message size exceeds fixed limit"});
    }
  }
}

TEST_F(SmtpIntegration, TwoRecipientsInOrderAndDotLinesArriveIntact) {
  auto server = Start({});
  // Dot lines everywhere, including across the client's write chunks, and a lone "." line.
  std::string message = "Subject: dots\r\n\r\n.\r\n..\r\n.leading\r\n";
  for (int i = 0; message.size() < 700000; ++i)
    message += (i % 3 ? "line " : ".dot ") + std::to_string(i) + "\r\n";
  message += ".\r\nlast\r\n";
  SmtpClient client(Settings(server->port()));
  ASSERT_TRUE(client.SendMessage(kEnvelope, message)) << Errors(client);
  EXPECT_EQ(Stored(".eml"), message);
  EXPECT_NE(Stored(".json").find("\"rcpt\": [\"first@example.test\", \"second@example.test\"]"),
            std::string::npos);
}

TEST_F(SmtpIntegration, RefusedSecondRecipientIsAPartialFailure) {
  auto server = Start({"--refuse", "second@example.test"});
  SmtpClient client(Settings(server->port()));
  const dtl::Status sent = client.SendMessage(kEnvelope, kMessage);
  ASSERT_FALSE(sent);
  EXPECT_EQ(sent.error().message, "Partial send failure.");
  EXPECT_EQ(Stored(".eml"), kMessage);
}

// The server is verified against the CA (given or from DTL_CA_FILE) and against the host name
// dialled; an unknown CA, or a certificate from the right CA for another name, fails the
// attempt, never a silent downgrade, except in opportunistic STARTTLS (Direct Send).
TEST_F(SmtpIntegration, TlsVerifiesTheServerOrFailsWithoutDowngrade) {
  const struct {
    const char* name;
    const char* mode;
    bool rightCa, caFromEnvironment, opportunistic;
  } cases[] = {
      {"implicit", "--implicit-tls", true, false, false},
      {"implicit, CA from environment", "--implicit-tls", true, true, false},
      {"implicit, unknown CA", "--implicit-tls", false, false, false},
      {"STARTTLS", "--starttls", true, false, false},
      {"STARTTLS, unknown CA", "--starttls", false, false, false},
      {"opportunistic STARTTLS, unknown CA", "--starttls", false, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (const char* f : {"msg-1.eml", "msg-1.json"}) fs::remove(mail_ / f);
    auto server = Start({}, c.mode);
    SmtpSettings s = Settings(server->port());
    s.ssl = std::string(c.mode) == "--implicit-tls";
    s.caFile = c.rightCa ? pki_->file("ca.pem") : kUnknownCa;
    if (c.opportunistic) s.startTls = dtl::StartTlsMode::Opportunistic;
    if (c.caFromEnvironment) {
      setenv("DTL_CA_FILE", s.caFile.c_str(), 1);
      s.caFile.clear();
    }
    SmtpClient client(s);
    bool sent = client.SendMessage(kEnvelope, kMessage).ok();
    unsetenv("DTL_CA_FILE");
    if (c.rightCa || c.opportunistic) {
      ASSERT_TRUE(sent) << Errors(client);
      EXPECT_EQ(client.Security(), s.ssl ? "implicit TLS" : "STARTTLS");
      EXPECT_NE(Stored(".json").find("\"tls\": true"), std::string::npos);
    } else {
      EXPECT_FALSE(sent);
      EXPECT_NE(Errors(client).find("Failed to connect to secure SMTP (1)"), std::string::npos)
          << Errors(client);
      EXPECT_FALSE(fs::exists(mail_ / "msg-1.eml"));
    }
  }
}

// A certificate signed by the trusted CA but issued for another name is a different server: on
// the SMTP-server path it fails the attempt before any command is sent, with either kind of TLS.
TEST_F(SmtpIntegration, TlsRefusesACertificateIssuedForAnotherName) {
  for (const char* mode : {"--implicit-tls", "--starttls"}) {
    SCOPED_TRACE(mode);
    auto server = Start({}, mode, "wrong");
    SmtpSettings s = Settings(server->port());
    s.ssl = std::string(mode) == "--implicit-tls";
    SmtpClient client(s);
    EXPECT_FALSE(client.SendMessage(kEnvelope, kMessage));
    EXPECT_NE(Errors(client).find("Failed to connect to secure SMTP (1)"), std::string::npos)
        << Errors(client);
    EXPECT_FALSE(fs::exists(mail_ / "msg-1.eml"));
    EXPECT_FALSE(fs::exists(mail_ / "msg-1.json"));
  }
}

// Connecting to addresses a resolver of the caller's gave still checks the certificate against
// the host's name, never against the address dialled (the "server" certificate also names
// 127.0.0.1, the "wrong" one only elsewhere.test).
TEST_F(SmtpIntegration, GivenAddressesKeepTheHostNameForTheCertificateCheck) {
  const struct Case {
    const char* host;
    const char* cert;
    bool delivered;
  } cases[] = {
      {"localhost", "server", true},
      {"elsewhere.test", "server", false},
      {"elsewhere.test", "wrong", true},
  };
  for (const char* mode : {"--implicit-tls", "--starttls"}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(mode) + " " + c.host + " " + c.cert);
      fs::remove(mail_ / "msg-1.eml");
      fs::remove(mail_ / "msg-1.json");
      auto server = Start({}, mode, c.cert);
      SmtpSettings s = Settings(server->port());
      s.host = c.host;
      s.ssl = std::string(mode) == "--implicit-tls";
      s.resolveAddresses = [](const std::string&) {
        return dtl::Result<std::vector<std::string>>(std::vector<std::string>{"127.0.0.1"});
      };
      SmtpClient client(s);
      EXPECT_EQ(client.SendMessage(kEnvelope, kMessage).ok(), c.delivered) << Errors(client);
      EXPECT_EQ(fs::exists(mail_ / "msg-1.eml"), c.delivered);
    }
  }
}

TEST_F(SmtpIntegration, EmailObjectIsDeliveredWithItsEnvelope) {
  auto server = Start({});
  auto email = dtl::EmailObject::CreateMessage(dtl::CurrentMessageStamp());
  email.SetHeader("X-Mailer", "");
  email.SetSubject("song.mp3 - segment number 12         a1b2c3d4e5");
  email.SetFrom("sender@example.test");
  email.AddTo("first@example.test", "first@example.test");
  email.AddAttachmentBytes("song.mp3.012", "", dtltest::RandomBytes(50000, 7));
  ASSERT_TRUE(email.ZipAttachments("song.mp3.012.doc"));
  ASSERT_TRUE(email.AesEncrypt(""));
  email.SetBody("song.mp3 - segment number 12         a1b2c3d4e5.");
  email.SetUuidSource([] { return std::string("0c35e8d2-5aec-4c1d-ae80-066335037712"); });
  std::string wire;
  ASSERT_TRUE(email.Render(wire));
  SmtpClient client(Settings(server->port()));
  ASSERT_TRUE(client.SendEmail(email)) << Errors(client);
  EXPECT_EQ(Stored(".eml"), wire);
  EXPECT_NE(
      Stored(".json").find("\"from\": \"sender@example.test\", \"rcpt\": [\"first@example.test\"]"),
      std::string::npos);
}

TEST_F(SmtpIntegration, TestServerCommandPrintsTheVerdict) {
  auto plain = Start({});
  auto secure = Start({}, "--implicit-tls");
  const std::string ca = "DTL_CA_FILE=" + ShellQuote(pki_->file("ca.pem"));
  const std::string plainPort = " --port " + std::to_string(plain->port());
  const std::string securePort = " --port " + std::to_string(secure->port());
  const struct {
    std::string args, env;
    int status;
    const char* out;
  } runs[] = {
      {"localhost" + plainPort, "", 0, "Success.\n"},
      {"localhost --ssl" + securePort, ca, 0, "Success.\n"},
      {"localhost --timeout 2" + securePort, "", 1,
       "Failure.\n"},  // a plain client gets no greeting
      {"x" + plainPort, "", 1, "Failure.\n"},
      {"", "", 2, ""},
      {"localhost --port 99999", "", 2, ""},
  };
  for (const auto& r : runs) {
    auto res = dtltest::RunDtl("test-server " + r.args, "", r.env);
    EXPECT_EQ(res.status, r.status) << r.args << "\n" << res.all();
    EXPECT_EQ(res.out, r.out) << r.args;
  }
}

}  // namespace
