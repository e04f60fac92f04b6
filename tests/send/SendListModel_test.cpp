// The send list model over a real document: row names and size texts, hints from the run, and
// the check boxes carried into the records' pending flags.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/SettingsStore.h"
#include "send/SendDocument.h"
#include "send/SendListModel.h"
#include "support/TestSupport.h"

namespace {

using dtl::DocHint;
using dtl::RowState;

class SendListModelTest : public ::testing::Test {
 protected:
  SendListModelTest() : settings_(dir_ / "settings.reg"), doc_(settings_), model_(doc_) {
    doc_.AddView(&model_);
  }

  // Files are never opened while a job is built: only their recorded sizes count.
  dtl::SendRequest Request(std::vector<std::pair<std::string, uint64_t>> files) {
    dtl::SendRequest r;
    for (auto& [name, size] : files) r.files.push_back({(dir_ / name).string(), size});
    r.fileText = r.files[0].path;
    r.mailTo = "a@b.test";
    r.position = 1;
    return r;
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> out;
    for (size_t i = 0; i < model_.RowCount(); ++i) out.push_back(model_.Row(i).name);
    return out;
  }
  std::vector<int> Pending() const {
    std::vector<int> out;
    for (const auto& r : doc_.Records()) out.push_back(r.pending);
    return out;
  }

  dtltest::TempDir dir_;
  dtl::SettingsStore settings_;
  dtl::SendDocument doc_;
  dtl::SendListModel model_;
};

TEST(SizeText, UnitsChangeAt1025AndAbove1000000) {
  const std::vector<std::pair<uint64_t, std::string>> cases = {
      {1024, "1024 Bytes"},       {1025, "1 KB"},    {2048, "2 KB"},    {999999, "976 KB"},
      {1000000, "1000000 Bytes"}, {1000001, "1 MB"}, {3500000, "3 MB"},
  };
  for (const auto& [n, text] : cases) EXPECT_EQ(dtl::SizeText(n), text) << n;
}

TEST_F(SendListModelTest, RowNamesFollowTheModeAndTheRecordCount) {
  ASSERT_TRUE(doc_.BuildSplitJob(Request({{"small.bin", 500}})));
  EXPECT_EQ(Names(), std::vector<std::string>{"Segment0-small.bin"});

  ASSERT_TRUE(doc_.BuildSplitJob(Request({{"a.bin", 15000}, {"b.bin", 5000}})));
  EXPECT_EQ(Names(),
            (std::vector<std::string>{"Segment0-a.bin", "Segment1-a.bin", "Segment0-b.bin"}));

  // Recovery files follow their file's segments and read by their own names.
  auto withRecovery = Request({{"a.bin", 15000}, {"b.bin", 5000}});
  withRecovery.recoveryPercent = 50;
  ASSERT_TRUE(doc_.BuildSplitJob(withRecovery));
  EXPECT_EQ(Names(), (std::vector<std::string>{
                         "Segment0-a.bin", "Segment1-a.bin", "Recovery-a.bin.par2",
                         "Recovery-a.bin.vol00+01.par2", "Segment0-b.bin", "Recovery-b.bin.par2",
                         "Recovery-b.bin.vol00+01.par2"}));

  ASSERT_TRUE(
      doc_.BuildPlainJob(Request({{"a.pdf", 2048}, {"b.pdf", 1000000}, {"c.pdf", 3500000}})));
  EXPECT_EQ(Names(),
            (std::vector<std::string>{"a.pdf (2 KB)", "b.pdf (1000000 Bytes)", "c.pdf (3 MB)"}));
  for (size_t i = 0; i < model_.RowCount(); ++i) {
    EXPECT_EQ(model_.Row(i).status, "Queued");
    EXPECT_EQ(model_.Row(i).progress, "0%");
    EXPECT_EQ(model_.Row(i).state, RowState::Neutral);
  }
}

// Rows start ticked like their pending records (they used to start unticked).
TEST_F(SendListModelTest, CheckBoxesCarryIntoPendingAndToggleAlternates) {
  ASSERT_TRUE(doc_.BuildSplitJob(Request({{"a.bin", 25000}})));
  for (size_t i = 0; i < 3; ++i) EXPECT_TRUE(model_.Row(i).checked);
  EXPECT_EQ(Pending(), (std::vector<int>{1, 1, 1}));
  model_.SetChecked(1, false);
  EXPECT_EQ(Pending(), (std::vector<int>{1, 0, 1}));
  model_.SetChecked(1, true);
  EXPECT_EQ(Pending(), (std::vector<int>{1, 1, 1}));

  doc_.ToggleChecks();
  EXPECT_EQ(Pending(), (std::vector<int>{0, 0, 0}));
  doc_.ToggleChecks();
  EXPECT_EQ(Pending(), (std::vector<int>{1, 1, 1}));
  // A new job starts the toggle over.
  doc_.ToggleChecks();
  ASSERT_TRUE(doc_.BuildSplitJob(Request({{"a.bin", 25000}})));
  doc_.ToggleChecks();
  EXPECT_EQ(Pending(), (std::vector<int>{0, 0, 0}));
}

TEST_F(SendListModelTest, RunEventsWriteStatusProgressAndRowStates) {
  ASSERT_TRUE(doc_.BuildSplitJob(Request({{"a.bin", 25000}})));
  std::vector<std::pair<size_t, size_t>> changes;
  model_.changed = [&](size_t a, size_t b) { changes.push_back({a, b}); };

  doc_.ApplyEngineEvent({dtl::SendEventKind::Status, 1, 0, "Sending Segment..."});
  doc_.ApplyEngineEvent({dtl::SendEventKind::UploadPercent, 1, 40, {}});
  doc_.ApplyEngineEvent({dtl::SendEventKind::FailedRetrying, 1, 0, {}});
  EXPECT_EQ(model_.CurrentRow(), 1);
  EXPECT_EQ(model_.Row(1).status, "Sending Segment...");
  EXPECT_EQ(model_.Row(1).progress, "40%");
  EXPECT_EQ(model_.Row(1).state, RowState::Failed);
  // A failure's status carries its error log's path for the row's tool tip.
  doc_.ApplyEngineEvent({dtl::SendEventKind::Status, 1, 0, "Failed sending segment number 2: x",
                         "Log file created: /tmp/DTLErrorLog.xml"});
  EXPECT_EQ(model_.Row(1).detail, "Log file created: /tmp/DTLErrorLog.xml");
  // A provider-limit pause is the row's status like any other: the user sees why it waits.
  dtl::SendEvent paused{dtl::SendEventKind::Status, 1, 0,
                        "Sending paused: the account's sending quota is used up (550 5.4.5 "
                        "quota). Going on at 14:05."};
  paused.pausedUntil = 1796652300;
  doc_.ApplyEngineEvent(paused);
  EXPECT_EQ(model_.Row(1).status, paused.text);

  // A failed row later delivered turns green, and its box and record are cleared.
  doc_.ApplyEngineEvent({dtl::SendEventKind::Delivered, 1, 0, {}});
  EXPECT_EQ(model_.Row(1).status, "Success");
  EXPECT_EQ(model_.Row(1).detail, "");
  EXPECT_EQ(model_.Row(1).state, RowState::Delivered);
  EXPECT_FALSE(model_.Row(1).checked);
  EXPECT_EQ(Pending(), (std::vector<int>{1, 0, 1}));

  // Stop's own status goes to the row being worked on.
  doc_.Stop();
  EXPECT_EQ(model_.Row(0).status, "Stopped");
  for (const auto& [a, b] : changes) EXPECT_LE(a, b);
  EXPECT_FALSE(changes.empty());
}

// A segment delivered while some recipients were refused for good must not read "Success":
// the row names who will never get it, and stays green (the segment is done).
TEST_F(SendListModelTest, DeliveredRowSaysWhoWasRefusedAndSuccessOnlyWhenEverybodyGotIt) {
  ASSERT_TRUE(doc_.BuildSplitJob(Request({{"a.bin", 25000}})));
  const struct {
    const char* name;
    std::string text;  // the Delivered event's text
    const char* row;   // the row's final status
  } cases[] = {
      {"everybody got it", "", "Success"},
      {"one refused for good", "Delivered; refused: b@y.test", "Delivered; refused: b@y.test"},
      {"two refused for good", "Delivered; refused: b@y.test, c@z.test",
       "Delivered; refused: b@y.test, c@z.test"},
  };
  size_t position = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto p = static_cast<int32_t>(position++);
    doc_.ApplyEngineEvent({dtl::SendEventKind::Status, p, 0,
                           "Segment number 1 delivered; refused for good: b@y.test (550 no)"});
    doc_.ApplyEngineEvent({dtl::SendEventKind::Delivered, p, 0, c.text});
    EXPECT_EQ(model_.Row(p).status, c.row);
    EXPECT_EQ(model_.Row(p).state, RowState::Delivered);
    EXPECT_FALSE(model_.Row(p).checked);
  }
}

TEST_F(SendListModelTest, HintsForRowsThatDoNotExistAreIgnored) {
  ASSERT_TRUE(doc_.BuildSplitJob(Request({{"a.bin", 500}})));
  doc_.ApplyEngineEvent({dtl::SendEventKind::Status, 7, 0, "far away"});
  doc_.ApplyEngineEvent({dtl::SendEventKind::Delivered, -1, 0, {}});
  doc_.ApplyEngineEvent({dtl::SendEventKind::FailedRetrying, 3, 0, {}});
  EXPECT_EQ(model_.Row(0).status, "Queued");
  EXPECT_FALSE(model_.SetChecked(5, true));
}

}  // namespace
