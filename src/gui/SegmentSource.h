// Where the Segment Manager's rows come from and how the ticked ones are fetched. The window
// itself only files rows, counts ticks and shows progress; a source does the rest:
//  - the web-mail inbox open in the inner browser: dtl::InboxCrawler lists it and
//    dtl::DownloadEngine downloads in the browser's session (MakeWebMailSource);
//  - a mailbox over IMAP: dtl::ListImapSegments lists a folder and dtl::ImapReceiveJob receives
//    the chosen attachments (MakeImapSource).
//
// Threads: List() runs on the Segment Manager's worker and may change the source's own state;
// MakeDownload() is called on the UI thread, only while no listing runs. The source outlives
// every download dialog it made only as long as the Segment Manager does, so what a download
// needs is copied into its job.
#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>
#include <vector>

#include "browser/CookieJar.h"
#include "browser/NetworkEndpoints.h"
#include "mail/ProviderLimit.h"
#include "receive/DownloadEngine.h"
#include "receive/ImapSession.h"

class QWidget;

namespace dtlui {

class DownloadDialog;

// What the inner browser hands over for a crawl: the inbox page's URL, the cookie string the
// page sends (HttpOnly cookies included), every cookie the browser holds for the page's site,
// and the account id (Xasamail only).
struct WebMailSession {
  QString pageUrl;
  QString cookie;
  QString accountId;
  std::vector<dtl::CookieJar::Cookie> cookies;
};

class SegmentSource {
 public:
  // A listing's events, called on the worker that runs List().
  class Events {
   public:
    virtual ~Events() = default;
    // File this item into the tree.
    virtual void Found(const dtl::DownloadItem& item) = 0;
    // The progress bar: `position` of `total` (total 0: nothing to look at, the bar is full).
    virtual void Progress(uint64_t position, uint64_t total) = 0;
    virtual void Step() = 0;
    // The web-mail session has ended: the account must log in again. Aborted() follows.
    virtual void SessionEnded() = 0;
    // The listing ended so that the window must close.
    virtual void Aborted() = 0;
    // The listing failed; `message` is for the user. Not called after a stop.
    virtual void Failed(const std::string& message) = 0;
    // A remark on what was found, shown under the tree once the listing is over ("movie.avi:
    // segment 4 missing").
    virtual void Note(const std::string& text) = 0;
  };

  // True when a key is in the tree already; safe to call on the worker while rows are filed.
  using KnownKey = std::function<bool(const std::string& key)>;

  virtual ~SegmentSource() = default;

  // Lists the segments on the calling (worker) thread. `stop` is the Stop button's (what was
  // found stays); `close` is the window closing (the listing is abandoned).
  virtual void List(Events& events, const KnownKey& isKnownKey, std::stop_token stop,
                    std::stop_token close) = 0;
  // A download dialog, set up but not shown, for `items` (keys as Found() gave them) into
  // `folder`. The caller owns it (parented to `parent`).
  virtual DownloadDialog* MakeDownload(const QString& folder, bool autoMerge,
                                       const QString& password,
                                       const std::vector<dtl::DownloadItem>& items,
                                       QWidget* parent) = 0;
};

// The web-mail inbox of `session`. `cookies` must outlive the source; the session's cookies go
// into it here, before the first crawl, so the download rides in the same session.
std::unique_ptr<SegmentSource> MakeWebMailSource(dtl::CookieJar& cookies,
                                                 const dtl::NetworkEndpoints& endpoints,
                                                 const WebMailSession& session);

// The IMAP folder `folder` (UTF-8; INBOX when empty) of the mailbox `settings` reach. The
// download receives over `jobs` connections at once; a provider's limit that names no time
// pauses it for `pauses` (the RateLimitPause and QuotaPause settings).
std::unique_ptr<SegmentSource> MakeImapSource(dtl::ImapSettings settings, std::string folder,
                                              unsigned jobs = 4, dtl::LimitPauses pauses = {});

}  // namespace dtlui
