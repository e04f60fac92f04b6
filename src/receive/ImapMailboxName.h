// Mailbox names on the wire: IMAP sends them in modified UTF-7 (RFC 3501 section 5.1.3), where
// printable ASCII stands for itself, "&" is "&-", and any other run of characters is
// "&" + its UTF-16 in base64 (with "," for "/", unpadded) + "-". Users and settings hold names
// in UTF-8; these two functions convert between the forms.
#pragma once

#include <string>
#include <string_view>

#include "base/Error.h"

namespace dtl {

// UTF-8 → modified UTF-7. Fails InvalidArgument when `utf8` is not valid UTF-8 (overlong
// forms, surrogates, truncated sequences) or holds a NUL.
Result<std::string> EncodeMailboxName(std::string_view utf8);

// Modified UTF-7 → UTF-8. Fails Protocol on anything a conforming server cannot send: a raw
// byte outside printable ASCII, an unterminated or empty "&...-" run (other than "&-"), base64
// with stray bits, an odd byte count, or UTF-16 with unpaired surrogates.
Result<std::string> DecodeMailboxName(std::string_view mutf7);

}  // namespace dtl
