// dtl test-server HOST [--port N] [--ssl] [--timeout SECONDS]: the server test of the settings
// dialogs from the command line. Prints "Success." or "Failure." and, on failure, the reasons
// from the mail sender's log on stderr.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/Command.h"
#include "mail/ServerTest.h"

namespace dtlcli {
namespace {

void PrintHelp() {
  std::printf(
      "Usage: dtl test-server HOST [--port N] [--ssl] [--timeout SECONDS]\n"
      "Checks that the SMTP server at HOST answers with a 220 greeting, as the Server Test of\n"
      "the settings does. No login is tried and no mail is sent. Prints \"Success.\" or\n"
      "\"Failure.\"; on failure the reason goes to stderr.\n\n"
      "  --port N           server port (default 25; 0 also means 25)\n"
      "  --ssl              TLS from the first byte (implicit TLS, as on port 465); the\n"
      "                     certificate must chain to the system CAs, or to the PEM bundle\n"
      "                     named by the environment variable DTL_CA_FILE, and name HOST\n"
      "  --timeout SECONDS  how long to wait for the connection and for the greeting\n"
      "                     (default 30)\n\n"
      "Exit status: 0 on \"Success.\", 1 on \"Failure.\", 2 on bad usage.\n");
}

bool ParseNumber(const std::string& text, long lo, long hi, long& out) {
  if (text.empty() || text.size() > 9) return false;
  char* end = nullptr;
  long v = std::strtol(text.c_str(), &end, 10);
  if (*end != '\0' || v < lo || v > hi) return false;
  out = v;
  return true;
}

int Usage(const char* what) {
  std::fprintf(stderr, "dtl test-server: %s (see 'dtl test-server --help')\n", what);
  return kExitUsage;
}

int RunTestServer(const std::vector<std::string>& args) {
  if (WantsHelp(args)) {
    PrintHelp();
    return kExitOk;
  }
  dtl::SmtpSettings settings;
  settings.host.clear();
  settings.connectTimeout = settings.replyTimeout = std::chrono::seconds(30);
  bool haveHost = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    long v = 0;
    if (a == "--ssl") {
      settings.ssl = true;
    } else if (a == "--port" || a == "--timeout") {
      if (i + 1 >= args.size()) return Usage((a + " needs a value").c_str());
      const std::string& value = args[++i];
      if (a == "--port") {
        if (!ParseNumber(value, 0, 65535, v)) return Usage("the port must be a number from 0 to 65535");
        settings.port = static_cast<int>(v);
      } else {
        if (!ParseNumber(value, 1, 3600, v)) return Usage("the time-out must be 1 to 3600 seconds");
        settings.connectTimeout = settings.replyTimeout = std::chrono::seconds(v);
      }
    } else if (!a.empty() && a[0] == '-') {
      return Usage(("unknown option " + a).c_str());
    } else if (haveHost) {
      return Usage("expected exactly one HOST");
    } else {
      settings.host = a;
      haveHost = true;
    }
  }
  if (!haveHost) return Usage("expected exactly one HOST");

  dtl::MailLog log;
  const std::string verdict = dtl::ServerTest(settings, &log);
  std::printf("%s\n", verdict.c_str());
  if (verdict != "Success.") {
    if (settings.host.size() < 2) std::fprintf(stderr, "dtl test-server: the host name is too short\n");
    for (const auto& e : log.Errors()) std::fprintf(stderr, "dtl test-server: %s\n", e.c_str());
    return kExitFailure;
  }
  return std::fflush(stdout) == 0 ? kExitOk : kExitFailure;
}

const DtlCommand kTestServer("test-server", "check that an SMTP server answers (Success./Failure.)", RunTestServer);

}  // namespace
}  // namespace dtlcli
