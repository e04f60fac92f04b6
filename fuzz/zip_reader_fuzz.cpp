// The zip reader on arbitrary bytes from memory: open, entry count, every entry's header and
// its data through a destination of 1 to 4096 bytes, plus direct queries with hostile indexes.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "FuzzSupport.h"
#include "receive/ZipReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dtl;
  if (size < 2) return 0;
  // The first two bytes choose the buffer size; the rest is the archive, copied so that any read
  // past its end lands outside the allocation and is caught.
  const uint32_t chunk = 1 + ((uint32_t(data[0]) << 8 | data[1]) % 4096);
  std::vector<uint8_t> archive(data + 2, data + size);
  dtlfuzz::DrainZip(archive.data(), archive.size(), chunk);

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
