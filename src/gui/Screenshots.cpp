#include "gui/Screenshots.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <fstream>
#include <functional>
#include <map>
#include <memory>

#include "base/AddressBook.h"
#include "gui/AboutDialog.h"
#include "gui/AccountDialog.h"
#include "gui/AddRecipientsDialog.h"
#include "gui/AdvancedSettingsDialog.h"
#include "gui/Application.h"
#include "gui/BrowserView.h"
#include "gui/ConfirmReplaceDialog.h"
#include "gui/DownloadDialog.h"
#include "gui/EncryptionSettingsDialog.h"
#include "gui/ExportPasswordDialog.h"
#include "gui/FileListView.h"
#include "gui/HelpWindow.h"
#include "gui/HistoryCombo.h"
#include "gui/ImapSettingsDialog.h"
#include "gui/MainWindow.h"
#include "gui/MergeDialog.h"
#include "gui/MergingDialog.h"
#include "gui/PlainTransferDialog.h"
#include "gui/SegmentManagerDialog.h"
#include "gui/ServerTestDialog.h"
#include "gui/SmtpSettingsDialog.h"
#include "gui/SplitFileDialog.h"
#include "gui/SplitSendDialog.h"
#include "gui/UiSupport.h"
#include "gui/widgets/BusyIndicator.h"
#include "gui/widgets/ColorBandSlider.h"
#include "gui/widgets/HtmlToolTip.h"
#include "receive/DownloadEngine.h"

namespace dtlui {
namespace {

void WriteSample(const QString& path, size_t bytes) {
  std::ofstream out(S(path), std::ios::binary);
  for (size_t i = 0; i < bytes; ++i) out.put(static_cast<char>('a' + i % 26));
}

// Takes the picture of a window, telling `seen` (when set) about it first.
bool Picture(QWidget* w, const QString& folder, const QString& name, const ScreenshotSeen& seen) {
  if (seen) seen(name, w);
  return w->grab().save(folder + "/" + name + ".png");
}

// Lays the window out and lets it settle before its picture is taken.
bool Save(QWidget* w, const QString& folder, const QString& name, const ScreenshotSeen& seen) {
  w->show();
  w->activateWindow();
  for (int i = 0; i < 3; ++i) QApplication::processEvents();
  return Picture(w, folder, name, seen);
}

// Web views load on their own time: a picture of one is taken once nothing it shows is loading
// any more (bounded, so a page that never finishes costs at most a few seconds).
class WebLoadWatch {
 public:
  explicit WebLoadWatch(QWidget* root) {
    for (auto* view : root->findChildren<QWebEngineView*>()) {
      QObject::connect(view, &QWebEngineView::loadStarted, [this, view] { busy_[view] = true; });
      QObject::connect(view, &QWebEngineView::loadFinished, [this, view] { busy_[view] = false; });
    }
  }
  void Settle() {
    QElapsedTimer clock;
    clock.start();
    // Let a first show start its load, then wait for the loads to end and the page to paint.
    while (clock.elapsed() < 300) QApplication::processEvents(QEventLoop::AllEvents, 50);
    while (Busy() && clock.elapsed() < 8000) QApplication::processEvents(QEventLoop::AllEvents, 50);
    const qint64 done = clock.elapsed();
    while (clock.elapsed() < done + 400) QApplication::processEvents(QEventLoop::AllEvents, 50);
  }

 private:
  bool Busy() const {
    for (const auto& [view, busy] : busy_)
      if (busy && view->isVisible()) return true;
    return false;
  }
  std::map<QWebEngineView*, bool> busy_;
};

}  // namespace

int SaveScreenshots(const QString& folder, const ScreenshotSeen& seen) {
  QTemporaryDir tmp;
  if (!tmp.isValid() || !QDir().mkpath(folder)) return 1;
  const QString base = tmp.path();
  SetMessageHook([](MsgIcon, const QString&, MsgButtons) { return MsgAnswer::Yes; });
  SetOpenHook([](const QUrl&) { return true; });
  dtl::SettingsStore store(S(base + "/settings.reg"));
  // Sample values for the pictures: one that cannot be stored only shows as blank in its shot.
  (void)store.WriteProfileString("AddressHistory0", "http://mail.example.org/");
  (void)store.WriteProfileString("AddressHistory1", "http://www.drovetail.example/");
  (void)store.WriteProfileString("HistoryCombo0", "friend@example.org");
  (void)store.SetString("SMTPServer", "smtp.example.org");
  (void)store.SetDword("SMTPPort", 465);
  (void)store.SetString("SMTPUserName", "me@example.org");
  (void)store.SetDword("SSL", 1);
  const QString sample = base + "/holiday-video.avi";
  WriteSample(sample, 2'350'000);
  const std::string book = S(base + "/Contacts.dat");
  {
    auto b = dtl::AddressBook::Load(book);
    for (const char* a :
         {"ann@example.org", "bob@example.net", "carol@example.com", "dave@example.org"})
      b.Add(a);
    (void)b.Save(book);  // a sample, as above
  }

  bool ok = true;
  Application app(store, {});
  app.start({});
  MainWindow* frame = app.Frame();
  frame->resize(960, 600);
  WebLoadWatch web(frame);
  frame->show();
  web.Settle();  // the first paint switches to "Browse" and the panes load their pages

  dtl::SendRequest request;
  request.files = {{S(sample), 2'350'000}};
  request.fileText = S(sample);
  request.mailTo = "friend@example.org";
  request.position = 100;
  (void)app.Doc().BuildSplitJob(request);
  frame->tabs()->setCurrentIndex(0);
  frame->applyEngineEvent({dtl::SendEventKind::Status, 0, 0, "Sending Segment..."});
  frame->applyEngineEvent({dtl::SendEventKind::Delivered, 0, 0, {}});
  frame->applyEngineEvent({dtl::SendEventKind::Status, 1, 0,
                           "Failed sending segment number 2: connect: Connection refused "
                           "\u2014 trying again in 8 s"});
  frame->applyEngineEvent({dtl::SendEventKind::FailedRetrying, 1, 0, {}});
  frame->applyEngineEvent({dtl::SendEventKind::Status, 2, 0, "Sending Segment..."});
  frame->applyEngineEvent({dtl::SendEventKind::UploadPercent, 2, 40, {}});
  ok &= Save(frame, folder, "main-send-list", seen);
  frame->sendList()->showQuickHelp(frame->mapToGlobal(QPoint(200, 160)));
  ok &= Save(frame->sendList()->quickHelp(), folder, "send-quick-help", seen);
  frame->sendList()->quickHelp()->hide();
  // The end of a run as the status bar tells it, with the list as that run leaves it: a
  // stopped one (the retried segment went out, the last one was stopped), then the same run
  // sent again to the end.
  frame->applyEngineEvent({dtl::SendEventKind::Status, 1, 0, "Sending Segment..."});
  frame->applyEngineEvent({dtl::SendEventKind::Delivered, 1, 0, {}});
  frame->applyEngineEvent({dtl::SendEventKind::Status, 2, 0, "Stopped"});
  frame->showRunSummary(3, 2, true, {});
  ok &= Save(frame, folder, "main-send-stopped", seen);
  frame->applyEngineEvent({dtl::SendEventKind::Status, 2, 0, "Sending Segment..."});
  frame->applyEngineEvent({dtl::SendEventKind::Delivered, 2, 0, {}});
  frame->showRunSummary(1, 1, false, {});
  ok &= Save(frame, folder, "main-send-finished", seen);
  frame->tabs()->setCurrentIndex(2);
  web.Settle();
  ok &= Save(frame, folder, "main-support", seen);
  frame->tabs()->setCurrentIndex(3);
  web.Settle();
  ok &= Save(frame, folder, "main-sibling", seen);
  frame->tabs()->setCurrentIndex(1);
  web.Settle();
  ok &= Save(frame, folder, "main-browse", seen);
  {
    // The start page's lines on the send methods sit below its first screen.
    // Shared: an answer that comes after the wait below must not write to a gone variable.
    auto scrolled = std::make_shared<bool>(false);
    frame->browserView()->webView()->page()->runJavaScript(
        "var part = document.getElementById('send-methods');"
        "if (part) { part.scrollIntoView(); window.scrollBy(0, -12); } true",
        [scrolled](const QVariant&) { *scrolled = true; });
    QElapsedTimer clock;
    clock.start();
    while (!*scrolled && clock.elapsed() < 3000)
      QApplication::processEvents(QEventLoop::AllEvents, 50);
    web.Settle();
    ok &= Save(frame, folder, "main-start-page-methods", seen);
  }
  frame->browserView()->showQuickHelp();
  if (auto* help = frame->browserView()->quickHelp()) {
    ok &= Save(help, folder, "browser-quick-help", seen);
    help->hide();
  }
  // The help window on its first page, as Help (or a Quick Help's link) opens it.
  frame->openHelp();
  if (HelpWindow* help = frame->helpWindow()) {
    ok &= Save(help, folder, "help", seen);
    help->close();
  }

  const auto shot = [&](QDialog* dlg, const QString& name,
                        const std::function<void()>& prepare = {}) {
    if (prepare) prepare();
    ok &= Save(dlg, folder, name, seen);
    dlg->hide();
    delete dlg;
  };
  shot(new AboutDialog(frame), "about");
  {
    auto* dlg =
        new AddRecipientsDialog(frame, "bob@example.net;erin@example.com;frank@example.org;", book);
    shot(dlg, "add-recipients", [dlg] {
      dlg->AddressEdit()->setText("gina@example.net");
      dlg->BookList()->setCurrentRow(0);
    });
  }
  {
    // The note under the field, as Enter on something that is no address leaves it.
    auto* dlg = new AddRecipientsDialog(frame, "bob@example.net;", book);
    shot(dlg, "add-recipients-refused", [dlg] {
      dlg->AddressEdit()->setText("gina.example.net");
      QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
      QApplication::sendEvent(dlg->AddressEdit(), &enter);
    });
  }
  {
    auto* dlg = new SplitSendDialog(store, false, frame, [](QWidget*) {});
    shot(dlg, "file-split", [dlg, sample] {
      dlg->ChooseFiles({sample});
      dlg->slider->setValue(150);
      dlg->recovery->setValue(10);
      dlg->mailTo->setEditText("friend@example.org");
      // The method and sender as proposed to a user who set up an SMTP server and has chosen
      // neither yet.
    });
  }
  {
    // A typed size that is not one: the box keeps it and the line under the slider says why.
    auto* dlg = new SplitSendDialog(store, false, frame, [](QWidget*) {});
    shot(dlg, "file-split-typed-size", [dlg, sample] {
      dlg->ChooseFiles({sample});
      dlg->sizeDisplay->setText("12 MB");
      emit dlg->sizeDisplay->textEdited("12 MB");
      dlg->mailTo->setEditText("friend@example.org");
    });
  }
  {
    auto* dlg = new PlainTransferDialog(store, frame);
    shot(dlg, "plain-transfer", [dlg, sample] {
      dlg->ChooseFiles({sample});
      dlg->mailTo->setEditText("friend@example.org;ann@example.org;");
    });
  }
  (void)store.SetDword("SendType", 0);  // a sample, as above
  shot(new SmtpSettingsDialog(store, frame), "smtp-settings");
  shot(new AdvancedSettingsDialog(store, frame), "advanced-settings");
  {
    // Built but not run: a picture of the test as it starts.
    auto* dlg = new ServerTestDialog("smtp.example.org", 465, "me@example.org", "", true, frame);
    ok &= Picture(dlg, folder, "server-test", seen);
    delete dlg;
  }
  {
    // Sample values in the fields only: the store keeps what the user has.
    auto* dlg = new ImapSettingsDialog(store, frame);
    shot(dlg, "imap-settings", [dlg] {
      dlg->server->setText("imap.example.org");
      dlg->user->setText("me@example.org");
      dlg->password->setText("secret");
    });
  }
  {
    // Built but not run, like the SMTP test.
    dtl::ImapSettings sample;
    sample.host = "imap.example.org";
    auto* dlg = new ImapTestDialog(sample, "INBOX", frame);
    ok &= Picture(dlg, folder, "imap-test", seen);
    delete dlg;
  }
  {
    // Sample values in the fields only (no services: nothing is looked up or kept).
    auto* dlg = new AccountDialog(store, {}, frame);
    shot(dlg, "account", [dlg] {
      dtl::AccountProfile p;
      p.address = "ann@example.org";
      p.smtp = {"smtp.example.org", 465, dtl::ServerSecurity::ImplicitTls, "ann@example.org"};
      p.imap = {"imap.example.org", 993, dtl::ServerSecurity::ImplicitTls, "ann@example.org"};
      p.source = dtl::ProfileSource::Autoconfig;
      p.sourceDetail =
          "https://autoconfig.example.org/mail/config-v1.1.xml?emailaddress=ann%40example.org";
      dlg->ShowProfile(p);
      dlg->password->setText("app password");
      dlg->smtpResult->setText("SMTP: OK");
      dlg->imapResult->setText("IMAP: refused — [AUTHENTICATIONFAILED] Invalid credentials");
    });
  }
  {
    auto* dlg = new AccountDialog(store, {}, frame);
    shot(dlg, "account-oauth2", [dlg] {
      dtl::AccountProfile p;
      p.address = "ann@outlook.example";
      p.smtp = {"smtp.office365.com", 587, dtl::ServerSecurity::StartTls, "ann@outlook.example"};
      p.imap = {"outlook.office365.com", 993, dtl::ServerSecurity::ImplicitTls,
                "ann@outlook.example"};
      p.login = dtl::LoginKind::OAuth2;
      p.oauthProvider = "microsoft";
      p.source = dtl::ProfileSource::BuiltIn;
      p.notes = {"Outlook.com takes OAuth2 logins only."};
      dlg->ShowProfile(p);
      dlg->signInStatus->setText("Waiting for the browser…");
      dlg->cancelSignInButton->show();
    });
  }
  shot(new EncryptionSettingsDialog(store, frame), "encryption-settings");
  {
    auto* dlg = new SplitFileDialog(store, frame);
    shot(dlg, "split-file", [dlg, sample, base] {
      dlg->ChooseSource(sample);
      dlg->ChooseFolder(base + "/segments");
      dlg->slider->setValue(25);
      dlg->recovery->setValue(10);
      dlg->progress->setRange(0, 10);
      dlg->progress->setValue(4);
    });
  }
  {
    // A real split of the sample to its end: the count, the folder and "Open Folder".
    auto* dlg = new SplitFileDialog(store, frame);
    shot(dlg, "split-file-finished", [dlg, sample, base] {
      QDir().mkpath(base + "/finished");
      dlg->ChooseSource(sample);
      dlg->ChooseFolder(base + "/finished");
      dlg->slider->setValue(50);
      dlg->recovery->setValue(0);
      QEventLoop wait;
      QObject::connect(dlg, &SplitFileDialog::splitFinished, &wait, &QEventLoop::quit);
      dlg->show();
      dlg->splitButton->click();
      if (!dlg->Idle()) wait.exec();
    });
  }
  {
    // The same set merged back: the rebuilt file's path and "Show in Folder".
    auto* dlg = new MergeDialog(store, frame);
    shot(dlg, "merge-finished", [dlg, base] {
      QDir().mkpath(base + "/merged-back");
      dlg->ChooseFiles({base + "/finished/holiday-video.avi.dtl.doc"});
      dlg->ChooseSaveFolder(base + "/merged-back");
      dlg->show();
      dlg->merge();
    });
  }
  {
    auto* dlg = new MergeDialog(store, frame);
    shot(dlg, "merge", [dlg, base] {
      dlg->SetDescriptor(base + "/inbox/holiday-video.avi.dtl");
      dlg->ChooseSaveFolder(base + "/merged");
    });
  }
  {
    // Not shown (showing starts the merge): painted as it looks half way.
    MergingDialog dlg(frame);
    dlg.SetFolderAndPassword(base + "/merged", {});
    dlg.ShowTarget(base + "/inbox/holiday-video.avi");
    dlg.progress->setRange(0, 10);
    dlg.progress->setValue(6);
    dlg.ShowRepaired({"holiday-video.avi.002"});
    dlg.busy->Start();
    dlg.adjustSize();
    ok &= Picture(&dlg, folder, "merging", seen);
  }
  {
    auto* dlg = new ExportPasswordDialog(frame);
    shot(dlg, "export-password", [dlg] {
      dlg->PlainEdit()->setText("correct horse battery staple, 2026!");
      dlg->encrypt();
    });
  }
  // The receiving dialogs start their work when shown, so they are painted without being shown.
  {
    SegmentManagerDialog dlg(store, app.Cookies(), app.Endpoints(),
                             {"http://mail.yahoo.com/", "", "", {}}, {}, frame);
    for (int i = 0; i < 4; ++i) {
      const std::string n = i == 0 ? std::string("holiday-video.avi.dtl")
                                   : "holiday-video.avi.00" + std::to_string(i);
      dlg.File({n, "1_" + std::to_string(i) + "_AbC"});
    }
    dlg.File({"holiday-video.avi.par2", "1_5_AbC"});
    dlg.File({"holiday-video.avi.vol00+01.par2", "1_6_AbC"});
    dlg.File({"report.pdf.dtl", "1_9_AbC"});
    dlg.resize(dlg.sizeHint().expandedTo(QSize(520, 380)));
    ok &= Picture(&dlg, folder, "segment-manager", seen);
  }
  {
    DownloadDialog dlg(app.Cookies(), app.Endpoints(), frame);
    dlg.fileName->setText("holiday-video.avi.002");
    dlg.folderText->setText(base + "/downloads");
    dlg.rateText->setText("1.20 MB/Sec");
    dlg.elapsedText->setText("00:00:04");
    dlg.bytesText->setText("4.77 MB of 9.54 MB");
    dlg.totalBytesText->setText("14.31 MB of 22.41 MB");
    dlg.overallElapsedText->setText("00:00:12");
    dlg.overall->setRange(0, 100);
    dlg.overall->setValue(64);
    dlg.adjustSize();
    ok &= Picture(&dlg, folder, "download", seen);
  }
  {
    ConfirmReplaceDialog dlg(base + "/downloads/holiday-video.avi.001", frame);
    dlg.adjustSize();
    ok &= Picture(&dlg, folder, "confirm-replace", seen);
  }
  app.shutdown();
  SetMessageHook({});
  SetOpenHook({});
  return ok ? 0 : 1;
}

}  // namespace dtlui
