#include "browser/BannerRefresh.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "browser/PageFetcher.h"

namespace dtl {
namespace {

bool ReplaceWith(const std::filesystem::path& file, std::string_view text) {
  std::string tmpl = file.string() + ".new-XXXXXX";
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  const int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) return false;
  // The strip and any user may read the page; mkostemp's 0600 would hide it from them.
  bool ok = ::fchmod(fd, 0644) == 0;
  size_t done = 0;
  while (ok && done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ok = false;
    else done += static_cast<size_t>(n);
  }
  ok = (::close(fd) == 0) && ok;
  if (ok) ok = ::rename(name.data(), file.c_str()) == 0;
  if (!ok) ::unlink(name.data());
  return ok;
}

}  // namespace

BannerRefresh RefreshBannerPage(PageFetcher& fetcher, std::string_view url,
                                const std::filesystem::path& localPage) {
  const auto body = fetcher.Fetch(url);
  if (!body) return BannerRefresh::Failed;
  // An error page is not a banner even when the site's templates put the marker in it.
  const long status = fetcher.LastStatus();
  if (status < 200 || status > 299) return BannerRefresh::Refused;
  // Fetch stops the text at the first zero byte; a page with one is not HTML we would show.
  if (fetcher.BodyLength() != body->size() || body->size() > kMaxBannerBytes) return BannerRefresh::Refused;
  if (body->find(kBannerMarker) == std::string_view::npos) return BannerRefresh::Refused;
  return ReplaceWith(localPage, *body) ? BannerRefresh::Replaced : BannerRefresh::Failed;
}

}  // namespace dtl
