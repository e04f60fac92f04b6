#include "gui/BannerPane.h"

#include <QFileInfo>
#include <QShowEvent>
#include <system_error>

#include "base/ProgramFolder.h"
#include "browser/BannerRefresh.h"
#include "browser/BrowserSites.h"
#include "browser/CookieJar.h"
#include "browser/PageFetcher.h"
#include "gui/PanePage.h"
#include "gui/UiSupport.h"

namespace dtlui {

BannerPane::Setup BannerPane::DefaultSetup(const dtl::BrowserEndpoints& sites,
                                           std::shared_ptr<dtl::CookieJar> jar) {
  Setup s;
  s.localPage = Q((dtl::DataFolder() / "verb1.html").string());
  s.installedPage = ResourcePath("verb1.html");
  s.refreshUrl = sites.productSite + "/verb1.html";
  s.jar = std::move(jar);
  return s;
}

BannerPane::BannerPane(Setup setup, QWidget* parent)
    : QWebEngineView(parent), setup_(std::move(setup)) {
  setObjectName("banner");
  setFixedHeight(kHeight);
  if (!setup_.jar) setup_.jar = std::make_shared<dtl::CookieJar>();
  auto* page = new PanePage(PanePage::Links::OpenOutside, this);
  setPage(page);
  connect(page, &PanePage::helpRequested, this, &BannerPane::helpRequested);
  timer_.setInterval(kTimerMs);
  connect(&timer_, &QTimer::timeout, this, &BannerPane::timerTick);
  // Every completed load, the error page of a missing local file included, asks the site for
  // a newer banner: that is how a strip without a local page gets one.
  connect(this, &QWebEngineView::loadFinished, this, [this](bool) { StartRefresh(); });
  connect(&runner_, &JobRunner::finished, this, [this] { emit refreshFinished(lastResult_); });
}

BannerPane::~BannerPane() = default;

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

void BannerPane::timerTick() {
  if (url().toString().toLower().contains("verb1.html"))
    reload();
  else
    setUrl(LocalPageUrl());
}

bool BannerPane::StartRefresh() {
  if (runner_.isRunning()) return false;
  try {
    runner_.start([this, url = setup_.refreshUrl, jar = setup_.jar, network = setup_.network,
                   file = std::filesystem::path(setup_.localPage.toStdString())](std::stop_token) {
      // The fetch cannot be interrupted yet; a stop request waits for its time-outs.
      dtl::BannerRefresh result = dtl::BannerRefresh::Failed;
      try {
        dtl::PageFetcher fetcher(*jar, network);
        result = dtl::BannerRefreshOutcome(dtl::RefreshBannerPage(fetcher, url, file));
      } catch (const std::exception&) {
        // Out of memory in a background refresh: the strip keeps the page it has.
      }
      runner_.post([this, result] { lastResult_ = static_cast<int>(result); });
    });
  } catch (const std::system_error&) {
    return false;  // no thread to be had now; the next completed load tries again
  }
  return true;
}

}  // namespace dtlui
