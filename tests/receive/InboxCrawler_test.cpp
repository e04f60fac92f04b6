// The inbox crawler against the provider fixture (every provider's layout, paging, session
// cookie, gzip bodies), and its text parses on their own.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "browser/CookieJar.h"
#include "browser/PageFetcher.h"
#include "fixtures/provider_server.h"
#include "receive/InboxCrawler.h"
#include "receive/ProviderTable.h"
#include "receive/SegmentManagerModel.h"
#include "support/TestSupport.h"

namespace {

using dtl::FoundAttachment;
using dtl::InboxCrawler;
using dtltest::ProviderServer;

// Two split files (one with ".doc" inside its own name) and a stray attachment, in the order
// the fixture lists them (sorted by name).
const std::vector<std::string> kInbox = {"holiday.jpg",         "movie.avi.001.doc",
                                         "movie.avi.002.doc",   "movie.avi.dtl.doc",
                                         "report.docx.001.doc", "report.docx.dtl.doc"};
const std::vector<std::string> kNames = {"holiday.jpg",   "movie.avi.001",   "movie.avi.002",
                                         "movie.avi.dtl", "report.docx.001", "report.docx.dtl"};
constexpr char kCookie[] = "SID=s3cr3t";

// What the fixture's layout of each provider makes the key of message i.
std::string ExpectedKey(int32_t id, size_t i) {
  const std::string n = std::to_string(i);
  const std::string& file = kInbox[i];
  switch (id) {
    case dtl::kProviderGmail: {
      // Threads hold messages {0,1} (listed), {2} (attachment 0.1 only), {3,4}, {5}.
      static const int thread[] = {0, 0, 1, 2, 2, 3};
      static const int pos[] = {1, 2, 1, 1, 2, 1};
      return "https://mail.google.com/mail/?view=att&disp=attd&attid=0." + std::to_string(pos[i]) +
             "&th=t" + std::to_string(thread[i]);
    }
    case dtl::kProviderYahoo: return "1_" + n + "_AbC";
    case dtl::kProviderWalla:
      return "http://attach.walla.com/download?id=" + std::to_string(1000 + i) +
             "&filename=" + file;
    case dtl::kProviderGawab:
      return "http://mail.gawab.com/webmail/"
             "index.php?basepage=readmsg&folder=INBOX&form=fetch&pos=" +
             std::to_string(i + 1) + "&mimeid=" + (i % 2 ? "1.2.1.2" : "1.2") + "&download=1";
    case dtl::kProviderOmnilect: return std::to_string(i + 1);
    case dtl::kProviderUnitedEmail:
    case dtl::kProviderSpymac: return "mime.pl?id=m" + n + "&part=2&name=" + file;
    case dtl::kProviderXasamail:
      return "http://www.xasamail.com/cgi-bin/servFile.cgi/r" + n + "/" + file + "?acc=acct7";
    case dtl::kProviderHriders: return "http://mail.hriders.com:8080/attach/" + n + "/" + file;
    case dtl::kProviderNetscape: return "/attachment/u" + n + "/" + file;
    case dtl::kProviderO2: return "http://poczta.o2.pl/zal/n" + n + "/" + file;
    case dtl::kProviderLycos:
      return "http://mail.lycos.com/lycos/mail/GetAttachment.lycos?MSGID=" + std::to_string(i + 1) +
             "&downtype=PC&realname=" + file + "&part=2";
  }
  return {};
}

struct Recorder : dtl::CrawlObserver {
  std::vector<FoundAttachment> records;
  std::vector<std::pair<int, int>> ranges;
  int steps = 0, finished = 0, aborted = 0, sessionEnded = 0;
  std::function<void(const FoundAttachment&)> onRecord;
  int started = 0;
  bool startedBeforeAnything = false;

  void OnStarted() override {
    ++started;
    startedBeforeAnything = records.empty() && ranges.empty() && finished == 0;
  }
  void OnAttachment(const FoundAttachment& r) override {
    records.push_back(r);
    if (onRecord) onRecord(r);
  }
  void OnProgressRange(uint16_t total, uint16_t position) override {
    ranges.emplace_back(total, position);
  }
  void OnProgressStep() override { ++steps; }
  void OnSessionEnded() override { ++sessionEnded; }
  void OnAborted() override { ++aborted; }
  void OnFinished() override { ++finished; }
};

class InboxCrawlerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    pki_ = new dtltest::ProviderPki;
    inbox_ = new dtltest::TempDir;
    for (const auto& name : kInbox) dtltest::WriteFileText(*inbox_ / name, "bytes of " + name);
  }
  static void TearDownTestSuite() {
    delete inbox_;
    delete pki_;
  }

  void SetUp() override {
    ASSERT_TRUE(pki_->ok()) << pki_->output();
    server_ = std::make_unique<ProviderServer>(
        inbox_->path(),
        std::vector<std::string>{"--cookie", kCookie, "--page-size", "2", "--encoding", "mixed"},
        pki_);
    ASSERT_TRUE(server_->running()) << server_->error();
    fetcher_ = std::make_unique<dtl::PageFetcher>(jar_, server_->Endpoints());
  }

  InboxCrawler::Params Params(int32_t id) {
    InboxCrawler::Params p;
    p.fetcher = fetcher_.get();
    p.pageUrl = ProviderServer::PageUrl(id);
    p.cookie = kCookie;
    p.accountId = "acct7";
    p.random = [n = 0u]() mutable { return n++; };
    return p;
  }

  InboxCrawler::Summary Crawl(const InboxCrawler::Params& p) {
    return InboxCrawler::Run(p, observer_, stop_.get_token(), close_.get_token());
  }

  static dtltest::ProviderPki* pki_;
  static dtltest::TempDir* inbox_;
  dtl::CookieJar jar_;
  std::unique_ptr<ProviderServer> server_;
  std::unique_ptr<dtl::PageFetcher> fetcher_;
  Recorder observer_;
  std::stop_source close_, stop_;
};
dtltest::ProviderPki* InboxCrawlerTest::pki_ = nullptr;
dtltest::TempDir* InboxCrawlerTest::inbox_ = nullptr;

class EveryProvider : public InboxCrawlerTest, public ::testing::WithParamInterface<int32_t> {};

TEST_P(EveryProvider, ListsEveryAttachmentWithItsNameAndKey) {
  const int32_t id = GetParam();
  auto p = Params(id);
  p.providerId = -1;  // recognised from the page URL
  const auto result = Crawl(p);

  EXPECT_EQ(result.providerId, id);
  std::vector<std::pair<std::string, std::string>> want, got, returned;
  for (size_t i = 0; i < kInbox.size(); ++i) want.emplace_back(kNames[i], ExpectedKey(id, i));
  for (const auto& r : observer_.records) got.emplace_back(r.fileName, r.key);
  for (const auto& r : result.records) returned.emplace_back(r.fileName, r.key);
  EXPECT_EQ(returned, got) << "the result holds the records as posted";
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, want) << server_->Log();
  // Decoy identifiers (Yahoo's 5-character id, Walla's and Omnilect's 0) were never listed:
  // one identifier per message, per thread for Gmail.
  const size_t messages = id == dtl::kProviderGmail ? 4 : kInbox.size();
  EXPECT_EQ(result.identifiers, messages);
  EXPECT_EQ(observer_.ranges, (std::vector<std::pair<int, int>>{{static_cast<int>(messages), 0}}));
  EXPECT_EQ(observer_.steps, static_cast<int>(messages));
  EXPECT_FALSE(result.aborted);
  EXPECT_EQ(observer_.finished, 1);
}

INSTANTIATE_TEST_SUITE_P(Crawl, EveryProvider,
                         ::testing::Values(dtl::kProviderGmail, dtl::kProviderYahoo,
                                           dtl::kProviderWalla, dtl::kProviderGawab,
                                           dtl::kProviderOmnilect, dtl::kProviderUnitedEmail,
                                           dtl::kProviderSpymac, dtl::kProviderXasamail,
                                           dtl::kProviderHriders, dtl::kProviderNetscape,
                                           dtl::kProviderO2, dtl::kProviderLycos),
                         [](const auto& info) {
                           return std::string(dtl::FindProvider(info.param)->name).substr(0, 6) +
                                  std::to_string(info.param);
                         });

// Recovery files mailed beside the segments ("....par2.doc", in any case) come out of every
// provider's pages as recovery file names and join their file's group in the Segment Manager,
// with the blocks their names announce.
TEST_F(InboxCrawlerTest, RecoveryAttachmentsAreFoundOnEveryProvidersPagesAndJoinTheirFile) {
  dtltest::TempDir inbox;
  for (const char* name :
       {"clip.mp4.001.doc", "clip.mp4.dtl.doc", "clip.mp4.par2.doc", "clip.mp4.vol00+01.par2.doc",
        "clip.mp4.VOL01+02.PAR2.doc", "notes.par2.txt"})
    dtltest::WriteFileText(inbox / name, std::string("bytes of ") + name);
  ProviderServer server(inbox.path(), {"--cookie", kCookie, "--page-size", "2"}, pki_);
  ASSERT_TRUE(server.running()) << server.error();
  dtl::CookieJar jar;
  dtl::PageFetcher fetcher(jar, server.Endpoints());
  for (int32_t id : {dtl::kProviderGmail, dtl::kProviderYahoo, dtl::kProviderWalla,
                     dtl::kProviderGawab, dtl::kProviderOmnilect, dtl::kProviderUnitedEmail,
                     dtl::kProviderSpymac, dtl::kProviderXasamail, dtl::kProviderHriders,
                     dtl::kProviderNetscape, dtl::kProviderO2, dtl::kProviderLycos}) {
    SCOPED_TRACE(dtl::FindProvider(id)->name);
    Recorder seen;
    auto p = Params(id);
    p.fetcher = &fetcher;
    const auto result = InboxCrawler::Run(p, seen, {});
    dtl::SegmentManagerModel model;
    for (const auto& r : result.records) model.File(r);
    std::vector<std::string> names;
    for (const auto& g : model.Groups())
      for (const auto& s : g.segments) names.push_back(g.name + ": " + s.record.fileName);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{
                         "clip.mp4: clip.mp4.001", "clip.mp4: clip.mp4.VOL01+02.PAR2",
                         "clip.mp4: clip.mp4.dtl", "clip.mp4: clip.mp4.par2",
                         "clip.mp4: clip.mp4.vol00+01.par2", "notes.par2: notes.par2.txt"}))
        << server.Log();
    for (const auto& g : model.Groups()) {
      EXPECT_EQ(g.recoveryBlocks, g.name == "clip.mp4" ? 3u : 0u) << g.name;
      EXPECT_EQ(g.recoveryFiles, g.name == "clip.mp4" ? 3u : 0u) << g.name;
    }
  }
}

TEST_F(InboxCrawlerTest, GmailOpensThreadsOfLaterPagesAtTheirOffset) {
  const auto result = Crawl(Params(dtl::kProviderGmail));
  EXPECT_EQ(result.listingPages, 3u);  // the start page, then two pages of two threads
  const std::string log = server_->Log();
  for (const char* request : {"/mail/?th=t0&v=c\n", "/mail/?th=t2&v=c&st=2\n",
                              // a thread page without an attachment list: the attachment's headers
                              "/mail/?view=att&disp=attd&attid=0.1&th=t1\n"})
    EXPECT_NE(log.find(request), std::string::npos) << request << log;
}

TEST_F(InboxCrawlerTest, RefreshSkipsKnownIdentifiersOnlyWhereTheKeyIsTheIdentifier) {
  struct Case {
    int32_t id;
    size_t opened;
  };
  // Yahoo and Omnilect keys are the identifiers, so the known ones are not opened again; the
  // others test too but never match; Gmail and Lycos do not test at all.
  for (const Case& c : {Case{dtl::kProviderYahoo, 2}, Case{dtl::kProviderOmnilect, 2},
                        Case{dtl::kProviderNetscape, 6}, Case{dtl::kProviderLycos, 6},
                        Case{dtl::kProviderGmail, 4}}) {
    observer_ = Recorder{};
    auto p = Params(c.id);
    std::set<std::string> tree = {"1"};  // also Lycos's first message id, which Lycos must not skip
    for (size_t i = 0; i < 4; ++i) tree.insert(ExpectedKey(c.id, i));
    p.isKnownKey = [&](const std::string& key) { return tree.count(key) > 0; };
    const auto result = Crawl(p);
    EXPECT_EQ(result.messagesOpened, c.opened) << dtl::FindProvider(c.id)->name;
    EXPECT_EQ(result.messagesOpened + result.messagesSkipped, result.identifiers);
    EXPECT_EQ(observer_.steps, static_cast<int>(result.identifiers))
        << "skipped messages step the bar too";
  }
}

// Stop ends the listing or the message walk at the next check and keeps what was posted;
// closing aborts the run. Both tokens are checked before every listing page.
TEST_F(InboxCrawlerTest, StopAndClosingRequestsEndTheRunAtTheNextCheck) {
  struct Case {
    int32_t id;
    bool closing, beforeStart;
    size_t records, pages;
  };
  for (const Case& c :
       {Case{dtl::kProviderNetscape, false, false, 1, 1}, Case{dtl::kProviderO2, true, false, 1, 1},
        Case{dtl::kProviderGmail, false, true, 0, 0}, Case{dtl::kProviderYahoo, false, true, 0, 0},
        Case{dtl::kProviderLycos, true, true, 0, 0}}) {
    SCOPED_TRACE(std::string(dtl::FindProvider(c.id)->name) + (c.closing ? " closing" : " stop"));
    observer_ = Recorder{};
    std::stop_source stop, close;
    std::stop_source& source = c.closing ? close : stop;
    if (c.beforeStart) source.request_stop();
    observer_.onRecord = [&](const FoundAttachment&) { source.request_stop(); };
    const auto result =
        InboxCrawler::Run(Params(c.id), observer_, stop.get_token(), close.get_token());
    EXPECT_EQ(result.records.size(), c.records);
    EXPECT_EQ(result.messagesOpened, c.records) << "no further message is opened";
    EXPECT_EQ(std::min<size_t>(result.listingPages, 1), c.pages);
    EXPECT_EQ(result.stopped, !c.closing);
    EXPECT_EQ(result.aborted, c.closing);
    EXPECT_EQ(observer_.aborted, c.closing ? 1 : 0);
    EXPECT_EQ(observer_.finished, 1);
    EXPECT_EQ(observer_.started, 1);
    EXPECT_TRUE(observer_.startedBeforeAnything) << "OnStarted opens the run";
    if (c.beforeStart && !c.closing) {
      EXPECT_EQ(observer_.ranges, (std::vector<std::pair<int, int>>{{1, 1}}))
          << "an empty run shows a full bar";
    }
  }
}

// The session cookie string is stored once, for the page's host and the provider's own fixed
// hosts, secure-only when the page is https; every request, also to a URL a page named, carries
// it only under those rules. Each case is a way it once went elsewhere: an unknown page taken
// for Gmail, a provider named in the query, http templates and links after an https page, a
// listing link to another host.
TEST_F(InboxCrawlerTest, TheSessionGoesOnlyToThePagesHostAndTheProvidersOwnHosts) {
  const std::string port = std::to_string(server_->port());
  dtl::NetworkEndpoints ep = server_->Endpoints();
  for (const char* host : {"attacker.test", "webmail.example.test"}) {
    ep.connectTo.push_back(std::string(host) + ":80:127.0.0.1:" + port);
    ep.connectTo.push_back(std::string(host) +
                           ":443:127.0.0.1:" + std::to_string(server_->tlsPort()));
  }
  struct Case {
    const char* what;
    std::string pageUrl;
    int32_t provider;                             // as recognised
    std::vector<std::string> stored = {};         // "host secure" per stored session cookie, sorted
    std::string plantWhere = {}, plantHtml = {};  // planted in the first page matching plantWhere
    const char* asked = nullptr;  // a request that must have been made ("SCHEME host ")
  };
  const std::vector<Case> cases = {
      {"unknown web-mail page", "https://webmail.example.test/inbox", dtl::kProviderUnknown},
      {"provider named in the query", "https://webmail.example.test/inbox?ref=walla.com",
       dtl::kProviderUnknown},
      {"https Yahoo page, http templates",
       "https://mail.yahoo.com/ym/ShowFolder?rb=Inbox",
       dtl::kProviderYahoo,
       {"mail.yahoo.com TRUE"},
       "",
       "",
       "http mail.yahoo.com "},
      {"https Walla page, http fixed hosts",
       "https://mail.walla.com/?w=/@inbox",
       dtl::kProviderWalla,
       {"attach.walla.com TRUE", "mail.walla.com TRUE"},
       "",
       "",
       "http mail.walla.com "},
      {"https Gmail page whose base href is plain http",
       ProviderServer::PageUrl(dtl::kProviderGmail),
       dtl::kProviderGmail,
       {"mail.google.com TRUE"},
       "mail.google.com /mail/?ui=html",
       "<base href=\"http://mail.google.com/mail/\">",
       "http mail.google.com "},
      {"Xasamail listing link to another host",
       ProviderServer::PageUrl(dtl::kProviderXasamail),
       dtl::kProviderXasamail,
       {"www.xasamail.com FALSE"},
       "www.xasamail.com /cgi-bin/read.cgi/english?acc=acct7&folder=inbox",
       "<a href=\"http://attacker.test/steal?&start=99\">more</a>",
       "http attacker.test "},
      {"http Walla page lends it to the attachment host",
       ProviderServer::PageUrl(dtl::kProviderWalla),
       dtl::kProviderWalla,
       {"attach.walla.com FALSE", "mail.walla.com FALSE"},
       "",
       "",
       "http mail.walla.com "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    dtl::CookieJar jar;
    dtl::PageFetcher fetcher(jar, ep);
    server_->Control("/__fixture/cookies?clear=1");
    if (!c.plantWhere.empty()) server_->Inject(c.plantWhere, c.plantHtml);
    auto p = Params(dtl::kProviderGmail);
    p.fetcher = &fetcher;
    p.pageUrl = c.pageUrl;
    const auto result = Crawl(p);
    EXPECT_EQ(result.providerId, c.provider);

    std::vector<std::string> stored;
    for (const std::string& line : jar.List()) {
      // host, subdomains, path, secure, expiry, name, value
      std::vector<std::string> f;
      for (size_t at = 0, tab; at <= line.size(); at = tab + 1) {
        tab = std::min(line.find('\t', at), line.size());
        f.push_back(line.substr(at, tab - at));
      }
      ASSERT_EQ(f.size(), 7u) << line;
      if (f[5] + "=" + f[6] == kCookie) {
        EXPECT_EQ(f[1], "FALSE") << "host-only: " << line;
        stored.push_back(f[0] + " " + f[3]);
      }
    }
    std::sort(stored.begin(), stored.end());
    EXPECT_EQ(stored, c.stored);

    const std::string log = server_->Cookies();
    const bool tls = c.pageUrl.starts_with("https:");
    for (size_t at = 0, end; at < log.size(); at = end + 1) {
      end = log.find('\n', at);
      if (end == std::string::npos) end = log.size();
      const std::string line = log.substr(at, end - at);
      if (line.find(kCookie) == std::string::npos) continue;
      const std::string scheme = line.substr(0, line.find(' '));
      std::string host = line.substr(scheme.size() + 1);
      host = host.substr(0, host.find(' '));
      host = host.substr(0, host.find(':'));
      EXPECT_TRUE(std::any_of(stored.begin(), stored.end(),
                              [&](const std::string& s) { return s.starts_with(host + " "); }))
          << "the session went to " << line;
      EXPECT_FALSE(tls && scheme == "http") << "the session went out in clear: " << line;
    }
    if (c.asked) {
      EXPECT_NE(log.find(c.asked), std::string::npos) << c.asked << "\n" << log;
    }
    if (c.provider == dtl::kProviderUnknown) {
      EXPECT_EQ(log, "") << "nothing is requested";
    }
  }
}

// A client that connects to the TLS port and never says a word (a stray connection from
// another test to a port it took for closed) holds up only itself: the Gmail crawl beside it
// completes. The fixture once did the handshake in its accept loop, so one silent connection
// stalled every later https request until the crawler's time-outs, one by one.
TEST_F(InboxCrawlerTest, ASilentConnectionToTheTlsPortHoldsUpNobodyElse) {
  ASSERT_GT(server_->tlsPort(), 0);
  const int silent = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(silent, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(server_->tlsPort()));
  ASSERT_EQ(connect(silent, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  const auto result = Crawl(Params(dtl::kProviderGmail));
  close(silent);
  EXPECT_EQ(result.records.size(), kInbox.size()) << server_->Log();
  EXPECT_FALSE(result.aborted);
}

// Walla's login page in the middle of the walk ends the session (at the listing, dtl fetch's
// stale-cookie case shows it).
TEST_F(InboxCrawlerTest, WallaLoginPageEndsTheSession) {
  server_->AddFault("login", "id=1002");
  const auto result = Crawl(Params(dtl::kProviderWalla));
  EXPECT_TRUE(result.sessionEnded && result.aborted);
  EXPECT_EQ(observer_.sessionEnded, 1);
  EXPECT_EQ(observer_.aborted, 1);
  EXPECT_EQ(result.records.size(), 2u);
}

// A failed fetch is an empty page; a page without an account and a provider whose pages always
// link one more end the listing early. None of them aborts the run.
TEST_F(InboxCrawlerTest, FailedFetchesAndEndlessPagingEndTheirPartOnly) {
  struct Case {
    const char* what;
    int32_t id;
    const char* fault;
    const char* match;
    size_t records;
    std::string pageUrl = {};
    size_t maxPages = 10000;
  };
  for (const Case& c : {
           Case{"second listing page broken off", dtl::kProviderYahoo, "drop", "Npos=1", 2},
           Case{"one message page broken off", dtl::kProviderO2, "drop", "n=n3&", 5},
           Case{"reset before an attachment's headers", dtl::kProviderOmnilect, "reset",
                "passed_id=2&", 5},
           Case{"Hriders page without an account", dtl::kProviderHriders, nullptr, nullptr, 0,
                "http://mail.hriders.com:8080/index.cgi?lang=en"},
           Case{"every page links one more", dtl::kProviderLycos, nullptr, nullptr, 4, {}, 2},
       }) {
    observer_ = Recorder{};
    server_->ClearLog();
    if (c.fault) server_->AddFault(c.fault, c.match);
    auto p = Params(c.id);
    if (!c.pageUrl.empty()) p.pageUrl = c.pageUrl;
    p.maxListingPages = c.maxPages;
    const auto result = Crawl(p);
    EXPECT_EQ(result.records.size(), c.records) << c.what;
    EXPECT_FALSE(result.aborted) << c.what;
    EXPECT_TRUE(c.maxPages == 10000 || result.listingPages == c.maxPages) << c.what;
    EXPECT_TRUE(c.records > 0 || server_->Log().empty()) << c.what << ": nothing is requested";
  }
}

// The quirks of the text parses (the fixture's attachment answers rotate through the five
// well-formed Content-Disposition forms): the first pattern present decides; base href takes
// the first element's double-quoted value; only the sender's ".doc" goes, repeated or not.
TEST(CrawlerTextParses, DispositionNameBaseHrefAndDocEnding) {
  using Parse = std::string (*)(std::string_view);
  const Parse name = [](std::string_view t) { return dtl::DispositionFileName(t); };
  const Parse base = [](std::string_view t) { return dtl::BaseHref(t); };
  const Parse doc = [](std::string_view t) { return dtl::WithoutDocEnding(std::string(t)); };
  struct Case {
    Parse parse;
    const char* in;
    const char* out;
  };
  for (const Case& c : {
           Case{name, "Content-Disposition: attachment; filename=movie.avi.001.doc\r\nX: y\r\n",
                "movie.avi.001.doc"},
           Case{name, "Content-Disposition: attachment;filename=\"a b.doc\"\r\n", "a b.doc"},
           // "name=" is only read when "attachment" is nowhere in the text.
           Case{name, "Content-Type: x; name=\"a.doc\"\r\nX-Note: attachment\r\n", ""},
           // The chosen pattern's end is missing: no name, even though a later pattern would match.
           Case{name, "Content-Disposition: attachment; filename=\"cut", ""},
           Case{name, "Content-Disposition: attachment; filename=no-carriage-return\n", ""},
           Case{name, "Content-Type: text/html\r\n", ""},
           Case{base, "<head><base href=\"https://mail.google.com/mail/\"><base href=\"x\">",
                "https://mail.google.com/mail/"},
           Case{base, "<base href='single'>", ""},
           Case{base, "<base href=\"unterminated", ""},
           Case{doc, "report.doc", "report"},
           Case{doc, "x.doc.dtl.doc", "x.doc.dtl"},
           Case{doc, "twice.001.doc.doc", "twice.001"},
           Case{doc, ".doc", ""},
           Case{doc, "notes.txt", "notes.txt"},
       }) {
    EXPECT_EQ(c.parse(c.in), c.out) << c.in;
  }
}

}  // namespace
