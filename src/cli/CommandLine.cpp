#include "cli/CommandLine.h"

#include <algorithm>
#include <cstdio>

#include "cli/PasswordInput.h"

namespace dtlcli {

CommandLine::CommandLine(std::string command, std::string description)
    : command_(std::move(command)), app_(std::move(description), "dtl " + command_) {
  app_.set_help_flag("-h,--help", "print this help and exit");
  // Undeclared arguments are left over rather than thrown at once, so that each command can
  // answer them in its own words (and never echo a value that may be a secret).
  app_.allow_extras();
  UnknownOption(app_, [](const std::string& arg) { return "unknown option '" + arg + "'"; });
}

CLI::Option* CommandLine::Value(CLI::App& app, const std::string& name,
                                std::function<void(const std::string&)> store,
                                const std::string& metavar, const std::string& help,
                                const std::string& needs) {
  CLI::Option* o = app.add_option_function<std::string>(name, std::move(store), help);
  o->type_name(metavar)->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  needs_[o->get_name()] = needs;
  return o;
}

CLI::Option* CommandLine::Value(CLI::App& app, const std::string& name, std::string& into,
                                const std::string& metavar, const std::string& help,
                                const std::string& needs) {
  return Value(
      app, name, [&into](const std::string& v) { into = v; }, metavar, help, needs);
}

CLI::Option* CommandLine::Value(CLI::App& app, const std::string& name,
                                std::optional<std::string>& into, const std::string& metavar,
                                const std::string& help, const std::string& needs) {
  return Value(
      app, name, [&into](const std::string& v) { into = v; }, metavar, help, needs);
}

CLI::Option* CommandLine::Repeated(CLI::App& app, const std::string& name,
                                   std::vector<std::string>& into, const std::string& metavar,
                                   const std::string& help, const std::string& needs) {
  // One value per occurrence: a later word is never swallowed as a second value.
  CLI::Option* o = app.add_option(name, into, help);
  o->type_name(metavar)->allow_extra_args(false)->multi_option_policy(
      CLI::MultiOptionPolicy::TakeAll);
  needs_[o->get_name()] = needs;
  return o;
}

CLI::Option* CommandLine::Flag(CLI::App& app, const std::string& name, bool& into,
                               const std::string& help) {
  // "--flag=value" stays an unknown argument, as a flag takes no value.
  return app.add_flag(name, into, help)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)
      ->disable_flag_override();
}

void CommandLine::Exclusive(CLI::Option* a, CLI::Option* b, std::string text) {
  a->excludes(b);
  exclusive_.emplace_back(a, b, std::move(text));
}

std::optional<std::string> CommandLine::Leftover(const std::vector<const CLI::App*>& apps,
                                                 bool options) const {
  for (const CLI::App* app : apps) {
    const auto& texts = options ? unknownOption_ : extraPositional_;
    auto text = texts.find(app);
    for (const std::string& arg : app->remaining()) {
      const bool isOption = arg.size() > 1 && arg[0] == '-';
      if (isOption != options) continue;
      if (text != texts.end()) return text->second(arg);
      // A positional nobody declared reads as the command's unknown-argument answer.
      if (auto unknown = unknownOption_.find(app); unknown != unknownOption_.end())
        return unknown->second(arg);
      return "unexpected argument '" + arg + "'";
    }
  }
  return std::nullopt;
}

std::string CommandLine::Explain(const CLI::ParseError& e) const {
  const std::string what = e.what();
  const auto colon = what.find(": ");
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&e) && colon != std::string::npos) {
    auto needs = needs_.find(what.substr(0, colon));
    if (needs != needs_.end()) return needs->first + " needs " + needs->second;
  }
  // A flag given a value ("--ssl=1") is answered as the undeclared argument it is.
  if (const auto at = what.find(" was given a disallowed flag override");
      dynamic_cast<const CLI::ArgumentMismatch*>(&e) && at != std::string::npos) {
    const std::string flag = "--" + what.substr(0, at);
    std::vector<const CLI::App*> apps{&app_};
    for (const CLI::App* sub : app_.get_subcommands()) apps.push_back(sub);
    for (const CLI::App* app : apps) {
      auto hook = unknownOption_.find(app);
      if (hook == unknownOption_.end() || !app->get_option_no_throw(flag)) continue;
      for (const std::string& arg : args_)
        if (arg.rfind(flag + "=", 0) == 0) return hook->second(arg);
    }
  }
  if (dynamic_cast<const CLI::ValidationError*>(&e) && colon != std::string::npos)
    return what.substr(colon + 2);
  if (dynamic_cast<const CLI::ExcludesError*>(&e)) {
    for (const auto& [a, b, text] : exclusive_)
      if (a->count() > 0 && b->count() > 0) return text;
  }
  if (dynamic_cast<const CLI::RequiredError*>(&e)) {
    std::vector<const CLI::App*> apps{&app_};
    for (const CLI::App* sub : app_.get_subcommands()) apps.push_back(sub);
    for (const CLI::App* app : apps)
      for (const CLI::Option* o : app->get_options())
        if (o->get_required() && o->count() == 0) {
          auto text = missing_.find(o);
          if (text != missing_.end()) return text->second;
        }
  }
  return what;
}

std::optional<std::string> CommandLine::ForeignSpelling(
    const std::vector<std::string>& args) const {
  const CLI::App* current = &app_;
  auto unknown = [&](const std::string& arg) -> std::optional<std::string> {
    auto hook = unknownOption_.find(current);
    if (hook == unknownOption_.end()) hook = unknownOption_.find(&app_);
    return hook->second(arg);
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") return unknown(arg);
    if (current == &app_) {
      const CLI::App* sub = nullptr;
      for (const CLI::App* s : app_.get_subcommands([](const CLI::App*) { return true; }))
        if (s->get_name() == arg) sub = s;
      if (sub) {
        current = sub;
        continue;
      }
    }
    if (arg.rfind("--", 0) != 0) continue;
    const auto eq = arg.find('=');
    const CLI::Option* option = current->get_option_no_throw(arg.substr(0, eq));
    if (!option && current != &app_) option = app_.get_option_no_throw(arg.substr(0, eq));
    if (!option || option->get_items_expected_max() == 0)
      continue;  // a flag: refused by CLI11 itself
    if (eq != std::string::npos) return unknown(arg);
    // An option whose value may be left out takes no word that reads as an option.
    if (option->get_items_expected_min() == 0 && i + 1 < args.size() &&
        args[i + 1].rfind("-", 0) == 0)
      continue;
    ++i;  // the option's value, whatever it looks like
  }
  return std::nullopt;
}

CommandLine::Outcome CommandLine::Parse(const std::vector<std::string>& args) {
  // A value is always the word after its option, as it always was: "--out=DIR" and the "--"
  // end-of-options mark are no spellings dtl knows, so they stay unknown arguments.
  if (auto text = ForeignSpelling(args)) return {Outcome::Usage, *text};
  args_ = args;
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  std::optional<std::string> error;
  try {
    app_.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    return {Outcome::Help, app_.help("", CLI::AppFormatMode::All)};
  } catch (const CLI::CallForAllHelp&) {
    return {Outcome::Help, app_.help("", CLI::AppFormatMode::All)};
  } catch (const CLI::ParseError& e) {
    error = Explain(e);
  }
  // An undeclared option comes first (it is often a password on the command line), then the
  // parse's own complaint, then positionals beyond those declared.
  std::vector<const CLI::App*> apps{&app_};
  for (const CLI::App* sub : app_.get_subcommands()) apps.push_back(sub);
  if (auto text = Leftover(apps, true)) return {Outcome::Usage, *text};
  if (error) return {Outcome::Usage, *error};
  if (auto text = Leftover(apps, false)) return {Outcome::Usage, *text};
  return {};
}

std::string CommandLine::Help() const { return app_.help("", CLI::AppFormatMode::All); }

int CommandLine::PrintUsage(const std::string& why) const {
  switch (style_) {
    case UsageStyle::WithHelp:
      std::fprintf(stderr, "dtl %s: %s\n%s", command_.c_str(), why.c_str(), Help().c_str());
      break;
    case UsageStyle::RunHelp:
      std::fprintf(stderr, "dtl %s: %s\nRun 'dtl %s --help' for usage.\n", command_.c_str(),
                   why.c_str(), command_.c_str());
      break;
    case UsageStyle::SeeHelp:
      std::fprintf(stderr, "dtl %s: %s (see 'dtl %s --help')\n", command_.c_str(), why.c_str(),
                   command_.c_str());
      break;
  }
  return kExitUsage;
}

std::function<std::string(const std::string&)> RefusePasswordArguments(
    std::string refusal, std::function<std::string(const std::string&)> otherwise) {
  return [refusal = std::move(refusal), otherwise = std::move(otherwise)](const std::string& arg) {
    return IsPasswordArgument(arg) ? refusal : otherwise(arg);
  };
}

const std::vector<CommandEntry>& Commands() {
  static const std::vector<CommandEntry> list = {
      {"account", "find, test and store the mail account's servers; OAuth2 login",
       MakeAccountCommand},
      {"config", "show or change the program's settings", MakeConfigCommand},
      {"export-password", "print the encrypted marker of a mailbox password",
       MakeExportPasswordCommand},
      {"fetch", "download and merge the segments waiting in a web-mail inbox or IMAP mailbox",
       MakeFetchCommand},
      {"merge", "rebuild split files from their segment files", MakeMergeCommand},
      {"mx", "list the mail exchangers Direct Send would use for a domain", MakeMxCommand},
      {"send", "mail files as encrypted segments (or whole), resume an interrupted send",
       MakeSendCommand},
      {"split", "cut a file into encrypted segment files in a folder", MakeSplitCommand},
      {"test-server", "check that an SMTP server answers (Success./Failure.)",
       MakeTestServerCommand},
  };
  return list;
}

const CommandEntry* FindCommand(const std::string& name) {
  for (const auto& c : Commands())
    if (name == c.name) return &c;
  return nullptr;
}

namespace {
// A positional's name already says what it is ("FILE", "DIR"); CLI11's type word after it
// ("TEXT") would only repeat it.
void UntypePositionals(CLI::App& app) {
  for (CLI::Option* o : app.get_options())
    if (o->get_positional()) o->type_name("");
  for (CLI::App* sub : app.get_subcommands([](CLI::App*) { return true; })) UntypePositionals(*sub);
}
}  // namespace

std::unique_ptr<CommandLine> DeclareCommand(const CommandEntry& entry, Command& command) {
  auto line = std::make_unique<CommandLine>(entry.name, "");
  command.Declare(*line);
  UntypePositionals(line->App());
  command.Attach(*line);
  return line;
}

int RunCommand(const CommandEntry& entry, const std::vector<std::string>& args) {
  std::unique_ptr<Command> command = entry.make();
  std::unique_ptr<CommandLine> line = DeclareCommand(entry, *command);
  const CommandLine::Outcome parsed = line->Parse(args);
  switch (parsed.kind) {
    case CommandLine::Outcome::Help:
      std::fputs(parsed.text.c_str(), stdout);
      return std::fflush(stdout) == 0 ? kExitOk : kExitFailure;
    case CommandLine::Outcome::Usage: return line->PrintUsage(parsed.text);
    case CommandLine::Outcome::Parsed: break;
  }
  return command->Run();
}

}  // namespace dtlcli
