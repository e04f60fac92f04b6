// dtl: the command-line face of the Drovetail core.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/Command.h"

namespace dtlcli {

namespace {
std::vector<const DtlCommand*>& Registry() {
  static std::vector<const DtlCommand*> list;
  return list;
}
}  // namespace

DtlCommand::DtlCommand(const char* n, const char* s, CommandFn r) : name(n), summary(s), run(r) {
  Registry().push_back(this);
}

const std::vector<const DtlCommand*>& Commands() { return Registry(); }

bool WantsHelp(const std::vector<std::string>& args) {
  for (const auto& a : args)
    if (a == "-h" || a == "--help") return true;
  return false;
}

}  // namespace dtlcli

namespace {
void PrintUsage(FILE* to) {
  std::fprintf(to,
               "Usage: dtl COMMAND [ARGUMENTS...]\n"
               "Stores and shares files on mail accounts as numbered, encrypted segments.\n\n"
               "Commands:\n");
  auto cmds = dtlcli::Commands();
  std::sort(cmds.begin(), cmds.end(), [](auto* a, auto* b) { return std::strcmp(a->name, b->name) < 0; });
  for (const auto* c : cmds) std::fprintf(to, "  %-16s %s\n", c->name, c->summary);
  std::fprintf(to, "\nRun 'dtl COMMAND --help' for the options of a command.\n");
}
}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    PrintUsage(stderr);
    return dtlcli::kExitUsage;
  }
  std::string name = argv[1];
  if (name == "-h" || name == "--help" || name == "help") {
    PrintUsage(stdout);
    return dtlcli::kExitOk;
  }
  if (name == "--version") {
    std::printf("dtl 0.1.0\n");
    return dtlcli::kExitOk;
  }
  std::vector<std::string> args(argv + 2, argv + argc);
  for (const auto* c : dtlcli::Commands())
    if (name == c->name) return c->run(args);
  std::fprintf(stderr, "dtl: unknown command '%s'\n\n", name.c_str());
  PrintUsage(stderr);
  return dtlcli::kExitUsage;
}
