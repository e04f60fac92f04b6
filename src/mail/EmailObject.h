// The email object: one mail message as a tree of MIME parts, plus the container operations
// through which the send engine, the offline split and the merge pack a segment into a zip
// archive, encrypt it, decrypt it and read its bytes back.
//
// One object per delivery attempt or per pack/unpack; it is not shared between threads.
// Failures come back as the Status of the call; each failure text is also appended to
// ErrorLog(), a diagnostic log that nothing shows to the user (it also keeps refusals the
// call itself survives, such as an empty attachment left out of a zip).
//
// The mail engine extends this class with the default header fields (Date, Message-ID, ...),
// the recipients and the wire rendering; the container operations below never depend on those.
#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "archive/SegmentArchive.h"
#include "base/Error.h"

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

// What a fresh message stamps into its default fields (Date, Message-ID); tests pin them.
struct MessageStamp {
  std::time_t now = 0;       // the moment the message is created
  int utcOffsetMinutes = 0;  // local time minus UTC at that moment, daylight saving included
  std::string uuid;          // text form of a fresh UUID, for the Message-ID
  std::string hostName;      // local host name; "" is written as "unknown"
};
// The stamp for a message created now: local time and zone offset, a fresh version-4 UUID from
// OpenSSL's generator and gethostname() (empty when that fails).
MessageStamp CurrentMessageStamp();

// The mail engine's table from a file name's extension to a media type, compared without regard
// to case: ".doc" gives "application/msword"; an unknown or missing extension gives
// "application/octet-stream".
std::string MediaTypeForFileName(std::string_view fileName);

// The X-Mailer product line of a fresh message.
inline constexpr std::string_view kMailerProductLine = "Drovetail Mail Engine 1.0";

class EmailObject {
 public:
  EmailObject() = default;

  // Source of the UUID text each multipart boundary is cut from; it must give the 36-character
  // form with hyphens. The default draws a fresh version-4 UUID per boundary.
  using UuidSource = std::function<std::string()>;

  // A fresh message with the default fields in this order: MIME-Version "1.0", Date, Message-ID
  // "<TESSALY-MID-uuid@host>", Content-Type "text/plain", Content-Transfer-Encoding "7bit",
  // X-Mailer (kMailerProductLine), X-Priority "3 (Normal)". Content-Type and
  // Content-Transfer-Encoding stay where they are in the order; Render() writes the message's
  // structured type (multipart/mixed with its boundary once there are attachments) into them.
  static EmailObject CreateMessage(const MessageStamp& stamp);

  // The set-a-field rule: removes every field of that name (case-insensitive), then appends the
  // field at the end when the value is not blank. Setting X-Mailer to "" thus removes it.
  // Content-Type and Content-Transfer-Encoding also update the message's structured type.
  // Line breaks in the value are replaced by blanks (a header can never be injected).
  void SetHeader(std::string_view name, std::string_view value);
  void SetSubject(std::string_view subject);
  // The sender: the envelope address (From()) and the From field.
  void SetFrom(std::string_view address);
  // Appends a To recipient (envelope and To field, which is set again and so moves to the end).
  void AddTo(std::string_view name, std::string_view address);
  // The message's text body (the first part of a multipart message). Set it after AesEncrypt:
  // the encryption encrypts every non-empty body, the text body included.
  void SetBody(std::string_view text);
  // Replaces the boundary UUID source (tests pin the boundaries with it).
  void SetUuidSource(UuidSource source) { uuidSource_ = std::move(source); }

  // ---- the message (mail engine) ----
  // Sender and recipients as the SMTP client reads them for its envelope.
  const std::string& From() const { return from_; }
  const std::vector<MailAddress>& ToList() const { return to_; }
  const std::vector<MailAddress>& CcList() const { return cc_; }
  const std::vector<MailAddress>& BccList() const { return bcc_; }

  // The whole message in its wire form (header lines, empty line, body; CRLF line ends), before
  // any SMTP dot-stuffing. Base64 bodies are cut into 76-character lines; a body that is not
  // plain 7-bit text under "7bit"/"8bit"/no encoding is sent as base64 instead of raw bytes.
  // Fails, leaving `out` alone, when a boundary UUID is not usable (shorter than 32 characters).
  Status Render(std::string& out) const;

  // ---- container operations (archive semantics) ----

  // Reads the whole file into a new attachment part named after the path's last component,
  // typed `contentType` (trimmed; "application/octet-stream" when empty), base64 on the wire.
  // Fails with Io, "Failed to add file attachment" when the file cannot be read.
  Status AddFileAttachment(const std::filesystem::path& path, std::string_view contentType);
  // The same for bytes already in memory (the offline split and the tests use it to avoid a
  // round trip through a file); the result is identical to attaching a file of that name.
  void AddAttachmentBytes(std::string_view fileName, std::string_view contentType,
                          std::vector<uint8_t> bytes);

  // Replaces all attachments by one zip archive attachment (deflate, level 6) named
  // `zipFileName` (trimmed; "attach.zip" when blank) with one entry per former attachment,
  // named after the attachment (kFallbackAttachmentName when it has no name). No attachment:
  // succeeds without change. A zero-length attachment gets no entry (so a lone empty attachment
  // gives the 22-byte archive with no entry, and still succeeds). An attachment too large for a
  // zip entry, or a zip that does not fit the 32-bit fields, fails the call (InvalidArgument,
  // "Failed to add file to Zip archive" / "Failed to write Zip to memory") and leaves the
  // attachments as they were.
  Status ZipAttachments(std::string_view zipFileName);
  // The moment ZipAttachments stamps on the zip entries (0, the default, means "now").
  void SetArchiveTime(std::time_t when) { archiveTime_ = when; }

  // Encrypts every non-empty body, the message's own and every attachment's, recursively, into
  // the AES form; each encrypted part becomes base64 and keeps its former transfer encoding in
  // "x-original-encoding". An empty password means the default "0x5E2A9". Never fails.
  Status AesEncrypt(std::string_view password);
  // The reverse: decrypts every body, restores the transfer encoding from
  // "x-original-encoding" (empty when absent) and removes that field. Never fails on a wrong
  // password: the bytes are simply garbage.
  Status AesDecrypt(std::string_view password);

  // Appends the body bytes of attachment `index` to `out`; fails with InvalidArgument,
  // "Index out of range: no attachment at index = %d." when there is none.
  Status GetAttachmentData(int index, std::vector<uint8_t>& out) const;
  // Moves the body out instead of copying it (hot paths hold segments of megabytes).
  Status TakeAttachmentData(int index, std::vector<uint8_t>& out);
  void DropAttachments();
  // Fails as GetAttachmentData does.
  Status SetAttachmentFilename(int index, std::string_view name);

  size_t AttachmentCount() const { return attachments_.size(); }
  const MimePart& Attachment(size_t i) const { return attachments_.at(i); }
  MimePart& Attachment(size_t i) { return attachments_.at(i); }

  // The message itself: its header fields and its text body.
  MimePart& Message() { return message_; }
  const MimePart& Message() const { return message_; }

  // Every failure text of the object's calls so far, in order (diagnostic only).
  const std::vector<std::string>& ErrorLog() const { return errors_; }

 protected:
  void LogError(std::string text) const { errors_.push_back(std::move(text)); }
  // Logs `text` and gives it back as the failure.
  Status Fail(ErrorCode code, std::string text) const;
  Status NoAttachmentAt(int index) const;

  std::string from_;
  std::vector<MailAddress> to_, cc_, bcc_;
  MimePart message_;
  std::vector<MimePart> attachments_;
  mutable std::vector<std::string> errors_;  // const queries log their failures too
  UuidSource uuidSource_;
  std::time_t archiveTime_ = 0;
};

}  // namespace dtl
