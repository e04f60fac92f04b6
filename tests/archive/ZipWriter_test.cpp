// The zip container: its fields byte by byte, readers nobody here wrote (unzip, Python's
// zipfile), the refusals, and DOS time stamps including the years DOS cannot hold.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <string>

#include "archive/ZipWriter.h"
#include "support/TestSupport.h"

namespace {

using dtltest::RunCommand;
using dtltest::ShellQuote;

uint32_t Le16(const std::vector<uint8_t>& b, size_t at) { return b.at(at) | b.at(at + 1) << 8; }
uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
  return Le16(b, at) | uint32_t(Le16(b, at + 2)) << 16;
}

std::vector<uint8_t> RawInflate(const uint8_t* data, size_t len, size_t expected) {
  std::vector<uint8_t> out(expected + 1);
  z_stream z{};
  inflateInit2(&z, -15);
  z.next_in = const_cast<uint8_t*>(data);
  z.avail_in = uInt(len);
  z.next_out = out.data();
  z.avail_out = uInt(out.size());
  int rc = inflate(&z, Z_FINISH);
  out.resize(z.total_out);
  inflateEnd(&z);
  EXPECT_EQ(rc, Z_STREAM_END);
  return out;
}

// 2024-03-05 14:07:36 UTC; the tests run with TZ=UTC so local time is that moment.
constexpr std::time_t kPinned = 1709647656;

class ZipWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
  }
};

TEST_F(ZipWriterTest, OneEntryLayoutIsByteExact) {
  auto data = dtltest::RandomBytes(5000, 7, true);
  dtl::ZipWriter zip(kPinned);
  ASSERT_TRUE(zip.AppendData("seg.bin.003.doc", data));
  std::vector<uint8_t> z;
  ASSERT_TRUE(zip.WriteToMemory(z));

  const size_t n = 15;
  const uint32_t csize = Le32(z, 18);
  const uint16_t dosTime = (14 << 11) | (7 << 5) | (36 / 2);
  const uint16_t dosDate = ((2024 - 1980) << 9) | (3 << 5) | 5;
  ASSERT_EQ(z.size(), 30 + n + csize + 46 + n + 22);

  // Local header.
  EXPECT_EQ(Le32(z, 0), 0x04034B50u);
  EXPECT_EQ(Le16(z, 4), 20u);
  EXPECT_EQ(Le16(z, 6), 0u);
  EXPECT_EQ(Le16(z, 8), 8u);
  EXPECT_EQ(Le16(z, 10), dosTime);
  EXPECT_EQ(Le16(z, 12), dosDate);
  EXPECT_EQ(Le32(z, 14), dtl::Crc32(0, data.data(), data.size()));
  EXPECT_EQ(Le32(z, 22), data.size());
  EXPECT_EQ(Le16(z, 26), n);
  EXPECT_EQ(Le16(z, 28), 0u);
  EXPECT_EQ(std::string(z.begin() + 30, z.begin() + 30 + n), "seg.bin.003.doc");
  EXPECT_EQ(RawInflate(z.data() + 30 + n, csize, data.size()), data);

  // Central header: the same fields, version made by 0, external attributes 0x80.
  const size_t c = 30 + n + csize;
  EXPECT_EQ(Le32(z, c), 0x02014B50u);
  EXPECT_EQ(Le16(z, c + 4), 0u);
  EXPECT_EQ(Le16(z, c + 6), 20u);
  EXPECT_EQ(Le16(z, c + 8), 0u);
  EXPECT_EQ(Le16(z, c + 10), 8u);
  EXPECT_EQ(Le16(z, c + 12), dosTime);
  EXPECT_EQ(Le16(z, c + 14), dosDate);
  EXPECT_EQ(Le32(z, c + 16), Le32(z, 14));
  EXPECT_EQ(Le32(z, c + 20), csize);
  EXPECT_EQ(Le32(z, c + 24), data.size());
  EXPECT_EQ(Le16(z, c + 28), n);
  for (size_t off : {30, 32, 34, 36}) EXPECT_EQ(Le16(z, c + off), 0u) << off;
  EXPECT_EQ(Le32(z, c + 38), 0x80u);
  EXPECT_EQ(Le32(z, c + 42), 0u);
  EXPECT_EQ(std::string(z.begin() + c + 46, z.begin() + c + 46 + n), "seg.bin.003.doc");

  // End record.
  const size_t e = c + 46 + n;
  EXPECT_EQ(Le32(z, e), 0x06054B50u);
  EXPECT_EQ(Le32(z, e + 4), 0u);
  EXPECT_EQ(Le16(z, e + 8), 1u);
  EXPECT_EQ(Le16(z, e + 10), 1u);
  EXPECT_EQ(Le32(z, e + 12), 46 + n);
  EXPECT_EQ(Le32(z, e + 16), c);
  EXPECT_EQ(Le16(z, e + 20), 0u);
}

TEST_F(ZipWriterTest, ReadersNobodyHereWroteGetTheBytesBack) {
  dtltest::TempDir dir;
  auto first = dtltest::RandomBytes(200000, 1, true);
  auto second = dtltest::RandomBytes(3000, 2, false);  // incompressible
  dtl::ZipWriter zip(kPinned);
  ASSERT_TRUE(zip.AppendData("first.dtl.doc", first));
  ASSERT_TRUE(zip.AppendData("sub\\second.bin", second));
  std::vector<uint8_t> z;
  ASSERT_TRUE(zip.WriteToMemory(z));
  dtltest::WriteFileBytes(dir / "a.zip", z);

  auto t = RunCommand("unzip -t " + ShellQuote((dir / "a.zip").string()));
  EXPECT_EQ(t.status, 0) << t.output;
  EXPECT_NE(t.output.find("No errors detected"), std::string::npos) << t.output;

  auto py = RunCommand(
      "python3 -c 'import sys,zipfile\n"
      "z=zipfile.ZipFile(sys.argv[1])\n"
      "i=z.infolist()\n"
      "print(\"|\".join(x.filename for x in i), i[0].date_time, i[0].compress_type)\n"
      "open(sys.argv[2],\"wb\").write(z.read(i[0]))\n"
      "open(sys.argv[3],\"wb\").write(z.read(i[1]))' " +
      ShellQuote((dir / "a.zip").string()) + " " + ShellQuote((dir / "1").string()) + " " +
      ShellQuote((dir / "2").string()));
  ASSERT_EQ(py.status, 0) << py.output;
  // A "\" in a name is stored as "/".
  EXPECT_EQ(py.output, "first.dtl.doc|sub/second.bin (2024, 3, 5, 14, 7, 36) 8\n");
  EXPECT_EQ(dtltest::ReadFileBytes(dir / "1"), first);
  EXPECT_EQ(dtltest::ReadFileBytes(dir / "2"), second);
}

TEST_F(ZipWriterTest, RefusesEntriesItCannotStore) {
  struct Case {
    std::string name;
    size_t size;
    const char* error;
  } cases[] = {
      {"", 10, "No filename was provided"},
      {"a.doc", 0, "Data length must be > 0"},
      {std::string(65536, 'n'), 10, "File name is too long for a zip entry"},
  };
  for (const Case& c : cases) {
    dtl::ZipWriter zip(kPinned);
    EXPECT_FALSE(zip.AppendData(c.name, std::vector<uint8_t>(c.size, 'x')));
    EXPECT_EQ(zip.LastError(), c.error);
    // Nothing was added: the archive is the bare 22-byte end record.
    std::vector<uint8_t> z;
    ASSERT_TRUE(zip.WriteToMemory(z));
    ASSERT_EQ(z.size(), 22u);
    EXPECT_EQ(Le32(z, 0), 0x06054B50u);
    EXPECT_EQ(Le16(z, 10), 0u);
  }
  dtl::ZipWriter longest(kPinned);
  EXPECT_TRUE(longest.AppendData(std::string(65535, 'n'), std::vector<uint8_t>(1, 'x')));
}

TEST_F(ZipWriterTest, DosStampClampsToTheYearsItCanHold) {
  struct Case {
    std::time_t when;
    uint16_t time, date;
  } cases[] = {
      {kPinned, (14 << 11) | (7 << 5) | 18, (44 << 9) | (3 << 5) | 5},
      {315532800, 0, (0 << 9) | (1 << 5) | 1},         // 1980-01-01 00:00:00, the first
      {315532799, 0, (0 << 9) | (1 << 5) | 1},         // a second earlier clamps to it
      {86400 * 365, 0, (0 << 9) | (1 << 5) | 1},       // 1971
      {4354819199, (23 << 11) | (59 << 5) | 29, (127 << 9) | (12 << 5) | 31},  // 2107-12-31
      {4354819200 + 86400 * 400, (23 << 11) | (59 << 5) | 29, (127 << 9) | (12 << 5) | 31},
  };
  for (const Case& c : cases) {
    dtl::ZipWriter zip(c.when);
    EXPECT_EQ(zip.DosTime(), c.time) << c.when;
    EXPECT_EQ(zip.DosDate(), c.date) << c.when;
  }
}

TEST(Crc32, MatchesTheCheckValueAndContinues) {
  const std::string s = "123456789";
  auto p = reinterpret_cast<const uint8_t*>(s.data());
  EXPECT_EQ(dtl::Crc32(0, p, 9), 0xCBF43926u);
  EXPECT_EQ(dtl::Crc32(dtl::Crc32(0, p, 4), p + 4, 5), 0xCBF43926u);
}

}  // namespace
