#include "account/OAuthJson.h"

#include <cstdint>

namespace dtl {
namespace {

constexpr int kMaxDepth = 32;
constexpr size_t kMaxText = 1 << 20;  // token answers are a few kilobytes at most

class Reader {
 public:
  explicit Reader(std::string_view t) : t_(t) {}

  Result<std::map<std::string, JsonScalar>> Object() {
    std::map<std::string, JsonScalar> out;
    Space();
    if (!Take('{')) return Bad("an object was expected");
    Space();
    if (!Take('}')) {
      for (;;) {
        Space();
        std::string name;
        if (!String(name)) return Bad("a member name was expected");
        Space();
        if (!Take(':')) return Bad("':' was expected");
        Space();
        JsonScalar v;
        if (!Value(v, 1)) return Bad("a value was expected");
        // A repeated name could make two readers of one answer see different tokens.
        if (!out.emplace(std::move(name), std::move(v)).second) return Bad("a repeated name");
        Space();
        if (Take('}')) break;
        if (!Take(',')) return Bad("',' or '}' was expected");
      }
    }
    Space();
    if (i_ != t_.size()) return Bad("bytes after the object");
    return out;
  }

 private:
  Error Bad(const char* what) const {
    return Error(ErrorCode::Protocol, std::string("The answer is not valid JSON (") + what +
                                          " at byte " + std::to_string(i_) + ")");
  }
  bool Take(char c) {
    if (i_ < t_.size() && t_[i_] == c) {
      ++i_;
      return true;
    }
    return false;
  }
  void Space() {
    while (i_ < t_.size() && (t_[i_] == ' ' || t_[i_] == '\t' || t_[i_] == '\n' || t_[i_] == '\r'))
      ++i_;
  }
  bool Literal(std::string_view w) {
    if (t_.substr(i_, w.size()) != w) return false;
    i_ += w.size();
    return true;
  }
  bool Hex4(uint32_t& v) {
    if (i_ + 4 > t_.size()) return false;
    v = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = t_[i_++];
      v <<= 4;
      if (c >= '0' && c <= '9')
        v |= c - '0';
      else if (c >= 'a' && c <= 'f')
        v |= c - 'a' + 10;
      else if (c >= 'A' && c <= 'F')
        v |= c - 'A' + 10;
      else
        return false;
    }
    return true;
  }
  static void Utf8(uint32_t cp, std::string& out) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  bool String(std::string& out) {
    if (!Take('"')) return false;
    while (i_ < t_.size()) {
      const unsigned char c = static_cast<unsigned char>(t_[i_++]);
      if (c == '"') return true;
      if (c < 0x20) return false;
      if (c != '\\') {
        out += static_cast<char>(c);
        continue;
      }
      if (i_ >= t_.size()) return false;
      const char e = t_[i_++];
      switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          uint32_t cp;
          if (!Hex4(cp)) return false;
          if (cp >= 0xDC00 && cp <= 0xDFFF) return false;
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            uint32_t lo;
            if (!Literal("\\u") || !Hex4(lo) || lo < 0xDC00 || lo > 0xDFFF) return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
          }
          Utf8(cp, out);
          break;
        }
        default: return false;
      }
    }
    return false;
  }
  bool Number(std::string& out) {
    const size_t start = i_;
    Take('-');
    if (Take('0')) {
    } else if (i_ < t_.size() && t_[i_] >= '1' && t_[i_] <= '9') {
      while (i_ < t_.size() && t_[i_] >= '0' && t_[i_] <= '9') ++i_;
    } else {
      return false;
    }
    if (Take('.')) {
      const size_t d = i_;
      while (i_ < t_.size() && t_[i_] >= '0' && t_[i_] <= '9') ++i_;
      if (i_ == d) return false;
    }
    if (Take('e') || Take('E')) {
      if (!Take('+')) Take('-');
      const size_t d = i_;
      while (i_ < t_.size() && t_[i_] >= '0' && t_[i_] <= '9') ++i_;
      if (i_ == d) return false;
    }
    out.assign(t_.substr(start, i_ - start));
    return true;
  }
  bool Value(JsonScalar& v, int depth) {
    if (depth > kMaxDepth || i_ >= t_.size()) return false;
    const char c = t_[i_];
    if (c == '"') {
      v.kind = JsonScalar::Kind::String;
      return String(v.text);
    }
    if (c == 't' || c == 'f') {
      v.kind = JsonScalar::Kind::Bool;
      v.text = c == 't' ? "true" : "false";
      return Literal(v.text);
    }
    if (c == 'n') {
      v.kind = JsonScalar::Kind::Null;
      return Literal("null");
    }
    if (c == '{' || c == '[') {
      v.kind = JsonScalar::Kind::Nested;
      const char close = c == '{' ? '}' : ']';
      ++i_;
      Space();
      if (Take(close)) return true;
      for (;;) {
        Space();
        if (c == '{') {
          std::string name;
          if (!String(name)) return false;
          Space();
          if (!Take(':')) return false;
          Space();
        }
        JsonScalar inner;
        if (!Value(inner, depth + 1)) return false;
        Space();
        if (Take(close)) return true;
        if (!Take(',')) return false;
      }
    }
    v.kind = JsonScalar::Kind::Number;
    return Number(v.text);
  }

  std::string_view t_;
  size_t i_ = 0;
};

}  // namespace

Result<std::map<std::string, JsonScalar>> ParseJsonObject(std::string_view text) {
  if (text.size() > kMaxText)
    return Error(ErrorCode::Protocol, "The answer is too long to be a token answer");
  return Reader(text).Object();
}

}  // namespace dtl
