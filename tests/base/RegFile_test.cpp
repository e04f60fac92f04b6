#include "base/RegFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "support/TestSupport.h"

namespace {

using dtl::RegFile;
using dtl::RegValue;
using dtl::SettingType;

RegValue S(std::string t) { return RegValue{SettingType::String, std::move(t), 0}; }
RegValue D(uint32_t d) { return RegValue{SettingType::Dword, {}, d}; }

constexpr std::string_view kKey = "Software\\Kestrelwing\\DTL";

TEST(RegFile, StringsWithQuotesBackslashesControlsAndUtf8SurviveARoundTrip) {
  RegFile f;
  const std::string awkward[] = {"C:\\path\\\"quoted\"",
                                 "line1\nline2\r\n\ttab",
                                 std::string("nul\0mid", 7),
                                 "\x01\x1f\x7f",
                                 "Grüße 日本",
                                 "ends with backslash\\",
                                 "="};
  int i = 0;
  for (const auto& s : awkward) ASSERT_TRUE(f.Set(kKey, "v" + std::to_string(i++), S(s)));
  ASSERT_TRUE(f.Set(kKey, "n", D(0xdeadbeef)));
  std::string text = f.Serialize();
  RegFile back = RegFile::Parse(text);
  EXPECT_EQ(back, f);
  // Every value stays on one line, so a line-based reader can never be led astray.
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'),
            3 + static_cast<long>(std::size(awkward)) + 1);
}

TEST(RegFile, KeyPathsAndValueNamesIgnoreAsciiCaseLikeTheRegistry) {
  RegFile f = RegFile::Parse(
      "[HKEY_CURRENT_USER\\software\\KESTRELWING\\dtl]\n\"smtpport\"=dword:00000019\n");
  const RegValue* v = f.Find("HKEY_CURRENT_USER\\Software\\Kestrelwing\\DTL", "SMTPPort");
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->dword, 25u);
  // Setting through another spelling replaces, not duplicates.
  f.Set(kKey, "SmtpPort", D(26));
  EXPECT_EQ(RegFile::Parse(f.Serialize()).Find(kKey, "smtpPORT")->dword, 26u);
  EXPECT_EQ(f.KeyCount(), 1u);
}

// A file cut off anywhere must never produce a value that was not written: a dword losing
// digits or a string losing its tail would be silently wrong settings.
TEST(RegFile, ATruncatedFileLosesValuesButNeverReadsAWrongOne) {
  RegFile f;
  f.Set(kKey, "SMTPPort", D(0x1a));
  f.Set(kKey, "SMTPServer", S("smtp.example.org"));
  f.Set(kKey, "Big", D(0x12345678));
  f.Set("Software\\DTL\\DTL\\Settings", "HistoryCombo0", S("a@b.c; d@e.f"));
  std::string text = f.Serialize();
  for (size_t cut = 0; cut <= text.size(); ++cut) {
    RegFile part = RegFile::Parse(std::string_view(text).substr(0, cut));
    for (auto [key, name] : {std::pair{kKey, "SMTPPort"},
                             {kKey, "SMTPServer"},
                             {kKey, "Big"},
                             {std::string_view("Software\\DTL\\DTL\\Settings"), "HistoryCombo0"}}) {
      if (const RegValue* v = part.Find(key, name))
        EXPECT_EQ(*v, *f.Find(key, name)) << "cut at " << cut;
    }
  }
}

TEST(RegFile, GarbageLinesAreDroppedAndTheRestKept) {
  struct Case {
    const char* line;
  } bad[] = {
      {"\"A\"=dword:1a"},         // short dword: could be a truncation
      {"\"A\"=dword:00000001a"},  // too long
      {"\"A\"=dword:0000001g"},
      {"\"A\"=\"unterminated"},
      {"\"A\"=\"bad escape \\q\""},
      {"\"A\"=\"trailing\" junk"},
      {"\"A\"=hex:01,02"},
      {"\"\"=\"empty name\""},
      {"A=\"no quotes on the name\""},
  };
  for (const auto& c : bad) {
    std::string text = std::string("[HKEY_CURRENT_USER\\K]\n\"Keep\"=\"yes\"\n") + c.line +
                       "\n\"After\"=dword:00000002\n";
    RegFile f = RegFile::Parse(text);
    EXPECT_EQ(f.Find("K", "A"), nullptr) << c.line;
    ASSERT_NE(f.Find("K", "Keep"), nullptr) << c.line;
    ASSERT_NE(f.Find("K", "After"), nullptr) << c.line;
  }
  // Values under a header that cannot be used must not slip into the key before it.
  RegFile f = RegFile::Parse(
      "[HKEY_CURRENT_USER\\K]\n[HKEY_CURRENT_USER\\]\n\"A\"=\"x\"\n[K2\n\"B\"=\"y\"\n");
  EXPECT_EQ(f.Find("K", "A"), nullptr);
  EXPECT_EQ(f.Find("K", "B"), nullptr);
}

TEST(RegFile, HostileInputIsBounded) {
  // Binary noise, an endless line and a value line before any key: nothing sticks, nothing breaks.
  auto noise = dtltest::RandomBytes(200000, 7);
  RegFile f = RegFile::Parse(std::string(noise.begin(), noise.end()));
  (void)f;
  std::string longLine = "[HKEY_CURRENT_USER\\K]\n\"A\"=\"" +
                         std::string(RegFile::kMaxLineBytes, 'x') + "\"\n\"B\"=\"ok\"\n";
  RegFile g = RegFile::Parse("\"Orphan\"=\"x\"\n" + longLine);
  EXPECT_EQ(g.Find("K", "A"), nullptr);
  EXPECT_NE(g.Find("K", "B"), nullptr);
  EXPECT_EQ(g.Find("K", "Orphan"), nullptr);
  // What a writer accepts, a reader reads back: over-long values are refused up front.
  RegFile h;
  EXPECT_FALSE(h.Set("K", "A", S(std::string(RegFile::kMaxStringBytes + 1, 'x'))));
  EXPECT_TRUE(h.Set("K", "A", S(std::string(RegFile::kMaxStringBytes, '\x01'))));
  EXPECT_EQ(RegFile::Parse(h.Serialize()), h);
}

}  // namespace
