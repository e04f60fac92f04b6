// The inbox crawler against the provider fixture (every provider's layout, paging, session
// cookie, gzip bodies), and its text parses on their own.
#include <gtest/gtest.h>

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
const std::vector<std::string> kNames = {"holiday.jpg",     "movie.avi.001", "movie.avi.002",
                                         "movie.avi.dtl",   "report.docx.001", "report.docx.dtl"};
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
    case dtl::kProviderWalla: return "http://attach.walla.com/download?id=" + std::to_string(1000 + i) + "&filename=" + file;
    case dtl::kProviderGawab:
      return "http://mail.gawab.com/webmail/index.php?basepage=readmsg&folder=INBOX&form=fetch&pos=" +
             std::to_string(i + 1) + "&mimeid=" + (i % 2 ? "1.2.1.2" : "1.2") + "&download=1";
    case dtl::kProviderOmnilect: return std::to_string(i + 1);
    case dtl::kProviderUnitedEmail:
    case dtl::kProviderSpymac: return "mime.pl?id=m" + n + "&part=2&name=" + file;
    case dtl::kProviderXasamail: return "http://www.xasamail.com/cgi-bin/servFile.cgi/r" + n + "/" + file + "?acc=acct7";
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
  int steps = 0, started = 0, finished = 0, aborted = 0, sessionEnded = 0;
  std::function<void(const FoundAttachment&)> onRecord;
  std::atomic<bool>* crawling = nullptr;
  bool crawlingSeen = false;

  void OnStarted() override {
    ++started;
    if (crawling) crawlingSeen = crawling->load();
  }
  void OnAttachment(const FoundAttachment& r) override {
    records.push_back(r);
    if (onRecord) onRecord(r);
  }
  void OnProgressRange(uint16_t total, uint16_t position) override { ranges.emplace_back(total, position); }
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

  void Start(std::vector<std::string> args = {"--cookie", kCookie, "--page-size", "2", "--encoding", "mixed"}) {
    ASSERT_TRUE(pki_->ok()) << pki_->output();
    server_ = std::make_unique<ProviderServer>(inbox_->path(), args, pki_);
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

  InboxCrawler::Result Crawl(const InboxCrawler::Params& p) { return InboxCrawler::Run(p, observer_, closing_, stop_); }

  static dtltest::ProviderPki* pki_;
  static dtltest::TempDir* inbox_;
  dtl::CookieJar jar_;
  std::unique_ptr<ProviderServer> server_;
  std::unique_ptr<dtl::PageFetcher> fetcher_;
  Recorder observer_;
  std::atomic<bool> closing_{false}, stop_{false};
};
dtltest::ProviderPki* InboxCrawlerTest::pki_ = nullptr;
dtltest::TempDir* InboxCrawlerTest::inbox_ = nullptr;

// ---- every provider's inbox -------------------------------------------------------------

class EveryProvider : public InboxCrawlerTest, public ::testing::WithParamInterface<int32_t> {};

TEST_P(EveryProvider, ListsEveryAttachmentWithItsNameAndKey) {
  Start();
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
                         ::testing::Values(dtl::kProviderGmail, dtl::kProviderYahoo, dtl::kProviderWalla,
                                           dtl::kProviderGawab, dtl::kProviderOmnilect,
                                           dtl::kProviderUnitedEmail, dtl::kProviderSpymac,
                                           dtl::kProviderXasamail, dtl::kProviderHriders,
                                           dtl::kProviderNetscape, dtl::kProviderO2, dtl::kProviderLycos),
                         [](const auto& info) { return std::string(dtl::FindProvider(info.param)->name).substr(0, 6) + std::to_string(info.param); });

// ---- paging -----------------------------------------------------------------------------

TEST_F(InboxCrawlerTest, GmailOpensThreadsOfLaterPagesAtTheirOffset) {
  Start();
  const auto result = Crawl(Params(dtl::kProviderGmail));
  // The start page, then the two pages of four threads, two per page.
  EXPECT_EQ(result.listingPages, 3u);
  const std::string log = server_->Log();
  EXPECT_NE(log.find("/mail/?th=t0&v=c\n"), std::string::npos) << log;
  EXPECT_NE(log.find("/mail/?th=t2&v=c&st=2\n"), std::string::npos) << log;
  // A thread page without an attachment list: the attachment's headers were asked for.
  EXPECT_NE(log.find("/mail/?view=att&disp=attd&attid=0.1&th=t1\n"), std::string::npos) << log;
}

// ---- refresh: identifiers already in the tree ---------------------------------------------

TEST_F(InboxCrawlerTest, RefreshSkipsKnownIdentifiersOnlyWhereTheKeyIsTheIdentifier) {
  Start();
  struct Case { int32_t id; size_t opened; };
  // Yahoo and Omnilect keys are the identifiers, so the known ones are not opened again; the
  // others test too but never match; Gmail and Lycos do not test at all.
  for (const Case& c : {Case{dtl::kProviderYahoo, 2}, Case{dtl::kProviderOmnilect, 2},
                        Case{dtl::kProviderNetscape, 6}, Case{dtl::kProviderLycos, 6},
                        Case{dtl::kProviderGmail, 4}}) {
    observer_ = Recorder{};
    auto p = Params(c.id);
    std::set<std::string> tree;
    for (size_t i = 0; i < 4; ++i) tree.insert(ExpectedKey(c.id, i));
    tree.insert("1");  // also Lycos's first message id, which Lycos must not skip
    p.isKnownKey = [&](const std::string& key) { return tree.count(key) > 0; };
    const auto result = Crawl(p);
    EXPECT_EQ(result.messagesOpened, c.opened) << dtl::FindProvider(c.id)->name;
    EXPECT_EQ(result.messagesOpened + result.messagesSkipped, result.identifiers);
    EXPECT_EQ(observer_.steps, static_cast<int>(result.identifiers)) << "skipped messages step the bar too";
  }
}

// ---- flags and session ------------------------------------------------------------------

TEST_F(InboxCrawlerTest, StopEndsTheRunAtTheNextCheckAndKeepsWhatWasPosted) {
  Start();
  auto p = Params(dtl::kProviderNetscape);
  observer_.onRecord = [&](const FoundAttachment&) { stop_ = true; };
  const auto result = Crawl(p);
  EXPECT_EQ(result.records.size(), 1u);
  EXPECT_EQ(result.messagesOpened, 1u) << "no further message is opened";
  EXPECT_TRUE(result.stopped);
  EXPECT_FALSE(result.aborted);
  EXPECT_EQ(observer_.aborted, 0);
  EXPECT_EQ(observer_.finished, 1);
}

TEST_F(InboxCrawlerTest, StopBeforeTheNextListingPageEndsTheListing) {
  Start();
  for (int32_t id : {dtl::kProviderGmail, dtl::kProviderYahoo}) {
    observer_ = Recorder{};
    stop_ = true;
    const auto result = Crawl(Params(id));
    EXPECT_EQ(result.listingPages, 0u);
    EXPECT_EQ(result.messagesOpened, 0u);
    EXPECT_EQ(observer_.ranges, (std::vector<std::pair<int, int>>{{1, 1}})) << "an empty run shows a full bar";
    stop_ = false;
  }
}

TEST_F(InboxCrawlerTest, ClosingAbortsTheRun) {
  Start();
  std::atomic<bool> crawling{false};
  observer_.crawling = &crawling;
  observer_.onRecord = [&](const FoundAttachment&) { closing_ = true; };
  const auto result = InboxCrawler::Run(Params(dtl::kProviderO2), observer_, closing_, stop_, &crawling);
  EXPECT_TRUE(result.aborted);
  EXPECT_EQ(observer_.aborted, 1);
  EXPECT_EQ(result.messagesOpened, 1u);
  EXPECT_TRUE(observer_.crawlingSeen);
  EXPECT_FALSE(crawling.load()) << "the crawling flag is cleared at the end";
}

TEST_F(InboxCrawlerTest, WallaLoginPageEndsTheSession) {
  Start();
  struct Case { const char* what; std::string cookie; const char* fault; size_t records; };
  for (const Case& c : {Case{"listing", "SID=expired", nullptr, 0},
                        Case{"third message", kCookie, "id=1002", 2}}) {
    observer_ = Recorder{};
    if (c.fault) server_->AddFault("login", c.fault);
    auto p = Params(dtl::kProviderWalla);
    p.cookie = c.cookie;
    // A fresh jar, so an earlier case's session cookie does not ride along.
    dtl::CookieJar jar;
    dtl::PageFetcher fetcher(jar, server_->Endpoints());
    p.fetcher = &fetcher;
    const auto result = Crawl(p);
    EXPECT_TRUE(result.sessionEnded) << c.what;
    EXPECT_TRUE(result.aborted) << c.what;
    EXPECT_EQ(observer_.sessionEnded, 1) << c.what;
    EXPECT_EQ(observer_.aborted, 1) << c.what;
    EXPECT_EQ(result.records.size(), c.records) << c.what;
  }
}

// ---- failed fetches ---------------------------------------------------------------------

TEST_F(InboxCrawlerTest, AFailedFetchIsAnEmptyPage) {
  Start();
  struct Case { int32_t id; const char* fault; const char* match; size_t records; };
  for (const Case& c : {
           // The second listing page breaks off: the listing ends with the first page's messages.
           Case{dtl::kProviderYahoo, "drop", "Npos=1", 2},
           // One message page breaks off: that message gives nothing, the others are listed.
           Case{dtl::kProviderO2, "drop", "n=n3&", 5},
           // The connection closes before an attachment's headers: no name, no record.
           Case{dtl::kProviderOmnilect, "reset", "passed_id=2&", 5},
       }) {
    observer_ = Recorder{};
    server_->AddFault(c.fault, c.match);
    const auto result = Crawl(Params(c.id));
    EXPECT_EQ(result.records.size(), c.records) << dtl::FindProvider(c.id)->name;
    EXPECT_FALSE(result.aborted);
  }
}

TEST_F(InboxCrawlerTest, HridersPageWithoutAccountEndsAtOnce) {
  Start();
  auto p = Params(dtl::kProviderHriders);
  p.pageUrl = "http://mail.hriders.com:8080/index.cgi?lang=en";
  const auto result = Crawl(p);
  EXPECT_EQ(result.listingPages, 0u);
  EXPECT_TRUE(result.records.empty());
  EXPECT_EQ(server_->Log(), "");
}

TEST_F(InboxCrawlerTest, PagesThatAlwaysLinkOneMoreStopAtThePageBound) {
  // A hostile or broken provider whose every page links the next one.
  Start();
  auto p = Params(dtl::kProviderLycos);
  p.maxListingPages = 2;
  const auto result = Crawl(p);
  EXPECT_EQ(result.listingPages, 2u);
  EXPECT_EQ(result.records.size(), 4u);
}

// ---- text parses ------------------------------------------------------------------------

TEST(DispositionFileName, FirstPatternPresentDecides) {
  struct Case { const char* text; const char* name; };
  for (const Case& c : {
           Case{"Content-Disposition: attachment; filename=\"movie.avi.001.doc\"\r\n", "movie.avi.001.doc"},
           Case{"Content-Disposition: attachment; filename=movie.avi.001.doc\r\nX: y\r\n", "movie.avi.001.doc"},
           Case{"Content-Disposition: attachment;filename=\"a b.doc\"\r\n", "a b.doc"},
           Case{"Content-Disposition: inline; filename=\"a.doc\"\r\n", "a.doc"},
           Case{"Content-Disposition: inline; filename=a.doc\r\n", "a.doc"},
           Case{"Content-Type: application/msword; name=\"a.doc\"\r\n", "a.doc"},
           // "name=" is only read when "attachment" is nowhere in the text.
           Case{"Content-Type: x; name=\"a.doc\"\r\nX-Note: attachment\r\n", ""},
           // The chosen pattern's end is missing: no name, even though a later pattern would match.
           Case{"Content-Disposition: attachment; filename=\"cut", ""},
           Case{"Content-Disposition: attachment; filename=no-carriage-return\n", ""},
           Case{"Content-Type: text/html\r\n", ""},
       }) {
    EXPECT_EQ(dtl::DispositionFileName(c.text), c.name) << c.text;
  }
}

TEST(BaseHref, ValueOfTheFirstBaseElement) {
  EXPECT_EQ(dtl::BaseHref("<head><base href=\"https://mail.google.com/mail/\"><base href=\"x\">"),
            "https://mail.google.com/mail/");
  EXPECT_EQ(dtl::BaseHref("<base href='single'>"), "");
  EXPECT_EQ(dtl::BaseHref("<base href=\"unterminated"), "");
}

TEST(WithoutDocEnding, RemovesTheSendersEndingOnly) {
  struct Case { const char* in; const char* out; };
  for (const Case& c : {Case{"movie.avi.001.doc", "movie.avi.001"}, Case{"movie.avi.dtl.doc", "movie.avi.dtl"},
                        Case{"report.doc", "report"}, Case{"report.docx.001.doc", "report.docx.001"},
                        Case{"x.doc.dtl.doc", "x.doc.dtl"}, Case{"twice.001.doc.doc", "twice.001"},
                        Case{".doc", ""}, Case{"notes.txt", "notes.txt"}}) {
    EXPECT_EQ(dtl::WithoutDocEnding(c.in), c.out) << c.in;
  }
}

}  // namespace
