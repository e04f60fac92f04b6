// Secrets in the desktop's keyring: the Secret Service store against a real gnome-keyring on a
// private session bus, the settings store routing its secret rows there, the moves between
// keyring and file, and the fallback to the file when there is no bus at all.
#include "base/SecretStore.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/SettingsStore.h"
#include "support/KeyringSession.h"
#include "support/TestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;

// Every secret row of the table with a value of its own; the refresh token at its full length.
std::map<std::string, std::string> SecretValues() {
  std::map<std::string, std::string> values;
  for (const auto& info : dtl::SettingsTable()) {
    if (!info.secret) continue;
    std::string v = "s3cret-" + std::string(info.name) + "-\xc3\xa9!";
    if (info.maxChars > 1000) {
      v.clear();
      for (size_t i = 0; v.size() < info.maxChars; ++i)
        v.push_back("0123456789abcdefXYZ-._~"[i % 23]);
    }
    values[std::string(info.name)] = v;
  }
  return values;
}

// Passes everything to a real place, except that the store or removal numbered `failAt`
// (counting from 1) fails, or a lookup after a store answers a wrong value.
class FaultyStore : public dtl::SecretStore {
 public:
  explicit FaultyStore(std::shared_ptr<dtl::SecretStore> real) : real_(std::move(real)) {}
  int failStoreAt = 0, failRemoveAt = 0;
  bool forgetful = false;  // stores claim success but keep a different value

  bool Available() override { return real_->Available(); }
  dtl::Result<std::optional<std::string>> Lookup(std::string_view s, std::string_view n) override {
    return real_->Lookup(s, n);
  }
  dtl::Status Store(std::string_view s, std::string_view n, std::string_view l,
                    std::string_view v) override {
    if (++stores_ == failStoreAt) return dtl::Error(dtl::ErrorCode::Failed, "refused on cue");
    return real_->Store(s, n, l, forgetful ? std::string(v) + "?" : std::string(v));
  }
  dtl::Status Remove(std::string_view s, std::string_view n) override {
    if (++removes_ == failRemoveAt) return dtl::Error(dtl::ErrorCode::Failed, "refused on cue");
    return real_->Remove(s, n);
  }
  std::string Describe() const override { return "faulty"; }

 private:
  std::shared_ptr<dtl::SecretStore> real_;
  int stores_ = 0, removes_ = 0;
};

// ---- No session bus: these run before any case below connects to one (GLib keeps the first
// bus of a process), and ctest runs each case in a process of its own anyway.

// Plain cases, not parameterised ones: GoogleTest runs those after every plain case, and so
// after the keyring cases below when the whole binary runs in one process.
struct NoBus : ::testing::Test {
  dtltest::TempDir dir;
  std::optional<std::string> savedBus, savedRuntime;
  void SetUp() override {
    if (const char* v = getenv("DBUS_SESSION_BUS_ADDRESS")) savedBus = v;
    if (const char* v = getenv("XDG_RUNTIME_DIR")) savedRuntime = v;
    // A runtime folder without a bus socket, so GLib finds no bus there either.
    setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);
  }
  void UseAddress(const char* address) {
    if (*address)
      setenv("DBUS_SESSION_BUS_ADDRESS", address, 1);
    else
      unsetenv("DBUS_SESSION_BUS_ADDRESS");
  }
  void SecretsStayInTheFileByteForByteAndQuickly();
  void TearDown() override {
    auto put = [](const char* name, const std::optional<std::string>& v) {
      if (v)
        setenv(name, v->c_str(), 1);
      else
        unsetenv(name);
    };
    put("DBUS_SESSION_BUS_ADDRESS", savedBus);
    put("XDG_RUNTIME_DIR", savedRuntime);
  }
};

void NoBus::SecretsStayInTheFileByteForByteAndQuickly() {
  const auto start = Clock::now();
  auto secrets = dtl::MakeSystemSecretStore();
  EXPECT_FALSE(secrets->Available());
  EXPECT_FALSE(secrets->Lookup("/x", "SMTPPass"));
  EXPECT_FALSE(secrets->Store("/x", "SMTPPass", "label", "v"));

  dtl::SettingsStore plain(dir / "plain.reg");
  dtl::SettingsStore attached(dir / "attached.reg");
  attached.AttachSecrets(secrets);
  EXPECT_FALSE(attached.SecretsGoToKeyring());
  for (auto* store : {&plain, &attached}) {
    ASSERT_TRUE(store->SetString("SMTPPass", "pw-in-the-file"));
    ASSERT_TRUE(store->SetString("SMTPServer", "smtp.example.org"));
    EXPECT_EQ(store->SmtpPass(), "pw-in-the-file");
  }
  EXPECT_EQ(dtltest::ReadFileText(dir / "plain.reg"), dtltest::ReadFileText(dir / "attached.reg"));
  auto moved = attached.MoveSecretsIfDue();
  ASSERT_TRUE(moved);
  EXPECT_EQ(*moved, 0);
  auto forced = attached.MoveSecretsToKeyring();
  ASSERT_FALSE(forced);
  EXPECT_EQ(forced.error().code, dtl::ErrorCode::NotFound);
  EXPECT_EQ(attached.SmtpPass(), "pw-in-the-file");
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
}

TEST_F(NoBus, WithoutABusAddressSecretsStayInTheFileByteForByteAndQuickly) {
  UseAddress("");
  SecretsStayInTheFileByteForByteAndQuickly();
}

TEST_F(NoBus, WithABusAddressLeadingNowhereSecretsStayInTheFileByteForByteAndQuickly) {
  UseAddress("unix:path=/nonexistent/drovetail-test-bus");
  SecretsStayInTheFileByteForByteAndQuickly();
}

// ---- A private session bus with an unlocked gnome-keyring.

struct Keyring : ::testing::Test {
  dtltest::TempDir dir;
  std::shared_ptr<dtl::SecretStore> secrets;
  void SetUp() override {
    ASSERT_FALSE(dtltest::KeyringSession::Shared().address().empty())
        << "no private keyring session (dbus-run-session, gnome-keyring-daemon, dbus-send)";
    secrets = dtl::MakeSystemSecretStore();
    ASSERT_TRUE(secrets->Available());
  }
  dtl::SettingsStore Attached(const std::string& name,
                              std::shared_ptr<dtl::SecretStore> place = nullptr) {
    dtl::SettingsStore store(dir / name);
    store.AttachSecrets(place ? place : secrets);
    return store;
  }
  // True when the file's bytes contain `value` anywhere.
  bool FileHolds(const std::string& name, const std::string& value) {
    return dtltest::ReadFileText(dir / name).find(value) != std::string::npos;
  }
};

TEST_F(Keyring, StoresReadsReplacesAndRemovesAnItem) {
  EXPECT_EQ(secrets->Lookup("/a/settings.reg", "SMTPPass").value(), std::nullopt);
  ASSERT_TRUE(secrets->Store("/a/settings.reg", "SMTPPass", "Drovetail: SMTP password", "one"));
  EXPECT_EQ(secrets->Lookup("/a/settings.reg", "SMTPPass").value(), "one");
  ASSERT_TRUE(secrets->Store("/a/settings.reg", "SMTPPass", "Drovetail: SMTP password", "two"));
  EXPECT_EQ(secrets->Lookup("/a/settings.reg", "SMTPPass").value(), "two");
  ASSERT_TRUE(secrets->Remove("/a/settings.reg", "SMTPPass"));
  EXPECT_EQ(secrets->Lookup("/a/settings.reg", "SMTPPass").value(), std::nullopt);
  EXPECT_TRUE(secrets->Remove("/a/settings.reg", "SMTPPass"));  // nothing there: still fine
}

TEST_F(Keyring, TwoSettingsFilesAndTwoNamesNeverShareASecret) {
  auto a = Attached("a.reg"), b = Attached("b.reg");
  ASSERT_TRUE(a.SetString("SMTPPass", "a-smtp"));
  ASSERT_TRUE(b.SetString("SMTPPass", "b-smtp"));
  ASSERT_TRUE(a.SetString("IMAPPass", "a-imap"));
  EXPECT_EQ(a.SmtpPass(), "a-smtp");
  EXPECT_EQ(b.SmtpPass(), "b-smtp");
  EXPECT_EQ(a.ImapPass(), "a-imap");
  EXPECT_EQ(b.ImapPass(), "");
  // The same file named another way is the same file.
  dtl::SettingsStore again(dir / "sub/../a.reg");
  again.AttachSecrets(secrets);
  EXPECT_EQ(again.SmtpPass(), "a-smtp");
}

TEST_F(Keyring, EverySecretRowGoesToTheKeyringAndTheFileKeepsNone) {
  auto store = Attached("settings.reg");
  ASSERT_TRUE(store.SecretsGoToKeyring());
  const auto values = SecretValues();
  for (const auto& [name, value] : values) ASSERT_TRUE(store.SetString(name, value)) << name;
  ASSERT_TRUE(store.SetString("SMTPServer", "smtp.example.org"));
  for (const auto& [name, value] : values) {
    EXPECT_EQ(store.GetString(name), value) << name;
    EXPECT_FALSE(FileHolds("settings.reg", value)) << name;
    EXPECT_EQ(secrets->Lookup(store.Path().string(), name).value(), value) << name;
  }
  EXPECT_TRUE(FileHolds("settings.reg", "smtp.example.org"));
  EXPECT_TRUE(store.SecretsInFile().empty());
  EXPECT_EQ(store.SecretsInKeyring().value().size(), values.size());
  // Without the keyring attached, the file alone has nothing to give.
  EXPECT_EQ(dtl::SettingsStore(dir / "settings.reg").SmtpPass(), "");
}

TEST_F(Keyring, ClearingOrUnsettingASecretRemovesItFromBothPlaces) {
  auto store = Attached("settings.reg");
  ASSERT_TRUE(store.SetString("SMTPPass", "to-be-cleared"));
  ASSERT_TRUE(store.SetString("SMTPPass", ""));
  EXPECT_EQ(secrets->Lookup(store.Path().string(), "SMTPPass").value(), std::nullopt);
  EXPECT_EQ(store.SmtpPass(), "");
  ASSERT_TRUE(store.SetString("IMAPPass", "to-be-unset"));
  ASSERT_TRUE(store.DeleteValue(dtl::kSettingsKey, "imappass"));
  EXPECT_EQ(secrets->Lookup(store.Path().string(), "IMAPPass").value(), std::nullopt);
  EXPECT_FALSE(store.RawString(dtl::kSettingsKey, "IMAPPass"));
}

TEST_F(Keyring, ASecretNotMovedYetIsReadFromTheFileAndTheKeyringWinsOnceItHasOne) {
  dtl::SettingsStore plain(dir / "settings.reg");
  ASSERT_TRUE(plain.SetString("SMTPPass", "old-from-the-file"));
  auto store = Attached("settings.reg");
  EXPECT_EQ(store.SmtpPass(), "old-from-the-file");
  ASSERT_TRUE(secrets->Store(store.Path().string(), "SMTPPass", "l", "newer-in-the-keyring"));
  EXPECT_EQ(store.SmtpPass(), "newer-in-the-keyring");
}

TEST_F(Keyring, TheSettingForTheFileKeepsSecretsInTheFileWhileAKeyringRuns) {
  auto store = Attached("settings.reg");
  ASSERT_TRUE(store.SetDword("SecretStore", 1));
  EXPECT_FALSE(store.SecretsGoToKeyring());
  ASSERT_TRUE(store.SetString("SMTPPass", "file-by-choice"));
  EXPECT_TRUE(FileHolds("settings.reg", "file-by-choice"));
  EXPECT_EQ(store.SmtpPass(), "file-by-choice");
  EXPECT_EQ(store.MoveSecretsIfDue().value(), 0);
  EXPECT_TRUE(FileHolds("settings.reg", "file-by-choice"));
}

TEST_F(Keyring, MovingToTheKeyringAndBackKeepsEverySecret) {
  const auto values = SecretValues();
  {
    dtl::SettingsStore plain(dir / "settings.reg");
    ASSERT_TRUE(plain.SetDword("SecretStore", 1));
    for (const auto& [name, value] : values) ASSERT_TRUE(plain.SetString(name, value));
    ASSERT_TRUE(plain.SetString("SMTPUserName", "someone"));
  }
  auto store = Attached("settings.reg");
  EXPECT_EQ(store.SecretsInFile().size(), values.size());

  ASSERT_EQ(store.MoveSecretsToKeyring().value(), static_cast<int>(values.size()));
  EXPECT_EQ(store.GetDword("SecretStore"), 0u);
  EXPECT_TRUE(store.SecretsInFile().empty());
  for (const auto& [name, value] : values) {
    EXPECT_FALSE(FileHolds("settings.reg", value)) << name;
    EXPECT_EQ(store.GetString(name), value) << name;
  }
  EXPECT_EQ(store.SmtpUserName(), "someone");

  ASSERT_EQ(store.MoveSecretsToFile().value(), static_cast<int>(values.size()));
  EXPECT_EQ(store.GetDword("SecretStore"), 1u);
  EXPECT_TRUE(store.SecretsInKeyring().value().empty());
  dtl::SettingsStore plain(dir / "settings.reg");
  for (const auto& [name, value] : values) EXPECT_EQ(plain.GetString(name), value) << name;
}

TEST_F(Keyring, TheAutomaticMoveHappensOnceWhenAKeyringIsThere) {
  {
    dtl::SettingsStore plain(dir / "settings.reg");
    ASSERT_TRUE(plain.SetString("SMTPPass", "moved-by-itself"));
    ASSERT_TRUE(plain.SetString("IMAPPass", "me-too"));
  }
  auto store = Attached("settings.reg");
  EXPECT_EQ(store.MoveSecretsIfDue().value(), 2);
  EXPECT_FALSE(FileHolds("settings.reg", "moved-by-itself"));
  EXPECT_EQ(store.SmtpPass(), "moved-by-itself");
  EXPECT_EQ(store.MoveSecretsIfDue().value(), 0);
}

// Whichever step fails, every secret still reads back, and a second move finishes the job.
TEST_F(Keyring, AMoveThatFailsHalfwayLosesNothingAndCanBeFinished) {
  const auto values = SecretValues();
  struct Case {
    const char* what;
    bool toKeyring;
    int failStoreAt, failRemoveAt;
    bool forgetful;
  };
  const Case cases[] = {
      {"first store refused", true, 1, 0, false},
      {"third store refused", true, 3, 0, false},
      {"keyring keeps a wrong value", true, 0, 0, true},
      {"first removal refused", false, 0, 1, false},
      {"fourth removal refused", false, 0, 4, false},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string file = "settings" + std::to_string(n++) + ".reg";
    if (c.toKeyring) {
      dtl::SettingsStore plain(dir / file);
      ASSERT_TRUE(plain.SetDword("SecretStore", 1));
      for (const auto& [name, value] : values) ASSERT_TRUE(plain.SetString(name, value));
    } else {
      auto store = Attached(file);
      for (const auto& [name, value] : values) ASSERT_TRUE(store.SetString(name, value));
    }
    auto faulty = std::make_shared<FaultyStore>(secrets);
    faulty->failStoreAt = c.failStoreAt;
    faulty->failRemoveAt = c.failRemoveAt;
    faulty->forgetful = c.forgetful;
    auto store = Attached(file, faulty);
    auto moved = c.toKeyring ? store.MoveSecretsToKeyring() : store.MoveSecretsToFile();
    EXPECT_FALSE(moved);
    for (const auto& [name, value] : values) EXPECT_EQ(store.GetString(name), value) << name;
    // Once the place behaves, the same move completes.
    auto healthy = Attached(file);
    ASSERT_TRUE(c.toKeyring ? healthy.MoveSecretsToKeyring() : healthy.MoveSecretsToFile());
    for (const auto& [name, value] : values) EXPECT_EQ(healthy.GetString(name), value) << name;
    EXPECT_EQ(healthy.SecretsInFile().empty(), c.toKeyring);
  }
}

}  // namespace
