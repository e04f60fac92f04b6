// dtl send against a real mail system (Postfix delivering over LMTP into Dovecot, started per
// test on loopback): each way of sending lands every segment in the mailbox, and what IMAP
// hands back merges into the very bytes that were sent.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fixtures/dns_server.h"
#include "fixtures/mail_system.h"
#include "support/MailSystemCase.h"
#include "support/PrivateHome.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using dtltest::MailSystem;
using dtltest::ShellQuote;

struct Route {
  const char* name;
  const char* method;  // dtl send --method
  int (MailSystem::*port)() const;
  bool implicitTls;
  bool login;
};

void PrintTo(const Route& r, std::ostream* os) { *os << r.name; }

// The three ways a segment reaches the server: the submission port upgraded with STARTTLS,
// implicit TLS, and Direct Send to the exchanger the domain's MX record names.
const Route kRoutes[] = {
    {"StartTlsLogin", "smtp", &MailSystem::submissionPort, false, true},
    {"ImplicitTlsLogin", "smtp", &MailSystem::smtpsPort, true, true},
    {"DirectSendThroughMx", "direct", &MailSystem::smtpPort, false, false},
};

// Each case starts its own mail system, so mail_ stays empty and a run's environment is the
// case's own.
using MailSystemTest = dtltest::MailSystemCase;

class MailSystemRoute : public MailSystemTest, public ::testing::WithParamInterface<Route> {};

TEST_P(MailSystemRoute, EverySegmentLandsInTheMailboxAndMergesBackByteForByte) {
  const Route& route = GetParam();
  MailSystem mail(*pki_);
  if (!mail.skipReason().empty()) GTEST_SKIP() << mail.skipReason();
  ASSERT_TRUE(mail.running()) << mail.error();

  std::string env = "DTL_CA_FILE=" + ShellQuote(mail.caFile());
  std::unique_ptr<dtltest::DnsServer> dns;
  if (std::string(route.method) == "direct") {
    // The exchanger's name is known to this name server only, so the mail arrives only when
    // its address is looked up there too, not through the system's resolver.
    const std::string exchanger = "mx." + MailSystem::domain();
    dns = std::make_unique<dtltest::DnsServer>(
        std::vector<std::string>{"--mx-host=" + MailSystem::domain() + "," + exchanger + ",10",
                                 "--host-record=" + exchanger + ",127.0.0.1"});
    ASSERT_TRUE(dns->running()) << dns->error();
    dtltest::WriteFileText(dir_ / "resolv.conf", dns->ResolvConf());
    env += " DTL_RESOLV_CONF=" + Quoted("resolv.conf");
    Config("Port", std::to_string((mail.*route.port)()));
  } else {
    Config("SMTPServer", MailSystem::host());
    Config("SMTPPort", std::to_string((mail.*route.port)()));
    if (route.implicitTls) Config("SSL", "1");
    if (route.login) {
      Config("SMTPUserName", MailSystem::login());
      auto r = Dtl("config set SMTPPass --password-file " + Quoted("login"));
      ASSERT_EQ(r.status, 0) << r.all();
    }
  }

  // Three segments, the first in the descriptor's mail: three mails.
  const auto source = dtltest::RandomBytes(250000, 14);
  dtltest::WriteFileBytes(dir_ / "data.bin", source);
  // A send that cannot get through retries without end: the limit turns that into a failure.
  auto r = Dtl("send " + Quoted("data.bin") + " --to " + MailSystem::address() + " --method " +
                   route.method + " --segment-size 100000 --password-file " + Quoted("pw"),
               env + " timeout 60");
  ASSERT_EQ(r.status, 0) << r.all() << "\n" << dtltest::ReadFileText(mail.folder() / "postfix.log");

  fs::create_directories(dir_ / "got");
  std::string imapError;
  const auto mails = mail.ReadMailbox(3, dir_ / "got", std::chrono::seconds(30), &imapError);
  std::string listed;
  for (const auto& m : mails) listed += m.subject + " | " + m.attachment + "\n";
  ASSERT_EQ(mails.size(), 3u) << listed << imapError << "\n"
                              << dtltest::ReadFileText(mail.folder() / "postfix.log");
  std::multiset<std::string> names;
  for (const auto& m : mails) {
    names.insert(m.attachment);
    EXPECT_EQ(m.to, MailSystem::address());
  }
  const std::multiset<std::string> want = {"data.bin.dtl.doc", "data.bin.001.doc",
                                           "data.bin.002.doc"};
  EXPECT_EQ(names, want);

  fs::create_directories(dir_ / "out");
  r = Dtl("merge " + ShellQuote((dir_ / "got" / "data.bin.dtl.doc").string()) + " --out " +
          Quoted("out") + " --password-file " + Quoted("pw"));
  ASSERT_EQ(r.status, 0) << r.all();
  EXPECT_EQ(dtltest::ReadFileBytes(dir_ / "out" / "data.bin"), source);
}

INSTANTIATE_TEST_SUITE_P(Routes, MailSystemRoute, ::testing::ValuesIn(kRoutes),
                         [](const auto& info) { return std::string(info.param.name); });

// Every process below `root` (its children, theirs, ...), read from /proc.
std::set<pid_t> Descendants(pid_t root) {
  std::set<pid_t> found = {root};
  for (bool grew = true; grew;) {
    grew = false;
    for (const auto& e : fs::directory_iterator("/proc")) {
      const std::string name = e.path().filename().string();
      if (name.find_first_not_of("0123456789") != std::string::npos) continue;
      std::ifstream stat(e.path() / "stat");
      std::string line;
      if (!std::getline(stat, line)) continue;
      // "pid (comm) state ppid ...": comm may hold blanks and parentheses.
      const auto close = line.rfind(')');
      if (close == std::string::npos) continue;
      char state = 0;
      int ppid = 0;
      if (std::sscanf(line.c_str() + close + 1, " %c %d", &state, &ppid) != 2) continue;
      const pid_t pid = std::stoi(name);
      if (found.count(ppid) && !found.count(pid)) grew = found.insert(pid).second;
    }
  }
  return found;
}

// Alive and not a zombie waiting to be reaped.
bool Running(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return false;
  const auto close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

// Which of `pids` still run after waiting up to `limit` for all of them to end; orphans handed
// to this process (a subreaper) are reaped on the way.
std::set<pid_t> StillRunning(std::set<pid_t> pids, std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    std::erase_if(pids, [](pid_t p) { return !Running(p); });
    if (pids.empty() || std::chrono::steady_clock::now() >= deadline) return pids;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// Postfix's master forks a daemon per service and Dovecot one per protocol; none of them may
// outlive the test, or ports, queue files and ctest's output pipe stay held.
TEST_F(MailSystemTest, StopEndsEveryProcessTheMailSystemStarted) {
  MailSystem mail(*pki_);
  if (!mail.skipReason().empty()) GTEST_SKIP() << mail.skipReason();
  ASSERT_TRUE(mail.running()) << mail.error();
  // A delivery has the queue manager, smtpd, cleanup and LMTP processes running.
  auto r = dtltest::RunCommand(
      "/usr/bin/python3 -c " +
      ShellQuote("import smtplib, sys\n"
                 "s = smtplib.SMTP('127.0.0.1', int(sys.argv[1]))\n"
                 "s.sendmail('a@x.test', [sys.argv[2]], 'Subject: hi\\r\\n\\r\\nhello\\r\\n')\n"
                 "s.quit()\n") +
      " " + std::to_string(mail.smtpPort()) + " " + MailSystem::address());
  ASSERT_EQ(r.status, 0) << r.output;
  ASSERT_EQ(mail.ReadMailbox(1).size(), 1u);

  const std::set<pid_t> started = Descendants(mail.pid());
  ASSERT_GT(started.size(), 4u);  // the launcher, both masters and their helpers
  const fs::path folder = mail.folder();
  mail.Stop();

  const auto left = StillRunning(started, std::chrono::seconds(10));
  EXPECT_TRUE(left.empty()) << left.size() << " processes still run, first " << *left.begin();
  EXPECT_FALSE(fs::exists(folder)) << folder;
}

// A test killed outright (a time-out) runs no destructor: the servers must still go, each of
// the masters by the kernel's death signal and their helpers with their master.
TEST_F(MailSystemTest, EveryProcessDiesWithAKilledTestProcess) {
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  int report[2];
  // Close-on-exec, or the servers would hold the write end and the read below never end.
  ASSERT_EQ(pipe2(report, O_CLOEXEC), 0);
  const pid_t test = fork();
  ASSERT_GE(test, 0);
  if (test == 0) {
    // The stand-in test process: starts the mail system, tells how it went, waits to die.
    close(report[0]);
    MailSystem mail(*pki_);
    const std::string line =
        mail.running() ? "RUN " + std::to_string(mail.pid()) + " " + mail.folder().string()
                       : "NO " + mail.skipReason() + mail.error();
    (void)!write(report[1], line.data(), line.size());
    close(report[1]);
    for (;;) pause();
  }
  close(report[1]);
  std::string line;
  char buf[4096];
  for (ssize_t got; (got = read(report[0], buf, sizeof buf)) > 0;) line.append(buf, got);
  close(report[0]);
  pid_t launcher = -1;
  char folder[4096] = {};
  const bool started = std::sscanf(line.c_str(), "RUN %d %4095s", &launcher, folder) == 2;
  std::set<pid_t> processes;
  if (started) processes = Descendants(launcher);
  kill(test, SIGKILL);
  waitpid(test, nullptr, 0);
  const auto left = StillRunning(processes, std::chrono::seconds(10));
  for (pid_t p : left) kill(p, SIGKILL);
  StillRunning(left, std::chrono::seconds(5));
  prctl(PR_SET_CHILD_SUBREAPER, 0);
  // The launcher had no chance to clean up after itself.
  if (started) fs::remove_all(folder);

  if (!started && line.rfind("NO ", 0) == 0 && getuid() != 0) GTEST_SKIP() << line.substr(3);
  ASSERT_TRUE(started) << line;
  EXPECT_GT(processes.size(), 4u);
  EXPECT_TRUE(left.empty()) << left.size() << " processes outlived the test, first "
                            << *left.begin();
}

}  // namespace
