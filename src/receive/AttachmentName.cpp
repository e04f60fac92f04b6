#include "receive/AttachmentName.h"

namespace dtl {

namespace {
constexpr size_t kMaxNameBytes = 255;
constexpr char kFallbackName[] = "attachment";
}  // namespace

std::string SafeAttachmentName(std::string_view remoteName) {
  // Both separators count: a name written by a Windows sender may carry backslashes, and a
  // backslash kept in a Linux file name would reappear as a separator on the way back out.
  size_t cut = remoteName.find_last_of("/\\");
  if (cut != std::string_view::npos) remoteName.remove_prefix(cut + 1);

  std::string name;
  name.reserve(remoteName.size());
  for (char c : remoteName) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) continue;
    name.push_back(c);
  }
  if (name.find_first_not_of('.') == std::string::npos) return kFallbackName;
  if (name.size() > kMaxNameBytes) {
    name.erase(0, name.size() - kMaxNameBytes);
    // The cut may have left a leading run of dots that reads as "." or "..".
    if (name.find_first_not_of('.') == std::string::npos) return kFallbackName;
  }
  return name;
}

}  // namespace dtl
