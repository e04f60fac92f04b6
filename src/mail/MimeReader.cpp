#include "mail/MimeReader.h"

#include <iconv.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <map>

namespace dtl {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

char LowerChar(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = LowerChar(c);
  return out;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return LowerChar(x) == LowerChar(y);
         });
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Valid UTF-8 passes; each byte that does not start a well-formed sequence (overlong forms,
// surrogates and values past U+10FFFF included) becomes U+FFFD, so what leaves here is always
// UTF-8 a file system and a display can take.
std::string RepairUtf8(std::string_view in) {
  std::string out;
  out.reserve(in.size());
  size_t i = 0;
  while (i < in.size()) {
    const auto b = static_cast<unsigned char>(in[i]);
    size_t len = 0;
    uint32_t cp = 0;
    if (b < 0x80) {
      out.push_back(static_cast<char>(b));
      ++i;
      continue;
    }
    if (b >= 0xC2 && b <= 0xDF) {
      len = 2;
      cp = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      len = 3;
      cp = b & 0x0F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      len = 4;
      cp = b & 0x07;
    }
    bool ok = len != 0 && i + len <= in.size();
    for (size_t k = 1; ok && k < len; ++k) {
      const auto c = static_cast<unsigned char>(in[i + k]);
      if ((c & 0xC0) != 0x80) ok = false;
      cp = cp << 6 | (c & 0x3F);
    }
    if (ok && len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ok = false;
    if (ok && len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ok = false;
    if (!ok) {
      out += kReplacement;
      ++i;
      continue;
    }
    out.append(in.substr(i, len));
    i += len;
  }
  return out;
}

std::string Latin1ToUtf8(std::string_view in) {
  std::string out;
  out.reserve(in.size() * 2);
  for (char ch : in) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x80) {
      out.push_back(ch);
    } else {
      out.push_back(static_cast<char>(0xC0 | c >> 6));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

// The name comes from the mail: only plain charset names reach iconv_open, so a hostile one
// cannot switch on glibc's "//TRANSLIT" or "//IGNORE" suffixes or name a file.
bool PlainCharsetName(std::string_view name) {
  if (name.empty() || name.size() > 40) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.' ||
           c == ':';
  });
}

std::optional<std::string> IconvToUtf8(const std::string& charset, std::string_view in) {
  iconv_t cd = iconv_open("UTF-8", charset.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string out;
  char buffer[1024];
  char* src = const_cast<char*>(in.data());
  size_t left = in.size();
  while (left > 0) {
    char* dst = buffer;
    size_t room = sizeof buffer;
    const size_t r = iconv(cd, &src, &left, &dst, &room);
    const int error = r == static_cast<size_t>(-1) ? errno : 0;
    out.append(buffer, static_cast<size_t>(dst - buffer));
    if (error == 0 || error == E2BIG) continue;
    out += kReplacement;
    if (error != EILSEQ) break;  // EINVAL: the input ends inside a character
    ++src;
    --left;
  }
  char* dst = buffer;
  size_t room = sizeof buffer;
  iconv(cd, nullptr, nullptr, &dst, &room);  // a stateful charset's closing shift
  out.append(buffer, static_cast<size_t>(dst - buffer));
  iconv_close(cd);
  // Some of iconv's charsets can name values UTF-8 must not carry (surrogates from UTF-16 or
  // UCS-4 input): the promise of valid UTF-8 is kept here, not left to each module.
  return RepairUtf8(out);
}

std::string PercentDecode(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && HexValue(s[i + 1]) >= 0 && HexValue(s[i + 2]) >= 0) {
      out.push_back(static_cast<char>(HexValue(s[i + 1]) << 4 | HexValue(s[i + 2])));
      i += 2;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

// ---- field values ----

// Skips blanks and comments; a comment nests and may hold quoted pairs, and one left open
// runs to the end.
void SkipBlanksAndComments(std::string_view s, size_t& pos) {
  while (pos < s.size()) {
    if (IsBlank(s[pos])) {
      ++pos;
    } else if (s[pos] == '(') {
      int depth = 0;
      for (; pos < s.size(); ++pos) {
        if (s[pos] == '\\') {
          ++pos;
        } else if (s[pos] == '(') {
          ++depth;
        } else if (s[pos] == ')' && --depth == 0) {
          ++pos;
          break;
        }
      }
      pos = std::min(pos, s.size());  // a quoted pair cut by the end
    } else {
      return;
    }
  }
}

// An unquoted value may run to the ';' with blanks in it, so a comment is only taken off its
// end, and only when a blank sets it apart ("us-ascii (Plain text)"): "report (1).doc" keeps
// its parentheses.
std::string_view WithoutTrailingComment(std::string_view v) {
  if (v.empty() || v.back() != ')') return v;
  int depth = 0;
  for (size_t i = v.size(); i-- > 0;) {
    if (v[i] == ')') ++depth;
    if (v[i] == '(' && --depth == 0) {
      if (i == 0 || !IsBlank(v[i - 1])) return v;
      return Trim(v.substr(0, i));
    }
  }
  return v;
}

// A quoted string from its opening quote. Only \\ and \" are taken as escapes: other
// backslashes stay, because some mailers put Windows paths into file names unescaped and the
// name after the last backslash must survive.
std::string ReadQuoted(std::string_view s, size_t& pos) {
  std::string out;
  for (++pos; pos < s.size(); ++pos) {
    const char c = s[pos];
    if (c == '"') {
      ++pos;
      break;
    }
    if (c == '\\' && pos + 1 < s.size() && (s[pos + 1] == '\\' || s[pos + 1] == '"')) ++pos;
    out.push_back(s[pos]);
  }
  return out;
}

// ---- encoded words ----

std::optional<std::string> DecodeQ(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '_') {
      out.push_back(' ');
    } else if (s[i] == '=' && i + 2 < s.size() && HexValue(s[i + 1]) >= 0 &&
               HexValue(s[i + 2]) >= 0) {
      out.push_back(static_cast<char>(HexValue(s[i + 1]) << 4 | HexValue(s[i + 2])));
      i += 2;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Missing padding is forgiven (mailers drop it); a character outside the alphabet, or a lone
// sixth of a byte at the end, makes the word malformed.
std::optional<std::string> DecodeB(std::string_view s) {
  while (!s.empty() && s.back() == '=') s.remove_suffix(1);
  std::string out;
  uint32_t acc = 0;
  int bits = 0;
  for (char c : s) {
    const int v = Base64Value(c);
    if (v < 0) return std::nullopt;
    acc = (acc << 6 | static_cast<uint32_t>(v)) & 0xFFFFFF;
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>(acc >> bits & 0xFF));
    }
  }
  if (s.size() % 4 == 1) return std::nullopt;
  return out;
}

struct EncodedWord {
  size_t begin = 0, end = 0;
  std::string charset;
  std::string bytes;
};

// The encoded word starting at `at` ("=?"), if one well-formed is there. A hostile header
// of many "=?" must cost one pass, not one per "=?": the charset is looked for only within
// its longest length, and `nextClose` keeps the first "?=" found so far (the searches only
// move forward), so the text is scanned for it once.
std::optional<EncodedWord> ReadEncodedWord(std::string_view text, size_t at, size_t& nextClose) {
  constexpr size_t kLongestCharset = 64;
  const size_t q = text.substr(at + 2, kLongestCharset + 1).find('?');
  if (q == std::string_view::npos || q == 0) return std::nullopt;
  const size_t q1 = at + 2 + q;
  if (q1 + 3 >= text.size()) return std::nullopt;
  const std::string_view charset = text.substr(at + 2, q);
  if (std::any_of(charset.begin(), charset.end(), IsBlank)) return std::nullopt;
  const char encoding = LowerChar(text[q1 + 1]);
  if ((encoding != 'b' && encoding != 'q') || text[q1 + 2] != '?') return std::nullopt;
  if (nextClose < q1 + 3) nextClose = text.find("?=", q1 + 3);
  if (nextClose == std::string_view::npos) return std::nullopt;
  const std::string_view payload = text.substr(q1 + 3, nextClose - q1 - 3);
  // A B word fails at its first character outside the alphabet, at the latest the '?' of the
  // next "=?", so failed words cost no more than the text between them.
  auto bytes = encoding == 'b' ? DecodeB(payload) : DecodeQ(payload);
  if (!bytes) return std::nullopt;
  return EncodedWord{at, nextClose + 2, std::string(charset), std::move(*bytes)};
}

// ---- the message tree ----

struct Range {
  size_t begin, end;
};

// The parts of a multipart body between its boundary lines. A boundary is matched as a line
// prefix, as IMAP servers match it (so text after the boundary on its line does not hide it);
// the line break before a boundary line belongs to the boundary, not to the part.
std::vector<Range> SplitMultipart(std::string_view msg, Range body, std::string_view boundary) {
  const std::string delimiter = "--" + std::string(boundary);
  std::vector<Range> parts;
  constexpr size_t kNone = std::string_view::npos;
  size_t partStart = kNone;  // kNone: still in the preamble
  size_t line = body.begin;
  const std::string_view within = msg.substr(0, body.end);
  while (line < body.end) {
    size_t lineEnd = within.find('\n', line);
    if (lineEnd == kNone) lineEnd = body.end;
    if (line + delimiter.size() <= body.end &&
        msg.compare(line, delimiter.size(), delimiter) == 0) {
      if (partStart != kNone) {
        size_t partEnd = line;
        if (partEnd > partStart && msg[partEnd - 1] == '\n') --partEnd;
        if (partEnd > partStart && msg[partEnd - 1] == '\r') --partEnd;
        parts.push_back({partStart, partEnd});
      }
      const size_t after = line + delimiter.size();
      if (after + 2 <= body.end && msg.compare(after, 2, "--") == 0) return parts;
      partStart = std::min(lineEnd + 1, body.end);
    }
    line = lineEnd + 1;
  }
  if (partStart != kNone) parts.push_back({partStart, body.end});
  return parts;
}

class TreeWalker {
 public:
  explicit TreeWalker(std::string_view msg) : msg_(msg) {}

  // `entity` is a header block and its body. `messageBody`: it is what the message/rfc822
  // part numbered `section` carries, whose one part (when it is not multipart) is section.1.
  Status Walk(Range entity, const std::string& section, bool messageBody, bool inDigest,
              int depth) {
    if (depth > kMaxMimeDepth)
      return Error(ErrorCode::Corrupt, "the mail nests its parts more than " +
                                           std::to_string(kMaxMimeDepth) + " levels deep");
    if (++entities_ > kMaxMimePartCount)
      return Error(ErrorCode::Corrupt,
                   "the mail has more than " + std::to_string(kMaxMimePartCount) + " parts");
    const std::string_view bytes = msg_.substr(entity.begin, entity.end - entity.begin);
    const MimeHeaderBlock header = ParseHeaderBlock(bytes);
    const Range body{entity.begin + header.bodyOffset, entity.end};

    std::string type = inDigest ? "message" : "text";
    std::string subtype = inDigest ? "rfc822" : "plain";
    MimeFieldValue contentType;
    if (auto field = header.Get("Content-Type")) {
      contentType = ParseMimeFieldValue(*field);
      const size_t slash = contentType.value.find('/');
      // A type without its subtype is not one: the part reads as the default, as servers
      // read it.
      if (slash != std::string::npos && slash > 0 && slash + 1 < contentType.value.size()) {
        type = contentType.value.substr(0, slash);
        subtype = contentType.value.substr(slash + 1);
      } else {
        contentType.params.clear();
        type = "text";
        subtype = "plain";
      }
    }

    if (type == "multipart") {
      const std::string boundary = contentType.Param("boundary").value_or("");
      if (!boundary.empty()) {
        int n = 0;
        for (const Range& child : SplitMultipart(msg_, body, boundary)) {
          ++n;
          const std::string childSection =
              section.empty() ? std::to_string(n) : section + "." + std::to_string(n);
          if (Status s = Walk(child, childSection, false, subtype == "digest", depth + 1); !s)
            return s;
        }
        if (n == 0) {
          // A multipart must have a part: IMAP servers give one with no bytes in place of
          // none, and so does this reader, to keep their numbers.
          MimeLeaf empty;
          empty.section = section.empty() ? "1" : section + ".1";
          empty.type = "text";
          empty.subtype = "plain";
          empty.encoding = "7bit";
          empty.headerOffset = empty.bodyOffset = body.end;
          parts_.push_back(std::move(empty));
        }
        return {};
      }
      // Without a boundary nothing can be split: IMAP servers call such a part text/plain.
      type = "text";
      subtype = "plain";
      contentType.params.clear();
    }

    MimeLeaf leaf;
    leaf.section = section.empty() ? "1" : messageBody ? section + ".1" : section;
    leaf.type = std::move(type);
    leaf.subtype = std::move(subtype);
    leaf.encoding = ParseMimeFieldValue(header.Get("Content-Transfer-Encoding").value_or("")).value;
    if (leaf.encoding.empty()) leaf.encoding = "7bit";
    const MimeFieldValue disposition =
        ParseMimeFieldValue(header.Get("Content-Disposition").value_or(""));
    leaf.disposition = disposition.value;
    leaf.fileName = MimeFileName(disposition.params, contentType.params);
    leaf.headerOffset = entity.begin;
    leaf.bodyOffset = body.begin;
    leaf.bodySize = body.end - body.begin;
    const bool carriesMessage = leaf.type == "message" && leaf.subtype == "rfc822";
    const std::string leafSection = leaf.section;
    parts_.push_back(std::move(leaf));
    // Even a forwarded mail in base64 is read as a mail as it stands (its encoded text then
    // holds one part): IMAP servers number it so, and the numbers must be theirs.
    if (carriesMessage) return Walk(body, leafSection, true, false, depth + 1);
    return {};
  }

  std::vector<MimeLeaf> Take() { return std::move(parts_); }

 private:
  std::string_view msg_;
  std::vector<MimeLeaf> parts_;
  size_t entities_ = 0;
};

}  // namespace

std::optional<std::string> MimeHeaderBlock::Get(std::string_view name) const {
  for (const MimeField& f : fields)
    if (EqualsNoCase(f.name, name)) return f.value;
  return std::nullopt;
}

std::string UnfoldHeaderValue(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value)
    if (c != '\r' && c != '\n') out.push_back(c);
  return out;
}

MimeHeaderBlock ParseHeaderBlock(std::string_view bytes) {
  MimeHeaderBlock block;
  block.bodyOffset = bytes.size();
  size_t valueBegin = 0, valueEnd = 0;  // the current field's raw value, folds included
  bool open = false;
  auto close = [&] {
    if (!open) return;
    block.fields.back().value =
        std::string(Trim(UnfoldHeaderValue(bytes.substr(valueBegin, valueEnd - valueBegin))));
    open = false;
  };
  size_t line = 0;
  while (line < bytes.size()) {
    size_t next = bytes.find('\n', line);
    next = next == std::string_view::npos ? bytes.size() : next + 1;
    std::string_view text = bytes.substr(line, next - line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
    if (text.empty()) {
      close();
      block.bodyOffset = next;
      return block;
    }
    if (text.front() == ' ' || text.front() == '\t') {
      // A continuation; one before any field has nothing to continue and is dropped.
      if (open) valueEnd = line + text.size();
    } else {
      const size_t colon = text.find(':');
      std::string_view name =
          colon == std::string_view::npos ? std::string_view() : Trim(text.substr(0, colon));
      const bool fieldName = !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
        return static_cast<unsigned char>(c) > 32 && static_cast<unsigned char>(c) < 127;
      });
      close();
      // Not a field (an mbox "From " line, a sender's stray text): skipped, with its
      // continuations. The block still ends only at the empty line, as IMAP servers read it,
      // so the parts' bodies are the ones they give.
      if (!fieldName) {
        line = next;
        continue;
      }
      block.fields.push_back({std::string(name), {}});
      valueBegin = line + colon + 1;
      valueEnd = line + text.size();
      open = true;
    }
    line = next;
  }
  close();
  return block;
}

std::optional<std::string> MimeFieldValue::Param(std::string_view name) const {
  for (const MimeParam& p : params)
    if (p.name == name) return p.value;
  return std::nullopt;
}

MimeFieldValue ParseMimeFieldValue(std::string_view s) {
  MimeFieldValue result;
  size_t pos = 0;
  while (pos < s.size() && s[pos] != ';') {
    SkipBlanksAndComments(s, pos);
    if (pos >= s.size() || s[pos] == ';') break;
    if (s[pos] == '"') {
      result.value += Lower(ReadQuoted(s, pos));
    } else {
      result.value.push_back(LowerChar(s[pos++]));
    }
  }
  std::vector<MimeParam> raw;
  while (pos < s.size()) {
    ++pos;  // the ';'
    SkipBlanksAndComments(s, pos);
    const size_t nameBegin = pos;
    while (pos < s.size() && s[pos] != '=' && s[pos] != ';' && !IsBlank(s[pos]) && s[pos] != '(')
      ++pos;
    const std::string_view name = s.substr(nameBegin, pos - nameBegin);
    SkipBlanksAndComments(s, pos);
    if (pos >= s.size() || s[pos] != '=') {
      while (pos < s.size() && s[pos] != ';') ++pos;
      continue;
    }
    ++pos;
    SkipBlanksAndComments(s, pos);
    std::string value;
    if (pos < s.size() && s[pos] == '"') {
      value = ReadQuoted(s, pos);
      while (pos < s.size() && s[pos] != ';') ++pos;
    } else {
      // Unquoted values with blanks in them are common (filename=my file.doc): the value
      // runs to the next ';'.
      const size_t valueBegin = pos;
      while (pos < s.size() && s[pos] != ';') ++pos;
      value = std::string(WithoutTrailingComment(Trim(s.substr(valueBegin, pos - valueBegin))));
    }
    if (!name.empty()) raw.push_back({std::string(name), std::move(value), false});
  }
  result.params = DecodeMimeParams(raw);
  return result;
}

std::vector<MimeParam> DecodeMimeParams(const std::vector<MimeParam>& raw) {
  struct Piece {
    unsigned number;
    bool encoded;
    std::string value;
  };
  struct Entry {
    std::optional<std::string> plain;
    std::vector<Piece> pieces;
  };
  std::vector<std::string> order;
  std::map<std::string, Entry> entries;
  for (const MimeParam& p : raw) {
    const std::string name = Lower(Trim(p.name));
    const size_t star = name.find('*');
    const std::string base = name.substr(0, star);
    if (base.empty()) continue;
    auto [it, fresh] = entries.try_emplace(base);
    if (fresh) order.push_back(base);
    Entry& e = it->second;
    if (star == std::string::npos) {
      if (!e.plain) e.plain = p.value;
      continue;
    }
    std::string_view marks = std::string_view(name).substr(star + 1);
    Piece piece{0, false, p.value};
    if (marks.empty()) {  // name*=charset'lang'value
      piece.encoded = true;
    } else {
      if (marks.back() == '*') {
        piece.encoded = true;
        marks.remove_suffix(1);
      }
      // A continuation number; more digits than any real name needs make it no parameter.
      if (marks.empty() || marks.size() > 4 ||
          marks.find_first_not_of("0123456789") != std::string_view::npos)
        continue;
      piece.number = static_cast<unsigned>(std::stoul(std::string(marks)));
    }
    e.pieces.push_back(std::move(piece));
  }

  std::vector<MimeParam> out;
  for (const std::string& name : order) {
    Entry& e = entries[name];
    std::stable_sort(e.pieces.begin(), e.pieces.end(),
                     [](const Piece& a, const Piece& b) { return a.number < b.number; });
    std::string bytes, charset;
    bool anyEncoded = false;
    unsigned expect = 0;
    for (const Piece& piece : e.pieces) {
      if (piece.number < expect) continue;  // a repeated number: the first one counts
      if (piece.number > expect) break;     // a gap ends the value
      ++expect;
      std::string_view v = piece.value;
      if (piece.encoded) {
        anyEncoded = true;
        if (piece.number == 0) {
          const size_t q1 = v.find('\'');
          const size_t q2 = q1 == std::string_view::npos ? q1 : v.find('\'', q1 + 1);
          if (q2 != std::string_view::npos) {
            charset = std::string(v.substr(0, q1));
            v.remove_prefix(q2 + 1);
          }
        }
        bytes += PercentDecode(v);
      } else {
        bytes += v;
      }
    }
    if (expect == 0) {
      if (e.plain) out.push_back({name, *e.plain, false});
      continue;
    }
    if (!anyEncoded) {
      out.push_back({name, std::move(bytes), false});
      continue;
    }
    // No charset named: taken as ASCII that may in truth be UTF-8. An unknown one leaves the
    // bytes as they came.
    std::optional<std::string> text =
        charset.empty() ? RepairUtf8(bytes) : CharsetToUtf8(charset, bytes);
    out.push_back({name, text ? std::move(*text) : std::move(bytes), true});
  }
  return out;
}

std::optional<std::string> CharsetToUtf8(std::string_view charset, std::string_view bytes) {
  // RFC 2231 lets an encoded word name its language after a '*' ("utf-8*en").
  std::string name = Lower(Trim(charset.substr(0, charset.find('*'))));
  if (name == "utf-8" || name == "utf8" || name == "us-ascii" || name == "ascii" ||
      name == "ansi_x3.4-1968")
    return RepairUtf8(bytes);
  if (name == "iso-8859-1" || name == "iso8859-1" || name == "iso_8859-1" || name == "latin1" ||
      name == "l1")
    return Latin1ToUtf8(bytes);
  if (!PlainCharsetName(name)) return std::nullopt;
  return IconvToUtf8(name, bytes);
}

std::string DecodeEncodedWords(std::string_view text) {
  std::string out;
  size_t literal = 0;  // the first byte not yet copied or decoded
  // The run of adjacent encoded words in one charset not yet converted.
  bool inRun = false;
  size_t runBegin = 0, runEnd = 0;
  std::string runCharset, runBytes;
  auto flush = [&] {
    if (!inRun) return;
    if (auto converted = CharsetToUtf8(runCharset, runBytes)) {
      out += *converted;
    } else {
      out.append(text.substr(runBegin, runEnd - runBegin));
    }
    inRun = false;
  };
  size_t nextClose = 0;
  size_t pos = text.find("=?");
  while (pos != std::string_view::npos) {
    auto word = ReadEncodedWord(text, pos, nextClose);
    if (!word) {
      pos = text.find("=?", pos + 1);
      continue;
    }
    const std::string_view between = text.substr(literal, word->begin - literal);
    const bool adjacent = inRun && std::all_of(between.begin(), between.end(), IsBlank);
    if (adjacent && EqualsNoCase(runCharset, word->charset)) {
      runBytes += word->bytes;
      runEnd = word->end;
    } else {
      flush();
      if (!adjacent) out.append(between);
      inRun = true;
      runBegin = word->begin;
      runEnd = word->end;
      runCharset = word->charset;
      runBytes = std::move(word->bytes);
    }
    literal = word->end;
    pos = text.find("=?", literal);
  }
  flush();
  out.append(text.substr(literal));
  return out;
}

std::string MimeFileName(const std::vector<MimeParam>& dispositionParams,
                         const std::vector<MimeParam>& typeParams) {
  auto pick = [](const std::vector<MimeParam>& params, std::string_view name) -> std::string {
    for (const MimeParam& p : params)
      if (p.name == name) return p.extended ? p.value : DecodeEncodedWords(p.value);
    return {};
  };
  std::string name = pick(dispositionParams, "filename");
  if (name.empty()) name = pick(typeParams, "name");
  return name;
}

Result<std::vector<MimeLeaf>> ParseMimeMessage(std::string_view bytes) {
  TreeWalker walker(bytes);
  if (Status s = walker.Walk({0, bytes.size()}, "", false, false, 0); !s) return s.error();
  return walker.Take();
}

}  // namespace dtl
