#include "archive/SegmentRecovery.h"

#include <algorithm>
#include <cstdio>
#include <cctype>
#include <system_error>

#include <sys/stat.h>
#include <unistd.h>

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
  const auto padded = [width](uint32_t v) {
    std::string digits = std::to_string(v);
    return std::string(static_cast<size_t>(width) - std::min<size_t>(width, digits.size()), '0') + digits;
  };
  for (uint32_t b = 0; b < blocks; ++b)
    names.push_back(std::string(name) + ".vol" + padded(b) + "+" + padded(1) + ".par2");
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
  // The writer renames each file as it is done, so one failing late leaves the earlier ones
  // behind; what this call put in place (a new file under a name, not one that was there and
  // untouched) goes again, so a failure leaves the folder as it found it, less any files replaced.
  const std::vector<std::string> names = RecoveryFileNames(name, options.recoveryBlocks);
  std::vector<ino_t> before;
  for (const auto& n : names) {
    struct stat st {};
    before.push_back(::lstat((folder / n).c_str(), &st) == 0 ? st.st_ino : 0);
  }
  auto made = par2::CreateRecoveryFiles(folder, segmentNames, name, options, stop);
  if (!made) {
    for (size_t i = 0; i < names.size(); ++i) {
      struct stat st {};
      const fs::path p = folder / names[i];
      if (::lstat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_ino != before[i])
        ::unlink(p.c_str());
    }
  }
  return made;
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

bool IsSegmentFileOf(std::string_view fileName, std::string_view name) {
  if (name.empty() || fileName.size() <= name.size() + 1 ||
      fileName.substr(0, name.size()) != name || fileName[name.size()] != '.')
    return false;
  std::string_view tail = fileName.substr(name.size() + 1);
  if (tail.size() > 4 && tail.substr(tail.size() - 4) == ".doc") tail.remove_suffix(4);
  if (tail == "dtl") return true;
  return tail.size() >= 3 && AllDigits(tail);
}

namespace {

// The set orders its files by their IDs; people read segments by number, the descriptor first.
void SortBySegmentNumber(std::vector<std::string>& files, std::string_view name) {
  const auto number = [&](const std::string& file) -> uint64_t {
    std::string_view tail = std::string_view(file).substr(name.size() + 1);
    if (tail.substr(0, 3) == "dtl") return 0;
    uint64_t k = 0;
    for (char ch : tail.substr(0, tail.find('.')))
      k = std::min<uint64_t>(k * 10 + static_cast<uint64_t>(ch - '0'), UINT32_MAX);
    return k;
  };
  std::stable_sort(files.begin(), files.end(),
                   [&](const std::string& a, const std::string& b) { return number(a) < number(b); });
}

}  // namespace

SegmentRepair RepairSegments(const fs::path& folder, std::string_view name, std::stop_token stop) {
  SegmentRepair repair;
  const std::vector<fs::path> files = FindRecoveryFiles(folder, name);
  if (files.empty()) return repair;
  const std::string label(name);
  auto set = par2::ReadRecoverySet(files);
  if (!set) {
    // The user learns which file let them down; the merge then goes on as if it were not there.
    repair.message = label + ": the recovery data could not be read (" +
                     files.front().filename().string() + "): " + set.error().message;
    return repair;
  }
  // The set decides which files get written: one that names anything but this file's segments
  // (another file of the user's, a path) is never acted on, whatever else it holds.
  for (const auto& f : set->files) {
    if (!par2::IsPlainFileName(f.name) || !IsSegmentFileOf(f.name, name)) {
      repair.message = label + ": the recovery data (" + files.front().filename().string() +
                       ") names \"" + f.name + "\", which is no segment of this file; it was not used";
      return repair;
    }
  }
  if (set->files.empty()) {
    repair.message = label + ": the recovery data (" + files.front().filename().string() +
                     ") names no segment files; it was not used";
    return repair;
  }
  repair.haveSet = true;
  auto verified = par2::VerifyFiles(*set, folder, stop);
  if (!verified) {
    if (verified.error().code != ErrorCode::Cancelled)
      repair.message = label + ": the segments could not be checked: " + verified.error().message;
    return repair;
  }
  if (verified->complete()) return repair;
  if (!verified->repairable()) {
    uint32_t damaged = 0;
    for (const auto& f : verified->files)
      if (f.state != par2::FileState::Complete) {
        ++damaged;
        repair.unrepaired.push_back(f.name);
      }
    SortBySegmentNumber(repair.unrepaired, name);
    repair.blocksMissing = verified->missingSlices - verified->recoveryBlocks;
    repair.message = label + ": " + std::to_string(repair.blocksMissing) +
                     " more recovery blocks are needed to repair " + std::to_string(damaged) +
                     " missing or damaged segments";
    return repair;
  }
  auto repaired = par2::RepairFiles(*set, folder, stop);
  if (!repaired) {
    if (repaired.error().code != ErrorCode::Cancelled)
      repair.message = label + ": the segments could not be repaired: " + repaired.error().message;
    return repair;
  }
  repair.repaired = std::move(repaired->repaired);
  SortBySegmentNumber(repair.repaired, name);
  return repair;
}

}  // namespace dtl
