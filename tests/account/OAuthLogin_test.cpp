// The OAuth2 code flow against the local authorization server: the test plays the browser, taking
// the consent address the observer was given, following the provider's redirect to the program's
// loopback listener, and checks what the program then exchanged and kept.
#include "account/OAuthLogin.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>

#include "account/OAuthTokenEndpoint.h"
#include "base/SettingsStore.h"
#include "fixtures/oauth_server.h"
#include "support/OAuthCase.h"
#include "support/TestSupport.h"

namespace {

using dtl::ErrorCode;
using dtltest::OAuthServer;

class OAuthLoginTest : public dtltest::OAuthServerCase {
 protected:
  dtl::OAuthLoginParams Params() const {
    dtl::OAuthLoginParams p;
    p.provider.id = "custom";
    p.provider.name = "Custom";
    p.provider.authorizeUrl = server_->AuthorizeUrl();
    p.provider.tokenUrl = server_->TokenUrl();
    p.provider.scope = "mail offline";
    p.provider.clientId = "cid";
    p.user = "joe@example.com";
    p.endpoints = server_->Endpoints();
    p.timeout = std::chrono::seconds(30);
    return p;
  }
};

// Plays the browser on a thread of its own once the consent address arrives: `visit` gets the
// address and does what a browser (or an attacker) would.
class Browser : public dtl::OAuthLoginObserver {
 public:
  explicit Browser(std::function<void(const std::string&)> visit) : visit_(std::move(visit)) {}
  ~Browser() override {
    if (thread_.joinable()) thread_.join();
  }
  void OnConsentUrl(const std::string& url) override {
    consentUrl = url;
    thread_ = std::thread([this, url] { visit_(url); });
  }
  void OnExchanging() override { exchanged = true; }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }

  std::string consentUrl;
  bool exchanged = false;

 private:
  std::function<void(const std::string&)> visit_;
  std::thread thread_;
};

// The parameter `name` of `url`'s query, undecoded.
std::string QueryParam(const std::string& url, const std::string& name) {
  const std::string key = name + "=";
  size_t at = url.find('?');
  while (at != std::string::npos) {
    ++at;
    if (url.compare(at, key.size(), key) == 0) {
      const size_t end = url.find('&', at);
      return url.substr(at + key.size(),
                        end == std::string::npos ? std::string::npos : end - at - key.size());
    }
    at = url.find('&', at);
  }
  return {};
}

TEST_F(OAuthLoginTest, FullFlowGivesTokensTheServerAcceptsAndTheBrowserAPageToClose) {
  OAuthServer::Reply consent, landing;
  Browser browser([&](const std::string& url) {
    consent = server_->Request(url);
    landing = server_->Request(consent.location);
  });
  auto tokens = dtl::OAuthLogin::Run(Params(), browser, {});
  browser.Join();
  ASSERT_TRUE(tokens) << tokens.error().message;
  EXPECT_EQ(consent.status, 302) << consent.body;
  EXPECT_EQ(landing.status, 200);
  EXPECT_NE(landing.body.find("close this window"), std::string::npos);
  EXPECT_TRUE(browser.exchanged);
  EXPECT_EQ(server_->Stat("code_exchanges"), 1);
  EXPECT_FALSE(tokens->refreshToken.empty());

  // The token is one the server itself vouches for, for the user named in the login hint.
  auto intro = server_->Request(server_->IntrospectUrl(), {{"token", tokens->accessToken}});
  EXPECT_EQ(OAuthServer::Field(intro.body, "active"), "true") << intro.body;
  EXPECT_EQ(OAuthServer::Field(intro.body, "username"), "joe@example.com");

  // The consent address carries nothing secret: not the verifier, only its S256 hash.
  EXPECT_EQ(QueryParam(browser.consentUrl, "code_challenge_method"), "S256");
  EXPECT_EQ(QueryParam(browser.consentUrl, "login_hint"), "joe%40example.com");
  EXPECT_EQ(QueryParam(browser.consentUrl, "redirect_uri").rfind("http%3A%2F%2F127.0.0.1%3A", 0),
            0u);
}

TEST_F(OAuthLoginTest, RefusedExchangeFailsTheLoginAndTellsTheBrowser) {
  // The client secret is wrong: the consent goes through, the token endpoint refuses.
  OAuthServer secretServer(pki_, {"--client-id", "cid", "--client-secret", "right"});
  ASSERT_TRUE(secretServer.running()) << secretServer.error();
  auto params = Params();
  params.provider.authorizeUrl = secretServer.AuthorizeUrl();
  params.provider.tokenUrl = secretServer.TokenUrl();
  params.provider.clientSecret = "wrong";
  OAuthServer::Reply landing;
  Browser browser([&](const std::string& url) {
    auto consent = secretServer.Request(url);
    landing = secretServer.Request(consent.location);
  });
  auto tokens = dtl::OAuthLogin::Run(params, browser, {});
  browser.Join();
  ASSERT_FALSE(tokens);
  EXPECT_EQ(tokens.error().code, ErrorCode::Refused) << tokens.error().message;
  EXPECT_TRUE(browser.exchanged);
  EXPECT_NE(landing.body.find("Login failed"), std::string::npos) << landing.body;
  EXPECT_EQ(landing.body.find("logged in"), std::string::npos);
}

TEST_F(OAuthLoginTest, LocalhostRedirectIsAnsweredOnBothLoopbackAddresses) {
  // Providers that register "http://localhost" get that name in the redirect; a browser may
  // reach it over 127.0.0.1 or ::1, so each is tried in turn with the port from the redirect.
  bool noIpv6 = false;
  for (const char* address : {"127.0.0.1", "[::1]"}) {
    SCOPED_TRACE(address);
    auto params = Params();
    params.provider.redirectHost = "localhost";
    OAuthServer::Reply landing;
    Browser browser([&](const std::string& url) {
      auto consent = server_->Request(url);
      std::string there = consent.location;
      there.replace(there.find("localhost"), std::strlen("localhost"), address);
      landing = server_->Request(there);
      if (landing.status == 0) {  // no IPv6 loopback here: finish the login the other way
        noIpv6 = true;
        there.replace(there.find(address), std::strlen(address), "127.0.0.1");
        server_->Request(there);
      }
    });
    auto tokens = dtl::OAuthLogin::Run(params, browser, {});
    browser.Join();
    EXPECT_EQ(QueryParam(browser.consentUrl, "redirect_uri").rfind("http%3A%2F%2Flocalhost%3A", 0),
              0u);
    ASSERT_TRUE(tokens) << tokens.error().message;
    if (noIpv6) GTEST_SKIP() << "no ::1 on this machine";
    EXPECT_EQ(landing.status, 200);
  }
}

TEST_F(OAuthLoginTest, StoredLoginKeepsRefreshTokenUserAndProvider) {
  dtltest::TempDir dir;
  dtl::SettingsStore store(dir / "settings.reg");
  dtl::OAuthTokens tokens;
  tokens.refreshToken = "rt-kept";
  tokens.accessToken = "at-not-kept";
  ASSERT_TRUE(dtl::StoreOAuthLogin(store, "google", "joe@example.com", tokens));
  EXPECT_EQ(store.GetString("OAuth2RefreshToken"), "rt-kept");
  EXPECT_EQ(store.GetString("OAuth2User"), "joe@example.com");
  EXPECT_EQ(store.GetString("OAuth2Provider"), "google");
  EXPECT_EQ(dtltest::ReadFileText(dir / "settings.reg").find("at-not-kept"), std::string::npos);
}

TEST(OAuthPkce, ChallengeAndVerifierFollowRfc7636) {
  // RFC 7636 appendix B: these 32 octets give this verifier and this challenge.
  const unsigned char octets[32] = {116, 24,  223, 180, 151, 153, 224, 37,  79,  250, 96,
                                    125, 216, 173, 187, 186, 22,  212, 37,  77,  105, 214,
                                    191, 240, 91,  88,  5,   88,  83,  132, 141, 121};
  const std::string verifier = dtl::RandomUrlToken([&](unsigned char* out, size_t n) {
    if (n != sizeof octets) return false;
    std::memcpy(out, octets, n);
    return true;
  });
  EXPECT_EQ(verifier, "dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk");
  EXPECT_EQ(dtl::PkceChallenge(verifier), "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
  EXPECT_EQ(dtl::RandomUrlToken([](unsigned char*, size_t) { return false; }), "");
}

TEST_F(OAuthLoginTest, ClientSendsTheVerifierOfItsChallenge) {
  // The random source is fixed, so the verifier is known: the consent address holds exactly
  // its challenge, and the exchange the fixture accepted (it checks the pair) proves the
  // program sent the verifier itself.
  auto params = Params();
  params.random = [](unsigned char* out, size_t n) {
    std::memset(out, 7, n);
    return true;
  };
  const std::string verifier = dtl::RandomUrlToken(params.random);
  Browser browser([&](const std::string& url) {
    auto consent = server_->Request(url);
    server_->Request(consent.location);
  });
  auto tokens = dtl::OAuthLogin::Run(params, browser, {});
  browser.Join();
  ASSERT_TRUE(tokens) << tokens.error().message;
  EXPECT_EQ(QueryParam(browser.consentUrl, "code_challenge"), dtl::PkceChallenge(verifier));
  EXPECT_EQ(server_->Stat("refused"), 0);
}

TEST_F(OAuthLoginTest, FixtureRefusesACodeWithoutItsVerifier) {
  const std::string verifier(43, 'v');
  const std::string redirect = "http://127.0.0.1:9/";
  struct Case {
    const char* name;
    std::string sentVerifier;
    long status;
  } cases[] = {
      {"another verifier", std::string(43, 'w'), 400},
      {"no verifier", "", 400},
      {"the challenge itself", dtl::PkceChallenge(verifier), 400},
      {"the right verifier", verifier, 200},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto consent = server_->Request(server_->AuthorizeUrl() +
                                    "?response_type=code&client_id=cid&state=s&scope=m"
                                    "&code_challenge_method=S256&redirect_uri=" +
                                    redirect + "&code_challenge=" + dtl::PkceChallenge(verifier));
    ASSERT_EQ(consent.status, 302);
    const std::string code = QueryParam(consent.location, "code");
    auto reply = server_->Request(server_->TokenUrl(), {{"grant_type", "authorization_code"},
                                                        {"code", code},
                                                        {"redirect_uri", redirect},
                                                        {"client_id", "cid"},
                                                        {"code_verifier", c.sentVerifier}});
    EXPECT_EQ(reply.status, c.status) << reply.body;
  }
}

TEST_F(OAuthLoginTest, RedirectWithWrongStateIsRefusedAndNothingExchanged) {
  server_->SetNextAuthorize(OAuthServer::Outcome::WrongState);
  OAuthServer::Reply landing;
  Browser browser([&](const std::string& url) {
    auto consent = server_->Request(url);
    landing = server_->Request(consent.location);
  });
  auto tokens = dtl::OAuthLogin::Run(Params(), browser, {});
  browser.Join();
  ASSERT_FALSE(tokens);
  EXPECT_EQ(tokens.error().code, ErrorCode::Protocol);
  EXPECT_NE(tokens.error().message.find("wrong state"), std::string::npos)
      << tokens.error().message;
  EXPECT_EQ(landing.status, 400);
  EXPECT_FALSE(browser.exchanged);
  EXPECT_EQ(server_->Stat("code_exchanges"), 0);
  EXPECT_EQ(server_->Stat("refused"), 0);  // the token endpoint was never asked
}

TEST_F(OAuthLoginTest, DeclinedConsentIsReportedAsRefused) {
  server_->SetNextAuthorize(OAuthServer::Outcome::AccessDenied);
  Browser browser([&](const std::string& url) {
    auto consent = server_->Request(url);
    server_->Request(consent.location);
  });
  auto tokens = dtl::OAuthLogin::Run(Params(), browser, {});
  browser.Join();
  ASSERT_FALSE(tokens);
  EXPECT_EQ(tokens.error().code, ErrorCode::Refused);
  EXPECT_NE(tokens.error().message.find("access_denied"), std::string::npos);
  EXPECT_FALSE(browser.exchanged);
}

TEST_F(OAuthLoginTest, ListenerIgnoresOtherRequestsAndWaitsForTheRedirect) {
  struct Stray {
    const char* path;
    bool post;
    long status;
  };
  std::vector<std::pair<Stray, long>> seen;
  Browser browser([&](const std::string& url) {
    auto consent = server_->Request(url);
    const std::string base = consent.location.substr(0, consent.location.find('/', 7));
    for (Stray s : {Stray{"/favicon.ico", false, 404}, Stray{"/", true, 405},
                    Stray{"/", false, 400}, Stray{"/callback?state=x", false, 404}})
      seen.emplace_back(s, server_->Request(base + s.path, {}, s.post).status);
    server_->Request(consent.location);
  });
  auto tokens = dtl::OAuthLogin::Run(Params(), browser, {});
  browser.Join();
  ASSERT_TRUE(tokens) << tokens.error().message;
  ASSERT_EQ(seen.size(), 4u);
  for (const auto& [stray, status] : seen) {
    SCOPED_TRACE(stray.path);
    EXPECT_EQ(status, stray.status);
  }
}

TEST_F(OAuthLoginTest, StopEndsTheWaitAtOnce) {
  std::stop_source stop;
  Browser browser([&](const std::string&) { stop.request_stop(); });
  auto params = Params();
  params.timeout = std::chrono::minutes(10);
  const auto start = std::chrono::steady_clock::now();
  auto tokens = dtl::OAuthLogin::Run(params, browser, stop.get_token());
  browser.Join();
  ASSERT_FALSE(tokens);
  EXPECT_EQ(tokens.error().code, ErrorCode::Cancelled);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST_F(OAuthLoginTest, NoRedirectInTimeIsATimeout) {
  Browser browser([](const std::string&) {});
  auto params = Params();
  params.timeout = std::chrono::milliseconds(300);
  auto tokens = dtl::OAuthLogin::Run(params, browser, {});
  ASSERT_FALSE(tokens);
  EXPECT_EQ(tokens.error().code, ErrorCode::Timeout);
}

TEST_F(OAuthLoginTest, PlainHttpEndpointsAreRefusedBeforeAnythingIsOpened) {
  for (bool tokenSide : {false, true}) {
    SCOPED_TRACE(tokenSide ? "token endpoint" : "consent page");
    auto params = Params();
    (tokenSide ? params.provider.tokenUrl : params.provider.authorizeUrl) =
        "http://127.0.0.1:" + std::to_string(server_->port()) + "/x";
    Browser browser([](const std::string&) {});
    auto tokens = dtl::OAuthLogin::Run(params, browser, {});
    ASSERT_FALSE(tokens);
    EXPECT_EQ(tokens.error().code, ErrorCode::InvalidArgument);
    EXPECT_TRUE(browser.consentUrl.empty());
  }
}

TEST_F(OAuthLoginTest, TokenEndpointAnswersAreSortedByWhatTheyMean) {
  OAuthServer secretServer(pki_, {"--client-id", "cid", "--client-secret", "right"});
  ASSERT_TRUE(secretServer.running()) << secretServer.error();
  dtl::OAuthProvider p = Params().provider;
  p.tokenUrl = secretServer.TokenUrl();
  const std::string refresh = secretServer.MintRefreshToken("joe@example.com");
  struct Case {
    const char* name;
    std::string secret;
    std::string refreshToken;
    bool ok;
    ErrorCode code;
  } cases[] = {
      {"right secret", "right", refresh, true, ErrorCode::Failed},
      {"wrong secret", "wrong", refresh, false, ErrorCode::Refused},
      {"unknown refresh token", "right", "rt-unknown", false, ErrorCode::Auth},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    p.clientSecret = c.secret;
    auto t = dtl::RefreshAccessToken(p, c.refreshToken, secretServer.Endpoints(), {});
    ASSERT_EQ(static_cast<bool>(t), c.ok) << (t ? "" : t.error().message);
    if (!c.ok) {
      EXPECT_EQ(t.error().code, c.code) << t.error().message;
      EXPECT_EQ(t.error().message.find(c.refreshToken), std::string::npos);
      EXPECT_EQ(t.error().message.find(c.secret), std::string::npos);
    }
  }
}

TEST_F(OAuthLoginTest, UntrustedCertificateIsATlsError) {
  dtl::OAuthProvider p = Params().provider;
  dtl::NetworkEndpoints ep = server_->Endpoints();
  ep.caFile.clear();  // the system's CAs do not know the test CA
  auto t = dtl::RefreshAccessToken(p, "rt", ep, {});
  ASSERT_FALSE(t);
  EXPECT_EQ(t.error().code, ErrorCode::Tls) << t.error().message;
}

}  // namespace
