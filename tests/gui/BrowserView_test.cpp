// The inner browser end to end: Qt WebEngine (offscreen) talks through a proxy to the provider
// fixture, which stands in for every web-mail host. What the fixture receives is what left the
// machine, so each case checks the fixture's request and POST logs.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QNetworkCookie>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <QWebEngineCookieStore>
#include <QWebEngineProfile>
#include <QWebEngineSettings>
#include <cstdio>
#include <numeric>

#include "browser/AccountPassword.h"
#include "gui/Application.h"
#include "gui/BrowserPage.h"
#include "gui/BrowserView.h"
#include "gui/DownloadDialog.h"
#include "gui/ExportPasswordDialog.h"
#include "gui/HistoryCombo.h"
#include "gui/MainWindow.h"
#include "gui/SegmentManagerDialog.h"
#include "gui/UiTestSupport.h"
#include "gui/widgets/HtmlToolTip.h"

#include "fixtures/provider_server.h"

using namespace dtlui;

namespace {

constexpr int kWaitMs = 20000;
constexpr const char* kPlain = "Sesame42";

QVariant RunJs(QWebEnginePage* page, const QString& code) {
  QVariant result;
  bool done = false;
  page->runJavaScript(code, [&](const QVariant& v) {
    result = v;
    done = true;
  });
  (void)QTest::qWaitFor([&] { return done; }, kWaitMs);
  return result;
}

// Exposes the navigation hook so the one-shot approval can be checked without a network.
class ProbePage : public BrowserPage {
 public:
  using BrowserPage::acceptNavigationRequest;
  using BrowserPage::BrowserPage;
};

}  // namespace

class BrowserViewTest : public QObject {
  Q_OBJECT
 public:
  BrowserViewTest(dtltest::ProviderServer& server, QString base)
      : server_(server), base_(std::move(base)) {}

 private:
  dtltest::ProviderServer& server_;
  QString base_;
  std::unique_ptr<dtl::SettingsStore> store_;
  std::unique_ptr<Application> app_;

  MainWindow& Frame() { return *app_->Frame(); }
  BrowserView& View() { return *Frame().browserView(); }
  QString Posts() { return QString::fromStdString(server_.Control("/__fixture/posts")); }
  QString Log() { return QString::fromStdString(server_.Log()); }

  // Opens `url` through the address box's path and waits for the page.
  bool Open(const QString& url) {
    QSignalSpy loaded(View().page(), &QWebEnginePage::loadFinished);
    View().navigate(url);
    // A refused navigation before this one may still report its end: wait for this page.
    QDeadlineTimer deadline(kWaitMs);
    while (!std::any_of(loaded.begin(), loaded.end(), [&](const QList<QVariant>& a) {
      return a[0].toBool() && View().page()->url() == QUrl::fromUserInput(url);
    })) {
      if (deadline.hasExpired() || !loaded.wait(static_cast<int>(deadline.remainingTime())))
        return false;
    }
    return true;
  }
  // Types into a field of the fixture's login form (in `doc`, a JS expression) and presses the
  // submit button as a user would.
  void SubmitLogin(const QString& doc, const QString& password, const QString& extraField = {}) {
    QString js = QString(
                     "(function(d){ d.querySelector('[name=username]').value='joe';"
                     " d.querySelector('[name=password]').value=%1;")
                     .arg(QString("'%1'").arg(password));
    if (!extraField.isEmpty())
      js += QString(
                " var i=d.createElement('input'); i.type='hidden'; i.name='%1'; i.value='%2';"
                " d.getElementById('login').appendChild(i);")
                .arg(extraField.section('=', 0, 0), extraField.section('=', 1));
    js += " d.querySelector('[name=go]').click(); return true; })(" + doc + ")";
    QVERIFY(RunJs(View().page(), js).toBool());
  }
  static QString Marker(bool ssl = false) {
    return QString::fromStdString(dtl::ExportAccountPassword(kPlain, ssl));
  }

 private slots:
  void init() {
    QFile::remove(base_ + "/settings.reg");
    store_ = std::make_unique<dtl::SettingsStore>((base_ + "/settings.reg").toStdString());
    app_ = std::make_unique<Application>(*store_, std::filesystem::path());
    QVERIFY(app_->start({}));
    QVERIFY(QTest::qWaitForWindowExposed(app_->Frame()));
    QTRY_COMPARE(Frame().tabs()->currentIndex(), 1);
    dtl::BrowserEndpoints ep;
    ep.wallaMail = "http://mail.walla.com";
    ep.wallaLogin = "http://login.walla.com";
    ep.productSite = "http://www.drovetail.example";
    View().setBrowserEndpoints(ep);
    // The first show opened the local home page.
    QTRY_VERIFY_WITH_TIMEOUT(View().page()->url().fileName() == "home.html", kWaitMs);
    server_.ClearLog();
    server_.Control("/__fixture/posts?clear=1");
  }
  void cleanup() {
    uitest::Messages yes;
    if (app_) app_->shutdown();
    app_.reset();
  }

  void MarkerLoginSendsOnlyTheDecodedPassword() {
    uitest::Messages m;
    QVERIFY(Open("http://mail.walla.com/login"));
    SubmitLogin("document", Marker());
    QTRY_VERIFY_WITH_TIMEOUT(Posts().contains("mail.walla.com /login"), kWaitMs);
    const QString posts = Posts();
    QCOMPARE(posts.count('\n'), 1);
    QVERIFY2(posts.contains(QString("password=%1&").arg(kPlain)), qPrintable(posts));
    QVERIFY(!posts.contains("%28%23"));
    QVERIFY(!posts.contains(QUrl::toPercentEncoding(Marker())));
    // The saved Walla login keeps the marker, never the password.
    const std::string& saved = View().state().savedWallaLogin.body;
    QVERIFY(saved.find("%28%23") != std::string::npos);
    QVERIFY(saved.find(kPlain) == std::string::npos);
    QTRY_VERIFY_WITH_TIMEOUT(
        RunJs(View().page(), "document.body.innerText").toString().contains("Welcome"), kWaitMs);
    QVERIFY(!Frame().addressBox()->currentText().contains(kPlain));
    QVERIFY(!View().page()->url().toString().contains(kPlain));
    QVERIFY(
        !RunJs(View().page(), "document.documentElement.outerHTML").toString().contains(kPlain));
    QVERIFY(m.shown.isEmpty());

    // A download that meets the login page posts the saved login again, decoded once more.
    server_.Control("/__fixture/posts?clear=1");
    View().reLogin();
    QTRY_VERIFY_WITH_TIMEOUT(Posts().contains("login.walla.com / "), kWaitMs);
    QVERIFY(Posts().contains(QString("password=%1&").arg(kPlain)));
    QVERIFY(!Posts().contains("%28%23"));
  }

  void SslMarkerOnlyCountsForHttps() {
    // On a plain-http login the SSL form is not a marker: the body goes out as typed.
    QVERIFY(Open("http://mail.yahoo.com/login"));
    SubmitLogin("document", Marker(true));
    QTRY_VERIFY_WITH_TIMEOUT(Posts().contains("mail.yahoo.com /login"), kWaitMs);
    QVERIFY(Posts().contains("password=%28%24"));
    QVERIFY(!Posts().contains(kPlain));
  }

  void ReLoginWithoutASavedLoginAsksToLogInAgain() {
    uitest::Messages m;
    View().reLogin();
    QCOMPARE(m.Texts(), QStringList{"The session ended and Drovetail couldn't re-login.\n"
                                    "please login again with the Encrypted Password."});
    QCOMPARE(m.shown.first().first, MsgIcon::Information);
  }

  void EveryWayOfSubmittingAFormIsCaught() {
    const QString inner = "document.querySelector('iframe').contentDocument";
    struct Case {
      const char* page;
      QString doc;     // the document holding the form
      QString submit;  // how the page submits it
      const char* frame;
    };
    const QList<Case> cases = {
        {"http://mail.yahoo.com/frame", inner, "d.querySelector('[name=go]').click()",
         "http://mail.yahoo.com/login"},
        {"http://mail.yahoo.com/login", "document", "d.getElementById('login').submit()",
         "http://mail.yahoo.com/login"},
        {"http://mail.yahoo.com/login", "document", "d.getElementById('login').requestSubmit()",
         "http://mail.yahoo.com/login"},
        {"http://mail.yahoo.com/frame", inner, "d.getElementById('login').submit()",
         "http://mail.yahoo.com/login"},
    };
    for (const Case& c : cases) {
      server_.Control("/__fixture/posts?clear=1");
      QVERIFY(Open(c.page));
      QTRY_VERIFY_WITH_TIMEOUT(
          RunJs(View().page(), "!!(" + c.doc + " && " + c.doc + ".getElementById('login'))")
              .toBool(),
          kWaitMs);
      QSignalSpy submitted(View().page(), &BrowserPage::formSubmitted);
      RunJs(View().page(), QString("(function(d){ d.querySelector('[name=username]').value='joe';"
                                   " d.querySelector('[name=password]').value='%1'; %2; })(%3)")
                               .arg(Marker(), c.submit, c.doc));
      QTRY_VERIFY_WITH_TIMEOUT(Posts().contains("mail.yahoo.com /login"), kWaitMs);
      QCOMPARE(submitted.count(), 1);
      QCOMPARE(submitted.first().first().value<FormSubmission>().frame, QString(c.frame));
      QVERIFY2(Posts().contains(QString("password=%1").arg(kPlain)),
               qPrintable(c.submit + " " + Posts()));
      QVERIFY(!Posts().contains("%28%23"));
    }
  }

  // An approved form of a sub-frame loads in that frame: the page around it stays.
  void SubFrameFormLoadsInItsFrame() {
    const QString inner = "document.querySelector('iframe').contentDocument";
    struct Case {
      const char* name;
      QString password;  // a marker is decoded before the post leaves
      QString submit;
    };
    const QList<Case> cases = {
        {"plain, by the button", "plain", "d.querySelector('[name=go]').click()"},
        {"marker, by the button", Marker(), "d.querySelector('[name=go]').click()"},
        {"marker, by submit()", Marker(), "d.getElementById('login').submit()"},
    };
    for (const Case& c : cases) {
      server_.Control("/__fixture/posts?clear=1");
      QVERIFY(Open("http://mail.yahoo.com/frame"));
      QTRY_VERIFY_WITH_TIMEOUT(
          RunJs(View().page(), "!!(" + inner + " && " + inner + ".getElementById('login'))")
              .toBool(),
          kWaitMs);
      RunJs(View().page(), QString("(function(d){ d.querySelector('[name=username]').value='joe';"
                                   " d.querySelector('[name=password]').value='%1'; %2; })(%3)")
                               .arg(c.password, c.submit, inner));
      QTRY_VERIFY_WITH_TIMEOUT(Posts().contains("mail.yahoo.com /login"), kWaitMs);
      const QString expected =
          c.password == "plain" ? "password=plain" : QString("password=") + kPlain;
      QVERIFY2(Posts().contains(expected), qPrintable(QString(c.name) + ": " + Posts()));
      QVERIFY2(!Posts().contains("%28%23"), c.name);
      QCOMPARE(Posts().count('\n'), 1);
      QTRY_VERIFY2_WITH_TIMEOUT(RunJs(View().page(),
                                      "(function(){ var f = document.querySelector('iframe');"
                                      " return f && f.contentDocument && f.contentDocument.body ?"
                                      " f.contentDocument.body.innerText : ''; })()")
                                    .toString()
                                    .contains("Welcome"),
                                c.name, kWaitMs);
      QCOMPARE(View().page()->url().toString(), QString("http://mail.yahoo.com/frame"));
      // The frame's page leaves no form with the decoded password behind.
      QVERIFY(
          !RunJs(View().page(), inner + ".documentElement.outerHTML").toString().contains(kPlain));
    }
  }

  // A frame hands its form up to the top frame by message; only a frame that may submit forms
  // itself gets it relayed. The page's own "done" form (a sentinel) is relayed after whatever
  // the frame sent first, so the submissions seen by then are all there will be.
  void FrameRelayTakesFormsOnlyFromFramesAllowedToSubmit() {
    const QString sentinel = "http://mail.yahoo.com/login?sentinel=1";
    const auto framed = [](const QString& src, const char* sandbox, const char* forge = nullptr) {
      QString url = "http://mail.yahoo.com/framed?src=" + QUrl::toPercentEncoding(src);
      if (sandbox) url += QString("&sandbox=") + QUrl::toPercentEncoding(sandbox);
      if (forge) url += QString("&forge=") + forge;
      return url;
    };
    struct Case {
      const char* name;
      QString page;
      QString relayed;  // the frame's submission that goes through; empty: none
    };
    const QList<Case> cases = {
        {"sandboxed cross-origin frame forges a top-frame form",
         framed("http://attacker.example/forge?token=", "allow-scripts"),
         {}},
        {"sandboxed cross-origin frame forges a frame's form",
         framed("http://attacker.example/forge?token=t1", "allow-scripts"),
         {}},
        {"sandboxed cross-origin frame calls its form's submit()",
         framed("http://attacker.example/forge?submit=1", "allow-scripts"),
         {}},
        {"cross-origin frame sandboxed with its own origin kept",
         framed("http://attacker.example/forge?token=t1", "allow-scripts allow-same-origin"),
         {}},
        {"unsandboxed cross-origin frame forges a top-frame form",
         framed("http://attacker.example/forge?token=", nullptr),
         {}},
        {"the page posts a made-up form to itself", framed("/login", nullptr, ""), {}},
        {"unsandboxed cross-origin frame submits its form",
         framed("http://mail.walla.com/forge?submit=1", nullptr), "http://mail.walla.com/login"},
        {"cross-origin frame sandboxed with allow-forms submits its form",
         framed("http://mail.walla.com/forge?submit=1", "allow-scripts allow-forms"),
         "http://mail.walla.com/login"},
    };
    for (const Case& c : cases) {
      uitest::Messages m;
      QVERIFY2(Open("http://mail.yahoo.com/login?before"), c.name);
      server_.Control("/__fixture/posts?clear=1");
      QSignalSpy submitted(View().page(), &BrowserPage::formSubmitted);
      View().navigate(c.page);
      QTRY_VERIFY2_WITH_TIMEOUT(Posts().contains("mail.yahoo.com /login?sentinel=1"), c.name,
                                kWaitMs);
      QStringList urls;
      for (const QList<QVariant>& args : std::as_const(submitted))
        urls << args.first().value<FormSubmission>().url;
      const QStringList expected =
          c.relayed.isEmpty() ? QStringList{sentinel} : QStringList{c.relayed, sentinel};
      QVERIFY2(urls == expected, qPrintable(QString(c.name) + ": " + urls.join(' ')));
      QVERIFY2(!Posts().contains("forged"), qPrintable(QString(c.name) + ": " + Posts()));
      if (c.relayed.isEmpty())
        QVERIFY2(!Posts().contains("framed"), qPrintable(QString(c.name) + ": " + Posts()));
      // The sentinel's answer replaces the page before the next case starts.
      QTRY_VERIFY2_WITH_TIMEOUT(
          View().page()->url() == QUrl(sentinel) &&
              RunJs(View().page(), "document.body ? document.body.innerText : ''")
                  .toString()
                  .contains("Welcome"),
          c.name, kWaitMs);
    }
  }

  void LoginPagesAreRewrittenOnTheLivePage() {
    struct Case {
      const char* url;
      bool onsubmitGone, maxlengthGone;
      QString sentPassword;  // the page's own onsubmit overwrites the password where it stays
    };
    const QList<Case> cases = {
        {"http://mail.yahoo.com/login?guarded=1", true, false, kPlain},
        {"http://screenname.aol.com/login?guarded=1", true, true, kPlain},
        {"http://mail.walla.com/login?guarded=1", false, false, "altered"},
    };
    const QString form = "document.getElementById('login')";
    const QString gone = "!" + form +
                         ".hasAttribute('onsubmit') && "
                         "!document.querySelector('[name=password]').hasAttribute('maxlength')";
    for (const Case& c : cases) {
      server_.Control("/__fixture/posts?clear=1");
      QVERIFY(Open(c.url));
      if (c.onsubmitGone) {
        QTRY_VERIFY_WITH_TIMEOUT(!RunJs(View().page(), form + ".hasAttribute('onsubmit')").toBool(),
                                 kWaitMs);
        QCOMPARE(RunJs(View().page(), gone).toBool(), c.maxlengthGone);
      }
      SubmitLogin("document", Marker());
      QTRY_VERIFY_WITH_TIMEOUT(Posts().contains(" /login "), kWaitMs);
      QVERIFY2(Posts().contains("password=" + c.sentPassword + "&"),
               qPrintable(c.url + (" " + Posts())));
    }
  }

  void LongWallaCookieForcesTheInboxOnce() {
    QVERIFY(Open("http://mail.walla.com/login"));
    RunJs(View().page(), "document.cookie = 'session=abcdefgh; path=/'");
    QTRY_VERIFY_WITH_TIMEOUT(
        View().state().documentCookie.value_or("").find("session=") != std::string::npos, kWaitMs);
    server_.ClearLog();
    const QString inbox =
        "GET mail.walla.com /?w=/@msg&fid=-1000&f=0&o=6&p=0&q=&id=-1&prev=-1&next=-1";
    View().navigate("http://mail.walla.com/login?next=1");  // goes on, and the inbox page follows
    QTRY_VERIFY_WITH_TIMEOUT(Log().contains(inbox), kWaitMs);
    QVERIFY(View().state().inboxRedirectFlag);
    QTRY_VERIFY_WITH_TIMEOUT(View().page()->url().query().startsWith("w=/@msg"), kWaitMs);
    QVERIFY(Open("http://mail.walla.com/login?next=2"));
    QCOMPARE(Log().count(inbox), 1);
  }

  void BlockedAddressesNeverLeaveAndShowTheirMessages() {
    const QString s1 =
        "For security reasons you are not allowed to view the settings of the account.";
    const QString s2 =
        "For security reasons you are not allowed to view the messages.\nTo download the segments "
        "click on the "
        "Auto Download button.";
    const QString s4 = "For security reasons you are not allowed to compose a new message.";
    struct Case {
      const char* url;
      QStringList messages;
    };
    const QList<Case> cases = {
        {"http://mail.walla.com/?w=/@compose", {s4}},
        {"http://mail.google.com/mail/?view=cv&manage=1", {s1, s2}},  // both rows, table order
        {"http://mail.google.com/mail/?search=trash", {}},            // silent
    };
    QVERIFY(Open("http://mail.yahoo.com/login"));
    for (const Case& c : cases) {
      uitest::Messages m;
      server_.ClearLog();
      View().navigate(c.url);
      if (!c.messages.isEmpty()) QTRY_COMPARE_WITH_TIMEOUT(m.Texts(), c.messages, kWaitMs);
      // A page loaded afterwards proves the request queue moved on without the blocked one.
      QVERIFY(Open("http://mail.yahoo.com/login?after"));
      QCOMPARE(m.Texts(), c.messages);
      for (const auto& shown : m.shown) QCOMPARE(shown.first, MsgIcon::Error);
      const QString path = QUrl(c.url).path() + "?" + QUrl(c.url).query();
      QVERIFY2(!Log().contains(path), c.url);
      QVERIFY(Log().contains("/login?after"));
      QCOMPARE(View().page()->url().toString(), QString("http://mail.yahoo.com/login?after"));
    }
  }

  void BlockedPostsNeverLeave() {
    const QString s7 =
        "For security reasons DTL prevents the \"Remember me\" option, please uncheck this button "
        "and try again.";
    struct Case {
      const char* page;
      QString password;
      const char* extraField;
      QStringList messages;
      const char* enctype = nullptr;
    };
    const QList<Case> cases = {
        {"http://mail.yahoo.com/login", "plain", ".persistent=y", {s7}},
        // The decoded login is judged again: a marker does not carry "Remember me" past the rules.
        {"http://mail.yahoo.com/login", Marker(), ".persistent=y", {s7}},
        // Not a mail site: no box, only the status bar's note.
        {"http://www.shop.example/login", "plain", "", {}},
        // The view can only re-send urlencoded bodies faithfully; other encodings stay unsent.
        {"http://mail.yahoo.com/login", "plain", "", {}, "multipart/form-data"},
    };
    const QString note = "Forms are sent only to mail sites here";
    for (const Case& c : cases) {
      uitest::Messages m;
      QVERIFY(Open(c.page));
      if (c.enctype)
        RunJs(View().page(),
              QString("document.getElementById('login').setAttribute('enctype', '%1')")
                  .arg(c.enctype));
      QSignalSpy submitted(View().page(), &BrowserPage::formSubmitted);
      Frame().statusBar()->clearMessage();
      SubmitLogin("document", c.password, c.extraField);
      QTRY_COMPARE_WITH_TIMEOUT(submitted.count(), 1, kWaitMs);
      if (!c.messages.isEmpty()) QTRY_COMPARE_WITH_TIMEOUT(m.Texts(), c.messages, kWaitMs);
      // A refusal the rules explain in a box needs no note; a silent one gets the note only.
      if (c.messages.isEmpty())
        QTRY_COMPARE_WITH_TIMEOUT(Frame().statusBar()->currentMessage(), note, kWaitMs);
      else
        QVERIFY(Frame().statusBar()->currentMessage() != note);
      QVERIFY(Open("http://mail.yahoo.com/login?after"));
      QCOMPARE(m.Texts(), c.messages);
      QVERIFY2(Posts().isEmpty(), qPrintable(Posts()));
      QVERIFY(!Log().contains("POST"));
    }
  }

  // Enter in the address box loads the typed address, as Go does.
  void EnterInTheAddressBoxLoadsThePage() {
    QLineEdit* edit = Frame().addressBox()->lineEdit();
    QTest::mouseClick(edit, Qt::LeftButton);
    QTRY_VERIFY(QApplication::focusWidget() != nullptr);
    QWidget* focus = QApplication::focusWidget();
    QTest::keyClick(focus, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(focus, "http://mail.yahoo.com/login?typed");
    QSignalSpy loaded(View().page(), &QWebEnginePage::loadFinished);
    QTest::keyClick(focus, Qt::Key_Return);
    QTRY_COMPARE_WITH_TIMEOUT(View().page()->url().toString(),
                              QString("http://mail.yahoo.com/login?typed"), kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(!loaded.isEmpty() && loaded.last().first().toBool(), kWaitMs);
    QVERIFY(Log().contains("/login?typed"));
  }

  // The local home page cannot read other local files (the settings hold passwords).
  void LocalPagesCannotReadLocalFiles() {
    QVERIFY(!View().page()->settings()->testAttribute(
        QWebEngineSettings::LocalContentCanAccessFileUrls));
    uitest::WriteFile(base_ + "/secret.txt", "SmtpPass=hunter2");
    QCOMPARE(View().page()->url().fileName(), QString("home.html"));
    const QString read =
        RunJs(View().page(),
              QString("(function() { try { var x = new XMLHttpRequest();"
                      " x.open('GET', '%1', false); x.send();"
                      " return x.responseText; } catch (e) { return 'refused'; } })()")
                  .arg(QUrl::fromLocalFile(base_ + "/secret.txt").toString()))
            .toString();
    QVERIFY2(!read.contains("hunter2"), qPrintable(read));
  }

  void OwnLoadPassesTheGateOnceAndOnlyForItsUrl() {
    QWebEngineProfile profile;
    ProbePage page(&profile);
    int asked = 0;
    page.setGate([&](const QUrl&, QWebEnginePage::NavigationType, bool) {
      ++asked;
      return false;
    });
    const QUrl approved("http://unreachable.example/a");
    QByteArray body("x=1");
    page.loadApproved(approved, &body);
    QVERIFY(!page.acceptNavigationRequest(QUrl("http://unreachable.example/b"),
                                          QWebEnginePage::NavigationTypeTyped, true));
    page.loadApproved(approved, &body);
    QVERIFY(
        !page.acceptNavigationRequest(approved, QWebEnginePage::NavigationTypeLinkClicked, true));
    QVERIFY(!page.acceptNavigationRequest(approved, QWebEnginePage::NavigationTypeTyped, false));
    QVERIFY(page.acceptNavigationRequest(approved, QWebEnginePage::NavigationTypeTyped, true));
    QVERIFY(!page.acceptNavigationRequest(approved, QWebEnginePage::NavigationTypeTyped, true));
    QCOMPARE(asked, 4);
    // A native form submission was never announced: refused whatever the gate says.
    page.setGate([](const QUrl&, QWebEnginePage::NavigationType, bool) { return true; });
    QVERIFY(!page.acceptNavigationRequest(QUrl("http://mail.yahoo.com/login"),
                                          QWebEnginePage::NavigationTypeFormSubmitted, true));
    QVERIFY(!page.acceptNavigationRequest(QUrl("http://mail.yahoo.com/login"),
                                          QWebEnginePage::NavigationTypeFormSubmitted, false));
    // A sub-frame's approved form passes once, for its own URL, in any frame; no token, no pass.
    page.setGate({});
    const QUrl form("http://unreachable.example/form");
    page.submitInFrame({}, form, "post", "x=1", {});
    QVERIFY(
        !page.acceptNavigationRequest(form, QWebEnginePage::NavigationTypeFormSubmitted, false));
    page.submitInFrame("token", form, "post", "x=1", {});
    QVERIFY(!page.acceptNavigationRequest(QUrl("http://unreachable.example/other"),
                                          QWebEnginePage::NavigationTypeFormSubmitted, false));
    page.submitInFrame("token", form, "post", "x=1", {});
    QVERIFY(page.acceptNavigationRequest(form, QWebEnginePage::NavigationTypeFormSubmitted, false));
    QVERIFY(
        !page.acceptNavigationRequest(form, QWebEnginePage::NavigationTypeFormSubmitted, false));
    QSignalSpy done(&page, &QWebEnginePage::loadFinished);
    QVERIFY(done.wait(kWaitMs));  // the real navigation arrived too, and was refused
  }

  void WallaPurgeDropsPersistentCookiesOnly() {
    QWebEngineCookieStore* store = View().webProfile()->cookieStore();
    QNetworkCookie remember("remember", "1");
    remember.setDomain("mail.walla.com");
    remember.setPath("/");
    remember.setExpirationDate(QDateTime::currentDateTimeUtc().addDays(30));
    QNetworkCookie session("SID", "42");
    session.setDomain("mail.walla.com");
    session.setPath("/");
    QSignalSpy added(store, &QWebEngineCookieStore::cookieAdded);
    QSignalSpy removed(store, &QWebEngineCookieStore::cookieRemoved);
    store->setCookie(remember, QUrl("http://mail.walla.com/"));
    store->setCookie(session, QUrl("http://mail.walla.com/"));
    QTRY_VERIFY_WITH_TIMEOUT(added.count() >= 2, kWaitMs);  // the view has seen them too
    QVERIFY(Open("http://mail.walla.com/login"));
    QTRY_VERIFY_WITH_TIMEOUT(!removed.isEmpty(), kWaitMs);
    QCOMPARE(removed.first().first().value<QNetworkCookie>().name(), QByteArray("remember"));
    QTRY_VERIFY_WITH_TIMEOUT(RunJs(View().page(), "document.cookie").toString().contains("SID=42"),
                             kWaitMs);
    QVERIFY(!RunJs(View().page(), "document.cookie").toString().contains("remember"));
  }

  // Deleting the view deletes its profile, whose cookie store may report the cookies it drops
  // while the view is half gone: the view must stop listening before its members go.
  void ViewHoldingCookiesIsDeletedSafely() {
    QWebEngineCookieStore* store = View().webProfile()->cookieStore();
    QSignalSpy added(store, &QWebEngineCookieStore::cookieAdded);
    for (int i = 0; i < 50; ++i) {
      QNetworkCookie c(QByteArray("c") + QByteArray::number(i), "1");
      c.setDomain("mail.example.org");
      c.setPath("/");
      store->setCookie(c, QUrl("http://mail.example.org/"));
    }
    QTRY_VERIFY_WITH_TIMEOUT(added.count() >= 50, kWaitMs);
    store->deleteAllCookies();
    app_->shutdown();
    app_.reset();
  }

  // The fixture's login sets its session cookie HttpOnly, as web-mails do: the page's script
  // never sees it, yet the crawl and the download must carry it.
  void AutoDownloadCarriesTheHttpOnlySessionToListAndDownload() {
    uitest::Messages answers;  // a lost session asks to log in again, modally
    QVERIFY(!Frame().actions().autoDownload->isEnabled());
    QWebEngineCookieStore* store = View().webProfile()->cookieStore();
    QSignalSpy added(store, &QWebEngineCookieStore::cookieAdded);
    // Another site's cookie in the same profile stays with the browser.
    QNetworkCookie foreign("FOREIGN", "1");
    foreign.setDomain("mail.yahoo.com");
    foreign.setPath("/");
    store->setCookie(foreign, QUrl("http://mail.yahoo.com/"));
    QVERIFY(Open("http://mail.walla.com/login"));
    SubmitLogin("document", "plain");
    QTRY_VERIFY_WITH_TIMEOUT(std::any_of(added.begin(), added.end(),
                                         [](const QList<QVariant>& a) {
                                           const auto c = a[0].value<QNetworkCookie>();
                                           return c.name() == "SID" && c.isHttpOnly();
                                         }),
                             kWaitMs);
    QVERIFY(!RunJs(View().page(), "document.cookie").toString().contains("SID"));
    // The view may force Walla's own inbox page in its place (the inbox redirect, when the
    // cookie string has grown long enough): either is an inbox page.
    View().navigate("http://mail.walla.com/?w=/@inbox");
    QTRY_VERIFY_WITH_TIMEOUT(
        View().page()->url().toString().startsWith("http://mail.walla.com/?w=/@"), kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(Frame().actions().autoDownload->isEnabled(), kWaitMs);
    Frame().actions().autoDownload->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(View().segmentManager() != nullptr, kWaitMs);
    SegmentManagerDialog* manager = View().segmentManager();
    QVERIFY(manager->isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(manager->Tree()->topLevelItemCount() > 0, kWaitMs);
    QStringList files;
    for (int i = 0; i < manager->Tree()->topLevelItemCount(); ++i)
      files << manager->Tree()->topLevelItem(i)->text(0);
    QVERIFY2(files.join('|').contains("movie.avi"), qPrintable(files.join('|')));
    // Asked again while it is shown: the same dialog comes forward.
    Frame().actions().autoDownload->trigger();
    QCOMPARE(View().segmentManager(), manager);
    // The shared store holds the session cookie as the browser does (host-only, path, HttpOnly),
    // and nothing of the other site.
    const std::vector<std::string> jar = app_->Cookies().List();
    const QString jarText = QString::fromStdString(
        std::accumulate(jar.begin(), jar.end(), std::string(),
                        [](std::string a, const std::string& b) { return a + b + "\n"; }));
    QVERIFY2(jarText.contains("#HttpOnly_mail.walla.com\tFALSE\t/\tFALSE\t0\tSID\t42"),
             qPrintable(jarText));
    QVERIFY2(!jarText.contains("FOREIGN"), qPrintable(jarText));
    // The download rides in the same session: every ticked segment arrives.
    QTemporaryDir saved;
    SegmentManagerDialog::SetFolderPicker(
        [&](QWidget*, const QString&, const QString&) { return saved.path(); });
    QTRY_VERIFY_WITH_TIMEOUT(!manager->Crawling(), kWaitMs);
    manager->autoMerge->setChecked(false);
    server_.ClearLog();
    if (!manager->selectAll->isChecked()) manager->selectAll->click();
    QTRY_VERIFY(manager->downloadButton->isEnabled());
    manager->downloadButton->click();
    SegmentManagerDialog::SetFolderPicker({});
    QVERIFY(manager->downloadDialog());
    QSignalSpy finished(manager->downloadDialog(), &DownloadDialog::runFinished);
    QVERIFY2(finished.wait(kWaitMs), qPrintable(Log() + answers.Texts().join('|')));
    QCOMPARE(finished.first().first().toInt(), 1);
    for (const char* name : {"movie.avi.dtl", "movie.avi.001", "movie.avi.002"})
      QVERIFY2(QFileInfo(saved.path() + "/" + name).size() == 64, name);
    // The frame's Segment Manager reports its download's rate to the tray tip.
    emit manager->downloadRate("1.20 MB/Sec");
    QCOMPARE(Frame().tray()->toolTip(), QString("Downloading\nSegment @ 1.20 MB/Sec"));
    emit manager->downloadRateCleared();
    QCOMPARE(Frame().tray()->toolTip(), QString("Drovetail"));
  }

  void AddressBoxRoundTrip() {
    QSignalSpy loaded(View().page(), &QWebEnginePage::loadFinished);
    Frame().addressBox()->lineEdit()->setText("mail.yahoo.com/login?typed=1");
    QTest::keyClick(Frame().addressBox()->lineEdit(), Qt::Key_Return);
    QVERIFY(loaded.wait(kWaitMs));
    QTRY_COMPARE(Frame().addressBox()->currentText(),
                 QString("http://mail.yahoo.com/login?typed=1"));
    QVERIFY(Log().contains("GET mail.yahoo.com /login?typed=1"));
    // A provider command opens its start page the same way.
    QVERIFY(QSignalSpy(View().page(), &QWebEnginePage::loadFinished).isValid());
    QSignalSpy again(View().page(), &QWebEnginePage::loadFinished);
    Frame().actions().walla->trigger();
    QVERIFY(again.wait(kWaitMs));
    QTRY_COMPARE(Frame().addressBox()->currentText(), QString("http://mail.walla.com/"));
  }

  void ExportPasswordOpensItsDialog() {
    bool opened = false;
    QTimer::singleShot(0, [&] {
      if (auto* dlg = qobject_cast<ExportPasswordDialog*>(QApplication::activeModalWidget())) {
        opened = true;
        dlg->reject();
      }
    });
    Frame().actions().exportPassword->trigger();
    QVERIFY(opened);
  }

  void QuickHelpShowsTheHelpText() {
    Frame().actions().browserQuickHelp->trigger();
    QVERIFY(View().quickHelp());
    QTRY_VERIFY(View().quickHelp()->isVisible());
    QVERIFY(View().quickHelp()->html().contains("integrated browser"));
    // The title and the link are the tip's own, once each: not in the text again, and the
    // link leads to the program's help, not to the product's web site.
    QVERIFY(!View().quickHelp()->html().contains("Click here for more help..."));
    QVERIFY(!View().quickHelp()->html().contains("Quick Help"));
    QVERIFY(View().quickHelp()->linkLabel()->text().contains("Click here for more help..."));
    QVERIFY(!View().quickHelp()->linkLabel()->text().contains("drovetail.example"));
  }
};

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  if (qEnvironmentVariableIsEmpty("QTWEBENGINE_DISABLE_SANDBOX"))
    qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
  QTemporaryDir home;
  const QString base = uitest::IsolateEnvironment(home);
  const QString inbox = base + "/inbox";
  QDir().mkpath(inbox);
  for (const char* name : {"movie.avi.dtl.doc", "movie.avi.001.doc", "movie.avi.002.doc"})
    uitest::WriteFile(inbox + "/" + name, QByteArray(64, 'x'));
  dtltest::ProviderServer server(inbox.toStdString(), {"--cookie", "SID=42"});
  if (!server.running()) {
    std::fprintf(stderr, "%s\n", server.error().c_str());
    return 1;
  }
  // Chromium and libcurl both reach every provider host through the fixture.
  const QByteArray proxy = "http://127.0.0.1:" + QByteArray::number(server.port());
  qputenv("QTWEBENGINE_CHROMIUM_FLAGS", "--proxy-server=" + proxy);
  qputenv("http_proxy", proxy);
  qunsetenv("no_proxy");
  qunsetenv("NO_PROXY");
  QApplication app(argc, argv);
  BrowserViewTest test(server, base);
  return QTest::qExec(&test, argc, argv);
}

#include "BrowserView_test.moc"
