// The main window: banner strip, the tabs "Split/Send File", "Browse", "Support" and the
// sibling product's page, four tool bars shown per tab (inside the tab pages, below the tab bar,
// so the tab bar stays in place), the menus, the help window, the status bar ("Last
// status message: %s"), the tray icon with its menu and tool tips, minimise-to-tray, the close
// question and the browser's address box with its history.
//
// The frame routes: send commands go to the document (dtl::SendDocument), the send engine's events
// come back from its worker as queued calls and are applied here on the UI thread. Created by
// Application after the settings store and the document.
#pragma once

#include <QList>
#include <QMainWindow>
#include <QPointer>
#include <QSet>
#include <QSystemTrayIcon>
#include <QUrl>

#include "gui/HelpWindow.h"
#include "send/SendDocument.h"

class QAction;
class QLabel;
class QMenu;
class QPushButton;
class QMessageBox;
class QTabWidget;
class QToolBar;

namespace dtlui {

class BrowserView;
class SegmentManagerDialog;
class SidePane;
class Application;
class FileListView;
class HistoryCombo;

// The tray tool-tip kinds.
enum class TrayTip { Reset = 0, Text = 1, UploadPercent = 2, Downloading = 3 };

// The frame's commands, one per menu entry or tool-bar button; each triggered() signal goes to
// a named slot of the frame. Owned by the frame.
struct MainActions {
  // The send tool bar.
  QAction *chooseFile, *plainTransfer, *send, *stopSending, *toggleChecks, *mergeFile,
      *sendQuickHelp;
  // The browser and navigation tool bars and the address bar.
  QAction *back, *forward, *stop, *refresh, *webMailSites, *exportPassword, *autoDownload,
      *browserQuickHelp, *go;
  // "Receive from Mailbox…" (File menu and the browser tool bar): the Segment Manager over the
  // IMAP folder of the settings; "IMAP Server Settings..." (Settings menu).
  QAction *receiveFromMailbox, *imapSettings;
  // "Account…" (Settings menu): the Account dialog.
  QAction* account;
  // The menus and the tray menu.
  QAction *exit, *smtpSettings, *advancedSettings, *minToTray, *splitFile, *help, *siteHome, *site1,
      *site2, *site3, *tellAFriend, *about, *trayOpen, *trayClose;
  // The web-mail sites menu of the browser's home button and the start pages only the inner
  // browser opens.
  QAction *home, *forums, *walla, *yahoo, *gmail, *lycos, *netscape, *o2, *spymac, *hotmail, *gawab,
      *omnilect, *unitedEmail, *xasamail, *hriders, *rotomail;
  // The edit keys (Ctrl+C, Ctrl+X, Ctrl+V, Ctrl+A): they act on the focused field, else on the
  // focused web page (inner browser or side pane).
  QAction *exportCookies, *copy, *cut, *paste, *selectAll;
  // F6 and Shift+F6: the keyboard focus goes to the next or previous pane (the address box
  // when shown, the page of the tab in front, the tab bar), round.
  QAction *nextPane, *previousPane;
};

class MainWindow : public QMainWindow {
  Q_OBJECT
 public:
  explicit MainWindow(Application& app);
  ~MainWindow() override;

  // The frame's commands; trigger() one to run it as a menu click would.
  const MainActions& actions() const { return actions_; }

 public slots:
  // Shows the tool bars of tab i (0 send; 1 browser and address bar; 2 none; 3, 4 navigation);
  // other values change nothing.
  void showToolBarsForTab(int i);
  // A status text of list position `position`: tray tool tip, status bar, the send list.
  void showStatusText(const QString& text, int position);
  // The tray icon's tool tip.
  void setTrayTip(TrayTip kind, const QString& text = {}, int percent = 0);
  // Takes the address box's text to its history and asks the browser pane to go there.
  void go();
  // The browser pane loaded `url`: the address box shows it (a null string changes nothing).
  void showLoadedPage(const QString& url);
  // Applies one send-engine event on the UI thread. When the worker of a run this window
  // started leaves (WorkerLeft), the status bar and the tray tip get the run's summary
  // ("3 of 3 segments delivered", "2 of 3 delivered, 1 stopped", "0 of 1 delivered, 1 failed:
  // <last status>") in place of its last status text.
  void applyEngineEvent(const dtl::SendEvent& event);
  // Puts a send run's summary in the status bar and the tray tip (see applyEngineEvent):
  // `delivered` of `toSend` segments, the rest stopped by the user or failed with `lastStatus`.
  void showRunSummary(int toSend, int delivered, bool stopped, const QString& lastStatus);
  // The close question; true when the frame may close.
  bool confirmClose();
  // The tray-on-minimise flag as last refreshed from MinToTray.
  bool trayOnMinimise() const { return trayOnMinimise_; }
  // True while the main window is hidden in the tray; the receiving dialogs minimise with it.
  bool inTray() const;
  // Refreshes the flag and the check mark from MinToTray (done each time the Settings menu shows).
  void refreshMinToTray();
  // Shows or hides the items that lead to the product's web site ("Websites", "Tell a
  // friend...", "Drovetail Forums") after the ProductSite setting (done each time the Help
  // menu or the web-mail sites menu shows).
  void refreshProductSite();
  // Opens the help window on `page` ("desktop.md", ...), or brings the open one forward there.
  void openHelp(const QString& page = QStringLiteral("desktop.md"));
  // "Open Drovetail": back from the tray, shown maximised.
  void openFromTray();

 public:
  QTabWidget* tabs() const { return tabs_; }
  QToolBar *sendBar, *browserBar, *navigationBar, *addressBar;
  HistoryCombo* addressBox() const { return address_; }
  FileListView* sendList() const { return sendList_; }
  BrowserView* browserView() const { return browser_; }
  SidePane* communityPane() const { return community_; }
  SidePane* siblingPane() const { return sibling_; }
  QSystemTrayIcon* tray() const { return tray_; }
  QString statusMessage() const;
  QMenu* settingsMenu() const { return settingsMenu_; }
  QMenu* helpMenu() const { return helpMenu_; }
  // The help window once opened (see openHelp), else null.
  HelpWindow* helpWindow() const { return help_; }
  // The status bar's account line: the first run's offer to set up an account, or the sign-in
  // an expired OAuth2 login needs. Hidden when there is nothing to say.
  QWidget* accountPrompt() const { return accountPrompt_; }
  QLabel* accountPromptText() const { return accountPromptText_; }
  QPushButton* accountPromptButton() const { return accountPromptButton_; }
  // Opens the Account dialog modally; with `signIn`, its browser sign-in starts at once.
  // True when the user pressed OK.
  bool openAccountDialog(bool signIn = false);
  // Tells the user (in the account line) that the OAuth2 login must be made again; its button
  // opens the Account dialog's sign-in.
  void showSignInNeeded(const QString& message);

 signals:
  // The main window has just gone to the tray.
  void enteredTray();
  // The main window has come back from the tray ("Open Drovetail").
  void leftTray();
  // The address box's text to navigate to (the browser pane goes there).
  void navigateRequested(const QString& url);

 private slots:
  void chooseFile();
  void choosePlainTransfer();
  void sendSegments();
  void stopSending();
  void toggleChecks();
  void showSendQuickHelp();
  void toggleMinToTray();
  void mergeFile();
  void splitFile();
  void smtpSettings();
  // True when the user pressed OK.
  bool imapSettings();
  // Opens the Segment Manager over the IMAP folder (the settings first when no server is set),
  // or brings forward the one already open.
  void receiveFromMailbox();
  void advancedSettings();
  void about();
  void tellAFriend();
  // The navigation buttons act on the side pane in front, otherwise on the inner browser.
  void navigateBack();
  void navigateForward();
  void stopLoading();
  void refresh();
  void goHome();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QAction* makeAction(const QString& text, const QString& icon = {}, const QString& tip = {});
  void buildActions();
  void connectActions();
  void buildMenus();
  void buildToolBars();
  void buildPanes();
  void buildTray();
  // The account line in the status bar, offering the Account dialog on a first run.
  void buildAccountPrompt();
  // Ties a Segment Manager to the frame: it goes to the tray and back with it, and its
  // download's rate shows in the tray tip.
  void followFrame(SegmentManagerDialog* dlg);
  void updateSendCommands();
  // Tells the user about a condition that fails every attempt (a piece that cannot be cut):
  // once per condition, in a box that does not block, never a second box on top of one.
  void showSendFailure(const QString& text);
  // Opens the send dialog (File Split or Plain Transfer), with `dropped` files already chosen.
  void chooseFiles(bool plain, const QStringList& dropped = {});
  SidePane* currentSidePane() const;
  // What the tab in front shows, below its tool bars (send list, browser, side pane).
  QWidget* currentContent() const;
  // The ProductSite setting as a web address; invalid when none (or no web address) is set.
  QUrl productSite() const;
  // Runs an edit command on the focused line edit, else on the focused web page.
  void editFocused(int webAction);
  // Moves the keyboard focus `step` panes on (1 or -1).
  void focusPane(int step);

  Application& app_;
  MainActions actions_{};
  QTabWidget* tabs_ = nullptr;
  HistoryCombo* address_ = nullptr;
  FileListView* sendList_ = nullptr;
  BrowserView* browser_ = nullptr;
  SidePane* community_ = nullptr;
  SidePane* sibling_ = nullptr;
  QSystemTrayIcon* tray_ = nullptr;
  QLabel* statusMessage_ = nullptr;
  QMenu* settingsMenu_ = nullptr;
  QMenu* helpMenu_ = nullptr;
  QMenu* sitesMenu_ = nullptr;
  QPointer<HelpWindow> help_;
  QList<QWidget*> contents_;  // per tab, see currentContent()
  QWidget* accountPrompt_ = nullptr;
  QLabel* accountPromptText_ = nullptr;
  QPushButton* accountPromptButton_ = nullptr;
  bool promptSignIn_ = false;  // the account line's button signs in (else it sets up)
  QPointer<SegmentManagerDialog> mailboxManager_;
  bool trayOnMinimise_ = true;
  bool firstPaint_ = false;
  bool closing_ = false;
  // The send failure last told and its box while it is up; a delivery or the end of the
  // worker lets the same condition be told again.
  QString sendFailureTold_;
  QPointer<QMessageBox> sendFailureBox_;
  // The run this window started, counted for its summary: the segments it had to send, the
  // positions delivered so far, whether the user stopped it, and its last status text.
  struct RunTally {
    bool counting = false;
    int toSend = 0;
    QSet<int32_t> delivered;
    bool stopped = false;
    QString lastStatus;
  } runTally_;
  void finishRunTally();
  class EngineRelay;
  std::unique_ptr<EngineRelay> relay_;
};

}  // namespace dtlui
