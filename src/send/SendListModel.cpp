#include "send/SendListModel.h"

#include <cstdio>

namespace dtl {

namespace {

// Names are cut at 800 bytes, as the row's text buffer holds.
std::string Cut800(const std::string& s) { return s.substr(0, 800); }

}  // namespace

std::string SizeText(uint64_t n) {
  char text[48];
  if (n >= 1025 && n < 1000000)
    std::snprintf(text, sizeof text, "%llu KB", static_cast<unsigned long long>(n / 1024));
  else if (n > 1000000)
    std::snprintf(text, sizeof text, "%llu MB", static_cast<unsigned long long>(n / 1000000));
  else
    std::snprintf(text, sizeof text, "%llu Bytes", static_cast<unsigned long long>(n));
  return text;
}

SendListModel::SendListModel(SendDocument& doc) : doc_(doc) { Rebuild(); }

void SendListModel::Changed(size_t first, size_t last) {
  if (changed) changed(first, last);
}

void SendListModel::Rebuild() {
  rows_.clear();
  current_ = -1;
  const bool plain = doc_.Fields().plain;
  const std::vector<SegmentRecord> records = doc_.Records();
  for (const SegmentRecord& r : records) {
    SendListRow row;
    if (plain)
      row.name = Cut800(r.name) + " (" + SizeText(r.fileSize) + ")";
    else if (r.IsRecovery())
      row.name = "Recovery-" + Cut800(r.recoveryFile);
    else
      row.name =
          "Segment" + std::to_string(records.size() < 2 ? 0 : r.index) + "-" + Cut800(r.name);
    row.status = "Queued";
    row.progress = "0%";
    // The box shows what will happen: a pending record is ticked.
    row.checked = r.pending != 0;
    rows_.push_back(std::move(row));
  }
  if (!rows_.empty()) Changed(0, rows_.size() - 1);
}

void SendListModel::Toggle() {
  // Rows start ticked, so the first toggle after a rebuild clears every box and the next one
  // ticks them all again.
  const bool tick = doc_.ToggleFlag();
  for (size_t i = 0; i < rows_.size(); ++i) SetChecked(i, tick);
  doc_.SetToggleFlag(!tick);
}

bool SendListModel::SetChecked(size_t row, bool checked) {
  if (row >= rows_.size()) return false;
  rows_[row].checked = checked;
  doc_.SetPending(row, checked);
  Changed(row, row);
  return true;
}

void SendListModel::OnDocUpdate(const DocUpdate& u) {
  switch (u.hint) {
    case DocHint::Rebuild: Rebuild(); break;
    case DocHint::ToggleChecks: Toggle(); break;
    case DocHint::Status:
      if (u.status.position >= 0 && static_cast<size_t>(u.status.position) < rows_.size()) {
        rows_[u.status.position].status = u.status.text;
        rows_[u.status.position].detail = u.status.detail;
        current_ = u.status.position;
        Changed(current_, current_);
      }
      break;
    case DocHint::Progress:
      if (current_ >= 0) {
        rows_[current_].progress = std::to_string(u.value) + "%";
        Changed(current_, current_);
      }
      break;
    case DocHint::Delivered:
      if (u.value >= 0 && static_cast<size_t>(u.value) < rows_.size()) {
        SendListRow& row = rows_[u.value];
        // Some recipients refused for good: "Success" would hide that they never get it.
        row.status = u.status.text.empty() ? "Success" : u.status.text;
        row.detail.clear();
        row.state = RowState::Delivered;
        SetChecked(static_cast<size_t>(u.value), false);
      }
      break;
    case DocHint::Failed:
      if (u.value >= 0 && static_cast<size_t>(u.value) < rows_.size()) {
        rows_[u.value].state = RowState::Failed;
        Changed(u.value, u.value);
      }
      break;
  }
}

}  // namespace dtl
