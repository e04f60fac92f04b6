#include "cli/AccountCommand.h"

#include <vector>

namespace dtlcli {
namespace {

class AccountCommand : public Command {
 public:
  AccountCommand() {
    actions_.push_back(MakeAccountSetup());
    actions_.push_back(MakeAccountLogin());
  }

  void Declare(CommandLine& line) override {
    line.SetUsageStyle(UsageStyle::SeeHelp);
    CLI::App& app = line.App();
    app.description("Sets up the mail account the program sends and receives with.");
    app.footer("Exit status: 0 on success, 1 when the work failed, 2 on bad usage.");
    line.ExtraPositional(
        app, [](const std::string& a) { return "unknown account command '" + a + "'"; });
    for (auto& action : actions_) subcommands_.push_back(action->Declare(line, app));
  }

  int Run() override {
    for (size_t i = 0; i < actions_.size(); ++i)
      if (subcommands_[i]->parsed()) return actions_[i]->Run();
    return Usage("expected setup or login");
  }

 private:
  std::vector<std::unique_ptr<AccountAction>> actions_;
  std::vector<CLI::App*> subcommands_;
};

}  // namespace

std::unique_ptr<Command> MakeAccountCommand() { return std::make_unique<AccountCommand>(); }

}  // namespace dtlcli
