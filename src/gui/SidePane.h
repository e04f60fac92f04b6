// The community pane ("Support" tab) and the sibling-product pane: HTML views of the product's
// own pages whose page refuses every web-mail site silently, in every frame (PanePage), so a
// mailbox is only ever opened in the inner browser. Links open in the pane itself.
//
// On first show the pane loads its home address. Run() takes the navigation tool bar's
// commands while the pane is the active tab: back (32786), forward (32787), stop (32788),
// refresh (32789) and home (32790).
//
// In the main frame (MainWindow::BuildPanes), in place of the two placeholders:
//     tabs_->addTab(new SidePane(SidePane::CommunityHome(), tabs_), ResourceIcon("tab-support"), "Support");
//     tabs_->addTab(new SidePane(SidePane::SiblingHome(kSiblingUrl), tabs_), ResourceIcon("tab-sibling"),
//                   kSiblingUrl);
// and route the navigation tool bar's commands to the active tab's SidePane::Run(id).
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
  static QUrl CommunityHome();
  // The sibling product's web site from its address as the tab shows it ("www.example.org"
  // gets "https://"; an address with a scheme is kept).
  static QUrl SiblingHome(const QString& address);

  QUrl Home() const { return home_; }
  // Loads the home address.
  void GoHome();
  // Runs a navigation command id; false for ids the pane does not take.
  bool Run(int id);

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  QUrl home_;
  bool shown_ = false;
};

}  // namespace dtlui
