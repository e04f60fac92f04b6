// The primitives against published answers: MD5 (RFC 1321 suite), AES-128 (FIPS-197 C.1),
// DES (FIPS 46-3 worked example and NIST SP 800-17 known-answer tables), and the pad removal
// of the AES form on hostile input.
#include <gtest/gtest.h>

#include <string>

#include "archive/DesContext.h"
#include "archive/Md5.h"
#include "archive/SegmentCipher.h"

namespace {

std::vector<uint8_t> FromHex(std::string_view hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(uint8_t(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  return out;
}

std::string ToHex(std::span<const uint8_t> bytes) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (uint8_t b : bytes) {
    s += d[b >> 4];
    s += d[b & 15];
  }
  return s;
}

std::span<const uint8_t> Bytes(std::string_view s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

TEST(Md5, MatchesTheRfc1321TestSuite) {
  struct Case {
    const char* input;
    const char* digest;
  } cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const Case& c : cases) EXPECT_EQ(ToHex(dtl::Md5(Bytes(c.input))), c.digest) << c.input;
}

TEST(Aes, RawKeyPathMatchesFips197AppendixC1) {
  auto key = FromHex("000102030405060708090a0b0c0d0e0f");
  auto plain = FromHex("00112233445566778899aabbccddeeff");
  auto form = dtl::AesFormEncryptWithKey(std::span<const uint8_t, 16>(key.data(), 16), plain);
  ASSERT_EQ(form.size(), 48u);
  // With the all-zero IV the first CBC block is the bare cipher of the first plaintext block.
  EXPECT_EQ(ToHex(std::span(form).first(16)), "69c4e0d86a7b0430d8cdb78070b4c55a");
}

TEST(Aes, PasswordKeyIsMd5OfThePassword) {
  auto plain = FromHex("00112233445566778899aabbccddeeff");
  auto digest = dtl::Md5(Bytes("secret"));
  EXPECT_EQ(dtl::EncryptBytes(dtl::CipherAlgorithm::Aes, 128, "secret", plain),
            dtl::AesFormEncryptWithKey(digest, plain));
}

struct DesVector {
  const char* key;
  const char* plain;
  const char* cipher;
};

class DesKnownAnswer : public ::testing::TestWithParam<DesVector> {};

TEST_P(DesKnownAnswer, EncryptsToThePublishedBlockAndDecryptsBack) {
  auto key = FromHex(GetParam().key);
  auto block = FromHex(GetParam().plain);
  dtl::DesContext des(key.data());
  des.EncryptBlock(block.data());
  EXPECT_EQ(ToHex(block), GetParam().cipher);
  des.DecryptBlock(block.data());
  EXPECT_EQ(ToHex(block), GetParam().plain);
}

INSTANTIATE_TEST_SUITE_P(
    PublishedVectors, DesKnownAnswer,
    ::testing::Values(
        // The classic worked example.
        DesVector{"133457799bbcdff1", "0123456789abcdef", "85e813540f0ab405"},
        DesVector{"0123456789abcdef", "4e6f772069732074", "3fa40e8a984d4815"},
        DesVector{"0e329232ea6d0d73", "8787878787878787", "0000000000000000"},
        // SP 800-17 variable plaintext (key of parity bits only).
        DesVector{"0101010101010101", "8000000000000000", "95f8a5e5dd31d900"},
        DesVector{"0101010101010101", "4000000000000000", "dd7f121ca5015619"},
        DesVector{"0101010101010101", "0000000000000001", "166b40b44aba4bd6"},
        // SP 800-17 variable key.
        DesVector{"8001010101010101", "0000000000000000", "95a8d72813daa94d"},
        DesVector{"4001010101010101", "0000000000000000", "0eec1487dd8c26d5"},
        // SP 800-17 permutation and substitution tables.
        DesVector{"1046913489980131", "0000000000000000", "88d55e54f54c97b4"},
        DesVector{"7ca110454a1a6e57", "01a1d6d039776742", "690f5b0d9a26939b"}));

TEST(Des, ParityBitsOfTheKeyAreIgnored) {
  auto a = FromHex("133457799bbcdff1");
  std::vector<uint8_t> b = a;
  for (uint8_t& k : b) k ^= 1;
  auto x = FromHex("0123456789abcdef"), y = x;
  dtl::DesContext(a.data()).EncryptBlock(x.data());
  dtl::DesContext(b.data()).EncryptBlock(y.data());
  EXPECT_EQ(x, y);
}

TEST(Des, KeyFromPasswordRepeatsItCyclically) {
  struct Case {
    std::string_view password;
    std::string_view key;
  } cases[] = {
      {"abc", "abcabcab"},
      {"segpass", "segpasss"},
      {"12345678", "12345678"},
      {"longer than eight", "longer t"},
      {"x", "xxxxxxxx"},
  };
  for (const Case& c : cases) {
    auto key = dtl::DesKeyFromPassword(c.password);
    EXPECT_EQ(std::string(key.begin(), key.end()), c.key) << c.password;
  }
  EXPECT_EQ(dtl::DesKeyFromPassword(""), (std::array<uint8_t, 8>{}));
}

// The pad removal reads the value of the last byte; on garbage that value can exceed what is
// left after the first removal, and must not run off the front of the buffer.
TEST(AesPadRemoval, NeverRemovesMoreThanIsLeft) {
  std::vector<uint8_t> first(16, 0x09);
  first[15] = 0x0A;  // first removal: 10 bytes; the six left end in 9, more than six
  first.resize(40, 0x55);
  auto cipher = dtl::EncryptBytes(dtl::CipherAlgorithm::Aes, 128, "pw", first);
  auto oneBlock = dtl::DecryptBytes(dtl::CipherAlgorithm::Aes, 128, "pw",
                                    std::span(cipher).first(16));
  EXPECT_EQ(oneBlock, std::vector<uint8_t>(6, 0x09));

  std::vector<uint8_t> allPad(20, 0x10);
  cipher = dtl::EncryptBytes(dtl::CipherAlgorithm::Aes, 128, "pw", allPad);
  EXPECT_TRUE(
      dtl::DecryptBytes(dtl::CipherAlgorithm::Aes, 128, "pw", std::span(cipher).first(16)).empty());
  std::vector<uint8_t> inPlace(cipher.begin(), cipher.begin() + 16);
  dtl::AesFormDecryptInPlace(inPlace, "pw");
  EXPECT_TRUE(inPlace.empty());
}

TEST(AesPadRemoval, LeavesALastByteOutsideOneToSixteenInPlace) {
  std::vector<uint8_t> data(16, 0x11);
  auto cipher = dtl::EncryptBytes(dtl::CipherAlgorithm::Aes, 128, "pw", data);
  // Only the first block: its last byte is 0x11, no pad is removed.
  EXPECT_EQ(dtl::DecryptBytes(dtl::CipherAlgorithm::Aes, 128, "pw", std::span(cipher).first(16)),
            data);
}

TEST(AesForm, ShortOrRaggedInputDecryptsWholeBlocksOnly) {
  std::vector<uint8_t> data = {1, 2, 3, 4, 5};
  auto cipher = dtl::EncryptBytes(dtl::CipherAlgorithm::Aes, 128, "pw", data);
  ASSERT_EQ(cipher.size(), 32u);
  EXPECT_TRUE(dtl::DecryptBytes(dtl::CipherAlgorithm::Aes, 128, "pw", std::span(cipher).first(15))
                  .empty());
  EXPECT_TRUE(dtl::DecryptBytes(dtl::CipherAlgorithm::Aes, 128, "pw", {}).empty());
  EXPECT_TRUE(dtl::EncryptBytes(dtl::CipherAlgorithm::Aes, 128, "pw", {}).empty());
  cipher.push_back(0xEE);  // a stray trailing byte is ignored
  EXPECT_EQ(dtl::DecryptBytes(dtl::CipherAlgorithm::Aes, 128, "pw", cipher), data);
}

}  // namespace
