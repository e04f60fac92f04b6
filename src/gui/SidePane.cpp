#include "gui/SidePane.h"

#include <QShowEvent>

#include "gui/PanePage.h"
#include "gui/UiSupport.h"

namespace dtlui {

SidePane::SidePane(QUrl home, QWidget* parent) : QWebEngineView(parent), home_(std::move(home)) {
  setPage(new PanePage(PanePage::Links::InPane, this));
}

QUrl SidePane::communityHome() { return QUrl::fromLocalFile(ResourcePath("Community.html")); }

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
