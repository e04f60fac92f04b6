// The account-password marker: its layout and lengths, round trips through the form encoding a
// browser applies, the key variants, the decoding steps, and damaged or hostile markers.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <random>
#include <string>

#include "browser/AccountPassword.h"
#include "browser/BrowserFormEncoding.h"

namespace {

using dtl::DecodeAccountPassword;
using dtl::ExportAccountPassword;

constexpr int kSchemes[] = {13, 14, 141, 143, 148, 150, 160};

// The Base64 text between the marker's brackets.
std::string Inner(const std::string& marker) { return marker.substr(2, marker.size() - 4); }

std::string Decoded(std::string_view inner, int scheme, bool ssl) {
  return DecodeAccountPassword(inner, scheme, ssl).Str();
}

// Re-encodes damaged cipher bytes; the decoder skips the "=" padding as a foreign character.
std::string Base64(const std::string& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  out.resize(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                             reinterpret_cast<const unsigned char*>(bytes.data()),
                             static_cast<int>(bytes.size())));
  return out;
}

TEST(AccountPasswordExport, WritesBracketsOfItsVariantAndRefusesEmptyOrOverlongPasswords) {
  const std::string plain = ExportAccountPassword("hunter22", false);
  const std::string ssl = ExportAccountPassword("hunter22", true);
  EXPECT_EQ(plain.substr(0, 2) + plain.substr(plain.size() - 2), "(##)");
  EXPECT_EQ(ssl.substr(0, 2) + ssl.substr(ssl.size() - 2), "($$)");
  EXPECT_NE(Inner(plain), Inner(ssl));

  EXPECT_EQ(ExportAccountPassword("", false), "");
  EXPECT_FALSE(ExportAccountPassword(std::string(50, 'x'), false).empty());
  EXPECT_EQ(ExportAccountPassword(std::string(51, 'x'), true), "");
  // Characters, not bytes: fifty two-byte letters are still fifty characters.
  std::string accented;
  for (int i = 0; i < 50; ++i) accented += "\xC3\xA9";
  EXPECT_EQ(Decoded(Inner(ExportAccountPassword(accented, false)), 160, false), accented);
}

TEST(AccountPasswordExport, CipherLengthAlwaysCarriesOneExtraBlock) {
  struct Case {
    size_t chars, cipherBytes, base64Chars;
  } cases[] = {{1, 16, 24}, {5, 16, 24},  {7, 16, 24}, {8, 16, 24},
               {9, 24, 32}, {16, 24, 32}, {50, 64, 88}};
  for (const Case& c : cases) {
    const std::string inner = Inner(ExportAccountPassword(std::string(c.chars, 'k'), false));
    EXPECT_EQ(inner.size(), c.base64Chars) << c.chars;
    EXPECT_EQ(dtl::Base64DecodeSkippingForeign(inner).size(), c.cipherBytes) << c.chars;
  }
  // 5 characters in 16 bytes can only come back as 5 if the pad count read is 3.
  EXPECT_EQ(Decoded(Inner(ExportAccountPassword("abcde", false)), 160, false), "abcde");
}

TEST(AccountPasswordRoundTrip, RandomPasswordsSurviveTheBrowsersFormEncodingInBothVariants) {
  std::mt19937 rng(20261206);
  for (int i = 0; i < 400; ++i) {
    std::string password(1 + rng() % 50, '\0');
    for (char& c : password) c = static_cast<char>(32 + rng() % 95);
    const bool ssl = i % 2 == 1;
    const std::string inner = Inner(ExportAccountPassword(password, ssl));
    // In a POST body "+", "/" and "=" arrive percent-encoded; the decoder undoes that.
    const std::string posted = dtltest::BrowserFormEncode(inner);
    ASSERT_EQ(Decoded(posted, 160, ssl), password) << password;
    ASSERT_NE(Decoded(posted, 160, !ssl), password)
        << "the other variant's key decoded " << password;
  }
}

TEST(AccountPasswordRoundTrip, EveryOlderSchemeDecodesWhatItsOwnKeyEncrypted) {
  for (int scheme : kSchemes)
    for (bool ssl : {false, true}) {
      for (std::string password : {"a", "eight888", "With Spaces & Symbols!", "nine-char"}) {
        const std::string inner = dtl::EncryptAccountPassword(password, scheme, ssl);
        EXPECT_EQ(Decoded(dtltest::BrowserFormEncode(inner), scheme, ssl), password)
            << scheme << ssl;
      }
      // Fourteen distinct keys: no two scheme/variant pairs give the same text.
      for (int other : kSchemes) {
        if (other == scheme) continue;
        EXPECT_NE(dtl::EncryptAccountPassword("samepassword", scheme, ssl),
                  dtl::EncryptAccountPassword("samepassword", other, ssl));
      }
      EXPECT_NE(dtl::EncryptAccountPassword("samepassword", scheme, false),
                dtl::EncryptAccountPassword("samepassword", scheme, true));
    }
  EXPECT_EQ(dtl::EncryptAccountPassword("x", 99, false), "");
  EXPECT_EQ(Decoded("QUJD", 99, false), "");
}

TEST(AccountPasswordDecoding, UnescapesPercentsButNotPlusThenSkipsForeignBase64Characters) {
  const std::pair<const char*, const char*> unescape[] = {{"%2B%2f%3D", "+/="}, {"a+b", "a+b"},
                                                          {"%%41", "%A"},       {"%zz", "%zz"},
                                                          {"%4", "%4"},         {"%4g", "%4g"}};
  for (auto [in, out] : unescape) EXPECT_EQ(dtl::UrlUnescapeKeepPlus(in), out) << in;
  const std::pair<const char*, const char*> base64[] = {
      {"Q U=J\nD", "ABC"}, {"QUI=", "AB"}, {"QUI", "AB"},     {"QQ==", "A"},
      {"Q", ""},           {"*#!", ""},    {"QUJDRA", "ABCD"}};
  for (auto [in, out] : base64) EXPECT_EQ(dtl::Base64DecodeSkippingForeign(in), out) << in;
}

TEST(AccountPasswordDecoding, XorSchemesStopAtTheFirstZeroByte) {
  std::string bytes =
      dtl::Base64DecodeSkippingForeign(dtl::EncryptAccountPassword("abcdef", 141, false));
  bytes[3] = '\0';
  EXPECT_EQ(Decoded(Base64(bytes), 141, false), "abc");
}

// Damaged and hostile markers: nothing here may read or cut outside a buffer (also run under
// AddressSanitizer), and none yields the true password.
TEST(AccountPasswordDecoding, DamagedDesMarkersGiveNoPasswordAndStayInsideTheirBytes) {
  const std::string base =
      dtl::Base64DecodeSkippingForeign(dtl::EncryptAccountPassword("ABCDEFGHZZZZZZZZ", 160, false));
  ASSERT_EQ(base.size(), 24u);
  // ECB blocks stand alone: the first two blocks decrypt to the password, so the "pad count" is
  // the last letter, 'Z' = 90 > 7.
  const std::string padAbove7 = base.substr(0, 16);
  // One block whose last byte is 3: the pad would cut before the start of the bytes.
  const std::string oneBlock =
      dtl::Base64DecodeSkippingForeign(
          dtl::EncryptAccountPassword(std::string("abcdefg\x03", 8), 160, false))
          .substr(0, 8);
  EXPECT_EQ(Decoded(Base64(padAbove7), 160, false), "");
  EXPECT_EQ(Decoded(Base64(oneBlock), 160, false), "");
  // A partial last block is left out rather than decrypted past the end.
  EXPECT_EQ(Decoded(Base64(base + "xyz"), 160, false), "ABCDEFGHZZZZZZZZ");
  EXPECT_EQ(Decoded(Base64(base.substr(0, 5)), 160, false), "");
  // Huge input stays inside its bytes (random garbage is the navigation fuzz target's work).
  const std::string huge(1 << 20, 'Q');
  EXPECT_LE(DecodeAccountPassword(huge, 143, false).Size(), huge.size());
  EXPECT_LE(DecodeAccountPassword(huge, 160, true).Size(), huge.size());
}

}  // namespace
