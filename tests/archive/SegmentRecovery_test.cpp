// Repair before a merge: the segment files of one split file are checked against its recovery
// files and rebuilt when enough blocks are there; anything else leaves the folder as it was and
// says why. The files here are plain bytes: the repair never looks inside a segment.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "archive/Md5.h"
#include "archive/Par2.h"
#include "archive/SegmentRecovery.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using dtl::RepairSegments;
using dtltest::ReadFileBytes;
using dtltest::RunCommand;
using dtltest::ShellQuote;
using dtltest::TempDir;
using dtltest::WriteFileBytes;

const std::vector<size_t> kSizes = {3000, 20000, 20000, 20000, 20000, 20000, 20000, 20000, 20000, 9001};

// NAME.dtl, NAME.001, ... (each with `suffix`) of the sizes given; returns the names.
std::vector<std::string> MakeSegments(const fs::path& dir, const std::string& suffix = "",
                                      const std::vector<size_t>& sizes = kSizes) {
  std::vector<std::string> names;
  for (size_t i = 0; i < sizes.size(); ++i) {
    char num[32];
    std::snprintf(num, sizeof num, ".%03zu", i);
    const std::string name = (i == 0 ? std::string("movie.avi.dtl") : "movie.avi" + std::string(num)) + suffix;
    WriteFileBytes(dir / name, dtltest::RandomBytes(sizes[i], 40 + static_cast<uint32_t>(i)));
    names.push_back(name);
  }
  return names;
}

std::map<std::string, std::vector<uint8_t>> Snapshot(const fs::path& dir) {
  std::map<std::string, std::vector<uint8_t>> files;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.is_regular_file()) files[e.path().filename().string()] = ReadFileBytes(e.path());
  return files;
}

void FlipBytes(const fs::path& p) {
  auto bytes = ReadFileBytes(p);
  for (size_t i = 100; i < bytes.size() && i < 140; ++i) bytes[i] ^= 0x5a;
  WriteFileBytes(p, bytes);
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(RepairSegments, RebuildsWhatIsMissingOrDamagedWhenEnoughBlocksCame) {
  struct Case {
    const char* behaviour;
    std::string suffix;                  // "" for a download's names, ".doc" for an offline split's
    unsigned percent;
    std::vector<size_t> remove, damage;  // segment numbers harmed before the repair
    std::vector<size_t> expectRepaired;
  } cases[] = {
      {"nothing missing: nothing done", "", 20, {}, {}, {}},
      {"one segment missing", "", 20, {3}, {}, {3}},
      {"two segments missing", "", 20, {2, 9}, {}, {2, 9}},
      {"one segment damaged", "", 10, {}, {5}, {5}},
      {"the descriptor itself missing", "", 10, {0}, {}, {0}},
      {"missing and damaged together", "", 20, {1}, {7}, {1, 7}},
      {"offline split names with .doc", ".doc", 20, {4, 6}, {}, {4, 6}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.behaviour);
    TempDir dir;
    const auto names = MakeSegments(dir.path(), c.suffix);
    ASSERT_TRUE(dtl::MakeSegmentRecovery(dir.path(), names, "movie.avi", c.percent));
    const auto original = Snapshot(dir.path());
    for (size_t k : c.remove) fs::remove(dir / names[k]);
    for (size_t k : c.damage) FlipBytes(dir / names[k]);

    const auto repair = RepairSegments(dir.path(), "movie.avi");
    EXPECT_TRUE(repair.ok()) << repair.message;
    EXPECT_TRUE(repair.haveSet);
    std::vector<std::string> expected;
    for (size_t k : c.expectRepaired) expected.push_back(names[k]);
    EXPECT_EQ(repair.repaired, expected);
    EXPECT_EQ(Snapshot(dir.path()), original);
  }
}

TEST(RepairSegments, TooFewBlocksSaysHowManyAreMissingAndWritesNothing) {
  struct Case {
    const char* behaviour;
    unsigned percent;
    std::vector<size_t> remove, damage;
    uint32_t blocksMissing;
    const char* message;
  } cases[] = {
      {"one block short", 10, {1, 2}, {}, 1,
       "movie.avi: 1 more recovery blocks are needed to repair 2 missing or damaged segments"},
      {"damaged ones count like missing ones", 20, {1, 2}, {3, 4}, 2,
       "movie.avi: 2 more recovery blocks are needed to repair 4 missing or damaged segments"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.behaviour);
    TempDir dir;
    const auto names = MakeSegments(dir.path());
    ASSERT_TRUE(dtl::MakeSegmentRecovery(dir.path(), names, "movie.avi", c.percent));
    for (size_t k : c.remove) fs::remove(dir / names[k]);
    for (size_t k : c.damage) FlipBytes(dir / names[k]);
    const auto before = Snapshot(dir.path());

    const auto repair = RepairSegments(dir.path(), "movie.avi");
    EXPECT_TRUE(repair.haveSet);
    EXPECT_EQ(repair.message, c.message);
    EXPECT_EQ(repair.blocksMissing, c.blocksMissing);
    std::vector<size_t> harmed = c.remove;
    harmed.insert(harmed.end(), c.damage.begin(), c.damage.end());
    std::sort(harmed.begin(), harmed.end());
    std::vector<std::string> unrepaired;
    for (size_t k : harmed) unrepaired.push_back(names[k]);
    EXPECT_EQ(repair.unrepaired, unrepaired);
    EXPECT_TRUE(repair.repaired.empty());
    EXPECT_EQ(Snapshot(dir.path()), before);
  }
}

// ---- recovery files that cannot be trusted ----------------------------------------------------

std::vector<uint8_t> Le(uint64_t v, int width) {
  std::vector<uint8_t> out;
  for (int i = 0; i < width; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
  return out;
}
template <class Bytes>
void Append(std::vector<uint8_t>& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

// A packet whose MD5 is right, so only its content can give it away.
std::vector<uint8_t> Packet(const dtl::par2::Hash& setId, std::string type, const std::vector<uint8_t>& body) {
  std::vector<uint8_t> p = {'P', 'A', 'R', '2', 0, 'P', 'K', 'T'};
  Append(p, Le(64 + body.size(), 8));
  p.resize(32);
  Append(p, setId);
  type.resize(16, '\0');
  Append(p, type);
  Append(p, body);
  const auto h = dtl::Md5(std::span<const uint8_t>(p.data() + 32, p.size() - 32));
  std::memcpy(p.data() + 16, h.data(), 16);
  return p;
}

// The description of a one-file set naming `name` (which no writer here would accept).
std::vector<uint8_t> SetNaming(const std::string& name) {
  const uint64_t length = 100, slice = 100;
  std::vector<uint8_t> idInput(16, 0);
  Append(idInput, Le(length, 8));
  Append(idInput, name);
  const auto id = dtl::Md5(idInput);
  std::vector<uint8_t> main = Le(slice, 8);
  Append(main, Le(1, 4));
  Append(main, id);
  const auto setId = dtl::Md5(main);
  std::vector<uint8_t> desc;
  Append(desc, id);
  Append(desc, std::vector<uint8_t>(32, 0));
  Append(desc, Le(length, 8));
  Append(desc, name);
  while (desc.size() % 4) desc.push_back(0);
  std::vector<uint8_t> ifsc;
  Append(ifsc, id);
  Append(ifsc, std::vector<uint8_t>(20, 0));
  std::vector<uint8_t> out = Packet(setId, std::string("PAR 2.0\0Main", 12), main);
  Append(out, Packet(setId, std::string("PAR 2.0\0FileDesc", 16), desc));
  Append(out, Packet(setId, std::string("PAR 2.0\0IFSC", 12), ifsc));
  return out;
}

TEST(RepairSegments, ASetNamingAnythingButThisFilesSegmentsNeverWrites) {
  // Each set is a valid one over the segments plus one more name; that file is "lost" (absent
  // or differing), so a repair that trusted the set would write it.
  struct Case {
    const char* behaviour;
    std::string stranger;
    bool present;  // the stranger exists (with other bytes than the set says) before the repair
  } cases[] = {
      {"another file of the user's", "other.txt", true},
      {"another file, absent", "other.txt", false},
      {"the merged file's own name", "movie.avi", false},
      {"a two-digit segment number", "movie.avi.01", false},
      {"another split file's segment", "film.avi.001", false},
      {"a segment name with more after it", "movie.avi.001.bak", false},
      {"a recovery file's name", "movie.avi.vol09+01.par2", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.behaviour);
    TempDir dir;
    auto names = MakeSegments(dir.path());
    WriteFileBytes(dir / c.stranger, dtltest::RandomBytes(20000, 99));
    names.push_back(c.stranger);
    ASSERT_TRUE(dtl::par2::CreateRecoveryFiles(dir.path(), names, "movie.avi",
                                               [] {
                                                 dtl::par2::CreateOptions o;
                                                 o.sliceSize = 20000;
                                                 o.recoveryBlocks = 4;
                                                 return o;
                                               }()));
    if (c.present) WriteFileBytes(dir / c.stranger, dtltest::RandomBytes(20000, 7));
    else fs::remove(dir / c.stranger);
    fs::remove(dir / names[2]);
    const auto before = Snapshot(dir.path());

    const auto repair = RepairSegments(dir.path(), "movie.avi");
    EXPECT_FALSE(repair.haveSet);
    EXPECT_TRUE(repair.repaired.empty());
    EXPECT_TRUE(Contains(repair.message, c.stranger)) << repair.message;
    EXPECT_TRUE(Contains(repair.message, "movie.avi.par2")) << repair.message;
    EXPECT_EQ(Snapshot(dir.path()), before);
  }
}

TEST(RepairSegments, UnreadableRecoveryFilesAreNamedAndLeaveTheFolderAlone) {
  struct Case {
    const char* behaviour;
    std::function<void(const fs::path& dir)> spoil;  // replaces the recovery files
  } cases[] = {
      {"garbage", [](const fs::path& dir) {
         for (const auto& n : {"movie.avi.par2", "movie.avi.vol00+01.par2", "movie.avi.vol01+01.par2"})
           WriteFileBytes(dir / n, dtltest::RandomBytes(5000, 3));
       }},
      {"truncated inside the first packet", [](const fs::path& dir) {
         for (const auto& n : {"movie.avi.par2", "movie.avi.vol00+01.par2", "movie.avi.vol01+01.par2"}) {
           auto bytes = ReadFileBytes(dir / n);
           bytes.resize(40);
           WriteFileBytes(dir / n, bytes);
         }
       }},
      {"empty", [](const fs::path& dir) {
         for (const auto& n : {"movie.avi.par2", "movie.avi.vol00+01.par2", "movie.avi.vol01+01.par2"})
           WriteFileBytes(dir / n, {});
       }},
      {"a name climbing out of the folder", [](const fs::path& dir) {
         for (const auto& n : {"movie.avi.vol00+01.par2", "movie.avi.vol01+01.par2"}) fs::remove(dir / n);
         WriteFileBytes(dir / "movie.avi.par2", SetNaming("../movie.avi.001"));
       }},
      {"a name with a folder in it", [](const fs::path& dir) {
         for (const auto& n : {"movie.avi.vol00+01.par2", "movie.avi.vol01+01.par2"}) fs::remove(dir / n);
         WriteFileBytes(dir / "movie.avi.par2", SetNaming("sub/movie.avi.001"));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.behaviour);
    TempDir outer;
    const fs::path dir = outer / "in";
    fs::create_directory(dir);
    fs::create_directory(dir / "sub");
    const auto names = MakeSegments(dir);
    ASSERT_TRUE(dtl::MakeSegmentRecovery(dir, names, "movie.avi", 20));
    c.spoil(dir);
    fs::remove(dir / names[1]);
    const auto before = Snapshot(dir);

    const auto repair = RepairSegments(dir, "movie.avi");
    EXPECT_FALSE(repair.haveSet);
    EXPECT_TRUE(repair.repaired.empty());
    EXPECT_TRUE(Contains(repair.message, "movie.avi.par2")) << repair.message;
    EXPECT_EQ(Snapshot(dir), before);
    EXPECT_TRUE(fs::is_empty(dir / "sub"));
    EXPECT_EQ(std::distance(fs::directory_iterator(outer.path()), fs::directory_iterator()), 1);
  }
}

TEST(RepairSegments, NoRecoveryFilesMeansNothingToDo) {
  TempDir dir;
  const auto names = MakeSegments(dir.path());
  ASSERT_TRUE(dtl::MakeSegmentRecovery(dir.path(), names, "movie.avi", 10));
  // Recovery files of another split file in the same folder are not this one's.
  for (const auto& e : fs::directory_iterator(dir.path()))
    if (e.path().extension() == ".par2")
      fs::rename(e.path(), dir / ("film" + e.path().filename().string().substr(5)));
  fs::remove(dir / names[1]);
  const auto before = Snapshot(dir.path());
  const auto repair = RepairSegments(dir.path(), "movie.avi");
  EXPECT_FALSE(repair.haveSet);
  EXPECT_TRUE(repair.ok());
  EXPECT_EQ(Snapshot(dir.path()), before);
}

TEST(RepairSegments, AStopRequestEndsTheRepairWithoutAMessageOrAnyFile) {
  TempDir dir;
  const auto names = MakeSegments(dir.path());
  ASSERT_TRUE(dtl::MakeSegmentRecovery(dir.path(), names, "movie.avi", 20));
  fs::remove(dir / names[3]);
  const auto before = Snapshot(dir.path());
  std::stop_source stop;
  stop.request_stop();
  const auto repair = RepairSegments(dir.path(), "movie.avi", stop.get_token());
  EXPECT_TRUE(repair.haveSet);
  EXPECT_TRUE(repair.ok()) << repair.message;
  EXPECT_TRUE(repair.repaired.empty());
  EXPECT_EQ(Snapshot(dir.path()), before);
}

TEST(RepairSegments, RepairsFromASetMadeByPar2cmdline) {
  if (!dtltest::HaveCommand("par2")) GTEST_SKIP() << "par2 is not installed";
  struct Case {
    const char* behaviour;
    std::string suffix;
    const char* options;  // slice size and recovery blocks given to par2 create
    std::vector<size_t> remove, damage;
  } cases[] = {
      {"one slice per segment, two lost", "", "-s20000 -r30", {1, 8}, {}},
      {"several slices per segment, one lost and one damaged", "", "-s4000 -r40", {5}, {2}},
      {"offline split names, the descriptor lost", ".doc", "-s20000 -r20", {0}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.behaviour);
    TempDir dir;
    const auto names = MakeSegments(dir.path(), c.suffix);
    std::string args;
    for (const auto& n : names) args += " " + ShellQuote(n);
    const auto made = RunCommand("cd " + ShellQuote(dir.path().string()) + " && par2 create -q " + c.options +
                                 " movie.avi.par2" + args + " 2>&1");
    ASSERT_EQ(made.status, 0) << made.output;
    const auto original = Snapshot(dir.path());
    for (size_t k : c.remove) fs::remove(dir / names[k]);
    for (size_t k : c.damage) FlipBytes(dir / names[k]);

    const auto repair = RepairSegments(dir.path(), "movie.avi");
    EXPECT_TRUE(repair.ok()) << repair.message;
    std::vector<std::string> expected;
    for (size_t k = 0; k < names.size(); ++k)
      if (std::count(c.remove.begin(), c.remove.end(), k) || std::count(c.damage.begin(), c.damage.end(), k))
        expected.push_back(names[k]);
    EXPECT_EQ(repair.repaired, expected);
    EXPECT_EQ(Snapshot(dir.path()), original);
  }
}

TEST(MakeSegmentRecovery, AFailureOrStopLeavesNoneOfItsFilesBehind) {
  struct Case {
    const char* behaviour;
    std::string blocker;  // a folder under one recovery file's name makes renaming onto it fail
    bool stop;
  } cases[] = {
      {"the last volume cannot be written", "movie.avi.vol01+01.par2", false},
      {"a middle volume cannot be written", "movie.avi.vol00+01.par2", false},
      {"a stop before anything is written", "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.behaviour);
    TempDir dir;
    const auto names = MakeSegments(dir.path());
    if (!c.blocker.empty()) fs::create_directory(dir / c.blocker);
    const auto before = Snapshot(dir.path());
    std::stop_source stop;
    if (c.stop) stop.request_stop();
    const auto made = dtl::MakeSegmentRecovery(dir.path(), names, "movie.avi", 20, stop.get_token());
    ASSERT_FALSE(made);
    EXPECT_EQ(made.error().code, c.stop ? dtl::ErrorCode::Cancelled : dtl::ErrorCode::Io);
    EXPECT_EQ(Snapshot(dir.path()), before);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()),
              static_cast<long>(names.size() + (c.blocker.empty() ? 0 : 1)));
  }
}

TEST(SegmentFileNames, OnlyTheSegmentsOfTheFileItselfQualify) {
  struct Case {
    const char* fileName;
    bool segment;
  } cases[] = {
      {"movie.avi.dtl", true},       {"movie.avi.dtl.doc", true},  {"movie.avi.001", true},
      {"movie.avi.001.doc", true},   {"movie.avi.1234", true},     {"movie.avi.01", false},
      {"movie.avi", false},          {"movie.avi.", false},        {"movie.avi.doc", false},
      {"movie.avi.00a", false},      {"movie.avi.001.bak", false}, {"movie.avi.dtl.doc.doc", false},
      {"movie.avix.001", false},     {"other.txt", false},         {"movie.avi.par2", false},
      {"movie.avi.001.DOC", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fileName);
    EXPECT_EQ(dtl::IsSegmentFileOf(c.fileName, "movie.avi"), c.segment);
  }
}

}  // namespace
