#include "archive/SegmentRecovery.h"

#include <algorithm>
#include <cstdio>
#include <cctype>
#include <system_error>

#include "archive/Par2.h"

namespace fs = std::filesystem;

namespace dtl {

namespace {

bool AllDigits(std::string_view s) {
  return !s.empty() &&
         std::all_of(s.begin(), s.end(), [](unsigned char c) { return c >= '0' && c <= '9'; });
}

bool EndsWithNoCase(std::string_view s, std::string_view end) {
  if (s.size() < end.size()) return false;
  for (size_t i = 0; i < end.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(s[s.size() - end.size() + i])) != end[i])
      return false;
  return true;
}

// Splits "X.volF+C.par2" / "X.par2" into X and, for a volume, C.
struct RecoveryNameParts {
  std::string data;
  uint32_t blocks = 0;
};

std::optional<RecoveryNameParts> SplitRecoveryName(std::string_view fileName) {
  if (!EndsWithNoCase(fileName, ".par2")) return std::nullopt;
  std::string_view stem = fileName.substr(0, fileName.size() - 5);
  RecoveryNameParts parts;
  const size_t dot = stem.rfind('.');
  if (dot != std::string_view::npos) {
    std::string_view last = stem.substr(dot + 1);
    if (last.size() > 3 && (last[0] == 'v' || last[0] == 'V') &&
        (last[1] == 'o' || last[1] == 'O') && (last[2] == 'l' || last[2] == 'L')) {
      std::string_view numbers = last.substr(3);
      const size_t plus = numbers.find('+');
      if (plus != std::string_view::npos && AllDigits(numbers.substr(0, plus)) &&
          AllDigits(numbers.substr(plus + 1))) {
        std::string_view count = numbers.substr(plus + 1);
        uint64_t c = 0;
        for (char ch : count) {
          c = c * 10 + static_cast<uint64_t>(ch - '0');
          if (c > UINT32_MAX) c = UINT32_MAX;
        }
        parts.blocks = static_cast<uint32_t>(c);
        stem = stem.substr(0, dot);
      }
    }
  }
  if (stem.empty()) return std::nullopt;
  parts.data = std::string(stem);
  return parts;
}

}  // namespace

uint32_t RecoveryBlockCount(uint64_t segmentFiles, unsigned percent) {
  if (percent == 0 || segmentFiles == 0) return 0;
  if (percent > kMaxRecoveryPercent) percent = kMaxRecoveryPercent;
  const uint64_t blocks = (segmentFiles * percent + 99) / 100;
  return static_cast<uint32_t>(std::min<uint64_t>(blocks, UINT32_MAX));
}

std::vector<std::string> RecoveryFileNames(std::string_view name, uint32_t blocks) {
  std::vector<std::string> names;
  if (blocks == 0) return names;
  names.reserve(blocks + 1);
  names.push_back(std::string(name) + ".par2");
  // The same widths the recovery writer uses, so the names here are the files it makes.
  const int width = std::max<int>(2, static_cast<int>(std::to_string(blocks).size()));
  for (uint32_t b = 0; b < blocks; ++b) {
    char tail[64];
    std::snprintf(tail, sizeof tail, ".vol%0*u+%0*u.par2", width, b, width, 1u);
    names.push_back(std::string(name) + tail);
  }
  return names;
}

bool IsRecoveryFileName(std::string_view fileName) {
  return SplitRecoveryName(fileName).has_value();
}

std::optional<std::string> RecoveryDataName(std::string_view fileName) {
  auto parts = SplitRecoveryName(fileName);
  if (!parts) return std::nullopt;
  return parts->data;
}

uint32_t RecoveryBlocksInName(std::string_view fileName) {
  auto parts = SplitRecoveryName(fileName);
  return parts ? parts->blocks : 0;
}

Result<std::vector<std::string>> MakeSegmentRecovery(const fs::path& folder,
                                                     const std::vector<std::string>& segmentNames,
                                                     const std::string& name, unsigned percent,
                                                     std::stop_token stop) {
  if (percent > kMaxRecoveryPercent)
    return Error(ErrorCode::InvalidArgument, "the recovery percentage is 0 to 100");
  if (segmentNames.empty()) return Error(ErrorCode::InvalidArgument, "no segment files");
  if (percent == 0) return std::vector<std::string>{};
  uint64_t largest = 0;
  for (const auto& n : segmentNames) {
    std::error_code ec;
    const uintmax_t size = fs::file_size(folder / n, ec);
    if (ec)
      return Error(ec == std::errc::no_such_file_or_directory ? ErrorCode::NotFound : ErrorCode::Io,
                   (folder / n).string() + ": " + ec.message());
    largest = std::max<uint64_t>(largest, size);
  }
  par2::CreateOptions options;
  options.sliceSize = std::max<uint64_t>(4, (largest + 3) / 4 * 4);
  options.recoveryBlocks = RecoveryBlockCount(segmentNames.size(), percent);
  options.perVolume.assign(options.recoveryBlocks, 1);
  return par2::CreateRecoveryFiles(folder, segmentNames, name, options, stop);
}

std::vector<fs::path> FindRecoveryFiles(const fs::path& folder, std::string_view name) {
  std::vector<fs::path> found;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    std::string file = it->path().filename().string();
    std::string_view view = file;
    if (EndsWithNoCase(view, ".doc")) view.remove_suffix(4);
    auto parts = SplitRecoveryName(view);
    if (!parts || parts->data != name) continue;
    std::error_code typeEc;
    if (!it->is_regular_file(typeEc)) continue;
    found.push_back(it->path());
  }
  std::sort(found.begin(), found.end());
  return found;
}

SegmentRepair RepairSegments(const fs::path& folder, std::string_view name, std::stop_token stop) {
  // Not built yet: behaves as if the folder held no recovery set.
  (void)folder;
  (void)name;
  (void)stop;
  return {};
}

}  // namespace dtl
