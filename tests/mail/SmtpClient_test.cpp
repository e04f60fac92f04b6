// The SMTP dialogue against scripted peers: a loopback server that plays one scripted
// conversation per connection and records what the client said.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "mail/MailProgress.h"
#include "mail/ServerTest.h"
#include "mail/SmtpAuth.h"
#include "mail/SmtpClient.h"
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
Step Expect(std::string prefix, std::string reply) {
  return {Step::Line, std::move(prefix), std::move(reply)};
}
Step Body(std::string reply = "250 queued\r\n") { return {Step::Data, {}, std::move(reply)}; }

class ScriptedPeer {
 public:
  explicit ScriptedPeer(std::vector<Script> scripts) : scripts_(std::move(scripts)) {}
  int port() const { return peer_.port(); }
  void Join() { peer_.Join(); }
  // After Join(): everything the client sent, one entry per line, DATA bodies as "<data>".
  const std::vector<std::string>& heard() const { return heard_; }
  std::string lastHeard() const { return heard_.empty() ? "<nothing>" : heard_.back(); }
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
        case Step::Send: break;
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
        case Step::Drop: return;
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
    if (auto extra = dtltest::ReadUntil(fd, buf, "\r\n"))
      problems_.push_back("unexpected '" + *extra + "'");
  }

  std::vector<Script> scripts_;
  std::string body_;
  std::vector<std::string> heard_, problems_;
  int connections_ = 0;
  dtltest::LoopbackPeer peer_{[this](int fd) { return Serve(fd); }};
};

struct Progress : dtl::MailProgress {
  std::vector<int> sent;
  std::stop_source* stopOnSend = nullptr;  // asked to stop at the first progress report
  void SendProgress(int percent) override {
    sent.push_back(percent);
    if (stopOnSend) stopOnSend->request_stop();
  }
  void ReadProgress(int) override {}
};

SmtpSettings Local(int port, std::string user = "", std::string password = "") {
  SmtpSettings s;
  s.host = "127.0.0.1";
  s.port = port;
  s.localHostName = "client.test";
  s.user = std::move(user);
  s.password = std::move(password);
  // The scripted peer speaks plain text only; the login dialogue itself is under test here
  // (the refusal of a plain login is pinned in SmtpIntegration against a real server).
  s.allowPlainLogin = true;
  s.connectTimeout = s.replyTimeout = std::chrono::milliseconds(5000);
  return s;
}

const SmtpEnvelope kEnvelope{"a@from.test", {"b@to.test"}};
const std::string kMessage = "Subject: hi\r\n\r\nhello\r\n";
const Step kEhlo = Expect("EHLO", "250 fake\r\n");
const Step kQuit = Expect("QUIT", "221 bye\r\n");
const Script kToData = {Expect("MAIL FROM", "250 ok\r\n"), Expect("RCPT TO", "250 ok\r\n"),
                        Expect("DATA", "354 go\r\n")};

Script Join(std::initializer_list<Script> parts) {
  Script s;
  for (const auto& p : parts) s.insert(s.end(), p.begin(), p.end());
  return s;
}
// The usual tail after a successful hello: envelope, data, quit.
Script Tail(Script s) { return Join({s, kToData, {Body(), kQuit}}); }

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
  const auto& e = c.LastLog().Errors();
  return std::find(e.begin(), e.end(), text) != e.end();
}
// Waits for the peer to finish its scripts and checks the client followed them.
void ExpectPlayed(ScriptedPeer& peer) {
  peer.Join();
  for (const auto& p : peer.problems()) ADD_FAILURE() << p;
}

TEST(SmtpDialogue, PlainDeliveryStuffsLeadingDotsAndEndsWithTheDot) {
  ScriptedPeer peer({Tail({Greet(), Expect("EHLO client.test", "250-fake\r\n250 SIZE 1000\r\n")})});
  Progress progress;
  SmtpClient client(Local(peer.port()), &progress);
  const dtl::Status sent =
      client.SendMessage(kEnvelope, ".first\r\nSubject: x\r\n\r\n.\r\n..two\r\nmid.dle\r\nlast");
  EXPECT_TRUE(sent) << LogText(client);
  ExpectPlayed(peer);
  // Every line-leading dot doubled, the message closed with CRLF "." CRLF after its own text.
  EXPECT_EQ(peer.body(), "..first\r\nSubject: x\r\n\r\n..\r\n...two\r\nmid.dle\r\nlast\r\n");
  EXPECT_EQ(client.Security(), "plain");
  EXPECT_EQ(progress.sent.empty() ? -1 : progress.sent.back(), 100);
}

// Each refusal fails the attempt with its own text and the summary, and still says QUIT.
TEST(SmtpDialogue, RefusalAtEachStepFailsWithItsTextAndStillSaysQuit) {
  const Step mailFrom = Expect("MAIL FROM", "250 ok\r\n"), rcpt = Expect("RCPT TO", "250 ok\r\n");
  const char *connect = "Failed to connect to SMTP server.", *send = "Send failed.";
  const struct {
    Script script;
    const char* error;
    const char* summary;
    dtl::ErrorCode code;  // the detail's, kept by the summary
    SmtpSettings settings = Local(0);
    SmtpEnvelope envelope = kEnvelope;
  } cases[] = {
      {{Greet("554 go away\r\n"), kQuit},
       "Failed to get initial response",
       connect,
       dtl::ErrorCode::Protocol},
      {{Greet(), kEhlo, Expect("MAIL FROM", "550 no\r\n"), kQuit},
       "MAIL FROM refused",
       send,
       dtl::ErrorCode::Refused},
      {{Greet(), kEhlo, mailFrom, Expect("RCPT TO", "550 unknown\r\n"), kQuit},
       "All recipients refused",
       send,
       dtl::ErrorCode::Refused},
      {{Greet(), kEhlo, mailFrom, rcpt, Expect("DATA", "554 no\r\n"), kQuit},
       "DATA refused",
       send,
       dtl::ErrorCode::Refused},
      {Join({{Greet(), kEhlo}, kToData, {Body("554 5.7.1 spam\r\n"), kQuit}}),
       "The message was refused at the end of data", send, dtl::ErrorCode::Refused},
      {{Greet(), Expect("EHLO", "250 AUTH LOGIN\r\n"), Expect("AUTH LOGIN", "334 x\r\n"),
        Expect("dQ==", "334 y\r\n"), Expect("cA==", "535 bad credentials\r\n"), kQuit},
       "Failed to login using LOGIN method",
       connect,
       dtl::ErrorCode::Auth,
       Local(0, "u", "p")},
      {{Greet(), kEhlo, kQuit},
       "Invalid email object, no return address",
       send,
       dtl::ErrorCode::InvalidArgument,
       Local(0),
       {"", {"b@to.test"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    ScriptedPeer peer({c.script});
    SmtpSettings settings = c.settings;
    settings.port = peer.port();
    SmtpClient client(settings);
    const dtl::Status sent = client.SendMessage(c.envelope, kMessage);
    ASSERT_FALSE(sent);
    ExpectPlayed(peer);
    EXPECT_TRUE(HasError(client, c.error)) << LogText(client);
    EXPECT_EQ(sent.error().message, c.summary);
    EXPECT_EQ(sent.error().code, c.code);
    EXPECT_EQ(peer.lastHeard(), "QUIT");
  }
}

// The answer that ended a step is kept whole (a provider's limit is read from it); a refused
// QUIT is not one, and a delivery leaves nothing.
TEST(SmtpDialogue, LastRefusalIsTheAnswerThatEndedTheAttempt) {
  const struct {
    const char* name;
    Script script;
    std::optional<std::string> refusal;  // "CODE first line"
  } cases[] = {
      {"greeting", {Greet("421 4.7.0 Try again later, closing connection.\r\n"), kQuit},
       "421 4.7.0 Try again later, closing connection."},
      {"mail from",
       {Greet(), kEhlo, Expect("MAIL FROM", "550-5.4.5 Daily user sending quota exceeded.\r\n"
                                            "550 5.4.5 https://support.example/answer\r\n"),
        kQuit},
       "550 5.4.5 Daily user sending quota exceeded."},
      {"end of data",
       Join({{Greet(), kEhlo}, kToData, {Body("451 4.7.1 Throttled\r\n"), kQuit}}),
       "451 4.7.1 Throttled"},
      {"delivered though QUIT is refused",
       Join({{Greet(), kEhlo}, kToData, {Body(), Expect("QUIT", "500 what\r\n")}}),
       std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedPeer peer({c.script});
    SmtpSettings settings = Local(peer.port());
    SmtpClient client(settings);
    (void)client.SendMessage(kEnvelope, kMessage);
    peer.Join();
    const auto& got = client.LastRefusal();
    ASSERT_EQ(got.has_value(), c.refusal.has_value());
    if (got) EXPECT_EQ(std::to_string(got->code) + " " + got->lines.at(0), *c.refusal);
  }
}

TEST(SmtpDialogue, RefusedEhloFallsBackToHeloWithoutLogin) {
  ScriptedPeer peer({Tail({Greet(), Expect("EHLO client.test", "502 what\r\n"),
                           Expect("HELO client.test", "250 hi\r\n")})});
  SmtpClient client(Local(peer.port(), "u", "p"));
  EXPECT_TRUE(client.SendMessage(kEnvelope, kMessage)) << LogText(client);
  ExpectPlayed(peer);
  EXPECT_NE(LogText(client).find("EHLO failed, sending HELO..."), std::string::npos);
}

// RFC 2195's example exchange.
const std::string kCramChallenge = "<1896.697170952@postoffice.reston.mci.net>";
const std::string kCramAnswer = "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw";

// The mechanism follows what EHLO offers (LOGIN, then CRAM-MD5, then PLAIN); no credential
// ever reaches the log.
TEST(SmtpDialogue, LoginUsesTheRightMechanismAndNeverLogsCredentials) {
  // AUTH LOGIN for "user" / "s3cret!".
  const Script login = {Expect("AUTH LOGIN", "334 VXNlcm5hbWU6\r\n"),
                        Expect("dXNlcg==", "334 UGFzc3dvcmQ6\r\n"),
                        Expect("czNjcmV0IQ==", "235 ok\r\n")};
  const struct {
    const char* offer;  // the EHLO reply's AUTH line
    const char *user, *password;
    Script exchange;   // expected between EHLO and MAIL FROM
    const char* note;  // a log text expected, or ""
  } cases[] = {
      {"AUTH PLAIN LOGIN", "user", "s3cret!", login, "<credentials hidden>"},
      {"AUTH=LOGIN", "user", "s3cret!", login, ""},
      {"auth plain",
       "user",
       "s3cret!",
       {Expect("AUTH PLAIN", "334 \r\n"), Expect("dXNlcgB1c2VyAHMzY3JldCE=", "235 ok\r\n")},
       "<credentials hidden>"},
      {"AUTH PLAIN CRAM-MD5",
       "tim",
       "tanstaaftanstaaf",
       {Expect("AUTH CRAM-MD5", "334 " + dtl::Base64Encode(kCramChallenge) + "\r\n"),
        Expect(kCramAnswer, "235 ok\r\n")},
       "<credentials hidden>"},
      {"AUTH NTLM LOGIN", "user", "s3cret!", login, ""},
      {"AUTH DIGEST-MD5", "user", "s3cret!", {}, "DIGEST-MD5 login method not supported"},
      {"AUTH LOGIN PLAIN", "user", "", {}, ""},  // no password: no login
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.offer);
    ScriptedPeer peer(
        {Tail(Join({{Greet(), Expect("EHLO", std::string("250-fake\r\n250 ") + c.offer + "\r\n")},
                    c.exchange}))});
    SmtpClient client(Local(peer.port(), c.user, c.password));
    EXPECT_TRUE(client.SendMessage(kEnvelope, kMessage)) << LogText(client);
    ExpectPlayed(peer);
    const std::string log = LogText(client);
    EXPECT_NE(log.find(c.note), std::string::npos) << log;
    if (c.exchange.empty()) continue;  // nothing secret was said
    for (const std::string& secret :
         {std::string(c.password), dtl::Base64Encode(c.user), dtl::Base64Encode(c.password),
          dtl::Base64Encode(dtl::PlainAuthBlob(c.user, c.password)), kCramAnswer})
      EXPECT_EQ(log.find(secret), std::string::npos) << secret << "\n" << log;
  }
}

TEST(SmtpDialogue, OneRefusedRecipientStillGetsTheRestButCountsAsFailure) {
  ScriptedPeer peer(
      {{Greet(), kEhlo, Expect("MAIL FROM", "250 ok\r\n"), Expect("RCPT TO:<one@x>", "250 ok\r\n"),
        Expect("RCPT TO:<two@x>", "550 no such user\r\n"), Expect("DATA", "354 go\r\n"), Body(),
        kQuit}});
  SmtpClient client(Local(peer.port()));
  const dtl::Status sent = client.SendMessage({"a@from.test", {"one@x", "two@x"}}, kMessage);
  ASSERT_FALSE(sent);
  ExpectPlayed(peer);
  EXPECT_EQ(peer.body(), kMessage);
  EXPECT_EQ(sent.error().message, "Partial send failure.");
  EXPECT_EQ(sent.error().code, dtl::ErrorCode::Refused);
  EXPECT_NE(LogText(client).find(
                "Warning: failed to send to 1 recipient(s), continuing to send to 1 recipient(s)"),
            std::string::npos);
}

// Who has the message after a call: the recipients RCPT TO accepted, once the end of data was
// taken; those refused with the server's answer (its code tells for good from for now).
TEST(SmtpDialogue, RecipientOutcomesSayWhoHasTheMessage) {
  const Step mailFrom = Expect("MAIL FROM", "250 ok\r\n");
  const struct {
    const char* name;
    Script script;
    std::vector<std::string> accepted;
    std::vector<std::pair<std::string, int>> refused;
    bool messageAccepted;
    const char* cause;  // empty: the call succeeds
  } cases[] = {
      {"one refused for good",
       {Greet(), kEhlo, mailFrom, Expect("RCPT TO:<one@x>", "250 ok\r\n"),
        Expect("RCPT TO:<two@x>", "550 5.1.1 no such user\r\n"), Expect("DATA", "354 go\r\n"),
        Body(), kQuit},
       {"one@x"},
       {{"two@x", 550}},
       true,
       "Recipient refused: two@x (550 5.1.1 no such user)"},
      {"one refused for now, then the data refused",
       {Greet(), kEhlo, mailFrom, Expect("RCPT TO:<one@x>", "250 ok\r\n"),
        Expect("RCPT TO:<two@x>", "450 4.2.1 busy\r\n"), Expect("DATA", "354 go\r\n"),
        Body("554 5.7.1 spam\r\n"), kQuit},
       {"one@x"},
       {{"two@x", 450}},
       false,
       "Recipient refused: two@x (450 4.2.1 busy)"},
      {"both refused",
       {Greet(), kEhlo, mailFrom, Expect("RCPT TO:<one@x>", "550 no\r\n"),
        Expect("RCPT TO:<two@x>", "451 later\r\n"), kQuit},
       {},
       {{"one@x", 550}, {"two@x", 451}},
       false,
       "Recipient refused: one@x (550 no)"},
      {"both taken",
       {Greet(), kEhlo, mailFrom, Expect("RCPT TO:<one@x>", "250 ok\r\n"),
        Expect("RCPT TO:<two@x>", "250 ok\r\n"), Expect("DATA", "354 go\r\n"), Body(), kQuit},
       {"one@x", "two@x"},
       {},
       true,
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedPeer peer({c.script});
    SmtpClient client(Local(peer.port()));
    const dtl::Status sent = client.SendMessage({"a@from.test", {"one@x", "two@x"}}, kMessage);
    ExpectPlayed(peer);
    EXPECT_EQ(sent.ok(), std::string(c.cause).empty()) << LogText(client);
    EXPECT_EQ(client.AcceptedRecipients(), c.accepted);
    std::vector<std::pair<std::string, int>> refused;
    for (const auto& r : client.RefusedRecipients()) refused.emplace_back(r.address, r.reply.code);
    EXPECT_EQ(refused, c.refused);
    EXPECT_EQ(client.MessageAccepted(), c.messageAccepted);
    EXPECT_EQ(client.FailureCause(), c.cause);
  }
}

// A refused connection is named in the system's words, not only as the step that failed.
TEST(SmtpDialogue, RefusedConnectionNamesTheSystemsReason) {
  dtltest::RefusingPort refusing;
  SmtpClient client(Local(refusing.port()));
  ASSERT_FALSE(client.SendMessage(kEnvelope, kMessage));
  EXPECT_EQ(client.FailureCause(), "connect: Connection refused");
  EXPECT_FALSE(client.MessageAccepted());
}

// Peers that stop making sense: each must end the attempt cleanly, without QUIT on a dead or
// desynchronised connection, and without the client buffering the flood.
TEST(SmtpDialogue, BrokenPeerEndsTheAttemptCleanly) {
  const char* connect = "Failed to connect to SMTP server.";
  const struct {
    const char* name;
    Script script;
    const char* summary;
  } cases[] = {
      {"endless line", {Greet("220"), {Step::Flood, {}, std::string(8192, 'A')}}, connect},
      {"endless continuation lines",
       {Greet("220-hello\r\n"), {Step::Flood, {}, "220-more\r\n"}},
       connect},
      {"short reply line", {Greet("22\r\n"), {Step::Hang, {}, {}}}, connect},
      {"silent after EHLO", {Greet(), Expect("EHLO", ""), {Step::Hang, {}, {}}}, connect},
      {"disconnect during DATA", Join({{Greet(), kEhlo}, kToData, {{Step::Drop, {}, {}}}}),
       "Send failed."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedPeer peer({c.script});
    SmtpSettings s = Local(peer.port());
    s.replyTimeout = std::chrono::milliseconds(300);
    SmtpClient client(s);
    const dtl::Status sent = client.SendMessage(kEnvelope, std::string(300000, 'x'));
    ASSERT_FALSE(sent);
    peer.Join();
    EXPECT_EQ(sent.error().message, c.summary);
    EXPECT_NE(sent.error().code, dtl::ErrorCode::Cancelled);
    for (const auto& l : peer.heard()) EXPECT_NE(l, "QUIT");
  }
}

TEST(SmtpDialogue, AbortDuringTransferNeverEndsTheCutMessage) {
  ScriptedPeer peer({Join({{Greet(), kEhlo}, kToData, {Body()}})});
  std::stop_source stop;
  Progress progress;
  progress.stopOnSend = &stop;
  SmtpClient client(Local(peer.port()), &progress, stop.get_token());
  const dtl::Status sent = client.SendMessage(kEnvelope, std::string(4 << 20, 'x'));
  ASSERT_FALSE(sent);
  peer.Join();
  EXPECT_EQ(sent.error().message, "Mail sending aborted by application");
  EXPECT_EQ(sent.error().code, dtl::ErrorCode::Cancelled);
  EXPECT_EQ(peer.lastHeard(), "<left during data>");
}

TEST(SmtpDialogue, AbortBeforeStartingOpensNoConnection) {
  ScriptedPeer peer({{Greet()}});
  std::stop_source stop;
  stop.request_stop();
  SmtpClient client(Local(peer.port()), nullptr, stop.get_token());
  const dtl::Status sent = client.SendMessage(kEnvelope, kMessage);
  ASSERT_FALSE(sent);
  EXPECT_EQ(sent.error().message, "Mail sending aborted by application");
  EXPECT_EQ(sent.error().code, dtl::ErrorCode::Cancelled);
  EXPECT_EQ(peer.connections(), 0);
}

// The body is the user's file; the log keeps the message's headers (cut after 2500 bytes like
// any command) and never a byte of what follows them.
TEST(SmtpDialogue, LogKeepsTheMessageHeadersButNoneOfTheBody) {
  const std::string longHeader = "X-Long: " + std::string(3000, 'h') + "\r\n";
  struct Case {
    const char* name;
    std::string message;
    std::string logged;
  } cases[] = {
      {"headers then a body", "Subject: big\r\n\r\n" + std::string(10000, 'm'),
       "C: Subject: big\r\n\r\n\n...\n\n"},
      {"headers longer than the cut", longHeader + "\r\nBODYTEXT",
       "C: " + longHeader.substr(0, 2500) + "\n...\n\n"},
      {"no blank line: all of it is body", std::string(100, 'b'), "C: \n...\n\n"},
  };
  for (const auto& c : cases) {
    ScriptedPeer peer({Tail({Greet(), kEhlo})});
    SmtpClient client(Local(peer.port()));
    ASSERT_TRUE(client.SendMessage(kEnvelope, c.message)) << c.name;
    const std::string log = LogText(client);
    EXPECT_NE(log.find(c.logged), std::string::npos) << c.name << "\n" << log;
    EXPECT_EQ(log.find("mmmm"), std::string::npos) << c.name;
    EXPECT_EQ(log.find("BODYTEXT"), std::string::npos) << c.name;
    EXPECT_EQ(log.find("bbbb"), std::string::npos) << c.name;
  }
}

// With its own resolver the client dials the addresses that resolver gives, in turn, and never
// asks the system for the name (which does not exist here); the name still goes to the
// resolver, and a resolver failure fails the connection as an unknown name does.
TEST(SmtpConnect, GivenResolverIsTheOnlyWayToTheServer) {
  struct Case {
    const char* why;
    dtl::Result<std::vector<std::string>> addresses;
    bool delivered;
    std::string logged;  // a text the log must hold
  };
  const Case cases[] = {
      {"the server's address", std::vector<std::string>{"127.0.0.1"}, true, {}},
      {"a refusing address first, then the server",
       std::vector<std::string>{"127.0.0.2", "127.0.0.1"},
       true,
       {}},
      {"only a refusing address", std::vector<std::string>{"127.0.0.2"}, false,
       "connect: Connection refused"},
      {"no address", std::vector<std::string>{}, false, "no address to connect to for "},
      {"a name where an address belongs", std::vector<std::string>{"localhost"}, false,
       "not an address: localhost"},
      {"the look-up failed",
       dtl::Error(dtl::ErrorCode::NotFound, "cannot resolve mx.nowhere.invalid: NXDOMAIN"), false,
       "cannot resolve mx.nowhere.invalid: NXDOMAIN"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    ScriptedPeer peer({Tail({Greet(), kEhlo})});
    SmtpSettings s = Local(peer.port());
    s.host = "mx.nowhere.invalid";
    std::vector<std::string> asked;
    s.resolveAddresses = [&](const std::string& host) {
      asked.push_back(host);
      return c.addresses;
    };
    SmtpClient client(s);
    const dtl::Status sent = client.SendMessage(kEnvelope, kMessage);
    EXPECT_EQ(asked, std::vector<std::string>{"mx.nowhere.invalid"});
    EXPECT_EQ(sent.ok(), c.delivered) << LogText(client);
    if (c.delivered) {
      ExpectPlayed(peer);
      EXPECT_EQ(peer.connections(), 1);
    } else {
      EXPECT_TRUE(HasError(client, "Failed to connect (1)")) << LogText(client);
      EXPECT_NE(LogText(client).find(c.logged), std::string::npos) << LogText(client);
      EXPECT_EQ(peer.connections(), 0);
    }
  }
}

// A peer that answers STARTTLS with 220 but then cannot do TLS: opportunistic mode falls back
// to a new plain connection; verified mode fails the attempt instead of downgrading.
TEST(SmtpStartTls, OnlyOpportunisticModeFallsBackToPlain) {
  const Step offer = Expect("EHLO", "250-fake\r\n250 STARTTLS\r\n");
  const Script fake = {
      Greet(), offer, Expect("STARTTLS", "220 go ahead\r\nnot tls\r\n"), {Step::Drop, {}, {}}};
  {
    ScriptedPeer peer({fake, Tail({Greet(), offer})});
    SmtpSettings s = Local(peer.port());
    s.startTls = dtl::StartTlsMode::Opportunistic;
    SmtpClient client(s);
    EXPECT_TRUE(client.SendMessage(kEnvelope, kMessage)) << LogText(client);
    ExpectPlayed(peer);
    EXPECT_EQ(peer.connections(), 2);
    EXPECT_EQ(client.Security(), "plain");
  }
  ScriptedPeer peer({fake, Tail({Greet(), kEhlo})});
  SmtpClient client(Local(peer.port()));
  const dtl::Status sent = client.SendMessage(kEnvelope, kMessage);
  ASSERT_FALSE(sent);
  EXPECT_TRUE(HasError(client, "Failed to connect to secure SMTP (1)")) << LogText(client);
  EXPECT_EQ(sent.error().message, "Failed to connect to SMTP server.");
  EXPECT_EQ(sent.error().code, dtl::ErrorCode::Tls);
  EXPECT_EQ(peer.connections(), 1);
}

// The CRAM-MD5 challenge is decoded with this; servers differ in padding and blanks.
TEST(SmtpAuthBase64, DecodesWithOrWithoutPaddingAndRejectsNonsense) {
  const std::pair<const char*, std::optional<std::string>> cases[] = {
      {"", ""},
      {"YQ==", "a"},
      {"YQ", "a"},
      {"YWI", "ab"},
      {"YWJj", "abc"},
      {" YWJj\r\n", "abc"},
      {"Y", std::nullopt},
      {"YQ=", std::nullopt},
      {"YW*j", std::nullopt},
  };
  for (const auto& [text, bytes] : cases)
    EXPECT_EQ(dtl::Base64Decode(text), bytes) << "'" << text << "'";
  EXPECT_EQ(dtl::Base64Decode(dtl::Base64Encode(std::string("\0\xff\x10z", 4))),
            std::string("\0\xff\x10z", 4));
}

// The bearer-token logins' first messages, against the published examples: RFC 7628 4.1 for
// OAUTHBEARER and the provider documentation's form of XOAUTH2.
TEST(SaslOAuth, InitialResponsesMatchThePublishedExamples) {
  EXPECT_EQ(
      dtl::Base64Encode(dtl::OAuthBearerBlob("user@example.com", "server.example.com", 143,
                                             "vF9dft4qmTc2Nvb3RlckBhbHRhdmlzdGEuY29tCg==")),
      "bixhPXVzZXJAZXhhbXBsZS5jb20sAWhvc3Q9c2VydmVyLmV4YW1wbGUuY29tAXBvcnQ9MTQzAWF1dGg9QmVhcmVy"
      "IHZGOWRmdDRxbVRjMk52YjNSbGNrQmhiSFJoZG1semRHRXVZMjl0Q2c9PQEB");
  EXPECT_EQ(dtl::Base64Encode(dtl::XOAuth2Blob("someuser@example.com",
                                               "ya29.vF9dft4qmTc2Nvb3RlckBhdHRhdmlzdGEuY29tCg")),
            "dXNlcj1zb21ldXNlckBleGFtcGxlLmNvbQFhdXRoPUJlYXJlciB5YTI5LnZGOWRmdDRxbVRjMk52YjNSbGNr"
            "QmhkSFJoZG1semRHRXVZMjl0Q2cBAQ==");
}

TEST(SaslOAuth, OAuthBearerEscapesTheGs2HeaderAndLeavesOutWhatIsNotKnown) {
  const struct {
    const char* user;
    const char* host;
    int port;
    std::string blob;
  } cases[] = {
      {"a,b=c@x.test", "h", 25,
       "n,a=a=2Cb=3Dc@x.test,\x01host=h\x01port=25\x01"
       "auth=Bearer T\x01\x01"},
      {"=,", "", 0,
       "n,a==3D=2C,\x01"
       "auth=Bearer T\x01\x01"},
      {"u@x.test", "", 587,
       "n,a=u@x.test,\x01port=587\x01"
       "auth=Bearer T\x01\x01"},
  };
  for (const auto& c : cases) EXPECT_EQ(dtl::OAuthBearerBlob(c.user, c.host, c.port, "T"), c.blob);
}

TEST(SaslOAuth, ErrorChallengeTellsARefusedTokenFromOtherFailures) {
  const struct {
    std::string json;
    std::optional<std::string> status;  // nullopt: not an error challenge at all
    bool tokenRefused;
  } cases[] = {
      // RFC 7628 4.3, and what a big provider answers to XOAUTH2 with a stale token.
      {*dtl::Base64Decode("eyJzdGF0dXMiOiJpbnZhbGlkX3Rva2VuIiwic2NvcGUiOiJleGFtcGxlX3Njb3BlIiwib3"
                          "BlbmlkLWNvbmZpZ3VyYXRpb24iOiJodHRwczovL2V4YW1wbGUuY29tLy53ZWxsLWtub3du"
                          "L29wZW5pZC1jb25maWd1cmF0aW9uIn0="),
       "invalid_token", true},
      {R"({"status":"401","schemes":"Bearer","scope":"https://mail.google.com/"})", "401", true},
      {R"({ "status" : 401 , "x" : [1, {"y": "}"}], "z": null })", "401", true},
      {R"({"status":"insufficient_scope","scope":"mail"})", "insufficient_scope", false},
      {R"({"status":"400"})", "400", false},
      {R"({"schemes":"bearer","status":"in\"va\u006cid_token"})", "in\"valid_token", false},
      {R"({})", "", false},
      {R"({"status":"401")", std::nullopt, false},
      {R"({"status":"401"} trailing)", std::nullopt, false},
      {"not json", std::nullopt, false},
      {"", std::nullopt, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    const auto parsed = dtl::ParseOAuthErrorChallenge(c.json);
    ASSERT_EQ(parsed.has_value(), c.status.has_value());
    if (!parsed) continue;
    EXPECT_EQ(parsed->status, *c.status);
    EXPECT_EQ(dtl::TokenRefused(*parsed), c.tokenRefused);
  }
  const auto google =
      dtl::ParseOAuthErrorChallenge(R"({"status":"401","schemes":"Bearer","scope":"S"})");
  ASSERT_TRUE(google);
  EXPECT_EQ(google->schemes, "Bearer");
  EXPECT_EQ(google->scope, "S");
}

// A token source that hands out "tok-0", "tok-1", ... and records each call's `renew`.
struct Tokens {
  std::vector<bool> asked;
  std::optional<dtl::Error> failure;  // given instead of a token from the call with renew set
  size_t length = 0;                  // pads each token to this length
  dtl::AccessTokenFn Fn() {
    return [this](bool renew) -> dtl::Result<std::string> {
      asked.push_back(renew);
      if (failure && renew) return *failure;
      std::string t = "tok-" + std::to_string(asked.size() - 1);
      if (t.size() < length) t.append(length - t.size(), 'x');
      return t;
    };
  }
};

std::string XOAuth2Line(const std::string& token) {
  return "AUTH XOAUTH2 " + dtl::Base64Encode(dtl::XOAuth2Blob("me@x.test", token));
}
std::string Challenge(const std::string& json) { return "334 " + dtl::Base64Encode(json) + "\r\n"; }

TEST(SmtpOAuthDialogue, ExactExchangesOfTheTokenLogin) {
  const std::string longToken = std::string("tok-0") + std::string(595, 'x');
  const struct {
    const char* name;
    const char* offer;
    Script exchange;  // between EHLO and MAIL FROM; empty: the login fails before AUTH
    std::vector<bool> asked;
    std::optional<dtl::ErrorCode> failure;  // nullopt: the message goes out
    size_t tokenLength;
  } cases[] = {
      {"OAUTHBEARER is preferred, the token on the command line",
       "AUTH PLAIN XOAUTH2 OAUTHBEARER",
       {Expect("AUTH OAUTHBEARER bixhPW1lQHgudGVzdCwB", "235 ok\r\n")},
       {false},
       std::nullopt,
       0},
      {"a token too long for the command line follows the empty challenge",
       "AUTH XOAUTH2",
       {Expect("AUTH XOAUTH2", "334 \r\n"), Expect("dXNlcj1tZUB4LnRlc3QB", "235 ok\r\n")},
       {false},
       std::nullopt,
       600},
      {"a refused token gets the empty answer, then a fresh token on the same connection",
       "AUTH XOAUTH2",
       {Expect(XOAuth2Line("tok-0"),
               Challenge(R"({"status":"401","schemes":"bearer","scope":"https://mail/"})")),
        Expect("", "535 5.7.8 no\r\n"), Expect(XOAuth2Line("tok-1"), "235 ok\r\n")},
       {false, true},
       std::nullopt,
       0},
      {"a plain 535 is taken as a refused token too",
       "AUTH XOAUTH2",
       {Expect(XOAuth2Line("tok-0"), "535 5.7.3 Authentication unsuccessful\r\n"),
        Expect(XOAuth2Line("tok-1"), "235 ok\r\n")},
       {false, true},
       std::nullopt,
       0},
      {"OAUTHBEARER's error challenge is ended with the dummy ^A; refused twice fails",
       "AUTH OAUTHBEARER",
       {Expect("AUTH OAUTHBEARER", Challenge(R"({"status":"invalid_token"})")),
        Expect("AQ==", "535 5.7.8 no\r\n"),
        Expect("AUTH OAUTHBEARER", Challenge(R"({"status":"invalid_token"})")),
        Expect("AQ==", "535 5.7.8 no\r\n"), kQuit},
       {false, true},
       dtl::ErrorCode::Auth,
       0},
      {"a missing scope is not cured by a new token",
       "AUTH XOAUTH2",
       {Expect(XOAuth2Line("tok-0"), Challenge(R"({"status":"insufficient_scope"})")),
        Expect("", "535 5.7.8 no\r\n"), kQuit},
       {false},
       dtl::ErrorCode::Auth,
       0},
      {"no OAuth2 mechanism: no AUTH at all, no token asked",
       "AUTH PLAIN LOGIN",
       {kQuit},
       {},
       dtl::ErrorCode::Unsupported,
       0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Script script =
        Join({{Greet(), Expect("EHLO", std::string("250-fake\r\n250 ") + c.offer + "\r\n")},
              c.exchange});
    if (!c.failure) script = Tail(script);
    ScriptedPeer peer({script});
    Tokens tokens;
    tokens.length = c.tokenLength;
    SmtpSettings settings = Local(peer.port(), "me@x.test");
    settings.accessToken = tokens.Fn();
    SmtpClient client(settings);
    const dtl::Status sent = client.SendMessage(kEnvelope, kMessage);
    ExpectPlayed(peer);
    EXPECT_EQ(tokens.asked, c.asked);
    if (c.failure) {
      ASSERT_FALSE(sent.ok());
      EXPECT_EQ(sent.error().code, *c.failure) << LogText(client);
      EXPECT_FALSE(client.MessageAccepted());
    } else {
      EXPECT_TRUE(sent.ok()) << LogText(client);
    }
    const std::string log = LogText(client);
    EXPECT_EQ(log.find("tok-"), std::string::npos) << log;
    EXPECT_EQ(log.find(dtl::Base64Encode("tok-")), std::string::npos) << log;
  }
}

TEST(SmtpOAuthDialogue, TheTokenSourcesRefusalEndsTheLoginWithItsWords) {
  ScriptedPeer peer({{Greet(), Expect("EHLO", "250-fake\r\n250 AUTH XOAUTH2\r\n"),
                      Expect(XOAuth2Line("tok-0"), "535 5.7.8 no\r\n"), kQuit}});
  Tokens tokens;
  tokens.failure = dtl::Error(dtl::ErrorCode::Auth,
                              "the provider refused the refresh token; "
                              "log in to the account again");
  SmtpSettings settings = Local(peer.port(), "me@x.test");
  settings.accessToken = tokens.Fn();
  SmtpClient client(settings);
  const dtl::Status sent = client.SendMessage(kEnvelope, kMessage);
  ExpectPlayed(peer);
  ASSERT_FALSE(sent.ok());
  EXPECT_EQ(sent.error().code, dtl::ErrorCode::Auth);
  EXPECT_EQ(client.FailureCause(), tokens.failure->message);
  EXPECT_EQ(tokens.asked, (std::vector<bool>{false, true}));
}

TEST(ServerTestRule, ReportsSuccessOnlyForA220Greeting) {
  SmtpSettings tooShort;
  tooShort.host = "x";
  EXPECT_EQ(dtl::ServerTest(tooShort), "Failure.");
  {
    ScriptedPeer peer({{Greet(), kQuit}});
    EXPECT_EQ(dtl::ServerTest(Local(peer.port())), "Success.");
    ExpectPlayed(peer);
  }
  {
    ScriptedPeer peer({{Greet("421 busy\r\n"), kQuit}});
    EXPECT_EQ(dtl::ServerTest(Local(peer.port())), "Failure.");
  }
  dtltest::RefusingPort refusing;
  ASSERT_GT(refusing.port(), 0);
  dtl::MailLog log;
  EXPECT_EQ(dtl::ServerTest(Local(refusing.port()), &log), "Failure.");
  EXPECT_EQ(log.Errors().front(), "Failed to connect (1)");
}

}  // namespace
