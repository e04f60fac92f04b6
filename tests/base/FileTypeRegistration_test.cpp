#include "base/FileTypeRegistration.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using dtl::FileTypeRegistration;

FileTypeRegistration Descriptor(const std::string& program) {
  FileTypeRegistration t;
  t.SetExtension("dtl");
  t.AddExtension(".dtl.doc");
  t.SetShellOpenCommand(FileTypeRegistration::OpenCommandFor(program));
  t.SetDocumentTypeName("CGFileType.Document");
  t.SetDefaultIcon(program + ",0");
  t.SetRefreshCaches(false);
  return t;
}

TEST(FileTypeRegistration, WritesMimePackageAndDesktopEntryUnderTheDataHome) {
  dtltest::TempDir home;
  FileTypeRegistration t = Descriptor("/opt/drovetail/drovetail");
  ASSERT_TRUE(t.RegisterAll(home.path()));
  std::string xml = dtltest::ReadFileText(home / "mime/packages/application-x-dtl.xml");
  EXPECT_NE(xml.find("<mime-type type=\"application/x-dtl\">"), std::string::npos) << xml;
  EXPECT_NE(xml.find("<glob pattern=\"*.dtl\"/>"), std::string::npos) << xml;
  EXPECT_NE(xml.find("<glob pattern=\"*.dtl.doc\"/>"), std::string::npos) << xml;
  std::string desktop = dtltest::ReadFileText(home / "applications/CGFileType.Document.desktop");
  EXPECT_NE(desktop.find("\nExec=\"/opt/drovetail/drovetail\" %f\n"), std::string::npos) << desktop;
  EXPECT_NE(desktop.find("\nIcon=/opt/drovetail/drovetail\n"), std::string::npos) << desktop;
  EXPECT_NE(desktop.find("\nMimeType=application/x-dtl;\n"), std::string::npos) << desktop;
}

// The open command must survive a program folder with spaces, quotes, dollars, backslashes and
// percent signs: otherwise a double click runs the wrong program or the wrong file.
TEST(FileTypeRegistration, OpenCommandQuotesTheProgramPathByTheDesktopRules) {
  // The Exec line as written (after the file's own \\ escaping).
  const struct {
    const char *path, *exec;
  } cases[] = {
      {"/opt/My Apps/dtl", R"(Exec="/opt/My Apps/dtl" %f)"},
      {"/o/a\"b", R"(Exec="/o/a\\"b" %f)"},
      {"/o/$HOME`x`", R"(Exec="/o/\\$HOME\\`x\\`" %f)"},
      {"/o/back\\slash", R"(Exec="/o/back\\\\slash" %f)"},
      {"/o/100%", R"(Exec="/o/100%%" %f)"},
  };
  for (const auto& c : cases)
    EXPECT_NE(Descriptor(c.path).DesktopEntryText().find(std::string("\n") + c.exec + "\n"),
              std::string::npos)
        << c.path;
  // A command written the Windows way still opens the file.
  FileTypeRegistration w;
  w.SetDocumentTypeName("X");
  w.SetShellOpenCommand("/usr/bin/dtl \"%1\"");
  EXPECT_NE(w.DesktopEntryText().find("\nExec=/usr/bin/dtl %f\n"), std::string::npos);
}

TEST(FileTypeRegistration, MissingPartsAreLeftOutAndNamesStayInTheirFolder) {
  dtltest::TempDir home;
  FileTypeRegistration noExt = Descriptor("/p/dtl");
  noExt.SetExtension("");
  ASSERT_TRUE(noExt.RegisterAll(home.path()));
  EXPECT_FALSE(fs::exists(home / "mime"));
  EXPECT_EQ(noExt.DesktopEntryText().find("MimeType="), std::string::npos);

  FileTypeRegistration noType = Descriptor("/p/dtl");
  noType.SetDocumentTypeName("");
  dtltest::TempDir home2;
  ASSERT_TRUE(noType.RegisterAll(home2.path()));
  EXPECT_FALSE(fs::exists(home2 / "applications"));
  EXPECT_TRUE(fs::exists(home2 / "mime/packages/application-x-dtl.xml"));

  // A hostile type name cannot place the entry outside applications/.
  FileTypeRegistration sneaky = Descriptor("/p/dtl");
  sneaky.SetDocumentTypeName("../../evil");
  EXPECT_EQ(sneaky.DesktopEntryPath(home.path()).parent_path(), home / "applications");
  // An unwritable data home fails quietly.
  dtltest::WriteFileText(home / "file", "x");
  const dtl::Status registered = Descriptor("/p/dtl").RegisterAll(home / "file");
  ASSERT_FALSE(registered);
  EXPECT_EQ(registered.error().code, dtl::ErrorCode::Io);
  EXPECT_NE(registered.error().system, 0);
}

TEST(FileTypeRegistration, RealMimeDatabaseLearnsBothGlobs) {
  if (!dtltest::HaveCommand("update-mime-database"))
    GTEST_SKIP() << "update-mime-database not installed";
  dtltest::TempDir home;
  FileTypeRegistration t = Descriptor("/p/dtl");
  t.SetRefreshCaches(true);
  ASSERT_TRUE(t.RegisterAll(home.path()));
  std::string globs = dtltest::ReadFileText(home / "mime/globs2");
  EXPECT_NE(globs.find("application/x-dtl:*.dtl\n"), std::string::npos) << globs;
  // Split File's descriptors are the same type.
  EXPECT_NE(globs.find("application/x-dtl:*.dtl.doc\n"), std::string::npos) << globs;
}

}  // namespace
