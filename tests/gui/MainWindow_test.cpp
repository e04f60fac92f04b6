// The main window: tabs and tool bars, tray and close, status texts, the address box, start-up
// with a descriptor, the exit sweep, and the send list driven by the document.
#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <QTreeWidget>
#include <QWebEnginePage>

#include "gui/Application.h"
#include "gui/BrowserPage.h"
#include "gui/BrowserView.h"
#include "gui/FileListView.h"
#include "gui/HistoryCombo.h"
#include "gui/MainWindow.h"
#include "gui/MergeDialog.h"
#include "gui/SegmentManagerDialog.h"
#include "gui/SidePane.h"
#include "gui/UiTestSupport.h"
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
    QCOMPARE(list->topLevelItem(0)->text(1), QString("Stopped"));
    QCOMPARE(Frame().statusMessage(), QString("Last status message: Stopped"));
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
        *store_, app_->Cookies(), app_->Endpoints(), {"http://127.0.0.1:1/", "", ""},
        [this] { return Frame().inTray(); }, &Frame());
    connect(&Frame(), &MainWindow::enteredTray, &dlg, &SegmentManagerDialog::minimiseWithFrame);
    dlg.show();
    QTRY_VERIFY(!dlg.Crawling());
    QVERIFY(dlg.isVisible());
    Frame().showMinimized();
    QTRY_VERIFY(Frame().isHidden());
    QTRY_VERIFY(dlg.isMinimized());
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
    cleanup();
    Start();
    QCOMPARE(Frame().addressBox()->itemText(0), QString("http://b.example/"));
    QCOMPARE(Frame().addressBox()->count(), 2);
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
};

QTEST_MAIN(MainFrameTest)
#include "MainWindow_test.moc"
