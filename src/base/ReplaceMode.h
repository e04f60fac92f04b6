// The answer to "a file of that name already exists: replace it?", shared by the download (a
// segment file) and the merge (a rebuilt file).
#pragma once

#include <cstdint>

namespace dtl {

// Overwrite and Skip hold for one file (the next existing file asks again); OverwriteAll and
// SkipAll hold for the rest of the run.
enum class ReplaceMode : uint32_t { OverwriteAll = 0, Overwrite = 1, SkipAll = 2, Skip = 4 };

}  // namespace dtl
