#include "archive/PieceProducer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <system_error>

#include "archive/SegmentList.h"
#include "base/TempFiles.h"

namespace dtl {

namespace {

std::string ErrorText(int e) { return std::generic_category().message(e); }

// The bare system text (no path): the caller shows it as it is.
Error SystemError(int e) {
  return Error(e == ENOENT ? ErrorCode::NotFound : ErrorCode::Io, ErrorText(e), e);
}

// Copies through a bounded buffer rather than holding the whole piece: a plain transfer's piece
// is the whole file, which may be larger than memory.
constexpr size_t kCopyChunk = 1 << 20;

// Copies up to `length` bytes from `in` at `offset` to `out`. Stops early at the end of the
// source. Returns 0 or the errno of the failing call.
int CopyRange(int in, uint64_t offset, uint64_t length, int out) {
  auto buffer = std::make_unique_for_overwrite<unsigned char[]>(kCopyChunk);
  while (length > 0) {
    const size_t want = length < kCopyChunk ? static_cast<size_t>(length) : kCopyChunk;
    const ssize_t got = pread(in, buffer.get(), want, static_cast<off_t>(offset));
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (got == 0) break;  // the source shrank: the piece ends with the last byte read
    for (ssize_t done = 0; done < got;) {
      const ssize_t put = write(out, buffer.get() + done, static_cast<size_t>(got - done));
      if (put < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      done += put;
    }
    offset += static_cast<uint64_t>(got);
    length -= static_cast<uint64_t>(got);
  }
  return 0;
}

}  // namespace

std::optional<PieceExtent> PieceBounds(uint64_t fileSize, uint64_t segmentSize,
                                       uint64_t pieceNumber) {
  if (segmentSize == kWholeFileSegment) segmentSize = fileSize;
  // An empty file sent whole is one empty piece, not a division by zero.
  if (segmentSize == 0) {
    if (fileSize == 0 && pieceNumber == 1) return PieceExtent{0, 0};
    return std::nullopt;
  }
  const uint64_t count = SegmentCount(fileSize, segmentSize);
  if (pieceNumber == 0 || pieceNumber > count) return std::nullopt;
  if (segmentSize >= fileSize) return PieceExtent{0, fileSize};
  const uint64_t offset = (pieceNumber - 1) * segmentSize;
  const uint64_t length = pieceNumber == count ? fileSize - offset : segmentSize;
  return PieceExtent{offset, length};
}

Result<TempPieceFile> ProducePiece(const std::string& path, uint64_t segmentSize,
                                   uint64_t pieceNumber, uint64_t fileSize,
                                   const std::filesystem::path& tempFolder) {
  const auto extent = PieceBounds(fileSize, segmentSize, pieceNumber);
  if (!extent) return Error(ErrorCode::InvalidArgument, ErrorText(EINVAL), EINVAL);
  // Open the source first, so a missing source does not leave an empty piece file behind.
  const int in = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return SystemError(errno);
  auto piece = CreateTempPieceFile(tempFolder);
  if (!piece) {
    close(in);
    return std::move(piece.error());
  }
  // Written through the descriptor the file was created with: the plaintext never goes to
  // whatever another user of the temporary folder may have put under the name since.
  const int failure = CopyRange(in, extent->offset, extent->length, piece->fd());
  close(in);
  if (failure != 0) {
    std::error_code ignored;
    std::filesystem::remove(piece->path(), ignored);
    return SystemError(failure);
  }
  return std::move(piece).value();
}

size_t SweepPiecesAfterAttempt(const std::filesystem::path& tempFolder, bool jobStopped) {
  if (jobStopped) return 0;
  return DeleteTempPieces(tempFolder);
}

}  // namespace dtl
