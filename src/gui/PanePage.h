// The web page behind the product's own HTML panes (banner strip, community page, sibling
// product page). It refuses, silently and in every frame, each navigation to a web-mail site
// (dtl::PaneRefusesNavigation), so a mailbox is only ever opened in the inner browser where the
// navigation policy runs. Redirects and links that ask for a new window pass the same check.
//
// Links::InPane: a followed link opens in the pane itself, a new-window link too when it is an
// http or https address (the pane loads it itself, past Chromium's block on pages opening local
// files, so nothing else is followed).
// Links::OpenOutside: a link the user follows (and a new-window link) opens in the desktop's
// web browser through dtlui::OpenExternal instead (http and https only); the pane keeps its
// page. Navigations the
// pane starts itself (load, reload) and script or redirect navigations stay in the pane.
//
// A link to "drovetail-help:PAGE" (PAGE a help page such as "desktop.md") is the program's own:
// it is never loaded, the page emits helpRequested(PAGE) instead.
//
// A local page may draw from web addresses but never read another local file: the banner page
// is downloaded, and must not be able to read the settings (passwords) and send them away.
//
// UI thread only.
#pragma once

#include <QWebEnginePage>

namespace dtlui {

class PanePage : public QWebEnginePage {
  Q_OBJECT
 public:
  enum class Links { InPane, OpenOutside };
  explicit PanePage(Links links, QObject* parent = nullptr);

 signals:
  // A "drovetail-help:" link was followed: the program's help should show `page`.
  void helpRequested(const QString& page);

 protected:
  bool acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) override;

 private:
  Links links_;
};

}  // namespace dtlui
