#include "base/ProgramFolder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

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
  std::string error;
  ASSERT_TRUE(dtl::MakePrivateFolders(deep, &error)) << error;
  for (fs::path p : {dir / "a", dir / "a/b", deep}) {
    struct stat st {};
    ASSERT_EQ(::stat(p.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u) << p;
  }
  EXPECT_TRUE(dtl::MakePrivateFolders(deep, &error));
  dtltest::WriteFileText(dir / "file", "x");
  EXPECT_FALSE(dtl::MakePrivateFolders(dir / "file", &error));
  EXPECT_FALSE(dtl::MakePrivateFolders(dir / "file/sub", &error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
