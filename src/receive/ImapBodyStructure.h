// A mail's MIME tree as an IMAP server describes it (FETCH BODYSTRUCTURE, RFC 3501 7.4.2),
// flattened to its leaf parts, each with the section number that fetches it. Nothing of the
// mail's body is needed to list its attachments.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/Error.h"
#include "receive/ImapResponse.h"

namespace dtl {

struct ImapBodyPart {
  std::string section;      // for BODY.PEEK[section]: "1", "2", "2.1", ...
  std::string type;         // lower case: "text", "application", ...
  std::string subtype;      // lower case: "plain", "octet-stream", ...
  std::string encoding;     // lower case: "base64", "quoted-printable", "7bit", ...
  std::string disposition;  // lower case: "attachment", "inline", or empty
  // The disposition's filename, else the type's name, decoded to UTF-8 (RFC 2231 extended
  // and continued values, RFC 2047 encoded words; see MimeFileName).
  std::string fileName;
  uint64_t size = 0;  // encoded size in bytes, as the server counts it
};

// The leaf parts of `structure` (the value after BODYSTRUCTURE) in the mail's order. The parts
// of a mail carried as message/rfc822 come after it, numbered inside it ("2.1", "2.2").
// Fails Protocol when the value does not have the shape of a body structure.
Result<std::vector<ImapBodyPart>> ImapBodyParts(const ImapValue& structure);

}  // namespace dtl
