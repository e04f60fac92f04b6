// The zip reader against archives written by Python's zipfile and Info-ZIP's zip, and against
// hand-damaged archives: every lie an archive can tell about itself must end in a result code,
// never in an over-read, a big allocation or a silently wrong entry.
#include "archive/ZipReader.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
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

struct Reader {  // closes the handle at scope end
  ZipHandle h;
  ~Reader() { ZipClose(h); }
};

ZipHandle OpenMemory(const Bytes& b) {
  return ZipOpen(b.data(), static_cast<uint32_t>(b.size()), ZIP_MEMORY);
}

// Runs `command` in folder `t` and returns the bytes of the "out.zip" it leaves there.
Bytes Make(const TempDir& t, const std::string& command) {
  auto r = RunCommand("cd " + ShellQuote(t.path().string()) + " && rm -f out.zip && " + command);
  EXPECT_EQ(r.status, 0) << r.output;
  return ReadFileBytes(t / "out.zip");
}
// A command that writes out.zip with Python's zipfile; `z` is the archive.
std::string Py(const std::string& body) {
  return "python3 -c " +
         ShellQuote("import zipfile\nz = zipfile.ZipFile('out.zip', 'w')\n" + body + "\nz.close()");
}
Bytes PyZip(const TempDir& t, const std::string& body) { return Make(t, Py(body)); }

void Put16(Bytes& b, size_t at, uint16_t v) {
  b[at] = v & 0xff;
  b[at + 1] = v >> 8;
}
void Put32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = (v >> (8 * i)) & 0xff;
}
uint32_t Get32(const Bytes& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24;
}

// Central header and data start of a comment-less one-entry archive.
size_t Central(const Bytes& b) { return Get32(b, b.size() - 22 + 16); }
size_t DataStart(const Bytes& b) { return 30u + b[26] + (b[27] << 8) + b[28] + (b[29] << 8); }

struct CwdGuard {
  fs::path saved = fs::current_path();
  ~CwdGuard() { fs::current_path(saved); }
};
void* AsFd(int fd) { return reinterpret_cast<void*>(intptr_t{fd}); }
uint32_t Extract(ZipHandle h, Bytes& out) {
  return ZipExtract(h, 0, out.data(), static_cast<uint32_t>(out.size()), ZIP_MEMORY);
}

}  // namespace

// Archives written by other tools, read through every source kind, entries queried forwards and
// extracted backwards so the central directory walk has to restart; every handle releases what
// it opened.
TEST(ZipReaderInterop, ReadsArchivesFromOtherTools) {
  TempDir t;
  const Bytes big = dtltest::RandomBytes(3 << 20, 7, true), small = dtltest::RandomBytes(70000, 8),
              none;
  WriteFileBytes(t / "big", big);
  WriteFileBytes(t / "small", small);
  fs::create_directories(t / "tree/sub");
  WriteFileBytes(t / "tree/sub/leaf", small);
  struct Case {
    const char* label;
    std::string command;
    std::vector<std::pair<std::string, const Bytes*>> entries;
  };
  const std::vector<Case> cases = {
      {"DeflatedEntryLargerThanAReadChunk",
       Py("z.write('big', 'b', zipfile.ZIP_DEFLATED)"),
       {{"b", &big}}},
      {"MixedEntriesAndLongestComment",  // the comment even starts with an end-record signature
       Py("z.write('small', 'a', zipfile.ZIP_DEFLATED)\nz.write('big', 'b')\n"
          "z.write('small', 'c/d', zipfile.ZIP_DEFLATED)\nz.comment = (b'PK\\x05\\x06' + b'x' * "
          "70000)[:65535]"),
       {{"a", &small}, {"b", &big}, {"c/d", &small}}},
      {"BytesInFrontOfArchive",
       Py("z.write('small', 's', zipfile.ZIP_DEFLATED)") +
           " && mv out.zip p && head -c 1234 big > out.zip && cat p >> out.zip",
       {{"s", &small}}},
      {"InfoZipFolderTree",
       "zip -qr out.zip tree",
       {{"tree/", &none}, {"tree/sub/", &none}, {"tree/sub/leaf", &small}}},
      {"InfoZipStreamedWithDataDescriptor", "cat big | zip -q - - | cat > out.zip", {{"-", &big}}},
  };
  const auto openFds = [] { return std::distance(fs::directory_iterator("/proc/self/fd"), {}); };
  for (const Case& c : cases) {
    const Bytes zip = Make(t, c.command);
    // A descriptor is read from its position on, which is left alone.
    Bytes joined(4096, 'J');
    joined.insert(joined.end(), zip.begin(), zip.end());
    WriteFileBytes(t / "joined", joined);
    const auto fdsBefore = openFds();
    const int fd = ::open((t / "joined").c_str(), O_RDONLY);
    ASSERT_EQ(::lseek(fd, 4096, SEEK_SET), 4096);
    const std::pair<const char*, ZipHandle> sources[] = {
        {"memory", OpenMemory(zip)},
        {"name", ZipOpen((t / "out.zip").c_str(), 0, ZIP_FILENAME)},
        {"descriptor", ZipOpen(AsFd(fd), 0, ZIP_HANDLE)}};
    for (const auto& [kind, handle] : sources) {
      SCOPED_TRACE(std::string(c.label) + " from " + kind);
      Reader r{handle};
      ZipEntryInfo e;
      ASSERT_EQ(ZipGetEntry(r.h, -1, e), ZIPR_OK);
      ASSERT_EQ(e.index, static_cast<int32_t>(c.entries.size()));
      for (int32_t i = 0; i < e.index; ++i) {
        ZipEntryInfo info;
        ASSERT_EQ(ZipGetEntry(r.h, i, info), ZIPR_OK);
        EXPECT_EQ(info.index, i);
        EXPECT_STREQ(info.name, c.entries[i].first.c_str());
        EXPECT_EQ(info.uncompressedSize, static_cast<int32_t>(c.entries[i].second->size()));
      }
      for (int32_t i = e.index - 1; i >= 0; --i) {
        Bytes out(c.entries[i].second->size());
        EXPECT_EQ(ZipExtract(r.h, i, out.data(), static_cast<uint32_t>(out.size()), ZIP_MEMORY),
                  ZIPR_OK);
        EXPECT_TRUE(out == *c.entries[i].second) << "entry " << i;
      }
    }
    EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), 4096);
    ::close(fd);
    EXPECT_EQ(openFds(), fdsBefore) << "closing a handle closes the descriptor it opened";
  }
}

TEST(ZipReaderEntryInfo, NameAttributesAndTimes) {
  TempDir t;
  setenv("TZ", "UTC", 1);  // DOS stamps are local time; pin the zone so the file time is known
  tzset();
  const std::string longName(300, 'n');
  const Bytes zip = PyZip(t, "i = zipfile.ZipInfo('" + longName +
                                 "', (2021, 3, 4, 5, 6, 8))\n"
                                 "i.external_attr = (0o100644 << 16) | 0x21\nz.writestr(i, "
                                 "b'hello', zipfile.ZIP_DEFLATED)");
  Reader r{OpenMemory(zip)};
  ZipEntryInfo e;
  ASSERT_EQ(ZipGetEntry(r.h, 0, e), ZIPR_OK);
  EXPECT_EQ(std::string(e.name), longName.substr(0, 259));
  EXPECT_EQ(e.attributes, 0x21u);  // Windows form: the low byte only
  const uint64_t fileTime =
      (1614834368ull + 11644473600ull) * 10000000ull;  // 2021-03-04 05:06:08 UTC
  for (uint64_t stamp : {e.modificationTime, e.accessTime, e.creationTime})
    EXPECT_EQ(stamp, fileTime);
}

// A buffer that fills before the entry ends answers ZIPR_MORE and the next call resumes exactly,
// whatever the chunk size; a buffer of exactly the entry's size finishes in one call.
TEST(ZipReaderMemory, ContinuationResumesExactly) {
  TempDir t;
  const Bytes data = dtltest::RandomBytes(1 << 20, 3, true);
  WriteFileBytes(t / "data", data);
  for (const char* method : {"ZIP_STORED", "ZIP_DEFLATED"}) {
    Reader r{nullptr};
    const Bytes zip = PyZip(t, std::string("z.write('data', 'data', zipfile.") + method + ")");
    r.h = OpenMemory(zip);
    for (size_t chunk : {data.size(), data.size() - 1, size_t{4097}, size_t{3}}) {
      SCOPED_TRACE(std::string(method) + " chunk " + std::to_string(chunk));
      Bytes out, buf(chunk);
      uint32_t result;
      size_t mores = 0;
      for (; (result = Extract(r.h, buf)) == ZIPR_MORE; ++mores)
        out.insert(out.end(), buf.begin(), buf.end());
      ASSERT_EQ(result, ZIPR_OK);
      out.insert(out.end(), buf.begin(),
                 buf.begin() + static_cast<ptrdiff_t>(data.size() - out.size()));
      EXPECT_TRUE(out == data);
      EXPECT_EQ(mores, (data.size() - 1) / chunk);  // an exact fit is OK at once
    }
  }
}

TEST(ZipReaderArgs, RefusedCallsAnswerTheirCode) {
  TempDir t;
  const Bytes zip = PyZip(t, "z.writestr('one', b'1')");
  Reader r{OpenMemory(zip)};
  ZipHandleData foreign{2, r.h->state};
  ZipEntryInfo e;
  char buf[8];
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  const auto Opened = [](ZipHandle h) {
    return h ? 0xdeadu : ZipLastResult();
  };  // opens must refuse
  const std::vector<std::tuple<const char*, std::function<uint32_t()>, uint32_t>> cases = {
      {"null handle query", [&] { return ZipGetEntry(nullptr, 0, e); }, ZIPR_ARGS},
      {"null handle extract", [&] { return ZipExtract(nullptr, 0, buf, 8, ZIP_MEMORY); },
       ZIPR_ARGS},
      {"foreign handle query", [&] { return ZipGetEntry(&foreign, 0, e); }, ZIPR_ZMODE},
      {"foreign handle extract", [&] { return ZipExtract(&foreign, 0, buf, 8, ZIP_MEMORY); },
       ZIPR_ZMODE},
      {"index below -1", [&] { return ZipGetEntry(r.h, -2, e); }, ZIPR_ARGS},
      {"index past the only entry", [&] { return ZipGetEntry(r.h, 1, e); }, ZIPR_ARGS},
      {"extract index past the end", [&] { return ZipExtract(r.h, 1, buf, 8, ZIP_MEMORY); },
       ZIPR_ARGS},
      {"unknown destination kind", [&] { return ZipExtract(r.h, 0, buf, 8, 4); }, ZIPR_ARGS},
      {"null memory destination", [&] { return ZipExtract(r.h, 0, nullptr, 8, ZIP_MEMORY); },
       ZIPR_ARGS},
      {"unknown source kind", [&] { return Opened(ZipOpen(zip.data(), 10, 0)); }, ZIPR_ARGS},
      {"pipe source", [&] { return Opened(ZipOpen(AsFd(pipeFds[0]), 0, ZIP_HANDLE)); }, ZIPR_SEEK},
      {"closed descriptor source", [&] { return Opened(ZipOpen(AsFd(-1), 0, ZIP_HANDLE)); },
       ZIPR_NODUPH},
      {"missing file source", [&] { return Opened(ZipOpen((t / "no").c_str(), 0, ZIP_FILENAME)); },
       ZIPR_NOFILE},
      {"folder source", [&] { return Opened(ZipOpen(t.path().c_str(), 0, ZIP_FILENAME)); },
       ZIPR_SEEK},
      {"count query",
       [&] {
         uint32_t res = ZipGetEntry(r.h, -1, e);
         return e.index == 1 ? res : 0xdeadu;
       },
       ZIPR_OK},
  };
  for (const auto& [label, call, want] : cases) {
    EXPECT_EQ(call(), want) << label;
    EXPECT_EQ(ZipLastResult(), want) << label;
  }
  ::close(pipeFds[0]);
  ::close(pipeFds[1]);
}

// Damaged archives, through memory and through a file: the damage shows as a result code at the
// entry query or at the end of extraction. Extraction goes in 4 KiB chunks, as the merge reads,
// and never hands out more bytes than the entry really holds, whatever size it declares.
TEST(ZipReaderHostile, DamagedArchivesAreRefused) {
  TempDir t;
  const Bytes data = dtltest::RandomBytes(65536, 5, true);
  WriteFileBytes(t / "data", data);
  const Bytes deflated = PyZip(t, "z.write('data', 'data', zipfile.ZIP_DEFLATED)");
  const Bytes stored = PyZip(t, "z.write('data', 'data', zipfile.ZIP_STORED)");

  struct Case {
    const char* label;
    const Bytes* base;
    std::function<void(Bytes&)> damage;
    uint32_t atQuery;
    uint32_t atExtract;  // checked only when the query succeeds
  };
  // Rewrites a 32-bit field of the central header.
  const auto central = [](size_t at, std::function<uint32_t(uint32_t)> f) {
    return [=](Bytes& b) { Put32(b, Central(b) + at, f(Get32(b, Central(b) + at))); };
  };
  const size_t end = deflated.size() - 22;
  const std::vector<Case> cases = {
      {"RandomBytes", &deflated, [](Bytes& b) { b = dtltest::RandomBytes(5000, 11); }, ZIPR_CORRUPT,
       0},
      {"TruncatedInsideData", &deflated,
       [](Bytes& b) { b.erase(b.begin() + 100, b.begin() + 1100); }, ZIPR_CORRUPT, 0},
      {"SecondDisk", &deflated, [=](Bytes& b) { Put16(b, end + 4, 1); }, ZIPR_CORRUPT, 0},
      {"EntryCountsDisagree", &deflated, [=](Bytes& b) { Put16(b, end + 8, 2); }, ZIPR_CORRUPT, 0},
      {"CentralNameRunsPastDirectory", &deflated,
       [](Bytes& b) { Put16(b, Central(b) + 28, 60000); }, ZIPR_CORRUPT, 0},
      {"BadLocalSignature", &deflated, [](Bytes& b) { b[0] = 'X'; }, ZIPR_CORRUPT, 0},
      {"LocalMethodDiffers", &deflated, [](Bytes& b) { Put16(b, 8, 0); }, ZIPR_CORRUPT, 0},
      {"CompressedSizePastEnd", &deflated, central(20, [](uint32_t) { return 0x7fffffffu; }),
       ZIPR_CORRUPT, 0},
      {"WrongCrc", &deflated, central(16, [](uint32_t v) { return v ^ 1; }), ZIPR_OK, ZIPR_CORRUPT},
      {"StoredWrongCrc", &stored, central(16, [](uint32_t v) { return v ^ 1; }), ZIPR_OK,
       ZIPR_CORRUPT},
      {"DeclaresOneByteLess", &deflated, central(24, [](uint32_t v) { return v - 1; }), ZIPR_OK,
       ZIPR_CORRUPT},
      {"DeclaresNearly2GiB", &deflated, central(24, [](uint32_t) { return 0x7ffffff0u; }), ZIPR_OK,
       ZIPR_CORRUPT},
      {"DeflateBombDeclaredSmall", &deflated, central(24, [](uint32_t) { return 100u; }), ZIPR_OK,
       ZIPR_CORRUPT},
      {"StoredSizesDisagree", &stored, central(24, [](uint32_t v) { return v - 10; }), ZIPR_OK,
       ZIPR_CORRUPT},
      {"CompressedDataCutShort", &deflated, central(20, [](uint32_t v) { return v / 2; }), ZIPR_OK,
       ZIPR_FLATE},
      {"ReservedBlockType", &deflated, [](Bytes& b) { b[DataStart(b)] = 0xff; }, ZIPR_OK,
       ZIPR_FLATE},
      {"EncryptedEntry", &deflated, [](Bytes& b) { b[Central(b) + 8] |= 1; }, ZIPR_OK,
       ZIPR_CORRUPT},
      {"UnknownMethod", &deflated,
       [](Bytes& b) {
         Put16(b, Central(b) + 10, 12);
         Put16(b, 8, 12);
       },
       ZIPR_OK, ZIPR_CORRUPT},
  };
  for (const Case& c : cases) {
    Bytes damaged = *c.base;
    c.damage(damaged);
    WriteFileBytes(t / "damaged.zip", damaged);
    for (bool fromFile : {false, true}) {
      SCOPED_TRACE(std::string(c.label) + (fromFile ? " (file)" : " (memory)"));
      Reader r{fromFile ? ZipOpen((t / "damaged.zip").c_str(), 0, ZIP_FILENAME)
                        : OpenMemory(damaged)};
      ZipEntryInfo e;
      ASSERT_EQ(ZipGetEntry(r.h, 0, e), c.atQuery);
      if (c.atQuery != ZIPR_OK) continue;
      Bytes buf(4096);
      size_t delivered = 0;
      uint32_t result;
      while ((result = Extract(r.h, buf)) == ZIPR_MORE) delivered += buf.size();
      EXPECT_EQ(result, c.atExtract);
      EXPECT_LE(delivered, data.size());
    }
  }
}

TEST(ZipReaderDestinations, FileNamesAndDescriptors) {
  CwdGuard cwd;
  TempDir root;  // home and elsewhere share a private parent, so an escape would land in it
  const fs::path home = root / "home", elsewhere = root / "elsewhere";
  fs::create_directories(home);
  fs::create_directories(elsewhere);
  const Bytes data = dtltest::RandomBytes(300000, 4, true);
  WriteFileBytes(home / "data", data);
  fs::current_path(home);
  Bytes zip = Make(root, "cd home && " + Py("z.write('data', 'data', zipfile.ZIP_DEFLATED)") +
                             " && mv out.zip ..");
  Bytes badCrc = zip;
  badCrc[Central(badCrc) + 16] ^= 1;

  Reader r{OpenMemory(zip)};
  Reader bad{OpenMemory(badCrc)};
  fs::current_path(elsewhere);  // names resolve under the folder current at open time

  EXPECT_EQ(ZipExtract(r.h, 0, const_cast<char*>("x/y/z.bin"), 0, ZIP_FILENAME), ZIPR_OK);
  EXPECT_TRUE(ReadFileBytes(home / "x/y/z.bin") == data);
  EXPECT_TRUE(fs::is_empty(elsewhere));

  for (const char* name :
       {"../escaped", "/tmp/zipreader-absolute", "a/../../escaped", "a/..", "", "./../escaped"}) {
    EXPECT_EQ(ZipExtract(r.h, 0, const_cast<char*>(name), 0, ZIP_FILENAME), ZIPR_ARGS) << name;
  }
  EXPECT_FALSE(fs::exists(root / "escaped"));
  EXPECT_FALSE(fs::exists("/tmp/zipreader-absolute"));

  // A link planted in the tree is not followed out of it.
  fs::create_directory_symlink(elsewhere, home / "link");
  EXPECT_EQ(ZipExtract(r.h, 0, const_cast<char*>("link/f"), 0, ZIP_FILENAME), ZIPR_NOFILE);
  EXPECT_TRUE(fs::is_empty(elsewhere));

  // A damaged entry leaves no file behind.
  EXPECT_EQ(ZipExtract(bad.h, 0, const_cast<char*>("damaged.bin"), 0, ZIP_FILENAME), ZIPR_CORRUPT);
  EXPECT_FALSE(fs::exists(home / "damaged.bin"));

  // A descriptor receives the entry from its current position on.
  const int fd = ::open((elsewhere / "out").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  ASSERT_EQ(::write(fd, "HEAD", 4), 4);
  EXPECT_EQ(ZipExtract(r.h, 0, AsFd(fd), 0, ZIP_HANDLE), ZIPR_OK);
  ::close(fd);
  Bytes want = {'H', 'E', 'A', 'D'};
  want.insert(want.end(), data.begin(), data.end());
  EXPECT_TRUE(ReadFileBytes(elsewhere / "out") == want);
}
