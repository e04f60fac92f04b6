#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "account/AccountCheck.h"
#include "account/AccountDiscovery.h"
#include "account/AccountStore.h"
#include "base/SettingsStore.h"
#include "cli/AccountCommand.h"
#include "cli/ProgramSettings.h"
#include "cli/PasswordInput.h"
#include "mail/MxResolver.h"

namespace dtlcli {
namespace {

const char* SecurityText(dtl::ServerSecurity s) {
  return s == dtl::ServerSecurity::ImplicitTls ? "TLS" : "STARTTLS";
}

std::optional<dtl::ServerSecurity> ParseSecurity(std::string v) {
  for (char& c : v) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (v == "tls" || v == "ssl") return dtl::ServerSecurity::ImplicitTls;
  if (v == "starttls") return dtl::ServerSecurity::StartTls;
  return std::nullopt;
}

std::optional<int> ParsePort(const std::string& v) {
  if (v.empty() || v.size() > 5 || v.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  const int port = std::stoi(v);
  if (!dtl::IsUsablePort(port)) return std::nullopt;
  return port;
}

void PrintProfile(const dtl::AccountProfile& p) {
  std::printf("Settings for %s (%s", p.address.c_str(), dtl::SourceName(p.source).c_str());
  if (!p.sourceDetail.empty()) std::printf(": %s", p.sourceDetail.c_str());
  std::printf(")\n");
  if (!p.displayName.empty()) std::printf("  provider: %s\n", p.displayName.c_str());
  std::printf("  SMTP: %s port %d, %s, user %s\n", p.smtp.host.c_str(), p.smtp.port,
              SecurityText(p.smtp.security), p.smtp.user.c_str());
  std::printf("  IMAP: %s port %d, %s, user %s\n", p.imap.host.c_str(), p.imap.port,
              SecurityText(p.imap.security), p.imap.user.c_str());
  std::printf("  login: %s\n", p.login == dtl::LoginKind::OAuth2
                                   ? ("OAuth2 (" + p.oauthProvider + ")").c_str()
                                   : "password");
  for (const auto& n : p.notes) std::printf("  note: %s\n", n.c_str());
  std::fflush(stdout);
}

// One line from the terminal; nullopt at the end of input.
std::optional<std::string> Ask(const std::string& prompt) {
  std::fprintf(stderr, "%s", prompt.c_str());
  std::fflush(stderr);
  std::string line;
  if (!std::getline(std::cin, line)) return std::nullopt;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

bool AskYes(const std::string& prompt, bool byDefault) {
  auto a = Ask(prompt + (byDefault ? " [Y/n] " : " [y/N] "));
  if (!a || a->empty()) return byDefault;
  return (*a)[0] == 'y' || (*a)[0] == 'Y';
}

class AccountSetup : public AccountAction {
 public:
  CLI::App* Declare(CommandLine& line, CLI::App& account) override {
    CLI::App* app = account.add_subcommand(
        "setup",
        "find the SMTP and IMAP servers of ADDRESS (built-in table, autoconfig, SRV records), "
        "let them be corrected, test both logins and store the account");
    app->footer(
        "The servers found and where from are printed first. On a terminal each field can be\n"
        "corrected and the password is asked without echo; without a terminal give --yes and\n"
        "--password-file. The settings are stored only when both logins pass (or with\n"
        "--store-anyway). A provider that takes only OAuth2 is stored for 'dtl account login'.\n"
        "DTL_CA_FILE names the CAs to trust; DTL_RESOLV_CONF the resolver for SRV records.\n"
        "Exit status: 0 when the account was stored, 1 when it was not, 2 on bad usage.");
    line.Missing(app->add_option("ADDRESS", address_, "the e-mail address")->required(),
                 "setup needs an ADDRESS");
    line.UnknownOption(
        *app, RefusePasswordArguments(
                  "a password is never taken from the command line (other users can read it); "
                  "use --password-file or the prompt",
                  [](const std::string& a) { return "unknown option '" + a + "'"; }));
    line.ExtraPositional(*app, [](const std::string& a) {
      return "setup takes one ADDRESS; '" + a + "' is one too many";
    });
    line.Value(*app, "--smtp-host", smtpHost_, "HOST", "use HOST as the SMTP server");
    line.Value(*app, "--smtp-port", smtpPort_, "PORT", "use PORT for SMTP (1..65535)");
    line.Value(*app, "--smtp-security", smtpSecurity_, "tls|starttls",
               "how the SMTP connection is secured");
    line.Value(*app, "--smtp-user", smtpUser_, "USER", "the SMTP login name (default: ADDRESS)");
    line.Value(*app, "--imap-host", imapHost_, "HOST", "use HOST as the IMAP server");
    line.Value(*app, "--imap-port", imapPort_, "PORT", "use PORT for IMAP (1..65535)");
    line.Value(*app, "--imap-security", imapSecurity_, "tls|starttls",
               "how the IMAP connection is secured");
    line.Value(*app, "--imap-user", imapUser_, "USER", "the IMAP login name (default: ADDRESS)");
    line.Value(*app, "--password-file", passwordFile_, "F",
               "the account's password (or app password) is the first line of F");
    line.Flag(*app, "--yes", yes_,
              "take the settings found (and corrected by options) as they are");
    line.Flag(*app, "--no-test", noTest_, "store without testing the logins");
    line.Flag(*app, "--store-anyway", storeAnyway_, "store even when a login test fails");
    line.Repeated(*app, "--connect-to", endpoints_.connectTo, "HOST:PORT:TO-HOST:TO-PORT",
                  "send the autoconfig requests for HOST:PORT elsewhere, as curl's option does; "
                  "repeatable",
                  "HOST:PORT:TO-HOST:TO-PORT");
    line.Repeated(*app, "--resolve", endpoints_.resolve, "HOST:PORT:ADDRESS",
                  "resolve an autoconfig host to ADDRESS, as curl's option does; repeatable",
                  "HOST:PORT:ADDRESS");
    return app;
  }

  int Run() override;

 private:
  int Fail(const std::string& why) const {
    std::fprintf(stderr, "dtl account setup: %s\n", why.c_str());
    return kExitFailure;
  }
  int UsageError(const std::string& why) const {
    std::fprintf(stderr, "dtl account setup: %s (see 'dtl account --help')\n", why.c_str());
    return kExitUsage;
  }
  // Applies the options' corrections; a usage error's text when one is not valid.
  std::optional<std::string> ApplyOptions(dtl::AccountProfile& p) const;
  // Lets the user correct each field on the terminal; false at the end of input.
  bool Correct(dtl::AccountProfile& p) const;

  std::string address_;
  std::optional<std::string> smtpHost_, smtpPort_, smtpSecurity_, smtpUser_;
  std::optional<std::string> imapHost_, imapPort_, imapSecurity_, imapUser_;
  std::optional<std::string> passwordFile_;
  bool yes_ = false, noTest_ = false, storeAnyway_ = false;
  dtl::NetworkEndpoints endpoints_;
};

std::optional<std::string> AccountSetup::ApplyOptions(dtl::AccountProfile& p) const {
  bool changed = false;
  auto host = [&](const std::optional<std::string>& v, std::string& into,
                  const char* name) -> std::optional<std::string> {
    if (!v) return std::nullopt;
    if (!dtl::IsUsableHostName(*v, true)) return std::string(name) + " is not a host name: " + *v;
    into = *v;
    changed = true;
    return std::nullopt;
  };
  auto port = [&](const std::optional<std::string>& v, int& into,
                  const char* name) -> std::optional<std::string> {
    if (!v) return std::nullopt;
    auto n = ParsePort(*v);
    if (!n) return std::string(name) + " must be a port from 1 to 65535";
    into = *n;
    changed = true;
    return std::nullopt;
  };
  auto security = [&](const std::optional<std::string>& v, dtl::ServerSecurity& into,
                      const char* name) -> std::optional<std::string> {
    if (!v) return std::nullopt;
    auto s = ParseSecurity(*v);
    if (!s) return std::string(name) + " is tls or starttls";
    into = *s;
    changed = true;
    return std::nullopt;
  };
  for (auto e :
       {host(smtpHost_, p.smtp.host, "--smtp-host"), port(smtpPort_, p.smtp.port, "--smtp-port"),
        security(smtpSecurity_, p.smtp.security, "--smtp-security"),
        host(imapHost_, p.imap.host, "--imap-host"), port(imapPort_, p.imap.port, "--imap-port"),
        security(imapSecurity_, p.imap.security, "--imap-security")})
    if (e) return e;
  if (smtpUser_) p.smtp.user = *smtpUser_, changed = true;
  if (imapUser_) p.imap.user = *imapUser_, changed = true;
  if (changed && p.source != dtl::ProfileSource::User)
    p.notes.push_back("corrected on the command line");
  return std::nullopt;
}

bool AccountSetup::Correct(dtl::AccountProfile& p) const {
  auto field = [&](const std::string& label, std::string& value,
                   bool (*valid)(const std::string&)) -> bool {
    for (;;) {
      auto a = Ask(label + " [" + value + "]: ");
      if (!a) return false;
      if (a->empty()) return true;
      if (valid(*a)) {
        value = *a;
        return true;
      }
      std::fprintf(stderr, "  not valid: %s\n", a->c_str());
    }
  };
  auto portField = [&](const std::string& label, int& port) -> bool {
    std::string text = std::to_string(port);
    if (!field(label, text, [](const std::string& v) { return ParsePort(v).has_value(); }))
      return false;
    port = *ParsePort(text);
    return true;
  };
  auto securityField = [&](const std::string& label, dtl::ServerSecurity& s) -> bool {
    std::string text = s == dtl::ServerSecurity::ImplicitTls ? "tls" : "starttls";
    if (!field(label, text, [](const std::string& v) { return ParseSecurity(v).has_value(); }))
      return false;
    s = *ParseSecurity(text);
    return true;
  };
  auto hostOk = [](const std::string& v) { return dtl::IsUsableHostName(v, true); };
  auto anyText = [](const std::string& v) { return !v.empty(); };
  return field("SMTP server", p.smtp.host, hostOk) && portField("SMTP port", p.smtp.port) &&
         securityField("SMTP security (tls/starttls)", p.smtp.security) &&
         field("SMTP user", p.smtp.user, anyText) && field("IMAP server", p.imap.host, hostOk) &&
         portField("IMAP port", p.imap.port) &&
         securityField("IMAP security (tls/starttls)", p.imap.security) &&
         field("IMAP user", p.imap.user, anyText);
}

int AccountSetup::Run() {
  auto domain = dtl::AddressDomain(address_);
  if (!domain) return UsageError(domain.error().message);
  const bool terminal = isatty(STDIN_FILENO) == 1;
  const bool interactive = terminal && !yes_;
  if (!terminal && !yes_)
    return UsageError("standard input is not a terminal: give --yes to take the settings");

  dtl::DiscoveryEnvironment env;
  env.endpoints = endpoints_;
  if (const char* ca = std::getenv("DTL_CA_FILE"); ca && *ca) env.endpoints.caFile = ca;
  if (const char* conf = std::getenv(dtl::kResolvConfEnv); conf && *conf) {
    std::ifstream in(conf, std::ios::binary);
    std::ostringstream text;
    if (!in || !(text << in.rdbuf()))
      return Fail(std::string("cannot read the resolver configuration ") + conf);
    env.resolverConfig = text.str();
  }

  std::fprintf(stderr, "Looking for the servers of %s...\n", domain->c_str());
  auto found = dtl::DiscoverAccount(address_, env, [](const dtl::DiscoveryStep& s) {
    std::fprintf(stderr, "  %s %s: %s\n", dtl::SourceName(s.source).c_str(), s.detail.c_str(),
                 s.found ? "found" : s.outcome.c_str());
  });
  dtl::AccountProfile profile;
  if (found) {
    profile = std::move(*found);
  } else {
    if (found.error().code != dtl::ErrorCode::NotFound) return Fail(found.error().message);
    if (!(smtpHost_ && imapHost_) && !interactive)
      return Fail(found.error().message + "; give --smtp-host and --imap-host");
    std::fprintf(stderr, "%s; enter the servers by hand.\n", found.error().message.c_str());
    profile.address = address_;
    profile.smtp = {"", 587, dtl::ServerSecurity::StartTls, address_};
    profile.imap = {"", 993, dtl::ServerSecurity::ImplicitTls, address_};
    profile.source = dtl::ProfileSource::User;
  }
  if (auto bad = ApplyOptions(profile)) return UsageError(*bad);
  PrintProfile(profile);
  if (interactive) {
    if (profile.smtp.host.empty() || profile.imap.host.empty() ||
        !AskYes("Use these settings?", true)) {
      if (!Correct(profile)) return Fail("no answer; nothing stored");
      if (profile.source != dtl::ProfileSource::User) profile.notes.push_back("corrected by hand");
      PrintProfile(profile);
    }
  }
  if (!dtl::IsUsableHostName(profile.smtp.host, true) ||
      !dtl::IsUsableHostName(profile.imap.host, true))
    return Fail("the account needs an SMTP and an IMAP server; nothing stored");

  dtl::SettingsStore store = OpenSettings();
  if (profile.login == dtl::LoginKind::OAuth2) {
    // The token comes from the provider's consent page, which is the login command's work.
    if (auto s = dtl::StoreProfile(store, profile); !s) return Fail(s.error().message);
    std::printf("Stored in %s.\n%s logs in with OAuth2: run 'dtl account login' next.\n",
                store.Path().c_str(), address_.c_str());
    return kExitOk;
  }

  std::string password;
  if (passwordFile_) {
    auto pw = PasswordFromFile(*passwordFile_);
    if (!pw) return Fail(pw.error().message);
    password = std::move(*pw);
  } else if (terminal) {
    auto pw = PasswordFromStdin(("Password for " + address_ + ": ").c_str());
    if (!pw) return Fail(pw.error().message);
    password = std::move(*pw);
  } else if (!noTest_) {
    return UsageError("give --password-file (or --no-test to store the servers alone)");
  }

  bool store_ok = true;
  if (!noTest_) {
    dtl::AccountCheckSettings check;
    if (const char* ca = std::getenv("DTL_CA_FILE"); ca && *ca) check.caFile = ca;
    std::fprintf(stderr, "Testing the logins...\n");
    auto result = dtl::TestAccountLogins(profile, {password, {}}, check);
    std::printf("  SMTP login: %s\n", result.smtp ? "ok" : result.smtp.error().message.c_str());
    std::printf("  IMAP login: %s\n", result.imap ? "ok" : result.imap.error().message.c_str());
    std::fflush(stdout);
    store_ok = result.ok();
    if (!store_ok)
      store_ok = storeAnyway_ ||
                 (interactive && AskYes("A login failed. Store the settings anyway?", false));
  }
  if (!store_ok) {
    WipeString(password);
    return Fail("a login failed; nothing stored");
  }
  dtl::Status s = dtl::StoreProfile(store, profile);
  if (s && !password.empty()) s = dtl::StoreAccountPassword(store, password);
  WipeString(password);
  if (!s) return Fail(s.error().message);
  std::printf("Stored in %s.\n", store.Path().c_str());
  return kExitOk;
}

}  // namespace

std::unique_ptr<AccountAction> MakeAccountSetup() { return std::make_unique<AccountSetup>(); }

}  // namespace dtlcli
