// Temporary piece files: the send engine cuts each segment into a file of its own named
// "DTL<pid>_<unique>.tmp" in the temporary folder, and the program sweeps leftovers at exit.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

#include "base/Error.h"

namespace dtl {

// $TMPDIR when set and not empty, otherwise /tmp.
std::filesystem::path TempFolder();

// Creates a new, empty, uniquely named piece file "DTL<pid>_XXXXXX.tmp" (mode 0600) in `folder`
// and returns its path; the caller owns the file and deletes it when done. Fails with
// Error::FromErrno: "<folder>: <system text>".
Result<std::filesystem::path> CreateTempPieceFile(const std::filesystem::path& folder);

// Deletes the leftover piece files in `folder`: every regular file owned by this user whose
// name matches DTL*.tmp, except those created by another program instance that is still
// running (its pid is part of the name). Subfolders, symbolic links and other names are left
// alone; failures are ignored. Returns how many files were deleted.
size_t DeleteTempPieces(const std::filesystem::path& folder);

}  // namespace dtl
