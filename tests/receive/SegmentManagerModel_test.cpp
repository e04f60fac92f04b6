// The Segment Manager's model: filing, ticking and counting, finished items, the settings it
// keeps, and the key list read by another thread while records are filed.
#include "receive/SegmentManagerModel.h"

#include <gtest/gtest.h>

#include <thread>

#include "base/SettingsStore.h"
#include "support/TestSupport.h"

namespace {

using dtl::DownloadItem;
using dtl::SegmentManagerModel;

std::vector<std::string> Names(const SegmentManagerModel& m) {
  std::vector<std::string> out;
  for (const auto& g : m.Groups()) {
    out.push_back(g.name + ":");
    for (const auto& s : g.segments) out.back() += " " + s.record.fileName;
  }
  return out;
}

TEST(SegmentManagerModel, FilesUnderTheNameWithoutItsLastExtensionAndDropsRepeats) {
  SegmentManagerModel m;
  EXPECT_TRUE(m.File({"movie.avi.001", "k1"}));
  EXPECT_TRUE(m.File({"notes.txt.dtl", "k2"}));
  EXPECT_TRUE(m.File({"movie.avi.dtl", "k3"}));
  EXPECT_FALSE(m.File({"movie.avi.001", "k4"})) << "a name already listed is dropped";
  EXPECT_TRUE(m.File({"Movie.avi.001", "k5"})) << "names compare case-sensitively";
  EXPECT_TRUE(m.File({"report", "k6"}));
  EXPECT_EQ(Names(m), (std::vector<std::string>{"movie.avi: movie.avi.001 movie.avi.dtl",
                                                "notes.txt: notes.txt.dtl",
                                                "Movie.avi: Movie.avi.001", "report: report"}));
  EXPECT_EQ(m.Keys(), (std::vector<std::string>{"k1", "k2", "k3", "k5", "k6"}));
  EXPECT_FALSE(m.HasKey("k4"));
}

class Ticking : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* n : {"a.bin.dtl", "a.bin.001", "a.bin.002", "b.bin.dtl"})
      m.File({n, std::string("key-") + n});
  }
  SegmentManagerModel m;
};

TEST_F(Ticking, GroupsAndSelectAllTickEverySegmentAndCountEachOnce) {
  m.SetSegmentTicked(0, 1, true);
  EXPECT_EQ(m.TickedCount(), 1);
  m.SetGroupTicked(0, true);
  EXPECT_EQ(m.TickedCount(), 3) << "the segment ticked before counts once";
  m.SetGroupTicked(0, true);
  EXPECT_EQ(m.TickedCount(), 3);
  m.SetSegmentTicked(0, 2, false);
  m.SetGroupTicked(0, false);
  EXPECT_EQ(m.TickedCount(), 0);
  EXPECT_FALSE(m.DownloadEnabled());
  m.SetSegmentTicked(1, 0, true);
  m.SetSegmentTicked(7, 0, true);
  EXPECT_TRUE(m.DownloadEnabled());
  m.SelectAll(true);
  EXPECT_EQ(m.TickedCount(), 4);
  std::vector<DownloadItem> items = m.TickedItems();
  ASSERT_EQ(items.size(), 4u);
  EXPECT_EQ(items[3].fileName, "b.bin.dtl");
  m.SelectAll(false);
  EXPECT_EQ(m.TickedCount(), 0);
  EXPECT_TRUE(m.TickedItems().empty());
}

TEST_F(Ticking, FinishedKeysUntickUntilDownloadIsDisabled) {
  m.SetGroupTicked(0, true);
  m.SetSegmentTicked(0, 2, false);  // unticked by the user while the download runs
  EXPECT_TRUE(m.FinishKey("key-a.bin.dtl"));
  EXPECT_EQ(m.TickedCount(), 1);
  EXPECT_TRUE(m.FinishKey("key-a.bin.002"));
  EXPECT_EQ(m.TickedCount(), 1) << "an unticked segment was counted down already";
  EXPECT_FALSE(m.FinishKey("unknown"));
  EXPECT_TRUE(m.FinishKey("key-a.bin.001"));
  EXPECT_EQ(m.TickedCount(), 0);
  EXPECT_FALSE(m.DownloadEnabled());
  EXPECT_FALSE(m.Groups()[0].segments[1].ticked);
}

TEST(SegmentManagerModel, SortOrdersGroupsThenTheirSegmentsCaseAside) {
  SegmentManagerModel m;
  for (const char* n : {"zeta.001", "Beta.002", "alpha.dtl", "Beta.dtl", "beta.001", "Beta.001"})
    m.File({n, n});
  m.SetGroupTicked(1, true);  // the "Beta" group, filed second
  m.Sort();
  EXPECT_EQ(Names(m),
            (std::vector<std::string>{"alpha: alpha.dtl", "Beta: Beta.001 Beta.002 Beta.dtl",
                                      "beta: beta.001", "zeta: zeta.001"}));
  EXPECT_TRUE(m.Groups()[1].segments[0].ticked) << "ticks travel with their segments";
  EXPECT_EQ(m.TickedCount(), 3);
}

TEST(SegmentManagerModel, AutoMergeIsOnUnlessStoredAsZero) {
  dtltest::TempDir dir;
  dtl::SettingsStore store(dir / "settings.reg");
  EXPECT_TRUE(SegmentManagerModel::ReadAutoMerge(store));
  ASSERT_TRUE(SegmentManagerModel::WriteAutoMerge(store, false));
  EXPECT_EQ(store.RawDword(dtl::kSettingsKey, "AutoMerge"), 0u);
  EXPECT_FALSE(SegmentManagerModel::ReadAutoMerge(dtl::SettingsStore(dir / "settings.reg")));
}

// The crawler reads the key list while the dialog files records; run under the thread
// sanitizer build this also proves the guard.
TEST(SegmentManagerModel, KeyListCanBeReadWhileRecordsAreFiled) {
  SegmentManagerModel m;
  std::atomic<bool> done{false};
  size_t seen = 0;
  std::thread reader([&] {
    while (!done.load()) {
      auto keys = m.Keys();
      EXPECT_GE(keys.size(), seen);
      seen = keys.size();
      m.HasKey("k100");
    }
  });
  for (int i = 0; i < 2000; ++i)
    m.File({"f" + std::to_string(i) + ".001", "k" + std::to_string(i)});
  done = true;
  reader.join();
  EXPECT_EQ(m.Keys().size(), 2000u);
  EXPECT_TRUE(m.HasKey("k1999"));
}

}  // namespace
