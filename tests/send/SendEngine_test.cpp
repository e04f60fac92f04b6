// The send engine's run through the document, with a scripted SMTP peer in place of the network
// and small shell scripts as the mail-client submission program.
#include <gtest/gtest.h>

#include <condition_variable>
#include <optional>

#include "send/SendEventLog.h"

namespace {

namespace fs = std::filesystem;
using dtl::SendEventKind;

struct Attempt {
  dtl::SmtpSettings settings;
  dtl::SmtpEnvelope envelope;
  std::string wire;
};

class SendEngineTest : public dtltest::SendRunTest {
 protected:
  SendEngineTest() {
    EXPECT_TRUE(settings_.SetString("SMTPServer", "smtp.example.com"));
    env_.clock = [] { return std::time_t{1700000000}; };
    env_.mxResolverFactory = []() -> dtl::Result<std::unique_ptr<dtl::MxResolver>> {
      return dtl::Error(dtl::ErrorCode::NotFound, "no resolver in this test");
    };
    env_.deliver = [this](const dtl::SmtpSettings& s, const dtl::SmtpEnvelope& e,
                          std::string_view wire, dtl::MailProgress* progress, std::stop_token stop,
                          dtl::SmtpAttemptReport& report) -> dtl::Status {
      size_t n;
      {
        std::lock_guard<std::mutex> lock(mu_);
        attempts_.push_back({s, e, std::string(wire)});
        n = attempts_.size();
      }
      progress->SendProgress(50);
      progress->SendProgress(100);
      if (stop.stop_requested()) {
        report.log.Error("Mail sending aborted by application");
        return dtl::Error(dtl::ErrorCode::Cancelled, "Mail sending aborted by application");
      }
      const bool ok = peer_ ? peer_(n) : true;
      if (ok) return {};
      report.log.Error("Send failed. attempt " + std::to_string(n));
      if (refusal_) {
        report.sizeLimit = sizeLimit_;
        report.permanentRefusal = refusal_;
      }
      return dtl::Error(dtl::ErrorCode::Refused, "Send failed.");
    };
  }

  std::vector<Attempt> Attempts() {
    std::lock_guard<std::mutex> lock(mu_);
    return attempts_;
  }
  static std::string Subject(const std::string& wire) {
    const auto at = wire.find("\r\nSubject: ");
    return wire.substr(at + 11, wire.find("\r\n", at + 11) - at - 11);
  }

  std::function<bool(size_t attempt)> peer_;
  // What a failed attempt reports besides failing: a permanent refusal and the announced limit.
  std::optional<dtl::SmtpReply> refusal_;
  uint64_t sizeLimit_ = 0;
  std::mutex mu_;
  std::vector<Attempt> attempts_;
};

TEST(SubjectLine, SplitFormHasNumberNineBlanksAndTagPlainFormOneBlank) {
  dtl::SystemRandom random;
  random.Seed(42);
  const std::string tag = dtl::MakeSubjectTag(random);
  ASSERT_EQ(tag.size(), 10u);
  for (char c : tag) EXPECT_TRUE((c >= '0' && c <= '8') || (c >= 'a' && c <= 'y')) << tag;
  EXPECT_EQ(dtl::SegmentSubject("song.mp3", 12, tag, false),
            "song.mp3 - segment number 12         " + tag);
  EXPECT_EQ(dtl::SegmentSubject("song.mp3", 12, tag, true), "song.mp3 ");
}

TEST_F(SendEngineTest, ThreeRecordsReportSendingProgressAndDeliveryThenEndOnce) {
  ASSERT_TRUE(doc_.BuildSplitJob(Request(25000, dtl::SendMethod::SmtpServer, "a@x.test;b@y.test")));
  Run();
  std::vector<std::string> kinds;
  for (const auto& e : log_.Events()) {
    if (e.kind == SendEventKind::Status) kinds.push_back(std::to_string(e.position) + ":" + e.text);
    if (e.kind == SendEventKind::UploadPercent)
      kinds.push_back(std::to_string(e.position) + ":" + std::to_string(e.percent) + "%");
    if (e.kind == SendEventKind::Delivered)
      kinds.push_back(std::to_string(e.position) + ":delivered");
    if (e.kind == SendEventKind::RunEnded) kinds.push_back("end");
  }
  const std::vector<std::string> want = {"0:Sending Segment...",
                                         "0:50%",
                                         "0:100%",
                                         "0:delivered",
                                         "1:Sending Segment...",
                                         "1:50%",
                                         "1:100%",
                                         "1:delivered",
                                         "2:Sending Segment...",
                                         "2:50%",
                                         "2:100%",
                                         "2:delivered",
                                         "end"};
  EXPECT_EQ(kinds, want);
  EXPECT_TRUE(doc_.CanSend());
  for (const auto& r : doc_.Records()) EXPECT_EQ(r.pending, 0);

  const auto attempts = Attempts();
  ASSERT_EQ(attempts.size(), 3u);
  EXPECT_EQ(attempts[0].envelope.from, "me@example.com");
  EXPECT_EQ(attempts[0].envelope.recipients, (std::vector<std::string>{"a@x.test", "b@y.test"}));
  EXPECT_EQ(attempts[0].settings.host, "smtp.example.com");
  EXPECT_EQ(attempts[0].settings.startTls, dtl::StartTlsMode::Verified);
  const std::string& wire = attempts[1].wire;
  EXPECT_EQ(wire.find("X-Mailer"), std::string::npos);
  EXPECT_NE(wire.find("filename=\"x.001.doc\""), std::string::npos);
  EXPECT_NE(wire.find("x-original-encoding: base64"), std::string::npos);
  // The body is the subject and a full stop, left unencrypted.
  EXPECT_NE(wire.find("\r\n\r\n" + Subject(wire) + "."), std::string::npos);
  // From comes before To on the SMTP server path.
  EXPECT_LT(wire.find("\r\nFrom: "), wire.find("\r\nTo: "));
}

TEST_F(SendEngineTest, DirectSendUsesTheOverrideHostThePortFixAndNoLogin) {
  EXPECT_TRUE(settings_.SetString("MX", "mx.override.test"));
  EXPECT_TRUE(settings_.SetString("SMTPUserName", "user"));
  EXPECT_TRUE(settings_.SetString("SMTPPass", "secret"));
  ASSERT_TRUE(doc_.BuildSplitJob(Request(5000, dtl::SendMethod::DirectSend, "only@a.test;")));
  doc_.Delivery().directPort = 0;
  Run();
  EXPECT_EQ(log_.Statuses()[0], "0:Overriding MX record detection; Using mx.override.test.");
  const auto attempts = Attempts();
  ASSERT_EQ(attempts.size(), 1u);
  EXPECT_EQ(attempts[0].settings.host, "mx.override.test");
  EXPECT_EQ(attempts[0].settings.port, 25);
  EXPECT_EQ(settings_.RawDword(dtl::kSettingsKey, "Port"), 25u);
  EXPECT_EQ(doc_.Delivery().directPort, 0u);  // the port fix stays with the attempt
  EXPECT_TRUE(attempts[0].settings.user.empty());
  EXPECT_EQ(attempts[0].settings.startTls, dtl::StartTlsMode::Opportunistic);
  EXPECT_EQ(attempts[0].envelope.recipients, std::vector<std::string>{"only@a.test"});
  // To before From on the Direct Send path.
  EXPECT_LT(attempts[0].wire.find("\r\nTo: "), attempts[0].wire.find("\r\nFrom: "));
}

// The SMTP-server attempt carries the user's choice on plain logins; Direct Send has no login.
TEST_F(SendEngineTest, PlainLoginSettingReachesTheSmtpServerAttemptOnly) {
  const struct {
    dtl::SendMethod method;
    std::optional<uint32_t> stored;
    bool allowed;
  } cases[] = {
      {dtl::SendMethod::SmtpServer, std::nullopt, false},
      {dtl::SendMethod::SmtpServer, 0u, false},
      {dtl::SendMethod::SmtpServer, 1u, true},
      {dtl::SendMethod::DirectSend, 1u, false},
  };
  settings_.SetString("MX", "mx.override.test");
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(static_cast<int>(c.method)) + " stored " +
                 (c.stored ? std::to_string(*c.stored) : "none"));
    if (c.stored) settings_.SetDword("AllowPlainLogin", *c.stored);
    ASSERT_TRUE(doc_.BuildSplitJob(Request(5000, c.method, "only@a.test;")));
    Run();
    const auto attempts = Attempts();
    ASSERT_FALSE(attempts.empty());
    EXPECT_EQ(attempts.back().settings.allowPlainLogin, c.allowed);
  }
}

// The settings dialogs reload the document's delivery settings while a run may be in its
// connect step; the run must go on with the settings it started with, and its port fix must not
// leak into the document.
TEST_F(SendEngineTest, RunKeepsItsOwnDeliverySettingsWhenTheDocumentsChangeDuringAnAttempt) {
  struct Case {
    const char* name;
    dtl::SendMethod method;
    void (*prepare)(dtl::DeliverySettings&);  // before the run starts
    void (*change)(dtl::DeliverySettings&);   // during the first attempt
    std::string wantHost;
    void (*checkDoc)(const dtl::DeliverySettings&);
  };
  const Case cases[] = {
      {"smtp server", dtl::SendMethod::SmtpServer, [](dtl::DeliverySettings& d) { d.smtpPort = 0; },
       [](dtl::DeliverySettings& d) {
         d.smtpHost = "changed.example.com";
         d.smtpPort = 2525;
         d.smtpUser = "someone";
       },
       "smtp.example.com",
       [](const dtl::DeliverySettings& d) {
         EXPECT_EQ(d.smtpHost, "changed.example.com");
         EXPECT_EQ(d.smtpPort, 2525u);
       }},
      {"direct send", dtl::SendMethod::DirectSend,
       [](dtl::DeliverySettings& d) {
         d.mxOverride = "mx.override.test";
         d.directPort = 0;
       },
       [](dtl::DeliverySettings& d) {
         d.mxOverride = "mx.changed.test";
         d.directPort = 2525;
       },
       "mx.override.test",
       [](const dtl::DeliverySettings& d) {
         EXPECT_EQ(d.mxOverride, "mx.changed.test");
         EXPECT_EQ(d.directPort, 2525u);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    {
      std::lock_guard<std::mutex> lock(mu_);
      attempts_.clear();
    }
    log_.Clear();
    ASSERT_TRUE(doc_.BuildSplitJob(Request(5000, c.method)));
    c.prepare(doc_.Delivery());
    peer_ = [&](size_t n) {
      if (n == 1) c.change(doc_.Delivery());
      return n >= 2;
    };
    Run(1);
    const auto attempts = Attempts();
    ASSERT_EQ(attempts.size(), 2u);
    for (const auto& a : attempts) {
      EXPECT_EQ(a.settings.host, c.wantHost);
      EXPECT_EQ(a.settings.port, 25);
      EXPECT_TRUE(a.settings.user.empty());
    }
    c.checkDoc(doc_.Delivery());
    peer_ = nullptr;
  }
}

// A pause (after a failed MX look-up here) must end at once when Stop comes, not after its time.
TEST_F(SendEngineTest, StopEndsAPauseAtOnceAndAbandonsTheRun) {
  env_.pause = std::chrono::hours(1);
  std::mutex m;
  std::condition_variable cv;
  bool failed = false;
  log_.onEvent = [&](const dtl::SendEvent& e) {
    if (e.kind != SendEventKind::Status || e.text.rfind("Failed retrieving MX record", 0) != 0)
      return;
    std::lock_guard<std::mutex> lock(m);
    failed = true;
    cv.notify_all();
  };
  ASSERT_TRUE(doc_.BuildSplitJob(Request(25000, dtl::SendMethod::DirectSend)));
  ASSERT_TRUE(doc_.StartRun(log_, env_));
  {
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return failed; });
  }
  doc_.Stop();
  log_.WaitForRuns(1);
  EXPECT_EQ(doc_.Wait(), 0);
  EXPECT_EQ(log_.CountOf(SendEventKind::RunEnded), 0u);
  EXPECT_TRUE(doc_.CanSend());
  for (const auto& r : doc_.Records()) EXPECT_EQ(r.pending, 1);
}

TEST_F(SendEngineTest, FailureIsRetriedAtOnceWithANewTagAndAFreshErrorLog) {
  peer_ = [](size_t n) { return n >= 3; };
  ASSERT_TRUE(doc_.BuildSplitJob(Request(5000, dtl::SendMethod::SmtpServer)));
  Run();
  const std::vector<std::string> want = {
      "0:Sending Segment...",
      "0:Failed sending segment number 1. Log file created. Trying again...",
      "0:Sending Segment...",
      "0:Failed sending segment number 1. Log file created. Trying again...",
      "0:Sending Segment...",
  };
  EXPECT_EQ(log_.Statuses(), want);
  EXPECT_EQ(log_.Positions(SendEventKind::FailedRetrying), (std::vector<int>{0, 0}));
  const auto attempts = Attempts();
  ASSERT_EQ(attempts.size(), 3u);
  EXPECT_NE(Subject(attempts[0].wire), Subject(attempts[1].wire));
  // The subject of the segment at position 0 carries number 0 while the status says 1.
  EXPECT_EQ(Subject(attempts[0].wire).rfind("x - segment number 0         ", 0), 0u);
  EXPECT_NE(dtltest::ReadFileText(dir_ / "DTLErrorLog.xml").find("attempt 2"), std::string::npos);
  // No piece file is left behind by the attempts.
  EXPECT_TRUE(fs::is_empty(temp_));
}

TEST_F(SendEngineTest, SegmentAcceptedWhenStopCameIsNotSentAgain) {
  peer_ = [this](size_t n) {
    if (n == 1) doc_.Stop();
    return true;
  };
  ASSERT_TRUE(doc_.BuildSplitJob(Request(25000, dtl::SendMethod::SmtpServer)));
  Run();
  EXPECT_EQ(log_.Positions(SendEventKind::Delivered), std::vector<int>{0});
  EXPECT_EQ(log_.CountOf(SendEventKind::RunEnded), 0u);
  peer_ = nullptr;
  log_.Clear();
  Run();
  EXPECT_EQ(log_.Positions(SendEventKind::Delivered), (std::vector<int>{1, 2}));
  EXPECT_EQ(Attempts().size(), 3u);
}

TEST_F(SendEngineTest, SendStaysDisabledUntilAStoppedWorkerHasLeft) {
  std::mutex m;
  std::condition_variable cv;
  bool inside = false, release = false;
  peer_ = [&](size_t) {
    std::unique_lock<std::mutex> lock(m);
    inside = true;
    cv.notify_all();
    cv.wait(lock, [&] { return release; });
    return false;
  };
  ASSERT_TRUE(doc_.BuildSplitJob(Request(5000, dtl::SendMethod::SmtpServer)));
  ASSERT_TRUE(doc_.StartRun(log_, env_));
  {
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return inside; });
  }
  doc_.Stop();
  EXPECT_FALSE(doc_.CanStop());
  EXPECT_FALSE(doc_.CanSend());  // a second worker would share the list with this one
  EXPECT_FALSE(doc_.BuildSplitJob(Request(5000, dtl::SendMethod::SmtpServer)));
  {
    std::lock_guard<std::mutex> lock(m);
    release = true;
  }
  cv.notify_all();
  log_.WaitForRuns(1);
  doc_.Wait();
  EXPECT_TRUE(doc_.CanSend());
  EXPECT_EQ(log_.Statuses().back(), "0:Sending Segment...");  // abandoned: no failure reported
}

TEST_F(SendEngineTest, RecordUntickedWhileThePreviousIsOnTheWireIsSkipped) {
  peer_ = [this](size_t n) {
    if (n == 1) doc_.SetPending(1, false);  // the next record may already be packed ahead
    return true;
  };
  ASSERT_TRUE(doc_.BuildSplitJob(Request(25000, dtl::SendMethod::SmtpServer)));
  Run();
  EXPECT_EQ(log_.Positions(SendEventKind::Delivered), (std::vector<int>{0, 2}));
  for (const auto& e : log_.Events())
    EXPECT_NE(e.position, 1) << int(e.kind);  // skipped without any event
  const auto attempts = Attempts();
  ASSERT_EQ(attempts.size(), 2u);
  EXPECT_NE(attempts[1].wire.find("filename=\"x.002.doc\""), std::string::npos);
}

// A permanent refusal ends the run after one attempt: naming a size that fits when the server
// announced a limit, quoting the server otherwise. A transient one is retried as before.
TEST_F(SendEngineTest, PermanentRefusalEndsTheRunAndATransientOneIsRetried) {
  const struct {
    const char* name;
    std::optional<dtl::SmtpReply> refusal;
    uint64_t sizeLimit;
    const char* status;  // the last status's start
  } cases[] = {
      {"policy", dtl::SmtpReply{554, {"5.7.1 rejected"}}, 0,
       "0:The server refused segment number 1 for good: 554 5.7.1 rejected"},
      {"too large", dtl::SmtpReply{552, {"5.3.4 too big"}}, 20000,
       "0:Segment number 1 makes a mail of "},
      {"transient", std::nullopt, 0,
       "0:Failed sending segment number 1. Log file created. Trying again..."},
  };
  log_.onEvent = [this](const dtl::SendEvent& e) {
    if (e.kind == SendEventKind::FailedRetrying) doc_.Stop();
  };
  peer_ = [](size_t) { return false; };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    log_.Clear();
    {
      std::lock_guard<std::mutex> lock(mu_);
      attempts_.clear();
    }
    refusal_ = c.refusal;
    sizeLimit_ = c.sizeLimit;
    ASSERT_TRUE(doc_.BuildSplitJob(Request(25000, dtl::SendMethod::SmtpServer)));
    Run();
    EXPECT_EQ(Attempts().size(), 1u);
    const std::string last = log_.Statuses().back();
    EXPECT_EQ(last.substr(0, std::string(c.status).size()), c.status) << last;
    EXPECT_EQ(log_.CountOf(SendEventKind::FailedRetrying), c.refusal ? 0u : 1u);
    EXPECT_EQ(log_.CountOf(SendEventKind::RunEnded), 0u);
    doc_.Stop();
  }
}

TEST_F(SendEngineTest, MissingSourceIsAFileErrorAndAFailedAttempt) {
  ASSERT_TRUE(doc_.BuildSplitJob(Request(5000, dtl::SendMethod::SmtpServer)));
  fs::remove(dir_ / "x");
  log_.onEvent = [this](const dtl::SendEvent& e) {
    if (e.kind == SendEventKind::FailedRetrying) doc_.Stop();
  };
  Run();
  EXPECT_EQ(log_.CountOf(SendEventKind::FileError), 1u);
  EXPECT_EQ(log_.Positions(SendEventKind::FailedRetrying), std::vector<int>{0});
  EXPECT_TRUE(Attempts().empty());  // nothing attached, nothing sent
  EXPECT_NE(dtltest::ReadFileText(dir_ / "DTLErrorLog.xml").find("No such file"),
            std::string::npos);
}

class MailClientTest : public SendEngineTest {
 protected:
  // A submission program that stores what it reads and exits with `status`.
  std::string Program(int status) {
    const fs::path p = dir_ / ("sendmail" + std::to_string(status));
    dtltest::WriteFileText(p, "#!/bin/sh\ncat > \"" + (dir_ / "out").string() + "$$.eml\"\nexit " +
                                  std::to_string(status) + "\n");
    fs::permissions(p, fs::perms::owner_all);
    return p.string();
  }
};

TEST_F(MailClientTest, DeliveredSegmentReportsFullProgressAfterDelivery) {
  env_.sendmailProgram = Program(0);
  ASSERT_TRUE(doc_.BuildSplitJob(Request(5000, dtl::SendMethod::Mapi, "a@x.test;b@y.test")));
  Run();
  const auto events = log_.Events();
  ASSERT_GE(events.size(), 4u);
  EXPECT_EQ(events[0].text, "Sending Segment...");
  EXPECT_EQ(events[1].kind, SendEventKind::Delivered);
  EXPECT_EQ(events[2].kind, SendEventKind::UploadPercent);
  EXPECT_EQ(events[2].percent, 100);
  EXPECT_EQ(events[3].kind, SendEventKind::RunEnded);
}

// A stand-in submission program that refuses the account "bad" the way a sendmail-compatible
// program refuses an unknown account, and records the arguments of every call.
TEST_F(MailClientTest, StoredProfileTheProgramRefusesFallsBackToNoProfileAndTheBodyHasNoDot) {
  const fs::path args = dir_ / "args";
  const fs::path program = dir_ / "sendmail-accounts";
  dtltest::WriteFileText(program, "#!/bin/sh\necho \"$*\" >> \"" + args.string() +
                                      "\"\ncase \" $* \" in *\" -a bad \"*) cat > /dev/null; "
                                      "echo \"account bad not found\"; exit 78;; esac\ncat > \"" +
                                      (dir_ / "out").string() + "$$.eml\"\n");
  fs::permissions(program, fs::perms::owner_all);
  env_.sendmailProgram = program.string();
  const struct {
    const char* profile;
    const char* calls;
  } cases[] = {
      {"", "-t -i\n"},
      {"good", "-a good -t -i\n"},
      {"bad", "-a bad -t -i\n-t -i\n"},
  };
  // A refused submission would be retried without end: the first failure stops the run.
  log_.onEvent = [this](const dtl::SendEvent& e) {
    if (e.kind == SendEventKind::FailedRetrying) doc_.Stop();
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.profile);
    log_.Clear();
    fs::remove(args);
    for (const auto& e : fs::directory_iterator(dir_.path()))
      if (e.path().extension() == ".eml") fs::remove(e.path());
    settings_.SetString("UserName", c.profile);
    ASSERT_TRUE(doc_.BuildSplitJob(Request(5000, dtl::SendMethod::Mapi)));
    Run();
    EXPECT_EQ(dtltest::ReadFileText(args), c.calls);
    EXPECT_EQ(log_.CountOf(SendEventKind::FailedRetrying), 0u);
    std::string eml;
    for (const auto& e : fs::directory_iterator(dir_.path()))
      if (e.path().extension() == ".eml") eml = dtltest::ReadFileText(e.path());
    const std::string subject = Subject(eml);
    EXPECT_NE(eml.find("\r\n\r\n" + subject + "\r\n"), std::string::npos) << eml.substr(0, 2000);
    EXPECT_EQ(eml.find(subject + "."), std::string::npos);
  }
}

TEST_F(MailClientTest, FailedSubmissionIsRetriedAfterThePause) {
  env_.sendmailProgram = Program(1);
  log_.onEvent = [this](const dtl::SendEvent& e) {
    if (e.kind == SendEventKind::FailedRetrying && log_.CountOf(SendEventKind::FailedRetrying) == 1)
      doc_.Stop();
  };
  ASSERT_TRUE(doc_.BuildSplitJob(Request(5000, dtl::SendMethod::Mapi)));
  Run();
  const std::vector<std::string> want = {
      "0:Sending Segment...", "0:Failed sending segment number 1 via MAPI. Trying again...",
      "0:Sending Segment...", "0:Failed sending segment number 1 via MAPI. Trying again..."};
  EXPECT_EQ(log_.Statuses(), want);
  EXPECT_EQ(log_.CountOf(SendEventKind::RunEnded), 0u);
}

TEST_F(MailClientTest, LogonFailureAbandonsTheRunAndKeepsSendDisabledUntilStop) {
  env_.sendmailProgram = (dir_ / "no-such-program").string();
  ASSERT_TRUE(doc_.BuildSplitJob(Request(5000, dtl::SendMethod::Mapi)));
  Run();
  EXPECT_EQ(log_.Statuses(), std::vector<std::string>{"0:Could not logon to MAPI session."});
  EXPECT_FALSE(doc_.CanSend());
  doc_.Stop();
  EXPECT_TRUE(doc_.CanSend());
}

}  // namespace
