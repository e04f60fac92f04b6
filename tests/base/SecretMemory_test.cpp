#include "base/SecretMemory.h"

#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>

namespace {

// The bytes behind size() belonged to the secret too (a password shortened by trimming keeps its
// old tail there), so the whole buffer must be zero afterwards, not just the visible part.
TEST(WipeSecret, ZeroesTheWholeBufferAndEmptiesTheString) {
  struct Case {
    const char* name;
    std::string secret;
    size_t keep;  // the size it has when wiped (a shortened secret)
  } cases[] = {
      {"short, kept inline", "pw", 2},
      {"long, on the heap", std::string(200, 'S'), 200},
      {"shortened, old tail behind the end", std::string(100, 'T'), 10},
      {"empty", "", 0},
  };
  for (auto& c : cases) {
    std::string& s = c.secret;
    s.resize(c.keep);
    const char* buffer = s.data();
    const size_t capacity = s.capacity();
    dtl::WipeSecret(s);
    EXPECT_TRUE(s.empty()) << c.name;
    EXPECT_EQ(s.data(), buffer) << c.name;
    EXPECT_EQ(s.capacity(), capacity) << c.name;
    EXPECT_TRUE(std::all_of(buffer, buffer + capacity, [](char b) { return b == 0; })) << c.name;
  }
}

// In a child, so the test process itself stays dumpable for debugging.
TEST(KeepSecretsOutOfCoreDumps, LeavesTheProcessUndumpableWithNoCoreLimit) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    dtl::KeepSecretsOutOfCoreDumps();
    struct rlimit core {};
    ::getrlimit(RLIMIT_CORE, &core);
    const bool ok = ::prctl(PR_GET_DUMPABLE, 0, 0, 0, 0) == 0 && core.rlim_cur == 0 &&
                    core.rlim_max == 0;
    ::_exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
