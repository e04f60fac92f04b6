// Cutting one segment's bytes out of a source file into a temporary piece file, and the sweep
// that removes piece files after a delivery attempt.
//
// Call order in the send engine, per attempt: ProducePiece() -> pack and deliver the piece ->
// SweepPiecesAfterAttempt(). Both are safe to call from a worker thread; nothing here shows
// anything to the user: errors come back as a dtl::Error whose message is the system's text for
// the caller to show (titled "Drovetail").
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "base/Error.h"
#include "base/TempFiles.h"

namespace dtl {

// Where piece `pieceNumber` (from 1) of a file lies.
struct PieceExtent {
  uint64_t offset = 0;
  uint64_t length = 0;
};

// The extent of piece `pieceNumber` of a file of `fileSize` bytes cut into `segmentSize`-byte
// segments (kWholeFileSegment = the whole file). The last piece holds the remainder; a segment
// larger than the file gives one piece holding the whole file. nullopt when the piece does not
// exist (number 0 or beyond the last piece, or a segment size of 0).
std::optional<PieceExtent> PieceBounds(uint64_t fileSize, uint64_t segmentSize,
                                       uint64_t pieceNumber);

// Writes piece `pieceNumber` of the file at `path` into a new "DTL*.tmp" file in `tempFolder`
// and returns that file still open (read it back with TempPieceFile::ReadAll, never by its
// name); the caller owns the file and deletes it. Fails, leaving no piece file behind,
// when the source cannot be opened or read or the temporary file cannot be created or written
// (the system's text; "<folder>: <text>" for the temporary file) or the piece does not exist
// (InvalidArgument, "Invalid argument"). Offsets are 64-bit, so files beyond 4 GiB cut like any
// other.
//
// `fileSize` is the size recorded when the file was chosen. If the source has shrunk since, the
// piece holds only the bytes that are still there (possibly none); it never holds more bytes
// than were read. Growth is ignored: the cut follows the recorded size.
Result<TempPieceFile> ProducePiece(const std::string& path, uint64_t segmentSize,
                                   uint64_t pieceNumber, uint64_t fileSize,
                                   const std::filesystem::path& tempFolder);

// The clean-up after a delivery attempt: deletes every "DTL*.tmp" file in `tempFolder`
// (leftovers of earlier runs included) and returns how many went. When the job was stopped the
// sweep is skipped (returns 0); the piece of the interrupted attempt goes with the sweep at exit.
size_t SweepPiecesAfterAttempt(const std::filesystem::path& tempFolder, bool jobStopped);

}  // namespace dtl
