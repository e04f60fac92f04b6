#include "archive/OfflineSplit.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <numeric>
#include <stop_token>

#include "archive/DesContext.h"
#include "archive/MergeJob.h"
#include "archive/SegmentRecovery.h"
#include "archive/SegmentCipher.h"
#include "archive/SegmentList.h"
#include "support/TestSupport.h"

namespace dtl {
namespace {

namespace fs = std::filesystem;
using dtltest::ReadFileBytes;
using dtltest::TempDir;

struct Recorder : OfflineSplitObserver {
  void OnStarted(uint64_t n) override { started = n; }
  void OnPieceWritten(uint64_t k, const std::string& path) override {
    pieces.push_back(k);
    paths.push_back(path);
    if (onPiece) onPiece(k);
  }
  void OnError(const std::string& text) override { errors.push_back(text); }
  void OnRecoveryStarted(uint32_t blocks) override {
    recoveryBlocks = blocks;
    recoveryStartedAfter = pieces.size();
  }
  void OnRecoveryWritten(const std::vector<std::string>& paths) override { recovery = paths; }
  uint64_t started = 0;
  uint32_t recoveryBlocks = 0;
  size_t recoveryStartedAfter = 0;  // pieces heard of when the recovery data began
  std::vector<std::string> recovery;
  std::vector<uint64_t> pieces;
  std::vector<std::string> paths;
  std::vector<std::string> errors;
  std::function<void(uint64_t)> onPiece;
};

// The names of pieces 1..n of "x" and `others`, as sorted folder listings give them.
std::vector<std::string> PrefixNames(uint64_t n, std::vector<std::string> others = {}) {
  for (uint64_t k = 1; k <= n; ++k)
    others.push_back(SegmentFileName("x", static_cast<int64_t>(k - 1)));
  std::sort(others.begin(), others.end());
  return others;
}

// A source "x" of `size` bytes and an empty folder "out" in a private folder.
class OfflineSplitTest : public ::testing::Test {
 protected:
  std::vector<uint8_t> MakeSource(size_t size) {
    source_ = dtltest::RandomBytes(size, 11, true);
    dtltest::WriteFileBytes(dir_ / "x", source_);
    fs::create_directories(dir_ / "out");
    return source_;
  }
  OfflineSplitParams Params(uint64_t segment, unsigned threads) const {
    OfflineSplitParams p;
    p.source = (dir_ / "x").string();
    p.folder = (dir_ / "out").string();  // no trailing "/"
    p.segmentSize = segment;
    p.threads = threads;
    return p;
  }
  OfflineSplitResult Run(const OfflineSplitParams& p, OfflineSplitObserver& observer) {
    return RunOfflineSplit(p, observer, stop_.get_token());
  }
  std::vector<std::string> Folder() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_ / "out"))
      names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  // The pieces the files hold, decrypted by openssl and read by Python's zipfile.
  std::vector<uint8_t> Rejoin(const Recorder& rec, bool des, const std::string& password) {
    std::vector<uint8_t> joined;
    for (const auto& path : rec.paths) {
      auto zip = des ? dtltest::OpensslDecrypt("-des-ecb -provider legacy -provider default -K " +
                                                   dtltest::Hex(DesKeyFromPassword(password)),
                                               ReadFileBytes(path))
                     : dtltest::OpensslAesFormDecrypt(password, ReadFileBytes(path));
      if (!zip || zip->size() < 8) return {};
      if (des) zip->resize(zip->size() - 8 - std::min<size_t>(zip->back(), zip->size() - 8));
      auto entries = dtltest::PythonZipEntries(*zip);
      if (!entries || entries->size() != 1) return {};
      EXPECT_EQ((*entries)[0].name, fs::path(path).filename().string());
      joined.insert(joined.end(), (*entries)[0].bytes.begin(), (*entries)[0].bytes.end());
    }
    return joined;
  }

  TempDir dir_;
  std::vector<uint8_t> source_;
  std::stop_source stop_;
};

// Both forms (AES by default, DES for EncMethod 2) with their default or a given password.
TEST_F(OfflineSplitTest, FilesAreMailedSegmentsThatRebuildTheSource) {
  const struct {
    uint32_t encMethod;
    const char* password;
    unsigned threads;
    std::string_view used;
  } cases[] = {{1, "", 1, kDefaultAesPassword},
               {1, "s3cret pw", 4, "s3cret pw"},
               {2, "", 2, kDefaultDesPassword}};
  for (const auto& c : cases) {
    MakeSource(25000);
    auto params = Params(10000, c.threads);
    params.password = c.password;
    params.encMethod = c.encMethod;
    Recorder rec;
    const auto result = Run(params, rec);
    ASSERT_TRUE(result.ok()) << (rec.errors.empty() ? "" : rec.errors[0]);
    EXPECT_EQ(result.count, 3u);
    EXPECT_EQ(rec.started, 3u);
    EXPECT_EQ(rec.pieces, (std::vector<uint64_t>{1, 2, 3}));
    EXPECT_EQ(Folder(), PrefixNames(3));
    EXPECT_EQ(Rejoin(rec, c.encMethod == 2, std::string(c.used)), source_) << c.used;
  }
}

TEST_F(OfflineSplitTest, ShorterResplitRemovesTheOldTailSegments) {
  MakeSource(25000);
  Recorder first, second;
  ASSERT_TRUE(Run(Params(5000, 2), first).ok());  // 5 segments
  dtltest::WriteFileText(dir_ / "out" / "x.007.doc", "not next in line: kept");
  dtltest::WriteFileText(dir_ / "out" / "y.002.doc", "another file's: kept");
  ASSERT_TRUE(Run(Params(10000, 2), second).ok());  // 3 segments
  EXPECT_EQ(Folder(), PrefixNames(3, {"x.007.doc", "y.002.doc"}));
}

TEST_F(OfflineSplitTest, ObserverHearsPiecesInOrderWithManyThreads) {
  MakeSource(200 * 1000 + 17);
  Recorder rec;
  ASSERT_TRUE(Run(Params(1000, 4), rec).ok());
  std::vector<uint64_t> inOrder(201);
  std::iota(inOrder.begin(), inOrder.end(), 1);
  EXPECT_EQ(rec.pieces, inOrder);
  EXPECT_EQ(Folder(), PrefixNames(201));  // and no private ".part" files
}

// A stopped split is a part of a set, which would merge without complaint into the first part
// of the file: the pieces written are removed again, with the other threads' pieces in flight.
TEST_F(OfflineSplitTest, StopRemovesEveryPieceTheRunWrote) {
  for (unsigned threads : {1u, 4u}) {
    fs::remove_all(dir_ / "out");
    // Many small pieces, so the workers' look-ahead can never finish the run before the stop.
    MakeSource(100000);
    dtltest::WriteFileText(dir_ / "out" / "y.001.doc", "another file's: kept");
    stop_ = std::stop_source();
    Recorder rec;
    rec.onPiece = [&](uint64_t k) {
      if (k == 2) stop_.request_stop();
    };
    const auto result = Run(Params(1000, threads), rec);
    EXPECT_TRUE(result.stopped() && !result.ok());
    ASSERT_FALSE(result.status);
    EXPECT_EQ(result.status.error().code, ErrorCode::Cancelled);
    EXPECT_TRUE(rec.errors.empty());
    // The observer heard of the pieces as they were written, and they all went again.
    EXPECT_EQ(rec.pieces, (std::vector<uint64_t>{1, 2}));
    EXPECT_EQ(result.removed, 2u);
    EXPECT_EQ(result.written, 0u);
    EXPECT_EQ(Folder(), std::vector<std::string>{"y.001.doc"}) << threads << " threads";
  }
}

// The token is read after a piece, so a stop asked for before the run still writes piece 1,
// and removes it again.
TEST_F(OfflineSplitTest, StopRequestedBeforeTheRunIsCancelledAfterTheFirstPiece) {
  MakeSource(100000);
  stop_.request_stop();
  Recorder rec;
  const auto result = Run(Params(1000, 1), rec);
  ASSERT_FALSE(result.status);
  EXPECT_EQ(result.status.error().code, ErrorCode::Cancelled);
  EXPECT_EQ(rec.pieces, std::vector<uint64_t>{1});
  EXPECT_EQ(result.written, 0u);
  EXPECT_EQ(result.removed, 1u);
  EXPECT_EQ(result.count, 100u);
  EXPECT_TRUE(rec.errors.empty());
  EXPECT_TRUE(Folder().empty());
}

// A failed split, like a stopped one, leaves a first part of the file that would merge without
// complaint as all of it: every piece it wrote goes again, and the result says how many.
TEST_F(OfflineSplitTest, FailedPieceRemovesEveryPieceTheRunWrote) {
  for (unsigned threads : {1u, 4u}) {
    SCOPED_TRACE(std::to_string(threads) + " threads");
    fs::remove_all(dir_ / "out");
    MakeSource(100000);
    // A folder where piece 4 should go makes that piece fail while later ones succeed.
    fs::create_directory(dir_ / "out" / "x.003.doc");
    Recorder rec;
    const auto result = Run(Params(10000, threads), rec);
    EXPECT_FALSE(result.ok());
    EXPECT_EQ(result.written, 0u);
    EXPECT_EQ(result.removed, 3u);
    EXPECT_EQ(rec.pieces, (std::vector<uint64_t>{1, 2, 3}));
    EXPECT_EQ(rec.errors, std::vector<std::string>{"Is a directory"});
    ASSERT_FALSE(result.status);
    EXPECT_EQ(result.status.error().message, "Is a directory");
    EXPECT_FALSE(result.stopped());
    EXPECT_EQ(Folder(), std::vector<std::string>{"x.003.doc"});
  }
}

// A source cut short under the run (as a file truncated by another program): the short set
// would merge into a shorter file, so none of it stays.
TEST_F(OfflineSplitTest, SourceThatShrinksUnderTheRunIsAFailureAndLeavesNoSegments) {
  MakeSource(50000);
  struct Shrinker : Recorder {
    fs::path victim;
    void OnStarted(uint64_t n) override { fs::resize_file(victim, 25000); }
  } shrink;
  shrink.victim = dir_ / "x";
  const auto result = Run(Params(10000, 2), shrink);
  EXPECT_FALSE(result.ok());
  EXPECT_FALSE(result.stopped());
  EXPECT_EQ(result.written, 0u);
  EXPECT_EQ(result.removed, 2u);
  EXPECT_EQ(shrink.pieces, (std::vector<uint64_t>{1, 2}));
  EXPECT_EQ(shrink.errors, std::vector<std::string>{"The file " + (dir_ / "x").string() +
                                                    " changed while it was being split."});
  EXPECT_TRUE(Folder().empty());
}

TEST_F(OfflineSplitTest, RunsThatCannotStartSayWhy) {
  MakeSource(100);
  dtltest::WriteFileBytes(dir_ / "empty", {});
  const std::string x = (dir_ / "x").string(), out = (dir_ / "out").string();
  const struct {
    std::string source, folder, error;
    unsigned recoveryPercent = 0;
  } cases[] = {
      {(dir_ / "empty").string(), out,
       "The file " + (dir_ / "empty").string() + " size is too small (0)"},
      {(dir_ / "nope").string(), out, "No such file or directory"},
      {x, x, "Not a directory"},
      {x, (dir_ / "nowhere").string(), "No such file or directory"},
      {x, out, "Invalid argument", 101},
  };
  for (const auto& c : cases) {
    auto p = Params(10000, 2);
    p.source = c.source;
    p.folder = c.folder;
    p.recoveryPercent = c.recoveryPercent;
    Recorder rec;
    const auto result = Run(p, rec);
    EXPECT_FALSE(result.ok()) << c.error;
    EXPECT_EQ(result.written, 0u) << c.error;
    EXPECT_EQ(rec.errors, std::vector<std::string>{c.error});
    ASSERT_FALSE(result.status) << c.error;
    EXPECT_EQ(result.status.error().message, c.error);
    EXPECT_NE(result.status.error().code, ErrorCode::Cancelled) << c.error;
  }
}

TEST_F(OfflineSplitTest, ReadOnlyFolderGivesTheSystemError) {
  MakeSource(100);
  chmod(dir_.path().c_str(), 0755);
  chmod((dir_ / "out").c_str(), 0555);
  // Folder permissions bind everyone but the superuser, so a privileged run splits as "nobody"
  // in a child process.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
        Recorder rec;
        const auto result = Run(Params(10000, 1), rec);
        for (const auto& e : rec.errors) fprintf(stderr, "error: %s\n", e.c_str());
        _exit(!result.ok() && rec.errors == std::vector<std::string>{"Permission denied"} ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "error: Permission denied");
  EXPECT_TRUE(Folder().empty());
}

// ---- recovery data ------------------------------------------------------------------------------

// par2 0.8.1 cannot handle one-letter file names, so these runs split "movie.bin".
class OfflineRecoveryTest : public OfflineSplitTest {
 protected:
  std::vector<uint8_t> MakeMovie(size_t size) {
    movie_ = dtltest::RandomBytes(size, 12);
    dtltest::WriteFileBytes(dir_ / "movie.bin", movie_);
    fs::create_directories(dir_ / "out");
    return movie_;
  }
  OfflineSplitParams MovieParams(uint64_t segment, unsigned threads, unsigned percent) const {
    auto p = Params(segment, threads);
    p.source = (dir_ / "movie.bin").string();
    p.recoveryPercent = percent;
    return p;
  }
  std::vector<std::string> MovieNames(uint64_t pieces, std::vector<std::string> others = {}) const {
    for (uint64_t k = 1; k <= pieces; ++k)
      others.push_back(SegmentFileName("movie.bin", static_cast<int64_t>(k - 1)));
    std::sort(others.begin(), others.end());
    return others;
  }
  fs::path Out(const std::string& name) const { return dir_ / "out" / name; }
  dtltest::CommandResult Par2(const std::string& args) const {
    return dtltest::RunCommand("cd " + dtltest::ShellQuote((dir_ / "out").string()) + " && par2 " +
                               args + " 2>&1");
  }
  std::vector<uint8_t> movie_;
};

TEST_F(OfflineRecoveryTest, RecoveryFilesLieBesideThePiecesAndRebuildLostOnes) {
  enum class Repairer { Par2, OwnMerge };
  struct Case {
    const char* behaviour;
    unsigned percent, threads;
    std::vector<uint64_t> remove;  // pieces (1 = the descriptor) deleted after the split
    Repairer repairer;
  } cases[] = {
      {"par2 repairs two lost pieces", 10, 1, {3, 17}, Repairer::Par2},
      {"par2 repairs the lost descriptor", 10, 4, {1, 20}, Repairer::Par2},
      {"our merge repairs two lost pieces", 10, 4, {2, 11}, Repairer::OwnMerge},
      {"our merge repairs the lost descriptor and the last piece", 15, 2, {1, 20}, Repairer::OwnMerge},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.behaviour);
    if (c.repairer == Repairer::Par2 && !dtltest::HaveCommand("par2")) {
      GTEST_SKIP() << "par2 is not installed";
    }
    fs::remove_all(dir_ / "out");
    MakeMovie(20 * 5000 - 123);  // 20 pieces
    Recorder rec;
    const auto result = Run(MovieParams(5000, c.threads, c.percent), rec);
    ASSERT_TRUE(result.ok()) << result.status.error().message;
    const uint32_t blocks = RecoveryBlockCount(20, c.percent);
    std::vector<std::string> expected;
    for (const auto& n : RecoveryFileNames("movie.bin", blocks)) expected.push_back(Out(n).string());
    EXPECT_EQ(rec.recoveryBlocks, blocks);
    EXPECT_EQ(rec.recoveryStartedAfter, 20u);
    EXPECT_EQ(rec.recovery, expected);
    EXPECT_EQ(result.recoveryFiles, expected);
    EXPECT_EQ(Folder(), MovieNames(20, RecoveryFileNames("movie.bin", blocks)));
    if (dtltest::HaveCommand("par2")) {
      // The set accepted as it lies, by a reader nobody here wrote.
      const auto verified = Par2("verify -q movie.bin.par2");
      EXPECT_EQ(verified.status, 0) << verified.output;
    }

    std::map<std::string, std::vector<uint8_t>> original;
    for (const auto& n : MovieNames(20)) original[n] = ReadFileBytes(Out(n));
    for (uint64_t k : c.remove) fs::remove(Out(SegmentFileName("movie.bin", static_cast<int64_t>(k - 1))));
    if (c.repairer == Repairer::Par2) {
      const auto repaired = Par2("repair -q movie.bin.par2");
      ASSERT_EQ(repaired.status, 0) << repaired.output;
      for (const auto& [n, bytes] : original) EXPECT_EQ(ReadFileBytes(Out(n)), bytes) << n;
    } else {
      TempDir merged;
      struct : MergeObserver {
      } quiet;
      MergeJob::Params mp;
      mp.descriptors = {Out("movie.bin.dtl.doc")};
      mp.saveFolder = merged.path();
      const auto report = MergeJob::Run(mp, quiet, {});
      ASSERT_EQ(report.files.size(), 1u);
      EXPECT_EQ(report.files[0].outcome, MergeJob::Outcome::Complete);
      EXPECT_EQ(report.files[0].repaired.size(), c.remove.size());
      EXPECT_EQ(ReadFileBytes(merged / "movie.bin"), movie_);
    }
  }
}

TEST_F(OfflineRecoveryTest, AStopOrFailureWhileMakingRecoveryDataLeavesNothingOfTheRun) {
  struct Case {
    const char* behaviour;
    bool stopAtLastPiece;
    std::string blocker;  // a folder under a recovery file's name makes writing it fail
    std::vector<std::string> left;
  } cases[] = {
      {"a stop during the recovery data", true, "", {"y.001.doc"}},
      {"a recovery file that cannot be written", false, "movie.bin.vol01+01.par2",
       {"movie.bin.vol01+01.par2", "y.001.doc"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.behaviour);
    fs::remove_all(dir_ / "out");
    MakeMovie(20 * 5000);
    dtltest::WriteFileText(Out("y.001.doc"), "another file's: kept");
    if (!c.blocker.empty()) fs::create_directory(Out(c.blocker));
    stop_ = std::stop_source();
    Recorder rec;
    if (c.stopAtLastPiece)
      rec.onPiece = [&](uint64_t k) {
        if (k == 20) stop_.request_stop();
      };
    const auto result = Run(MovieParams(5000, 2, 20), rec);
    EXPECT_FALSE(result.ok());
    EXPECT_EQ(result.stopped(), c.stopAtLastPiece);
    EXPECT_EQ(rec.errors.size(), c.stopAtLastPiece ? 0u : 1u);
    EXPECT_EQ(result.written, 0u);
    EXPECT_EQ(result.removed, 20u);
    EXPECT_TRUE(result.recoveryFiles.empty());
    EXPECT_TRUE(rec.recovery.empty());
    EXPECT_EQ(Folder(), c.left);
  }
}

TEST_F(OfflineRecoveryTest, AnEarlierSplitsRecoveryFilesGoAfterACompleteRun) {
  struct Case {
    const char* behaviour;
    unsigned secondPercent;
  } cases[] = {
      {"fewer blocks the second time", 10},
      {"no recovery data the second time", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.behaviour);
    fs::remove_all(dir_ / "out");
    MakeMovie(20 * 5000);
    Recorder first, second;
    ASSERT_TRUE(Run(MovieParams(5000, 2, 20), first).ok());
    ASSERT_EQ(first.recovery.size(), 5u);
    dtltest::WriteFileText(Out("movie.bin.vol00+09.par2.doc"), "an older set's, as mailed");
    dtltest::WriteFileText(Out("other.bin.par2"), "another file's: kept");
    fs::create_directory(Out("movie.bin.vol07+01.par2"));  // not a file: left alone
    ASSERT_TRUE(Run(MovieParams(5000, 2, c.secondPercent), second).ok());
    EXPECT_EQ(Folder(), MovieNames(20, [&] {
                auto names = RecoveryFileNames("movie.bin", RecoveryBlockCount(20, c.secondPercent));
                names.push_back("other.bin.par2");
                names.push_back("movie.bin.vol07+01.par2");
                return names;
              }()));
  }
}

}  // namespace
}  // namespace dtl
