// Recovery data on the sending side: the records a job gets per percentage, and the engine's
// spool (packed once, mailed from, kept for a resume, removed when done or discarded), with a
// scripted SMTP peer that keeps every mail so its attachments can be held against the spool.
#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "archive/SegmentList.h"
#include "archive/SegmentRecovery.h"
#include "send/SegmentSizeCheck.h"
#include "send/SendEventLog.h"

namespace {

namespace fs = std::filesystem;
using dtl::SendEventKind;

std::vector<uint8_t> Base64Decode(const std::string& text) {
  std::vector<uint8_t> out;
  uint32_t bits = 0;
  int have = 0;
  for (char ch : text) {
    int v;
    if (ch >= 'A' && ch <= 'Z') v = ch - 'A';
    else if (ch >= 'a' && ch <= 'z') v = ch - 'a' + 26;
    else if (ch >= '0' && ch <= '9') v = ch - '0' + 52;
    else if (ch == '+') v = 62;
    else if (ch == '/') v = 63;
    else continue;  // line ends and padding
    bits = bits << 6 | static_cast<uint32_t>(v);
    if ((have += 6) >= 8) {
      have -= 8;
      out.push_back(static_cast<uint8_t>(bits >> have));
    }
  }
  return out;
}

class SendRecoveryTest : public dtltest::SendRunTest {
 protected:
  SendRecoveryTest() {
    EXPECT_TRUE(settings_.SetString("SMTPServer", "smtp.example.com"));
    env_.spoolFolder = spools_;
    env_.deliver = [this](const dtl::SmtpSettings&, const dtl::SmtpEnvelope&,
                          std::string_view wire, dtl::MailProgress*, std::stop_token,
                          dtl::SmtpAttemptReport&) -> dtl::Status {
      std::lock_guard<std::mutex> lock(mu_);
      wires_.emplace_back(wire);
      return {};
    };
  }

  // 25 segments of 10000 bytes.
  dtl::SendRequest RecoveryRequest(unsigned percent, const std::string& name = "x") {
    auto r = Request(250000, dtl::SendMethod::SmtpServer, "one@a.test", name);
    r.recoveryPercent = percent;
    return r;
  }
  std::vector<std::string> Wires() {
    std::lock_guard<std::mutex> lock(mu_);
    return wires_;
  }
  static std::string Between(const std::string& s, const std::string& a, const std::string& b) {
    const auto at = s.find(a);
    if (at == std::string::npos) return {};
    return s.substr(at + a.size(), s.find(b, at + a.size()) - at - a.size());
  }
  // The attachment names of the mails so far, in order.
  std::vector<std::string> Attachments() {
    std::vector<std::string> out;
    for (const std::string& w : Wires()) out.push_back(Between(w, "filename=\"", "\""));
    return out;
  }
  std::vector<fs::path> SpoolFolders() const {
    std::vector<fs::path> out;
    if (fs::exists(spools_))
      for (const auto& e : fs::directory_iterator(spools_)) out.push_back(e.path());
    return out;
  }

  fs::path spools_ = dir_ / "spools";
  std::mutex mu_;
  std::vector<std::string> wires_;
};

// Recovery records follow their file's segments, one per recovery file; the segments carry the
// percentage and a spool of their own; no percentage (or a plain transfer) leaves the job as
// it always was.
TEST_F(SendRecoveryTest, RecordsPerPercentage) {
  struct Case {
    const char* name;
    unsigned percent;
    bool plain;
    std::vector<std::string> recoveryFiles;
  } cases[] = {
      {"none", 0, false, {}},
      {"ten percent of 25 segments is three blocks", 10, false,
       {"x.par2", "x.vol00+01.par2", "x.vol01+01.par2", "x.vol02+01.par2"}},
      {"a whole copy", 100, false, dtl::RecoveryFileNames("x", 25)},
      {"plain transfers never get any", 10, true, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto request = RecoveryRequest(c.percent);
    ASSERT_TRUE(c.plain ? doc_.BuildPlainJob(request) : doc_.BuildSplitJob(request));
    const auto records = doc_.Records();
    const size_t segments = c.plain ? 1 : 25;
    ASSERT_EQ(records.size(), segments + c.recoveryFiles.size());
    std::set<std::string> spools;
    for (size_t i = 0; i < records.size(); ++i) {
      const auto& r = records[i];
      EXPECT_EQ(r.pending, 1);
      EXPECT_EQ(r.spoolReady, 0);
      EXPECT_EQ(r.recoveryPercent, c.recoveryFiles.empty() ? 0u : c.percent);
      if (i < segments) {
        EXPECT_EQ(r.index, static_cast<int32_t>(i));
        EXPECT_FALSE(r.IsRecovery());
      } else {
        EXPECT_EQ(r.recoveryFile, c.recoveryFiles[i - segments]);
        EXPECT_EQ(r.index, static_cast<int32_t>(i - segments));
        EXPECT_EQ(dtl::SegmentAttachmentName(r, false), r.recoveryFile + ".doc");
      }
      if (!c.recoveryFiles.empty()) {
        EXPECT_TRUE(dtl::IsSpoolName(r.spool)) << r.spool;
        spools.insert(r.spool);
      } else {
        EXPECT_TRUE(r.spool.empty());
      }
    }
    EXPECT_EQ(spools.size(), c.recoveryFiles.empty() ? 0u : 1u);
  }
  // Two files: each its own spool and its own recovery files, right after its segments.
  auto two = RecoveryRequest(10);
  dtltest::WriteFileBytes(dir_ / "y", std::vector<uint8_t>(30000, 1));
  two.files.push_back({(dir_ / "y").string(), 30000});
  ASSERT_TRUE(doc_.BuildSplitJob(two));
  std::vector<std::string> order;
  for (const auto& r : doc_.Records())
    order.push_back(r.IsRecovery() ? r.recoveryFile : r.name + "#" + std::to_string(r.index));
  EXPECT_EQ(order[24], "x#24");
  EXPECT_EQ(order[25], "x.par2");
  EXPECT_EQ(std::vector<std::string>(order.begin() + 29, order.end()),
            (std::vector<std::string>{"y#0", "y#1", "y#2", "y.par2", "y.vol00+01.par2"}));
  EXPECT_NE(doc_.Records().front().spool, doc_.Records().back().spool);

  auto tooMuch = RecoveryRequest(101);
  EXPECT_FALSE(doc_.BuildSplitJob(tooMuch));
}

// The mails carry what the spool holds: the segment archives the recovery files were made over
// (so their MD5s are the set's) and the recovery files themselves, each under its name plus
// ".doc", with a subject of its own; the run says it prepares, and leaves no spool behind.
TEST_F(SendRecoveryTest, MailsCarryTheSpooledBytesAndTheSpoolGoesWhenAllAreDelivered) {
  ASSERT_TRUE(doc_.BuildSplitJob(RecoveryRequest(10, "data.bin")));
  // The spool as it was while the last mail went out: copied when the last record is sent.
  const fs::path copy = dir_ / "spool-copy";
  const size_t last = doc_.RecordCount() - 1;
  log_.onEvent = [&](const dtl::SendEvent& e) {
    if (e.kind == SendEventKind::Status && e.position == static_cast<int>(last) &&
        !fs::exists(copy)) {
      const auto folders = SpoolFolders();
      ASSERT_EQ(folders.size(), 1u);
      fs::copy(folders[0], copy);
    }
  };
  Run();
  const auto statuses = log_.Statuses();
  ASSERT_FALSE(statuses.empty());
  EXPECT_EQ(statuses[0], "0:Preparing recovery data...");
  EXPECT_TRUE(SpoolFolders().empty()) << "a finished send leaves no spool";

  const auto wires = Wires();
  ASSERT_EQ(wires.size(), 29u);
  for (const std::string& w : wires) {
    const std::string attachment = Between(w, "filename=\"", "\"");
    ASSERT_TRUE(attachment.ends_with(".doc")) << attachment;
    const std::string name = attachment.substr(0, attachment.size() - 4);
    // The base64 body of the attachment, decoded, is the spool's file byte for byte.
    const std::string body = Between(w, "x-original-encoding: base64\r\n\r\n", "\r\n--");
    const auto decoded = Base64Decode(body);
    EXPECT_EQ(decoded, dtltest::ReadFileBytes(copy / name)) << name;
    const std::string subject = Between(w, "\r\nSubject: ", "\r\n");
    if (name.ends_with(".par2"))
      EXPECT_EQ(subject.rfind("data.bin - recovery file ", 0), 0u) << subject;
    else
      EXPECT_EQ(subject.rfind("data.bin - segment number ", 0), 0u) << subject;
  }
  // The estimate the check before sending uses holds for every recovery mail.
  const uint64_t estimate = dtl::LargestRecoveryMailBytes(doc_.Records());
  for (size_t i = 25; i < wires.size(); ++i) EXPECT_LE(wires[i].size(), estimate) << i;
  EXPECT_GT(estimate, wires[28].size()) << "above the segment mails' size";
  EXPECT_EQ(Between(wires[25], "\r\nSubject: ", "         "), "data.bin - recovery file 1 of 4");
  EXPECT_EQ(Between(wires[28], "\r\nSubject: ", "         "), "data.bin - recovery file 4 of 4");

  // The set names the segments as the receiver saves them, and par2 accepts it as it stands.
  if (!dtltest::HaveCommand("par2")) GTEST_SKIP() << "par2 is not installed";
  const auto verified = dtltest::RunCommand("cd " + dtltest::ShellQuote(copy.string()) +
                                            " && par2 verify data.bin.par2 2>&1");
  EXPECT_EQ(verified.status, 0) << verified.output;
}

// The mail-client method mails the recovery files the same way, from the same spool.
TEST_F(SendRecoveryTest, TheMailClientMethodMailsRecoveryFilesToo) {
  const fs::path out = dir_ / "submitted";
  fs::create_directories(out);
  const fs::path program = dir_ / "sendmail";
  dtltest::WriteFileText(program, "#!/bin/sh\nn=$(ls \"" + out.string() +
                                      "\" | wc -l)\ncat > \"" + out.string() + "/$n.eml\"\n");
  fs::permissions(program, fs::perms::owner_all);
  env_.sendmailProgram = program.string();
  auto request = RecoveryRequest(10, "data.bin");
  request.method = dtl::SendMethod::Mapi;
  ASSERT_TRUE(doc_.BuildSplitJob(request));
  Run();
  std::vector<std::string> names, subjects;
  for (int n = 0; fs::exists(out / (std::to_string(n) + ".eml")); ++n) {
    const std::string eml = dtltest::ReadFileText(out / (std::to_string(n) + ".eml"));
    names.push_back(Between(eml, "filename=\"", "\""));
    subjects.push_back(Between(eml, "Subject: ", "         "));
  }
  ASSERT_EQ(names.size(), 29u);
  EXPECT_EQ(std::vector<std::string>(names.begin() + 24, names.end()),
            (std::vector<std::string>{"data.bin.024.doc", "data.bin.par2.doc",
                                      "data.bin.vol00+01.par2.doc", "data.bin.vol01+01.par2.doc",
                                      "data.bin.vol02+01.par2.doc"}));
  EXPECT_EQ(subjects[24], "data.bin - segment number 24");
  EXPECT_EQ(subjects[26], "data.bin - recovery file 2 of 4");
  EXPECT_TRUE(SpoolFolders().empty());
}

// A spool that went away is a problem only once something was mailed from it: then the run ends
// with a message and mails nothing; before that (or when the user merely unticked rows) it is
// prepared again.
TEST_F(SendRecoveryTest, AGoneSpoolEndsTheRunOnlyAfterSomethingWasMailedFromIt) {
  struct Case {
    const char* name;
    bool deliveredOne;  // the first record went out before the spool was lost
    bool untickedOne;   // the user unticked the first record before any run
    bool ends;
  } cases[] = {
      {"delivered from it, then lost", true, false, true},
      {"lost before anything went out", false, false, false},
      {"an unticked row is no delivery", false, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    {
      std::lock_guard<std::mutex> lock(mu_);
      wires_.clear();
    }
    log_.Clear();
    ASSERT_TRUE(doc_.BuildSplitJob(RecoveryRequest(10)));
    auto records = doc_.Records();
    if (c.deliveredOne || c.untickedOne) records[0].pending = 0;
    // A delivery means the spool had been made in an earlier run: the records say so.
    if (c.deliveredOne)
      for (auto& r : records) r.spoolReady = 1;
    ASSERT_TRUE(doc_.RestoreJob(doc_.Fields(), records));
    fs::remove_all(spools_);
    ASSERT_TRUE(doc_.StartRun(log_, env_));
    log_.WaitForRuns(1);
    const auto result = doc_.Wait();
    const auto statuses = log_.Statuses();
    if (c.ends) {
      EXPECT_EQ(result, 0);
      EXPECT_TRUE(Wires().empty());
      ASSERT_FALSE(statuses.empty());
      EXPECT_EQ(statuses.back(), "1:The prepared segments of x are gone; send the file again");
      EXPECT_FALSE(doc_.Running()) << "nothing is left running after the run gave up";
      EXPECT_TRUE(SpoolFolders().empty()) << "no fresh spool is made for mixed bytes";
    } else {
      EXPECT_EQ(result, 1);
      EXPECT_EQ(Wires().size(), records.size() - 1 + (c.untickedOne ? 0 : 1));
      ASSERT_FALSE(statuses.empty());
      EXPECT_EQ(statuses.front().substr(1), ":Preparing recovery data...");
    }
  }
}

// A spool whose file went missing between runs fails the same way, once, rather than retrying a
// read that can never succeed; the mails before it still go out from the spool.
TEST_F(SendRecoveryTest, AMissingSpooledFileEndsTheRunInsteadOfRetryingForever) {
  doc_.KeepSpools(true);
  ASSERT_TRUE(doc_.BuildSplitJob(RecoveryRequest(10)));
  log_.onEvent = [&](const dtl::SendEvent& e) {
    if (e.kind == SendEventKind::Delivered) doc_.Stop();
  };
  Run();
  log_.onEvent = nullptr;
  ASSERT_EQ(Wires().size(), 1u);
  const auto folders = SpoolFolders();
  ASSERT_EQ(folders.size(), 1u);
  ASSERT_TRUE(fs::remove(folders[0] / "x.005"));

  log_.Clear();
  ASSERT_TRUE(doc_.StartRun(log_, env_));
  log_.WaitForRuns(1);
  EXPECT_EQ(doc_.Wait(), 0);
  EXPECT_EQ(Attachments(), (std::vector<std::string>{"x.dtl.doc", "x.001.doc", "x.002.doc",
                                                      "x.003.doc", "x.004.doc"}));
  const auto statuses = log_.Statuses();
  ASSERT_FALSE(statuses.empty());
  EXPECT_EQ(statuses.back(), "5:The prepared segments of x are gone; send the file again");
  EXPECT_TRUE(Waits().empty()) << "no retry was waited for";
}

// A stop while the spool is being made leaves none of it; the spool of a run stopped later
// stays for a resume, and goes with the job when the document discards it, unless the document
// keeps spools (as `dtl send` does).
TEST_F(SendRecoveryTest, StopsAndDiscardsLeaveNoSpoolUnlessKeptForAResume) {
  struct Case {
    const char* name;
    bool stopWhilePreparing;
    bool keep;
    size_t spoolsAfterStop, spoolsAfterDiscard;
  } cases[] = {
      {"stopped while preparing", true, false, 0, 0},
      {"stopped after a delivery, then discarded", false, false, 1, 0},
      {"stopped after a delivery, kept for a resume", false, true, 1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(spools_);
    log_.Clear();
    doc_.KeepSpools(c.keep);
    ASSERT_TRUE(doc_.BuildSplitJob(RecoveryRequest(10)));
    log_.onEvent = [&](const dtl::SendEvent& e) {
      const bool now = c.stopWhilePreparing
                           ? e.kind == SendEventKind::Status &&
                                 e.text == dtl::kStatusPreparingRecovery
                           : e.kind == SendEventKind::Delivered;
      if (now) doc_.Stop();
    };
    ASSERT_TRUE(doc_.StartRun(log_, env_));
    log_.WaitForRuns(1);
    EXPECT_EQ(doc_.Wait(), 0);
    log_.onEvent = nullptr;
    EXPECT_EQ(SpoolFolders().size(), c.spoolsAfterStop);
    if (c.spoolsAfterStop) {
      EXPECT_TRUE(fs::exists(SpoolFolders()[0] / ".complete"));
      EXPECT_EQ(fs::status(SpoolFolders()[0]).permissions() & fs::perms::all,
                fs::perms::owner_all);
    }
    doc_.ResetJob();
    EXPECT_EQ(SpoolFolders().size(), c.spoolsAfterDiscard);
  }
}

// Only a spool name is ever removed: a list holding anything else (a damaged or hostile
// journal's) cannot make the removal reach outside the spool folder.
TEST(SpoolNames, OnlySpoolNamesAreEverRemoved) {
  dtltest::TempDir dir;
  const fs::path spools = dir / "spools";
  fs::create_directories(spools / "spool-00ff");
  fs::create_directories(dir / "precious");
  dtltest::WriteFileText(dir / "precious" / "keep", "x");
  fs::create_directories(spools / "other");
  const std::vector<std::pair<std::string, bool>> names = {
      {"spool-00ff", true}, {"../precious", false}, {"other", false},    {"spool-", false},
      {"spool-00FF", false}, {"spool-0/../..", false}, {"", false},       {"spool-g", false},
  };
  std::vector<dtl::SegmentRecord> records;
  for (const auto& [name, valid] : names) {
    EXPECT_EQ(dtl::IsSpoolName(name), valid) << name;
    dtl::SegmentRecord r;
    r.spool = name;
    records.push_back(r);
  }
  dtl::RemoveSpools(spools, records);
  EXPECT_FALSE(fs::exists(spools / "spool-00ff"));
  EXPECT_TRUE(fs::exists(dir / "precious" / "keep"));
  EXPECT_TRUE(fs::exists(spools / "other"));
}

}  // namespace
