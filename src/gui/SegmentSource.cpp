#include "gui/SegmentSource.h"

#include <QUrl>
#include <algorithm>
#include <map>
#include <mutex>

#include "browser/PageFetcher.h"
#include "gui/DownloadDialog.h"
#include "gui/UiSupport.h"
#include "receive/ImapReceive.h"
#include "receive/InboxCrawler.h"
#include "receive/ProviderTable.h"

namespace dtlui {

namespace {

class WebMailSource : public SegmentSource {
 public:
  WebMailSource(dtl::CookieJar& cookies, const dtl::NetworkEndpoints& endpoints,
                const WebMailSession& session)
      : cookies_(cookies),
        endpoints_(endpoints),
        session_(session),
        fetcher_(std::make_unique<dtl::PageFetcher>(cookies, endpoints)) {
    // The session lives in the browser's cookies, HttpOnly ones included, which no document
    // cookie string carries: the fetcher sends them with their own domains, paths and flags.
    cookies_.Store(session_.cookies);
    providerId_ = dtl::RecognizeProvider(S(session_.pageUrl));
  }

  void List(Events& events, const KnownKey& isKnownKey, std::stop_token stop,
            std::stop_token close) override {
    dtl::InboxCrawler::Params params;
    params.fetcher = fetcher_.get();
    params.pageUrl = S(session_.pageUrl);
    // The browser's own cookies are in the store already with their domains, paths and flags.
    // The string (HttpOnly cookies included) is still handed over: the crawler lends it to the
    // provider's own other hosts, such as Walla's attachment host, which the browser never
    // visited and so holds no cookies for.
    params.cookie = S(session_.cookie);
    params.accountId = S(session_.accountId);
    params.isKnownKey = isKnownKey;
    Relay relay(events);
    providerId_ = dtl::InboxCrawler::Run(params, relay, stop, close).providerId;
  }

  DownloadDialog* MakeDownload(const QString& folder, bool autoMerge, const QString& password,
                               const std::vector<dtl::DownloadItem>& items,
                               QWidget* parent) override {
    // The crawl stored the session for the page's host and the provider's fixed hosts (Walla's
    // attachment host among them, secure-only for an https page); the download reads the jar.
    auto* dlg = new DownloadDialog(cookies_, endpoints_, parent);
    dlg->SetUp(folder, QUrl(session_.pageUrl).host(), providerId_, autoMerge, password);
    for (const auto& item : items) dlg->AddItem(item);
    return dlg;
  }

 private:
  class Relay : public dtl::CrawlObserver {
   public:
    explicit Relay(Events& events) : events_(events) {}
    void OnAttachment(const dtl::FoundAttachment& record) override { events_.Found(record); }
    void OnProgressRange(uint16_t total, uint16_t position) override {
      events_.Progress(position, total);
    }
    void OnProgressStep() override { events_.Step(); }
    void OnSessionEnded() override { events_.SessionEnded(); }
    void OnAborted() override { events_.Aborted(); }

   private:
    Events& events_;
  };

  dtl::CookieJar& cookies_;
  dtl::NetworkEndpoints endpoints_;
  WebMailSession session_;
  std::unique_ptr<dtl::PageFetcher> fetcher_;
  int providerId_ = -1;
};

// "4, 7-9": the numbers in ascending runs.
std::string Runs(const std::vector<uint64_t>& numbers) {
  std::string text;
  for (size_t i = 0; i < numbers.size();) {
    size_t j = i;
    while (j + 1 < numbers.size() && numbers[j + 1] == numbers[j] + 1) ++j;
    if (!text.empty()) text += ", ";
    text += std::to_string(numbers[i]);
    if (j > i) text += "-" + std::to_string(numbers[j]);
    i = j + 1;
  }
  return text;
}

class ImapSource : public SegmentSource {
 public:
  ImapSource(dtl::ImapSettings settings, std::string folder, unsigned jobs,
             dtl::LimitPauses pauses)
      : settings_(std::move(settings)), folder_(std::move(folder)), jobs_(jobs), pauses_(pauses) {}

  void List(Events& events, const KnownKey&, std::stop_token stop, std::stop_token close) override {
    // The listing takes one token: either stop ends it. What was filed before a Stop stays in
    // the tree either way; only the window's own close abandons it.
    std::stop_source either;
    std::stop_callback onStop(stop, [&either] { either.request_stop(); });
    std::stop_callback onClose(close, [&either] { either.request_stop(); });
    Relay relay(events);
    auto listing = dtl::ListImapSegments(settings_, folder_, relay, either.get_token());
    // A listing that did not finish still filed rows: they are taken as of the folder the last
    // finished listing saw (the receive then refuses the run should the folder have changed).
    uint32_t validity = listing ? listing->folder.uidValidity : uidValidity_;
    if (validity != uidValidity_) {
      // A new UIDVALIDITY: the UIDs of earlier listings name other mails now.
      refs_.clear();
      uidValidity_ = validity;
    }
    for (auto& ref : relay.found) refs_[ref.item.fileName] = std::move(ref);
    if (!listing) {
      if (listing.error().code != dtl::ErrorCode::Cancelled && !either.stop_requested())
        events.Failed(listing.error().message);
      return;
    }
    events.Progress(1, 1);
    // A sender checks delivery by the gaps: the merge would only find them at the end.
    for (const auto& file : listing->files) {
      if (!file.missing.empty())
        events.Note(file.name + ": " + (file.missing.size() == 1 ? "segment " : "segments ") +
                    Runs(file.missing) + " missing");
      else if (!file.hasDescriptor)
        events.Note(file.name + ": " + file.name + ".dtl missing");
    }
  }

  DownloadDialog* MakeDownload(const QString& folder, bool autoMerge, const QString& password,
                               const std::vector<dtl::DownloadItem>& items,
                               QWidget* parent) override {
    // The rows carry only names and keys; the receive needs the listing's whole reference. A
    // row is looked up by its name: the tree keeps the key of the listing that first filed it,
    // the latest listing knows where the segment is now. The row's key is what the receive
    // reports back, so the tree can untick it.
    std::vector<dtl::ImapSegmentRef> chosen;
    for (const auto& item : items) {
      auto it = refs_.find(item.fileName);
      if (it == refs_.end()) continue;
      chosen.push_back(it->second);
      chosen.back().item.key = item.key;
    }
    auto* dlg = new DownloadDialog(
        [settings = settings_, folder = folder_, validity = uidValidity_, jobs = jobs_,
         pauses = pauses_, chosen](const dtl::DownloadEngine::Params& params,
                                   dtl::DownloadObserver& observer, std::stop_token stop) {
          return Receive(settings, folder, validity, jobs, pauses, chosen, params, observer, stop);
        },
        parent);
    dlg->SetUp(folder, Q(settings_.host), 0, autoMerge, password);
    for (const auto& item : items) dlg->AddItem(item);
    return dlg;
  }

 private:
  class Relay : public dtl::ImapListObserver {
   public:
    explicit Relay(Events& events) : events_(events) {}
    void OnListProgress(size_t scanned, size_t total) override { events_.Progress(scanned, total); }
    void OnSegmentFound(const dtl::ImapSegmentRef& segment) override {
      found.push_back(segment);
      events_.Found(segment.item);
    }
    std::vector<dtl::ImapSegmentRef> found;  // in the order found

   private:
    Events& events_;
  };

  static dtl::DownloadEngine::Summary Receive(const dtl::ImapSettings& settings,
                                              const std::string& folder, uint32_t uidValidity,
                                              unsigned jobs, const dtl::LimitPauses& pauses,
                                              const std::vector<dtl::ImapSegmentRef>& items,
                                              const dtl::DownloadEngine::Params& params,
                                              dtl::DownloadObserver& observer,
                                              std::stop_token stop) {
    dtl::ImapReceiveJob::Params p;
    p.settings = settings;
    p.folder = folder;
    p.outFolder = params.folder;
    p.items = items;
    p.uidValidity = uidValidity;
    p.jobs = jobs;
    p.limitPauses = pauses;
    p.replace = dtl::ReplaceMode::Skip;  // ask, as the web-mail download does
    // The download dialog merges in the Merging dialog, as it does for web mail.
    p.autoMerge = false;
    p.password = params.password;
    const dtl::ImapReceiveJob::Summary s = dtl::ImapReceiveJob::Run(p, observer, stop);
    // A damaged segment has been told through the observer as it was met: the summary adds
    // only a failure that ended the run.
    dtl::DownloadEngine::Summary out;
    using Out = dtl::DownloadEngine::Outcome;
    switch (s.outcome) {
      case dtl::ImapReceiveJob::Outcome::Completed: out.outcome = Out::Completed; break;
      case dtl::ImapReceiveJob::Outcome::Stopped: out.outcome = Out::Stopped; break;
      case dtl::ImapReceiveJob::Outcome::Failed:
        out.outcome = s.error.code == dtl::ErrorCode::Io ? Out::FileError : Out::SessionFailed;
        out.message = s.error.message;
        break;
    }
    out.itemsSaved = s.itemsSaved;
    out.itemsSkipped = s.itemsSkipped;
    out.attemptsFailed = s.attemptsFailed;
    out.totalBytes = s.totalBytes;
    out.descriptors = s.descriptors;
    out.mergeDescriptors = s.mergeDescriptors;
    return out;
  }

  dtl::ImapSettings settings_;
  std::string folder_;
  unsigned jobs_;
  dtl::LimitPauses pauses_;  // for a provider's limit that names no time
  // Where each segment name was found, by the latest listing that found it: a Refresh files
  // only new names, but every row must lead to its segment.
  std::map<std::string, dtl::ImapSegmentRef> refs_;
  uint32_t uidValidity_ = 0;  // the folder's, as the latest finished listing saw it
};

}  // namespace

std::unique_ptr<SegmentSource> MakeWebMailSource(dtl::CookieJar& cookies,
                                                 const dtl::NetworkEndpoints& endpoints,
                                                 const WebMailSession& session) {
  return std::make_unique<WebMailSource>(cookies, endpoints, session);
}

std::unique_ptr<SegmentSource> MakeImapSource(dtl::ImapSettings settings, std::string folder,
                                              unsigned jobs, dtl::LimitPauses pauses) {
  return std::make_unique<ImapSource>(std::move(settings), std::move(folder),
                                      std::clamp(jobs, 1u, 16u), pauses);
}

}  // namespace dtlui
