// The zip reader on arbitrary bytes from memory: open, entry count, every entry's header and
// its data through a destination of 1 to 4096 bytes, plus direct queries with hostile indexes.
// With the top bit of the first byte set, every entry is also extracted to a file named after
// the entry, as a caller that unpacks an archive into a folder does: nothing may ever be
// written outside that folder.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "archive/ZipReader.h"

namespace {

namespace fs = std::filesystem;

// <tmp>/dtl-zip-fuzz-PID/root/in: archives unpack into "in"; "root" must never hold anything else.
const fs::path kRoot =
    fs::temp_directory_path() / ("dtl-zip-fuzz-" + std::to_string(getpid())) / "root";
const fs::path kIn = kRoot / "in", kHome = fs::current_path();

void ExtractToFiles(const std::vector<uint8_t>& archive) {
  using namespace dtl;
  fs::remove_all(kRoot);
  fs::create_directories(kIn);
  fs::current_path(kIn);  // the folder for file destinations is taken at open time
  ZipHandle h = ZipOpen(archive.data(), static_cast<uint32_t>(archive.size()), ZIP_MEMORY);
  fs::current_path(kHome);  // libFuzzer writes its artifacts relative to this
  dtlfuzz::ForEachEntry(h, [&](int32_t i, const ZipEntryInfo& entry) {
    const std::string name = entry.name;
    const uint32_t r = ZipExtract(h, i, const_cast<char*>(name.c_str()), 0, ZIP_FILENAME);
    const bool escapes = name.starts_with("/") || name == ".." || name.starts_with("../") ||
                         name.find("/../") != std::string::npos || name.ends_with("/..");
    if (escapes && r != ZIPR_ARGS) std::abort();
  });
  ZipClose(h);
  for (const auto& e : fs::directory_iterator(kRoot))
    if (e.path() != kIn) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dtl;
  if (size < 2) return 0;
  // The first two bytes choose the buffer size and the file mode; the rest is the archive,
  // copied so that any read past its end lands outside the allocation and is caught.
  const bool toFiles = data[0] & 0x80;
  const uint32_t chunk = 1 + ((uint32_t(data[0] & 0x7f) << 8 | data[1]) % 4096);
  std::vector<uint8_t> archive(data + 2, data + size);
  dtlfuzz::DrainZip(archive.data(), archive.size(), chunk);
  if (toFiles) ExtractToFiles(archive);

  // Extraction without a header query first, into a one-byte destination, and indexes that are
  // not there; none may read outside the archive.
  ZipHandle h = ZipOpen(archive.data(), static_cast<uint32_t>(archive.size()), ZIP_MEMORY);
  if (!h) std::abort();  // a memory source always opens
  uint8_t one = 0;
  for (int32_t index : {1, 0, -2, 0x7fffffff}) {
    int guard = 0;
    while (ZipExtract(h, index, &one, 1, ZIP_MEMORY) == ZIPR_MORE && ++guard < 4096) {
    }
  }
  ZipClose(h);
  return 0;
}
