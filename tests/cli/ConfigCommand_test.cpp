// `dtl config` through the built program, with XDG_CONFIG_HOME aimed at a private folder.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "base/SettingsStore.h"
#include "fixtures/smtp_fixture.h"
#include "support/KeyringSession.h"
#include "support/TestSupport.h"

namespace {

struct ConfigCli : ::testing::Test {
  dtltest::TempDir dir;
  dtltest::CommandResult Dtl(const std::string& args, const std::string& input = {}) {
    return dtltest::RunCommand("XDG_CONFIG_HOME=" + dtltest::ShellQuote(dir.path().string()) + " " +
                                   dtltest::ShellQuote(dtltest::DtlPath()) + " config " + args +
                                   " 2>&1",
                               input);
  }
  dtl::SettingsStore Store() { return dtl::SettingsStore(dir / "drovetail/settings.reg"); }
};

TEST_F(ConfigCli, SetThenGetRoundTripsThroughTheSameStoreTheProgramReads) {
  ASSERT_EQ(Dtl("set SMTPServer 'smtp.example.org'").status, 0);
  ASSERT_EQ(Dtl("set smtpport 0x24b").status, 0);  // names ignore case; hex accepted
  EXPECT_EQ(Dtl("get SMTPServer").output, "smtp.example.org\n");
  EXPECT_EQ(Dtl("get SMTPPort").output, "587\n");
  EXPECT_EQ(Store().SmtpPort(), 587u);
  // `get` applies the read rules to what another writer stored.
  ASSERT_TRUE(Store().SetDword("EncMethod", 3));
  EXPECT_EQ(Dtl("get EncMethod").output, "1\n");
  ASSERT_EQ(Dtl("unset SMTPServer").status, 0);
  EXPECT_EQ(Dtl("get SMTPServer").output, "\n");
}

TEST_F(ConfigCli, BadUsageExitsTwoAndChangesNothing) {
  const char* bad[] = {"set NoSuchName 1",
                       "set SMTPPort twenty",
                       "set SMTPPort -1",
                       "set SMTPPort 4294967296",
                       "set SMTPPort 70000",
                       "set SegSize 0",
                       "get",
                       "frobnicate",
                       "",
                       "set SMTPPass typed-on-the-command-line",
                       "set IMAPPass typed-on-the-command-line",
                       "set imappass typed-on-the-command-line",
                       "list --bogus"};
  for (const char* args : bad) {
    auto r = Dtl(args);
    EXPECT_EQ(r.status, 2) << args << ": " << r.output;
    EXPECT_NE(r.output.find("dtl config: "), std::string::npos) << args;
  }
  EXPECT_FALSE(Store().RawDword(dtl::kSettingsKey, "SMTPPort"));
  EXPECT_FALSE(Store().RawString(dtl::kSettingsKey, "SMTPPass"));
  EXPECT_FALSE(Store().RawString(dtl::kSettingsKey, "IMAPPass"));
}

// The refusal names the ways a password may come in, and never echoes the one typed.
TEST_F(ConfigCli, EveryPasswordSettingIsRefusedOnTheCommandLineWithoutEchoingIt) {
  for (const char* name : {"SMTPPass", "Pass", "IMAPPass"}) {
    auto r = Dtl(std::string("set ") + name + " typed-on-the-command-line");
    EXPECT_EQ(r.status, 2) << name;
    EXPECT_EQ(r.output,
              std::string("dtl config: a password is not taken from the command line; give "
                          "--password-file FILE or type it on standard input for ") +
                  name + " (see 'dtl config --help')\n")
        << name;
  }
  const std::string help = Dtl("set --help").output;
  EXPECT_NE(help.find("IMAPPass"), std::string::npos) << help;
}

// A folder where the settings file belongs: the lock and the read work, the final rename does not.
TEST_F(ConfigCli, SetAndUnsetExitOneWhenTheSettingsFileCannotBeWritten) {
  std::filesystem::create_directories(dir / "drovetail/settings.reg/blocker");
  const std::string expected =
      "dtl config: cannot write " + (dir / "drovetail/settings.reg").string() + "\n";
  for (const char* args :
       {"set SMTPServer smtp.example.org", "set SMTPPort 587", "unset SMTPServer"}) {
    auto r = Dtl(args);
    EXPECT_EQ(r.status, 1) << args;
    EXPECT_EQ(r.output, expected) << args;
  }
}

TEST_F(ConfigCli, AMissingPasswordFileExitsOneNamingTheFileAndStoresNothing) {
  const std::string missing = (dir / "no-such-pw").string();
  auto r = Dtl("set SMTPPass --password-file " + dtltest::ShellQuote(missing));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output,
            "dtl config: cannot read password file " + missing + ": No such file or directory\n");
  EXPECT_FALSE(Store().RawString(dtl::kSettingsKey, "SMTPPass"));
}

TEST_F(ConfigCli, ListMasksPasswordsUnlessAsked) {
  ASSERT_EQ(Dtl("set SMTPPass", "hunter2\n").status, 0);
  dtltest::WriteFileText(dir / "pw", "mapi-pw\n");
  ASSERT_EQ(Dtl("set Pass --password-file " + dtltest::ShellQuote((dir / "pw").string())).status,
            0);
  ASSERT_EQ(Dtl("set IMAPPass", "imap-pw\n").status, 0);
  ASSERT_EQ(Dtl("set IMAPUserName drover@mail.test").status, 0);
  auto masked = Dtl("list");
  ASSERT_EQ(masked.status, 0);
  EXPECT_NE(masked.output.find("SMTPPass=********\n"), std::string::npos) << masked.output;
  EXPECT_NE(masked.output.find("\nPass=********\n"), std::string::npos);
  EXPECT_NE(masked.output.find("\nIMAPPass=********\n"), std::string::npos) << masked.output;
  EXPECT_EQ(masked.output.find("hunter2"), std::string::npos);
  EXPECT_EQ(masked.output.find("imap-pw"), std::string::npos);
  EXPECT_NE(masked.output.find("\nIMAPUserName=drover@mail.test\n"), std::string::npos)
      << "only the password is masked";
  EXPECT_NE(masked.output.find("SMTPPort=25\nSMTPUserName=\n"), std::string::npos);
  EXPECT_NE(masked.output.find("AutoMerge=1\n"), std::string::npos);
  auto shown = Dtl("list --show-secrets");
  EXPECT_NE(shown.output.find("SMTPPass=hunter2\n"), std::string::npos);
  EXPECT_NE(shown.output.find("\nPass=mapi-pw\n"), std::string::npos);
  EXPECT_NE(shown.output.find("\nIMAPPass=imap-pw\n"), std::string::npos);
  EXPECT_EQ(Dtl("--help").status, 0);
}

// ---- Secrets in the desktop's keyring: the real dtl on a private session bus with an unlocked
// gnome-keyring (one per test process), and the same commands with no bus at all.

struct ConfigSecretsCli : ::testing::Test {
  dtltest::TempDir dir;
  std::string env;  // the environment dtl runs in, in front of its path
  dtltest::DtlResult Dtl(const std::string& args, const std::string& input = {}) {
    return dtltest::RunDtl("config " + args, input,
                           env + " XDG_CONFIG_HOME=" + dtltest::ShellQuote(dir.path().string()));
  }
  dtl::SettingsStore Store() { return dtl::SettingsStore(dir / "drovetail/settings.reg"); }
  std::string FileText() { return dtltest::ReadFileText(dir / "drovetail/settings.reg"); }
  // Secrets in the file, written the way a program without the keyring wrote them.
  void SecretsInTheFile() {
    ASSERT_TRUE(Store().SetString("SMTPPass", "smtp-secret"));
    ASSERT_TRUE(Store().SetString("IMAPPass", "imap-secret"));
    ASSERT_TRUE(Store().SetString("OAuth2RefreshToken", std::string(4000, 'r')));
    ASSERT_TRUE(Store().SetString("SMTPUserName", "someone"));
  }
};

struct ConfigKeyringCli : ConfigSecretsCli {
  void SetUp() override {
    ASSERT_FALSE(dtltest::KeyringSession::Shared().address().empty())
        << "no private keyring session (dbus-run-session, gnome-keyring-daemon, dbus-send)";
    env = dtltest::KeyringSession::Shared().Env();
  }
};

TEST_F(ConfigKeyringCli, APasswordSetGoesToTheKeyringAndListStillMasksOrShowsIt) {
  ASSERT_EQ(Dtl("set SMTPPass", "hunter2\n").status, 0);
  ASSERT_EQ(Dtl("set SMTPUserName someone").status, 0);
  EXPECT_EQ(FileText().find("hunter2"), std::string::npos) << FileText();
  EXPECT_NE(FileText().find("someone"), std::string::npos);
  EXPECT_EQ(Dtl("get SMTPPass").out, "hunter2\n");
  auto masked = Dtl("list");
  EXPECT_NE(masked.out.find("SMTPPass=********\n"), std::string::npos) << masked.out;
  EXPECT_EQ(masked.out.find("hunter2"), std::string::npos);
  EXPECT_NE(Dtl("list --show-secrets").out.find("SMTPPass=hunter2\n"), std::string::npos);
  auto where = Dtl("secrets");
  EXPECT_EQ(where.status, 0) << where.err;
  EXPECT_EQ(where.out,
            "Secrets are kept in the desktop's keyring (Secret Service).\n"
            "In the keyring: SMTPPass\n"
            "In the settings file: none\n");
  ASSERT_EQ(Dtl("unset SMTPPass").status, 0);
  EXPECT_EQ(Dtl("get SMTPPass").out, "\n");
  EXPECT_EQ(Dtl("secrets").out.find("In the keyring: none\n") != std::string::npos, true);
}

TEST_F(ConfigKeyringCli, SecretsMoveToTheKeyringAndBackWithEveryValueKept) {
  ASSERT_TRUE(Store().SetDword("SecretStore", 1));
  SecretsInTheFile();
  const std::string path = (dir / "drovetail/settings.reg").string();
  EXPECT_EQ(Dtl("secrets").out,
            "Secrets are kept in " + path +
                " (SecretStore is 1, although a keyring is running).\n"
                "In the keyring: none\n"
                "In the settings file: SMTPPass, IMAPPass, OAuth2RefreshToken\n");

  auto in = Dtl("secrets --to keyring");
  ASSERT_EQ(in.status, 0) << in.err;
  EXPECT_EQ(in.out,
            "Moved 3 secrets to the desktop's keyring (Secret Service).\n"
            "Secrets are kept in the desktop's keyring (Secret Service).\n"
            "In the keyring: SMTPPass, IMAPPass, OAuth2RefreshToken\n"
            "In the settings file: none\n");
  for (const char* gone : {"smtp-secret", "imap-secret", "rrrrrrrr"})
    EXPECT_EQ(FileText().find(gone), std::string::npos) << gone;
  EXPECT_EQ(Dtl("get OAuth2RefreshToken").out, std::string(4000, 'r') + "\n");

  auto out = Dtl("secrets --to file");
  ASSERT_EQ(out.status, 0) << out.err;
  EXPECT_EQ(out.out.rfind("Moved 3 secrets to " + path + ".\n", 0), 0u) << out.out;
  EXPECT_EQ(Store().SmtpPass(), "smtp-secret");
  EXPECT_EQ(Store().ImapPass(), "imap-secret");
  EXPECT_EQ(Store().GetString("OAuth2RefreshToken"), std::string(4000, 'r'));
  EXPECT_EQ(Store().GetDword("SecretStore"), 1u);
  EXPECT_NE(Dtl("secrets").out.find("In the keyring: none\n"), std::string::npos);
}

TEST_F(ConfigKeyringCli, ACommandMovesSecretsLeftInTheFileOnceAndSaysSo) {
  SecretsInTheFile();
  auto first = Dtl("get SMTPUserName");
  EXPECT_EQ(first.out, "someone\n");
  EXPECT_EQ(first.err, "dtl: moved 3 secrets from " + (dir / "drovetail/settings.reg").string() +
                           " to the desktop's keyring (Secret Service)\n");
  EXPECT_EQ(FileText().find("smtp-secret"), std::string::npos);
  auto second = Dtl("get SMTPPass");
  EXPECT_EQ(second.out, "smtp-secret\n");
  EXPECT_EQ(second.err, "");
}

// The password a send logs in with is read from the keyring: the server sees the right one
// while the settings file never held it.
TEST_F(ConfigKeyringCli, ASendLogsInWithTheSmtpPasswordKeptInTheKeyring) {
  const auto mail = dir / "mail";
  std::filesystem::create_directories(mail);
  std::filesystem::create_directories(dir / "tmp");
  dtltest::SmtpFixture server(mail,
                              {"--auth", "drover:kept in the keyring", "--mechanisms", "PLAIN"});
  ASSERT_NE(server.port(), 0);
  ASSERT_EQ(Dtl("set SMTPServer localhost").status, 0);
  ASSERT_EQ(Dtl("set SMTPPort " + std::to_string(server.port())).status, 0);
  ASSERT_EQ(Dtl("set SMTPUserName drover").status, 0);
  ASSERT_EQ(Dtl("set AllowPlainLogin 1").status, 0);  // the test server speaks no TLS
  ASSERT_EQ(Dtl("set SMTPPass", "kept in the keyring\n").status, 0);
  EXPECT_EQ(FileText().find("kept in the keyring"), std::string::npos);
  dtltest::WriteFileBytes(dir / "data.bin", dtltest::RandomBytes(30000, 5));
  auto sent =
      dtltest::RunDtl("send " + dtltest::ShellQuote((dir / "data.bin").string()) +
                          " --to a@b.test --method smtp --segment-size 20000",
                      {},
                      env + " XDG_CONFIG_HOME=" + dtltest::ShellQuote(dir.path().string()) +
                          " XDG_STATE_HOME=" + dtltest::ShellQuote((dir / "state").string()) +
                          " TMPDIR=" + dtltest::ShellQuote((dir / "tmp").string()));
  EXPECT_EQ(sent.status, 0) << sent.all();
  EXPECT_EQ(sent.all().find("kept in the keyring"), std::string::npos);
  EXPECT_NE(dtltest::ReadFileText(mail / "msg-1.json").find("\"login\": \"drover\""),
            std::string::npos);
}

TEST_F(ConfigKeyringCli, MovingWithABadPlaceIsAUsageError) {
  auto r = Dtl("secrets --to cloud");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "dtl config: --to takes keyring or file (see 'dtl config --help')\n");
}

// No bus at all (the CI container, a plain ssh login): everything as before, and at once.
struct ConfigNoBusCli : ConfigSecretsCli {
  void SetUp() override {
    env = "env -u DBUS_SESSION_BUS_ADDRESS XDG_RUNTIME_DIR=" +
          dtltest::ShellQuote(dir.path().string());
  }
};

TEST_F(ConfigNoBusCli, SecretsStayInTheFileAndAMoveToTheKeyringIsRefusedQuickly) {
  const auto start = std::chrono::steady_clock::now();
  SecretsInTheFile();
  const std::string before = FileText();
  EXPECT_EQ(Dtl("get SMTPPass").out, "smtp-secret\n");
  ASSERT_EQ(Dtl("set IMAPPass", "new-imap\n").status, 0);
  EXPECT_NE(FileText().find("new-imap"), std::string::npos);
  const std::string path = (dir / "drovetail/settings.reg").string();
  EXPECT_EQ(Dtl("secrets").out,
            "Secrets are kept in " + path +
                " (no keyring is running).\n"
                "In the settings file: SMTPPass, IMAPPass, OAuth2RefreshToken\n");
  auto move = Dtl("secrets --to keyring");
  EXPECT_EQ(move.status, 1);
  EXPECT_EQ(move.err, "dtl config: no keyring is running (no Secret Service on the session bus)\n");
  EXPECT_EQ(Store().ImapPass(), "new-imap");
  EXPECT_EQ(Store().SmtpPass(), "smtp-secret");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

}  // namespace
