// dtl account: the actions on the mail account (setup, login, ...). Each action lives in a file
// of its own and declares its own subcommand; the command only collects them.
#pragma once

#include <memory>

#include "cli/CommandLine.h"

namespace dtlcli {

// One action of `dtl account`.
class AccountAction {
 public:
  virtual ~AccountAction() = default;
  // Adds the action's subcommand to `account` (the command's App), binds its options to the
  // action's members and gives the subcommand back.
  virtual CLI::App* Declare(CommandLine& line, CLI::App& account) = 0;
  // Runs the action after a parse that chose it; gives the exit status.
  virtual int Run() = 0;
};

// dtl account setup ADDRESS: find the servers, let the user correct them, test, store.
std::unique_ptr<AccountAction> MakeAccountSetup();
// dtl account login: the OAuth2 consent in a browser, the refresh token kept.
std::unique_ptr<AccountAction> MakeAccountLogin();

}  // namespace dtlcli
