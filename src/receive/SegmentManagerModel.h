// The Segment Manager's model: the found attachments filed as a tree of files (top level) and
// their segments (second level) with check boxes, the ticked count that enables "Download",
// the list of item keys the crawler reads to skip messages already listed, and the two
// settings the manager keeps ("AutoMerge" and "savepath"). A dialog shows this state and
// forwards clicks to it; nothing here touches a window.
//
// Threads: the tree (File, ticking, Sort, FinishKey, reads of Groups) belongs to one thread, the
// one the dialog runs on. Only the key list is shared: the crawler may call HasKey()/Keys()
// from its own thread while File() appends to it; a mutex guards it.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "receive/DownloadEngine.h"

namespace dtl {

class SettingsStore;

class SegmentManagerModel {
 public:
  struct Segment {
    DownloadItem record;  // the segment file name and the item key
    bool ticked = false;
  };
  struct Group {
    std::string name;  // the segment names without their last extension
    bool ticked = false;
    // The segments and the file's recovery files, filed alike (ticked with the group).
    std::vector<Segment> segments;
    // The recovery blocks the group's recovery files announce in their names (a hint for the
    // listing: the files themselves are what counts) and how many recovery files it holds.
    uint32_t recoveryBlocks = 0;
    size_t recoveryFiles = 0;
  };

  // The group a segment name is filed under: the name without its last extension
  // ("movie.avi.001" and "movie.avi.dtl" give "movie.avi"; a name without a dot is its own).
  // A recovery file goes under the file it belongs to ("movie.avi.vol00+05.par2" and
  // "movie.avi.par2" give "movie.avi"). A ".doc" mail ending (any case) after a segment or
  // recovery file name is no part of it ("movie.avi.001.doc" gives "movie.avi").
  static std::string GroupName(const std::string& segmentName);
  // True when a filed name is a recovery file's rather than a segment's (".doc" ending aside).
  static bool IsRecoveryName(const std::string& fileName);

  // Files a record: under the group of its name, appended after the segments already there;
  // a new group is appended at the end. A record whose name the group already holds (same
  // bytes) is dropped: false. A filed record's key joins the key list.
  bool File(const DownloadItem& record);

  // Check boxes. Ticking a group ticks every segment of it and the count rises by each segment
  // that was not ticked yet; unticking lowers it by each that was ticked. Out-of-range indexes
  // are ignored.
  void SetGroupTicked(size_t group, bool ticked);
  void SetSegmentTicked(size_t group, size_t segment, bool ticked);
  // "Select All Files": every group and segment takes `ticked`.
  void SelectAll(bool ticked);
  // "Sort": groups by name, then the segments of each (ASCII case ignored, then exact bytes).
  void Sort();
  // The download reported the item with this key saved or skipped: the first segment in tree
  // order holding the key is unticked and the count lowered (only if it was ticked). False
  // when no segment holds the key.
  bool FinishKey(const std::string& key);
  // Forgets every group, segment and key (a dialog closing).
  void Clear();

  const std::vector<Group>& Groups() const { return groups_; }
  int TickedCount() const { return ticked_; }
  bool DownloadEnabled() const { return ticked_ >= 1; }
  // The records of every ticked segment in tree order: the download's items.
  std::vector<DownloadItem> TickedItems() const;

  // The key list, safe to call from the crawler's thread while File() runs.
  bool HasKey(const std::string& key) const;
  std::vector<std::string> Keys() const;

  // Settings: "AutoMerge" is on unless the value exists and is 0; writing stores it at once.
  // "savepath" is the download folder ("" when missing).
  static bool ReadAutoMerge(const SettingsStore& settings);
  static bool WriteAutoMerge(SettingsStore& settings, bool on);
  static std::string ReadSavePath(const SettingsStore& settings);
  static bool WriteSavePath(SettingsStore& settings, const std::string& folder);

 private:
  std::vector<Group> groups_;
  int ticked_ = 0;
  mutable std::mutex keysMutex_;
  std::vector<std::string> keys_;
};

}  // namespace dtl
