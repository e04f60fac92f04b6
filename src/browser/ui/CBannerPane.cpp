#include "browser/ui/CBannerPane.h"

#include <QFileInfo>
#include <QShowEvent>
#include <atomic>
#include <mutex>
#include <system_error>
#include <thread>

#include "app/ProgramFolder.h"
#include "app/ui/UiSupport.h"
#include "browser/BannerRefresh.h"
#include "browser/BrowserSites.h"
#include "browser/CookieJar.h"
#include "browser/PageFetcher.h"
#include "browser/ui/CPanePage.h"

namespace dtlui {

// What a refresh worker shares with its pane. The pane clears `pane` under the lock when it
// goes, so a worker either posts its result while the pane is alive or not at all.
struct CBannerPane::Shared {
  std::mutex mutex;
  CBannerPane* pane = nullptr;
  std::atomic<bool> running{false};
};

CBannerPane::Setup CBannerPane::DefaultSetup(const dtl::BrowserEndpoints& sites, std::shared_ptr<dtl::CookieJar> jar) {
  Setup s;
  s.localPage = Q(dtl::WritableProgramFolder()) + "verb1.html";
  s.installedPage = ResourcePath("verb1.html");
  s.refreshUrl = sites.productSite + "/verb1.html";
  s.jar = std::move(jar);
  return s;
}

CBannerPane::CBannerPane(Setup setup, QWidget* parent)
    : QWebEngineView(parent), setup_(std::move(setup)), shared_(std::make_shared<Shared>()) {
  setObjectName("banner");
  setFixedHeight(kHeight);
  if (!setup_.jar) setup_.jar = std::make_shared<dtl::CookieJar>();
  shared_->pane = this;
  setPage(new CPanePage(CPanePage::Links::OpenOutside, this));
  timer_.setInterval(kTimerMs);
  connect(&timer_, &QTimer::timeout, this, &CBannerPane::OnTimer);
  // Every completed load, the error page of a missing local file included, asks the site for
  // a newer banner: that is how a strip without a local page gets one.
  connect(this, &QWebEngineView::loadFinished, this, [this](bool) { StartRefresh(); });
}

CBannerPane::~CBannerPane() {
  std::lock_guard lock(shared_->mutex);
  shared_->pane = nullptr;
}

QUrl CBannerPane::LocalPageUrl() const {
  if (!QFileInfo::exists(setup_.localPage) && !setup_.installedPage.isEmpty() &&
      QFileInfo::exists(setup_.installedPage))
    return QUrl::fromLocalFile(setup_.installedPage);
  return QUrl::fromLocalFile(setup_.localPage);
}

void CBannerPane::showEvent(QShowEvent* event) {
  QWebEngineView::showEvent(event);
  if (shown_) return;
  shown_ = true;
  setUrl(LocalPageUrl());
  timer_.start();
}

void CBannerPane::OnTimer() {
  if (url().toString().toLower().contains("verb1.html")) reload();
  else setUrl(LocalPageUrl());
}

bool CBannerPane::StartRefresh() {
  if (shared_->running.exchange(true)) return false;
  try {
    StartWorker();
  } catch (const std::system_error&) {
    shared_->running = false;  // no thread to be had now; the next completed load tries again
    return false;
  }
  return true;
}

void CBannerPane::StartWorker() {
  std::thread([shared = shared_, url = setup_.refreshUrl, jar = setup_.jar, network = setup_.network,
               file = std::filesystem::path(setup_.localPage.toStdString())] {
    dtl::BannerRefresh result = dtl::BannerRefresh::Failed;
    try {
      dtl::PageFetcher fetcher(*jar, network);
      result = dtl::RefreshBannerPage(fetcher, url, file);
    } catch (const std::exception&) {
      // Out of memory in a background refresh: the strip keeps the page it has.
    }
    std::lock_guard lock(shared->mutex);
    shared->running = false;
    if (CBannerPane* pane = shared->pane)
      QMetaObject::invokeMethod(
          pane, [pane, result] { emit pane->RefreshFinished(static_cast<int>(result)); }, Qt::QueuedConnection);
  }).detach();
}

}  // namespace dtlui
