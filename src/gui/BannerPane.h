// The banner strip above the tabs: a 60-pixel-high HTML view of the local banner page
// "verb1.html". On first show it loads the local page and starts a 420000 ms timer; each tick
// reloads the page, or brings the strip back to it when it was navigated elsewhere. After every
// completed load the pane's JobRunner fetches the product site's current "/verb1.html" through a
// dtl::PageFetcher and replaces the local page with it when it carries "<!-- dtl -->"
// (dtl::RefreshBannerPage); the strip shows it from the next tick on. Links the user follows
// open in the desktop's web browser (dtlui::OpenExternal), except the strip's "How does it
// work?" ("drovetail-help:desktop.md"), which asks for the program's help (helpRequested);
// web-mail sites are refused silently (PanePage).
//
// In the main frame (MainWindow::BuildPanes), in place of the "banner" label:
//     auto* banner = new BannerPane(BannerPane::DefaultSetup(dtl::BrowserEndpoints{}, jar),
//     central); layout->addWidget(banner);
// where `jar` is the program's shared dtl::CookieJar (a std::shared_ptr; null lets the pane use
// a jar of its own, which is enough: the banner fetch carries no cookie).
//
// Threads: UI thread only. One refresh runs at a time (a load that completes while one is still
// running starts none). A refresh never touches the pane: it writes the file, and the pane emits
// refreshFinished once the job is over. Destroying the pane waits for a running refresh (the
// fetch cannot be interrupted: up to the fetcher's time-outs).
#pragma once

#include <QString>
#include <QTimer>
#include <QUrl>
#include <QWebEngineView>
#include <memory>
#include <string>

#include "browser/NetworkEndpoints.h"
#include "gui/JobRunner.h"

namespace dtl {
class CookieJar;
struct BrowserEndpoints;
}  // namespace dtl

namespace dtlui {

class BannerPane : public QWebEngineView {
  Q_OBJECT
 public:
  static constexpr int kTimerMs = 420000;
  static constexpr int kHeight = 60;

  struct Setup {
    QString localPage;       // the page shown and replaced by the refresh (".../verb1.html")
    QString installedPage;   // shown while localPage does not exist yet; may be empty
    std::string refreshUrl;  // the product site's banner page
    dtl::NetworkEndpoints network;
    std::shared_ptr<dtl::CookieJar> jar;  // null: the pane makes one of its own
  };
  // The program's setup: localPage in dtl::DataFolder(), the installed copy from
  // ResourcePath("verb1.html"), refreshUrl = sites.productSite + "/verb1.html".
  static Setup DefaultSetup(const dtl::BrowserEndpoints& sites,
                            std::shared_ptr<dtl::CookieJar> jar = {});

  explicit BannerPane(Setup setup, QWidget* parent = nullptr);
  ~BannerPane() override;

  // The address of the page the strip should show now: the local page, or the installed copy
  // while there is no local page.
  QUrl LocalPageUrl() const;
  QTimer* Timer() { return &timer_; }
  // One timer tick: reload when the strip shows a "verb1.html" page, otherwise load the local
  // page again.
  void timerTick();
  // Starts a background refresh unless one is running; false when none was started.
  bool StartRefresh();
  // True from StartRefresh() until refreshFinished().
  bool Refreshing() const { return runner_.isRunning(); }

 signals:
  // A refresh ended; `result` is a dtl::BannerRefresh value cast to int.
  void refreshFinished(int result);
  // The strip's "How does it work?" link (a "drovetail-help:PAGE" link) was followed: the
  // program's help should show `page`.
  void helpRequested(const QString& page);

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  Setup setup_;
  QTimer timer_;
  bool shown_ = false;
  int lastResult_ = 0;
  JobRunner runner_;  // last: the refresh ends before the members it uses
};

}  // namespace dtlui
