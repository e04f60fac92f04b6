// The banner strip's background refresh: the product site's current banner page replaces the
// local copy the strip shows, but only when it is really one of our banner pages (it carries
// the comment "<!-- dtl -->"), so a captive portal, a parked domain or an error page never ends
// up in the strip.
//
// Call from a worker thread: one call fetches once and returns. The local file is replaced by a
// temporary file in the same folder and a rename, so the strip never loads a half-written page
// and two refreshes that overlap leave one whole page (the last to finish).
#pragma once

#include <cstddef>
#include <filesystem>
#include <string_view>

#include "base/Error.h"

namespace dtl {

class PageFetcher;

// The comment that marks a page as a banner page of this program.
inline constexpr std::string_view kBannerMarker = "<!-- dtl -->";
// A banner is a small page; anything larger is not one of ours and is not written.
inline constexpr size_t kMaxBannerBytes = size_t{1} << 20;

// GETs `url` with `fetcher` (no cookie) and, when the body is a banner page, writes it to
// `localPage` (created 0644 if missing). Success means the local file now holds the page. An
// answer that is not a banner page (no marker, not 2xx, too large, binary) is ErrorCode::Refused;
// no answer (network, TLS, no URL) is the fetcher's error; a local file that could not be
// replaced is Io. The local file is left untouched on every error. Never throws for network or
// file errors.
Status RefreshBannerPage(PageFetcher& fetcher, std::string_view url,
                         const std::filesystem::path& localPage);

// The three ways a refresh ends, as the banner strip reports them.
enum class BannerRefresh {
  Replaced,  // the page carried the marker and the local file now holds it
  Refused,   // an answer came but it is not a banner page
  Failed,    // no answer, or the local file could not be replaced
};
BannerRefresh BannerRefreshOutcome(const Status& refreshed);

}  // namespace dtl
