// The MIME reader on hostile mails: the whole input is read as a mail, and its header block
// goes through the field functions the reader is built from. A mail may be refused only for
// its depth or part count; every part listed lies inside the mail under a section of
// dot-separated numbers no deeper than the bound; decoded text in a known charset is UTF-8.
// Each part's body also goes through the streaming transfer decoder, whole and in chunks cut
// at sizes taken from the body itself: both must give the same bytes.
//
// Input: the mail. (Its first line also names a charset for the rest, for the conversion.)
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "mail/MimeReader.h"
#include "mail/TransferDecoder.h"

namespace {

bool ValidUtf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    size_t len = b < 0x80                 ? 1
                 : b >= 0xC2 && b <= 0xDF ? 2
                 : b >= 0xE0 && b <= 0xEF ? 3
                 : b >= 0xF0 && b <= 0xF4 ? 4
                                          : 0;
    if (len == 0 || i + len > s.size()) return false;
    uint32_t cp = len == 1 ? b : b & (0x7F >> len);
    for (size_t k = 1; k < len; ++k) {
      const auto c = static_cast<unsigned char>(s[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      cp = cp << 6 | (c & 0x3F);
    }
    if ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
        (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
      return false;
    i += len;
  }
  return true;
}

void CheckSection(const std::string& section) {
  if (section.empty() || section.front() == '.' || section.back() == '.') std::abort();
  size_t levels = 1;
  for (size_t i = 0; i < section.size(); ++i) {
    if (section[i] == '.') {
      if (section[i + 1] == '.') std::abort();
      ++levels;
    } else if (section[i] < '0' || section[i] > '9') {
      std::abort();
    }
  }
  // A message/rfc822 part's own leaf adds one level to those of the nesting.
  if (levels > static_cast<size_t>(dtl::kMaxMimeDepth) + 1) std::abort();
}

std::string DecodeInChunks(std::string_view encoding, std::string_view body, size_t step) {
  auto decoder = dtl::TransferDecoder::For(encoding);
  std::string out;
  for (size_t at = 0; at < body.size(); at += step) decoder->Feed(body.substr(at, step), out);
  (void)decoder->Finish(out);
  return out;
}

void CheckDecoder(std::string_view encoding, std::string_view body) {
  const std::string whole = DecodeInChunks(encoding, body, body.size() + 1);
  const size_t step = body.empty() ? 1 : 1 + static_cast<unsigned char>(body[0]) % 7;
  if (DecodeInChunks(encoding, body, step) != whole) std::abort();
  if (DecodeInChunks(encoding, body, 1) != whole) std::abort();
}

void CheckParams(const std::vector<dtl::MimeParam>& params) {
  for (const auto& p : params) {
    if (p.name.empty()) std::abort();
    for (char c : p.name)
      if (c == '*' || (c >= 'A' && c <= 'Z')) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view mail(reinterpret_cast<const char*>(data), size);

  auto parts = dtl::ParseMimeMessage(mail);
  if (!parts) {
    if (parts.error().code != dtl::ErrorCode::Corrupt) std::abort();
  } else {
    if (parts->empty() || parts->size() > dtl::kMaxMimePartCount) std::abort();
    for (const auto& p : *parts) {
      CheckSection(p.section);
      if (p.type.empty() || p.subtype.empty() || p.encoding.empty()) std::abort();
      if (p.headerOffset > p.bodyOffset || p.bodyOffset > size || p.bodySize > size - p.bodyOffset)
        std::abort();
      CheckDecoder(p.encoding, mail.substr(p.bodyOffset, p.bodySize));
    }
  }

  const dtl::MimeHeaderBlock block = dtl::ParseHeaderBlock(mail);
  if (block.bodyOffset > size) std::abort();
  for (const auto& field : block.fields) {
    if (field.name.empty() || field.value.find_first_of("\r\n") != std::string::npos) std::abort();
    const dtl::MimeFieldValue value = dtl::ParseMimeFieldValue(field.value);
    CheckParams(value.params);
    (void)dtl::MimeFileName(value.params, value.params);
    (void)dtl::DecodeEncodedWords(field.value);
  }

  // Text without an encoded word comes back as it was.
  if (mail.find("=?") == std::string_view::npos && dtl::DecodeEncodedWords(mail) != mail)
    std::abort();
  const size_t eol = mail.find('\n');
  if (eol != std::string_view::npos) {
    auto text = dtl::CharsetToUtf8(mail.substr(0, eol), mail.substr(eol + 1));
    if (text && !ValidUtf8(*text)) std::abort();
  }
  return 0;
}
