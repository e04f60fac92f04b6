#include "mail/TransferDecoder.h"

#include <array>
#include <cstdint>

namespace dtl {

namespace {

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

class PassThrough final : public TransferDecoder {
 public:
  void Feed(std::string_view chunk, std::string& out) override { out.append(chunk); }
  Status Finish(std::string&) override { return {}; }
};

constexpr std::array<int8_t, 256> MakeBase64Table() {
  std::array<int8_t, 256> t{};
  for (auto& v : t) v = -1;
  const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (int i = 0; i < 64; ++i) t[static_cast<uint8_t>(alphabet[i])] = static_cast<int8_t>(i);
  return t;
}
constexpr auto kBase64 = MakeBase64Table();

// Only the quantum in progress is carried between chunks, so a split anywhere, even between
// the two characters of a CRLF, decodes the same as the whole body. Padding ends the data of a
// quantum; whatever follows it is read as a new quantum, as lenient mail readers do with
// concatenated encodings.
class Base64Decoder final : public TransferDecoder {
 public:
  void Feed(std::string_view chunk, std::string& out) override {
    const size_t base = out.size();
    // At most three bytes per four characters, plus what the three held over and a pad give.
    out.resize(base + (chunk.size() + 3) / 4 * 3 + 3);
    char* o = out.data() + base;
    const auto* p = reinterpret_cast<const uint8_t*>(chunk.data());
    const auto* end = p + chunk.size();
    while (p < end) {
      if (count_ == 0 && !padded_) {
        while (end - p >= 4) {
          const int a = kBase64[p[0]], b = kBase64[p[1]], c = kBase64[p[2]], d = kBase64[p[3]];
          if ((a | b | c | d) < 0) break;
          const uint32_t v =
              (uint32_t(a) << 18) | (uint32_t(b) << 12) | (uint32_t(c) << 6) | uint32_t(d);
          o[0] = char(v >> 16);
          o[1] = char(v >> 8);
          o[2] = char(v);
          o += 3;
          p += 4;
        }
        if (p == end) break;
      }
      const uint8_t c = *p++;
      if (c == '=') {
        if (!padded_ && count_ >= 2) {
          if (count_ == 2) {
            *o++ = char((bits_ >> 4) & 0xff);
          } else {
            *o++ = char((bits_ >> 10) & 0xff);
            *o++ = char((bits_ >> 2) & 0xff);
          }
          bits_ = 0;
          count_ = 0;
          padded_ = true;
        }
        continue;
      }
      const int v = kBase64[c];
      if (v < 0) continue;
      if (padded_) {
        padded_ = false;
        bits_ = 0;
        count_ = 0;
      }
      bits_ = (bits_ << 6) | uint32_t(v);
      if (++count_ == 4) {
        *o++ = char((bits_ >> 16) & 0xff);
        *o++ = char((bits_ >> 8) & 0xff);
        *o++ = char(bits_ & 0xff);
        bits_ = 0;
        count_ = 0;
      }
    }
    out.resize(static_cast<size_t>(o - out.data()));
  }

  Status Finish(std::string& out) override {
    if (padded_ || count_ == 0) return {};
    if (count_ == 1)
      return Error(ErrorCode::Corrupt, "the base64 body ends in the middle of a quantum");
    // Unpadded ends ("QQ", "QUI") are common enough from hand-made mail to accept.
    Emit(out);
    return {};
  }

 private:
  void Emit(std::string& out) {
    if (count_ == 2) {
      out.push_back(static_cast<char>((bits_ >> 4) & 0xff));
    } else if (count_ == 3) {
      out.push_back(static_cast<char>((bits_ >> 10) & 0xff));
      out.push_back(static_cast<char>((bits_ >> 2) & 0xff));
    }
    bits_ = 0;
    count_ = 0;
  }

  uint32_t bits_ = 0;
  int count_ = 0;
  bool padded_ = false;
};

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Held between chunks: an escape not yet complete ("=", "=4") and the blanks of a line not yet
// known to end (trailing blanks before a line break are the transport's, not the text's, and
// are dropped). Line breaks themselves are kept as they come: a soft break ("=" before it)
// joins the lines.
class QuotedPrintableDecoder final : public TransferDecoder {
 public:
  void Feed(std::string_view chunk, std::string& out) override {
    for (char c : chunk) Step(c, out);
  }

  Status Finish(std::string& out) override {
    // A body ending in "=" or "=X": keep what stands, as with any malformed escape.
    out.append(escape_);
    escape_.clear();
    out.append(blanks_);
    blanks_.clear();
    return {};
  }

 private:
  void Step(char c, std::string& out) {
    if (!escape_.empty()) {
      Escape(c, out);
      return;
    }
    switch (c) {
      case '=':
        out.append(blanks_);
        blanks_.clear();
        escape_.push_back(c);
        break;
      case ' ':
      case '\t': blanks_.push_back(c); break;
      case '\r':
      case '\n':
        blanks_.clear();
        out.push_back(c);
        break;
      default:
        out.append(blanks_);
        blanks_.clear();
        out.push_back(c);
    }
  }

  void Escape(char c, std::string& out) {
    // escape_ is "=" followed by what is known of the escape so far.
    if (escape_.size() == 1) {
      if (c == '\n') {  // "=\n": a soft break written with a bare LF
        escape_.clear();
        return;
      }
      if (c == '\r' || c == ' ' || c == '\t' || HexValue(c) >= 0) {
        escape_.push_back(c);
        return;
      }
      out.append(escape_);
      escape_.clear();
      Step(c, out);
      return;
    }
    char first = escape_[1];
    if (first == '\r') {
      escape_.clear();
      if (c == '\n') return;  // "=\r\n": soft break
      out.append("=\r");
      Step(c, out);
      return;
    }
    if (first == ' ' || first == '\t') {
      // "=" followed by blanks up to the line's end is a soft break too (transport padding).
      if (c == ' ' || c == '\t') {
        escape_.push_back(c);
        return;
      }
      if (c == '\r') {
        // Wait for the LF: replace the blanks with "\r" as the second character.
        escape_ = "=\r";
        return;
      }
      if (c == '\n') {
        escape_.clear();
        return;
      }
      std::string held = escape_;
      escape_.clear();
      out.push_back('=');
      for (size_t i = 1; i < held.size(); ++i) Step(held[i], out);
      Step(c, out);
      return;
    }
    int hi = HexValue(first), lo = HexValue(c);
    escape_.clear();
    if (lo >= 0) {
      out.push_back(static_cast<char>(hi * 16 + lo));
      return;
    }
    out.push_back('=');
    out.push_back(first);
    Step(c, out);
  }

  std::string escape_;
  std::string blanks_;
};

}  // namespace

std::unique_ptr<TransferDecoder> TransferDecoder::For(std::string_view encoding) {
  encoding = Trim(encoding);
  if (EqualsNoCase(encoding, "base64")) return std::make_unique<Base64Decoder>();
  if (EqualsNoCase(encoding, "quoted-printable")) return std::make_unique<QuotedPrintableDecoder>();
  return std::make_unique<PassThrough>();
}

}  // namespace dtl
