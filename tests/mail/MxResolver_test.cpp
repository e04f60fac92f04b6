// The MX resolver against a real DNS server (dnsmasq on loopback) and `dtl mx` on top of it.
#include "mail/MxResolver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "fixtures/dns_server.h"
#include "support/TestSupport.h"

namespace {

using dtl::MxResolver;
using dtltest::DnsServer;
using dtltest::WireMx;

std::vector<std::string> Records() {
  std::vector<std::string> r = {
      // dnsmasq answers a name's records in reverse command-line order: 20 first, then 10.
      "--mx-host=order.test,mx10.order.test,10",
      "--mx-host=order.test,mx20.order.test,20",
      "--mx-host=two.test,second.two.test,5",
      "--mx-host=two.test,first.two.test,5",
      "--mx-host=one.test,only.one.test,1",
      "--host-record=nomx.test,127.0.0.9",
      "--mx-host=nullmx.test,.,0",
      "--host-record=only.one.test,127.0.0.41",
      "--host-record=v6.one.test,::1",
      "--host-record=both.one.test,127.0.0.42,::1",
  };
  // Far more records than fit a plain UDP answer: adns has to go over TCP.
  for (int i = 0; i < 80; ++i)
    r.push_back("--mx-host=many.test,h" + std::to_string(i) + ".many.test,7");
  return r;
}

class MxResolverTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = std::make_unique<DnsServer>(Records()); }
  static void TearDownTestSuite() { server_.reset(); }
  void SetUp() override { ASSERT_TRUE(server_->running()) << server_->error(); }

  static MxResolver Resolver() { return MxResolver(server_->ResolvConf()); }
  static std::vector<std::string> WireHosts(const std::string& name) {
    std::vector<std::string> hosts;
    for (const auto& mx : server_->QueryMx(name).value_or(std::vector<WireMx>{}))
      hosts.push_back(mx.host);
    return hosts;
  }
  static std::unique_ptr<DnsServer> server_;
};
std::unique_ptr<DnsServer> MxResolverTest::server_;

// Puts the host a Resolve handed out into `host` ("" when it failed) and tells whether it did.
bool Got(const dtl::Result<std::string>& resolved, std::string& host) {
  host = resolved ? *resolved : std::string();
  return resolved.ok();
}

TEST_F(MxResolverTest, PreferenceTwentyAnsweredFirstStillGivesTheTenHostFirst) {
  auto wire = server_->QueryMx("order.test");
  ASSERT_TRUE(wire);
  ASSERT_EQ(*wire, (std::vector<WireMx>{{20, "mx20.order.test"}, {10, "mx10.order.test"}}));

  // adns hands the records over in preference order; delivery must not start at the backup.
  MxResolver r = Resolver();
  std::string host;
  ASSERT_TRUE(Got(r.Resolve("someone@order.test", true), host));
  EXPECT_EQ(host, "mx10.order.test");
  EXPECT_EQ(r.Hosts(), (std::vector<std::string>{"mx10.order.test", "mx20.order.test"}));
}

TEST_F(MxResolverTest, CursorMovesOnlyAfterFailuresAndWrapsAround) {
  std::vector<std::string> hosts = WireHosts("two.test");
  ASSERT_EQ(hosts.size(), 2u);
  // The run starts with "last attempt failed" set; then delivered, delivered, failed x4.
  const bool lastFailed[] = {true, false, false, true, true, true};
  const int expectedHost[] = {0, 0, 0, 0, 1, 0};
  MxResolver r = Resolver();
  for (int i = 0; i < 6; ++i) {
    std::string host;
    ASSERT_TRUE(Got(r.Resolve("someone@two.test", lastFailed[i]), host)) << "attempt " << i + 1;
    EXPECT_EQ(host, hosts[expectedHost[i]]) << "attempt " << i + 1;
  }
}

TEST_F(MxResolverTest, AddressFormsNameTheSameDomain) {
  for (const char* address :
       {"someone@one.test", "one.test", "  someone@ one.test \t", "Someone@ONE.Test"}) {
    MxResolver r = Resolver();
    std::string host;
    EXPECT_TRUE(Got(r.Resolve(address, false), host)) << address;
    EXPECT_EQ(host, "only.one.test") << address;
  }
  EXPECT_EQ(dtl::MxDomainOf("a@b@c.test"), "b@c.test");
}

TEST_F(MxResolverTest, NoExchangerMeansNoHost) {
  struct Case {
    const char* address;
    const char* why;
    dtl::ErrorCode code;
  } cases[] = {
      {"someone@nomx.test", "only an address record: never used instead of MX",
       dtl::ErrorCode::NotFound},
      {"someone@missing.test", "NXDOMAIN", dtl::ErrorCode::NotFound},
      {"someone@nullmx.test", "null MX: the domain takes no mail", dtl::ErrorCode::NotFound},
      {"someone@", "empty domain", dtl::ErrorCode::InvalidArgument},
      {"   ", "blank address", dtl::ErrorCode::InvalidArgument},
  };
  for (const auto& c : cases) {
    MxResolver r = Resolver();
    const auto resolved = r.Resolve(c.address, true);
    ASSERT_FALSE(resolved) << c.why;
    EXPECT_EQ(resolved.error().code, c.code) << c.why;
    // `dtl mx` shows the message: there is always a reason to show.
    EXPECT_FALSE(resolved.error().message.empty()) << c.why;
    // A domain already asked about answers with the reason of its look-up.
    const auto again = r.Resolve(c.address, true);
    ASSERT_FALSE(again) << c.why;
    EXPECT_EQ(again.error().message, resolved.error().message) << c.why;
    std::string host = "stale";
    EXPECT_FALSE(Got(r.Resolve(c.address, true), host)) << c.why;
    EXPECT_EQ(host, "") << c.why;
    EXPECT_TRUE(r.Hosts().empty()) << c.why;
  }
}

TEST_F(MxResolverTest, StoredHostsOutliveTheServerForTheRestOfTheRun) {
  DnsServer own({"--mx-host=kept.test,a.kept.test,1", "--mx-host=kept.test,b.kept.test,1"});
  ASSERT_TRUE(own.running()) << own.error();
  MxResolver r(own.ResolvConf());
  std::string first, second;
  ASSERT_TRUE(
      Got(r.Resolve("x@kept.test", true), first));  // then the run goes on without the server
  own.Stop();
  EXPECT_TRUE(Got(r.Resolve("x@kept.test", true), second));
  EXPECT_EQ(second, first);
  EXPECT_TRUE(Got(r.Resolve("x@KEPT.test", true), second));
  EXPECT_NE(second, first);
}

// The resolver keeps asking the same address; the server there is swapped between two calls.
// A failure that says nothing about the domain is looked up again; a definite "no MX" is kept
// for the run even when the server would now answer otherwise.
TEST_F(MxResolverTest, OnlyADefiniteNoMxAnswerIsKeptForTheRun) {
  struct Case {
    const char* why;
    const char* address;
    std::string firstZone;  // the first server refuses names outside its zone (no upstream)
    std::vector<std::string> firstRecords;
    bool lookedUpAgain;
  } cases[] = {
      {"server failure (REFUSED) then an answer", "x@late.test", "other", {}, true},
      {"NXDOMAIN", "x@late.test", "test", {}, false},
      {"the domain exists without MX",
       "x@late.test",
       "test",
       {"--host-record=late.test,127.0.0.9"},
       false},
      {"null MX", "x@late.test", "test", {"--mx-host=late.test,.,0"}, false},
  };
  for (const auto& c : cases) {
    auto first = std::make_unique<DnsServer>(c.firstRecords, c.firstZone);
    ASSERT_TRUE(first->running()) << first->error();
    const std::string address = first->address();
    MxResolver r(first->ResolvConf());
    std::string host;
    ASSERT_FALSE(Got(r.Resolve(c.address, true), host)) << c.why;
    first.reset();
    auto later = DnsServer::At(address, {"--mx-host=late.test,mx.late.test,1"});
    ASSERT_TRUE(later->running()) << later->error();
    EXPECT_EQ(Got(r.Resolve(c.address, true), host), c.lookedUpAgain) << c.why;
    EXPECT_EQ(host, c.lookedUpAgain ? "mx.late.test" : "") << c.why;
  }
}

// The exchanger's address is asked of the configured server too, never of the system: a name
// the hosts file knows ("localhost") but the server does not has no address here.
TEST_F(MxResolverTest, ExchangerAddressesComeFromTheConfiguredServerOnly) {
  const struct Case {
    const char* why;
    std::string host;
    std::vector<std::string> addresses;  // any order; empty: the look-up fails
  } cases[] = {
      {"IPv4 only", "only.one.test", {"127.0.0.41"}},
      {"IPv6 only", "v6.one.test", {"::1"}},
      {"both families", "both.one.test", {"127.0.0.42", "::1"}},
      {"an IPv4 literal is not looked up", "127.0.0.7", {"127.0.0.7"}},
      {"an IPv6 literal is not looked up", "::1", {"::1"}},
      {"a name the server does not know", "gone.one.test", {}},
      {"a name only the system knows", "localhost", {}},
  };
  const MxResolver r = Resolver();
  for (const Case& c : cases) {
    auto got = r.Addresses(c.host);
    if (c.addresses.empty()) {
      ASSERT_FALSE(got) << c.why;
      EXPECT_EQ(got.error().message.rfind("cannot resolve " + c.host + ": ", 0), 0u)
          << c.why << ": " << got.error().message;
      continue;
    }
    ASSERT_TRUE(got) << c.why << ": " << got.error().message;
    std::vector<std::string> sorted = *got, want = c.addresses;
    std::sort(sorted.begin(), sorted.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(sorted, want) << c.why;
  }
  EXPECT_FALSE(MxResolver("nameserver not-an-address\n").Addresses("only.one.test"));
}

TEST_F(MxResolverTest, ChangingOrBlankingTheDomainStartsAfresh) {
  MxResolver r = Resolver();
  std::string host;
  for (int i = 0; i < 4; ++i) (void)r.Resolve("two.test", true);  // cursor left at 1
  ASSERT_TRUE(Got(r.Resolve("x@one.test", true), host));
  EXPECT_EQ(r.Hosts(), std::vector<std::string>{"only.one.test"});
  EXPECT_FALSE(Got(r.Resolve(" ", false), host));
  EXPECT_TRUE(Got(r.Resolve("x@one.test", false), host))
      << "the blank address must not leave one.test hostless";
  EXPECT_EQ(host, "only.one.test");
}

TEST_F(MxResolverTest, HugeAnswerIsCappedInAnswerOrder) {
  std::vector<std::string> wire = WireHosts("many.test");
  ASSERT_EQ(wire.size(), 80u);
  MxResolver r = Resolver();
  std::string host;
  ASSERT_TRUE(Got(r.Resolve("many.test", false), host));
  EXPECT_EQ(r.Hosts(),
            std::vector<std::string>(wire.begin(), wire.begin() + MxResolver::kMaxHosts));
}

TEST_F(MxResolverTest, ResolverConfigurationFileFromEnvironment) {
  dtltest::TempDir dir;
  dtltest::WriteFileText(dir / "resolv.conf", "# test server\n" + server_->ResolvConf());
  dtltest::WriteFileText(dir / "huge.conf", std::string(65 * 1024, '#'));

  ASSERT_EQ(setenv(dtl::kResolvConfEnv, (dir / "resolv.conf").c_str(), 1), 0);
  auto r = dtl::MakeMxResolverFromEnvironment();
  unsetenv(dtl::kResolvConfEnv);
  ASSERT_TRUE(r) << r.error().message;
  ASSERT_NE(*r, nullptr);
  std::string host;
  EXPECT_TRUE(Got((*r)->Resolve("one.test", false), host));

  // A configuration the user named but that cannot be used is an error, never the system's.
  for (const std::string& bad :
       {(dir / "absent.conf").string(), dir.path().string(), (dir / "huge.conf").string()}) {
    const auto made = dtl::MakeMxResolver(bad.c_str());
    ASSERT_FALSE(made) << bad;
    EXPECT_NE(made.error().message.find(bad), std::string::npos) << made.error().message;
  }
  const auto system = dtl::MakeMxResolver("");
  ASSERT_TRUE(system);
  EXPECT_NE(*system, nullptr);
}

TEST_F(MxResolverTest, DtlMxPrintsHostsOrSaysThereAreNone) {
  dtltest::TempDir dir;
  dtltest::WriteFileText(dir / "resolv.conf", server_->ResolvConf());
  const std::string env = "DTL_RESOLV_CONF=" + dtltest::ShellQuote((dir / "resolv.conf").string());
  const std::tuple<std::string, std::string, int, const char*> runs[] = {
      {env, "order.test", 0, "mx10.order.test\nmx20.order.test\n"},
      {env, "nomx.test", 1, "dtl mx: no MX records for nomx.test"},
      {env, "", 2, "dtl mx: "},
      {"DTL_RESOLV_CONF=/nonexistent/x", "order.test", 1, "dtl mx: "},
  };
  for (const auto& [envText, args, status, says] : runs) {
    auto r = dtltest::RunDtl("mx " + args, "", envText);
    EXPECT_EQ(r.status, status) << args << "\n" << r.all();
    EXPECT_NE(r.all().find(says), std::string::npos) << args << "\n" << r.all();
    if (status == 0) {
      EXPECT_EQ(r.out, says);
    }
  }
}

}  // namespace
