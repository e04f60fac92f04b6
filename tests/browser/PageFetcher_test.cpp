// The page fetcher and the shared cookie jar against the provider fixture (plain and TLS).
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "browser/CookieJar.h"
#include "browser/PageFetcher.h"
#include "fixtures/provider_server.h"
#include "support/LoopbackPeer.h"
#include "support/TestSupport.h"

namespace {

using dtl::CookieJar;
using dtl::PageFetcher;
using dtltest::ProviderServer;
using namespace std::string_literals;

// The fixture serves the files of its folder as attachments; Omnilect's download page takes
// the file's position (from 1) in name order.
std::string FileUrl(int position) {
  return "http://mail.omnilect.com/src/download.php?passed_id=" + std::to_string(position);
}
const std::string kZeroFile = "abc\0def"s;  // a.bin, position 1
const std::string kHeadersUrl = "http://mail.yahoo.com/__fixture/headers";

class PageFetcherTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    pki_ = new dtltest::ProviderPki;
    folder_ = new dtltest::TempDir;
    dtltest::WriteFileText(*folder_ / "a.bin", kZeroFile);
    // One byte over the cap; zeros, so its gzip form is small.
    dtltest::WriteFileBytes(*folder_ / "b.bin", std::vector<uint8_t>(dtl::kMaxPageBody + 1, 0));
  }
  static void TearDownTestSuite() {
    delete folder_;
    delete pki_;
  }
  std::unique_ptr<ProviderServer> Start(std::vector<std::string> args = {},
                                        const std::string& cert = "server") {
    EXPECT_TRUE(pki_->ok()) << pki_->output();
    auto s = std::make_unique<ProviderServer>(folder_->path(), args, pki_, cert);
    EXPECT_TRUE(s->running()) << s->error();
    return s;
  }

  static dtltest::ProviderPki* pki_;
  static dtltest::TempDir* folder_;
  CookieJar jar_;
};
dtltest::ProviderPki* PageFetcherTest::pki_ = nullptr;
dtltest::TempDir* PageFetcherTest::folder_ = nullptr;

// A zero byte ends the text while the length counts every byte; a request that fails in any
// way keeps the body of the last one that worked.
TEST_F(PageFetcherTest, ZeroByteEndsTheTextAndAFailedRequestKeepsThePreviousBody) {
  auto server = Start();
  PageFetcher f(jar_, server->Endpoints());
  auto text = f.Fetch(FileUrl(1));
  ASSERT_TRUE(text) << text.error().message;
  EXPECT_EQ(*text, "abc");
  EXPECT_EQ(f.BodyLength(), 7u);
  EXPECT_EQ(f.RawBody(), kZeroFile);
  EXPECT_EQ(f.LastStatus(), 200);
  server->AddFault("drop", "passed_id=1");
  // `error` is libcurl's code in Error::system (0 for no URL, which never reaches libcurl).
  struct Case {
    const char* what;
    std::string url;
    long error;
    bool headersFail;
  };
  for (const Case& c :
       {Case{"no URL", "", 0, true},
        Case{"connection broken off mid-body", FileUrl(1), CURLE_PARTIAL_FILE, false},
        Case{"nobody listening", "http://127.0.0.1:1/", CURLE_COULDNT_CONNECT, true},
        Case{"body over the cap", FileUrl(2), CURLE_FILESIZE_EXCEEDED, false},
        Case{"not http", "file:///etc/passwd", CURLE_UNSUPPORTED_PROTOCOL, true}}) {
    const auto failed = f.Fetch(c.url);
    ASSERT_FALSE(failed) << c.what;
    EXPECT_EQ(failed.error().system, c.error) << c.what;
    EXPECT_FALSE(failed.error().message.empty()) << c.what;
    if (c.error == 0) {
      EXPECT_EQ(failed.error().code, dtl::ErrorCode::InvalidArgument) << c.what;
    }
    EXPECT_EQ(f.RawBody(), kZeroFile) << c.what;
    // A headers request reads no body, so only the request itself can fail it.
    EXPECT_EQ(f.FetchHeaders(c.url).ok(), !c.headersFail) << c.what;
    EXPECT_EQ(f.RawBody(), kZeroFile) << c.what;
  }
}

// The cap counts decoded bytes: 64 MiB of zeros arrive gzipped as a few dozen KiB.
TEST_F(PageFetcherTest, GzipAndXGzipPagesArriveDecodedAndTheCapCountsDecodedBytes) {
  for (const char* encoding : {"gzip", "x-gzip"}) {
    auto server = Start({"--encoding", encoding});
    PageFetcher f(jar_, server->Endpoints());
    auto text = f.Fetch("http://mail.lycos.com/lycos/mail/MailList.lycos?FOLDER=Inbox");
    ASSERT_TRUE(text) << encoding;
    EXPECT_NE(text->find("ViewMail.lycos?MSGID=1&"), std::string::npos) << encoding;
    EXPECT_TRUE(f.Fetch(FileUrl(1)));
    EXPECT_EQ(f.RawBody(), kZeroFile) << encoding;
    const auto capped = f.Fetch(FileUrl(2));
    ASSERT_FALSE(capped) << encoding;
    EXPECT_EQ(capped.error().system, CURLE_FILESIZE_EXCEEDED) << encoding;
  }
}

TEST_F(PageFetcherTest, HeadersComeRawWithCrLfLinesAndACap) {
  auto server = Start({"--cookie", "SID=42"});
  PageFetcher f(jar_, server->Endpoints());
  // The stored cookie opens the session for a headers request too.
  ASSERT_TRUE(jar_.Store(FileUrl(1), "SID=42"));
  auto block = f.FetchHeaders(FileUrl(1));
  ASSERT_TRUE(block) << block.error().message;
  const std::string h(*block);
  EXPECT_EQ(h.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << h;
  EXPECT_NE(h.find("\r\nContent-Disposition: attachment; filename=\"a.bin\"\r\n"),
            std::string::npos)
      << h;
  ASSERT_GE(h.size(), 4u);
  EXPECT_EQ(h.substr(h.size() - 4), "\r\n\r\n");
  for (size_t at = h.find('\n'); at != std::string::npos; at = h.find('\n', at + 1))
    EXPECT_EQ(h[at - 1], '\r') << "bare line feed at " << at;
  EXPECT_EQ(f.BodyLength(), 0u) << "a headers request reads no body";
  // A header block is capped too.
  const std::string flood = "http://mail.yahoo.com/__fixture/bigheaders?lines=";
  EXPECT_TRUE(f.FetchHeaders(flood + "100"));
  const auto flooded = f.FetchHeaders(flood + "280");
  ASSERT_FALSE(flooded);
  EXPECT_EQ(flooded.error().system, CURLE_FILESIZE_EXCEEDED);
  EXPECT_FALSE(f.Fetch(flood + "280"));
}

// (The download engine's own handle joins the same jar: dtl fetch's downloads from a fixture that
// demands the session cookie prove it.)
TEST_F(PageFetcherTest, StoredCookiesRideOnEveryLaterRequestToThatSiteFromAnyFetcherOnAnyThread) {
  auto server = Start();
  PageFetcher crawler(jar_, server->Endpoints());
  PageFetcher banner(jar_, server->Endpoints());
  // The request headers a fetcher sends, as the fixture echoes them.
  const auto sent = [](PageFetcher& f, const std::string& url = kHeadersUrl,
                       const char* cookie = nullptr) {
    if (cookie) {
      EXPECT_TRUE(f.Jar().Store(url, cookie));
    }
    auto text = f.Fetch(url);
    return text ? std::string(*text) : "(failed)";
  };
  ASSERT_TRUE(crawler.Jar().Store("http://mail.yahoo.com/ym/ShowFolder?rb=Inbox",
                                  " SID=1 ; lang=en;bad\tname=x"));
  ASSERT_TRUE(crawler.Fetch("http://mail.yahoo.com/ym/ShowFolder?rb=Inbox"));
  std::string seen = sent(banner);
  EXPECT_NE(seen.find("User-Agent: Mozilla/4.0 (compatible; MSIE 5.5; Windows NT 5.0)\n"),
            std::string::npos)
      << seen;
  EXPECT_NE(seen.find("Cookie: "), std::string::npos) << seen;
  EXPECT_NE(seen.find("SID=1"), std::string::npos) << seen;
  EXPECT_NE(seen.find("lang=en"), std::string::npos) << seen;
  EXPECT_EQ(seen.find("\tname"), std::string::npos) << "control characters are never stored";
  // An empty cookie string stores nothing; a later string replaces a cookie of the same name.
  EXPECT_NE(sent(banner, kHeadersUrl, "").find("SID=1"), std::string::npos);
  sent(crawler, kHeadersUrl, "SID=2");
  seen = sent(banner);
  EXPECT_NE(seen.find("SID=2"), std::string::npos) << seen;
  EXPECT_EQ(seen.find("SID=1"), std::string::npos) << seen;
  // Another site, or another jar, sees none of them.
  EXPECT_EQ(sent(banner, "http://mail.walla.com/__fixture/headers").find("SID="),
            std::string::npos);
  CookieJar other;
  PageFetcher stranger(other, server->Endpoints());
  seen = sent(stranger);
  EXPECT_TRUE(seen.find("SID=") == std::string::npos &&
              seen.find("User-Agent") != std::string::npos)
      << seen;
  // The crawler and the download run on threads of their own over the one jar.
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t)
    threads.emplace_back([&, t] {
      PageFetcher f(jar_, server->Endpoints());
      for (int i = 0; i < 10; ++i)
        sent(f, kHeadersUrl, ("T" + std::to_string(t) + "=" + std::to_string(i)).c_str());
    });
  for (auto& t : threads) t.join();
  seen = sent(banner);
  for (const char* cookie : {"T0=9", "T1=9", "T2=9"})
    EXPECT_NE(seen.find(cookie), std::string::npos) << seen;
}

// A stored session rides only on requests to exactly its host, and a session stored for an https
// page never on a plain request; a fetch stores nothing of its own.
TEST_F(PageFetcherTest, StoredSessionsStayOnTheirHostAndOffPlainRequestsWhenSecure) {
  auto server = Start();
  struct Case {
    const char* what;
    const char* storedFor;  // a URL, or a bare host for StoreForHost
    bool secureOnly;        // StoreForHost only
    const char* fetched;
    bool carried;
  };
  for (const Case& c : {
           Case{"https page, plain request", "https://mail.yahoo.com/inbox", false,
                "http://mail.yahoo.com/__fixture/headers", false},
           Case{"https page, https request", "https://mail.yahoo.com/inbox", false,
                "https://mail.yahoo.com/__fixture/headers", true},
           Case{"http page, http request", "http://mail.yahoo.com/inbox", false,
                "http://mail.yahoo.com/__fixture/headers", true},
           Case{"http page, https request", "http://mail.yahoo.com/inbox", false,
                "https://mail.yahoo.com/__fixture/headers", true},
           Case{"another host of the same domain", "http://mail.walla.com/", false,
                "http://attach.walla.com/__fixture/headers", false},
           Case{"a host given as a domain stays host-only", ".walla.com", false,
                "http://mail.walla.com/__fixture/headers", false},
           Case{"host, secure-only, plain request", "Mail.Walla.com", true,
                "http://mail.walla.com/__fixture/headers", false},
           Case{"host, secure-only, https request", "Mail.Walla.com", true,
                "https://mail.walla.com/__fixture/headers", true},
       }) {
    SCOPED_TRACE(c.what);
    CookieJar jar;
    const std::string_view stored = c.storedFor;
    ASSERT_TRUE(stored.find("://") != std::string_view::npos
                    ? jar.Store(stored, "SID=77")
                    : jar.StoreForHost(stored, "SID=77", c.secureOnly));
    PageFetcher f(jar, server->Endpoints());
    auto text = f.Fetch(c.fetched);
    ASSERT_TRUE(text) << text.error().message;
    EXPECT_EQ(std::string(*text).find("SID=77") != std::string::npos, c.carried) << *text;
    EXPECT_EQ(jar.List().size(), 1u) << "the fetch stored nothing for its own URL";
  }
}

TEST(CookieJar, StoreNeedsAHost) {
  CookieJar jar;
  const dtl::Status refused = jar.Store("not a url", "a=1");
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().code, dtl::ErrorCode::InvalidArgument);
  EXPECT_TRUE(jar.Store("http://Mail.Example.test:8080/x?y", "a=1; =nameless; novalue").ok());
  const auto list = jar.List();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0], "mail.example.test\tFALSE\t/\tFALSE\t0\ta\t1");
  EXPECT_FALSE(jar.StoreForHost(" . ", "a=1", false));
  // An https page's cookies are secure-only.
  EXPECT_TRUE(jar.Store("HTTPS://secure.example.test/", "b=2").ok());
  const auto both = jar.List();
  EXPECT_EQ(both.size(), 2u);
  EXPECT_NE(std::find(both.begin(), both.end(), "secure.example.test\tFALSE\t/\tTRUE\t0\tb\t2"),
            both.end());
}

TEST_F(PageFetcherTest, PostSendsTheFormAsUrlEncoded) {
  auto server = Start();
  PageFetcher f(jar_, server->Endpoints());
  const std::string data = "user=a&pass=b\0tail"s;
  struct Case {
    long length;
    const char* sent;
  };
  // -1: the text up to the zero byte; a length: that many bytes, never more than there are.
  for (const Case& c :
       {Case{-1, "posted 13 bytes as application/x-www-form-urlencoded: user=a&pass=b<"},
        Case{6, "posted 6 bytes as application/x-www-form-urlencoded: user=a<"},
        Case{1000, "posted 18 bytes as application/x-www-form-urlencoded: user=a&pass=b"}}) {
    auto text = f.Fetch("http://mail.hriders.com:8080/login.cgi", true, data, c.length);
    ASSERT_TRUE(text) << text.error().message;
    // The echo ends with "</html>", so "<" marks where the form ended.
    EXPECT_NE(text->find(c.sent), std::string::npos) << c.length << ": " << *text;
  }
  // The scheme decides plain or TLS: a plain server on a port other than 80 takes a POST too.
  EXPECT_EQ(f.LastStatus(), 200);
}

TEST_F(PageFetcherTest, CertificatesAreVerifiedForGetAndPost) {
  auto good = Start();
  auto wrongName = Start({}, "wrong");
  struct Case {
    const char* what;
    const ProviderServer* server;
    bool trustCa;
    bool ok;
  };
  for (const Case& c : {Case{"right name, trusted CA", good.get(), true, true},
                        Case{"certificate for another name", wrongName.get(), true, false},
                        Case{"CA not trusted", good.get(), false, false}}) {
    for (bool post : {false, true}) {
      dtl::NetworkEndpoints ep = c.server->Endpoints();
      if (!c.trustCa) ep.caFile.clear();
      CookieJar jar;
      PageFetcher f(jar, ep);
      auto text = f.Fetch("https://mail.google.com/mail/?ui=html&zy=f", post, "a=1");
      EXPECT_EQ(text.ok(), c.ok) << c.what << (post ? " (POST)" : " (GET)")
                                 << (text ? "" : " error " + text.error().message);
      if (!c.ok && !text) {
        EXPECT_EQ(text.error().system, CURLE_PEER_FAILED_VERIFICATION) << c.what;
        EXPECT_EQ(text.error().code, dtl::ErrorCode::Tls) << c.what;
      }
    }
  }
}

// A page that trickles is cut off in bounded time: under the low-speed rate for its span, or at
// the overall cap when it keeps just above that rate; a page within both arrives. The limits
// are shortened to a second or two (the defaults are 100 bytes/s over 30 s, 120 s in all).
TEST(PageFetcherLimits, ATricklingPageFailsAtTheRateOrTheOverallCap) {
  using Clock = std::chrono::steady_clock;
  using std::chrono::milliseconds;
  struct Case {
    const char* name;
    dtl::PageLimits limits;
    std::string body;
    milliseconds gap;  // between the body's bytes
    bool ok;
    milliseconds atLeast, below;  // how long the fetch takes
  } cases[] = {
      {"two_bytes_a_second_is_under_the_rate",
       {100, std::chrono::seconds(1), milliseconds(20000)},
       std::string(100, 'a'),
       milliseconds(500),
       false,
       milliseconds(900),
       milliseconds(4000)},
      {"a_steady_trickle_above_the_rate_meets_the_cap",
       {1, std::chrono::seconds(1), milliseconds(1500)},
       std::string(400, 'b'),
       milliseconds(20),
       false,
       milliseconds(1400),
       milliseconds(4000)},
      {"a_page_within_both_arrives",
       {1, std::chrono::seconds(1), milliseconds(5000)},
       std::string(20, 'c'),
       milliseconds(20),
       true,
       milliseconds(0),
       milliseconds(4000)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    dtltest::LoopbackPeer peer([&](int fd) {
      std::string buf;
      if (!dtltest::ReadUntil(fd, buf, "\r\n\r\n")) return false;
      const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                               std::to_string(c.body.size()) + "\r\n\r\n";
      if (dtltest::SendAll(fd, head)) dtltest::SendTrickled(fd, c.body, c.gap);
      return false;
    });
    CookieJar jar;
    PageFetcher f(jar, {}, c.limits);
    const auto start = Clock::now();
    const auto page = f.Fetch("http://" + peer.HostPort() + "/inbox");
    const auto took = Clock::now() - start;
    peer.Join();
    EXPECT_EQ(page.ok(), c.ok) << (page ? "" : page.error().message);
    if (page) {
      EXPECT_EQ(*page, c.body);
    } else {
      EXPECT_EQ(page.error().code, dtl::ErrorCode::Timeout);
      EXPECT_EQ(page.error().system, CURLE_OPERATION_TIMEDOUT);
    }
    EXPECT_GE(took, c.atLeast);
    EXPECT_LT(took, c.below);
  }
}

}  // namespace
