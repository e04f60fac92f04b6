// The main window: banner strip, the tabs "Split/Send File", "Browse", "Support" and the
// sibling product's page, four tool bars shown per tab, the menus, the status bar ("Last
// status message: %s"), the tray icon with its menu and tool tips, minimise-to-tray, the close
// question and the browser's address box with its history.
//
// The frame routes: send commands go to the document (dtl::SendDocument), the send engine's events
// come back from its worker as queued calls and are applied here on the UI thread. Created by
// Application after the settings store and the document.
#pragma once

#include <QMainWindow>
#include <QMap>
#include <QSystemTrayIcon>

#include "send/SendDocument.h"

class QAction;
class QLabel;
class QMenu;
class QTabWidget;
class QToolBar;

namespace dtlui {

class BrowserView;
class SidePane;
class Application;
class FileListView;
class HistoryCombo;

// Command ids of the menus and tool bars.
enum Command : int {
  ID_SEND = 32772,
  ID_CHOOSE_FILE = 32773,
  ID_TOGGLE_CHECKS = 32782,
  ID_EXIT = 32783,
  ID_BROWSER_BACK = 32786,
  ID_BROWSER_FORWARD = 32787,
  ID_BROWSER_STOP = 32788,
  ID_BROWSER_REFRESH = 32789,
  ID_BROWSER_HOME = 32790,
  ID_WALLA = 32791,
  ID_GMAIL = 32792,
  ID_STOP_SENDING = 32800,
  ID_HOME = 32801,
  ID_YAHOO = 32802,
  ID_HOTMAIL = 32803,
  ID_MERGE_FILE = 32806,
  ID_SEND_QUICK_HELP = 32808,
  ID_BROWSER_QUICK_HELP = 32810,
  ID_SITE_HOME = 32811,
  ID_TELL_A_FRIEND = 32812,
  ID_ADVANCED_SETTINGS = 32813,
  ID_SPYMAC = 32814,
  ID_SITE_1 = 32815,
  ID_SITE_2 = 32816,
  ID_SITE_3 = 32817,
  ID_EXPORT_COOKIES = 32819,
  ID_EXPORT_PASSWORD = 32822,
  ID_SPLIT_FILE = 32823,
  ID_SMTP_SETTINGS = 32825,
  ID_FORUMS = 32826,
  ID_AUTO_DOWNLOAD = 32827,
  ID_GO = 32830,
  ID_TRAY_OPEN = 32834,
  ID_TRAY_CLOSE = 32835,
  ID_MIN_TO_TRAY = 32836,
  ID_OMNILECT = 32838,
  ID_UNITED_EMAIL = 32839,
  ID_XASAMAIL = 32840,
  ID_PLAIN_TRANSFER = 32841,
  ID_GAWAB = 32842,
  ID_HRIDERS = 32846,
  ID_ROTOMAIL = 32848,
  ID_NETSCAPE = 32850,
  ID_O2 = 32851,
  ID_LYCOS = 32856,
  // The standard edit commands, which the inner browser passes to its page.
  ID_EDIT_COPY = 57634,
  ID_EDIT_CUT = 57635,
  ID_EDIT_PASTE = 57637,
  ID_HELP = 57670,
  ID_ABOUT = 57664,
};

// The tray tool-tip kinds.
enum class TrayTip { Reset = 0, Text = 1, UploadPercent = 2, Downloading = 3 };

inline constexpr const char* kProductUrl = "https://www.drovetail.example/";
inline constexpr const char* kSiblingUrl = "www.orvanto.example";

class MainWindow : public QMainWindow {
  Q_OBJECT
 public:
  explicit MainWindow(Application& app);
  ~MainWindow() override;

  QAction* Action(int id) const { return actions_.value(id); }
  // Runs command `id` as a menu click would (unknown ids do nothing).
  void Run(int id);

  // Shows the tool bars of tab i (0 send; 1 browser and address bar; 2 none; 3, 4 navigation);
  // other values change nothing.
  void ShowToolBarsForTab(int i);
  // A status text of list position `position`: tray tool tip, status bar, the send list.
  void OnStatusText(const QString& text, int position);
  void SetTrayTip(TrayTip kind, const QString& text = {}, int percent = 0);
  // Takes the address box's text to its history and asks the browser pane to go there.
  void Go();
  // The browser pane loaded `url`: the address box shows it (a null string changes nothing).
  void OnPageLoaded(const QString& url);
  // Applies one send-engine event on the UI thread.
  void OnEngineEvent(const dtl::SendEvent& event);
  // The close question; true when the frame may close.
  bool ConfirmClose();
  // The tray-on-minimise flag as last refreshed from MinToTray.
  bool TrayOnMinimise() const { return trayOnMinimise_; }
  // True while the main window is hidden in the tray; the receiving dialogs minimise with it.
  bool InTray() const;
  // Refreshes the flag and the check mark from MinToTray (done each time the Settings menu shows).
  void RefreshMinToTray();
  // "Open Drovetail": back from the tray, shown maximised.
  void OpenFromTray();

  QTabWidget* Tabs() const { return tabs_; }
  QToolBar *sendBar, *browserBar, *navigationBar, *addressBar;
  HistoryCombo* AddressBox() const { return address_; }
  FileListView* SendList() const { return sendList_; }
  BrowserView* browserView() const { return browser_; }
  SidePane* CommunityPane() const { return community_; }
  SidePane* SiblingPane() const { return sibling_; }
  QSystemTrayIcon* Tray() const { return tray_; }
  QString StatusMessage() const;
  QMenu* SettingsMenu() const { return settingsMenu_; }

 signals:
  // The main window has just gone to the tray.
  void enteredTray();
  // The address box's text to navigate to (the browser pane goes there).
  void NavigateRequested(const QString& url);

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QAction* MakeAction(int id, const QString& text, const QString& icon = {}, const QString& tip = {});
  void BuildActions();
  void BuildMenus();
  void BuildToolBars();
  void BuildPanes();
  void BuildTray();
  void UpdateSendCommands();
  void OnChooseFile(bool plain);
  void OnSend();

  Application& app_;
  QMap<int, QAction*> actions_;
  QTabWidget* tabs_ = nullptr;
  HistoryCombo* address_ = nullptr;
  FileListView* sendList_ = nullptr;
  BrowserView* browser_ = nullptr;
  SidePane* community_ = nullptr;
  SidePane* sibling_ = nullptr;
  QSystemTrayIcon* tray_ = nullptr;
  QLabel* statusMessage_ = nullptr;
  QMenu* settingsMenu_ = nullptr;
  bool trayOnMinimise_ = true;
  bool firstPaint_ = false;
  bool closing_ = false;
  class EngineRelay;
  std::unique_ptr<EngineRelay> relay_;
};

}  // namespace dtlui
