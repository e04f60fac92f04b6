// How large a segment can legitimately be, for the places that take one from outside (a
// download, a segment file given to the merge) and must refuse anything larger instead of
// filling the disk or memory with it.
#pragma once

#include <cstdint>

namespace dtl {

// The largest piece of a file one segment carries: the segment-size slider's top position
// (1000 x 10000 bytes). A zip entry inflating beyond this is not a segment.
inline constexpr uint64_t kLargestSegmentPayload = 10'000'000;

// The largest segment archive: the payload plus what packing adds around it at most. The zip
// adds a local header, a central header and an end record (30 + 46 + 22 bytes) plus the entry
// name twice (under 64 KiB each, in practice a file name of at most 255 bytes), deflate adds
// 5 bytes per 64 KiB block when the piece does not compress (about 800 bytes here), and the
// AES form adds two pads (32 bytes). 256 KiB covers all of it with room to spare. A download
// (as received, and after gzip decoding) and a segment file read by the merge never exceed it.
inline constexpr uint64_t kLargestSegmentArchive = kLargestSegmentPayload + 256 * 1024;

}  // namespace dtl
