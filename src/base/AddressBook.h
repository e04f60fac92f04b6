// The personal address book (Contacts.dat) and the recipient list that the Add Recipients
// dialog builds from it.
//
// Contacts.dat is a text file of one mail address per line, lines ended by CR LF (a lone LF is
// accepted on read), kept in ascending order. The reader treats the file as hostile: it reads at
// most kMaxFileBytes, keeps at most kMaxEntries lines, cuts each line at kMaxEntryChars, drops
// NUL and other control bytes and removes commas (an address never holds one), so a damaged or
// planted file can neither exhaust memory nor smuggle a separator into a recipient list.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "base/Error.h"

namespace dtl {

// Text order of both lists: ASCII case ignored first, then byte order, so "Bob" and "bob" keep
// a stable place next to each other.
bool AddressLess(std::string_view a, std::string_view b);
// ASCII case-insensitive equality, the comparison every duplicate check uses.
bool AddressEquals(std::string_view a, std::string_view b);
// Whether the typed text may be added at all: it contains "@".
bool LooksLikeAddress(std::string_view typed);

class AddressBook {
 public:
  static constexpr size_t kMaxFileBytes = 4 * 1024 * 1024;
  static constexpr size_t kMaxEntries = 10000;
  static constexpr size_t kMaxEntryChars = 1000;
  static constexpr size_t kMaxTypedChars = 255;  // the dialog's edit limit

  static constexpr const char* kFileName = "Contacts.dat";
  // The book's file: DataFilePath(programFolder, dataFolder, kFileName), so a book an earlier
  // version left beside the program stays in use until it has been moved.
  static std::filesystem::path PathIn(const std::filesystem::path& programFolder,
                                      const std::filesystem::path& dataFolder);

  // Reads `file`; a missing or unreadable file gives an empty book (no error). The book is
  // unchanged afterwards (Changed() is false).
  static AddressBook Load(const std::filesystem::path& file);

  // Entries in display order.
  const std::vector<std::string>& Entries() const { return entries_; }
  // Adds the typed address with every comma removed (and cut at kMaxTypedChars) unless an
  // entry equal to it ignoring case exists. The book counts as changed either way. Returns the
  // index of the new or the existing entry, or -1 when nothing is left after the clean-up.
  int Add(std::string_view typed);
  // Deletes entry `index` (out of range: nothing). The book counts as changed either way.
  void Remove(int index);
  bool Changed() const { return changed_; }

  // Replaces `file` with the entries, one per line ended by CR LF, through a temporary file in
  // the same folder and a rename, so a failed write never leaves a half-written book. The file
  // is mode 0600. Io
  // ("FILE: strerror", `system` = errno) when the file could not be written; the dialog
  // ignores that (nothing is reported).
  Status Save(const std::filesystem::path& file) const;

 private:
  std::vector<std::string> entries_;
  bool changed_ = false;
};

// The right-hand list of the Add Recipients dialog.
class RecipientList {
 public:
  // Fills the list from "a;b;..." (empty pieces skipped), as the dialog's initial recipients.
  explicit RecipientList(std::string_view initial = {});
  const std::vector<std::string>& Entries() const { return entries_; }
  // Adds an address-book entry unless an equal one (case ignored) is there; empty entries are
  // never added. Returns the index of the new or existing entry, or -1.
  int Add(std::string_view address);
  void Remove(int index);
  // Every recipient in list order, each followed by ";", in lower case; "" when empty.
  std::string Result() const;

 private:
  std::vector<std::string> entries_;
};

}  // namespace dtl
