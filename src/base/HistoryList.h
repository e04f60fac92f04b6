// The remembered entries of a history box (the browser's address box, the send dialogs' "Mail
// To:" box), kept in the settings store's profile section "Settings": the entry prefix + 0,
// prefix + 1, ... holds the items newest first, and one more entry holds the box's text at the
// last save.
//
// Call order: construct over a store, SetMaxItems(), Load(), then Add()/Save() as entries are
// used. Profile reads that fail give an empty history; writes fail silently (Save reports them).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "base/SettingsStore.h"

namespace dtl {

class HistoryList {
 public:
  // The store must outlive the list.
  explicit HistoryList(SettingsStore& store) : store_(store) {}

  // Sets the maximum (initially 10) and drops items from position n onward.
  void SetMaxItems(size_t n);
  size_t MaxItems() const { return max_; }

  // Fills the list from the profile: prefix + 0, prefix + 1, ... up to the maximum, stopping at
  // the first empty entry. An empty prefix loads nothing and leaves the list unbound (Save then
  // does nothing). Returns the remembered text when rememberCurrent is set, else "".
  std::string Load(std::string_view prefix, bool rememberCurrent = true,
                   std::string_view currentKey = {});

  // Puts `text`, trimmed of blanks, at the top, removes a later equal item (ASCII case
  // ignored) and drops items beyond the maximum. A text that is blank after trimming is not
  // added (an empty item would end the list at the next load and lose everything after it);
  // returns -1 then, else 0.
  int Add(std::string_view text);

  // Writes the items to the profile and deletes stale entries numbered after them (left by an
  // earlier, longer history); with rememberCurrent set also writes `currentText` as the
  // remembered text. With addCurrent set a non-blank currentText is Add()ed first. Errors:
  // the store's (see SettingsStore::SetDword), the first one met; Failed when the list is
  // unbound (nothing written).
  Status Save(std::string_view currentText, bool addCurrent = true);

  const std::vector<std::string>& Items() const { return items_; }
  // The entry holding the remembered text: the given key, else the prefix, else "Last".
  std::string RememberedKey() const;
  bool Bound() const { return !prefix_.empty(); }

 private:
  SettingsStore& store_;
  std::vector<std::string> items_;
  std::string prefix_, currentKey_;
  bool remember_ = true;
  size_t max_ = 10;
};

}  // namespace dtl
