// Replacing a whole file so that a reader (or a crash) only ever meets the old bytes or the new
// ones, never a mix: the settings file, the address book, the send journal, the error log, the
// banner page and the file-type registration all go through here.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <string_view>

#include "base/Error.h"

namespace dtl {

// Writes `bytes` to a fresh file beside `file` named `tempPrefix` + six random characters
// (default: the file's name + ".new-"), gives it `mode`, syncs it, renames it over `file` and
// syncs the folder so the rename itself survives a power loss. The folder must exist.
// On failure the temporary file is removed, `file` is untouched and the Error (code Io) reads
// "FILE: strerror" with `system` = the errno of the first step that failed.
Status ReplaceFileAtomically(const std::filesystem::path& file, std::string_view bytes, mode_t mode,
                             const std::string& tempPrefix = {});

// The temporary-name prefix ReplaceFileAtomically uses for `file` by default, for callers that
// sweep leftovers of an interrupted write.
std::string AtomicTempPrefix(const std::filesystem::path& file);

}  // namespace dtl
