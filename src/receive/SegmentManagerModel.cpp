#include "receive/SegmentManagerModel.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <string_view>

#include "archive/SegmentRecovery.h"
#include "base/SettingsStore.h"
#include "receive/ReceivedFiles.h"

namespace dtl {

namespace {

// The tree sorts the way the user reads names: case aside first, exact bytes only to break ties
// so the order is total.
bool NameLess(const std::string& a, const std::string& b) {
  auto lower = [](unsigned char c) { return static_cast<unsigned char>(std::tolower(c)); };
  bool less = std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                           [&](char x, char y) { return lower(x) < lower(y); });
  bool greater = std::lexicographical_compare(b.begin(), b.end(), a.begin(), a.end(),
                                              [&](char x, char y) { return lower(x) < lower(y); });
  if (less || greater) return less;
  return a < b;
}

// The name without the ".doc" the sender appends to every mailed segment and recovery file;
// any other name keeps its ".doc", which is then its own ending.
std::string_view WithoutMailEnding(std::string_view name) {
  if (name.size() <= 4) return name;
  const std::string_view end = name.substr(name.size() - 4);
  if (end[0] != '.' || std::tolower(static_cast<unsigned char>(end[1])) != 'd' ||
      std::tolower(static_cast<unsigned char>(end[2])) != 'o' ||
      std::tolower(static_cast<unsigned char>(end[3])) != 'c')
    return name;
  const std::string_view rest = name.substr(0, name.size() - 4);
  return SegmentNumberOf(rest) || IsRecoveryAttachment(rest) ? rest : name;
}

}  // namespace

std::string SegmentManagerModel::GroupName(const std::string& segmentName) {
  const std::string_view name = WithoutMailEnding(segmentName);
  if (auto data = RecoveryDataName(name)) return *data;
  size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return std::string(name);
  return std::string(name.substr(0, dot));
}

bool SegmentManagerModel::IsRecoveryName(const std::string& fileName) {
  return IsRecoveryAttachment(WithoutMailEnding(fileName));
}

bool SegmentManagerModel::File(const DownloadItem& record) {
  const std::string group = GroupName(record.fileName);
  auto g =
      std::find_if(groups_.begin(), groups_.end(), [&](const Group& x) { return x.name == group; });
  if (g == groups_.end()) {
    groups_.push_back(Group{group, false, {}, 0, 0});
    g = std::prev(groups_.end());
  } else if (std::any_of(g->segments.begin(), g->segments.end(),
                         [&](const Segment& s) { return s.record.fileName == record.fileName; })) {
    return false;
  }
  g->segments.push_back(Segment{record, false});
  if (IsRecoveryName(record.fileName)) {
    ++g->recoveryFiles;
    const uint32_t blocks = RecoveryBlocksInName(WithoutMailEnding(record.fileName));
    g->recoveryBlocks = blocks > UINT32_MAX - g->recoveryBlocks ? UINT32_MAX : g->recoveryBlocks + blocks;
  }
  std::lock_guard<std::mutex> lock(keysMutex_);
  keys_.push_back(record.key);
  return true;
}

void SegmentManagerModel::SetGroupTicked(size_t group, bool ticked) {
  if (group >= groups_.size()) return;
  Group& g = groups_[group];
  g.ticked = ticked;
  for (Segment& s : g.segments) {
    if (s.ticked != ticked) ticked_ += ticked ? 1 : -1;
    s.ticked = ticked;
  }
}

void SegmentManagerModel::SetSegmentTicked(size_t group, size_t segment, bool ticked) {
  if (group >= groups_.size() || segment >= groups_[group].segments.size()) return;
  Segment& s = groups_[group].segments[segment];
  // A click that does not change the box changes nothing: the count stays one per ticked box.
  if (s.ticked != ticked) ticked_ += ticked ? 1 : -1;
  s.ticked = ticked;
}

void SegmentManagerModel::SelectAll(bool ticked) {
  ticked_ = 0;
  for (Group& g : groups_) {
    g.ticked = ticked;
    for (Segment& s : g.segments) {
      s.ticked = ticked;
      if (ticked) ++ticked_;
    }
  }
}

void SegmentManagerModel::Sort() {
  std::stable_sort(groups_.begin(), groups_.end(),
                   [](const Group& a, const Group& b) { return NameLess(a.name, b.name); });
  for (Group& g : groups_)
    std::stable_sort(g.segments.begin(), g.segments.end(), [](const Segment& a, const Segment& b) {
      return NameLess(a.record.fileName, b.record.fileName);
    });
}

bool SegmentManagerModel::FinishKey(const std::string& key) {
  for (Group& g : groups_) {
    for (Segment& s : g.segments) {
      if (s.record.key != key) continue;
      // Only a box that is still ticked lowers the count: one the user unticked while the
      // download ran was counted down already.
      if (s.ticked) --ticked_;
      s.ticked = false;
      if (ticked_ < 1) ticked_ = 0;
      // A file whose last ticked segment came down is done: its own box follows.
      if (std::none_of(g.segments.begin(), g.segments.end(),
                       [](const Segment& x) { return x.ticked; }))
        g.ticked = false;
      return true;
    }
  }
  return false;
}

void SegmentManagerModel::Clear() {
  groups_.clear();
  ticked_ = 0;
  std::lock_guard<std::mutex> lock(keysMutex_);
  keys_.clear();
}

std::vector<DownloadItem> SegmentManagerModel::TickedItems() const {
  std::vector<DownloadItem> items;
  for (const Group& g : groups_)
    for (const Segment& s : g.segments)
      if (s.ticked) items.push_back(s.record);
  return items;
}

bool SegmentManagerModel::HasKey(const std::string& key) const {
  std::lock_guard<std::mutex> lock(keysMutex_);
  return std::find(keys_.begin(), keys_.end(), key) != keys_.end();
}

std::vector<std::string> SegmentManagerModel::Keys() const {
  std::lock_guard<std::mutex> lock(keysMutex_);
  return keys_;
}

bool SegmentManagerModel::ReadAutoMerge(const SettingsStore& settings) {
  return settings.AutoMerge();
}

bool SegmentManagerModel::WriteAutoMerge(SettingsStore& settings, bool on) {
  return settings.SetDword("AutoMerge", on ? 1 : 0).ok();
}

std::string SegmentManagerModel::ReadSavePath(const SettingsStore& settings) {
  return settings.SavePath();
}

bool SegmentManagerModel::WriteSavePath(SettingsStore& settings, const std::string& folder) {
  return settings.SetString("savepath", folder).ok();
}

}  // namespace dtl
