// Fixture servers never outlive the test process that started them: a test killed by a
// time-out (SIGKILL, no destructor runs) must not leave a server holding ctest's output pipe.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "fixtures/fixture_process.h"
#include "fixtures/smtp_fixture.h"
#include "support/TestSupport.h"

namespace {

// Waits for the orphaned `pid` (handed to this process, the subreaper) to end.
bool EndsWithin(pid_t pid, std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    const pid_t got = waitpid(pid, nullptr, WNOHANG);
    if (got == pid || (got < 0 && errno == ECHILD)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

TEST(FixtureProcess, ServersDieWithTheKilledTestProcessThatStartedThem) {
  dtltest::TempDir dir;
  const struct {
    const char* name;
    std::vector<std::string> argv;
  } cases[] = {
      {"provider fixture",
       {dtltest::SystemPython(), DTL_SOURCE_DIR "/tests/fixtures/provider_server.py", "--segments",
        dir.path().string()}},
      {"SMTP fixture",
       {dtltest::SystemPython(), DTL_SOURCE_DIR "/tests/fixtures/smtp_server.py", "--sink"}},
      // Neither EOF on its stdin nor SIGTERM ends this one; only the kernel's kill on the
      // starter's death does.
      {"fixture deaf to EOF and SIGTERM",
       {"/bin/sh", "-c", "trap '' TERM; echo PORT 1; exec sleep 600"}},
  };
  // Orphans come to this process, which can then tell their end by reaping them.
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    const pid_t test = fork();
    ASSERT_GE(test, 0);
    if (test == 0) {
      // The stand-in test process: starts the fixture, says which process it is, waits to die.
      close(report[0]);
      dtltest::FixtureProcess fixture(c.argv);
      const pid_t server = fixture.firstLine().rfind("PORT ", 0) == 0 ? fixture.pid() : -1;
      (void)!write(report[1], &server, sizeof server);
      for (;;) pause();
    }
    close(report[1]);
    pid_t server = -1;
    ASSERT_EQ(read(report[0], &server, sizeof server), static_cast<ssize_t>(sizeof server));
    close(report[0]);
    ASSERT_GT(server, 0) << "the fixture did not start";
    ASSERT_EQ(kill(server, 0), 0);

    kill(test, SIGKILL);
    ASSERT_EQ(waitpid(test, nullptr, 0), test);
    const bool gone = EndsWithin(server, std::chrono::seconds(5));
    if (!gone) kill(server, SIGKILL), waitpid(server, nullptr, 0);
    EXPECT_TRUE(gone) << "fixture " << server << " outlived its test process";
  }
  prctl(PR_SET_CHILD_SUBREAPER, 0);
}

// An announcement cut short (the fixture died mid-line) is no start: no port is read from it.
TEST(FixtureProcess, AnAnnouncementCutShortIsNoStart) {
  const auto start = std::chrono::steady_clock::now();
  dtltest::FixtureProcess fixture({"/bin/sh", "-c", "printf 'PORT 12'; exit 0"});
  EXPECT_EQ(fixture.firstLine(), "") << "a line cut short is no announcement";
  EXPECT_EQ(fixture.pid(), -1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

}  // namespace
