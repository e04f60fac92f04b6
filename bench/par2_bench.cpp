// Recovery data as the product makes and uses it, for bench/par2.sh:
//
//   par2_bench make DIR NAME PERCENT   recovery files for the split of NAME lying in DIR
//                                      (NAME.dtl.doc, NAME.001.doc, ...) through
//                                      MakeSegmentRecovery; prints the files written
//   par2_bench repair DIR NAME         reads DIR's recovery files of NAME, checks the segment
//                                      files and rebuilds the missing or damaged ones; prints
//                                      the files rebuilt
//
// Exit 0 on success, 1 on a failure (the message on stderr), 2 on a usage error.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "archive/Par2.h"
#include "archive/SegmentRecovery.h"

namespace fs = std::filesystem;

namespace {

// The segment files of an offline split: NAME.dtl.doc first, then NAME.001.doc, ... in order.
// Missing numbers are not looked for: the bench makes the set over a whole split.
std::vector<std::string> SegmentNames(const fs::path& dir, const std::string& name) {
  std::vector<std::string> numbered;
  const std::string prefix = name + ".", suffix = ".doc";
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string f = entry.path().filename().string();
    if (f.size() <= prefix.size() + suffix.size() || f.compare(0, prefix.size(), prefix) != 0 ||
        f.compare(f.size() - suffix.size(), suffix.size(), suffix) != 0)
      continue;
    const std::string mid = f.substr(prefix.size(), f.size() - prefix.size() - suffix.size());
    if (mid.size() >= 3 &&
        std::all_of(mid.begin(), mid.end(), [](char c) { return c >= '0' && c <= '9'; }))
      numbered.push_back(f);
  }
  // Same width below 1000 segments, so the names sort as their numbers; wider ones sort after.
  std::sort(numbered.begin(), numbered.end(), [](const std::string& a, const std::string& b) {
    return a.size() != b.size() ? a.size() < b.size() : a < b;
  });
  std::vector<std::string> names{name + ".dtl.doc"};
  names.insert(names.end(), numbered.begin(), numbered.end());
  return names;
}

int Usage() {
  std::fprintf(stderr, "usage: par2_bench make DIR NAME PERCENT | par2_bench repair DIR NAME\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return Usage();
  const std::string command = argv[1], name = argv[3];
  const fs::path dir = argv[2];
  if (command == "make" && argc == 5) {
    const unsigned percent = static_cast<unsigned>(std::strtoul(argv[4], nullptr, 10));
    auto made = dtl::MakeSegmentRecovery(dir, SegmentNames(dir, name), name, percent);
    if (!made) {
      std::fprintf(stderr, "par2_bench: %s\n", made.error().message.c_str());
      return 1;
    }
    for (const auto& f : *made) std::printf("%s\n", f.c_str());
    return 0;
  }
  if (command == "repair" && argc == 4) {
    auto set = dtl::par2::ReadRecoverySet(dtl::FindRecoveryFiles(dir, name));
    if (!set) {
      std::fprintf(stderr, "par2_bench: %s\n", set.error().message.c_str());
      return 1;
    }
    auto report = dtl::par2::RepairFiles(*set, dir);
    if (!report) {
      std::fprintf(stderr, "par2_bench: %s\n", report.error().message.c_str());
      return 1;
    }
    for (const auto& f : report->repaired) std::printf("%s\n", f.c_str());
    return 0;
  }
  return Usage();
}
