// dtl test-server HOST [--port N] [--ssl] [--timeout SECONDS]: the server test of the settings
// dialogs from the command line. Prints "Success." or "Failure." and, on failure, the reasons
// from the mail sender's log on stderr.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/CommandLine.h"
#include "mail/ServerTest.h"

namespace dtlcli {
namespace {

bool ParseNumber(const std::string& text, long lo, long hi, long& out) {
  if (text.empty() || text.size() > 9) return false;
  char* end = nullptr;
  long v = std::strtol(text.c_str(), &end, 10);
  if (*end != '\0' || v < lo || v > hi) return false;
  out = v;
  return true;
}

class TestServerCommand : public Command {
 public:
  TestServerCommand() {
    settings_.host.clear();
    settings_.connectTimeout = settings_.replyTimeout = std::chrono::seconds(30);
  }

  void Declare(CommandLine& line) override {
    line.SetUsageStyle(UsageStyle::SeeHelp);
    CLI::App& app = line.App();
    app.description(
        "Checks that the SMTP server at HOST answers with a 220 greeting, as the Server Test of\n"
        "the settings does. No login is tried and no mail is sent. Prints \"Success.\" or\n"
        "\"Failure.\"; on failure the reason goes to stderr.");
    app.footer("Exit status: 0 on \"Success.\", 1 on \"Failure.\", 2 on bad usage.");
    const std::string expected = "expected exactly one HOST";
    line.Missing(app.add_option("HOST", settings_.host, "the SMTP server")->required(), expected);
    line.ExtraPositional(app, [expected](const std::string&) { return expected; });
    line.UnknownOption(app, [](const std::string& a) { return "unknown option " + a; });
    line.Value(
            app, "--port",
            [this](const std::string& v) { settings_.port = static_cast<int>(std::stol(v)); }, "N",
            "server port (default 25; 0 also means 25)")
        ->check(Within("the port must be a number from 0 to 65535", 0, 65535));
    line.Flag(
        app, "--ssl", settings_.ssl,
        "TLS from the first byte (implicit TLS, as on port 465); the certificate must chain to the "
        "system CAs, or to the PEM bundle named by the environment variable DTL_CA_FILE, and name "
        "HOST");
    line.Value(
            app, "--timeout",
            [this](const std::string& v) {
              settings_.connectTimeout = settings_.replyTimeout =
                  std::chrono::seconds(std::stol(v));
            },
            "SECONDS",
            "how long to wait for the connection and for the whole greeting (default 30)")
        ->check(Within("the time-out must be 1 to 3600 seconds", 1, 3600));
  }

  int Run() override;

 private:
  static CLI::Validator Within(std::string message, long lo, long hi) {
    return CLI::Validator(
        [=](std::string& v) {
          long n = 0;
          return ParseNumber(v, lo, hi, n) ? std::string() : message;
        },
        "");
  }

  dtl::SmtpSettings settings_;
};

int TestServerCommand::Run() {
  dtl::SmtpSettings& settings = settings_;
  dtl::MailLog log;
  const std::string verdict = dtl::ServerTest(settings, &log);
  std::printf("%s\n", verdict.c_str());
  if (verdict != "Success.") {
    if (settings.host.size() < 2)
      std::fprintf(stderr, "dtl test-server: the host name is too short\n");
    for (const auto& e : log.Errors()) std::fprintf(stderr, "dtl test-server: %s\n", e.c_str());
    return kExitFailure;
  }
  return std::fflush(stdout) == 0 ? kExitOk : kExitFailure;
}

}  // namespace

std::unique_ptr<Command> MakeTestServerCommand() { return std::make_unique<TestServerCommand>(); }
}  // namespace dtlcli
