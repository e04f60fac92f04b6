// `dtl config` through the built program, with XDG_CONFIG_HOME aimed at a private folder.
#include <gtest/gtest.h>

#include <string>

#include "base/SettingsStore.h"
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

}  // namespace
