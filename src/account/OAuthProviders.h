// The OAuth2 providers the program can log in with for SMTP and IMAP: where each one's consent
// page and token endpoint are, which scopes give mail access, and which settings hold the
// client id (and secret) the user registered. Nothing secret is compiled in: every client id
// comes from the settings store.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/Error.h"

namespace dtl {

class SettingsStore;

// The provider ids OAuth2Provider takes.
inline constexpr std::string_view kOAuthGoogle = "google";
inline constexpr std::string_view kOAuthMicrosoft = "microsoft";
inline constexpr std::string_view kOAuthYahoo = "yahoo";
inline constexpr std::string_view kOAuthCustom = "custom";

struct OAuthProvider {
  std::string id;            // one of the ids above
  std::string name;          // for people: "Google", "Microsoft", "Yahoo", "Custom"
  std::string authorizeUrl;  // the consent page (https)
  std::string tokenUrl;      // the token endpoint (https)
  std::string scope;         // space-separated, as sent
  std::string clientId;
  std::string clientSecret;  // empty when the provider wants none (public clients)
  // The host name the loopback redirect URI is written with: "127.0.0.1", or "localhost" for
  // providers whose app registrations only take that name. The listener is on loopback either
  // way.
  std::string redirectHost = "127.0.0.1";
  // More "name=value&..." parameters the consent address needs with this provider (Google's
  // "access_type=offline&prompt=consent", without which it gives no refresh token); may be empty.
  std::string authorizeExtra;
};

// Every id OAuth2Provider takes, built-in ones first.
const std::vector<std::string>& OAuthProviderIds();

// The settings that hold `id`'s client id and secret ("GoogleClientId", "GoogleClientSecret";
// "OAuth2ClientId", "OAuth2ClientSecret" for custom). Empty for an unknown id.
std::string OAuthClientIdSetting(std::string_view id);
std::string OAuthClientSecretSetting(std::string_view id);

// `id`'s endpoints and scopes with the client id and secret from `store` (the custom provider's
// endpoints and scope too). Errors: InvalidArgument for an unknown id, or a URL that is not
// https (a token must never cross the network in clear); NotFound when the client id (or, for
// custom, an endpoint or the scope) is not set, with a message naming the setting and the page
// of the documentation that tells how to register one.
Result<OAuthProvider> LoadOAuthProvider(const SettingsStore& store, std::string_view id);

// InvalidArgument unless `url` is an absolute https URL with a host; `what` names it in the
// message ("OAuth2TokenUrl").
Status CheckHttpsUrl(std::string_view url, std::string_view what);

}  // namespace dtl
