#include "base/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace dtl {

std::string AtomicTempPrefix(const std::filesystem::path& file) {
  return file.filename().string() + ".new-";
}

namespace {

Error WriteError(const std::filesystem::path& file, int err) {
  return Error(ErrorCode::Io, file.string() + ": " + std::strerror(err), err);
}

}  // namespace

Status ReplaceFileAtomically(const std::filesystem::path& file, std::string_view bytes, mode_t mode,
                             const std::string& tempPrefix) {
  const std::filesystem::path folder = file.parent_path();
  const std::string prefix = tempPrefix.empty() ? AtomicTempPrefix(file) : tempPrefix;
  const std::string tmpl = (folder / (prefix + "XXXXXX")).string();
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  const int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) return WriteError(file, errno);
  int err = ::fchmod(fd, mode) == 0 ? 0 : errno;
  size_t done = 0;
  while (err == 0 && done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      err = n < 0 ? errno : EIO;
    else
      done += static_cast<size_t>(n);
  }
  if (err == 0 && ::fsync(fd) != 0) err = errno;
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && ::rename(name.data(), file.c_str()) != 0) err = errno;
  if (err != 0) {
    ::unlink(name.data());
    return WriteError(file, err);
  }
  const int dfd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return {};
}

}  // namespace dtl
