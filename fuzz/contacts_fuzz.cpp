// The address book reader on an arbitrary Contacts.dat: whatever it keeps is bounded, clean
// (no control bytes, no commas that would split a recipient list) and survives a save and a
// second load unchanged.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "base/AddressBook.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dtl;
  namespace fs = std::filesystem;
  static const fs::path dir = [] {
    fs::path d = fs::temp_directory_path() / ("dtl-contacts-fuzz-" + std::to_string(getpid()));
    fs::create_directories(d);
    return d;
  }();
  const fs::path file = dir / "Contacts.dat";
  std::ofstream(file, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));

  const AddressBook book = AddressBook::Load(file);
  if (book.Changed() || book.Entries().size() > AddressBook::kMaxEntries) std::abort();
  for (const std::string& e : book.Entries()) {
    if (e.size() > AddressBook::kMaxEntryChars) std::abort();
    for (char c : e)
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f || c == ',') std::abort();
  }
  if (!book.Save(file)) std::abort();
  if (AddressBook::Load(file).Entries() != book.Entries()) std::abort();

  RecipientList list(std::string(reinterpret_cast<const char*>(data), std::min<size_t>(size, 512)));
  for (const std::string& e : book.Entries()) list.Add(e);
  list.Result();
  return 0;
}
