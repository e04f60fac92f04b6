#include "receive/ReceivedFiles.h"

#include <algorithm>
#include <map>

#include "archive/SegmentBounds.h"
#include "archive/SegmentRecovery.h"
#include "receive/SegmentManagerModel.h"

namespace dtl {

namespace {

namespace fs = std::filesystem;

// A recovery file of the largest split holds one block (a segment archive at most), the
// description of at most every input slice the format allows (under 500 bytes each with a
// 255-byte name, so about 16 MB) and a few fixed packets. 32 MiB over the segment bound keeps
// a hostile attachment from filling the disk while no honest one is refused.
constexpr uint64_t kLargestRecoveryFile = kLargestSegmentArchive + (32ull << 20);

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

std::optional<uint64_t> SegmentNumberOf(std::string_view saveName) {
  const size_t dot = saveName.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return std::nullopt;
  const std::string_view ext = saveName.substr(dot + 1);
  if (EqualsNoCase(ext, "dtl")) return 0;
  if (ext.size() < 3 || ext.size() > 19 || ext.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  const uint64_t n = std::stoull(std::string(ext));
  if (n == 0) return std::nullopt;
  return n;
}

bool IsRecoveryAttachment(std::string_view saveName) { return IsRecoveryFileName(saveName); }

uint64_t LargestAttachment(std::string_view saveName) {
  return IsRecoveryAttachment(saveName) ? kLargestRecoveryFile : kLargestSegmentArchive;
}

std::vector<fs::path> MergeDescriptors(const fs::path& folder,
                                       const std::vector<std::string>& savedNames) {
  // Per file: whether its descriptor came, and the recovery file to stand in for it if not.
  std::map<std::string, bool> hasDescriptor;
  std::map<std::string, std::string> standIn;
  for (const std::string& name : savedNames) {
    const std::string group = SegmentManagerModel::GroupName(name);
    if (auto n = SegmentNumberOf(name); n && *n == 0) {
      hasDescriptor[group] = true;
    } else if (IsRecoveryAttachment(name)) {
      // The index file is the smallest and holds the whole description; every volume carries
      // the description too, so the first volume serves when the index did not come.
      auto [it, fresh] = standIn.try_emplace(group, name);
      if (!fresh && RecoveryBlocksInName(name) == 0 && RecoveryBlocksInName(it->second) != 0)
        it->second = name;
    }
  }
  std::vector<fs::path> descriptors;
  const auto add = [&](const fs::path& path) {
    if (std::find(descriptors.begin(), descriptors.end(), path) == descriptors.end())
      descriptors.push_back(path);
  };
  for (const std::string& name : savedNames) {
    const std::string group = SegmentManagerModel::GroupName(name);
    if (auto n = SegmentNumberOf(name); n && *n == 0)
      add(folder / name);
    else if (IsRecoveryAttachment(name) && !hasDescriptor[group])
      add(folder / standIn[group]);
  }
  return descriptors;
}

}  // namespace dtl
