// The zip reader against archives written by Python's zipfile and Info-ZIP's zip, and against
// hand-damaged archives: every lie an archive can tell about itself must end in a result code,
// never in an over-read, a big allocation or a silently wrong entry.
#include "receive/ZipReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "support/TestSupport.h"

using namespace dtl;
using dtltest::ReadFileBytes;
using dtltest::RunCommand;
using dtltest::ShellQuote;
using dtltest::TempDir;
using dtltest::WriteFileBytes;
using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

namespace {

struct Reader {
  ZipHandle h;
  explicit Reader(ZipHandle handle) : h(handle) {}
  ~Reader() { ZipClose(h); }
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;
};

ZipHandle OpenMemory(const Bytes& b) { return ZipOpen(b.data(), static_cast<uint32_t>(b.size()), ZIP_MEMORY); }

// Runs a Python snippet with `z` an open zipfile.ZipFile writing `out`; `d` is the temp folder.
Bytes PyZip(const TempDir& t, const std::string& body, const std::string& name = "made.zip") {
  const fs::path out = t / name;
  const std::string script = "import sys, zipfile, os\nd = sys.argv[2]\nz = zipfile.ZipFile(sys.argv[1], 'w')\n" +
                             body + "\nz.close()\n";
  auto r = RunCommand("python3 -c " + ShellQuote(script) + " " + ShellQuote(out.string()) + " " +
                      ShellQuote(t.path().string()));
  EXPECT_EQ(r.status, 0) << r.output;
  return ReadFileBytes(out);
}

// Extracts entry `index` into memory `chunk` bytes at a time; `result` is the last answer.
Bytes ExtractInChunks(ZipHandle h, int32_t index, size_t chunk, uint32_t& result) {
  Bytes out, buf(chunk);
  do {
    result = ZipExtract(h, index, buf.data(), static_cast<uint32_t>(chunk), ZIP_MEMORY);
    if (result != ZIPR_OK && result != ZIPR_MORE) break;
    // A continuation delivers exactly what the buffer holds; the last piece is the remainder.
    size_t got = chunk;
    if (result == ZIPR_OK) {
      ZipEntryInfo e;
      ZipGetEntry(h, index, e);
      got = static_cast<size_t>(e.uncompressedSize) - out.size();
    }
    out.insert(out.end(), buf.begin(), buf.begin() + static_cast<ptrdiff_t>(got));
  } while (result == ZIPR_MORE && out.size() < (64u << 20));
  return out;
}

void Put16(Bytes& b, size_t at, uint16_t v) { b[at] = v & 0xff; b[at + 1] = v >> 8; }
void Put32(Bytes& b, size_t at, uint32_t v) { for (int i = 0; i < 4; ++i) b[at + i] = (v >> (8 * i)) & 0xff; }
uint32_t Get32(const Bytes& b, size_t at) { return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24; }

// Where the fields of a comment-less one-entry archive live.
struct Layout {
  explicit Layout(const Bytes& b) : end(b.size() - 22), central(Get32(b, end + 16)) {}
  size_t end, central;
  size_t local = 0;
  size_t dataStart(const Bytes& b) const { return 30 + b[26] + (b[27] << 8) + b[28] + (b[29] << 8); }
};

class CwdGuard {
 public:
  CwdGuard() : saved_(fs::current_path()) {}
  ~CwdGuard() { fs::current_path(saved_); }

 private:
  fs::path saved_;
};

}  // namespace

// Archives written by other tools, read through every source kind, entries queried forwards and
// extracted backwards so the central directory walk has to restart.
TEST(ZipReaderInterop, ReadsArchivesFromOtherTools) {
  TempDir t;
  const Bytes big = dtltest::RandomBytes(3 << 20, 7, true);  // compresses to more than one read chunk
  const Bytes small = dtltest::RandomBytes(70000, 8);
  WriteFileBytes(t / "big", big);
  WriteFileBytes(t / "small", small);
  fs::create_directories(t / "tree" / "sub");
  WriteFileBytes(t / "tree" / "sub" / "leaf", small);

  struct Expect { std::string name; const Bytes* data; };
  const Bytes none;
  struct Case {
    std::string label;
    std::function<Bytes()> make;
    std::vector<Expect> entries;
  };
  const std::vector<Case> cases = {
      {"StoredEntry", [&] { return PyZip(t, "z.write(d + '/small', 'small.bin', zipfile.ZIP_STORED)"); },
       {{"small.bin", &small}}},
      {"DeflatedEntry", [&] { return PyZip(t, "z.write(d + '/big', 'big.bin', zipfile.ZIP_DEFLATED)"); },
       {{"big.bin", &big}}},
      {"EmptyDeflatedEntry", [&] { return PyZip(t, "z.writestr(zipfile.ZipInfo('empty'), b'', zipfile.ZIP_DEFLATED)"); },
       {{"empty", &none}}},
      {"MixedEntriesAndLongestComment",
       [&] {
         return PyZip(t,
                      "z.write(d + '/small', 'a', zipfile.ZIP_DEFLATED)\n"
                      "z.write(d + '/big', 'b', zipfile.ZIP_STORED)\n"
                      "z.write(d + '/small', 'c/d', zipfile.ZIP_DEFLATED)\n"
                      "z.comment = (b'PK\\x05\\x06' + b'x' * 70000)[:65535]");
       },
       {{"a", &small}, {"b", &big}, {"c/d", &small}}},
      {"BytesInFrontOfArchive",
       [&] {
         Bytes zip = PyZip(t, "z.write(d + '/small', 'small.bin', zipfile.ZIP_DEFLATED)");
         Bytes withPrefix = dtltest::RandomBytes(1234, 9);
         withPrefix.insert(withPrefix.end(), zip.begin(), zip.end());
         return withPrefix;
       },
       {{"small.bin", &small}}},
      {"InfoZipFolderTree",
       [&] {
         auto r = RunCommand("cd " + ShellQuote(t.path().string()) + " && rm -f tree.zip && zip -qr tree.zip tree");
         EXPECT_EQ(r.status, 0) << r.output;
         return ReadFileBytes(t / "tree.zip");
       },
       {{"tree/", &none}, {"tree/sub/", &none}, {"tree/sub/leaf", &small}}},
      {"InfoZipStreamedWithDataDescriptor",
       [&] {
         auto r = RunCommand("cd " + ShellQuote(t.path().string()) + " && cat big | zip -q - - | cat > piped.zip");
         EXPECT_EQ(r.status, 0) << r.output;
         return ReadFileBytes(t / "piped.zip");
       },
       {{"-", &big}}},
  };

  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const Bytes zip = c.make();
    WriteFileBytes(t / "source.zip", zip);
    const std::string path = (t / "source.zip").string();
    const int fd = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    const std::vector<std::pair<const char*, ZipHandle>> sources = {
        {"memory", OpenMemory(zip)},
        {"file name", ZipOpen(path.c_str(), 0, ZIP_FILENAME)},
        {"descriptor", ZipOpen(reinterpret_cast<void*>(intptr_t{fd}), 0, ZIP_HANDLE)},
    };
    ::close(fd);  // the reader holds its own duplicate
    for (const auto& [kind, handle] : sources) {
      SCOPED_TRACE(kind);
      Reader r(handle);
      ASSERT_NE(r.h, nullptr);
      ZipEntryInfo count;
      ASSERT_EQ(ZipGetEntry(r.h, -1, count), ZIPR_OK);
      ASSERT_EQ(count.index, static_cast<int32_t>(c.entries.size()));
      for (size_t i = 0; i < c.entries.size(); ++i) {
        ZipEntryInfo e;
        ASSERT_EQ(ZipGetEntry(r.h, static_cast<int32_t>(i), e), ZIPR_OK);
        EXPECT_EQ(e.index, static_cast<int32_t>(i));
        EXPECT_STREQ(e.name, c.entries[i].name.c_str());
        EXPECT_EQ(e.uncompressedSize, static_cast<int32_t>(c.entries[i].data->size()));
      }
      for (size_t i = c.entries.size(); i-- > 0;) {
        const Bytes& want = *c.entries[i].data;
        Bytes out(want.size());
        EXPECT_EQ(ZipExtract(r.h, static_cast<int32_t>(i), out.data(), static_cast<uint32_t>(out.size()), ZIP_MEMORY),
                  ZIPR_OK);
        EXPECT_TRUE(out == want) << "entry " << i;
      }
    }
  }
}

TEST(ZipReaderEntryInfo, NameAttributesTimesAndCache) {
  TempDir t;
  setenv("TZ", "UTC", 1);  // DOS stamps are local time; pin the zone so the file time is known
  tzset();
  const std::string longName(300, 'n');
  const Bytes zip = PyZip(t,
                          "i = zipfile.ZipInfo('" + longName + "', (2021, 3, 4, 5, 6, 8))\n"
                          "i.external_attr = (0o100644 << 16) | 0x21\n"
                          "z.writestr(i, b'hello', zipfile.ZIP_DEFLATED)");
  Reader r(OpenMemory(zip));
  ZipEntryInfo e;
  ASSERT_EQ(ZipGetEntry(r.h, 0, e), ZIPR_OK);
  EXPECT_EQ(std::string(e.name), longName.substr(0, 259));
  EXPECT_EQ(e.attributes, 0x21u);  // Windows form: the low byte only
  std::tm tm{};
  tm.tm_year = 121; tm.tm_mon = 2; tm.tm_mday = 4; tm.tm_hour = 5; tm.tm_min = 6; tm.tm_sec = 8;
  const uint64_t fileTime = (static_cast<uint64_t>(timegm(&tm)) + 11644473600ull) * 10000000ull;
  EXPECT_EQ(e.modificationTime, fileTime);
  EXPECT_EQ(e.accessTime, fileTime);
  EXPECT_EQ(e.creationTime, fileTime);
  EXPECT_EQ(e.uncompressedSize, 5);

  // The second query answers from the cache: damaging the central header in between is unseen.
  Bytes mutableZip = zip;
  Reader r2(OpenMemory(mutableZip));
  ASSERT_EQ(ZipGetEntry(r2.h, 0, e), ZIPR_OK);
  Put32(mutableZip, Layout(mutableZip).central, 0);
  ZipEntryInfo again;
  EXPECT_EQ(ZipGetEntry(r2.h, 0, again), ZIPR_OK);
  EXPECT_STREQ(again.name, e.name);
}

// A buffer that fills before the entry ends answers ZIPR_MORE and the next call resumes exactly.
TEST(ZipReaderMemory, ContinuationResumesExactly) {
  TempDir t;
  const Bytes data = dtltest::RandomBytes(1 << 20, 3, true);
  WriteFileBytes(t / "data", data);
  for (const char* method : {"ZIP_STORED", "ZIP_DEFLATED"}) {
    const Bytes zip = PyZip(t, std::string("z.write(d + '/data', 'data', zipfile.") + method + ")");
    Reader r(OpenMemory(zip));
    for (size_t chunk : {data.size(), data.size() - 1, size_t{4097}, size_t{3}}) {
      if (chunk == 3 && std::string(method) == "ZIP_STORED") continue;
      SCOPED_TRACE(std::string(method) + " chunk " + std::to_string(chunk));
      uint32_t result = 0;
      const Bytes out = ExtractInChunks(r.h, 0, chunk, result);
      EXPECT_EQ(result, ZIPR_OK);
      EXPECT_TRUE(out == data);
    }
    // A smaller buffer first says MORE; switching to the exact size then restarts nothing but
    // continues, so the two pieces add up to the entry.
    Bytes head(1000), rest(data.size() - 1000);
    ASSERT_EQ(ZipExtract(r.h, 0, head.data(), 1000, ZIP_MEMORY), ZIPR_MORE);
    ASSERT_EQ(ZipExtract(r.h, 0, rest.data(), static_cast<uint32_t>(rest.size()), ZIP_MEMORY), ZIPR_OK);
    head.insert(head.end(), rest.begin(), rest.end());
    EXPECT_TRUE(head == data) << method;
  }
}

TEST(ZipReaderArgs, HandleIndexAndKindChecks) {
  TempDir t;
  const Bytes zip = PyZip(t, "z.writestr('one', b'1')");
  Reader r(OpenMemory(zip));
  ZipHandleData foreign{2, r.h->state};
  ZipEntryInfo e;
  char buf[8];
  struct Case { const char* label; std::function<uint32_t()> call; uint32_t want; };
  const std::vector<Case> cases = {
      {"null handle query", [&] { return ZipGetEntry(nullptr, 0, e); }, ZIPR_ARGS},
      {"null handle extract", [&] { return ZipExtract(nullptr, 0, buf, 8, ZIP_MEMORY); }, ZIPR_ARGS},
      {"foreign handle query", [&] { return ZipGetEntry(&foreign, 0, e); }, ZIPR_ZMODE},
      {"foreign handle extract", [&] { return ZipExtract(&foreign, 0, buf, 8, ZIP_MEMORY); }, ZIPR_ZMODE},
      {"index below -1", [&] { return ZipGetEntry(r.h, -2, e); }, ZIPR_ARGS},
      {"index past the only entry", [&] { return ZipGetEntry(r.h, 1, e); }, ZIPR_ARGS},
      {"extract index past the end", [&] { return ZipExtract(r.h, 1, buf, 8, ZIP_MEMORY); }, ZIPR_ARGS},
      {"extract index -1", [&] { return ZipExtract(r.h, -1, buf, 8, ZIP_MEMORY); }, ZIPR_ARGS},
      {"unknown destination kind", [&] { return ZipExtract(r.h, 0, buf, 8, 4); }, ZIPR_ARGS},
      {"null memory destination", [&] { return ZipExtract(r.h, 0, nullptr, 8, ZIP_MEMORY); }, ZIPR_ARGS},
      {"count query", [&] {
         const uint32_t result = ZipGetEntry(r.h, -1, e);
         return e.index == 1 ? result : 0xdeadu;
       }, ZIPR_OK},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.call(), c.want) << c.label;
    EXPECT_EQ(ZipLastResult(), c.want) << c.label;
  }
  EXPECT_EQ(ZipOpen(zip.data(), 10, 0), nullptr);
  EXPECT_EQ(ZipLastResult(), ZIPR_ARGS);
  EXPECT_EQ(ZipOpen(nullptr, 10, ZIP_MEMORY), nullptr);
  EXPECT_EQ(ZipLastResult(), ZIPR_ARGS);
}

TEST(ZipReaderSources, DescriptorAndFileNameSources) {
  TempDir t;
  const Bytes zip = PyZip(t, "z.writestr('e', b'payload' * 1000, zipfile.ZIP_DEFLATED)");
  const Bytes junk(4096, 'J');
  Bytes file = junk;
  file.insert(file.end(), zip.begin(), zip.end());
  WriteFileBytes(t / "joined", file);

  // Reading starts at the descriptor's position and leaves that position alone.
  const int fd = ::open((t / "joined").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::lseek(fd, static_cast<off_t>(junk.size()), SEEK_SET), static_cast<off_t>(junk.size()));
  {
    Reader r(ZipOpen(reinterpret_cast<void*>(intptr_t{fd}), 0, ZIP_HANDLE));
    ASSERT_NE(r.h, nullptr);
    Bytes out(7000);
    EXPECT_EQ(ZipExtract(r.h, 0, out.data(), 7000, ZIP_MEMORY), ZIPR_OK);
    EXPECT_EQ(std::string(out.begin(), out.begin() + 7), "payload");
    EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), static_cast<off_t>(junk.size()));
  }
  // Positioned past the archive's start, the reader sees only a tail that is no archive.
  ::lseek(fd, static_cast<off_t>(file.size() - 30), SEEK_SET);
  {
    Reader r(ZipOpen(reinterpret_cast<void*>(intptr_t{fd}), 0, ZIP_HANDLE));
    ASSERT_NE(r.h, nullptr);
    ZipEntryInfo e;
    EXPECT_EQ(ZipGetEntry(r.h, 0, e), ZIPR_CORRUPT);
  }
  ::close(fd);

  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  EXPECT_EQ(ZipOpen(reinterpret_cast<void*>(intptr_t{pipeFds[0]}), 0, ZIP_HANDLE), nullptr);
  EXPECT_EQ(ZipLastResult(), ZIPR_SEEK);
  ::close(pipeFds[0]);
  ::close(pipeFds[1]);
  EXPECT_EQ(ZipOpen(reinterpret_cast<void*>(intptr_t{-1}), 0, ZIP_HANDLE), nullptr);
  EXPECT_EQ(ZipLastResult(), ZIPR_NODUPH);
  EXPECT_EQ(ZipOpen((t / "missing").c_str(), 0, ZIP_FILENAME), nullptr);
  EXPECT_EQ(ZipLastResult(), ZIPR_NOFILE);
  EXPECT_EQ(ZipOpen(t.path().c_str(), 0, ZIP_FILENAME), nullptr);
  EXPECT_EQ(ZipLastResult(), ZIPR_SEEK);

  // Closing a handle closes the descriptor it opened.
  const auto openFds = [] { return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()); };
  const auto before = openFds();
  ZipHandle h = ZipOpen((t / "joined").c_str(), 0, ZIP_FILENAME);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(openFds(), before + 1);
  ZipClose(h);
  EXPECT_EQ(openFds(), before);
}

// Damaged archives, through memory and through a file: the damage shows as a result code at the
// entry query or at the end of extraction, and extraction never hands out more than it may.
TEST(ZipReaderHostile, DamagedArchivesAreRefused) {
  TempDir t;
  WriteFileBytes(t / "data", dtltest::RandomBytes(65536, 5, true));
  const Bytes deflated = PyZip(t, "z.write(d + '/data', 'data', zipfile.ZIP_DEFLATED)", "deflated.zip");
  const Bytes stored = PyZip(t, "z.write(d + '/data', 'data', zipfile.ZIP_STORED)", "stored.zip");

  struct Case {
    const char* label;
    const Bytes* base;
    std::function<void(Bytes&, const Layout&)> damage;
    uint32_t atQuery;
    uint32_t atExtract;  // checked only when the query succeeded
  };
  const auto centralField = [](size_t offset, std::function<uint32_t(uint32_t)> f) {
    return [=](Bytes& b, const Layout& l) { Put32(b, l.central + offset, f(Get32(b, l.central + offset))); };
  };
  const std::vector<Case> cases = {
      {"RandomBytes", &deflated, [](Bytes& b, const Layout&) { b = dtltest::RandomBytes(5000, 11); }, ZIPR_CORRUPT, 0},
      {"NoBytes", &deflated, [](Bytes& b, const Layout&) { b.clear(); }, ZIPR_CORRUPT, 0},
      {"TruncatedEndRecord", &deflated, [](Bytes& b, const Layout&) { b.resize(b.size() - 10); }, ZIPR_CORRUPT, 0},
      {"TruncatedInsideData", &deflated,
       [](Bytes& b, const Layout& l) { b.erase(b.begin() + 100, b.begin() + 1100); }, ZIPR_CORRUPT, 0},
      {"SecondDisk", &deflated, [](Bytes& b, const Layout& l) { Put16(b, l.end + 4, 1); }, ZIPR_CORRUPT, 0},
      {"EntryCountsDisagree", &deflated, [](Bytes& b, const Layout& l) { Put16(b, l.end + 8, 2); }, ZIPR_CORRUPT, 0},
      {"CentralDirectoryPastEnd", &deflated, [](Bytes& b, const Layout& l) { Put32(b, l.end + 16, 0x7fffff00); },
       ZIPR_CORRUPT, 0},
      {"CentralNameRunsPastDirectory", &deflated,
       [](Bytes& b, const Layout& l) { Put16(b, l.central + 28, 60000); }, ZIPR_CORRUPT, 0},
      {"BadLocalSignature", &deflated, [](Bytes& b, const Layout&) { b[0] = 'X'; }, ZIPR_CORRUPT, 0},
      {"LocalHeaderOffsetPastDirectory", &deflated, centralField(42, [](uint32_t v) { return 0x00ffffffu; }),
       ZIPR_CORRUPT, 0},
      {"CompressedSizePastEnd", &deflated, centralField(20, [](uint32_t) { return 0x7fffffffu; }), ZIPR_CORRUPT, 0},
      {"WrongCrc", &deflated, centralField(16, [](uint32_t v) { return v ^ 1; }), ZIPR_OK, ZIPR_CORRUPT},
      {"StoredWrongCrc", &stored, centralField(16, [](uint32_t v) { return v ^ 0x80000000u; }), ZIPR_OK, ZIPR_CORRUPT},
      {"DeclaresOneByteLess", &deflated, centralField(24, [](uint32_t v) { return v - 1; }), ZIPR_OK, ZIPR_CORRUPT},
      {"DeclaresOneByteMore", &deflated, centralField(24, [](uint32_t v) { return v + 1; }), ZIPR_OK, ZIPR_CORRUPT},
      {"DeflateBombDeclaredSmall", &deflated, centralField(24, [](uint32_t) { return 100u; }), ZIPR_OK, ZIPR_CORRUPT},
      {"StoredSizesDisagree", &stored, centralField(24, [](uint32_t v) { return v - 10; }), ZIPR_OK, ZIPR_CORRUPT},
      {"CompressedDataCutShort", &deflated, centralField(20, [](uint32_t v) { return v / 2; }), ZIPR_OK, ZIPR_FLATE},
      {"ReservedBlockType", &deflated, [](Bytes& b, const Layout& l) { b[l.dataStart(b)] = 0xff; }, ZIPR_OK,
       ZIPR_FLATE},
      {"EncryptedEntry", &deflated, [](Bytes& b, const Layout& l) { b[l.central + 8] |= 1; }, ZIPR_OK, ZIPR_CORRUPT},
      {"UnknownMethod", &deflated,
       [](Bytes& b, const Layout& l) { Put16(b, l.central + 10, 12); Put16(b, 8, 12); }, ZIPR_OK, ZIPR_CORRUPT},
      {"LocalMethodDiffers", &deflated, [](Bytes& b, const Layout&) { Put16(b, 8, 0); }, ZIPR_CORRUPT, 0},
  };
  for (const Case& c : cases) {
    Bytes damaged = *c.base;
    c.damage(damaged, Layout(*c.base));
    WriteFileBytes(t / "damaged.zip", damaged);
    for (bool fromFile : {false, true}) {
      SCOPED_TRACE(std::string(c.label) + (fromFile ? " (file)" : " (memory)"));
      Reader r(fromFile ? ZipOpen((t / "damaged.zip").c_str(), 0, ZIP_FILENAME) : OpenMemory(damaged));
      ASSERT_NE(r.h, nullptr);
      ZipEntryInfo e;
      ASSERT_EQ(ZipGetEntry(r.h, 0, e), c.atQuery);
      if (c.atQuery != ZIPR_OK) continue;
      // Sized the way the merge sizes it: from the declared uncompressed size.
      Bytes out(static_cast<size_t>(e.uncompressedSize));
      EXPECT_EQ(ZipExtract(r.h, 0, out.data(), static_cast<uint32_t>(out.size()), ZIP_MEMORY), c.atExtract);
      EXPECT_EQ(ZipLastResult(), c.atExtract);
    }
  }
}

// A size of nearly 2 GiB is believed only as far as the data goes: a small buffer gets MORE
// until the real data runs out, then CORRUPT; nothing is allocated from the claim.
TEST(ZipReaderHostile, HugeDeclaredSizeWithSmallBuffer) {
  TempDir t;
  const Bytes data = dtltest::RandomBytes(50000, 6, true);
  WriteFileBytes(t / "data", data);
  Bytes zip = PyZip(t, "z.write(d + '/data', 'data', zipfile.ZIP_DEFLATED)");
  Put32(zip, Layout(zip).central + 24, 0x7ffffff0);
  Reader r(OpenMemory(zip));
  uint32_t result = 0, mores = 0;
  Bytes buf(4096);
  while ((result = ZipExtract(r.h, 0, buf.data(), 4096, ZIP_MEMORY)) == ZIPR_MORE) ++mores;
  EXPECT_EQ(result, ZIPR_CORRUPT);
  EXPECT_EQ(mores, data.size() / 4096);
}

TEST(ZipReaderDestinations, FileNamesAndDescriptors) {
  CwdGuard cwd;
  TempDir home, elsewhere;
  const Bytes data = dtltest::RandomBytes(300000, 4, true);
  WriteFileBytes(home / "data", data);
  Bytes zip = PyZip(home, "z.write(d + '/data', 'data', zipfile.ZIP_DEFLATED)");
  Bytes badCrc = zip;
  Put32(badCrc, Layout(badCrc).central + 16, Get32(badCrc, Layout(badCrc).central + 16) ^ 1);

  fs::current_path(home.path());
  Reader r(OpenMemory(zip));
  Reader bad(OpenMemory(badCrc));
  fs::current_path(elsewhere.path());  // names resolve under the folder current at open time

  EXPECT_EQ(ZipExtract(r.h, 0, const_cast<char*>("x/y/z.bin"), 0, ZIP_FILENAME), ZIPR_OK);
  EXPECT_TRUE(ReadFileBytes(home / "x/y/z.bin") == data);
  EXPECT_EQ(ZipExtract(r.h, 0, const_cast<char*>("only/folders/"), 0, ZIP_FILENAME), ZIPR_OK);
  EXPECT_TRUE(fs::is_directory(home / "only/folders"));
  EXPECT_TRUE(fs::is_empty(elsewhere.path()));

  for (const char* name : {"../escaped", "/tmp/zipreader-absolute", "a/../../escaped", "a/..", "", "./../escaped"}) {
    EXPECT_EQ(ZipExtract(r.h, 0, const_cast<char*>(name), 0, ZIP_FILENAME), ZIPR_ARGS) << name;
  }
  EXPECT_FALSE(fs::exists(home.path().parent_path() / "escaped"));
  EXPECT_FALSE(fs::exists("/tmp/zipreader-absolute"));

  // A link planted in the tree is not followed out of it.
  fs::create_directory_symlink(elsewhere.path(), home / "link");
  EXPECT_EQ(ZipExtract(r.h, 0, const_cast<char*>("link/f"), 0, ZIP_FILENAME), ZIPR_NOFILE);
  EXPECT_TRUE(fs::is_empty(elsewhere.path()));

  // A damaged entry leaves no file behind.
  EXPECT_EQ(ZipExtract(bad.h, 0, const_cast<char*>("damaged.bin"), 0, ZIP_FILENAME), ZIPR_CORRUPT);
  EXPECT_FALSE(fs::exists(home / "damaged.bin"));

  // A descriptor receives the entry from its current position on.
  const int fd = ::open((elsewhere / "out").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, "HEAD", 4), 4);
  EXPECT_EQ(ZipExtract(r.h, 0, reinterpret_cast<void*>(intptr_t{fd}), 0, ZIP_HANDLE), ZIPR_OK);
  ::close(fd);
  Bytes want = {'H', 'E', 'A', 'D'};
  want.insert(want.end(), data.begin(), data.end());
  EXPECT_TRUE(ReadFileBytes(elsewhere / "out") == want);
}
