#include "receive/ImapResponse.h"

#include <algorithm>
#include <cctype>

namespace dtl {
namespace {

Error Bad(std::string what) {
  return Error(ErrorCode::Protocol, "the IMAP server sent a malformed response: " + what);
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

bool IsCtl(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u < 0x20 || u == 0x7f;
}

// Where an atom ends. Wildcards and backslashes stay in (flags are "\Seen", "\*").
bool EndsAtom(char c) {
  return c == ' ' || c == '(' || c == ')' || c == '"' || c == '\r' || c == '\n' || c == '{';
}

}  // namespace

bool ImapResponse::IsStatus() const {
  return name == "OK" || name == "NO" || name == "BAD" || name == "BYE" || name == "PREAUTH";
}

std::string ImapResponse::CodeName() const { return Upper(code.substr(0, code.find(' '))); }

Status ImapResponseReader::Fill() {
  // Only called once every buffered byte is taken, so the buffer never grows past one read.
  len_ = 0;
  pos_ = 0;
  constexpr size_t kChunk = 64 * 1024;
  if (buf_.size() < kChunk) buf_.resize(kChunk);
  auto got = source_(buf_.data(), kChunk);
  if (!got) {
    len_ = 0;
    return got.error();
  }
  len_ = std::min(*got, kChunk);
  if (len_ == 0) return Error(ErrorCode::Network, "the IMAP server closed the connection");
  return {};
}

Status ImapResponseReader::Count(size_t n) {
  held_ += n;
  if (held_ > kMaxResponseBytes)
    return Error(ErrorCode::Protocol, "the IMAP server sent a response larger than " +
                                          std::to_string(kMaxResponseBytes >> 20) + " MiB");
  return {};
}

Result<char> ImapResponseReader::Peek() {
  if (pos_ == len_)
    if (Status s = Fill(); !s) return s.error();
  return buf_[pos_];
}

Result<char> ImapResponseReader::Take() {
  auto c = Peek();
  if (!c) return c;
  if (Status s = Count(1); !s) return s.error();
  ++pos_;
  return c;
}

Status ImapResponseReader::Expect(char want) {
  auto c = Take();
  if (!c) return c.error();
  if (*c != want)
    return Bad(std::string("expected '") + want + "' but found byte " +
               std::to_string(static_cast<unsigned char>(*c)));
  return {};
}

// Servers end lines with CRLF; a bare LF is taken too, as it cannot be read any other way.
Status ImapResponseReader::ExpectCrlf() {
  auto c = Take();
  if (!c) return c.error();
  if (*c == '\n') return {};
  if (*c != '\r') return Bad("expected the end of the line");
  return Expect('\n');
}

Result<std::string> ImapResponseReader::ReadAtom(bool allowBrackets) {
  std::string atom;
  int brackets = 0;
  for (;;) {
    auto c = Peek();
    if (!c) return c.error();
    if (brackets == 0 && EndsAtom(*c)) break;
    if (*c == '\r' || *c == '\n') return Bad("unterminated [ in an atom");
    if (*c == '\0' || (IsCtl(*c) && *c != '\t')) return Bad("a control byte in an atom");
    if (*c == '[') {
      if (!allowBrackets) break;
      ++brackets;
    } else if (*c == ']') {
      // A ']' outside brackets ends the atom (a response code's last word).
      if (brackets == 0) break;
      --brackets;
    }
    auto t = Take();
    if (!t) return t.error();
    atom.push_back(*t);
  }
  if (atom.empty()) return Bad("an empty atom");
  return atom;
}

Result<std::string> ImapResponseReader::ReadQuoted() {
  if (Status s = Expect('"'); !s) return s.error();
  std::string out;
  for (;;) {
    auto c = Take();
    if (!c) return c.error();
    if (*c == '"') return out;
    if (*c == '\r' || *c == '\n' || *c == '\0') return Bad("a line break inside a quoted string");
    if (*c == '\\') {
      c = Take();
      if (!c) return c.error();
      if (*c != '"' && *c != '\\') return Bad("a stray backslash in a quoted string");
    }
    out.push_back(*c);
  }
}

Result<ImapValue> ImapResponseReader::ReadLiteral(std::string_view key,
                                                  const ImapLiteralRouter& router) {
  if (Status s = Expect('{'); !s) return s.error();
  uint64_t size = 0;
  int digits = 0;
  for (;;) {
    auto c = Take();
    if (!c) return c.error();
    if (*c == '}') break;
    if (*c < '0' || *c > '9' || ++digits > 18) return Bad("a literal's size is not a number");
    size = size * 10 + static_cast<uint64_t>(*c - '0');
  }
  if (digits == 0) return Bad("a literal without a size");
  if (Status s = ExpectCrlf(); !s) return s.error();

  ImapValue v;
  v.kind = ImapValue::Kind::Literal;
  v.literalSize = size;
  const ImapSink* sink = router ? router(key) : nullptr;
  v.streamed = sink != nullptr;
  // The announced size is only a claim: nothing is reserved for it, and a literal kept in
  // memory that would not fit the response's bound is refused before a byte of it is read.
  if (!sink && size > kMaxResponseBytes - std::min(held_, kMaxResponseBytes))
    return Error(ErrorCode::Protocol, "the IMAP server announced a literal of " +
                                          std::to_string(size) + " bytes, too large to hold");
  uint64_t left = size;
  while (left > 0) {
    if (pos_ == len_)
      if (Status s = Fill(); !s) return s.error();
    const size_t n = static_cast<size_t>(std::min<uint64_t>(left, len_ - pos_));
    const std::string_view chunk(buf_.data() + pos_, n);
    if (sink) {
      if (Status s = (*sink)(chunk); !s) return s.error();
    } else {
      if (Status s = Count(n); !s) return s.error();
      v.text.append(chunk);
    }
    pos_ += n;
    left -= n;
  }
  return v;
}

Result<ImapValue> ImapResponseReader::ReadValue(std::string_view key,
                                                const ImapLiteralRouter& router, int depth) {
  auto c = Peek();
  if (!c) return c.error();
  ImapValue v;
  if (*c == '(') {
    if (depth >= kMaxListDepth) return Bad("lists nested too deep");
    if (auto t = Take(); !t) return t.error();
    v.kind = ImapValue::Kind::List;
    for (;;) {
      c = Peek();
      if (!c) return c.error();
      if (*c == ')') {
        if (auto t = Take(); !t) return t.error();
        return v;
      }
      if (*c == ' ') {
        if (auto t = Take(); !t) return t.error();
        continue;
      }
      if (*c == '\r' || *c == '\n') return Bad("an unterminated list");
      std::string_view itemKey;
      if (!v.items.empty() && v.items.back().kind == ImapValue::Kind::Atom)
        itemKey = v.items.back().text;
      auto item = ReadValue(itemKey, router, depth + 1);
      if (!item) return item;
      v.items.push_back(std::move(item).value());
    }
  }
  if (*c == '"') {
    auto q = ReadQuoted();
    if (!q) return q.error();
    v.kind = ImapValue::Kind::Quoted;
    v.text = std::move(q).value();
    return v;
  }
  if (*c == '{') return ReadLiteral(key, router);
  if (*c == ')') return Bad("an unexpected ')'");
  auto a = ReadAtom(true);
  if (!a) return a.error();
  if (Upper(*a) == "NIL") {
    v.kind = ImapValue::Kind::Nil;
    return v;
  }
  v.kind = ImapValue::Kind::Atom;
  v.text = std::move(a).value();
  return v;
}

Result<std::string> ImapResponseReader::ReadRestOfLine() {
  std::string line;
  for (;;) {
    auto c = Take();
    if (!c) return c.error();
    if (*c == '\n') break;
    if (*c == '\0') return Bad("a NUL byte in a text");
    line.push_back(*c);
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

Result<ImapResponse> ImapResponseReader::Next(const ImapLiteralRouter& router) {
  held_ = 0;
  ImapResponse r;
  auto c = Peek();
  if (!c) return c.error();
  if (*c == '+') {
    if (auto t = Take(); !t) return t.error();
    r.kind = ImapResponse::Kind::Continuation;
    auto rest = ReadRestOfLine();
    if (!rest) return rest.error();
    r.text = std::move(rest).value();
    if (!r.text.empty() && r.text.front() == ' ') r.text.erase(0, 1);
    return r;
  }
  if (*c == '*') {
    if (auto t = Take(); !t) return t.error();
    r.kind = ImapResponse::Kind::Untagged;
    if (Status s = Expect(' '); !s) return s.error();
  } else {
    r.kind = ImapResponse::Kind::Tagged;
    auto tag = ReadAtom(false);
    if (!tag) return tag.error();
    r.tag = std::move(tag).value();
    if (Status s = Expect(' '); !s) return s.error();
  }
  auto name = ReadAtom(false);
  if (!name) return name.error();
  if (r.kind == ImapResponse::Kind::Untagged &&
      std::all_of(name->begin(), name->end(), [](char d) { return d >= '0' && d <= '9'; })) {
    if (name->size() > 10 || std::stoull(*name) > 0xffffffffull) return Bad("a number too large");
    r.number = static_cast<uint32_t>(std::stoull(*name));
    if (Status s = Expect(' '); !s) return s.error();
    name = ReadAtom(false);
    if (!name) return name.error();
  }
  r.name = Upper(std::move(name).value());

  if (r.IsStatus()) {
    c = Peek();
    if (!c) return c.error();
    if (*c == ' ') {
      if (auto t = Take(); !t) return t.error();
      c = Peek();
      if (!c) return c.error();
      if (*c == '[') {
        if (auto t = Take(); !t) return t.error();
        for (;;) {
          auto d = Take();
          if (!d) return d.error();
          if (*d == ']') break;
          if (*d == '\r' || *d == '\n' || *d == '\0') return Bad("an unterminated response code");
          r.code.push_back(*d);
        }
        c = Peek();
        if (!c) return c.error();
        if (*c == ' ')
          if (auto t = Take(); !t) return t.error();
      }
    }
    auto text = ReadRestOfLine();
    if (!text) return text.error();
    r.text = std::move(text).value();
    return r;
  }
  if (r.kind == ImapResponse::Kind::Tagged) return Bad("a tagged response that is no status");

  for (;;) {
    c = Peek();
    if (!c) return c.error();
    if (*c == '\r' || *c == '\n') break;
    if (*c == ' ') {
      if (auto t = Take(); !t) return t.error();
      continue;
    }
    std::string_view key;
    if (!r.data.empty() && r.data.back().kind == ImapValue::Kind::Atom) key = r.data.back().text;
    auto v = ReadValue(key, router, 0);
    if (!v) return v.error();
    r.data.push_back(std::move(v).value());
  }
  if (Status s = ExpectCrlf(); !s) return s.error();
  return r;
}

std::optional<std::string> ImapQuote(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '\r' || c == '\n' || c == '\0' || u > 127) return std::nullopt;
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

}  // namespace dtl
