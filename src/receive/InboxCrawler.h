// The inbox crawler: finds the segment attachments waiting in a web-mail inbox. It recognises
// the provider from the inbox page URL's host (or takes the id it is given; a page of no known
// provider is not crawled at all), stores the browser's session cookies once in the fetcher's
// jar for the page's host and the provider's fixed hosts (secure-only when the page is https),
// walks the provider's listing pages through the PageFetcher, collects the
// message (or thread) identifiers, opens each message and reports one record per attachment:
// the attachment's name without its ".doc" ending, and the key from which the download engine
// fetches it. The crawler only reads pages; it never changes the mailbox.
//
// Call order: fill an InboxCrawler::Params, then InboxCrawler::Run() on a worker thread; every
// observer call happens on that thread. Run() returns when the message phase is done, a stop
// request ended it (records found so far stand), a close request was seen or Walla answered
// with its login page (both: OnAborted()).
//
// The crawl has two ways to end early, each a std::stop_token: `stop` (the user's Stop: the
// phase ends, the records found stand) and `close` (the window closes: the crawl is abandoned
// and OnAborted() reports it). Both are read before every listing page and every message; a
// close request wins when both are set. A fetch
// that returns nothing counts as an empty page: the listing ends there and a message gives no
// attachment; nothing is retried and no message is shown. Names are not checked against the
// segment naming scheme, and not made safe for use as a path either: the download engine
// reduces a name to a plain file name (SafeAttachmentName) before it becomes a path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "receive/DownloadEngine.h"

namespace dtl {

class PageFetcher;

// One attachment found in the inbox, in the form the Segment Manager files and the download
// engine fetches: fileName is the name as the page gives it without its ".doc" ending; key is
// the message id, path or whole URL, by provider (see the provider table).
using FoundAttachment = DownloadItem;

// Events of a crawl, delivered on the thread that calls InboxCrawler::Run().
class CrawlObserver {
 public:
  virtual ~CrawlObserver() = default;
  // The run began: "Refresh" off, "Stop" on, the busy text shown.
  virtual void OnStarted() {}
  // File this attachment into the tree.
  virtual void OnAttachment(const FoundAttachment& record) {}
  // The progress bar: range 0..total, at `position`, one step per message. With no messages
  // the bar is full (total 1, position 1).
  virtual void OnProgressRange(uint16_t total, uint16_t position) {}
  virtual void OnProgressStep() {}
  // Walla answered with its login page: the account must log in again (the main frame's
  // re-login hint). OnAborted() follows.
  virtual void OnSessionEnded() {}
  // The crawl ended abnormally (a close request, or the session ended): close the dialog.
  virtual void OnAborted() {}
  // The run ended, whichever way: "Refresh" on, "Stop" off, the busy text hidden.
  virtual void OnFinished() {}
};

class InboxCrawler {
 public:
  struct Params {
    PageFetcher* fetcher = nullptr;  // required; used by this thread only during the run
    std::string pageUrl;             // the inbox page shown in the inner browser
    std::string cookie;              // that page's document cookie string (see SessionHosts)
    std::string accountId;           // Xasamail only
    int32_t providerId = -1;         // below 0: recognised from pageUrl's host
    // True when a key is already in the Segment Manager's tree. Called on the crawler's thread
    // while the tree may grow: the callee guards its list. Empty: nothing is known.
    std::function<bool(const std::string& key)> isKnownKey;
    // Random numbers for the five digits of Yahoo and Hriders URLs. Empty: std::random_device.
    std::function<uint32_t()> random;
    // Bound on listing pages per run, against a server whose pages always link one more.
    size_t maxListingPages = 10000;
  };

  struct Summary {
    int32_t providerId = 0;  // kProviderUnknown: the page is no known provider's, nothing crawled
    std::vector<FoundAttachment> records;  // as posted, in order
    size_t identifiers = 0;                // identifiers collected on the listing pages
    size_t listingPages = 0;               // listing pages requested
    size_t messagesOpened = 0;             // identifiers whose message was requested
    size_t messagesSkipped = 0;            // identifiers skipped as keys already listed
    bool stopped = false;                  // a stop request ended a phase
    bool aborted = false;                  // close request or ended session (OnAborted sent)
    bool sessionEnded = false;             // Walla's login page was seen
  };

  // Runs one crawl until it is done or `stop` / `close` is requested (see above). The observer's
  // OnStarted() and OnFinished() bracket the run.
  static Summary Run(const Params& params, CrawlObserver& observer, std::stop_token stop,
                     std::stop_token close = {});
};

// The file name in a Content-Disposition header block or a page: empty when none. With
// "attachment" in the text: 'attachment; filename="..."', then 'attachment; filename=...' (to
// the carriage return), then 'filename="..."', then 'filename=...'; otherwise 'filename="..."',
// 'filename=...', 'name="..."'. The first pattern present decides; when its end character is
// missing the name is empty.
std::string DispositionFileName(std::string_view text);
// The value of the page's first '<base href="...">', or empty.
std::string BaseHref(std::string_view page);
// The segment file name of an attachment name: the ".doc" the sender appended (repeated
// endings too) removed from the end; ".doc" inside the name is part of the file's own name.
std::string WithoutDocEnding(std::string name);

}  // namespace dtl
