#include "browser/BannerRefresh.h"

#include "base/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "browser/PageFetcher.h"

namespace dtl {
namespace {

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
  // The strip and any user may read the page.
  return ReplaceFileAtomically(localPage, *body, 0644) == 0 ? BannerRefresh::Replaced : BannerRefresh::Failed;
}

}  // namespace dtl
