// dtl export-password: turns a mailbox password into the account-password marker that can be
// handed out instead of it. The password is read without echo, never from the command line.
// There is deliberately no command that turns a marker back into a password.
#include <cstdio>
#include <string>
#include <vector>

#include "browser/AccountPassword.h"
#include "cli/Command.h"
#include "cli/PasswordInput.h"

namespace dtlcli {

namespace {

constexpr const char* kUsage =
    "Usage: dtl export-password [--ssl]\n"
    "Reads the mailbox password (from the terminal without echo, or the first line of standard\n"
    "input) and prints its encrypted marker, to be typed into the provider's login form in the\n"
    "inner browser instead of the password.\n\n"
    "  --ssl    make the marker for a login page served over HTTPS\n";

int Usage(const std::string& why) {
  std::fprintf(stderr, "dtl export-password: %s\n%s", why.c_str(), kUsage);
  return kExitUsage;
}

int RunExportPassword(const std::vector<std::string>& args) {
  if (WantsHelp(args)) {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  bool ssl = false;
  for (const std::string& a : args) {
    if (a == "--ssl")
      ssl = true;
    else if (a.size() > 1 && a[0] == '-')
      return Usage("unknown option '" + a + "'");
    else
      return Usage("the password is never taken from the command line (other users can read it); "
                   "type it when asked or pipe it to standard input");
  }

  std::string error;
  auto password = PasswordFromStdin("Account password: ", &error);
  if (!password) {
    std::fprintf(stderr, "dtl export-password: %s\n", error.c_str());
    return kExitFailure;
  }
  const std::string marker = dtl::ExportAccountPassword(*password, ssl);
  const bool empty = password->empty();
  WipeString(*password);
  if (marker.empty()) {
    std::fprintf(stderr, "dtl export-password: %s\n",
                 empty ? "an empty password gives no marker"
                       : "the password is longer than 50 characters");
    return kExitFailure;
  }
  std::printf("%s\n", marker.c_str());
  return std::fflush(stdout) == 0 ? kExitOk : kExitFailure;
}

const DtlCommand kExportPassword("export-password", "print the encrypted marker of a mailbox password",
                                 RunExportPassword);

}  // namespace

}  // namespace dtlcli
