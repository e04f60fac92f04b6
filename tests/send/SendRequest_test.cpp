// The send request's checks and conversions, the document's job building, and the resume
// journal's text form.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "base/SettingsStore.h"
#include "send/SendDocument.h"
#include "send/SendJournal.h"
#include "send/SendRequest.h"
#include "support/TestSupport.h"

namespace {

using dtl::SendMethod;

struct CheckCase {
  const char* what;
  const char* fileText;
  const char* mailTo;
  SendMethod method;
  std::string message;  // "" = accepted
};

TEST(SendRequestChecks, MessagesInTheirOrder) {
  const std::string invalid = dtl::InvalidAddressMessage();
  const std::string oneOnly(dtl::kOneRecipientMessage);
  const std::vector<CheckCase> cases = {
      {"no file", "a", "a@b.com", SendMethod::SmtpServer, std::string(dtl::kNoFileMessage)},
      {"one address and a trailing ;", "/f", "a@b.com;", SendMethod::DirectSend, ""},
      {"two addresses by Direct Send", "/f", "a@b.com;c@d.com", SendMethod::DirectSend, oneOnly},
      {"two addresses by mail client", "/f", "a@b.com;c@d.com", SendMethod::Mapi, ""},
      {"two addresses by SMTP server", "/f", "a@b.com;c@d.com", SendMethod::SmtpServer, ""},
      {"no dot", "/f", "a@bcom", SendMethod::SmtpServer, invalid},
      {"blank inside", "/f", "a@b. com", SendMethod::SmtpServer, invalid},
      {"blanks around", "/f", "  a@b.com  ", SendMethod::DirectSend, ""},
      {"no @", "/f", "ab.com", SendMethod::SmtpServer, invalid},
      {"file checked before address", "", "", SendMethod::DirectSend,
       std::string(dtl::kNoFileMessage)},
  };
  for (const auto& c : cases) {
    dtl::SendRequest r;
    r.fileText = c.fileText;
    r.mailTo = c.mailTo;
    r.method = c.method;
    const dtl::Status checked = dtl::ValidateSendRequest(r);
    EXPECT_EQ(checked ? std::string() : checked.error().message, c.message) << c.what;
    if (!checked) {
      EXPECT_EQ(checked.error().code, dtl::ErrorCode::InvalidArgument) << c.what;
    }
  }
  EXPECT_EQ(invalid, "Please enter a valid E-mail address:\n\nsomeone@example.com\n\n");
}

TEST(SendRequestChecks, RecipientsFieldAndSizeText) {
  EXPECT_EQ(dtl::RecipientsField("a@b.com;", SendMethod::DirectSend), "a@b.com");
  EXPECT_EQ(dtl::RecipientsField("a@b.com;c@d.com", SendMethod::SmtpServer), "a@b.com;c@d.com;");
  EXPECT_EQ(dtl::RecipientsField("a@b.com;;x@y;c@d.com;", SendMethod::Mapi), "a@b.com;c@d.com;");
  EXPECT_EQ(dtl::RecipientsField(" a@b.com ; c@d.com", SendMethod::SmtpServer), "a@b.com;c@d.com;");
  EXPECT_EQ(dtl::SplitRecipients("a@b.com;c@d.com;"),
            (std::vector<std::string>{"a@b.com", "c@d.com"}));
  EXPECT_EQ(dtl::SizeDisplayText(25), "250.00KB");
  EXPECT_EQ(dtl::SizeDisplayText(1), " 10.00KB");
  EXPECT_EQ(dtl::SizeDisplayText(100), "  1.00MB");
  EXPECT_EQ(dtl::SizeDisplayText(150), "  1.50MB");
  EXPECT_EQ(dtl::SizeDisplayText(1000), " 10.00MB");
}

TEST(SendRequestFiles, EmptyAndMissingFilesAreRefusedTheOthersKeptInOrder) {
  dtltest::TempDir dir;
  dtltest::WriteFileText(dir / "a", "aaaa");
  dtltest::WriteFileText(dir / "empty", "");
  dtltest::WriteFileText(dir / "b", "bb");
  const auto choice = dtl::ChooseFiles({(dir / "a").string(), (dir / "empty").string(),
                                        (dir / "gone").string(), (dir / "b").string()});
  ASSERT_EQ(choice.files.size(), 2u);
  EXPECT_EQ(choice.files[1].size, 2u);
  EXPECT_EQ(choice.fileText, (dir / "a").string() + ", " + (dir / "b").string());
  ASSERT_EQ(choice.refusals.size(), 2u);
  EXPECT_EQ(choice.refusals[0], "The file " + (dir / "empty").string() + " size is too small (0)");
  EXPECT_NE(choice.refusals[1].find("No such file"), std::string::npos);
}

class SendSettingsTest : public ::testing::Test {
 protected:
  dtltest::TempDir dir_;
  dtl::SettingsStore settings_{dir_ / "settings.reg"};
};

TEST_F(SendSettingsTest, SmtpServerChoiceWithoutServerFallsBackToDirectSend) {
  int opened = 0;
  EXPECT_EQ(dtl::ChooseSendMethod(settings_, SendMethod::SmtpServer, [&] { ++opened; }),
            SendMethod::DirectSend);
  EXPECT_EQ(opened, 1);
  EXPECT_EQ(settings_.SendType(), 0u);
  EXPECT_EQ(
      dtl::ChooseSendMethod(settings_, SendMethod::SmtpServer,
                            [&] { EXPECT_TRUE(settings_.SetString("SMTPServer", "smtp.test")); }),
      SendMethod::SmtpServer);
  EXPECT_EQ(settings_.SendType(), 2u);
}

TEST_F(SendSettingsTest, OutOfRangeSegSizeStartsAt1000) {
  for (uint32_t stored : {0u, 5000u}) {
    EXPECT_TRUE(settings_.SetDword("SegSize", stored));
    EXPECT_EQ(dtl::LoadSendDialogDefaults(settings_).position, 1000u) << stored;
  }
}

// The method a send dialog proposes: the user's stored choice wins, whatever it is; before any
// choice the SMTP server they configured beats Direct Send, which most home lines cannot use.
TEST(SendDialogDefaultsMethod, ProposesTheSmtpServerOnlyUntilTheUserChooses) {
  struct Case {
    const char* name;
    const char* server;                // SMTPServer; nullptr: none
    std::optional<uint32_t> sendType;  // SendType as stored; nullopt: never written
    SendMethod shown;
  };
  const Case cases[] = {
      {"no server, nothing chosen", nullptr, std::nullopt, SendMethod::DirectSend},
      {"server set, nothing chosen", "smtp.example.org", std::nullopt, SendMethod::SmtpServer},
      {"server set, Direct Send chosen", "smtp.example.org", 0u, SendMethod::DirectSend},
      {"server set, sendmail chosen", "smtp.example.org", 1u, SendMethod::Mapi},
      {"server set, SMTP server chosen", "smtp.example.org", 2u, SendMethod::SmtpServer},
      // The dialog asks for a server then and falls back to Direct Send if none is given.
      {"SMTP server chosen, server gone", nullptr, 2u, SendMethod::SmtpServer},
      {"no server, sendmail chosen", nullptr, 1u, SendMethod::Mapi},
      // A value that reads as Direct Send only by the range rule was never a choice.
      {"server set, out-of-range value", "smtp.example.org", 7u, SendMethod::SmtpServer},
  };
  for (const Case& c : cases) {
    dtltest::TempDir dir;
    dtl::SettingsStore settings(dir / "settings.reg");
    if (c.server) ASSERT_TRUE(settings.SetString("SMTPServer", c.server)) << c.name;
    if (c.sendType) ASSERT_TRUE(settings.SetDword("SendType", *c.sendType)) << c.name;
    EXPECT_EQ(dtl::LoadSendDialogDefaults(settings).method, c.shown) << c.name;
  }
}

// The From address a send dialog proposes: a stored one is kept; before one is stored, the SMTP
// login when it is a single address, else the placeholder sender.
TEST(SendDialogDefaultsFrom, ProposesTheSmtpLoginWhenItIsAnAddressAndNothingIsStored) {
  struct Case {
    const char* name;
    const char* login;   // SMTPUserName; nullptr: none
    const char* stored;  // FromAddress; nullptr: never written
    std::string shown;
  };
  const std::string placeholder(dtl::kDefaultFromAddress);
  const Case cases[] = {
      {"nothing set", nullptr, nullptr, placeholder},
      {"login is an address", "me@example.org", nullptr, "me@example.org"},
      {"login with blanks around", "  me@example.org ", nullptr, "me@example.org"},
      {"login is a plain name", "me", nullptr, placeholder},
      {"login without a dot", "me@localhost", nullptr, placeholder},
      {"login with two at signs", "me@x@example.org", nullptr, placeholder},
      {"login without a local part", "@example.org", nullptr, placeholder},
      {"login is two addresses", "a@example.org;b@example.org", nullptr, placeholder},
      {"login with a blank inside", "me @example.org", nullptr, placeholder},
      {"stored From is kept", "me@example.org", "boss@example.net", "boss@example.net"},
      {"stored From kept without login", nullptr, "boss@example.net", "boss@example.net"},
      // An empty stored value reads as none, so the login is still the better proposal.
      {"stored empty From", "me@example.org", "", "me@example.org"},
  };
  for (const Case& c : cases) {
    dtltest::TempDir dir;
    dtl::SettingsStore settings(dir / "settings.reg");
    if (c.login) ASSERT_TRUE(settings.SetString("SMTPUserName", c.login)) << c.name;
    if (c.stored) ASSERT_TRUE(settings.SetString("FromAddress", c.stored)) << c.name;
    EXPECT_EQ(dtl::LoadSendDialogDefaults(settings).from, c.shown) << c.name;
  }
}

// A refused job leaves the one before it in place and says why.
TEST_F(SendSettingsTest, RefusedJobsKeepThePreviousJobAndSayWhy) {
  dtl::SendDocument doc(settings_);
  dtl::SendRequest good;
  good.files = {{"/d/x", 20000}};
  good.fileText = "/d/x";
  good.mailTo = "a@b.com";
  good.position = 1;
  ASSERT_TRUE(doc.BuildSplitJob(good));
  struct Case {
    const char* what;
    std::vector<dtl::ChosenFile> files;
    uint64_t segmentSize;
    std::string message;
  };
  const Case cases[] = {
      {"no files", {}, 0, std::string(dtl::kNoFileMessage)},
      {"more segments than an index numbers",
       {{"/d/huge", uint64_t{1} << 62}},
       1,
       "the files cannot be cut into that many segments"},
  };
  for (const Case& c : cases) {
    dtl::SendRequest r = good;
    r.files = c.files;
    r.segmentSize = c.segmentSize;
    const dtl::Status built = doc.BuildSplitJob(r);
    ASSERT_FALSE(built) << c.what;
    EXPECT_EQ(built.error().code, dtl::ErrorCode::InvalidArgument) << c.what;
    EXPECT_EQ(built.error().message, c.message) << c.what;
    EXPECT_EQ(doc.RecordCount(), 2u) << c.what;
  }
}

TEST_F(SendSettingsTest, JobsReplaceTheListAndTrimThePassword) {
  dtl::SendDocument doc(settings_);
  dtl::SendRequest r;
  r.files = {{"/d/x", 20000}, {"/d/y", 5}};
  r.fileText = "/d/x, /d/y";
  r.mailTo = "a@b.com";
  r.from = "me@b.com";
  r.password = "  secret \t";
  r.position = 1;
  ASSERT_TRUE(doc.BuildSplitJob(r));
  std::vector<int> indices;
  for (const auto& rec : doc.Records()) indices.push_back(rec.index);
  EXPECT_EQ(indices, (std::vector<int>{0, 1, 0}));
  EXPECT_EQ(doc.Fields().password, "secret");
  EXPECT_TRUE(doc.CanSend() && doc.CanToggle() && !doc.CanStop());

  r.position = 2;
  ASSERT_TRUE(doc.BuildPlainJob(r));
  ASSERT_EQ(doc.RecordCount(), 2u);
  EXPECT_EQ(doc.RecordAt(0)->segmentSize, dtl::kWholeFileSegment);
  EXPECT_EQ(doc.Fields().password, "");

  doc.ResetJob();
  EXPECT_FALSE(doc.CanSend());
  EXPECT_EQ(doc.Fields().from, "");
}

TEST(SendJournalText, RoundTripKeepsOddPathsAndNeverThePassword) {
  dtl::SendJournalData d;
  d.fields.method = SendMethod::Mapi;
  d.fields.recipients = "a@b.com;c@d.com;";
  d.fields.password = "must not appear";
  dtl::SetJournalPassword(d, "must not appear");
  d.sources = {{"/tmp/with blank\nand line", 25000, 123456789}};
  d.records = {{"/tmp/with blank\nand line", "with blank\nand line", 10000, 25000, 0, 1}};
  const std::string text = dtl::SendJournal::Serialize(d);
  EXPECT_EQ(text.find("must not appear"), std::string::npos);
  const auto back = dtl::SendJournal::Parse(text);
  ASSERT_TRUE(back) << back.error().message;
  EXPECT_EQ(back->fields.recipients, d.fields.recipients);
  EXPECT_EQ(back->records[0].path, d.records[0].path);
  EXPECT_EQ(back->sources[0].mtimeNs, 123456789);
  EXPECT_TRUE(dtl::JournalPasswordMatches(*back, "must not appear"));
  EXPECT_FALSE(dtl::JournalPasswordMatches(*back, "other"));
  EXPECT_FALSE(dtl::JournalPasswordMatches(*back, ""));
}

// The recipients that already have a pending segment survive the journal, so a resume does not
// mail them again; a journal without any is written exactly as before they existed.
TEST(SendJournalText, ServedRecipientsRoundTripAndOldJournalsStillRead) {
  dtl::SendJournalData d;
  d.fields.recipients = "a@x.test;b y@x.test";
  d.records = {{"/p", "p", 10, 25, 1, 0}, {"/p", "p", 10, 25, 1, 1}};
  const std::string before = dtl::SendJournal::Serialize(d);
  EXPECT_EQ(before.find("served"), std::string::npos);
  d.served = {{1, {"a@x.test", "b y@x.test"}}};
  const std::string text = dtl::SendJournal::Serialize(d);
  const auto back = dtl::SendJournal::Parse(text);
  ASSERT_TRUE(back) << back.error().message;
  EXPECT_EQ(back->served, d.served);
  // Written before served lines existed: reads with nobody served.
  const auto old = dtl::SendJournal::Parse(before);
  ASSERT_TRUE(old) << old.error().message;
  EXPECT_TRUE(old->served.empty());
  const std::vector<std::pair<const char*, std::string>> damaged = {
      {"position past the records",
       std::string(text).replace(text.find("served 1"), 8, "served 2")},
      {"no address",
       std::string(text).replace(text.find("served 1"), text.find("\nend") - text.find("served 1"),
                                 "served 1")},
  };
  for (const auto& [what, bad] : damaged) {
    const auto parsed = dtl::SendJournal::Parse(bad);
    EXPECT_FALSE(parsed) << what;
  }
}

// A pause for a provider's limit survives the journal, so a resume waits the rest; a journal
// without one is written exactly as before, and a damaged pause line is refused.
TEST(SendJournalText, PauseRoundTripsAndJournalsWithoutOneReadAsBefore) {
  dtl::SendJournalData d;
  d.records = {{"/p", "p", 10, 25, 1, 0}};
  const std::string before = dtl::SendJournal::Serialize(d);
  EXPECT_EQ(before.find("paused"), std::string::npos);
  d.pausedUntil = 1796652300;
  d.pauseReason = "the account's sending quota is used up (550 5.4.5 Daily quota)";
  const std::string text = dtl::SendJournal::Serialize(d);
  const auto back = dtl::SendJournal::Parse(text);
  ASSERT_TRUE(back) << back.error().message;
  EXPECT_EQ(back->pausedUntil, d.pausedUntil);
  EXPECT_EQ(back->pauseReason, d.pauseReason);
  const auto old = dtl::SendJournal::Parse(before);
  ASSERT_TRUE(old) << old.error().message;
  EXPECT_EQ(old->pausedUntil, 0);
  const size_t at = text.find("paused ");
  const size_t len = text.find('\n', at) - at;
  const std::vector<std::pair<const char*, std::string>> damaged = {
      {"no time", std::string(text).replace(at, len, "paused x =why")},
      {"negative time", std::string(text).replace(at, len, "paused -5 =why")},
      {"no reason", std::string(text).replace(at, len, "paused 5")},
      {"twice", std::string(text).replace(at, 0, "paused 5 =a\n")},
      {"a wall of text", std::string(text).replace(at, len, "paused 5 =" + std::string(2000, 'a'))},
  };
  for (const auto& [what, bad] : damaged) EXPECT_FALSE(dtl::SendJournal::Parse(bad)) << what;
}

// A record sent with recovery data keeps its spool and recovery file, so a resume mails from the
// same spool; only such records get the extra line, and nothing in it may point outside the
// spool folder or at another file's recovery data.
TEST(SendJournalText, RecoveryFieldsRoundTripAndHostileOnesAreRefused) {
  dtl::SendJournalData d;
  dtl::SegmentRecord segment{"/p/movie.avi", "movie.avi", 10, 25, 0, 2};
  segment.recoveryPercent = 10;
  segment.spool = "spool-0123456789abcdef";
  segment.spoolReady = 1;
  dtl::SegmentRecord recovery = segment;
  recovery.pending = 1;
  recovery.index = 1;
  recovery.recoveryFile = "movie.avi.vol00+01.par2";
  d.records = {{"/q", "q", 10, 25, 1, 0}, segment, recovery};
  const std::string text = dtl::SendJournal::Serialize(d);
  const auto back = dtl::SendJournal::Parse(text);
  ASSERT_TRUE(back) << back.error().message;
  ASSERT_EQ(back->records.size(), 3u);
  EXPECT_EQ(back->records[0].recoveryPercent, 0);
  EXPECT_TRUE(back->records[0].spool.empty());
  for (size_t i : {1u, 2u}) {
    EXPECT_EQ(back->records[i].recoveryPercent, 10) << i;
    EXPECT_EQ(back->records[i].spool, segment.spool) << i;
    EXPECT_EQ(back->records[i].spoolReady, 1) << i;
    EXPECT_EQ(back->records[i].recoveryFile, d.records[i].recoveryFile) << i;
    EXPECT_EQ(back->records[i].pending, d.records[i].pending) << i;
  }

  const std::string line = "recovery 10 1 spool-0123456789abcdef =movie.avi.vol00+01.par2\n";
  const size_t at = text.find(line);
  ASSERT_NE(at, std::string::npos) << text;
  auto with = [&](const std::string& other) {
    return std::string(text).replace(at, line.size(), other);
  };
  const std::vector<std::pair<const char*, std::string>> damaged = {
      {"spool outside the spool folder",
       with("recovery 10 1 ../../home =movie.avi.vol00+01.par2\n")},
      {"spool with a slash", with("recovery 10 1 spool-ab/cd =movie.avi.vol00+01.par2\n")},
      {"recovery file of another file",
       with("recovery 10 1 spool-0123456789abcdef =other.vol00+01.par2\n")},
      {"no recovery file name", with("recovery 10 1 spool-0123456789abcdef =movie.avi.004\n")},
      {"percent 0", with("recovery 0 1 spool-0123456789abcdef =movie.avi.vol00+01.par2\n")},
      {"percent 101", with("recovery 101 1 spool-0123456789abcdef =movie.avi.vol00+01.par2\n")},
      {"ready 2", with("recovery 10 2 spool-0123456789abcdef =movie.avi.vol00+01.par2\n")},
      {"twice for one record", with(line + line)},
      {"before any record", std::string(text).insert(text.find("record "), line)},
  };
  for (const auto& [what, bad] : damaged) {
    const auto parsed = dtl::SendJournal::Parse(bad);
    ASSERT_FALSE(parsed) << what << "\n" << bad;
    EXPECT_EQ(parsed.error().code, dtl::ErrorCode::Corrupt) << what;
  }
}

TEST(SendJournalText, DamagedJournalsAreRefused) {
  dtl::SendJournalData d;
  d.records = {{"/p", "p", 10, 25, /*pending*/ 1, /*index*/ 2}};
  const std::string good = dtl::SendJournal::Serialize(d);
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"cut short", good.substr(0, good.size() - 4)},
      {"no end line", good.substr(0, good.find("end\n"))},
      {"bad escape", std::string(good).replace(good.find("=/p"), 3, "=%G")},
      {"pending 7", std::string(good).replace(good.find(" 2 1 "), 5, " 2 7 ")},
      {"negative index", std::string(good).replace(good.find(" 2 1 "), 5, " -2 1 ")},
      {"other file", "hello\n"},
  };
  for (const auto& [what, text] : cases) {
    const auto parsed = dtl::SendJournal::Parse(text);
    ASSERT_FALSE(parsed) << what;
    EXPECT_EQ(parsed.error().code, dtl::ErrorCode::Corrupt) << what;
    EXPECT_EQ(parsed.error().message.rfind("the send journal is damaged (", 0), 0u) << what;
  }
}

// What `dtl send --resume` tells apart: no journal (a quiet "nothing to resume"), a journal that
// is not one, and a journal that cannot be written.
TEST(SendJournalFile, MissingUnreadableAndUnwritableJournalsReportTheirKind) {
  dtltest::TempDir dir;
  std::filesystem::create_directories(dir / "folder.journal");
  dtltest::WriteFileBytes(dir / "plain-file", {'x'});
  struct Case {
    const char* what;
    std::filesystem::path file;
    dtl::ErrorCode code;
    bool emptyMessage;
  };
  const Case loads[] = {
      {"missing", dir / "none" / "send.journal", dtl::ErrorCode::NotFound, true},
      {"a folder", dir / "folder.journal", dtl::ErrorCode::Corrupt, false},
      {"other text", dir / "plain-file", dtl::ErrorCode::Corrupt, false},
  };
  for (const Case& c : loads) {
    const auto loaded = dtl::SendJournal(c.file).Load();
    ASSERT_FALSE(loaded) << c.what;
    EXPECT_EQ(loaded.error().code, c.code) << c.what;
    EXPECT_EQ(loaded.error().message.empty(), c.emptyMessage)
        << c.what << ": " << loaded.error().message;
  }
  // The folder cannot be made below a plain file.
  const dtl::Status saved = dtl::SendJournal(dir / "plain-file" / "send.journal").Save({});
  ASSERT_FALSE(saved);
  EXPECT_EQ(saved.error().code, dtl::ErrorCode::Io);
  EXPECT_FALSE(saved.error().message.empty());

  const auto stamped = dtl::StampSources({(dir / "no-such-source").string()});
  ASSERT_FALSE(stamped);
  EXPECT_EQ(stamped.error().code, dtl::ErrorCode::NotFound);
  EXPECT_EQ(stamped.error().system, ENOENT);
  EXPECT_EQ(stamped.error().message,
            (dir / "no-such-source").string() + ": No such file or directory");
}

}  // namespace
