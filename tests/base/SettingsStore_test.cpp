#include "base/SettingsStore.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "base/ProgramFolder.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using dtl::SettingsStore;

struct StoreTest : ::testing::Test {
  dtltest::TempDir dir;
  fs::path file = dir / "cfg/drovetail/settings.reg";
  SettingsStore store{file};
};

struct DwordCase {
  const char* name;
  std::optional<uint32_t> stored;
  uint32_t reads;
};

TEST_F(StoreTest, DwordValidityRulesOnRead) {
  const DwordCase cases[] = {
      {"SMTPPort", std::nullopt, 25},
      {"SMTPPort", 0, 25},
      {"SMTPPort", 70000, 25},
      {"SMTPPort", 65535, 65535},
      {"Port", 0, 25},
      {"Port", 587, 587},
      {"EncMethod", 0, 1},
      {"EncMethod", 3, 1},
      {"EncMethod", 2, 2},
      {"SegSize", 0, 1000},
      {"SegSize", 1001, 1000},
      {"SegSize", 1, 1},
      {"SSL", 1, 1},
      {"SSL", 2, 0},
      {"SSL", std::nullopt, 0},
      {"MinToTray", 5, 1},
      {"MinToTray", 0, 0},
      {"AutoMerge", std::nullopt, 1},
      {"SendType", 2, 2},
      {"SendType", 3, 0},
  };
  for (const auto& c : cases) {
    if (c.stored)
      ASSERT_TRUE(store.SetDword(c.name, *c.stored));
    else
      ASSERT_TRUE(store.DeleteValue(dtl::kSettingsKey, c.name));
    EXPECT_EQ(store.GetDword(c.name), c.reads) << c.name << " stored " << c.stored.value_or(~0u);
  }
  ASSERT_TRUE(store.SetDword("MinToTray", 7));
  ASSERT_TRUE(store.SetDword("SSL", 7));
  EXPECT_TRUE(store.MinToTray());
  EXPECT_FALSE(store.Ssl());
}

TEST_F(StoreTest, StringLimitsCountCharactersAndOverlongReadsAsMissing) {
  std::string e200;
  for (int i = 0; i < 200; ++i) e200 += "é";
  struct Case {
    const char* name;
    std::string stored;
    std::string reads;
  } cases[] = {
      {"SMTPServer", std::string(200, 'a'), std::string(200, 'a')},
      {"SMTPServer", std::string(201, 'a'), ""},
      {"savepath", std::string(260, 'p'), std::string(260, 'p')},
      {"savepath", std::string(261, 'p'), ""},
      // 200 two-byte characters are 400 bytes but still 200 characters.
      {"MX", e200, e200},
      {"MX", e200 + "é", ""},
      {"FromAddress", "", std::string(dtl::kDefaultFromAddress)},
      {"FromAddress", std::string(201, 'f'), std::string(dtl::kDefaultFromAddress)},
      {"FromAddress", "me@example.org", "me@example.org"},
      {"SMTPPass", std::string("pw\0rest", 7), "pw"},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(store.SetString(c.name, c.stored));
    EXPECT_EQ(store.GetString(c.name), c.reads) << c.name << " of " << c.stored.size() << " bytes";
  }
  // A value of the wrong type counts as missing.
  ASSERT_TRUE(store.SetString("SMTPPort", "587"));
  EXPECT_EQ(store.SmtpPort(), 25u);
}

TEST_F(StoreTest, FirstReadCreatesThePrivateStoreWithTheProgramKey) {
  ASSERT_FALSE(fs::exists(file));
  EXPECT_EQ(store.SegSize(), 1000u);
  ASSERT_TRUE(fs::exists(file));
  EXPECT_TRUE(store.Load().HasKey(dtl::kSettingsKey));
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(file.parent_path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  // Rewrites keep the mode even when the file was loosened meanwhile.
  ::chmod(file.c_str(), 0644);
  ASSERT_TRUE(store.SetString("SMTPPass", "secret"));
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// A missing DWORD and a stored 0 read alike through the rules; the raw query still tells them
// apart (the send dialogs propose a method only to a user who never chose one).
TEST_F(StoreTest, RawQueryTellsAMissingValueFromAStoredZero) {
  struct Case {
    const char* name;
    std::function<void()> write;
    std::optional<uint32_t> raw;
  };
  const Case cases[] = {
      {"never written", [] {}, std::nullopt},
      {"stored 0", [&] { ASSERT_TRUE(store.SetDword("SendType", 0)); }, 0u},
      {"stored 2", [&] { ASSERT_TRUE(store.SetDword("SendType", 2)); }, 2u},
      {"name in other case", [&] { ASSERT_TRUE(store.SetDword("sendtype", 1)); }, 1u},
      {"stored as a string", [&] { ASSERT_TRUE(store.SetString("SendType", "2")); }, std::nullopt},
      {"deleted again",
       [&] {
         ASSERT_TRUE(store.SetDword("SendType", 0));
         ASSERT_TRUE(store.DeleteValue(dtl::kSettingsKey, "SendType"));
       },
       std::nullopt},
  };
  for (const Case& c : cases) {
    fs::remove(file);
    c.write();
    EXPECT_EQ(store.SendType(), c.raw.value_or(0)) << c.name;  // the rules cannot tell
    EXPECT_EQ(store.RawDword(dtl::kSettingsKey, "SendType"), c.raw) << c.name;
  }
}

TEST_F(StoreTest, ProfileSectionIsSeparateFromTheProgramKey) {
  ASSERT_TRUE(
      store.WriteProfileStrings({{"HistoryCombo0", "a@x.org"}, {"HistoryCombo1", "b@y.org"}}));
  ASSERT_TRUE(store.WriteProfileString("AddressHistory", "http://mail.example/"));
  EXPECT_EQ(store.GetProfileString("HistoryCombo1"), "b@y.org");
  EXPECT_EQ(store.GetProfileString("AddressHistory"), "http://mail.example/");
  EXPECT_EQ(store.GetProfileString("AddressHistory3"), "");
  EXPECT_FALSE(store.RawString(dtl::kSettingsKey, "HistoryCombo0"));
  std::string text = dtltest::ReadFileText(file);
  EXPECT_NE(text.find("[HKEY_CURRENT_USER\\Software\\DTL\\DTL\\Settings]\n\"AddressHistory\"="),
            std::string::npos);
}

TEST_F(StoreTest, CorruptFileOrCrashLeftoversReadAsDefaultsAndTheNextWriteRepairs) {
  fs::create_directories(file.parent_path());
  auto noise = dtltest::RandomBytes(50000, 3);
  std::string text =
      "[HKEY_CURRENT_USER\\Software\\Kestrelwing\\DTL]\n\"SMTPServer\"=\"kept.example\"\n" +
      std::string(noise.begin(), noise.end()) + "\n\"Port\"=dword:0000";  // cut mid-number
  dtltest::WriteFileText(file, text);
  EXPECT_EQ(store.Port(), 25u);
  EXPECT_EQ(store.SmtpServer(), "kept.example");
  ASSERT_TRUE(store.SetDword("SSL", 1));
  dtl::RegFile after = dtl::RegFile::Parse(dtltest::ReadFileText(file));
  EXPECT_EQ(after, store.Load());
  EXPECT_EQ(store.SmtpServer(), "kept.example");
  EXPECT_TRUE(store.Ssl());

  // A FIFO planted at the path is refused without blocking the reader.
  dtl::SettingsStore planted(dir / "fifo.reg");
  ASSERT_EQ(::mkfifo((dir / "fifo.reg").c_str(), 0600), 0);
  EXPECT_EQ(planted.SmtpPort(), 25u);
  EXPECT_EQ(planted.SmtpServer(), "");

  // Leftovers of a crashed writer neither break reads nor linger.
  ASSERT_TRUE(store.SetString("MX", "mx.example"));
  fs::path stale = file.string() + ".new-ABC123";
  dtltest::WriteFileText(stale, "[HKEY_CURRENT_USER\\Software\\Kestrelwing\\DTL]\n\"MX\"=\"half");
  EXPECT_EQ(store.Mx(), "mx.example");
  ASSERT_TRUE(store.SetDword("Port", 2525));
  EXPECT_FALSE(fs::exists(stale));
  EXPECT_EQ(store.Mx(), "mx.example");
}

// Each child process writes its own values many times; with read-modify-write under the lock
// nobody's last write may be lost, and every file a reader sees must be whole.
// Every write reports why it wrote nothing. The tests may run as root, so the store is blocked
// by what stands in its way rather than by permissions.
TEST_F(StoreTest, WritesThatCannotHappenSayWhyAndLeaveTheFileAlone) {
  ASSERT_TRUE(store.SetString("MX", "kept"));
  const std::string before = dtltest::ReadFileText(file);
  const std::string tooLong(dtl::RegFile::kMaxStringBytes + 1, 'x');
  const std::string badKey(dtl::RegFile::kMaxNameBytes + 1, 'k');
  struct Case {
    const char* what;
    std::function<dtl::Status()> write;
    dtl::ErrorCode code;
  };
  const Case cases[] = {
      {"string beyond the file's limit", [&] { return store.SetString("MX", tooLong); },
       dtl::ErrorCode::InvalidArgument},
      {"name beyond the file's limit", [&] { return store.SetDword(badKey, 1); },
       dtl::ErrorCode::InvalidArgument},
      {"profile batch with one refused entry",
       [&] {
         return store.WriteProfileStrings({{"HistoryCombo0", "ok"}, {"HistoryCombo1", tooLong}});
       },
       dtl::ErrorCode::InvalidArgument},
      {"delete under an empty key path", [&] { return store.DeleteValue("", "MX"); },
       dtl::ErrorCode::InvalidArgument},
  };
  for (const auto& c : cases) {
    const dtl::Status s = c.write();
    ASSERT_FALSE(s) << c.what;
    EXPECT_EQ(s.error().code, c.code) << c.what;
    EXPECT_EQ(dtltest::ReadFileText(file), before) << c.what;
  }

  // A folder where the lock file goes: the lock cannot be taken.
  SettingsStore locked(dir / "locked/settings.reg");
  fs::create_directories(dir / "locked/settings.reg.lock/x");
  dtl::Status s = locked.SetDword("Port", 2525);
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().code, dtl::ErrorCode::Io);
  EXPECT_NE(s.error().system, 0);
  EXPECT_EQ(s.error().message.rfind((dir / "locked/settings.reg.lock").string() + ": ", 0), 0u)
      << s.error().message;

  // A folder where the file goes: everything works up to the rename over it.
  SettingsStore blocked(dir / "blocked/settings.reg");
  fs::create_directories(dir / "blocked/settings.reg/x");
  s = blocked.WriteProfileString("AddressHistory0", "http://a.example/");
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().code, dtl::ErrorCode::Io);
  EXPECT_NE(s.error().system, 0);
  EXPECT_EQ(s.error().message.rfind((dir / "blocked/settings.reg").string() + ": ", 0), 0u)
      << s.error().message;
}

TEST_F(StoreTest, ConcurrentWritersInSeveralProcessesLoseNothing) {
  constexpr int kProcs = 4, kRounds = 40;
  ASSERT_TRUE(store.SetString("Marker", "whole"));
  std::vector<pid_t> kids;
  for (int p = 0; p < kProcs; ++p) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      SettingsStore mine(file);
      bool ok = true;
      for (int r = 0; r < kRounds; ++r) {
        ok &= mine.SetDword("P" + std::to_string(p), static_cast<uint32_t>(r)).ok();
        ok &= mine.WriteProfileString("H" + std::to_string(p), std::string(500 + r, 'a' + p)).ok();
        ok &= mine.RawString(dtl::kSettingsKey, "Marker") == std::optional<std::string>("whole");
      }
      ::_exit(ok ? 0 : 1);
    }
    kids.push_back(pid);
  }
  for (pid_t pid : kids) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "a writer failed or saw a broken file";
  }
  for (int p = 0; p < kProcs; ++p) {
    EXPECT_EQ(store.RawDword(dtl::kSettingsKey, "P" + std::to_string(p)), kRounds - 1u);
    EXPECT_EQ(store.GetProfileString("H" + std::to_string(p)),
              std::string(500 + kRounds - 1, 'a' + p));
  }
}

TEST(SettingsStorePath, FollowsXdgConfigHomeAndIgnoresARelativeOne) {
  const char* old = std::getenv("XDG_CONFIG_HOME");
  std::string saved = old ? old : "";
  ::setenv("XDG_CONFIG_HOME", "/some/where", 1);
  EXPECT_EQ(SettingsStore::DefaultPath(), fs::path("/some/where/drovetail/settings.reg"));
  ::setenv("XDG_CONFIG_HOME", "relative/dir", 1);
  EXPECT_EQ(SettingsStore::DefaultPath(), dtl::HomeFolder() / ".config/drovetail/settings.reg");
  if (old)
    ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
  else
    ::unsetenv("XDG_CONFIG_HOME");
}

}  // namespace
