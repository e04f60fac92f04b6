// Access tokens for the SMTP and IMAP logins of an OAuth2 account, made from the refresh token
// the login kept: cached in memory, renewed at the provider's token endpoint shortly before they
// expire, and at once when a mail server refused the last one.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "account/OAuthLogin.h"
#include "account/OAuthProviders.h"
#include "base/Error.h"
#include "browser/NetworkEndpoints.h"
#include "mail/AccessToken.h"

namespace dtl {

class SettingsStore;

// What the user reads when the provider refused the kept refresh token: "The OAuth2 login for
// USER is no longer valid; log in again (HOW)". `how` names the way to log in where the
// message is shown ("dtl account login" in the CLI, the desktop's own action).
std::string OAuthLoginExpiredMessage(std::string_view user, std::string_view how);
inline constexpr std::string_view kCliLoginAction = "dtl account login";

struct AccessTokenSourceParams {
  OAuthProvider provider;
  NetworkEndpoints endpoints;
  OAuthClock clock;  // empty: the system clock
  // A cached token with less than this left is renewed before use.
  std::chrono::seconds renewMargin{60};
  // How the user logs in again, for OAuthLoginExpiredMessage.
  std::string loginAction{kCliLoginAction};
};

// The token source for the account in `store` (OAuth2User, OAuth2RefreshToken). The function
// it gives follows AccessTokenFn's contract; it is safe to call from several threads at once
// (one renewal at a time); a refresh token the provider rotates is kept in `store` at once.
// Errors of a call: Auth with OAuthLoginExpiredMessage when the provider answers invalid_grant
// or no refresh token is stored; Network, Timeout, Tls or Protocol when the token endpoint could
// not be asked. `store` must outlive the function.
AccessTokenFn MakeAccessTokenSource(SettingsStore& store, AccessTokenSourceParams params);

// The same, with the provider named by the OAuth2Provider setting (LoadOAuthProvider's errors
// when it cannot be used).
Result<AccessTokenFn> MakeAccessTokenSourceFromSettings(
    SettingsStore& store, const NetworkEndpoints& endpoints,
    std::string_view loginAction = kCliLoginAction);

}  // namespace dtl
