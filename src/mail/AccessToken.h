// An OAuth2 access token on demand, for the SASL XOAUTH2 and OAUTHBEARER logins of SMTP and
// IMAP. The mail and receive layers only ever see this function; where the token comes from
// (a refresh token in the keyring, a provider's token endpoint) is the account layer's business.
#pragma once

#include <functional>
#include <string>

#include "base/Error.h"

namespace dtl {

// Gives the access token to log in with. `renew` false: a token still valid for a while is
// fine; true: the server refused the last one, so a fresh one is wanted. Errors: Auth with a
// message that asks the user to log in again when the provider refused the refresh token
// (revoked or expired); Network, Timeout or Protocol when the token endpoint could not be asked;
// Cancelled after a stop. Called on the thread making the login; a function shared between
// threads must be safe to call from several at once.
using AccessTokenFn = std::function<Result<std::string>(bool renew)>;

}  // namespace dtl
