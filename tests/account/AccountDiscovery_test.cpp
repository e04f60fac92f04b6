// Discovery as a whole: the address check, the order of the sources, and SRV records served by
// a real name server (dnsmasq) — preference of implicit TLS, priority and weight, "." as "not
// offered", and that a record can never make a connection plain.
#include <gtest/gtest.h>

#include "account/AccountDiscovery.h"
#include "account/AutoconfigFixture.h"
#include "account/SrvRecords.h"
#include "fixtures/dns_server.h"

namespace {

TEST(AccountDiscovery, AddressDomain) {
  const struct {
    const char* address;
    const char* domain;  // nullptr: refused
  } cases[] = {
      {"ann@Example.TEST", "example.test"},
      {"a.b+c@mail.example.test", "mail.example.test"},
      {"ann", nullptr},
      {"@example.test", nullptr},
      {"ann@", nullptr},
      {"a@b@example.test", nullptr},
      {"ann @example.test", nullptr},
      {"ann@example.test/evil", nullptr},
      {"ann@example.test:8080", nullptr},
      {"ann@exa mple.test", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    auto d = dtl::AddressDomain(c.address);
    if (c.domain) {
      ASSERT_TRUE(d) << d.error().message;
      EXPECT_EQ(*d, c.domain);
    } else {
      ASSERT_FALSE(d);
      EXPECT_EQ(d.error().code, dtl::ErrorCode::InvalidArgument);
    }
  }
}

TEST(AccountDiscovery, BuiltInTableIsAskedFirstAndAlone) {
  dtl::DiscoveryEnvironment env;
  // Nothing reachable: were any network source asked, the step list would show it.
  env.resolverConfig = "nameserver 127.0.0.1\n";
  env.endpoints.connectTo = {"autoconfig.gmail.com:443:127.0.0.1:1"};
  std::vector<dtl::DiscoveryStep> steps;
  auto p = dtl::DiscoverAccount("ann@gmail.com", env,
                                [&](const dtl::DiscoveryStep& s) { steps.push_back(s); });
  ASSERT_TRUE(p) << p.error().message;
  EXPECT_EQ(p->source, dtl::ProfileSource::BuiltIn);
  ASSERT_EQ(steps.size(), 1u);
  EXPECT_TRUE(steps[0].found);
}

TEST(AccountDiscovery, StopBeforeTheNetworkIsCancelled) {
  std::stop_source stop;
  stop.request_stop();
  dtl::DiscoveryEnvironment env;
  auto p = dtl::DiscoverAccount("ann@example.test", env, {}, stop.get_token());
  ASSERT_FALSE(p);
  EXPECT_EQ(p.error().code, dtl::ErrorCode::Cancelled);
}

class SrvDiscovery : public ::testing::Test {
 protected:
  // Discovery with only the SRV source, against a name server holding `records`.
  dtl::Result<dtl::AccountProfile> Discover(const std::vector<std::string>& records) {
    dns_ = std::make_unique<dtltest::DnsServer>(records);
    if (!dns_->running()) return dtl::Error(dtl::ErrorCode::Failed, dns_->error());
    dtl::DiscoveryEnvironment env;
    env.useBuiltIn = false;
    env.useAutoconfig = false;
    env.resolverConfig = dns_->ResolvConf();
    return dtl::DiscoverAccount("ann@example.test", env);
  }
  std::unique_ptr<dtltest::DnsServer> dns_;
};

TEST_F(SrvDiscovery, ImplicitTlsRecordsArePreferred) {
  auto p = Discover({"--srv-host=_submissions._tcp.example.test,smtps.example.test,465,0,1",
                     "--srv-host=_submission._tcp.example.test,smtp.example.test,587,0,1",
                     "--srv-host=_imaps._tcp.example.test,imaps.example.test,993,0,1",
                     "--srv-host=_imap._tcp.example.test,imap.example.test,143,0,1"});
  ASSERT_TRUE(p) << p.error().message;
  EXPECT_EQ(p->source, dtl::ProfileSource::Srv);
  EXPECT_EQ(p->smtp.host, "smtps.example.test");
  EXPECT_EQ(p->smtp.port, 465);
  EXPECT_EQ(p->smtp.security, dtl::ServerSecurity::ImplicitTls);
  EXPECT_EQ(p->imap.host, "imaps.example.test");
  EXPECT_EQ(p->imap.security, dtl::ServerSecurity::ImplicitTls);
  EXPECT_EQ(p->smtp.user, "ann@example.test");
  EXPECT_NE(p->sourceDetail.find("_imaps._tcp.example.test"), std::string::npos);
}

// _submission and _imap are STARTTLS services: a server found through them is used with the
// upgrade required, never as a plain connection.
TEST_F(SrvDiscovery, StartTlsRecordsGiveStartTlsNeverPlain) {
  auto p = Discover({"--srv-host=_submission._tcp.example.test,smtp.example.test,587,0,1",
                     "--srv-host=_imap._tcp.example.test,imap.example.test,143,0,1"});
  ASSERT_TRUE(p) << p.error().message;
  EXPECT_EQ(p->smtp.host, "smtp.example.test");
  EXPECT_EQ(p->smtp.security, dtl::ServerSecurity::StartTls);
  EXPECT_EQ(p->imap.host, "imap.example.test");
  EXPECT_EQ(p->imap.port, 143);
  EXPECT_EQ(p->imap.security, dtl::ServerSecurity::StartTls);
}

TEST_F(SrvDiscovery, LowestPriorityThenHighestWeightWins) {
  auto p = Discover({"--srv-host=_submissions._tcp.example.test,late.example.test,465,20,100",
                     "--srv-host=_submissions._tcp.example.test,light.example.test,465,10,1",
                     "--srv-host=_submissions._tcp.example.test,heavy.example.test,465,10,50",
                     "--srv-host=_imaps._tcp.example.test,imaps.example.test,993,0,1"});
  ASSERT_TRUE(p) << p.error().message;
  EXPECT_EQ(p->smtp.host, "heavy.example.test");
}

TEST_F(SrvDiscovery, DotTargetMeansNotOffered) {
  // No target: dnsmasq answers with the root name, "the service is decidedly not available".
  auto p = Discover({"--srv-host=_submissions._tcp.example.test",
                     "--srv-host=_submission._tcp.example.test,smtp.example.test,587,0,1",
                     "--srv-host=_imaps._tcp.example.test", "--srv-host=_imap._tcp.example.test"});
  ASSERT_FALSE(p);
  EXPECT_EQ(p.error().code, dtl::ErrorCode::NotFound);
  auto servers = dtl::FindSrvServers("example.test", dns_->ResolvConf());
  ASSERT_TRUE(servers);
  ASSERT_TRUE(servers->smtp);
  EXPECT_EQ(servers->smtp->host, "smtp.example.test");
  EXPECT_EQ(servers->smtp->security, dtl::ServerSecurity::StartTls);
  EXPECT_FALSE(servers->imap);
}

TEST_F(SrvDiscovery, PortZeroIsSkipped) {
  auto p = Discover({"--srv-host=_submissions._tcp.example.test,zero.example.test,0,0,1",
                     "--srv-host=_submissions._tcp.example.test,good.example.test,465,5,1",
                     "--srv-host=_imaps._tcp.example.test,imaps.example.test,993,0,1"});
  ASSERT_TRUE(p) << p.error().message;
  EXPECT_EQ(p->smtp.host, "good.example.test");
}

TEST_F(SrvDiscovery, NoRecordsFindNothing) {
  auto p = Discover({"--host-record=example.test,127.0.0.9"});
  ASSERT_FALSE(p);
  EXPECT_EQ(p.error().code, dtl::ErrorCode::NotFound);
  EXPECT_NE(p.error().message.find("example.test"), std::string::npos);
}

// The whole order: the table does not know the domain, autoconfig answers 404 at both URLs,
// the SRV records give the servers.
TEST(AccountDiscoveryOrder, FallsThroughAutoconfigToSrv) {
  dtltest::AutoconfigPki pki;
  ASSERT_TRUE(pki.ok()) << pki.output();
  dtltest::AutoconfigServer server(pki);
  ASSERT_TRUE(server.running()) << server.error();
  dtltest::DnsServer dns({"--srv-host=_submissions._tcp.example.test,smtps.example.test,465,0,1",
                          "--srv-host=_imaps._tcp.example.test,imaps.example.test,993,0,1"});
  ASSERT_TRUE(dns.running()) << dns.error();
  dtl::DiscoveryEnvironment env;
  env.endpoints = server.Endpoints();
  env.resolverConfig = dns.ResolvConf();
  std::vector<dtl::DiscoveryStep> steps;
  auto p = dtl::DiscoverAccount("ann@example.test", env,
                                [&](const dtl::DiscoveryStep& s) { steps.push_back(s); });
  ASSERT_TRUE(p) << p.error().message;
  EXPECT_EQ(p->source, dtl::ProfileSource::Srv);
  ASSERT_EQ(steps.size(), 4u);
  EXPECT_EQ(steps[0].source, dtl::ProfileSource::BuiltIn);
  EXPECT_EQ(steps[1].source, dtl::ProfileSource::Autoconfig);
  EXPECT_EQ(steps[2].source, dtl::ProfileSource::WellKnownAutoconfig);
  EXPECT_EQ(steps[3].source, dtl::ProfileSource::Srv);
  EXPECT_EQ(server.Requests().size(), 2u);
}

}  // namespace
