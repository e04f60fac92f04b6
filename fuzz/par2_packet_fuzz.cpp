// The recovery-set reader on arbitrary recovery files, then checking and repair against a folder
// with those files: whatever the packets declare, the reader hands back only a set within the
// format's limits and plain file names, and a repair writes nothing outside its folder and
// leaves no temporary file behind.
//
// Input: one byte of flags (bit 0: a file of the set is placed in the folder first, from the
// tail of the input, so repair has intact slices to work with), then the recovery file.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "archive/Par2.h"

namespace {

namespace fs = std::filesystem;

const fs::path kRoot =
    fs::temp_directory_path() / ("dtl-par2-fuzz-" + std::to_string(getpid())) / "root";
const fs::path kIn = kRoot / "in";

// Keeps a hostile but valid set from costing more memory than a run can spend.
constexpr uint64_t kMaxRepairBytes = 16u << 20;

void Write(const fs::path& p, const uint8_t* data, size_t size) {
  std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dtl::par2;
  if (size < 1) return 0;
  const uint8_t flags = data[0];
  ++data;
  --size;
  fs::remove_all(kRoot);
  fs::create_directories(kIn);
  const fs::path setFile = kRoot / "set.par2";
  Write(setFile, data, size);

  auto set = ReadRecoverySet({setFile});
  if (!set) return 0;
  if (set->sliceSize == 0 || set->sliceSize % 4 || set->sliceSize > kMaxSliceSize) std::abort();
  uint64_t slices = 0;
  std::set<std::string> names;
  for (const SetFile& f : set->files) {
    if (!IsPlainFileName(f.name)) std::abort();
    if (f.slices.size() != (f.length + set->sliceSize - 1) / set->sliceSize) std::abort();
    slices += f.slices.size();
    names.insert(f.name);
  }
  if (slices > kMaxInputSlices) std::abort();
  for (const RecoveryBlock& b : set->blocks)
    if (b.exponent >= 65535 || b.dataOffset + set->sliceSize > size) std::abort();

  if (set->sliceSize * (set->blocks.size() + 2) > kMaxRepairBytes) return 0;
  if ((flags & 1) && !set->files.empty()) {
    const size_t tail = std::min<size_t>(size, 4096);
    Write(kIn / set->files.front().name, data + size - tail, tail);
  }
  auto checked = VerifyFiles(*set, kIn);
  auto repaired = RepairFiles(*set, kIn);
  (void)checked;
  (void)repaired;

  // Only the set's own names may appear in the folder, and nothing beside it.
  for (const auto& e : fs::directory_iterator(kRoot))
    if (e.path() != kIn && e.path() != setFile) std::abort();
  for (const auto& e : fs::directory_iterator(kIn))
    if (!names.count(e.path().filename().string())) std::abort();
  return 0;
}
