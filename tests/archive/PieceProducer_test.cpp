#include "archive/PieceProducer.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <regex>

#include "archive/SegmentList.h"
#include "support/TestSupport.h"

namespace dtl {
namespace {

namespace fs = std::filesystem;
using dtltest::ReadFileBytes;
using dtltest::TempDir;

std::vector<fs::path> PieceFiles(const fs::path& folder) {
  std::vector<fs::path> out;
  for (const auto& e : fs::directory_iterator(folder)) out.push_back(e.path());
  return out;
}

TEST(ProducePiece, PiecesConcatenateToTheSource) {
  TempDir dir;
  const auto source = dtltest::RandomBytes(25000, 7);
  dtltest::WriteFileBytes(dir / "x", source);
  fs::create_directory(dir / "tmp");
  for (uint64_t segment : std::vector<uint64_t>{10000, 25000, 60000, 1 << 20, kWholeFileSegment}) {
    std::vector<uint8_t> joined;
    const uint64_t count = segment == kWholeFileSegment ? 1 : SegmentCount(source.size(), segment);
    for (uint64_t k = 1; k <= count; ++k) {
      std::string error;
      const std::string piece =
          ProducePiece((dir / "x").string(), segment, k, source.size(), dir / "tmp", &error);
      ASSERT_FALSE(piece.empty()) << error;
      EXPECT_TRUE(std::regex_match(fs::path(piece).filename().string(), std::regex("DTL.*\\.tmp")))
          << piece;
      EXPECT_EQ(fs::path(piece).parent_path(), dir / "tmp");
      const auto bytes = ReadFileBytes(piece);
      joined.insert(joined.end(), bytes.begin(), bytes.end());
      fs::remove(piece);
    }
    EXPECT_EQ(joined, source) << "segment size " << segment;
  }
}

TEST(ProducePiece, ReachesOffsetsBeyond4GiB) {
  TempDir dir;
  const fs::path big = dir / "sparse";
  const uint64_t size = 5ull << 30;
  const std::string marker = "far-end marker";
  {
    const int fd = open(big.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(size)), 0);
    ASSERT_EQ(pwrite(fd, marker.data(), marker.size(), static_cast<off_t>(size - marker.size())),
              static_cast<ssize_t>(marker.size()));
    // A marker just past 4 GiB catches offsets truncated to 32 bits.
    ASSERT_EQ(pwrite(fd, "B", 1, static_cast<off_t>(1ull << 32)), 1);
    close(fd);
  }
  const uint64_t segment = 10000000;
  std::string error;
  const std::string last = ProducePiece(big.string(), segment, 537, size, dir.path(), &error);
  ASSERT_FALSE(last.empty()) << error;
  const auto tail = ReadFileBytes(last);
  ASSERT_EQ(tail.size(), size - 536 * segment);
  EXPECT_EQ(std::string(tail.end() - marker.size(), tail.end()), marker);

  // 2^32 = 429 * 10^7 + 4967296: piece 430 holds the byte at 2^32.
  const std::string middle = ProducePiece(big.string(), segment, 430, size, dir.path(), &error);
  ASSERT_FALSE(middle.empty()) << error;
  const auto bytes = ReadFileBytes(middle);
  ASSERT_EQ(bytes.size(), segment);
  EXPECT_EQ(bytes[4967296], 'B');
  EXPECT_EQ(bytes[4967295], 0);
}

TEST(ProducePiece, FailuresGiveTheSystemTextAndLeaveNoPieceFile) {
  TempDir dir;
  dtltest::WriteFileBytes(dir / "x", dtltest::RandomBytes(100, 1));
  fs::create_directory(dir / "tmp");
  std::string error;
  EXPECT_EQ(ProducePiece((dir / "missing").string(), 10, 1, 100, dir / "tmp", &error), "");
  EXPECT_EQ(error, "No such file or directory");
  // Piece numbers outside the cut: 0 would read before the file, 11 past its end.
  for (uint64_t k : {0ull, 11ull}) {
    error.clear();
    EXPECT_EQ(ProducePiece((dir / "x").string(), 10, k, 100, dir / "tmp", &error), "") << k;
    EXPECT_EQ(error, "Invalid argument");
  }
  error.clear();
  EXPECT_EQ(ProducePiece((dir / "x").string(), 10, 1, 100, dir / "no-such-folder", &error), "");
  EXPECT_FALSE(error.empty());
  EXPECT_TRUE(PieceFiles(dir / "tmp").empty());
}

TEST(ProducePiece, ShrunkOrEmptySourceGivesOnlyTheBytesThere) {
  TempDir dir;
  const auto now = dtltest::RandomBytes(15000, 3);
  dtltest::WriteFileBytes(dir / "x", now);  // recorded as 25000 bytes when chosen
  std::string error;
  const std::string second = ProducePiece((dir / "x").string(), 10000, 2, 25000, dir.path(), &error);
  ASSERT_FALSE(second.empty()) << error;
  EXPECT_EQ(ReadFileBytes(second), std::vector<uint8_t>(now.begin() + 10000, now.end()));
  const std::string third = ProducePiece((dir / "x").string(), 10000, 3, 25000, dir.path(), &error);
  ASSERT_FALSE(third.empty()) << error;
  EXPECT_TRUE(ReadFileBytes(third).empty());
  // An empty file sent whole is one empty piece.
  dtltest::WriteFileBytes(dir / "empty", {});
  const std::string piece =
      ProducePiece((dir / "empty").string(), kWholeFileSegment, 1, 0, dir.path(), &error);
  ASSERT_FALSE(piece.empty()) << error;
  EXPECT_EQ(fs::file_size(piece), 0u);
}

}  // namespace
}  // namespace dtl
