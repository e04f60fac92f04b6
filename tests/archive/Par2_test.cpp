// Recovery sets, checked against par2cmdline as a reader and writer nobody here wrote: the sets
// Drovetail makes must verify and repair there, and Drovetail must repair from the sets it makes.
// Then hostile recovery files: lying lengths and counts, escaping names, forged recovery data.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "archive/Gf16.h"
#include "archive/Md5.h"
#include "archive/Par2.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using namespace dtl::par2;
using dtltest::ReadFileBytes;
using dtltest::RunCommand;
using dtltest::ShellQuote;
using dtltest::TempDir;
using dtltest::WriteFileBytes;

#define SKIP_WITHOUT_PAR2() \
  if (!dtltest::HaveCommand("par2")) GTEST_SKIP() << "par2 is not installed"

// Segment-like files: NAME.dtl and NAME.001.. of uneven sizes, the last ones short.
std::vector<std::string> MakeSegments(const fs::path& dir, const std::vector<size_t>& sizes, uint32_t seed = 1) {
  std::vector<std::string> names;
  for (size_t i = 0; i < sizes.size(); ++i) {
    std::string ext = std::to_string(i);
    ext.insert(0, 3 - std::min<size_t>(3, ext.size()), '0');
    const std::string name = i == 0 ? "movie.avi.dtl" : "movie.avi." + ext;
    WriteFileBytes(dir / name, dtltest::RandomBytes(sizes[i], seed + static_cast<uint32_t>(i)));
    names.push_back(name);
  }
  return names;
}

std::vector<fs::path> Paths(const fs::path& dir, const std::vector<std::string>& names) {
  std::vector<fs::path> out;
  for (const auto& n : names) out.push_back(dir / n);
  return out;
}

dtltest::CommandResult Par2(const std::string& args, const fs::path& dir) {
  return RunCommand("cd " + ShellQuote(dir.string()) + " && par2 " + args + " 2>&1");
}

CreateOptions Opts(uint64_t sliceSize, uint32_t blocks, std::vector<uint32_t> perVolume = {}) {
  CreateOptions o;
  o.sliceSize = sliceSize;
  o.recoveryBlocks = blocks;
  o.perVolume = std::move(perVolume);
  return o;
}

const std::vector<size_t> kSizes = {20000, 20000, 20000, 20000, 20000, 7777};

TEST(Par2Create, Par2cmdlineVerifiesTheSetAndRepairsDeletedSegments) {
  SKIP_WITHOUT_PAR2();
  struct Case {
    const char* behaviour;
    uint64_t sliceSize;
    uint32_t blocks;
    std::vector<uint32_t> perVolume;
    std::vector<size_t> remove;  // segments deleted before par2 repairs
  } cases[] = {
      {"one slice per segment, two lost", 20000, 3, {}, {1, 5}},
      {"several slices per segment, one whole segment lost", 4096, 6, {2, 4}, {2}},
      {"a slice larger than the files", 65536, 2, {1, 1}, {0}},
      {"exactly as many blocks as slices lost", 10000, 4, {}, {3, 4}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.behaviour);
    TempDir dir;
    const auto names = MakeSegments(dir.path(), kSizes);
    std::vector<std::vector<uint8_t>> original;
    for (const auto& n : names) original.push_back(ReadFileBytes(dir / n));
    auto made = CreateRecoveryFiles(dir.path(), names, "movie.avi", Opts(c.sliceSize, c.blocks, c.perVolume));
    ASSERT_TRUE(made) << made.error().message;
    ASSERT_EQ(made->front(), "movie.avi.par2");
    EXPECT_EQ(made->size(), 1 + std::max<size_t>(1, c.perVolume.size()));
    auto verified = Par2("verify -q movie.avi.par2", dir.path());
    EXPECT_EQ(verified.status, 0) << verified.output;
    for (size_t i : c.remove) fs::remove(dir / names[i]);
    auto repaired = Par2("repair -q movie.avi.par2", dir.path());
    ASSERT_EQ(repaired.status, 0) << repaired.output;
    for (size_t i = 0; i < names.size(); ++i) EXPECT_EQ(ReadFileBytes(dir / names[i]), original[i]) << names[i];
  }
}

// Slices large enough that the field work is shared among threads: the set must be the same
// whichever thread computed which bytes.
TEST(Par2Create, LargeSlicesSharedAmongCoresStillVerifyAndRepair) {
  TempDir dir;
  const auto names = MakeSegments(dir.path(), {600000, 600000, 333333}, 21);
  const auto lost = ReadFileBytes(dir / names[1]);
  auto made = CreateRecoveryFiles(dir.path(), names, "movie.avi", Opts(262144, 5));
  ASSERT_TRUE(made) << made.error().message;
  if (dtltest::HaveCommand("par2")) {
    auto verified = Par2("verify -q movie.avi.par2", dir.path());
    EXPECT_EQ(verified.status, 0) << verified.output;
  }
  fs::remove(dir / names[1]);
  auto set = ReadRecoverySet(Paths(dir.path(), *made));
  ASSERT_TRUE(set) << set.error().message;
  auto repaired = RepairFiles(*set, dir.path());
  ASSERT_TRUE(repaired) << repaired.error().message;
  EXPECT_EQ(ReadFileBytes(dir / names[1]), lost);
}

// Sets the thread count for one test and puts the automatic count back afterwards.
class ThreadCount {
 public:
  explicit ThreadCount(unsigned threads) { SetThreads(threads); }
  ~ThreadCount() { SetThreads(0); }
  ThreadCount(const ThreadCount&) = delete;
  ThreadCount& operator=(const ThreadCount&) = delete;
};

// Threads take groups of slices in whatever order they get to them, add them into shared blocks
// region by region and hash files of several slices on their own: none of that may show in the
// bytes. Two slice sizes: several slices per file (the last ones short), and one slice per file
// (the file's MD5 taken from its slice's stream).
TEST(Par2Threads, AnyThreadCountMakesTheSameRecoveryFilesAndTheSameRepair) {
  struct Case {
    const char* behaviour;
    unsigned threads;
  } cases[] = {
      {"one thread: the reference", 1},
      {"two threads", 2},
      {"more threads than cores", 7},
      {"more threads than slices", 40},
  };
  const std::vector<size_t> sizes = {300000, 250001, 70000, 123457};
  for (uint64_t sliceSize : {uint64_t(65536), uint64_t(300000)}) {
    std::vector<std::vector<uint8_t>> reference;  // the recovery files one thread makes
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.behaviour) + ", slice " + std::to_string(sliceSize));
      ThreadCount threads(c.threads);
      TempDir dir;
      const auto names = MakeSegments(dir.path(), sizes, 31);
      std::vector<std::vector<uint8_t>> original;
      for (const auto& n : names) original.push_back(ReadFileBytes(dir / n));
      auto made = CreateRecoveryFiles(dir.path(), names, "movie.avi", Opts(sliceSize, 6, {1, 2, 3}));
      ASSERT_TRUE(made) << made.error().message;
      std::vector<std::vector<uint8_t>> files;
      for (const auto& n : *made) files.push_back(ReadFileBytes(dir / n));
      if (reference.empty()) reference = files;
      EXPECT_EQ(files, reference);
      fs::remove(dir / names[1]);
      auto bytes = ReadFileBytes(dir / names[0]);
      bytes[200000] ^= 0x40;  // one slice of another file
      WriteFileBytes(dir / names[0], bytes);
      auto set = ReadRecoverySet(Paths(dir.path(), *made));
      ASSERT_TRUE(set) << set.error().message;
      auto checked = VerifyFiles(*set, dir.path());
      ASSERT_TRUE(checked) << checked.error().message;
      EXPECT_EQ(checked->missingSlices, (sizes[1] + sliceSize - 1) / sliceSize + 1);
      auto repaired = RepairFiles(*set, dir.path());
      ASSERT_TRUE(repaired) << repaired.error().message;
      auto rebuilt = repaired->repaired;
      std::sort(rebuilt.begin(), rebuilt.end());
      EXPECT_EQ(rebuilt, (std::vector<std::string>{"movie.avi.001", "movie.avi.dtl"}));
      for (size_t i = 0; i < names.size(); ++i) EXPECT_EQ(ReadFileBytes(dir / names[i]), original[i]) << names[i];
    }
  }
}

// CRC-32 (the zip and PAR2 one, reflected 0xEDB88320) one bit at a time: slow and plainly
// right, the reference the set's checksums are held against.
uint32_t ReferenceCrc32(const std::vector<uint8_t>& bytes) {
  uint32_t crc = 0xffffffffu;
  for (uint8_t b : bytes) {
    crc ^= b;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

// Holds every checksum the set records for the files in `dir` against MD5 and CRC-32 taken
// here over the bytes as they lie: the whole file, its first 16 KiB, each slice padded with
// zeros to the slice size.
void ExpectChecksumsOfTheBytes(const RecoverySet& set, const fs::path& dir) {
  for (const SetFile& file : set.files) {
    SCOPED_TRACE(file.name);
    const auto bytes = ReadFileBytes(dir / file.name);
    ASSERT_EQ(file.length, bytes.size());
    EXPECT_EQ(file.md5, dtl::Md5(bytes));
    const std::vector<uint8_t> first16k(bytes.begin(),
                                        bytes.begin() + std::min<size_t>(bytes.size(), 16384));
    EXPECT_EQ(file.md5First16k, dtl::Md5(first16k));
    const size_t ss = static_cast<size_t>(set.sliceSize);
    ASSERT_EQ(file.slices.size(), (bytes.size() + ss - 1) / ss);
    for (size_t s = 0; s < file.slices.size(); ++s) {
      std::vector<uint8_t> slice(ss, 0);
      std::copy(bytes.begin() + s * ss, bytes.begin() + std::min(bytes.size(), (s + 1) * ss),
                slice.begin());
      EXPECT_EQ(file.slices[s].md5, dtl::Md5(slice)) << "slice " << s;
      EXPECT_EQ(file.slices[s].crc, ReferenceCrc32(slice)) << "slice " << s;
    }
  }
}

// MD5 pads its last 64-byte block differently either side of 56 bytes, and a slice's MD5 runs
// on past the file's end over zeros while the file's own stops there: lengths around those edges
// and the slice size's must all come out as MD5 and CRC-32 of the bytes.
TEST(Par2Checksums, TheSetRecordsTheChecksumsOfTheBytesWhateverTheirLengths) {
  struct Case {
    const char* behaviour;
    uint64_t sliceSize;
    std::vector<size_t> sizes;
  } cases[] = {
      {"around the MD5 padding edges, one slice each", 128, {55, 56, 63, 64, 119, 120}},
      {"exactly a slice, a byte over, a byte under", 4096, {4096, 4097, 4095}},
      {"many slices, the last short", 1000, {20000, 12345}},
      {"longer than the first 16 KiB, in one slice", 65536, {16383, 16384, 16385, 40000}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.behaviour);
    TempDir dir;
    const auto names = MakeSegments(dir.path(), c.sizes, 41);
    auto made = CreateRecoveryFiles(dir.path(), names, "movie.avi", Opts(c.sliceSize, 2));
    ASSERT_TRUE(made) << made.error().message;
    auto set = ReadRecoverySet(Paths(dir.path(), *made));
    ASSERT_TRUE(set) << set.error().message;
    ExpectChecksumsOfTheBytes(*set, dir.path());
  }
}

// Slices are hashed in groups handed to whichever thread is free, files of several slices on
// their own: with more slices than one group and any thread count every checksum must still
// belong to its own slice.
TEST(Par2Checksums, EveryChecksumBelongsToItsSliceWhateverTheThreadCount) {
  struct Case {
    const char* behaviour;
    unsigned threads;
  } cases[] = {
      {"one thread", 1},
      {"two threads", 2},
      {"more threads than groups", 9},
  };
  std::vector<size_t> sizes;
  for (size_t i = 0; i < 37; ++i) sizes.push_back(3000 + 731 * i);  // 37 files, 1..8 slices
  for (const Case& c : cases) {
    SCOPED_TRACE(c.behaviour);
    ThreadCount threads(c.threads);
    TempDir dir;
    const auto names = MakeSegments(dir.path(), sizes, 51);
    auto made = CreateRecoveryFiles(dir.path(), names, "movie.avi", Opts(4096, 3));
    ASSERT_TRUE(made) << made.error().message;
    auto set = ReadRecoverySet(Paths(dir.path(), *made));
    ASSERT_TRUE(set) << set.error().message;
    ExpectChecksumsOfTheBytes(*set, dir.path());
    auto checked = VerifyFiles(*set, dir.path());
    ASSERT_TRUE(checked) << checked.error().message;
    EXPECT_TRUE(checked->complete());
  }
}

// A rebuilt file of one slice is checked against the slice's MD5 (padded) and the file's (not),
// both from one pass; a file of several slices has its MD5 read back. Both kinds lost at once,
// and a short file whose padded slice differs from the file must come back byte for byte.
TEST(Par2Checksums, RebuiltFilesOfOneSliceAndOfManyPassBothTheirMd5s) {
  struct Case {
    const char* behaviour;
    unsigned threads;
  } cases[] = {
      {"one thread", 1},
      {"four threads", 4},
  };
  const std::vector<size_t> sizes = {5000, 8192, 30000, 777, 8192};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.behaviour);
    ThreadCount threads(c.threads);
    TempDir dir;
    const auto names = MakeSegments(dir.path(), sizes, 61);
    std::vector<std::vector<uint8_t>> original;
    for (const auto& n : names) original.push_back(ReadFileBytes(dir / n));
    auto made = CreateRecoveryFiles(dir.path(), names, "movie.avi", Opts(8192, 8));
    ASSERT_TRUE(made) << made.error().message;
    for (size_t i : {0, 2, 3}) fs::remove(dir / names[i]);  // one slice, four slices, one short
    auto set = ReadRecoverySet(Paths(dir.path(), *made));
    ASSERT_TRUE(set) << set.error().message;
    auto repaired = RepairFiles(*set, dir.path());
    ASSERT_TRUE(repaired) << repaired.error().message;
    EXPECT_EQ(repaired->repaired.size(), 3u);
    for (size_t i = 0; i < names.size(); ++i)
      EXPECT_EQ(ReadFileBytes(dir / names[i]), original[i]) << names[i];
  }
}

TEST(Par2Create, RecoveryFilesAreNamedAfterTheirFirstBlockAndCount) {
  TempDir dir;
  const auto names = MakeSegments(dir.path(), {1000, 1000});
  auto made = CreateRecoveryFiles(dir.path(), names, "movie.avi", Opts(100, 12, {5, 7}));
  ASSERT_TRUE(made) << made.error().message;
  EXPECT_EQ(*made, (std::vector<std::string>{"movie.avi.par2", "movie.avi.vol00+05.par2", "movie.avi.vol05+07.par2"}));
  for (const auto& n : *made) EXPECT_TRUE(fs::exists(dir / n)) << n;
}

TEST(Par2Create, RefusesWhatCannotMakeAValidSet) {
  TempDir dir;
  const auto names = MakeSegments(dir.path(), {1000});
  struct Case {
    const char* behaviour;
    std::vector<std::string> names;
    CreateOptions options;
  } cases[] = {
      {"slice size not a multiple of 4", names, Opts(1001, 1)},
      {"slice size zero", names, Opts(0, 1)},
      {"slice size above the limit", names, Opts(kMaxSliceSize + 4, 1)},
      {"volumes not adding up", names, Opts(100, 3, {1, 1})},
      {"a name with a slash", {"../movie.avi.dtl"}, Opts(100, 1)},
      {"a name that is a dot-dot", {".."}, Opts(100, 1)},
      {"no files", {}, Opts(100, 1)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.behaviour);
    auto made = CreateRecoveryFiles(dir.path(), c.names, "movie.avi", c.options);
    ASSERT_FALSE(made);
    EXPECT_EQ(made.error().code, dtl::ErrorCode::InvalidArgument);
  }
  WriteFileBytes(dir / "big", std::vector<uint8_t>(32769 * 4));
  auto made = CreateRecoveryFiles(dir.path(), {"big"}, "big", Opts(4, 1));  // 32769 slices
  ASSERT_FALSE(made);
  EXPECT_EQ(made.error().code, dtl::ErrorCode::InvalidArgument);
}

// ---- reading, checking and repairing ----------------------------------------------------------

std::vector<uint8_t> Le(uint64_t v, int width) {
  std::vector<uint8_t> out;
  for (int i = 0; i < width; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
  return out;
}
void Append(std::vector<uint8_t>& out, const std::vector<uint8_t>& more) { out.insert(out.end(), more.begin(), more.end()); }
void Append(std::vector<uint8_t>& out, const Hash& h) { out.insert(out.end(), h.begin(), h.end()); }

// A packet type: the literal's bytes including the NUL inside it, padded to 16.
template <size_t N>
std::string Type(const char (&literal)[N]) {
  std::string t(literal, N - 1);
  t.resize(16, '\0');
  return t;
}

// A packet with a correct MD5, whatever its body says: the reader must judge the content.
std::vector<uint8_t> RawPacket(const Hash& setId, const std::string& type, const std::vector<uint8_t>& body,
                               uint64_t declaredLength = 0) {
  std::vector<uint8_t> p = {'P', 'A', 'R', '2', 0, 'P', 'K', 'T'};
  Append(p, Le(declaredLength ? declaredLength : 64 + body.size(), 8));
  p.resize(32);
  Append(p, setId);
  std::string t = type;
  t.resize(16, '\0');
  p.insert(p.end(), t.begin(), t.end());
  Append(p, body);
  const auto h = dtl::Md5(std::span<const uint8_t>(p.data() + 32, p.size() - 32));
  std::memcpy(p.data() + 16, h.data(), 16);
  return p;
}

// The description packets of a one-file set, with the file's name and length as given.
std::vector<uint8_t> HandMadeSet(const std::string& name, uint64_t length, uint64_t sliceSize,
                                 uint32_t declaredFiles = 1, size_t checksums = SIZE_MAX) {
  const Hash md5{}, md5First16k{};
  std::vector<uint8_t> idInput(md5First16k.begin(), md5First16k.end());
  Append(idInput, Le(length, 8));
  idInput.insert(idInput.end(), name.begin(), name.end());
  const Hash id = dtl::Md5(idInput);
  std::vector<uint8_t> main = Le(sliceSize, 8);
  Append(main, Le(declaredFiles, 4));
  Append(main, id);
  const Hash setId = dtl::Md5(main);
  std::vector<uint8_t> desc;
  Append(desc, id);
  Append(desc, md5);
  Append(desc, md5First16k);
  Append(desc, Le(length, 8));
  desc.insert(desc.end(), name.begin(), name.end());
  while (desc.size() % 4) desc.push_back(0);
  std::vector<uint8_t> ifsc;
  Append(ifsc, id);
  if (checksums == SIZE_MAX) checksums = (length + sliceSize - 1) / sliceSize;
  for (size_t i = 0; i < checksums; ++i) Append(ifsc, std::vector<uint8_t>(20, 0));
  std::vector<uint8_t> out = RawPacket(setId, Type("PAR 2.0\0Main"), main);
  Append(out, RawPacket(setId, Type("PAR 2.0\0FileDesc"), desc));
  Append(out, RawPacket(setId, Type("PAR 2.0\0IFSC"), ifsc));
  return out;
}

std::vector<fs::path> Par2FilesIn(const fs::path& dir) {
  std::vector<fs::path> out;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.path().extension() == ".par2") out.push_back(e.path());
  std::sort(out.begin(), out.end());
  return out;
}

// The folder holds nothing but these names: no temporary file left, nothing beside.
std::vector<std::string> Listing(const fs::path& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

enum class Harm { Delete, FlipByte, Truncate, Extend };

TEST(Par2Repair, RebuildsSegmentsFromSetsMadeByPar2cmdline) {
  SKIP_WITHOUT_PAR2();
  struct Case {
    const char* behaviour;
    int sliceSize;
    std::vector<std::pair<size_t, Harm>> harm;
    std::vector<FileState> states;
  } cases[] = {
      {"one segment deleted", 4000, {{2, Harm::Delete}}, {FileState::Complete, FileState::Complete, FileState::Missing}},
      {"a flipped byte in one, another deleted", 4000, {{0, Harm::FlipByte}, {4, Harm::Delete}}, {FileState::Damaged}},
      {"a truncated segment", 2000, {{5, Harm::Truncate}}, {}},
      {"a segment with bytes appended", 4000, {{1, Harm::Extend}}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.behaviour);
    TempDir dir;
    // Thirty segments a slice each (or two): -r10 gives 3 (or 6) recovery blocks.
    std::vector<size_t> sizes(29, 4000);
    sizes.push_back(1777);
    const auto names = MakeSegments(dir.path(), sizes, 9);
    std::string list;
    for (const auto& n : names) list += " " + ShellQuote(n);
    auto made = Par2("create -q -s" + std::to_string(c.sliceSize) + " -r10 movie.avi.par2" + list, dir.path());
    ASSERT_EQ(made.status, 0) << made.output;
    std::vector<std::vector<uint8_t>> original;
    for (const auto& n : names) original.push_back(ReadFileBytes(dir / n));
    for (auto [i, harm] : c.harm) {
      auto bytes = original[i];
      if (harm == Harm::Delete) fs::remove(dir / names[i]);
      if (harm == Harm::FlipByte) bytes[bytes.size() / 2] ^= 0x40;
      if (harm == Harm::Truncate) bytes.resize(bytes.size() - 1000);
      if (harm == Harm::Extend) bytes.resize(bytes.size() + 13, 'x');
      if (harm != Harm::Delete) WriteFileBytes(dir / names[i], bytes);
    }
    const auto before = Listing(dir.path());
    auto set = ReadRecoverySet(Par2FilesIn(dir.path()));
    ASSERT_TRUE(set) << set.error().message;
    ASSERT_EQ(set->files.size(), names.size());
    auto checked = VerifyFiles(*set, dir.path());
    ASSERT_TRUE(checked) << checked.error().message;
    EXPECT_FALSE(checked->complete());
    EXPECT_TRUE(checked->repairable());
    for (const auto& f : checked->files) {
      const auto it = std::find(names.begin(), names.end(), f.name);
      ASSERT_NE(it, names.end());
      const size_t i = static_cast<size_t>(it - names.begin());
      bool harmed = false;
      for (auto [h, kind] : c.harm) harmed |= h == i;
      EXPECT_EQ(f.state != FileState::Complete, harmed) << f.name;
      if (i < c.states.size()) {
        EXPECT_EQ(f.state, c.states[i]) << f.name;
      }
    }
    auto repaired = RepairFiles(*set, dir.path());
    ASSERT_TRUE(repaired) << repaired.error().message;
    EXPECT_EQ(repaired->repaired.size(), c.harm.size());
    for (size_t i = 0; i < names.size(); ++i) EXPECT_EQ(ReadFileBytes(dir / names[i]), original[i]) << names[i];
    std::vector<std::string> after = before;
    for (auto [i, harm] : c.harm)
      if (harm == Harm::Delete) after.push_back(names[i]);
    std::sort(after.begin(), after.end());
    EXPECT_EQ(Listing(dir.path()), after);
    auto again = VerifyFiles(*set, dir.path());
    ASSERT_TRUE(again);
    EXPECT_TRUE(again->complete());
  }
}

TEST(Par2Repair, RebuildsFromItsOwnSetsAndLeavesCompleteFilesAlone) {
  TempDir dir;
  const auto names = MakeSegments(dir.path(), kSizes, 3);
  std::vector<std::vector<uint8_t>> original;
  for (const auto& n : names) original.push_back(ReadFileBytes(dir / n));
  auto made = CreateRecoveryFiles(dir.path(), names, "movie.avi", Opts(2000, 25, {5, 20}));
  ASSERT_TRUE(made) << made.error().message;
  auto set = ReadRecoverySet(Paths(dir.path(), *made));
  ASSERT_TRUE(set) << set.error().message;
  EXPECT_EQ(set->blocks.size(), 25u);
  EXPECT_EQ(set->creator, "Drovetail");
  auto nothing = RepairFiles(*set, dir.path());
  ASSERT_TRUE(nothing);
  EXPECT_TRUE(nothing->repaired.empty());
  fs::remove(dir / names[0]);
  fs::remove(dir / names[3]);  // 20 slices lost of 25 blocks
  auto repaired = RepairFiles(*set, dir.path());
  ASSERT_TRUE(repaired) << repaired.error().message;
  EXPECT_EQ(repaired->repaired.size(), 2u);
  for (size_t i = 0; i < names.size(); ++i) EXPECT_EQ(ReadFileBytes(dir / names[i]), original[i]) << names[i];
}

TEST(Par2Repair, TooFewBlocksSaysHowManyAreMissingAndWritesNothing) {
  TempDir dir;
  const auto names = MakeSegments(dir.path(), kSizes, 4);
  auto made = CreateRecoveryFiles(dir.path(), names, "movie.avi", Opts(20000, 1));
  ASSERT_TRUE(made);
  fs::remove(dir / names[1]);
  fs::remove(dir / names[2]);
  fs::remove(dir / names[3]);
  const auto before = Listing(dir.path());
  auto set = ReadRecoverySet(Paths(dir.path(), *made));
  ASSERT_TRUE(set);
  auto checked = VerifyFiles(*set, dir.path());
  ASSERT_TRUE(checked);
  EXPECT_EQ(checked->missingSlices, 3u);
  EXPECT_FALSE(checked->repairable());
  auto repaired = RepairFiles(*set, dir.path());
  ASSERT_FALSE(repaired);
  EXPECT_EQ(repaired.error().code, dtl::ErrorCode::Corrupt);
  EXPECT_NE(repaired.error().message.find("2 more recovery blocks are needed"), std::string::npos)
      << repaired.error().message;
  EXPECT_EQ(Listing(dir.path()), before);
}

TEST(Par2Repair, ForgedRecoveryDataIsRefusedBeforeAnythingIsWritten) {
  TempDir dir;
  const auto names = MakeSegments(dir.path(), kSizes, 5);
  auto made = CreateRecoveryFiles(dir.path(), names, "movie.avi", Opts(20000, 2));
  ASSERT_TRUE(made);
  // The recovery data changed and its packet MD5 made right again: only the slice MD5s can tell.
  const fs::path vol = dir / (*made)[1];
  auto bytes = ReadFileBytes(vol);
  ASSERT_EQ(std::memcmp(bytes.data() + 48, "PAR 2.0\0RecvSlic", 16), 0);
  const uint64_t len = bytes[8] | bytes[9] << 8 | bytes[10] << 16;
  bytes[64 + 4 + 100] ^= 1;
  const auto h = dtl::Md5(std::span<const uint8_t>(bytes.data() + 32, len - 32));
  std::memcpy(bytes.data() + 16, h.data(), 16);
  WriteFileBytes(vol, bytes);
  fs::remove(dir / names[2]);
  const auto before = Listing(dir.path());
  auto set = ReadRecoverySet(Paths(dir.path(), *made));
  ASSERT_TRUE(set) << set.error().message;
  // Exponent 0 is the forged block; with only it used, the rebuilt slice cannot match.
  set->blocks.resize(1);
  auto repaired = RepairFiles(*set, dir.path());
  ASSERT_FALSE(repaired);
  EXPECT_EQ(repaired.error().code, dtl::ErrorCode::Corrupt);
  EXPECT_NE(repaired.error().message.find("MD5"), std::string::npos) << repaired.error().message;
  EXPECT_EQ(Listing(dir.path()), before);
}

TEST(Par2Repair, AStopRequestEndsEveryStepWithCancelledAndLeavesNoFiles) {
  TempDir dir;
  const auto names = MakeSegments(dir.path(), {5000, 5000}, 8);
  const auto before = Listing(dir.path());
  std::stop_source stop;
  stop.request_stop();
  auto refused = CreateRecoveryFiles(dir.path(), names, "movie.avi", Opts(1000, 2), stop.get_token());
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().code, dtl::ErrorCode::Cancelled);
  EXPECT_EQ(Listing(dir.path()), before);
  auto made = CreateRecoveryFiles(dir.path(), names, "movie.avi", Opts(1000, 2));
  ASSERT_TRUE(made);
  auto set = ReadRecoverySet(Paths(dir.path(), *made));
  ASSERT_TRUE(set);
  auto checked = VerifyFiles(*set, dir.path(), stop.get_token());
  ASSERT_FALSE(checked);
  EXPECT_EQ(checked.error().code, dtl::ErrorCode::Cancelled);
  auto bytes = ReadFileBytes(dir / names[0]);
  bytes[10] ^= 1;
  WriteFileBytes(dir / names[0], bytes);
  const auto damaged = Listing(dir.path());
  auto repaired = RepairFiles(*set, dir.path(), stop.get_token());
  ASSERT_FALSE(repaired);
  EXPECT_EQ(repaired.error().code, dtl::ErrorCode::Cancelled);
  EXPECT_EQ(Listing(dir.path()), damaged);
  EXPECT_EQ(ReadFileBytes(dir / names[0]), bytes);
}

TEST(Par2Read, HostileDescriptionsAreRefusedWithoutTrustingAnyDeclaredSize) {
  struct Case {
    const char* behaviour;
    std::vector<uint8_t> bytes;
    const char* says = "";
  } cases[] = {
      {"a name climbing out of the folder", HandMadeSet("../../etc/passwd", 100, 100), "outside its folder"},
      {"a name with a folder in it", HandMadeSet("sub/file", 100, 100), "outside its folder"},
      {"a name that is two dots", HandMadeSet("..", 100, 100), "outside its folder"},
      {"a file count larger than the packet", HandMadeSet("a", 100, 100, 0x7FFFFFFF)},
      {"checksums fewer than the length needs", HandMadeSet("a", 1000, 100, 1, 3), "do not match its length"},
      {"a huge length with few checksums", HandMadeSet("a", uint64_t{1} << 62, 100, 1, 1), "do not match its length"},
      {"a slice size not a multiple of 4", HandMadeSet("a", 100, 101)},
      {"a slice size of 2^60", HandMadeSet("a", 100, uint64_t{1} << 60)},
      {"a packet declaring 2^63 bytes", RawPacket(Hash{}, Type("PAR 2.0\0Main"), Le(100, 8), uint64_t{1} << 63)},
      {"a packet declaring less than its header", RawPacket(Hash{}, Type("PAR 2.0\0Main"), Le(100, 8), 32)},
      {"nothing but noise", dtltest::RandomBytes(5000, 1)},
      {"an empty file", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.behaviour);
    TempDir dir;
    WriteFileBytes(dir / "x.par2", c.bytes);
    auto set = ReadRecoverySet({dir / "x.par2"});
    ASSERT_FALSE(set);
    EXPECT_EQ(set.error().code, dtl::ErrorCode::Corrupt) << set.error().message;
    EXPECT_NE(set.error().message.find(c.says), std::string::npos) << set.error().message;
  }
}

TEST(Par2Read, PacketsOfOtherSetsAndDamagedPacketsAreSkipped) {
  TempDir dir;
  const auto names = MakeSegments(dir.path(), {3000, 3000}, 6);
  auto ours = CreateRecoveryFiles(dir.path(), names, "ours", Opts(1000, 3));
  ASSERT_TRUE(ours);
  TempDir other;
  const auto otherNames = MakeSegments(other.path(), {3000, 3000}, 60);
  auto theirs = CreateRecoveryFiles(other.path(), otherNames, "theirs", Opts(1000, 2));
  ASSERT_TRUE(theirs);
  // Our recovery file with noise before it, a packet with a broken MD5 and another set's
  // recovery file mixed in behind.
  std::vector<uint8_t> mixed = dtltest::RandomBytes(333, 2);
  auto damaged = RawPacket(Hash{}, Type("PAR 2.0\0Creator"), Le(0x41414141, 4));
  damaged[70] ^= 1;
  Append(mixed, damaged);
  Append(mixed, ReadFileBytes(dir / (*ours)[1]));
  Append(mixed, ReadFileBytes(other / (*theirs)[1]));
  WriteFileBytes(dir / "mixed.par2", mixed);
  auto set = ReadRecoverySet({dir / "mixed.par2"});
  ASSERT_TRUE(set) << set.error().message;
  EXPECT_EQ(set->files.size(), 2u);
  EXPECT_EQ(set->blocks.size(), 3u);
  EXPECT_EQ(set->sliceSize, 1000u);
  for (const auto& f : set->files) EXPECT_NE(std::find(names.begin(), names.end(), f.name), names.end());
  fs::remove(dir / names[1]);
  auto repaired = RepairFiles(*set, dir.path());
  ASSERT_TRUE(repaired) << repaired.error().message;
  EXPECT_EQ(ReadFileBytes(dir / names[1]), dtltest::RandomBytes(3000, 7));
}

}  // namespace
