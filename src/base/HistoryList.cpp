#include "base/HistoryList.h"

#include <algorithm>

#include "base/AddressBook.h"

namespace dtl {
namespace {

std::string_view Trim(std::string_view s) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

// Entries beyond this are never looked at: the stale-entry sweep ends here.
constexpr size_t kLastEntryIndex = 999;

}  // namespace

void HistoryList::SetMaxItems(size_t n) {
  max_ = n;
  if (items_.size() > max_) items_.resize(max_);
}

std::string HistoryList::RememberedKey() const {
  if (!currentKey_.empty()) return currentKey_;
  if (!prefix_.empty()) return prefix_;
  return "Last";
}

std::string HistoryList::Load(std::string_view prefix, bool rememberCurrent,
                              std::string_view currentKey) {
  if (prefix.empty()) return {};
  items_.clear();
  prefix_ = prefix;
  currentKey_ = currentKey;
  remember_ = rememberCurrent;
  for (size_t n = 0; n < max_; ++n) {
    std::string item = store_.GetProfileString(prefix_ + std::to_string(n));
    if (item.empty()) break;
    items_.push_back(std::move(item));
  }
  return remember_ ? store_.GetProfileString(RememberedKey()) : std::string();
}

int HistoryList::Add(std::string_view text) {
  const std::string_view trimmed = Trim(text);
  if (trimmed.empty()) return -1;
  std::string item(trimmed);
  const auto dup = std::find_if(items_.begin(), items_.end(),
                                [&](const std::string& s) { return AddressEquals(s, item); });
  if (dup != items_.end()) items_.erase(dup);
  items_.insert(items_.begin(), std::move(item));
  if (items_.size() > max_) items_.resize(max_);
  return 0;
}

Status HistoryList::Save(std::string_view currentText, bool addCurrent) {
  if (prefix_.empty())
    return Error(ErrorCode::Failed, "the history list has no profile entries to save to");
  if (addCurrent) Add(currentText);
  const size_t m = std::min(items_.size(), max_ + 1);
  std::vector<std::pair<std::string, std::string>> entries;
  for (size_t i = 0; i < m; ++i) entries.emplace_back(prefix_ + std::to_string(i), items_[i]);
  if (remember_) entries.emplace_back(RememberedKey(), std::string(currentText));
  Status result = store_.WriteProfileStrings(entries);
  // Stale entries are still cleared after a failed write: what can be tidied is.
  for (size_t n = m; n <= kLastEntryIndex; ++n) {
    const std::string name = prefix_ + std::to_string(n);
    if (store_.GetProfileString(name).empty()) break;
    if (Status deleted = store_.DeleteValue(kProfileKey, name); !deleted && result)
      result = std::move(deleted);
  }
  return result;
}

}  // namespace dtl
