// Small helpers shared by every test binary: private temporary folders, whole-file I/O,
// deterministic random bytes and running outside tools (unzip, openssl, python3) to check
// formats against implementations nobody here wrote.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace dtltest {

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it when destroyed.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

std::vector<uint8_t> ReadFileBytes(const std::filesystem::path& p);
std::string ReadFileText(const std::filesystem::path& p);
void WriteFileBytes(const std::filesystem::path& p, const std::vector<uint8_t>& bytes);
void WriteFileText(const std::filesystem::path& p, const std::string& text);

// Deterministic pseudo-random bytes; `compressible` mixes in runs of text so deflate has work.
std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed, bool compressible = false);

struct CommandResult {
  int status = -1;     // exit status, or -1 when the command could not run or was killed
  std::string output;  // stdout and stderr together
};
// Runs `command` through /bin/sh -c; `input` is written to its stdin.
CommandResult RunCommand(const std::string& command, const std::string& input = {});
bool HaveCommand(const std::string& name);
std::string ShellQuote(const std::string& s);

// Path of the built dtl program.
std::string DtlPath();

}  // namespace dtltest
