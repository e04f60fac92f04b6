// A small reader of zip archives (local headers, central directory, end record; entries stored
// or deflated) that pulls entries out into memory, an open file or a named file.
//
// Call order: ZipOpen() -> ZipGetEntry() -> ZipExtract() (repeat with the same index while it
// returns ZIPR_MORE) -> ZipClose(). Every operation returns a result code (ZIPR_OK is 0) and
// also stores it as the last result (ZipLastResult()).
//
// The ZIPR_* codes are this reader's own status values, not dtl::Error: ZIPR_MORE is not a
// failure but "call again", and the codes, their values and the process-wide last result are
// the reader's defined interface (the merge and the fuzz targets act on them). Callers that
// report a failure turn a code into a dtl::Error themselves.
//
// The reader never trusts a declared size: entry data is bounded by the archive itself, the
// CRC-32 of every entry is checked when its extraction ends (a mismatch is ZIPR_CORRUPT), and
// nothing is allocated from a size the archive claims.
#pragma once

#include <cstdint>

namespace dtl {

inline constexpr uint32_t ZIPR_OK = 0x00000000;
inline constexpr uint32_t ZIPR_NODUPH = 0x00000100;
inline constexpr uint32_t ZIPR_NOFILE = 0x00000200;
inline constexpr uint32_t ZIPR_WRITE = 0x00000400;  // writing to a file destination failed
inline constexpr uint32_t ZIPR_MORE = 0x00000600;
inline constexpr uint32_t ZIPR_CORRUPT = 0x00000700;
inline constexpr uint32_t ZIPR_READ = 0x00000800;
inline constexpr uint32_t ZIPR_ARGS = 0x00010000;
inline constexpr uint32_t ZIPR_ZMODE = 0x00080000;
inline constexpr uint32_t ZIPR_NOTINITED = 0x01000000;
inline constexpr uint32_t ZIPR_SEEK = 0x02000000;
inline constexpr uint32_t ZIPR_FLATE = 0x05000000;

// Source and destination kinds.
inline constexpr uint32_t ZIP_HANDLE = 1;  // an open file descriptor, passed as (void*)(intptr_t)fd
inline constexpr uint32_t ZIP_FILENAME = 2;  // a NUL-terminated path (const char*)
inline constexpr uint32_t ZIP_MEMORY = 3;    // address and length; read in place, not copied

struct ZipEntryInfo {
  int32_t index = 0;  // the entry's index; for index -1, the number of entries
  char name[260] = {};
  uint32_t attributes = 0;
  uint64_t accessTime = 0;  // Windows file times (100 ns since 1601)
  uint64_t creationTime = 0;
  uint64_t modificationTime = 0;  // from the entry's DOS date and time
  int32_t compressedSize = 0;
  int32_t uncompressedSize = 0;
};

struct ZipReaderState;
struct ZipHandleData {
  uint32_t kind;  // 1 marks a reader handle
  ZipReaderState* state;
};
using ZipHandle = ZipHandleData*;

// Opens a source. Null (last result set) only when the source itself cannot be set up: bad kind
// (ZIPR_ARGS), descriptor not duplicable (ZIPR_NODUPH), file missing (ZIPR_NOFILE), descriptor
// not a regular file (ZIPR_SEEK). Bytes that are not a zip archive still give a handle; the
// first entry query then answers ZIPR_CORRUPT. The folder for file destinations is the current
// directory at this moment.
ZipHandle ZipOpen(const void* source, uint32_t length, uint32_t sourceKind);

// Fills `entry` for entry `index` (0-based); -1 gives the entry count in entry.index with every
// other field zero. Errors: ZIPR_ARGS (null handle, index below -1 or not below the count),
// ZIPR_ZMODE (not a reader handle), ZIPR_CORRUPT (not a readable archive, or a bad central or
// local header, or entry data that would run past the archive), ZIPR_READ (a file source failed),
// ZIPR_NOTINITED (another thread is using the same handle). The name is cut to 259 characters;
// attributes are the low byte of the external attributes; all three times come from the DOS
// stamp (read as local time). Querying the entry queried last answers from a cache.
uint32_t ZipGetEntry(ZipHandle handle, int32_t index, ZipEntryInfo& entry);

// Extracts entry `index` into `destination`: a buffer of `length` bytes (ZIP_MEMORY), an open
// descriptor (ZIP_HANDLE, written from its current position) or a file name (ZIP_FILENAME)
// created, with missing folders made one level at a time, under the folder captured at open
// time; absolute names and names with a ".." part are refused (ZIPR_ARGS), links inside that
// tree are not followed, and a name ending in "/" only makes the folders. `length` is used only
// for memory. A memory destination that fills while data remains gives ZIPR_MORE; call again
// with the same index to continue (a different index, or a descriptor or file destination,
// starts over). Descriptor and file destinations take the whole entry in one call.
// Errors: ZIPR_ARGS, ZIPR_ZMODE, ZIPR_NOTINITED as above; ZIPR_CORRUPT for a bad archive, an
// encrypted entry, a method other than stored or deflated, or data whose length or CRC-32 does
// not match its header (checked when the entry ends; a named file is then removed again);
// ZIPR_FLATE for deflate data that is damaged or cut short; ZIPR_READ for a failing file
// source; ZIPR_NOFILE when the destination cannot be opened or created; ZIPR_WRITE when writing
// it fails. After any error the entry is closed and the next call starts over.
uint32_t ZipExtract(ZipHandle handle, int32_t index, void* destination, uint32_t length,
                    uint32_t destinationKind);

// Releases the handle and its state (the duplicated or opened descriptor is closed); null is
// ignored. The handle must not be used afterwards.
void ZipClose(ZipHandle handle);

// The result of the latest operation in the process (any thread, any handle).
uint32_t ZipLastResult();

}  // namespace dtl
