// What a received attachment is by its saved name, the size it may reach, and which files an
// Auto Merge hands the merge when recovery files came with (or instead of) a descriptor.
#include "receive/ReceivedFiles.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "archive/SegmentBounds.h"

namespace {

namespace fs = std::filesystem;

TEST(ReceivedFiles, SegmentsAndRecoveryFilesAreToldApartByName) {
  struct Case {
    const char* name;
    std::optional<uint64_t> number;
    bool recovery;
  };
  const Case cases[] = {
      {"movie.avi.dtl", 0, false},
      {"movie.avi.DTL", 0, false},
      {"movie.avi.001", 1, false},
      {"movie.avi.1234", 1234, false},
      {"movie.avi.01", std::nullopt, false},  // fewer than three digits: no segment
      {"movie.avi.000", std::nullopt, false},
      {"movie.avi.par2", std::nullopt, true},
      {"movie.avi.vol00+01.par2", std::nullopt, true},
      {"MOVIE.AVI.VOL07+01.PAR2", std::nullopt, true},
      {"movie.avi.par2.txt", std::nullopt, false},
      {".par2", std::nullopt, false},
      {"photo.jpg", std::nullopt, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(dtl::SegmentNumberOf(c.name), c.number);
    EXPECT_EQ(dtl::IsRecoveryAttachment(c.name), c.recovery);
  }
}

TEST(ReceivedFiles, ARecoveryFileMayOutgrowTheLargestSegmentByItsDescriptionOnly) {
  EXPECT_EQ(dtl::LargestAttachment("movie.avi.007"), dtl::kLargestSegmentArchive);
  EXPECT_EQ(dtl::LargestAttachment("photo.jpg"), dtl::kLargestSegmentArchive);
  const uint64_t recovery = dtl::LargestAttachment("movie.avi.vol00+01.par2");
  EXPECT_GT(recovery, dtl::kLargestSegmentArchive + 16'000'000)
      << "the description of 32768 segments with long names must fit";
  EXPECT_LE(recovery, dtl::kLargestSegmentArchive + (64ull << 20));
}

TEST(ReceivedFiles, AFileWithoutItsDescriptorGoesToTheMergeByOneOfItsRecoveryFiles) {
  const fs::path dir = "/in";
  struct Case {
    const char* what;
    std::vector<std::string> saved;
    std::vector<fs::path> merged;
  };
  const Case cases[] = {
      {"descriptors only, in the order saved, each once",
       {"b.bin.dtl", "b.bin.001", "a.bin.dtl", "b.bin.dtl"},
       {dir / "b.bin.dtl", dir / "a.bin.dtl"}},
      {"recovery files beside the descriptor change nothing",
       {"a.bin.vol00+01.par2", "a.bin.dtl", "a.bin.par2", "a.bin.001"},
       {dir / "a.bin.dtl"}},
      {"the index file stands in when it came",
       {"a.bin.001", "a.bin.vol00+01.par2", "a.bin.vol01+01.par2", "a.bin.par2"},
       {dir / "a.bin.par2"}},
      {"else the first volume saved",
       {"a.bin.vol01+01.par2", "a.bin.002", "a.bin.vol00+01.par2"},
       {dir / "a.bin.vol01+01.par2"}},
      {"a file with neither is not merged; order follows the first of each file",
       {"c.bin.001", "b.bin.VOL00+01.PAR2", "a.bin.dtl"},
       {dir / "b.bin.VOL00+01.PAR2", dir / "a.bin.dtl"}},
      {"nothing saved", {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(dtl::MergeDescriptors(dir, c.saved), c.merged);
  }
}

}  // namespace
