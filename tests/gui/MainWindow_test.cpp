// The main window: tabs and tool bars, tray and close, status texts, the address box, start-up
// with a descriptor, the exit sweep, and the send list driven by the document.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDir>
#include <QFileInfo>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QStatusBar>
#include <QTabBar>
#include <QTabWidget>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextDocument>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QTreeWidget>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <functional>

#include "fixtures/smtp_fixture.h"
#include "gui/AddRecipientsDialog.h"
#include "gui/Application.h"
#include "gui/BrowserPage.h"
#include "gui/BrowserView.h"
#include "gui/DownloadDialog.h"
#include "gui/FileListView.h"
#include "gui/HelpWindow.h"
#include "gui/HistoryCombo.h"
#include "gui/ImapSettingsDialog.h"
#include "gui/MainWindow.h"
#include "gui/MergeDialog.h"
#include "gui/SegmentManagerDialog.h"
#include "gui/SidePane.h"
#include "gui/SplitSendDialog.h"
#include "gui/UiTestSupport.h"
#include "gui/widgets/HtmlToolTip.h"
#include "support/LoopbackPeer.h"

using namespace dtlui;

class MainFrameTest : public QObject {
  Q_OBJECT
  QTemporaryDir home_;
  QString base_;
  std::unique_ptr<dtl::SettingsStore> store_;
  std::unique_ptr<Application> app_;

  MainWindow& Frame() { return *app_->Frame(); }
  void Start(const QStringList& args = {}, const QString& dataHome = {}) {
    app_ = std::make_unique<Application>(*store_, dataHome.toStdString());
    QVERIFY(app_->start(args));
    QVERIFY(QTest::qWaitForWindowExposed(app_->Frame()));
    // The first paint switches to "Browse" right after it.
    QTRY_COMPARE(Frame().tabs()->currentIndex(), 1);
  }
  struct Bars {
    bool send, browser, navigation, address;
    bool operator==(const Bars&) const = default;
  };
  Bars Visible() {
    return {!Frame().sendBar->isHidden(), !Frame().browserBar->isHidden(),
            !Frame().navigationBar->isHidden(), !Frame().addressBar->isHidden()};
  }

 private slots:
  void initTestCase() { base_ = uitest::IsolateEnvironment(home_); }
  void init() {
    QFile::remove(base_ + "/settings.reg");
    store_ = std::make_unique<dtl::SettingsStore>((base_ + "/settings.reg").toStdString());
  }
  void cleanup() {
    uitest::Messages yes;
    if (app_) app_->shutdown();
    app_.reset();
  }

  void ToolBarsFollowTheTabs() {
    Start();
    QCOMPARE(Visible(), (Bars{false, true, false, true}));
    const QList<QPair<int, Bars>> cases = {{0, {true, false, false, false}},
                                           {2, {false, false, false, false}},
                                           {3, {false, false, true, false}},
                                           {1, {false, true, false, true}}};
    for (const auto& [tab, bars] : cases) {
      Frame().tabs()->setCurrentIndex(tab);
      QVERIFY2(Visible() == bars, qPrintable(QString("tab %1").arg(tab)));
    }
    Frame().showToolBarsForTab(7);  // other values change nothing
    QCOMPARE(Visible(), (Bars{false, true, false, true}));
    QStringList titles;
    for (int i = 0; i < Frame().tabs()->count(); ++i) titles << Frame().tabs()->tabText(i);
    QCOMPARE(titles.mid(0, 3), (QStringList{"Split/Send File", "Browse", "Support"}));
    QCOMPARE(Frame().actions().send->toolTip(), QString("Send the segments..."));
    QCOMPARE(Frame().actions().chooseFile->menu()->actions().first()->text(),
             QString("&Plain Transfer"));
  }

  // The navigation tool bar is shared: its home button acts on the side pane in front and on
  // the inner browser otherwise, leaving the pane behind alone.
  void NavigationButtonsActOnThePaneInFront() {
    Start();
    constexpr int kWaitMs = 20000;
    QWebEnginePage* browser = Frame().browserView()->page();
    QWebEnginePage* community = Frame().communityPane()->page();
    const QUrl browserHome = BrowserView::homePage(), communityHome = SidePane::communityHome();
    struct Case {
      const char* name;
      int tab;
      QWebEnginePage *inFront, *behind;
      QUrl home, elsewhere;
    };
    const Case cases[] = {
        {"support tab", 2, community, browser, communityHome, browserHome},
        {"browse tab", 1, browser, community, browserHome, communityHome},
    };
    for (const Case& c : cases) {
      Frame().tabs()->setCurrentIndex(c.tab);
      QTRY_VERIFY2_WITH_TIMEOUT(c.inFront->url() == c.home, c.name,
                                kWaitMs);  // the first show went home
      c.inFront->load(c.elsewhere);
      QTRY_VERIFY2_WITH_TIMEOUT(c.inFront->url() == c.elsewhere, c.name, kWaitMs);
      const QUrl behind = c.behind->url();
      Frame().actions().webMailSites->trigger();
      QTRY_VERIFY2_WITH_TIMEOUT(c.inFront->url() == c.home, c.name, kWaitMs);
      QVERIFY2(c.behind->url() == behind, c.name);
    }
  }

  // Every retry meets the same failing condition (a source file gone): one box for it, never
  // a box per attempt, never a second box on top of one, and none that blocks the window.
  void RepeatedSendFailuresOpenOneBoxPerCondition() {
    Start();
    using K = dtl::SendEventKind;
    {
      uitest::Messages m;
      for (int attempt = 0; attempt < 3; ++attempt)
        Frame().applyEngineEvent({K::FileError, 0, 0, "No such file or directory"});
      QCOMPARE(m.Texts(), QStringList{"No such file or directory"});
      QCOMPARE(m.shown.first().first, MsgIcon::Error);
      Frame().applyEngineEvent({K::FileError, 0, 0, "Permission denied"});
      QCOMPARE(m.Texts().size(), 2);
      // After a delivery the same condition is news again.
      Frame().applyEngineEvent({K::Delivered, 0, 0, {}});
      Frame().applyEngineEvent({K::FileError, 1, 0, "Permission denied"});
      QCOMPARE(m.Texts().size(), 3);
    }
    // Real boxes: one that leaves the window usable, told the new condition in place.
    for (int attempt = 0; attempt < 3; ++attempt)
      Frame().applyEngineEvent({K::FileError, 1, 0, "No space left on device"});
    QCOMPARE(Frame().findChildren<QMessageBox*>().size(), 1);
    QMessageBox* box = Frame().findChildren<QMessageBox*>().first();
    QTRY_VERIFY(box->isVisible());
    QCOMPARE(QApplication::activeModalWidget(), nullptr);
    QCOMPARE(box->text(), QString("No space left on device"));
    Frame().applyEngineEvent({K::FileError, 1, 0, "Input/output error"});
    QCOMPARE(Frame().findChildren<QMessageBox*>().size(), 1);
    QCOMPARE(box->text(), QString("Input/output error"));
    box->close();
    QTRY_COMPARE(Frame().findChildren<QMessageBox*>().size(), 0);
  }

  // A plain job of one small file mailed through the SMTP server at `port` on loopback.
  void BuildSmtpJob(int port) {
    QVERIFY(store_->SetString("SMTPServer", "127.0.0.1"));
    QVERIFY(store_->SetDword("SMTPPort", static_cast<uint32_t>(port)));
    const QString file = base_ + "/one.bin";
    uitest::WriteFile(file, QByteArray(1000, 'x'));
    dtl::SendRequest r;
    r.files = {{file.toStdString(), 1000}};
    r.mailTo = "x@example.org";
    r.from = "me@example.org";
    r.method = dtl::SendMethod::SmtpServer;
    QVERIFY(app_->Doc().BuildPlainJob(r));
    // Built behind the window's back: any engine event makes it read the enabling rules again.
    Frame().applyEngineEvent({dtl::SendEventKind::WorkerLeft, 0, 0, {}});
    QVERIFY(Frame().actions().send->isEnabled());
  }

  // A server that refuses the message for good ends the run: Send is offered again and Stop is
  // not, without the user having to press Stop first.
  void RunRefusedForGoodEndsInTheWindow() {
    Start();
    dtltest::LoopbackPeer peer([](int fd) {
      std::string buf;
      const auto say = [fd](std::string_view text) {
        return ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
      };
      say("220 fake\r\n");
      for (const char* reply : {"250 fake\r\n", "550 5.7.1 not from you\r\n", "221 bye\r\n"})
        if (!dtltest::ReadUntil(fd, buf, "\r\n") || !say(reply)) break;
      return false;
    });
    BuildSmtpJob(peer.port());
    Frame().actions().send->trigger();
    QTRY_VERIFY(Frame().actions().send->isEnabled());
    QVERIFY(!Frame().actions().stopSending->isEnabled());
    QVERIFY2(Frame().statusMessage().contains(
                 "The server refused segment number 1 for good: 550 5.7.1 not from you"),
             qPrintable(Frame().statusMessage()));
    // The summary counts the failure and keeps the reason in the same line.
    QVERIFY2(Frame().statusMessage().startsWith("0 of 1 delivered, 1 failed: "),
             qPrintable(Frame().statusMessage()));
  }

  // Stop while a failed attempt waits for its retry: the run ends at once and the row says it
  // was stopped, not that it is trying again.
  void StopDuringARetryWaitLeavesTheRowStopped() {
    Start();
    dtltest::RefusingPort port;
    BuildSmtpJob(port.port());
    Frame().actions().send->trigger();
    QTreeWidget* list = Frame().sendList();
    // The second failure waits a second before the next attempt.
    QTRY_VERIFY(list->topLevelItem(0)->text(1).contains("trying again in"));
    QVERIFY(list->topLevelItem(0)->toolTip(1).contains("DTLErrorLog.xml"));
    Frame().actions().stopSending->trigger();
    QTRY_VERIFY(Frame().actions().send->isEnabled());
    // Send is enabled from the document's own flag, which can turn before the worker's last
    // queued status reaches the window: wait for the texts, do not sample them.
    QTRY_COMPARE(list->topLevelItem(0)->text(1), QString("Stopped"));
    // The run's summary, not its last status, and never the words of a finished run.
    QTRY_COMPARE(Frame().statusMessage(), QString("0 of 1 delivered, 1 stopped"));
    QCOMPARE(Frame().tray()->toolTip(), QString("0 of 1 delivered, 1 stopped"));
  }

  // The button a user presses for `action` on the visible tool bars.
  QWidget* ToolButtonFor(QAction* action) {
    for (QToolBar* bar : Frame().findChildren<QToolBar*>())
      if (QWidget* w = bar->widgetForAction(action); w && w->isVisible()) return w;
    return nullptr;
  }

  // A run that delivers every segment ends with the count in the status bar and the tray tip,
  // in place of the last "Sending Segment..."; a refused run counts its failure and says why.
  void FinishedSendRunSummarisesInStatusBarAndTray() {
    Start();
    const QString sink = base_ + "/sink";
    QDir().mkpath(sink);
    dtltest::SmtpFixture server(sink.toStdString(), {});
    QVERIFY(server.port() > 0);
    QVERIFY(store_->SetString("SMTPServer", "127.0.0.1"));
    QVERIFY(store_->SetDword("SMTPPort", static_cast<uint32_t>(server.port())));
    dtl::SendRequest r;
    for (const char* name : {"a.bin", "b.bin", "c.bin"}) {
      const QString file = base_ + "/" + name;
      uitest::WriteFile(file, QByteArray(700, 'y'));
      r.files.push_back({file.toStdString(), 700});
    }
    r.mailTo = "x@example.org";
    r.from = "me@example.org";
    r.method = dtl::SendMethod::SmtpServer;
    QVERIFY(app_->Doc().BuildPlainJob(r));
    Frame().applyEngineEvent({dtl::SendEventKind::WorkerLeft, 0, 0, {}});
    QTabBar* tabs = Frame().findChild<QTabBar*>();
    QVERIFY(tabs);
    QTest::mouseClick(tabs, Qt::LeftButton, {}, tabs->tabRect(0).center());
    QWidget* send = nullptr;
    QTRY_VERIFY((send = ToolButtonFor(Frame().actions().send)) != nullptr);
    QTest::mouseClick(send, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(Frame().statusMessage(), QString("3 of 3 segments delivered"), 30000);
    QCOMPARE(Frame().tray()->toolTip(), QString("3 of 3 segments delivered"));
    QVERIFY(Frame().actions().send->isEnabled() || !app_->Doc().CanSend());
  }

  void CloseAsksAndNoKeepsRunning() {
    Start();
    uitest::Messages m;
    m.answer = MsgAnswer::No;
    for (QAction* close : {Frame().actions().exit, Frame().actions().trayClose}) close->trigger();
    QCOMPARE(m.Texts(), QStringList(2, "Are you sure you want to close Drovetail?"));
    QCOMPARE(m.shown.first().first, MsgIcon::Question);
    QVERIFY(Frame().isVisible());
    m.answer = MsgAnswer::Yes;
    Frame().actions().trayClose->trigger();
    QVERIFY(!Frame().isVisible());
  }

  void MinimiseGoesToTrayUntilTheSettingsMenuReadsMinToTrayOff() {
    QVERIFY(store_->SetDword("MinToTray", 0));
    Start();
    // The flag still holds its initial 1: the window goes to the tray.
    Frame().showMinimized();
    QTRY_VERIFY(Frame().isHidden());
    QVERIFY(app_->trayHidden);
    emit Frame().tray()->activated(QSystemTrayIcon::DoubleClick);  // runs "Open Drovetail"
    QVERIFY(!app_->trayHidden);
    QVERIFY(Frame().isVisible());
    QVERIFY(Frame().windowState() & Qt::WindowMaximized);

    emit Frame().settingsMenu()->aboutToShow();
    QVERIFY(!Frame().trayOnMinimise());
    QVERIFY(!Frame().actions().minToTray->isChecked());
    Frame().showMinimized();
    QVERIFY(!app_->trayHidden);
    Frame().actions().minToTray->trigger();  // toggles and stores at once
    QCOMPARE(store_->GetDword("MinToTray"), 1u);
  }

  void SegmentManagerMinimisesWhenTheFrameGoesToTheTray() {
    Start();
    // Nothing listens on port 1: the crawl fails at once and the dialog stays with an empty tree.
    SegmentManagerDialog dlg(
        *store_, app_->Cookies(), app_->Endpoints(), {"http://127.0.0.1:1/", "", "", {}},
        [this] { return Frame().inTray(); }, &Frame());
    connect(&Frame(), &MainWindow::enteredTray, &dlg, &SegmentManagerDialog::minimiseWithFrame);
    dlg.show();
    QTRY_VERIFY(!dlg.Crawling());
    QVERIFY(dlg.isVisible());
    Frame().showMinimized();
    QTRY_VERIFY(Frame().isHidden());
    QTRY_VERIFY(dlg.isMinimized());
  }

  void DownloadDialogFollowsTheFrameIntoTheTrayAndBack() {
    Start();
    // The crawl meets a closed port and ends at once; the download's server accepts and never
    // answers, so the download dialog stays up while the frame comes and goes.
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    dtl::NetworkEndpoints ep = app_->Endpoints();
    ep.connectTo = {"mail.walla.com:80:127.0.0.1:1"};
    SegmentManagerDialog dlg(
        *store_, app_->Cookies(), ep, {"http://mail.walla.com/?w=/@inbox", "", "", {}},
        [this] { return Frame().inTray(); }, &Frame());
    connect(&Frame(), &MainWindow::enteredTray, &dlg, &SegmentManagerDialog::minimiseWithFrame);
    connect(&Frame(), &MainWindow::leftTray, &dlg, &SegmentManagerDialog::returnWithFrame);
    dlg.show();
    QTRY_VERIFY(!dlg.Crawling());
    dlg.File(
        {"movie.avi.001", QString("http://127.0.0.1:%1/a").arg(silent.serverPort()).toStdString()});
    if (!dlg.selectAll->isChecked()) dlg.selectAll->click();
    QTemporaryDir folder;
    SegmentManagerDialog::SetFolderPicker(
        [&](QWidget*, const QString&, const QString&) { return folder.path(); });
    dlg.autoMerge->setChecked(false);
    QTRY_VERIFY(dlg.downloadButton->isEnabled());
    dlg.downloadButton->click();
    SegmentManagerDialog::SetFolderPicker({});
    QPointer<DownloadDialog> download = dlg.downloadDialog();
    QVERIFY(download);
    QTRY_VERIFY_WITH_TIMEOUT(silent.hasPendingConnections(), 10000);
    QVERIFY(download->isVisible());

    Frame().showMinimized();
    QTRY_VERIFY(Frame().isHidden());
    QTRY_VERIFY(dlg.isMinimized());
    QTRY_VERIFY(download->isMinimized());

    emit Frame().tray()->activated(QSystemTrayIcon::DoubleClick);  // "Open Drovetail"
    QTRY_VERIFY(!dlg.isMinimized());
    QTRY_VERIFY(!download->isMinimized());
    QVERIFY(download->isVisible());
  }

  void AltKeysOpenTheirMenus() {
    Start();
    QVERIFY(QTest::qWaitForWindowActive(&Frame()));
    const QList<QPair<Qt::Key, QString>> cases = {{Qt::Key_F, "&File"},
                                                  {Qt::Key_S, "&Settings"},
                                                  {Qt::Key_T, "&Tools"},
                                                  {Qt::Key_H, "&Help"}};
    for (const auto& [key, title] : cases) {
      QMenu* menu = nullptr;
      for (QAction* a : Frame().menuBar()->actions())
        if (a->text() == title) menu = a->menu();
      QVERIFY2(menu, qPrintable(title));
      QTest::keyClick(&Frame(), key, Qt::AltModifier);
      QTRY_VERIFY2(menu->isVisible(), qPrintable(title));
      QTest::keyClick(menu, Qt::Key_Escape);
      QTRY_VERIFY(!menu->isVisible());
      // Escape leaves the menu bar holding the focus; the next Alt key starts afresh from the
      // window.
      QTest::keyClick(Frame().menuBar(), Qt::Key_Escape);
    }
  }

  void F6AndShiftF6GoRoundThePanes() {
    Start();
    QVERIFY(QTest::qWaitForWindowActive(&Frame()));
    const auto within = [](QWidget* pane) {
      QWidget* f = QApplication::focusWidget();
      return f && (f == pane || pane->isAncestorOf(f));
    };
    Frame().addressBox()->lineEdit()->setFocus();
    QTRY_VERIFY(within(Frame().addressBox()));
    struct Step {
      Qt::KeyboardModifiers modifiers;
      QWidget* pane;
      const char* name;
    };
    const QList<Step> steps = {
        {Qt::NoModifier, Frame().browserView(), "F6: the page of the tab in front"},
        {Qt::NoModifier, Frame().tabs()->tabBar(), "F6: the tab bar"},
        {Qt::NoModifier, Frame().addressBox(), "F6: round to the address box"},
        {Qt::ShiftModifier, Frame().tabs()->tabBar(), "Shift+F6: back round to the tab bar"},
        {Qt::ShiftModifier, Frame().browserView(), "Shift+F6: back to the page"},
    };
    for (const Step& step : steps) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_F6, step.modifiers);
      QTRY_VERIFY2(within(step.pane), step.name);
    }
  }

  void EditKeysActOnTheFocusedField() {
    Start();
    QVERIFY(QTest::qWaitForWindowActive(&Frame()));
    QLineEdit* edit = Frame().addressBox()->lineEdit();
    edit->setFocus();
    QTRY_VERIFY(Frame().addressBox()->isAncestorOf(QApplication::focusWidget()) ||
                QApplication::focusWidget() == Frame().addressBox());
    // Each command by its key and by its action (as a menu entry would run it).
    struct Case {
      QKeySequence key;
      QAction* action;
      QString textBefore, clipboardBefore, textAfter, clipboardAfter;
    };
    const MainActions& a = Frame().actions();
    const QList<Case> cases = {
        {QKeySequence::Copy, a.copy, "http://a.example/", "", "http://a.example/",
         "http://a.example/"},
        {QKeySequence::Cut, a.cut, "http://b.example/", "", "", "http://b.example/"},
        {QKeySequence::Paste, a.paste, "", "http://c.example/", "http://c.example/",
         "http://c.example/"},
    };
    for (bool byKey : {true, false}) {
      for (const Case& c : cases) {
        edit->setText(c.textBefore);
        QApplication::clipboard()->setText(c.clipboardBefore);
        if (byKey) {
          QTest::keySequence(QApplication::focusWidget(), QKeySequence::SelectAll);
          QTest::keySequence(QApplication::focusWidget(), c.key);
        } else {
          a.selectAll->trigger();
          c.action->trigger();
        }
        QCOMPARE(edit->text(), c.textAfter);
        QCOMPARE(QApplication::clipboard()->text(), c.clipboardAfter);
      }
    }
    // The focused page of the inner browser: Select All and Copy take its text.
    QVERIFY(QTest::qWaitFor(
        [&] {
          return Frame().browserView()->page()->url().isValid() &&
                 !Frame().browserView()->page()->isLoading();
        },
        20000));
    QApplication::clipboard()->clear();
    Frame().browserView()->webView()->setFocus();
    QTRY_VERIFY(Frame().browserView()->isAncestorOf(QApplication::focusWidget()));
    a.selectAll->trigger();
    a.copy->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(!QApplication::clipboard()->text().trimmed().isEmpty(), 20000);
    QVERIFY(edit->text().isEmpty() || edit->text() != QApplication::clipboard()->text());
  }

  void GoIsEnabledOnlyWithAnAddressAndNoLockIndicatorsAreShown() {
    Start();
    QLineEdit* edit = Frame().addressBox()->lineEdit();
    struct Case {
      QString typed;
      bool enabled;
    };
    const QList<Case> cases = {{"", false}, {"   ", false}, {"a", true}, {" a.example ", true}};
    for (const Case& c : cases) {
      edit->clear();
      QTest::keyClicks(edit, c.typed);
      QCOMPARE(Frame().actions().go->isEnabled(), c.enabled);
    }
    // Qt cannot read the lock keys everywhere: the status bar shows no indicators that lie.
    for (QLabel* label : Frame().statusBar()->findChildren<QLabel*>())
      QVERIFY2(!QStringList({"CAP", "NUM", "SCRL"}).contains(label->text()),
               qPrintable(label->text()));
  }

  void StatusTextGoesToStatusBarAndTray() {
    Start();
    Frame().showStatusText("Stopped", 0);
    QCOMPARE(Frame().statusMessage(), QString("Last status message: Stopped"));
    QCOMPARE(Frame().tray()->toolTip(), QString("Stopped"));
    Frame().setTrayTip(TrayTip::UploadPercent, {}, 42);
    QCOMPARE(Frame().tray()->toolTip(), QString("Upload Progress: 42%"));
    Frame().setTrayTip(TrayTip::Downloading, "movie.avi.003");
    QCOMPARE(Frame().tray()->toolTip(), QString("Downloading\nSegment @ movie.avi.003"));
    Frame().setTrayTip(TrayTip::Downloading, QString());  // without a string: nothing
    QCOMPARE(Frame().tray()->toolTip(), QString("Downloading\nSegment @ movie.avi.003"));
    Frame().setTrayTip(TrayTip::Reset);
    QCOMPARE(Frame().tray()->toolTip(), QString("Drovetail"));
  }

  // As root the web pages run without Chromium's sandbox (main() turns it off): the status bar
  // says so until the first status text takes its place.
  void StatusBarTellsARootUserTheSandboxIsOff_data() {
    QTest::addColumn<bool>("root");
    QTest::addColumn<QString>("first");
    QTest::addRow("root") << true << "Running as root: the web pages' sandbox is off";
    QTest::addRow("other user") << false << "Ready";
  }
  void StatusBarTellsARootUserTheSandboxIsOff() {
    QFETCH(bool, root);
    QFETCH(QString, first);
    app_ = std::make_unique<Application>(*store_, std::filesystem::path());
    app_->runningAsRoot = root;
    QVERIFY(app_->start({}));
    QVERIFY(QTest::qWaitForWindowExposed(app_->Frame()));
    QCOMPARE(Frame().statusMessage(), first);
    Frame().showStatusText("Stopped", 0);
    QCOMPARE(Frame().statusMessage(), QString("Last status message: Stopped"));
  }

  void EnterInTheAddressBoxKeepsTheAddressAcrossARestart() {
    Start();
    QSignalSpy navigate(&Frame(), &MainWindow::navigateRequested);
    QVERIFY(!Frame().actions().go->isEnabled());
    for (const QString url : {"http://a.example/", "http://b.example/"}) {
      Frame().addressBox()->lineEdit()->setText(url);
      QTest::keyClick(Frame().addressBox()->lineEdit(), Qt::Key_Return);
    }
    QCOMPARE(navigate.count(), 2);
    QCOMPARE(navigate.last().first().toString(), QString("http://b.example/"));
    // As a user types: the keys go wherever the focus is after a click into the box.
    QTest::mouseClick(Frame().addressBox()->lineEdit(), Qt::LeftButton);
    QTRY_VERIFY(QApplication::focusWidget() != nullptr);
    QWidget* focus = QApplication::focusWidget();
    QTest::keyClick(focus, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(focus, "http://c.example/");
    QTest::keyClick(focus, Qt::Key_Return);
    QCOMPARE(navigate.count(), 3);
    QCOMPARE(navigate.last().first().toString(), QString("http://c.example/"));
    cleanup();
    Start();
    QCOMPARE(Frame().addressBox()->itemText(0), QString("http://c.example/"));
    QCOMPARE(Frame().addressBox()->count(), 3);
  }

  // An address book an earlier version left beside the program moves to the data folder at
  // start, and the Add Recipients dialog then reads it from there.
  void OldContactsBesideTheProgramMoveToTheDataFolder() {
    const QString program = base_ + "/fake-bin";
    QDir().mkpath(program);
    uitest::WriteFile(program + "/Contacts.dat", "old@friend.org\r\n");
    const QString dataHome = QString::fromLocal8Bit(qgetenv("XDG_DATA_HOME"));
    const QString moved = dataHome + "/drovetail/Contacts.dat";
    QFile::remove(moved);
    app_ = std::make_unique<Application>(*store_, dataHome.toStdString());
    app_->programFolder = program.toStdString();
    QVERIFY(app_->start({}));
    QVERIFY(!QFile::exists(program + "/Contacts.dat"));
    QCOMPARE(uitest::ReadFile(moved), QByteArray("old@friend.org\r\n"));
    QCOMPARE(QFileInfo(dataHome + "/drovetail").permissions() &
                 (QFile::ReadGroup | QFile::ReadOther | QFile::WriteGroup | QFile::WriteOther),
             QFile::Permissions());
    AddRecipientsDialog dlg(&Frame());
    QCOMPARE(dlg.BookList()->count(), 1);
    QCOMPARE(dlg.BookList()->item(0)->text(), QString("old@friend.org"));
    QFile::remove(moved);
  }

  // Files dropped on the send list open File Split with them chosen; a drop of anything but
  // local files is refused and opens nothing.
  void FilesDroppedOnTheSendListOpenFileSplitWithThem() {
    const QString a = base_ + "/drop-a.bin", b = base_ + "/drop-b.bin";
    uitest::WriteFile(a, "a");
    uitest::WriteFile(b, "b");
    Start();
    QWidget* list = Frame().sendList()->viewport();
    auto* web = new QMimeData;
    web->setUrls({QUrl("https://example.com/a.bin")});
    QVERIFY(!uitest::DropOn(list, web));
    auto* text = new QMimeData;
    text->setText(a);
    QVERIFY(!uitest::DropOn(list, text));

    QString shown;
    QTimer poll;
    connect(&poll, &QTimer::timeout, [&] {
      auto* dlg = qobject_cast<SplitSendDialog*>(QApplication::activeModalWidget());
      if (!dlg) return;
      shown = dlg->files->text();
      dlg->reject();
    });
    poll.start(10);
    QVERIFY(uitest::DropFiles(list, {a, b}));
    QTRY_COMPARE(shown, a + ", " + b);
    QTRY_COMPARE(QApplication::activeModalWidget(), nullptr);
  }

  void DescriptorOnTheCommandLineOpensTheMergeDialogWithIt() {
    const QString descriptor = base_ + "/in/movie.avi.dtl";
    QDir().mkpath(base_ + "/in");
    uitest::WriteFile(descriptor, "x");
    QStringList listed;
    QTimer::singleShot(0, [&] {
      auto* merge = qobject_cast<MergeDialog*>(QApplication::activeModalWidget());
      if (!merge) return;
      listed = merge->Descriptors();
      merge->reject();
    });
    Start({base_ + "/in/../in/movie.avi.dtl"});
    QCOMPARE(listed, QStringList{descriptor});
  }

  // "Receive from Mailbox…" sits in the File menu and on the browser tool bar. With no IMAP
  // server stored it asks for the settings first: Cancel opens nothing, OK opens the Segment
  // Manager over the mailbox just named; asked again, the open one comes forward and the
  // settings are not asked for again.
  void ReceiveFromMailboxAsksForTheServerFirst() {
    Start();
    uitest::Messages m;
    const MainActions& a = Frame().actions();
    QCOMPARE(a.receiveFromMailbox->text(), QString("Receive from Mailbox…"));
    QVERIFY(Frame().menuBar()->actions().first()->menu()->actions().contains(a.receiveFromMailbox));
    QVERIFY(Frame().browserBar->actions().contains(a.receiveFromMailbox));
    QVERIFY(Frame().settingsMenu()->actions().contains(a.imapSettings));

    QTcpServer probe;  // a port known to be free once closed: the listing fails at once
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    const quint16 port = probe.serverPort();
    probe.close();
    const auto managers = [this] { return Frame().findChildren<SegmentManagerDialog*>(); };
    int asked = 0;
    // Answers the IMAP settings once they are up (they run modally inside the action).
    const auto answerSettings = [&](bool ok) {
      auto* poll = new QTimer(this);
      poll->setInterval(20);
      connect(poll, &QTimer::timeout, this, [&, poll, ok] {
        auto* dlg = qobject_cast<ImapSettingsDialog*>(QApplication::activeModalWidget());
        if (!dlg) return;
        poll->stop();
        poll->deleteLater();
        ++asked;
        dlg->server->setText("127.0.0.1");
        dlg->port->setValue(port);
        if (ok)
          dlg->accept();
        else
          dlg->reject();
      });
      poll->start();
    };

    answerSettings(false);
    a.receiveFromMailbox->trigger();
    QCOMPARE(asked, 1);
    QVERIFY(managers().isEmpty());
    QCOMPARE(store_->ImapServer(), std::string());

    answerSettings(true);
    a.receiveFromMailbox->trigger();
    QCOMPARE(asked, 2);
    QCOMPARE(store_->ImapServer(), std::string("127.0.0.1"));
    QCOMPARE(managers().size(), 1);
    SegmentManagerDialog* manager = managers().first();
    QVERIFY(manager->isVisible());
    // The listing ran against the server just stored (nobody listens there).
    QTRY_VERIFY_WITH_TIMEOUT(!manager->Crawling(), 30000);
    QCOMPARE(m.shown.size(), 1);
    QVERIFY2(m.shown[0].second.startsWith("could not connect to the IMAP server 127.0.0.1:" +
                                          QString::number(port)),
             qPrintable(m.shown[0].second));

    a.receiveFromMailbox->trigger();
    QCOMPARE(asked, 2);
    QCOMPARE(managers(), QList<SegmentManagerDialog*>{manager});
  }

  void StartUpRegistersTheDescriptorType() {
    Start({}, base_ + "/data");
    QDir apps(base_ + "/data/applications");
    const QStringList entries = apps.entryList({"*.desktop"});
    QCOMPARE(entries.size(), 1);
    const QByteArray entry = uitest::ReadFile(apps.filePath(entries.first()));
    QVERIFY(entry.contains("MimeType=application/x-dtl"));
    QVERIFY(entry.contains(" %f"));
    QCOMPARE(QDir(base_ + "/data/mime/packages").entryList(QDir::Files).size(), 1);
  }

  void MissingDescriptorOpensNoMergeDialog() {
    bool opened = false;
    QTimer::singleShot(0, [&] {
      if (auto* w = QApplication::activeModalWidget()) {
        opened = true;
        w->close();
      }
    });
    Start({base_ + "/nope.dtl"});
    QVERIFY(!opened);
  }

  void ExitDeletesLeftoverPieceFiles() {
    Start();
    const QString tmp = base_ + "/tmp";
    uitest::WriteFile(tmp + "/DTL999999_abc.tmp", "piece");
    uitest::WriteFile(tmp + "/keep.tmp", "other");
    app_->shutdown();
    app_.reset();
    QVERIFY(!QFile::exists(tmp + "/DTL999999_abc.tmp"));
    QVERIFY(QFile::exists(tmp + "/keep.tmp"));
  }

  void SendListShowsThePlainJobAndCarriesCheckBoxesToTheRecords() {
    Start();
    const QString a = base_ + "/two-k.bin", b = base_ + "/three-m.bin";
    uitest::WriteFile(a, QByteArray(2048, 'a'));
    uitest::WriteFile(b, QByteArray(3'500'000, 'b'));
    dtl::SendRequest r;
    r.files = {{a.toStdString(), 2048}, {b.toStdString(), 3'500'000}};
    r.mailTo = "x@example.org";
    QVERIFY(app_->Doc().BuildPlainJob(r));
    QTreeWidget* list = Frame().sendList();
    QCOMPARE(list->topLevelItemCount(), 2);
    QCOMPARE(list->topLevelItem(0)->text(0), QString("two-k.bin (2 KB)"));
    QCOMPARE(list->topLevelItem(1)->text(0), QString("three-m.bin (3 MB)"));
    QCOMPARE(list->topLevelItem(0)->text(1), QString("Queued"));
    QCOMPARE(list->topLevelItem(0)->text(2), QString("0%"));

    list->topLevelItem(1)->setCheckState(0, Qt::Unchecked);
    QCOMPARE(app_->Doc().Records()[1].pending, 0);
    list->topLevelItem(1)->setCheckState(0, Qt::Checked);
    QCOMPARE(app_->Doc().Records()[1].pending, 1);

    Frame().applyEngineEvent({dtl::SendEventKind::Delivered, 0, 0, {}});
    QCOMPARE(list->topLevelItem(0)->text(1), QString("Success"));
    QCOMPARE(list->topLevelItem(0)->checkState(0), Qt::Unchecked);
    QCOMPARE(list->topLevelItem(0)->background(0).color(), QColor(0xCD, 0xFB, 0xCF));
    Frame().applyEngineEvent({dtl::SendEventKind::FailedRetrying, 1, 0, {}});
    QCOMPARE(list->topLevelItem(1)->background(0).color(), QColor(0xFE, 0xC6, 0xC6));

    // Rows start ticked (as their records are pending): the first toggle clears every box.
    Frame().actions().toggleChecks->trigger();
    QCOMPARE(list->topLevelItem(1)->checkState(0), Qt::Unchecked);
    QCOMPARE(app_->Doc().Records()[1].pending, 0);
    Frame().actions().toggleChecks->trigger();
    QCOMPARE(list->topLevelItem(0)->checkState(0), Qt::Checked);
    QCOMPARE(app_->Doc().Records()[0].pending, 1);
  }
  // --- The steady window, the help and the links ----------------------------------------------

  // Clicks tab `i` on the tab bar as a user does.
  void ClickTab(int i) {
    QTabBar* bar = Frame().tabs()->tabBar();
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(i).center());
    QTRY_COMPARE(Frame().tabs()->currentIndex(), i);
  }
  // The tab bar's place in the window once the layouts asked for so far have run (a tab switch
  // shows and hides tool bars at once, their layout follows as a posted request).
  QRect TabBarGeometry() {
    QApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    QTabBar* bar = Frame().tabs()->tabBar();
    return {bar->mapTo(&Frame(), QPoint()), bar->size()};
  }
  // Opens the Help menu with Alt+H as a user does; null when it did not open.
  QMenu* OpenHelpMenu() {
    QMenu* menu = Frame().helpMenu();
    QTest::keyClick(&Frame(), Qt::Key_H, Qt::AltModifier);
    return QTest::qWaitFor([menu] { return menu->isVisible(); }) ? menu : nullptr;
  }
  void CloseMenus(QMenu* menu) {
    QTest::keyClick(menu, Qt::Key_Escape);
    QTRY_VERIFY(!menu->isVisible());
    QTest::keyClick(Frame().menuBar(), Qt::Key_Escape);
  }
  static QStringList ShownEntries(QMenu* menu) {
    QStringList texts;
    for (QAction* a : menu->actions())
      if (a->isVisible() && !a->isSeparator()) texts << a->text();
    return texts;
  }

  // The tab bar never moves under the mouse: the same place and size on every tab, whatever
  // tool bars the tab shows, and every tab still offers its buttons.
  void TabBarStaysPutOnEveryTab() {
    Start();
    QVERIFY(QTest::qWaitForWindowActive(&Frame()));
    const QRect first = TabBarGeometry();
    const MainActions& a = Frame().actions();
    struct Case {
      int tab;
      QList<QAction*> buttons;
    };
    const QList<Case> cases = {{0, {a.chooseFile, a.send, a.mergeFile, a.sendQuickHelp}},
                               {2, {}},
                               {3, {a.back, a.refresh, a.webMailSites}},
                               {1, {a.back, a.exportPassword, a.browserQuickHelp, a.go}},
                               {0, {a.send}}};
    for (const Case& c : cases) {
      ClickTab(c.tab);
      for (QAction* action : c.buttons)
        QTRY_VERIFY2(ToolButtonFor(action) != nullptr, qPrintable(action->text()));
      QVERIFY2(TabBarGeometry() == first, qPrintable(QString("tab %1").arg(c.tab)));
    }
  }

  // The address box moved with its tool bar below the tabs: Enter in it still navigates.
  void EnterInTheAddressBoxStillNavigatesBelowTheTabs() {
    Start();
    QVERIFY(QTest::qWaitForWindowActive(&Frame()));
    ClickTab(0);
    ClickTab(1);
    QSignalSpy asked(&Frame(), &MainWindow::navigateRequested);
    QLineEdit* edit = Frame().addressBox()->lineEdit();
    QTest::mouseClick(edit, Qt::LeftButton);
    QTRY_VERIFY(Frame().addressBox()->isAncestorOf(QApplication::focusWidget()) ||
                QApplication::focusWidget() == Frame().addressBox());
    QWidget* focus = QApplication::focusWidget();
    QTest::keyClick(focus, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(focus, "http://127.0.0.1:1/typed");
    QTest::keyClick(focus, Qt::Key_Return);
    QTRY_COMPARE(asked.size(), 1);
    QCOMPARE(asked.first().first().toString(), QString("http://127.0.0.1:1/typed"));
  }

  // Both Quick Help tips fit a small screen and say each thing once; their link opens the
  // program's help on the desktop page, never a web site.
  void QuickHelpTipsFitAndShowEachPartOnce() {
    Start();
    QVERIFY(QTest::qWaitForWindowActive(&Frame()));
    uitest::Messages messages;
    const MainActions& a = Frame().actions();
    struct Case {
      const char* name;
      int tab;
      QAction* button;
      std::function<HtmlToolTip*()> tip;
    };
    const QList<Case> cases = {
        {"send list", 0, a.sendQuickHelp, [this] { return Frame().sendList()->quickHelp(); }},
        {"browser", 1, a.browserQuickHelp, [this] { return Frame().browserView()->quickHelp(); }},
    };
    for (const Case& c : cases) {
      ClickTab(c.tab);
      QWidget* button = nullptr;
      QTRY_VERIFY2((button = ToolButtonFor(c.button)) != nullptr, c.name);
      QTest::mouseClick(button, Qt::LeftButton);
      HtmlToolTip* tip = nullptr;
      QTRY_VERIFY2((tip = c.tip()) != nullptr && tip->isVisible(), c.name);
      QVERIFY2(tip->width() <= HtmlToolTip::kMaxWidth, qPrintable(QString::number(tip->width())));
      QVERIFY2(tip->width() > 100 && tip->height() > 40, c.name);
      QString shown;
      for (QLabel* label : tip->findChildren<QLabel*>()) shown += label->text() + "\n";
      QVERIFY2(shown.count("Drovetail Quick Help") == 1, qPrintable(shown));
      QVERIFY2(shown.count("Click here for more help...") == 1, qPrintable(shown));
      QVERIFY2(!shown.contains(".example"), qPrintable(shown));
      // Every label's text fits the tip's width: nothing is cut off at the right.
      for (QLabel* label : tip->findChildren<QLabel*>())
        QVERIFY2(label->geometry().right() < tip->width(), qPrintable(label->text()));
      QLabel* link = tip->linkLabel();
      QTest::mouseClick(link, Qt::LeftButton, {},
                        QPoint(link->contentsRect().left() + 8, link->height() / 2));
      QTRY_VERIFY2(Frame().helpWindow() && Frame().helpWindow()->isVisible(), c.name);
      QCOMPARE(Frame().helpWindow()->currentPage().fileName(), QString("desktop.md"));
      QVERIFY(!tip->isVisible());
      Frame().helpWindow()->close();
    }
    QVERIFY(messages.opened.isEmpty());
  }

  // Help opens the installed documentation, desktop.md first; a link to another page opens
  // that page in the same window, and Back returns.
  void HelpShowsTheDocsAndFollowsTheirLinks() {
    Start();
    QVERIFY(QTest::qWaitForWindowActive(&Frame()));
    uitest::Messages messages;
    QMenu* menu = OpenHelpMenu();
    QVERIFY(menu);
    QTest::mouseClick(menu, Qt::LeftButton, {},
                      menu->actionGeometry(Frame().actions().help).center());
    QTRY_VERIFY(Frame().helpWindow() && Frame().helpWindow()->isVisible());
    HelpWindow* help = Frame().helpWindow();
    QVERIFY(QTest::qWaitForWindowExposed(help));
    QCOMPARE(help->currentPage().fileName(), QString("desktop.md"));
    QTextBrowser* text = help->browser();
    QVERIFY(text->toPlainText().startsWith("The desktop program"));
    // The link to sending.md, clicked where it is drawn.
    int at = -1;
    for (QTextBlock b = text->document()->begin(); b.isValid() && at < 0; b = b.next())
      for (auto it = b.begin(); !it.atEnd(); ++it)
        if (it.fragment().charFormat().anchorHref() == "sending.md") {
          at = it.fragment().position() + 1;
          break;
        }
    QVERIFY(at > 0);
    QTextCursor cursor(text->document());
    cursor.setPosition(at);
    text->setTextCursor(cursor);
    text->ensureCursorVisible();
    const QPoint spot = text->cursorRect(cursor).center() + QPoint(2, 0);
    QTest::mouseClick(text->viewport(), Qt::LeftButton, {}, spot);
    QTRY_COMPARE(help->currentPage().fileName(), QString("sending.md"));
    QVERIFY(text->toPlainText().startsWith("Sending"));
    QWidget* back = nullptr;
    for (QToolButton* b : help->findChildren<QToolButton*>())
      if (b->text() == "Back") back = b;
    QVERIFY(back && back->isEnabled());
    QTest::mouseClick(back, Qt::LeftButton);
    QTRY_COMPARE(help->currentPage().fileName(), QString("desktop.md"));
    // The list beside the text names every installed page and follows the page shown.
    QListWidget* pages = help->pages();
    QStringList titles;
    for (int i = 0; i < pages->count(); ++i) titles << pages->item(i)->text();
    QCOMPARE(titles, (QStringList{"The desktop program", "Sending", "Receiving", "Mail accounts",
                                  "Security", "Benchmarks"}));
    QCOMPARE(pages->currentRow(), 0);
    QTest::mouseClick(pages->viewport(), Qt::LeftButton, {},
                      pages->visualItemRect(pages->item(3)).center());
    QTRY_COMPARE(help->currentPage().fileName(), QString("accounts.md"));
    QCOMPARE(pages->currentRow(), 3);
    QVERIFY(messages.opened.isEmpty());
    // Help again brings the same window forward.
    Frame().actions().help->trigger();
    QCOMPARE(Frame().helpWindow(), help);
  }

  // "Websites" and "Tell a friend..." lead to the product's site: hidden while none is
  // configured, shown (and leading there) once ProductSite names one, without a restart.
  void SiteItemsShowOnlyWithAProductSite() {
    Start();
    QVERIFY(QTest::qWaitForWindowActive(&Frame()));
    uitest::Messages messages;
    QMenu* menu = OpenHelpMenu();
    QVERIFY(menu);
    QCOMPARE(ShownEntries(menu), (QStringList{"&Help", "&About"}));
    QVERIFY(!Frame().actions().forums->isVisible());  // the web-mail menu's forums are the site's
    CloseMenus(menu);

    QVERIFY(store_->SetString("ProductSite", "www.example.org"));
    QVERIFY((menu = OpenHelpMenu()));
    QCOMPARE(ShownEntries(menu), (QStringList{"&Help", "Websites", "Tell a friend...", "&About"}));
    QVERIFY(Frame().actions().forums->isVisible());
    QTest::mouseClick(menu, Qt::LeftButton, {},
                      menu->actionGeometry(Frame().actions().tellAFriend).center());
    QTRY_COMPARE(messages.opened.size(), 1);
    QCOMPARE(messages.opened.first().scheme(), QString("mailto"));
    QVERIFY(
        messages.opened.first().toString(QUrl::FullyDecoded).contains("https://www.example.org"));

    QVERIFY((menu = OpenHelpMenu()));
    QAction* websites = nullptr;
    for (QAction* a : menu->actions())
      if (a->text() == "Websites") websites = a;
    QVERIFY(websites && websites->menu());
    QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(websites).center());
    QMenu* sites = websites->menu();
    QTRY_VERIFY(sites->isVisible());
    QCOMPARE(ShownEntries(sites), QStringList{"www.example.org"});
    QTest::mouseClick(sites, Qt::LeftButton, {},
                      sites->actionGeometry(Frame().actions().siteHome).center());
    QTRY_COMPARE(messages.opened.size(), 2);
    QCOMPARE(messages.opened.last(), QUrl("https://www.example.org"));
  }

  // The sibling product's tab: its own local page while no site is configured, and the same
  // page, not the browser's error page, when the configured site cannot be reached.
  void SiblingTabShowsItsLocalPageWithoutAReachableSite_data() {
    QTest::addColumn<QString>("site");
    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost));
    const quint16 port = closed.serverPort();
    closed.close();  // nobody listens there any more
    QTest::addRow("no site configured") << QString();
    QTest::addRow("configured site unreachable") << QString("http://127.0.0.1:%1/").arg(port);
  }
  void SiblingTabShowsItsLocalPageWithoutAReachableSite() {
    QFETCH(QString, site);
    if (!site.isEmpty()) QVERIFY(store_->SetString("SiblingSite", S(site)));
    Start();
    QVERIFY(QTest::qWaitForWindowActive(&Frame()));
    SidePane* pane = Frame().siblingPane();
    QCOMPARE(pane->home(), site.isEmpty() ? SidePane::siblingLocalPage() : QUrl(site));
    QSignalSpy loads(pane, &QWebEngineView::loadFinished);
    ClickTab(3);
    constexpr int kWaitMs = 20000;
    QTRY_COMPARE_WITH_TIMEOUT(pane->url(), SidePane::siblingLocalPage(), kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(pane->title(), QString("Sibling product"), kWaitMs);
    QVERIFY(uitest::ReadFile(SidePane::siblingLocalPage().toLocalFile()).contains("No such site"));
  }
};

QTEST_MAIN(MainFrameTest)
#include "MainWindow_test.moc"
