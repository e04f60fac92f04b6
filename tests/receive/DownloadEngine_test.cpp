// The download engine against a scripted HTTP server on loopback: every answer is written here
// byte for byte (plain, gzip and x-gzip bodies, cut bodies, error statuses, dropped
// connections, provider pages), so each retry rule and each replace mode can be pinned down.
#include "receive/DownloadEngine.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <mutex>
#include <stop_token>
#include <thread>

#include "archive/MergeJob.h"
#include "archive/OfflineSplit.h"
#include "archive/SegmentBounds.h"
#include "archive/SegmentRecovery.h"
#include "base/RetryBackoff.h"
#include "receive/ReceivedFiles.h"
#include "support/LoopbackPeer.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using dtl::DownloadEngine;
using dtl::DownloadItem;
using dtl::ReplaceMode;
using Outcome = DownloadEngine::Outcome;
using std::chrono::milliseconds;
using std::chrono::seconds;

std::string Str(const Bytes& b) { return std::string(b.begin(), b.end()); }

// gzip's own output, so the engine's decoder never reads only what this project wrote.
std::string GzipOf(const std::string& data) {
  return dtltest::RunCommand("gzip -c -6", data).output;
}

std::string Answer(const std::string& body, const std::string& extraHeaders = "",
                   int status = 200) {
  return "HTTP/1.0 " + std::to_string(status) +
         " X\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extraHeaders + "\r\n" +
         body;
}
std::string GzipAnswer(const std::string& data, const char* encoding = "gzip") {
  return Answer(GzipOf(data), std::string("Content-Encoding: ") + encoding + "\r\n");
}

// One HTTP/1.0 exchange per connection. Each path answers from its queue of scripted replies;
// the last reply of a queue repeats. The reply bytes are sent as they are and the connection
// is closed, so a reply may be cut anywhere.
class ScriptedServer {
 public:
  std::string Host() const { return peer_.HostPort(); }
  std::string Url(const std::string& path) const { return "http://" + Host() + path; }
  void Script(const std::string& path, std::vector<std::string> replies) {
    std::lock_guard<std::mutex> l(mu_);
    script_[path] = std::deque<std::string>(replies.begin(), replies.end());
  }
  // Requests for `path` without `header` in their head get `refusal` instead of the script,
  // as a server that wants a login answers.
  void Guard(const std::string& path, const std::string& header, const std::string& refusal) {
    std::lock_guard<std::mutex> l(mu_);
    guards_[path] = {header, refusal};
  }
  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> l(mu_);
    return requests_;
  }
  int Hits(const std::string& path) {
    int n = 0;
    for (const auto& r : Requests())
      if (r.rfind("GET " + path + " ", 0) == 0 || r.rfind("GET " + path + "?", 0) == 0) ++n;
    return n;
  }

 private:
  bool Serve(int c) {
    std::string buf;
    std::string head = dtltest::ReadUntil(c, buf, "\r\n\r\n").value_or(buf) + "\r\n\r\n";
    std::string target = head.substr(4, head.find(' ', 4) - 4);
    std::string reply = "HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n";
    {
      std::lock_guard<std::mutex> l(mu_);
      requests_.push_back(head);
      const std::string path = target.substr(0, target.find('?'));
      auto it = script_.find(path);
      auto guard = guards_.find(path);
      if (guard != guards_.end() && head.find(guard->second.first) == std::string::npos) {
        reply = guard->second.second;
      } else if (it != script_.end() && !it->second.empty()) {
        reply = it->second.front();
        if (it->second.size() > 1) it->second.pop_front();
      }
    }
    dtltest::SendAll(c, reply);
    shutdown(c, SHUT_WR);
    while (dtltest::ReadUntil(c, buf, "\n")) {
    }
    return true;
  }
  std::mutex mu_;
  std::map<std::string, std::deque<std::string>> script_;
  std::map<std::string, std::pair<std::string, std::string>> guards_;
  std::vector<std::string> requests_;
  dtltest::LoopbackPeer peer_{[this](int c) { return Serve(c); }};
};

struct Recorder : dtl::DownloadObserver {
  std::vector<std::string> done, failures, asked, messages, displays, retries;
  std::deque<ReplaceMode> answers;  // ConfirmReplace answers in turn (then Overwrite)
  int steps = 0, providerPages = 0;
  std::function<void()> onBytes, onAsk;
  std::optional<dtl::HttpCredentials> credentials;
  std::vector<long> authStatuses;
  std::stop_source* runaway = nullptr;
  std::function<void()> onFailure;

  void OnOverallStep() override { ++steps; }
  void OnBytes(uint64_t, uint64_t, int64_t) override {
    if (onBytes) onBytes();
  }
  void OnDisplay(const dtl::DownloadDisplay& d) override {
    displays.push_back(d.rate + "|" + d.fileBytes);
  }
  void OnItemDone(const std::string& key) override { done.push_back(key); }
  void OnAttemptFailed(size_t, const std::string& reason) override {
    failures.push_back(reason);
    // A script gone wrong would otherwise retry for ever.
    if (failures.size() > 200 && runaway) runaway->request_stop();
    if (onFailure) onFailure();
  }
  void OnRetryWait(size_t, const std::string& reason, milliseconds wait) override {
    retries.push_back(dtl::RetryStatus(reason, wait));
  }
  void OnProviderPage() override { ++providerPages; }
  ReplaceMode ConfirmReplace(const std::string& name) override {
    asked.push_back(name);
    if (onAsk) onAsk();
    if (answers.empty()) return ReplaceMode::Overwrite;
    ReplaceMode m = answers.front();
    answers.pop_front();
    return m;
  }
  std::optional<dtl::HttpCredentials> OnAuthenticationRequired(long status,
                                                               const std::string&) override {
    authStatuses.push_back(status);
    // An engine that asks again after every refusal would otherwise never end.
    if (authStatuses.size() > 20 && runaway) runaway->request_stop();
    return credentials;
  }
  void OnMessage(const std::string& t) override { messages.push_back(t); }
};

struct Fixture : ::testing::Test {
  ScriptedServer server;
  dtltest::TempDir dir;
  Recorder rec;
  std::stop_source stop;
  std::vector<milliseconds> waits;

  DownloadEngine::Params Params(std::vector<DownloadItem> items, int provider = 0) {
    DownloadEngine::Params p;
    p.folder = dir.path();
    p.host = server.Host();
    p.providerId = provider;
    p.items = std::move(items);
    p.wait = [this](milliseconds ms, std::stop_token) {
      waits.push_back(ms);
      return true;
    };
    p.random = [] { return 4u; };
    return p;
  }
  DownloadEngine::Summary Run(const DownloadEngine::Params& p) {
    rec.runaway = &stop;
    return DownloadEngine::Run(p, rec, stop.get_token());
  }
  DownloadItem Item(const std::string& name, const std::string& path) {
    return {name, server.Url(path)};
  }
  std::string Read(const std::string& name) { return dtltest::ReadFileText(dir / name); }
};

std::string Data(size_t n, uint32_t seed) { return Str(dtltest::RandomBytes(n, seed, true)); }

// Plain and x-gzip (any case) bodies are stored decoded, in order, each reported to the manager;
// the request asks for the encodings the engine can decode.
TEST_F(Fixture, StoresPlainAndGzipBodiesAndAsksForThem) {
  const std::string data = Data(300000, 11);
  server.Script("/p", {Answer("plain body")});
  server.Script("/x", {GzipAnswer(data, "X-GZIP")});
  auto p = Params({Item("m.dtl", "/p"), Item("m.001", "/x")});
  DownloadEngine::Summary r = Run(p);
  EXPECT_EQ(r.outcome, Outcome::Completed);
  EXPECT_EQ(Read("m.dtl"), "plain body");
  EXPECT_EQ(Read("m.001"), data);
  EXPECT_EQ(r.descriptors, std::vector<fs::path>{dir / "m.dtl"});
  EXPECT_EQ(rec.done, (std::vector<std::string>{p.items[0].key, p.items[1].key}));
  EXPECT_EQ(rec.steps, 2);
  std::string req = server.Requests().at(0);
  EXPECT_NE(req.find("\r\nAccept-Encoding: gzip, x-gzip, identity, *;q=0\r\n"), std::string::npos)
      << req;
  EXPECT_NE(req.find("\r\nUser-Agent: Mozilla/4.0 (compatible; MSIE 5.5; Windows NT 5.0)\r\n"),
            std::string::npos);
}

// Each failure is retried on the same item until the server answers properly; nothing of a
// failed attempt is reported or kept.
TEST_F(Fixture, FailedAttemptsAreRetriedUntilTheItemArrives) {
  const std::string data = Data(150000, 3), gz = GzipOf(data),
                    head = "HTTP/1.0 200 OK\r\nContent-Encoding: gzip\r\n\r\n";
  const std::pair<const char*, std::string> cases[] = {
      {"truncated_gzip_body", head + gz.substr(0, gz.size() / 2)},
      {"gzip_body_without_trailer", head + gz.substr(0, gz.size() - 8)},
      {"status_404", Answer("", "", 404)},
      {"dropped_connection", Answer(data).substr(0, 70000)},
      {"reserved_gzip_flag", head + gz.substr(0, 3) + '\x20' + gz.substr(4)},
      {"empty_gzip_body", Answer("", "Content-Encoding: gzip\r\n")},
  };
  for (const auto& [name, firstReply] : cases) {
    SCOPED_TRACE(name);
    std::string path = std::string("/") + name;
    server.Script(path, {firstReply, GzipAnswer(data)});
    rec = Recorder();
    DownloadEngine::Summary r = Run(Params({Item(std::string(name) + ".001", path)}));
    EXPECT_EQ(r.outcome, Outcome::Completed);
    EXPECT_EQ(r.attemptsFailed, 1u);
    EXPECT_EQ(server.Hits(path), 2);
    EXPECT_EQ(Read(std::string(name) + ".001"), data);
    EXPECT_EQ(rec.done.size(), 1u);
    EXPECT_EQ(rec.steps, 1);
    EXPECT_TRUE(waits.empty()) << "the first retry goes at once";
  }
}

// Nothing this program downloads is larger than one segment archive: an answer beyond that,
// as sent or once its gzip is inflated (512 MiB of zeros in about half a megabyte), fails the
// attempt before more than the bound reaches the disk.
TEST_F(Fixture, AnAnswerLargerThanAnySegmentFailsTheAttempt) {
  const uint64_t bound = dtl::kLargestSegmentArchive;
  const std::string data = Data(150000, 9);
  const std::string bomb = dtltest::RunCommand("head -c 536870912 /dev/zero | gzip -c -9").output;
  ASSERT_LT(bomb.size(), 600u * 1024);
  uint64_t largestFile = 0;
  rec.onBytes = [&] {
    std::error_code ec;
    largestFile = std::max<uint64_t>(largestFile, fs::file_size(dir / "big.001", ec));
  };
  server.Script("/big",
                {Answer(std::string(bound + 1, 'r')),
                 "HTTP/1.0 200 OK\r\nContent-Encoding: gzip\r\n\r\n" + bomb, GzipAnswer(data)});
  DownloadEngine::Summary r = Run(Params({Item("big.001", "/big")}));
  EXPECT_EQ(r.outcome, Outcome::Completed);
  EXPECT_EQ(rec.failures,
            (std::vector<std::string>{"the answer is larger than any segment",
                                      "the gzip body decodes to more than any segment"}));
  EXPECT_LE(largestFile, bound);
  EXPECT_EQ(Read("big.001"), data);
}

// A dead link is fetched again and again; only the stop flag ends it, and the partial file
// of the item in progress goes with it.
TEST_F(Fixture, StopDuringATransferRemovesThePartFileAndKeepsFinishedOnes) {
  server.Script("/a", {Answer("first")});
  std::vector<std::string> replies(25, Answer("", "", 503));
  replies.push_back(Answer(Data(2000000, 5)));
  server.Script("/b", replies);
  rec.onBytes = [&] {
    if (rec.failures.size() == 25) stop.request_stop();
  };
  auto p = Params({Item("f.dtl", "/a"), Item("f.001", "/b")});
  p.autoMerge = true;
  DownloadEngine::Summary r = Run(p);
  EXPECT_EQ(r.outcome, Outcome::Stopped);
  EXPECT_EQ(Read("f.dtl"), "first");
  EXPECT_FALSE(fs::exists(dir / "f.001"));
  EXPECT_FALSE(r.merged);
  EXPECT_EQ(rec.done.size(), 1u);
  EXPECT_EQ(r.attemptsFailed, 25u);
}

// Provider pages in place of the attachment: discarded, 3 s pause, fetched again. Walla's page
// also tells the manager to have the user log in again.
TEST_F(Fixture, ProviderPageIsDiscardedAndFetchedAgainAfterThePause) {
  const std::string data = Data(50000, 9);
  const std::tuple<int, const char*, int> cases[] = {
      {1, "<a href=\"http://login.yahoo.com/\">sign in</a>", 0},
      {2, "<form action=\"http://login.walla.com/\">", 1}};
  for (const auto& [provider, page, loginPrompts] : cases) {
    SCOPED_TRACE(provider);
    rec = Recorder();
    waits.clear();
    std::string path = provider == 1 ? "/ym/ShowLetter/" : "/walla";
    server.Script(path, {GzipAnswer(std::string(5000, ' ') + page), GzipAnswer(data)});
    DownloadEngine::Summary r =
        Run(Params({{"w.001", provider == 1 ? "AB12345" : server.Url(path)}}, provider));
    EXPECT_EQ(r.outcome, Outcome::Completed);
    EXPECT_EQ(waits, std::vector<milliseconds>{milliseconds(3000)});
    EXPECT_EQ(rec.providerPages, loginPrompts);
    EXPECT_EQ(Read("w.001"), data);
  }
  // Yahoo's key is wrapped into its attachment URL with five random digits.
  std::string first = server.Requests().at(0);
  EXPECT_EQ(
      first.substr(0, first.find(' ', 4)),
      "GET /ym/ShowLetter/?box=Inbox&MsgId=AB12345&bodyPart=2&filename=&tnef=&download=1&YY=44444"
      "&order=down&sort=date&pos=0&view=a&head=b");
}

// A 401 (server) or 407 (proxy) is answered only with credentials, which libcurl sends after
// learning the scheme. Without them, or when the server turns them down, the run ends with a
// message naming the URL and the status: fetching again could only be refused again.
TEST_F(Fixture, AuthenticationRequestsAreAnsweredOnlyWithCredentials) {
  const std::string denied = Answer("denied", "WWW-Authenticate: Basic realm=\"x\"\r\n", 401);
  const std::string proxyDenied =
      Answer("denied", "Proxy-Authenticate: Basic realm=\"p\"\r\n", 407);
  const dtl::HttpCredentials login{"user", "secret"};
  ScriptedServer proxy;  // answers absolute-form requests as a proxy does
  struct Case {
    const char* name;
    bool viaProxy;
    std::optional<dtl::HttpCredentials> credentials;
    std::vector<std::string> replies;
    Outcome outcome;
    const char* message;  // after "URL: "
    int requests;
    const char* lastRequestHolds;
  } cases[] = {
      {"server_without_credentials_fails_after_one_request",
       false,
       std::nullopt,
       {denied, Answer("never fetched")},
       Outcome::LoginFailed,
       "the server asks for a login (401)",
       1,
       ""},
      {"server_login_is_sent_after_the_scheme_is_known",
       false,
       login,
       {denied, denied, Answer("after login")},
       Outcome::Completed,
       "",
       3,
       "\r\nAuthorization: Basic dXNlcjpzZWNyZXQ=\r\n"},
      {"refused_server_login_fails_without_asking_again",
       false,
       login,
       {denied},
       Outcome::LoginFailed,
       "the server refused the login (401)",
       3,
       "\r\nAuthorization: Basic"},
      {"proxy_without_credentials_fails_after_one_request",
       true,
       std::nullopt,
       {proxyDenied, Answer("never fetched")},
       Outcome::LoginFailed,
       "the proxy asks for a login (407)",
       1,
       ""},
      {"proxy_login_is_sent_after_the_scheme_is_known",
       true,
       login,
       {proxyDenied, proxyDenied, Answer("after login")},
       Outcome::Completed,
       "",
       3,
       "\r\nProxy-Authorization: Basic dXNlcjpzZWNyZXQ=\r\n"},
      {"refused_proxy_login_fails_without_asking_again",
       true,
       login,
       {proxyDenied},
       Outcome::LoginFailed,
       "the proxy refused the login (407)",
       3,
       "\r\nProxy-Authorization: Basic"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    rec = Recorder();
    rec.credentials = c.credentials;
    // Through the proxy the request line carries the whole URL, and the script is keyed by it.
    const std::string url = c.viaProxy ? std::string("http://segments.example/") + c.name
                                       : server.Url(std::string("/") + c.name);
    ScriptedServer& peer = c.viaProxy ? proxy : server;
    const std::string key = c.viaProxy ? url : std::string("/") + c.name;
    peer.Script(key, c.replies);
    auto p = Params({{std::string(c.name) + ".001", url}});
    const std::string proxyUrl = "http://" + proxy.Host();
    if (c.viaProxy)
      p.prepareHandle = [&](CURL* h) {
        curl_easy_setopt(h, CURLOPT_PROXY, proxyUrl.c_str());
        curl_easy_setopt(h, CURLOPT_NOPROXY, "");
      };
    DownloadEngine::Summary r = Run(p);
    EXPECT_EQ(r.outcome, c.outcome);
    EXPECT_EQ(rec.authStatuses, std::vector<long>{c.viaProxy ? 407 : 401}) << "asked once";
    EXPECT_EQ(peer.Hits(key), c.requests);
    EXPECT_EQ(r.message, *c.message ? url + ": " + c.message : "");
    EXPECT_EQ(r.attemptsFailed, 0u) << "a login is never retried";
    if (c.outcome == Outcome::Completed)
      EXPECT_EQ(Read(std::string(c.name) + ".001"), "after login");
    else
      EXPECT_FALSE(fs::exists(dir / (std::string(c.name) + ".001"))) << "a refusal is no segment";
    EXPECT_NE(peer.Requests().back().find(c.lastRequestHolds), std::string::npos)
        << peer.Requests().back();
  }
}

// The login given for one server is asked once and used for every item of that server, and it
// never goes to another server: left on the connection, it would reach any host a page names.
TEST_F(Fixture, ALoginIsAskedOncePerServerAndSentOnlyToIt) {
  const std::string denied = Answer("denied", "WWW-Authenticate: Basic realm=\"x\"\r\n", 401);
  ScriptedServer other;
  const std::string login = "\r\nAuthorization: Basic dXNlcjpzZWNyZXQ=\r\n";
  for (const char* path : {"/one", "/two"}) {
    server.Guard(path, login, denied);
    server.Script(path, {Answer(path + 1)});
  }
  other.Script("/three", {Answer("three")});
  rec.credentials = dtl::HttpCredentials{"user", "secret"};
  DownloadEngine::Summary r =
      Run(Params({Item("s.001", "/one"), Item("s.002", "/two"), {"s.003", other.Url("/three")}}));
  EXPECT_EQ(r.outcome, Outcome::Completed);
  EXPECT_EQ(rec.authStatuses, std::vector<long>{401});
  EXPECT_EQ(Read("s.002"), "two");
  ASSERT_EQ(other.Requests().size(), 1u);
  EXPECT_EQ(other.Requests()[0].find("Authorization"), std::string::npos) << other.Requests()[0];
}

// Endless retries are paced: the first at once, then 1 s doubling up to a minute; a saved item
// starts the count again. Each retry is announced with its reason and wait.
TEST_F(Fixture, RetriesWaitLongerEachTimeUpToAMinuteAndStartOverAfterASave) {
  std::vector<std::string> first(9, Answer("", "", 503));
  first.push_back(Answer("a"));
  server.Script("/a", first);
  server.Script("/b", {Answer("", "", 503), Answer("", "", 503), Answer("b")});
  DownloadEngine::Summary r = Run(Params({Item("r.001", "/a"), Item("r.002", "/b")}));
  EXPECT_EQ(r.outcome, Outcome::Completed);
  EXPECT_EQ(r.attemptsFailed, 11u);
  const std::vector<milliseconds> expected = {seconds(1),  seconds(2),  seconds(4),
                                              seconds(8),  seconds(16), seconds(32),
                                              seconds(60), seconds(60), seconds(1)};
  EXPECT_EQ(waits, expected);
  ASSERT_EQ(rec.retries.size(), 11u);
  EXPECT_EQ(rec.retries[0], "HTTP status 503 \u2014 trying again now");
  EXPECT_EQ(rec.retries[3], "HTTP status 503 \u2014 trying again in 4 s");
  EXPECT_EQ(rec.retries[9], "HTTP status 503 \u2014 trying again now") << "after the save";
  EXPECT_EQ(Read("r.002"), "b");
}

// A refused connection is named by the system's words in the retry status.
TEST_F(Fixture, RetryStatusNamesTheRefusedConnectionAndTheWait) {
  dtltest::RefusingPort closed;
  auto p = Params({{"c.001", "http://127.0.0.1:" + std::to_string(closed.port()) + "/c"}});
  p.wait = [this](milliseconds ms, std::stop_token) {
    waits.push_back(ms);
    if (ms < seconds(8)) return true;
    stop.request_stop();
    return false;
  };
  EXPECT_EQ(Run(p).outcome, Outcome::Stopped);
  ASSERT_EQ(rec.retries.size(), 5u);
  EXPECT_EQ(rec.retries.back(), "Connection refused \u2014 trying again in 8 s");
  EXPECT_FALSE(fs::exists(dir / "c.001"));
}

// A stop request ends a long retry wait at once, not when the minute is over.
TEST_F(Fixture, StopEndsALongRetryWaitAtOnce) {
  server.Script("/w", {Answer("", "", 503)});
  auto p = Params({Item("w.001", "/w")});
  std::chrono::steady_clock::time_point longWaitStarted;
  std::jthread stopper;
  p.wait = [&](milliseconds ms, std::stop_token token) {
    waits.push_back(ms);
    if (ms < seconds(60)) return true;
    longWaitStarted = std::chrono::steady_clock::now();
    stopper = std::jthread([this] {
      std::this_thread::sleep_for(milliseconds(100));
      stop.request_stop();
    });
    return dtl::WaitUnlessStopped(ms, token);
  };
  EXPECT_EQ(Run(p).outcome, Outcome::Stopped);
  EXPECT_LT(std::chrono::steady_clock::now() - longWaitStarted, seconds(10));
  EXPECT_EQ(waits.back(), seconds(60));
  EXPECT_EQ(server.Hits("/w"), 8) << "no attempt after the stop";
  EXPECT_FALSE(fs::exists(dir / "w.001"));
}

// The replace modes: answers held for one file ask again at the next existing file; the "All"
// answers hold for the rest of the run; skipped items still count as done.
TEST_F(Fixture, ReplaceModesDecideWhatHappensToExistingFiles) {
  using enum ReplaceMode;
  const std::tuple<const char*, std::vector<ReplaceMode>, size_t, const char*> cases[] = {
      // name, answers, questions asked, per file: N new, O old
      {"overwrite_asks_again", {Overwrite, Overwrite, Overwrite}, 3, "NNN"},
      {"overwrite_all_asks_once", {OverwriteAll}, 1, "NNN"},
      {"skip_asks_again", {Skip, Overwrite, Skip}, 3, "ONO"},
      {"skip_all_asks_once", {SkipAll}, 1, "OOO"},
      {"unanswered_prompt_overwrites", {}, 3, "NNN"},
  };
  for (const auto& [name, answers, asked, contents] : cases) {
    SCOPED_TRACE(name);
    rec = Recorder();
    rec.answers.assign(answers.begin(), answers.end());
    std::vector<DownloadItem> items;
    for (int i = 0; i < 3; ++i) {
      std::string file = std::string(name) + ".00" + std::to_string(i);
      dtltest::WriteFileText(dir / file, "old");
      server.Script("/" + file, {Answer("new")});
      items.push_back(Item(file, "/" + file));
    }
    EXPECT_EQ(Run(Params(items)).outcome, Outcome::Completed);
    EXPECT_EQ(rec.asked.size(), asked);
    for (int i = 0; i < 3; ++i)
      EXPECT_EQ(Read(items[i].fileName), contents[i] == 'N' ? "new" : "old") << i;
    EXPECT_EQ(rec.done.size(), 3u) << "skipped items are reported done";
    EXPECT_EQ(rec.steps, 3);
  }
}

// The pause after a provider page is the engine's own sleep here: a stop request from another
// thread must end it at once rather than after its three seconds.
TEST_F(Fixture, StopEndsThePauseAfterAProviderPageAtOnce) {
  server.Script("/ym/ShowLetter/", {GzipAnswer("<a href=\"http://login.yahoo.com/\">sign in</a>")});
  std::jthread stopper;
  rec.onFailure = [&] { stopper = std::jthread([this] { stop.request_stop(); }); };
  auto p = Params({{"w.001", "AB12345"}}, 1);
  p.wait = nullptr;
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(Run(p).outcome, Outcome::Stopped);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(2500));
  EXPECT_EQ(rec.failures.size(), 1u);
  EXPECT_FALSE(fs::exists(dir / "w.001"));
}

TEST_F(Fixture, StopWhileTheQuestionIsOpenLeavesTheExistingFileAlone) {
  dtltest::WriteFileText(dir / "keep.001", "precious");
  server.Script("/k", {Answer("new")});
  rec.answers = {ReplaceMode::OverwriteAll};
  rec.onAsk = [&] { stop.request_stop(); };
  EXPECT_EQ(Run(Params({Item("keep.001", "/k")})).outcome, Outcome::Stopped);
  EXPECT_EQ(Read("keep.001"), "precious");
  EXPECT_EQ(server.Hits("/k"), 0);
}

// Under Skip All, a failed attempt must not leave a file that the retry then takes for an
// existing one and skips: the item would be reported done with a broken segment.
TEST_F(Fixture, AFailedAttemptIsNeverSkippedAsAnExistingFile) {
  const std::string data = Data(80000, 21);
  dtltest::WriteFileText(dir / "g.001", "old");
  server.Script("/g1", {Answer("new")});
  server.Script("/g2", {Answer(data).substr(0, 30000), Answer(data)});
  rec.answers = {ReplaceMode::SkipAll};
  DownloadEngine::Summary r = Run(Params({Item("g.001", "/g1"), Item("g.002", "/g2")}));
  EXPECT_EQ(r.itemsSkipped, 1u);
  EXPECT_EQ(r.itemsSaved, 1u);
  EXPECT_EQ(Read("g.002"), data);
  EXPECT_EQ(rec.asked.size(), 1u);
}

TEST_F(Fixture, RunEndsAtAnUnusableUrlOrAnUncreatableFile) {
  const std::tuple<const char*, int, std::string, fs::path, Outcome> cases[] = {
      {"provider_without_download_url", 8, "k", dir.path(), Outcome::BadUrl},
      {"local_file_url_from_a_page", 0, "file:///etc/passwd", dir.path(), Outcome::BadUrl},
      {"key_that_is_no_url", 0, "not a url", dir.path(), Outcome::BadUrl},
      {"missing_folder", 0, server.Url("/x"), dir / "missing", Outcome::FileError},
  };
  for (const auto& [name, provider, key, folder, outcome] : cases) {
    SCOPED_TRACE(name);
    rec = Recorder();
    auto p = Params({{"passwd", key}}, provider);
    p.folder = folder;
    p.autoMerge = true;
    DownloadEngine::Summary r = Run(p);
    EXPECT_EQ(r.outcome, outcome);
    EXPECT_FALSE(r.merged);
    EXPECT_FALSE(fs::exists(dir / "passwd"));
  }
  EXPECT_EQ(rec.messages, std::vector<std::string>{"No such file or directory"});
}

// Names from pages stay inside the download folder; an auto merge runs even without descriptors.
TEST_F(Fixture, NamesStayInsideTheFolderAndAutoMergeAlwaysRuns) {
  fs::create_directory(dir / "in");
  server.Script("/n", {Answer("x")});
  struct MergeSeen : dtl::MergeObserver {
    int finished = 0;
    void OnFinished(bool) override { ++finished; }
  } merge;
  auto p = Params({Item("../escape.dtl", "/n")});
  p.folder = dir / "in";
  DownloadEngine::Summary r = Run(p);
  EXPECT_TRUE(fs::exists(dir / "in" / "escape.dtl"));
  EXPECT_FALSE(fs::exists(dir / "escape.dtl"));
  EXPECT_EQ(r.descriptors, std::vector<fs::path>{dir / "in" / "escape.dtl"});

  p = Params({Item("only.001", "/n")});
  p.autoMerge = true;
  p.mergeObserver = &merge;
  r = Run(p);
  EXPECT_TRUE(r.merged);
  EXPECT_TRUE(r.descriptors.empty());
  EXPECT_EQ(merge.finished, 1);
}

// A recovery file holds a block as large as the largest segment and the description of every
// segment besides: it may be larger than a segment, and is bounded all the same.
TEST_F(Fixture, ARecoveryFileMayExceedASegmentButNotTheRecoveryBound) {
  const uint64_t segmentBound = dtl::kLargestSegmentArchive;
  const uint64_t recoveryBound = dtl::LargestAttachment("big.vol00+01.par2");
  const std::string small = Data(3000, 10);
  server.Script("/seg", {Answer(std::string(segmentBound + 1, 's')), Answer(small)});
  server.Script("/rec", {Answer(std::string(segmentBound + 1, 'r'))});
  server.Script("/huge", {Answer(std::string(recoveryBound + 1, 'h')), Answer(small)});
  DownloadEngine::Summary r = Run(Params(
      {Item("big.001", "/seg"), Item("big.vol00+01.par2", "/rec"), Item("big.par2", "/huge")}));
  EXPECT_EQ(r.outcome, Outcome::Completed);
  EXPECT_EQ(rec.failures,
            (std::vector<std::string>{"the answer is larger than any segment",
                                      "the answer is larger than any recovery file"}));
  EXPECT_EQ(fs::file_size(dir / "big.vol00+01.par2"), segmentBound + 1);
  EXPECT_EQ(Read("big.001"), small);
  EXPECT_EQ(Read("big.par2"), small);
}

class QuietSplit : public dtl::OfflineSplitObserver {};

// Segment files as a download saves them ("NAME.dtl", "NAME.001", ...) and recovery files made
// over them at `percent`, in `folder`: the names, segments first.
std::vector<std::string> SegmentsWithRecovery(const fs::path& folder, const std::string& name,
                                              const Bytes& bytes, unsigned percent) {
  fs::create_directories(folder / "split");
  dtltest::WriteFileBytes(folder / name, bytes);
  dtl::OfflineSplitParams p;
  p.source = (folder / name).string();
  p.folder = (folder / "split").string();
  p.segmentSize = 20000;
  p.when = 1700000000;
  QuietSplit quiet;
  auto split = dtl::RunOfflineSplit(p, quiet, {});
  EXPECT_TRUE(split.ok()) << split.status.error().message;
  std::vector<std::string> names = {name + ".dtl"};
  for (uint64_t k = 1; k < split.written; ++k) {
    char num[32];
    std::snprintf(num, sizeof num, ".%03llu", static_cast<unsigned long long>(k));
    names.push_back(name + num);
  }
  for (const std::string& n : names) fs::rename(folder / "split" / (n + ".doc"), folder / n);
  fs::remove(folder / name);
  auto made = dtl::MakeSegmentRecovery(folder, names, name, percent);
  EXPECT_TRUE(made.ok()) << made.error().message;
  if (made.ok()) names.insert(names.end(), made->begin(), made->end());
  return names;
}

// Auto Merge after a download with recovery files: a lost descriptor is handed to the merge as
// a recovery file, which rebuilds it; a lost segment is rebuilt; the results say what was.
TEST_F(Fixture, AutoMergeRepairsLostSegmentsAndALostDescriptorFromDownloadedRecoveryFiles) {
  const Bytes source = dtltest::RandomBytes(70000, 12);
  const fs::path sent = dir / "sent";
  auto names = SegmentsWithRecovery(sent, "r.bin", source, 50);
  ASSERT_EQ(names,
            (std::vector<std::string>{"r.bin.dtl", "r.bin.001", "r.bin.002", "r.bin.003",
                                      "r.bin.par2", "r.bin.vol00+01.par2", "r.bin.vol01+01.par2"}));
  struct Case {
    const char* what;
    std::vector<std::string> lost;
    fs::path handed;  // the merge's descriptor, under the download folder
    std::vector<std::string> repaired;
  } cases[] = {
      {"a segment lost", {"r.bin.002"}, "r.bin.dtl", {"r.bin.002"}},
      {"the descriptor and the index file lost",
       {"r.bin.dtl", "r.bin.par2"},
       "r.bin.vol00+01.par2",
       {"r.bin.dtl"}},
      {"the descriptor and a segment lost",
       {"r.bin.dtl", "r.bin.003"},
       "r.bin.par2",
       {"r.bin.dtl", "r.bin.003"}},
  };
  int run = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path in = dir / ("in" + std::to_string(++run));
    fs::create_directories(in);
    std::vector<DownloadItem> items;
    for (const std::string& n : names) {
      if (std::find(c.lost.begin(), c.lost.end(), n) != c.lost.end()) continue;
      const std::string path = "/" + std::to_string(run) + "/" + n;
      server.Script(path, {Answer(dtltest::ReadFileText(sent / n))});
      items.push_back(Item(n, path));
    }
    struct Repairs : dtl::MergeObserver {
      std::vector<std::string> names;
      void OnRepaired(const std::vector<std::string>& n) override {
        names.insert(names.end(), n.begin(), n.end());
      }
    } repairs;
    auto p = Params(items);
    p.folder = in;
    p.autoMerge = true;
    p.mergeObserver = &repairs;
    p.mergeThreads = 2;
    DownloadEngine::Summary r = Run(p);
    ASSERT_EQ(r.outcome, Outcome::Completed);
    EXPECT_EQ(r.mergeDescriptors, std::vector<fs::path>{in / c.handed});
    ASSERT_EQ(r.mergeResults.size(), 1u);
    EXPECT_EQ(r.mergeResults[0].outcome, dtl::MergeJob::Outcome::Complete);
    EXPECT_EQ(r.mergeResults[0].repaired, c.repaired);
    EXPECT_EQ(repairs.names, c.repaired);
    EXPECT_TRUE(r.mergeComplete);
    EXPECT_EQ(dtltest::ReadFileBytes(in / "r.bin"), source);
  }
}

// Without Auto Merge the run still says what a merge would be handed, for a caller that
// merges by itself.
TEST_F(Fixture, WithoutAutoMergeTheRunStillNamesWhatTheMergeIsHanded) {
  server.Script("/x", {Answer("x")});
  struct Case {
    const char* what;
    std::vector<std::string> items;
    std::vector<std::string> handed;
  } cases[] = {
      {"a descriptor", {"a.bin.001", "a.bin.dtl", "a.bin.vol00+01.par2"}, {"a.bin.dtl"}},
      {"a recovery file for a lost descriptor",
       {"b.bin.001", "b.bin.vol00+01.par2", "b.bin.par2"},
       {"b.bin.par2"}},
      {"neither", {"c.bin.001", "photo.jpg"}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<DownloadItem> items;
    for (const std::string& n : c.items) items.push_back(Item(n, "/x"));
    DownloadEngine::Summary r = Run(Params(items));
    ASSERT_EQ(r.outcome, Outcome::Completed);
    EXPECT_FALSE(r.merged);
    std::vector<fs::path> handed;
    for (const std::string& n : c.handed) handed.push_back(dir / n);
    EXPECT_EQ(r.mergeDescriptors, handed);
    EXPECT_TRUE(r.mergeResults.empty());
  }
}

TEST_F(Fixture, DisplayTextsFollowTheFileClock) {
  server.Script("/t", {Answer(std::string(300000, 'z'))});
  auto start = std::chrono::steady_clock::now();
  int calls = 0;
  auto p = Params({Item("t.001", "/t")});
  // The first reading is the item's start; every later one is two seconds on.
  p.now = [&] { return start + std::chrono::seconds(calls++ == 0 ? 0 : 2); };
  Run(p);
  ASSERT_FALSE(rec.displays.empty());
  EXPECT_EQ(rec.displays.back(), "146.48 KB/s|292.97 KB");
}

// A download that trickles fails its attempt in bounded time, under the rate for its span or at
// the overall cap when it keeps just above the rate, and is retried as any failure is; the
// partial file goes. The limits are shortened to a second or two (the defaults are 2 KiB/s over
// 30 s, 90 minutes in all).
TEST_F(Fixture, ATricklingDownloadFailsItsAttemptAtTheRateOrTheOverallCap) {
  using Clock = std::chrono::steady_clock;
  const struct {
    const char* name;
    dtl::DownloadLimits limits;
    milliseconds gap;  // between the body's bytes
    milliseconds atLeast;
  } cases[] = {
      {"two_bytes_a_second_is_under_the_rate",
       {1024, seconds(1), milliseconds(20000)},
       milliseconds(500),
       milliseconds(900)},
      {"a_steady_trickle_above_the_rate_meets_the_cap",
       {1, seconds(1), milliseconds(1500)},
       milliseconds(20),
       milliseconds(1400)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string body(1000, 'z');
    dtltest::LoopbackPeer peer([&](int fd) {
      std::string buf;
      if (!dtltest::ReadUntil(fd, buf, "\r\n\r\n")) return false;
      if (dtltest::SendAll(fd, "HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\n"))
        dtltest::SendTrickled(fd, body, c.gap);
      return false;
    });
    rec = Recorder();
    stop = std::stop_source();
    rec.onFailure = [this] { stop.request_stop(); };
    auto p = Params({{"slow.001", "http://" + peer.HostPort() + "/slow"}});
    p.limits = c.limits;
    const auto start = Clock::now();
    DownloadEngine::Summary r = Run(p);
    const auto took = Clock::now() - start;
    peer.Join();
    EXPECT_EQ(r.outcome, Outcome::Stopped);
    ASSERT_EQ(rec.failures.size(), 1u);
    EXPECT_EQ(rec.failures[0], "Timeout was reached");
    EXPECT_GE(took, c.atLeast);
    EXPECT_LT(took, seconds(4));
    EXPECT_FALSE(fs::exists(dir / "slow.001"));
  }
}

TEST(DownloadTexts, ByteCountsRatesElapsedTimesAndTheReplaceCountdown) {
  const std::pair<std::string, std::string> cases[] = {
      {dtl::ByteCountText(0), "0.00 KB"},
      {dtl::ByteCountText(1024000), "1000.00 KB"},
      {dtl::ByteCountText(1024001), "0.98 MB"},
      {dtl::ByteCountText(104857600), "100.00 MB"},
      {dtl::RateText(2048, 1), "2.00 KB/s"},
      {dtl::RateText(1536, 3), "0.50 KB/s"},
      {dtl::ElapsedText(0), "00:00:00"},
      {dtl::ElapsedText(86399), "23:59:59"},
      {dtl::ElapsedText(86400 + 3723), "1:01:02:03"},
  };
  for (const auto& [got, want] : cases) EXPECT_EQ(got, want);
  // The replace question overwrites on the 31st tick.
  dtl::ReplaceCountdown c;
  EXPECT_EQ(c.Text(), "Delaying 30 seconds before overwrite.");
  int ticks = 1;
  while (!c.Tick()) ++ticks;
  EXPECT_EQ(ticks, 31);
  EXPECT_EQ(c.Text(), "Delaying 0 seconds before overwrite.");
}

}  // namespace
