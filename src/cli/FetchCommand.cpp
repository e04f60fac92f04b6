// dtl fetch: lists the segment attachments of a web-mail inbox, downloads them and merges the
// files they make up, as the Segment Manager does with the inner browser's session.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <vector>

#include "archive/MergeJob.h"
#include "base/SecretMemory.h"
#include "browser/CookieJar.h"
#include "browser/NetworkEndpoints.h"
#include "browser/PageFetcher.h"
#include "cli/CommandLine.h"
#include "cli/FetchEvents.h"
#include "cli/FetchImap.h"
#include "cli/PasswordInput.h"
#include "cli/TerminalProgress.h"
#include "receive/DownloadEngine.h"
#include "receive/InboxCrawler.h"
#include "receive/ProviderTable.h"
#include "receive/SegmentManagerModel.h"

namespace dtlcli {

namespace {

namespace fs = std::filesystem;

// The host part of the page URL: the provider templates put it before their paths.
std::string HostOf(const std::string& url) {
  std::string host;
  CURLU* u = curl_url();
  char* text = nullptr;
  if (u && curl_url_set(u, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
      curl_url_get(u, CURLUPART_HOST, &text, 0) == CURLUE_OK && text)
    host = text;
  curl_free(text);
  curl_url_cleanup(u);
  return host;
}

class CrawlEvents : public dtl::CrawlObserver {
 public:
  CrawlEvents(dtl::SegmentManagerModel& model, TerminalProgress& bar) : model_(model), bar_(bar) {}
  void OnAttachment(const dtl::FoundAttachment& record) override { model_.File(record); }
  void OnProgressRange(uint16_t total, uint16_t position) override {
    bar_.SetTotal(total);
    done_ = position;
    bar_.Update(done_);
  }
  void OnProgressStep() override { bar_.Update(++done_); }

 private:
  dtl::SegmentManagerModel& model_;
  TerminalProgress& bar_;
  uint64_t done_ = 0;
};

// The web-mail run's own events on top of the shared ones: the --http-user login and the
// provider's login page.
class DownloadEvents : public FetchEvents {
 public:
  // `login` (the --http-user answer, or none) must outlive the events. The command line's
  // answer holds for segment files and rebuilt files alike.
  DownloadEvents(TerminalProgress& bar, dtl::ReplaceMode answer,
                 const std::optional<dtl::HttpCredentials>& login)
      : FetchEvents(bar, answer, answer), login_(login) {}

  // The engine asks once per server (and once for a proxy); --http-user answers both.
  std::optional<dtl::HttpCredentials> OnAuthenticationRequired(long, const std::string&) override {
    return login_;
  }
  void OnProviderPage() override {
    if (loginSaid_) return;
    loginSaid_ = true;
    Say("the provider answered with its login page; log in again and pass the new cookie "
        "string");
  }

 private:
  const std::optional<dtl::HttpCredentials>& login_;
  bool loginSaid_ = false;
};

class FetchCommand : public Command {
 public:
  void Declare(CommandLine& line) override {
    line.SetUsageStyle(UsageStyle::RunHelp);
    CLI::App& app = line.App();
    app.description(
        "Finds the segment attachments in the web-mail inbox at URL (the provider is recognised "
        "from\n"
        "the URL), downloads them into DIR under their segment names and merges every file whose\n"
        "descriptor was downloaded, printing the path of each file rebuilt completely.\n"
        "With --imap it reads a mailbox folder over IMAP instead, without changing it (nothing\n"
        "is marked seen, moved or deleted), over --jobs connections at once; a segment already\n"
        "in DIR whose archive verifies is kept, so a run again resumes.");
    app.footer(
        "Certificates are checked against the system's CAs, or the PEM bundle named by "
        "DTL_CA_FILE.\n"
        "A failed download is retried until it succeeds: the first retry at once, then after\n"
        "1 s, 2 s, 4 s ... up to a minute; interrupt with Ctrl-C. A download that asks for a\n"
        "login (HTTP 401, or 407 from a proxy) gets --http-user with its password, asked once\n"
        "per server; without it, or when the login is refused, the run ends there.\n"
        "With --imap the login password comes from --login-password-file or the IMAPPass\n"
        "setting; a refused login, an untrusted certificate or a missing folder ends the run at\n"
        "once. --list prints, per file, whether its descriptor is there, the segment numbers\n"
        "found and those missing below the highest one (as 'dtl send --segments' takes them),\n"
        "and exits 0 when the folder could be listed, whatever is missing.\n"
        "Recovery files (NAME.par2, NAME.volF+C.par2) are listed with their file ('recovery: N\n"
        "blocks') and downloaded with it; the merge rebuilds lost segments from them and each\n"
        "repair is named on standard error.\n"
        "Exit status: 0 when every chosen segment arrived (and every file merged completely),\n"
        "1 on a failure, 2 on bad usage.");
    // An unknown argument is named, but never the value after it: that may be the cookie.
    line.UnknownOption(app,
                       RefusePasswordArguments(
                           "passwords are never taken from the command line; use --password-file "
                           "or --password-stdin",
                           [](const std::string& a) -> std::string {
                             if (IsCookieArgument(a))
                               return "the session cookie is never taken from the command line; "
                                      "use --cookie-file or --cookie-stdin";
                             if (a == "--http-password" || a.rfind("--http-password=", 0) == 0)
                               return "the HTTP password is never taken from the command line; "
                                      "use --http-password-file or standard input";
                             if (a == "--login-password" || a.rfind("--login-password=", 0) == 0)
                               return "the login password is never taken from the command line; "
                                      "use --login-password-file or the stored IMAPPass";
                             return "unknown argument " + a;
                           }));
    // Required unless --imap: checked in Run(), where the mode is known.
    line.Value(app, "--page-url", pageUrl_, "URL",
               "the inbox page of the logged-in web-mail session", "a URL");
    imapOption_ =
        app.add_option("--imap", imapUrl_,
                       "fetch from a mailbox over IMAP instead of a web-mail page: the server "
                       "and folder as imaps://HOST[:PORT][/FOLDER] (TLS from the start, port "
                       "993) or imap://HOST[:PORT][/FOLDER] (STARTTLS, port 143), the folder "
                       "percent-encoded UTF-8; what the URL leaves out (all of it when none is "
                       "given) comes from the IMAPServer, IMAPPort, IMAPSecurity and IMAPFolder "
                       "settings (the stored port when HOST and security are the stored ones)")
            ->expected(0, 1)
            ->type_name("[URL]")
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    line.Value(app, "--user", user_, "NAME",
               "with --imap: the login name (default: the IMAPUserName setting)", "a user name");
    line.Value(app, "--login-password-file", loginPasswordFile_, "F",
               "with --imap: read the login password from the first line of F (default: the "
               "IMAPPass setting; never from the command line)",
               "a file");
    jobsOption_ = line.Value(
                          app, "--jobs", [this](const std::string& v) { jobs_ = std::stoul(v); },
                          "N", "with --imap: connections at once, 1..16 (default 4)", "a number")
                      ->check(CLI::Validator(
                          [](std::string& v) {
                            const bool digits =
                                !v.empty() && v.size() <= 2 &&
                                v.find_first_not_of("0123456789") == std::string::npos;
                            return digits && std::stoul(v) >= 1 && std::stoul(v) <= 16
                                       ? std::string()
                                       : std::string("--jobs must be a whole number from 1 to 16");
                          },
                          ""));
    CLI::Option* cookieFile = line.Value(
        app, "--cookie-file", cookieFile_, "F",
        "read that page's cookie string (\"name=value; ...\") from the first line of F; it is "
        "never printed",
        "a file");
    CLI::Option* cookieStdin =
        line.Flag(app, "--cookie-stdin", cookieStdin_,
                  "read that page's cookie string from standard input (the first line)");
    line.Exclusive(cookieFile, cookieStdin, "--cookie-file and --cookie-stdin exclude each other");
    line.Value(app, "--out", out_, "DIR",
               "the download folder; the merged files are written there too (required "
               "unless --list)",
               "a folder");
    CLI::Option* file =
        line.Value(app, "--password-file", passwordFile_, "F",
                   "read the decryption password from the first line of F", "a file");
    CLI::Option* stdinOption = line.Flag(
        app, "--password-stdin", passwordStdin_,
        "read the decryption password from standard input (default: the default segment password)");
    line.Exclusive(file, stdinOption, "--password-file and --password-stdin exclude each other");
    line.Value(app, "--http-user", httpUser_, "NAME",
               "the user name for downloads that ask for a login (HTTP 401, or 407 from a "
               "proxy); its password comes from --http-password-file, else from standard input",
               "a user name");
    line.Value(app, "--http-password-file", httpPasswordFile_, "F",
               "read the --http-user password from the first line of F", "a file");
    line.Flag(app, "--list", list_, "only list the files and their segments, download nothing");
    line.Repeated(app, "--file", files_, "NAME",
                  "download only the segments of file NAME (as --list shows it); repeatable; "
                  "default: every file",
                  "a file name");
    line.Flag(app, "--no-merge", noMerge_, "download only");
    CLI::Option* overwrite = line.Flag(app, "--overwrite", overwrite_,
                                       "replace segment files and merged files that exist in DIR");
    CLI::Option* skip =
        line.Flag(app, "--skip-existing", skipExisting_,
                  "keep segment files that exist in DIR and take them as downloaded, and keep "
                  "files that exist under a merged file's name (without either option an existing "
                  "segment file is replaced, as an unanswered replace question does, and an "
                  "existing merged file is refused: kept, and the exit status is 1)");
    line.Exclusive(overwrite, skip, "--overwrite and --skip-existing exclude each other");
    line.Value(app, "--account", account_, "ID",
               "the account id some providers' listings need (Xasamail)", "an id");
    line.Repeated(
        app, "--connect-to", endpoints_.connectTo, "HOST:PORT:TO-HOST:TO-PORT",
        "send a provider's requests to another host and port, as curl's option does; repeatable",
        "HOST:PORT:TO-HOST:TO-PORT");
    line.Repeated(app, "--resolve", endpoints_.resolve, "HOST:PORT:ADDRESS",
                  "resolve a provider's host to ADDRESS, as curl's option does; repeatable",
                  "HOST:PORT:ADDRESS");
  }

  int Run() override;

 private:
  int RunImap();

  CLI::Option *imapOption_ = nullptr, *jobsOption_ = nullptr;
  std::string imapUrl_;
  std::optional<std::string> user_, loginPasswordFile_;
  unsigned jobs_ = 4;
  std::string pageUrl_, out_, account_, passwordFile_, httpUser_, httpPasswordFile_;
  std::optional<std::string> cookieFile_;
  bool cookieStdin_ = false, passwordStdin_ = false, list_ = false, noMerge_ = false;
  bool overwrite_ = false, skipExisting_ = false;
  std::vector<std::string> files_;
  dtl::NetworkEndpoints endpoints_;
};

int FetchCommand::RunImap() {
  // The web-mail session's options have no meaning for a mailbox: said rather than ignored.
  const std::pair<bool, const char*> webMail[] = {
      {!pageUrl_.empty(), "--page-url"},
      {cookieFile_.has_value(), "--cookie-file"},
      {cookieStdin_, "--cookie-stdin"},
      {!account_.empty(), "--account"},
      {!endpoints_.connectTo.empty(), "--connect-to"},
      {!endpoints_.resolve.empty(), "--resolve"},
      {!httpUser_.empty(), "--http-user"},
      {!httpPasswordFile_.empty(), "--http-password-file"},
  };
  for (const auto& [given, name] : webMail)
    if (given)
      return Usage(std::string(name) + " is for web-mail pages; it does not go with --imap");
  ImapFetchOptions o;
  o.url = imapUrl_;
  o.user = user_;
  o.loginPasswordFile = loginPasswordFile_;
  o.out = out_;
  if (!passwordFile_.empty()) o.passwordFile = passwordFile_;
  o.passwordStdin = passwordStdin_;
  o.list = list_;
  o.noMerge = noMerge_;
  o.overwrite = overwrite_;
  o.skipExisting = skipExisting_;
  o.files = files_;
  o.jobs = jobs_;
  return RunImapFetch(o, [this](const std::string& why) { return Usage(why); });
}

int FetchCommand::Run() {
  if (imapOption_->count() > 0) return RunImap();
  for (const auto& [given, name] : {std::pair<bool, const char*>{user_.has_value(), "--user"},
                                    {loginPasswordFile_.has_value(), "--login-password-file"},
                                    {jobsOption_->count() > 0, "--jobs"}})
    if (given) return Usage(std::string(name) + " goes with --imap");
  const std::string &pageUrl = pageUrl_, &out = out_, &account = account_;
  const bool passwordStdin = passwordStdin_, list = list_, noMerge = noMerge_;
  const bool overwrite = overwrite_, skipExisting = skipExisting_;
  const std::set<std::string> chosen(files_.begin(), files_.end());
  dtl::NetworkEndpoints& endpoints = endpoints_;
  if (pageUrl.empty()) return Usage("--page-url is required (or --imap for a mailbox)");
  if (!cookieFile_ && !cookieStdin_) return Usage("--cookie-file or --cookie-stdin is required");
  if (out.empty() && !list) return Usage("--out is required");
  std::string host = HostOf(pageUrl);
  if (host.empty()) return Usage("--page-url is not a web address");
  if (!httpPasswordFile_.empty() && httpUser_.empty())
    return Usage("--http-password-file needs --http-user");
  const bool httpPasswordFromStdin = !httpUser_.empty() && httpPasswordFile_.empty();
  if (httpPasswordFromStdin && passwordStdin)
    return Usage(
        "--password-stdin and the --http-user password cannot both come from standard input; "
        "give --http-password-file");
  // Recognised by the host alone; a page of any other site is refused before its cookie string
  // goes anywhere.
  if (dtl::RecognizeProvider(pageUrl) == dtl::kProviderUnknown)
    return Usage("--page-url is not a web-mail site the program knows");
  // One standard input holds one line for one reader.
  if (cookieStdin_ && passwordStdin)
    return Usage(
        "--cookie-stdin and --password-stdin cannot both read standard input; give "
        "--cookie-file or --password-file");
  if (cookieStdin_ && httpPasswordFromStdin)
    return Usage(
        "--cookie-stdin and the --http-user password cannot both come from standard input; "
        "give --http-password-file");
  std::error_code ec;
  if (!list && !fs::is_directory(out, ec))
    return FetchFail("the download folder " + out + " is not a folder");
  if (const char* ca = std::getenv("DTL_CA_FILE"); ca && *ca) endpoints.caFile = ca;

  auto readCookie = cookieFile_ ? CookieFromFile(*cookieFile_) : CookieFromStdin("Cookie string: ");
  if (!readCookie) return FetchFail(readCookie.error().message);
  std::string cookie = std::move(*readCookie);
  WipeString(*readCookie);

  std::string password;
  if (!list) {
    auto pw =
        PasswordFromOptions(passwordFile_.empty() ? std::nullopt : std::optional(passwordFile_),
                            passwordStdin, "Decryption password: ");
    if (!pw) {
      WipeString(cookie);
      return FetchFail(pw.error().message);
    }
    password = std::move(*pw);
  }
  std::optional<dtl::HttpCredentials> login;
  struct WipeLogin {
    std::optional<dtl::HttpCredentials>& login;
    ~WipeLogin() { WipeHttpLogin(login); }
  } wipeLogin{login};
  if (!list && !httpUser_.empty()) {
    const std::string prompt = "HTTP password for " + httpUser_ + ": ";
    auto pw = PasswordFromOptions(
        httpPasswordFile_.empty() ? std::nullopt : std::optional(httpPasswordFile_), true,
        prompt.c_str());
    if (!pw) {
      WipeString(password);
      WipeString(cookie);
      return FetchFail(pw.error().message);
    }
    login = dtl::HttpCredentials{httpUser_, std::move(*pw)};
    WipeString(*pw);
  }

  const std::stop_token stop = StopOnInterrupt();

  dtl::CookieJar jar;
  dtl::PageFetcher fetcher(jar, endpoints);
  dtl::SegmentManagerModel model;

  dtl::InboxCrawler::Params crawl;
  crawl.fetcher = &fetcher;
  crawl.pageUrl = pageUrl;
  crawl.cookie = cookie;
  crawl.accountId = account;
  crawl.isKnownKey = [&model](const std::string& key) { return model.HasKey(key); };
  dtl::InboxCrawler::Summary found;
  {
    TerminalProgress bar("Listing segments");
    CrawlEvents events(model, bar);
    found = dtl::InboxCrawler::Run(crawl, events, stop);
  }
  // The crawler stored the session for the page's host and the provider's fixed hosts (Walla's
  // attachment host among them); the downloads carry it from the jar.
  WipeString(cookie);
  if (found.sessionEnded)
    return FetchFail(
        "the provider answered with its login page; log in again and pass the new cookie string");
  if (stop.stop_requested()) return FetchFail("stopped");

  if (list) {
    const dtl::ProviderInfo* provider = dtl::FindProvider(found.providerId);
    std::printf("provider: %s\n", provider ? provider->name : "?");
    for (const auto& g : model.Groups()) {
      std::printf("%s\n", g.name.c_str());
      for (const auto& s : g.segments) std::printf("  %s\n", s.record.fileName.c_str());
      if (g.recoveryFiles > 0)
        std::printf("  recovery: %s\n", BlocksText(g.recoveryBlocks).c_str());
    }
    return kExitOk;
  }

  for (size_t g = 0; g < model.Groups().size(); ++g)
    if (chosen.empty() || chosen.count(model.Groups()[g].name)) model.SetGroupTicked(g, true);
  for (const std::string& name : chosen) {
    bool known = false;
    for (const auto& g : model.Groups()) known = known || g.name == name;
    if (!known) std::fprintf(stderr, "dtl fetch: no segments of %s in the inbox\n", name.c_str());
  }
  if (!model.DownloadEnabled()) {
    WipeString(password);
    return FetchFail("no segments to download");
  }

  dtl::DownloadEngine::Params params;
  params.folder = out;
  params.host = host;
  params.providerId = found.providerId;
  params.autoMerge = !noMerge;
  params.password = password;
  params.items = model.TickedItems();
  params.prepareHandle = [&](CURL* handle) {
    jar.Attach(handle);
    dtl::ApplyEndpoints(handle, endpoints);
  };
  dtl::ReplaceMode answer = overwrite      ? dtl::ReplaceMode::OverwriteAll
                            : skipExisting ? dtl::ReplaceMode::SkipAll
                                           : dtl::ReplaceMode::Overwrite;
  dtl::DownloadEngine::Summary result;
  std::set<std::string> keptOutputs;
  bool refused = false;
  {
    TerminalProgress bar("Downloading");
    DownloadEvents events(bar, answer, login);
    params.mergeObserver = &events;
    result = dtl::DownloadEngine::Run(params, events, stop);
    keptOutputs = events.KeptOutputs();
    refused = events.Refused();
  }
  WipeString(password);
  WipeString(params.password);

  switch (result.outcome) {
    case dtl::DownloadEngine::Outcome::Completed: break;
    case dtl::DownloadEngine::Outcome::Stopped:
      return FetchFail("stopped; the segment in progress was removed");
    case dtl::DownloadEngine::Outcome::SessionFailed:
      return FetchFail("the HTTP session could not be set up");
    case dtl::DownloadEngine::Outcome::BadUrl:
      return FetchFail("an attachment's address cannot be used");
    case dtl::DownloadEngine::Outcome::FileError:
      return kExitFailure;  // the system's text was printed
    case dtl::DownloadEngine::Outcome::LoginFailed:
      return FetchFail(result.message +
                       (login ? "; check --http-user and its password" : "; give --http-user"));
  }
  std::fprintf(stderr, "dtl fetch: %zu segment(s) downloaded, %zu kept\n", result.itemsSaved,
               result.itemsSkipped);
  if (!result.merged) return kExitOk;
  // From the merge's results rather than the descriptors: a file whose descriptor was
  // rebuilt from its recovery data was handed over by a recovery file.
  for (const auto& r : result.mergeResults) {
    if (r.output.filename().empty()) continue;
    fs::path output = fs::path(out) / r.output.filename();
    if (fs::exists(output, ec) && !keptOutputs.count(output.filename().string()))
      std::printf("%s\n", output.c_str());
  }
  return result.mergeComplete && !refused ? kExitOk : kExitFailure;
}

}  // namespace

void WipeHttpLogin(std::optional<dtl::HttpCredentials>& login) {
  if (!login) return;
  dtl::WipeSecret(login->password);
}

std::unique_ptr<Command> MakeFetchCommand() { return std::make_unique<FetchCommand>(); }

}  // namespace dtlcli
