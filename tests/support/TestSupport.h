// Small helpers shared by every test binary: private temporary folders, whole-file I/O,
// deterministic random bytes and running outside tools (unzip, openssl, python3) to check
// formats against implementations nobody here wrote.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
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

// Runs the built dtl with `args` (shell words, already quoted) in `dir` when given, with `env`
// ("NAME=value ...") in front; stdout and stderr are kept apart.
struct DtlResult {
  int status = -1;
  std::string out, err;
  std::string all() const { return out + err; }
};
DtlResult RunDtl(const std::string& args, const std::string& input = {},
                 const std::string& env = {}, const std::filesystem::path& dir = {});

// Lower-case hex of bytes and back; AsBytes views a string's bytes.
std::string Hex(std::span<const uint8_t> bytes);
std::vector<uint8_t> FromHex(std::string_view hex);
inline std::span<const uint8_t> AsBytes(std::string_view s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

// `openssl enc -d -nopad` with `cipherArgs` ("-aes-128-cbc -K <hex> -iv <hex>"); nullopt when
// openssl refuses.
std::optional<std::vector<uint8_t>> OpensslDecrypt(const std::string& cipherArgs,
                                                   const std::vector<uint8_t>& in);
// OpensslDecrypt of the AES segment form (MD5 of `password` as key, zero IV) with both pads
// (PKCS#7, then the whole block of 0x10) taken off again.
std::optional<std::vector<uint8_t>> OpensslAesFormDecrypt(const std::string& password,
                                                          const std::vector<uint8_t>& in);

// The entries of a zip archive as Python's zipfile reads them; nullopt when it is no archive.
struct ZipEntry {
  std::string name;
  std::vector<uint8_t> bytes;
};
std::optional<std::vector<ZipEntry>> PythonZipEntries(const std::vector<uint8_t>& zip);

}  // namespace dtltest
