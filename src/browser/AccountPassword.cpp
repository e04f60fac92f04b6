#include "browser/AccountPassword.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <vector>

#include "archive/DesContext.h"
#include "archive/SegmentCipher.h"

namespace dtl {

SecretString::SecretString(std::string_view text) : text_(text) {}

SecretString::SecretString(SecretString&& other) noexcept : text_(std::move(other.text_)) {
  other.text_.clear();
}

SecretString& SecretString::operator=(SecretString&& other) noexcept {
  if (this != &other) {
    Clear();
    text_ = std::move(other.text_);
    other.text_.clear();
  }
  return *this;
}

SecretString::~SecretString() { Clear(); }

void SecretString::Clear() { WipeString(text_); }

void WipeString(std::string& s) {
  // The whole capacity, not just the size: a shortened secret leaves its tail behind the end.
  if (s.capacity() > 0) {
    s.resize(s.capacity());
    OPENSSL_cleanse(s.data(), s.size());
  }
  s.clear();
}

namespace {

constexpr size_t kKeyLength = 20;

bool IsDesScheme(int scheme) { return scheme == 148 || scheme == 150 || scheme == 160; }

// A key exists only while one export or decoding runs and is wiped afterwards.
class AccountKey {
 public:
  ~AccountKey() { OPENSSL_cleanse(bytes_.data(), bytes_.size()); }
  uint8_t* data() { return bytes_.data(); }
  const uint8_t* data() const { return bytes_.data(); }
  uint8_t operator[](size_t i) const { return bytes_[i]; }
  std::string_view View() const {
    return {reinterpret_cast<const char*>(bytes_.data()), bytes_.size()};
  }

 private:
  std::array<uint8_t, kKeyLength> bytes_{};
};

struct KeySeed {
  int scheme;
  uint32_t plain;
  uint32_t ssl;
};

// Only the generator seeds live in the binary; the key bytes are derived one by one at run time,
// through a volatile read so the compiler cannot fold them into a stored string.
constexpr KeySeed kKeySeeds[] = {
    {13, 0x5d2c91e7u, 0x83a1f04bu},  {14, 0x2f6b1c39u, 0xc4e7250du},
    {141, 0x9a0d3e61u, 0x17f4b8a3u}, {143, 0x6e35c7d5u, 0xb2098f1fu},
    {148, 0x4c71a2e9u, 0xe86d3b57u}, {150, 0x31be6f0bu, 0x7d52c4e3u},
    {160, 0xa7c3194du, 0x0f9e62b5u},
};

bool BuildKey(int scheme, bool ssl, AccountKey& key) {
  for (const KeySeed& s : kKeySeeds) {
    if (s.scheme != scheme) continue;
    volatile uint32_t seed = ssl ? s.ssl : s.plain;
    uint32_t x = seed;
    for (size_t i = 0; i < kKeyLength; ++i) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      uint8_t b = static_cast<uint8_t>(x >> 24);
      // XOR keys stay in the control range 1..31: a typed password never holds those bytes, so
      // its cipher text never gets a zero byte, which the decoder takes as the end.
      key.data()[i] = IsDesScheme(scheme) ? b : static_cast<uint8_t>(1 + b % 31);
    }
    x = 0;
    return true;
  }
  return false;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

std::string Base64Encode(const uint8_t* bytes, size_t n) {
  std::string out(4 * ((n + 2) / 3), '\0');
  int len =
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes, static_cast<int>(n));
  out.resize(len < 0 ? 0 : static_cast<size_t>(len));
  return out;
}

size_t Utf8Chars(std::string_view s) {
  size_t n = 0;
  for (unsigned char c : s) n += (c & 0xC0) != 0x80;
  return n;
}

}  // namespace

std::string UrlUnescapeKeepPlus(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      int hi = HexValue(text[i + 1]), lo = HexValue(text[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
        continue;
      }
    }
    out.push_back(text[i]);
  }
  return out;
}

std::string Base64DecodeSkippingForeign(std::string_view text) {
  // OpenSSL's block decoder rejects foreign characters, so they are filtered out first and the
  // last partial group is padded; the padding's zero bytes are cut off again afterwards.
  std::string clean;
  clean.reserve(text.size() + 3);
  for (char c : text)
    if (Base64Value(c) >= 0) clean.push_back(c);
  size_t rest = clean.size() % 4;
  if (rest == 1) clean.pop_back();
  size_t extra = rest >= 2 ? 3 - (rest - 1) : 0;  // bytes of padding the decoder reports
  if (rest >= 2) clean.append(4 - rest, '=');
  std::string out(clean.size() / 4 * 3, '\0');
  if (clean.empty()) return {};
  int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(clean.data()),
                          static_cast<int>(clean.size()));
  if (n < 0 || static_cast<size_t>(n) < extra) return {};
  out.resize(static_cast<size_t>(n) - extra);
  return out;
}

std::string EncryptAccountPassword(std::string_view plain, int scheme, bool ssl) {
  AccountKey key;
  if (plain.empty() || !BuildKey(scheme, ssl, key)) return {};
  std::vector<uint8_t> buffer;
  buffer.reserve(plain.size() + 16);  // DES adds at most 15 bytes: never a reallocated copy
  buffer.assign(plain.begin(), plain.end());
  if (IsDesScheme(scheme)) {
    // The same layout as the segment archive's DES form; its key is the first 8 bytes of the
    // "password" it is given, here the 20-byte scheme key.
    DesFormEncryptInPlace(buffer, key.View());
  } else {
    for (size_t i = 0; i < buffer.size(); ++i) buffer[i] ^= key[i % kKeyLength];
  }
  std::string text = Base64Encode(buffer.data(), buffer.size());
  OPENSSL_cleanse(buffer.data(), buffer.size());
  return text;
}

std::string ExportAccountPassword(std::string_view plain, bool ssl) {
  if (plain.empty() || Utf8Chars(plain) > kMaxAccountPasswordChars) return {};
  std::string inner = EncryptAccountPassword(plain, 160, ssl);
  if (inner.empty()) return {};
  return (ssl ? "($" : "(#") + inner + (ssl ? "$)" : "#)");
}

SecretString DecodeAccountPassword(std::string_view encodedInner, int scheme, bool ssl) {
  SecretString result;
  AccountKey key;
  if (!BuildKey(scheme, ssl, key)) return result;
  std::string bytes = Base64DecodeSkippingForeign(UrlUnescapeKeepPlus(encodedInner));
  if (IsDesScheme(scheme)) {
    // Only whole blocks are decrypted: a damaged text with a partial last block never makes the
    // decoder read past its bytes.
    size_t whole = bytes.size() / 8 * 8;
    if (whole >= 8) {
      DesContext des(key.data());
      auto* p = reinterpret_cast<uint8_t*>(bytes.data());
      for (size_t off = 0; off < whole; off += 8) des.DecryptBlock(p + off);
      // The last byte is the pad count, 0 to 7. Anything else, or a count that would cut before
      // the start, comes from a damaged or foreign marker: the result is then empty rather than
      // a length taken from garbage.
      size_t pad = p[whole - 1];
      if (pad <= 7 && whole >= 8 + pad) {
        result.Reserve(whole - 8 - pad);
        result.Append(std::string_view(bytes).substr(0, whole - 8 - pad));
      }
    }
  } else {
    size_t n = bytes.find('\0');
    if (n == std::string::npos) n = bytes.size();
    for (size_t i = 0; i < n; ++i)
      bytes[i] = static_cast<char>(static_cast<uint8_t>(bytes[i]) ^ key[i % kKeyLength]);
    result.Reserve(n);
    result.Append(std::string_view(bytes).substr(0, n));
  }
  WipeString(bytes);
  return result;
}

}  // namespace dtl
