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
}

// The data folder follows $XDG_DATA_HOME, whatever the program's own folder allows: the
// program's folder holds only what was installed.
TEST(ProgramFolder, DataFolderIsUnderXdgDataHomeNotBesideTheProgram) {
  EXPECT_EQ(dtl::DataFolder(), dtl::XdgDataHome() / "drovetail");
  EXPECT_NE(fs::path(dtl::GetProgramFolder()) / "", dtl::DataFolder() / "");
}

class DataFileMove : public ::testing::Test {
 protected:
  dtltest::TempDir dir;
  fs::path program = dir / "bin";
  fs::path data = dir / "share/drovetail";
  void SetUp() override { fs::create_directories(program); }
};

TEST_F(DataFileMove, MovesAnOldFileOnceIntoAnOwnerOnlyFolder) {
  dtltest::WriteFileText(program / "Contacts.dat", "a@b.org\r\n");
  EXPECT_EQ(dtl::DataFilePath(program, data, "Contacts.dat"), program / "Contacts.dat")
      << "before the move the old book is the one in use";
  const std::string note = dtl::MoveDataFile(program, data, "Contacts.dat");
  EXPECT_EQ(note, "moved " + (program / "Contacts.dat").string() + " to " +
                      (data / "Contacts.dat").string());
  EXPECT_FALSE(fs::exists(program / "Contacts.dat"));
  EXPECT_EQ(dtltest::ReadFileText(data / "Contacts.dat"), "a@b.org\r\n");
  struct stat st {};
  ASSERT_EQ(::stat(data.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(dtl::DataFilePath(program, data, "Contacts.dat"), data / "Contacts.dat");
  EXPECT_EQ(dtl::MoveDataFile(program, data, "Contacts.dat"), "") << "nothing left to move";
}

TEST_F(DataFileMove, NeverOverwritesAFileAlreadyInTheDataFolder) {
  dtltest::WriteFileText(program / "DTLErrorLog.xml", "old");
  fs::create_directories(data);
  dtltest::WriteFileText(data / "DTLErrorLog.xml", "new");
  const std::string note = dtl::MoveDataFile(program, data, "DTLErrorLog.xml");
  EXPECT_NE(note.find("already exists"), std::string::npos) << note;
  EXPECT_EQ(dtltest::ReadFileText(data / "DTLErrorLog.xml"), "new");
  EXPECT_EQ(dtltest::ReadFileText(program / "DTLErrorLog.xml"), "old");
  EXPECT_EQ(dtl::DataFilePath(program, data, "DTLErrorLog.xml"), data / "DTLErrorLog.xml");
}

TEST_F(DataFileMove, AFailedMoveKeepsTheOldFileInUse) {
  dtltest::WriteFileText(program / "Contacts.dat", "a@b.org\r\n");
  dtltest::WriteFileText(dir / "share", "a file where the folder should be");
  const std::string note = dtl::MoveDataFile(program, data, "Contacts.dat");
  EXPECT_EQ(note.rfind("still using " + (program / "Contacts.dat").string() + ": ", 0), 0u)
      << note;
  EXPECT_TRUE(fs::exists(program / "Contacts.dat"));
  EXPECT_EQ(dtl::DataFilePath(program, data, "Contacts.dat"), program / "Contacts.dat");
}

TEST_F(DataFileMove, NothingToDoWithoutAnOldFile) {
  EXPECT_EQ(dtl::MoveDataFile(program, data, "Contacts.dat"), "");
  EXPECT_FALSE(fs::exists(data)) << "no folder is made for nothing";
  EXPECT_EQ(dtl::DataFilePath(program, data, "Contacts.dat"), data / "Contacts.dat");
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
