// Temporary piece files: the send engine cuts each segment into a file of its own named
// "DTL<pid>_<unique>.tmp" in the temporary folder, and the program sweeps leftovers at exit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "base/Error.h"

namespace dtl {

// $TMPDIR when set and not empty, otherwise /tmp.
std::filesystem::path TempFolder();

// A piece file and the descriptor it was created with. The temporary folder is shared with
// every other user, so the file is only ever reached through this descriptor: whatever the
// name comes to point at later (a link planted in its place), the bytes written and read are
// the file's own. Move-only; the destructor closes the descriptor and leaves the file alone
// (deleting it is the owner's, or the sweep's).
class TempPieceFile {
 public:
  TempPieceFile(std::filesystem::path path, int fd) : path_(std::move(path)), fd_(fd) {}
  TempPieceFile(TempPieceFile&& o) noexcept : path_(std::move(o.path_)), fd_(o.fd_) { o.fd_ = -1; }
  TempPieceFile& operator=(TempPieceFile&& o) noexcept;
  TempPieceFile(const TempPieceFile&) = delete;
  TempPieceFile& operator=(const TempPieceFile&) = delete;
  ~TempPieceFile();

  const std::filesystem::path& path() const { return path_; }
  // Open for reading and writing, close-on-exec; owned by this object.
  int fd() const { return fd_; }
  // The file's whole content, read from offset 0 with pread (the descriptor's offset is left
  // alone). Fails with the bare system text (NotFound for ENOENT, otherwise Io).
  Result<std::vector<uint8_t>> ReadAll() const;

 private:
  std::filesystem::path path_;
  int fd_ = -1;
};

// Creates a new, empty, uniquely named piece file "DTL<pid>_XXXXXX.tmp" (mode 0600) in `folder`
// and returns it open. The caller owns the file and deletes it when done. Fails with
// Error::FromErrno: "<folder>: <system text>".
Result<TempPieceFile> CreateTempPieceFile(const std::filesystem::path& folder);

// Deletes the leftover piece files in `folder`: every regular file owned by this user whose
// name matches DTL*.tmp, except those created by another program instance that is still
// running (its pid is part of the name). Subfolders, symbolic links and other names are left
// alone; failures are ignored. Returns how many files were deleted.
size_t DeleteTempPieces(const std::filesystem::path& folder);

}  // namespace dtl
