// The IMAP session's choice of login method from the capabilities a server offers, and its handling
// of answers a real server will not give, played by a scripted peer. Behaviour against a real
// server is in ImapDovecot_test.
#include "receive/ImapSession.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <thread>

#include "support/LoopbackPeer.h"
#include "support/ScriptedImap.h"

namespace {

using dtl::ErrorCode;

TEST(ChooseImapLogin, TakesTheFirstAllowedMechanismTheServerOffers) {
  struct Case {
    std::vector<std::string> caps, allowed;
    std::string chosen;  // "" = the LOGIN command, "!" = no way to log in
  } cases[] = {
      {{"IMAP4REV1", "AUTH=PLAIN", "AUTH=LOGIN"}, {}, "PLAIN"},
      {{"IMAP4REV1", "AUTH=LOGIN", "AUTH=CRAM-MD5"}, {}, "LOGIN"},
      {{"IMAP4REV1", "AUTH=CRAM-MD5"}, {}, "CRAM-MD5"},
      {{"IMAP4REV1", "AUTH=PLAIN", "AUTH=CRAM-MD5"}, {"CRAM-MD5", "PLAIN"}, "CRAM-MD5"},
      {{"IMAP4REV1", "AUTH=PLAIN", "AUTH=LOGIN"}, {"login"}, "LOGIN"},
      {{"IMAP4REV1", "AUTH=XOAUTH2", "AUTH=GSSAPI"}, {}, ""},  // only the LOGIN command is left
      {{"IMAP4REV1"}, {}, ""},
      {{"IMAP4REV1", "AUTH=GSSAPI", "LOGINDISABLED"}, {}, "!"},
      {{"IMAP4REV1", "AUTH=PLAIN", "LOGINDISABLED"}, {"CRAM-MD5"}, "!"},
      // The bearer-token mechanisms only when asked for (a session with a token asks).
      {{"IMAP4REV1", "AUTH=XOAUTH2"}, {"XOAUTH2"}, "XOAUTH2"},
      {{"IMAP4REV1", "AUTH=XOAUTH2", "AUTH=OAUTHBEARER"},
       {"OAUTHBEARER", "XOAUTH2"},
       "OAUTHBEARER"},
      {{"IMAP4REV1", "AUTH=OAUTHBEARER", "AUTH=PLAIN"}, {}, "PLAIN"},
      {{"IMAP4REV1", "AUTH=PLAIN", "LOGINDISABLED"}, {"OAUTHBEARER", "XOAUTH2"}, "!"},
  };
  for (const Case& c : cases) {
    auto r = dtl::ChooseImapLogin(c.caps, c.allowed);
    if (c.chosen == "!") {
      ASSERT_FALSE(r.ok()) << c.caps.back();
      EXPECT_EQ(r.error().code, ErrorCode::Unsupported);
    } else {
      ASSERT_TRUE(r.ok()) << r.error().message;
      EXPECT_EQ(*r, c.chosen) << c.caps.back();
    }
  }
}

// ---- scripted peers ----

using dtltest::ImapScript;

dtl::ImapSettings ScriptedSettings(int port, dtl::ImapSecurity security) {
  dtl::ImapSettings s;
  s.host = "127.0.0.1";
  s.port = port;
  s.security = security;
  s.user = "drover@mail.test";
  s.password = "Secret-pw 9";
  s.ioTimeout = std::chrono::milliseconds(20000);
  return s;
}

std::unique_ptr<dtl::ImapSession> Session(const dtl::ImapSettings& settings,
                                          std::stop_token stop = {}) {
  auto session = std::make_unique<dtl::ImapSession>(settings, stop);
  session->SetConnector(dtltest::PretendTlsConnector());
  return session;
}

// A session to a scripted peer: the test writes script_, Start() sets the peer playing it and
// makes session_ to it, not yet open.
class ImapSessionScripted : public ::testing::Test {
 protected:
  void Start(dtl::ImapSecurity security, std::stop_token stop = {}) {
    peer_.emplace([this](int fd) { return script_.Serve(fd); });
    session_ = Session(ScriptedSettings(peer_->port(), security), stop);
  }
  // A server that takes the LOGIN command and opens a folder of one message, `next` answering
  // what the test asks after that; session_ is left open in the folder.
  void InFolder(ImapScript::Answers next, std::stop_token stop = {}) {
    script_.greeting = "* OK [CAPABILITY IMAP4rev1] ready\r\n";
    script_.answers = {{"LOGIN", "{TAG} OK [CAPABILITY IMAP4rev1] in\r\n"},
                       {"EXAMINE", "* 1 EXISTS\r\n{TAG} OK [READ-ONLY] done\r\n"}};
    script_.answers.insert(script_.answers.end(), next.begin(), next.end());
    Start(dtl::ImapSecurity::ImplicitTls, stop);
    ASSERT_TRUE(session_->Open().ok());
    ASSERT_TRUE(session_->Examine("INBOX").ok());
  }

  ImapScript script_;
  std::optional<dtltest::LoopbackPeer> peer_;
  std::unique_ptr<dtl::ImapSession> session_;
};

TEST_F(ImapSessionScripted, AHugeAnnouncedStructureIsRefusedAtOnce) {
  ASSERT_NO_FATAL_FAILURE(InFolder(
      {{"UID FETCH 5 (BODYSTRUCTURE)", "* 1 FETCH (UID 5 BODYSTRUCTURE {9000000000}\r\n(<hold>"}}));
  const auto start = std::chrono::steady_clock::now();
  auto r = session_->FetchBodyStructure(5);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().code, ErrorCode::Protocol);
  EXPECT_NE(r.error().message.find("9000000000"), std::string::npos) << r.error().message;
  // Refused on the announcement, not after waiting out the silent peer.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(session_->state(), dtl::ImapState::Logout);
}

TEST_F(ImapSessionScripted, AHugeAnnouncedBodyIsStreamedNotAllocated) {
  const std::string some(100000, 'A');
  ASSERT_NO_FATAL_FAILURE(
      InFolder({{"UID FETCH 5 (BODY.PEEK[2])",
                 "* 1 FETCH (UID 5 BODY[2] {9000000000}\r\n" + some + "<close>"}}));
  uint64_t got = 0;
  auto r = session_->FetchSection(5, "2", [&](std::string_view c) -> dtl::Status {
    got += c.size();
    return {};
  });
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().code, ErrorCode::Network) << r.error().message;
  EXPECT_EQ(got, some.size());
}

TEST_F(ImapSessionScripted, ByeMidFetchEndsTheCallWithTheServersWords) {
  ASSERT_NO_FATAL_FAILURE(InFolder(
      {{"UID FETCH 5 (BODY.PEEK[2])", "* BYE Server shutting down for maintenance\r\n<close>"}}));
  auto r = session_->FetchSection(5, "2", [](std::string_view) -> dtl::Status { return {}; });
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().code, ErrorCode::Network);
  EXPECT_NE(r.error().message.find("Server shutting down for maintenance"), std::string::npos)
      << r.error().message;
  EXPECT_EQ(session_->state(), dtl::ImapState::Logout);
}

TEST_F(ImapSessionScripted, NeverLogsInWhereStartTlsIsNotOffered) {
  script_.greeting = "* OK [CAPABILITY IMAP4rev1 AUTH=PLAIN] plain only\r\n";
  script_.answers = {{"LOGIN", "{TAG} OK in\r\n"}, {"AUTHENTICATE", "+ \r\n"}};
  Start(dtl::ImapSecurity::StartTls);
  auto r = session_->Open();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().code, ErrorCode::Unsupported);
  EXPECT_NE(r.error().message.find("STARTTLS"), std::string::npos) << r.error().message;
  peer_->Join();
  EXPECT_TRUE(script_.Seen().empty()) << script_.Seen().front();
}

TEST_F(ImapSessionScripted, BytesSentBeforeTheHandshakeEndTheSession) {
  script_.greeting = "* OK [CAPABILITY IMAP4rev1 STARTTLS] hi\r\n";
  // An injected answer rides along with STARTTLS's OK, in the same packet.
  script_.answers = {{"STARTTLS", "{TAG} OK go\r\n* CAPABILITY IMAP4rev1 AUTH=PLAIN\r\n<hold>"}};
  Start(dtl::ImapSecurity::StartTls);
  auto r = session_->Open();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().code, ErrorCode::Protocol) << r.error().message;
}

TEST_F(ImapSessionScripted, FallsBackToTheLoginCommandWithoutLoggingThePassword) {
  script_.greeting = "* OK [CAPABILITY IMAP4rev1 AUTH=GSSAPI] ready\r\n";
  script_.answers = {{"LOGIN \"drover@mail.test\" \"Secret-pw 9\"", "{TAG} OK in\r\n"},
                     {"LOGIN", "{TAG} NO [AUTHENTICATIONFAILED] wrong\r\n"},
                     {"CAPABILITY", "* CAPABILITY IMAP4rev1\r\n{TAG} OK done\r\n"},
                     {"LOGOUT", "* BYE bye\r\n{TAG} OK done\r\n<close>"}};
  Start(dtl::ImapSecurity::ImplicitTls);
  ASSERT_TRUE(session_->Open().ok());
  EXPECT_EQ(session_->loginMethod(), "LOGIN command");
  EXPECT_EQ(session_->state(), dtl::ImapState::Authenticated);
  EXPECT_TRUE(session_->Logout().ok());
  for (const std::string& line : session_->log())
    EXPECT_EQ(line.find("Secret-pw"), std::string::npos) << line;
}

TEST_F(ImapSessionScripted, AServerThatTricklesCannotStretchAnAnswerPastTheTimeOut) {
  dtltest::LoopbackPeer peer([](int fd) {
    dtltest::SendTrickled(fd, "* OK [CAPABILITY IMAP4rev1] a greeting that takes long\r\n",
                          std::chrono::milliseconds(100));
    return false;
  });
  auto settings = ScriptedSettings(peer.port(), dtl::ImapSecurity::ImplicitTls);
  settings.ioTimeout = std::chrono::milliseconds(1000);
  auto session = Session(settings);
  const auto start = std::chrono::steady_clock::now();
  auto r = session->Open();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().code, ErrorCode::Timeout) << r.error().message;
  // Each byte came well within the time-out; the answer as a whole did not.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
}

TEST_F(ImapSessionScripted, AStopEndsTheWaitForASilentServerAtOnce) {
  std::stop_source stop;
  ASSERT_NO_FATAL_FAILURE(InFolder({{"UID FETCH 5 (BODY.PEEK[2])", "<hold>"}}, stop.get_token()));
  std::jthread stopper([&stop] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stop.request_stop();
  });
  const auto start = std::chrono::steady_clock::now();
  auto r = session_->FetchSection(5, "2", [](std::string_view) { return dtl::Status{}; });
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().code, ErrorCode::Cancelled) << r.error().message;
  // The server would keep it waiting for the whole 20 s time-out.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_EQ(session_->state(), dtl::ImapState::Logout);
}

}  // namespace
