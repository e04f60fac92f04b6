#include "base/TempFiles.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;

TEST(TempPieceFile, IsAnEmptyPrivateUniqueDtlTmpFileOrTheSystemsError) {
  dtltest::TempDir dir;
  std::set<fs::path> seen;
  for (int i = 0; i < 20; ++i) {
    auto p = dtl::CreateTempPieceFile(dir.path());
    ASSERT_TRUE(p) << p.error().message;
    EXPECT_EQ(p->path().parent_path(), dir.path());
    std::string name = p->path().filename().string();
    EXPECT_EQ(name.substr(0, 3), "DTL");
    EXPECT_EQ(name.substr(name.size() - 4), ".tmp");
    EXPECT_EQ(fs::file_size(p->path()), 0u);
    struct stat st {};
    ASSERT_EQ(::stat(p->path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_TRUE(seen.insert(p->path()).second);
  }
  auto missing = dtl::CreateTempPieceFile(dir / "missing");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().message, (dir / "missing").string() + ": No such file or directory");
  EXPECT_EQ(missing.error().code, dtl::ErrorCode::NotFound);
}

TEST(TempSweep, DeletesLeftoverPiecesAndNothingElse) {
  dtltest::TempDir dir;
  auto mine = dtl::CreateTempPieceFile(dir.path());
  ASSERT_TRUE(mine);
  for (const char* n : {"DTL1A2.tmp", "DTLx.tmp"}) dtltest::WriteFileText(dir / n, "x");
  // Names are case-sensitive here: only the exact pattern is the program's.
  const char* kept[] = {"dtl1.tmp",  "DTL1.TMP", "DTL1.tmp.bak", "XDTL1.tmp",
                        "other.tmp", "DTL",      "DTL.tmp!"};
  for (const char* n : kept) dtltest::WriteFileText(dir / n, "x");
  fs::create_directory(dir / "DTLdir.tmp");
  dtltest::WriteFileText(dir / "target", "not ours to delete");
  fs::create_symlink(dir / "target", dir / "DTLlink.tmp");

  EXPECT_EQ(dtl::DeleteTempPieces(dir.path()), 3u);
  EXPECT_FALSE(fs::exists(mine->path()));
  EXPECT_FALSE(fs::exists(dir / "DTL1A2.tmp"));
  EXPECT_FALSE(fs::exists(dir / "DTLx.tmp"));
  for (const char* n : kept) EXPECT_TRUE(fs::exists(dir / n)) << n;
  EXPECT_TRUE(fs::is_directory(dir / "DTLdir.tmp"));
  EXPECT_TRUE(fs::is_symlink(dir / "DTLlink.tmp"));
  EXPECT_TRUE(fs::exists(dir / "target"));
  EXPECT_EQ(dtl::DeleteTempPieces(dir / "no-such-folder"), 0u);
}

// The file is the descriptor's: bytes written through it land in the file that was created,
// and reading it back gives them, even after someone swapped the name for a link elsewhere.
TEST(TempPieceFile, DescriptorKeepsReachingTheCreatedFileAfterTheNameIsSwapped) {
  dtltest::TempDir dir;
  dtltest::WriteFileText(dir / "victim", "untouched");
  auto p = dtl::CreateTempPieceFile(dir.path());
  ASSERT_TRUE(p) << p.error().message;
  ASSERT_EQ(::write(p->fd(), "piece", 5), 5);
  fs::remove(p->path());
  fs::create_symlink(dir / "victim", p->path());
  ASSERT_EQ(::write(p->fd(), " bytes", 6), 6);
  const auto back = p->ReadAll();
  ASSERT_TRUE(back) << back.error().message;
  EXPECT_EQ(std::string(back->begin(), back->end()), "piece bytes");
  EXPECT_EQ(dtltest::ReadFileText(dir / "victim"), "untouched");
  dtl::TempPieceFile moved = std::move(*p);
  EXPECT_EQ(p->fd(), -1);
  EXPECT_GE(moved.fd(), 0);
}

// Unlinking works on open files here, so an exit sweep must not pull the pieces from under
// another instance that is still sending; a dead instance's pieces are fair game.
TEST(TempSweep, SparesPiecesOfAnotherRunningInstance) {
  dtltest::TempDir dir;
  int toChild[2];
  ASSERT_EQ(::pipe(toChild), 0);
  pid_t live = ::fork();
  ASSERT_GE(live, 0);
  if (live == 0) {
    ::close(toChild[1]);
    char c;
    (void)!::read(toChild[0], &c, 1);  // wait until the parent is done
    ::_exit(0);
  }
  ::close(toChild[0]);
  std::string liveName = "DTL" + std::to_string(live) + "_abcdef.tmp";
  dtltest::WriteFileText(dir / liveName, "in use");

  pid_t dead = ::fork();
  if (dead == 0) ::_exit(0);
  ::waitpid(dead, nullptr, 0);
  std::string deadName = "DTL" + std::to_string(dead) + "_abcdef.tmp";
  dtltest::WriteFileText(dir / deadName, "left over");

  EXPECT_EQ(dtl::DeleteTempPieces(dir.path()), 1u);
  EXPECT_TRUE(fs::exists(dir / liveName));
  EXPECT_FALSE(fs::exists(dir / deadName));

  ::close(toChild[1]);
  ::waitpid(live, nullptr, 0);
  EXPECT_EQ(dtl::DeleteTempPieces(dir.path()), 1u);
}

}  // namespace
