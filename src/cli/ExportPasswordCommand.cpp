// dtl export-password: turns a mailbox password into the account-password marker that can be
// handed out instead of it. The password is read without echo, never from the command line.
// There is deliberately no command that turns a marker back into a password.
#include <cstdio>
#include <string>
#include <vector>

#include "browser/AccountPassword.h"
#include "cli/CommandLine.h"
#include "cli/PasswordInput.h"

namespace dtlcli {

namespace {

class ExportPasswordCommand : public Command {
 public:
  void Declare(CommandLine& line) override {
    CLI::App& app = line.App();
    app.description(
        "Reads the mailbox password (from the terminal without echo, or the first line of "
        "standard\n"
        "input) and prints its encrypted marker, to be typed into the provider's login form in "
        "the\n"
        "inner browser instead of the password.");
    // Any word that is not an option can only be the password itself.
    line.ExtraPositional(app, [](const std::string&) {
      return "the password is never taken from the command line (other users can read it); "
             "type it when asked or pipe it to standard input";
    });
    line.Flag(app, "--ssl", ssl_, "make the marker for a login page served over HTTPS");
  }

  int Run() override;

 private:
  bool ssl_ = false;
};

int ExportPasswordCommand::Run() {
  const bool ssl = ssl_;
  auto password = PasswordFromStdin("Account password: ");
  if (!password) {
    std::fprintf(stderr, "dtl export-password: %s\n", password.error().message.c_str());
    return kExitFailure;
  }
  const std::string marker = dtl::ExportAccountPassword(*password, ssl);
  const bool empty = password->empty();
  WipeString(*password);
  if (marker.empty()) {
    std::fprintf(
        stderr, "dtl export-password: %s\n",
        empty ? "an empty password gives no marker" : "the password is longer than 50 characters");
    return kExitFailure;
  }
  std::printf("%s\n", marker.c_str());
  return std::fflush(stdout) == 0 ? kExitOk : kExitFailure;
}

}  // namespace

std::unique_ptr<Command> MakeExportPasswordCommand() {
  return std::make_unique<ExportPasswordCommand>();
}

}  // namespace dtlcli
