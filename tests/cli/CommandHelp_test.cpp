// Every dtl command's --help against its own CLI11 declaration: each option, positional and
// subcommand the command accepts is listed, so a declaration can never go undocumented; and a
// small table of literal names per command, so an option that loses its declaration is caught
// too. Also the password forms every password-taking command refuses.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cli/CommandLine.h"
#include "support/TestSupport.h"

namespace {

// The names a user types: "--long" and "-s" of each option, positional names, subcommands.
void AcceptedNames(const CLI::App& app, std::set<std::string>& names) {
  for (const CLI::Option* o : app.get_options()) {
    if (o->get_positional()) names.insert(o->get_name());
    for (const std::string& l : o->get_lnames()) names.insert("--" + l);
    for (const std::string& s : o->get_snames()) names.insert("-" + s);
  }
  for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; })) {
    names.insert(sub->get_name());
    AcceptedNames(*sub, names);
  }
}

std::set<std::string> DeclaredNames(const dtlcli::CommandEntry& entry) {
  std::unique_ptr<dtlcli::Command> command = entry.make();
  std::unique_ptr<dtlcli::CommandLine> line = dtlcli::DeclareCommand(entry, *command);
  std::set<std::string> names;
  AcceptedNames(line->App(), names);
  return names;
}

// True when a line of the help starts with `name` (alone or in a "-h,--help" list): a mention
// in the prose does not count as documenting it.
bool HelpLists(const std::string& help, const std::string& name) {
  std::istringstream lines(help);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string first;
    if (!(words >> first)) continue;
    std::istringstream parts(first);
    for (std::string part; std::getline(parts, part, ',');)
      if (part == name) return true;
  }
  return false;
}

// What each command must accept, written out by hand.
const std::map<std::string, std::vector<std::string>> kMustAccept = {
    {"account",
     {"setup", "login", "ADDRESS", "--smtp-host", "--smtp-port", "--smtp-security", "--smtp-user",
      "--imap-host", "--imap-port", "--imap-security", "--imap-user", "--password-file", "--yes",
      "--no-test", "--store-anyway", "--provider", "--user", "--timeout", "--connect-to",
      "--resolve"}},
    {"config",
     {"get", "set", "unset", "list", "secrets", "path", "NAME", "VALUE", "--password-file",
      "--show-secrets", "--to"}},
    {"export-password", {"--ssl"}},
    {"fetch",
     {"--page-url",
      "--cookie-file",
      "--cookie-stdin",
      "--out",
      "--password-file",
      "--password-stdin",
      "--list",
      "--file",
      "--no-merge",
      "--overwrite",
      "--skip-existing",
      "--account",
      "--connect-to",
      "--resolve",
      "--http-user",
      "--http-password-file",
      "--imap",
      "--user",
      "--login-password-file",
      "--jobs"}},
    {"merge",
     {"DESCRIPTOR", "--out", "--password-file", "--password-stdin", "--threads", "--overwrite",
      "--skip-existing"}},
    {"mx", {"DOMAIN"}},
    {"send",
     {"FILE", "--to", "--method", "--position", "--segment-size", "--password-file",
      "--password-stdin", "--plain", "--from", "--resume", "--segments"}},
    {"split",
     {"FILE", "DIR", "--position", "--segment-size", "--password-file", "--password-stdin", "--des",
      "--threads"}},
    {"test-server", {"HOST", "--port", "--ssl", "--timeout"}},
};

TEST(CommandHelp, EveryCommandHasARowInTheTableOfNames) {
  std::set<std::string> commands;
  for (const auto& entry : dtlcli::Commands()) commands.insert(entry.name);
  std::set<std::string> rows;
  for (const auto& [name, options] : kMustAccept) rows.insert(name);
  EXPECT_EQ(commands, rows);
}

TEST(CommandHelp, HelpListsEveryDeclaredNameAndExitsZero) {
  for (const auto& entry : dtlcli::Commands()) {
    SCOPED_TRACE(entry.name);
    const std::set<std::string> declared = DeclaredNames(entry);
    ASSERT_TRUE(declared.count("--help"));
    for (const char* flag : {"--help", "-h"}) {
      const dtltest::DtlResult r = dtltest::RunDtl(std::string(entry.name) + " " + flag);
      EXPECT_EQ(r.status, 0) << flag;
      EXPECT_EQ(r.err, "") << flag;
      EXPECT_NE(r.out.find(std::string("Usage: dtl ") + entry.name), std::string::npos) << r.out;
      for (const std::string& name : declared)
        EXPECT_TRUE(HelpLists(r.out, name)) << name << " in\n" << r.out;
    }
  }
}

TEST(CommandHelp, EachCommandDeclaresItsDocumentedNames) {
  for (const auto& entry : dtlcli::Commands()) {
    SCOPED_TRACE(entry.name);
    auto row = kMustAccept.find(entry.name);
    if (row == kMustAccept.end()) continue;  // reported by EveryCommandHasARowInTheTableOfNames
    const std::set<std::string> declared = DeclaredNames(entry);
    const std::string help = dtltest::RunDtl(std::string(entry.name) + " --help").out;
    for (const std::string& name : row->second) {
      EXPECT_TRUE(declared.count(name)) << name << " is not declared";
      EXPECT_TRUE(HelpLists(help, name)) << name << " is not in the help";
    }
  }
}

// A password is never an argument: each form is refused with bad usage, without echoing it, by
// every command that takes a password.
TEST(CommandHelp, PasswordArgumentsAreRefusedByEveryCommandThatTakesAPassword) {
  struct Case {
    const char* command;
    const char* rest;  // the other arguments, enough to pass the command's own checks
  } cases[] = {
      {"split", "x out"},
      {"merge", "x.dtl"},
      {"send", "x --to a@b.test"},
      {"fetch", "--page-url http://mail.yahoo.com/ --cookie-file c --out ."},
      {"fetch", "--imap imaps://imap.example.test/ --user u --login-password-file c --out ."},
  };
  for (const Case& c : cases) {
    for (const char* form : {"-p hunter2", "--password hunter2", "--password=hunter2"}) {
      SCOPED_TRACE(std::string(c.command) + " " + form);
      dtltest::TempDir home;
      const dtltest::DtlResult r =
          dtltest::RunDtl(std::string(c.command) + " " + c.rest + " " + form, "",
                          "XDG_CONFIG_HOME=" + dtltest::ShellQuote(home.path().string()) +
                              " XDG_STATE_HOME=" + dtltest::ShellQuote(home.path().string()),
                          home.path());
      EXPECT_EQ(r.status, 2) << r.all();
      EXPECT_EQ(r.err.rfind(std::string("dtl ") + c.command + ": ", 0), 0u) << r.err;
      EXPECT_NE(r.err.find("never taken from the command line"), std::string::npos) << r.err;
      EXPECT_EQ(r.all().find("hunter2"), std::string::npos) << r.all();
      EXPECT_EQ(r.out, "");
    }
  }
}

// CLI11's own complaints, and the spellings it would take but dtl does not, keep the command's
// words and the usage exit status.
TEST(CommandHelp, ParseErrorsExitTwoWithTheCommandsOwnText) {
  const struct {
    const char* args;
    const char* says;
  } cases[] = {
      {"split x out --threads", "dtl split: --threads needs a value\n"},
      {"split x out --des=1", "dtl split: unknown option '--des=1'\n"},
      {"merge x.dtl --out", "dtl merge: --out needs a folder\nRun 'dtl merge --help' for usage.\n"},
      {"fetch --page-url http://x/ --cookie-file c --list --file",
       "dtl fetch: --file needs a file name\nRun 'dtl fetch --help' for usage.\n"},
      {"test-server h --port 65536",
       "dtl test-server: the port must be a number from 0 to 65535 (see 'dtl test-server "
       "--help')\n"},
      {"config list --show-secrets=1",
       "dtl config: unexpected argument '--show-secrets=1' for list (see 'dtl config --help')\n"},
      {"mx a.test b.test", "dtl mx: expected exactly one DOMAIN (see 'dtl mx --help')\n"},
      // A value is the next word only; CLI11's other spellings stay unknown.
      {"split x out --threads=2", "dtl split: unknown option '--threads=2'\n"},
      {"merge x.dtl -- y.dtl", "dtl merge: unknown option --\nRun 'dtl merge --help' for usage.\n"},
      {"config set --password-file=pw SMTPPass",
       "dtl config: set takes a NAME and one VALUE (see 'dtl config --help')\n"},
  };
  for (const auto& c : cases) {
    dtltest::TempDir home;
    const dtltest::DtlResult r = dtltest::RunDtl(
        c.args, "", "XDG_CONFIG_HOME=" + dtltest::ShellQuote(home.path().string()), home.path());
    EXPECT_EQ(r.status, 2) << c.args;
    EXPECT_EQ(r.err.substr(0, std::string(c.says).size()), c.says) << c.args;
    EXPECT_EQ(r.out, "") << c.args;
  }
}

}  // namespace
