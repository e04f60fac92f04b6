#include "archive/SegmentArchive.h"

#include <string>

#include "archive/SegmentCipher.h"
#include "archive/ZipWriter.h"

namespace dtl {
namespace {

// Names the entry exactly as an attachment of that name would be named when zipped.
std::string EntryNameFor(std::string_view entryName) {
  std::string name = AttachmentNameFromPath(entryName);
  return name.empty() ? std::string(kFallbackAttachmentName) : name;
}

}  // namespace

std::string AttachmentNameFromPath(std::string_view path) {
  size_t cut = path.rfind('/');
  if (cut == std::string_view::npos) cut = path.rfind('\\');
  return std::string(cut == std::string_view::npos ? path : path.substr(cut + 1));
}

std::vector<uint8_t> PackSegmentAes(std::string_view entryName, std::span<const uint8_t> piece,
                                    std::string_view password, std::time_t when) {
  std::vector<uint8_t> out;
  WriteSingleEntryZip(EntryNameFor(entryName), piece, when, 32, out);
  AesFormEncryptInPlace(out, password);
  return out;
}

std::vector<uint8_t> PackSegmentDes(std::string_view entryName, std::span<const uint8_t> piece,
                                    std::string_view password, std::time_t when) {
  std::vector<uint8_t> out;
  WriteSingleEntryZip(EntryNameFor(entryName), piece, when, 16, out);
  DesFormEncryptInPlace(out, password);
  return out;
}

void DecryptSegmentInPlace(std::vector<uint8_t>& archive, std::string_view password) {
  AesFormDecryptInPlace(archive, password);
}

}  // namespace dtl
