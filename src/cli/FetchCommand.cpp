// dtl fetch: lists the segment attachments of a web-mail inbox, downloads them and merges the
// files they make up, as the Segment Manager does with the inner browser's session.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <stop_token>
#include <thread>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "browser/CookieJar.h"
#include "browser/NetworkEndpoints.h"
#include "browser/PageFetcher.h"
#include "cli/Command.h"
#include "cli/PasswordInput.h"
#include "cli/TerminalProgress.h"
#include "receive/DownloadEngine.h"
#include "receive/InboxCrawler.h"
#include "archive/MergeJob.h"
#include "receive/ProviderTable.h"
#include "receive/SegmentManagerModel.h"

namespace dtlcli {

namespace {

namespace fs = std::filesystem;

constexpr char kHelp[] =
    "Usage: dtl fetch --page-url URL --cookie STRING --out DIR [--password-stdin] [--list]\n"
    "                 [--no-merge] [--overwrite | --skip-existing] [--file NAME]...\n"
    "                 [--account ID] [--connect-to HOST:PORT:TO-HOST:TO-PORT]...\n"
    "                 [--resolve HOST:PORT:ADDRESS]...\n"
    "Finds the segment attachments in the web-mail inbox at URL (the provider is recognised from\n"
    "the URL), downloads them into DIR under their segment names and merges every file whose\n"
    "descriptor was downloaded, printing the path of each file rebuilt completely.\n\n"
    "  --page-url URL     the inbox page of the logged-in web-mail session\n"
    "  --cookie STRING    that page's cookie string (\"name=value; ...\"); it is never printed\n"
    "  --out DIR          the download folder; the merged files are written there too\n"
    "  --password-stdin   read the decryption password from standard input (default: the\n"
    "                     default segment password)\n"
    "  --list             only list the files and their segments, download nothing\n"
    "  --file NAME        download only the segments of file NAME (as --list shows it);\n"
    "                     repeatable; default: every file\n"
    "  --no-merge         download only\n"
    "  --overwrite        replace segment files that exist in DIR\n"
    "  --skip-existing    keep segment files that exist in DIR and take them as downloaded\n"
    "                     (without either option an existing file is replaced, as an\n"
    "                     unanswered replace question does)\n"
    "  --account ID       the account id some providers' listings need (Xasamail)\n"
    "  --connect-to, --resolve  send a provider's requests elsewhere, as curl's options do\n"
    "Certificates are checked against the system's CAs, or the PEM bundle named by DTL_CA_FILE.\n"
    "A failed download is retried until it succeeds; interrupt with Ctrl-C.\n"
    "Exit status: 0 when every chosen segment arrived (and every file merged completely),\n"
    "1 on a failure, 2 on bad usage.\n";

std::atomic<bool> gStop{false};
extern "C" void OnFetchInterrupt(int) { gStop.store(true); }

int Usage(const std::string& text) {
  std::fprintf(stderr, "dtl fetch: %s\nRun 'dtl fetch --help' for usage.\n", text.c_str());
  return kExitUsage;
}

int Fail(const std::string& text) {
  std::fprintf(stderr, "dtl fetch: %s\n", text.c_str());
  return kExitFailure;
}

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

class DownloadEvents : public dtl::DownloadObserver, public dtl::MergeObserver {
 public:
  DownloadEvents(TerminalProgress& bar, dtl::ReplaceMode answer) : bar_(bar), answer_(answer) {}

  void OnOverallRange(size_t items) override { bar_.SetTotal(items); }
  void OnItemStarted(size_t, const std::string& fileName) override { bar_.SetLabel("Downloading " + fileName); }
  void OnOverallStep() override { bar_.Update(++items_); }
  void OnAttemptFailed(size_t, const std::string& reason) override {
    // Every attempt of a dead link fails the same way: say it once per item and reason.
    if (reason == lastReason_) return;
    lastReason_ = reason;
    bar_.Finish();
    std::fprintf(stderr, "dtl fetch: %s; trying again\n", reason.c_str());
  }
  void OnItemDone(const std::string&) override { lastReason_.clear(); }
  void OnProviderPage() override {
    if (loginSaid_) return;
    loginSaid_ = true;
    bar_.Finish();
    std::fprintf(stderr, "dtl fetch: the provider answered with its login page; log in again and "
                         "pass the new cookie string\n");
  }
  dtl::ReplaceMode ConfirmReplace(const std::string&) override { return answer_; }
  void OnMessage(const std::string& text) override { // both the download's and the merge's
    bar_.Finish();
    std::fprintf(stderr, "dtl fetch: %s\n", text.c_str());
  }
  // The merge's progress.
  void OnFileName(const std::string& text) override {
    bar_.SetLabel("Merging " + fs::path(text).filename().string());
    merged_ = 0;
  }
  void OnProgressRange(uint16_t total) override {
    bar_.SetTotal(total);
    bar_.Update(0);
  }
  void OnStep() override { bar_.Update(++merged_); }

 private:
  TerminalProgress& bar_;
  dtl::ReplaceMode answer_;
  uint64_t items_ = 0, merged_ = 0;
  std::string lastReason_;
  bool loginSaid_ = false;
};

int RunFetch(const std::vector<std::string>& args) {
  if (WantsHelp(args)) {
    std::fputs(kHelp, stdout);
    return kExitOk;
  }
  std::string pageUrl, cookie, out, account;
  bool haveCookie = false, passwordStdin = false, list = false, noMerge = false;
  bool overwrite = false, skipExisting = false;
  std::set<std::string> chosen;
  dtl::NetworkEndpoints endpoints;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& into) {
      if (i + 1 >= args.size()) return false;
      into = args[++i];
      return true;
    };
    std::string v;
    if (a == "--page-url") {
      if (!value(pageUrl)) return Usage("--page-url needs a URL");
    } else if (a == "--cookie") {
      if (!value(cookie)) return Usage("--cookie needs the page's cookie string");
      haveCookie = true;
    } else if (a == "--out") {
      if (!value(out)) return Usage("--out needs a folder");
    } else if (a == "--account") {
      if (!value(account)) return Usage("--account needs an id");
    } else if (a == "--file") {
      if (!value(v)) return Usage("--file needs a file name");
      chosen.insert(v);
    } else if (a == "--connect-to") {
      if (!value(v)) return Usage("--connect-to needs HOST:PORT:TO-HOST:TO-PORT");
      endpoints.connectTo.push_back(v);
    } else if (a == "--resolve") {
      if (!value(v)) return Usage("--resolve needs HOST:PORT:ADDRESS");
      endpoints.resolve.push_back(v);
    } else if (a == "--password-stdin") {
      passwordStdin = true;
    } else if (a == "--list") {
      list = true;
    } else if (a == "--no-merge") {
      noMerge = true;
    } else if (a == "--overwrite") {
      overwrite = true;
    } else if (a == "--skip-existing") {
      skipExisting = true;
    } else if (IsPasswordArgument(a)) {
      return Usage("passwords are never taken from the command line; use --password-stdin");
    } else {
      return Usage("unknown argument " + a);  // never echo a value: it may be the cookie
    }
  }
  if (pageUrl.empty()) return Usage("--page-url is required");
  if (!haveCookie) return Usage("--cookie is required");
  if (out.empty() && !list) return Usage("--out is required");
  if (overwrite && skipExisting) return Usage("--overwrite and --skip-existing exclude each other");
  std::string host = HostOf(pageUrl);
  if (host.empty()) return Usage("--page-url is not a web address");
  std::error_code ec;
  if (!list && !fs::is_directory(out, ec)) return Fail("the download folder " + out + " is not a folder");
  if (const char* ca = std::getenv("DTL_CA_FILE"); ca && *ca) endpoints.caFile = ca;

  std::string password;
  if (passwordStdin && !list) {
    std::string error;
    auto pw = PasswordFromStdin("Decryption password: ", &error);
    if (!pw) return Fail(error);
    password = std::move(*pw);
  }

  struct sigaction sa{};
  sa.sa_handler = OnFetchInterrupt;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  // A signal handler may only set a flag; this thread turns the flag into the runs' stop request.
  std::stop_source interrupt;
  std::jthread watcher([&interrupt](std::stop_token done) {
    while (!done.stop_requested() && !gStop.load()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (gStop.load()) interrupt.request_stop();
  });

  dtl::CookieJar jar;
  dtl::PageFetcher fetcher(jar, endpoints);
  dtl::SegmentManagerModel model;

  dtl::InboxCrawler::Params crawl;
  crawl.fetcher = &fetcher;
  crawl.pageUrl = pageUrl;
  crawl.cookie = cookie;
  crawl.accountId = account;
  crawl.isKnownKey = [&model](const std::string& key) { return model.HasKey(key); };
  dtl::InboxCrawler::Result found;
  {
    TerminalProgress bar("Listing segments");
    CrawlEvents events(model, bar);
    found = dtl::InboxCrawler::Run(crawl, events, interrupt.get_token());
  }
  // A browser holds the session cookies for the provider's whole domain; the cookie string
  // handed over is stored for the page's host only. Walla serves attachments from a host of
  // its own (a fixed host of the provider table, never one a page names), so the session is
  // stored for it too.
  if (found.providerId == dtl::kProviderWalla) (void)jar.Store(dtl::kWallaAttachHost, cookie);
  WipeString(cookie);
  if (found.sessionEnded)
    return Fail("the provider answered with its login page; log in again and pass the new cookie string");
  if (gStop.load()) return Fail("stopped");

  if (list) {
    const dtl::ProviderInfo* provider = dtl::FindProvider(found.providerId);
    std::printf("provider: %s\n", provider ? provider->name : "?");
    for (const auto& g : model.Groups()) {
      std::printf("%s\n", g.name.c_str());
      for (const auto& s : g.segments) std::printf("  %s\n", s.record.fileName.c_str());
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
    return Fail("no segments to download");
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
  dtl::ReplaceMode answer = overwrite       ? dtl::ReplaceMode::OverwriteAll
                            : skipExisting ? dtl::ReplaceMode::SkipAll
                                           : dtl::ReplaceMode::Overwrite;
  dtl::DownloadEngine::Result result;
  {
    TerminalProgress bar("Downloading");
    DownloadEvents events(bar, answer);
    params.mergeObserver = &events;
    result = dtl::DownloadEngine::Run(params, events, interrupt.get_token());
  }
  WipeString(password);
  WipeString(params.password);

  switch (result.outcome) {
    case dtl::DownloadEngine::Outcome::Completed: break;
    case dtl::DownloadEngine::Outcome::Stopped: return Fail("stopped; the segment in progress was removed");
    case dtl::DownloadEngine::Outcome::SessionFailed: return Fail("the HTTP session could not be set up");
    case dtl::DownloadEngine::Outcome::BadUrl: return Fail("an attachment's address cannot be used");
    case dtl::DownloadEngine::Outcome::FileError: return kExitFailure;  // the system's text was printed
  }
  std::fprintf(stderr, "dtl fetch: %zu segment(s) downloaded, %zu kept\n", result.itemsSaved,
               result.itemsSkipped);
  if (!result.merged) return kExitOk;
  for (const auto& d : result.descriptors) {
    fs::path output = fs::path(out) / dtl::MergeJob::DeriveNames(d).name;
    if (fs::exists(output, ec)) std::printf("%s\n", output.c_str());
  }
  return result.mergeComplete ? kExitOk : kExitFailure;
}

const DtlCommand kFetch("fetch", "download and merge the segments waiting in a web-mail inbox", RunFetch);

}  // namespace

}  // namespace dtlcli
