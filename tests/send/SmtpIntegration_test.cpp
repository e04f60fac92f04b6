// The SMTP client against a real SMTP server (the aiosmtpd fixture, started per test on a free
// loopback port), with a throw-away CA made by the openssl tool.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "archive/EmailObject.h"
#include "fixtures/smtp_fixture.h"
#include "send/ServerTest.h"
#include "send/SmtpClient.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using dtl::SmtpClient;
using dtl::SmtpSettings;
using dtltest::ShellQuote;

// A CA, a server certificate it signed for localhost and 127.0.0.1, and an unrelated CA.
class Pki {
 public:
  Pki() {
    const std::string d = ShellQuote(dir_.path().string());
    const std::string ec = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    std::string script =
        "cd " + d + " && set -e\n"
        "openssl req -x509 " + ec + " -keyout ca.key -out ca.pem -days 2 -subj '/CN=Drovetail Test CA'"
        " -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign\n"
        "openssl req -x509 " + ec + " -keyout other.key -out other.pem -days 2 -subj '/CN=Other CA'"
        " -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign\n"
        "openssl req " + ec + " -keyout server.key -out server.csr -subj '/CN=localhost'\n"
        "printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\\nextendedKeyUsage=serverAuth\\n' > ext.cnf\n"
        "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2"
        " -extfile ext.cnf -out server.pem\n";
    auto r = dtltest::RunCommand(script);
    ok_ = r.status == 0;
    output_ = r.output;
  }
  bool ok() const { return ok_; }
  const std::string& output() const { return output_; }
  std::string file(const char* name) const { return (dir_.path() / name).string(); }
  std::vector<std::string> ServerArgs() const { return {"--cert", file("server.pem"), "--key", file("server.key")}; }

 private:
  dtltest::TempDir dir_;
  bool ok_ = false;
  std::string output_;
};

class SmtpIntegration : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { pki_ = new Pki; }
  static void TearDownTestSuite() {
    delete pki_;
    pki_ = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(pki_->ok()) << pki_->output(); }

  std::unique_ptr<dtltest::SmtpFixture> Start(std::vector<std::string> extra) {
    std::vector<std::string> args = {"--maildir", mail_.path().string()};
    args.insert(args.end(), extra.begin(), extra.end());
    auto s = std::make_unique<dtltest::SmtpFixture>(args);
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
  std::string Stored(int n, const char* ext) const {
    return dtltest::ReadFileText(mail_.path() / ("msg-" + std::to_string(n) + ext));
  }
  static std::string Errors(const SmtpClient& c) {
    std::string out;
    for (const auto& e : c.LastLog().Errors()) out += e + "\n";
    return out;
  }

  static Pki* pki_;
  dtltest::TempDir mail_;
};
Pki* SmtpIntegration::pki_ = nullptr;

const dtl::SmtpEnvelope kEnvelope{"sender@example.test", {"first@example.test", "second@example.test"}};
const std::string kMessage = "From: sender@example.test\r\nSubject: integration\r\n\r\nhello\r\n";

class LoginMechanism : public SmtpIntegration, public ::testing::WithParamInterface<const char*> {};

TEST_P(LoginMechanism, LogsInAndDelivers) {
  auto server = Start({"--auth", "drover:pa ss:w0rd", "--mechanisms", GetParam()});
  SmtpSettings s = Settings(server->port());
  s.user = "drover";
  s.password = "pa ss:w0rd";
  SmtpClient client(s);
  ASSERT_TRUE(client.SendMessage(kEnvelope, kMessage)) << Errors(client);
  EXPECT_NE(Stored(1, ".json").find("\"login\": \"drover\""), std::string::npos) << Stored(1, ".json");

  s.password = "wrong";
  SmtpClient refused(s);
  EXPECT_FALSE(refused.SendMessage(kEnvelope, kMessage));
  EXPECT_NE(Errors(refused).find(std::string("Failed to login using ") + GetParam() + " method"), std::string::npos)
      << Errors(refused);
}

INSTANTIATE_TEST_SUITE_P(Mechanisms, LoginMechanism, ::testing::Values("LOGIN", "PLAIN", "CRAM-MD5"),
                         [](const auto& info) {
                           std::string n = info.param;
                           return n == "CRAM-MD5" ? std::string("CRAM_MD5") : n;
                         });

TEST_F(SmtpIntegration, TwoRecipientsInOrderAndDotLinesArriveIntact) {
  auto server = Start({});
  // Dot lines everywhere, including across the client's write chunks, and a lone "." line.
  std::string message = "Subject: dots\r\n\r\n.\r\n..\r\n.leading\r\n";
  for (int i = 0; message.size() < 700000; ++i) message += (i % 3 ? "line " : ".dot ") + std::to_string(i) + "\r\n";
  message += ".\r\nlast\r\n";
  SmtpClient client(Settings(server->port()));
  ASSERT_TRUE(client.SendMessage(kEnvelope, message)) << Errors(client);
  EXPECT_EQ(Stored(1, ".eml"), message);
  EXPECT_NE(Stored(1, ".json").find("\"rcpt\": [\"first@example.test\", \"second@example.test\"]"), std::string::npos);
}

TEST_F(SmtpIntegration, RefusedSecondRecipientIsAPartialFailure) {
  auto server = Start({"--refuse", "second@example.test"});
  SmtpClient client(Settings(server->port()));
  EXPECT_FALSE(client.SendMessage(kEnvelope, kMessage));
  EXPECT_EQ(client.LastError(), "Partial send failure.");
  EXPECT_EQ(Stored(1, ".eml"), kMessage);
}

struct TlsCase {
  const char* name;
  bool implicit;
  bool rightCa;
  bool caFromEnvironment;
};
class Tls : public SmtpIntegration, public ::testing::WithParamInterface<TlsCase> {};

TEST_P(Tls, VerifiesTheServerOrFailsWithoutDowngrade) {
  const auto& c = GetParam();
  auto args = pki_->ServerArgs();
  args.push_back(c.implicit ? "--implicit-tls" : "--starttls");
  auto server = Start(args);
  SmtpSettings s = Settings(server->port());
  s.ssl = c.implicit;
  s.caFile = pki_->file(c.rightCa ? "ca.pem" : "other.pem");
  if (c.caFromEnvironment) {
    setenv("DTL_CA_FILE", s.caFile.c_str(), 1);
    s.caFile.clear();
  }
  SmtpClient client(s);
  bool sent = client.SendMessage(kEnvelope, kMessage);
  unsetenv("DTL_CA_FILE");
  if (c.rightCa) {
    ASSERT_TRUE(sent) << Errors(client);
    EXPECT_EQ(client.Security(), c.implicit ? "implicit TLS" : "STARTTLS");
    EXPECT_NE(Stored(1, ".json").find("\"tls\": true"), std::string::npos);
  } else {
    EXPECT_FALSE(sent);
    EXPECT_NE(Errors(client).find("Failed to connect to secure SMTP (1)"), std::string::npos) << Errors(client);
    EXPECT_FALSE(fs::exists(mail_.path() / "msg-1.eml"));
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, Tls,
                         ::testing::Values(TlsCase{"Implicit", true, true, false},
                                           TlsCase{"ImplicitCaFromEnvironment", true, true, true},
                                           TlsCase{"ImplicitWrongCa", true, false, false},
                                           TlsCase{"StartTls", false, true, false},
                                           TlsCase{"StartTlsWrongCa", false, false, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SmtpIntegration, OpportunisticStartTlsStillEncryptsWithAnUnknownCa) {
  auto args = pki_->ServerArgs();
  args.push_back("--starttls");
  auto server = Start(args);
  SmtpSettings s = Settings(server->port());
  s.caFile = pki_->file("other.pem");
  s.startTls = dtl::StartTlsMode::Opportunistic;
  SmtpClient client(s);
  ASSERT_TRUE(client.SendMessage(kEnvelope, kMessage)) << Errors(client);
  EXPECT_EQ(client.Security(), "STARTTLS");
}

TEST_F(SmtpIntegration, EmailObjectIsDeliveredWithItsEnvelope) {
  auto server = Start({});
  auto email = dtl::EmailObject::CreateMessage(dtl::CurrentMessageStamp());
  email.SetUuidSource([] { return std::string("0c35e8d2-5aec-4c1d-ae80-066335037712"); });
  email.SetHeader("X-Mailer", "");
  email.SetSubject("song.mp3 - segment number 12         a1b2c3d4e5");
  email.SetFrom("sender@example.test");
  email.AddTo("first@example.test", "first@example.test");
  ASSERT_TRUE(email.AddAttachmentBytes("song.mp3.012", "", dtltest::RandomBytes(50000, 7)));
  ASSERT_TRUE(email.ZipAttachments("song.mp3.012.doc"));
  ASSERT_TRUE(email.AesEncrypt(""));
  email.SetBody("song.mp3 - segment number 12         a1b2c3d4e5.");
  std::string wire;
  ASSERT_TRUE(email.Render(wire));
  SmtpClient client(Settings(server->port()));
  ASSERT_TRUE(client.SendEmail(email)) << Errors(client);
  EXPECT_EQ(Stored(1, ".eml"), wire);
  EXPECT_NE(Stored(1, ".json").find("\"from\": \"sender@example.test\", \"rcpt\": [\"first@example.test\"]"),
            std::string::npos);
}

TEST_F(SmtpIntegration, TestServerCommandPrintsTheVerdict) {
  auto plain = Start({});
  auto secure = Start([&] {
    auto a = pki_->ServerArgs();
    a.push_back("--implicit-tls");
    return a;
  }());
  const std::string dtl = ShellQuote(dtltest::DtlPath());
  const std::string ca = "DTL_CA_FILE=" + ShellQuote(pki_->file("ca.pem")) + " ";
  struct Run {
    std::string command;
    int status;
    const char* output;
  } runs[] = {
      {dtl + " test-server localhost --port " + std::to_string(plain->port()), 0, "Success.\n"},
      {ca + dtl + " test-server localhost --ssl --port " + std::to_string(secure->port()), 0, "Success.\n"},
      // A plain client talking to a TLS port gets no greeting.
      {dtl + " test-server localhost --timeout 2 --port " + std::to_string(secure->port()), 1, "Failure.\n"},
      {dtl + " test-server x --port " + std::to_string(plain->port()), 1, "Failure.\n"},
      {dtl + " test-server", 2, nullptr},
      {dtl + " test-server localhost --port 99999", 2, nullptr},
  };
  for (const auto& r : runs) {
    auto res = dtltest::RunCommand(r.command + " 2>/dev/null");
    EXPECT_EQ(res.status, r.status) << r.command << "\n" << res.output;
    if (r.output) {
      EXPECT_EQ(res.output, r.output) << r.command;
    }
  }
}

}  // namespace
