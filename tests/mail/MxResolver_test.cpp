// The MX resolver against a real DNS server (dnsmasq on loopback) and `dtl mx` on top of it.
#include "mail/MxResolver.h"

#include <gtest/gtest.h>

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
      "--mx-host=order.test,mx10.order.test,10", "--mx-host=order.test,mx20.order.test,20",
      "--mx-host=two.test,second.two.test,5", "--mx-host=two.test,first.two.test,5",
      "--mx-host=one.test,only.one.test,1",
      "--host-record=nomx.test,127.0.0.9",
      "--mx-host=nullmx.test,.,0",
  };
  // Far more records than fit a plain UDP answer: adns has to go over TCP.
  for (int i = 0; i < 80; ++i) r.push_back("--mx-host=many.test,h" + std::to_string(i) + ".many.test,7");
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
    for (const auto& mx : server_->QueryMx(name).value_or(std::vector<WireMx>{})) hosts.push_back(mx.host);
    return hosts;
  }
  static std::unique_ptr<DnsServer> server_;
};
std::unique_ptr<DnsServer> MxResolverTest::server_;

TEST_F(MxResolverTest, PreferenceTwentyAnsweredFirstStillGivesTheTenHostFirst) {
  auto wire = server_->QueryMx("order.test");
  ASSERT_TRUE(wire);
  ASSERT_EQ(*wire, (std::vector<WireMx>{{20, "mx20.order.test"}, {10, "mx10.order.test"}}));

  // adns hands the records over in preference order; delivery must not start at the backup.
  MxResolver r = Resolver();
  std::string host;
  ASSERT_EQ(r.Resolve("someone@order.test", host, true), 1);
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
    ASSERT_EQ(r.Resolve("someone@two.test", host, lastFailed[i]), 1) << "attempt " << i + 1;
    EXPECT_EQ(host, hosts[expectedHost[i]]) << "attempt " << i + 1;
  }
}

TEST_F(MxResolverTest, AddressFormsNameTheSameDomain) {
  for (const char* address : {"someone@one.test", "one.test", "  someone@ one.test \t", "Someone@ONE.Test"}) {
    MxResolver r = Resolver();
    std::string host;
    EXPECT_EQ(r.Resolve(address, host, false), 1) << address;
    EXPECT_EQ(host, "only.one.test") << address;
  }
  EXPECT_EQ(dtl::MxDomainOf("a@b@c.test"), "b@c.test");
}

TEST_F(MxResolverTest, NoExchangerMeansNoHost) {
  struct Case {
    const char* address;
    const char* why;
  } cases[] = {
      {"someone@nomx.test", "only an address record: never used instead of MX"},
      {"someone@missing.test", "NXDOMAIN"},
      {"someone@nullmx.test", "null MX: the domain takes no mail"},
      {"someone@", "empty domain"},
      {"   ", "blank address"},
  };
  for (const auto& c : cases) {
    MxResolver r = Resolver();
    std::string host = "stale";
    EXPECT_EQ(r.Resolve(c.address, host, true), 0) << c.why;
    EXPECT_EQ(host, "") << c.why;
    EXPECT_TRUE(r.Hosts().empty()) << c.why;
  }
}

TEST_F(MxResolverTest, StoredHostsOutliveTheServerForTheRestOfTheRun) {
  DnsServer own({"--mx-host=kept.test,a.kept.test,1", "--mx-host=kept.test,b.kept.test,1"});
  ASSERT_TRUE(own.running()) << own.error();
  MxResolver r(own.ResolvConf());
  std::string first, second;
  ASSERT_EQ(r.Resolve("x@kept.test", first, true), 1);  // then the run goes on without the server
  own.Stop();
  EXPECT_EQ(r.Resolve("x@kept.test", second, true), 1);
  EXPECT_EQ(second, first);
  EXPECT_EQ(r.Resolve("x@KEPT.test", second, true), 1);
  EXPECT_NE(second, first);
}

TEST_F(MxResolverTest, ChangingOrBlankingTheDomainStartsAfresh) {
  MxResolver r = Resolver();
  std::string host;
  for (int i = 0; i < 4; ++i) r.Resolve("two.test", host, true);  // cursor left at 1
  ASSERT_EQ(r.Resolve("x@one.test", host, true), 1);
  EXPECT_EQ(r.Hosts(), std::vector<std::string>{"only.one.test"});
  EXPECT_EQ(r.Resolve(" ", host, false), 0);
  EXPECT_EQ(r.Resolve("x@one.test", host, false), 1) << "the blank address must not leave one.test hostless";
  EXPECT_EQ(host, "only.one.test");
}

TEST_F(MxResolverTest, HugeAnswerIsCappedInAnswerOrder) {
  std::vector<std::string> wire = WireHosts("many.test");
  ASSERT_EQ(wire.size(), 80u);
  MxResolver r = Resolver();
  std::string host;
  ASSERT_EQ(r.Resolve("many.test", host, false), 1);
  EXPECT_EQ(r.Hosts(), std::vector<std::string>(wire.begin(), wire.begin() + MxResolver::kMaxHosts));
}

TEST_F(MxResolverTest, ResolverConfigurationFileFromEnvironment) {
  dtltest::TempDir dir;
  dtltest::WriteFileText(dir / "resolv.conf", "# test server\n" + server_->ResolvConf());
  dtltest::WriteFileText(dir / "huge.conf", std::string(65 * 1024, '#'));

  std::string error;
  ASSERT_EQ(setenv(dtl::kResolvConfEnv, (dir / "resolv.conf").c_str(), 1), 0);
  auto r = dtl::MakeMxResolverFromEnvironment(error);
  unsetenv(dtl::kResolvConfEnv);
  ASSERT_TRUE(r) << error;
  std::string host;
  EXPECT_EQ(r->Resolve("one.test", host, false), 1);

  // A configuration the user named but that cannot be used is an error, never the system's.
  for (const std::string& bad : {(dir / "absent.conf").string(), dir.path().string(), (dir / "huge.conf").string()}) {
    EXPECT_EQ(dtl::MakeMxResolver(bad.c_str(), error), nullptr) << bad;
    EXPECT_NE(error.find(bad), std::string::npos) << error;
  }
  EXPECT_NE(dtl::MakeMxResolver("", error), nullptr);
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
