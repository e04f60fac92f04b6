// dtl fetch end to end against the web-mail fixture: files split by dtl split wait in an inbox
// of each provider's layout; fetch crawls it, downloads the segments and merges them back.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "archive/SegmentRecovery.h"
#include "cli/PasswordInput.h"
#include "fixtures/provider_server.h"
#include "receive/DownloadEngine.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using dtltest::ReadFileBytes;
using dtltest::RunCommand;
using dtltest::ShellQuote;

constexpr char kCookie[] = "SID=s3cr3t-session";

class FetchCommand : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    pki_ = std::make_unique<dtltest::ProviderPki>();
    inbox_ = std::make_unique<dtltest::TempDir>();
    // Two split files and a stray attachment.
    fs::create_directories(inbox_->path() / "src");
    dtltest::WriteFileBytes(inbox_->path() / "src" / "movie.avi", dtltest::RandomBytes(250000, 1));
    dtltest::WriteFileBytes(inbox_->path() / "src" / "notes.txt",
                            dtltest::RandomBytes(90000, 2, true));
    fs::create_directories(inbox_->path() / "mail");
    Split("movie.avi");
    Split("notes.txt");
    dtltest::WriteFileText(inbox_->path() / "mail" / "stray.pdf.doc", "not a segment");
  }
  static void TearDownTestSuite() {
    inbox_.reset();
    pki_.reset();
  }
  static void Split(const std::string& name) {
    auto r = RunCommand(Env() + ShellQuote(dtltest::DtlPath()) + " split " +
                        ShellQuote((inbox_->path() / "src" / name).string()) + " " +
                        ShellQuote((inbox_->path() / "mail").string()) + " --segment-size 100000");
    ASSERT_EQ(r.status, 0) << r.output;
  }
  static std::string Env() {
    return "XDG_CONFIG_HOME=" + ShellQuote((inbox_->path() / "cfg").string()) + " ";
  }

  void StartServer(std::vector<std::string> args = {}) {
    ASSERT_TRUE(pki_->ok()) << pki_->output();
    args.insert(args.end(), {"--cookie", kCookie});
    server_ = std::make_unique<dtltest::ProviderServer>(inbox_->path() / "mail", args, pki_.get());
    ASSERT_TRUE(server_->running()) << server_->error();
  }

  // dtl fetch with the cookie string in a file (--cookie-file).
  dtltest::CommandResult Fetch(int32_t provider, const std::string& more,
                               const std::string& cookie = kCookie, const std::string& input = "") {
    const fs::path file = cookies_ / "cookie.txt";
    dtltest::WriteFileText(file, cookie + "\n");
    return FetchWith(provider, "--cookie-file " + ShellQuote(file.string()) + " " + more, input);
  }
  // dtl fetch with the cookie arguments in `more`.
  dtltest::CommandResult FetchWith(int32_t provider, const std::string& more,
                                   const std::string& input = "") {
    std::string cmd = Env() + "DTL_CA_FILE=" + ShellQuote(pki_->file("ca.pem")) + " timeout 60 " +
                      ShellQuote(dtltest::DtlPath()) + " fetch --page-url " +
                      ShellQuote(dtltest::ProviderServer::PageUrl(provider)) + " --account acct7";
    for (const auto& c : server_->Endpoints().connectTo) cmd += " --connect-to " + ShellQuote(c);
    return RunCommand(cmd + " " + more, input);
  }
  std::string Out() { return ShellQuote(out_.path().string()); }
  std::vector<uint8_t> Source(const char* name) {
    return ReadFileBytes(inbox_->path() / "src" / name);
  }

  static std::unique_ptr<dtltest::ProviderPki> pki_;
  static std::unique_ptr<dtltest::TempDir> inbox_;
  std::unique_ptr<dtltest::ProviderServer> server_;
  dtltest::TempDir out_, cookies_;
};
std::unique_ptr<dtltest::ProviderPki> FetchCommand::pki_;
std::unique_ptr<dtltest::TempDir> FetchCommand::inbox_;

// A representative set of layouts: Gmail over TLS with URL keys, Yahoo and Omnilect with
// message-id keys, Walla with its own attachment host, Netscape with path keys, Hriders on its
// own port; bodies plain, gzip and x-gzip in turn.
TEST_F(FetchCommand, CrawlDownloadAndMergeRestoreEveryFile) {
  StartServer({"--encoding", "mixed"});
  for (int32_t provider : {dtl::kProviderGmail, dtl::kProviderYahoo, dtl::kProviderWalla,
                           dtl::kProviderOmnilect, dtl::kProviderNetscape, dtl::kProviderHriders}) {
    SCOPED_TRACE(dtltest::ProviderServer::PageUrl(provider));
    dtltest::TempDir out;
    auto r = Fetch(provider, "--out " + ShellQuote(out.path().string()));
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(ReadFileBytes(out / "movie.avi"), Source("movie.avi"));
    EXPECT_EQ(ReadFileBytes(out / "notes.txt"), Source("notes.txt"));
    EXPECT_TRUE(fs::exists(out / "stray.pdf")) << "every attachment is downloaded by default";
    EXPECT_NE(r.output.find((out / "movie.avi").string()), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("s3cr3t"), std::string::npos) << "the cookie is never printed";
  }
}

// A cut gzip body, a 500 answer and a dropped connection on an attachment are each retried.
TEST_F(FetchCommand, FailedDownloadsAreRetriedUntilTheyArrive) {
  StartServer({"--encoding", "gzip"});
  for (const char* fault : {"truncated-gzip", "500", "drop"}) {
    SCOPED_TRACE(fault);
    dtltest::TempDir out;
    // Netscape's attachment links name the file; the crawler never requests them.
    server_->AddFault(fault, "/movie.avi.001.doc");
    auto r = Fetch(dtl::kProviderNetscape, "--out " + ShellQuote(out.path().string()));
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("trying again"), std::string::npos) << r.output;
    EXPECT_EQ(ReadFileBytes(out / "movie.avi"), Source("movie.avi"));
  }
}

// Attachments behind an HTTP login: --http-user with its password from a file or standard input
// gets them; without a login, or with a wrong one, the run ends at the first refusal with a
// message naming the URL and the status, instead of asking the server again and again.
TEST_F(FetchCommand, DownloadsBehindAnHttpLoginNeedHttpUser) {
  StartServer({"--http-login", "joe:open sesame"});
  const fs::path right = out_ / "right.txt", wrong = out_ / "wrong.txt";
  dtltest::WriteFileText(right, "open sesame\n");
  dtltest::WriteFileText(wrong, "sesame\n");
  const std::string refusedUrl = "http://webmail.netscape.com/attachment/u0/movie.avi.001.doc: ";
  struct Case {
    const char* name;
    std::string args, input;
    int status;
    std::string message;     // in the output; for a failure, the whole last line
    int attachmentRequests;  // -1: not counted
  } cases[] = {
      {"login_from_a_password_file",
       "--http-user joe --http-password-file " + ShellQuote(right.string()), "", 0, "", -1},
      {"login_from_standard_input", "--http-user joe", "open sesame\n", 0, "", -1},
      {"no_login", "", "", 1,
       "dtl fetch: " + refusedUrl + "the server asks for a login (401); give --http-user\n", 1},
      {"wrong_password", "--http-user joe --http-password-file " + ShellQuote(wrong.string()), "",
       1,
       "dtl fetch: " + refusedUrl +
           "the server refused the login (401); check --http-user and its password\n",
       3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    dtltest::TempDir out;
    server_->ClearLog();
    auto r = Fetch(dtl::kProviderNetscape, c.args + " --out " + ShellQuote(out.path().string()),
                   kCookie, c.input);
    EXPECT_EQ(r.status, c.status) << r.output;
    EXPECT_EQ(r.output.find("sesame"), std::string::npos) << "the password is never printed";
    if (c.status == 0) {
      EXPECT_EQ(ReadFileBytes(out / "movie.avi"), Source("movie.avi"));
      EXPECT_EQ(ReadFileBytes(out / "notes.txt"), Source("notes.txt"));
      continue;
    }
    ASSERT_GE(r.output.size(), c.message.size());
    EXPECT_EQ(r.output.substr(r.output.size() - c.message.size()), c.message) << r.output;
    const std::string log = server_->Log();
    int attachments = 0;
    for (size_t at = log.find("/attachment/"); at != std::string::npos;
         at = log.find("/attachment/", at + 1))
      ++attachments;
    EXPECT_EQ(attachments, c.attachmentRequests) << log;
    EXPECT_FALSE(fs::exists(out / "movie.avi.001"));
  }

  // The password never comes from the command line, and one standard input serves one password.
  const std::pair<std::string, const char*> usage[] = {
      {"--http-password sesame", "the HTTP password is never taken from the command line"},
      {"--http-password-file " + ShellQuote(right.string()),
       "--http-password-file needs --http-user"},
      {"--http-user joe --password-stdin", "cannot both come from standard input"},
  };
  for (const auto& [args, text] : usage) {
    SCOPED_TRACE(args);
    auto r = Fetch(dtl::kProviderNetscape, args + " --out " + Out(), kCookie, "x\ny\n");
    EXPECT_EQ(r.status, 2) << r.output;
    EXPECT_NE(r.output.find(text), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("sesame"), std::string::npos) << r.output;
  }
}

// The session cookie is a secret like a password: it comes from a file or standard input, and
// "--cookie STRING" is refused as a password argument is (bad usage, the value never echoed,
// nothing fetched). Standard input serves one reader only.
TEST_F(FetchCommand, SessionCookieComesFromAFileOrStandardInputNeverTheCommandLine) {
  StartServer();
  const fs::path pw = out_ / "pw.txt", cookie = out_ / "cookie.txt";
  dtltest::WriteFileText(pw, "x\n");
  dtltest::WriteFileText(cookie, std::string(kCookie) + "\r\n");
  const std::string quotedCookie = ShellQuote(cookie.string());
  struct Case {
    const char* name;
    std::string args, input;
    int status;
    std::string says;  // in the output
    int32_t provider = dtl::kProviderNetscape;
  } cases[] = {
      {"cookie_from_a_file", "--list --cookie-file " + quotedCookie, "", 0, "provider: Netscape"},
      {"cookie_from_standard_input", "--list --cookie-stdin", std::string(kCookie) + "\n", 0,
       "provider: Netscape"},
      {"cookie_from_stdin_and_password_from_a_file",
       "--no-merge --file notes.txt --out " + Out() + " --cookie-stdin --password-file " +
           ShellQuote(pw.string()),
       std::string(kCookie) + "\n", 0, "segment(s) downloaded"},
      {"stale_cookie_from_standard_input_ends_the_session", "--list --cookie-stdin",
       "SID=stale-cookie-value\n", 1, "login page", dtl::kProviderWalla},
      {"unreadable_cookie_file", "--list --cookie-file " + ShellQuote((out_ / "none").string()), "",
       1, "cannot read cookie file"},
      {"cookie_on_the_command_line", "--list --cookie SID=secret-in-usage", "", 2,
       "dtl fetch: the session cookie is never taken from the command line; use --cookie-file "
       "or --cookie-stdin\n"},
      {"cookie_with_equals_on_the_command_line", "--list --cookie=SID=secret-in-usage", "", 2,
       "the session cookie is never taken from the command line"},
      {"cookie_on_the_command_line_beside_a_file",
       "--list --cookie-file " + quotedCookie + " --cookie SID=secret-in-usage", "", 2,
       "the session cookie is never taken from the command line"},
      {"no_cookie_source", "--list", "", 2, "--cookie-file or --cookie-stdin is required"},
      {"both_cookie_sources", "--list --cookie-stdin --cookie-file " + quotedCookie, "", 2,
       "--cookie-file and --cookie-stdin exclude each other"},
      {"cookie_and_password_both_from_stdin", "--out " + Out() + " --cookie-stdin --password-stdin",
       "SID=secret-in-usage\nx\n", 2,
       "--cookie-stdin and --password-stdin cannot both read standard input"},
      {"cookie_and_http_password_both_from_stdin",
       "--out " + Out() + " --cookie-stdin --http-user joe", "SID=secret-in-usage\nx\n", 2,
       "--cookie-stdin and the --http-user password cannot both come from standard input"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server_->ClearLog();
    auto r = FetchWith(c.provider, c.args, c.input);
    EXPECT_EQ(r.status, c.status) << r.output;
    EXPECT_NE(r.output.find(c.says), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("secret-in-usage"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("s3cr3t"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("stale-cookie-value"), std::string::npos) << r.output;
    if (c.status == 2) {
      EXPECT_EQ(server_->Log(), "") << "bad usage fetches nothing";
    }
  }
}

TEST_F(FetchCommand, ListShowsFilesAndSegmentsAndDownloadsNothing) {
  StartServer();
  auto r = Fetch(dtl::kProviderNetscape, "--list");
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("provider: Netscape\n"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("movie.avi\n  movie.avi.001\n  movie.avi.002\n  movie.avi.dtl\n"),
            std::string::npos)
      << r.output;
  EXPECT_NE(r.output.find("stray.pdf\n"), std::string::npos);
  EXPECT_EQ(server_->Log().find("/attachment/"), std::string::npos) << server_->Log();
}

// A file mailed with recovery data, some of its mails lost: the listing shows the recovery
// blocks, the fetch repairs what they cover and says so, and with too few it gives the merge's
// words, exit 1 and no file.
TEST_F(FetchCommand, RecoveryFilesAreListedDownloadedAndRepairLostSegments) {
  // The segments as a download saves them, recovery files made over those names, and the
  // mails' attachments named with ".doc" appended.
  const fs::path sender = cookies_ / "sender", mail = cookies_ / "mail";
  fs::create_directories(sender);
  fs::create_directories(mail);
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(inbox_->path() / "mail")) {
    const std::string n = e.path().filename().string();
    if (n.rfind("movie.avi.", 0) != 0) continue;
    fs::copy_file(e.path(), sender / e.path().stem());
    names.push_back(e.path().stem().string());
  }
  std::sort(names.begin(), names.end());  // "movie.avi.001" ... "movie.avi.dtl"
  names.insert(names.begin(), names.back());
  names.pop_back();
  ASSERT_EQ(names.size(), 3u);
  auto made = dtl::MakeSegmentRecovery(sender, names, "movie.avi", 50);
  ASSERT_TRUE(made.ok()) << made.error().message;
  ASSERT_EQ(made->size(), 3u) << "the index file and two blocks";
  const auto put = [&](const std::string& name) {
    fs::copy_file(sender / name, mail / (name + ".doc"), fs::copy_options::overwrite_existing);
  };
  for (const std::string& n : names) put(n);
  for (const std::string& n : *made) put(n);
  fs::remove(mail / "movie.avi.002.doc");
  fs::remove(mail / "movie.avi.dtl.doc");

  server_ = std::make_unique<dtltest::ProviderServer>(
      mail, std::vector<std::string>{"--cookie", kCookie}, pki_.get());
  ASSERT_TRUE(server_->running()) << server_->error();
  auto r = Fetch(dtl::kProviderNetscape, "--list");
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("movie.avi\n  movie.avi.001\n  movie.avi.par2\n"
                          "  movie.avi.vol00+01.par2\n  movie.avi.vol01+01.par2\n"
                          "  recovery: 2 blocks\n"),
            std::string::npos)
      << r.output;

  r = Fetch(dtl::kProviderNetscape, "--out " + Out());
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(ReadFileBytes(out_ / "movie.avi"), Source("movie.avi"));
  EXPECT_NE(r.output.find("dtl fetch: repaired movie.avi.dtl, movie.avi.002 from the recovery "
                          "data\n"),
            std::string::npos)
      << r.output;
  EXPECT_NE(r.output.find((out_ / "movie.avi").string() + "\n"), std::string::npos) << r.output;

  // One block left for two lost segments.
  fs::remove(mail / "movie.avi.vol01+01.par2.doc");
  dtltest::TempDir again;
  r = Fetch(dtl::kProviderNetscape, "--out " + ShellQuote(again.path().string()));
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_NE(r.output.find("more recovery block"), std::string::npos) << r.output;
  EXPECT_EQ(r.output.find("repaired"), std::string::npos) << r.output;
  EXPECT_FALSE(fs::exists(again / "movie.avi"));
}

TEST_F(FetchCommand, ChosenFilesOnlyAndTheExistingFileRules) {
  StartServer();
  auto r = Fetch(dtl::kProviderNetscape, "--file notes.txt --no-merge --out " + Out());
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(fs::exists(out_ / "notes.txt.dtl"));
  EXPECT_FALSE(fs::exists(out_ / "movie.avi.dtl"));
  EXPECT_FALSE(fs::exists(out_ / "notes.txt")) << "--no-merge";

  dtltest::WriteFileText(out_ / "notes.txt.dtl", "kept");
  r = Fetch(dtl::kProviderNetscape, "--file notes.txt --no-merge --skip-existing --out " + Out());
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(dtltest::ReadFileText(out_ / "notes.txt.dtl"), "kept");
  r = Fetch(dtl::kProviderNetscape, "--file notes.txt --overwrite --out " + Out());
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(ReadFileBytes(out_ / "notes.txt"), Source("notes.txt"));
}

// The merged file's name comes from the inbox: a file of the user's under that name is refused
// (kept, exit 1) unless --overwrite says to replace it; --skip-existing keeps it quietly.
TEST_F(FetchCommand, AMergedFileNeverReplacesTheUsersFileWithoutOverwrite) {
  StartServer();
  dtltest::WriteFileText(out_ / "notes.txt", "the user's own notes");
  struct Case {
    const char* flag;
    int status;
    bool replaced;
    const char* said;  // on standard error
  } cases[] = {
      {"", 1, false,
       "notes.txt exists; give --overwrite to replace it or --skip-existing to keep it"},
      {"--skip-existing", 0, false, ""},
      {"--overwrite", 0, true, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.flag);
    auto r = Fetch(dtl::kProviderNetscape,
                   std::string("--file notes.txt ") + c.flag + " --out " + Out());
    EXPECT_EQ(r.status, c.status) << r.output;
    EXPECT_NE(r.output.find(c.said), std::string::npos) << r.output;
    if (c.replaced) {
      EXPECT_EQ(ReadFileBytes(out_ / "notes.txt"), Source("notes.txt"));
      EXPECT_NE(r.output.find((out_ / "notes.txt").string() + "\n"), std::string::npos) << r.output;
    } else {
      EXPECT_EQ(dtltest::ReadFileText(out_ / "notes.txt"), "the user's own notes");
      EXPECT_EQ(r.output.find((out_ / "notes.txt").string() + "\n"), std::string::npos)
          << "a kept file is not reported as rebuilt\n"
          << r.output;
    }
  }
}

TEST_F(FetchCommand, EndedSessionAndBadUsageFailWithoutEchoingTheCookie) {
  StartServer();
  auto r = Fetch(dtl::kProviderWalla, "--out " + Out(), "SID=stale-cookie-value");
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_NE(r.output.find("login page"), std::string::npos) << r.output;
  EXPECT_EQ(r.output.find("stale-cookie-value"), std::string::npos);

  struct Case {
    const char* args;
  } usage[] = {{"--out . --overwrite --skip-existing"},
               {"--out . --bogus"},
               {"--out . --password pw"},
               {""}};
  for (const Case& c : usage) {
    r = Fetch(dtl::kProviderYahoo, c.args, "SID=secret-in-usage");
    EXPECT_EQ(r.status, 2) << c.args << ": " << r.output;
    EXPECT_EQ(r.output.find("secret-in-usage"), std::string::npos) << c.args;
  }
  r = RunCommand(ShellQuote(dtltest::DtlPath()) +
                 " fetch --page-url http://mail.yahoo.com/ --out .");
  EXPECT_EQ(r.status, 2) << "the cookie string is required";
}

// A page of no web-mail site the program knows is bad usage, refused before any request: its
// cookie string once went to Gmail, or to whichever provider the query named.
TEST_F(FetchCommand, AnUnknownWebMailSiteIsRefusedBeforeAnyRequest) {
  StartServer();
  for (const char* url :
       {"https://webmail.example.test/inbox", "https://webmail.example.test/inbox?ref=walla.com",
        "http://webmail.example.test/mail.yahoo.com/"}) {
    std::string cmd = Env() + "DTL_CA_FILE=" + ShellQuote(pki_->file("ca.pem")) + " timeout 60 " +
                      ShellQuote(dtltest::DtlPath()) + " fetch --list --page-url " +
                      ShellQuote(url) + " --cookie-stdin";
    for (const auto& c : server_->Endpoints().connectTo) cmd += " --connect-to " + ShellQuote(c);
    const auto r = RunCommand("printf '%s\\n' " + ShellQuote(kCookie) + " | " + cmd);
    EXPECT_EQ(r.status, 2) << url << ": " << r.output;
    EXPECT_NE(r.output.find("not a web-mail site the program knows"), std::string::npos)
        << r.output;
    EXPECT_EQ(r.output.find(kCookie), std::string::npos) << r.output;
  }
  EXPECT_EQ(server_->Log(), "") << "nothing was requested";
}

TEST_F(FetchCommand, PasswordFromStdinOrFileDecryptsTheSegments) {
  dtltest::TempDir mail;
  dtltest::WriteFileBytes(mail / "secret.bin", dtltest::RandomBytes(150000, 3));
  auto r =
      RunCommand(Env() + ShellQuote(dtltest::DtlPath()) + " split " +
                     ShellQuote((mail / "secret.bin").string()) + " " +
                     ShellQuote(mail.path().string()) + " --segment-size 100000 --password-stdin",
                 "hunter2\n");
  ASSERT_EQ(r.status, 0) << r.output;
  std::vector<uint8_t> original = ReadFileBytes(mail / "secret.bin");
  fs::remove(mail / "secret.bin");
  ASSERT_TRUE(pki_->ok());
  server_ = std::make_unique<dtltest::ProviderServer>(
      mail.path(), std::vector<std::string>{"--cookie", kCookie}, pki_.get());
  ASSERT_TRUE(server_->running()) << server_->error();
  dtltest::WriteFileText(mail / "pw.txt", "hunter2\n");
  struct Case {
    const char* source;
    std::string args, input;
  } cases[] = {
      {"standard input", "--password-stdin", "hunter2\n"},
      {"a password file", "--password-file " + ShellQuote((mail / "pw.txt").string()), ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source);
    dtltest::TempDir out;
    r = Fetch(dtl::kProviderO2, c.args + " --out " + ShellQuote(out.path().string()), kCookie,
              c.input);
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(ReadFileBytes(out / "secret.bin"), original);
  }
  r = Fetch(dtl::kProviderO2,
            "--password-stdin --password-file " + ShellQuote((mail / "pw.txt").string()) +
                " --out " + Out(),
            kCookie, "hunter2\n");
  EXPECT_EQ(r.status, 2) << "the two sources exclude each other: " << r.output;
}

}  // namespace

namespace {

// The --http-user password must not stay readable in memory once the fetch is over.
TEST(FetchHttpLogin, WipeLeavesNoPasswordByteInTheBuffer) {
  std::optional<dtl::HttpCredentials> login = dtl::HttpCredentials{"alice", std::string(64, 'P')};
  const char* buffer = login->password.data();
  const size_t capacity = login->password.capacity();
  dtlcli::WipeHttpLogin(login);
  ASSERT_TRUE(login.has_value());
  EXPECT_TRUE(login->password.empty());
  EXPECT_EQ(login->password.data(), buffer);
  EXPECT_TRUE(std::all_of(buffer, buffer + capacity, [](char b) { return b == 0; }));
  std::optional<dtl::HttpCredentials> none;
  dtlcli::WipeHttpLogin(none);  // nothing to wipe: must not fail
  EXPECT_FALSE(none.has_value());
}

}  // namespace
