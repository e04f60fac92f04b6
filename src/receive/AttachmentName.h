// Attachment names come from remote pages (content dispositions, links, page text), so a name
// is reduced to a plain file name before it is joined to a local folder: a hostile page must
// never be able to write outside the download folder.
#pragma once

#include <string>
#include <string_view>

namespace dtl {

// The file name that a remote attachment name stands for, safe to append to a folder:
// - only the text after the last "/" or "\" is kept (no directory parts, no absolute paths);
// - control characters (0x00-0x1F, 0x7F) are removed;
// - "." and ".." (and names made only of dots) become "attachment", as does an empty result;
// - a name longer than 255 bytes (the longest a file name may be) keeps its last 255 bytes, so
//   the segment number at its end survives.
// Ordinary segment names ("movie.avi.001", "movie.avi.dtl") come back unchanged.
std::string SafeAttachmentName(std::string_view remoteName);

}  // namespace dtl
