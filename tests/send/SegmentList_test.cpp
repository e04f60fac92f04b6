#include "send/SegmentList.h"

#include <gtest/gtest.h>

namespace dtl {
namespace {

struct CutCase {
  const char* what;
  uint64_t fileSize, segmentSize;
  std::vector<uint64_t> pieceSizes;
};

class SplitRuleTest : public ::testing::TestWithParam<CutCase> {};

// The pieces of the recorded cut, from the records alone: every record but the last holds a whole
// segment, the last the remainder.
TEST_P(SplitRuleTest, RecordsNumberAndSizeThePieces) {
  const CutCase& c = GetParam();
  const auto records = SplitRecords("/data/x", "x", c.fileSize, c.segmentSize);
  ASSERT_EQ(records.size(), c.pieceSizes.size());
  EXPECT_EQ(SegmentCount(c.fileSize, c.segmentSize), c.pieceSizes.size());
  uint64_t covered = 0;
  for (size_t i = 0; i < records.size(); ++i) {
    const auto& r = records[i];
    EXPECT_EQ(r.index, static_cast<int32_t>(i));
    EXPECT_EQ(r.pending, 1);
    EXPECT_EQ(r.path, "/data/x");
    EXPECT_EQ(r.fileSize, c.fileSize);
    const uint64_t size = std::min(c.segmentSize, c.fileSize - covered);
    EXPECT_EQ(size, c.pieceSizes[i]) << "piece " << i;
    covered += size;
  }
  EXPECT_EQ(covered, c.fileSize);
}

INSTANTIATE_TEST_SUITE_P(
    Cuts, SplitRuleTest,
    ::testing::Values(CutCase{"remainder_gets_its_own_segment", 25000, 10000, {10000, 10000, 5000}},
                      CutCase{"exact_multiple_has_no_empty_tail", 20000, 10000, {10000, 10000}},
                      CutCase{"segment_equal_to_file_is_one", 20000, 20000, {20000}},
                      CutCase{"segment_larger_than_file_is_one", 700, 10000, {700}},
                      CutCase{"one_byte_over_a_segment", 10001, 10000, {10000, 1}}),
    [](const auto& info) { return std::string(info.param.what); });

TEST(SplitRule, FilesBeyond4GiBKeepTheirRemainder) {
  const uint64_t size = 5ull << 30;
  const auto records = SplitRecords("/big", "big", size, 10000000);
  ASSERT_EQ(records.size(), 537u);
  EXPECT_EQ(size - 536ull * 10000000, 8709120u);
  EXPECT_EQ(records.back().index, 536);
}

TEST(SplitRule, ZeroSegmentSizeGivesNoRecordsInsteadOfDividingByZero) {
  EXPECT_EQ(SegmentCount(100, 0), 0u);
  EXPECT_TRUE(SplitRecords("/x", "x", 100, 0).empty());
}

TEST(SplitRule, PlainRecordCarriesTheWholeFile) {
  const auto r = PlainRecord("/docs/report.pdf", "report.pdf", 123456);
  EXPECT_EQ(r.segmentSize, kWholeFileSegment);
  EXPECT_EQ(r.fileSize, 123456u);
  EXPECT_EQ(r.index, 0);
  EXPECT_EQ(r.pending, 1);
}

TEST(SegmentNames, FollowTheDescriptorAndNumberPattern) {
  const struct {
    int64_t index;
    const char* name;
  } cases[] = {{0, "x.dtl.doc"},      {1, "x.001.doc"},     {2, "x.002.doc"},
               {999, "x.999.doc"},    {1000, "x.1000.doc"}, {12345, "x.12345.doc"}};
  for (const auto& c : cases) EXPECT_EQ(SegmentFileName("x", c.index), c.name) << c.index;
  EXPECT_EQ(SegmentFileName("movie.avi", 3), "movie.avi.003.doc");
}

TEST(SegmentNames, PlainTransferKeepsTheFileName) {
  const auto plain = PlainRecord("/docs/report.pdf", "report.pdf", 10);
  EXPECT_EQ(SegmentAttachmentName(plain, true), "report.pdf");
  EXPECT_EQ(SegmentAttachmentName(plain, false), "report.pdf.dtl.doc");
  const auto split = SplitRecords("/docs/report.pdf", "report.pdf", 25000, 10000);
  EXPECT_EQ(SegmentAttachmentName(split[2], false), "report.pdf.002.doc");
}

TEST(SegmentNames, FileNameOfKeepsExtensionAndCase) {
  EXPECT_EQ(FileNameOf("/home/u/Movie.AVI"), "Movie.AVI");
  EXPECT_EQ(FileNameOf("archive.tar.gz"), "archive.tar.gz");
  EXPECT_EQ(FileNameOf("/home/u/noext"), "noext");
  EXPECT_EQ(FileNameOf("/home/u/"), "");
}

}  // namespace
}  // namespace dtl
