// The SMTP dialogue against scripted peers: a loopback server that plays one scripted
// conversation per connection and records what the client said.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "send/MailProgress.h"
#include "send/ServerTest.h"
#include "send/SmtpAuth.h"
#include "send/SmtpClient.h"
#include "support/LoopbackPeer.h"

namespace {

using dtl::SmtpClient;
using dtl::SmtpEnvelope;
using dtl::SmtpSettings;

struct Step {
  enum Kind { Send, Line, Data, Drop, Flood, Hang } kind;
  std::string text;   // Line: the prefix the client's line must start with
  std::string reply;  // bytes sent back after the step (Flood: repeated until the client leaves)
};
using Script = std::vector<Step>;

Step Greet(std::string reply = "220 fake ESMTP\r\n") { return {Step::Send, {}, std::move(reply)}; }
Step Expect(std::string prefix, std::string reply) { return {Step::Line, std::move(prefix), std::move(reply)}; }
Step Body(std::string reply = "250 queued\r\n") { return {Step::Data, {}, std::move(reply)}; }

class ScriptedPeer {
 public:
  explicit ScriptedPeer(std::vector<Script> scripts) : scripts_(std::move(scripts)) {}
  int port() const { return peer_.port(); }
  void Join() { peer_.Join(); }
  // After Join(): everything the client sent, one entry per line, DATA bodies as "<data>".
  const std::vector<std::string>& heard() const { return heard_; }
  const std::vector<std::string>& problems() const { return problems_; }
  int connections() const { return connections_; }
  std::string body() const { return body_; }

 private:
  bool Serve(int fd) {
    if (connections_ < static_cast<int>(scripts_.size())) Play(fd, scripts_[connections_++]);
    return connections_ < static_cast<int>(scripts_.size());
  }
  // The one place that checks each expected command and sends each reply.
  void Play(int fd, const Script& script) {
    std::string buf;
    for (const auto& step : script) {
      std::optional<std::string> got;
      switch (step.kind) {
        case Step::Send:
          break;
        case Step::Line:
          if (!(got = dtltest::ReadUntil(fd, buf, "\r\n"))) {
            problems_.push_back("client left before '" + step.text + "'");
            return;
          }
          heard_.push_back(*got);
          if (got->rfind(step.text, 0) != 0) {
            problems_.push_back("expected '" + step.text + "', heard '" + *got + "'");
            return;
          }
          break;
        case Step::Data:
          if (!(got = dtltest::ReadUntil(fd, buf, "\r\n.\r\n"))) {
            heard_.push_back("<left during data>");
            return;
          }
          body_ = *got + "\r\n";
          heard_.push_back("<data>");
          break;
        case Step::Drop:
          return;
        case Step::Flood:
          while (dtltest::SendAll(fd, step.reply)) {
          }
          return;
        case Step::Hang:
          while (dtltest::ReadUntil(fd, buf, "\n")) {
          }
          return;
      }
      dtltest::SendAll(fd, step.reply);
    }
    // Whatever the client says after the script ended is a fault of the script or the client.
    if (auto extra = dtltest::ReadUntil(fd, buf, "\r\n")) problems_.push_back("unexpected '" + *extra + "'");
  }

  std::vector<Script> scripts_;
  std::string body_;
  std::vector<std::string> heard_, problems_;
  int connections_ = 0;
  dtltest::LoopbackPeer peer_{[this](int fd) { return Serve(fd); }};
};

struct Progress : dtl::MailProgress {
  std::vector<int> sent;
  bool abortOnSend = false;
  bool abortAlways = false;
  void SendProgress(int percent, bool& abort) override {
    sent.push_back(percent);
    if (abortOnSend) abort = true;
  }
  void ReadProgress(int, bool& abort) override { abort = abortAlways; }
  void AbortPoll(bool& abort) override { abort = abortAlways; }
};

SmtpSettings Local(int port) {
  SmtpSettings s;
  s.host = "127.0.0.1";
  s.port = port;
  s.localHostName = "client.test";
  s.connectTimeout = std::chrono::milliseconds(5000);
  s.replyTimeout = std::chrono::milliseconds(5000);
  return s;
}

const SmtpEnvelope kEnvelope{"a@from.test", {"b@to.test"}};
const std::string kMessage = "Subject: hi\r\n\r\nhello\r\n";

void Flatten(const dtl::MailLogNode& n, std::string& out) {
  out += n.name + "=" + n.text + "\n";
  for (const auto& c : n.children) Flatten(c, out);
}
std::string LogText(const SmtpClient& c) {
  std::string out;
  Flatten(c.LastLog().Root(), out);
  return out;
}
bool HasError(const SmtpClient& c, const std::string& text) {
  for (const auto& e : c.LastLog().Errors())
    if (e == text) return true;
  return false;
}

// The usual tail after a successful hello: envelope, data, quit.
Script Tail(Script s) {
  for (auto st : {Expect("MAIL FROM:<a@from.test>", "250 ok\r\n"), Expect("RCPT TO:<b@to.test>", "250 ok\r\n"),
                  Expect("DATA", "354 go\r\n"), Body(), Expect("QUIT", "221 bye\r\n")})
    s.push_back(st);
  return s;
}

TEST(SmtpDialogue, PlainDeliveryStuffsLeadingDotsAndEndsWithTheDot) {
  ScriptedPeer peer({Tail({Greet(), Expect("EHLO client.test", "250-fake\r\n250 SIZE 1000\r\n")})});
  const std::string message = ".first\r\nSubject: x\r\n\r\n.\r\n..two\r\nmid.dle\r\nlast";
  Progress progress;
  SmtpClient client(Local(peer.port()), &progress);
  EXPECT_TRUE(client.SendMessage(kEnvelope, message)) << LogText(client);
  peer.Join();
  EXPECT_TRUE(peer.problems().empty()) << peer.problems().front();
  // Every line-leading dot doubled, the message closed with CRLF "." CRLF after its own text.
  EXPECT_EQ(peer.body(), "..first\r\nSubject: x\r\n\r\n..\r\n...two\r\nmid.dle\r\nlast\r\n");
  EXPECT_EQ(client.Security(), "plain");
  ASSERT_FALSE(progress.sent.empty());
  EXPECT_EQ(progress.sent.back(), 100);
  EXPECT_EQ(client.LastError(), "");
}

struct Refusal {
  const char* name;
  Script script;
  const char* error;  // the specific text; the summary follows it
  const char* summary;
};

class RefusalAtEachStep : public ::testing::TestWithParam<Refusal> {};

TEST_P(RefusalAtEachStep, FailsWithItsTextAndStillSaysQuit) {
  ScriptedPeer peer({GetParam().script});
  SmtpClient client(Local(peer.port()));
  EXPECT_FALSE(client.SendMessage(kEnvelope, kMessage));
  peer.Join();
  EXPECT_TRUE(peer.problems().empty()) << peer.problems().front();
  EXPECT_TRUE(HasError(client, GetParam().error)) << LogText(client);
  EXPECT_EQ(client.LastError(), GetParam().summary);
  ASSERT_FALSE(peer.heard().empty());
  EXPECT_EQ(peer.heard().back(), "QUIT");
}

const Step kEhlo = Expect("EHLO", "250 fake\r\n");
const Step kQuit = Expect("QUIT", "221 bye\r\n");
INSTANTIATE_TEST_SUITE_P(
    Steps, RefusalAtEachStep,
    ::testing::Values(
        Refusal{"Greeting", {Greet("554 go away\r\n"), kQuit}, "Failed to get initial response",
                "Failed to connect to SMTP server."},
        Refusal{"MailFrom", {Greet(), kEhlo, Expect("MAIL FROM", "550 no\r\n"), kQuit}, "MAIL FROM refused", "Send failed."},
        Refusal{"EveryRecipient",
                {Greet(), kEhlo, Expect("MAIL FROM", "250 ok\r\n"), Expect("RCPT TO", "550 unknown\r\n"), kQuit},
                "All recipients refused", "Send failed."},
        Refusal{"Data",
                {Greet(), kEhlo, Expect("MAIL FROM", "250 ok\r\n"), Expect("RCPT TO", "250 ok\r\n"),
                 Expect("DATA", "554 no\r\n"), kQuit},
                "DATA refused", "Send failed."},
        Refusal{"EndOfData",
                {Greet(), kEhlo, Expect("MAIL FROM", "250 ok\r\n"), Expect("RCPT TO", "250 ok\r\n"),
                 Expect("DATA", "354 go\r\n"), Body("554 5.7.1 spam\r\n"), kQuit},
                "The message was refused at the end of data", "Send failed."}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SmtpDialogue, RefusedEhloFallsBackToHeloWithoutLogin) {
  ScriptedPeer peer({Tail({Greet(), Expect("EHLO client.test", "502 what\r\n"), Expect("HELO client.test", "250 hi\r\n")})});
  SmtpSettings s = Local(peer.port());
  s.user = "u";
  s.password = "p";
  SmtpClient client(s);
  EXPECT_TRUE(client.SendMessage(kEnvelope, kMessage)) << LogText(client);
  peer.Join();
  EXPECT_TRUE(peer.problems().empty()) << peer.problems().front();
  EXPECT_NE(LogText(client).find("EHLO failed, sending HELO..."), std::string::npos);
}

struct LoginCase {
  const char* name;
  const char* authLine;  // what the EHLO reply offers
  const char* user;
  const char* password;
  Script login;          // the exchange expected between EHLO and MAIL FROM
  const char* note;      // a log text expected, or ""
};

class LoginChoice : public ::testing::TestWithParam<LoginCase> {};

// RFC 2195's example exchange.
const std::string kCramChallenge = "<1896.697170952@postoffice.reston.mci.net>";
const std::string kCramAnswer = "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw";

// AUTH LOGIN for "user" / "s3cret!".
const Script kLoginExchange = {Expect("AUTH LOGIN", "334 VXNlcm5hbWU6\r\n"), Expect("dXNlcg==", "334 UGFzc3dvcmQ6\r\n"),
                               Expect("czNjcmV0IQ==", "235 ok\r\n")};

TEST_P(LoginChoice, UsesTheRightMechanismAndNeverLogsCredentials) {
  const auto& c = GetParam();
  Script s = {Greet(), Expect("EHLO", std::string("250-fake\r\n250 ") + c.authLine + "\r\n")};
  s.insert(s.end(), c.login.begin(), c.login.end());
  ScriptedPeer peer({Tail(s)});
  SmtpSettings set = Local(peer.port());
  set.user = c.user;
  set.password = c.password;
  SmtpClient client(set);
  EXPECT_TRUE(client.SendMessage(kEnvelope, kMessage)) << LogText(client);
  peer.Join();
  EXPECT_TRUE(peer.problems().empty()) << peer.problems().front();
  const std::string log = LogText(client);
  if (*c.note) {
    EXPECT_NE(log.find(c.note), std::string::npos) << log;
  }
  if (c.login.empty()) return;  // nothing secret was said
  for (const std::string& secret :
       {std::string(c.password), dtl::Base64Encode(c.user), dtl::Base64Encode(c.password),
        dtl::Base64Encode(dtl::PlainAuthBlob(c.user, c.password)), kCramAnswer})
    EXPECT_EQ(log.find(secret), std::string::npos) << secret << "\n" << log;
}

INSTANTIATE_TEST_SUITE_P(
    Offers, LoginChoice,
    ::testing::Values(
        LoginCase{"LoginBeforePlain", "AUTH PLAIN LOGIN", "user", "s3cret!",
                  kLoginExchange,
                  "<credentials hidden>"},
        LoginCase{"OldStyleAuthEqualsLine", "AUTH=LOGIN", "user", "s3cret!",
                  kLoginExchange,
                  ""},
        LoginCase{"PlainCarriesUserTwice", "auth plain", "user", "s3cret!",
                  {Expect("AUTH PLAIN", "334 \r\n"), Expect("dXNlcgB1c2VyAHMzY3JldCE=", "235 ok\r\n")},
                  "<credentials hidden>"},
        LoginCase{"CramMd5BeforePlainAsInRfc2195", "AUTH PLAIN CRAM-MD5", "tim", "tanstaaftanstaaf",
                  {Expect("AUTH CRAM-MD5", "334 " + dtl::Base64Encode(kCramChallenge) + "\r\n"),
                   Expect(kCramAnswer, "235 ok\r\n")},
                  "<credentials hidden>"},
        LoginCase{"NtlmIsSkippedForLogin", "AUTH NTLM LOGIN", "user", "s3cret!",
                  kLoginExchange,
                  ""},
        LoginCase{"DigestOnlyMeansNoLogin", "AUTH DIGEST-MD5", "user", "s3cret!", {},
                  "DIGEST-MD5 login method not supported"},
        LoginCase{"UserWithoutPasswordMeansNoLogin", "AUTH LOGIN PLAIN", "user", "", {}, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SmtpDialogue, FailedLoginEndsTheAttempt) {
  ScriptedPeer peer({{Greet(), Expect("EHLO", "250 AUTH LOGIN\r\n"), Expect("AUTH LOGIN", "334 x\r\n"),
                      Expect("dQ==", "334 y\r\n"), Expect("cA==", "535 bad credentials\r\n"), kQuit}});
  SmtpSettings s = Local(peer.port());
  s.user = "u";
  s.password = "p";
  SmtpClient client(s);
  EXPECT_FALSE(client.SendMessage(kEnvelope, kMessage));
  peer.Join();
  EXPECT_TRUE(peer.problems().empty()) << peer.problems().front();
  EXPECT_TRUE(HasError(client, "Failed to login using LOGIN method"));
  EXPECT_EQ(client.LastError(), "Failed to connect to SMTP server.");
}

TEST(SmtpDialogue, OneRefusedRecipientStillGetsTheRestButCountsAsFailure) {
  ScriptedPeer peer({{Greet(), kEhlo, Expect("MAIL FROM", "250 ok\r\n"), Expect("RCPT TO:<one@x>", "250 ok\r\n"),
                      Expect("RCPT TO:<two@x>", "550 no such user\r\n"), Expect("DATA", "354 go\r\n"), Body(), kQuit}});
  SmtpClient client(Local(peer.port()));
  EXPECT_FALSE(client.SendMessage({"a@from.test", {"one@x", "two@x"}}, kMessage));
  peer.Join();
  EXPECT_TRUE(peer.problems().empty()) << peer.problems().front();
  EXPECT_EQ(peer.body(), kMessage);
  EXPECT_EQ(client.LastError(), "Partial send failure.");
  EXPECT_NE(LogText(client).find("Warning: failed to send to 1 recipient(s), continuing to send to 1 recipient(s)"),
            std::string::npos);
}

TEST(SmtpDialogue, MissingReturnAddressIsRefusedBeforeMailFrom) {
  ScriptedPeer peer({{Greet(), kEhlo, kQuit}});
  SmtpClient client(Local(peer.port()));
  EXPECT_FALSE(client.SendMessage({"", {"b@to.test"}}, kMessage));
  peer.Join();
  EXPECT_TRUE(peer.problems().empty()) << peer.problems().front();
  EXPECT_TRUE(HasError(client, "Invalid email object, no return address"));
}

// Peers that stop making sense: each must end the attempt cleanly, without QUIT on a dead or
// desynchronised connection, and without the client buffering the flood.
struct Broken {
  const char* name;
  Script script;
  const char* summary;
};
class BrokenPeer : public ::testing::TestWithParam<Broken> {};

TEST_P(BrokenPeer, EndsTheAttemptCleanly) {
  ScriptedPeer peer({GetParam().script});
  SmtpSettings s = Local(peer.port());
  s.replyTimeout = std::chrono::milliseconds(300);
  SmtpClient client(s);
  EXPECT_FALSE(client.SendMessage(kEnvelope, std::string(300000, 'x')));
  peer.Join();
  EXPECT_EQ(client.LastError(), GetParam().summary);
  for (const auto& l : peer.heard()) EXPECT_NE(l, "QUIT");
}

INSTANTIATE_TEST_SUITE_P(
    Peers, BrokenPeer,
    ::testing::Values(
        Broken{"EndlessLine", {Greet("220"), {Step::Flood, {}, std::string(8192, 'A')}}, "Failed to connect to SMTP server."},
        Broken{"EndlessContinuationLines", {Greet("220-hello\r\n"), {Step::Flood, {}, "220-more\r\n"}},
               "Failed to connect to SMTP server."},
        Broken{"ShortReplyLine", {Greet("22\r\n"), {Step::Hang, {}, {}}}, "Failed to connect to SMTP server."},
        Broken{"SilentAfterEhlo", {Greet(), Expect("EHLO", ""), {Step::Hang, {}, {}}}, "Failed to connect to SMTP server."},
        Broken{"DisconnectDuringData",
               {Greet(), kEhlo, Expect("MAIL FROM", "250 ok\r\n"), Expect("RCPT TO", "250 ok\r\n"),
                Expect("DATA", "354 go\r\n"), {Step::Drop, {}, {}}},
               "Send failed."}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SmtpDialogue, AbortDuringTransferNeverEndsTheCutMessage) {
  ScriptedPeer peer({{Greet(), kEhlo, Expect("MAIL FROM", "250 ok\r\n"), Expect("RCPT TO", "250 ok\r\n"),
                      Expect("DATA", "354 go\r\n"), Body()}});
  Progress progress;
  progress.abortOnSend = true;
  SmtpClient client(Local(peer.port()), &progress);
  EXPECT_FALSE(client.SendMessage(kEnvelope, std::string(4 << 20, 'x')));
  peer.Join();
  EXPECT_EQ(client.LastError(), "Mail sending aborted by application");
  ASSERT_FALSE(peer.heard().empty());
  EXPECT_EQ(peer.heard().back(), "<left during data>");
}

TEST(SmtpDialogue, AbortBeforeStartingOpensNoConnection) {
  ScriptedPeer peer({{Greet()}});
  Progress progress;
  progress.abortAlways = true;
  SmtpClient client(Local(peer.port()), &progress);
  EXPECT_FALSE(client.SendMessage(kEnvelope, kMessage));
  EXPECT_EQ(client.LastError(), "Mail sending aborted by application");
  EXPECT_EQ(peer.connections(), 0);
}

TEST(SmtpDialogue, LogKeepsTheFirst2500BytesOfTheMessage) {
  ScriptedPeer peer({Tail({Greet(), kEhlo})});
  SmtpClient client(Local(peer.port()));
  std::string message = "Subject: big\r\n\r\n" + std::string(10000, 'm');
  ASSERT_TRUE(client.SendMessage(kEnvelope, message));
  EXPECT_NE(LogText(client).find("C: " + message.substr(0, 2500) + "\n...\n\n"), std::string::npos);
}

// STARTTLS where the peer answers 220 but then cannot do TLS.
Script FakeStartTls() {
  return {Greet(), Expect("EHLO", "250-fake\r\n250 STARTTLS\r\n"), Expect("STARTTLS", "220 go ahead\r\nnot tls\r\n"),
          {Step::Drop, {}, {}}};
}

TEST(SmtpStartTls, OpportunisticFallsBackToANewPlainConnection) {
  ScriptedPeer peer({FakeStartTls(), Tail({Greet(), Expect("EHLO", "250-fake\r\n250 STARTTLS\r\n")})});
  SmtpSettings s = Local(peer.port());
  s.startTls = dtl::StartTlsMode::Opportunistic;
  SmtpClient client(s);
  EXPECT_TRUE(client.SendMessage(kEnvelope, kMessage)) << LogText(client);
  peer.Join();
  EXPECT_TRUE(peer.problems().empty()) << peer.problems().front();
  EXPECT_EQ(peer.connections(), 2);
  EXPECT_EQ(client.Security(), "plain");
}

TEST(SmtpStartTls, VerifiedModeFailsTheAttemptInsteadOfDowngrading) {
  ScriptedPeer peer({FakeStartTls(), Tail({Greet(), kEhlo})});
  SmtpClient client(Local(peer.port()));
  EXPECT_FALSE(client.SendMessage(kEnvelope, kMessage));
  EXPECT_TRUE(HasError(client, "Failed to connect to secure SMTP (1)")) << LogText(client);
  EXPECT_EQ(client.LastError(), "Failed to connect to SMTP server.");
  EXPECT_EQ(peer.connections(), 1);
}

// The CRAM-MD5 challenge is decoded with this; servers differ in padding and blanks.
TEST(SmtpAuthBase64, DecodesWithOrWithoutPaddingAndRejectsNonsense) {
  struct {
    const char* text;
    std::optional<std::string> bytes;
  } cases[] = {
      {"", std::string()},       {"YQ==", std::string("a")}, {"YQ", std::string("a")},
      {"YWI=", std::string("ab")}, {"YWI", std::string("ab")}, {"YWJj", std::string("abc")},
      {" YWJj\r\n", std::string("abc")}, {"Y", std::nullopt},    {"YQ=", std::nullopt},
      {"YW*j", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(dtl::Base64Decode(c.text), c.bytes) << "'" << c.text << "'";
  EXPECT_EQ(dtl::Base64Decode(dtl::Base64Encode(std::string("\0\xff\x10z", 4))), std::string("\0\xff\x10z", 4));
}

TEST(ServerTestRule, ReportsSuccessOnlyForA220Greeting) {
  SmtpSettings tooShort;
  tooShort.host = "x";
  EXPECT_EQ(dtl::ServerTest(tooShort), "Failure.");
  {
    ScriptedPeer peer({{Greet(), kQuit}});
    EXPECT_EQ(dtl::ServerTest(Local(peer.port())), "Success.");
    peer.Join();
    EXPECT_TRUE(peer.problems().empty()) << peer.problems().front();
  }
  {
    ScriptedPeer peer({{Greet("421 busy\r\n"), kQuit}});
    EXPECT_EQ(dtl::ServerTest(Local(peer.port())), "Failure.");
  }
  int freePort;
  { ScriptedPeer closed({}); freePort = closed.port(); }
  dtl::MailLog log;
  EXPECT_EQ(dtl::ServerTest(Local(freePort), &log), "Failure.");
  EXPECT_EQ(log.Errors().front(), "Failed to connect (1)");
}

}  // namespace
