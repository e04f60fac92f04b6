// dtl split as a script would run it: exit codes, what lands on stdout and stderr, and which
// settings and options decide the segment size, the form and the password.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include "archive/DesContext.h"
#include "archive/SegmentCipher.h"
#include "base/SettingsStore.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using dtltest::ShellQuote;
using dtltest::TempDir;

class SplitCommand : public ::testing::Test {
 protected:
  SplitCommand() {
    dtltest::WriteFileBytes(dir_ / "x", dtltest::RandomBytes(25000, 21));
    fs::create_directory(dir_ / "out");
  }
  // Runs dtl split with a private settings file.
  int Split(const std::string& args, const std::string& input = {}) {
    auto r = dtltest::RunDtl("split " + args, input,
                             "XDG_CONFIG_HOME=" + ShellQuote((dir_ / "cfg").string()), dir_.path());
    out_ = r.out;
    err_ = r.err;
    return r.status;
  }
  dtl::SettingsStore Settings() {
    return dtl::SettingsStore(dir_ / "cfg" / "drovetail" / "settings.reg");
  }
  std::vector<uint8_t> Segment(const std::string& name) {
    return dtltest::ReadFileBytes(dir_ / "out" / name);
  }

  TempDir dir_;
  std::string out_, err_;
};

bool IsZip(const std::vector<uint8_t>& b) {
  return b.size() > 4 && b[0] == 'P' && b[1] == 'K' && b[2] == 3 && b[3] == 4;
}

std::vector<uint8_t> UndoDes(std::vector<uint8_t> data, std::string_view password) {
  const auto key = dtl::DesKeyFromPassword(password);
  const dtl::DesContext des(key.data());
  for (size_t i = 0; i + 8 <= data.size(); i += 8) des.DecryptBlock(data.data() + i);
  return data;
}

TEST_F(SplitCommand, BadUsageExitsWith2AndWritesNothing) {
  const struct {
    const char* args;
    const char* says;
  } cases[] = {
      {"", "expected FILE and DIR"},
      {"x", "expected FILE and DIR"},
      {"x out extra", "expected FILE and DIR"},
      {"x out --position 1 --segment-size 5000", "not both"},
      {"x out --position 0", "--position"},
      {"x out --position 1001", "--position"},
      {"x out --position 5k", "--position"},
      {"x out --position", "needs a value"},
      {"x out --segment-size 0", "--segment-size"},
      {"x out --segment-size -5", "--segment-size"},
      // A segment above the largest one could be made but never merged.
      {"x out --segment-size 10000001",
       "--segment-size must be a whole number of bytes from 1 to 10000000"},
      {"x out --segment-size 4294967296", "from 1 to 10000000"},
      {"x out --password hunter2", "never taken from the command line"},
      {"x out --password=hunter2", "never taken from the command line"},
      {"x out --password-file pw --password-stdin", "not both"},
      {"x out --threads 0", "--threads"},
      {"x out --frobnicate", "unknown option"},
      {"x out --recovery 101", "--recovery must be a whole number from 0 to 100"},
      {"x out --recovery -1", "--recovery must be a whole number from 0 to 100"},
      {"x out --recovery 10%", "--recovery must be a whole number from 0 to 100"},
      {"x out --recovery", "needs a value"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Split(c.args), 2) << c.args;
    EXPECT_EQ(err_.rfind("dtl split: ", 0), 0u) << c.args << ": " << err_;
    EXPECT_NE(err_.find(c.says), std::string::npos) << c.args << ": " << err_;
    EXPECT_EQ(out_, "") << c.args;
  }
  EXPECT_TRUE(fs::is_empty(dir_ / "out"));
}

TEST_F(SplitCommand, HelpGoesToStdout) {
  EXPECT_EQ(Split("--help"), 0);
  EXPECT_NE(out_.find("Usage: dtl split [OPTIONS] FILE DIR"), std::string::npos);
  EXPECT_NE(out_.find("--recovery PERCENT"), std::string::npos) << out_;
}

TEST_F(SplitCommand, PrintsTheFilesWrittenInOrder) {
  ASSERT_EQ(Split("x out --position 1"), 0) << err_;
  EXPECT_EQ(out_, "out/x.dtl.doc\nout/x.001.doc\nout/x.002.doc\n");
  EXPECT_EQ(err_, "");
  // The default form is the mailed one: AES with the default password.
  EXPECT_TRUE(IsZip(dtl::DecryptBytes(dtl::CipherAlgorithm::Aes, 128, dtl::kDefaultAesPassword,
                                      Segment("x.002.doc"))));
}

TEST_F(SplitCommand, RecoveryFilesArePrintedAfterTheSegments) {
  const std::string segments = "out/x.dtl.doc\nout/x.001.doc\nout/x.002.doc\n";
  struct Case {
    const char* behaviour;
    const char* args;
    std::optional<uint32_t> setting;  // RecoveryPercent; none: never set
    std::string expected;
  } cases[] = {
      {"none by default", "", std::nullopt, segments},
      {"the option asks", "--recovery 50", 0,
       segments + "out/x.par2\nout/x.vol00+01.par2\nout/x.vol01+01.par2\n"},
      {"the setting asks", "", 30, segments + "out/x.par2\nout/x.vol00+01.par2\n"},
      {"the option overrides the setting", "--recovery 0", 100, segments},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.behaviour);
    fs::remove_all(dir_ / "out");
    fs::create_directory(dir_ / "out");
    if (c.setting) {
      ASSERT_TRUE(Settings().SetDword("RecoveryPercent", *c.setting));
    }
    ASSERT_EQ(Split(std::string("x out --position 1 ") + c.args), 0) << err_;
    EXPECT_EQ(out_, c.expected);
    EXPECT_EQ(err_, "");
    size_t files = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir_ / "out")) ++files;
    EXPECT_EQ(files, static_cast<size_t>(std::count(c.expected.begin(), c.expected.end(), '\n')));
  }
}

TEST_F(SplitCommand, SettingsDecideSizeAndFormUnlessOptionsSay) {
  ASSERT_TRUE(Settings().SetDword("SegSize", 2));  // 20000 bytes
  ASSERT_TRUE(Settings().SetDword("EncMethod", 2));
  ASSERT_EQ(Split("x out"), 0) << err_;
  EXPECT_EQ(out_, "out/x.dtl.doc\nout/x.001.doc\n");
  EXPECT_TRUE(IsZip(UndoDes(Segment("x.dtl.doc"), dtl::kDefaultDesPassword)));

  ASSERT_TRUE(Settings().SetDword("EncMethod", 1));
  ASSERT_EQ(Split("x out --segment-size 12500 --des"), 0) << err_;
  EXPECT_EQ(out_, "out/x.dtl.doc\nout/x.001.doc\n");
  EXPECT_EQ(Segment("x.001.doc").size() % 8, 0u);
  EXPECT_TRUE(IsZip(UndoDes(Segment("x.001.doc"), dtl::kDefaultDesPassword)));
}

TEST_F(SplitCommand, FailuresExitWith1AndNameTheCause) {
  EXPECT_EQ(Split("missing out --position 1"), 1);
  EXPECT_EQ(err_, "dtl split: missing: No such file or directory\n");
  dtltest::WriteFileBytes(dir_ / "empty", {});
  EXPECT_EQ(Split("empty out --position 1"), 1);
  EXPECT_EQ(err_, "dtl split: The file empty size is too small (0)\n");
  EXPECT_EQ(Split("x nowhere --position 1"), 1);
  EXPECT_EQ(err_, "dtl split: nowhere: No such file or directory\n");
  EXPECT_EQ(Split("x out --password-file nopw"), 1);
}

// Whatever file or folder a command fails on, its message names it, so a script's log says which
// of its paths was wrong.
TEST_F(SplitCommand, EveryCommandNamesTheMissingPathItFailsOn) {
  ASSERT_EQ(Split("x out --segment-size 12500"), 0) << err_;
  const std::string cfg = "XDG_CONFIG_HOME=" + ShellQuote((dir_ / "cfg").string());
  const struct {
    const char* command;
    const char* path;
  } cases[] = {
      {"split gone-source out", "gone-source"},
      {"split x gone-folder/deeper", "gone-folder/deeper"},
      {"split x out --password-file gone-password", "gone-password"},
      {"merge gone-descriptor.dtl.doc --out out", "gone-descriptor.dtl.doc"},
      {"merge out/x.dtl.doc --out gone-save-folder", "gone-save-folder"},
      {"merge out/x.dtl.doc --out out --password-file gone-password", "gone-password"},
      {"send gone-send-file --to a@example.com", "gone-send-file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    const auto r = dtltest::RunDtl(c.command, "", cfg, dir_.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(c.path), std::string::npos) << r.err;
  }
}

// Ctrl-C part-way: a part of a set would merge "successfully" into the first part of the file,
// so the pieces written are removed again and the user is told so.
TEST_F(SplitCommand, InterruptedSplitRemovesItsSegmentsAndSaysSo) {
  // Pieces of 16 bytes: far more than can be written before the interrupt arrives.
  dtltest::WriteFileBytes(dir_ / "big", dtltest::RandomBytes(4 << 20, 22));
  const std::string first = ShellQuote((dir_ / "out" / "big.dtl.doc").string());
  const std::string so = ShellQuote((dir_ / "so").string()),
                    se = ShellQuote((dir_ / "se").string());
  // The interrupt goes out once the first segment file exists (or dtl has already ended).
  auto r = dtltest::RunCommand(
      "XDG_CONFIG_HOME=" + ShellQuote((dir_ / "cfg").string()) + " " +
      ShellQuote(dtltest::DtlPath()) + " split " + ShellQuote((dir_ / "big").string()) + " " +
      ShellQuote((dir_ / "out").string()) + " --segment-size 16 --threads 2 >" + so + " 2>" + se +
      " & pid=$!\n"
      "while [ ! -e " +
      first +
      " ] && kill -0 $pid 2>/dev/null; do sleep 0.01; done\n"
      "kill -INT $pid; wait $pid; echo \"exit=$?\"");
  EXPECT_EQ(r.output, "exit=1\n");
  const std::string err = dtltest::ReadFileText(dir_ / "se");
  EXPECT_EQ(err.rfind("dtl split: stopped after ", 0), 0u) << err;
  EXPECT_NE(err.find(" segment files written were removed\n"), std::string::npos) << err;
  EXPECT_EQ(dtltest::ReadFileText(dir_ / "so"), "");
  EXPECT_TRUE(fs::is_empty(dir_ / "out"));
}

// A split that fails part-way (here a folder in the way of the third segment) would leave a
// first part of the file that merges as all of it: its segments go and the user is told so.
TEST_F(SplitCommand, FailedSplitRemovesItsSegmentsAndSaysSo) {
  dtltest::WriteFileBytes(dir_ / "part", dtltest::RandomBytes(50000, 23));
  fs::create_directory(dir_ / "out" / "part.002.doc");
  EXPECT_EQ(Split("part out --segment-size 10000 --threads 1"), 1);
  EXPECT_EQ(err_,
            "dtl split: out: Is a directory\n"
            "dtl split: the 2 segment files written were removed\n");
  EXPECT_EQ(out_, "");
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(dir_ / "out")) left.push_back(e.path().filename());
  EXPECT_EQ(left, std::vector<std::string>{"part.002.doc"});
}

}  // namespace
