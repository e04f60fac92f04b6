// dtl: the command-line face of the Drovetail core.
#include <cstdio>
#include <string>
#include <vector>

#include "base/AddressBook.h"
#include "base/ProgramFolder.h"
#include "base/SecretMemory.h"
#include "cli/CommandLine.h"
#include "mail/ErrorLog.h"

namespace {
void PrintUsage(FILE* to) {
  std::fprintf(to,
               "Usage: dtl COMMAND [ARGUMENTS...]\n"
               "Stores and shares files on mail accounts as numbered, encrypted segments.\n\n"
               "Commands:\n");
  for (const auto& c : dtlcli::Commands()) std::fprintf(to, "  %-16s %s\n", c.name, c.summary);
  std::fprintf(to, "\nRun 'dtl COMMAND --help' for the options of a command.\n");
}
}  // namespace

int main(int argc, char** argv) {
  // Passwords and session cookies pass through this process: no core file may carry them.
  dtl::KeepSecretsOutOfCoreDumps();
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
  if (const dtlcli::CommandEntry* command = dtlcli::FindCommand(name)) {
    // Earlier versions kept the address book and the error log beside the program.
    for (const char* file : {dtl::AddressBook::kFileName, dtl::kErrorLogName})
      if (const std::string note = dtl::MoveDataFile(dtl::GetProgramFolder(), dtl::DataFolder(), file);
          !note.empty())
        std::fprintf(stderr, "dtl: %s\n", note.c_str());
    return dtlcli::RunCommand(*command, std::vector<std::string>(argv + 2, argv + argc));
  }
  std::fprintf(stderr, "dtl: unknown command '%s'\n\n", name.c_str());
  PrintUsage(stderr);
  return dtlcli::kExitUsage;
}
