// The email object: one mail message as a tree of MIME parts, plus the container operations
// through which the send engine, the offline split and the merge pack a segment into a zip
// archive, encrypt it, decrypt it and read its bytes back.
//
// One object per delivery attempt or per pack/unpack; it is not shared between threads.
// Failures are reported by the boolean results; each failure text is also appended to
// ErrorLog() (diagnostic only, nothing shows it to the user).
//
// The mail engine extends this class with the default header fields (Date, Message-ID, ...),
// the recipients and the wire rendering; the container operations below never depend on those.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace dtl {

struct MimeHeader {
  std::string name;
  std::string value;
};

// One MIME part. Content-Type, Content-Transfer-Encoding and Content-Disposition are kept as
// structured fields and built when the part is rendered; every other field lives in `headers`
// in the order it was set.
struct MimePart {
  std::vector<MimeHeader> headers;
  std::string mediaType;         // "text/plain", "application/msword", ...; empty = text/plain
  std::string charset;           // for text types; empty = none
  std::string contentName;       // the Content-Type name= parameter; empty = none
  std::string transferEncoding;  // "7bit", "base64", ...; empty = none
  std::string disposition;       // "attachment" or empty
  std::string fileName;          // the Content-Disposition filename= parameter
  std::vector<uint8_t> body;     // decoded body bytes
  std::vector<MimePart> parts;   // sub-parts (a multipart part)

  // Removes every field of that name (compared without regard to case), then appends the field
  // when the value is not empty after trimming blanks.
  void SetHeader(std::string_view name, std::string_view value);
  // Value of the first field of that name, or "" when there is none.
  std::string GetHeader(std::string_view name) const;
  void RemoveHeader(std::string_view name);

  // The name this part carries as a file: disposition file name, else the content-type name,
  // else "" (callers supply their own fallback).
  std::string AttachmentName() const;
};

struct MailAddress {
  std::string name;
  std::string address;
};

class EmailObject {
 public:
  EmailObject() = default;

  // ---- the message (mail engine) ----
  // Sender and recipients as the SMTP client reads them for its envelope.
  const std::string& From() const { return from_; }
  const std::vector<MailAddress>& ToList() const { return to_; }
  const std::vector<MailAddress>& CcList() const { return cc_; }
  const std::vector<MailAddress>& BccList() const { return bcc_; }

  // The whole message in its wire form (header lines, empty line, body; CRLF line ends), before
  // any SMTP dot-stuffing. False when the message cannot be rendered.
  bool Render(std::string& out) const;

  // ---- container operations (archive semantics) ----

  // Reads the whole file into a new attachment part named after the path's last component,
  // typed `contentType` (trimmed; "application/octet-stream" when empty), base64 on the wire.
  // False with "Failed to add file attachment" when the file cannot be read.
  bool AddFileAttachment(const std::filesystem::path& path, std::string_view contentType);
  // The same for bytes already in memory (the offline split and the tests use it to avoid a
  // round trip through a file); the result is identical to attaching a file of that name.
  bool AddAttachmentBytes(std::string_view fileName, std::string_view contentType,
                          std::vector<uint8_t> bytes);

  // Replaces all attachments by one zip archive attachment (deflate, level 6) named
  // `zipFileName` (trimmed; "attach.zip" when blank) with one entry per former attachment.
  // No attachment: succeeds without change.
  bool ZipAttachments(std::string_view zipFileName);

  // Encrypts every non-empty body, the message's own and every attachment's, recursively, into
  // the AES form; each encrypted part becomes base64 and keeps its former transfer encoding in
  // "x-original-encoding". An empty password means the default "0x5E2A9".
  bool AesEncrypt(std::string_view password);
  // The reverse: decrypts every body, restores the transfer encoding from
  // "x-original-encoding" (empty when absent) and removes that field. Never fails on a wrong
  // password: the bytes are simply garbage.
  bool AesDecrypt(std::string_view password);

  // Appends the body bytes of attachment `index` to `out`; false with
  // "Index out of range: no attachment at index = %d." when there is none.
  bool GetAttachmentData(int index, std::vector<uint8_t>& out) const;
  // Moves the body out instead of copying it (hot paths hold segments of megabytes).
  bool TakeAttachmentData(int index, std::vector<uint8_t>& out);
  void DropAttachments();
  bool SetAttachmentFilename(int index, std::string_view name);

  size_t AttachmentCount() const { return attachments_.size(); }
  const MimePart& Attachment(size_t i) const { return attachments_.at(i); }
  MimePart& Attachment(size_t i) { return attachments_.at(i); }

  // The message itself: its header fields and its text body.
  MimePart& Message() { return message_; }
  const MimePart& Message() const { return message_; }

  const std::vector<std::string>& ErrorLog() const { return errors_; }

 protected:
  void LogError(std::string text) { errors_.push_back(std::move(text)); }

  std::string from_;
  std::vector<MailAddress> to_, cc_, bcc_;
  MimePart message_;
  std::vector<MimePart> attachments_;
  std::vector<std::string> errors_;
};

}  // namespace dtl
