#include "gui/MainWindow.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QStatusBar>
#include <QTabWidget>
#include <QToolBar>
#include <QToolButton>
#include <QHBoxLayout>
#include <QVBoxLayout>
#include <QWindowStateChangeEvent>

#include "gui/AboutDialog.h"
#include "gui/Application.h"
#include "gui/HistoryCombo.h"
#include "gui/UiSupport.h"
#include "browser/BrowserSites.h"
#include "gui/BannerPane.h"
#include "gui/BrowserView.h"
#include "gui/SidePane.h"
#include "gui/MergeDialog.h"
#include "gui/AdvancedSettingsDialog.h"
#include "gui/FileListView.h"
#include "gui/SmtpSettingsDialog.h"
#include "gui/SplitFileDialog.h"
#include "gui/SplitSendDialog.h"

namespace dtlui {

// Hands the send engine's events from its worker to the frame's thread as copies.
class MainWindow::EngineRelay : public dtl::SendEngineObserver {
 public:
  explicit EngineRelay(MainWindow* frame) : frame_(frame) {}
  void OnSendEvent(const dtl::SendEvent& event) override {
    QMetaObject::invokeMethod(frame_, [f = frame_, event] { f->OnEngineEvent(event); }, Qt::QueuedConnection);
  }
  dtl::SendEnvironment env;

 private:
  MainWindow* frame_;
};

MainWindow::MainWindow(Application& app) : app_(app), relay_(std::make_unique<EngineRelay>(this)) {
  setWindowTitle("Drovetail");
  setWindowIcon(ResourceIcon("drovetail"));
  resize(900, 620);
  BuildTray();
  BuildActions();
  BuildMenus();
  BuildToolBars();
  BuildPanes();
  statusMessage_ = new QLabel("Ready", this);
  statusBar()->addWidget(statusMessage_, 1);
  for (const char* indicator : {"CAP", "NUM", "SCRL"}) {
    auto* l = new QLabel(indicator, this);
    l->setEnabled(false);
    statusBar()->addPermanentWidget(l);
  }
  ShowToolBarsForTab(1);
  UpdateSendCommands();
}

MainWindow::~MainWindow() {
  if (sendList_) app_.Doc().RemoveView(sendList_->Model());
  if (app_.Doc().Running()) app_.Doc().Stop();
  app_.Doc().Wait();
}

QAction* MainWindow::MakeAction(int id, const QString& text, const QString& icon, const QString& tip) {
  auto* a = new QAction(text, this);
  if (!icon.isEmpty()) a->setIcon(ResourceIcon(icon));
  // The tool tip and the status line are the same text.
  if (!tip.isEmpty()) {
    a->setToolTip(tip);
    a->setStatusTip(tip);
  }
  a->setData(id);
  connect(a, &QAction::triggered, this, [this, id] { Run(id); });
  actions_.insert(id, a);
  return a;
}

void MainWindow::BuildActions() {
  MakeAction(ID_CHOOSE_FILE, "Choose a file to send…", "choose", "Choose a file to send…");
  MakeAction(ID_PLAIN_TRANSFER, "&Plain Transfer");
  MakeAction(ID_SEND, "Send the segments...", "send", "Send the segments...");
  MakeAction(ID_STOP_SENDING, "Stop sending segments.", "stop", "Stop sending segments.");
  MakeAction(ID_TOGGLE_CHECKS, "Toggle check boxes…", "toggle", "Toggle check boxes…");
  MakeAction(ID_MERGE_FILE, "&Merge File...", "merge", "Merge the segments into the selected folder");
  MakeAction(ID_SEND_QUICK_HELP, "Quick Help", "help", "Quick Help");
  MakeAction(ID_BROWSER_QUICK_HELP, "Quick Help", "help", "Quick Help");
  MakeAction(ID_BROWSER_BACK, "Back", "back", "Back");
  MakeAction(ID_BROWSER_FORWARD, "Forward", "forward", "Forward");
  MakeAction(ID_BROWSER_STOP, "Stop", "halt", "Stop");
  MakeAction(ID_BROWSER_REFRESH, "Refresh", "refresh", "Refresh");
  MakeAction(ID_BROWSER_HOME, "Web-mail sites", "home", "Web-mail sites");
  MakeAction(ID_EXPORT_PASSWORD, "Export account password...", "key", "Export account password...");
  MakeAction(ID_AUTO_DOWNLOAD, "Auto Download Segments…", "download", "Auto Download Segments…");
  MakeAction(ID_GO, "Go", "go", "Go");
  MakeAction(ID_EXIT, "&Exit");
  MakeAction(ID_SMTP_SETTINGS, "SMTP Server Settings...");
  MakeAction(ID_ADVANCED_SETTINGS, "Advanced Settings...");
  MakeAction(ID_MIN_TO_TRAY, "Minimize to Tray")->setCheckable(true);
  MakeAction(ID_SPLIT_FILE, "&Split File...");
  MakeAction(ID_HELP, "&Help");
  MakeAction(ID_SITE_HOME, "www.drovetail.example");
  MakeAction(ID_SITE_1, "www.sharefiles.example");
  MakeAction(ID_SITE_2, "www.filecircle.example");
  MakeAction(ID_SITE_3, "www.segmentswap.example");
  MakeAction(ID_TELL_A_FRIEND, "Tell a friend...");
  MakeAction(ID_ABOUT, "&About");
  MakeAction(ID_TRAY_OPEN, "Open Drovetail");
  MakeAction(ID_TRAY_CLOSE, "Close Drovetail");
  // The web-mail sites menu of the browser's home button, and the commands only the inner
  // browser handles.
  MakeAction(ID_HOME, "Home");
  MakeAction(ID_FORUMS, "Drovetail Forums");
  MakeAction(ID_WALLA, "Walla! Mail");
  MakeAction(ID_YAHOO, "Yahoo Mail");
  MakeAction(ID_GMAIL, "Gmail");
  MakeAction(ID_LYCOS, "Lycos Mail");
  MakeAction(ID_NETSCAPE, "Netscape Mail");
  MakeAction(ID_O2, QString::fromUtf8(dtl::site::kO2.data(), dtl::site::kO2.size()) + " Mail");
  MakeAction(ID_SPYMAC, "Spymac Mail");
  MakeAction(ID_HOTMAIL, "Hotmail");
  MakeAction(ID_GAWAB, "Gawab");
  MakeAction(ID_OMNILECT, "Omnilect");
  MakeAction(ID_UNITED_EMAIL, "United E-mail Systems");
  MakeAction(ID_XASAMAIL, "Xasamail");
  MakeAction(ID_HRIDERS, "Hriders");
  MakeAction(ID_ROTOMAIL, "Rotomail");
  MakeAction(ID_EXPORT_COOKIES, "Export/Import cookies");
  MakeAction(ID_EDIT_COPY, "&Copy");
  MakeAction(ID_EDIT_CUT, "Cu&t");
  MakeAction(ID_EDIT_PASTE, "&Paste");
  // Enabled by the browser pane's rule once a provider's logged-in page is shown.
  Action(ID_AUTO_DOWNLOAD)->setEnabled(false);
}

void MainWindow::BuildMenus() {
  QMenu* file = menuBar()->addMenu("&File");
  file->addAction(Action(ID_EXIT));
  settingsMenu_ = menuBar()->addMenu("Settings");
  settingsMenu_->addAction(Action(ID_SMTP_SETTINGS));
  settingsMenu_->addAction(Action(ID_ADVANCED_SETTINGS));
  settingsMenu_->addSeparator();
  settingsMenu_->addAction(Action(ID_MIN_TO_TRAY));
  connect(settingsMenu_, &QMenu::aboutToShow, this, &MainWindow::RefreshMinToTray);
  QMenu* tools = menuBar()->addMenu("Tools");
  tools->addAction(Action(ID_SPLIT_FILE));
  tools->addAction(Action(ID_MERGE_FILE));
  QMenu* help = menuBar()->addMenu("&Help");
  help->addAction(Action(ID_HELP));
  QMenu* sites = help->addMenu("Websites");
  sites->addAction(Action(ID_SITE_HOME));
  sites->addSeparator();
  for (int id : {ID_SITE_1, ID_SITE_2, ID_SITE_3}) sites->addAction(Action(id));
  help->addSeparator();
  help->addAction(Action(ID_TELL_A_FRIEND));
  help->addSeparator();
  help->addAction(Action(ID_ABOUT));
}

void MainWindow::BuildToolBars() {
  const auto bar = [this](const QString& name, int size) {
    QToolBar* b = addToolBar(name);
    b->setObjectName(name);
    b->setIconSize({size, size});
    b->hide();
    return b;
  };
  sendBar = bar("Send", 24);
  auto* sendMenu = new QMenu(this);
  sendMenu->addAction(Action(ID_PLAIN_TRANSFER));
  Action(ID_CHOOSE_FILE)->setMenu(sendMenu);
  sendBar->addAction(Action(ID_CHOOSE_FILE));
  if (auto* b = qobject_cast<QToolButton*>(sendBar->widgetForAction(Action(ID_CHOOSE_FILE))))
    b->setPopupMode(QToolButton::MenuButtonPopup);
  sendBar->addAction(Action(ID_SEND));
  sendBar->addAction(Action(ID_STOP_SENDING));
  sendBar->addSeparator();
  sendBar->addAction(Action(ID_TOGGLE_CHECKS));
  sendBar->addSeparator();
  sendBar->addAction(Action(ID_MERGE_FILE));
  sendBar->addSeparator();
  sendBar->addAction(Action(ID_SEND_QUICK_HELP));

  auto* sitesMenu = new QMenu(this);
  const std::initializer_list<int> sites = {ID_HOME,  ID_FORUMS, 0,     ID_WALLA,  ID_YAHOO, ID_GMAIL,
                                            0,        ID_LYCOS,  ID_NETSCAPE, ID_O2, ID_SPYMAC};
  for (int id : sites) {
    if (id == 0)
      sitesMenu->addSeparator();
    else
      sitesMenu->addAction(Action(id));
  }
  Action(ID_BROWSER_HOME)->setMenu(sitesMenu);
  const auto navigation = [this](QToolBar* b) {
    for (int id : {ID_BROWSER_BACK, ID_BROWSER_FORWARD, ID_BROWSER_STOP, ID_BROWSER_REFRESH, ID_BROWSER_HOME})
      b->addAction(Action(id));
    if (auto* home = qobject_cast<QToolButton*>(b->widgetForAction(Action(ID_BROWSER_HOME))))
      home->setPopupMode(QToolButton::MenuButtonPopup);
  };
  browserBar = bar("Browser", 24);
  navigation(browserBar);
  browserBar->addSeparator();
  browserBar->addAction(Action(ID_EXPORT_PASSWORD));
  browserBar->addSeparator();
  browserBar->addAction(Action(ID_AUTO_DOWNLOAD));
  browserBar->addSeparator();
  browserBar->addAction(Action(ID_MERGE_FILE));
  browserBar->addSeparator();
  browserBar->addAction(Action(ID_BROWSER_QUICK_HELP));
  navigationBar = bar("Navigation", 24);
  navigation(navigationBar);

  addToolBarBreak();
  addressBar = bar("Address", 20);
  addressBar->addWidget(new QLabel("Address: ", addressBar));
  address_ = new HistoryCombo(app_.Store(), addressBar);
  address_->setObjectName("address");
  address_->setMinimumWidth(350);
  address_->setMaxVisibleItems(10);
  addressBar->addWidget(address_);
  addressBar->addAction(Action(ID_GO));
  address_->SetMaxHistoryItems(10);
  address_->LoadHistory("AddressHistory", true);
  address_->lineEdit()->deselect();
  address_->lineEdit()->installEventFilter(this);
  const auto goEnabled = [this] { Action(ID_GO)->setEnabled(!address_->currentText().isEmpty()); };
  connect(address_, &QComboBox::editTextChanged, this, goEnabled);
  goEnabled();
}

void MainWindow::BuildPanes() {
  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  auto* banner = new BannerPane(BannerPane::DefaultSetup(dtl::BrowserEndpoints{}), central);
  banner->setObjectName("banner");
  layout->addWidget(banner);
  tabs_ = new QTabWidget(central);
  sendList_ = new FileListView(app_.Doc(), tabs_);
  tabs_->addTab(sendList_, ResourceIcon("tab-send"), "Split/Send File");
  browser_ = new BrowserView(app_.Store(), app_.Cookies(), app_.Endpoints(), this,
                              BrowserView::Profile::Persistent, tabs_);
  browser_->setObjectName("browser");
  tabs_->addTab(browser_, ResourceIcon("tab-browse"), "Browse");
  connect(this, &MainWindow::NavigateRequested, browser_, &BrowserView::Navigate);
  connect(browser_, &BrowserView::pageLoaded, this, &MainWindow::OnPageLoaded);
  connect(browser_, &BrowserView::autoDownloadEnabledChanged, Action(ID_AUTO_DOWNLOAD), &QAction::setEnabled);
  community_ = new SidePane(SidePane::CommunityHome(), tabs_);
  community_->setObjectName("community");
  tabs_->addTab(community_, ResourceIcon("tab-support"), "Support");
  sibling_ = new SidePane(SidePane::SiblingHome(kSiblingUrl), tabs_);
  sibling_->setObjectName("sibling");
  tabs_->addTab(sibling_, ResourceIcon("tab-sibling"), kSiblingUrl);
  connect(tabs_, &QTabWidget::currentChanged, this, &MainWindow::ShowToolBarsForTab);
  layout->addWidget(tabs_, 1);
  setCentralWidget(central);
}

void MainWindow::BuildTray() {
  tray_ = new QSystemTrayIcon(ResourceIcon("tray"), this);
  tray_->setToolTip("Drovetail");
  auto* menu = new QMenu(this);
  QAction* open = menu->addAction("Open Drovetail", this, [this] { Run(ID_TRAY_OPEN); });
  QFont bold = open->font();
  bold.setBold(true);
  open->setFont(bold);  // the default item
  menu->addAction("Close Drovetail", this, [this] { Run(ID_TRAY_CLOSE); });
  tray_->setContextMenu(menu);
  connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::DoubleClick) Run(ID_TRAY_OPEN);
  });
  tray_->show();
}

void MainWindow::ShowToolBarsForTab(int i) {
  if (i < 0 || i > 4) return;
  sendBar->setVisible(i == 0);
  browserBar->setVisible(i == 1);
  addressBar->setVisible(i == 1);
  navigationBar->setVisible(i >= 3);
}

void MainWindow::paintEvent(QPaintEvent* event) {
  QMainWindow::paintEvent(event);
  if (firstPaint_) return;
  firstPaint_ = true;
  // Switching tabs from inside a paint would re-enter layout; do it right after.
  QMetaObject::invokeMethod(this, [this] {
    tabs_->setCurrentIndex(1);
    ShowToolBarsForTab(1);
  }, Qt::QueuedConnection);
}

QString MainWindow::StatusMessage() const { return statusMessage_->text(); }

void MainWindow::OnStatusText(const QString& text, int position) {
  SetTrayTip(TrayTip::Text, text);
  statusMessage_->setText(QString("Last status message: %1").arg(text));
}

void MainWindow::SetTrayTip(TrayTip kind, const QString& text, int percent) {
  switch (kind) {
    case TrayTip::Reset: tray_->setToolTip("Drovetail"); break;
    case TrayTip::Text: tray_->setToolTip(text); break;
    case TrayTip::UploadPercent: tray_->setToolTip(QString("Upload Progress: %1%").arg(percent)); break;
    case TrayTip::Downloading:
      if (!text.isNull()) tray_->setToolTip(QString("Downloading\nSegment @ %1").arg(text));
      break;
  }
}

void MainWindow::OnEngineEvent(const dtl::SendEvent& event) {
  using K = dtl::SendEventKind;
  switch (event.kind) {
    case K::Status: OnStatusText(Q(event.text), event.position); break;
    case K::UploadPercent: SetTrayTip(TrayTip::UploadPercent, {}, event.percent); break;
    case K::RunEnded: SetTrayTip(TrayTip::Reset); break;
    case K::FileError: ShowMessage(this, MsgIcon::Error, Q(event.text)); break;
    default: break;
  }
  app_.Doc().ApplyEngineEvent(event);
  UpdateSendCommands();
}

void MainWindow::UpdateSendCommands() {
  auto& doc = app_.Doc();
  Action(ID_SEND)->setEnabled(doc.CanSend());
  Action(ID_STOP_SENDING)->setEnabled(doc.CanStop());
  Action(ID_TOGGLE_CHECKS)->setEnabled(doc.CanToggle());
  Action(ID_CHOOSE_FILE)->setEnabled(doc.CanBuildJob());
  Action(ID_PLAIN_TRANSFER)->setEnabled(doc.CanBuildJob());
}

void MainWindow::Go() {
  if (address_->currentText().isEmpty()) return;
  const QString text = address_->currentText().trimmed();
  address_->AddToHistory(text);
  address_->SaveHistory(false);
  emit NavigateRequested(text);
}

void MainWindow::OnPageLoaded(const QString& url) {
  if (!url.isNull()) address_->setEditText(url);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  if (watched == address_->lineEdit() && event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
      Go();
      return true;
    }
  }
  return QMainWindow::eventFilter(watched, event);
}

void MainWindow::RefreshMinToTray() {
  trayOnMinimise_ = app_.Store().MinToTray();
  Action(ID_MIN_TO_TRAY)->setChecked(trayOnMinimise_);
}

bool MainWindow::InTray() const { return app_.trayHidden; }

void MainWindow::OpenFromTray() {
  app_.trayHidden = false;
  showMaximized();
  activateWindow();
}

bool MainWindow::ConfirmClose() {
  return ShowMessage(this, MsgIcon::Question, "Are you sure you want to close Drovetail?", MsgButtons::YesNo) !=
         MsgAnswer::No;
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (closing_ || ConfirmClose()) {
    closing_ = true;
    tray_->hide();
    event->accept();
    QApplication::quit();
  } else {
    event->ignore();
  }
}

void MainWindow::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  if (event->type() != QEvent::WindowStateChange) return;
  if (app_.trayHidden) {
    QMetaObject::invokeMethod(this, &QWidget::hide, Qt::QueuedConnection);
    return;
  }
  if ((windowState() & Qt::WindowMinimized) && trayOnMinimise_) {
    app_.trayHidden = true;
    emit enteredTray();
    // Hiding inside the state change would fight the window manager's own handling.
    QMetaObject::invokeMethod(this, &QWidget::hide, Qt::QueuedConnection);
  }
}

void MainWindow::OnChooseFile(bool plain) {
  auto& doc = app_.Doc();
  if (!doc.CanBuildJob()) return;
  SplitSendDialog dlg(app_.Store(), plain, this);
  if (dlg.exec() != QDialog::Accepted) return;
  const dtl::SendRequest request = dlg.Request();
  if (plain)
    (void)doc.BuildPlainJob(request);
  else
    (void)doc.BuildSplitJob(request);
  tabs_->setCurrentIndex(0);
  UpdateSendCommands();
}

void MainWindow::OnSend() {
  auto& doc = app_.Doc();
  relay_->env.settings = &app_.Store();
  if (doc.StartRun(*relay_, relay_->env)) UpdateSendCommands();
}

void MainWindow::Run(int id) {
  auto& doc = app_.Doc();
  switch (id) {
    case ID_CHOOSE_FILE: OnChooseFile(false); break;
    case ID_PLAIN_TRANSFER: OnChooseFile(true); break;
    case ID_SEND: OnSend(); break;
    case ID_STOP_SENDING:
      doc.Stop();
      UpdateSendCommands();
      break;
    case ID_TOGGLE_CHECKS: doc.ToggleChecks(); break;
    case ID_SEND_QUICK_HELP: sendList_->ShowQuickHelp(QCursor::pos()); break;
    case ID_EXIT:
    case ID_TRAY_CLOSE: close(); break;
    case ID_TRAY_OPEN: OpenFromTray(); break;
    case ID_MIN_TO_TRAY:
      trayOnMinimise_ = !trayOnMinimise_;
      app_.Store().SetDword("MinToTray", trayOnMinimise_ ? 1 : 0);
      Action(ID_MIN_TO_TRAY)->setChecked(trayOnMinimise_);
      break;
    case ID_MERGE_FILE: {
      MergeDialog dlg(app_.Store(), this);
      dlg.exec();
      break;
    }
    case ID_SPLIT_FILE: {
      SplitFileDialog dlg(app_.Store(), this);
      dlg.exec();
      break;
    }
    case ID_SMTP_SETTINGS: {
      SmtpSettingsDialog dlg(app_.Store(), this);
      if (dlg.exec() == QDialog::Accepted && !doc.Running() && !doc.WorkerActive()) doc.LoadDeliverySettings();
      break;
    }
    case ID_ADVANCED_SETTINGS: {
      AdvancedSettingsDialog dlg(app_.Store(), this);
      if (dlg.exec() == QDialog::Accepted && !doc.Running() && !doc.WorkerActive()) doc.LoadDeliverySettings();
      break;
    }
    case ID_GO: Go(); break;
    case ID_ABOUT: {
      AboutDialog dlg(this);
      dlg.exec();
      break;
    }
    case ID_HELP: OpenExternal(QUrl(QString(kProductUrl) + "help/")); break;
    case ID_SITE_HOME: OpenExternal(QUrl(kProductUrl)); break;
    case ID_SITE_1: OpenExternal(QUrl("https://www.sharefiles.example/")); break;
    case ID_SITE_2: OpenExternal(QUrl("https://www.filecircle.example/")); break;
    case ID_SITE_3: OpenExternal(QUrl("https://www.segmentswap.example/")); break;
    case ID_TELL_A_FRIEND:
      OpenExternal(QUrl(QString("mailto:?subject=Drovetail - Store and Share files on your Web-Mail account (%1)")
                            .arg(kProductUrl)));
      break;
    default:
      // The navigation buttons act on the side pane in front; everything else is the browser's.
      if (auto* pane = qobject_cast<SidePane*>(tabs_->currentWidget()); pane && pane->Run(id)) break;
      if (browser_) browser_->Run(id);
      break;
  }
}

}  // namespace dtlui
