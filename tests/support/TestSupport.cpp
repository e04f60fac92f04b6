#include "support/TestSupport.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace dtltest {

namespace {
// A dtl run by a test must never reach the desktop session of whoever runs the tests: it would
// keep test passwords in their keyring. The keyring tests start a private bus of their own
// (support/KeyringSession.h) and hand its address over explicitly.
[[maybe_unused]] const bool kAwayFromTheUsersSession = [] {
  unsetenv("DBUS_SESSION_BUS_ADDRESS");
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR")) {
    struct stat st {};
    if (::stat((std::string(runtime) + "/bus").c_str(), &st) == 0) unsetenv("XDG_RUNTIME_DIR");
  }
  return true;
}();
}  // namespace

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/dtltest.XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::vector<uint8_t> ReadFileBytes(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + p.string());
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::string ReadFileText(const std::filesystem::path& p) {
  auto b = ReadFileBytes(p);
  return std::string(b.begin(), b.end());
}

void WriteFileBytes(const std::filesystem::path& p, const std::vector<uint8_t>& bytes) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + p.string());
}

void WriteFileText(const std::filesystem::path& p, const std::string& text) {
  WriteFileBytes(p, std::vector<uint8_t>(text.begin(), text.end()));
}

std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed, bool compressible) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> out;
  out.reserve(n);
  static const char kWords[] = "segment archive mail merge inbox descriptor ";
  while (out.size() < n) {
    if (compressible && (rng() & 1)) {
      size_t run = 64 + rng() % 512;
      for (size_t i = 0; i < run && out.size() < n; ++i)
        out.push_back(kWords[(i + rng() % 3) % (sizeof kWords - 1)]);
    } else {
      size_t run = 64 + rng() % 512;
      for (size_t i = 0; i < run && out.size() < n; ++i) out.push_back(static_cast<uint8_t>(rng()));
    }
  }
  return out;
}

CommandResult RunCommand(const std::string& command, const std::string& input) {
  CommandResult r;
  char inName[] = "/tmp/dtltest-in.XXXXXX";
  int fd = mkstemp(inName);
  if (fd < 0) return r;
  size_t off = 0;
  while (off < input.size()) {
    ssize_t w = write(fd, input.data() + off, input.size() - off);
    if (w <= 0) break;
    off += static_cast<size_t>(w);
  }
  close(fd);
  std::string full = "(" + command + ") <" + inName + " 2>&1";
  FILE* p = popen(full.c_str(), "r");
  if (!p) {
    unlink(inName);
    return r;
  }
  char buf[4096];
  size_t got;
  while ((got = fread(buf, 1, sizeof buf, p)) > 0) r.output.append(buf, got);
  int st = pclose(p);
  unlink(inName);
  r.status = (st != -1 && WIFEXITED(st)) ? WEXITSTATUS(st) : -1;
  return r;
}

bool HaveCommand(const std::string& name) {
  return RunCommand("command -v " + ShellQuote(name) + " >/dev/null").status == 0;
}

std::string ShellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) {
    if (c == '\'')
      q += "'\\''";
    else
      q += c;
  }
  return q + "'";
}

std::string DtlPath() { return DTL_CLI_PATH; }

DtlResult RunDtl(const std::string& args, const std::string& input, const std::string& env,
                 const std::filesystem::path& dir) {
  TempDir io;
  std::string cmd = dir.empty() ? "" : "cd " + ShellQuote(dir.string()) + " && ";
  cmd += env + (env.empty() ? "" : " ") + ShellQuote(DtlPath()) + " " + args + " >" +
         ShellQuote((io / "out").string()) + " 2>" + ShellQuote((io / "err").string());
  DtlResult r;
  r.status = RunCommand(cmd, input).status;
  r.out = ReadFileText(io / "out");
  r.err = ReadFileText(io / "err");
  return r;
}

std::string Hex(std::span<const uint8_t> bytes) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (uint8_t b : bytes) s += {d[b >> 4], d[b & 15]};
  return s;
}

std::vector<uint8_t> FromHex(std::string_view hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  return out;
}

std::optional<std::vector<uint8_t>> OpensslDecrypt(const std::string& cipherArgs,
                                                   const std::vector<uint8_t>& in) {
  TempDir dir;
  WriteFileBytes(dir / "in", in);
  auto r =
      RunCommand("openssl enc -d -nopad " + cipherArgs + " -in " +
                 ShellQuote((dir / "in").string()) + " -out " + ShellQuote((dir / "out").string()));
  if (r.status != 0) return std::nullopt;
  return ReadFileBytes(dir / "out");
}

std::optional<std::vector<uint8_t>> OpensslAesFormDecrypt(const std::string& password,
                                                          const std::vector<uint8_t>& in) {
  auto key = RunCommand("printf %s " + ShellQuote(password) + " | openssl md5 -r");
  if (key.status != 0 || key.output.size() < 32) return std::nullopt;
  auto plain = OpensslDecrypt(
      "-aes-128-cbc -K " + key.output.substr(0, 32) + " -iv " + std::string(32, '0'), in);
  for (int pad = 0; plain && pad < 2; ++pad) {
    if (plain->empty() || plain->back() < 1 || plain->back() > 16 || plain->back() > plain->size())
      return std::nullopt;
    plain->resize(plain->size() - plain->back());
  }
  return plain;
}

std::optional<std::vector<ZipEntry>> PythonZipEntries(const std::vector<uint8_t>& zip) {
  TempDir dir;
  WriteFileBytes(dir / "z.zip", zip);
  auto r = RunCommand(
      "python3 -c 'import os, sys, zipfile\n"
      "z = zipfile.ZipFile(sys.argv[1])\n"
      "for n, i in enumerate(z.infolist()):\n"
      "    open(os.path.join(sys.argv[2], str(n)), \"wb\").write(z.read(i)); print(i.filename)' " +
      ShellQuote((dir / "z.zip").string()) + " " + ShellQuote(dir.path().string()));
  if (r.status != 0) return std::nullopt;
  std::vector<ZipEntry> out;
  std::istringstream names(r.output);
  for (std::string name; std::getline(names, name);)
    out.push_back({name, ReadFileBytes(dir / std::to_string(out.size()))});
  return out;
}

}  // namespace dtltest
