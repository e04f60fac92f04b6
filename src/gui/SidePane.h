// The community pane ("Support" tab) and the sibling-product pane: HTML views of the product's
// own pages whose page refuses every web-mail site silently, in every frame (PanePage), so a
// mailbox is only ever opened in the inner browser. Links open in the pane itself.
//
// On first show the pane loads its home address (or, when that fails, its fallback page). While the
// pane is the active tab the frame sends it the navigation tool bar's commands: QWebEngineView's
// back(), forward(), stop() and reload(), and goHome().
//
// UI thread only.
#pragma once

#include <QUrl>
#include <QWebEngineView>

namespace dtlui {

class SidePane : public QWebEngineView {
  Q_OBJECT
 public:
  explicit SidePane(QUrl home, QWidget* parent = nullptr);

  // The local community page: "Community.html" in the program folder (ResourcePath).
  static QUrl communityHome();
  // The local page the sibling-product tab shows while no sibling site is configured, or when
  // the configured one cannot be reached: "sibling.html" (ResourcePath).
  static QUrl siblingLocalPage();
  // The sibling product's web site from its address as the tab shows it ("www.example.org"
  // gets "https://"; an address with a scheme is kept).
  static QUrl siblingHome(const QString& address);

  QUrl home() const { return home_; }
  // When loading the home address fails, the pane shows `local` instead; the browser's error
  // page is never shown in this pane from then on.
  void setFallback(QUrl local);
  QUrl fallback() const { return fallback_; }

 public slots:
  // Loads the home address.
  void goHome();

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  QUrl home_;
  QUrl fallback_;
  bool shown_ = false;
};

}  // namespace dtlui
