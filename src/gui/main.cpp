// drovetail: the desktop program. `drovetail [descriptor.dtl]` starts it (and opens the Merge
// dialog on the descriptor); `drovetail --screenshots DIR` opens every main window and dialog in
// a representative state, saves a PNG of each into DIR and exits (works offscreen).
#include <unistd.h>

#include <cstdio>

#include <QApplication>
#include <QCommandLineParser>

#include "base/ProgramFolder.h"
#include "base/SecretMemory.h"
#include "base/SecretStore.h"
#include "base/SettingsStore.h"
#include "gui/Application.h"
#include "gui/Screenshots.h"

int main(int argc, char** argv) {
  // Account passwords, segment passwords and the inner browser's sessions live in this process:
  // no core file may carry them.
  dtl::KeepSecretsOutOfCoreDumps();
  // Chromium refuses to start its sandboxed renderers for root; the inner browser then runs
  // without the sandbox (a value the user set is kept).
  if (geteuid() == 0 && qEnvironmentVariableIsEmpty("QTWEBENGINE_DISABLE_SANDBOX"))
    qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
  // The web views share one GL context with the widgets, which Qt WebEngine wants set up first.
  QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
  QApplication qapp(argc, argv);
  QApplication::setApplicationName("Drovetail");
  QApplication::setApplicationVersion(DTL_VERSION);
  QApplication::setQuitOnLastWindowClosed(false);  // the tray icon keeps the program alive

  QCommandLineParser parser;
  parser.setApplicationDescription(
      QCoreApplication::translate("main", "Store and share files on your web-mail account."));
  parser.addHelpOption();
  parser.addVersionOption();
  QCommandLineOption shots(
      "screenshots",
      QCoreApplication::translate("main",
                                  "Save a PNG of every window and dialog into DIR, then exit."),
      QCoreApplication::translate("main", "DIR"));
  parser.addOption(shots);
  parser.addPositionalArgument(
      QCoreApplication::translate("main", "descriptor"),
      QCoreApplication::translate("main", "A segment descriptor (.dtl) to merge."),
      QCoreApplication::translate("main", "[descriptor]"));
  parser.process(qapp);

  if (parser.isSet(shots)) return dtlui::SaveScreenshots(parser.value(shots));

  dtl::SettingsStore store(dtl::SettingsStore::DefaultPath());
  store.AttachSecrets(dtl::MakeSystemSecretStore());
  // Passwords still in the file go to a keyring that is running now (said on stderr; a refusal
  // leaves them in the file, which keeps serving).
  if (auto moved = store.MoveSecretsIfDue(); !moved)
    std::fprintf(stderr, "drovetail: the secrets stay in %s: %s\n", store.Path().c_str(),
                 moved.error().message.c_str());
  else if (*moved > 0)
    std::fprintf(stderr, "drovetail: moved %d secret(s) from %s to the desktop's keyring\n",
                 *moved, store.Path().c_str());
  dtlui::Application app(store, dtl::XdgDataHome());
  if (!app.start(parser.positionalArguments())) return 1;
  const int code = QApplication::exec();
  app.shutdown();
  return code;
}
