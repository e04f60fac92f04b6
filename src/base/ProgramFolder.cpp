#include "base/ProgramFolder.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

namespace dtl {

namespace fs = std::filesystem;

std::string ProgramFilePath() {
  // readlink does not say how long the target is, so grow the buffer until it fits.
  std::vector<char> buf(256);
  for (int tries = 0; tries < 8; ++tries) {
    ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) return {};
    if (static_cast<size_t>(n) < buf.size()) return std::string(buf.data(), static_cast<size_t>(n));
    buf.resize(buf.size() * 4);
  }
  return {};
}

std::string ProgramFolderOf(std::string_view programPath) {
  auto slash = programPath.rfind('/');
  if (slash == std::string_view::npos) return "./";
  return std::string(programPath.substr(0, slash + 1));
}

std::string GetProgramFolder() {
  static std::once_flag once;
  static std::string folder;
  std::call_once(once, [] {
    std::string exe = ProgramFilePath();
    if (!exe.empty()) {
      folder = ProgramFolderOf(exe);
      return;
    }
    std::error_code ec;
    std::string cwd = fs::current_path(ec).string();
    folder = (ec || cwd.empty()) ? std::string("./") : cwd + (cwd.back() == '/' ? "" : "/");
  });
  return folder;
}

fs::path DataFolder() { return XdgDataHome() / "drovetail"; }

fs::path DataFilePath(const fs::path& oldFolder, const fs::path& dataFolder,
                      std::string_view name) {
  std::error_code ec;
  const fs::path fresh = dataFolder / name;
  if (fs::exists(fresh, ec)) return fresh;
  const fs::path old = oldFolder / name;
  if (!oldFolder.empty() && fs::is_regular_file(old, ec)) return old;
  return fresh;
}

std::string MoveDataFile(const fs::path& oldFolder, const fs::path& dataFolder,
                         std::string_view name) {
  std::error_code ec;
  const fs::path old = oldFolder / name;
  const fs::path fresh = dataFolder / name;
  if (oldFolder.empty() || !fs::is_regular_file(old, ec)) return {};
  if (fs::equivalent(oldFolder, dataFolder, ec)) return {};
  if (fs::exists(fresh, ec))
    return "left " + old.string() + " where it is: " + fresh.string() + " already exists";
  if (Status made = MakePrivateFolders(dataFolder); !made)
    return "still using " + old.string() + ": " + made.error().message;
  // link + unlink rather than rename: rename would replace a file that appeared meanwhile.
  if (::link(old.c_str(), fresh.c_str()) == 0) {
    if (::unlink(old.c_str()) == 0) return "moved " + old.string() + " to " + fresh.string();
    const int err = errno;
    ::unlink(fresh.c_str());
    return "still using " + old.string() + ": " + std::strerror(err);
  }
  if (errno != EXDEV)
    return "still using " + old.string() + ": " + std::strerror(errno);
  // Another file system: copy, then remove the old one only once the copy is whole.
  if (!fs::copy_file(old, fresh, fs::copy_options::none, ec))
    return "still using " + old.string() + ": " + ec.message();
  if (!fs::remove(old, ec)) {
    fs::remove(fresh, ec);
    return "still using " + old.string() + ": could not remove it";
  }
  return "moved " + old.string() + " to " + fresh.string();
}

fs::path HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home && *home) return home;
  // getpwuid_r so a caller on another thread cannot overwrite the entry under us.
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 16384);
  struct passwd pw {};
  struct passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found && found->pw_dir)
    return found->pw_dir;
  return "/";
}

namespace {
// The XDG rules say a relative value is invalid and must be ignored.
fs::path XdgOr(const char* var, const char* fallbackUnderHome) {
  const char* v = std::getenv(var);
  if (v && v[0] == '/') return v;
  return HomeFolder() / fallbackUnderHome;
}
}  // namespace

fs::path XdgConfigHome() { return XdgOr("XDG_CONFIG_HOME", ".config"); }
fs::path XdgDataHome() { return XdgOr("XDG_DATA_HOME", ".local/share"); }

Status MakePrivateFolders(const fs::path& folder) {
  // Walk down from the root so every folder we create gets 0700, not the umask's choice.
  fs::path cur;
  for (const auto& part : folder) {
    cur /= part;
    if (part.empty() || part == "/") continue;
    if (::mkdir(cur.c_str(), 0700) == 0 || errno == EEXIST) continue;
    if (errno == EACCES || errno == EPERM || errno == EROFS) {
      // A parent we may not write to may well exist already; only the final answer counts.
      struct stat st {};
      if (::stat(cur.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
    }
    return Error::FromErrno(cur.string());
  }
  struct stat st {};
  int err = ::stat(folder.c_str(), &st) != 0 ? errno : (S_ISDIR(st.st_mode) ? 0 : ENOTDIR);
  if (err) return Error::FromErrno(folder.string(), err);
  return {};
}

}  // namespace dtl
