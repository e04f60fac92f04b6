// Split and merge through the built dtl program: what a user of the command line sees.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "base/SettingsStore.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using dtltest::DtlResult;
using dtltest::ReadFileBytes;
using dtltest::ShellQuote;
using dtltest::TempDir;
using Bytes = std::vector<uint8_t>;

class RoundTrip : public ::testing::Test {
 protected:
  // Settings of their own, so the split's encryption method and the merge's save folder come
  // from nothing the machine happens to hold.
  std::string Env() const { return "XDG_CONFIG_HOME=" + ShellQuote(config_.path().string()); }
  DtlResult Split(const fs::path& file, const std::string& extra = "",
                  const std::string& input = "") {
    return dtltest::RunDtl("split " + ShellQuote(file.string()) + " " +
                               ShellQuote(segs_.path().string()) + " " + extra,
                           input, Env());
  }
  DtlResult Merge(const std::string& args, const std::string& input = "",
                  const fs::path& cwd = {}) {
    return dtltest::RunDtl("merge " + args, input, Env(), cwd);
  }
  DtlResult MergeInto(const fs::path& descriptor, const std::string& extra = "",
                      const std::string& input = "") {
    return Merge(ShellQuote(descriptor.string()) + " --out " + ShellQuote(out_.path().string()) +
                     " " + extra,
                 input);
  }
  fs::path Source(const std::string& name, const Bytes& data) {
    fs::path p = src_ / name;
    dtltest::WriteFileBytes(p, data);
    return p;
  }
  fs::path Seg(const std::string& name) const { return segs_ / name; }
  fs::path Out(const std::string& name) const { return out_ / name; }

  TempDir config_, src_, segs_, out_;
};

std::string UnzipText(const fs::path& p) {
  return "dtl merge: Unable to unzip " + p.string() +
         ", either the file is corrupt or you entered the wrong password.";
}
std::string MissingText(const fs::path& p) {
  return "Could not complete the merge.\n\nCould not find segment:\n" + p.string();
}

TEST_F(RoundTrip, FilesOfEverySizeComeBackByteForByte) {
  constexpr size_t S = 10000;
  struct Case {
    const char* label;
    size_t size;
    size_t segments;
  } cases[] = {
      {"one_byte", 1, 1},
      {"exactly_one_segment", S, 1},
      {"one_segment_and_one_byte", S + 1, 2},
      {"many_segments", 12 * S + 345, 13},
  };
  const std::string pwFile = (config_ / "pw.txt").string();
  dtltest::WriteFileText(pwFile, "horse battery\n");
  struct Password {
    const char* label;
    std::string split, merge;  // extra arguments
    std::string splitInput, mergeInput;
  } passwords[] = {
      {"default", "", "", "", ""},
      {"explicit_default_on_merge", "", "--password-stdin", "", "0x5E2A9\n"},
      {"own", "--password-stdin", "--password-file " + ShellQuote(pwFile), "horse battery\n", ""},
  };
  uint32_t seed = 100;
  for (const auto& c : cases) {
    for (const auto& pw : passwords) {
      SCOPED_TRACE(std::string(c.label) + "/" + pw.label);
      std::string name = std::string(c.label) + "_" + pw.label + ".bin";
      ++seed;
      Bytes data = dtltest::RandomBytes(c.size, seed, seed % 2 == 0);
      auto split = Split(Source(name, data), "--segment-size 10000 " + pw.split, pw.splitInput);
      ASSERT_EQ(split.status, 0) << split.all();
      EXPECT_EQ(fs::exists(Seg(name + ".001.doc")), c.segments > 1);
      auto merge = MergeInto(Seg(name + ".dtl.doc"), pw.merge, pw.mergeInput);
      ASSERT_EQ(merge.status, 0) << merge.all();
      EXPECT_NE(merge.all().find(Out(name).string()), std::string::npos) << merge.all();
      EXPECT_EQ(ReadFileBytes(Out(name)), data);
    }
  }
}

TEST_F(RoundTrip, DownloadedNamesWithoutDocMergeToTheSameFile) {
  Bytes data = dtltest::RandomBytes(35000, 1, true);
  ASSERT_EQ(Split(Source("dl.bin", data), "--segment-size 10000").status, 0);
  for (const auto& e : fs::directory_iterator(segs_.path())) {
    std::string n = e.path().string();
    fs::rename(n, n.substr(0, n.size() - 4));  // stored without ".doc", as a download does
  }
  auto merge = MergeInto(Seg("dl.bin.dtl"));
  ASSERT_EQ(merge.status, 0) << merge.all();
  EXPECT_EQ(ReadFileBytes(Out("dl.bin")), data);
}

// Failures of the merge: exit status 1 and the user's message on stderr.
TEST_F(RoundTrip, UnreadableSegmentsFailWithTheUnzipMessage) {
  Bytes data = dtltest::RandomBytes(25000, 2);
  {
    SCOPED_TRACE("wrong password fails at the descriptor");
    ASSERT_EQ(
        Split(Source("pw.bin", data), "--segment-size 10000 --password-stdin", "right\n").status,
        0);
    auto merge = MergeInto(Seg("pw.bin.dtl.doc"), "--password-stdin", "wrong\n");
    EXPECT_EQ(merge.status, 1);
    EXPECT_NE(merge.all().find(UnzipText(Seg("pw.bin.dtl.doc"))), std::string::npos) << merge.all();
    EXPECT_FALSE(fs::exists(Out("pw.bin")));
  }
  {
    SCOPED_TRACE("the DES form is not read by the merge");
    ASSERT_EQ(Split(Source("des.bin", data), "--segment-size 10000 --des").status, 0);
    auto merge = MergeInto(Seg("des.bin.dtl.doc"));
    EXPECT_EQ(merge.status, 1);
    EXPECT_NE(merge.all().find(UnzipText(Seg("des.bin.dtl.doc"))), std::string::npos)
        << merge.all();
  }
}

TEST_F(RoundTrip, IncompleteSetsFailWithTheMissingSegmentMessage) {
  Bytes data = dtltest::RandomBytes(35000, 3);
  ASSERT_EQ(Split(Source("gap.bin", data), "--segment-size 10000").status, 0);
  ASSERT_EQ(Split(Source("stray.bin", data), "--segment-size 10000").status, 0);
  ASSERT_EQ(Split(Source("whole.bin", data), "--segment-size 10000").status, 0);
  fs::remove(Seg("gap.bin.002.doc"));
  dtltest::WriteFileText(Seg("stray.bin.txt"), "a note that matches the name");

  auto merge =
      Merge(ShellQuote(Seg("gap.bin.dtl.doc")) + " " + ShellQuote(Seg("stray.bin.dtl.doc")) + " " +
            ShellQuote(Seg("whole.bin.dtl.doc")) + " --out " + ShellQuote(out_.path()));
  EXPECT_EQ(merge.status, 1);
  EXPECT_NE(merge.all().find(MissingText(Seg("gap.bin.002.doc")) +
                             "\n\nMissing segments: 2\n\nSegments 0-1 are kept in:\n" +
                             Out("gap.bin.incomplete").string() + "\n"),
            std::string::npos)
      << merge.all();
  // What came before the gap is there, but never under the name of the finished file.
  EXPECT_FALSE(fs::exists(Out("gap.bin")));
  EXPECT_EQ(ReadFileBytes(Out("gap.bin.incomplete")), Bytes(data.begin(), data.begin() + 20000));
  // The stray file raises the count, so a complete set still asks for one segment more.
  EXPECT_NE(merge.all().find(MissingText(Seg("stray.bin.004.doc"))), std::string::npos)
      << merge.all();
  EXPECT_FALSE(fs::exists(Out("stray.bin")));
  EXPECT_EQ(ReadFileBytes(Out("stray.bin.incomplete")), data);
  // A missing segment does not stop the later descriptors; only complete files are printed.
  EXPECT_EQ(ReadFileBytes(Out("whole.bin")), data);
  EXPECT_EQ(merge.out, Out("whole.bin").string() + "\n");
}

// A disk that fills up during the merge (here: a file size limit on the merge's process): exit
// status 1, the system's text and how far it got, and no file under the final name.
TEST_F(RoundTrip, FullDiskLeavesOnlyTheIncompleteFileAndExitsWithOne) {
  Bytes data = dtltest::RandomBytes(35000, 8);
  ASSERT_EQ(Split(Source("w.bin", data), "--segment-size 10000").status, 0);
  // The limit is in blocks of 512 or 1024 bytes depending on the shell: 15360 or 30720 bytes,
  // either way inside the file. The signal a write beyond it raises is ignored, so the write
  // fails as it would on a full disk.
  auto merge = dtltest::RunDtl(
      "merge " + ShellQuote(Seg("w.bin.dtl.doc").string()) + " --out " + ShellQuote(out_.path()),
      "", "trap '' XFSZ; ulimit -f 30; " + Env());
  EXPECT_EQ(merge.status, 1) << merge.all();
  EXPECT_EQ(merge.out, "");
  EXPECT_NE(merge.err.find("dtl merge: Could not merge segment file: File too large\n\nThe merge "
                           "stopped at segment "),
            std::string::npos)
      << merge.err;
  EXPECT_NE(merge.err.find(Out("w.bin.incomplete").string()), std::string::npos) << merge.err;
  EXPECT_FALSE(fs::exists(Out("w.bin")));
  const Bytes kept = ReadFileBytes(Out("w.bin.incomplete"));
  EXPECT_TRUE(kept.size() == 10000 || kept.size() == 30000) << kept.size();
  EXPECT_EQ(kept, Bytes(data.begin(), data.begin() + std::min(kept.size(), data.size())));
}

TEST_F(RoundTrip, SegmentThousandIsFoundUnderItsFourDigitName) {
  Bytes data = dtltest::RandomBytes(1002 * 16, 5);
  ASSERT_EQ(Split(Source("many.bin", data), "--segment-size 16").status, 0);
  ASSERT_TRUE(fs::exists(Seg("many.bin.1000.doc")));
  ASSERT_TRUE(fs::exists(Seg("many.bin.1001.doc")));
  for (int again = 0; again < 2; ++again) {  // merging again replaces the output when told to
    auto merge = MergeInto(Seg("many.bin.dtl.doc"), again ? "--overwrite" : "");
    ASSERT_EQ(merge.status, 0) << merge.all();
    EXPECT_EQ(ReadFileBytes(Out("many.bin")), data);
  }
}

TEST_F(RoundTrip, SaveFolderComesFromOutThenTheSettingThenTheCurrentFolder) {
  Bytes data = dtltest::RandomBytes(15000, 6);
  ASSERT_EQ(Split(Source("where.bin", data), "--segment-size 10000").status, 0);
  std::string desc = ShellQuote(Seg("where.bin.dtl.doc"));

  TempDir cwd, saved;
  auto here = Merge(desc, "", cwd.path());
  ASSERT_EQ(here.status, 0) << here.err;
  EXPECT_EQ(ReadFileBytes(cwd / "where.bin"), data);

  dtl::SettingsStore store(config_.path() / "drovetail" / "settings.reg");
  ASSERT_TRUE(store.SetString("savepath", saved.path().string()));
  auto fromSetting = Merge(desc, "", cwd.path());
  ASSERT_EQ(fromSetting.status, 0) << fromSetting.err;
  EXPECT_EQ(ReadFileBytes(saved / "where.bin"), data);
}

// A file under the rebuilt file's name is refused (kept, exit 1) unless --overwrite replaces
// it; --skip-existing keeps it and says so.
TEST_F(RoundTrip, AnExistingFileIsReplacedOnlyWithOverwrite) {
  Bytes data = dtltest::RandomBytes(25000, 8);
  ASSERT_EQ(Split(Source("mine.txt", data), "--segment-size 10000").status, 0);
  struct Case {
    const char* flag;
    int status;
    bool replaced;
    std::string said;
  } cases[] = {
      {"", 1, false,
       "dtl merge: " + Out("mine.txt").string() +
           " exists; give --overwrite to replace it or --skip-existing to keep it\n"},
      {"--skip-existing", 0, false,
       "dtl merge: " + Out("mine.txt").string() + " exists and was kept\n"},
      {"--overwrite", 0, true, Out("mine.txt").string() + "\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.flag);
    dtltest::WriteFileText(Out("mine.txt"), "the user's own file");
    auto r = MergeInto(Seg("mine.txt.dtl.doc"), c.flag);
    EXPECT_EQ(r.status, c.status) << r.all();
    EXPECT_NE(r.all().find(c.said), std::string::npos) << r.all();
    if (c.replaced)
      EXPECT_EQ(ReadFileBytes(Out("mine.txt")), data);
    else
      EXPECT_EQ(dtltest::ReadFileText(Out("mine.txt")), "the user's own file");
  }
  auto both = MergeInto(Seg("mine.txt.dtl.doc"), "--overwrite --skip-existing");
  EXPECT_EQ(both.status, 2) << both.all();
}

TEST_F(RoundTrip, BadUsageExitsWithTwo) {
  Bytes data = dtltest::RandomBytes(100, 7);
  ASSERT_EQ(Split(Source("u.bin", data), "--segment-size 10000").status, 0);
  struct Case {
    const char* label;
    std::string args;
  } cases[] = {
      {"no_descriptor", "--out " + ShellQuote(out_.path())},
      {"numbered_segment_as_descriptor", ShellQuote(Seg("u.bin.001.doc"))},
      {"a par2 file that is no recovery file name", ShellQuote(Seg("u.bin.vol1.par2x"))},
      {"password_on_the_command_line", ShellQuote(Seg("u.bin.dtl.doc")) + " --password secret"},
      {"unknown_option", ShellQuote(Seg("u.bin.dtl.doc")) + " --fast"},
      {"threads_zero", ShellQuote(Seg("u.bin.dtl.doc")) + " --threads 0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    auto r = Merge(c.args);
    EXPECT_EQ(r.status, 2) << r.all();
    EXPECT_NE(r.all().find("dtl merge: "), std::string::npos);
  }
  EXPECT_EQ(Merge("--help").status, 0);
}

// Recovery data end to end: split with --recovery, lose segment files, merge.
TEST_F(RoundTrip, LostSegmentsAreRebuiltFromTheRecoveryData) {
  struct Case {
    const char* behaviour;
    std::vector<std::string> remove;
    std::string given;  // what is handed to dtl merge
  } cases[] = {
      {"two segments lost", {"movie.avi.003.doc", "movie.avi.007.doc"}, "movie.avi.dtl.doc"},
      {"the descriptor and the last segment lost, a recovery file given",
       {"movie.avi.dtl.doc", "movie.avi.019.doc"}, "movie.avi.par2"},
      {"a volume given with the descriptor: merged once", {"movie.avi.011.doc"}, "movie.avi.vol01+01.par2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.behaviour);
    fs::remove_all(segs_.path());
    fs::create_directory(segs_.path());
    fs::remove_all(out_.path());
    fs::create_directory(out_.path());
    const Bytes data = dtltest::RandomBytes(20 * 5000 - 7, 40);  // 20 segment files
    const auto split = Split(Source("movie.avi", data), "--segment-size 5000 --recovery 10");
    ASSERT_EQ(split.status, 0) << split.err;
    EXPECT_NE(split.out.find(Seg("movie.avi.019.doc").string() + "\n" + Seg("movie.avi.par2").string() +
                             "\n" + Seg("movie.avi.vol00+01.par2").string() + "\n" +
                             Seg("movie.avi.vol01+01.par2").string() + "\n"),
              std::string::npos)
        << split.out;
    if (dtltest::HaveCommand("par2")) {
      const auto verified = dtltest::RunCommand("cd " + ShellQuote(segs_.path().string()) +
                                                " && par2 verify -q movie.avi.par2 2>&1");
      EXPECT_EQ(verified.status, 0) << verified.output;
    }
    for (const auto& r : c.remove) fs::remove(Seg(r));
    std::string args = ShellQuote(Seg(c.given).string());
    if (c.given != "movie.avi.dtl.doc") args += " " + ShellQuote(Seg("movie.avi.dtl.doc").string());
    const auto merge = Merge(args + " --out " + ShellQuote(out_.path().string()));
    ASSERT_EQ(merge.status, 0) << merge.all();
    EXPECT_EQ(ReadFileBytes(Out("movie.avi")), data);
    std::string names;
    for (const auto& r : c.remove) names += (names.empty() ? "" : ", ") + r;
    EXPECT_EQ(merge.err, "dtl merge: repaired " + names + " from the recovery data\n");
    EXPECT_EQ(merge.out, Out("movie.avi").string() + "\n");
  }
}

TEST_F(RoundTrip, TooFewRecoveryBlocksExitWithOneAndLeaveNoFinishedFile) {
  const Bytes data = dtltest::RandomBytes(20 * 5000, 41);
  ASSERT_EQ(Split(Source("movie.avi", data), "--segment-size 5000 --recovery 10").status, 0);
  for (const char* r : {"movie.avi.002.doc", "movie.avi.005.doc", "movie.avi.006.doc", "movie.avi.019.doc"})
    fs::remove(Seg(r));
  const auto merge = MergeInto(Seg("movie.avi.dtl.doc"));
  EXPECT_EQ(merge.status, 1);
  EXPECT_EQ(merge.err,
            "dtl merge: movie.avi: 2 more recovery blocks are needed to repair 4 missing or damaged "
            "segments\n");
  EXPECT_EQ(merge.out, "");
  EXPECT_FALSE(fs::exists(Out("movie.avi")));
  EXPECT_TRUE(fs::is_empty(out_.path()));
}

// A file beyond 4 GiB (mostly a hole, with marked blocks around the 32-bit boundary and at the
// end) splits and merges byte for byte.
TEST_F(RoundTrip, FileLargerThanFourGibComesBackWhole) {
  const uint64_t size = (4ull << 30) + 200'000'123ull;
  fs::path src = src_ / "huge.img";
  {
    int fd = ::open(src.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
    const uint64_t marks[] = {0, (4ull << 30) - 5000, (4ull << 30) + 7, size - 4096};
    uint32_t seed = 40;
    for (uint64_t at : marks) {
      Bytes b = dtltest::RandomBytes(4096, ++seed);
      ASSERT_EQ(::pwrite(fd, b.data(), b.size(), static_cast<off_t>(at)), 4096);
    }
    ::close(fd);
  }
  auto split = Split(src, "--segment-size 10000000");
  ASSERT_EQ(split.status, 0) << split.all();
  ASSERT_TRUE(fs::exists(Seg("huge.img.449.doc")));
  ASSERT_FALSE(fs::exists(Seg("huge.img.450.doc")));
  auto merge = MergeInto(Seg("huge.img.dtl.doc"));
  ASSERT_EQ(merge.status, 0) << merge.all();
  // Free the segments before comparing, to keep the disk use of the test down.
  fs::remove_all(segs_.path());
  ASSERT_EQ(fs::file_size(Out("huge.img")), size);
  EXPECT_EQ(dtltest::RunCommand("cmp " + ShellQuote(src.string()) + " " +
                                ShellQuote(Out("huge.img").string()))
                .status,
            0);
  fs::remove(Out("huge.img"));
  fs::remove(src);
}

}  // namespace
