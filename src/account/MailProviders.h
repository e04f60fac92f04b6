// The program's own table of the big mail providers: which SMTP and IMAP servers an address at
// one of their domains uses, how those are secured and what login they want. Asked before any
// network source, so these providers work even where their autoconfig is missing or stale.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "account/AccountProfile.h"

namespace dtl {

// What a provider wants as the login.
enum class ProviderLogin {
  Password,     // the account's own password
  AppPassword,  // a password made for one program in the provider's account settings
  OAuth2Only,   // no password at all: only an OAuth2 token
};

struct MailProvider {
  std::string_view name;  // "Gmail"
  // Domains the provider serves. "hotmail.*" stands for hotmail followed by a country suffix
  // (one or two short labels: hotmail.fr, hotmail.co.uk); ".onmicrosoft.com" for any name
  // under it.
  std::vector<std::string_view> domains;
  std::string_view smtpHost;
  int smtpPort;
  ServerSecurity smtpSecurity;
  std::string_view imapHost;
  int imapPort;
  ServerSecurity imapSecurity;
  ProviderLogin login;
  // The OAuth2 provider id ("google", "microsoft", "yahoo") where the provider takes OAuth2
  // logins; empty where it does not (or the program has no client for it).
  std::string_view oauthProvider;
  std::string_view note;  // what the user must know, shown with the profile; may be empty
};

// Every provider in the table, in a fixed order.
const std::vector<MailProvider>& MailProviders();

// The provider serving `domain` (compared without regard to case), or null.
const MailProvider* FindMailProvider(std::string_view domain);

// The profile for `address` at `provider`: its servers, the address as both login names,
// source BuiltIn, the provider's name and note. An OAuth2-only provider gives LoginKind::OAuth2,
// every other one LoginKind::Password (an app password where the provider wants one).
AccountProfile ProfileFromProvider(const MailProvider& provider, const std::string& address);

}  // namespace dtl
