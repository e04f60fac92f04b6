#include "gui/BannerPane.h"

#include <QFileInfo>
#include <QShowEvent>
#include <atomic>
#include <mutex>
#include <system_error>
#include <thread>

#include "base/ProgramFolder.h"
#include "gui/UiSupport.h"
#include "browser/BannerRefresh.h"
#include "browser/BrowserSites.h"
#include "browser/CookieJar.h"
#include "browser/PageFetcher.h"
#include "gui/PanePage.h"

namespace dtlui {

// What a refresh worker shares with its pane. The pane clears `pane` under the lock when it
// goes, so a worker either posts its result while the pane is alive or not at all.
struct BannerPane::Shared {
  std::mutex mutex;
  BannerPane* pane = nullptr;
  std::atomic<bool> running{false};
};

BannerPane::Setup BannerPane::DefaultSetup(const dtl::BrowserEndpoints& sites, std::shared_ptr<dtl::CookieJar> jar) {
  Setup s;
  s.localPage = Q(dtl::WritableProgramFolder()) + "verb1.html";
  s.installedPage = ResourcePath("verb1.html");
  s.refreshUrl = sites.productSite + "/verb1.html";
  s.jar = std::move(jar);
  return s;
}

BannerPane::BannerPane(Setup setup, QWidget* parent)
    : QWebEngineView(parent), setup_(std::move(setup)), shared_(std::make_shared<Shared>()) {
  setObjectName("banner");
  setFixedHeight(kHeight);
  if (!setup_.jar) setup_.jar = std::make_shared<dtl::CookieJar>();
  shared_->pane = this;
  setPage(new PanePage(PanePage::Links::OpenOutside, this));
  timer_.setInterval(kTimerMs);
  connect(&timer_, &QTimer::timeout, this, &BannerPane::OnTimer);
  // Every completed load, the error page of a missing local file included, asks the site for
  // a newer banner: that is how a strip without a local page gets one.
  connect(this, &QWebEngineView::loadFinished, this, [this](bool) { StartRefresh(); });
}

BannerPane::~BannerPane() {
  std::lock_guard lock(shared_->mutex);
  shared_->pane = nullptr;
}

QUrl BannerPane::LocalPageUrl() const {
  if (!QFileInfo::exists(setup_.localPage) && !setup_.installedPage.isEmpty() &&
      QFileInfo::exists(setup_.installedPage))
    return QUrl::fromLocalFile(setup_.installedPage);
  return QUrl::fromLocalFile(setup_.localPage);
}

void BannerPane::showEvent(QShowEvent* event) {
  QWebEngineView::showEvent(event);
  if (shown_) return;
  shown_ = true;
  setUrl(LocalPageUrl());
  timer_.start();
}

void BannerPane::OnTimer() {
  if (url().toString().toLower().contains("verb1.html")) reload();
  else setUrl(LocalPageUrl());
}

bool BannerPane::StartRefresh() {
  if (shared_->running.exchange(true)) return false;
  try {
    StartWorker();
  } catch (const std::system_error&) {
    shared_->running = false;  // no thread to be had now; the next completed load tries again
    return false;
  }
  return true;
}

void BannerPane::StartWorker() {
  std::thread([shared = shared_, url = setup_.refreshUrl, jar = setup_.jar, network = setup_.network,
               file = std::filesystem::path(setup_.localPage.toStdString())] {
    dtl::BannerRefresh result = dtl::BannerRefresh::Failed;
    try {
      dtl::PageFetcher fetcher(*jar, network);
      result = dtl::BannerRefreshOutcome(dtl::RefreshBannerPage(fetcher, url, file));
    } catch (const std::exception&) {
      // Out of memory in a background refresh: the strip keeps the page it has.
    }
    std::lock_guard lock(shared->mutex);
    shared->running = false;
    if (BannerPane* pane = shared->pane)
      QMetaObject::invokeMethod(
          pane, [pane, result] { emit pane->RefreshFinished(static_cast<int>(result)); }, Qt::QueuedConnection);
  }).detach();
}

}  // namespace dtlui
