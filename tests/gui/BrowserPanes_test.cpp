// The Export Account Password dialog and the product's own HTML panes: the banner strip with
// its background refresh, and the community and sibling-product panes. Qt WebEngine runs
// offscreen and reaches every web host through a small proxy in this file, so what the proxy
// receives is what left the machine: a refused mail site never shows up in its log.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <algorithm>
#include <cstdio>
#include <memory>

#include "browser/AccountPassword.h"
#include "browser/BannerRefresh.h"
#include "gui/BannerPane.h"
#include "gui/ExportPasswordDialog.h"
#include "gui/SidePane.h"
#include "gui/UiTestSupport.h"
#include "gui/WebTestSupport.h"

using namespace dtlui;

namespace {

constexpr int kWaitMs = 20000;

// An HTTP server that answers both as a proxy (absolute-form request lines from Chromium) and
// as a plain server (the banner refresh, which goes straight to 127.0.0.1). Every request is
// logged as "host/path"; answers come from `pages` by path, anything else is a small page.
class WebSite : public QObject {
 public:
  struct Answer {
    int status = 200;
    QByteArray body;
    QByteArray location;
  };
  QStringList requests;
  QMap<QString, Answer> pages;

  explicit WebSite(int listeningFd) {
    server_.setSocketDescriptor(listeningFd);
    connect(&server_, &QTcpServer::newConnection, this, [this] {
      while (QTcpSocket* s = server_.nextPendingConnection()) {
        connect(s, &QTcpSocket::readyRead, this, [this, s] { OnData(s); });
        connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
      }
    });
  }
  quint16 Port() const { return server_.serverPort(); }
  bool Saw(const QString& fragment) const {
    return std::any_of(requests.begin(), requests.end(),
                       [&](const QString& r) { return r.contains(fragment); });
  }

 private:
  void OnData(QTcpSocket* s) {
    QByteArray& buffer = pending_[s];
    buffer += s->readAll();
    const qsizetype end = buffer.indexOf("\r\n\r\n");
    if (end < 0) return;
    const QList<QByteArray> lines = buffer.left(end).split('\n');
    pending_.remove(s);
    const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
    QUrl target(QString::fromLatin1(first.value(1)));
    if (target.host().isEmpty()) {
      for (const QByteArray& l : lines)
        if (l.toLower().startsWith("host:"))
          target.setHost(QString::fromLatin1(l.mid(5).trimmed()).section(':', 0, 0));
    }
    const QString path = target.path();
    requests << target.host() + path;
    const Answer a =
        pages.value(path, Answer{200, "<html><body>" + path.toUtf8() + "</body></html>", {}});
    QByteArray reply =
        "HTTP/1.1 " + QByteArray::number(a.status) + " X\r\nContent-Type: text/html\r\n";
    if (!a.location.isEmpty()) reply += "Location: " + a.location + "\r\n";
    reply += "Content-Length: " + QByteArray::number(a.body.size()) +
             "\r\nConnection: close\r\n\r\n" + a.body;
    s->write(reply);
    s->disconnectFromHost();
  }

  QTcpServer server_;
  QHash<QTcpSocket*, QByteArray> pending_;
};

void Click(QWebEnginePage* page, const char* id) {
  uitest::RunJs(page, QString("document.getElementById('%1').click(); true").arg(id));
}

QString Inner(const QString& marker) { return marker.mid(2, marker.size() - 4); }

// A page whose links and frames lead to a mail site and to an ordinary one.
QByteArray LinkPage(const char* fineHost) {
  return QByteArray("<html><body>") +
         "<a id='mail' href='http://mail.walla.com/login'>walla</a> "
         "<a id='mailNew' target='_blank' href='http://www.gmail.com/'>gmail</a> "
         "<a id='fine' href='http://" +
         fineHost +
         "/next.html'>next</a> "
         "<a id='fineNew' target='_blank' href='http://" +
         fineHost +
         "/new.html'>new</a>"
         "<iframe src='http://login.gawab.com/frame.html'></iframe>"
         "<iframe src='http://" +
         fineHost +
         "/frame.html'></iframe>"
         "</body></html>";
}

}  // namespace

class BrowserPanesTest : public QObject {
  Q_OBJECT
 public:
  BrowserPanesTest(WebSite& site, QString base) : site_(site), base_(std::move(base)) {}

 private:
  WebSite& site_;
  QString base_;
  QString dir_;

  QString Local(const QString& name) const { return dir_ + "/" + name; }
  std::string SiteUrl(const QString& path) const {
    return QString("http://127.0.0.1:%1%2").arg(site_.Port()).arg(path).toStdString();
  }
  BannerPane::Setup BannerSetup(const QString& refreshPath) const {
    BannerPane::Setup s;
    s.localPage = Local("verb1.html");
    s.refreshUrl = SiteUrl(refreshPath);
    return s;
  }

 private slots:
  void init() {
    static int round = 0;
    dir_ = base_ + QString("/case%1").arg(++round);
    QDir().mkpath(dir_);
    site_.requests.clear();
    site_.pages.clear();
  }

  // --- Export Account Password --------------------------------------------------------------

  void MarkerDecodesOnlyWithItsOwnVariant_data() {
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("ssl");
    for (bool ssl : {false, true}) {
      const char* v = ssl ? " (SSL)" : "";
      QTest::addRow("short%s", v) << "Sesame" << ssl;
      QTest::addRow("one whole block%s", v) << "12345678" << ssl;
      QTest::addRow("non-ASCII and astral%s", v)
          << QString::fromUtf8("pässwörd\xF0\x9F\x94\x91") << ssl;
    }
  }
  void MarkerDecodesOnlyWithItsOwnVariant() {
    QFETCH(QString, password);
    QFETCH(bool, ssl);
    ExportPasswordDialog dlg;
    dlg.PlainEdit()->setText(password);
    dlg.SslCheck()->setChecked(ssl);
    dlg.EncryptButton()->click();
    const QString marker = dlg.EncryptedEdit()->text();
    QVERIFY(marker.startsWith(ssl ? "($" : "(#"));
    QVERIFY(marker.endsWith(ssl ? "$)" : "#)"));
    const std::string inner = S(Inner(marker));
    QCOMPARE(Q(dtl::DecodeAccountPassword(inner, 160, ssl).View()), password);
    QVERIFY(Q(dtl::DecodeAccountPassword(inner, 160, !ssl).View()) != password);
  }

  // The limit counts characters: fifty astral characters (a hundred UTF-16 units) still pass,
  // while a pasted fifty-one is refused whole instead of being cut to a wrong password, and
  // the marker of the password before it does not stay on show. An empty password makes none.
  void PasswordsTheExportRefuses_data() {
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("marker");  // "new", "earlier" or "none"
    const QString key = QString::fromUtf8("\xF0\x9F\x94\x91");
    QTest::addRow("fifty astral characters") << key.repeated(50) << "new";
    QTest::addRow("fifty-one ASCII") << QString(51, 'a') << "none";
    QTest::addRow("fifty-one astral") << key.repeated(51) << "none";
    QTest::addRow("empty") << QString() << "earlier";
  }
  void PasswordsTheExportRefuses() {
    QFETCH(QString, password);
    QFETCH(QString, marker);
    uitest::Messages messages;
    ExportPasswordDialog dlg;
    dlg.PlainEdit()->setText("earlier");
    dlg.EncryptButton()->click();
    const QString earlier = dlg.EncryptedEdit()->text();
    dlg.PlainEdit()->setText(password);
    QCOMPARE(dlg.PlainEdit()->text(), password);
    dlg.EncryptButton()->click();
    const QString shown = dlg.EncryptedEdit()->text();
    QCOMPARE(messages.Texts(),
             marker == "none" ? QStringList{"Enter no more than 50 characters."} : QStringList{});
    if (marker == "new")
      QCOMPARE(Q(dtl::DecodeAccountPassword(S(Inner(shown)), 160, false).View()), password);
    else
      QCOMPARE(shown, marker == "earlier" ? earlier : QString());
  }

  void ClosingForgetsThePlainPassword() {
    ExportPasswordDialog dlg;
    QCOMPARE(dlg.windowTitle(), QString("Export Account Password"));
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    QTest::keyClicks(dlg.PlainEdit(), "typed secret");
    QTest::keyClick(dlg.PlainEdit(), Qt::Key_Return);  // Enter runs "&Encrypt", not "&Close"
    QVERIFY(dlg.isVisible());
    QVERIFY(!dlg.EncryptedEdit()->text().isEmpty());
    dlg.CloseButton()->click();
    QVERIFY(!dlg.isVisible());
    QCOMPARE(dlg.PlainEdit()->text(), QString());
    QVERIFY(!dlg.PlainEdit()->isUndoAvailable());
  }

  // --- Banner strip -------------------------------------------------------------------------

  void RefreshKeepsOnlyMarkedBannerPages_data() {
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("expected");
    const QByteArray marked = "<html><!-- dtl --><body>new banner</body></html>";
    const int replaced = int(dtl::BannerRefresh::Replaced),
              refused = int(dtl::BannerRefresh::Refused);
    QTest::addRow("marked page replaces the local one") << 200 << marked << replaced;
    QTest::addRow("page without the marker")
        << 200 << QByteArray("<html><body>parked domain</body></html>") << refused;
    QTest::addRow("marker in a comment of another spelling")
        << 200 << QByteArray("<html><!--dtl--></html>") << refused;
    QTest::addRow("marked error page") << 404 << marked << refused;
    QTest::addRow("marked page with a zero byte")
        << 200 << marked + QByteArray(1, '\0') + "tail" << refused;
    QTest::addRow("marked page larger than a banner")
        << 200 << marked + QByteArray(int(dtl::kMaxBannerBytes), ' ') << refused;
    QTest::addRow("nobody answers") << 0 << marked << int(dtl::BannerRefresh::Failed);
  }
  void RefreshKeepsOnlyMarkedBannerPages() {
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(int, expected);
    const QByteArray old = "<html><!-- dtl -->old banner</html>";
    uitest::WriteFile(Local("verb1.html"), old);
    site_.pages["/verb1.html"] = {status, body, {}};
    BannerPane::Setup setup = BannerSetup("/verb1.html");
    if (status == 0) setup.refreshUrl = "http://127.0.0.1:1/verb1.html";
    BannerPane pane(setup);
    QSignalSpy finished(&pane, &BannerPane::refreshFinished);
    QVERIFY(pane.StartRefresh());
    QVERIFY(finished.wait(kWaitMs));
    QCOMPARE(finished.at(0).at(0).toInt(), expected);
    QCOMPARE(uitest::ReadFile(Local("verb1.html")),
             expected == int(dtl::BannerRefresh::Replaced) ? body : old);
    QCOMPARE(QDir(dir_).entryList(QDir::Files), QStringList{"verb1.html"});  // no temporary left
  }

  void MissingLocalPageFallsBackToTheInstalledCopy() {
    BannerPane::Setup setup = BannerSetup("/verb1.html");
    setup.installedPage = Local("installed/verb1.html");
    BannerPane pane(setup);
    QCOMPARE(pane.LocalPageUrl(),
             QUrl::fromLocalFile(Local("verb1.html")));  // no copy either: the error page
    QDir().mkpath(Local("installed"));
    uitest::WriteFile(setup.installedPage, "installed");
    QCOMPARE(pane.LocalPageUrl(), QUrl::fromLocalFile(setup.installedPage));
    uitest::WriteFile(Local("verb1.html"), "downloaded");
    QCOMPARE(pane.LocalPageUrl(), QUrl::fromLocalFile(Local("verb1.html")));
  }

  // First show loads the local page and starts the timer; the completed load fetches a newer
  // banner; a tick brings a strip that was navigated away back to the local page.
  void ShownStripRefreshesAndTheTimerBringsItBack() {
    uitest::WriteFile(Local("verb1.html"), "<html><!-- dtl -->old</html>");
    uitest::WriteFile(Local("elsewhere.html"), "<html>elsewhere</html>");
    const QByteArray fresh = "<html><!-- dtl -->fresh</html>";
    site_.pages["/verb1.html"] = {200, fresh, {}};
    BannerPane pane(BannerSetup("/verb1.html"));
    QSignalSpy finished(&pane, &BannerPane::refreshFinished);
    QCOMPARE(pane.height(), 60);
    QVERIFY(!pane.Timer()->isActive());
    pane.show();
    QVERIFY(pane.Timer()->isActive());
    QCOMPARE(pane.Timer()->interval(), 420000);
    QTRY_COMPARE_WITH_TIMEOUT(pane.url(), QUrl::fromLocalFile(Local("verb1.html")), kWaitMs);
    QVERIFY(finished.wait(kWaitMs));
    QCOMPARE(finished.at(0).at(0).toInt(), int(dtl::BannerRefresh::Replaced));
    QCOMPARE(uitest::ReadFile(Local("verb1.html")), fresh);

    QSignalSpy loaded(&pane, &QWebEngineView::loadFinished);
    pane.timerTick();  // on the local page: a reload, which now shows the fresh banner
    QVERIFY(loaded.wait(kWaitMs));
    QTRY_COMPARE_WITH_TIMEOUT(uitest::RunJs(pane.page(), "document.documentElement.outerHTML")
                                  .toString()
                                  .contains("fresh"),
                              true, kWaitMs);
    pane.setUrl(QUrl::fromLocalFile(Local("elsewhere.html")));
    QTRY_COMPARE_WITH_TIMEOUT(pane.url(), QUrl::fromLocalFile(Local("elsewhere.html")), kWaitMs);
    pane.timerTick();
    QTRY_COMPARE_WITH_TIMEOUT(pane.url(), QUrl::fromLocalFile(Local("verb1.html")), kWaitMs);
    // A going pane waits for its refresh, which this site answers only while the loop runs.
    QTRY_VERIFY_WITH_TIMEOUT(!pane.Refreshing(), kWaitMs);
  }

  // Links in the strip open in the desktop's browser; mail sites nowhere, and with no message.
  void BannerLinksOpenOutsideExceptMailSites() {
    uitest::WriteFile(Local("verb1.html"), "<!-- dtl -->" + LinkPage("www.drovetail.example"));
    site_.pages["/verb1.html"] = {404, {}, {}};
    uitest::Messages messages;
    BannerPane pane(BannerSetup("/verb1.html"));
    QSignalSpy loaded(&pane, &QWebEngineView::loadFinished);
    pane.show();
    QVERIFY(loaded.wait(kWaitMs));
    Click(pane.page(), "mail");
    Click(pane.page(), "mailNew");
    Click(pane.page(), "fine");
    QTRY_COMPARE_WITH_TIMEOUT(messages.opened.size(), 1, kWaitMs);
    Click(pane.page(), "fineNew");
    QTRY_COMPARE_WITH_TIMEOUT(messages.opened.size(), 2, kWaitMs);
    QCOMPARE(messages.opened, (QList<QUrl>{QUrl("http://www.drovetail.example/next.html"),
                                           QUrl("http://www.drovetail.example/new.html")}));
    QCOMPARE(pane.url(), QUrl::fromLocalFile(Local("verb1.html")));
    QVERIFY(messages.shown.isEmpty());
    QVERIFY(site_.Saw("www.drovetail.example/frame.html"));
    QVERIFY(!site_.Saw("walla") && !site_.Saw("gmail") && !site_.Saw("gawab"));
    // The downloaded banner is a local page: it must not read other local files.
    uitest::WriteFile(Local("secret.txt"), "SmtpPass=hunter2");
    const QString read =
        uitest::RunJs(pane.page(),
                      QString("(function() { try { var x = new XMLHttpRequest();"
                              " x.open('GET', '%1', false); x.send();"
                              " return x.responseText; } catch (e) { return 'refused'; } })()")
                          .arg(QUrl::fromLocalFile(Local("secret.txt")).toString()))
            .toString();
    QVERIFY2(!read.contains("hunter2"), qPrintable(read));
    QTRY_VERIFY_WITH_TIMEOUT(!pane.Refreshing(),
                             kWaitMs);  // see ShownStripRefreshesAndTheTimerBringsItBack
  }

  // The strip's "How does it work?" asks for the program's help when clicked, and nothing goes
  // to the desktop's browser.
  void HowDoesItWorkOpensTheProgramsHelp() {
    const QByteArray installed = uitest::ReadFile(ResourcePath("verb1.html"));
    QVERIFY(installed.contains("How does it work?"));
    uitest::WriteFile(Local("verb1.html"), installed);
    site_.pages["/verb1.html"] = {404, {}, {}};
    uitest::Messages messages;
    BannerPane pane(BannerSetup("/verb1.html"));
    pane.resize(900, BannerPane::kHeight);
    QSignalSpy help(&pane, &BannerPane::helpRequested);
    QSignalSpy loaded(&pane, &QWebEngineView::loadFinished);
    pane.show();
    QVERIFY(QTest::qWaitForWindowExposed(&pane));
    QVERIFY(loaded.wait(kWaitMs));
    const QVariantList centre =
        uitest::RunJs(pane.page(),
                      "(function() { var r = Array.from(document.links).find("
                      "  l => l.textContent == 'How does it work?').getBoundingClientRect();"
                      " return [r.left + r.width / 2, r.top + r.height / 2]; })()")
            .toList();
    QCOMPARE(centre.size(), 2);
    QWidget* surface = pane.focusProxy() ? pane.focusProxy() : &pane;
    const QPoint at(qRound(centre[0].toDouble()), qRound(centre[1].toDouble()));
    QTest::mouseMove(surface, at);
    QTest::mouseClick(surface, Qt::LeftButton, {}, at);
    QTRY_COMPARE_WITH_TIMEOUT(help.size(), 1, kWaitMs);
    QCOMPARE(help.first().first().toString(), QString("desktop.md"));
    QVERIFY(messages.opened.isEmpty());
    QVERIFY(messages.shown.isEmpty());
    QCOMPARE(pane.url(), QUrl::fromLocalFile(Local("verb1.html")));
    QTRY_VERIFY_WITH_TIMEOUT(!pane.Refreshing(), kWaitMs);  // a going pane waits for it
  }

  // --- External links -------------------------------------------------------------------------

  // Pages hand their links to the desktop: web addresses only, whatever the page asks for.
  void OpenExternalOpensOnlyWebAddresses_data() {
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("opens");
    QTest::addRow("http") << "http://www.drovetail.example/help.html" << true;
    QTest::addRow("https") << "https://www.drovetail.example/" << true;
    QTest::addRow("upper-case scheme") << "HTTPS://www.drovetail.example/" << true;
    QTest::addRow("local file") << "file:///etc/passwd" << false;
    QTest::addRow("script") << "javascript:alert(1)" << false;
    QTest::addRow("data") << "data:text/html,<b>x</b>" << false;
    QTest::addRow("mail") << "mailto:someone@example.org" << false;
    QTest::addRow("other program's scheme") << "ssh://host.example/" << false;
    QTest::addRow("web scheme without a host") << "http:///etc/passwd" << false;
  }
  void OpenExternalOpensOnlyWebAddresses() {
    QFETCH(QString, address);
    QFETCH(bool, opens);
    uitest::Messages messages;
    QCOMPARE(OpenExternal(QUrl(address)), opens);
    QCOMPARE(messages.opened, opens ? QList<QUrl>{QUrl(address)} : QList<QUrl>{});
    QVERIFY(messages.shown.isEmpty());  // refused silently
  }

  // The program's own folder and mail launches keep their schemes.
  void ProgramLaunchesKeepTheirOwnSchemes() {
    uitest::Messages messages;
    OpenFolder(Local("out"));
    OpenMailDraft(QUrl("mailto:?subject=Drovetail"));
    OpenMailDraft(QUrl("file:///etc/passwd"));
    QCOMPARE(messages.opened,
             (QList<QUrl>{QUrl::fromLocalFile(Local("out")), QUrl("mailto:?subject=Drovetail")}));
  }

  // A new-window request the pane loads itself would pass where Chromium keeps a web page from
  // opening a local file: in the pane, in the desktop's browser, neither loads one.
  void PanesNeverOpenLocalFilesForANewWindow_data() {
    QTest::addColumn<bool>("banner");
    QTest::addRow("side pane (links in the pane)") << false;
    QTest::addRow("banner (links outside)") << true;
  }
  void PanesNeverOpenLocalFilesForANewWindow() {
    QFETCH(bool, banner);
    uitest::WriteFile(Local("secret.txt"), "SmtpPass=hunter2");
    const QString secret = QUrl::fromLocalFile(Local("secret.txt")).toString();
    // A local page: Chromium lets it ask for a local file in a new window, so the pane's own
    // handling is all that stands in the way.
    const QString page = Local(banner ? "verb1.html" : "Community.html");
    uitest::WriteFile(page,
                      ("<!-- dtl --><html><body><a id='file' target='_blank' href='" + secret +
                       "'>file</a> <a id='passwd' target='_blank' href='file:///etc/passwd'>"
                       "passwd</a> <a id='fineNew' target='_blank'"
                       " href='http://www.orvanto.example/new.html'>new</a></body></html>")
                          .toUtf8());
    site_.pages["/verb1.html"] = {404, {}, {}};
    uitest::Messages messages;
    std::unique_ptr<QWebEngineView> view;
    if (banner)
      view = std::make_unique<BannerPane>(BannerSetup("/verb1.html"));
    else
      view = std::make_unique<SidePane>(QUrl::fromLocalFile(page));
    QSignalSpy moved(view.get(), &QWebEngineView::urlChanged);
    view->show();
    QTRY_COMPARE_WITH_TIMEOUT(view->url(), QUrl::fromLocalFile(page), kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(
        uitest::RunJs(view->page(), "!!document.getElementById('fineNew')").toBool(), kWaitMs);
    Click(view->page(), "file");
    Click(view->page(), "passwd");
    Click(view->page(), "fineNew");  // the web link after them shows they were handled
    const QUrl fine("http://www.orvanto.example/new.html");
    if (banner)
      QTRY_COMPARE_WITH_TIMEOUT(messages.opened, QList<QUrl>{fine}, kWaitMs);
    else
      QTRY_COMPARE_WITH_TIMEOUT(view->url(), fine, kWaitMs);
    for (const QList<QVariant>& args : std::as_const(moved))
      QVERIFY2(args.first().toUrl() == QUrl::fromLocalFile(page) ||
                   args.first().toUrl().scheme() != "file",
               qPrintable(args.first().toUrl().toString()));
    if (!banner) QVERIFY(messages.opened.isEmpty());
    QVERIFY(messages.shown.isEmpty());
    if (auto* b = qobject_cast<BannerPane*>(view.get()))
      QTRY_VERIFY_WITH_TIMEOUT(!b->Refreshing(), kWaitMs);  // a going pane waits for it
  }

  // --- Community and sibling-product panes --------------------------------------------------

  void SidePanesRefuseMailSitesInEveryFrameSilently_data() {
    QTest::addColumn<bool>("community");
    QTest::addRow("community page (local file)") << true;
    QTest::addRow("sibling product (web site)") << false;
  }
  void SidePanesRefuseMailSitesInEveryFrameSilently() {
    QFETCH(bool, community);
    const char* host = community ? "www.drovetail.example" : "www.orvanto.example";
    QUrl home;
    if (community) {
      uitest::WriteFile(Local("Community.html"), LinkPage(host));
      home = QUrl::fromLocalFile(Local("Community.html"));
    } else {
      site_.pages["/"] = {200, LinkPage(host), {}};
      home = SidePane::siblingHome(host);
      QCOMPARE(home, QUrl(QString("https://%1").arg(host)));
      home.setScheme("http");  // the proxy speaks plain HTTP only
      home.setPath("/");
    }
    // A redirect to a mail site is a navigation like any other.
    site_.pages["/next.html"] = {302, {}, "http://mail.yahoo.com/inbox"};
    uitest::Messages messages;
    SidePane pane(home);
    pane.resize(800, 600);
    QSignalSpy loaded(&pane, &QWebEngineView::loadFinished);
    pane.show();
    QVERIFY(loaded.wait(kWaitMs));
    QCOMPARE(pane.url(), home);
    QTRY_VERIFY_WITH_TIMEOUT(site_.Saw(QString(host) + "/frame.html"), kWaitMs);

    Click(pane.page(), "mail");
    Click(pane.page(), "mailNew");
    Click(pane.page(), "fine");
    QTRY_VERIFY_WITH_TIMEOUT(site_.Saw(QString(host) + "/next.html"), kWaitMs);
    site_.pages.remove("/next.html");
    Click(pane.page(), "fineNew");  // a new-window link opens in the pane itself
    QTRY_COMPARE_WITH_TIMEOUT(pane.url(), QUrl(QString("http://%1/new.html").arg(host)), kWaitMs);

    QVERIFY(!site_.Saw("walla") && !site_.Saw("gmail") && !site_.Saw("gawab") &&
            !site_.Saw("yahoo"));
    QVERIFY(messages.shown.isEmpty());
    QVERIFY(messages.opened.isEmpty());

    pane.goHome();
    QTRY_COMPARE_WITH_TIMEOUT(pane.url(), home, kWaitMs);
  }
};

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  if (qEnvironmentVariableIsEmpty("QTWEBENGINE_DISABLE_SANDBOX"))
    qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
  // The proxy's port must be known before Chromium starts, so the socket is opened here and
  // handed to the server once the application exists.
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(fd, 64) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    std::perror("proxy socket");
    return 1;
  }
  qputenv("QTWEBENGINE_CHROMIUM_FLAGS",
          "--proxy-server=http://127.0.0.1:" + QByteArray::number(ntohs(addr.sin_port)));
  qunsetenv("http_proxy");
  qunsetenv("HTTP_PROXY");
  QTemporaryDir home;
  const QString base = uitest::IsolateEnvironment(home);
  QApplication app(argc, argv);
  WebSite site(fd);
  BrowserPanesTest test(site, base);
  return QTest::qExec(&test, argc, argv);
}

#include "BrowserPanes_test.moc"
