// Both programs hold passwords and session cookies in memory: neither may leave a core file. Each
// runs here with the core limit raised as far as it goes, in a folder where a core would land,
// and is killed with SIGQUIT (whose default action dumps core) once it is up.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;

// The soft core limit /proc shows for `pid`, or "" when it cannot be read.
std::string CoreLimit(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/limits");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("Max core file size", 0) != 0) continue;
    std::string rest = line.substr(std::string("Max core file size").size());
    const size_t b = rest.find_first_not_of(' ');
    return b == std::string::npos ? std::string() : rest.substr(b, rest.find(' ', b) - b);
  }
  return {};
}

struct Outcome {
  bool limitLowered = false;  // the program set its core limit to 0 itself
  bool dumped = false;        // the kernel says a core was written
  bool coreFile = false;      // a core file appeared in its folder
};

// Starts `argv` in `dir` (its own process group, standard input a pipe left open so it waits
// there), waits up to 30 s for its core limit to read 0, then SIGQUITs it.
Outcome RunAndQuit(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                   const fs::path& dir) {
  int in[2], execed[2];
  if (::pipe(in) != 0 || ::pipe2(execed, O_CLOEXEC) != 0) return {};
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(execed[0]);
    ::setpgid(0, 0);
    ::dup2(in[0], 0);
    ::close(in[0]);
    ::close(in[1]);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::dup2(null, 2);
    struct rlimit core {};
    ::getrlimit(RLIMIT_CORE, &core);
    core.rlim_cur = core.rlim_max;  // as large as this environment allows
    ::setrlimit(RLIMIT_CORE, &core);
    if (::chdir(dir.c_str()) != 0) ::_exit(127);
    for (const auto& e : env) ::putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(execed[1]);
  // End of file on this pipe: the exec closed it, so the limit read below is the program's own.
  char byte;
  while (::read(execed[0], &byte, 1) > 0) {
  }
  ::close(execed[0]);
  Outcome o;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < until) {
    if (CoreLimit(child) == "0") {
      o.limitLowered = true;
      break;
    }
    if (::waitpid(child, nullptr, WNOHANG) == child) return o;  // ended on its own
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(child, SIGQUIT);
  int status = 0;
  ::waitpid(child, &status, 0);
  o.dumped = WIFSIGNALED(status) && WCOREDUMP(status);
  ::kill(-child, SIGKILL);  // helpers it started (the desktop program's web engine)
  ::close(in[1]);
  for (const auto& e : fs::directory_iterator(dir))
    if (e.path().filename().string().rfind("core", 0) == 0) o.coreFile = true;
  return o;
}

TEST(CoreDumps, NeitherProgramLeavesACoreFile) {
  struct rlimit core {};
  ::getrlimit(RLIMIT_CORE, &core);
  // A program started here could never dump, so its own care would go unseen.
  if (core.rlim_max == 0) GTEST_SKIP() << "core files cannot be enabled in this environment";
  const std::string desktop = std::string(DTL_BINARY_DIR) + "/bin/drovetail";
  struct Case {
    const char* name;
    std::vector<std::string> argv;
  } cases[] = {
      // Waits for the password on standard input.
      {"dtl", {dtltest::DtlPath(), "merge", "x.dtl", "--out", ".", "--password-stdin"}},
      {"drovetail", {desktop}},
  };
  for (const auto& c : cases) {
    if (!fs::exists(c.argv[0])) {  // a build without the desktop program
      std::printf("%s is not built (%s): not checked\n", c.name, c.argv[0].c_str());
      continue;
    }
    dtltest::TempDir dir;
    const std::vector<std::string> env = {
        "HOME=" + dir.path().string(), "XDG_CONFIG_HOME=" + (dir / "config").string(),
        "XDG_DATA_HOME=" + (dir / "data").string(), "QT_QPA_PLATFORM=offscreen",
        "QTWEBENGINE_DISABLE_SANDBOX=1"};
    const Outcome o = RunAndQuit(c.argv, env, dir.path());
    EXPECT_TRUE(o.limitLowered) << c.name << " never set its core limit to 0";
    EXPECT_FALSE(o.dumped) << c.name;
    EXPECT_FALSE(o.coreFile) << c.name;
  }
}

}  // namespace
