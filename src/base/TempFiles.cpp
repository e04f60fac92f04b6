#include "base/TempFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

namespace dtl {

namespace fs = std::filesystem;

fs::path TempFolder() {
  const char* t = std::getenv("TMPDIR");
  return (t && *t) ? fs::path(t) : fs::path("/tmp");
}

TempPieceFile& TempPieceFile::operator=(TempPieceFile&& o) noexcept {
  if (this != &o) {
    if (fd_ >= 0) ::close(fd_);
    path_ = std::move(o.path_);
    fd_ = o.fd_;
    o.fd_ = -1;
  }
  return *this;
}

TempPieceFile::~TempPieceFile() {
  if (fd_ >= 0) ::close(fd_);
}

Result<std::vector<uint8_t>> TempPieceFile::ReadAll() const {
  const auto fail = [](int e) {
    return Error(e == ENOENT ? ErrorCode::NotFound : ErrorCode::Io, std::strerror(e), e);
  };
  struct stat st {};
  if (fd_ < 0) return fail(EBADF);
  if (::fstat(fd_, &st) != 0) return fail(errno);
  std::vector<uint8_t> out(static_cast<size_t>(st.st_size));
  size_t have = 0;
  while (have < out.size()) {
    const ssize_t got =
        ::pread(fd_, out.data() + have, out.size() - have, static_cast<off_t>(have));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return fail(errno);
    if (got == 0) break;
    have += static_cast<size_t>(got);
  }
  out.resize(have);
  return out;
}

Result<TempPieceFile> CreateTempPieceFile(const fs::path& folder) {
  std::string tmpl = (folder / ("DTL" + std::to_string(::getpid()) + "_XXXXXX.tmp")).string();
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  // The name is made with O_EXCL and never opened again: the descriptor is the file.
  int fd = ::mkostemps(buf.data(), 4, O_CLOEXEC);
  if (fd < 0) return Error::FromErrno(folder.string());
  return TempPieceFile(fs::path(buf.data()), fd);
}

namespace {

// On Windows a piece file that another instance still has open cannot be deleted; here unlink
// would succeed and pull the piece from under a send in progress. The creating pid in the name
// lets the sweep spare files of instances that are still alive.
bool OwnedByOtherLiveInstance(std::string_view name) {
  std::string_view rest = name.substr(3);
  auto underscore = rest.find('_');
  if (underscore == std::string_view::npos || underscore == 0) return false;
  long pid = 0;
  auto [end, ec] = std::from_chars(rest.data(), rest.data() + underscore, pid);
  if (ec != std::errc() || end != rest.data() + underscore || pid <= 0) return false;
  if (pid == static_cast<long>(::getpid())) return false;
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

bool IsPieceName(std::string_view name) {
  return name.size() >= 7 && name.substr(0, 3) == "DTL" && name.substr(name.size() - 4) == ".tmp";
}

}  // namespace

size_t DeleteTempPieces(const fs::path& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return 0;
  int dfd = ::dirfd(dir);
  uid_t me = ::geteuid();
  size_t deleted = 0;
  while (struct dirent* e = ::readdir(dir)) {
    std::string_view name = e->d_name;
    if (!IsPieceName(name)) continue;
    struct stat st {};
    // No symlink following: the sweep only ever removes the directory entry it looked at.
    if (::fstatat(dfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISREG(st.st_mode) || st.st_uid != me) continue;
    if (OwnedByOtherLiveInstance(name)) continue;
    if (::unlinkat(dfd, e->d_name, 0) == 0) ++deleted;
  }
  ::closedir(dir);
  return deleted;
}

}  // namespace dtl
