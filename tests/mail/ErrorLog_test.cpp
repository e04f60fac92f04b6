// The error log file: exact layout, the CDATA rule, and text that would break an XML document.
#include "mail/ErrorLog.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>

#include "support/TestSupport.h"

namespace dtl {
namespace {

class ErrorLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
  }
  // 2023-11-14 22:13:20 UTC, one second later on every reading.
  MailLog log_{[t = std::time_t{1700000000}]() mutable { return t++; }};
};

TEST_F(ErrorLogTest, NestedOperationsValuesAndMessagesLayout) {
  log_.Enter("SendEmail");
  log_.Enter("SMTP_Connect");
  log_.Value("smtp_host", "mx.example.org");
  log_.Value("smtp_port", "25");
  log_.Info("Connecting to SMTP server mx.example.org:25");
  log_.Leave();
  log_.Debug("EHLO host\r\n");
  log_.Error("Failed to get initial response");
  log_.Enter("SMTP_Quit");
  log_.Leave();
  log_.Leave();
  EXPECT_EQ(MailLogToXml(log_),
            "<?xml version=\"1.0\"  encoding=\"utf-8\" standalone=\"yes\" ?>\n"
            "<TessalyLog>\n"
            "    <SendEmail>\n"
            "        <SMTP_Connect>\n"
            "            <smtp_host>mx.example.org</smtp_host>\n"
            "            <smtp_port>25</smtp_port>\n"
            "            <info date=\"11/14/2023 22:13:24\">Connecting to SMTP server "
            "mx.example.org:25</info>\n"
            "        </SMTP_Connect>\n"
            "        <debug date=\"11/14/2023 22:13:25\"><![CDATA[EHLO host\r\n]]></debug>\n"
            "        <error date=\"11/14/2023 22:13:26\">Failed to get initial response</error>\n"
            "        <SMTP_Quit/>\n"
            "    </SendEmail>\n"
            "</TessalyLog>\n");
}

TEST_F(ErrorLogTest, TextIsWrittenSoTheDocumentStaysWellFormed) {
  struct Case {
    const char* text;
    const char* written;
  } cases[] = {
      {"plain 'quoted' \"text\"", "plain 'quoted' \"text\""},
      {"a & b", "<![CDATA[a & b]]>"},
      {"<tag>", "<![CDATA[<tag>]]>"},
      {"col1\tcol2", "<![CDATA[col1\tcol2]]>"},
      // A text that holds a section of its own is still wrapped, and its end marker split.
      {"x<![CDATA[y]]>z", "<![CDATA[x<![CDATA[y]]]]><![CDATA[>z]]>"},
      {"]]>]]>", "<![CDATA[]]]]><![CDATA[>]]]]><![CDATA[>]]>"},
      // Bytes XML cannot carry are spelled out; valid UTF-8 is kept.
      {"bell\x07 nul-free \xFF end", "bell\\x07 nul-free \\xFF end"},
      {"caf\xC3\xA9 \xC0\xAF", "caf\xC3\xA9 \\xC0\\xAF"},
  };
  for (const auto& c : cases) {
    MailLog log([] { return std::time_t{0}; });
    log.Value("reply", c.text);
    std::string xml = MailLogToXml(log);
    EXPECT_NE(xml.find(std::string("    <reply>") + c.written + "</reply>\n"), std::string::npos)
        << c.text << "\n"
        << xml;
  }
}

// An XML parser nobody here wrote accepts the file, hostile texts and names included; a second
// write replaces the first without leaving temporary files behind.
TEST_F(ErrorLogTest, WrittenFileParsesAndIsReplacedWhole) {
  ASSERT_TRUE(dtltest::HaveCommand("python3"));
  dtltest::TempDir dir;
  log_.Enter("SendEmail");
  log_.Value("reply", "]]><evil/>&\x01\xFE");
  log_.Value("login method", "LOGIN");  // not an element name as it stands
  log_.Value("2nd", "x");
  log_.Error("line one\r\nline two");
  log_.Leave();
  ASSERT_TRUE(WriteErrorLog(dir.path().string(), log_));  // no trailing "/"
  auto r = dtltest::RunCommand(
      "python3 -c 'import sys, xml.etree.ElementTree as E; r = E.parse(sys.argv[1]).getroot();"
      " print(r.tag, r.find(\"SendEmail/reply\").text)' " +
      dtltest::ShellQuote((dir / "DTLErrorLog.xml").string()));
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(r.output, "TessalyLog ]]><evil/>&\\x01\\xFE\n");
  std::string xml = dtltest::ReadFileText(dir / "DTLErrorLog.xml");
  EXPECT_NE(xml.find("<login_method>LOGIN</login_method>"), std::string::npos) << xml;
  EXPECT_NE(xml.find("<_2nd>x</_2nd>"), std::string::npos) << xml;

  MailLog empty;
  ASSERT_TRUE(WriteErrorLog(dir.path().string() + "/", empty));
  EXPECT_EQ(dtltest::ReadFileText(dir / "DTLErrorLog.xml"),
            "<?xml version=\"1.0\"  encoding=\"utf-8\" standalone=\"yes\" ?>\n"
            "<TessalyLog>The log is empty</TessalyLog>\n");
  size_t files = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path())) ++files;
  EXPECT_EQ(files, 1u);

  const Status missing = WriteErrorLog((dir / "missing").string(), empty);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().message, "No such file or directory");
  EXPECT_EQ(missing.error().code, ErrorCode::NotFound);
}

// The log names servers, addresses and message headers: it is the owner's alone. A temporary
// file of a write that died is swept once it is old enough not to be another write in progress;
// nothing but such leftovers is touched, and a link is never followed.
TEST_F(ErrorLogTest, LogIsOwnerOnlyAndOldLeftoversOfInterruptedWritesAreSwept) {
  dtltest::TempDir dir;
  const auto make = [&](const std::string& name, bool old) {
    dtltest::WriteFileText(dir / name, "<TessalyLog>secret</TessalyLog>");
    if (!old) return;
    struct timespec times[2] = {{std::time(nullptr) - 3600, 0}, {std::time(nullptr) - 3600, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (dir / name).c_str(), times, 0), 0);
  };
  make("DTLErrorLog.xml.Ab3xYz", true);
  make("DTLErrorLog.xml.young1", false);
  make("DTLErrorLog.xml.toolong", true);
  make("Other.xml.Ab3xYz", true);
  make("target", true);
  ASSERT_EQ(::symlink((dir / "target").c_str(), (dir / "DTLErrorLog.xml.link01").c_str()), 0);

  log_.Error("failed");
  ASSERT_TRUE(WriteErrorLog(dir.path().string(), log_));
  struct stat st {};
  ASSERT_EQ(::stat((dir / "DTLErrorLog.xml").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  struct Case {
    const char* name;
    bool kept;
  } cases[] = {
      {"DTLErrorLog.xml.Ab3xYz", false},  // an hour old: swept
      {"DTLErrorLog.xml.young1", true},   // may be another instance's write in progress
      {"DTLErrorLog.xml.toolong", true},  // not a name the writer makes
      {"Other.xml.Ab3xYz", true},
      {"DTLErrorLog.xml.link01", true},  // a link is not a leftover
      {"target", true},
  };
  for (const auto& c : cases) {
    std::error_code ec;
    EXPECT_EQ(std::filesystem::exists(std::filesystem::symlink_status(dir / c.name, ec)), c.kept)
        << c.name;
  }
}

}  // namespace
}  // namespace dtl
