#include "gui/SidePane.h"

#include <QShowEvent>
#include <QWebEngineLoadingInfo>
#include <QWebEngineSettings>

#include "gui/PanePage.h"
#include "gui/UiSupport.h"

namespace dtlui {

SidePane::SidePane(QUrl home, QWidget* parent) : QWebEngineView(parent), home_(std::move(home)) {
  setPage(new PanePage(PanePage::Links::InPane, this));
}

QUrl SidePane::communityHome() { return QUrl::fromLocalFile(ResourcePath("Community.html")); }

QUrl SidePane::siblingLocalPage() { return QUrl::fromLocalFile(ResourcePath("sibling.html")); }

void SidePane::setFallback(QUrl local) {
  fallback_ = std::move(local);
  // An unreachable site would otherwise leave Chromium's error page in a tab the product
  // itself fills.
  page()->settings()->setAttribute(QWebEngineSettings::ErrorPageEnabled, false);
  connect(page(), &QWebEnginePage::loadingChanged, this, [this](const QWebEngineLoadingInfo& info) {
    if (info.status() != QWebEngineLoadingInfo::LoadFailedStatus) return;
    // Only the home address: a link inside the site that fails is the site's business, and
    // a navigation the pane refused is no failure of the site.
    const auto same = [](const QUrl& a, const QUrl& b) {
      return a.adjusted(QUrl::StripTrailingSlash) == b.adjusted(QUrl::StripTrailingSlash);
    };
    if (same(info.url(), home_) && !same(home_, fallback_)) setUrl(fallback_);
  });
}

QUrl SidePane::siblingHome(const QString& address) {
  const QUrl url = QUrl::fromUserInput(address);
  return url.scheme() == "http" && !address.startsWith("http:", Qt::CaseInsensitive)
             ? QUrl("https://" + address)
             : url;
}

void SidePane::goHome() { setUrl(home_); }

void SidePane::showEvent(QShowEvent* event) {
  QWebEngineView::showEvent(event);
  if (shown_) return;
  shown_ = true;
  goHome();
}

}  // namespace dtlui
