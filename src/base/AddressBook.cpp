#include "base/AddressBook.h"

#include "base/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>

#include "base/ProgramFolder.h"

namespace dtl {
namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// What the book keeps of a line or a typed text: no commas (the recipient separator of other
// mail programs) and no control bytes (a NUL or CR inside a line would split or hide it).
std::string Clean(std::string_view text, size_t maxChars) {
  std::string out;
  out.reserve(std::min(text.size(), maxChars));
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == ',' || u < 0x20 || u == 0x7F) continue;
    if (out.size() == maxChars) break;
    out.push_back(c);
  }
  return out;
}

int InsertSorted(std::vector<std::string>& list, std::string text) {
  auto at = std::upper_bound(
      list.begin(), list.end(), text,
      [](const std::string& a, const std::string& b) { return AddressLess(a, b); });
  const auto index = at - list.begin();
  list.insert(at, std::move(text));
  return static_cast<int>(index);
}

int FindEqual(const std::vector<std::string>& list, std::string_view text) {
  for (size_t i = 0; i < list.size(); ++i)
    if (AddressEquals(list[i], text)) return static_cast<int>(i);
  return -1;
}

}  // namespace

bool AddressLess(std::string_view a, std::string_view b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const char x = Lower(a[i]), y = Lower(b[i]);
    if (x != y) return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
  }
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

bool AddressEquals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

bool LooksLikeAddress(std::string_view typed) { return typed.find('@') != std::string_view::npos; }

std::filesystem::path AddressBook::PathIn(const std::filesystem::path& programFolder,
                                          const std::filesystem::path& dataFolder) {
  return DataFilePath(programFolder, dataFolder, kFileName);
}

AddressBook AddressBook::Load(const std::filesystem::path& file) {
  AddressBook book;
  // O_NONBLOCK keeps a FIFO planted under the name from hanging the dialog; only regular files
  // are read.
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return book;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return book;
  }
  std::string data;
  data.resize(
      std::min<size_t>(kMaxFileBytes, st.st_size > 0 ? static_cast<size_t>(st.st_size) : 0));
  size_t got = 0;
  while (got < data.size()) {
    const ssize_t n = ::read(fd, data.data() + got, data.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(fd);
  data.resize(got);

  size_t start = 0;
  while (start < data.size() && book.entries_.size() < kMaxEntries) {
    size_t end = data.find('\n', start);
    const bool last = end == std::string::npos;
    if (last) end = data.size();
    std::string_view line(data.data() + start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    book.entries_.push_back(Clean(line, kMaxEntryChars));
    start = end + 1;
  }
  // The file is meant to be sorted already; a hand-edited one is shown in order all the same.
  std::stable_sort(book.entries_.begin(), book.entries_.end(),
                   [](const std::string& a, const std::string& b) { return AddressLess(a, b); });
  return book;
}

int AddressBook::Add(std::string_view typed) {
  changed_ = true;
  std::string address = Clean(typed, kMaxTypedChars);
  if (address.empty()) return -1;
  if (const int at = FindEqual(entries_, address); at >= 0) return at;
  if (entries_.size() >= kMaxEntries) return -1;
  return InsertSorted(entries_, std::move(address));
}

void AddressBook::Remove(int index) {
  changed_ = true;
  if (index >= 0 && static_cast<size_t>(index) < entries_.size())
    entries_.erase(entries_.begin() + index);
}

Status AddressBook::Save(const std::filesystem::path& file) const {
  std::string text;
  for (const auto& e : entries_) text += e + "\r\n";
  // Whom the user mails is nobody else's business: owner only.
  return ReplaceFileAtomically(file, text, 0600);
}

RecipientList::RecipientList(std::string_view initial) {
  size_t start = 0;
  while (start <= initial.size()) {
    size_t end = initial.find(';', start);
    if (end == std::string_view::npos) end = initial.size();
    Add(initial.substr(start, end - start));
    start = end + 1;
  }
}

int RecipientList::Add(std::string_view address) {
  std::string clean = Clean(address, AddressBook::kMaxEntryChars);
  if (clean.empty()) return -1;
  if (const int at = FindEqual(entries_, clean); at >= 0) return at;
  return InsertSorted(entries_, std::move(clean));
}

void RecipientList::Remove(int index) {
  if (index >= 0 && static_cast<size_t>(index) < entries_.size())
    entries_.erase(entries_.begin() + index);
}

std::string RecipientList::Result() const {
  std::string out;
  for (const auto& e : entries_) {
    for (char c : e) out.push_back(Lower(c));
    out.push_back(';');
  }
  return out;
}

}  // namespace dtl
