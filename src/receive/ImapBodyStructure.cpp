#include "receive/ImapBodyStructure.h"

#include <cctype>

#include "mail/MimeReader.h"

namespace dtl {
namespace {

Error Bad(const std::string& why) {
  return Error(ErrorCode::Protocol, "the IMAP server sent a malformed body structure: " + why);
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string Text(const ImapValue& v) { return v.IsString() ? v.text : std::string(); }

// A parameter list ("name" "value" ...) as the server passed it. Servers differ in what they
// do with RFC 2231 forms: some join the continuations and hand over "filename*" with its
// charset'lang'%XX value, others pass "filename*0*", "filename*1" as the mail had them; the
// MIME reader takes both, the same way it reads them from a mail's own header.
std::vector<MimeParam> Params(const ImapValue& list) {
  std::vector<MimeParam> params;
  if (!list.IsList()) return params;
  for (size_t i = 0; i + 1 < list.items.size(); i += 2)
    params.push_back({Text(list.items[i]), Text(list.items[i + 1]), false});
  return DecodeMimeParams(params);
}

// `messageBody`: `body` is what a message/rfc822 part at `section` carries, whose one part (if
// it is not multipart) is numbered section.1.
Status Walk(const ImapValue& body, const std::string& section, bool messageBody,
            std::vector<ImapBodyPart>& out) {
  if (!body.IsList() || body.items.empty()) return Bad("a part that is not a list");
  const auto& items = body.items;
  if (items[0].IsList()) {
    // Multipart: the children come first, then the subtype and extension data.
    int n = 0;
    for (const ImapValue& child : items) {
      if (!child.IsList()) break;
      ++n;
      const std::string childSection =
          section.empty() ? std::to_string(n) : section + "." + std::to_string(n);
      if (Status s = Walk(child, childSection, false, out); !s) return s;
    }
    return {};
  }
  if (items.size() < 7) return Bad("a part with fewer than seven fields");
  ImapBodyPart part;
  part.section = section.empty() ? "1" : messageBody ? section + ".1" : section;
  part.type = Lower(Text(items[0]));
  part.subtype = Lower(Text(items[1]));
  part.encoding = Lower(Text(items[5]));
  const std::string& size = Text(items[6]);
  if (size.empty() || size.size() > 19 || size.find_first_not_of("0123456789") != std::string::npos)
    return Bad("a part size that is not a number");
  part.size = std::stoull(size);
  size_t extension = 7;  // where a plain part's extension data (MD5) starts
  const bool message = part.type == "message" && part.subtype == "rfc822" && items.size() >= 10;
  if (part.type == "text")
    extension = 8;  // after the line count
  else if (message)
    extension = 10;  // after envelope, body and line count
  std::vector<MimeParam> dispositionParams;
  if (items.size() > extension + 1) {
    const ImapValue& disposition = items[extension + 1];
    if (disposition.IsList() && !disposition.items.empty()) {
      part.disposition = Lower(Text(disposition.items[0]));
      if (disposition.items.size() > 1) dispositionParams = Params(disposition.items[1]);
    }
  }
  part.fileName = MimeFileName(dispositionParams, Params(items[2]));
  out.push_back(part);
  if (message) return Walk(items[8], part.section, true, out);
  return {};
}

}  // namespace

Result<std::vector<ImapBodyPart>> ImapBodyParts(const ImapValue& structure) {
  std::vector<ImapBodyPart> parts;
  if (Status s = Walk(structure, "", false, parts); !s) return s.error();
  return parts;
}

}  // namespace dtl
