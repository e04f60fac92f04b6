#include "archive/SegmentList.h"

#include <gtest/gtest.h>

namespace dtl {
namespace {

TEST(SplitRule, CountsAndNamesSegments) {
  const struct {
    uint64_t fileSize, segmentSize;
    std::vector<std::string> names;
  } cases[] = {
      {25000, 10000, {"x.dtl.doc", "x.001.doc", "x.002.doc"}},  // the remainder gets a segment
      {20000, 10000, {"x.dtl.doc", "x.001.doc"}},  // an exact multiple has no empty tail
      {20000, 20000, {"x.dtl.doc"}},
      {700, 10000, {"x.dtl.doc"}},  // smaller than a segment
      {10001, 10000, {"x.dtl.doc", "x.001.doc"}},
  };
  for (const auto& c : cases) {
    const auto records = SplitRecords("/data/x", "x", c.fileSize, c.segmentSize);
    ASSERT_EQ(records.size(), c.names.size()) << c.fileSize << " @ " << c.segmentSize;
    for (size_t i = 0; i < records.size(); ++i) {
      EXPECT_EQ(records[i].index, static_cast<int32_t>(i));
      EXPECT_EQ(records[i].pending, 1);
      EXPECT_EQ(SegmentAttachmentName(records[i], false), c.names[i]);
    }
  }
}

TEST(SplitRule, FilesBeyond4GiBAndZeroSizes) {
  const auto records = SplitRecords("/big", "big", 5ull << 30, 10000000);
  ASSERT_EQ(records.size(), 537u);
  EXPECT_EQ(records.back().fileSize, 5ull << 30);
  EXPECT_EQ(SegmentCount(100, 0), 0u);  // not a division by zero
  EXPECT_TRUE(SplitRecords("/x", "x", 100, 0).empty());
}

TEST(SegmentNames, NumbersHaveAtLeastThreeDigits) {
  EXPECT_EQ(SegmentFileName("movie.avi", 999), "movie.avi.999.doc");
  EXPECT_EQ(SegmentFileName("movie.avi", 1000), "movie.avi.1000.doc");
}

TEST(SegmentNames, PlainTransferKeepsTheFileName) {
  const auto plain = PlainRecord("/docs/report.pdf", FileNameOf("/docs/report.pdf"), 10);
  EXPECT_EQ(plain.segmentSize, kWholeFileSegment);
  EXPECT_EQ(SegmentAttachmentName(plain, true), "report.pdf");
}

}  // namespace
}  // namespace dtl
