#include "send/OfflineSplit.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <sstream>

#include "archive/DesContext.h"
#include "archive/SegmentCipher.h"
#include "send/SegmentList.h"
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
  uint64_t started = 0;
  std::vector<uint64_t> pieces;
  std::vector<std::string> paths;
  std::vector<std::string> errors;
  std::function<void(uint64_t)> onPiece;
};

struct Entry {
  std::string name;
  std::vector<uint8_t> bytes;
};

// Entry 0 of each zip archive, read by Python's zipfile (one interpreter for all of them).
std::vector<Entry> ZipEntries0(const std::vector<std::vector<uint8_t>>& zips) {
  TempDir dir;
  std::string args;
  for (size_t i = 0; i < zips.size(); ++i) {
    dtltest::WriteFileBytes(dir / std::to_string(i), zips[i]);
    args += " " + dtltest::ShellQuote((dir / std::to_string(i)).string());
  }
  const auto r = dtltest::RunCommand(
      "python3 -c 'import sys, zipfile\n"
      "for a in sys.argv[1:]:\n"
      "  z = zipfile.ZipFile(a); e = z.infolist()[0]\n"
      "  open(a + \".entry\", \"wb\").write(z.read(e)); print(e.filename)'" + args);
  EXPECT_EQ(r.status, 0) << r.output;
  std::vector<Entry> out;
  if (r.status != 0) return out;
  std::istringstream names(r.output);
  for (size_t i = 0; i < zips.size(); ++i) {
    Entry e;
    std::getline(names, e.name);
    e.bytes = ReadFileBytes(dir / (std::to_string(i) + ".entry"));
    out.push_back(std::move(e));
  }
  return out;
}

std::vector<uint8_t> UndoDesForm(std::vector<uint8_t> data, std::string_view password) {
  const auto key = DesKeyFromPassword(password);
  const DesContext des(key.data());
  if (data.size() < 8 || data.size() % 8 != 0) return {};
  for (size_t i = 0; i < data.size(); i += 8) des.DecryptBlock(data.data() + i);
  const size_t pad = data.back();
  if (pad + 8 > data.size()) return {};
  data.resize(data.size() - 8 - pad);
  return data;
}

std::vector<std::string> FolderNames(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// The names of pieces 1..n of "x", as sorted folder listings give them.
std::vector<std::string> PrefixNames(uint64_t n) {
  std::vector<std::string> names;
  for (uint64_t k = 1; k <= n; ++k) names.push_back(SegmentFileName("x", static_cast<int64_t>(k - 1)));
  std::sort(names.begin(), names.end());
  return names;
}

OfflineSplitParams Params(const TempDir& dir, uint64_t segment, unsigned threads) {
  OfflineSplitParams p;
  p.source = (dir / "x").string();
  p.folder = (dir / "out").string();  // no trailing "/"
  p.segmentSize = segment;
  p.threads = threads;
  return p;
}

TEST(OfflineSplit, AesFilesAreMailedSegmentsThatRebuildTheSource) {
  for (const auto& [password, threads] : {std::pair{"", 1u}, std::pair{"s3cret pw", 4u}}) {
    TempDir dir;
    const auto source = dtltest::RandomBytes(25000, 11, true);
    dtltest::WriteFileBytes(dir / "x", source);
    fs::create_directory(dir / "out");
    auto params = Params(dir, 10000, threads);
    params.password = password;
    Recorder rec;
    std::atomic<bool> stop{false};
    const auto result = RunOfflineSplit(params, rec, stop);
    ASSERT_TRUE(result.ok) << (rec.errors.empty() ? "" : rec.errors[0]);
    EXPECT_EQ(result.count, 3u);
    EXPECT_EQ(result.written, 3u);
    EXPECT_EQ(rec.started, 3u);
    EXPECT_EQ(rec.pieces, (std::vector<uint64_t>{1, 2, 3}));
    EXPECT_EQ(FolderNames(dir / "out"), PrefixNames(3));

    const std::string used = *password ? password : std::string(kDefaultAesPassword);
    std::vector<std::vector<uint8_t>> zips;
    for (const auto& path : rec.paths)
      zips.push_back(DecryptBytes(CipherAlgorithm::Aes, 128, used, ReadFileBytes(path)));
    const auto entries = ZipEntries0(zips);
    ASSERT_EQ(entries.size(), 3u);
    std::vector<uint8_t> joined;
    for (size_t i = 0; i < entries.size(); ++i) {
      EXPECT_EQ(entries[i].name, fs::path(rec.paths[i]).filename().string());
      joined.insert(joined.end(), entries[i].bytes.begin(), entries[i].bytes.end());
    }
    EXPECT_EQ(joined, source);
  }
}

TEST(OfflineSplit, SmallFileBecomesTheDescriptorAlone) {
  TempDir dir;
  dtltest::WriteFileBytes(dir / "x", dtltest::RandomBytes(700, 2));
  fs::create_directory(dir / "out");
  auto params = Params(dir, 10000, 0);
  params.folder += "/";
  Recorder rec;
  std::atomic<bool> stop{false};
  const auto result = RunOfflineSplit(params, rec, stop);
  ASSERT_TRUE(result.ok);
  EXPECT_EQ(FolderNames(dir / "out"), std::vector<std::string>{"x.dtl.doc"});
  ASSERT_EQ(rec.paths.size(), 1u);
  EXPECT_EQ(rec.paths[0], (dir / "out" / "x.dtl.doc").string());
}

TEST(OfflineSplit, ShorterResplitRemovesTheOldTailSegments) {
  TempDir dir;
  dtltest::WriteFileBytes(dir / "x", dtltest::RandomBytes(25000, 3));
  fs::create_directory(dir / "out");
  std::atomic<bool> stop{false};
  Recorder first;
  ASSERT_TRUE(RunOfflineSplit(Params(dir, 5000, 2), first, stop).ok);  // 5 segments
  dtltest::WriteFileText(dir / "out" / "x.007.doc", "not next in line: kept");
  dtltest::WriteFileText(dir / "out" / "y.002.doc", "another file's: kept");
  Recorder second;
  ASSERT_TRUE(RunOfflineSplit(Params(dir, 10000, 2), second, stop).ok);  // 3 segments
  auto expected = PrefixNames(3);
  expected.push_back("x.007.doc");
  expected.push_back("y.002.doc");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(FolderNames(dir / "out"), expected);
}

TEST(OfflineSplit, DesFormUsesSegpassWhenNoPasswordIsGiven) {
  TempDir dir;
  const auto source = dtltest::RandomBytes(15000, 5, true);
  dtltest::WriteFileBytes(dir / "x", source);
  fs::create_directory(dir / "out");
  auto params = Params(dir, 10000, 2);
  params.encMethod = 2;
  Recorder rec;
  std::atomic<bool> stop{false};
  ASSERT_TRUE(RunOfflineSplit(params, rec, stop).ok);
  std::vector<std::vector<uint8_t>> zips;
  for (const auto& path : rec.paths) {
    const auto raw = ReadFileBytes(path);
    EXPECT_EQ(raw.size() % 8, 0u);
    zips.push_back(UndoDesForm(raw, kDefaultDesPassword));
  }
  std::vector<uint8_t> joined;
  for (const auto& e : ZipEntries0(zips)) joined.insert(joined.end(), e.bytes.begin(), e.bytes.end());
  EXPECT_EQ(joined, source);
}

TEST(OfflineSplit, ObserverHearsPiecesInOrderWithManyThreads) {
  TempDir dir;
  const auto source = dtltest::RandomBytes(200 * 1000 + 17, 9);
  dtltest::WriteFileBytes(dir / "x", source);
  fs::create_directory(dir / "out");
  Recorder rec;
  std::atomic<bool> stop{false};
  const auto result = RunOfflineSplit(Params(dir, 1000, 4), rec, stop);
  ASSERT_TRUE(result.ok);
  ASSERT_EQ(rec.pieces.size(), 201u);
  for (uint64_t k = 1; k <= 201; ++k) ASSERT_EQ(rec.pieces[k - 1], k);
  EXPECT_EQ(FolderNames(dir / "out"), PrefixNames(201));  // and no private ".part" files
}

TEST(OfflineSplit, StopLeavesAContiguousPrefixOfReportedPieces) {
  for (unsigned threads : {1u, 4u}) {
    TempDir dir;
    dtltest::WriteFileBytes(dir / "x", dtltest::RandomBytes(100000, 4));
    fs::create_directory(dir / "out");
    std::atomic<bool> stop{false};
    Recorder rec;
    rec.onPiece = [&](uint64_t k) {
      if (k == 2) stop = true;
    };
    const auto result = RunOfflineSplit(Params(dir, 10000, threads), rec, stop);
    EXPECT_FALSE(result.ok);
    EXPECT_TRUE(result.stopped);
    EXPECT_TRUE(rec.errors.empty());
    EXPECT_EQ(result.count, 10u);
    // One thread stops right after the piece that saw the flag; more threads may add the
    // pieces they were already packing, but never leave a gap.
    if (threads == 1) {
      EXPECT_EQ(result.written, 2u);
    }
    EXPECT_GE(result.written, 2u);
    EXPECT_LT(result.written, 10u);
    EXPECT_EQ(rec.pieces.size(), result.written);
    EXPECT_EQ(FolderNames(dir / "out"), PrefixNames(result.written)) << threads << " threads";
  }
}

TEST(OfflineSplit, FailedPieceKeepsOnlyThePiecesBeforeIt) {
  TempDir dir;
  dtltest::WriteFileBytes(dir / "x", dtltest::RandomBytes(100000, 4));
  fs::create_directory(dir / "out");
  // A folder where piece 4 should go makes that piece fail while later ones succeed.
  fs::create_directory(dir / "out" / "x.003.doc");
  Recorder rec;
  std::atomic<bool> stop{false};
  const auto result = RunOfflineSplit(Params(dir, 10000, 4), rec, stop);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.written, 3u);
  EXPECT_EQ(rec.pieces, (std::vector<uint64_t>{1, 2, 3}));
  EXPECT_EQ(rec.errors, std::vector<std::string>{"Is a directory"});
  auto expected = PrefixNames(3);
  expected.push_back("x.003.doc");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(FolderNames(dir / "out"), expected);
}

TEST(OfflineSplit, SourceThatShrinksUnderTheRunIsAFailureNotShortSegments) {
  TempDir dir;
  dtltest::WriteFileBytes(dir / "x", dtltest::RandomBytes(50000, 4));
  fs::create_directory(dir / "out");
  struct Shrinker : Recorder {
    fs::path victim;
    void OnStarted(uint64_t n) override {
      Recorder::OnStarted(n);
      fs::resize_file(victim, 25000);
    }
  } shrink;
  shrink.victim = dir / "x";
  std::atomic<bool> stop{false};
  const auto result = RunOfflineSplit(Params(dir, 10000, 2), shrink, stop);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.written, 2u);
  EXPECT_EQ(shrink.errors,
            std::vector<std::string>{"The file " + (dir / "x").string() + " changed while it was being split."});
  EXPECT_EQ(FolderNames(dir / "out"), PrefixNames(2));
}

TEST(OfflineSplit, RunsThatCannotStartSayWhy) {
  TempDir dir;
  dtltest::WriteFileBytes(dir / "empty", {});
  dtltest::WriteFileBytes(dir / "x", dtltest::RandomBytes(100, 4));
  dtltest::WriteFileBytes(dir / "plainfile", {1});
  const struct {
    const char* what;
    std::string source, folder, error;
  } cases[] = {
      {"empty source", (dir / "empty").string(), dir.path().string(),
       "The file " + (dir / "empty").string() + " size is too small (0)"},
      {"missing source", (dir / "nope").string(), dir.path().string(), "No such file or directory"},
      {"folder is a file", (dir / "x").string(), (dir / "plainfile").string(), "Not a directory"},
      {"missing folder", (dir / "x").string(), (dir / "nowhere").string(), "No such file or directory"},
  };
  for (const auto& c : cases) {
    OfflineSplitParams p;
    p.source = c.source;
    p.folder = c.folder;
    p.segmentSize = 10000;
    Recorder rec;
    std::atomic<bool> stop{false};
    const auto result = RunOfflineSplit(p, rec, stop);
    EXPECT_FALSE(result.ok) << c.what;
    EXPECT_EQ(result.written, 0u) << c.what;
    EXPECT_EQ(rec.errors, std::vector<std::string>{c.error}) << c.what;
  }
}

TEST(OfflineSplit, ReadOnlyFolderGivesTheSystemError) {
  TempDir dir;
  dtltest::WriteFileBytes(dir / "x", dtltest::RandomBytes(100, 4));
  fs::create_directory(dir / "out");
  fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
  fs::permissions(dir / "out", fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                   fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
  // Folder permissions bind everyone but the superuser, so a privileged run splits as "nobody"
  // in a child process.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
        Recorder rec;
        std::atomic<bool> stop{false};
        const auto result = RunOfflineSplit(Params(dir, 10000, 1), rec, stop);
        for (const auto& e : rec.errors) fprintf(stderr, "error: %s\n", e.c_str());
        _exit(!result.ok && rec.errors == std::vector<std::string>{"Permission denied"} ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "error: Permission denied");
  EXPECT_TRUE(FolderNames(dir / "out").empty());
}

}  // namespace
}  // namespace dtl
