// Reading mails that other programs wrote: header fields (folded lines, parameters with quoted
// strings and comments, RFC 2231 extended and continued parameters, RFC 2047 encoded words)
// and the MIME tree of a whole message, flattened to its leaf parts with the section numbers
// an IMAP server gives them and where each part's body lies in the message.
//
// Everything here is lenient the way mail readers are: a malformed field or part is read as
// well as it can be, never refused. The one refusal is a message nested deeper or cut into
// more parts than kMaxMimeDepth / kMaxMimePartCount allow, so a hostile mail cannot exhaust the
// stack or memory. No function keeps a pointer into its input.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Error.h"

namespace dtl {

// One header field: the name as written (no blanks around it) and the unfolded value with
// the blanks at both ends trimmed; nothing decoded.
struct MimeField {
  std::string name;
  std::string value;
};

// A header block and where the body after it starts.
struct MimeHeaderBlock {
  std::vector<MimeField> fields;
  // Offset in the input of the first byte after the empty line; the input's size when the
  // block has none.
  size_t bodyOffset = 0;
  // The value of the first field called `name` (any case), or nullopt.
  std::optional<std::string> Get(std::string_view name) const;
};

// Removes the line breaks of a folded value (CRLF, or a bare LF or CR, followed by a blank);
// the blank stays. A line break not followed by a blank is removed as well.
std::string UnfoldHeaderValue(std::string_view value);

// Reads the header block at the start of `bytes` up to its empty line (CRLF or bare LF line
// ends) or the end of the input. A line that is neither a field nor a continuation (an mbox
// "From " line, stray text) is skipped; it does not end the block, as it does not for IMAP
// servers.
MimeHeaderBlock ParseHeaderBlock(std::string_view bytes);

// One parameter of a Content-Type or Content-Disposition value.
struct MimeParam {
  std::string name;   // lower case
  std::string value;  // without its quotes; \\ and \" unescaped
  // The value came from an RFC 2231 extended form (name*=charset'lang'%XX or name*0*=...) and
  // is decoded already (UTF-8, or the bytes as sent for an unknown charset); a plain value
  // may still hold encoded words.
  bool extended = false;
};

// A Content-Type or Content-Disposition value: "type/subtype" or "attachment" plus parameters.
struct MimeFieldValue {
  std::string value;              // lower case, blanks and comments removed
  std::vector<MimeParam> params;  // decoded by DecodeMimeParams, in order of appearance
  // The parameter called `name` (lower case, without '*'), or nullopt.
  std::optional<std::string> Param(std::string_view name) const;
};

// Parses an unfolded Content-Type / Content-Disposition value. Parameters are separated by
// ';', values are tokens or quoted strings (an unquoted value runs to the next ';'), comments
// in parentheses are skipped outside values.
MimeFieldValue ParseMimeFieldValue(std::string_view value);

// Joins RFC 2231 continuations (name*0, name*1*, ...; they stop at the first missing number)
// and decodes extended values (charset'language'percent-escapes) to UTF-8. An extended form
// wins over a plain one of the same name. `raw` holds names as written (any case, with their
// '*' markers) and values without quotes. The result has one entry per name.
std::vector<MimeParam> DecodeMimeParams(const std::vector<MimeParam>& raw);

// `bytes` in `charset` (MIME name, any case: utf-8, us-ascii, iso-8859-1, iso-8859-15,
// windows-1252 and whatever else the C library's iconv knows) as UTF-8; a byte that is not
// valid in the charset becomes U+FFFD. nullopt for a charset that is unknown.
std::optional<std::string> CharsetToUtf8(std::string_view charset, std::string_view bytes);

// Decodes RFC 2047 encoded words (=?charset?B?...?= and =?charset?Q?...?=) to UTF-8 wherever
// they stand in `text`. Blanks between two adjacent encoded words are dropped, and the bytes
// of adjacent words in one charset are joined before they are converted (so a character split
// across two words survives). A word in an unknown charset or with a malformed body is kept as
// it stands; text outside encoded words is kept byte for byte.
std::string DecodeEncodedWords(std::string_view text);

// The file name a part carries, decoded to UTF-8: the Content-Disposition's "filename", else
// the Content-Type's "name" (both as given by DecodeMimeParams); encoded words in a plain value
// are decoded. Empty when neither is there.
std::string MimeFileName(const std::vector<MimeParam>& dispositionParams,
                         const std::vector<MimeParam>& typeParams);

// A mail cut deeper or into more parts than this is refused.
inline constexpr int kMaxMimeDepth = 50;
inline constexpr size_t kMaxMimePartCount = 5000;

// One part of a message as ParseMimeMessage lists it.
struct MimeLeaf {
  std::string section;      // as IMAP numbers it: "1", "2", "2.1", ...
  std::string type;         // lower case: "text", "application", "message", ...
  std::string subtype;      // lower case: "plain", "octet-stream", "rfc822", ...
  std::string encoding;     // Content-Transfer-Encoding, lower case; "7bit" when absent
  std::string disposition;  // lower case: "attachment", "inline", or empty
  std::string fileName;     // MimeFileName of the part
  size_t headerOffset = 0;  // where the part's header block starts in the message
  size_t bodyOffset = 0;    // where its body (still in its transfer encoding) starts
  size_t bodySize = 0;      // and how many bytes it has
};

// The leaf parts of the whole message `bytes` (header block and body) in the mail's order,
// numbered as an IMAP server numbers them in BODYSTRUCTURE (see ImapBodyParts): a part of type
// message/rfc822 is listed itself and then the parts of the message it carries, numbered
// inside it ("2.1", "2.2"), whatever its transfer encoding. A multipart's parts lie between
// its boundary lines (matched as line prefixes); a missing closing boundary ends the last part
// at the end of the enclosing body; a multipart without a boundary parameter is one text/plain
// part, and one without a boundary line holds one empty text/plain part. (Numbers and bodies
// are checked against Dovecot's.) The parts hold offsets into `bytes`, never pointers. Fails
// Corrupt when the message nests deeper than kMaxMimeDepth or has more than kMaxMimePartCount
// parts.
Result<std::vector<MimeLeaf>> ParseMimeMessage(std::string_view bytes);

}  // namespace dtl
