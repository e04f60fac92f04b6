// The primitives against published answers: MD5 (RFC 1321 suite), AES-128 (FIPS-197 C.1),
// DES (FIPS 46-3 worked example and NIST SP 800-17 known-answer tables), and the pad removal
// of the AES form on hostile input.
#include <gtest/gtest.h>

#include <string>

#include "archive/DesContext.h"
#include "archive/Md5.h"
#include "archive/SegmentCipher.h"
#include "support/TestSupport.h"

namespace {

using dtltest::AsBytes;
using dtltest::FromHex;
using dtltest::Hex;

std::vector<uint8_t> Aes(std::span<const uint8_t> data) {
  return dtl::EncryptBytes(dtl::CipherAlgorithm::Aes, 128, "pw", data);
}
std::vector<uint8_t> UnAes(std::span<const uint8_t> data) {
  return dtl::DecryptBytes(dtl::CipherAlgorithm::Aes, 128, "pw", data);
}
std::vector<uint8_t> UnAesFirstBlock(const std::vector<uint8_t>& cipher) {
  return UnAes(std::span(cipher).first(16));
}

TEST(Md5, MatchesTheRfc1321TestSuite) {
  const std::pair<const char*, const char*> cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& [input, digest] : cases)
    EXPECT_EQ(Hex(dtl::Md5(AsBytes(input))), digest) << input;
}

TEST(Aes, RawKeyPathMatchesFips197AppendixC1) {
  auto key = FromHex("000102030405060708090a0b0c0d0e0f");
  auto form = dtl::AesFormEncryptWithKey(std::span<const uint8_t, 16>(key.data(), 16),
                                         FromHex("00112233445566778899aabbccddeeff"));
  ASSERT_EQ(form.size(), 48u);
  // With the all-zero IV the first CBC block is the bare cipher of the first plaintext block.
  EXPECT_EQ(Hex(std::span(form).first(16)), "69c4e0d86a7b0430d8cdb78070b4c55a");
}

TEST(Des, PublishedVectorsEncryptAndDecryptBackIgnoringKeyParity) {
  const char* vectors[][3] = {
      {"133457799bbcdff1", "0123456789abcdef", "85e813540f0ab405"},  // the classic worked example
      {"0123456789abcdef", "4e6f772069732074", "3fa40e8a984d4815"},
      {"0e329232ea6d0d73", "8787878787878787", "0000000000000000"},
      {"0101010101010101", "8000000000000000", "95f8a5e5dd31d900"},  // SP 800-17 variable plaintext
      {"0101010101010101", "0000000000000001", "166b40b44aba4bd6"},
      {"8001010101010101", "0000000000000000", "95a8d72813daa94d"},  // variable key
      {"4001010101010101", "0000000000000000", "0eec1487dd8c26d5"},
      {"1046913489980131", "0000000000000000", "88d55e54f54c97b4"},  // permutation and substitution
      {"7ca110454a1a6e57", "01a1d6d039776742", "690f5b0d9a26939b"},
  };
  for (const auto& [keyHex, plain, cipher] : vectors) {
    auto key = FromHex(keyHex), flipped = key, block = FromHex(plain);
    for (uint8_t& k : flipped) k ^= 1;
    dtl::DesContext(key.data()).EncryptBlock(block.data());
    EXPECT_EQ(Hex(block), cipher) << keyHex;
    dtl::DesContext(flipped.data()).DecryptBlock(block.data());
    EXPECT_EQ(Hex(block), plain) << keyHex;
  }
}

TEST(Des, KeyFromPasswordRepeatsItCyclically) {
  const std::pair<std::string_view, std::string_view> cases[] = {{"abc", "abcabcab"},
                                                                 {"segpass", "segpasss"},
                                                                 {"longer than eight", "longer t"},
                                                                 {"x", "xxxxxxxx"}};
  for (const auto& [password, want] : cases) {
    auto key = dtl::DesKeyFromPassword(password);
    EXPECT_EQ(std::string(key.begin(), key.end()), want) << password;
  }
  EXPECT_EQ(dtl::DesKeyFromPassword(""), (std::array<uint8_t, 8>{}));
}

// The pad removal reads the value of the last byte; on garbage that value can exceed what is
// left after the first removal, and must not run off the front of the buffer. A last byte
// outside 1..16 removes nothing; ragged input decrypts whole blocks only.
TEST(AesPadRemoval, NeverRemovesMoreThanIsLeft) {
  std::vector<uint8_t> first(16, 0x09);
  first[15] = 0x0A;  // first removal: 10 bytes; the six left end in 9, more than six
  first.resize(40, 0x55);
  EXPECT_EQ(UnAesFirstBlock(Aes(first)), std::vector<uint8_t>(6, 0x09));

  auto allPad = Aes(std::vector<uint8_t>(20, 0x10));
  EXPECT_TRUE(UnAesFirstBlock(allPad).empty());
  std::vector<uint8_t> inPlace(allPad.begin(), allPad.begin() + 16);
  dtl::AesFormDecryptInPlace(inPlace, "pw");
  EXPECT_TRUE(inPlace.empty());

  std::vector<uint8_t> high(16, 0x11);
  EXPECT_EQ(UnAesFirstBlock(Aes(high)), high);

  std::vector<uint8_t> data = {1, 2, 3, 4, 5};
  auto cipher = Aes(data);
  ASSERT_EQ(cipher.size(), 32u);
  EXPECT_TRUE(UnAes(std::span(cipher).first(15)).empty());
  EXPECT_TRUE(UnAes({}).empty());
  EXPECT_TRUE(Aes({}).empty());
  cipher.push_back(0xEE);  // a stray trailing byte is ignored
  EXPECT_EQ(UnAes(cipher), data);
}

}  // namespace
