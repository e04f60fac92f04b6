// The pieces of the SMTP and IMAP logins that are pure functions of their inputs: base64 both
// ways, the answers of the PLAIN and CRAM-MD5 mechanisms (RFC 4616, RFC 2195) and the OAuth2
// bearer-token logins (XOAUTH2, OAUTHBEARER of RFC 7628) with the error a server answers them
// with, which both protocols send the same way. Kept apart from the dialogues so they can be
// checked against published examples.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace dtl {

// Standard base64 with padding, no line breaks.
std::string Base64Encode(std::string_view bytes);
// Decodes standard base64 (blanks ignored, padding optional). An empty optional means "not
// base64" (any other character or a truncated quantum): absence, not an error, as there is
// only that one reason and a caller needs no more than "this is not base64".
std::optional<std::string> Base64Decode(std::string_view text);

// The AUTH PLAIN blob before base64: user, NUL, user, NUL, password (the user is sent as the
// authorisation identity too).
std::string PlainAuthBlob(std::string_view user, std::string_view password);

// The CRAM-MD5 answer before base64: user, a blank and the lower-case hex HMAC-MD5 of the
// (decoded) challenge keyed with the password.
std::string CramMd5Answer(std::string_view user, std::string_view password,
                          std::string_view challenge);

// The XOAUTH2 initial response before base64: "user=USER^Aauth=Bearer TOKEN^A^A" (^A is the
// byte 0x01).
std::string XOAuth2Blob(std::string_view user, std::string_view token);

// The OAUTHBEARER initial response before base64 (RFC 7628 3.1): the GS2 header
// "n,a=USER," with ',' and '=' in the user written =2C and =3D, then host, port and the
// bearer token as 0x01-separated key=value pairs, ended by two 0x01. An empty `host` or a
// `port` of 0 leaves that pair out (both are optional).
std::string OAuthBearerBlob(std::string_view user, std::string_view host, int port,
                            std::string_view token);

// The answer a server gives instead of success when it does not take a bearer token: a JSON
// object (sent base64 in a continuation) whose "status" says why, "schemes" and "scope" what it
// would take. Fields the server left out are empty.
struct OAuthErrorChallenge {
  std::string status;
  std::string schemes;
  std::string scope;
};

// Reads an error challenge from its decoded bytes. Empty optional: not a JSON object (a server
// that sends anything else tells nothing about the token). Only the three fields above are
// taken; other members, of any type, are skipped.
std::optional<OAuthErrorChallenge> ParseOAuthErrorChallenge(std::string_view json);

// Whether the challenge says the token itself was refused (status "401" or "invalid_token"),
// so that a fresh one may succeed where this one failed; any other status (a missing scope,
// a server fault) would fail the same way with a new token.
bool TokenRefused(const OAuthErrorChallenge& challenge);

}  // namespace dtl
