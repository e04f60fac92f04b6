#include "gui/BrowserView.h"

#include <algorithm>

#include <QCursor>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>
#include <QShowEvent>
#include <QVBoxLayout>
#include <QVariantMap>
#include <QWebEngineCookieStore>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineView>

#include "browser/AccountPassword.h"
#include "browser/CookieJar.h"
#include "browser/LoginPageRewriter.h"
#include "gui/BrowserPage.h"
#include "gui/ExportPasswordDialog.h"
#include "gui/SegmentManagerDialog.h"
#include "gui/UiSupport.h"
#include "gui/widgets/HtmlToolTip.h"

namespace dtlui {

namespace {

constexpr const char* kFormContentType = "Content-Type: application/x-www-form-urlencoded\r\n";
// A decoded login goes through the policy once more; a password that decodes to yet another
// marker must not make the view post forever.
constexpr int kMaxReposts = 2;

// Overwrites a buffer that held a request body before it is freed. Called when this is the
// buffer's only owner, so no shared copy is left behind.
void WipeBytes(QByteArray& bytes) {
  if (bytes.isEmpty()) return;
  volatile char* p = bytes.data();
  for (qsizetype i = 0; i < bytes.size(); ++i) p[i] = 0;
  bytes.clear();
}

QString JsString(const QString& text) {
  const QByteArray json = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
  return QString::fromUtf8(json.mid(1, json.size() - 2));
}

// The word a purge pattern such as "*walla*.*" names: the text between its first two stars.
QString PurgeWord(const std::string& pattern) {
  const QString p = Q(pattern);
  const QStringList parts = p.split('*', Qt::SkipEmptyParts);
  return parts.isEmpty() ? QString() : parts.first().toLower();
}

// A navigation the policy asked for, as a request to judge; the secret body moves over and
// the navigation's copy is wiped.
dtl::NavigationRequest TakeRequest(dtl::BrowserNavigation& navigation) {
  dtl::NavigationRequest request;
  request.url = navigation.url;
  request.flags = navigation.flags;
  request.targetFrame = navigation.targetFrame;
  request.headers = navigation.headers;
  request.postData.reserve(navigation.body.Size());
  request.postData.append(navigation.body.View());
  navigation.body.Clear();
  return request;
}

bool Expired(const QNetworkCookie& c, const QDateTime& now) {
  return !c.isSessionCookie() && c.expirationDate() <= now;
}

// Whether the browser would send `c` with a request for `url` (RFC 6265 5.4, less the
// SameSite attribute, which a crawl of the page's own site never meets).
bool SentTo(const QNetworkCookie& c, const QUrl& url) {
  const QString host = url.host().toLower();
  const QString domain = c.domain().toLower();
  const bool domainMatch =
      domain.startsWith('.') ? host == domain.mid(1) || host.endsWith(domain) : host == domain;
  if (!domainMatch) return false;
  if (c.isSecure() && url.scheme() != "https") return false;
  const QString cookiePath = c.path().isEmpty() ? QString("/") : c.path();
  const QString path = url.path().isEmpty() ? QString("/") : url.path();
  return path == cookiePath || (path.startsWith(cookiePath) &&
                                (cookiePath.endsWith('/') || path.at(cookiePath.size()) == '/'));
}

// The document cookie string with the pairs the profile adds to it; the profile's value wins
// for a name both hold (the store reports a cookie the page has just set a moment after the
// document shows it, so each may know one the other does not yet).
QString JoinCookieStrings(const QString& profile, const QString& document) {
  QStringList pairs = profile.isEmpty() ? QStringList() : profile.split("; ");
  QSet<QString> names;
  for (const QString& p : std::as_const(pairs)) names.insert(p.section('=', 0, 0).trimmed());
  for (const QString& p : document.split(';', Qt::SkipEmptyParts)) {
    const QString pair = p.trimmed();
    if (!pair.isEmpty() && !names.contains(pair.section('=', 0, 0).trimmed())) pairs << pair;
  }
  return pairs.join("; ");
}

}  // namespace

BrowserView::BrowserView(dtl::SettingsStore& settings, dtl::CookieJar& cookies,
                         const dtl::NetworkEndpoints& endpoints, Profile profile, QWidget* parent)
    : QWidget(parent), settings_(settings), cookies_(cookies), endpoints_(endpoints) {
  setSegmentManagerFactory({});
  profile_ = profile == Profile::Persistent ? new QWebEngineProfile("Drovetail", this)
                                            : new QWebEngineProfile(this);
  if (profile == Profile::Persistent)
    profile_->setPersistentCookiesPolicy(QWebEngineProfile::AllowPersistentCookies);
  page_ = new BrowserPage(profile_, this);
  page_->setGate([this](const QUrl& url, QWebEnginePage::NavigationType type, bool isMainFrame) {
    return gate(url, type, isMainFrame);
  });
  connect(page_, &BrowserPage::formSubmitted, this, &BrowserView::submitForm);
  connect(page_, &QWebEnginePage::loadFinished, this, &BrowserView::finishLoad);
  web_ = new QWebEngineView(this);
  web_->setPage(page_);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(web_);

  // The purge needs to know which cookies the profile holds: the store only reports them.
  QWebEngineCookieStore* store = profile_->cookieStore();
  connect(store, &QWebEngineCookieStore::cookieAdded, this, [this](const QNetworkCookie& c) {
    profileCookies_.removeIf([&](const QNetworkCookie& k) { return k.hasSameIdentifier(c); });
    profileCookies_.append(c);
    documentRefresh_.start();
  });
  connect(store, &QWebEngineCookieStore::cookieRemoved, this, [this](const QNetworkCookie& c) {
    profileCookies_.removeIf([&](const QNetworkCookie& k) { return k.hasSameIdentifier(c); });
    documentRefresh_.start();
  });
  store->loadAllCookies();

  // A burst of cookie changes reads the document once.
  documentRefresh_.setSingleShot(true);
  documentRefresh_.setInterval(0);
  connect(&documentRefresh_, &QTimer::timeout, this, &BrowserView::refreshDocument);
  keepAlive_.setInterval(static_cast<int>(dtl::kKeepAliveIntervalMs));
  connect(&keepAlive_, &QTimer::timeout, this, &BrowserView::keepAlive);
}

BrowserView::~BrowserView() {
  // The profile is a child and goes after the members; its cookie store reports the cookies it
  // drops then, which must no longer reach this half-destroyed view.
  disconnect(profile_->cookieStore(), nullptr, this, nullptr);
  if (manager_) delete manager_.data();
  // The page must go before its profile.
  web_->setPage(nullptr);
  delete page_;
  page_ = nullptr;
}

SegmentManagerDialog* BrowserView::segmentManager() const { return manager_.data(); }

QUrl BrowserView::homePage() { return QUrl::fromLocalFile(ResourcePath("home.html")); }

void BrowserView::setSegmentManagerFactory(SegmentManagerFactory factory) {
  if (!factory) {
    factory = [this](const SegmentManagerDialog::Session& session, QWidget* parent) {
      return new SegmentManagerDialog(settings_, cookies_, endpoints_, session, {}, parent);
    };
  }
  makeSegmentManager_ = std::move(factory);
}

QUrl BrowserView::startPage(StartSite site) const {
  using namespace dtl::site;
  const auto https = [](std::string_view host, const char* rest = "/") {
    return QUrl("https://" + Q(host) + rest);
  };
  switch (site) {
    case StartSite::Home: return homePage();
    case StartSite::Forums: return QUrl(Q(browserEndpoints_.productSite) + "/forums/");
    case StartSite::Gmail: return https(kGmailWeb, "/mail/");
    case StartSite::Walla: return QUrl(Q(browserEndpoints_.wallaMail) + "/");
    case StartSite::Yahoo: return QUrl("https://" + Q(kYahooMail) + "com/");
    case StartSite::Hotmail: return QUrl("https://www.hotmail.com/");
    case StartSite::Lycos: return QUrl("https://mail.lycos.com/");
    case StartSite::Netscape:
      return https(kAolScreenName, "/_cqr/login/login.psp?siteId=nscpenusmail&authLev=2");
    case StartSite::O2: return QUrl("https://poczta." + Q(kO2) + "/");
    case StartSite::Spymac: return QUrl("http://mail." + Q(kSpymacMail) + "com/");
    case StartSite::Gawab: return QUrl("http://www." + Q(kGawab) + "com/");
    case StartSite::Omnilect: return QUrl("http://mail." + Q(kOmnilect) + "com/");
    case StartSite::UnitedEmail: return QUrl("http://mail." + Q(kUnitedEmail) + "com/");
    case StartSite::Xasamail: return QUrl("http://www." + Q(kXasamail) + "com/");
    case StartSite::Hriders: return QUrl("http://mail." + Q(kHriders) + "com:8383/login.cgi?_");
    case StartSite::Rotomail: return QUrl("http://www.rotomail.com/");
  }
  return {};
}

void BrowserView::openStartPage(StartSite site) { page_->load(startPage(site)); }

void BrowserView::back() { page_->triggerAction(QWebEnginePage::Back); }
void BrowserView::forward() { page_->triggerAction(QWebEnginePage::Forward); }
void BrowserView::stop() { page_->triggerAction(QWebEnginePage::Stop); }
void BrowserView::reload() { page_->triggerAction(QWebEnginePage::Reload); }
void BrowserView::copy() { page_->triggerAction(QWebEnginePage::Copy); }
void BrowserView::cut() { page_->triggerAction(QWebEnginePage::Cut); }
void BrowserView::paste() { page_->triggerAction(QWebEnginePage::Paste); }

void BrowserView::exportPassword() {
  ExportPasswordDialog dlg(this);
  dlg.exec();
}

void BrowserView::navigate(const QString& address) {
  const QUrl url = QUrl::fromUserInput(address.trimmed());
  if (url.isValid()) page_->load(url);
}

bool BrowserView::gate(const QUrl& url, int, bool) {
  dtl::NavigationRequest request;
  request.url = S(url.toString(QUrl::FullyEncoded));
  dtl::NavigationDecision decision = dtl::DecideNavigation(request, state_, browserEndpoints_);
  apply(decision);
  return !decision.cancel;
}

void BrowserView::submitForm(const FormSubmission& submission) {
  const QUrl action(submission.url);
  if (!action.isValid()) return;
  if (submission.method == "get") {
    QUrl url = action;
    url.setQuery(submission.body, QUrl::StrictMode);
    dtl::NavigationRequest request;
    request.url = S(url.toString(QUrl::FullyEncoded));
    dtl::NavigationDecision decision = dtl::DecideNavigation(request, state_, browserEndpoints_);
    apply(decision);
    if (decision.cancel) {
      if (decision.messages.empty()) noteRefusedForm();
      return;
    }
    if (submission.frameToken.isEmpty())
      page_->loadApproved(url);
    else
      page_->submitInFrame(submission.frameToken, action, "get", submission.body,
                           submission.target);
    return;
  }
  if (submission.method != "post") return;  // "dialog" forms never leave the page
  dtl::NavigationRequest request;
  request.url = S(action.toString(QUrl::FullyEncoded));
  request.targetFrame = S(submission.target);
  request.postData = S(submission.body);
  request.headers = kFormContentType;
  // The view sends every form itself as urlencoded; a multipart or plain-text form cannot be
  // re-sent as the page meant it, so it is not sent at all.
  const bool urlencoded =
      submission.enctype.isEmpty() || submission.enctype == "application/x-www-form-urlencoded";
  if (!urlencoded) {
    dtl::NavigationDecision decision = dtl::DecideNavigation(request, state_, browserEndpoints_);
    apply(decision);
    dtl::WipeString(request.postData);
    if (decision.messages.empty()) noteRefusedForm();
    return;
  }
  if (!sendPost(std::move(request), 0, submission.frameToken)) noteRefusedForm();
}

void BrowserView::noteRefusedForm() {
  // A click that changes nothing looks like a broken page; a box would be too loud for a rule
  // that holds on every other site.
  emit formRefused(tr("Forms are sent only to mail sites here"));
}

bool BrowserView::sendPost(dtl::NavigationRequest request, int depth, const QString& frameToken) {
  dtl::NavigationDecision decision = dtl::DecideNavigation(request, state_, browserEndpoints_);
  apply(decision);
  if (decision.repost) {
    dtl::WipeString(request.postData);
    if (depth >= kMaxReposts) return true;
    // The decoded login is a new navigation: the provider rules judge its body too.
    return sendPost(TakeRequest(*decision.repost), depth + 1, frameToken);
  }
  const bool refusedSilently = decision.cancel && decision.messages.empty();
  if (!decision.cancel) {
    QByteArray body(request.postData.data(), static_cast<qsizetype>(request.postData.size()));
    if (frameToken.isEmpty()) {
      page_->loadApproved(QUrl(Q(request.url)), &body, Q(request.headers));
    } else {
      // A sub-frame's form loads in its frame: the frame itself submits what was approved.
      page_->submitInFrame(frameToken, QUrl(Q(request.url)), "post", QString::fromUtf8(body),
                           Q(request.targetFrame));
    }
    WipeBytes(body);
  }
  dtl::WipeString(request.postData);
  return !refusedSilently;
}

void BrowserView::apply(dtl::NavigationDecision& decision) {
  state_.wallaFlag = decision.wallaFlag;
  state_.inboxRedirectFlag = decision.inboxRedirectFlag;
  if (decision.newSavedWallaLogin) state_.savedWallaLogin = std::move(*decision.newSavedWallaLogin);
  for (const std::string& pattern : decision.cookiePurges) purgeCookies(pattern);
  // Navigations and message boxes wait until Chromium's callback has returned: a modal loop or
  // a new load inside it would re-enter the page.
  if (decision.inboxRedirect) {
    const QUrl target(Q(*decision.inboxRedirect));
    QMetaObject::invokeMethod(
        this, [this, target] { page_->load(target); }, Qt::QueuedConnection);
  }
  if (!decision.messages.empty()) {
    QList<QPair<MsgIcon, QString>> messages;
    for (const dtl::PolicyMessage& m : decision.messages)
      messages.append(
          {m.icon == dtl::MessageIcon::Error ? MsgIcon::Error : MsgIcon::Information, Q(m.text)});
    QMetaObject::invokeMethod(
        this,
        [this, messages] {
          for (const auto& [icon, text] : messages) ShowMessage(this, icon, text);
        },
        Qt::QueuedConnection);
  }
}

// The purge removes what the provider keeps on disk to log a user in again later ("remember
// me"): the persistent cookies. The session cookies of the login now open stay, or every
// navigation to the provider would end the session it belongs to.
void BrowserView::purgeCookies(const std::string& pattern) {
  const QString word = PurgeWord(pattern);
  if (word.isEmpty()) return;
  QWebEngineCookieStore* store = profile_->cookieStore();
  for (const QNetworkCookie& c : std::as_const(profileCookies_))
    if (!c.isSessionCookie() && c.domain().toLower().contains(word)) store->deleteCookie(c);
}

QString BrowserView::cookieStringFor(const QUrl& url) const {
  const QDateTime now = QDateTime::currentDateTimeUtc();
  QList<QNetworkCookie> sent;
  for (const QNetworkCookie& c : profileCookies_)
    if (!Expired(c, now) && SentTo(c, url)) sent.append(c);
  // Longer paths first, as a browser orders its Cookie header.
  std::stable_sort(sent.begin(), sent.end(), [](const QNetworkCookie& a, const QNetworkCookie& b) {
    return a.path().size() > b.path().size();
  });
  QStringList pairs;
  for (const QNetworkCookie& c : std::as_const(sent))
    pairs << QString::fromUtf8(c.name() + '=' + c.value());
  return pairs.join("; ");
}

std::vector<dtl::CookieJar::Cookie> BrowserView::siteCookies(const QUrl& url) const {
  std::vector<dtl::CookieJar::Cookie> out;
  const QString host = url.host();
  if (host.isEmpty()) return out;
  const QDateTime now = QDateTime::currentDateTimeUtc();
  for (const QNetworkCookie& c : profileCookies_) {
    if (Expired(c, now) || !dtl::CookieJar::SameSite(S(host), S(c.domain()))) continue;
    dtl::CookieJar::Cookie k;
    k.name = c.name().toStdString();
    k.value = c.value().toStdString();
    // Chromium marks a cookie for the subdomains too with a leading dot on its domain.
    k.hostOnly = !c.domain().startsWith('.');
    k.domain = S(c.domain());
    k.path = c.path().isEmpty() ? std::string("/") : S(c.path());
    k.secure = c.isSecure();
    k.httpOnly = c.isHttpOnly();
    k.expires = c.isSessionCookie() ? 0 : c.expirationDate().toSecsSinceEpoch();
    out.push_back(std::move(k));
  }
  return out;
}

void BrowserView::finishLoad(bool) {
  const QUrl url = page_->url();
  if (!url.isEmpty()) emit pageLoaded(url.toString());
  refreshDocument();
  rewriteLoginPage();
}

void BrowserView::readDocument(const QString& expression,
                               std::function<void(const QVariantMap&)> use) {
  QPointer<BrowserView> self(this);
  page_->runJavaScript(expression, QWebEngineScript::ApplicationWorld,
                       [self, use = std::move(use)](const QVariant& result) {
                         const QVariantMap m = result.toMap();
                         if (self && !m.isEmpty()) use(m);
                       });
}

void BrowserView::refreshDocument() {
  readDocument("({url: document.URL, domain: document.domain, cookie: document.cookie})",
               [this](const QVariantMap& m) {
                 // A document between two pages (about:blank, an error page) holds none of the
                 // site's cookies: reading it would forget the session's and force the Walla
                 // inbox again on the next navigation.
                 const QString scheme = QUrl(m.value("url").toString()).scheme();
                 if (scheme.isEmpty() || scheme == "about" || scheme == "chrome-error") return;
                 documentUrl_ = m.value("url").toString();
                 documentDomain_ = m.value("domain").toString();
                 state_.documentCookie = S(m.value("cookie").toString());
                 // A session held in HttpOnly cookies is a session too, though the document
                 // never shows it.
                 const QString sent = JoinCookieStrings(cookieStringFor(QUrl(documentUrl_)),
                                                        m.value("cookie").toString());
                 const bool enabled =
                     dtl::AutoDownloadEnabled(S(documentDomain_), S(documentUrl_), S(sent));
                 if (enabled != autoDownload_) {
                   autoDownload_ = enabled;
                   emit autoDownloadEnabledChanged(enabled);
                 }
               });
}

void BrowserView::rewriteLoginPage() {
  readDocument("({url: document.URL, html: document.body ? document.body.innerHTML : null})",
               [this](const QVariantMap& m) {
                 const QVariant html = m.value("html");
                 if (!html.isValid() || html.isNull()) return;
                 const std::optional<std::string> rewritten =
                     dtl::RewriteLoginPage(S(m.value("url").toString()), S(html.toString()));
                 if (!rewritten) return;
                 page_->runJavaScript("if (document.body) document.body.innerHTML = " +
                                          JsString(Q(*rewritten)) + ";",
                                      QWebEngineScript::ApplicationWorld);
               });
}

void BrowserView::reLogin() {
  dtl::WallaRelogin relogin = dtl::DecideWallaRelogin(state_.savedWallaLogin, browserEndpoints_);
  if (relogin.message)
    ShowMessage(
        this,
        relogin.message->icon == dtl::MessageIcon::Error ? MsgIcon::Error : MsgIcon::Information,
        Q(relogin.message->text));
  if (relogin.clearInboxRedirectFlag) state_.inboxRedirectFlag = false;
  if (!relogin.repost) return;
  // The saved body still holds the encoded marker: the policy decodes it again.
  sendPost(TakeRequest(*relogin.repost));
}

void BrowserView::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (shown_) return;
  shown_ = true;
  help_ = new HtmlToolTip(this);
  connect(help_, &HtmlToolTip::linkActivated, this, [this] { emit helpRequested("desktop.md"); });
  page_->load(homePage());
  keepAlive_.start();
}

void BrowserView::keepAlive() {
  if (dtl::KeepAliveShouldRefresh(S(page_->url().toString().toLower())))
    page_->triggerAction(QWebEnginePage::Reload);
}

void BrowserView::showQuickHelp() {
  if (!help_) return;  // set up by the first show
  help_->setContent(tr("Drovetail Quick Help"), Q(dtl::QuickHelpHtml()),
                    tr("Click here for more help..."));
  help_->showAt(QCursor::pos());
}

void BrowserView::autoDownload() {
  if (manager_) {
    if (manager_->isVisible()) {
      manager_->showNormal();
      manager_->raise();
      manager_->activateWindow();
      return;
    }
    delete manager_.data();
  }
  if (page_->url().isEmpty()) return;  // no document
  readDocument(
      "({url: document.URL, cookie: document.cookie,"
      " html: document.URL.toLowerCase().indexOf('xasamail') >= 0 && document.body ? "
      "document.body.innerHTML : ''})",
      [this](const QVariantMap& m) {
        if (manager_) return;  // asked twice before the first answer
        SegmentManagerDialog::Session session;
        session.pageUrl = m.value("url").toString();
        const QUrl page(session.pageUrl);
        session.cookie = JoinCookieStrings(cookieStringFor(page), m.value("cookie").toString());
        session.cookies = siteCookies(page);
        if (const auto account = dtl::XasamailAccountId(S(m.value("html").toString())))
          session.accountId = Q(*account);
        SegmentManagerDialog* dlg = makeSegmentManager_(session, this);
        connect(dlg, &SegmentManagerDialog::reLoginRequested, this, &BrowserView::reLogin);
        manager_ = dlg;
        dlg->show();
        if (session.pageUrl.toLower().contains("gmail")) page_->load(homePage());
      });
}

}  // namespace dtlui
