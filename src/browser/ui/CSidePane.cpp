#include "browser/ui/CSidePane.h"

#include <QShowEvent>

#include "app/ui/CMainFrame.h"
#include "app/ui/UiSupport.h"
#include "browser/ui/CPanePage.h"

namespace dtlui {

CSidePane::CSidePane(QUrl home, QWidget* parent) : QWebEngineView(parent), home_(std::move(home)) {
  setPage(new CPanePage(CPanePage::Links::InPane, this));
}

QUrl CSidePane::CommunityHome() { return QUrl::fromLocalFile(ResourcePath("Community.html")); }

QUrl CSidePane::SiblingHome(const QString& address) {
  const QUrl url = QUrl::fromUserInput(address);
  return url.scheme() == "http" && !address.startsWith("http:", Qt::CaseInsensitive)
             ? QUrl("https://" + address)
             : url;
}

void CSidePane::GoHome() { setUrl(home_); }

void CSidePane::showEvent(QShowEvent* event) {
  QWebEngineView::showEvent(event);
  if (shown_) return;
  shown_ = true;
  GoHome();
}

bool CSidePane::Run(int id) {
  switch (id) {
    case ID_BROWSER_BACK: back(); return true;
    case ID_BROWSER_FORWARD: forward(); return true;
    case ID_BROWSER_STOP: stop(); return true;
    case ID_BROWSER_REFRESH: reload(); return true;
    case ID_BROWSER_HOME: GoHome(); return true;
    default: return false;
  }
}

}  // namespace dtlui
