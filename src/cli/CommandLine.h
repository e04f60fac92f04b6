// The dtl program's commands and the one place each declares its command line.
//
// Every command is a Command: Declare() puts its options and positionals on a CLI::App, bound
// to the command's own members, with their help texts and checks; Run() does the work once the
// line is parsed. Each command gets an App of its own rather than being a subcommand of one
// program-wide App: the program's own usage text, its "unknown command" answer and --version
// stay as they are, and every usage error keeps its command's prefix ("dtl split: ...").
//
// Exit status: 0 on success, 1 on a failure of the work, 2 on bad usage (CLI11's parse errors
// included); --help prints to stdout and exits 0.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace dtlcli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// How a command words a usage error on stderr.
enum class UsageStyle {
  WithHelp,  // "dtl NAME: WHY\n" followed by the command's help
  RunHelp,   // "dtl NAME: WHY\nRun 'dtl NAME --help' for usage.\n"
  SeeHelp,   // "dtl NAME: WHY (see 'dtl NAME --help')\n"
};

// A command's App together with the texts its usage errors are given in. Owns the App; the
// options it declares write into storage the caller owns, which must outlive Parse().
class CommandLine {
 public:
  CommandLine(std::string command, std::string description);

  CLI::App& App() { return app_; }
  const CLI::App& App() const { return app_; }
  const std::string& Command() const { return command_; }
  void SetUsageStyle(UsageStyle style) { style_ = style; }

  // An option with one value; given twice, the last one counts. When the value is missing
  // the error says "NAME needs NEEDS".
  CLI::Option* Value(CLI::App& app, const std::string& name,
                     std::function<void(const std::string&)> store, const std::string& metavar,
                     const std::string& help, const std::string& needs = "a value");
  CLI::Option* Value(CLI::App& app, const std::string& name, std::string& into,
                     const std::string& metavar, const std::string& help,
                     const std::string& needs = "a value");
  CLI::Option* Value(CLI::App& app, const std::string& name, std::optional<std::string>& into,
                     const std::string& metavar, const std::string& help,
                     const std::string& needs = "a value");
  // An option that may be given any number of times, one value each time.
  CLI::Option* Repeated(CLI::App& app, const std::string& name, std::vector<std::string>& into,
                        const std::string& metavar, const std::string& help,
                        const std::string& needs = "a value");
  CLI::Option* Flag(CLI::App& app, const std::string& name, bool& into, const std::string& help);

  // The text when a required option or positional is missing.
  void Missing(CLI::Option* option, std::string text) { missing_[option] = std::move(text); }
  // The two options exclude each other; `text` is the error when both are given.
  void Exclusive(CLI::Option* a, CLI::Option* b, std::string text);
  // The error for an argument `app` does not know: an undeclared option (including the
  // password forms), or a positional beyond the declared ones.
  void UnknownOption(const CLI::App& app, std::function<std::string(const std::string&)> text) {
    unknownOption_[&app] = std::move(text);
  }
  void ExtraPositional(const CLI::App& app, std::function<std::string(const std::string&)> text) {
    extraPositional_[&app] = std::move(text);
  }

  struct Outcome {
    enum Kind { Parsed, Help, Usage } kind = Parsed;
    std::string text;  // the help text, or the usage error without the command's prefix
  };
  // Parses the arguments after the command's name. Never throws a CLI11 error.
  Outcome Parse(const std::vector<std::string>& args);

  // The command's help: every option of the App and of its subcommands.
  std::string Help() const;
  // Prints a usage error in the command's style and returns kExitUsage.
  int PrintUsage(const std::string& why) const;

 private:
  std::string Explain(const CLI::ParseError& e) const;
  // An argument in a form CLI11 would accept but dtl does not: "--name=value", "--".
  std::optional<std::string> ForeignSpelling(const std::vector<std::string>& args) const;
  // The first undeclared option, or extra positional, the parse left over, in `apps`.
  std::optional<std::string> Leftover(const std::vector<const CLI::App*>& apps, bool options) const;

  std::string command_;
  CLI::App app_;
  std::vector<std::string> args_;  // as given to Parse()
  UsageStyle style_ = UsageStyle::WithHelp;
  std::map<std::string, std::string> needs_;  // option name -> what its missing value is
  std::map<const CLI::Option*, std::string> missing_;
  std::vector<std::tuple<CLI::Option*, CLI::Option*, std::string>> exclusive_;
  std::map<const CLI::App*, std::function<std::string(const std::string&)>> unknownOption_,
      extraPositional_;
};

// One dtl command. Declare() binds the App's options to the command's members; Run() is called
// only after a successful parse.
class Command {
 public:
  virtual ~Command() = default;
  virtual void Declare(CommandLine& line) = 0;
  virtual int Run() = 0;

  void Attach(const CommandLine& line) { line_ = &line; }

 protected:
  // Prints a usage error in the command's style and returns kExitUsage.
  int Usage(const std::string& why) const { return line_->PrintUsage(why); }

 private:
  const CommandLine* line_ = nullptr;
};

struct CommandEntry {
  const char* name;
  const char* summary;
  std::unique_ptr<Command> (*make)();
};

// Every command, sorted by name.
const std::vector<CommandEntry>& Commands();
const CommandEntry* FindCommand(const std::string& name);

// Declares `entry`'s command line on a fresh CommandLine bound to `command`.
std::unique_ptr<CommandLine> DeclareCommand(const CommandEntry& entry, Command& command);

// Parses `args` (the words after the command's name) and runs the command; returns the exit
// status.
int RunCommand(const CommandEntry& entry, const std::vector<std::string>& args);

// The refusal every command that takes a password gives for "-p", "--password" and
// "--password=..." (see IsPasswordArgument).
std::function<std::string(const std::string&)> RefusePasswordArguments(
    std::string refusal, std::function<std::string(const std::string&)> otherwise);

std::unique_ptr<Command> MakeAccountCommand();
std::unique_ptr<Command> MakeConfigCommand();
std::unique_ptr<Command> MakeExportPasswordCommand();
std::unique_ptr<Command> MakeFetchCommand();
std::unique_ptr<Command> MakeMergeCommand();
std::unique_ptr<Command> MakeMxCommand();
std::unique_ptr<Command> MakeSendCommand();
std::unique_ptr<Command> MakeSplitCommand();
std::unique_ptr<Command> MakeTestServerCommand();

}  // namespace dtlcli
