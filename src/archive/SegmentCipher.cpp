#include "archive/SegmentCipher.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "archive/DesContext.h"
#include "archive/Md5.h"

namespace dtl {
namespace {

constexpr size_t kBlock = 16;

class AesKey {
 public:
  explicit AesKey(std::string_view password) {
    if (password.empty()) password = kDefaultAesPassword;
    key_ = Md5({reinterpret_cast<const uint8_t*>(password.data()), password.size()});
  }
  explicit AesKey(std::span<const uint8_t, 16> raw) {
    std::copy(raw.begin(), raw.end(), key_.begin());
  }
  ~AesKey() { OPENSSL_cleanse(key_.data(), key_.size()); }
  const uint8_t* data() const { return key_.data(); }

 private:
  std::array<uint8_t, 16> key_;
};

struct CtxFree {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};

// CBC over whole blocks with the zero IV; `in` may equal `out`. One context for the whole
// buffer; EVP takes int lengths, so very large buffers go through in block-aligned chunks,
// which keeps the CBC chain intact.
void AesCbc(bool encrypt, const AesKey& key, const uint8_t* in, uint8_t* out, size_t n) {
  if (n == 0) return;
  std::unique_ptr<EVP_CIPHER_CTX, CtxFree> ctx(EVP_CIPHER_CTX_new());
  static const uint8_t kZeroIv[kBlock] = {};
  if (!ctx || EVP_CipherInit_ex(ctx.get(), EVP_aes_128_cbc(), nullptr, key.data(), kZeroIv,
                                encrypt ? 1 : 0) != 1)
    throw std::runtime_error("AES-128-CBC is not available from OpenSSL");
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  constexpr size_t kChunk = size_t(1) << 30;
  for (size_t off = 0; off < n; off += kChunk) {
    size_t len = std::min(kChunk, n - off);
    int outLen = 0;
    if (EVP_CipherUpdate(ctx.get(), out + off, &outLen, in + off, int(len)) != 1 ||
        size_t(outLen) != len)
      throw std::runtime_error("AES-128-CBC failed in OpenSSL");
  }
}

size_t PaddedLength(size_t n) { return n / kBlock * kBlock + 2 * kBlock; }

// The first pad is PKCS#7 (1..16 bytes), the second always a whole block of 0x10.
void AppendPads(std::vector<uint8_t>& buf) {
  size_t n = buf.size();
  uint8_t pad = uint8_t(kBlock - n % kBlock);
  buf.resize(PaddedLength(n), uint8_t(kBlock));
  std::memset(buf.data() + n, pad, pad);
}

// The length left after removing both pads from `n` decrypted bytes. A pad value larger than
// the bytes left (possible only after the first removal, on garbage) stops the removal rather
// than running off the front of the buffer.
size_t UnpaddedLength(const uint8_t* p, size_t n) {
  for (int round = 0; round < 2 && n > 0; ++round) {
    uint8_t v = p[n - 1];
    if (v < 1 || v > kBlock || v > n) break;
    n -= v;
  }
  return n;
}

void EncryptInPlace(std::vector<uint8_t>& buffer, const AesKey& key) {
  if (buffer.empty()) return;
  AppendPads(buffer);
  AesCbc(true, key, buffer.data(), buffer.data(), buffer.size());
}

}  // namespace

void AesFormEncryptInPlace(std::vector<uint8_t>& buffer, std::string_view password) {
  if (buffer.empty()) return;
  EncryptInPlace(buffer, AesKey(password));
}

std::vector<uint8_t> AesFormEncryptWithKey(std::span<const uint8_t, 16> key,
                                           std::span<const uint8_t> data) {
  std::vector<uint8_t> out;
  if (data.empty()) return out;
  out.reserve(PaddedLength(data.size()));
  out.assign(data.begin(), data.end());
  EncryptInPlace(out, AesKey(key));
  return out;
}

void AesFormDecryptInPlace(std::vector<uint8_t>& buffer, std::string_view password) {
  buffer.resize(buffer.size() / kBlock * kBlock);
  if (buffer.empty()) return;
  AesKey key(password);
  AesCbc(false, key, buffer.data(), buffer.data(), buffer.size());
  buffer.resize(UnpaddedLength(buffer.data(), buffer.size()));
}

std::vector<uint8_t> EncryptBytes(CipherAlgorithm alg, int keyBits, std::string_view password,
                                  std::span<const uint8_t> data) {
  std::vector<uint8_t> out;
  if (alg != CipherAlgorithm::Aes || keyBits != 128 || data.empty()) return out;
  out.reserve(PaddedLength(data.size()));
  out.assign(data.begin(), data.end());
  AesFormEncryptInPlace(out, password);
  return out;
}

std::vector<uint8_t> DecryptBytes(CipherAlgorithm alg, int keyBits, std::string_view password,
                                  std::span<const uint8_t> data) {
  std::vector<uint8_t> out;
  if (alg != CipherAlgorithm::Aes || keyBits != 128) return out;
  size_t whole = data.size() / kBlock * kBlock;
  if (whole == 0) return out;
  AesKey key(password);
  out.resize(whole);
  AesCbc(false, key, data.data(), out.data(), whole);
  out.resize(UnpaddedLength(out.data(), whole));
  return out;
}

void DesFormEncryptInPlace(std::vector<uint8_t>& buffer, std::string_view password) {
  if (buffer.empty()) return;
  if (password.empty()) password = kDefaultDesPassword;
  size_t n = buffer.size();
  size_t p = n % 8 == 0 ? 0 : 8 - n % 8;
  buffer.resize(n + p + 8, 0);  // the p bytes and the seven before the last are zero
  buffer.back() = uint8_t(p);
  std::array<uint8_t, 8> key = DesKeyFromPassword(password);
  DesContext des(key.data());
  OPENSSL_cleanse(key.data(), key.size());
  for (size_t off = 0; off < buffer.size(); off += 8) des.EncryptBlock(buffer.data() + off);
}

std::vector<uint8_t> DesFormBytes(std::string_view password, std::span<const uint8_t> data) {
  std::vector<uint8_t> out;
  if (data.empty()) return out;
  out.reserve(data.size() + 16);
  out.assign(data.begin(), data.end());
  DesFormEncryptInPlace(out, password);
  return out;
}

Status DesEncryptToFile(const std::filesystem::path& path, std::span<const uint8_t> data,
                        std::string_view password) {
  auto fail = [](int err) {
    return Error(err == ENOENT ? ErrorCode::NotFound : ErrorCode::Io, std::strerror(err), err);
  };
  if (data.empty()) return Error(ErrorCode::InvalidArgument, "Data length must be > 0");
  std::vector<uint8_t> form = DesFormBytes(password, data);
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return fail(errno);
  size_t done = 0;
  while (done < form.size()) {
    ssize_t n = ::write(fd, form.data() + done, form.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int err = n < 0 ? errno : EIO;
      ::close(fd);
      return fail(err);
    }
    done += size_t(n);
  }
  // A full disk may only show at close (network file systems); that is a failed write too.
  if (::close(fd) != 0) return fail(errno);
  return {};
}

}  // namespace dtl
