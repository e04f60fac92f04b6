// The two requests the program makes at a provider's OAuth2 token endpoint (RFC 6749 4.1.3 and
// 6): a code for tokens after the consent, a refresh token for a new access token. Shared by
// the login flow and the access-token source.
#pragma once

#include <stop_token>
#include <string>

#include "account/OAuthLogin.h"
#include "account/OAuthProviders.h"
#include "base/Error.h"
#include "browser/NetworkEndpoints.h"

namespace dtl {

// Errors of both: Auth when the endpoint answered invalid_grant (the code or the refresh token
// is not good: used, expired, revoked); Refused for any other error answer (invalid_client, a
// 5xx; the message carries the provider's error and description, never a token); Protocol for
// an answer that is not the JSON the RFC describes or lacks an access token; Network, Timeout,
// Tls when the endpoint could not be reached; Cancelled after a stop.
Result<OAuthTokens> ExchangeAuthorizationCode(const OAuthProvider& provider,
                                              const std::string& code,
                                              const std::string& redirectUri,
                                              const std::string& verifier,
                                              const NetworkEndpoints& endpoints,
                                              const OAuthClock& clock, std::stop_token stop = {});
Result<OAuthTokens> RefreshAccessToken(const OAuthProvider& provider,
                                       const std::string& refreshToken,
                                       const NetworkEndpoints& endpoints, const OAuthClock& clock,
                                       std::stop_token stop = {});

}  // namespace dtl
