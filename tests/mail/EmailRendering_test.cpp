// The message side of the email object: default fields, the set-a-field rule and the exact
// wire form, checked against golden text and against Python's email package.
#include "mail/EmailObject.h"
#include "mail/Uuid.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "support/TestSupport.h"

namespace dtl {
namespace {

// Reaches the attachment list directly so the wire form can be pinned without the archive
// operations that normally fill it.
struct TestEmail : EmailObject {
  explicit TestEmail(EmailObject base) : EmailObject(std::move(base)) {}
  MimePart& AddPart() { return attachments_.emplace_back(); }
};

MessageStamp PinnedStamp() {
  MessageStamp s;
  s.now = 1700000000;  // 2023-11-14 22:13:20 UTC
  s.utcOffsetMinutes = 120;
  s.uuid = "0f8e1c2a-3b4d-4e5f-8a6b-7c8d9e0f1a2b";
  s.hostName = "mailhost";
  return s;
}

EmailObject::UuidSource Uuids(std::vector<std::string> list) {
  auto next = std::make_shared<size_t>(0);
  return [list = std::move(list), next] { return list.at((*next)++ % list.size()); };
}

std::vector<std::string> HeaderNames(const EmailObject& m) {
  std::vector<std::string> names;
  for (const auto& h : m.Message().headers) names.push_back(h.name);
  return names;
}

std::string HeaderValue(const EmailObject& m, const std::string& name) {
  for (const auto& h : m.Message().headers) {
    if (h.name == name) return h.value;
  }
  return "<absent>";
}

// A segment mail as the send engine composes it over an SMTP server, with its packed
// attachment already in place.
TestEmail SegmentMail(std::vector<uint8_t> archive) {
  TestEmail m(EmailObject::CreateMessage(PinnedStamp()));
  m.SetHeader("X-Mailer", "");
  m.SetSubject("song.mp3 - segment number 12         a1b2c3d4e5");
  m.SetFrom("me@example.net");
  m.AddTo("x@example.org", "x@example.org");
  MimePart& a = m.AddPart();
  a.mediaType = MediaTypeForFileName("song.mp3.012.doc");
  a.contentName = a.fileName = "song.mp3.012.doc";
  a.transferEncoding = "base64";
  a.disposition = "attachment";
  a.headers.push_back({"x-original-encoding", "base64"});
  a.body = std::move(archive);
  m.SetBody("song.mp3 - segment number 12         a1b2c3d4e5.");
  m.SetUuidSource(Uuids({"a1b2c3d4-e5f6-4789-9abc-def012345678"}));
  return m;
}

TEST(EmailRendering, SegmentMailWireFormIsExact) {
  TestEmail m = SegmentMail({'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'});
  std::string wire;
  ASSERT_TRUE(m.Render(wire));
  const std::string b = "----=_NextPart_a1b_2c3d_e5f64789.def01234";
  EXPECT_EQ(wire,
            "MIME-Version: 1.0\r\n"
            "Date: Wed, 15 Nov 2023 00:13:20 +0200\r\n"
            "Message-ID: <TESSALY-MID-0f8e1c2a-3b4d-4e5f-8a6b-7c8d9e0f1a2b@mailhost>\r\n"
            "Content-Type: multipart/mixed;\r\n\tboundary=\"" +
                b +
                "\"\r\n"
                "Content-Transfer-Encoding: 7bit\r\n"
                "X-Priority: 3 (Normal)\r\n"
                "Subject: song.mp3 - segment number 12         a1b2c3d4e5\r\n"
                "From: me@example.net\r\n"
                "To: x@example.org\r\n"
                "\r\n"
                "This is a multi-part message in MIME format.\r\n"
                "\r\n"
                "--" +
                b +
                "\r\n"
                "Content-Type: text/plain\r\n"
                "Content-Transfer-Encoding: 7bit\r\n"
                "\r\n"
                "song.mp3 - segment number 12         a1b2c3d4e5.\r\n"
                "--" +
                b +
                "\r\n"
                "Content-Type: application/msword;\r\n\tname=\"song.mp3.012.doc\"\r\n"
                "Content-Transfer-Encoding: base64\r\n"
                "Content-Disposition: attachment; filename=\"song.mp3.012.doc\"\r\n"
                "x-original-encoding: base64\r\n"
                "\r\n"
                "MDEyMzQ1Njc4OQ==\r\n"
                "--" +
                b + "--\r\n");
}

TEST(EmailRendering, SettingAFieldRemovesAllOfThatNameAndAppendsUnlessBlank) {
  MessageStamp stamp = PinnedStamp();
  stamp.hostName.clear();
  EmailObject m = EmailObject::CreateMessage(stamp);
  EXPECT_EQ(HeaderNames(m),
            (std::vector<std::string>{"MIME-Version", "Date", "Message-ID", "Content-Type",
                                      "Content-Transfer-Encoding", "X-Mailer", "X-Priority"}));
  EXPECT_EQ(HeaderValue(m, "Message-ID"),
            "<TESSALY-MID-0f8e1c2a-3b4d-4e5f-8a6b-7c8d9e0f1a2b@unknown>");
  m.SetHeader("X-Mailer", "");
  m.SetSubject("first");
  m.SetFrom("me@example.net");
  m.AddTo("a@example.org", "a@example.org");
  EXPECT_EQ(HeaderNames(m), (std::vector<std::string>{"MIME-Version", "Date", "Message-ID",
                                                      "Content-Type", "Content-Transfer-Encoding",
                                                      "X-Priority", "Subject", "From", "To"}));
  // Re-setting moves the field to the end; names match without regard to case.
  m.SetHeader("subject", "second");
  m.AddTo("B", "b@example.org");
  m.SetHeader("x-priority", "   ");
  EXPECT_EQ(HeaderNames(m),
            (std::vector<std::string>{"MIME-Version", "Date", "Message-ID", "Content-Type",
                                      "Content-Transfer-Encoding", "From", "subject", "To"}));
  EXPECT_EQ(HeaderValue(m, "subject"), "second");
  EXPECT_EQ(HeaderValue(m, "To"), "a@example.org, \"B\" <b@example.org>");
  ASSERT_EQ(m.ToList().size(), 2u);
  EXPECT_EQ(m.ToList()[1].address, "b@example.org");
  EXPECT_EQ(m.From(), "me@example.net");
}

// Line breaks in a value cannot inject fields; binary bytes declared 7bit travel as base64.
TEST(EmailRendering, HostileValuesAndBodiesStayInTheirPlace) {
  TestEmail m(EmailObject::CreateMessage(PinnedStamp()));
  m.SetSubject("x\r\nBcc: victim@example.org");
  MimePart& a = m.AddPart();
  a.mediaType = "application/msword";
  a.contentName = a.fileName = "a\"b\\c\nBcc: v@example.org.doc";
  a.transferEncoding = "7bit";
  a.disposition = "attachment";
  a.body = {0, 0xFF, 'a', '\n'};
  m.SetUuidSource(Uuids({"a1b2c3d4-e5f6-4789-9abc-def012345678"}));
  std::string wire;
  ASSERT_TRUE(m.Render(wire));
  EXPECT_EQ(wire.find("\nBcc:"), std::string::npos) << wire;
  EXPECT_NE(wire.find("Subject: x Bcc: victim@example.org\r\n"), std::string::npos);
  EXPECT_NE(wire.find("filename=\"a\\\"b\\\\c Bcc: v@example.org.doc\""), std::string::npos)
      << wire;
  EXPECT_NE(wire.find("Content-Transfer-Encoding: base64\r\n"), std::string::npos) << wire;
  EXPECT_NE(wire.find("\r\n\r\nAP9hCg==\r\n"), std::string::npos) << wire;
}

TEST(EmailRendering, DateZoneIsSignHoursMinutes) {
  const std::pair<int, const char*> cases[] = {
      {120, "Wed, 15 Nov 2023 00:13:20 +0200"},
      {0, "Tue, 14 Nov 2023 22:13:20 +0000"},
      {345, "Wed, 15 Nov 2023 03:58:20 +0545"},
      // Printing hours and minutes as two signed numbers would give "-03-30" and "+00-30".
      {-210, "Tue, 14 Nov 2023 18:43:20 -0330"},
      {-30, "Tue, 14 Nov 2023 21:43:20 -0030"},
  };
  for (const auto& [offset, date] : cases) {
    MessageStamp s = PinnedStamp();
    s.utcOffsetMinutes = offset;
    EXPECT_EQ(HeaderValue(EmailObject::CreateMessage(s), "Date"), date) << offset;
  }
}

TEST(Uuid, SetsVersionAndVariantBitsAndFailsWithItsSource) {
  EXPECT_EQ(NewUuid([](uint8_t* out, size_t n) {
              std::memset(out, 0xFF, n);
              return true;
            }),
            "ffffffff-ffff-4fff-bfff-ffffffffffff");
  EXPECT_EQ(UuidV4FromBytes({}), "00000000-0000-4000-8000-000000000000");
  EXPECT_EQ(NewUuid([](uint8_t*, size_t) { return false; }), "");
  MessageStamp a = CurrentMessageStamp(), b = CurrentMessageStamp();
  EXPECT_NE(a.uuid, b.uuid);
  EXPECT_EQ(a.uuid.substr(14, 1), "4");
}

TEST(EmailRendering, ExtensionTableTypesByTheLastExtension) {
  const std::pair<const char*, const char*> cases[] = {
      {"song.mp3.012.doc", "application/msword"},
      {"song.mp3.dtl.DOC", "application/msword"},
      {"archive", "application/octet-stream"},
      {"dir.d/file", "application/octet-stream"},
      {"x.unknownext", "application/octet-stream"},
      {"a.zip", "application/zip"},
      {"a.pdf", "application/pdf"},
      {"a.jpg", "image/jpeg"},
  };
  for (const auto& [name, type] : cases) EXPECT_EQ(MediaTypeForFileName(name), type) << name;
}

TEST(EmailRendering, EveryBoundaryComesFromAFreshUuidAndABadOneFailsTheRender) {
  TestEmail m = SegmentMail({1, 2, 3});
  m.SetUuidSource(
      Uuids({"a1b2c3d4-e5f6-4789-9abc-def012345678", "11111111-2222-4333-8444-555555555555"}));
  std::string first, second;
  ASSERT_TRUE(m.Render(first));
  ASSERT_TRUE(m.Render(second));
  EXPECT_NE(first.find("----=_NextPart_a1b_2c3d_e5f64789.def01234"), std::string::npos);
  EXPECT_NE(second.find("----=_NextPart_111_1111_22224333.55555555"), std::string::npos);

  m.SetUuidSource([] { return std::string("too-short"); });
  std::string out = "kept";
  const dtl::Status rendered = m.Render(out);
  ASSERT_FALSE(rendered);
  EXPECT_EQ(rendered.error().message, "Failed to prepare email for sending.");
  EXPECT_EQ(out, "kept");
}

// The whole road of a segment: packed by the container operations, rendered, parsed by
// Python, decrypted by openssl and opened by unzip gives back the piece. The name beyond ASCII
// travels in the subject as encoded words.
TEST(EmailRendering, PackedSegmentComesBackThroughPythonOpensslAndUnzip) {
  for (const char* tool : {"python3", "openssl", "unzip"})
    ASSERT_TRUE(dtltest::HaveCommand(tool)) << tool;
  dtltest::TempDir dir;
  auto piece = dtltest::RandomBytes(300000, 11, true);
  const std::string subject =
      "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC.avi - segment number 3         k2m4p6r8t0";
  EmailObject m = EmailObject::CreateMessage(PinnedStamp());
  m.SetHeader("X-Mailer", "");
  m.SetSubject(subject);
  m.SetFrom("me@example.net");
  m.AddTo("x@example.org", "x@example.org");
  m.AddTo("y@example.org", "y@example.org");
  m.AddAttachmentBytes("DTL1a2b.tmp", "application/x-msdownload", piece);
  ASSERT_TRUE(m.ZipAttachments("movie.avi.003.doc"));
  ASSERT_TRUE(m.AesEncrypt("secret"));
  m.SetBody(subject + ".");
  std::string wire;
  ASSERT_TRUE(m.Render(wire));
  EXPECT_EQ(wire.find("\xC3"), std::string::npos) << "8-bit bytes in the header or the text body";

  const std::string script =
      "import sys, email, email.policy\n"
      "m = email.message_from_binary_file(sys.stdin.buffer, policy=email.policy.default)\n"
      "assert not m.defects, m.defects\n"
      "text, att = list(m.iter_parts())\n"
      "print(m['Subject'], [a.addr_spec for a in m['To'].addresses])\n"
      "print(text.get_content().strip())\n"
      "lines = att.get_payload().splitlines()\n"
      "assert all(len(l) == 76 for l in lines[:-1]) and 0 < len(lines[-1]) <= 76\n"
      "print(att.get_filename(), att.get_content_type(), att['x-original-encoding'])\n"
      "open(sys.argv[1], 'wb').write(att.get_payload(decode=True))\n";
  dtltest::WriteFileText(dir / "parse.py", script);
  auto q = [&](const char* name) { return dtltest::ShellQuote((dir / name).string()); };
  auto r = dtltest::RunCommand("python3 " + q("parse.py") + " " + q("att.bin"), wire);
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(r.output, subject + " ['x@example.org', 'y@example.org']\n" + subject +
                          ".\nmovie.avi.003.doc application/msword base64\n");

  // openssl decrypts it with MD5("secret") as key, and unzip opens what is left after the pads.
  auto zip = dtltest::OpensslAesFormDecrypt("secret", dtltest::ReadFileBytes(dir / "att.bin"));
  ASSERT_TRUE(zip);
  dtltest::WriteFileBytes(dir / "seg.zip", *zip);
  r = dtltest::RunCommand("unzip -p " + q("seg.zip") + " > " + q("piece.bin"));
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(dtltest::ReadFileBytes(dir / "piece.bin"), piece);
}

}  // namespace
}  // namespace dtl
