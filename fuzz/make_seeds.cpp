// Writes the seed corpus of every fuzz target, made by the program's own code: zips from the
// zip writer, segment archives from the segment packer, settings files from the settings
// writer, segment mails from the mail engine, and SMTP dialogues, IMAP responses and mails of
// other programs in the shapes real servers and mailers give.
//
// Usage: fuzz_seeds OUTDIR   (creates OUTDIR/<target>/seed-N files)
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include <zlib.h>

#include "archive/Par2.h"
#include "archive/SegmentArchive.h"
#include "archive/SegmentCipher.h"
#include "archive/ZipWriter.h"
#include "base/AddressBook.h"
#include "base/RegFile.h"
#include "mail/EmailObject.h"
#include "mail/SmtpAuth.h"

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace {

fs::path g_out;

Bytes Of(std::string_view s) { return Bytes(s.begin(), s.end()); }
Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

void Write(const std::string& target, const Bytes& bytes) {
  const fs::path dir = g_out / target;
  fs::create_directories(dir);
  size_t n = 0;
  while (fs::exists(dir / ("seed-" + std::to_string(n)))) ++n;
  std::ofstream(dir / ("seed-" + std::to_string(n)), std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

Bytes Zip(const std::vector<std::pair<std::string, Bytes>>& entries) {
  dtl::ZipWriter w(1700000000);
  for (const auto& [name, bytes] : entries) (void)w.AppendData(name, bytes);
  auto out = w.WriteToMemory();
  return out ? std::move(out).value() : Bytes();
}

// What the AES form decrypts to before its pads go: the zip, a PKCS#7 pad, a block of 0x10.
Bytes Padded(Bytes zip) {
  const uint8_t p = static_cast<uint8_t>(16 - zip.size() % 16);
  zip.insert(zip.end(), p, p);
  zip.insert(zip.end(), 16, 0x10);
  return zip;
}

// A gzip member as an HTTP server sends it; with `fields`, the header carries an extra field,
// a name, a comment and a header CRC as well.
Bytes Gzip(const Bytes& data, bool fields) {
  z_stream z{};
  if (deflateInit2(&z, 6, Z_DEFLATED, 16 + 15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return {};
  static Bytef extra[] = {'D', 'T', 2, 0, 'o', 'k'};
  static char name[] = "movie.avi.001", comment[] = "segment";
  gz_header h{};
  h.extra = extra;
  h.extra_len = sizeof extra;
  h.name = reinterpret_cast<Bytef*>(name);
  h.comment = reinterpret_cast<Bytef*>(comment);
  h.hcrc = 1;
  if (fields) deflateSetHeader(&z, &h);
  Bytes out(deflateBound(&z, data.size()) + 64);
  z.next_in = const_cast<Bytef*>(data.data());
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fuzz_seeds OUTDIR\n");
    return 2;
  }
  g_out = argv[1];
  Bytes text = Of("The quick brown fox jumps over the lazy dog.\n");
  Bytes big;
  for (int i = 0; i < 2000; ++i) big.insert(big.end(), text.begin(), text.end());
  Bytes noise;
  for (uint32_t i = 0, x = 12345; i < 3000; ++i)
    noise.push_back(static_cast<uint8_t>((x = x * 1103515245 + 12345) >> 16));

  const std::vector<Bytes> zips = {
      Zip({{"movie.avi", text}}),
      Zip({{"movie.avi", big}}),
      Zip({{"noise.bin", noise}}),
      Zip({{"a.txt", text}, {"dir/b.txt", big}, {"dir/", Of("x")}}),
      Zip({}),
  };
  for (size_t i = 0; i < zips.size(); ++i) {
    Write("zip_reader", Cat({0, uint8_t(i * 37)}, zips[i]));
    Write("zip_reader", Cat({0x80, 0}, zips[i]));  // unpacked into a folder as well
  }
  Write("zip_reader",
        Cat({0x80, 0}, Zip({{"../up.txt", text}, {"/abs.txt", text}, {"a/../../b", text}})));

  // Segment archives: the real AES form, under the default password and under "hunter2", and
  // the plaintext forms for the steering mode.
  for (const auto& [name, piece] : std::vector<std::pair<std::string, Bytes>>{
           {"movie.avi", text}, {"movie.avi", big}, {"n", noise}}) {
    Write("segment_unpack", Cat({0x00}, dtl::PackSegmentAes(name, piece, "", 1700000000)));
    Write("segment_unpack", Cat({0x0a}, dtl::PackSegmentAes(name, piece, "hunter2", 1700000000)));
    Write("segment_unpack", Cat({0x05}, Padded(Zip({{name, piece}}))));
  }
  Write("segment_unpack", Cat({0x01}, Padded(Zip({}))));

  // Email objects: empty password, empty encoding field, no message or nested body, the segment
  // as it was mailed; the trailing bytes are the lengths and the mode, read from the end.
  for (const Bytes& piece : {text, big}) {
    Write("email_decrypt",
          Cat(Cat(Of("\\A\\A"), dtl::PackSegmentAes("f.001", piece, "", 1700000000)), Bytes(5, 0)));
    Write("email_decrypt",
          Cat(Cat(Of("\\Abase64\\A"), Padded(Zip({{"f.001", piece}}))), Bytes{0, 0, 0, 0, 1}));
  }

  // SMTP dialogues. Flags: 16 = log in, 4|8 = verified STARTTLS that succeeds, 1 = implicit TLS,
  // 2 = opportunistic STARTTLS, 64 = greeting check only.
  const std::string login =
      "220 mx.example.org ESMTP ready\r\n"
      "250-mx.example.org Hello\r\n250-SIZE 35882577\r\n250-8BITMIME\r\n"
      "250-AUTH LOGIN PLAIN CRAM-MD5\r\n250 HELP\r\n"
      "334 VXNlcm5hbWU6\r\n334 UGFzc3dvcmQ6\r\n235 2.7.0 Authentication successful\r\n";
  const std::string envelope =
      "250 2.1.0 Ok\r\n250 2.1.5 Ok\r\n250 2.1.5 Ok\r\n"
      "354 End data with <CR><LF>.<CR><LF>\r\n250 2.0.0 Ok: queued as 4F2A1\r\n"
      "221 2.0.0 Bye\r\n";
  const std::string cram = "220 mx ESMTP\r\n250-mx\r\n250 AUTH CRAM-MD5\r\n334 " +
                           dtl::Base64Encode("<1896.697170952@postoffice.example.net>") +
                           "\r\n235 ok\r\n";
  const std::string plain = "220 mx ESMTP\r\n250-mx\r\n250 AUTH=PLAIN\r\n334 \r\n235 ok\r\n";
  const std::string tls =
      "220 mx ESMTP\r\n250-mx\r\n250-STARTTLS\r\n250 AUTH LOGIN\r\n220 2.0.0 Ready to start TLS\r\n"
      "250-mx\r\n250 AUTH LOGIN\r\n334 VXNlcm5hbWU6\r\n334 UGFzc3dvcmQ6\r\n235 ok\r\n";
  const std::string helo =
      "220 old.example.org SMTP\r\n500 5.5.1 Command unrecognized\r\n250 old.example.org\r\n";
  const std::string refused =
      "250 ok\r\n550 5.1.1 No such user\r\n250 ok\r\n354 go\r\n250 ok\r\n221 bye\r\n";
  // Bearer-token logins over implicit TLS (flags 1 | 8 | 16 | 6): accepted at once, and refused
  // with an error challenge, answered, then a renewed token taken.
  const std::string bearer = "220 mx ESMTP\r\n250-mx\r\n250 AUTH PLAIN OAUTHBEARER\r\n235 ok\r\n";
  const std::string xoauth2 =
      "220 mx ESMTP\r\n250-mx\r\n250 AUTH XOAUTH2\r\n334 " +
      dtl::Base64Encode(R"({"status":"401","schemes":"bearer","scope":"https://mail/"})") +
      "\r\n535 5.7.8 no\r\n235 ok\r\n";
  const std::vector<std::pair<uint8_t, std::string>> dialogues = {
      {1 | 8 | 16 | 6, bearer + envelope},
      {1 | 8 | 16 | 6, xoauth2 + envelope},
      {16, login + envelope},
      {16, cram + envelope},
      {16, plain + envelope},
      {16 | 4 | 8, tls + envelope},
      {2, tls + envelope},
      {0, helo + envelope},
      {16, login + refused},
      {1 | 16, login + envelope},
      {64, "220 mx ESMTP\r\n221 bye\r\n"},
      {0, "220-mx first line\r\n220-second\r\n220 last\r\n250 mx\r\n" + envelope},
  };
  for (const auto& [flags, d] : dialogues)
    for (uint8_t readSize : {uint8_t(63), uint8_t(0), uint8_t(6)})
      Write("smtp_reply", Cat({flags, readSize}, Of(d)));

  // IMAP server responses: a login, a folder opened read-only, a search, a structure and a
  // fetched part as Dovecot answers them.
  const std::string imap =
      "* OK [CAPABILITY IMAP4rev1 SASL-IR LITERAL+ STARTTLS AUTH=PLAIN] Dovecot ready.\r\n"
      "a1 OK [CAPABILITY IMAP4rev1 IDLE] Logged in\r\n"
      "* FLAGS (\\Answered \\Flagged \\Deleted \\Seen \\Draft)\r\n"
      "* OK [PERMANENTFLAGS ()] Read-only mailbox.\r\n* 2 EXISTS\r\n"
      "* OK [UIDVALIDITY 1765000000] UIDs valid\r\na2 OK [READ-ONLY] Examine completed\r\n"
      "* SEARCH 1 2\r\na3 OK Search completed\r\n"
      "* 1 FETCH (UID 1 BODYSTRUCTURE ((\"text\" \"plain\" (\"charset\" \"us-ascii\") NIL NIL "
      "\"7bit\" 2 1 NIL NIL NIL NIL)(\"application\" \"msword\" (\"name\" \"f.001.doc\") NIL "
      "NIL \"base64\" 8 NIL (\"attachment\" (\"filename\" \"f.001.doc\")) NIL NIL) \"mixed\" "
      "(\"boundary\" \"b\") NIL NIL NIL))\r\na4 OK Fetch completed\r\n"
      "* 1 FETCH (UID 1 BODY[2] {8}\r\nAAECAw==)\r\na5 OK Fetch completed\r\n"
      "+ UGFzc3dvcmQ6\r\n* BYE Logging out\r\na6 OK Logout completed.\r\n";
  for (uint8_t readSize : {uint8_t(63), uint8_t(0), uint8_t(6)})
    Write("imap_response", Cat({readSize}, Of(imap)));

  // Mails: segment mails as the mail engine renders them (alone and forwarded as an
  // attachment), and the name forms and shapes of other mailers.
  {
    int boundary = 0;
    std::vector<std::string> rendered;
    for (const auto& [name, piece] :
         std::vector<std::pair<std::string, Bytes>>{{"movie.avi.001.doc", text},
                                                    {"Gr\xc3\xbc\xc3\x9f"
                                                     "e.dtl.doc",
                                                     noise}}) {
      dtl::MessageStamp stamp;
      stamp.now = 1700000000;
      stamp.uuid = "0c8d5a57-8a4e-4f6c-9d1e-3b2a1f0e9d8c";
      stamp.hostName = "sender.example.org";
      dtl::EmailObject email = dtl::EmailObject::CreateMessage(stamp);
      email.SetUuidSource([&] {
        return "1b2c3d4e-5f60-4a7b-8c9d-0e1f2a3b4c" + std::to_string(10 + boundary++ % 90);
      });
      email.SetSubject(name + " segment");
      email.SetFrom("drover@mail.test");
      email.AddTo("", "drover@mail.test");
      email.AddAttachmentBytes(name, dtl::MediaTypeForFileName(name), piece);
      email.SetBody("Drovetail segment.");
      std::string wire;
      if (email.Render(wire)) rendered.push_back(wire);
    }
    for (const std::string& wire : rendered) {
      Write("mime_reader", Of(wire));
      Write("mime_reader",
            Of("Subject: Fwd\r\nContent-Type: multipart/mixed; boundary=\"f\"\r\n\r\n"
               "--f\r\nContent-Type: text/plain\r\n\r\nsee attached\r\n--f\r\n"
               "Content-Type: message/rfc822\r\n\r\n" +
               wire + "\r\n--f--\r\n"));
    }
  }
  for (std::string_view s : {
           "Content-Type: multipart/mixed;\r\n boundary=\"b1\"\r\n\r\npre\r\n--b1\r\n"
           "Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: "
           "quoted-printable\r\n\r\nCaf=C3=A9 =\r\nau lait\r\n--b1\r\n"
           "Content-Type: application/msword\r\nContent-Transfer-Encoding: base64\r\n"
           "Content-Disposition: attachment;\r\n filename*0*=utf-8''Gr%C3%BC%C3%9Fe.;\r\n"
           " filename*1=001.doc\r\n\r\nAAECAw==\r\n--b1--\r\npost\r\n",
           "Content-Type: multipart/mixed; boundary=o\n\n--o\nContent-Type: multipart/"
           "alternative; boundary=i\n\n--i\n\ntext\n--i\nContent-Type: text/html\n\n<p>\n"
           "--i--\n--o\nContent-Type: application/msword; name=\"=?UTF-8?B?5Y+w?= "
           "=?utf-8?q?=E5=8C=97?=.002.doc\"\nContent-Transfer-Encoding: base64\n\nAA==\n--o\n",
           "Content-Type: multipart/digest; boundary=d\r\n\r\n--d\r\n\r\nSubject: one\r\n"
           "Content-Type: application/x-dtl; name*=iso-8859-1'de'M%FCller.dtl\r\n\r\nx\r\n"
           "--d--\r\n",
           "Content-Type: message/rfc822\r\n\r\nContent-Type: message/rfc822\r\n\r\n"
           "Content-Disposition: attachment; filename=\"=?windows-1252?Q?=80.003.doc?=\"\r\n"
           "\r\nAAAA\r\n",
       })
    Write("mime_reader", Of(s));

  // Settings files as the program writes them.
  dtl::RegFile reg;
  using dtl::RegValue;
  using dtl::SettingType;
  reg.Set("Software\\Kestrelwing\\DTL", "SMTPServer",
          RegValue{SettingType::String, "mail.example.org", 0});
  reg.Set("Software\\Kestrelwing\\DTL", "SMTPPort", RegValue{SettingType::Dword, "", 587});
  reg.Set("Software\\Kestrelwing\\DTL", "SMTPPass",
          RegValue{SettingType::String, "p\"a\\s\ts\x01\xc3\xa9", 0});
  reg.Set("Software\\Kestrelwing\\DTL", "SSL", RegValue{SettingType::Dword, "", 1});
  reg.Set("Software\\DTL\\DTL\\Settings", "savepath",
          RegValue{SettingType::String, "/home/u/Downloads/", 0});
  reg.AddKey("Software\\Kestrelwing\\DTL\\Empty");
  Write("settings_file", Of(reg.Serialize()));
  Write("settings_file", Of("[HKEY_CURRENT_USER\\Software\\Kestrelwing\\DTL]\r\n\"SegSize\"=dword:"
                            "0010000\r\n\"X\"=\"cut"));

  // Log texts of the kind servers send, and base64 as logins exchange it.
  Write("error_log", Of("\x02"
                        "SMTP_Connect\\A\x05"
                        "S: 250-mx ]]> <b>&amp;\r\n\xff\xfe\x01\\A\x04"
                        "Failed to connect (1)"));
  Write("error_log", Of("\x00"
                        "SendEmail\\A\x02"
                        "smtp_host\\Amx.example.org\\A\x01\x01"));
  // Gzip bodies (the first byte picks the read size).
  for (const Bytes& body : {text, big, noise, Bytes{}}) {
    Write("gzip_body", Cat({3}, Gzip(body, false)));
    Write("gzip_body", Cat({0}, Gzip(body, true)));
  }

  // Header blocks and pages of the kind the crawler reads.
  for (std::string_view s : {
           "HTTP/1.1 200 OK\r\nContent-Type: application/msword\r\n"
           "Content-Disposition: attachment; filename=\"movie.avi.001.doc\"\r\n\r\n",
           "Content-Disposition: attachment; filename=movie.avi.dtl.doc\r\n",
           "<a href=\"/att?name=x.002.doc\">x</a> filename=\"..\\..\\evil.doc.doc\"",
           "<html><head><base "
           "href=\"https://mail.example.org/mail/\"></head><body>name=\"a.003.doc\"</body>",
       })
    Write("crawler_parse", Of(s));

  // Address books as the program saves them.
  {
    dtl::AddressBook book;
    for (std::string_view a : {"bob@example.org", "Alice <alice@example.net>", "carol@example.com"})
      book.Add(a);
    const fs::path tmp = g_out / "Contacts.dat";
    if (book.Save(tmp)) {
      std::ifstream f(tmp, std::ios::binary);
      Write("contacts", Bytes(std::istreambuf_iterator<char>(f), {}));
      fs::remove(tmp);
    }
    Write("contacts", Of("a@b\nlone-lf@example.org\r\n\r\nx,y@z\x01\r\n"));
  }

  for (std::string_view s : {"VXNlcm5hbWU6", "PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UuZXhhbXBsZS5uZXQ+",
                             "AGEAYg==", " YWJj\r\nZGVm "})
    Write("base64", Of(s));

  // A small recovery set as the recovery writer makes it over two segment files (slices of 256
  // bytes, two blocks in two volumes): the description-only file, each volume with the segment
  // file placed first (so repair has intact slices to use), and a volume cut off inside the
  // description after its recovery packet.
  {
    const fs::path tmp = g_out / "par2-work";
    fs::create_directories(tmp);
    const std::vector<std::string> names = {"movie.avi.dtl", "movie.avi.001"};
    std::ofstream(tmp / names[0], std::ios::binary).write(reinterpret_cast<const char*>(text.data()),
                                                            static_cast<std::streamsize>(text.size()));
    std::ofstream(tmp / names[1], std::ios::binary)
        .write(reinterpret_cast<const char*>(noise.data()), 1000);
    dtl::par2::CreateOptions options;
    options.sliceSize = 256;
    options.recoveryBlocks = 2;
    options.perVolume = {1, 1};
    if (auto made = dtl::par2::CreateRecoveryFiles(tmp, names, "movie.avi", options)) {
      for (size_t i = 0; i < made->size(); ++i) {
        std::ifstream f(tmp / (*made)[i], std::ios::binary);
        const Bytes file{std::istreambuf_iterator<char>(f), {}};
        Write("par2_packet", Cat({0}, file));
        if (i > 0) Write("par2_packet", Cat({1}, file));
        // Cut halfway into the description that follows the recovery packet.
        const size_t recoveryPacket = 64 + 4 + options.sliceSize;
        if (i == 1 && file.size() > recoveryPacket)
          Write("par2_packet", Cat({0}, Bytes(file.begin(), file.begin() + (recoveryPacket + file.size()) / 2)));
      }
    }
    fs::remove_all(tmp);
  }
  return 0;
}
