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

}  // namespace dtl
