// PAR2 2.0 recovery sets: the recovery data Drovetail makes over a list of files (segment files
// as the receiving side saves them) and the reading, checking and repair of such sets, ours or
// any other tool's. Reed-Solomon over GF(2^16) (archive/Gf16.h); every MD5 from OpenSSL, every
// CRC-32 from zlib. The work is shared among the cores (SetThreads): different slices and files
// are hashed on different threads. Every function streams its input: memory is
// about one slice per recovery block (making) or per missing slice (repair), never the file set.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <stop_token>
#include <string>
#include <vector>

#include "base/Error.h"

namespace dtl::par2 {

using Hash = std::array<uint8_t, 16>;

// The largest slice size the reader accepts and the writer makes; a repair holds one slice per
// missing slice, so this bounds what a hostile set can make it allocate per block.
inline constexpr uint64_t kMaxSliceSize = 256ull << 20;
// The format's limit on input slices in one set (the generator gives no more distinct constants).
inline constexpr uint32_t kMaxInputSlices = 32768;

struct CreateOptions {
  uint64_t sliceSize = 0;           // bytes, a positive multiple of 4, at most kMaxSliceSize
  uint32_t recoveryBlocks = 0;      // recovery slices in all, exponents 0 .. recoveryBlocks-1
  std::vector<uint32_t> perVolume;  // blocks in each recovery file, summing to recoveryBlocks;
                                    // empty: one recovery file with all of them
  std::string creator = "Drovetail";
};

// Makes a recovery set over folder/NAME for each of `names` (plain file names; they are the
// names inside the set) and writes BASE.par2 (no recovery data) and one BASE.volF+C.par2 per
// volume into the same folder, each holding the set's description too. Returns the written
// file names in that order. Files are written under temporary names and renamed when whole.
// Errors: InvalidArgument (unsafe name, slice size, too many slices, perVolume not summing),
// Io/NotFound from the files, Cancelled.
Result<std::vector<std::string>> CreateRecoveryFiles(const std::filesystem::path& folder,
                                                     const std::vector<std::string>& names,
                                                     const std::string& baseName,
                                                     const CreateOptions& options,
                                                     std::stop_token stop = {});

// Number of input slices files of these sizes make at `sliceSize` (> 0): each file's slices,
// the last one short.
uint64_t InputSliceCount(const std::vector<uint64_t>& sizes, uint64_t sliceSize);

struct SliceCheck {
  Hash md5{};
  uint32_t crc = 0;
};

struct SetFile {
  Hash id{}, md5{}, md5First16k{};
  uint64_t length = 0;
  std::string name;                // checked plain file name
  std::vector<SliceCheck> slices;  // ceil(length / sliceSize) entries
};

struct RecoveryBlock {
  uint32_t exponent = 0;
  std::filesystem::path file;  // the recovery file holding it
  uint64_t dataOffset = 0;     // where its sliceSize bytes start in that file
};

// One recovery set as read from one or more recovery files.
struct RecoverySet {
  Hash setId{};
  uint64_t sliceSize = 0;
  std::vector<SetFile> files;         // in the set's order (the order the slices are numbered)
  std::vector<RecoveryBlock> blocks;  // one per distinct exponent found, with a valid packet
  std::string creator;
};

// Reads the recovery files given and returns the set they describe. The set is the one of the
// first valid main packet; packets of other sets, packets whose MD5 does not match and bytes
// between packets are skipped. No declared length or count is trusted: every one is checked
// against the file's real size and the format's limits before anything is allocated, and
// recovery data is not loaded (only its place is kept). Errors: NotFound/Io from the files,
// Corrupt when no usable set is there, a file's description or checksums are missing, or a file
// name in the set is not a plain file name (it could name a place outside the folder).
Result<RecoverySet> ReadRecoverySet(const std::vector<std::filesystem::path>& par2Files);

enum class FileState { Complete, Damaged, Missing };

struct FileStatus {
  std::string name;
  FileState state = FileState::Missing;
  uint32_t goodSlices = 0, totalSlices = 0;
};

struct Verification {
  std::vector<FileStatus> files;  // the set's order
  uint32_t missingSlices = 0;     // input slices not found intact
  uint32_t recoveryBlocks = 0;    // recovery blocks available
  bool complete() const;          // every file whole
  bool repairable() const;        // missingSlices <= recoveryBlocks
};

// Checks folder/NAME for every file of the set: whole-file MD5 first, then each slice at its
// place against its MD5 and CRC-32. Errors: Io (a file that exists could not be read), Cancelled.
Result<Verification> VerifyFiles(const RecoverySet& set, const std::filesystem::path& folder,
                                 std::stop_token stop = {});

struct RepairReport {
  std::vector<std::string> repaired;  // names rebuilt, in the set's order
};

// Verifies, then rebuilds every damaged or missing file of the set inside `folder` under its
// name in the set. Each rebuilt slice is checked against its MD5 and each rebuilt file against
// its whole-file MD5 before it replaces anything; on any failure nothing is replaced and the
// temporary files are removed. Errors: Corrupt with "N more recovery blocks are needed" when too
// few blocks came, Corrupt when the recovery data does not rebuild the slices the set describes,
// Io, Cancelled.
Result<RepairReport> RepairFiles(const RecoverySet& set, const std::filesystem::path& folder,
                                 std::stop_token stop = {});

// The threads making, checking and repair use: 0 (the default) one per core, and only for jobs
// large enough to pay for them. Any number gives the same bytes; for tests and benchmarks.
void SetThreads(unsigned threads);

// True for a name that is one plain file name: not empty, no '/', '\\' or NUL, no control
// characters, not "." or "..".
bool IsPlainFileName(const std::string& name);

}  // namespace dtl::par2
