#include "mail/SmtpAuth.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

namespace dtl {

std::string Base64Encode(std::string_view bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3), '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(bytes.data()),
                          static_cast<int>(bytes.size()));
  out.resize(n < 0 ? 0 : static_cast<size_t>(n));
  return out;
}

std::optional<std::string> Base64Decode(std::string_view text) {
  std::string clean;
  clean.reserve(text.size() + 3);
  for (char c : text)
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') clean.push_back(c);
  // EVP_DecodeBlock wants whole quanta and reports padding as decoded zero bytes, so the
  // padding is counted here and trimmed from its result.
  size_t pad = 0;
  while (pad < 2 && !clean.empty() && clean.size() > pad && clean[clean.size() - 1 - pad] == '=')
    ++pad;
  if (clean.size() % 4 == 1) return std::nullopt;
  if (pad == 0)
    while (clean.size() % 4 != 0) {
      clean.push_back('=');
      ++pad;
    }
  if (clean.size() % 4 != 0) return std::nullopt;
  std::string out(clean.size() / 4 * 3, '\0');
  int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(clean.data()),
                          static_cast<int>(clean.size()));
  if (n < 0 || static_cast<size_t>(n) < pad) return std::nullopt;
  out.resize(static_cast<size_t>(n) - pad);
  return out;
}

std::string PlainAuthBlob(std::string_view user, std::string_view password) {
  std::string blob;
  blob.append(user).push_back('\0');
  blob.append(user).push_back('\0');
  blob.append(password);
  return blob;
}

std::string CramMd5Answer(std::string_view user, std::string_view password,
                          std::string_view challenge) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  HMAC(EVP_md5(), password.data(), static_cast<int>(password.size()),
       reinterpret_cast<const unsigned char*>(challenge.data()), challenge.size(), digest, &len);
  static const char kHex[] = "0123456789abcdef";
  std::string answer(user);
  answer.push_back(' ');
  for (unsigned int i = 0; i < len; ++i) {
    answer.push_back(kHex[digest[i] >> 4]);
    answer.push_back(kHex[digest[i] & 15]);
  }
  return answer;
}

std::string XOAuth2Blob(std::string_view user, std::string_view token) {
  std::string blob = "user=";
  blob.append(user).push_back('\x01');
  blob.append("auth=Bearer ").append(token).append("\x01\x01");
  return blob;
}

std::string OAuthBearerBlob(std::string_view user, std::string_view host, int port,
                            std::string_view token) {
  // The authorisation identity sits inside the comma-separated GS2 header, so its own commas
  // (and the escape character) must not end it early (RFC 5801 section 4).
  std::string blob = "n,a=";
  for (char c : user) {
    if (c == ',')
      blob += "=2C";
    else if (c == '=')
      blob += "=3D";
    else
      blob.push_back(c);
  }
  blob += ",\x01";
  if (!host.empty()) blob.append("host=").append(host).push_back('\x01');
  if (port > 0) blob.append("port=").append(std::to_string(port)).push_back('\x01');
  blob.append("auth=Bearer ").append(token).append("\x01\x01");
  return blob;
}

namespace {

// Just enough JSON for a flat error object: strings are read with their escapes, any other
// value (numbers, literals, nested objects and arrays) is skipped by bracket depth.
class JsonCursor {
 public:
  explicit JsonCursor(std::string_view text) : t_(text) {}
  void Blank() {
    while (i_ < t_.size() && (t_[i_] == ' ' || t_[i_] == '\t' || t_[i_] == '\r' || t_[i_] == '\n'))
      ++i_;
  }
  bool Eat(char c) {
    Blank();
    if (i_ < t_.size() && t_[i_] == c) {
      ++i_;
      return true;
    }
    return false;
  }
  bool AtEnd() {
    Blank();
    return i_ == t_.size();
  }
  char Peek() {
    Blank();
    return i_ < t_.size() ? t_[i_] : '\0';
  }
  std::optional<std::string> String() {
    if (!Eat('"')) return std::nullopt;
    std::string out;
    while (i_ < t_.size()) {
      const char c = t_[i_++];
      if (c == '"') return out;
      if (c != '\\') {
        out.push_back(c);
        continue;
      }
      if (i_ >= t_.size()) return std::nullopt;
      const char e = t_[i_++];
      switch (e) {
        case 'n': out.push_back('\n'); break;
        case 't': out.push_back('\t'); break;
        case 'r': out.push_back('\r'); break;
        case 'b': out.push_back('\b'); break;
        case 'f': out.push_back('\f'); break;
        case 'u': {
          // The three fields are ASCII in practice: an escaped code point is kept when it is
          // ASCII and replaced by '?' otherwise, which is all a message needs.
          if (t_.size() - i_ < 4) return std::nullopt;
          unsigned v = 0;
          for (int k = 0; k < 4; ++k) {
            const char h = t_[i_++];
            v <<= 4;
            if (h >= '0' && h <= '9')
              v |= static_cast<unsigned>(h - '0');
            else if (h >= 'a' && h <= 'f')
              v |= static_cast<unsigned>(h - 'a' + 10);
            else if (h >= 'A' && h <= 'F')
              v |= static_cast<unsigned>(h - 'A' + 10);
            else
              return std::nullopt;
          }
          out.push_back(v < 0x80 ? static_cast<char>(v) : '?');
          break;
        }
        default: out.push_back(e);  // \" \\ \/
      }
    }
    return std::nullopt;
  }
  // Skips one value that is not a string; false when the text ends inside it.
  bool SkipValue() {
    int depth = 0;
    Blank();
    while (i_ < t_.size()) {
      const char c = t_[i_];
      if (c == '"') {
        if (!String()) return false;
        if (depth == 0) return true;
        continue;
      }
      if (depth == 0 && (c == ',' || c == '}')) return true;
      if (c == '{' || c == '[') ++depth;
      if (c == '}' || c == ']') {
        if (--depth < 0) return false;
      }
      ++i_;
      if (depth == 0 && (c == '}' || c == ']')) return true;
    }
    return false;
  }

 private:
  std::string_view t_;
  size_t i_ = 0;
};

}  // namespace

std::optional<OAuthErrorChallenge> ParseOAuthErrorChallenge(std::string_view json) {
  JsonCursor in(json);
  if (!in.Eat('{')) return std::nullopt;
  OAuthErrorChallenge out;
  if (in.Eat('}')) return in.AtEnd() ? std::optional(out) : std::nullopt;
  for (;;) {
    auto key = in.String();
    if (!key || !in.Eat(':')) return std::nullopt;
    if (in.Peek() == '"') {
      auto value = in.String();
      if (!value) return std::nullopt;
      if (*key == "status")
        out.status = std::move(*value);
      else if (*key == "schemes")
        out.schemes = std::move(*value);
      else if (*key == "scope")
        out.scope = std::move(*value);
    } else {
      // Some servers write the status as a number.
      const char first = in.Peek();
      if (*key == "status" && first >= '0' && first <= '9') {
        std::string digits;
        while (in.Peek() >= '0' && in.Peek() <= '9' && digits.size() < 8) {
          digits.push_back(in.Peek());
          in.Eat(in.Peek());
        }
        out.status = digits;
      }
      if (!in.SkipValue()) return std::nullopt;
    }
    if (in.Eat(',')) continue;
    if (in.Eat('}')) break;
    return std::nullopt;
  }
  if (!in.AtEnd()) return std::nullopt;
  return out;
}

bool TokenRefused(const OAuthErrorChallenge& challenge) {
  return challenge.status == "401" || challenge.status == "invalid_token";
}

}  // namespace dtl
