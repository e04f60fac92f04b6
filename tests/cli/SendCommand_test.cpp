// dtl send through the program itself: usage errors, and a job mailed to the aiosmtpd fixture,
// killed in the middle, resumed and merged back.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "fixtures/smtp_fixture.h"
#include "send/SendJournal.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using dtltest::ShellQuote;

class SendCommandTest : public ::testing::Test {
 protected:
  // TempDir itself lives under $TMPDIR, so the next test must find the old one again.
  void TearDown() override {
    if (oldTmp_)
      setenv("TMPDIR", oldTmp_->c_str(), 1);
    else
      unsetenv("TMPDIR");
  }
  void SetUp() override {
    if (const char* t = getenv("TMPDIR")) oldTmp_ = t;
    setenv("XDG_CONFIG_HOME", (dir_ / "config").c_str(), 1);
    setenv("XDG_STATE_HOME", (dir_ / "state").c_str(), 1);
    setenv("TMPDIR", (dir_ / "tmp").c_str(), 1);
    fs::create_directories(dir_ / "tmp");
    fs::create_directories(mail_);
  }

  dtltest::CommandResult Dtl(const std::string& args, const std::string& input = {}) {
    return dtltest::RunCommand(dtltest::DtlPath() + " " + args + " 2>&1", input);
  }
  void UseServer(int port) {
    ASSERT_EQ(Dtl("config set SMTPServer localhost").status, 0);
    ASSERT_EQ(Dtl("config set SMTPPort " + std::to_string(port)).status, 0);
  }
  std::string Source(size_t size) {
    source_ = dtltest::RandomBytes(size, 11);
    dtltest::WriteFileBytes(dir_ / "data.bin", source_);
    return ShellQuote((dir_ / "data.bin").string());
  }
  fs::path Journal() const { return dir_ / "state" / "drovetail" / "send.journal"; }
  // Runs `command` through the shell (its stderr dropped) and kills it, with no chance to clean
  // up, as soon as a line of its output holds `marker`, or lets it end when none does.
  struct Killed {
    std::string output;  // the lines read, the marker's included
    bool said = false;   // the marker came
  };
  static Killed KillOnceSaid(const std::string& command, const std::string& marker) {
    Killed k;
    int pipeFds[2];
    const bool piped = pipe(pipeFds) == 0;
    EXPECT_TRUE(piped);
    if (!piped) return k;
    const pid_t pid = fork();
    if (pid == 0) {
      dup2(pipeFds[1], 1);
      close(pipeFds[0]);
      execl("/bin/sh", "sh", "-c", ("exec " + command + " 2>/dev/null").c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    close(pipeFds[1]);
    FILE* out = fdopen(pipeFds[0], "r");
    char line[4096];
    while (!k.said && std::fgets(line, sizeof line, out)) {
      k.output += line;
      k.said = std::string(line).find(marker) != std::string::npos;
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    fclose(out);
    return k;
  }

  dtltest::TempDir dir_;
  fs::path mail_ = dir_ / "mail";
  std::vector<uint8_t> source_;
  std::optional<std::string> oldTmp_;
};

TEST_F(SendCommandTest, UsageErrorsExitWithTwo) {
  dtltest::WriteFileText(dir_ / "f.txt", "some text");
  const std::string f = ShellQuote((dir_ / "f.txt").string());
  const std::vector<std::pair<std::string, std::string>> cases = {
      {f, "--to is required"},
      {f + " --to a@b.com --password hunter2", "never taken from the command line"},
      {f + " --to a@b.com --plain --position 3", "--plain sends files whole"},
      {f + " --to a@b.com --method pigeon", "--method must be"},
      {f + " --to 'a@b.com;c@d.com' --method direct", "no more then one destination"},
      {f + " --to a@bcom --method direct",
       "Please enter a valid E-mail address: someone@example.com"},
      {f + " --to a@b.com --method smtp", "no SMTP server is set"},
      {"--resume " + f, "--resume takes the job as it was"},
      // A segment above the largest one could be made but never merged.
      {f + " --to a@b.com --segment-size 10000001",
       "--segment-size must be a whole number of bytes from 1 to 10000000"},
      {f + " --to a@b.com --segment-size 4294967294", "from 1 to 10000000"},
      // A segment list is checked as it is read, before any file or password.
      {f + " --to a@b.com --segments 0", "numbered from 1; the descriptor's mail is dtl, not 0"},
      {f + " --to a@b.com --segments 9-7", "the range 9-7 runs backwards"},
      {f + " --to a@b.com --segments x",
       "ranges such as 4,7-9 (and dtl for the descriptor's "
       "mail), not 'x'"},
      {f + " --to a@b.com --segments 1,,2", "not ''"},
      {f + " --to a@b.com --segments 3-", "not '3-'"},
      {f + " --to a@b.com --segments -3", "not '-3'"},
      {f + " --to a@b.com --segments ''", "not an empty list"},
      {f + " --to a@b.com --segments", "--segments needs a list of segments"},
      {f + " --to a@b.com --plain --segments 1", "--plain sends files whole; no --segments"},
      {f + " " + f + " --to a@b.com --segments 1", "--segments picks segments of one FILE"},
      {"--resume --segments 1", "--resume takes the job as it was"},
      // The count follows from the file's size and the segment size: nine bytes are the
      // descriptor's mail alone.
      {f + " --to a@b.com --method direct --segments 1",
       "there is no segment 1: f.txt cut into segments of 10000000 bytes is its descriptor's mail "
       "(dtl) alone; give the size it was sent with (--segment-size or --position)"},
      {f + " --to a@b.com --method direct --segment-size 2 --segments dtl,2-3,5",
       "there is no segment 5: f.txt cut into segments of 2 bytes makes segments 1 to 4"},
      {f + " --to a@b.com --method direct --segment-size 2 --segments 4-99999999999999999999",
       "not '4-99999999999999999999'"},
      // Recovery data is checked before any password is asked for.
      {f + " --to a@b.com --recovery 101", "--recovery must be a whole number from 0 to 100"},
      {f + " --to a@b.com --recovery -1", "--recovery must be a whole number from 0 to 100"},
      {f + " --to a@b.com --recovery ten", "--recovery must be a whole number from 0 to 100"},
      {f + " --to a@b.com --recovery ''", "--recovery must be a whole number from 0 to 100"},
      {f + " --to a@b.com --plain --recovery 10", "--plain sends files whole; no recovery data"},
      // Hand-picked segments are packed anew: recovery files made now would not describe the
      // segments mailed before.
      {f + " --to a@b.com --method direct --segments dtl --recovery 10",
       "--segments sends segments again; no recovery data"},
      {"--resume --recovery 10", "--resume takes the job as it was"},
  };
  for (const auto& [args, text] : cases) {
    auto r = Dtl("send " + args);
    EXPECT_EQ(r.status, 2) << args << "\n" << r.output;
    EXPECT_NE(r.output.find(text), std::string::npos) << args << "\n" << r.output;
  }
  auto r = Dtl("send --resume");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("no interrupted send"), std::string::npos) << r.output;
}

// Killed halfway, the job resumes with the password asked again; each missing segment goes
// once, the finished job leaves no journal, and the mails merge back into the file.
// A server announcing SIZE is asked before anything is sent: segments too large for it stop
// the send at once with a size that fits, which then goes through.
TEST_F(SendCommandTest, SegmentsLargerThanTheServerTakesAreRefusedBeforeSending) {
  dtltest::SmtpFixture server(mail_, {"--size-limit", "200000"});
  ASSERT_NE(server.port(), 0);
  UseServer(server.port());
  const std::string file = Source(500000);
  auto r = Dtl("send " + file + " --to a@b.test --method smtp --position 20");
  EXPECT_EQ(r.status, 1) << r.output;
  const std::string fitsText = "The largest segment size that fits is ";
  const auto at = r.output.find(fitsText);
  ASSERT_NE(at, std::string::npos) << r.output;
  EXPECT_NE(r.output.find("the server takes mails of at most 200000 bytes"), std::string::npos)
      << r.output;
  EXPECT_TRUE(fs::is_empty(mail_));  // not even the descriptor went out
  const unsigned long fits = std::stoul(r.output.substr(at + fitsText.size()));
  ASSERT_GE(fits, 10000ul);

  r = Dtl("send " + file + " --to a@b.test --method smtp --position " +
          std::to_string(fits / 10000));
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_FALSE(fs::is_empty(mail_));
}

// Recovery files describe every segment of their file, so many small segments make recovery
// mails far larger than the segment mails: those too are held against the server's limit
// before anything is sent.
TEST_F(SendCommandTest, RecoveryMailsLargerThanTheServerTakesAreRefusedBeforeSending) {
  dtltest::SmtpFixture server(mail_, {"--size-limit", "200000"});
  ASSERT_NE(server.port(), 0);
  UseServer(server.port());
  // 1000 segments of 1000 bytes: each segment mail is a few kilobytes, each recovery mail
  // about 350000 bytes.
  const std::string file = Source(1000000);
  auto r = Dtl("send " + file + " --to a@b.test --method smtp --segment-size 1000 --recovery 1");
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_NE(r.output.find("the server takes mails of at most 200000 bytes; the recovery files of "
                          "this send make mails of up to about "),
            std::string::npos)
      << r.output;
  EXPECT_TRUE(fs::is_empty(mail_));
}

TEST_F(SendCommandTest, ResumeAfterAKillDeliversEachRemainingSegmentOnce) {
  dtltest::SmtpFixture server(mail_, {});
  ASSERT_NE(server.port(), 0);
  UseServer(server.port());
  const std::string file = Source(8 * 1000000);  // eight 1 MB segments
  dtltest::WriteFileText(dir_ / "pw", "secret\n");
  const std::string command =
      dtltest::DtlPath() + " send " + file +
      " --to a@b.test --method smtp --segment-size 1000000 --password-file " +
      ShellQuote((dir_ / "pw").string());

  // Killed as soon as it reports its first delivery.
  ASSERT_TRUE(KillOnceSaid(command, ": delivered").said);

  const auto journal = dtl::SendJournal(Journal()).Load();
  ASSERT_TRUE(journal) << journal.error().message;
  std::set<std::string> pending;
  for (const auto& r : journal->records)
    if (r.pending)
      pending.insert(r.index == 0 ? "data.bin.dtl.doc"
                                  : "data.bin.00" + std::to_string(r.index) + ".doc");
  ASSERT_FALSE(pending.empty());
  ASSERT_LT(pending.size(), 8u);
  const size_t before = dtltest::ReadStoredMails(mail_).size();

  auto wrong = Dtl("send --resume --password-stdin", "not it\n");
  EXPECT_EQ(wrong.status, 1);
  EXPECT_NE(wrong.output.find("password differs"), std::string::npos) << wrong.output;

  auto r = Dtl("send --resume --password-file " + ShellQuote((dir_ / "pw").string()));
  ASSERT_EQ(r.status, 0) << r.output;
  const fs::path got = dir_ / "got";
  fs::create_directories(got);
  const auto mails = dtltest::ReadStoredMails(mail_, got);
  std::multiset<std::string> resent;
  for (size_t i = before; i < mails.size(); ++i) {
    const auto a = mails[i].find('|') + 1;
    resent.insert(mails[i].substr(a, mails[i].find('|', a) - a));
  }
  EXPECT_EQ(resent, std::multiset<std::string>(pending.begin(), pending.end()));
  EXPECT_FALSE(fs::exists(Journal()));

  fs::create_directories(dir_ / "out");
  r = Dtl("merge " + ShellQuote((got / "data.bin.dtl.doc").string()) + " --out " +
          ShellQuote((dir_ / "out").string()) + " --password-file " +
          ShellQuote((dir_ / "pw").string()));
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(dtltest::ReadFileBytes(dir_ / "out" / "data.bin"), source_);
}

// A provider's quota answer pauses dtl send with a line saying so; killed during the pause, the
// journal keeps until when, and the resume waits the rest first, then mails each remaining
// segment once.
TEST_F(SendCommandTest, KilledDuringAQuotaPauseTheResumeWaitsTheRestThenSendsEachSegmentOnce) {
  dtltest::SmtpFixture server(mail_,
                              {"--reply-at", "mail:2:550 5.4.5 Daily user sending quota exceeded."});
  ASSERT_NE(server.port(), 0);
  UseServer(server.port());
  const std::string file = Source(25000);  // three segments
  const std::string command =
      dtltest::DtlPath() + " send " + file + " --to a@b.test --method smtp --segment-size 10000";
  const std::time_t started = std::time(nullptr);
  const auto killed = KillOnceSaid(command, "Sending paused");
  ASSERT_TRUE(killed.said) << killed.output;
  EXPECT_NE(killed.output.find(": Sending paused: the account's sending quota is used up (550 "
                               "5.4.5 Daily user sending quota exceeded.). Going on at "),
            std::string::npos)
      << killed.output;

  auto journal = dtl::SendJournal(Journal()).Load();
  ASSERT_TRUE(journal) << journal.error().message;
  // QuotaPause's default, an hour from when the answer came.
  EXPECT_GE(journal->pausedUntil, started + 3600);
  EXPECT_LE(journal->pausedUntil, std::time(nullptr) + 3600);
  EXPECT_NE(journal->pauseReason.find("550 5.4.5"), std::string::npos);
  EXPECT_EQ(dtltest::ReadStoredMails(mail_).size(), 1u);

  // The hour has all but passed: the resume waits the last seconds of it, saying so. Four, so
  // a slow start of the resuming process (a loaded machine, the sanitizer build) still finds
  // the pause running.
  journal->pausedUntil = std::time(nullptr) + 4;
  ASSERT_TRUE(dtl::SendJournal(Journal()).Save(*journal));
  auto r = Dtl("send --resume");
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("Sending paused: the account's sending quota is used up (550 5.4.5"),
            std::string::npos)
      << r.output;
  const auto mails = dtltest::ReadStoredMails(mail_);
  ASSERT_EQ(mails.size(), 3u);
  std::set<std::string> names;
  for (const auto& m : mails) {
    const auto a = m.find('|') + 1;
    names.insert(m.substr(a, m.find('|', a) - a));
  }
  EXPECT_EQ(names.size(), 3u);
  EXPECT_FALSE(fs::exists(Journal()));
}

// A recipient refused for now leaves the segment owed to it alone: the journal keeps who has
// it already, so a resume after a kill mails that segment only to the one still owed.
TEST_F(SendCommandTest, ResumeAfterAPartlyRefusedSegmentMailsOnlyTheRecipientStillOwed) {
  const std::string file = Source(25000);  // three segments
  std::string partly;
  {
    dtltest::SmtpFixture deferring(mail_, {"--defer", "later@b.test"});
    ASSERT_NE(deferring.port(), 0);
    UseServer(deferring.port());
    dtltest::WriteFileText(dir_ / "pw", "secret\n");
    const std::string command = dtltest::DtlPath() + " send " + file +
                                " --to 'good@b.test;later@b.test' --method smtp"
                                " --segment-size 10000 --password-file " +
                                ShellQuote((dir_ / "pw").string());
    const auto run = KillOnceSaid(command, "failed, trying again");
    partly = run.output;
    ASSERT_TRUE(run.said) << partly;
  }
  EXPECT_NE(partly.find("still owed to later@b.test (450"), std::string::npos) << partly;
  const auto journal = dtl::SendJournal(Journal()).Load();
  ASSERT_TRUE(journal) << journal.error().message;
  EXPECT_EQ(journal->served, (dtl::ServedRecipientMap{{0, {"good@b.test"}}}));

  const fs::path mail2 = dir_ / "mail2";
  fs::create_directories(mail2);
  dtltest::SmtpFixture server(mail2, {});
  ASSERT_NE(server.port(), 0);
  UseServer(server.port());
  auto r = Dtl("send --resume --password-file " + ShellQuote((dir_ / "pw").string()));
  ASSERT_EQ(r.status, 0) << r.output;
  std::vector<std::string> rcpts;
  for (int n = 1; fs::exists(mail2 / ("msg-" + std::to_string(n) + ".json")); ++n) {
    const std::string json = dtltest::ReadFileText(mail2 / ("msg-" + std::to_string(n) + ".json"));
    const auto at = json.find("\"rcpt\": ");
    rcpts.push_back(json.substr(at + 8, json.find(']', at) - at - 7));
  }
  EXPECT_EQ(rcpts,
            (std::vector<std::string>{"[\"later@b.test\"]", "[\"good@b.test\", \"later@b.test\"]",
                                      "[\"good@b.test\", \"later@b.test\"]"}));
  EXPECT_FALSE(fs::exists(Journal()));
}

// Re-sending what a receiver misses: only the chosen segments are mailed, under the names a
// full send gives them, the descriptor by "dtl"; and each one stands in for the full send's
// (the archives differ only in the time stamped on their entry), so a set made of both
// merges back byte for byte.
TEST_F(SendCommandTest, SegmentsSendsOnlyTheChosenSegmentsAndTheyMergeWithAFullSends) {
  const std::string file = Source(95000);  // ten segments of 10000 bytes: dtl, 001 ... 009
  dtltest::WriteFileText(dir_ / "pw", "secret\n");
  const std::string pw = ShellQuote((dir_ / "pw").string());
  const std::string send =
      "send " + file + " --to a@b.test --method smtp --segment-size 10000 --password-file " + pw;
  const fs::path fullMail = dir_ / "full-mail", full = dir_ / "full";
  fs::create_directories(fullMail);
  fs::create_directories(full);
  {
    dtltest::SmtpFixture server(fullMail, {});
    ASSERT_NE(server.port(), 0);
    UseServer(server.port());
    auto r = Dtl(send);
    ASSERT_EQ(r.status, 0) << r.output;
  }
  ASSERT_EQ(dtltest::ReadStoredMails(fullMail, full).size(), 10u);

  struct Case {
    const char* segments;
    std::multiset<std::string> mailed;
  } cases[] = {
      {"4,7-9", {"data.bin.004.doc", "data.bin.007.doc", "data.bin.008.doc", "data.bin.009.doc"}},
      {"9,dtl", {"data.bin.dtl.doc", "data.bin.009.doc"}},
      // A number named twice, or inside a range given too, is still mailed once.
      {"2,1-3,2", {"data.bin.001.doc", "data.bin.002.doc", "data.bin.003.doc"}},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.segments);
    const std::string tag = std::to_string(n++);
    const fs::path mail = dir_ / ("mail-" + tag), got = dir_ / ("got-" + tag);
    fs::create_directories(mail);
    fs::create_directories(got);
    dtltest::SmtpFixture server(mail, {});
    ASSERT_NE(server.port(), 0);
    UseServer(server.port());
    auto r = Dtl(send + " --segments " + c.segments);
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_FALSE(fs::exists(Journal())) << "the chosen segments were all the job had to do";
    std::multiset<std::string> mailed;
    for (const std::string& m : dtltest::ReadStoredMails(mail, got)) {
      const auto a = m.find('|') + 1;
      mailed.insert(m.substr(a, m.find('|', a) - a));
    }
    EXPECT_EQ(mailed, c.mailed);

    // The full send's segments with the re-sent ones in their places.
    const fs::path mixed = dir_ / ("mixed-" + tag), out = dir_ / ("out-" + tag);
    fs::create_directories(out);
    fs::copy(full, mixed);
    for (const std::string& name : c.mailed)
      fs::copy_file(got / name, mixed / name, fs::copy_options::overwrite_existing);
    r = Dtl("merge " + ShellQuote((mixed / "data.bin.dtl.doc").string()) + " --out " +
            ShellQuote(out.string()) + " --password-file " + pw);
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(dtltest::ReadFileBytes(out / "data.bin"), source_);
  }
}

// The recovery files of a send describe the very bytes mailed, whatever happened between: a
// send killed and resumed mails from the spool it packed first, so what a receiver saves (each
// attachment without its ".doc") is a set par2 accepts and repairs from. Only a spool lost after
// some of its mails went out ends the resume, with a message, rather than mixing bytes.
TEST_F(SendCommandTest, RecoveryDataDescribesTheMailedBytesAcrossAKillAndAResume) {
  if (!dtltest::HaveCommand("par2")) GTEST_SKIP() << "par2 is not installed";
  const std::string file = Source(250000);  // 25 segments of 10000 bytes
  dtltest::WriteFileText(dir_ / "pw", "secret\n");
  const std::string pw = ShellQuote((dir_ / "pw").string());
  const fs::path spools = dir_ / "state" / "drovetail" / "spool";
  // 10 % of 25 segments: three blocks, one volume file each, after the index file.
  std::set<std::string> want;
  for (int i = 0; i < 25; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, i == 0 ? "data.bin.dtl" : "data.bin.%03d", i);
    want.insert(name);
  }
  for (const char* r : {"data.bin.par2", "data.bin.vol00+01.par2", "data.bin.vol01+01.par2",
                        "data.bin.vol02+01.par2"})
    want.insert(r);

  struct Case {
    const char* name;
    const char* killWhen;  // the line the first run is killed at
    bool removeSpool;      // the spool is deleted before the resume
    int resumeStatus;
    const char* resumeSays;
  } cases[] = {
      {"killed after a delivery, spool kept", ": delivered", false, 0, ""},
      // Nothing went out yet: packing again is harmless.
      {"killed while preparing, spool removed", "Preparing recovery data", true, 0, ""},
      {"killed after a delivery, spool removed", ": delivered", true, 1,
       "The prepared segments of data.bin are gone; send the file again"},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string tag = std::to_string(n++);
    const fs::path mail = dir_ / ("mail-" + tag), got = dir_ / ("got-" + tag),
                   saved = dir_ / ("saved-" + tag);
    fs::create_directories(mail);
    fs::create_directories(got);
    fs::create_directories(saved);
    dtltest::SmtpFixture server(mail, {});
    ASSERT_NE(server.port(), 0);
    UseServer(server.port());
    const auto run = KillOnceSaid(dtltest::DtlPath() + " send " + file +
                                      " --to a@b.test --method smtp --segment-size 10000"
                                      " --recovery 10 --password-file " + pw,
                                  c.killWhen);
    ASSERT_TRUE(run.said) << run.output;
    const size_t before = dtltest::ReadStoredMails(mail).size();
    if (c.removeSpool) fs::remove_all(spools);

    auto r = Dtl("send --resume --password-file " + pw);
    ASSERT_EQ(r.status, c.resumeStatus) << r.output;
    const auto mails = dtltest::ReadStoredMails(mail, got);
    if (c.resumeStatus != 0) {
      EXPECT_NE(r.output.find(c.resumeSays), std::string::npos) << r.output;
      EXPECT_EQ(mails.size(), before) << "nothing may go out once the spool is gone";
      EXPECT_TRUE(fs::exists(Journal()));
      continue;
    }
    EXPECT_FALSE(fs::exists(Journal()));
    // A finished send leaves no spool behind.
    EXPECT_TRUE(!fs::exists(spools) || fs::is_empty(spools));

    std::set<std::string> names;
    int recoveryMails = 0;
    for (const std::string& m : mails) {
      const auto a = m.find('|') + 1;
      const std::string attachment = m.substr(a, m.find('|', a) - a);
      ASSERT_TRUE(attachment.ends_with(".doc")) << m;
      const std::string name = attachment.substr(0, attachment.size() - 4);
      EXPECT_TRUE(names.insert(name).second) << "mailed twice: " << name;
      fs::copy_file(got / attachment, saved / name);
      if (name.ends_with(".par2")) {
        ++recoveryMails;
        EXPECT_EQ(m.rfind("data.bin - recovery file ", 0), 0u) << m;
        EXPECT_NE(m.find(" of 4         "), std::string::npos) << m;
      }
    }
    EXPECT_EQ(names, want);
    EXPECT_EQ(recoveryMails, 4);

    auto par2 = [&](const std::string& args) {
      return dtltest::RunCommand("cd " + ShellQuote(saved.string()) + " && par2 " + args + " 2>&1");
    };
    auto v = par2("verify data.bin.par2");
    EXPECT_EQ(v.status, 0) << v.output;
    // Two lost mails are what three blocks cover: par2 rebuilds them byte for byte.
    fs::remove(saved / "data.bin.004");
    fs::remove(saved / "data.bin.dtl");
    auto repaired = par2("repair data.bin.par2");
    EXPECT_EQ(repaired.status, 0) << repaired.output;
    EXPECT_EQ(dtltest::ReadFileBytes(saved / "data.bin.004"),
              dtltest::ReadFileBytes(got / "data.bin.004.doc"));
    EXPECT_EQ(dtltest::ReadFileBytes(saved / "data.bin.dtl"),
              dtltest::ReadFileBytes(got / "data.bin.dtl.doc"));
  }
}

// A new send replaces the interrupted one, which can then never be resumed: its spool goes
// with it rather than lingering in the state folder.
TEST_F(SendCommandTest, ANewSendRemovesTheSpoolOfTheSendItReplaces) {
  dtltest::SmtpFixture server(mail_, {});
  ASSERT_NE(server.port(), 0);
  UseServer(server.port());
  const std::string file = Source(250000);
  const fs::path spools = dir_ / "state" / "drovetail" / "spool";
  const std::string send = "send " + file + " --to a@b.test --method smtp --segment-size 10000";
  ASSERT_TRUE(KillOnceSaid(dtltest::DtlPath() + " " + send + " --recovery 10", ": delivered").said);
  ASSERT_TRUE(fs::exists(spools));
  ASSERT_FALSE(fs::is_empty(spools));
  auto r = Dtl(send + " --segments dtl");
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(fs::is_empty(spools));
}

TEST_F(SendCommandTest, ResumeRefusesASourceThatChanged) {
  dtl::SendJournalData d;
  d.sources = {{(dir_ / "data.bin").string(), 25000, 1}};
  Source(25000);
  ASSERT_TRUE(dtl::SendJournal(Journal()).Save(d));
  auto r = Dtl("send --resume");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("changed since the send began"), std::string::npos) << r.output;
}

}  // namespace
