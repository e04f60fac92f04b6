// The IMAP listing and receive job against a real Dovecot (tests/fixtures/mail_system.h). Mail
// goes in by IMAP APPEND of messages built with Python's email package around segments the
// project's own offline split made, and by `dtl send` through Postfix. Dovecot's log line at
// the end of each session counts the bodies it served, which proves the listing read
// structure only. Scripted peers play only what Dovecot will not send.
#include "receive/ImapReceive.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "archive/OfflineSplit.h"
#include "archive/SegmentRecovery.h"
#include "fixtures/mail_system.h"
#include "mail/SocketTransport.h"
#include "support/MailSystemCase.h"
#include "support/LoopbackPeer.h"
#include "support/ScriptedImap.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using dtl::ErrorCode;
using dtl::ImapReceiveJob;
using dtltest::MailSystem;
using Outcome = dtl::ImapReceiveJob::Outcome;

// ---- without a server: the segment check --------------------------------------------------

class QuietSplit : public dtl::OfflineSplitObserver {};

// Splits `bytes` as `name` into `folder` with the offline split (segments "NAME.dtl.doc",
// "NAME.001.doc", ...); gives the segment files, descriptor first.
std::vector<fs::path> Split(const fs::path& folder, const std::string& name,
                            const std::vector<uint8_t>& bytes, uint64_t segmentSize = 20000,
                            const std::string& password = {}) {
  fs::create_directories(folder / "src");
  dtltest::WriteFileBytes(folder / "src" / name, bytes);
  dtl::OfflineSplitParams p;
  p.source = (folder / "src" / name).string();
  p.folder = folder.string();
  p.segmentSize = segmentSize;
  p.password = password;
  p.when = 1700000000;
  QuietSplit quiet;
  auto r = dtl::RunOfflineSplit(p, quiet, {});
  EXPECT_TRUE(r.ok()) << r.status.error().message;
  // The descriptor carries the first piece: the numbered segments hold the rest.
  std::vector<fs::path> out = {folder / (name + ".dtl.doc")};
  for (uint64_t k = 1; k < r.written; ++k) {
    char num[32];
    std::snprintf(num, sizeof num, ".%03llu.doc", static_cast<unsigned long long>(k));
    out.push_back(folder / (name + num));
  }
  return out;
}

// What a sender with recovery data mails for `segments` (offline split names, "NAME.001.doc"):
// the segment files under the names the receiver saves ("NAME.dtl", "NAME.001", ...) in
// `folder`, and recovery files made over those names at `percent`. Gives the recovery files'
// paths ("NAME.par2", "NAME.vol00+01.par2", ...); they are mailed with ".doc" appended.
std::vector<fs::path> SenderRecovery(const fs::path& folder, const std::string& name,
                                     const std::vector<fs::path>& segments, unsigned percent) {
  fs::create_directories(folder);
  std::vector<std::string> names;
  for (const fs::path& s : segments) {
    const std::string saved = s.stem().string();  // without ".doc"
    fs::copy_file(s, folder / saved, fs::copy_options::overwrite_existing);
    names.push_back(saved);
  }
  auto made = dtl::MakeSegmentRecovery(folder, names, name, percent);
  EXPECT_TRUE(made.ok()) << made.error().message;
  std::vector<fs::path> out;
  if (made.ok())
    for (const std::string& r : *made) out.push_back(folder / r);
  return out;
}

TEST(VerifySegmentFile, JudgesASegmentAsTheMergeWould) {
  dtltest::TempDir dir;
  auto segments = Split(dir.path(), "v.bin", dtltest::RandomBytes(50000, 3));
  ASSERT_EQ(segments.size(), 3u);
  const fs::path good = segments[1];
  auto bytes = dtltest::ReadFileBytes(good);
  auto flipped = bytes;
  flipped[flipped.size() / 2] ^= 0x40;
  dtltest::WriteFileBytes(dir / "flipped", flipped);
  dtltest::WriteFileBytes(dir / "cut", std::vector<uint8_t>(bytes.begin(), bytes.end() - 96));
  dtltest::WriteFileBytes(dir / "empty", {});
  struct Case {
    const char* name;
    fs::path path;
    std::string password;
    std::optional<ErrorCode> error;
  } cases[] = {
      {"sound segment, default password", good, "", std::nullopt},
      {"descriptor is a segment too", segments[0], "", std::nullopt},
      {"wrong password", good, "not the password", ErrorCode::Corrupt},
      {"one byte flipped", dir / "flipped", "", ErrorCode::Corrupt},
      {"last blocks cut off", dir / "cut", "", ErrorCode::Corrupt},
      {"empty file", dir / "empty", "", ErrorCode::Corrupt},
      {"no such file", dir / "absent", "", ErrorCode::NotFound},
  };
  for (const Case& c : cases) {
    auto s = dtl::VerifySegmentFile(c.path, c.password);
    if (!c.error) {
      EXPECT_TRUE(s.ok()) << c.name << ": " << s.error().message;
    } else {
      ASSERT_FALSE(s.ok()) << c.name;
      EXPECT_EQ(s.error().code, *c.error) << c.name << ": " << s.error().message;
    }
  }
}

TEST(VerifyReceivedFile, KeepsARecoveryFileThatReadsWholeAndJudgesSegmentsAsBefore) {
  dtltest::TempDir dir;
  auto segments = Split(dir.path(), "k.bin", dtltest::RandomBytes(50000, 5));
  auto recovery = SenderRecovery(dir / "got", "k.bin", segments, 50);
  ASSERT_EQ(recovery.size(), 3u);
  const fs::path volume = recovery[2];  // "k.bin.vol01+01.par2"
  auto bytes = dtltest::ReadFileBytes(volume);
  dtltest::WriteFileBytes(dir / "got" / "cut.vol00+01.par2",
                          std::vector<uint8_t>(bytes.begin(), bytes.end() - 200));
  dtltest::WriteFileBytes(dir / "got" / "claims.vol00+09.par2", bytes);
  dtltest::WriteFileText(dir / "got" / "junk.par2", "not a recovery file");
  dtltest::WriteFileBytes(dir / "got" / "k.bin.001", bytes);
  struct Case {
    const char* name;
    fs::path path;
    std::optional<ErrorCode> error;
  } cases[] = {
      {"index file", recovery[0], std::nullopt},
      {"volume", volume, std::nullopt},
      {"volume cut short: its block is gone, its description is not",
       dir / "got" / "cut.vol00+01.par2", ErrorCode::Corrupt},
      {"fewer blocks than its name announces", dir / "got" / "claims.vol00+09.par2",
       ErrorCode::Corrupt},
      {"no recovery set at all", dir / "got" / "junk.par2", ErrorCode::Corrupt},
      {"no such recovery file", dir / "got" / "absent.par2", ErrorCode::NotFound},
      {"a segment is still checked as a segment", segments[1], std::nullopt},
      {"a recovery file's bytes under a segment's name", dir / "got" / "k.bin.001",
       ErrorCode::Corrupt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto s = dtl::VerifyReceivedFile(c.path, "");
    if (!c.error) {
      EXPECT_TRUE(s.ok()) << s.error().message;
    } else {
      ASSERT_FALSE(s.ok());
      EXPECT_EQ(s.error().code, *c.error) << s.error().message;
    }
  }
}

TEST(ImapItemKey, JoinsUidAndSection) {
  EXPECT_EQ(dtl::ImapItemKey(812, "2"), "812/2");
  EXPECT_EQ(dtl::ImapItemKey(813, "2.1"), "813/2.1");
}

// ---- observers ------------------------------------------------------------------------------

// Records every event with the thread it came on.
struct Recorder : dtl::DownloadObserver {
  std::thread::id expected = std::this_thread::get_id();
  std::atomic<bool> offThread{false};
  std::vector<std::string> done, messages, failures;
  std::set<size_t> fetched;  // items that received bytes (runs with one connection)
  std::vector<std::chrono::milliseconds> waits;
  size_t steps = 0, range = 0;
  std::function<void(const std::string&)> onDone;
  std::function<dtl::ReplaceMode(const std::string&)> confirm;
  std::vector<std::string> asked;
  size_t current = 0;

  void Here() {
    if (std::this_thread::get_id() != expected) offThread = true;
  }
  void OnOverallRange(size_t n) override { Here(), range = n; }
  void OnOverallStep() override { Here(), ++steps; }
  void OnItemStarted(size_t i, const std::string&) override { Here(), current = i; }
  // With one connection the bytes belong to the item started last.
  void OnBytes(uint64_t, uint64_t, int64_t) override { Here(), fetched.insert(current); }
  void OnItemDone(const std::string& key) override {
    Here();
    done.push_back(key);
    if (onDone) onDone(key);
  }
  void OnAttemptFailed(size_t, const std::string& reason) override {
    Here();
    failures.push_back(reason);
  }
  void OnRetryWait(size_t, const std::string&, std::chrono::milliseconds w) override {
    Here();
    waits.push_back(w);
  }
  void OnMessage(const std::string& text) override { Here(), messages.push_back(text); }
  std::vector<std::string> paused;
  void OnPaused(size_t, const std::string& status, std::chrono::milliseconds) override {
    Here();
    paused.push_back(status);
  }
  dtl::ReplaceMode ConfirmReplace(const std::string& name) override {
    Here();
    asked.push_back(name);
    return confirm ? confirm(name) : dtl::ReplaceMode::Skip;
  }
};

struct ListRecorder : dtl::ImapListObserver {
  size_t found = 0, lastScanned = 0, total = 0;
  void OnListProgress(size_t scanned, size_t t) override { lastScanned = scanned, total = t; }
  void OnSegmentFound(const dtl::ImapSegmentRef&) override { ++found; }
};

// ---- against Dovecot ------------------------------------------------------------------------

// A mail to put in: `kind` is "base64", "qp" (quoted-printable), "forwarded" (the segment mail
// attached to another as message/rfc822) or "unrelated" (text and a photo attachment).
struct Mail {
  std::string kind;
  std::string name;  // attachment name (or subject for unrelated mails)
  fs::path path;     // the attachment's bytes
};

// Builds each mail with Python's email package and APPENDs it to `folder` in one session.
constexpr char kAppendMails[] = R"PY(
import os
from email import encoders
from email.mime.base import MIMEBase
from email.mime.message import MIMEMessage
from email.mime.multipart import MIMEMultipart
from email.mime.text import MIMEText

def qp(data):
    # Every byte outside printable ASCII escaped, CR and LF included: a binary body.
    lines, line = [], ''
    for b in data:
        piece = chr(b) if 33 <= b <= 126 and b != 61 else '=%02X' % b
        if len(line) + len(piece) > 75:
            lines.append(line + '=')
            line = ''
        line += piece
    lines.append(line)
    return '\r\n'.join(lines)

def segment_mail(name, path, enc):
    msg = MIMEMultipart()
    msg['Subject'] = 'Segment ' + name
    msg['From'] = 'sender@mail.test'
    msg['To'] = 'drover@mail.test'
    msg.attach(MIMEText('A segment of a file.'))
    part = MIMEBase('application', 'msword')
    data = open(path, 'rb').read()
    if enc == 'qp':
        part.set_payload(qp(data))
        part['Content-Transfer-Encoding'] = 'quoted-printable'
    else:
        part.set_payload(data)
        encoders.encode_base64(part)
    part.add_header('Content-Disposition', 'attachment', filename=name)
    msg.attach(part)
    return msg

folder = args[0]
if folder.upper() != 'INBOX':
    m.create(mbox(folder))
for line in open(args[1], encoding='utf-8'):
    kind, name, path = line.rstrip('\n').split('\t')
    if kind == 'unrelated':
        msg = MIMEMultipart()
        msg['Subject'] = name
        msg['From'] = 'friend@mail.test'
        msg.attach(MIMEText('Nothing to do with segments. ' * 40))
        photo = MIMEBase('image', 'jpeg')
        photo.set_payload(os.urandom(3000))
        encoders.encode_base64(photo)
        photo.add_header('Content-Disposition', 'attachment', filename='photo.jpg')
        msg.attach(photo)
    elif kind == 'forwarded':
        msg = MIMEMultipart()
        msg['Subject'] = 'Fwd: ' + name
        msg.attach(MIMEText('See the mail attached.'))
        msg.attach(MIMEMessage(segment_mail(name, path, 'base64')))
    else:
        msg = segment_mail(name, path, kind)
    raw = msg.as_bytes().replace(b'\r\n', b'\n').replace(b'\n', b'\r\n')
    typ, data = m.append(mbox(folder), None, None, raw)
    assert typ == 'OK', data
)PY";

// Prints every message's flags: "UID FLAGS" per line.
constexpr char kPrintFlags[] = R"PY(
for folder in args:
    m.select(mbox(folder), readonly=True)
    typ, data = m.uid('FETCH', '1:*', '(FLAGS)')
    for item in data:
        if item:
            print(folder, item.decode())
)PY";

// A real socket that breaks after `limit` bytes were read (once the session is past its login
// and into a body), as a dropped connection does.
class CutAfter final : public dtl::Transport {
 public:
  CutAfter(std::unique_ptr<dtl::SocketTransport> s, uint64_t limit)
      : s_(std::move(s)), limit_(limit) {}
  dtl::Status Write(std::string_view d) override { return s_->Write(d); }
  dtl::Result<size_t> Read(char* b, size_t n) override {
    return Cut(n, [&](size_t k) { return s_->Read(b, k); });
  }
  dtl::Result<size_t> ReadBefore(char* b, size_t n,
                                 std::chrono::steady_clock::time_point t) override {
    return Cut(n, [&](size_t k) { return s_->ReadBefore(b, k, t); });
  }
  dtl::Status StartTls(bool verify) override { return s_->StartTls(verify); }
  bool Secure() const override { return s_->Secure(); }
  void Close() override { s_->Close(); }

 private:
  template <class F>
  dtl::Result<size_t> Cut(size_t n, F read) {
    if (read_ >= limit_) {
      s_->Close();
      return dtl::Error(ErrorCode::Network, "connection reset by peer (cut by the test)");
    }
    auto r = read(std::min<uint64_t>(n, limit_ - read_));
    if (r) read_ += *r;
    return r;
  }
  std::unique_ptr<dtl::SocketTransport> s_;
  uint64_t limit_;
  uint64_t read_ = 0;
};

class ImapReceive : public dtltest::MailSystemFixture {
 protected:
  void SetUp() override {
    MailSystemFixture::SetUp();
    if (Stopped()) return;
    StartMail();
    if (Stopped()) return;
    fs::create_directories(dir_ / "out");
  }

  dtl::ImapSettings Settings() const {
    dtl::ImapSettings s;
    s.host = MailSystem::host();
    s.port = mail_->imapsPort();
    s.security = dtl::ImapSecurity::ImplicitTls;
    s.user = MailSystem::login();
    s.password = MailSystem::password();
    s.caFile = mail_->caFile();
    s.connectTimeout = std::chrono::milliseconds(10000);
    s.ioTimeout = std::chrono::milliseconds(20000);
    return s;
  }

  void Put(const std::string& folder, const std::vector<Mail>& mails) {
    std::string spec;
    for (const Mail& m : mails) spec += m.kind + "\t" + m.name + "\t" + m.path.string() + "\n";
    const fs::path file = dir_ / ("spec" + std::to_string(++specs_));
    dtltest::WriteFileText(file, spec);
    auto r = mail_->RunImap(kAppendMails, {folder, file.string()});
    ASSERT_EQ(r.status, 0) << r.output;
  }

  // The mails for every segment of `segments` (offline split names), by `kind`.
  static std::vector<Mail> SegmentMails(const std::vector<fs::path>& segments,
                                        const std::string& kind = "base64") {
    std::vector<Mail> mails;
    for (const fs::path& s : segments) mails.push_back({kind, s.filename().string(), s});
    return mails;
  }

  dtl::ImapListing List(const std::string& folder = "INBOX") {
    ListRecorder rec;
    auto listing = dtl::ListImapSegments(Settings(), folder, rec, {});
    EXPECT_TRUE(listing.ok()) << listing.error().message;
    if (!listing.ok()) return {};
    EXPECT_EQ(rec.found, listing->AllSegments().size());
    EXPECT_EQ(rec.lastScanned, rec.total);
    return *listing;
  }

  ImapReceiveJob::Params Params(const dtl::ImapListing& listing,
                                const std::string& folder = "INBOX") {
    ImapReceiveJob::Params p;
    p.settings = Settings();
    p.folder = folder;
    p.outFolder = dir_ / "out";
    p.items = listing.AllSegments();
    p.jobs = 4;
    p.mergeThreads = 2;
    p.wait = [](std::chrono::milliseconds, std::stop_token stop) { return !stop.stop_requested(); };
    return p;
  }

  std::string Flags(const std::vector<std::string>& folders) {
    auto r = mail_->RunImap(kPrintFlags, folders);
    EXPECT_EQ(r.status, 0) << r.output;
    return r.output;
  }

  // Bodies Dovecot served to sessions that ended after `offset`, once `sessions` of them are
  // logged and their count has reached `expected` (or the wait is over).
  uint64_t BodiesServed(uint64_t offset, size_t sessions, uint64_t expected) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    uint64_t bodies = 0;
    for (;;) {
      bodies = 0;
      for (const auto& s : mail_->ImapSessionsSince(offset, sessions)) {
        bodies += s.bodies;
        EXPECT_EQ(s.headers, 0u);
      }
      if (bodies >= expected || std::chrono::steady_clock::now() >= deadline) return bodies;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }

 public:
  static std::vector<std::string> Leftovers(const fs::path& folder) {
    std::vector<std::string> found;
    for (const auto& e : fs::directory_iterator(folder))
      if (e.path().filename().string().rfind(".dtl-", 0) == 0)
        found.push_back(e.path().filename().string());
    return found;
  }

 protected:
  dtltest::TempDir dir_;
  int specs_ = 0;
};

TEST_F(ImapReceive, FindsThreeSplitFilesAmongFiveHundredMailsFromStructureAloneAndRebuildsThem) {
  std::map<std::string, std::vector<uint8_t>> sources;
  std::vector<Mail> mails;
  for (int f = 0; f < 3; ++f) {
    const std::string name = "file" + std::to_string(f) + ".bin";
    sources[name] = dtltest::RandomBytes(65000 + 1000 * f, 20 + f);
    auto segments = Split(dir_ / "split", name, sources[name]);
    ASSERT_EQ(segments.size(), 4u);
    for (size_t i = 0; i < segments.size(); ++i) {
      mails.push_back({"base64", segments[i].filename().string(), segments[i]});
      // The segment mails are spread among the others.
      for (int u = 0; u < 41; ++u)
        mails.push_back({"unrelated", "Holiday " + std::to_string(mails.size()), {}});
    }
  }
  for (int u = 0; mails.size() < 512; ++u) mails.push_back({"unrelated", "Note", {}});
  Put("INBOX", mails);
  const std::string flagsBefore = Flags({"INBOX"});
  ASSERT_NE(flagsBefore.find("FLAGS"), std::string::npos);

  const uint64_t offset = mail_->DovecotLogSize();
  auto listing = List();
  EXPECT_EQ(listing.messagesScanned, 512u);
  EXPECT_EQ(listing.duplicatesDropped, 0u);
  ASSERT_EQ(listing.files.size(), 3u);
  for (int f = 0; f < 3; ++f) {
    const auto& file = listing.files[f];
    EXPECT_EQ(file.name, "file" + std::to_string(f) + ".bin");
    EXPECT_TRUE(file.hasDescriptor);
    EXPECT_EQ(file.present, (std::vector<uint64_t>{1, 2, 3}));
    EXPECT_TRUE(file.missing.empty());
    EXPECT_TRUE(file.NoGapSeen());
    ASSERT_EQ(file.segments.size(), 4u);
    EXPECT_EQ(file.segments[0].item.fileName, file.name + ".dtl");
    EXPECT_EQ(file.segments[1].item.fileName, file.name + ".001");
    EXPECT_EQ(file.segments[0].encoding, "base64");
    EXPECT_EQ(file.segments[1].section, "2");
    EXPECT_EQ(file.segments[1].item.key, dtl::ImapItemKey(file.segments[1].uid, "2"));
  }

  Recorder rec;
  auto params = Params(listing);
  auto summary = ImapReceiveJob::Run(params, rec, {});
  ASSERT_EQ(summary.outcome, Outcome::Completed) << summary.error.message;
  EXPECT_FALSE(rec.offThread) << "an observer call came on a worker's thread";
  EXPECT_EQ(summary.itemsSaved, 12u);
  EXPECT_EQ(summary.itemsSkipped, 0u);
  EXPECT_EQ(rec.done.size(), 12u);
  EXPECT_EQ(rec.steps, 12u);
  EXPECT_EQ(rec.range, 12u);
  EXPECT_EQ(summary.descriptors.size(), 3u);
  EXPECT_TRUE(summary.AllRebuilt());
  for (const auto& [name, bytes] : sources)
    EXPECT_EQ(dtltest::ReadFileBytes(dir_ / "out" / name), bytes) << name;
  EXPECT_TRUE(Leftovers(dir_ / "out").empty());

  // One session listed, four received: only the twelve segment parts were ever served.
  EXPECT_EQ(BodiesServed(offset, 5, 12), 12u);
  EXPECT_EQ(Flags({"INBOX"}), flagsBefore) << "the mailbox's flags changed";
  EXPECT_EQ(flagsBefore.find("\\Seen"), std::string::npos);
}

TEST_F(ImapReceive, ReadsAFolderNamedWithBlanksAndNonAsciiQuotedPrintableAndForwardedSegments) {
  const std::string folder = "Empfangene Dateien Größe ✓";
  const auto source = dtltest::RandomBytes(65000, 31);
  auto segments = Split(dir_ / "split", "mixed.bin", source);
  ASSERT_EQ(segments.size(), 4u);
  Put(folder, {{"base64", segments[0].filename().string(), segments[0]},
               {"qp", segments[1].filename().string(), segments[1]},
               {"forwarded", segments[2].filename().string(), segments[2]},
               {"base64", segments[3].filename().string(), segments[3]}});
  const std::string flagsBefore = Flags({folder});

  auto listing = List(folder);
  ASSERT_EQ(listing.files.size(), 1u);
  const auto& file = listing.files[0];
  EXPECT_TRUE(file.NoGapSeen());
  ASSERT_EQ(file.segments.size(), 4u);
  EXPECT_EQ(file.segments[1].encoding, "quoted-printable");
  EXPECT_EQ(file.segments[2].section, "2.2") << "the forwarded mail's attachment";

  Recorder rec;
  auto params = Params(listing, folder);
  params.jobs = 2;
  // The receive connections come in through STARTTLS on the plain port.
  params.settings.security = dtl::ImapSecurity::StartTls;
  params.settings.port = mail_->imapPort();
  auto summary = ImapReceiveJob::Run(params, rec, {});
  ASSERT_EQ(summary.outcome, Outcome::Completed) << summary.error.message;
  EXPECT_EQ(summary.itemsSaved, 4u);
  EXPECT_TRUE(summary.AllRebuilt());
  EXPECT_EQ(dtltest::ReadFileBytes(dir_ / "out" / "mixed.bin"), source);
  EXPECT_EQ(Flags({folder}), flagsBefore);
}

TEST_F(ImapReceive, AMissingSegmentIsListedAndADuplicateDropped) {
  const auto source = dtltest::RandomBytes(90000, 41);
  auto segments = Split(dir_ / "split", "gap.bin", source);
  ASSERT_EQ(segments.size(), 5u);
  // Segment 2 never arrived; segment 3 arrived twice.
  Put("INBOX", {{"base64", segments[0].filename().string(), segments[0]},
                {"base64", segments[1].filename().string(), segments[1]},
                {"base64", segments[3].filename().string(), segments[3]},
                {"qp", segments[3].filename().string(), segments[3]},
                {"base64", segments[4].filename().string(), segments[4]}});

  auto listing = List();
  EXPECT_EQ(listing.duplicatesDropped, 1u);
  ASSERT_EQ(listing.files.size(), 1u);
  const auto& file = listing.files[0];
  EXPECT_EQ(file.present, (std::vector<uint64_t>{1, 3, 4}));
  EXPECT_EQ(file.missing, (std::vector<uint64_t>{2}));
  EXPECT_FALSE(file.NoGapSeen());
  EXPECT_EQ(file.segments.size(), 4u);

  Recorder rec;
  auto summary = ImapReceiveJob::Run(Params(listing), rec, {});
  ASSERT_EQ(summary.outcome, Outcome::Completed) << summary.error.message;
  EXPECT_EQ(summary.itemsSaved, 4u);
  ASSERT_EQ(summary.mergeResults.size(), 1u);
  EXPECT_EQ(summary.mergeResults[0].outcome, dtl::MergeJob::Outcome::MissingSegment);
  EXPECT_FALSE(summary.AllRebuilt());
  EXPECT_FALSE(fs::exists(dir_ / "out" / "gap.bin"));
}

TEST_F(ImapReceive, AMailDeletedSinceTheListingIsReportedGoneAndNotFetchedAgain) {
  const auto source = dtltest::RandomBytes(65000, 45);
  auto segments = Split(dir_ / "split", "late.bin", source);
  ASSERT_EQ(segments.size(), 4u);
  Put("INBOX", SegmentMails(segments));
  auto listing = List();
  ASSERT_EQ(listing.files.size(), 1u);
  // Another client deletes the mail of segment 2 after the listing.
  auto r = mail_->RunImap(
      "m.select('INBOX')\n"
      "m.uid('STORE', args[0], '+FLAGS', '(\\\\Deleted)')\n"
      "m.expunge()\n",
      {std::to_string(listing.files[0].segments[2].uid)});
  ASSERT_EQ(r.status, 0) << r.output;

  Recorder rec;
  auto params = Params(listing);
  params.jobs = 1;
  params.uidValidity = listing.folder.uidValidity;
  auto summary = ImapReceiveJob::Run(params, rec, {});
  ASSERT_EQ(summary.outcome, Outcome::Completed) << summary.error.message;
  EXPECT_EQ(summary.gone, (std::vector<std::string>{"late.bin.002"}));
  EXPECT_EQ(summary.attemptsFailed, 0u);
  ASSERT_EQ(rec.messages.size(), 1u);
  EXPECT_NE(rec.messages[0].find("late.bin.002"), std::string::npos) << rec.messages[0];
  EXPECT_EQ(summary.itemsSaved, 3u);
  ASSERT_EQ(summary.mergeResults.size(), 1u);
  EXPECT_EQ(summary.mergeResults[0].outcome, dtl::MergeJob::Outcome::MissingSegment);
  EXPECT_FALSE(summary.AllRebuilt());

  // A listing of another folder generation is refused rather than fetching other mails.
  params.uidValidity = listing.folder.uidValidity + 1;
  Recorder stale;
  auto refused = ImapReceiveJob::Run(params, stale, {});
  EXPECT_EQ(refused.outcome, Outcome::Failed);
  EXPECT_EQ(refused.error.code, ErrorCode::NotFound) << refused.error.message;
}

TEST_F(ImapReceive, ACorruptAttachmentIsReportedOnceAndTheOtherFilesAreStillRebuilt) {
  const auto good = dtltest::RandomBytes(65000, 51);
  const auto bad = dtltest::RandomBytes(65000, 52);
  auto goodSegments = Split(dir_ / "split", "good.bin", good);
  auto badSegments = Split(dir_ / "split", "bad.bin", bad);
  auto damaged = dtltest::ReadFileBytes(badSegments[2]);
  damaged[damaged.size() / 2] ^= 0x01;
  dtltest::WriteFileBytes(badSegments[2], damaged);
  auto mails = SegmentMails(badSegments);
  for (auto& m : SegmentMails(goodSegments)) mails.push_back(m);
  Put("INBOX", mails);

  auto listing = List();
  ASSERT_EQ(listing.files.size(), 2u);
  const uint64_t offset = mail_->DovecotLogSize();
  Recorder rec;
  auto params = Params(listing);
  params.jobs = 1;
  auto summary = ImapReceiveJob::Run(params, rec, {});
  ASSERT_EQ(summary.outcome, Outcome::Completed) << summary.error.message;
  EXPECT_EQ(summary.corrupt, (std::vector<std::string>{"bad.bin.002"}));
  EXPECT_EQ(summary.attemptsFailed, 0u);
  ASSERT_EQ(rec.messages.size(), 1u);
  EXPECT_NE(rec.messages[0].find("bad.bin.002"), std::string::npos) << rec.messages[0];
  EXPECT_FALSE(fs::exists(dir_ / "out" / "bad.bin.002")) << "a corrupt segment is not saved";
  EXPECT_EQ(summary.itemsSaved, 7u);
  EXPECT_EQ(rec.steps, 8u);
  ASSERT_EQ(summary.mergeResults.size(), 1u) << "the damaged file is kept out of the merge";
  EXPECT_EQ(summary.leftOut, (std::vector<std::string>{"bad.bin"}));
  EXPECT_EQ(summary.mergeResults[0].outcome, dtl::MergeJob::Outcome::Complete);
  EXPECT_EQ(dtltest::ReadFileBytes(dir_ / "out" / "good.bin"), good);
  EXPECT_FALSE(fs::exists(dir_ / "out" / "bad.bin"));
  EXPECT_FALSE(summary.AllRebuilt());
  // Fetched once, not again and again.
  EXPECT_EQ(BodiesServed(offset, 1, 8), 8u);
}

// The recovery files' mails: each attachment named as the sender names it ("....par2.doc").
std::vector<Mail> RecoveryMails(const std::vector<fs::path>& recovery,
                                const std::string& kind = "base64") {
  std::vector<Mail> mails;
  for (const fs::path& r : recovery) mails.push_back({kind, r.filename().string() + ".doc", r});
  return mails;
}

TEST_F(ImapReceive, RecoveryFilesAreListedUnderTheirFileAndCountedApartFromItsSegments) {
  const auto source = dtltest::RandomBytes(90000, 101);
  auto segments = Split(dir_ / "split", "rec.bin", source);
  ASSERT_EQ(segments.size(), 5u);
  auto recovery = SenderRecovery(dir_ / "sender", "rec.bin", segments, 40);
  ASSERT_EQ(recovery.size(), 3u) << "the index file and two blocks";
  // Segment 2 never arrived; a recovery mail arrived twice; an unrelated mail sits between.
  std::vector<Mail> mails = {{"base64", segments[0].filename().string(), segments[0]},
                             {"base64", segments[1].filename().string(), segments[1]},
                             {"unrelated", "Holiday", {}},
                             {"base64", segments[3].filename().string(), segments[3]},
                             {"base64", segments[4].filename().string(), segments[4]}};
  for (const Mail& m : RecoveryMails(recovery)) mails.push_back(m);
  mails.push_back(RecoveryMails({recovery[2]}, "qp")[0]);
  Put("INBOX", mails);

  auto listing = List();
  EXPECT_EQ(listing.duplicatesDropped, 1u);
  ASSERT_EQ(listing.files.size(), 1u);
  const auto& file = listing.files[0];
  EXPECT_EQ(file.name, "rec.bin");
  EXPECT_TRUE(file.hasDescriptor);
  EXPECT_EQ(file.present, (std::vector<uint64_t>{1, 3, 4}));
  EXPECT_EQ(file.missing, (std::vector<uint64_t>{2})) << "recovery files are never missing numbers";
  EXPECT_FALSE(file.NoGapSeen()) << "a gap among the segments stays a gap";
  EXPECT_EQ(file.recoveryFiles, (std::vector<std::string>{"rec.bin.par2", "rec.bin.vol00+01.par2",
                                                          "rec.bin.vol01+01.par2"}));
  EXPECT_EQ(file.recoveryBlocks, 2u);
  ASSERT_EQ(file.segments.size(), 7u) << "the recovery files are downloaded with the segments";
  EXPECT_EQ(file.segments[4].item.fileName, "rec.bin.par2") << "\".doc\" removed";
}

TEST_F(ImapReceive, RecoveryFilesAreSavedAsTheyCameAndTheMergeRepairsAMissingSegmentFromThem) {
  const auto source = dtltest::RandomBytes(90000, 103);
  auto segments = Split(dir_ / "split", "fix.bin", source);
  ASSERT_EQ(segments.size(), 5u);
  auto recovery = SenderRecovery(dir_ / "sender", "fix.bin", segments, 40);
  ASSERT_EQ(recovery.size(), 3u);
  std::vector<Mail> mails = SegmentMails(segments);
  mails.erase(mails.begin() + 3);  // segment 3 was lost on the way
  for (const Mail& m : RecoveryMails(recovery)) mails.push_back(m);
  Put("INBOX", mails);

  auto listing = List();
  ASSERT_EQ(listing.files.size(), 1u);
  ASSERT_EQ(listing.files[0].missing, (std::vector<uint64_t>{3}));
  struct Repairs : dtl::MergeObserver {
    std::vector<std::vector<std::string>> repaired;
    void OnRepaired(const std::vector<std::string>& names) override { repaired.push_back(names); }
  } repairs;
  Recorder rec;
  auto params = Params(listing);
  params.mergeObserver = &repairs;
  auto summary = ImapReceiveJob::Run(params, rec, {});
  ASSERT_EQ(summary.outcome, Outcome::Completed) << summary.error.message;
  EXPECT_TRUE(summary.corrupt.empty()) << "a recovery file is no segment archive to check";
  EXPECT_TRUE(rec.messages.empty()) << rec.messages[0];
  EXPECT_EQ(summary.itemsSaved, 7u);
  for (const fs::path& r : recovery)
    EXPECT_EQ(dtltest::ReadFileBytes(dir_ / "out" / r.filename()), dtltest::ReadFileBytes(r))
        << r.filename();
  EXPECT_EQ(summary.mergeDescriptors, (std::vector<fs::path>{dir_ / "out" / "fix.bin.dtl"}));
  ASSERT_EQ(summary.mergeResults.size(), 1u);
  EXPECT_EQ(summary.mergeResults[0].outcome, dtl::MergeJob::Outcome::Complete);
  EXPECT_EQ(summary.mergeResults[0].repaired, (std::vector<std::string>{"fix.bin.003"}));
  EXPECT_EQ(repairs.repaired, (std::vector<std::vector<std::string>>{{"fix.bin.003"}}));
  EXPECT_TRUE(summary.AllRebuilt());
  EXPECT_EQ(dtltest::ReadFileBytes(dir_ / "out" / "fix.bin"), source);

  // Run again, the recovery files on disk read whole and are kept without asking.
  Recorder again;
  params.autoMerge = false;
  auto second = ImapReceiveJob::Run(params, again, {});
  ASSERT_EQ(second.outcome, Outcome::Completed) << second.error.message;
  EXPECT_EQ(second.itemsSkipped, 7u);
  EXPECT_TRUE(again.asked.empty());
  EXPECT_FALSE(second.merged);
  EXPECT_EQ(second.mergeDescriptors, summary.mergeDescriptors)
      << "a caller that merges by itself is told what to hand the merge";
}

TEST_F(ImapReceive, AFileWhoseDescriptorWasLostGoesToTheMergeByItsRecoveryFile) {
  const auto source = dtltest::RandomBytes(70000, 105);
  auto segments = Split(dir_ / "split", "nodesc.bin", source);
  ASSERT_EQ(segments.size(), 4u);
  auto recovery = SenderRecovery(dir_ / "sender", "nodesc.bin", segments, 25);
  ASSERT_EQ(recovery.size(), 2u);
  std::vector<Mail> mails = SegmentMails({segments[1], segments[2], segments[3]});
  // Only the volume came, not the index file: it carries the set's description too.
  mails.push_back(RecoveryMails({recovery[1]})[0]);
  Put("INBOX", mails);

  auto listing = List();
  ASSERT_EQ(listing.files.size(), 1u);
  EXPECT_FALSE(listing.files[0].hasDescriptor);
  EXPECT_EQ(listing.files[0].recoveryBlocks, 1u);
  Recorder rec;
  auto summary = ImapReceiveJob::Run(Params(listing), rec, {});
  ASSERT_EQ(summary.outcome, Outcome::Completed) << summary.error.message;
  EXPECT_TRUE(summary.descriptors.empty()) << "no descriptor came";
  EXPECT_EQ(summary.mergeDescriptors,
            (std::vector<fs::path>{dir_ / "out" / "nodesc.bin.vol00+01.par2"}));
  ASSERT_EQ(summary.mergeResults.size(), 1u);
  EXPECT_EQ(summary.mergeResults[0].outcome, dtl::MergeJob::Outcome::Complete);
  EXPECT_EQ(summary.mergeResults[0].repaired, (std::vector<std::string>{"nodesc.bin.dtl"}));
  EXPECT_TRUE(summary.AllRebuilt());
  EXPECT_EQ(dtltest::ReadFileBytes(dir_ / "out" / "nodesc.bin"), source);
}

TEST_F(ImapReceive, ABadRecoveryAttachmentNeverKeepsASoundFileFromBeingRebuilt) {
  const auto source = dtltest::RandomBytes(65000, 107);
  auto segments = Split(dir_ / "split", "sound.bin", source);
  auto recovery = SenderRecovery(dir_ / "sender", "sound.bin", segments, 25);
  ASSERT_EQ(recovery.size(), 2u);
  // The volume's recovery block is damaged on the way; the index file is no recovery file at
  // all. Neither is checked as a segment; the merge judges them and the segments are whole.
  auto volume = dtltest::ReadFileBytes(recovery[1]);
  volume[volume.size() / 3] ^= 0x20;
  dtltest::WriteFileBytes(recovery[1], volume);
  dtltest::WriteFileText(recovery[0], "not a recovery file");
  std::vector<Mail> mails = SegmentMails(segments);
  for (const Mail& m : RecoveryMails(recovery)) mails.push_back(m);
  Put("INBOX", mails);

  auto listing = List();
  Recorder rec;
  auto summary = ImapReceiveJob::Run(Params(listing), rec, {});
  ASSERT_EQ(summary.outcome, Outcome::Completed) << summary.error.message;
  EXPECT_TRUE(summary.corrupt.empty());
  EXPECT_EQ(summary.itemsSaved, 6u);
  ASSERT_EQ(summary.mergeResults.size(), 1u);
  EXPECT_EQ(summary.mergeResults[0].outcome, dtl::MergeJob::Outcome::Complete);
  EXPECT_TRUE(summary.mergeResults[0].repaired.empty());
  EXPECT_TRUE(summary.AllRebuilt());
  EXPECT_EQ(dtltest::ReadFileBytes(dir_ / "out" / "sound.bin"), source);
}

TEST_F(ImapReceive, ACorruptSegmentWithRecoveryFilesIsRepairedInsteadOfLeavingItsFileOut) {
  const auto source = dtltest::RandomBytes(65000, 109);
  auto segments = Split(dir_ / "split", "mend.bin", source);
  ASSERT_EQ(segments.size(), 4u);
  auto recovery = SenderRecovery(dir_ / "sender", "mend.bin", segments, 25);
  auto damaged = dtltest::ReadFileBytes(segments[2]);
  damaged[damaged.size() / 2] ^= 0x01;
  dtltest::WriteFileBytes(segments[2], damaged);
  std::vector<Mail> mails = SegmentMails(segments);
  for (const Mail& m : RecoveryMails(recovery)) mails.push_back(m);
  Put("INBOX", mails);

  Recorder rec;
  auto summary = ImapReceiveJob::Run(Params(List()), rec, {});
  ASSERT_EQ(summary.outcome, Outcome::Completed) << summary.error.message;
  EXPECT_EQ(summary.corrupt, (std::vector<std::string>{"mend.bin.002"}));
  EXPECT_TRUE(summary.leftOut.empty());
  ASSERT_EQ(summary.mergeResults.size(), 1u);
  EXPECT_EQ(summary.mergeResults[0].outcome, dtl::MergeJob::Outcome::Complete);
  EXPECT_EQ(summary.mergeResults[0].repaired, (std::vector<std::string>{"mend.bin.002"}));
  EXPECT_TRUE(summary.LossesMended());
  EXPECT_TRUE(summary.AllRebuilt());
  EXPECT_EQ(dtltest::ReadFileBytes(dir_ / "out" / "mend.bin"), source);
}

TEST_F(ImapReceive, AConnectionCutMidDownloadIsRetriedOnAFreshConnection) {
  const auto source = dtltest::RandomBytes(60000, 61);
  auto segments = Split(dir_ / "split", "cut.bin", source, 30000);
  Put("INBOX", SegmentMails(segments));
  auto listing = List();
  ASSERT_EQ(listing.files.size(), 1u);

  std::atomic<int> connections{0};
  auto params = Params(listing);
  params.jobs = 1;
  params.connector =
      [&](const dtl::ImapSettings& s) -> dtl::Result<std::unique_ptr<dtl::Transport>> {
    dtl::SocketOptions opt;
    opt.connectTimeout = s.connectTimeout;
    opt.ioTimeout = s.ioTimeout;
    opt.caFile = s.caFile;
    auto socket = std::make_unique<dtl::SocketTransport>(opt);
    if (auto c = socket->Connect(s.host, s.port); !c) return c.error();
    // The first connection breaks well into the second part's body (each is about 40 KB as
    // base64); the ones after it do not.
    const uint64_t limit = connections++ == 0 ? 60000 : UINT64_MAX;
    return std::unique_ptr<dtl::Transport>(std::make_unique<CutAfter>(std::move(socket), limit));
  };
  std::vector<std::chrono::milliseconds> waited;
  params.wait = [&](std::chrono::milliseconds d, std::stop_token) {
    waited.push_back(d);
    return true;
  };
  Recorder rec;
  auto summary = ImapReceiveJob::Run(params, rec, {});
  ASSERT_EQ(summary.outcome, Outcome::Completed) << summary.error.message;
  EXPECT_EQ(summary.attemptsFailed, 1u);
  EXPECT_EQ(connections.load(), 2);
  ASSERT_EQ(rec.failures.size(), 1u);
  EXPECT_NE(rec.failures[0].find("cut by the test"), std::string::npos) << rec.failures[0];
  ASSERT_EQ(rec.waits.size(), 1u);
  EXPECT_EQ(rec.waits[0].count(), 0) << "the first retry goes at once";
  EXPECT_TRUE(waited.empty());
  EXPECT_EQ(summary.itemsSaved, segments.size());
  EXPECT_TRUE(summary.AllRebuilt());
  EXPECT_EQ(dtltest::ReadFileBytes(dir_ / "out" / "cut.bin"), source);
  EXPECT_TRUE(Leftovers(dir_ / "out").empty());
}

TEST_F(ImapReceive, AStoppedRunLeavesNoPartialFileAndARunAgainFetchesOnlyWhatIsMissing) {
  const auto source = dtltest::RandomBytes(110000, 71);
  auto segments = Split(dir_ / "split", "again.bin", source);
  ASSERT_EQ(segments.size(), 6u);
  Put("INBOX", SegmentMails(segments));
  auto listing = List();
  ASSERT_EQ(listing.files.size(), 1u);

  std::stop_source stop;
  Recorder first;
  first.onDone = [&](const std::string&) {
    if (first.done.size() == 2) stop.request_stop();
  };
  auto params = Params(listing);
  params.jobs = 1;
  auto interrupted = ImapReceiveJob::Run(params, first, stop.get_token());
  EXPECT_EQ(interrupted.outcome, Outcome::Stopped);
  EXPECT_FALSE(interrupted.merged);
  EXPECT_GE(interrupted.itemsSaved, 2u);
  EXPECT_LT(interrupted.itemsSaved, segments.size());
  EXPECT_TRUE(Leftovers(dir_ / "out").empty());

  Recorder second;
  auto again = ImapReceiveJob::Run(params, second, {});
  ASSERT_EQ(again.outcome, Outcome::Completed) << again.error.message;
  EXPECT_EQ(again.itemsSkipped, interrupted.itemsSaved);
  EXPECT_EQ(again.itemsSaved, segments.size() - interrupted.itemsSaved);
  // Only what the first run did not save went over the wire again.
  EXPECT_EQ(second.fetched.size(), again.itemsSaved);
  EXPECT_EQ(*second.fetched.begin(), interrupted.itemsSaved);
  EXPECT_TRUE(second.asked.empty()) << "verified segments are kept without asking";
  EXPECT_EQ(second.done.size(), segments.size());
  EXPECT_TRUE(again.AllRebuilt());
  EXPECT_EQ(dtltest::ReadFileBytes(dir_ / "out" / "again.bin"), source);
}

TEST_F(ImapReceive, AnExistingDamagedSegmentIsAskedAboutAndTheAnswerFollowed) {
  const auto source = dtltest::RandomBytes(45000, 81);
  auto segments = Split(dir_ / "split", "ask.bin", source);
  Put("INBOX", SegmentMails(segments));
  auto listing = List();
  dtltest::WriteFileText(dir_ / "out" / "ask.bin.001", "not a segment");
  dtltest::WriteFileText(dir_ / "out" / "ask.bin.002", "not a segment either");

  struct Case {
    const char* name;
    dtl::ReplaceMode mode;
    dtl::ReplaceMode answer;
    size_t asked;
    bool replaced;
  } cases[] = {
      {"Skip asks, Skip keeps", dtl::ReplaceMode::Skip, dtl::ReplaceMode::Skip, 2, false},
      {"SkipAll keeps without asking", dtl::ReplaceMode::SkipAll, dtl::ReplaceMode::Skip, 0, false},
      {"Skip asks, OverwriteAll answers for the rest", dtl::ReplaceMode::Skip,
       dtl::ReplaceMode::OverwriteAll, 1, true},
  };
  for (const Case& c : cases) {
    dtltest::WriteFileText(dir_ / "out" / "ask.bin.001", "not a segment");
    dtltest::WriteFileText(dir_ / "out" / "ask.bin.002", "not a segment either");
    Recorder rec;
    rec.confirm = [&](const std::string&) { return c.answer; };
    auto params = Params(listing);
    params.jobs = 1;
    params.replace = c.mode;
    params.autoMerge = false;
    auto summary = ImapReceiveJob::Run(params, rec, {});
    ASSERT_EQ(summary.outcome, Outcome::Completed) << c.name;
    EXPECT_EQ(rec.asked.size(), c.asked) << c.name;
    EXPECT_EQ(dtl::VerifySegmentFile(dir_ / "out" / "ask.bin.002", "").ok(), c.replaced) << c.name;
  }
}

TEST_F(ImapReceive, ARefusedLoginAnUntrustedCertificateOrAMissingFolderFailsAtOnceWithoutRetrying) {
  auto segments = Split(dir_ / "split", "f.bin", dtltest::RandomBytes(30000, 91));
  Put("INBOX", SegmentMails(segments));
  auto listing = List();
  ASSERT_EQ(listing.files.size(), 1u);

  auto wrong = Settings();
  wrong.password = "not the password";
  ListRecorder lr;
  auto refused = dtl::ListImapSegments(wrong, "INBOX", lr, {});
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().code, ErrorCode::Auth);
  auto missing = dtl::ListImapSegments(Settings(), "No Such Folder", lr, {});
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().code, ErrorCode::NotFound);

  struct Case {
    const char* name;
    bool wrongPassword;
    bool unknownCa;
    std::string folder;
    ErrorCode code;
  } cases[] = {
      {"wrong password", true, false, "INBOX", ErrorCode::Auth},
      {"certificate from an unknown CA", false, true, "INBOX", ErrorCode::Tls},
      {"missing folder", false, false, "No Such Folder", ErrorCode::NotFound},
  };
  for (const Case& c : cases) {
    auto params = Params(listing, c.folder);
    if (c.wrongPassword) params.settings.password = "not the password";
    // The system's bundle never signed the test certificate.
    if (c.unknownCa) params.settings.caFile = "/etc/ssl/certs/ca-certificates.crt";
    Recorder rec;
    auto summary = ImapReceiveJob::Run(params, rec, {});
    EXPECT_EQ(summary.outcome, Outcome::Failed) << c.name;
    EXPECT_EQ(summary.error.code, c.code) << c.name << ": " << summary.error.message;
    EXPECT_EQ(summary.attemptsFailed, 0u) << c.name;
    EXPECT_TRUE(rec.failures.empty()) << c.name;
    EXPECT_EQ(summary.itemsSaved, 0u) << c.name;
  }
}

TEST_F(ImapReceive, AFileSentByDtlThroughPostfixIsListedAndRebuilt) {
  if (!fs::exists(dtltest::DtlPath())) GTEST_SKIP() << "dtl is not built";
  const auto source = dtltest::RandomBytes(150000, 101);
  dtltest::WriteFileBytes(dir_ / "sent.bin", source);
  const fs::path home = dir_ / "home";
  fs::create_directories(home / "tmp");
  const std::string env = "HOME=" + dtltest::ShellQuote(home.string()) +
                          " XDG_CONFIG_HOME=" + dtltest::ShellQuote((home / "config").string()) +
                          " XDG_STATE_HOME=" + dtltest::ShellQuote((home / "state").string()) +
                          " TMPDIR=" + dtltest::ShellQuote((home / "tmp").string()) +
                          " DTL_CA_FILE=" + dtltest::ShellQuote(mail_->caFile());
  dtltest::WriteFileText(dir_ / "login", MailSystem::password() + "\n");
  dtltest::WriteFileText(dir_ / "pw", "segment secret\n");
  for (const auto& [name, value] : std::vector<std::pair<std::string, std::string>>{
           {"SMTPServer", MailSystem::host()},
           {"SMTPPort", std::to_string(mail_->smtpsPort())},
           {"SSL", "1"},
           {"SMTPUserName", MailSystem::login()}}) {
    auto r = dtltest::RunDtl("config set " + name + " " + dtltest::ShellQuote(value), {}, env);
    ASSERT_EQ(r.status, 0) << r.all();
  }
  auto login = dtltest::RunDtl(
      "config set SMTPPass --password-file " + dtltest::ShellQuote((dir_ / "login").string()), {},
      env);
  ASSERT_EQ(login.status, 0) << login.all();
  auto sent = dtltest::RunDtl("send " + dtltest::ShellQuote((dir_ / "sent.bin").string()) +
                                  " --to " + MailSystem::address() +
                                  " --method smtp --segment-size 60000 --password-file " +
                                  dtltest::ShellQuote((dir_ / "pw").string()),
                              {}, env + " timeout 60");
  ASSERT_EQ(sent.status, 0) << sent.all();
  // Delivery through the queue takes a moment: wait for the three mails.
  ASSERT_EQ(mail_->ReadMailbox(3, {}, std::chrono::seconds(30)).size(), 3u);

  auto listing = List();
  ASSERT_EQ(listing.files.size(), 1u);
  EXPECT_EQ(listing.files[0].name, "sent.bin");
  EXPECT_TRUE(listing.files[0].NoGapSeen());
  Recorder rec;
  auto params = Params(listing);
  params.password = "segment secret";
  auto summary = ImapReceiveJob::Run(params, rec, {});
  ASSERT_EQ(summary.outcome, Outcome::Completed) << summary.error.message;
  EXPECT_TRUE(summary.corrupt.empty());
  EXPECT_TRUE(summary.AllRebuilt());
  EXPECT_EQ(dtltest::ReadFileBytes(dir_ / "out" / "sent.bin"), source);
}

// ---- scripted peer: what Dovecot will not send ----------------------------------------------

using dtltest::ImapScript;

// A scripted server with one message in its folder: `fetch` answers the fetch of its part 2;
// the LOGIN command, the folder, the LOGOUT and anything else are answered as a server does.
void OneMessageServer(ImapScript& script, ImapScript::Answers fetch) {
  script.greeting = "* OK [CAPABILITY IMAP4rev1] ready\r\n";
  script.answers = std::move(fetch);
  script.answers.insert(
      script.answers.end(),
      {{"LOGIN", "{TAG} OK [CAPABILITY IMAP4rev1] logged in\r\n"},
       {"EXAMINE", "* 1 EXISTS\r\n* OK [UIDVALIDITY 5] ok\r\n{TAG} OK [READ-ONLY] done\r\n"},
       {"LOGOUT", "* BYE bye\r\n{TAG} OK done\r\n<close>"},
       {"", "{TAG} OK done\r\n"}});
}

std::string Base64(const std::vector<uint8_t>& data) {
  static const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < data.size(); i += 3) {
    uint32_t n = data[i] << 16;
    if (i + 1 < data.size()) n |= data[i + 1] << 8;
    if (i + 2 < data.size()) n |= data[i + 2];
    out += a[(n >> 18) & 63];
    out += a[(n >> 12) & 63];
    out += i + 1 < data.size() ? a[(n >> 6) & 63] : '=';
    out += i + 2 < data.size() ? a[n & 63] : '=';
    if (out.size() % 78 == 76) out += "\r\n";
  }
  return out;
}

// The receive of one segment `name`, part 2 of UID 7 base64 in `encodedSize` bytes, from the
// scripted server on `port` into `out`: one connection, no merge.
ImapReceiveJob::Params OneSegment(int port, const fs::path& out, const std::string& name,
                                  uint64_t encodedSize) {
  ImapReceiveJob::Params p;
  p.settings.host = "127.0.0.1";
  p.settings.port = port;
  p.settings.user = "u";
  p.settings.password = "p";
  p.settings.ioTimeout = std::chrono::milliseconds(10000);
  p.outFolder = out;
  dtl::ImapSegmentRef ref;
  ref.item = {name, "7/2"};
  ref.uid = 7;
  ref.section = "2";
  ref.encoding = "base64";
  ref.encodedSize = encodedSize;
  p.items = {ref};
  p.jobs = 1;
  p.autoMerge = false;
  p.connector = dtltest::PretendTlsConnector();
  return p;
}

TEST(ImapReceiveScripted, AByeACutOrASilentServerMidFetchIsRetriedOnAFreshConnection) {
  dtltest::TempDir dir;
  auto segments = Split(dir / "split", "r.bin", dtltest::RandomBytes(30000, 7));
  const auto segment = dtltest::ReadFileBytes(segments[0]);
  const std::string body = Base64(segment);
  const std::string head = "* 1 FETCH (UID 7 BODY[2] {" + std::to_string(body.size()) + "}\r\n";
  // The first connection misbehaves at the fetch; the one the retry opens answers properly.
  const std::pair<std::string, std::string> faults[] = {
      {"bye", "* BYE server shutting down\r\n<close>"},
      {"cut", head + body.substr(0, body.size() / 2) + "<close>"},
      {"stall", "<hold>"},  // says nothing until the client gives up and hangs up
  };
  for (const auto& [fault, firstFetch] : faults) {
    ImapScript script;
    OneMessageServer(script,
                     {{"UID FETCH 7 (BODY.PEEK[2])", head + body + ")\r\n{TAG} OK done\r\n"}});
    script.firstAnswers = {{"UID FETCH 7 (BODY.PEEK[2])", firstFetch}};
    dtltest::LoopbackPeer server([&](int fd) {
      script.Serve(fd);
      return true;  // every retry is served
    });
    const fs::path out = dir / ("out-" + fault);
    fs::create_directories(out);
    auto p = OneSegment(server.port(), out, "r.bin.dtl", body.size());
    if (fault == "stall") p.settings.ioTimeout = std::chrono::milliseconds(500);
    p.uidValidity = 5;
    p.wait = [](std::chrono::milliseconds, std::stop_token) { return true; };
    Recorder rec;
    auto summary = ImapReceiveJob::Run(p, rec, {});
    ASSERT_EQ(summary.outcome, Outcome::Completed) << fault << ": " << summary.error.message;
    EXPECT_EQ(summary.attemptsFailed, 1u) << fault;
    ASSERT_EQ(rec.failures.size(), 1u) << fault;
    if (fault == "bye") {
      EXPECT_NE(rec.failures[0].find("server shutting down"), std::string::npos) << rec.failures[0];
    }
    EXPECT_EQ(script.connections(), 2) << fault;
    EXPECT_EQ(summary.itemsSaved, 1u) << fault;
    EXPECT_EQ(dtltest::ReadFileBytes(out / "r.bin.dtl"), segment) << fault;
    EXPECT_TRUE(ImapReceive::Leftovers(out).empty()) << fault;
  }
}

// A server throttling the account (a NO with [LIMIT], a BYE "Too many ...", a refused login
// with [UNAVAILABLE]) pauses the receive for the time it names or the configured pause, on a
// clock the test moves; then it reconnects and goes on, and every segment is fetched and saved
// exactly once. No throttling answer counts as a failed attempt.
TEST(ImapReceiveScripted, ThrottlingPausesTheReceiveThenItGoesOnFetchingEachSegmentOnce) {
  struct Case {
    const char* name;
    const char* command;  // the first connection's command that meets the throttle
    const char* answer;
    const char* status;   // the start of the pause status
    std::chrono::seconds wait;
    int fetches8;  // times the second segment's fetch is asked
  };
  const Case cases[] = {
      {"NoWithLimitAndABackoffTime", "UID FETCH 8",
       "{TAG} NO [LIMIT] Request is throttled. Suggested Backoff Time: 5000 milliseconds\r\n",
       "Receiving paused: the server is throttling this account (NO [LIMIT] Request is "
       "throttled. Suggested Backoff Time: 5000 milliseconds). Going on at ",
       std::chrono::seconds(5), 2},
      {"ByeTooManyConnections", "UID FETCH 8",
       "* BYE Too many simultaneous connections. (Failure)\r\n<close>",
       "Receiving paused: the server is throttling this account (BYE Too many simultaneous "
       "connections. (Failure)). Going on at ",
       std::chrono::seconds(120), 2},
      {"LoginRefusedAsUnavailable", "LOGIN",
       "{TAG} NO [UNAVAILABLE] Temporary System Error\r\n",
       "Receiving paused: the server is throttling this account (NO [UNAVAILABLE] Temporary "
       "System Error). Going on at ",
       std::chrono::seconds(120), 1},
  };
  dtltest::TempDir dir;
  auto segments = Split(dir / "split", "t.bin", dtltest::RandomBytes(30000, 9));
  ASSERT_GE(segments.size(), 2u);
  const auto first = dtltest::ReadFileBytes(segments[0]);
  const auto second = dtltest::ReadFileBytes(segments[1]);
  const std::string body7 = Base64(first), body8 = Base64(second);
  auto literal = [](int uid, const std::string& body) {
    return "* 1 FETCH (UID " + std::to_string(uid) + " BODY[2] {" + std::to_string(body.size()) +
           "}\r\n" + body + ")\r\n{TAG} OK done\r\n";
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ImapScript script;
    OneMessageServer(script, {{"UID FETCH 7 (BODY.PEEK[2])", literal(7, body7)},
                              {"UID FETCH 8 (BODY.PEEK[2])", literal(8, body8)}});
    script.firstAnswers = {{c.command, c.answer}};
    dtltest::LoopbackPeer server([&](int fd) {
      script.Serve(fd);
      return true;
    });
    const fs::path out = dir / (std::string("out-") + c.name);
    fs::create_directories(out);
    auto p = OneSegment(server.port(), out, "t.bin.dtl", body7.size());
    dtl::ImapSegmentRef ref8 = p.items[0];
    ref8.item = {"t.bin.001", "8/2"};
    ref8.uid = 8;
    ref8.encodedSize = body8.size();
    p.items.push_back(ref8);
    p.limitPauses.rate = std::chrono::seconds(120);
    // The clock stands still but for the waits, which move it as a real wait would.
    auto clock = std::make_shared<std::atomic<std::time_t>>(1796644800);
    std::vector<std::chrono::milliseconds> waited;
    p.clock = [clock] { return clock->load(); };
    p.wait = [clock, &waited](std::chrono::milliseconds d, std::stop_token stop) {
      waited.push_back(d);
      *clock += std::chrono::duration_cast<std::chrono::seconds>(d).count();
      return !stop.stop_requested();
    };
    Recorder rec;
    auto summary = ImapReceiveJob::Run(p, rec, {});
    ASSERT_EQ(summary.outcome, Outcome::Completed) << summary.error.message;
    EXPECT_EQ(summary.attemptsFailed, 0u);
    EXPECT_TRUE(rec.failures.empty()) << ::testing::PrintToString(rec.failures);
    ASSERT_EQ(rec.paused.size(), 1u);
    EXPECT_EQ(rec.paused[0].rfind(c.status, 0), 0u) << rec.paused[0];
    EXPECT_EQ(waited, std::vector<std::chrono::milliseconds>{c.wait});
    EXPECT_EQ(summary.itemsSaved, 2u);
    EXPECT_EQ(dtltest::ReadFileBytes(out / "t.bin.dtl"), first);
    EXPECT_EQ(dtltest::ReadFileBytes(out / "t.bin.001"), second);
    int fetches7 = 0, fetches8 = 0;
    for (const std::string& line : script.Seen()) {
      fetches7 += line.find("UID FETCH 7 ") != std::string::npos;
      fetches8 += line.find("UID FETCH 8 ") != std::string::npos;
    }
    EXPECT_EQ(fetches7, 1);
    EXPECT_EQ(fetches8, c.fetches8);
    EXPECT_EQ(script.connections(), 2);
  }
}

// A stop during a throttling pause ends the receive at once.
TEST(ImapReceiveScripted, AStopDuringAThrottlingPauseEndsTheReceiveAtOnce) {
  dtltest::TempDir dir;
  ImapScript script;
  OneMessageServer(script, {{"UID FETCH 7", "{TAG} NO [LIMIT] slow down\r\n"}});
  dtltest::LoopbackPeer server([&](int fd) {
    script.Serve(fd);
    return true;
  });
  auto p = OneSegment(server.port(), dir.path(), "s.bin.dtl", 100);
  std::stop_source stop;
  std::vector<std::chrono::milliseconds> waited;
  p.wait = [&](std::chrono::milliseconds d, std::stop_token token) {
    waited.push_back(d);
    stop.request_stop();  // the user presses Stop while the pause runs
    return !token.stop_requested();
  };
  Recorder rec;
  auto summary = ImapReceiveJob::Run(p, rec, stop.get_token());
  EXPECT_EQ(summary.outcome, Outcome::Stopped);
  EXPECT_EQ(rec.paused.size(), 1u);
  EXPECT_EQ(waited, std::vector<std::chrono::milliseconds>{std::chrono::seconds(900)});
  EXPECT_EQ(script.connections(), 1);
}

TEST(ImapReceiveScripted, ALiteralAnnouncingFiveGigabytesIsNeverAllocatedAndEndsAsCorrupt) {
  ImapScript script;
  // Five gigabytes announced; what follows is base64 of zeros, 25 MiB of it, unless the client
  // hangs up first.
  OneMessageServer(
      script, {{"UID FETCH 7 (BODY.PEEK[2])", "* 1 FETCH (UID 7 BODY[2] {5000000000}\r\n" +
                                                  std::string(400 * 64 * 1024, 'A') + "<close>"}});
  dtltest::LoopbackPeer peer([&](int fd) {
    script.Serve(fd);
    return true;
  });
  dtltest::TempDir dir;
  auto p = OneSegment(peer.port(), dir.path(), "huge.bin.001", 5000000000ull);
  Recorder rec;
  auto summary = ImapReceiveJob::Run(p, rec, {});
  EXPECT_EQ(summary.outcome, Outcome::Completed) << summary.error.message;
  EXPECT_EQ(summary.corrupt, (std::vector<std::string>{"huge.bin.001"}));
  const auto seen = script.Seen();
  EXPECT_EQ(std::count_if(seen.begin(), seen.end(),
                          [](const std::string& line) {
                            return line.find("BODY.PEEK[2]") != std::string::npos;
                          }),
            1)
      << "a segment too large is not fetched again";
  EXPECT_EQ(summary.attemptsFailed, 0u);
  EXPECT_FALSE(fs::exists(dir / "huge.bin.001"));
  EXPECT_TRUE(fs::is_empty(dir.path())) << "the partial file is removed";
}

}  // namespace
