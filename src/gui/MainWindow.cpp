#include "gui/MainWindow.h"

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <QWindowStateChangeEvent>

#include "browser/BrowserSites.h"
#include "gui/AboutDialog.h"
#include "gui/AccountDialog.h"
#include "gui/AdvancedSettingsDialog.h"
#include "gui/Application.h"
#include "gui/BannerPane.h"
#include "gui/BrowserView.h"
#include "gui/FileListView.h"
#include "gui/HelpWindow.h"
#include "gui/HistoryCombo.h"
#include "gui/ImapSettingsDialog.h"
#include "gui/MergeDialog.h"
#include "gui/SegmentManagerDialog.h"
#include "gui/SidePane.h"
#include "gui/SmtpSettingsDialog.h"
#include "gui/SplitFileDialog.h"
#include "gui/SplitSendDialog.h"
#include "gui/UiSupport.h"
#include "gui/widgets/FileDrop.h"

namespace dtlui {

namespace {
// The profile entry that says the first run's account offer was made.
constexpr const char* kAccountOffered = "AccountOffered";
}  // namespace

// Hands the send engine's events from its worker to the frame's thread as copies.
class MainWindow::EngineRelay : public dtl::SendEngineObserver {
 public:
  explicit EngineRelay(MainWindow* frame) : frame_(frame) {}
  void OnSendEvent(const dtl::SendEvent& event) override {
    QMetaObject::invokeMethod(
        frame_, [f = frame_, event] { f->applyEngineEvent(event); }, Qt::QueuedConnection);
  }
  dtl::SendEnvironment env;

 private:
  MainWindow* frame_;
};

MainWindow::MainWindow(Application& app) : app_(app), relay_(std::make_unique<EngineRelay>(this)) {
  setWindowTitle(tr("Drovetail"));
  setWindowIcon(ResourceIcon("drovetail"));
  resize(900, 620);
  buildActions();
  buildTray();
  buildMenus();
  buildToolBars();
  buildPanes();
  connectActions();
  // main() turns Chromium's sandbox off for root; the user hears of it once, here.
  statusMessage_ = new QLabel(
      app_.runningAsRoot ? tr("Running as root: the web pages' sandbox is off") : tr("Ready"),
      this);
  statusBar()->addWidget(statusMessage_, 1);
  buildAccountPrompt();
  // No CAP/NUM/SCRL indicators: Qt cannot read the lock keys' state on every platform, and
  // indicators that never change would tell the user something false.
  showToolBarsForTab(1);
  updateSendCommands();
}

MainWindow::~MainWindow() {
  if (sendList_) app_.Doc().RemoveView(sendList_->model());
  if (app_.Doc().Running()) app_.Doc().Stop();
  app_.Doc().Wait();
}

QAction* MainWindow::makeAction(const QString& text, const QString& icon, const QString& tip) {
  auto* a = new QAction(text, this);
  if (!icon.isEmpty()) a->setIcon(ResourceIcon(icon));
  // The tool tip and the status line are the same text.
  if (!tip.isEmpty()) {
    a->setToolTip(tip);
    a->setStatusTip(tip);
  }
  return a;
}

void MainWindow::buildActions() {
  MainActions& a = actions_;
  a.chooseFile = makeAction(tr("Choose a file to send…"), "choose", tr("Choose a file to send…"));
  a.plainTransfer = makeAction(tr("&Plain Transfer"));
  a.send = makeAction(tr("Send the segments..."), "send", tr("Send the segments..."));
  a.stopSending = makeAction(tr("Stop sending segments."), "stop", tr("Stop sending segments."));
  a.toggleChecks = makeAction(tr("Toggle check boxes…"), "toggle", tr("Toggle check boxes…"));
  a.mergeFile =
      makeAction(tr("&Merge File..."), "merge", tr("Merge the segments into the selected folder"));
  a.sendQuickHelp = makeAction(tr("Quick Help"), "help", tr("Quick Help"));
  a.browserQuickHelp = makeAction(tr("Quick Help"), "help", tr("Quick Help"));
  a.back = makeAction(tr("Back"), "back", tr("Back"));
  a.forward = makeAction(tr("Forward"), "forward", tr("Forward"));
  a.stop = makeAction(tr("Stop"), "halt", tr("Stop"));
  a.refresh = makeAction(tr("Refresh"), "refresh", tr("Refresh"));
  a.webMailSites = makeAction(tr("Web-mail sites"), "home", tr("Web-mail sites"));
  a.exportPassword =
      makeAction(tr("Export account password..."), "key", tr("Export account password..."));
  a.autoDownload =
      makeAction(tr("Auto Download Segments…"), "download", tr("Auto Download Segments…"));
  a.go = makeAction(tr("Go"), "go", tr("Go"));
  a.receiveFromMailbox =
      makeAction(tr("Receive from Mailbox…"), "download", tr("Receive from Mailbox…"));
  a.imapSettings = makeAction(tr("IMAP Server Settings..."));
  a.account = makeAction(tr("Account…"));
  a.exit = makeAction(tr("&Exit"));
  a.smtpSettings = makeAction(tr("SMTP Server Settings..."));
  a.advancedSettings = makeAction(tr("Advanced Settings..."));
  a.minToTray = makeAction(tr("Minimize to Tray"));
  a.minToTray->setCheckable(true);
  a.splitFile = makeAction(tr("&Split File..."));
  a.help = makeAction(tr("&Help"));
  // Named after the site once one is configured (refreshProductSite).
  a.siteHome = makeAction(tr("Product web site"));
  // Addresses of sites that do not exist: the entries stay, never shown, so that nothing
  // leads there.
  a.site1 = makeAction(tr("www.sharefiles.example"));
  a.site2 = makeAction(tr("www.filecircle.example"));
  a.site3 = makeAction(tr("www.segmentswap.example"));
  for (QAction* site : {a.site1, a.site2, a.site3}) site->setVisible(false);
  a.tellAFriend = makeAction(tr("Tell a friend..."));
  a.about = makeAction(tr("&About"));
  a.trayOpen = makeAction(tr("Open Drovetail"));
  a.trayClose = makeAction(tr("Close Drovetail"));
  a.home = makeAction(tr("Home"));
  a.forums = makeAction(tr("Drovetail Forums"));
  a.walla = makeAction(tr("Walla! Mail"));
  a.yahoo = makeAction(tr("Yahoo Mail"));
  a.gmail = makeAction(tr("Gmail"));
  a.lycos = makeAction(tr("Lycos Mail"));
  a.netscape = makeAction(tr("Netscape Mail"));
  a.o2 = makeAction(tr("%1 Mail").arg(Q(dtl::site::kO2)));
  a.spymac = makeAction(tr("Spymac Mail"));
  a.hotmail = makeAction(tr("Hotmail"));
  a.gawab = makeAction(tr("Gawab"));
  a.omnilect = makeAction(tr("Omnilect"));
  a.unitedEmail = makeAction(tr("United E-mail Systems"));
  a.xasamail = makeAction(tr("Xasamail"));
  a.hriders = makeAction(tr("Hriders"));
  a.rotomail = makeAction(tr("Rotomail"));
  a.exportCookies = makeAction(tr("Export/Import cookies"));  // kept for the menus; does nothing
  a.copy = makeAction(tr("&Copy"));
  a.cut = makeAction(tr("Cu&t"));
  a.paste = makeAction(tr("&Paste"));
  a.selectAll = makeAction(tr("Select &All"));
  a.nextPane = makeAction(tr("Next Pane"));
  a.previousPane = makeAction(tr("Previous Pane"));
  a.copy->setShortcut(QKeySequence::Copy);
  a.cut->setShortcut(QKeySequence::Cut);
  a.paste->setShortcut(QKeySequence::Paste);
  a.selectAll->setShortcut(QKeySequence::SelectAll);
  a.nextPane->setShortcut(Qt::Key_F6);
  a.previousPane->setShortcut(Qt::SHIFT | Qt::Key_F6);
  // In no menu: the window itself must hold them for their keys to work.
  addActions({a.copy, a.cut, a.paste, a.selectAll, a.nextPane, a.previousPane});
  // Enabled by the browser pane's rule once a provider's logged-in page is shown.
  a.autoDownload->setEnabled(false);
}

// Runs after the panes exist: many commands go straight to the inner browser.
void MainWindow::connectActions() {
  const MainActions& a = actions_;
  connect(a.chooseFile, &QAction::triggered, this, &MainWindow::chooseFile);
  connect(a.plainTransfer, &QAction::triggered, this, &MainWindow::choosePlainTransfer);
  connect(a.send, &QAction::triggered, this, &MainWindow::sendSegments);
  connect(a.stopSending, &QAction::triggered, this, &MainWindow::stopSending);
  connect(a.toggleChecks, &QAction::triggered, this, &MainWindow::toggleChecks);
  connect(a.sendQuickHelp, &QAction::triggered, this, &MainWindow::showSendQuickHelp);
  connect(a.exit, &QAction::triggered, this, &QWidget::close);
  connect(a.trayClose, &QAction::triggered, this, &QWidget::close);
  connect(a.trayOpen, &QAction::triggered, this, &MainWindow::openFromTray);
  connect(a.minToTray, &QAction::triggered, this, &MainWindow::toggleMinToTray);
  connect(a.mergeFile, &QAction::triggered, this, &MainWindow::mergeFile);
  connect(a.splitFile, &QAction::triggered, this, &MainWindow::splitFile);
  connect(a.smtpSettings, &QAction::triggered, this, &MainWindow::smtpSettings);
  connect(a.imapSettings, &QAction::triggered, this, &MainWindow::imapSettings);
  connect(a.account, &QAction::triggered, this, [this] { openAccountDialog(); });
  connect(a.receiveFromMailbox, &QAction::triggered, this, &MainWindow::receiveFromMailbox);
  connect(a.advancedSettings, &QAction::triggered, this, &MainWindow::advancedSettings);
  connect(a.go, &QAction::triggered, this, &MainWindow::go);
  connect(a.about, &QAction::triggered, this, &MainWindow::about);
  connect(a.help, &QAction::triggered, this, [this] { openHelp(); });
  connect(a.tellAFriend, &QAction::triggered, this, &MainWindow::tellAFriend);
  // The forums are the product site's: shown (and found) only when one is configured.
  connect(a.forums, &QAction::triggered, this, [this] {
    if (const QUrl site = productSite(); site.isValid())
      browser_->navigate(site.resolved(QUrl("forums/")).toString());
  });
  connect(a.siteHome, &QAction::triggered, this, [this] {
    if (const QUrl site = productSite(); site.isValid()) OpenExternal(site);
  });
  const auto openUrl = [this](QAction* action, const QString& url) {
    connect(action, &QAction::triggered, this, [url] { OpenExternal(QUrl(url)); });
  };
  openUrl(a.site1, "https://www.sharefiles.example/");
  openUrl(a.site2, "https://www.filecircle.example/");
  openUrl(a.site3, "https://www.segmentswap.example/");

  connect(a.back, &QAction::triggered, this, &MainWindow::navigateBack);
  connect(a.forward, &QAction::triggered, this, &MainWindow::navigateForward);
  connect(a.stop, &QAction::triggered, this, &MainWindow::stopLoading);
  connect(a.refresh, &QAction::triggered, this, &MainWindow::refresh);
  connect(a.webMailSites, &QAction::triggered, this, &MainWindow::goHome);
  connect(a.browserQuickHelp, &QAction::triggered, browser_, &BrowserView::showQuickHelp);
  connect(a.autoDownload, &QAction::triggered, browser_, &BrowserView::autoDownload);
  connect(a.exportPassword, &QAction::triggered, browser_, &BrowserView::exportPassword);
  connect(a.copy, &QAction::triggered, this, [this] { editFocused(QWebEnginePage::Copy); });
  connect(a.cut, &QAction::triggered, this, [this] { editFocused(QWebEnginePage::Cut); });
  connect(a.paste, &QAction::triggered, this, [this] { editFocused(QWebEnginePage::Paste); });
  connect(a.selectAll, &QAction::triggered, this,
          [this] { editFocused(QWebEnginePage::SelectAll); });
  connect(a.nextPane, &QAction::triggered, this, [this] { focusPane(1); });
  connect(a.previousPane, &QAction::triggered, this, [this] { focusPane(-1); });
  using Site = BrowserView::StartSite;
  const std::initializer_list<std::pair<QAction*, Site>> sites = {
      {a.home, Site::Home},
      {a.walla, Site::Walla},
      {a.yahoo, Site::Yahoo},
      {a.gmail, Site::Gmail},
      {a.lycos, Site::Lycos},
      {a.netscape, Site::Netscape},
      {a.o2, Site::O2},
      {a.spymac, Site::Spymac},
      {a.hotmail, Site::Hotmail},
      {a.gawab, Site::Gawab},
      {a.omnilect, Site::Omnilect},
      {a.unitedEmail, Site::UnitedEmail},
      {a.xasamail, Site::Xasamail},
      {a.hriders, Site::Hriders},
      {a.rotomail, Site::Rotomail}};
  for (const auto& [action, site] : sites)
    connect(action, &QAction::triggered, browser_,
            [b = browser_, site] { b->openStartPage(site); });
}

void MainWindow::buildMenus() {
  const MainActions& a = actions_;
  QMenu* file = menuBar()->addMenu(tr("&File"));
  file->addAction(a.receiveFromMailbox);
  file->addSeparator();
  file->addAction(a.exit);
  settingsMenu_ = menuBar()->addMenu(tr("&Settings"));
  settingsMenu_->addAction(a.account);
  settingsMenu_->addAction(a.smtpSettings);
  settingsMenu_->addAction(a.imapSettings);
  settingsMenu_->addAction(a.advancedSettings);
  settingsMenu_->addSeparator();
  settingsMenu_->addAction(a.minToTray);
  connect(settingsMenu_, &QMenu::aboutToShow, this, &MainWindow::refreshMinToTray);
  QMenu* tools = menuBar()->addMenu(tr("&Tools"));
  tools->addAction(a.splitFile);
  tools->addAction(a.mergeFile);
  helpMenu_ = menuBar()->addMenu(tr("&Help"));
  helpMenu_->addAction(a.help);
  sitesMenu_ = helpMenu_->addMenu(tr("Websites"));
  sitesMenu_->addAction(a.siteHome);
  sitesMenu_->addSeparator();
  for (QAction* site : {a.site1, a.site2, a.site3}) sitesMenu_->addAction(site);
  helpMenu_->addSeparator();
  helpMenu_->addAction(a.tellAFriend);
  helpMenu_->addSeparator();
  helpMenu_->addAction(a.about);
  // Read each time the menu opens, so a site set with `dtl config` shows without a restart.
  connect(helpMenu_, &QMenu::aboutToShow, this, &MainWindow::refreshProductSite);
  refreshProductSite();
}

QUrl MainWindow::productSite() const {
  const QString text = Q(app_.Store().GetString("ProductSite")).trimmed();
  if (text.isEmpty()) return {};
  const QUrl url = SidePane::siblingHome(text);
  return IsWebAddress(url) ? url : QUrl();
}

void MainWindow::refreshProductSite() {
  const QUrl site = productSite();
  const bool known = site.isValid();
  sitesMenu_->menuAction()->setVisible(known);
  actions_.siteHome->setVisible(known);
  actions_.tellAFriend->setVisible(known);
  actions_.forums->setVisible(known);
  if (known) actions_.siteHome->setText(site.host());
}

void MainWindow::buildToolBars() {
  const MainActions& a = actions_;
  // The bars sit in the tab pages below the tab bar (buildPanes): bars of different heights
  // above the tabs would move the tab bar under the mouse at every switch.
  const auto bar = [this](const QString& name, const QString& title, int size) {
    auto* b = new QToolBar(title, this);
    b->setObjectName(name);
    b->setMovable(false);
    b->setIconSize({size, size});
    b->hide();
    return b;
  };
  sendBar = bar("Send", tr("Send"), 24);
  auto* sendMenu = new QMenu(this);
  sendMenu->addAction(a.plainTransfer);
  a.chooseFile->setMenu(sendMenu);
  sendBar->addAction(a.chooseFile);
  if (auto* b = qobject_cast<QToolButton*>(sendBar->widgetForAction(a.chooseFile)))
    b->setPopupMode(QToolButton::MenuButtonPopup);
  sendBar->addAction(a.send);
  sendBar->addAction(a.stopSending);
  sendBar->addSeparator();
  sendBar->addAction(a.toggleChecks);
  sendBar->addSeparator();
  sendBar->addAction(a.mergeFile);
  sendBar->addSeparator();
  sendBar->addAction(a.sendQuickHelp);

  auto* sitesMenu = new QMenu(this);
  // A null entry is a separator.
  for (QAction* site : {a.home, a.forums, static_cast<QAction*>(nullptr), a.walla, a.yahoo, a.gmail,
                        static_cast<QAction*>(nullptr), a.lycos, a.netscape, a.o2, a.spymac}) {
    if (!site)
      sitesMenu->addSeparator();
    else
      sitesMenu->addAction(site);
  }
  a.webMailSites->setMenu(sitesMenu);
  connect(sitesMenu, &QMenu::aboutToShow, this, &MainWindow::refreshProductSite);
  const auto navigation = [&a](QToolBar* b) {
    for (QAction* action : {a.back, a.forward, a.stop, a.refresh, a.webMailSites})
      b->addAction(action);
    if (auto* home = qobject_cast<QToolButton*>(b->widgetForAction(a.webMailSites)))
      home->setPopupMode(QToolButton::MenuButtonPopup);
  };
  browserBar = bar("Browser", tr("Browser"), 24);
  navigation(browserBar);
  browserBar->addSeparator();
  browserBar->addAction(a.exportPassword);
  browserBar->addSeparator();
  browserBar->addAction(a.autoDownload);
  browserBar->addAction(a.receiveFromMailbox);
  browserBar->addSeparator();
  browserBar->addAction(a.mergeFile);
  browserBar->addSeparator();
  browserBar->addAction(a.browserQuickHelp);
  navigationBar = bar("Navigation", tr("Navigation"), 24);
  navigation(navigationBar);

  addressBar = bar("Address", tr("Address"), 20);
  addressBar->addWidget(new QLabel(tr("Address: "), addressBar));
  address_ = new HistoryCombo(app_.Store(), addressBar);
  address_->setObjectName("address");
  address_->setMinimumWidth(350);
  address_->setMaxVisibleItems(10);
  addressBar->addWidget(address_);
  addressBar->addAction(a.go);
  address_->SetMaxHistoryItems(10);
  address_->LoadHistory("AddressHistory", true);
  address_->lineEdit()->deselect();
  // The combo box holds the focus and hands Return to its line edit directly, past the line
  // edit's filters: Enter is caught on both, and eaten so it is never taken twice.
  address_->installEventFilter(this);
  address_->lineEdit()->installEventFilter(this);
  const auto goEnabled = [this] {
    actions_.go->setEnabled(!address_->currentText().trimmed().isEmpty());
  };
  connect(address_, &QComboBox::editTextChanged, this, goEnabled);
  goEnabled();
}

void MainWindow::buildPanes() {
  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  auto* banner = new BannerPane(BannerPane::DefaultSetup(dtl::BrowserEndpoints{}), central);
  banner->setObjectName("banner");
  layout->addWidget(banner);
  tabs_ = new QTabWidget(central);
  // A tab's page: its tool bars, then what it shows.
  const auto page = [this](std::initializer_list<QToolBar*> bars, QWidget* content) {
    auto* w = new QWidget(tabs_);
    auto* column = new QVBoxLayout(w);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    for (QToolBar* b : bars) column->addWidget(b);
    content->setParent(w);
    column->addWidget(content, 1);
    contents_.append(content);
    return w;
  };
  sendList_ = new FileListView(app_.Doc(), tabs_);
  tabs_->addTab(page({sendBar}, sendList_), ResourceIcon("tab-send"), tr("Split/Send File"));
  // Dropped files open File Split with them; after the drop, so the drag source is not kept
  // waiting on a modal dialog.
  AcceptFileDrops(sendList_->viewport(), [this](const QStringList& paths) {
    QMetaObject::invokeMethod(
        this, [this, paths] { chooseFiles(false, paths); }, Qt::QueuedConnection);
  });
  browser_ = new BrowserView(app_.Store(), app_.Cookies(), app_.Endpoints(),
                             BrowserView::Profile::Persistent, tabs_);
  browser_->setObjectName("browser");
  // The Segment Manager and its download dialog minimise with the frame when it goes to the
  // tray and come back with it, and the download's rate shows in the tray tip.
  browser_->setSegmentManagerFactory(
      [this](const SegmentManagerDialog::Session& session, QWidget* parent) {
        auto* dlg = new SegmentManagerDialog(
            app_.Store(), app_.Cookies(), app_.Endpoints(), session,
            [&app = app_] { return app.trayHidden; }, parent);
        followFrame(dlg);
        return dlg;
      });
  tabs_->addTab(page({browserBar, addressBar}, browser_), ResourceIcon("tab-browse"), tr("Browse"));
  connect(this, &MainWindow::navigateRequested, browser_, &BrowserView::navigate);
  connect(browser_, &BrowserView::pageLoaded, this, &MainWindow::showLoadedPage);
  connect(browser_, &BrowserView::formRefused, this,
          [this](const QString& note) { statusBar()->showMessage(note, 8000); });
  connect(browser_, &BrowserView::autoDownloadEnabledChanged, actions_.autoDownload,
          &QAction::setEnabled);
  connect(browser_, &BrowserView::helpRequested, this, &MainWindow::openHelp);
  connect(sendList_, &FileListView::helpRequested, this, &MainWindow::openHelp);
  connect(banner, &BannerPane::helpRequested, this, &MainWindow::openHelp);
  community_ = new SidePane(SidePane::communityHome(), tabs_);
  community_->setObjectName("community");
  tabs_->addTab(page({}, community_), ResourceIcon("tab-support"), tr("Support"));
  // No sibling site exists until one is configured: the tab then explains itself in a local
  // page, and falls back to it when the configured site cannot be reached, rather than show
  // the browser's error page.
  const QUrl siblingLocal = SidePane::siblingLocalPage();
  const QString siblingSite = Q(app_.Store().GetString("SiblingSite")).trimmed();
  sibling_ = new SidePane(siblingSite.isEmpty() ? siblingLocal : SidePane::siblingHome(siblingSite),
                          tabs_);
  sibling_->setObjectName("sibling");
  sibling_->setFallback(siblingLocal);
  tabs_->addTab(page({navigationBar}, sibling_), ResourceIcon("tab-sibling"),
                siblingSite.isEmpty() ? QString(kSiblingUrl) : sibling_->home().host());
  connect(tabs_, &QTabWidget::currentChanged, this, &MainWindow::showToolBarsForTab);
  layout->addWidget(tabs_, 1);
  setCentralWidget(central);
}

void MainWindow::followFrame(SegmentManagerDialog* dlg) {
  connect(this, &MainWindow::enteredTray, dlg, &SegmentManagerDialog::minimiseWithFrame);
  connect(this, &MainWindow::leftTray, dlg, &SegmentManagerDialog::returnWithFrame);
  connect(dlg, &SegmentManagerDialog::downloadRate, this,
          [this](const QString& rate) { setTrayTip(TrayTip::Downloading, rate); });
  connect(dlg, &SegmentManagerDialog::downloadRateCleared, this,
          [this] { setTrayTip(TrayTip::Reset); });
}

void MainWindow::buildTray() {
  tray_ = new QSystemTrayIcon(ResourceIcon("tray"), this);
  tray_->setToolTip(tr("Drovetail"));
  auto* menu = new QMenu(this);
  menu->addAction(actions_.trayOpen);
  QFont bold = actions_.trayOpen->font();
  bold.setBold(true);
  actions_.trayOpen->setFont(bold);  // the default item
  menu->addAction(actions_.trayClose);
  tray_->setContextMenu(menu);
  connect(tray_, &QSystemTrayIcon::activated, this,
          [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::DoubleClick) actions_.trayOpen->trigger();
          });
  tray_->show();
}

void MainWindow::showToolBarsForTab(int i) {
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
  QMetaObject::invokeMethod(
      this,
      [this] {
        tabs_->setCurrentIndex(1);
        showToolBarsForTab(1);
      },
      Qt::QueuedConnection);
}

QString MainWindow::statusMessage() const { return statusMessage_->text(); }

void MainWindow::showStatusText(const QString& text, int) {
  setTrayTip(TrayTip::Text, text);
  statusMessage_->setText(tr("Last status message: %1").arg(text));
}

void MainWindow::setTrayTip(TrayTip kind, const QString& text, int percent) {
  switch (kind) {
    case TrayTip::Reset: tray_->setToolTip(tr("Drovetail")); break;
    case TrayTip::Text: tray_->setToolTip(text); break;
    case TrayTip::UploadPercent: tray_->setToolTip(tr("Upload Progress: %1%").arg(percent)); break;
    case TrayTip::Downloading:
      if (!text.isNull()) tray_->setToolTip(tr("Downloading\nSegment @ %1").arg(text));
      break;
  }
}

void MainWindow::applyEngineEvent(const dtl::SendEvent& event) {
  using K = dtl::SendEventKind;
  switch (event.kind) {
    case K::Status:
      runTally_.lastStatus = Q(event.text);
      if (event.text == dtl::kStatusStopped) runTally_.stopped = true;
      showStatusText(Q(event.text), event.position);
      // A failure's status points to its error log there.
      statusMessage_->setToolTip(Q(event.detail));
      break;
    case K::UploadPercent: setTrayTip(TrayTip::UploadPercent, {}, event.percent); break;
    case K::RunEnded: setTrayTip(TrayTip::Reset); break;
    case K::FileError: showSendFailure(Q(event.text)); break;
    case K::Delivered:
      runTally_.delivered.insert(event.position);
      sendFailureTold_.clear();
      break;
    case K::WorkerLeft: sendFailureTold_.clear(); break;
    default: break;
  }
  app_.Doc().ApplyEngineEvent(event);
  // Last: the summary replaces whatever the run's final status said.
  if (event.kind == K::WorkerLeft && runTally_.counting) finishRunTally();
  updateSendCommands();
}

void MainWindow::finishRunTally() {
  runTally_.counting = false;
  showRunSummary(runTally_.toSend, static_cast<int>(runTally_.delivered.size()), runTally_.stopped,
                 runTally_.lastStatus);
}

void MainWindow::showRunSummary(int toSend, int delivered, bool stopped,
                                const QString& lastStatus) {
  const int left = std::max(0, toSend - delivered);
  QString text;
  if (left == 0)
    text = toSend == 1 ? tr("1 of 1 segment delivered")
                       : tr("%1 of %2 segments delivered").arg(delivered).arg(toSend);
  else if (stopped)
    text = tr("%1 of %2 delivered, %3 stopped").arg(delivered).arg(toSend).arg(left);
  else
    // A failure says why in the same line: the row's status is out of sight in the tray.
    text = tr("%1 of %2 delivered, %3 failed: %4")
               .arg(delivered)
               .arg(toSend)
               .arg(left)
               .arg(lastStatus);
  statusMessage_->setText(text);
  setTrayTip(TrayTip::Text, text);
}

void MainWindow::showSendFailure(const QString& text) {
  // Every retry meets the same condition again; the row's status already follows the attempts.
  if (text == sendFailureTold_) return;
  sendFailureTold_ = text;
  if (sendFailureBox_) {
    // Another condition while a box is up: the box tells the new one instead of a second box.
    sendFailureBox_->setText(text);
    sendFailureBox_->raise();
    return;
  }
  sendFailureBox_ = ShowNotice(this, MsgIcon::Error, text);
}

void MainWindow::updateSendCommands() {
  auto& doc = app_.Doc();
  actions_.send->setEnabled(doc.CanSend());
  actions_.stopSending->setEnabled(doc.CanStop());
  actions_.toggleChecks->setEnabled(doc.CanToggle());
  actions_.chooseFile->setEnabled(doc.CanBuildJob());
  actions_.plainTransfer->setEnabled(doc.CanBuildJob());
}

void MainWindow::go() {
  if (address_->currentText().isEmpty()) return;
  const QString text = address_->currentText().trimmed();
  address_->AddToHistory(text);
  address_->SaveHistory(false);
  emit navigateRequested(text);
}

void MainWindow::showLoadedPage(const QString& url) {
  if (!url.isNull()) address_->setEditText(url);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  if ((watched == address_ || watched == address_->lineEdit()) &&
      event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
      go();
      return true;
    }
  }
  return QMainWindow::eventFilter(watched, event);
}

void MainWindow::refreshMinToTray() {
  trayOnMinimise_ = app_.Store().MinToTray();
  actions_.minToTray->setChecked(trayOnMinimise_);
}

void MainWindow::editFocused(int webAction) {
  const auto action = static_cast<QWebEnginePage::WebAction>(webAction);
  QWidget* focus = QApplication::focusWidget();
  QLineEdit* edit = qobject_cast<QLineEdit*>(focus);
  // An editable combo box keeps the focus itself and hands its keys to its line edit.
  if (auto* combo = qobject_cast<QComboBox*>(focus); combo && !edit) edit = combo->lineEdit();
  if (edit) {
    switch (action) {
      case QWebEnginePage::Copy: edit->copy(); break;
      case QWebEnginePage::Cut: edit->cut(); break;
      case QWebEnginePage::Paste: edit->paste(); break;
      case QWebEnginePage::SelectAll: edit->selectAll(); break;
      default: break;
    }
    return;
  }
  // Chromium's focus sits in a child of the view; the page belongs to the view.
  for (QWidget* w = focus; w; w = w->parentWidget()) {
    if (auto* view = qobject_cast<QWebEngineView*>(w)) {
      view->page()->triggerAction(action);
      return;
    }
  }
  // The window's Ctrl+A comes before a list's own key handling: the list still selects all.
  if (auto* list = qobject_cast<QAbstractItemView*>(focus);
      list && action == QWebEnginePage::SelectAll)
    list->selectAll();
}

void MainWindow::focusPane(int step) {
  QList<QWidget*> panes;
  if (!addressBar->isHidden()) panes << address_;
  if (QWidget* page = currentContent()) panes << page;
  panes << tabs_->tabBar();
  QWidget* focus = QApplication::focusWidget();
  qsizetype at = -1;
  for (qsizetype i = 0; i < panes.size(); ++i)
    if (focus && (panes[i] == focus || panes[i]->isAncestorOf(focus))) at = i;
  const qsizetype n = panes.size();
  const qsizetype next = at < 0 ? (step > 0 ? 0 : n - 1) : ((at + step) % n + n) % n;
  QWidget* target = panes[next];
  // A web page takes the keys in its view, not in the widget around it.
  if (auto* view = target->findChild<QWebEngineView*>()) target = view;
  target->setFocus(step > 0 ? Qt::TabFocusReason : Qt::BacktabFocusReason);
}

bool MainWindow::inTray() const { return app_.trayHidden; }

void MainWindow::openFromTray() {
  app_.trayHidden = false;
  showMaximized();
  activateWindow();
  emit leftTray();
}

bool MainWindow::confirmClose() {
  return ShowMessage(this, MsgIcon::Question, tr("Are you sure you want to close Drovetail?"),
                     MsgButtons::YesNo) != MsgAnswer::No;
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (closing_ || confirmClose()) {
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

void MainWindow::chooseFiles(bool plain, const QStringList& dropped) {
  auto& doc = app_.Doc();
  if (!doc.CanBuildJob()) return;
  SplitSendDialog dlg(app_.Store(), plain, this);
  if (!dropped.isEmpty()) dlg.ChooseFiles(dropped);
  if (dlg.exec() != QDialog::Accepted) return;
  const dtl::SendRequest request = dlg.Request();
  if (plain)
    (void)doc.BuildPlainJob(request);
  else
    (void)doc.BuildSplitJob(request);
  tabs_->setCurrentIndex(0);
  updateSendCommands();
}

void MainWindow::chooseFile() { chooseFiles(false); }

void MainWindow::choosePlainTransfer() { chooseFiles(true); }

void MainWindow::sendSegments() {
  auto& doc = app_.Doc();
  relay_->env.settings = &app_.Store();
  // A token source per run: it reads the account as it is now.
  relay_->env.smtpAccessToken = {};
  if (app_.Store().GetDword("SMTPAuth") == 1)
    relay_->env.smtpAccessToken = DesktopAccessTokens(
        app_.Store(), app_.Endpoints(), [frame = QPointer<MainWindow>(this)](const QString& text) {
          if (frame) frame->showSignInNeeded(text);
        });
  int toSend = 0;
  for (const auto& record : doc.Records()) toSend += record.pending ? 1 : 0;
  if (!doc.StartRun(*relay_, relay_->env)) return;
  runTally_ = RunTally{true, toSend, {}, false, {}};
  updateSendCommands();
}

void MainWindow::stopSending() {
  runTally_.stopped = true;
  app_.Doc().Stop();
  updateSendCommands();
}

void MainWindow::toggleChecks() { app_.Doc().ToggleChecks(); }

void MainWindow::showSendQuickHelp() { sendList_->showQuickHelp(QCursor::pos()); }

// The flag is the truth: the action's own toggle is overwritten with it.
void MainWindow::toggleMinToTray() {
  trayOnMinimise_ = !trayOnMinimise_;
  // The flag rules this session; an unwritable store only loses it for the next one.
  (void)app_.Store().SetDword("MinToTray", trayOnMinimise_ ? 1 : 0);
  actions_.minToTray->setChecked(trayOnMinimise_);
}

void MainWindow::mergeFile() {
  MergeDialog dlg(app_.Store(), this);
  dlg.exec();
}

void MainWindow::splitFile() {
  SplitFileDialog dlg(app_.Store(), this);
  dlg.exec();
}

// A sending run keeps the delivery settings it started with.
void MainWindow::smtpSettings() {
  SmtpSettingsDialog dlg(app_.Store(), this);
  if (dlg.exec() == QDialog::Accepted && !app_.Doc().Running() && !app_.Doc().WorkerActive())
    app_.Doc().LoadDeliverySettings();
}

bool MainWindow::imapSettings() {
  ImapSettingsDialog dlg(app_.Store(), this);
  return dlg.exec() == QDialog::Accepted;
}

void MainWindow::receiveFromMailbox() {
  if (mailboxManager_) {
    if (mailboxManager_->isVisible()) {
      mailboxManager_->showNormal();
      mailboxManager_->raise();
      mailboxManager_->activateWindow();
      return;
    }
    delete mailboxManager_.data();
  }
  if (app_.Store().ImapServer().empty() && (!imapSettings() || app_.Store().ImapServer().empty()))
    return;
  // The listing and the receive read the settings of this moment: a later change of them
  // applies to the next Segment Manager.
  dtl::ImapSettings imap = ImapSettingsFromStore(app_.Store());
  if (app_.Store().GetDword("IMAPAuth") == 1)
    imap.accessToken = DesktopAccessTokens(
        app_.Store(), app_.Endpoints(), [frame = QPointer<MainWindow>(this)](const QString& text) {
          if (frame) frame->showSignInNeeded(text);
        });
  auto* dlg = new SegmentManagerDialog(
      app_.Store(),
      MakeImapSource(std::move(imap), app_.Store().ImapFolder(), 4,
                     dtl::LimitPausesFrom(app_.Store())),
      [&app = app_] { return app.trayHidden; }, this);
  followFrame(dlg);
  mailboxManager_ = dlg;
  dlg->show();
}

bool MainWindow::openAccountDialog(bool signIn) {
  AccountDialog dlg(app_.Store(), CoreAccountServices(app_.Store(), app_.Endpoints()), this);
  if (signIn) QTimer::singleShot(0, &dlg, &AccountDialog::signIn);
  if (dlg.exec() != QDialog::Accepted) return false;
  accountPrompt_->hide();
  promptSignIn_ = false;
  // A sending run keeps the delivery settings it started with.
  if (!app_.Doc().Running() && !app_.Doc().WorkerActive()) app_.Doc().LoadDeliverySettings();
  return true;
}

void MainWindow::buildAccountPrompt() {
  accountPrompt_ = new QWidget(this);
  accountPrompt_->setObjectName("accountPrompt");
  auto* row = new QHBoxLayout(accountPrompt_);
  row->setContentsMargins(0, 0, 0, 0);
  accountPromptText_ = new QLabel(tr("No mail account is set up yet."), accountPrompt_);
  accountPromptButton_ = new QPushButton(tr("Set Up Account…"), accountPrompt_);
  row->addWidget(accountPromptText_);
  row->addWidget(accountPromptButton_);
  statusBar()->addPermanentWidget(accountPrompt_);
  connect(accountPromptButton_, &QPushButton::clicked, this,
          [this] { openAccountDialog(promptSignIn_); });
  // Offered once: a user who set the servers up by hand, or passed the offer by, is not asked
  // again. The profile remembers it; an unwritable store only means a second offer.
  auto& store = app_.Store();
  const bool offer = store.SmtpServer().empty() && store.ImapServer().empty() &&
                     store.GetProfileString(kAccountOffered).empty();
  accountPrompt_->setVisible(offer);
  if (offer) (void)store.WriteProfileString(kAccountOffered, "1");
}

void MainWindow::showSignInNeeded(const QString& message) {
  promptSignIn_ = true;
  accountPromptText_->setText(message);
  accountPromptButton_->setText(tr("Sign in…"));
  accountPrompt_->show();
}

void MainWindow::advancedSettings() {
  AdvancedSettingsDialog dlg(app_.Store(), this);
  if (dlg.exec() == QDialog::Accepted && !app_.Doc().Running() && !app_.Doc().WorkerActive())
    app_.Doc().LoadDeliverySettings();
}

void MainWindow::about() {
  AboutDialog dlg(this);
  dlg.exec();
}

void MainWindow::openHelp(const QString& page) {
  if (!help_) help_ = new HelpWindow(this);
  help_->showPage(page);
  help_->show();
  help_->raise();
  help_->activateWindow();
}

void MainWindow::tellAFriend() {
  const QUrl site = productSite();
  if (!site.isValid()) return;  // the item is hidden then
  OpenMailDraft(
      QUrl(tr("mailto:?subject=Drovetail - Store and Share files on your Web-Mail account (%1)")
               .arg(site.toString())));
}

QWidget* MainWindow::currentContent() const {
  const int i = tabs_->currentIndex();
  return i >= 0 && i < contents_.size() ? contents_[i] : nullptr;
}

SidePane* MainWindow::currentSidePane() const { return qobject_cast<SidePane*>(currentContent()); }

void MainWindow::navigateBack() {
  if (SidePane* pane = currentSidePane())
    pane->back();
  else
    browser_->back();
}

void MainWindow::navigateForward() {
  if (SidePane* pane = currentSidePane())
    pane->forward();
  else
    browser_->forward();
}

void MainWindow::stopLoading() {
  if (SidePane* pane = currentSidePane())
    pane->stop();
  else
    browser_->stop();
}

void MainWindow::refresh() {
  if (SidePane* pane = currentSidePane())
    pane->reload();
  else
    browser_->reload();
}

void MainWindow::goHome() {
  if (SidePane* pane = currentSidePane())
    pane->goHome();
  else
    browser_->openStartPage(BrowserView::StartSite::Home);
}

}  // namespace dtlui
