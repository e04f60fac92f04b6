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
      const auto produced =
          ProducePiece((dir / "x").string(), segment, k, source.size(), dir / "tmp");
      ASSERT_TRUE(produced) << produced.error().message;
      const std::string piece = produced->path().string();
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
  const auto lastPiece = ProducePiece(big.string(), segment, 537, size, dir.path());
  ASSERT_TRUE(lastPiece) << lastPiece.error().message;
  const std::string last = lastPiece->path().string();
  const auto tail = ReadFileBytes(last);
  ASSERT_EQ(tail.size(), size - 536 * segment);
  EXPECT_EQ(std::string(tail.end() - marker.size(), tail.end()), marker);

  // 2^32 = 429 * 10^7 + 4967296: piece 430 holds the byte at 2^32.
  const auto middlePiece = ProducePiece(big.string(), segment, 430, size, dir.path());
  ASSERT_TRUE(middlePiece) << middlePiece.error().message;
  const std::string middle = middlePiece->path().string();
  const auto bytes = ReadFileBytes(middle);
  ASSERT_EQ(bytes.size(), segment);
  EXPECT_EQ(bytes[4967296], 'B');
  EXPECT_EQ(bytes[4967295], 0);
}

TEST(ProducePiece, FailuresGiveTheSystemTextAndLeaveNoPieceFile) {
  TempDir dir;
  dtltest::WriteFileBytes(dir / "x", dtltest::RandomBytes(100, 1));
  fs::create_directory(dir / "tmp");
  const std::string x = (dir / "x").string();
  // Piece numbers outside the cut: 0 would read before the file, 11 past its end.
  const struct {
    const char* what;
    std::string source;
    uint64_t piece;
    fs::path temp;
    ErrorCode code;
    std::string message;
  } cases[] = {
      {"missing source", (dir / "missing").string(), 1, dir / "tmp", ErrorCode::NotFound,
       "No such file or directory"},
      {"piece 0", x, 0, dir / "tmp", ErrorCode::InvalidArgument, "Invalid argument"},
      {"piece past the end", x, 11, dir / "tmp", ErrorCode::InvalidArgument, "Invalid argument"},
      {"missing temporary folder", x, 1, dir / "no-such-folder", ErrorCode::NotFound,
       (dir / "no-such-folder").string() + ": No such file or directory"},
  };
  for (const auto& c : cases) {
    const auto produced = ProducePiece(c.source, 10, c.piece, 100, c.temp);
    ASSERT_FALSE(produced) << c.what;
    EXPECT_EQ(produced.error().code, c.code) << c.what;
    EXPECT_EQ(produced.error().message, c.message) << c.what;
  }
  EXPECT_TRUE(PieceFiles(dir / "tmp").empty());
}

TEST(ProducePiece, ShrunkOrEmptySourceGivesOnlyTheBytesThere) {
  TempDir dir;
  const auto now = dtltest::RandomBytes(15000, 3);
  dtltest::WriteFileBytes(dir / "x", now);  // recorded as 25000 bytes when chosen
  const auto secondPiece = ProducePiece((dir / "x").string(), 10000, 2, 25000, dir.path());
  ASSERT_TRUE(secondPiece) << secondPiece.error().message;
  const std::string second = secondPiece->path().string();
  EXPECT_EQ(ReadFileBytes(second), std::vector<uint8_t>(now.begin() + 10000, now.end()));
  const auto thirdPiece = ProducePiece((dir / "x").string(), 10000, 3, 25000, dir.path());
  ASSERT_TRUE(thirdPiece) << thirdPiece.error().message;
  const std::string third = thirdPiece->path().string();
  EXPECT_TRUE(ReadFileBytes(third).empty());
  // An empty file sent whole is one empty piece.
  dtltest::WriteFileBytes(dir / "empty", {});
  const auto emptyPiece =
      ProducePiece((dir / "empty").string(), kWholeFileSegment, 1, 0, dir.path());
  ASSERT_TRUE(emptyPiece) << emptyPiece.error().message;
  const std::string piece = emptyPiece->path().string();
  EXPECT_EQ(fs::file_size(piece), 0u);
}

// The temporary folder is everybody's: once the piece is written, its name may point anywhere
// (a link to another file planted in its place). Reading the piece back goes through the
// descriptor it was written with and so always yields the piece itself.
TEST(ProducePiece, ReadingBackIgnoresWhatTheNameNowPointsAt) {
  TempDir dir;
  const auto source = dtltest::RandomBytes(3000, 5);
  dtltest::WriteFileBytes(dir / "x", source);
  dtltest::WriteFileText(dir / "planted", "another file's bytes");
  fs::create_directory(dir / "tmp");
  auto produced = ProducePiece((dir / "x").string(), 1000, 2, source.size(), dir / "tmp");
  ASSERT_TRUE(produced) << produced.error().message;
  fs::remove(produced->path());
  fs::create_symlink(dir / "planted", produced->path());

  const auto bytes = produced->ReadAll();
  ASSERT_TRUE(bytes) << bytes.error().message;
  EXPECT_EQ(*bytes, std::vector<uint8_t>(source.begin() + 1000, source.begin() + 2000));
  EXPECT_EQ(dtltest::ReadFileText(dir / "planted"), "another file's bytes");
}

}  // namespace
}  // namespace dtl
