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

Status RefreshBannerPage(PageFetcher& fetcher, std::string_view url,
                         const std::filesystem::path& localPage) {
  const auto body = fetcher.Fetch(url);
  if (!body) return body.error();
  // An error page is not a banner even when the site's templates put the marker in it.
  const long status = fetcher.LastStatus();
  if (status < 200 || status > 299)
    return Error(ErrorCode::Refused, "the banner page answered HTTP " + std::to_string(status),
                 static_cast<int>(status));
  // Fetch stops the text at the first zero byte; a page with one is not HTML we would show.
  if (fetcher.BodyLength() != body->size() || body->size() > kMaxBannerBytes)
    return Error(ErrorCode::Refused, "the banner page is binary or too large");
  if (body->find(kBannerMarker) == std::string_view::npos)
    return Error(ErrorCode::Refused, "the page carries no banner marker");
  // The strip and any user may read the page.
  if (Status written = ReplaceFileAtomically(localPage, *body, 0644); !written)
    return Error::FromErrno(localPage.string(), written.error().system);
  return {};
}

BannerRefresh BannerRefreshOutcome(const Status& refreshed) {
  if (refreshed) return BannerRefresh::Replaced;
  return refreshed.error().code == ErrorCode::Refused ? BannerRefresh::Refused
                                                      : BannerRefresh::Failed;
}

}  // namespace dtl
