#include "base/ProgramFolder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>

#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;

TEST(ProgramFolder, KeepsCaseAndCutsAfterTheLastSlash) {
  struct Case {
    const char* exe;
    const char* folder;
  } cases[] = {
      {"/opt/Tools/DTL", "/opt/Tools/"},
      {"/opt/Tools/x", "/opt/Tools/"},
      {"/Mixed Case/With Space/dtl", "/Mixed Case/With Space/"},
      {"/dtl", "/"},
      {"dtl", "./"},
  };
  for (const auto& c : cases) EXPECT_EQ(dtl::ProgramFolderOf(c.exe), c.folder) << c.exe;
}

TEST(ProgramFolder, IsTheFolderOfTheRunningProgram) {
  std::string folder = dtl::GetProgramFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(folder.back(), '/');
  EXPECT_TRUE(fs::equivalent(folder, fs::path(dtl::ProgramFilePath()).parent_path()));
  EXPECT_EQ(dtl::GetProgramFolder(), folder);
  // The test binary's folder is writable, so that is where written files go.
  EXPECT_EQ(dtl::WritableProgramFolder(), folder);
}

TEST(PrivateFolders, AreCreatedOwnerOnlyAndExistingOnesAreAccepted) {
  dtltest::TempDir dir;
  fs::path deep = dir / "a/b/c";
  const dtl::Status made = dtl::MakePrivateFolders(deep);
  ASSERT_TRUE(made) << made.error().message;
  for (fs::path p : {dir / "a", dir / "a/b", deep}) {
    struct stat st {};
    ASSERT_EQ(::stat(p.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u) << p;
  }
  EXPECT_TRUE(dtl::MakePrivateFolders(deep));
  dtltest::WriteFileText(dir / "file", "x");
  // The message names the path that could not be had, with the system's text.
  const struct {
    fs::path folder;
    std::string message;
  } refused[] = {
      {dir / "file", (dir / "file").string() + ": Not a directory"},
      {dir / "file/sub", (dir / "file/sub").string() + ": Not a directory"},
  };
  for (const auto& c : refused) {
    const dtl::Status made = dtl::MakePrivateFolders(c.folder);
    ASSERT_FALSE(made) << c.folder;
    EXPECT_EQ(made.error().message, c.message);
    EXPECT_EQ(made.error().system, ENOTDIR);
  }
}

}  // namespace
