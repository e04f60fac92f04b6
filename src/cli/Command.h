// The dtl program's sub-commands. Each command lives in its own file and registers itself with
// a static DtlCommand object; main() looks the first argument up in that list.
//
// A command's run function gets the arguments after its name, prints errors on stderr and
// returns the process exit status: 0 on success, 1 on a failure of the work, 2 on bad usage.
#pragma once

#include <string>
#include <vector>

namespace dtlcli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

using CommandFn = int (*)(const std::vector<std::string>& args);

struct DtlCommand {
  DtlCommand(const char* name, const char* summary, CommandFn run);
  const char* name;
  const char* summary;
  CommandFn run;
};

const std::vector<const DtlCommand*>& Commands();

// True when `args` holds -h or --help.
bool WantsHelp(const std::vector<std::string>& args);

}  // namespace dtlcli
