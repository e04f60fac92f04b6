#include <cstdio>

#include "cli/AccountCommand.h"

namespace dtlcli {
namespace {

class AccountLogin : public AccountAction {
 public:
  CLI::App* Declare(CommandLine& line, CLI::App& account) override {
    return account.add_subcommand("login", "(not yet available)");
  }
  int Run() override {
    std::fprintf(stderr, "dtl account login: not yet available\n");
    return kExitFailure;
  }
};

}  // namespace

std::unique_ptr<AccountAction> MakeAccountLogin() { return std::make_unique<AccountLogin>(); }

}  // namespace dtlcli
