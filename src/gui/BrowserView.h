// The "Browse" pane: the inner browser in which a user logs in to a shared web-mail account.
//
// Every navigation is put to dtl::DecideNavigation before it starts (BrowserPage holds the
// gate; forms come over as FormSubmission and are sent from here). The view shows the rules'
// messages (title "Drovetail", in table order), purges the cookies the rules name from its own
// profile, re-posts a login whose password marker the policy decoded (the plain password only
// ever exists in that one request), forces the Walla inbox page, and keeps the saved Walla login
// for a re-login. After each load it hands the page's URL to the frame (pageLoaded), rewrites
// login pages (dtl::RewriteLoginPage) and refreshes the document's domain and cookie string,
// which enable "Auto Download Segments..." (dtl::AutoDownloadEnabled).
//
// Call order: construct, add to a layout; the first show opens the local home page and starts
// the keep-alive timer. Commands arrive through Run(id) with the frame's command ids. UI thread
// only.
#pragma once

#include <QList>
#include <QNetworkCookie>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <QVariantMap>
#include <QWidget>
#include <functional>

#include "browser/BrowserSites.h"
#include "browser/NavigationPolicy.h"
#include "browser/NetworkEndpoints.h"

class QWebEngineProfile;
class QWebEngineView;

namespace dtl {
class CookieJar;
class SettingsStore;
}  // namespace dtl

namespace dtlui {

class BrowserPage;
class MainWindow;
class SegmentManagerDialog;
class HtmlToolTip;
struct FormSubmission;

class BrowserView : public QWidget {
  Q_OBJECT
 public:
  // Persistent: the program's own named profile ("Drovetail"), cookies kept on disk under the
  // data folder. OffTheRecord: nothing written to disk (tests).
  enum class Profile { Persistent, OffTheRecord };

  // `settings`, `cookies` and `frame` must outlive the view (they go to the Segment Manager);
  // `endpoints` is copied; `frame` may be null.
  BrowserView(dtl::SettingsStore& settings, dtl::CookieJar& cookies, const dtl::NetworkEndpoints& endpoints,
               MainWindow* frame, Profile profile, QWidget* parent = nullptr);
  ~BrowserView() override;

  // Runs one of the view's commands (frame command ids: navigation, provider start pages,
  // Quick Help, Auto Download, Export account password, edit commands). False for other ids.
  bool Run(int id);
  // Navigates to an address as typed in the address box (through the navigation policy).
  void Navigate(const QString& address);
  // Where the program sends the browser itself (Walla hosts, product site). Tests aim them at a
  // fixture.
  void SetBrowserEndpoints(const dtl::BrowserEndpoints& endpoints) { browserEndpoints_ = endpoints; }
  const dtl::BrowserEndpoints& BrowserEndpoints() const { return browserEndpoints_; }

  // The start page of a provider command (Home, Forums and the provider ids); empty for others.
  QUrl StartPage(int id) const;
  // The local home page, "home.html" in the program folder.
  static QUrl HomePage();

  // Whether "Auto Download Segments..." applies to the page shown now.
  bool AutoDownloadAllowed() const { return autoDownload_; }
  const dtl::BrowserViewState& State() const { return state_; }
  QWebEngineView* WebView() const { return web_; }
  BrowserPage* Page() const { return page_; }
  QWebEngineProfile* WebProfile() const { return profile_; }
  // The Segment Manager of the last "Auto Download Segments..." while it exists.
  SegmentManagerDialog* SegmentManager() const;
  HtmlToolTip* QuickHelp() const { return help_; }

 public slots:
  // The download met the provider's login page (32791): post the saved Walla login again.
  void ReLogin();

 signals:
  // A page finished loading: its URL, for the address box (1043).
  void pageLoaded(const QString& url);
  void autoDownloadEnabledChanged(bool enabled);

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  bool Gate(const QUrl& url, int type, bool isMainFrame);
  void OnFormSubmitted(const FormSubmission& submission);
  // Decides a POST (or a GET form) and, when it may go, sends it; a decoded login goes through
  // the policy once more before it leaves.
  void SendPost(dtl::NavigationRequest request, int depth = 0);
  // Applies the parts of a decision that do not depend on how the navigation is sent.
  void Apply(dtl::NavigationDecision& decision);
  void PurgeCookies(const std::string& pattern);
  void OnLoadFinished(bool ok);
  // Evaluates a JavaScript expression on the current document and hands its object result to
  // `use`, unless the view is gone by then or the answer is not an object.
  void ReadDocument(const QString& expression, std::function<void(const QVariantMap&)> use);
  void RefreshDocument();
  void RewriteLoginPage();
  void OnKeepAlive();
  void AutoDownload();
  void ShowQuickHelp();

  dtl::SettingsStore& settings_;
  dtl::CookieJar& cookies_;
  dtl::NetworkEndpoints endpoints_;
  QPointer<MainWindow> frame_;
  dtl::BrowserEndpoints browserEndpoints_;
  QWebEngineProfile* profile_ = nullptr;
  BrowserPage* page_ = nullptr;
  QWebEngineView* web_ = nullptr;
  HtmlToolTip* help_ = nullptr;
  QPointer<SegmentManagerDialog> manager_;
  QTimer keepAlive_;
  QTimer documentRefresh_;
  dtl::BrowserViewState state_;
  QList<QNetworkCookie> profileCookies_;
  QString documentUrl_, documentDomain_;
  bool autoDownload_ = false;
  bool shown_ = false;
};

}  // namespace dtlui
