#include "base/HistoryList.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace {

using dtl::HistoryList;
using Lines = std::vector<std::string>;

struct HistoryListTest : ::testing::Test {
  dtltest::TempDir dir;
  dtl::SettingsStore store{dir / "settings.reg"};
};

TEST_F(HistoryListTest, KeepsTheNewestWithinTheMaximumAndDeletesStaleEntries) {
  // An earlier, longer history left entries up to HistoryCombo6.
  for (int i = 0; i < 7; ++i)
    ASSERT_TRUE(
        store.WriteProfileString("HistoryCombo" + std::to_string(i), "old" + std::to_string(i)));
  HistoryList h(store);
  h.SetMaxItems(5);
  h.Load("HistoryCombo");
  EXPECT_EQ(h.Items().size(), 5u);
  for (int i = 1; i <= 6; ++i) ASSERT_TRUE(h.Save("u" + std::to_string(i) + "@x.org"));

  EXPECT_EQ(h.Items(), (Lines{"u6@x.org", "u5@x.org", "u4@x.org", "u3@x.org", "u2@x.org"}));
  for (int i = 0; i < 5; ++i)
    EXPECT_EQ(store.GetProfileString("HistoryCombo" + std::to_string(i)), h.Items()[i]);
  EXPECT_EQ(store.GetProfileString("HistoryCombo5"), "");
  EXPECT_EQ(store.GetProfileString("HistoryCombo6"), "");
  EXPECT_EQ(store.GetProfileString("HistoryCombo"), "u6@x.org");  // remembered text
}

TEST_F(HistoryListTest, ReusedTextMovesToTheTopIgnoringCase) {
  HistoryList h(store);
  h.Load("AddressHistory");
  h.Add("a.org");
  h.Add("b.org");
  h.Add("  A.ORG ");
  EXPECT_EQ(h.Items(), (Lines{"A.ORG", "b.org"}));
}

TEST_F(HistoryListTest, SurvivesARestartAndReturnsTheRememberedText) {
  {
    HistoryList h(store);
    h.Load("AddressHistory");
    ASSERT_TRUE(h.Save("http://one.example/"));
    ASSERT_TRUE(h.Save("http://two.example/"));
  }
  HistoryList again(store);
  EXPECT_EQ(again.Load("AddressHistory"), "http://two.example/");
  EXPECT_EQ(again.Items(), (Lines{"http://two.example/", "http://one.example/"}));
  EXPECT_EQ(again.Load("AddressHistory", false), "");
}

TEST_F(HistoryListTest, RememberedKeyAndUnboundList) {
  HistoryList h(store);
  EXPECT_EQ(h.RememberedKey(), "Last");
  EXPECT_EQ(h.Load(""), "");
  EXPECT_FALSE(h.Save("a@x.org"));  // unbound: writes nothing
  EXPECT_EQ(store.GetProfileString("0"), "");
  h.Load("P", true, "Current");
  EXPECT_EQ(h.RememberedKey(), "Current");
  ASSERT_TRUE(h.Save("typed"));
  EXPECT_EQ(store.GetProfileString("Current"), "typed");
}

// A blank text added to a history used to write an empty entry that cut the list at the next load.
TEST_F(HistoryListTest, BlankTextNeverEndsTheStoredListEarly) {
  HistoryList h(store);
  h.Load("HistoryCombo");
  ASSERT_TRUE(h.Save("a@x.org"));
  EXPECT_EQ(h.Add("   "), -1);
  ASSERT_TRUE(h.Save("b@x.org"));
  HistoryList again(store);
  again.Load("HistoryCombo");
  EXPECT_EQ(again.Items(), (Lines{"b@x.org", "a@x.org"}));
}

// A folder standing where the settings file goes: the save reports the store's own Io error.
TEST_F(HistoryListTest, SaveReportsWhyTheStoreCouldNotBeWritten) {
  std::filesystem::create_directories(dir / "settings.reg/x");
  HistoryList h(store);
  h.Load("HistoryCombo");
  const dtl::Status saved = h.Save("a@x.org");
  ASSERT_FALSE(saved);
  EXPECT_EQ(saved.error().code, dtl::ErrorCode::Io);
  EXPECT_EQ(saved.error().message.rfind((dir / "settings.reg").string() + ": ", 0), 0u)
      << saved.error().message;
  EXPECT_EQ(h.Items(), (Lines{"a@x.org"}));  // the list itself still holds it
}

}  // namespace
