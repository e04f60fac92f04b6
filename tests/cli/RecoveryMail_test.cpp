// Recovery data end to end through a real mail system (Postfix delivering into Dovecot): a
// file sent with recovery files survives lost segment mails when it is received over IMAP, and
// losing more than the recovery covers ends with a message and nothing under the file's name.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "fixtures/mail_system.h"
#include "support/MailSystemCase.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using dtltest::MailSystem;
using dtltest::ShellQuote;

class RecoveryMail : public dtltest::MailSystemCase {
 protected:
  void SetUp() override {
    MailSystemCase::SetUp();
    if (Stopped()) return;
    StartMailWithSmtpLogin(90);
  }
};

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

// 25 segments at 10 % make three recovery blocks: two lost mails are repaired and named in the
// report; two more lost (four in all) are beyond repair.
TEST_F(RecoveryMail, LostSegmentMailsAreRepairedUntilTheRecoveryRunsOut) {
  const auto source = dtltest::RandomBytes(250000, 17);
  fs::create_directories(dir_ / "src");
  dtltest::WriteFileBytes(dir_ / "src" / "data.bin", source);
  auto r = Dtl("send " + Quoted("src/data.bin") + " --to " + MailSystem::address() +
               " --method smtp --segment-size 10000 --recovery 10 --password-file " + Quoted("pw"));
  ASSERT_EQ(r.status, 0) << r.all();
  // 25 segment mails and four recovery files: the index and one volume per block.
  std::string imapError;
  const auto mails = mail_->ReadMailbox(29, {}, std::chrono::seconds(60), &imapError);
  ASSERT_EQ(mails.size(), 29u) << imapError;
  size_t recoveryMails = 0;
  for (const auto& m : mails) recoveryMails += m.attachment.find(".par2.doc") != std::string::npos;
  EXPECT_EQ(recoveryMails, 4u);

  struct Case {
    const char* name;
    std::vector<std::string> lose;  // segment mails deleted before this receive (on top of earlier)
    int status;
    std::vector<std::string> says;      // in the output, any letter case
    std::vector<std::string> repaired;  // each named on a line that says it was repaired
    bool fileBack;
    bool par2Verifies = false;  // the independent tool accepts the folder the receive saved
  } cases[] = {
      {"nothing lost: the saved folder is a recovery set as it stands", {}, 0, {}, {}, true, true},
      {"two lost, three blocks: repaired", {"data.bin.004.doc", "data.bin.017.doc"}, 0,
       {}, {"data.bin.004", "data.bin.017"}, true},
      {"four lost, three blocks: beyond repair", {"data.bin.009.doc", "data.bin.022.doc"}, 1,
       {"recovery blocks are needed"}, {}, false},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string error;
    if (!c.lose.empty())
      ASSERT_EQ(mail_->DeleteMailsWithAttachments(c.lose, &error),
                static_cast<int>(c.lose.size()))
          << error;
    const fs::path out = dir_ / ("out-" + std::to_string(n++));
    fs::create_directories(out);
    r = Dtl("fetch --imap imaps://" + MailSystem::host() + ":" +
            std::to_string(mail_->imapsPort()) + "/INBOX --user " +
            ShellQuote(MailSystem::login()) + " --login-password-file " + Quoted("login") +
            " --out " + ShellQuote(out.string()) + " --password-file " + Quoted("pw"));
    EXPECT_EQ(r.status, c.status) << r.all();
    for (const std::string& text : c.says)
      EXPECT_NE(Lower(r.all()).find(Lower(text)), std::string::npos) << text << "\n" << r.all();
    const std::string said = Lower(r.all());
    for (const std::string& name : c.repaired) {
      bool named = false;
      for (size_t at = 0; !named && (at = said.find(name, at)) != std::string::npos; ++at) {
        const size_t start = said.rfind('\n', at) == std::string::npos ? 0 : said.rfind('\n', at);
        const std::string line = said.substr(start, said.find('\n', at) - start);
        named = line.find("repaired") != std::string::npos;
      }
      EXPECT_TRUE(named) << name << " is not reported repaired:\n" << r.all();
    }
    if (c.repaired.empty())
      EXPECT_EQ(said.find("repaired"), std::string::npos) << r.all();
    if (c.fileBack) {
      ASSERT_TRUE(fs::exists(out / "data.bin"));
      EXPECT_EQ(dtltest::ReadFileBytes(out / "data.bin"), source);
    } else {
      EXPECT_FALSE(fs::exists(out / "data.bin")) << "nothing may look complete";
    }
    if (c.par2Verifies) {
      if (std::system("command -v par2 >/dev/null 2>&1") != 0) {
        ADD_FAILURE() << "par2 is not installed (tools/install-deps --test installs it)";
      } else {
        const std::string verify = "cd " + ShellQuote(out.string()) +
                                   " && par2 verify -q data.bin.par2 >/dev/null 2>&1";
        EXPECT_EQ(std::system(verify.c_str()), 0) << "par2 verify refused the saved files";
      }
    }
  }
}

}  // namespace
