// The two encrypted segment forms checked against OpenSSL's command-line tool, the password
// rules, and the one-buffer packing path against the email object's path.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "archive/Md5.h"
#include "archive/SegmentArchive.h"
#include "archive/SegmentCipher.h"
#include "mail/EmailObject.h"
#include "support/TestSupport.h"

namespace {

using dtltest::AsBytes;
using dtltest::Hex;

constexpr std::time_t kPinned = 1709647656;

std::vector<uint8_t> AesForm(const std::string& password, const std::vector<uint8_t>& data) {
  return dtl::EncryptBytes(dtl::CipherAlgorithm::Aes, 128, password, data);
}

TEST(AesForm, OpensslDecryptsItToTheDataAndBothPads) {
  const std::string key = Hex(dtl::Md5(AsBytes("pw")));
  for (size_t n : {1, 15, 16, 17, 32, 4097}) {
    auto data = dtltest::RandomBytes(n, uint32_t(n));
    auto cipher = AesForm("pw", data);
    ASSERT_EQ(cipher.size(), n / 16 * 16 + 32) << n;
    std::vector<uint8_t> expected = data;
    expected.insert(expected.end(), 16 - n % 16, uint8_t(16 - n % 16));
    expected.insert(expected.end(), 16, 0x10);
    EXPECT_EQ(
        dtltest::OpensslDecrypt("-aes-128-cbc -K " + key + " -iv " + std::string(32, '0'), cipher),
        expected);
    EXPECT_EQ(dtl::DecryptBytes(dtl::CipherAlgorithm::Aes, 128, "pw", cipher), data) << n;
  }
}

TEST(AesForm, PasswordRules) {
  auto data = dtltest::RandomBytes(100, 3);
  // An empty password is the default "0x5E2A9", whether the engine or the caller substitutes.
  auto empty = AesForm("", data);
  EXPECT_EQ(empty, AesForm("0x5E2A9", data));
  EXPECT_EQ(dtltest::OpensslAesFormDecrypt("0x5E2A9", empty), data);
  // A non-ASCII password is hashed as its UTF-8 bytes ("pässwörd"; the key comes from openssl).
  auto cipher = AesForm("p\xC3\xA4ssw\xC3\xB6rd", data);
  EXPECT_EQ(dtltest::OpensslAesFormDecrypt("p\xC3\xA4ssw\xC3\xB6rd", cipher), data);
  // A wrong password is not detected: bytes come back, and they are not the data.
  auto wrong = dtl::DecryptBytes(dtl::CipherAlgorithm::Aes, 128, "PW", cipher);
  EXPECT_GE(wrong.size(), data.size());
  EXPECT_NE(wrong, data);
}

// The password repeated to eight bytes is the DES key ("segpass" when empty); the data is
// zero-filled to whole blocks and a last block carries the fill count.
TEST(DesForm, OpensslReadsTheLayoutAndPaddingRule) {
  const std::string desArgs =
      "-des-ecb -provider legacy -provider default -K " + Hex(AsBytes("abcabcab"));
  for (auto [n, p] : {std::pair<size_t, uint8_t>{1, 7}, {7, 1}, {8, 0}, {13, 3}, {1001, 7}}) {
    auto data = dtltest::RandomBytes(n, uint32_t(n));
    std::vector<uint8_t> expected = data;
    expected.resize(n + p + 7, 0);
    expected.push_back(p);
    EXPECT_EQ(dtltest::OpensslDecrypt(desArgs, dtl::DesFormBytes("abc", data)), expected) << n;
  }
  auto data = dtltest::RandomBytes(50, 5);
  EXPECT_EQ(dtl::DesFormBytes("", data), dtl::DesFormBytes("segpass", data));
  EXPECT_TRUE(dtl::DesFormBytes("pw", {}).empty());
}

TEST(DesForm, WritesTheFileOrSaysWhyNot) {
  dtltest::TempDir dir;
  auto data = dtltest::RandomBytes(5000, 9);
  dtltest::WriteFileText(dir / "seg.doc", "old content that is longer than nothing");
  const dtl::Status written = dtl::DesEncryptToFile(dir / "seg.doc", data, "");
  ASSERT_TRUE(written) << written.error().message;
  EXPECT_EQ(dtltest::ReadFileBytes(dir / "seg.doc"), dtl::DesFormBytes("segpass", data));

  const dtl::Status empty = dtl::DesEncryptToFile(dir / "empty.doc", {}, "pw");
  ASSERT_FALSE(empty);
  EXPECT_EQ(empty.error().code, dtl::ErrorCode::InvalidArgument);
  EXPECT_EQ(empty.error().message, "Data length must be > 0");
  EXPECT_FALSE(std::filesystem::exists(dir / "empty.doc"));
  const dtl::Status nowhere = dtl::DesEncryptToFile(dir / "no" / "such" / "seg.doc", data, "pw");
  ASSERT_FALSE(nowhere);
  EXPECT_EQ(nowhere.error().message, "No such file or directory");
  EXPECT_EQ(nowhere.error().system, ENOENT);
}

// The offline split and the merge take the one-buffer path; the send engine takes the email
// object's. Both must give the same archive, byte for byte, and the merge's in-place
// decryption must give back the zip.
TEST(SegmentArchive, FastPathGivesTheEmailObjectPathsBytes) {
  setenv("TZ", "UTC", 1);
  tzset();
  struct Case {
    std::string name;
    size_t size;
    std::string password;
  } cases[] = {
      {"file.bin.007.doc", 100000, "pw"},
      {"dir/sub/a.dtl.doc", 1, ""},
      {"win\\path\\b.doc", 5000, "x"},
      {"", 64, ""},
      {"empty.doc", 0, ""},
  };
  for (const Case& c : cases) {
    auto piece = dtltest::RandomBytes(c.size, 21, true);
    dtl::EmailObject aes;
    aes.SetArchiveTime(kPinned);
    aes.AddAttachmentBytes(c.name, "application/x-msdownload", piece);
    ASSERT_TRUE(aes.ZipAttachments("temp"));
    dtl::EmailObject des = aes;
    std::vector<uint8_t> zip, viaEmail;
    ASSERT_TRUE(des.GetAttachmentData(0, zip));
    ASSERT_TRUE(aes.AesEncrypt(c.password));
    ASSERT_TRUE(aes.GetAttachmentData(0, viaEmail));
    auto packed = dtl::PackSegmentAes(c.name, piece, c.password, kPinned);
    EXPECT_EQ(packed, viaEmail) << c.name;
    EXPECT_EQ(dtl::PackSegmentDes(c.name, piece, c.password, kPinned),
              dtl::DesFormBytes(c.password, zip))
        << c.name;
    dtl::DecryptSegmentInPlace(packed, c.password);
    EXPECT_EQ(packed, zip) << c.name;
  }
}

TEST(SegmentArchive, RefusesAPieceItCannotStoreRatherThanDroppingIt) {
  std::vector<uint8_t> piece(10, 'x');
  EXPECT_THROW(dtl::PackSegmentAes(std::string(70000, 'n'), piece, "", kPinned), std::length_error);
}

}  // namespace
