// The two encrypted segment forms checked against OpenSSL's command-line tool, the password
// rules, and the one-buffer packing path against the email object's path.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "archive/DesContext.h"
#include "archive/EmailObject.h"
#include "archive/Md5.h"
#include "archive/SegmentArchive.h"
#include "archive/SegmentCipher.h"
#include "support/TestSupport.h"

namespace {

using dtltest::RunCommand;
using dtltest::ShellQuote;
using dtltest::TempDir;

constexpr std::time_t kPinned = 1709647656;

std::string Hex(std::span<const uint8_t> bytes) {
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

// Decrypts with `openssl enc -d -aes-128-cbc -nopad`, the key given as hex, the zero IV.
std::vector<uint8_t> OpensslAesDecrypt(const TempDir& dir, const std::vector<uint8_t>& cipher,
                                       const std::string& keyHex) {
  dtltest::WriteFileBytes(dir / "in", cipher);
  auto r = RunCommand("openssl enc -d -aes-128-cbc -nopad -K " + keyHex +
                      " -iv 00000000000000000000000000000000 -in " +
                      ShellQuote((dir / "in").string()) + " -out " +
                      ShellQuote((dir / "out").string()));
  EXPECT_EQ(r.status, 0) << r.output;
  return dtltest::ReadFileBytes(dir / "out");
}

std::vector<uint8_t> OpensslDesDecrypt(const TempDir& dir, const std::vector<uint8_t>& cipher,
                                       const std::string& keyHex) {
  dtltest::WriteFileBytes(dir / "in", cipher);
  auto r = RunCommand("openssl enc -d -des-ecb -provider legacy -provider default -nopad -K " +
                      keyHex + " -in " + ShellQuote((dir / "in").string()) + " -out " +
                      ShellQuote((dir / "out").string()));
  EXPECT_EQ(r.status, 0) << r.output;
  return dtltest::ReadFileBytes(dir / "out");
}

// Entry 0 of a zip as Python's zipfile reads it; status 0 only when it is a valid archive.
dtltest::CommandResult PythonEntry0(const TempDir& dir, const std::vector<uint8_t>& zip) {
  dtltest::WriteFileBytes(dir / "z.zip", zip);
  return RunCommand(
      "python3 -c 'import sys,zipfile\n"
      "z=zipfile.ZipFile(sys.argv[1])\n"
      "open(sys.argv[2],\"wb\").write(z.read(z.infolist()[0]))' " +
      ShellQuote((dir / "z.zip").string()) + " " + ShellQuote((dir / "entry").string()));
}

TEST(AesForm, OpensslDecryptsItToTheDataAndBothPads) {
  TempDir dir;
  const std::string keyHex = Hex(dtl::Md5(Bytes("pw")));
  for (size_t n : {1, 15, 16, 17, 31, 32, 33, 4096, 4097}) {
    auto data = dtltest::RandomBytes(n, uint32_t(n));
    auto cipher = dtl::EncryptBytes(dtl::CipherAlgorithm::Aes, 128, "pw", data);
    ASSERT_EQ(cipher.size(), n / 16 * 16 + 32) << n;
    auto plain = OpensslAesDecrypt(dir, cipher, keyHex);
    uint8_t pad = uint8_t(16 - n % 16);
    std::vector<uint8_t> expected = data;
    expected.insert(expected.end(), pad, pad);
    expected.insert(expected.end(), 16, 0x10);
    EXPECT_EQ(plain, expected) << n;
    EXPECT_EQ(dtl::DecryptBytes(dtl::CipherAlgorithm::Aes, 128, "pw", cipher), data) << n;
  }
}

TEST(AesForm, PasswordRules) {
  TempDir dir;
  auto data = dtltest::RandomBytes(100, 3);
  // An empty password is the default "0x5E2A9", whether the engine or the caller substitutes.
  auto empty = dtl::EncryptBytes(dtl::CipherAlgorithm::Aes, 128, "", data);
  EXPECT_EQ(empty, dtl::EncryptBytes(dtl::CipherAlgorithm::Aes, 128, "0x5E2A9", data));
  auto viaDefault = OpensslAesDecrypt(dir, empty, Hex(dtl::Md5(Bytes("0x5E2A9"))));
  EXPECT_TRUE(std::equal(data.begin(), data.end(), viaDefault.begin()));

  // A non-ASCII password is hashed as its UTF-8 bytes; the key is computed here by Python.
  const std::string utf8 = "p\xC3\xA4ssw\xC3\xB6rd";  // "pässwörd"
  auto key = RunCommand("python3 -c 'import hashlib;print(hashlib.md5(\"p\\u00e4ssw\\u00f6rd\""
                        ".encode(\"utf-8\")).hexdigest(),end=\"\")'");
  ASSERT_EQ(key.status, 0) << key.output;
  auto cipher = dtl::EncryptBytes(dtl::CipherAlgorithm::Aes, 128, utf8, data);
  auto plain = OpensslAesDecrypt(dir, cipher, key.output);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), plain.begin()));

  // A wrong password is not detected: bytes come back, and they are not the data.
  auto wrong = dtl::DecryptBytes(dtl::CipherAlgorithm::Aes, 128, "PW", cipher);
  EXPECT_GE(wrong.size(), data.size());
  EXPECT_NE(wrong, data);
}

TEST(SegmentArchive, AesPackUnpacksToAZipHoldingThePiece) {
  TempDir dir;
  auto piece = dtltest::RandomBytes(300000, 11, true);
  auto archive = dtl::PackSegmentAes("movie.avi.004.doc", piece, "", kPinned);
  EXPECT_EQ(archive.size() % 16, 0u);

  // Decrypted by OpenSSL with the default password's key, minus the two pads, it is a zip.
  auto plain = OpensslAesDecrypt(dir, archive, Hex(dtl::Md5(Bytes("0x5E2A9"))));
  ASSERT_GE(plain.size(), 32u);
  plain.resize(plain.size() - 16);
  plain.resize(plain.size() - plain.back());
  ASSERT_EQ(PythonEntry0(dir, plain).status, 0);
  EXPECT_EQ(dtltest::ReadFileBytes(dir / "entry"), piece);

  std::vector<uint8_t> inPlace = archive;
  dtl::DecryptSegmentInPlace(inPlace, "");
  EXPECT_EQ(inPlace, plain);

  std::vector<uint8_t> wrong = archive;
  dtl::DecryptSegmentInPlace(wrong, "not the password");
  EXPECT_NE(PythonEntry0(dir, wrong).status, 0);
}

TEST(DesForm, LayoutAndPaddingRule) {
  struct Case {
    size_t n;
    uint8_t p;
  } cases[] = {{1, 7}, {7, 1}, {8, 0}, {13, 3}, {16, 0}, {1001, 7}};
  for (const Case& c : cases) {
    auto data = dtltest::RandomBytes(c.n, uint32_t(c.n));
    auto form = dtl::DesFormBytes("pw", data);
    ASSERT_EQ(form.size(), c.n + c.p + 8) << c.n;
    auto key = dtl::DesKeyFromPassword("pw");
    dtl::DesContext des(key.data());
    for (size_t off = 0; off < form.size(); off += 8) des.DecryptBlock(form.data() + off);
    std::vector<uint8_t> expected = data;
    expected.resize(c.n + c.p + 7, 0);
    expected.push_back(c.p);
    EXPECT_EQ(form, expected) << c.n;
  }
  EXPECT_TRUE(dtl::DesFormBytes("pw", {}).empty());
}

TEST(DesForm, PasswordRules) {
  TempDir dir;
  auto data = dtltest::RandomBytes(50, 5);
  EXPECT_EQ(dtl::DesFormBytes("abc", data), dtl::DesFormBytes("abcabcab", data));
  EXPECT_EQ(dtl::DesFormBytes("longer than eight", data), dtl::DesFormBytes("longer t", data));
  EXPECT_EQ(dtl::DesFormBytes("", data), dtl::DesFormBytes("segpass", data));
  // OpenSSL's own DES with the key "abcabcab" reads the form.
  auto plain = OpensslDesDecrypt(dir, dtl::DesFormBytes("abc", data), Hex(Bytes("abcabcab")));
  ASSERT_EQ(plain.size(), 64u);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), plain.begin()));
  EXPECT_EQ(plain.back(), 6);
}

TEST(DesForm, WritesTheFileOrSaysWhyNot) {
  TempDir dir;
  auto data = dtltest::RandomBytes(5000, 9);
  dtltest::WriteFileText(dir / "seg.doc", "old content that is longer than nothing");
  std::string error;
  ASSERT_TRUE(dtl::DesEncryptToFile(dir / "seg.doc", data, "", &error)) << error;
  EXPECT_EQ(dtltest::ReadFileBytes(dir / "seg.doc"), dtl::DesFormBytes("segpass", data));

  EXPECT_FALSE(dtl::DesEncryptToFile(dir / "empty.doc", {}, "pw", &error));
  EXPECT_FALSE(std::filesystem::exists(dir / "empty.doc"));
  EXPECT_FALSE(dtl::DesEncryptToFile(dir / "no" / "such" / "seg.doc", data, "pw", &error));
  EXPECT_EQ(error, "No such file or directory");
}

TEST(SegmentArchive, DesPackDecryptsToAZipHoldingThePiece) {
  TempDir dir;
  auto piece = dtltest::RandomBytes(20000, 4, true);
  auto form = dtl::PackSegmentDes("a.dtl.doc", piece, "", kPinned);
  auto key = dtl::DesKeyFromPassword("segpass");
  dtl::DesContext des(key.data());
  for (size_t off = 0; off < form.size(); off += 8) des.DecryptBlock(form.data() + off);
  size_t p = form.back();
  form.resize(form.size() - 8 - p);
  ASSERT_EQ(PythonEntry0(dir, form).status, 0);
  EXPECT_EQ(dtltest::ReadFileBytes(dir / "entry"), piece);
}

// The offline split and the merge take the one-buffer path; the send engine takes the email
// object's. Both must give the same archive, byte for byte.
TEST(SegmentArchive, FastPathGivesTheEmailObjectPathsBytes) {
  setenv("TZ", "UTC", 1);
  tzset();
  struct Case {
    std::string name;
    size_t size;
    std::string password;
  } cases[] = {
      {"file.bin.007.doc", 100000, "pw"}, {"dir/sub/a.dtl.doc", 1, ""},
      {"win\\path\\b.doc", 5000, "x"},    {"", 64, ""},
      {"empty.doc", 0, ""},
  };
  for (const Case& c : cases) {
    auto piece = dtltest::RandomBytes(c.size, 21, true);

    dtl::EmailObject aes;
    aes.SetArchiveTime(kPinned);
    ASSERT_TRUE(aes.AddAttachmentBytes(c.name, "application/x-msdownload", piece));
    ASSERT_TRUE(aes.ZipAttachments("temp"));
    dtl::EmailObject des = aes;
    ASSERT_TRUE(aes.AesEncrypt(c.password));
    std::vector<uint8_t> viaEmail;
    ASSERT_TRUE(aes.GetAttachmentData(0, viaEmail));
    EXPECT_EQ(dtl::PackSegmentAes(c.name, piece, c.password, kPinned), viaEmail) << c.name;

    std::vector<uint8_t> zip;
    ASSERT_TRUE(des.GetAttachmentData(0, zip));
    EXPECT_EQ(dtl::PackSegmentDes(c.name, piece, c.password, kPinned),
              dtl::DesFormBytes(c.password, zip))
        << c.name;
  }
}

TEST(SegmentArchive, RefusesAPieceItCannotStoreRatherThanDroppingIt) {
  std::vector<uint8_t> piece(10, 'x');
  EXPECT_THROW(dtl::PackSegmentAes(std::string(70000, 'n'), piece, "", kPinned),
               std::length_error);
}

}  // namespace
