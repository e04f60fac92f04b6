// The send list's model: one row per segment record (per file in a plain transfer) with its
// name ("Segment3-movie.avi"; a recovery file's row "Recovery-movie.avi.vol00+01.par2"),
// status text, progress text, state and check box. A view (FileListView) draws it; the model
// changes only through the document's hints and the user's check-box clicks.
//
// User-interface thread only. Register it with SendDocument::AddView() after construction; the
// `changed` callback (when set) tells the view which rows to redraw after each change.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "send/SendDocument.h"

namespace dtl {

enum class RowState : int {
  Neutral = 0,
  Delivered = 1,  // drawn light green (colour value 13630413), black text
  Failed = 2,     // drawn light red (colour value 13027070), black text
};

inline constexpr uint32_t kDeliveredRowColour = 13630413;
inline constexpr uint32_t kFailedRowColour = 13027070;

// Column titles and their share of the width, in percent.
inline constexpr const char* kSendListColumns[3] = {"Segment Name", "Segment Status", "Progress"};
inline constexpr int kSendListColumnPercent[3] = {30, 60, 10};

struct SendListRow {
  std::string name;      // column 0
  std::string status;    // column 1
  std::string detail;    // column 1's tool tip (a failure's error log); empty: none
  std::string progress;  // column 2
  RowState state = RowState::Neutral;
  bool checked = true;  // mirrors the record's pending flag
};

// "%d Bytes"; "%d KB" (n / 1024) for 1025 <= n < 1000000; "%d MB" (n / 1000000) above
// 1000000. Exactly 1000000 shows in bytes.
std::string SizeText(uint64_t bytes);

class SendListModel : public DocView {
 public:
  explicit SendListModel(SendDocument& doc);

  // Hints 10, 11, 12, 13, 1027, 1030; others are ignored.
  void OnDocUpdate(const DocUpdate& update) override;

  // The user ticked or unticked row `row`: the record's pending flag follows. False when the
  // row does not exist.
  bool SetChecked(size_t row, bool checked);

  size_t RowCount() const { return rows_.size(); }
  const SendListRow& Row(size_t row) const { return rows_.at(row); }
  // The row that received the last status text (-1 before any).
  int CurrentRow() const { return current_; }

  // Called with the first and last row that changed (a rebuild reports every row; an empty
  // list reports nothing).
  std::function<void(size_t first, size_t last)> changed;

 private:
  void Rebuild();
  void Toggle();
  void Changed(size_t first, size_t last);

  SendDocument& doc_;
  std::vector<SendListRow> rows_;
  int current_ = -1;
};

}  // namespace dtl
