#include "gui/PanePage.h"

#include <QWebEngineNewWindowRequest>
#include <QWebEngineSettings>

#include "browser/MailSiteFilter.h"
#include "gui/UiSupport.h"

namespace dtlui {
namespace {

// Both the encoded and the decoded spelling are checked, so a percent-escaped name of a mail
// site cannot slip past the fragment list.
bool Refused(const QUrl& url) {
  const QByteArray encoded = url.toEncoded();
  return dtl::PaneRefusesNavigation(encoded.toStdString()) ||
         dtl::PaneRefusesNavigation(QByteArray::fromPercentEncoding(encoded).toStdString());
}

constexpr const char* kHelpScheme = "drovetail-help";

}  // namespace

PanePage::PanePage(Links links, QObject* parent) : QWebEnginePage(parent), links_(links) {
  // The panes show the product's local pages (banner, community page), which draw pictures and
  // frames from the product's web site; Chromium would keep a file: page from reaching them.
  // The banner page is downloaded, though, so no local page may read other local files: with
  // remote access on, a forged banner could otherwise send the settings file (passwords) away.
  settings()->setAttribute(QWebEngineSettings::LocalContentCanAccessRemoteUrls, true);
  settings()->setAttribute(QWebEngineSettings::LocalContentCanAccessFileUrls, false);
  // A target="_blank" link or window.open() would bypass acceptNavigationRequest of this page
  // if a new page were made for it; the pane has no second window, so the address is handled
  // here and the request itself is left unanswered (its load fails quietly).
  connect(this, &QWebEnginePage::newWindowRequested, this,
          [this](QWebEngineNewWindowRequest& request) {
            const QUrl url = request.requestedUrl();
            if (url.scheme() == kHelpScheme) {
              emit helpRequested(url.path());
              return;
            }
            // Loaded by the program, the address would pass where Chromium keeps a web page
            // from opening it (file:, and the like): web addresses only.
            if (Refused(url) || !IsWebAddress(url)) return;
            if (links_ == Links::OpenOutside)
              OpenExternal(url);
            else
              setUrl(url);
          });
}

bool PanePage::acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) {
  if (Refused(url)) return false;
  if (url.scheme() == kHelpScheme) {
    // Only a link the user follows: a page must not open windows by itself.
    if (type == NavigationTypeLinkClicked) emit helpRequested(url.path());
    return false;
  }
  if (links_ == Links::OpenOutside && type == NavigationTypeLinkClicked) {
    OpenExternal(url);
    return false;
  }
  return true;
}

}  // namespace dtlui
