// The pieces of the SMTP and IMAP logins that are pure functions of their inputs: base64 both
// ways and the answers of the PLAIN and CRAM-MD5 mechanisms (RFC 4616, RFC 2195), which both
// protocols send the same way. Kept apart from the dialogues so they can be checked against
// published examples.
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

}  // namespace dtl
