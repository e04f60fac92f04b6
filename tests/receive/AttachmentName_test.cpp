// Names taken from remote pages become plain file names inside the download folder.
#include "receive/AttachmentName.h"

#include <gtest/gtest.h>

namespace {

TEST(SafeAttachmentName, ReducesHostileNamesToAPlainFileName) {
  struct Case {
    std::string remote, local;
  } cases[] = {
      {"movie.avi.001", "movie.avi.001"},
      {"movie.avi.dtl", "movie.avi.dtl"},
      {"../movie.avi.001", "movie.avi.001"},
      {"../../etc/cron.d/x", "x"},
      {"/abs/path/movie.avi.dtl", "movie.avi.dtl"},
      {"..\\..\\windows\\movie.avi.002", "movie.avi.002"},
      {"dir/", "attachment"},
      {"..", "attachment"},
      {".", "attachment"},
      {"...", "attachment"},
      {"", "attachment"},
      {std::string("a\0b.001", 7), "ab.001"},
      {"tab\there\r\n.003\x7f", "tabhere.003"},
      {"\x01\x02", "attachment"},
      {"caf\xc3\xa9 notes.txt", "caf\xc3\xa9 notes.txt"},
      {".hidden", ".hidden"},
  };
  for (const Case& c : cases) EXPECT_EQ(dtl::SafeAttachmentName(c.remote), c.local) << c.remote;
}

TEST(SafeAttachmentName, OverlongNamesKeepTheirSegmentNumber) {
  const std::string safe = dtl::SafeAttachmentName(std::string(300, 'n') + ".avi.007");
  EXPECT_EQ(safe, std::string(247, 'n') + ".avi.007");
  EXPECT_EQ(dtl::SafeAttachmentName(std::string(300, '.')), "attachment");
  EXPECT_EQ(dtl::SafeAttachmentName(std::string(256, 'a') + std::string(254, '.') + "/"),
            "attachment");
}

}  // namespace
