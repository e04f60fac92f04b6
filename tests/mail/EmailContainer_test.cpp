// The email object's container operations as the send engine, the offline split and the merge
// call them: attach, zip, encrypt, decrypt, read back.
#include <gtest/gtest.h>

#include <string>

#include "archive/SegmentArchive.h"
#include "archive/SegmentCipher.h"
#include "mail/EmailObject.h"
#include "support/TestSupport.h"

namespace {

using namespace std::string_literals;

using dtltest::TempDir;

// Entry names of a zip, as Python's zipfile reads them, and entry 0's bytes.
std::pair<std::string, std::vector<uint8_t>> PythonView(const std::vector<uint8_t>& zip) {
  auto entries = dtltest::PythonZipEntries(zip);
  if (!entries || entries->empty()) return {"<no zip>", {}};
  std::string names;
  for (const auto& e : *entries) names += (names.empty() ? "" : "|") + e.name;
  return {names, (*entries)[0].bytes};
}

TEST(AddFileAttachment, ReadsTheWholeFileUnderItsLastPathComponentOrFailsCleanly) {
  TempDir dir;
  auto bytes = dtltest::RandomBytes(70000, 3);
  dtltest::WriteFileBytes(dir / "piece.tmp", bytes);
  dtl::EmailObject mail;
  ASSERT_TRUE(mail.AddFileAttachment(dir / "piece.tmp", "  application/x-msdownload "));
  ASSERT_TRUE(mail.AddFileAttachment(dir / "piece.tmp", ""));
  ASSERT_EQ(mail.AttachmentCount(), 2u);
  const dtl::MimePart& a = mail.Attachment(0);
  EXPECT_EQ(a.body, bytes);
  EXPECT_EQ(a.AttachmentName(), "piece.tmp");
  EXPECT_EQ(a.mediaType, "application/x-msdownload");
  EXPECT_EQ(a.disposition, "attachment");
  EXPECT_EQ(a.transferEncoding, "base64");
  EXPECT_EQ(mail.Attachment(1).mediaType, "application/octet-stream");

  for (const auto& path : {dir / "missing.tmp", dir.path()}) {
    const dtl::Status added = mail.AddFileAttachment(path, "application/zip");
    ASSERT_FALSE(added) << path;
    EXPECT_EQ(added.error().message, "Failed to add file attachment");
    EXPECT_EQ(mail.AttachmentCount(), 2u);
    EXPECT_EQ(mail.ErrorLog().back(), "Failed to add file attachment");
  }
}

TEST(AttachmentNameFromPath, TakesTheLastComponent) {
  struct Case {
    std::string_view path, name;
  } cases[] = {{"a/b/c.doc", "c.doc"},
               {"c:\\dir\\c.doc", "c.doc"},
               {"dir/a\\b.doc", "a\\b.doc"},
               {"plain.doc", "plain.doc"},
               {"dir/", ""}};
  for (const Case& c : cases) EXPECT_EQ(dtl::AttachmentNameFromPath(c.path), c.name) << c.path;
}

TEST(ZipAttachments, NamesAndTypesTheArchive) {
  const struct {
    std::string_view requested, name, type;
  } cases[] = {
      {"", "attach.zip", "application/zip"},
      {" \t ", "attach.zip", "application/zip"},
      {" big.iso.003.doc ", "big.iso.003.doc", "application/msword"},
      {"temp", "temp", "application/octet-stream"},
  };
  for (const auto& c : cases) {
    dtl::EmailObject mail;
    mail.AddAttachmentBytes("x.bin", "application/x-msdownload", {1, 2, 3});
    ASSERT_TRUE(mail.ZipAttachments(c.requested));
    ASSERT_EQ(mail.AttachmentCount(), 1u);
    const dtl::MimePart& z = mail.Attachment(0);
    EXPECT_EQ(z.AttachmentName(), c.name);
    EXPECT_EQ(z.contentName, c.name);
    EXPECT_EQ(z.mediaType, c.type) << c.requested;
    EXPECT_EQ(z.transferEncoding, "base64");
    EXPECT_EQ(z.disposition, "attachment");
  }
}

// One entry per attachment in order ("attachedFile.dat" for a nameless one); a zero-length
// attachment gets no entry, so the archive is the bare end record, still a success.
TEST(ZipAttachments, OneEntryPerAttachmentAndEmptyCases) {
  auto first = dtltest::RandomBytes(4000, 1, true);
  dtl::EmailObject mail;
  mail.AddAttachmentBytes("dir/first.bin", "", first);
  mail.AddAttachmentBytes("", "", {9, 9});
  ASSERT_TRUE(mail.ZipAttachments("both.zip"));
  ASSERT_EQ(mail.AttachmentCount(), 1u);
  EXPECT_EQ(PythonView(mail.Attachment(0).body), std::pair("first.bin|attachedFile.dat"s, first));

  dtl::EmailObject none;
  EXPECT_TRUE(none.ZipAttachments("x.zip"));
  EXPECT_EQ(none.AttachmentCount(), 0u);
  dtl::EmailObject empty;
  empty.AddAttachmentBytes("empty.tmp", "", {});
  ASSERT_TRUE(empty.ZipAttachments("seg.doc"));
  EXPECT_EQ(empty.Attachment(0).body.size(), 22u);
  EXPECT_EQ(empty.ErrorLog(), std::vector<std::string>{"Failed to add file to Zip archive"});
  ASSERT_TRUE(empty.AesEncrypt(""));
  EXPECT_EQ(empty.Attachment(0).body.size(), 48u);  // 16 * floor(22 / 16) + 32
}

// An entry the zip cannot hold used to vanish while the zipping reported success, and the
// attachments were dropped before the archive was written; now nothing is lost.
TEST(ZipAttachments, KeepsTheAttachmentsWhenAnEntryCannotBeStored) {
  dtl::EmailObject mail;
  mail.AddAttachmentBytes(std::string(70000, 'n'), "", {1, 2, 3});
  const dtl::Status zipped = mail.ZipAttachments("seg.doc");
  ASSERT_FALSE(zipped);
  EXPECT_EQ(zipped.error().message, "Failed to add file to Zip archive");
  EXPECT_EQ(zipped.error().code, dtl::ErrorCode::InvalidArgument);
  ASSERT_EQ(mail.AttachmentCount(), 1u);
  EXPECT_EQ(mail.Attachment(0).body, (std::vector<uint8_t>{1, 2, 3}));
}

TEST(AesEncrypt, EncryptsEveryNonEmptyBodyAndDecryptRestoresIt) {
  dtl::EmailObject mail;
  mail.Message().body = {'h', 'i'};
  mail.Message().transferEncoding = "7bit";
  mail.AddAttachmentBytes("seg.doc", "application/msword", dtltest::RandomBytes(1000, 2));
  dtl::MimePart nested;
  nested.body = {1, 2, 3, 4};
  nested.transferEncoding = "quoted-printable";
  dtl::MimePart emptySub;
  emptySub.transferEncoding = "7bit";
  mail.Attachment(0).parts = {nested, emptySub};
  const dtl::EmailObject before = mail;

  ASSERT_TRUE(mail.AesEncrypt("pw"));
  const dtl::MimePart& a = mail.Attachment(0);
  EXPECT_EQ(a.transferEncoding, "base64");
  EXPECT_EQ(a.GetHeader("X-Original-Encoding"), "base64");
  EXPECT_EQ(a.body,
            dtl::EncryptBytes(dtl::CipherAlgorithm::Aes, 128, "pw", before.Attachment(0).body));
  EXPECT_EQ(mail.Message().GetHeader("x-original-encoding"), "7bit");
  EXPECT_EQ(a.parts[0].GetHeader("x-original-encoding"), "quoted-printable");
  EXPECT_EQ(a.parts[0].body.size(), 32u);
  EXPECT_TRUE(a.parts[1].headers.empty());  // empty bodies are left alone
  EXPECT_EQ(a.parts[1].transferEncoding, "7bit");

  ASSERT_TRUE(mail.AesDecrypt("pw"));
  EXPECT_EQ(mail.Attachment(0).body, before.Attachment(0).body);
  EXPECT_EQ(mail.Attachment(0).transferEncoding, "base64");
  EXPECT_TRUE(mail.Attachment(0).headers.empty());
  EXPECT_EQ(mail.Attachment(0).parts[0].body, nested.body);
  EXPECT_EQ(mail.Attachment(0).parts[0].transferEncoding, "quoted-printable");
  EXPECT_EQ(mail.Message().body, before.Message().body);
  // A part that never carried the field ends with no transfer encoding.
  EXPECT_EQ(mail.Attachment(0).parts[1].transferEncoding, "");
}

TEST(AesDecrypt, TheMergeStepsRecoverTheZipFromASegmentFile) {
  TempDir dir;
  auto piece = dtltest::RandomBytes(50000, 8, true);
  dtltest::WriteFileBytes(dir / "f.dtl", dtl::PackSegmentAes("f.dtl.doc", piece, "open sesame"));
  dtl::EmailObject mail;
  ASSERT_TRUE(mail.AddFileAttachment(dir / "f.dtl", "application/zip"));
  ASSERT_TRUE(mail.AesDecrypt("open sesame"));
  std::vector<uint8_t> zip;
  ASSERT_TRUE(mail.TakeAttachmentData(0, zip));
  EXPECT_EQ(PythonView(zip), std::pair("f.dtl.doc"s, piece));

  // Garbage is never an error.
  dtl::EmailObject junk;
  junk.AddAttachmentBytes("j", "", {1, 2, 3, 4, 5});
  EXPECT_TRUE(junk.AesDecrypt("pw"));
  EXPECT_TRUE(junk.Attachment(0).body.empty());
}

TEST(AttachmentAccess, IndexErrorsAndCopies) {
  dtl::EmailObject mail;
  mail.AddAttachmentBytes("a", "", {1, 2});
  for (int index : {-1, 1, 7}) {
    std::vector<uint8_t> out = {0};
    const std::string text =
        "Index out of range: no attachment at index = " + std::to_string(index) + ".";
    for (const dtl::Status& refused :
         {mail.GetAttachmentData(index, out), mail.TakeAttachmentData(index, out),
          mail.SetAttachmentFilename(index, "x")}) {
      ASSERT_FALSE(refused) << index;
      EXPECT_EQ(refused.error().message, text);
      EXPECT_EQ(refused.error().code, dtl::ErrorCode::InvalidArgument);
    }
    EXPECT_EQ(out, std::vector<uint8_t>{0});
    EXPECT_EQ(mail.ErrorLog().back(),
              "Index out of range: no attachment at index = " + std::to_string(index) + ".");
  }
  std::vector<uint8_t> out = {0};
  ASSERT_TRUE(mail.GetAttachmentData(0, out));
  EXPECT_EQ(out, (std::vector<uint8_t>{0, 1, 2}));  // appended

  // Taking into an empty buffer hands over the body's own storage.
  const uint8_t* storage = mail.Attachment(0).body.data();
  std::vector<uint8_t> taken;
  ASSERT_TRUE(mail.TakeAttachmentData(0, taken));
  EXPECT_EQ(taken.data(), storage);
  EXPECT_TRUE(mail.Attachment(0).body.empty());

  ASSERT_TRUE(mail.SetAttachmentFilename(0, "renamed.doc"));
  EXPECT_EQ(mail.Attachment(0).AttachmentName(), "renamed.doc");
  mail.DropAttachments();
  EXPECT_EQ(mail.AttachmentCount(), 0u);
}

TEST(MimePartFields, SetReplacesEveryFieldOfThatNameAndBlankRemoves) {
  dtl::MimePart part;
  part.headers = {{"X-A", "1"}, {"Other", "o"}, {"x-a", "2"}};
  part.SetHeader("X-a", "  3 ");
  ASSERT_EQ(part.headers.size(), 2u);
  EXPECT_EQ(part.headers[1].name, "X-a");
  EXPECT_EQ(part.GetHeader("X-A"),
            "  3 ");  // blanks decide emptiness only; the value stays as given
  part.SetHeader("x-A", "  ");
  EXPECT_EQ(part.GetHeader("X-A"), "");
  EXPECT_EQ(part.headers.size(), 1u);
}

}  // namespace
