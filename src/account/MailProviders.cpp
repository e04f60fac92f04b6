#include "account/MailProviders.h"

#include <algorithm>
#include <cctype>

namespace dtl {
namespace {

constexpr auto kTls = ServerSecurity::ImplicitTls;
constexpr auto kStartTls = ServerSecurity::StartTls;

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// A country or generic suffix after a provider's own label: one or two labels of two or three
// letters ("fr", "co.uk", "com.au"). Kept this narrow so "live.*" never swallows a company's
// "live.example.org".
bool IsCountrySuffix(std::string_view s) {
  int labels = 0;
  size_t start = 0;
  while (start <= s.size()) {
    size_t dot = s.find('.', start);
    if (dot == std::string_view::npos) dot = s.size();
    std::string_view label = s.substr(start, dot - start);
    if (label.size() < 2 || label.size() > 3) return false;
    if (!std::all_of(label.begin(), label.end(), [](char c) { return c >= 'a' && c <= 'z'; }))
      return false;
    ++labels;
    start = dot + 1;
  }
  return labels >= 1 && labels <= 2;
}

bool DomainMatches(std::string_view pattern, std::string_view domain) {
  if (pattern.size() > 2 && pattern.substr(pattern.size() - 2) == ".*") {
    std::string_view stem = pattern.substr(0, pattern.size() - 1);  // "hotmail."
    return domain.size() > stem.size() && domain.substr(0, stem.size()) == stem &&
           IsCountrySuffix(domain.substr(stem.size()));
  }
  if (!pattern.empty() && pattern.front() == '.')
    return domain.size() > pattern.size() &&
           domain.substr(domain.size() - pattern.size()) == pattern;
  return pattern == domain;
}

}  // namespace

const std::vector<MailProvider>& MailProviders() {
  // One provider to a few lines reads better than one field to a line.
  // clang-format off
  static const std::vector<MailProvider> providers = {
      {"Gmail", {"gmail.com", "googlemail.com"},
       "smtp.gmail.com", 465, kTls, "imap.gmail.com", 993, kTls,
       ProviderLogin::AppPassword, "google",
       "Gmail takes an app password (Google account > Security > App passwords) or an OAuth2 "
       "login (dtl account login)."},
      {"Outlook.com",
       {"outlook.com", "outlook.*", "hotmail.*", "live.*", "msn.com", "passport.com",
        "windowslive.com"},
       "smtp-mail.outlook.com", 587, kStartTls, "outlook.office365.com", 993, kTls,
       ProviderLogin::OAuth2Only, "microsoft",
       "Outlook.com takes only OAuth2 logins: run dtl account login."},
      {"Microsoft 365", {".onmicrosoft.com"},
       "smtp.office365.com", 587, kStartTls, "outlook.office365.com", 993, kTls,
       ProviderLogin::OAuth2Only, "microsoft",
       "Microsoft 365 takes only OAuth2 logins: run dtl account login."},
      {"Yahoo Mail", {"yahoo.*", "ymail.com", "rocketmail.com"},
       "smtp.mail.yahoo.com", 465, kTls, "imap.mail.yahoo.com", 993, kTls,
       ProviderLogin::AppPassword, "yahoo",
       "Yahoo Mail takes an app password (Account security > Generate app password) or an "
       "OAuth2 login (dtl account login)."},
      {"iCloud Mail", {"icloud.com", "me.com", "mac.com"},
       "smtp.mail.me.com", 587, kStartTls, "imap.mail.me.com", 993, kTls,
       ProviderLogin::AppPassword, "",
       "iCloud Mail takes an app-specific password (appleid.apple.com > Sign-In and Security)."},
      {"Fastmail",
       {"fastmail.com", "fastmail.fm", "fastmail.net", "fastmail.org", "fastmail.to",
        "fastmail.us", "messagingengine.com"},
       "smtp.fastmail.com", 465, kTls, "imap.fastmail.com", 993, kTls,
       ProviderLogin::AppPassword, "",
       "Fastmail takes an app password (Settings > Privacy & Security > App passwords)."},
      {"GMX", {"gmx.net", "gmx.de", "gmx.at", "gmx.ch"},
       "mail.gmx.net", 587, kStartTls, "imap.gmx.net", 993, kTls,
       ProviderLogin::Password, "",
       "GMX lets mail programs in only after POP3/IMAP access is switched on in its settings."},
      {"GMX", {"gmx.com", "gmx.co.uk", "gmx.fr", "gmx.es", "gmx.us"},
       "mail.gmx.com", 587, kStartTls, "imap.gmx.com", 993, kTls,
       ProviderLogin::Password, "",
       "GMX lets mail programs in only after POP3/IMAP access is switched on in its settings."},
      {"mail.com",
       {"mail.com", "email.com", "usa.com", "myself.com", "consultant.com", "post.com",
        "europe.com", "asia.com", "iname.com", "writeme.com", "dr.com", "engineer.com",
        "cheerful.com", "accountant.com", "techie.com", "linuxmail.org", "musician.org",
        "workmail.com"},
       "smtp.mail.com", 587, kStartTls, "imap.mail.com", 993, kTls,
       ProviderLogin::Password, "",
       "mail.com lets mail programs in only after POP3/IMAP access is switched on in its "
       "settings."},
      {"Zoho Mail", {"zoho.com", "zohomail.com"},
       "smtp.zoho.com", 465, kTls, "imap.zoho.com", 993, kTls,
       ProviderLogin::Password, "",
       "Zoho Mail wants IMAP access switched on in its settings, and an app password when "
       "two-factor sign-in is on."},
  };
  // clang-format on
  return providers;
}

const MailProvider* FindMailProvider(std::string_view domain) {
  std::string d = Lower(domain);
  while (!d.empty() && d.back() == '.') d.pop_back();  // a fully qualified "gmail.com."
  if (d.empty()) return nullptr;
  for (const auto& p : MailProviders())
    for (std::string_view pattern : p.domains)
      if (DomainMatches(pattern, d)) return &p;
  return nullptr;
}

AccountProfile ProfileFromProvider(const MailProvider& provider, const std::string& address) {
  AccountProfile profile;
  profile.address = address;
  profile.displayName = std::string(provider.name);
  profile.smtp = {std::string(provider.smtpHost), provider.smtpPort, provider.smtpSecurity,
                  address};
  profile.imap = {std::string(provider.imapHost), provider.imapPort, provider.imapSecurity,
                  address};
  profile.login =
      provider.login == ProviderLogin::OAuth2Only ? LoginKind::OAuth2 : LoginKind::Password;
  profile.oauthProvider = std::string(provider.oauthProvider);
  profile.source = ProfileSource::BuiltIn;
  profile.sourceDetail = std::string(provider.name);
  if (!provider.note.empty()) profile.notes.emplace_back(provider.note);
  return profile;
}

}  // namespace dtl
