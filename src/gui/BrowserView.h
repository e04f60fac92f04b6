// The "Browse" pane: the inner browser in which a user logs in to a shared web-mail account.
//
// Every navigation is put to dtl::DecideNavigation before it starts (BrowserPage holds the
// gate; forms come over as FormSubmission and are sent from here). The view shows the rules'
// messages (title "Drovetail", in table order), purges the cookies the rules name from its own
// profile, re-posts a login whose password marker the policy decoded (the plain password only
// ever exists in that one request), forces the Walla inbox page, and keeps the saved Walla login
// for a re-login. After each load it hands the page's URL to the frame (pageLoaded), rewrites
// login pages (dtl::RewriteLoginPage) and refreshes the document's domain and cookie string;
// those, with the HttpOnly cookies the profile holds for the page, enable "Auto Download
// Segments..." (dtl::AutoDownloadEnabled), which hands the Segment Manager every cookie of the
// page's site.
//
// Call order: construct, add to a layout; the first show opens the local home page and starts
// the keep-alive timer. The frame connects its actions to the view's slots. UI thread only.
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
#include <vector>

#include "browser/BrowserSites.h"
#include "browser/CookieJar.h"
#include "browser/NavigationPolicy.h"
#include "browser/NetworkEndpoints.h"
#include "gui/SegmentManagerDialog.h"

class QWebEngineProfile;
class QWebEngineView;

namespace dtl {
class SettingsStore;
}  // namespace dtl

namespace dtlui {

class BrowserPage;
class HtmlToolTip;
struct FormSubmission;

class BrowserView : public QWidget {
  Q_OBJECT
 public:
  // Persistent: the program's own named profile ("Drovetail"), cookies kept on disk under the
  // data folder. OffTheRecord: nothing written to disk (tests).
  enum class Profile { Persistent, OffTheRecord };

  // The start pages the web-mail sites menu and the provider commands open.
  enum class StartSite {
    Home,
    Forums,
    Walla,
    Yahoo,
    Gmail,
    Lycos,
    Netscape,
    O2,
    Spymac,
    Hotmail,
    Gawab,
    Omnilect,
    UnitedEmail,
    Xasamail,
    Hriders,
    Rotomail
  };
  // Makes the Segment Manager of "Auto Download Segments..." for a session; the dialog is
  // owned by `parent`.
  using SegmentManagerFactory = std::function<SegmentManagerDialog*(
      const SegmentManagerDialog::Session& session, QWidget* parent)>;

  // `settings` and `cookies` must outlive the view (they go to the Segment Manager); `endpoints`
  // is copied.
  BrowserView(dtl::SettingsStore& settings, dtl::CookieJar& cookies,
              const dtl::NetworkEndpoints& endpoints, Profile profile, QWidget* parent = nullptr);
  ~BrowserView() override;

  // Replaces how the Segment Manager is made (the frame's makes one that minimises with it to
  // the tray); an empty function restores the default, which stands alone.
  void setSegmentManagerFactory(SegmentManagerFactory factory);
  // Where the program sends the browser itself (Walla hosts, product site). Tests aim them at a
  // fixture.
  void setBrowserEndpoints(const dtl::BrowserEndpoints& endpoints) {
    browserEndpoints_ = endpoints;
  }
  const dtl::BrowserEndpoints& browserEndpoints() const { return browserEndpoints_; }

  // The start page of a site of the web-mail sites menu or of a provider command.
  QUrl startPage(StartSite site) const;
  // The local home page, "home.html" in the program folder.
  static QUrl homePage();

  // Whether "Auto Download Segments..." applies to the page shown now.
  bool autoDownloadAllowed() const { return autoDownload_; }
  const dtl::BrowserViewState& state() const { return state_; }
  QWebEngineView* webView() const { return web_; }
  BrowserPage* page() const { return page_; }
  QWebEngineProfile* webProfile() const { return profile_; }
  // The Segment Manager of the last "Auto Download Segments..." while it exists.
  SegmentManagerDialog* segmentManager() const;
  HtmlToolTip* quickHelp() const { return help_; }

 public slots:
  // Navigates to an address as typed in the address box (through the navigation policy).
  void navigate(const QString& address);
  void openStartPage(StartSite site);
  // The page's own history and loading, and the edit commands passed to it.
  void back();
  void forward();
  void stop();
  void reload();
  void copy();
  void cut();
  void paste();
  // The Quick Help tip at the mouse pointer (nothing before the first show).
  void showQuickHelp();
  // Opens the Segment Manager on the page shown, or brings the open one forward.
  void autoDownload();
  // Runs the "Export account password" dialog modally.
  void exportPassword();
  // The download met the provider's login page (32791): post the saved Walla login again.
  void reLogin();

 signals:
  // A page finished loading: its URL, for the address box (1043).
  void pageLoaded(const QString& url);
  void autoDownloadEnabledChanged(bool enabled);
  // A form the navigation rules refused without a word of their own: a short note for the
  // status bar, never a message box.
  void formRefused(const QString& note);
  // The Quick Help's link was clicked: the program's help should show `page` ("desktop.md").
  void helpRequested(const QString& page);

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  bool gate(const QUrl& url, int type, bool isMainFrame);
  void submitForm(const FormSubmission& submission);
  // Decides a POST (or a GET form) and, when it may go, sends it; a decoded login goes through
  // the policy once more before it leaves. With a `frameToken` the sub-frame whose form it is
  // sends it, so it loads in that frame (or the one its target names).
  // Returns false when the rules refused the post without saying why (no message shown).
  bool sendPost(dtl::NavigationRequest request, int depth = 0, const QString& frameToken = {});
  // Tells the user (formRefused) that a form went nowhere when the rules said nothing.
  void noteRefusedForm();
  // Applies the parts of a decision that do not depend on how the navigation is sent.
  void apply(dtl::NavigationDecision& decision);
  void purgeCookies(const std::string& pattern);
  void finishLoad(bool ok);
  // The cookie string the profile sends with a request for `url` (HttpOnly cookies included,
  // expired ones left out), "name=value; ..." with longer paths first.
  QString cookieStringFor(const QUrl& url) const;
  // Every live cookie the profile holds for the site of `url` (its registrable domain), for the
  // Segment Manager's fetcher.
  std::vector<dtl::CookieJar::Cookie> siteCookies(const QUrl& url) const;
  // Evaluates a JavaScript expression on the current document and hands its object result to
  // `use`, unless the view is gone by then or the answer is not an object.
  void readDocument(const QString& expression, std::function<void(const QVariantMap&)> use);
  void refreshDocument();
  void rewriteLoginPage();
  void keepAlive();

  dtl::SettingsStore& settings_;
  dtl::CookieJar& cookies_;
  dtl::NetworkEndpoints endpoints_;
  SegmentManagerFactory makeSegmentManager_;
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
