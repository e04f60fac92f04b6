// The merge job on segment files built directly with the segment archive packer.
#include "archive/MergeJob.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <deque>
#include <functional>
#include <stop_token>

#include "archive/SegmentArchive.h"
#include "archive/SegmentBounds.h"
#include "archive/Par2.h"
#include "archive/SegmentCipher.h"
#include "archive/SegmentRecovery.h"
#include "support/TestSupport.h"

namespace {

using dtl::MergeJob;
using dtltest::ReadFileBytes;
using dtltest::TempDir;
using Outcome = MergeJob::Outcome;
namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

struct Recorder : dtl::MergeObserver {
  std::vector<std::string> names, messages, asked;
  std::vector<uint16_t> ranges;
  int steps = 0, finished = 0;
  bool openFolder = false;
  std::stop_source* cancelAfterFirstStep = nullptr;
  std::function<void()> onStep;
  // Answers to the replace question, in order; none left: the base class's answer (keep).
  std::deque<dtl::ReplaceMode> answers;
  // Every event's kind in the order it came: "name", "range", "repaired", "step", "message".
  std::vector<std::string> events;
  std::vector<std::vector<std::string>> repaired;
  void OnFileName(const std::string& t) override {
    names.push_back(t);
    events.push_back("name");
  }
  void OnProgressRange(uint16_t t) override {
    ranges.push_back(t);
    events.push_back("range");
  }
  void OnRepaired(const std::vector<std::string>& segments) override {
    repaired.push_back(segments);
    events.push_back("repaired");
  }
  void OnStep() override {
    ++steps;
    events.push_back("step");
    if (cancelAfterFirstStep) cancelAfterFirstStep->request_stop();
    if (onStep) onStep();
  }
  dtl::ReplaceMode ConfirmOutputReplace(const std::string& name) override {
    asked.push_back(name);
    if (answers.empty()) return dtl::MergeObserver::ConfirmOutputReplace(name);
    const dtl::ReplaceMode m = answers.front();
    answers.pop_front();
    return m;
  }
  void OnMessage(const std::string& t) override {
    messages.push_back(t);
    events.push_back("message");
  }
  void OnFinished(bool open) override { ++finished, openFolder = open; }
};

// Segment file names of one split file, in either naming of the descriptor.
struct Naming {
  const char* label;
  const char* descriptorEnding;  // after the file name
  const char* segmentSuffix;     // after ".NNN"
};
constexpr Naming kDownloaded{"downloaded", ".dtl", ""};
constexpr Naming kOffline{"offline", ".dtl.doc", ".doc"};

fs::path SegmentName(const fs::path& dir, const std::string& name, const Naming& n, int k) {
  if (k == 0) return dir / (name + n.descriptorEnding);
  char num[16];
  std::snprintf(num, sizeof num, ".%.3d", k);
  return dir / (name + num + n.segmentSuffix);
}

void WriteSegment(const fs::path& path, const Bytes& piece) {
  dtltest::WriteFileBytes(path, dtl::PackSegmentAes("DTL1A2B.tmp", piece, "", 1700000000));
}

// Cuts `data` into pieces of `size` bytes and writes them as segment files; returns the
// descriptor's path.
fs::path WriteSplit(const fs::path& dir, const std::string& name, const Bytes& data, size_t size,
                    const Naming& n) {
  int k = 0;
  for (size_t off = 0; off < data.size(); off += size, ++k) {
    Bytes piece(data.begin() + off, data.begin() + std::min(data.size(), off + size));
    WriteSegment(SegmentName(dir, name, n, k), piece);
  }
  return SegmentName(dir, name, n, 0);
}

MergeJob::Report Merge(std::vector<fs::path> descriptors, const fs::path& out, Recorder& rec,
                       unsigned threads = 0, std::stop_source* cancel = nullptr) {
  MergeJob::Params p;
  p.descriptors = std::move(descriptors);
  p.saveFolder = out;
  p.threads = threads;
  return MergeJob::Run(p, rec, cancel ? cancel->get_token() : std::stop_token());
}

Bytes Slice(const Bytes& b, size_t from, size_t to) {
  return Bytes(b.begin() + from, b.begin() + to);
}

// The zip inside a segment's AES form, and back.
Bytes ZipOf(const Bytes& piece) {
  return dtl::DecryptBytes(dtl::CipherAlgorithm::Aes, 128, dtl::kDefaultAesPassword,
                           dtl::PackSegmentAes("p.tmp", piece, "", 1700000000));
}
Bytes AesOf(const Bytes& zip) {
  return dtl::EncryptBytes(dtl::CipherAlgorithm::Aes, 128, dtl::kDefaultAesPassword, zip);
}
// Rewrites a byte range of the archive's central header.
Bytes WithCentral(Bytes zip, size_t at, size_t n, uint8_t value) {
  for (size_t i = 0; i + 4 <= zip.size(); ++i)
    if (zip[i] == 'P' && zip[i + 1] == 'K' && zip[i + 2] == 1 && zip[i + 3] == 2) {
      std::memset(&zip[i + at], value, n);
      break;
    }
  return zip;
}

std::string UnzipText(const fs::path& p) {
  return "Unable to unzip " + p.string() +
         ", either the file is corrupt or you entered the wrong password.";
}
std::string MissingText(const fs::path& p) {
  return "Could not complete the merge.\n\nCould not find segment:\n" + p.string();
}
std::string KeptText(const std::string& segments, const fs::path& partial) {
  return "\n\n" + segments + " kept in:\n" + partial.string();
}

// Lowers the file size limit of the whole test process for one merge, so a write beyond it fails
// as a full disk would (EFBIG instead of ENOSPC, and no signal).
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &old_);
    previous_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit lim = old_;
    lim.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &lim);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &old_);
    std::signal(SIGXFSZ, previous_);
  }

 private:
  rlimit old_{};
  void (*previous_)(int) = nullptr;
};

TEST(MergeJob, RebuildsTheFileInBothNamingsAndReportsEachStep) {
  // Pieces larger than the job's extraction chunk, so entries come out in several parts.
  const Bytes data = dtltest::RandomBytes(5 * 1000 * 1000 + 123, 7, true);
  for (const Naming& naming : {kDownloaded, kOffline})
    for (unsigned threads : {1u, 3u}) {
      SCOPED_TRACE(std::string(naming.label) + " threads " + std::to_string(threads));
      TempDir in, out;
      fs::path d = WriteSplit(in.path(), "movie.avi", data, 1500 * 1000 + 1, naming);
      Recorder rec;
      auto r = Merge({d}, out.path(), rec, threads);
      ASSERT_EQ(r.files.size(), 1u);
      EXPECT_TRUE(r.AllComplete());
      EXPECT_EQ(r.files[0].segmentsMerged, 4u);
      EXPECT_EQ(ReadFileBytes(out / "movie.avi"), data);
      EXPECT_FALSE(fs::exists(out / "movie.avi.incomplete"));
      EXPECT_TRUE(r.files[0].partial.empty());
      EXPECT_EQ(rec.names, std::vector<std::string>{(in.path() / "movie.avi").string()});
      EXPECT_EQ(rec.ranges, std::vector<uint16_t>{4});
      EXPECT_EQ(rec.steps, 4);
      EXPECT_TRUE(rec.messages.empty());
      EXPECT_EQ(rec.finished, 1);
      EXPECT_TRUE(rec.openFolder);
    }
}

// Runs of zeros are skipped over rather than written; the output must still read back as the
// zeros, including a run at the very end of the file.
TEST(MergeJob, ZeroRunsInsideAndAtTheEndComeBackAsZeros) {
  TempDir in, out;
  Bytes data(9 << 20, 0);
  Bytes mark = dtltest::RandomBytes(10, 19);
  std::copy(mark.begin(), mark.end(), data.begin() + (3 << 20));
  fs::path d = WriteSplit(in.path(), "disk.img", data, 4 << 20, kOffline);
  dtltest::WriteFileBytes(out / "disk.img", dtltest::RandomBytes(12 << 20, 20));  // longer, older
  Recorder rec;
  rec.answers = {dtl::ReplaceMode::Overwrite};
  ASSERT_TRUE(Merge({d}, out.path(), rec).AllComplete());
  EXPECT_EQ(fs::file_size(out / "disk.img"), data.size());
  EXPECT_EQ(ReadFileBytes(out / "disk.img"), data);
}

TEST(MergeJob, MissingMiddleSegmentKeepsWhatCameBeforeAsIncompleteAndGoesOnWithTheNextFile) {
  TempDir in, out;
  Bytes a = dtltest::RandomBytes(4000, 1), b = dtltest::RandomBytes(2500, 2);
  fs::path da = WriteSplit(in.path(), "a.bin", a, 1000, kDownloaded);
  fs::path db = WriteSplit(in.path(), "b.bin", b, 1000, kDownloaded);
  fs::remove(in / "a.bin.002");
  dtltest::WriteFileText(out / "a.bin", "an older, complete a.bin");
  Recorder rec;
  rec.answers = {dtl::ReplaceMode::Overwrite};
  auto r = Merge({da, db}, out.path(), rec);
  EXPECT_EQ(r.files[0].outcome, Outcome::MissingSegment);
  EXPECT_EQ(r.files[0].failedSegment, in / "a.bin.002");
  EXPECT_EQ(r.files[0].missingSegments, (std::vector<MergeJob::SegmentRange>{{2, 2}}));
  EXPECT_EQ(r.files[0].partial, out / "a.bin.incomplete");
  // Agreeing to replace it gives this merge's file the name only once it is whole.
  EXPECT_EQ(dtltest::ReadFileText(out / "a.bin"), "an older, complete a.bin");
  EXPECT_EQ(ReadFileBytes(out / "a.bin.incomplete"), Slice(a, 0, 2000));
  EXPECT_EQ(r.files[1].outcome, Outcome::Complete);
  EXPECT_TRUE(r.files[1].partial.empty());
  EXPECT_EQ(ReadFileBytes(out / "b.bin"), b);
  EXPECT_FALSE(fs::exists(out / "b.bin.incomplete"));
  EXPECT_EQ(rec.messages,
            std::vector<std::string>{MissingText(in / "a.bin.002") + "\n\nMissing segments: 2" +
                                     KeptText("Segments 0-1 are", out / "a.bin.incomplete")});
  EXPECT_TRUE(rec.openFolder);  // a missing segment does not stop the run
  EXPECT_FALSE(r.AllComplete());
}

// Every way a merge can end part-way: the final name never appears, the segments before the
// fault are kept under NAME.incomplete (or nothing when there is nothing before it), and the
// message names the segments missing or where the merge stopped.
TEST(MergeJob, MergeEndingPartWayNeverLeavesTheFinalName) {
  const Bytes data = dtltest::RandomBytes(5000, 30);  // five segments: 0 (descriptor) .. 4
  struct Case {
    const char* label;
    std::function<void(const fs::path& in)> spoil;
    rlim_t fileSizeLimit;  // 0: none
    Outcome outcome;
    size_t keptBytes;  // 0: no NAME.incomplete
    std::vector<MergeJob::SegmentRange> missing;
    std::function<std::string(const fs::path& in, const fs::path& kept)> message;
  } cases[] = {
      {"missing_003_of_five",
       [](const fs::path& in) { fs::remove(in / "r.bin.003"); },
       0,
       Outcome::MissingSegment,
       3000,
       {{3, 3}},
       [](const fs::path& in, const fs::path& kept) {
         return MissingText(in / "r.bin.003") + "\n\nMissing segments: 3" +
                KeptText("Segments 0-2 are", kept);
       }},
      {"two_gaps_are_both_named",
       [](const fs::path& in) {
         fs::remove(in / "r.bin.001");
         fs::remove(in / "r.bin.003");
       },
       0,
       Outcome::MissingSegment,
       1000,
       {{1, 1}, {3, 3}},
       [](const fs::path& in, const fs::path& kept) {
         return MissingText(in / "r.bin.001") + "\n\nMissing segments: 1, 3" +
                KeptText("Segment 0 is", kept);
       }},
      {"corrupt_middle_segment",
       [](const fs::path& in) {
         dtltest::WriteFileBytes(in / "r.bin.002", dtltest::RandomBytes(4096, 31));
       },
       0,
       Outcome::UnzipFailed,
       2000,
       {},
       [](const fs::path& in, const fs::path& kept) {
         return UnzipText(in / "r.bin.002") + "\n\nThe merge stopped at segment 2." +
                KeptText("Segments 0-1 are", kept);
       }},
      {"corrupt_descriptor_leaves_nothing",
       [](const fs::path& in) {
         dtltest::WriteFileBytes(in / "r.bin.dtl", dtltest::RandomBytes(4096, 32));
       },
       0,
       Outcome::UnzipFailed,
       0,
       {},
       [](const fs::path& in, const fs::path&) { return UnzipText(in / "r.bin.dtl"); }},
      // A full disk: the write of segment 2 fails half-way; what of it reached the disk is dropped.
      {"write_fails_in_segment_2",
       [](const fs::path&) {},
       2500,
       Outcome::WriteFailed,
       2000,
       {},
       [](const fs::path&, const fs::path& kept) {
         return "Could not merge segment file: " + std::string(std::strerror(EFBIG)) +
                "\n\nThe merge stopped at segment 2." + KeptText("Segments 0-1 are", kept);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    TempDir in, out;
    fs::path d = WriteSplit(in.path(), "r.bin", data, 1000, kDownloaded);
    c.spoil(in.path());
    Recorder rec;
    MergeJob::Report r;
    if (c.fileSizeLimit) {
      FileSizeLimit limit(c.fileSizeLimit);
      r = Merge({d}, out.path(), rec, 2);
    } else {
      r = Merge({d}, out.path(), rec, 2);
    }
    ASSERT_EQ(r.files.size(), 1u);
    EXPECT_EQ(r.files[0].outcome, c.outcome);
    EXPECT_FALSE(r.AllComplete());
    EXPECT_FALSE(fs::exists(out / "r.bin"));
    const fs::path kept = out / "r.bin.incomplete";
    if (c.keptBytes) {
      EXPECT_EQ(r.files[0].partial, kept);
      EXPECT_EQ(ReadFileBytes(kept), Slice(data, 0, c.keptBytes));
    } else {
      EXPECT_TRUE(r.files[0].partial.empty());
      EXPECT_FALSE(fs::exists(kept));
    }
    EXPECT_EQ(r.files[0].missingSegments, c.missing);
    EXPECT_EQ(rec.messages, std::vector<std::string>{c.message(in.path(), kept)});
  }
}

// Merging again after the missing segment turned up, into the folder that holds the segments:
// the unfinished file of the first attempt is neither counted as a segment nor left behind.
TEST(MergeJob, MergingAgainAfterTheGapIsFilledCompletesAndClearsTheUnfinishedFile) {
  TempDir in;
  const Bytes data = dtltest::RandomBytes(4000, 33);
  fs::path d = WriteSplit(in.path(), "again.bin", data, 1000, kOffline);
  const Bytes second = ReadFileBytes(in / "again.bin.002.doc");
  fs::remove(in / "again.bin.002.doc");
  Recorder first;
  ASSERT_EQ(Merge({d}, in.path(), first).files[0].outcome, Outcome::MissingSegment);
  ASSERT_TRUE(fs::exists(in / "again.bin.incomplete"));

  dtltest::WriteFileBytes(in / "again.bin.002.doc", second);
  Recorder rec;
  auto r = Merge({d}, in.path(), rec);
  EXPECT_EQ(r.files[0].outcome, Outcome::Complete);
  EXPECT_EQ(r.files[0].segmentsCounted, 4u);
  EXPECT_TRUE(rec.messages.empty());
  EXPECT_EQ(ReadFileBytes(in / "again.bin"), data);
  EXPECT_FALSE(fs::exists(in / "again.bin.incomplete"));
}

// Segments whose archive is not what it should be: each stops the run with the unzip message
// naming that segment, and nothing of it reaches the output.
TEST(MergeJob, UnreadableSegmentsStopTheRunAndKeepOnlyEarlierSegmentsAsIncomplete) {
  const Bytes piece = dtltest::RandomBytes(1000, 10, true);
  const Bytes whole = AesOf(ZipOf(piece));
  struct Case {
    const char* quirk;
    Bytes segment;
    bool tooLarge = false;  // the message says it is larger than any segment, not corrupt
  } cases[] = {
      {"crc_mismatch", AesOf(WithCentral(ZipOf(piece), 16, 1, 0x55))},
      {"declares_four_gib", AesOf(WithCentral(ZipOf(piece), 24, 4, 0xFF)), true},
      {"des_form", dtl::PackSegmentDes("p.tmp", piece, "", 1700000000)},
      {"other_password", dtl::PackSegmentAes("p.tmp", piece, "s3cret", 1700000000)},
      {"length_not_whole_blocks", Bytes(whole.begin(), whole.end() - 1)},
      {"random_bytes", dtltest::RandomBytes(4096, 11)},
      {"empty_file", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.quirk);
    TempDir in, out;
    Bytes data = dtltest::RandomBytes(2000, 12);
    fs::path d = WriteSplit(in.path(), "f", data, 1000, kDownloaded);
    dtltest::WriteFileBytes(in / "f.002", c.segment);
    WriteSegment(in / "f.003", piece);
    Recorder rec;
    auto r = Merge({d}, out.path(), rec);
    EXPECT_EQ(r.files[0].outcome, Outcome::UnzipFailed);
    EXPECT_TRUE(r.stopped());
    const std::string why =
        c.tooLarge ? "Unable to unzip " + (in / "f.002").string() +
                         ": segment f.002 is larger than the largest segment (10,000,000 bytes)."
                   : UnzipText(in / "f.002");
    const std::string text = why + "\n\nThe merge stopped at segment 2." +
                             KeptText("Segments 0-1 are", out / "f.incomplete");
    EXPECT_EQ(rec.messages, std::vector<std::string>{text});
    ASSERT_FALSE(r.status);
    EXPECT_EQ(r.status.error().code, dtl::ErrorCode::Corrupt);
    EXPECT_EQ(r.status.error().message, text);
    EXPECT_FALSE(fs::exists(out / "f"));
    EXPECT_EQ(ReadFileBytes(out / "f.incomplete"), data);
    EXPECT_FALSE(rec.openFolder);
  }
}

// A segment claiming a 4 GiB entry must not make the merge reserve that much: run it in a child
// whose address space is capped far below the claim.
TEST(MergeJob, DeclaredSizeNeverBecomesAnAllocation) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "sanitizers reserve more address space than the cap allows";
#endif
  TempDir in, out;
  dtltest::WriteFileBytes(in / "big.dtl",
                          AesOf(WithCentral(ZipOf(dtltest::RandomBytes(300000, 13)), 24, 4, 0xFF)));
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    rlimit lim{1u << 30, 1u << 30};
    setrlimit(RLIMIT_AS, &lim);
    Recorder rec;
    auto r = Merge({in / "big.dtl"}, out.path(), rec, 2);
    _exit(r.files[0].outcome == Outcome::UnzipFailed ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status)) << "the merge died";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(MergeJob, CancelEndsTheRunAfterTheSegmentInHandAndLeavesLaterFilesAlone) {
  TempDir in, out;
  Bytes a = dtltest::RandomBytes(3000, 15), b = dtltest::RandomBytes(1000, 16);
  fs::path da = WriteSplit(in.path(), "a", a, 1000, kDownloaded);
  fs::path db = WriteSplit(in.path(), "b", b, 1000, kDownloaded);
  dtltest::WriteFileText(out / "b", "keep me");
  std::stop_source cancel;
  Recorder rec;
  rec.cancelAfterFirstStep = &cancel;
  auto r = Merge({da, db}, out.path(), rec, 2, &cancel);
  EXPECT_TRUE(r.cancelled());
  ASSERT_FALSE(r.status);
  EXPECT_EQ(r.status.error().code, dtl::ErrorCode::Cancelled);
  EXPECT_EQ(r.files[0].outcome, Outcome::Cancelled);
  EXPECT_FALSE(fs::exists(out / "a"));
  EXPECT_EQ(r.files[0].partial, out / "a.incomplete");
  EXPECT_EQ(ReadFileBytes(out / "a.incomplete"), Slice(a, 0, 1000));
  EXPECT_TRUE(rec.messages.empty());  // no missing-segment message after a cancel
  EXPECT_EQ(r.files[1].outcome, Outcome::NotReached);
  EXPECT_EQ(dtltest::ReadFileText(out / "b"), "keep me");
  EXPECT_FALSE(rec.openFolder);
}

TEST(MergeJob, MissingDescriptorReportsItAndKeepsAnExistingOutput) {
  TempDir in, out;
  dtltest::WriteFileText(out / "gone.bin", "older");
  Recorder rec;
  auto r = Merge({in / "gone.bin.dtl"}, out.path(), rec);
  EXPECT_EQ(r.files[0].outcome, Outcome::MissingSegment);
  EXPECT_EQ(rec.messages, std::vector<std::string>{MissingText(in / "gone.bin.dtl")});
  EXPECT_EQ(dtltest::ReadFileText(out / "gone.bin"), "older");
}

TEST(MergeJob, UnwritableOutputStopsTheRunWithTheSystemText) {
  TempDir in;
  fs::path d = WriteSplit(in.path(), "w", dtltest::RandomBytes(100, 17), 1000, kDownloaded);
  Recorder rec;
  auto r = Merge({d, d}, in / "no-such-folder", rec);
  EXPECT_EQ(r.files[0].outcome, Outcome::WriteFailed);
  EXPECT_EQ(r.files[1].outcome, Outcome::NotReached);
  EXPECT_EQ(rec.messages,
            std::vector<std::string>{"Could not merge segment file: No such file or directory"});
  EXPECT_FALSE(rec.openFolder);
}

TEST(MergeJob, DescriptorWithoutExtensionIsNeverDeletedAsItsOwnOutput) {
  TempDir in;
  Bytes data = dtltest::RandomBytes(500, 18);
  WriteSegment(in / "plain", data);
  Bytes before = ReadFileBytes(in / "plain");
  Recorder rec;
  auto r = Merge({in / "plain"}, in.path(), rec);
  EXPECT_EQ(r.files[0].outcome, Outcome::WriteFailed);
  EXPECT_EQ(ReadFileBytes(in / "plain"), before);
}

// Files in the save folder other than what a test expects: the merge's temporary files must
// never be left behind.
std::vector<std::string> Listing(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// The output's name comes from a descriptor that may have been downloaded from anywhere: a
// file already under that name is the user's until the user says otherwise. Skip answers keep
// it untouched and merge nothing; Overwrite answers replace it with the rebuilt file; the All
// answers are asked once for the rest of the run; an observer that does not answer keeps it.
TEST(MergeJob, AnExistingOutputIsReplacedOnlyWhenTheObserverSaysSo) {
  using M = dtl::ReplaceMode;
  const Bytes a = dtltest::RandomBytes(2500, 40), b = dtltest::RandomBytes(1500, 41);
  struct Case {
    const char* label;
    std::deque<M> answers;
    std::vector<std::string> asked;
    Outcome outcomeA, outcomeB;
  } cases[] = {
      {"skip", {M::Skip, M::Skip}, {"a.txt", "b.txt"}, Outcome::Kept, Outcome::Kept},
      {"overwrite then skip", {M::Overwrite, M::Skip}, {"a.txt", "b.txt"}, Outcome::Complete,
       Outcome::Kept},
      {"skip all", {M::SkipAll}, {"a.txt"}, Outcome::Kept, Outcome::Kept},
      {"overwrite all", {M::OverwriteAll}, {"a.txt"}, Outcome::Complete, Outcome::Complete},
      {"no answer", {}, {"a.txt", "b.txt"}, Outcome::Kept, Outcome::Kept},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TempDir in, out;
    const fs::path da = WriteSplit(in.path(), "a.txt", a, 1000, kDownloaded);
    const fs::path db = WriteSplit(in.path(), "b.txt", b, 1000, kDownloaded);
    dtltest::WriteFileText(out / "a.txt", "the user's own a.txt");
    dtltest::WriteFileText(out / "b.txt", "the user's own b.txt");
    Recorder rec;
    rec.answers = c.answers;
    const auto r = Merge({da, db}, out.path(), rec);
    EXPECT_EQ(rec.asked, c.asked);
    EXPECT_EQ(r.files[0].outcome, c.outcomeA);
    EXPECT_EQ(r.files[1].outcome, c.outcomeB);
    EXPECT_TRUE(r.AllComplete()) << "keeping a file as asked is no failure";
    EXPECT_TRUE(rec.messages.empty());
    if (c.outcomeA == Outcome::Kept)
      EXPECT_EQ(dtltest::ReadFileText(out / "a.txt"), "the user's own a.txt");
    else
      EXPECT_EQ(ReadFileBytes(out / "a.txt"), a);
    if (c.outcomeB == Outcome::Kept)
      EXPECT_EQ(dtltest::ReadFileText(out / "b.txt"), "the user's own b.txt");
    else
      EXPECT_EQ(ReadFileBytes(out / "b.txt"), b);
    EXPECT_EQ(Listing(out.path()), (std::vector<std::string>{"a.txt", "b.txt"}));
  }
}

// A link planted under the output's name (or the unfinished name) is never written through:
// kept, it stays a link to an untouched file; replaced, the link itself gives way to the file.
TEST(MergeJob, ALinkAtTheOutputNameIsNeverFollowed) {
  const Bytes data = dtltest::RandomBytes(2500, 42);
  for (dtl::ReplaceMode answer : {dtl::ReplaceMode::Skip, dtl::ReplaceMode::Overwrite}) {
    SCOPED_TRACE(static_cast<int>(answer));
    TempDir in, out, elsewhere;
    const fs::path d = WriteSplit(in.path(), "notes.txt", data, 1000, kDownloaded);
    dtltest::WriteFileText(elsewhere / "precious", "not the merge's");
    fs::create_symlink(elsewhere / "precious", out / "notes.txt");
    fs::create_symlink(elsewhere / "also", out / "notes.txt.incomplete");
    Recorder rec;
    rec.answers = {answer};
    const auto r = Merge({d}, out.path(), rec);
    EXPECT_EQ(dtltest::ReadFileText(elsewhere / "precious"), "not the merge's");
    EXPECT_FALSE(fs::exists(elsewhere / "also"));
    if (answer == dtl::ReplaceMode::Skip) {
      EXPECT_EQ(r.files[0].outcome, Outcome::Kept);
      EXPECT_TRUE(fs::is_symlink(out / "notes.txt"));
    } else {
      EXPECT_EQ(r.files[0].outcome, Outcome::Complete);
      EXPECT_FALSE(fs::is_symlink(out / "notes.txt"));
      EXPECT_EQ(ReadFileBytes(out / "notes.txt"), data);
    }
  }
}

// The question is asked again at the end when the name was taken while the merge ran: the
// rebuilt file never replaces something nobody agreed to replace.
TEST(MergeJob, AnOutputAppearingDuringTheMergeIsReplacedOnlyWhenTheObserverSaysSo) {
  const Bytes data = dtltest::RandomBytes(3500, 43);
  for (bool replace : {false, true}) {
    SCOPED_TRACE(replace ? "overwrite" : "skip");
    TempDir in, out;
    const fs::path d = WriteSplit(in.path(), "late.bin", data, 1000, kDownloaded);
    Recorder rec;
    rec.answers = {replace ? dtl::ReplaceMode::Overwrite : dtl::ReplaceMode::Skip};
    rec.onStep = [&] {
      if (!fs::exists(out / "late.bin")) dtltest::WriteFileText(out / "late.bin", "appeared");
    };
    const auto r = Merge({d}, out.path(), rec, 1);
    EXPECT_EQ(rec.asked, std::vector<std::string>{"late.bin"});
    EXPECT_EQ(r.files[0].outcome, replace ? Outcome::Complete : Outcome::Kept);
    if (replace)
      EXPECT_EQ(ReadFileBytes(out / "late.bin"), data);
    else
      EXPECT_EQ(dtltest::ReadFileText(out / "late.bin"), "appeared");
    EXPECT_EQ(Listing(out.path()), std::vector<std::string>{"late.bin"});
  }
}

// No segment carries more than the largest segment payload, and no segment file is larger than
// the largest archive: anything beyond is refused as unreadable instead of being inflated onto
// the disk (an entry may claim up to 4 GiB) or read into memory whole.
TEST(MergeJob, SegmentsBeyondTheLargestSegmentAreUnreadable) {
  const Bytes small = dtltest::RandomBytes(100, 44);
  Bytes padded(dtl::kLargestSegmentArchive, 'j');  // bytes in front of a zip are allowed
  const Bytes zip = ZipOf(small);
  padded.insert(padded.end(), zip.begin(), zip.end());
  struct Case {
    const char* label;
    Bytes segment;  // the descriptor's bytes
    Outcome outcome;
  } cases[] = {
      {"entry of exactly the largest payload",
       dtl::PackSegmentAes("z.tmp", Bytes(dtl::kLargestSegmentPayload, 0), "", 1700000000),
       Outcome::Complete},
      {"entry inflating one byte past it",
       dtl::PackSegmentAes("z.tmp", Bytes(dtl::kLargestSegmentPayload + 1, 0), "", 1700000000),
       Outcome::UnzipFailed},
      {"archive larger than any segment", AesOf(padded), Outcome::UnzipFailed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TempDir in, out;
    dtltest::WriteFileBytes(in / "big.bin.dtl", c.segment);
    Recorder rec;
    const auto r = Merge({in / "big.bin.dtl"}, out.path(), rec);
    EXPECT_EQ(r.files[0].outcome, c.outcome);
    if (c.outcome == Outcome::UnzipFailed) {
      // Says why, rather than suggesting a wrong password.
      const std::string path = (in / "big.bin.dtl").string();
      EXPECT_EQ(rec.messages,
                std::vector<std::string>{"Unable to unzip " + path +
                                         ": segment big.bin.dtl is larger than the largest "
                                         "segment (10,000,000 bytes)."});
      EXPECT_TRUE(Listing(out.path()).empty());
    }
  }
}

// ---- recovery data ------------------------------------------------------------------------------

// The segment file names of a split into `count` files, as they lie in the folder.
std::vector<std::string> SegmentFileNames(const std::string& name, const Naming& n, int count) {
  std::vector<std::string> names;
  for (int k = 0; k < count; ++k) names.push_back(SegmentName("", name, n, k).string());
  return names;
}

// Ten segment files of "movie.avi" with recovery files at `percent` beside them; the data.
Bytes SplitWithRecovery(const fs::path& dir, const Naming& n, unsigned percent) {
  Bytes data = dtltest::RandomBytes(9500, 61);
  WriteSplit(dir, "movie.avi", data, 1000, n);
  auto made = dtl::MakeSegmentRecovery(dir, SegmentFileNames("movie.avi", n, 10), "movie.avi", percent);
  EXPECT_TRUE(made) << made.error().message;
  return data;
}

TEST(MergeJobRecovery, RecoveryFilesNeverCountAsSegments) {
  struct Case {
    const char* behaviour;
    Naming naming;
    bool docAppended;  // the recovery files carry ".doc" as mailed
  } cases[] = {
      {"download names", kDownloaded, false},
      {"offline split names", kOffline, false},
      {"recovery files still carrying .doc", kDownloaded, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.behaviour);
    TempDir in, out;
    const Bytes data = SplitWithRecovery(in.path(), c.naming, 30);
    if (c.docAppended)
      for (const auto& f : dtl::FindRecoveryFiles(in.path(), "movie.avi")) fs::rename(f, f.string() + ".doc");
    Recorder rec;
    const auto r = Merge({SegmentName(in.path(), "movie.avi", c.naming, 0)}, out.path(), rec);
    EXPECT_EQ(r.files[0].outcome, Outcome::Complete);
    EXPECT_EQ(r.files[0].segmentsCounted, 10u);
    EXPECT_EQ(rec.ranges, std::vector<uint16_t>{10});
    EXPECT_TRUE(rec.messages.empty());
    EXPECT_TRUE(rec.repaired.empty());
    EXPECT_EQ(ReadFileBytes(out / "movie.avi"), data);
  }
}

TEST(MergeJobRecovery, LostAndDamagedSegmentsAreRebuiltBeforeTheMerge) {
  struct Case {
    const char* behaviour;
    Naming naming;
    std::vector<int> remove, damage;
    std::vector<int> expectRepaired;
  } cases[] = {
      {"one middle segment lost", kDownloaded, {4}, {}, {4}},
      {"the last segment lost: it must not pass for the end", kDownloaded, {9}, {}, {9}},
      {"two lost, offline names", kOffline, {2, 7}, {}, {2, 7}},
      {"the descriptor itself lost", kOffline, {0}, {}, {0}},
      {"one damaged and one lost", kDownloaded, {8}, {1}, {1, 8}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.behaviour);
    TempDir in, out;
    const Bytes data = SplitWithRecovery(in.path(), c.naming, 30);
    for (int k : c.remove) fs::remove(SegmentName(in.path(), "movie.avi", c.naming, k));
    for (int k : c.damage) {
      const fs::path p = SegmentName(in.path(), "movie.avi", c.naming, k);
      Bytes b = ReadFileBytes(p);
      b[b.size() / 2] ^= 0xff;
      dtltest::WriteFileBytes(p, b);
    }
    Recorder rec;
    const auto r = Merge({SegmentName(in.path(), "movie.avi", c.naming, 0)}, out.path(), rec);
    EXPECT_EQ(r.files[0].outcome, Outcome::Complete);
    EXPECT_EQ(ReadFileBytes(out / "movie.avi"), data);
    std::vector<std::string> expected;
    for (int k : c.expectRepaired) expected.push_back(SegmentName("", "movie.avi", c.naming, k).string());
    EXPECT_EQ(r.files[0].repaired, expected);
    EXPECT_EQ(rec.repaired, std::vector<std::vector<std::string>>{expected});
    EXPECT_TRUE(rec.messages.empty());
    ASSERT_GE(rec.events.size(), 3u);
    EXPECT_EQ(rec.events[0], "name");
    EXPECT_EQ(rec.events[1], "repaired");
    EXPECT_EQ(std::count(rec.events.begin(), rec.events.end(), "step"), 10);
  }
}

TEST(MergeJobRecovery, TooFewRecoveryBlocksMergeNothingAndNameTheMissingSegments) {
  struct Case {
    const char* behaviour;
    std::vector<int> remove, damage;
    std::vector<MergeJob::SegmentRange> missing;
    const char* message;
  } cases[] = {
      {"three lost, two blocks", {2, 3, 6}, {}, {{2, 3}, {6, 6}},
       "movie.avi: 1 more recovery blocks are needed to repair 3 missing or damaged segments"},
      {"the last ones lost, which would look like the end", {8, 9, 5}, {}, {{5, 5}, {8, 9}},
       "movie.avi: 1 more recovery blocks are needed to repair 3 missing or damaged segments"},
      {"damaged ones count too", {0}, {1, 4}, {{0, 1}, {4, 4}},
       "movie.avi: 1 more recovery blocks are needed to repair 3 missing or damaged segments"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.behaviour);
    TempDir in, out;
    SplitWithRecovery(in.path(), kDownloaded, 20);
    for (int k : c.remove) fs::remove(SegmentName(in.path(), "movie.avi", kDownloaded, k));
    for (int k : c.damage) {
      const fs::path p = SegmentName(in.path(), "movie.avi", kDownloaded, k);
      Bytes b = ReadFileBytes(p);
      b[10] ^= 0xff;
      dtltest::WriteFileBytes(p, b);
    }
    const auto before = Listing(in.path());
    Recorder rec;
    const auto r = Merge({in / "movie.avi.dtl"}, out.path(), rec);
    EXPECT_EQ(r.files[0].outcome, Outcome::MissingSegment);
    EXPECT_EQ(r.files[0].missingSegments, c.missing);
    EXPECT_EQ(r.files[0].failedSegment, SegmentName(in.path(), "movie.avi", kDownloaded, static_cast<int>(c.missing[0].first)));
    EXPECT_EQ(rec.messages, std::vector<std::string>{c.message});
    EXPECT_TRUE(r.files[0].repaired.empty());
    EXPECT_TRUE(Listing(out.path()).empty());
    EXPECT_EQ(Listing(in.path()), before);
    EXPECT_TRUE(r.status.ok());
    EXPECT_FALSE(r.AllComplete());
  }
}

TEST(MergeJobRecovery, ARecoveryFileGivenAsTheDescriptorStandsForIt) {
  struct Case {
    const char* behaviour;
    Naming naming;
    std::vector<std::string> given;  // names in the folder given to the merge
    std::vector<int> remove;
  } cases[] = {
      {"the description file", kDownloaded, {"movie.avi.par2"}, {}},
      {"a volume file", kDownloaded, {"movie.avi.vol01+01.par2"}, {3}},
      {"a volume file of an offline split", kOffline, {"movie.avi.vol00+01.par2"}, {5}},
      {"the descriptor was the lost one", kDownloaded, {"movie.avi.par2"}, {0}},
      {"the descriptor was the lost one, offline names", kOffline, {"movie.avi.par2"}, {0, 9}},
      {"descriptor and recovery file merge once", kDownloaded, {"movie.avi.dtl", "movie.avi.par2"}, {}},
      {"recovery file and descriptor merge once", kOffline, {"movie.avi.vol02+01.par2", "movie.avi.dtl.doc"}, {1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.behaviour);
    TempDir in, out;
    const Bytes data = SplitWithRecovery(in.path(), c.naming, 30);
    for (int k : c.remove) fs::remove(SegmentName(in.path(), "movie.avi", c.naming, k));
    std::vector<fs::path> given;
    for (const auto& g : c.given) given.push_back(in / g);
    Recorder rec;
    const auto r = Merge(given, out.path(), rec);
    ASSERT_EQ(r.files.size(), 1u);
    EXPECT_EQ(r.files[0].descriptor, SegmentName(in.path(), "movie.avi", c.naming, 0));
    EXPECT_EQ(r.files[0].outcome, Outcome::Complete);
    EXPECT_EQ(r.files[0].repaired.size(), c.remove.size());
    EXPECT_EQ(ReadFileBytes(out / "movie.avi"), data);
    EXPECT_TRUE(rec.asked.empty());
    EXPECT_EQ(rec.names, std::vector<std::string>{(in.path() / "movie.avi").string()});
  }
}

TEST(MergeJobRecovery, NamesOfARecoveryFileLeadToItsDescriptor) {
  TempDir in;
  SplitWithRecovery(in.path(), kOffline, 10);
  struct Case {
    std::string given;
    std::string name, suffix;
  } cases[] = {
      {"movie.avi.par2", "movie.avi", ".doc"},
      {"movie.avi.vol00+01.par2", "movie.avi", ".doc"},
      {"movie.avi.par2.doc", "movie.avi", ".doc"},
      {"movie.avi.dtl.doc", "movie.avi", ".doc"},
      {"movie.avi.dtl", "movie.avi", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.given);
    const auto names = MergeJob::DeriveNames(in / c.given);
    EXPECT_EQ(names.prefix, in.path().string() + "/");
    EXPECT_EQ(names.name, c.name);
    EXPECT_EQ(names.segmentSuffix, c.suffix);
  }
}

TEST(MergeJobRecovery, UnusableRecoveryDataIsReportedAndTheMergeGoesOnWithoutIt) {
  struct Case {
    const char* behaviour;
    std::function<void(const fs::path& dir)> spoil;
    const char* named;  // what the message must name
  } cases[] = {
      {"recovery files of random bytes", [](const fs::path& dir) {
         for (const auto& f : dtl::FindRecoveryFiles(dir, "movie.avi"))
           dtltest::WriteFileBytes(f, dtltest::RandomBytes(3000, 5));
       }, "movie.avi.par2"},
      {"a set that would also write another file", [](const fs::path& dir) {
         for (const auto& f : dtl::FindRecoveryFiles(dir, "movie.avi")) fs::remove(f);
         auto names = SegmentFileNames("movie.avi", kDownloaded, 10);
         dtltest::WriteFileText(dir / "notes.txt", "the set's version");
         names.push_back("notes.txt");
         dtl::par2::CreateOptions o;
         o.sliceSize = 1200;
         o.recoveryBlocks = 3;
         ASSERT_TRUE(dtl::par2::CreateRecoveryFiles(dir, names, "movie.avi", o));
         dtltest::WriteFileText(dir / "notes.txt", "the user's own notes");
       }, "notes.txt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.behaviour);
    TempDir in, out;
    const Bytes data = SplitWithRecovery(in.path(), kDownloaded, 20);
    c.spoil(in.path());
    Recorder rec;
    const auto r = Merge({in / "movie.avi.dtl"}, out.path(), rec);
    EXPECT_EQ(r.files[0].outcome, Outcome::Complete);
    EXPECT_EQ(ReadFileBytes(out / "movie.avi"), data);
    EXPECT_TRUE(r.files[0].repaired.empty());
    ASSERT_EQ(rec.messages.size(), 1u);
    EXPECT_NE(rec.messages[0].find(c.named), std::string::npos) << rec.messages[0];
    if (fs::exists(in / "notes.txt")) {
      EXPECT_EQ(dtltest::ReadFileText(in / "notes.txt"), "the user's own notes");
    }
  }
}

TEST(MergeJobRecovery, AStopBeforeTheRepairLeavesTheSegmentsAsTheyAre) {
  TempDir in, out;
  SplitWithRecovery(in.path(), kDownloaded, 20);
  fs::remove(in / "movie.avi.004");
  const auto before = Listing(in.path());
  std::stop_source stop;
  // The stop comes with the file's name, the last event before the repair.
  struct StopAtName : Recorder {
    std::stop_source* stop = nullptr;
    void OnFileName(const std::string& t) override {
      Recorder::OnFileName(t);
      stop->request_stop();
    }
  } stopper;
  stopper.stop = &stop;
  const auto r = Merge({in / "movie.avi.dtl"}, out.path(), stopper, 0, &stop);
  EXPECT_TRUE(r.cancelled());
  EXPECT_EQ(r.files[0].outcome, Outcome::Cancelled);
  EXPECT_EQ(Listing(in.path()), before);
  EXPECT_TRUE(Listing(out.path()).empty());
}

}  // namespace
