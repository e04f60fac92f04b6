// dtl account login: the OAuth2 consent in a browser the user opens themselves, then the refresh
// token kept in the settings store (or the keyring, wherever the store keeps secrets).
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "account/OAuthLogin.h"
#include "account/OAuthProviders.h"
#include "base/SettingsStore.h"
#include "browser/NetworkEndpoints.h"
#include "cli/AccountCommand.h"
#include "cli/ProgramSettings.h"
#include "cli/FetchEvents.h"

namespace dtlcli {
namespace {

int LoginFail(const std::string& why) {
  std::fprintf(stderr, "dtl account login: %s\n", why.c_str());
  return kExitFailure;
}

class PrintUrl : public dtl::OAuthLoginObserver {
 public:
  void OnConsentUrl(const std::string& url) override {
    // On stdout, one line of its own, so it can be copied (or read by a script) whole.
    std::printf("Open this address in a browser to log in:\n%s\n", url.c_str());
    std::fflush(stdout);
    std::fprintf(stderr, "Waiting for the browser to come back...\n");
  }
  void OnExchanging() override { std::fprintf(stderr, "Finishing the login...\n"); }
};

class AccountLogin : public AccountAction {
 public:
  CLI::App* Declare(CommandLine& line, CLI::App& account) override {
    CLI::App* app = account.add_subcommand(
        "login",
        "log in with OAuth2: prints the provider's consent address to open in a browser, waits "
        "for the browser to come back, and keeps the refresh token (OAuth2RefreshToken)");
    line.Value(*app, "--provider", provider_, "ID",
               "google, microsoft, yahoo or custom (default: the OAuth2Provider setting); the "
               "client id comes from the provider's setting (GoogleClientId, ...)",
               "a provider id");
    line.Value(*app, "--user", user_, "ADDRESS",
               "the account's address (default: OAuth2User, else SMTPUserName)", "an address");
    line.Value(*app, "--timeout", timeout_, "SECONDS",
               "how long to wait for the browser (default 300)", "a number of seconds");
    line.Repeated(*app, "--connect-to", endpoints_.connectTo, "HOST:PORT:TO-HOST:TO-PORT",
                  "send the token endpoint's requests to another host and port, as curl's "
                  "option does; repeatable",
                  "HOST:PORT:TO-HOST:TO-PORT");
    line.Repeated(*app, "--resolve", endpoints_.resolve, "HOST:PORT:ADDRESS",
                  "resolve the token endpoint's host to ADDRESS, as curl's option does; "
                  "repeatable",
                  "HOST:PORT:ADDRESS");
    app->footer(
        "The token endpoint is trusted through the system's CAs, or the PEM bundle named by "
        "DTL_CA_FILE. The tokens never appear on the command line or in any output.");
    return app;
  }

  int Run() override {
    dtl::SettingsStore store = OpenSettings();
    const std::string id = provider_ ? *provider_ : store.GetString("OAuth2Provider");
    if (id.empty())
      return LoginFail("no OAuth2 provider; give --provider (google, microsoft, yahoo or custom)");
    std::string user = user_ ? *user_ : store.GetString("OAuth2User");
    if (user.empty()) user = store.SmtpUserName();
    if (user.empty()) return LoginFail("no address to log in; give --user ADDRESS");
    long seconds = 300;
    if (timeout_) {
      char* end = nullptr;
      seconds = std::strtol(timeout_->c_str(), &end, 10);
      if (timeout_->empty() || *end != '\0' || seconds <= 0 || seconds > 86400)
        return LoginFail("--timeout takes a number of seconds from 1 to 86400");
    }
    auto provider = dtl::LoadOAuthProvider(store, id);
    if (!provider) return LoginFail(provider.error().message);

    dtl::OAuthLoginParams params;
    params.provider = std::move(*provider);
    params.user = user;
    params.endpoints = endpoints_;
    if (const char* ca = std::getenv("DTL_CA_FILE"); ca && *ca) params.endpoints.caFile = ca;
    params.timeout = std::chrono::seconds(seconds);
    PrintUrl observer;
    const std::stop_token stop = StopOnInterrupt();
    auto tokens = dtl::OAuthLogin::Run(params, observer, stop);
    if (!tokens) {
      if (tokens.error().code == dtl::ErrorCode::Cancelled) return LoginFail("stopped");
      return LoginFail(tokens.error().message);
    }
    if (auto s = dtl::StoreOAuthLogin(store, id, user, *tokens); !s)
      return LoginFail("the login could not be kept: " + s.error().message);
    std::printf("Logged in as %s with %s.\n", user.c_str(), params.provider.name.c_str());
    if (store.GetDword("SMTPAuth") != 1 || store.GetDword("IMAPAuth") != 1)
      std::printf(
          "To send and receive with this login: dtl config set SMTPAuth 1; dtl config set "
          "IMAPAuth 1\n");
    return kExitOk;
  }

 private:
  std::optional<std::string> provider_, user_, timeout_;
  dtl::NetworkEndpoints endpoints_;
};

}  // namespace

std::unique_ptr<AccountAction> MakeAccountLogin() { return std::make_unique<AccountLogin>(); }

}  // namespace dtlcli
