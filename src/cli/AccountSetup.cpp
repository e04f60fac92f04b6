#include <cstdio>

#include "cli/AccountCommand.h"

namespace dtlcli {
namespace {

class AccountSetup : public AccountAction {
 public:
  CLI::App* Declare(CommandLine& line, CLI::App& account) override {
    return account.add_subcommand("setup", "(not yet available)");
  }
  int Run() override {
    std::fprintf(stderr, "dtl account setup: not yet available\n");
    return kExitFailure;
  }
};

}  // namespace

std::unique_ptr<AccountAction> MakeAccountSetup() { return std::make_unique<AccountSetup>(); }

}  // namespace dtlcli
