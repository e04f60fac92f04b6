// The application object: registers the ".dtl" descriptor type with the desktop, owns the
// document and the main frame, opens the Merge dialog on a descriptor named on the command line,
// and sweeps the leftover temporary piece files ("DTL*.tmp") at exit.
//
// Call order: construct over a settings store, start(arguments) (false: end the program), run
// the Qt event loop, shutdown().
#pragma once

#include <unistd.h>

#include <QStringList>
#include <filesystem>
#include <memory>

#include "base/ProgramFolder.h"

#include "base/SettingsStore.h"
#include "browser/CookieJar.h"
#include "browser/NetworkEndpoints.h"
#include "send/SendDocument.h"

namespace dtlui {

class MainWindow;

class Application {
 public:
  // `dataHome` receives the file-type registration (normally $XDG_DATA_HOME); an empty path
  // skips it.
  Application(dtl::SettingsStore& store, std::filesystem::path dataHome);
  ~Application();

  // Registers the file type (failures ignored), creates and shows the main frame, then, when
  // the first argument names an existing file, runs the Merge dialog modally with it listed.
  bool start(const QStringList& arguments);
  // Deletes DTL*.tmp in the temporary folder (failures ignored). Returns the exit code 0.
  int shutdown();

  dtl::SettingsStore& Store() { return store_; }
  dtl::SendDocument& Doc() { return doc_; }
  MainWindow* Frame() const { return frame_.get(); }
  // The one cookie store of the receiving side (the inner browser's session reaches the crawler
  // and the download through it) and where their requests go. The endpoints are empty unless
  // set: libcurl then takes a proxy from http_proxy in the environment.
  dtl::CookieJar& Cookies() { return cookies_; }
  const dtl::NetworkEndpoints& Endpoints() const { return endpoints_; }

  // 1 while the main window is hidden in the tray; dialogs test it to hide themselves too.
  bool trayHidden = false;
  // Whether the program runs as root, where main() turns Chromium's sandbox off; the frame
  // then says so in its status bar. Read from the process; tests set it before start().
  bool runningAsRoot = ::geteuid() == 0;
  // Where an earlier version may have left Contacts.dat and DTLErrorLog.xml; start() moves
  // them into dataHome/drovetail once (said on stderr). Tests point it at a folder of their own.
  std::filesystem::path programFolder = dtl::GetProgramFolder();

 private:
  dtl::SettingsStore& store_;
  std::filesystem::path dataHome_;
  dtl::SendDocument doc_;
  dtl::CookieJar cookies_;
  dtl::NetworkEndpoints endpoints_;
  std::unique_ptr<MainWindow> frame_;
};

}  // namespace dtlui
