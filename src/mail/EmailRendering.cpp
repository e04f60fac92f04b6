// The message side of the email object: default fields, the set-a-field rule, and the wire
// rendering of the MIME tree (boundaries, folded parameters, base64 bodies).
#include "mail/EmailObject.h"
#include "mail/Uuid.h"

#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace dtl {
namespace {

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// A field value is one line on the wire: a CR or LF inside it would end the field and let the
// rest of the value (a file name, a subject) pose as fields of its own.
std::string OneLine(std::string_view v) {
  std::string out;
  out.reserve(v.size());
  bool inBreak = false;
  for (char c : v) {
    if (c == '\r' || c == '\n') {
      if (!inBreak) out.push_back(' ');
      inBreak = true;
    } else {
      out.push_back(c);
      inBreak = false;
    }
  }
  return out;
}

bool HasEightBit(std::string_view s) {
  return std::any_of(s.begin(), s.end(),
                     [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

// The inside of a quoted-string: a '"' or '\' in a file name must not end the parameter early.
std::string Quoted(std::string_view v) {
  std::string out;
  for (char c : OneLine(v)) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

void AppendBase64Lines(const uint8_t* data, size_t len, std::string& out) {
  // 57 input bytes make exactly one 76-character line.
  constexpr size_t kLineBytes = 57;
  unsigned char buf[80];
  out.reserve(out.size() + (len + kLineBytes - 1) / kLineBytes * 78);
  for (size_t off = 0; off < len; off += kLineBytes) {
    size_t n = std::min(kLineBytes, len - off);
    int w = EVP_EncodeBlock(buf, data + off, static_cast<int>(n));
    if (off != 0) out += "\r\n";
    out.append(reinterpret_cast<const char*>(buf), static_cast<size_t>(w));
  }
}

// RFC 2047 encoded words for a value that carries bytes beyond ASCII (a file name in the
// subject), cut at character boundaries so every word decodes on its own.
std::string EncodedWords(std::string_view v) {
  constexpr size_t kMaxBytes = 45;
  std::string out;
  size_t off = 0;
  while (off < v.size()) {
    size_t end = std::min(v.size(), off + kMaxBytes);
    while (end < v.size() && end > off + 1 && (static_cast<unsigned char>(v[end]) & 0xC0) == 0x80)
      --end;
    std::string chunk;
    AppendBase64Lines(reinterpret_cast<const uint8_t*>(v.data() + off), end - off, chunk);
    if (!out.empty()) out += "\r\n ";
    out += "=?UTF-8?B?" + chunk + "?=";
    off = end;
  }
  return out;
}

std::string FieldValue(std::string_view name, std::string_view value) {
  std::string v = OneLine(value);
  if (EqualsNoCase(name, "Subject") && HasEightBit(v)) return EncodedWords(v);
  return v;
}

// The longest line and whether the body holds NULs or 8-bit bytes decide whether it may travel
// as it is under "7bit"/"8bit".
bool FitsRaw(const std::vector<uint8_t>& body, bool allowEightBit) {
  size_t line = 0;
  for (uint8_t c : body) {
    if (c == 0) return false;
    if (c >= 0x80 && !allowEightBit) return false;
    if (c == '\n' || c == '\r') {
      line = 0;
    } else if (++line > 998) {
      return false;
    }
  }
  return true;
}

// Line ends on the wire are CRLF; a bare LF or CR in a text body becomes one.
void AppendCrlfText(const std::vector<uint8_t>& body, std::string& out) {
  out.reserve(out.size() + body.size() + body.size() / 32);
  for (size_t i = 0; i < body.size(); ++i) {
    char c = static_cast<char>(body[i]);
    if (c == '\r') {
      out += "\r\n";
      if (i + 1 < body.size() && body[i + 1] == '\n') ++i;
    } else if (c == '\n') {
      out += "\r\n";
    } else {
      out.push_back(c);
    }
  }
}

void AppendParameter(std::string& value, std::string_view key, std::string_view param) {
  if (value.empty() || value.back() != ';') value.push_back(';');
  value += "\r\n\t";
  value += key;
  value += "=\"";
  value += Quoted(param);
  value += '"';
}

std::string ContentTypeValue(std::string_view mediaType, std::string_view charset) {
  std::string v = OneLine(TrimBlanks(mediaType));
  if (v.empty()) v = "text/plain";
  if (!charset.empty() && Lower(v).rfind("text/", 0) == 0)
    v += "; charset=\"" + Quoted(charset) + "\"";
  return v;
}

void DropTrailingSemicolon(std::string& v) {
  if (!v.empty() && v.back() == ';') v.pop_back();
}

struct Structured {
  std::string contentType, transferEncoding, disposition;
};

// Writes the part's fields in order; the three structured fields take the place of a field of
// the same name (the message keeps its defaults there) or lead the block when there is none.
void AppendHeaderBlock(const MimePart& part, const Structured& s, std::string& out) {
  std::array<std::pair<std::string_view, const std::string*>, 3> structured{{
      {"Content-Type", &s.contentType},
      {"Content-Transfer-Encoding", &s.transferEncoding},
      {"Content-Disposition", &s.disposition},
  }};
  std::array<bool, 3> placed{};
  for (const auto& h : part.headers) {
    for (size_t i = 0; i < structured.size(); ++i) {
      if (EqualsNoCase(h.name, structured[i].first)) placed[i] = true;
    }
  }
  std::vector<std::string> lines;
  for (size_t i = 0; i < structured.size(); ++i) {
    if (!placed[i] && !structured[i].second->empty())
      lines.push_back(std::string(structured[i].first) + ": " + *structured[i].second);
  }
  std::array<bool, 3> written{};
  for (const auto& h : part.headers) {
    bool isStructured = false;
    for (size_t i = 0; i < structured.size(); ++i) {
      if (!EqualsNoCase(h.name, structured[i].first)) continue;
      isStructured = true;
      if (!written[i] && !structured[i].second->empty())
        lines.push_back(std::string(structured[i].first) + ": " + *structured[i].second);
      written[i] = true;
    }
    if (isStructured) continue;
    std::string name = OneLine(h.name);
    if (TrimBlanks(name).empty()) continue;
    lines.push_back(name + ": " + FieldValue(name, h.value));
  }
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i != 0) out += "\r\n";
    out += lines[i];
  }
  out += "\r\n\r\n";
}

constexpr std::string_view kPreamble = "This is a multi-part message in MIME format.\r\n\r\n";

bool MakeBoundary(const EmailObject::UuidSource& source, std::string& boundary) {
  std::string u = source ? source() : NewUuid();
  if (u.size() < 32) return false;
  boundary = "----=_NextPart_" + u.substr(0, 3) + "_" + u.substr(3, 4) + "_" + u.substr(9, 4) +
             u.substr(14, 4) + "." + u.substr(24, 8);
  return true;
}

bool RenderPart(const MimePart& part, const std::vector<const MimePart*>& subParts,
                const EmailObject::UuidSource& uuids, std::string& out);

void CollectSubParts(const MimePart& part, std::vector<const MimePart*>& out) {
  for (const auto& p : part.parts) out.push_back(&p);
}

bool RenderMultipart(const MimePart& part, std::string_view mediaType,
                     const std::vector<const MimePart*>& subParts,
                     const EmailObject::UuidSource& uuids, std::string& out) {
  std::string boundary;
  if (!MakeBoundary(uuids, boundary)) return false;
  Structured s;
  s.contentType = OneLine(mediaType);
  AppendParameter(s.contentType, "boundary", boundary);
  DropTrailingSemicolon(s.contentType);
  // A multipart entity may only be 7bit, 8bit or binary; its parts carry their own encodings.
  std::string enc = Lower(TrimBlanks(part.transferEncoding));
  s.transferEncoding = (enc == "8bit" || enc == "binary") ? enc : "7bit";
  AppendHeaderBlock(part, s, out);
  out += kPreamble;
  for (const MimePart* sub : subParts) {
    out += "--" + boundary + "\r\n";
    std::vector<const MimePart*> nested;
    CollectSubParts(*sub, nested);
    if (!RenderPart(*sub, nested, uuids, out)) return false;
    out += "\r\n";
  }
  out += "--" + boundary + "--\r\n";
  return true;
}

bool RenderPart(const MimePart& part, const std::vector<const MimePart*>& subParts,
                const EmailObject::UuidSource& uuids, std::string& out) {
  if (!subParts.empty()) {
    std::string media = Lower(TrimBlanks(part.mediaType));
    return RenderMultipart(part, media.rfind("multipart/", 0) == 0 ? media : "multipart/mixed",
                           subParts, uuids, out);
  }

  std::string declared = Lower(TrimBlanks(part.transferEncoding));
  bool base64 = false;
  if (declared == "base64") {
    base64 = true;
  } else if (declared.empty() || declared == "7bit") {
    base64 = !FitsRaw(part.body, false);
  } else if (declared == "8bit" || declared == "binary") {
    base64 = !FitsRaw(part.body, true);
  } else {
    // An encoding this renderer does not write (quoted-printable, uuencode): base64 carries
    // the same bytes and every reader understands it.
    base64 = !part.body.empty();
  }
  Structured s;
  std::string charset = part.charset;
  bool text = Lower(TrimBlanks(part.mediaType)).rfind("text/", 0) == 0 ||
              TrimBlanks(part.mediaType).empty();
  if (text && charset.empty() &&
      HasEightBit(
          std::string_view(reinterpret_cast<const char*>(part.body.data()), part.body.size())))
    charset = "utf-8";
  s.contentType = ContentTypeValue(part.mediaType, charset);
  std::string name =
      !part.contentName.empty() ? part.contentName : (text ? std::string() : part.fileName);
  if (!name.empty()) AppendParameter(s.contentType, "name", name);
  DropTrailingSemicolon(s.contentType);
  s.transferEncoding = base64 ? "base64" : OneLine(declared);
  std::string disposition = OneLine(TrimBlanks(part.disposition));
  if (!disposition.empty()) {
    s.disposition = disposition;
    if (!part.fileName.empty()) s.disposition += "; filename=\"" + Quoted(part.fileName) + "\"";
  }
  AppendHeaderBlock(part, s, out);
  if (base64) {
    AppendBase64Lines(part.body.data(), part.body.size(), out);
  } else {
    AppendCrlfText(part.body, out);
  }
  return true;
}

std::string FormatDate(std::time_t now, int offsetMinutes) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::time_t local = now + static_cast<std::time_t>(offsetMinutes) * 60;
  std::tm tm{};
  gmtime_r(&local, &tm);
  // The zone is sign, hours, minutes: printing hours and minutes as two signed numbers would
  // give "-03-30" for Newfoundland and "+00-30" for half an hour west of UTC.
  int a = std::abs(offsetMinutes);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d %c%02d%02d",
                kDays[tm.tm_wday % 7], tm.tm_mday, kMonths[tm.tm_mon % 12], tm.tm_year + 1900,
                tm.tm_hour, tm.tm_min, tm.tm_sec, offsetMinutes < 0 ? '-' : '+', a / 60, a % 60);
  return buf;
}

}  // namespace

MessageStamp CurrentMessageStamp() {
  MessageStamp s;
  s.now = std::time(nullptr);
  std::tm tm{};
  if (localtime_r(&s.now, &tm)) s.utcOffsetMinutes = static_cast<int>(tm.tm_gmtoff / 60);
  s.uuid = NewUuid();
  char host[HOST_NAME_MAX + 1] = {};
  if (gethostname(host, sizeof host - 1) == 0) s.hostName = host;
  return s;
}

std::string MediaTypeForFileName(std::string_view fileName) {
  static const std::pair<std::string_view, std::string_view> kTable[] = {
      {"doc", "application/msword"},
      {"dot", "application/msword"},
      {"rtf", "application/rtf"},
      {"pdf", "application/pdf"},
      {"xls", "application/vnd.ms-excel"},
      {"ppt", "application/vnd.ms-powerpoint"},
      {"zip", "application/zip"},
      {"gz", "application/x-gzip"},
      {"tgz", "application/x-gzip"},
      {"tar", "application/x-tar"},
      {"exe", "application/x-msdownload"},
      {"dll", "application/x-msdownload"},
      {"js", "application/x-javascript"},
      {"txt", "text/plain"},
      {"log", "text/plain"},
      {"htm", "text/html"},
      {"html", "text/html"},
      {"css", "text/css"},
      {"xml", "text/xml"},
      {"csv", "text/csv"},
      {"eml", "message/rfc822"},
      {"gif", "image/gif"},
      {"jpg", "image/jpeg"},
      {"jpeg", "image/jpeg"},
      {"jpe", "image/jpeg"},
      {"png", "image/png"},
      {"bmp", "image/bmp"},
      {"tif", "image/tiff"},
      {"tiff", "image/tiff"},
      {"ico", "image/x-icon"},
      {"mp3", "audio/mpeg"},
      {"wav", "audio/x-wav"},
      {"mid", "audio/midi"},
      {"midi", "audio/midi"},
      {"mpg", "video/mpeg"},
      {"mpeg", "video/mpeg"},
      {"avi", "video/x-msvideo"},
      {"mov", "video/quicktime"},
  };
  size_t slash = fileName.find_last_of("/\\");
  std::string_view base = slash == std::string_view::npos ? fileName : fileName.substr(slash + 1);
  size_t dot = base.rfind('.');
  if (dot != std::string_view::npos && dot != 0) {
    std::string ext = Lower(base.substr(dot + 1));
    for (const auto& [e, type] : kTable) {
      if (ext == e) return std::string(type);
    }
  }
  return "application/octet-stream";
}

EmailObject EmailObject::CreateMessage(const MessageStamp& stamp) {
  EmailObject m;
  m.SetHeader("MIME-Version", "1.0");
  m.SetHeader("Date", FormatDate(stamp.now, stamp.utcOffsetMinutes));
  std::string host = stamp.hostName.empty() ? std::string("unknown") : stamp.hostName;
  m.SetHeader("Message-ID", "<TESSALY-MID-" + stamp.uuid + "@" + host + ">");
  m.SetHeader("Content-Type", "text/plain");
  m.SetHeader("Content-Transfer-Encoding", "7bit");
  m.SetHeader("X-Mailer", kMailerProductLine);
  m.SetHeader("X-Priority", "3 (Normal)");
  return m;
}

void EmailObject::SetHeader(std::string_view name, std::string_view value) {
  // The value travels as given (a plain transfer's subject ends in a blank); blanks only decide
  // whether it is empty, in the part's own set-a-field rule.
  const std::string given = OneLine(value);
  const std::string v(TrimBlanks(given));
  if (EqualsNoCase(name, "Content-Type")) {
    // Keep the structured type in step: the media type, and the charset parameter if any.
    std::string_view media = v;
    message_.charset.clear();
    if (size_t semi = media.find(';'); semi != std::string_view::npos) {
      std::string params = Lower(media.substr(semi + 1));
      if (size_t cs = params.find("charset="); cs != std::string::npos) {
        std::string_view c = std::string_view(v).substr(semi + 1 + cs + 8);
        c = c.substr(0, c.find(';'));
        c = TrimBlanks(c);
        if (c.size() >= 2 && c.front() == '"' && c.back() == '"') c = c.substr(1, c.size() - 2);
        message_.charset = c;
      }
      media = media.substr(0, semi);
    }
    message_.mediaType = TrimBlanks(media);
  } else if (EqualsNoCase(name, "Content-Transfer-Encoding")) {
    message_.transferEncoding = v;
  }
  message_.SetHeader(name, given);
}

void EmailObject::SetSubject(std::string_view subject) { SetHeader("Subject", subject); }

void EmailObject::SetFrom(std::string_view address) {
  from_ = OneLine(TrimBlanks(address));
  SetHeader("From", from_);
}

void EmailObject::AddTo(std::string_view name, std::string_view address) {
  to_.push_back({OneLine(TrimBlanks(name)), OneLine(TrimBlanks(address))});
  std::string field;
  for (const auto& a : to_) {
    if (!field.empty()) field += ", ";
    if (a.name.empty() || a.name == a.address) {
      field += a.address;
    } else {
      field += "\"" + Quoted(a.name) + "\" <" + a.address + ">";
    }
  }
  SetHeader("To", field);
}

void EmailObject::SetBody(std::string_view text) { message_.body.assign(text.begin(), text.end()); }

Status EmailObject::Render(std::string& out) const {
  std::string wire;
  std::vector<const MimePart*> subParts;
  MimePart textPart;
  if (!attachments_.empty() || !message_.parts.empty()) {
    // The text body travels as the first part of the multipart message.
    textPart.mediaType = message_.mediaType;
    textPart.charset = message_.charset;
    textPart.transferEncoding = message_.transferEncoding;
    textPart.body = message_.body;
    subParts.push_back(&textPart);
    CollectSubParts(message_, subParts);
    for (const auto& a : attachments_) subParts.push_back(&a);
  }
  // A boundary UUID too short to cut a boundary from is the only way rendering fails.
  if (!RenderPart(message_, subParts, uuidSource_, wire))
    return Error(ErrorCode::Failed, "Failed to prepare email for sending.");
  out = std::move(wire);
  return {};
}

}  // namespace dtl
