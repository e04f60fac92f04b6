// The OAuth2 authorization-code flow with PKCE for a native program (RFC 8252, RFC 7636 S256):
// a listener on a random loopback port, the provider's consent page opened by someone else (the
// CLI prints its address, the desktop hands it to the system browser), the browser's redirect
// caught on the listener, and the code exchanged for tokens at the provider's token endpoint.
//
// A job: Params in, OAuthTokens out, events to an OAuthLoginObserver, a std::stop_token that
// ends the wait for the browser at once. Run it on a thread of its own; it blocks until the
// browser came back, the time-out passed, or a stop.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <stop_token>
#include <string>
#include <string_view>

#include "account/OAuthProviders.h"
#include "base/Error.h"
#include "browser/NetworkEndpoints.h"

namespace dtl {

class SettingsStore;

using OAuthClock = std::function<std::chrono::system_clock::time_point()>;
// Fills `size` bytes at `out` with random bytes; false when no randomness could be had.
using OAuthRandom = std::function<bool(unsigned char* out, size_t size)>;

// What a token endpoint gave.
struct OAuthTokens {
  std::string accessToken;
  std::chrono::system_clock::time_point expiresAt;  // the clock's now + expires_in
  std::string refreshToken;  // empty when the endpoint gave none (a refresh that does not rotate)
  std::string scope;
};

class OAuthLoginObserver {
 public:
  virtual ~OAuthLoginObserver() = default;
  // The consent page's address, to open in a browser. The listener already waits when this is
  // called (once, on the job's thread). The address holds no secret: the PKCE verifier never
  // leaves the program before the exchange.
  virtual void OnConsentUrl(const std::string& url) = 0;
  // The browser came back with a code; the exchange at the token endpoint starts.
  virtual void OnExchanging() {}
};

struct OAuthLoginParams {
  OAuthProvider provider;
  std::string user;            // the address the login is for; sent as login_hint when not empty
  NetworkEndpoints endpoints;  // for the token endpoint (CA file, connect-to, time-outs)
  // Longest wait for the browser's redirect.
  std::chrono::milliseconds timeout = std::chrono::minutes(5);
  OAuthRandom random;  // empty: OpenSSL's RAND_bytes
  OAuthClock clock;    // empty: the system clock
};

class OAuthLogin {
 public:
  // The whole flow. Errors: Refused when the user (or the provider) declined (error=... on the
  // redirect, the message says which), Protocol when the redirect's state is not the one sent
  // (nothing is exchanged then) or the token answer is malformed, Auth when the token endpoint
  // refused the code, Timeout when no redirect came in time, Cancelled after a stop,
  // Network/Tls when the token endpoint could not be reached, Io when no loopback port could be
  // opened.
  static Result<OAuthTokens> Run(const OAuthLoginParams& params, OAuthLoginObserver& observer,
                                 std::stop_token stop);
};

// Keeps a finished login: OAuth2RefreshToken (through SetString, so wherever the store keeps
// secrets), OAuth2User and OAuth2Provider. Errors: the store's (Io, InvalidArgument).
Status StoreOAuthLogin(SettingsStore& store, std::string_view providerId, std::string_view user,
                       const OAuthTokens& tokens);

// PKCE pieces, exposed for tests. The S256 challenge of `verifier`: base64url(SHA-256) without
// padding.
std::string PkceChallenge(std::string_view verifier);
// 32 random bytes as 43 base64url characters (a verifier), or the same for a state; empty when
// `random` failed.
std::string RandomUrlToken(const OAuthRandom& random);

}  // namespace dtl
