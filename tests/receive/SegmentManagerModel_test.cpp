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

// Where a name is filed, and whether it is a recovery file rather than a segment.
TEST(SegmentManagerModel, RecoveryFilesGroupUnderTheFileTheyBelongTo) {
  struct Case {
    const char* name;
    const char* group;
    bool recovery;
  };
  const Case cases[] = {
      {"movie.avi.001", "movie.avi", false},
      {"movie.avi.dtl", "movie.avi", false},
      {"movie.avi.par2", "movie.avi", true},
      {"movie.avi.vol00+05.par2", "movie.avi", true},
      {"movie.avi.vol123+01.par2", "movie.avi", true},
      // The mail ending of segments and recovery files is no part of the name.
      {"movie.avi.001.doc", "movie.avi", false},
      {"movie.avi.vol02+01.par2.doc", "movie.avi", true},
      {"movie.avi.par2.DOC", "movie.avi", true},
      // Endings in upper case.
      {"MOVIE.AVI.PAR2", "MOVIE.AVI", true},
      {"Movie.avi.VOL00+01.Par2", "Movie.avi", true},
      {"movie.avi.DTL", "movie.avi", false},
      // A recovery file alone, and names that merely contain "par2".
      {"x.par2", "x", true},
      {".par2", ".par2", false},
      {"par2", "par2", false},
      {"notes.par2.txt", "notes.par2", false},
      {"movie.par2x", "movie", false},
      {"my.par2.001", "my.par2", false},
      {"movie.avi.vol+1.par2", "movie.avi.vol+1", true},
      // A ".doc" that does not follow a segment or recovery name is the file's own ending.
      {"letter.doc", "letter", false},
      {"a.b.doc", "a.b", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(SegmentManagerModel::GroupName(c.name), c.group);
    EXPECT_EQ(SegmentManagerModel::IsRecoveryName(c.name), c.recovery);
  }
}

TEST(SegmentManagerModel, RecoveryFilesJoinTheirFilesGroupAndCountTheirBlocks) {
  SegmentManagerModel m;
  for (const char* n : {"movie.avi.dtl", "movie.avi.001", "movie.avi.par2",
                        "movie.avi.vol00+02.par2", "movie.avi.vol02+03.par2", "other.bin.par2"})
    EXPECT_TRUE(m.File({n, std::string("key-") + n}));
  EXPECT_FALSE(m.File({"movie.avi.vol02+03.par2", "again"})) << "a repeat is dropped, not counted";
  ASSERT_EQ(m.Groups().size(), 2u);
  const auto& movie = m.Groups()[0];
  EXPECT_EQ(movie.name, "movie.avi");
  EXPECT_EQ(movie.segments.size(), 5u);
  EXPECT_EQ(movie.recoveryFiles, 3u);
  EXPECT_EQ(movie.recoveryBlocks, 5u);
  EXPECT_EQ(m.Groups()[1].name, "other.bin") << "recovery files alone still make a group";
  EXPECT_EQ(m.Groups()[1].recoveryFiles, 1u);
  EXPECT_EQ(m.Groups()[1].recoveryBlocks, 0u) << "the index file announces no block";

  m.SetGroupTicked(0, true);
  EXPECT_EQ(m.TickedCount(), 5) << "recovery files are ticked with their group";
  std::vector<std::string> ticked;
  for (const DownloadItem& item : m.TickedItems()) ticked.push_back(item.fileName);
  EXPECT_EQ(ticked, (std::vector<std::string>{"movie.avi.dtl", "movie.avi.001", "movie.avi.par2",
                                              "movie.avi.vol00+02.par2",
                                              "movie.avi.vol02+03.par2"}));
}

TEST(SegmentManagerModel, AnnouncedBlocksSaturateInsteadOfWrapping) {
  SegmentManagerModel m;
  m.File({"big.vol0+4294967295.par2", "a"});
  m.File({"big.vol1+4294967295.par2", "b"});
  EXPECT_EQ(m.Groups()[0].recoveryBlocks, UINT32_MAX);
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

TEST_F(Ticking, FileBoxUntickedOnlyWhenItsLastTickedSegmentFinishes) {
  m.SetGroupTicked(0, true);
  EXPECT_TRUE(m.FinishKey("key-a.bin.dtl"));
  EXPECT_TRUE(m.FinishKey("key-a.bin.001"));
  EXPECT_TRUE(m.Groups()[0].ticked) << "a segment of the file is still to come";
  EXPECT_TRUE(m.FinishKey("key-a.bin.002"));
  EXPECT_FALSE(m.Groups()[0].ticked);
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
