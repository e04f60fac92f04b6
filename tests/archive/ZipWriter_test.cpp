// The zip container: its bytes against a hand-built archive, readers nobody here wrote (unzip,
// Python's zipfile), the refusals, and DOS time stamps including the years DOS cannot hold.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "archive/ZipWriter.h"
#include "support/TestSupport.h"

namespace {

// 2024-03-05 14:07:36 UTC; the tests run with TZ=UTC so local time is that moment.
constexpr std::time_t kPinned = 1709647656;
constexpr uint16_t kPinnedTime = (14 << 11) | (7 << 5) | 18, kPinnedDate = (44 << 9) | (3 << 5) | 5;

class ZipWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
  }
};

// Little-endian fields in a row: each value with its byte width.
std::vector<uint8_t> Le(std::initializer_list<std::pair<uint32_t, int>> fields) {
  std::vector<uint8_t> out;
  for (auto [v, width] : fields)
    for (int i = 0; i < width; ++i)
      out.push_back(i < 4 ? uint8_t(v >> (8 * i)) : 0);  // wider fields: zeros
  return out;
}

TEST_F(ZipWriterTest, OneEntryLayoutIsByteExact) {
  auto data = dtltest::RandomBytes(5000, 7, true);
  const std::string name = "seg.bin.003.doc";
  dtl::ZipWriter zip(kPinned);
  ASSERT_TRUE(zip.AppendData(name, data));
  auto written = zip.WriteToMemory();
  ASSERT_TRUE(written) << written.error().message;
  const std::vector<uint8_t> z = *written;

  const uint32_t n = uint32_t(name.size()), crc = dtl::Crc32(0, data.data(), data.size());
  const uint32_t csize = uint32_t(z.size()) - (30 + n + 46 + n + 22), size = uint32_t(data.size());
  // Local header (version 20, deflate), the deflated bytes (checked by the readers below),
  // central header (version made by 0, external attributes 0x80), end record.
  auto want = Le({{0x04034B50, 4},
                  {20, 2},
                  {0, 2},
                  {8, 2},
                  {kPinnedTime, 2},
                  {kPinnedDate, 2},
                  {crc, 4},
                  {csize, 4},
                  {size, 4},
                  {n, 2},
                  {0, 2}});
  want.insert(want.end(), name.begin(), name.end());
  want.insert(want.end(), z.begin() + want.size(), z.begin() + want.size() + csize);
  auto central = Le({{0x02014B50, 4},
                     {0, 2},
                     {20, 2},
                     {0, 2},
                     {8, 2},
                     {kPinnedTime, 2},
                     {kPinnedDate, 2},
                     {crc, 4},
                     {csize, 4},
                     {size, 4},
                     {n, 2},
                     {0, 8},
                     {0x80, 4},
                     {0, 4}});
  central.insert(central.end(), name.begin(), name.end());
  const uint32_t centralAt = uint32_t(want.size());
  want.insert(want.end(), central.begin(), central.end());
  auto end = Le({{0x06054B50, 4}, {0, 4}, {1, 2}, {1, 2}, {46 + n, 4}, {centralAt, 4}, {0, 2}});
  want.insert(want.end(), end.begin(), end.end());
  EXPECT_EQ(z, want);
}

TEST_F(ZipWriterTest, ReadersNobodyHereWroteGetTheBytesBack) {
  dtltest::TempDir dir;
  auto first = dtltest::RandomBytes(200000, 1, true);
  auto second = dtltest::RandomBytes(3000, 2, false);  // incompressible
  dtl::ZipWriter zip(kPinned);
  ASSERT_TRUE(zip.AppendData("first.dtl.doc", first));
  ASSERT_TRUE(zip.AppendData("sub\\second.bin", second));
  auto written = zip.WriteToMemory();
  ASSERT_TRUE(written) << written.error().message;
  const std::vector<uint8_t> z = *written;
  dtltest::WriteFileBytes(dir / "a.zip", z);
  auto t = dtltest::RunCommand("unzip -t " + dtltest::ShellQuote((dir / "a.zip").string()));
  EXPECT_EQ(t.status, 0) << t.output;
  EXPECT_NE(t.output.find("No errors detected"), std::string::npos) << t.output;

  auto entries = dtltest::PythonZipEntries(z);
  ASSERT_TRUE(entries);
  ASSERT_EQ(entries->size(), 2u);
  EXPECT_EQ((*entries)[0].name, "first.dtl.doc");
  EXPECT_EQ((*entries)[1].name, "sub/second.bin");  // a "\" in a name is stored as "/"
  EXPECT_EQ((*entries)[0].bytes, first);
  EXPECT_EQ((*entries)[1].bytes, second);
}

TEST_F(ZipWriterTest, RefusesEntriesItCannotStore) {
  const std::tuple<std::string, size_t, const char*> cases[] = {
      {"", 10, "No filename was provided"},
      {"a.doc", 0, "Data length must be > 0"},
      {std::string(65536, 'n'), 10, "File name is too long for a zip entry"},
  };
  for (const auto& [name, size, error] : cases) {
    dtl::ZipWriter zip(kPinned);
    const dtl::Status added = zip.AppendData(name, std::vector<uint8_t>(size, 'x'));
    ASSERT_FALSE(added);
    EXPECT_EQ(added.error().message, error);
    EXPECT_EQ(added.error().code, dtl::ErrorCode::InvalidArgument);
    // Nothing was added: the archive is the bare end record.
    auto z = zip.WriteToMemory();
    ASSERT_TRUE(z);
    EXPECT_EQ(*z, Le({{0x06054B50, 4}, {0, 18}}));
  }
  dtl::ZipWriter longest(kPinned);
  EXPECT_TRUE(longest.AppendData(std::string(65535, 'n'), std::vector<uint8_t>(1, 'x')));
}

TEST_F(ZipWriterTest, DosStampClampsToTheYearsItCanHold) {
  constexpr uint16_t kFirst = (1 << 5) | 1, kLastTime = (23 << 11) | (59 << 5) | 29,
                     kLastDate = (127 << 9) | (12 << 5) | 31;
  const std::tuple<std::time_t, uint16_t, uint16_t> cases[] = {
      {kPinned, kPinnedTime, kPinnedDate},
      {315532800, 0, kFirst},              // 1980-01-01 00:00:00, the first
      {315532799, 0, kFirst},              // a second earlier clamps to it
      {4354819199, kLastTime, kLastDate},  // 2107-12-31 23:59:58
      {4354819200 + 86400 * 400, kLastTime, kLastDate},
  };
  for (const auto& [when, time, date] : cases) {
    dtl::ZipWriter zip(when);
    EXPECT_EQ(zip.DosTime(), time) << when;
    EXPECT_EQ(zip.DosDate(), date) << when;
  }
}

TEST(Crc32, MatchesTheCheckValueAndContinues) {
  auto p = reinterpret_cast<const uint8_t*>("123456789");
  EXPECT_EQ(dtl::Crc32(0, p, 9), 0xCBF43926u);
  EXPECT_EQ(dtl::Crc32(dtl::Crc32(0, p, 4), p + 4, 5), 0xCBF43926u);
}

}  // namespace
