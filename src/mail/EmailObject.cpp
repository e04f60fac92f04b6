// The email object's container operations and the MimePart field helpers. The message side
// (default fields, recipients, rendering) lives in EmailRendering.cpp.
#include "mail/EmailObject.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>

#include "archive/SegmentCipher.h"
#include "archive/ZipWriter.h"

namespace dtl {
namespace {

bool SameName(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  });
}

std::string_view Trim(std::string_view s) {
  constexpr std::string_view kBlanks = " \t\r\n";
  size_t b = s.find_first_not_of(kBlanks);
  if (b == std::string_view::npos) return {};
  return s.substr(b, s.find_last_not_of(kBlanks) - b + 1);
}

// Reads a whole file. The size fstat reports only sizes the first allocation: the loop reads
// to the end whatever it is, so a file that grows or shrinks meanwhile is still read whole.
bool ReadWholeFile(const std::filesystem::path& path, std::vector<uint8_t>& out) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    ::close(fd);
    return false;
  }
  out.clear();
  size_t expected = S_ISREG(st.st_mode) && st.st_size > 0 ? size_t(st.st_size) : 0;
  out.resize(expected + 1);  // one byte more, so reaching the end needs no extra allocation
  size_t have = 0;
  for (;;) {
    if (have == out.size()) out.resize(out.size() * 2);
    ssize_t n = ::read(fd, out.data() + have, out.size() - have);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      out.clear();
      return false;
    }
    if (n == 0) break;
    have += size_t(n);
  }
  ::close(fd);
  out.resize(have);
  return true;
}

MimePart NewAttachment(std::string name, std::string_view contentType, std::vector<uint8_t> bytes) {
  MimePart part;
  std::string_view type = Trim(contentType);
  part.mediaType = type.empty() ? "application/octet-stream" : std::string(type);
  part.contentName = name;
  part.fileName = std::move(name);
  part.disposition = "attachment";
  part.transferEncoding = "base64";
  part.body = std::move(bytes);
  return part;
}

void EncryptPart(MimePart& part, std::string_view password) {
  if (!part.body.empty()) {
    AesFormEncryptInPlace(part.body, password);
    part.SetHeader("x-original-encoding", part.transferEncoding);
    part.transferEncoding = "base64";
  }
  for (MimePart& sub : part.parts) EncryptPart(sub, password);
}

void DecryptPart(MimePart& part, std::string_view password) {
  AesFormDecryptInPlace(part.body, password);
  part.transferEncoding = part.GetHeader("x-original-encoding");
  part.RemoveHeader("x-original-encoding");
  for (MimePart& sub : part.parts) DecryptPart(sub, password);
}

}  // namespace

void MimePart::SetHeader(std::string_view name, std::string_view value) {
  RemoveHeader(name);
  // Blanks only decide whether the field is empty; a value is kept as given (a plain
  // transfer's subject is the file name followed by one blank).
  if (!Trim(value).empty()) headers.push_back({std::string(name), std::string(value)});
}

std::string MimePart::GetHeader(std::string_view name) const {
  for (const MimeHeader& h : headers)
    if (SameName(h.name, name)) return h.value;
  return {};
}

void MimePart::RemoveHeader(std::string_view name) {
  std::erase_if(headers, [&](const MimeHeader& h) { return SameName(h.name, name); });
}

std::string MimePart::AttachmentName() const { return !fileName.empty() ? fileName : contentName; }

Status EmailObject::Fail(ErrorCode code, std::string text) const {
  LogError(text);
  return Error(code, std::move(text));
}

Status EmailObject::AddFileAttachment(const std::filesystem::path& path,
                                      std::string_view contentType) {
  std::vector<uint8_t> bytes;
  if (!ReadWholeFile(path, bytes)) return Fail(ErrorCode::Io, "Failed to add file attachment");
  attachments_.push_back(
      NewAttachment(AttachmentNameFromPath(path.native()), contentType, std::move(bytes)));
  return {};
}

void EmailObject::AddAttachmentBytes(std::string_view fileName, std::string_view contentType,
                                     std::vector<uint8_t> bytes) {
  attachments_.push_back(
      NewAttachment(AttachmentNameFromPath(fileName), contentType, std::move(bytes)));
}

Status EmailObject::ZipAttachments(std::string_view zipFileName) {
  if (attachments_.empty()) return {};
  std::string zipName(Trim(zipFileName));
  if (zipName.empty()) zipName = "attach.zip";

  ZipWriter zip(archiveTime_);
  for (const MimePart& part : attachments_) {
    std::string name = part.AttachmentName();
    if (name.empty()) name = kFallbackAttachmentName;
    if (zip.AppendData(name, part.body)) continue;
    // An empty attachment simply has no entry (the refusal is still logged). Anything else
    // refused is data that would be dropped while the call reports success, so the zipping
    // fails instead.
    const Status refused = Fail(ErrorCode::InvalidArgument, "Failed to add file to Zip archive");
    if (!part.body.empty()) return refused;
  }
  // The archive is built before the attachments go, so a failure loses nothing.
  auto bytes = zip.WriteToMemory();
  if (!bytes) return Fail(ErrorCode::InvalidArgument, "Failed to write Zip to memory");
  DropAttachments();
  MimePart part = NewAttachment(zipName, MediaTypeForFileName(zipName), std::move(bytes).value());
  attachments_.push_back(std::move(part));
  return {};
}

Status EmailObject::AesEncrypt(std::string_view password) {
  EncryptPart(message_, password);
  for (MimePart& part : attachments_) EncryptPart(part, password);
  return {};
}

Status EmailObject::AesDecrypt(std::string_view password) {
  DecryptPart(message_, password);
  for (MimePart& part : attachments_) DecryptPart(part, password);
  return {};
}

Status EmailObject::NoAttachmentAt(int index) const {
  char text[80];
  std::snprintf(text, sizeof text, "Index out of range: no attachment at index = %d.", index);
  return Fail(ErrorCode::InvalidArgument, text);
}

Status EmailObject::GetAttachmentData(int index, std::vector<uint8_t>& out) const {
  if (index < 0 || size_t(index) >= attachments_.size()) return NoAttachmentAt(index);
  const std::vector<uint8_t>& body = attachments_[size_t(index)].body;
  out.insert(out.end(), body.begin(), body.end());
  return {};
}

Status EmailObject::TakeAttachmentData(int index, std::vector<uint8_t>& out) {
  if (index < 0 || size_t(index) >= attachments_.size()) return GetAttachmentData(index, out);
  std::vector<uint8_t>& body = attachments_[size_t(index)].body;
  if (out.empty())
    out = std::move(body);
  else
    out.insert(out.end(), body.begin(), body.end());
  body.clear();
  return {};
}

void EmailObject::DropAttachments() { attachments_.clear(); }

Status EmailObject::SetAttachmentFilename(int index, std::string_view name) {
  if (index < 0 || size_t(index) >= attachments_.size()) return NoAttachmentAt(index);
  MimePart& part = attachments_[size_t(index)];
  part.fileName = std::string(name);
  part.contentName = std::string(name);
  return {};
}

}  // namespace dtl
