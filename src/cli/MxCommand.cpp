// dtl mx DOMAIN: shows the mail exchangers Direct Send would use for a domain, in the order it
// would try them.
#include <cstdio>
#include <string>
#include <vector>

#include "cli/Command.h"
#include "mail/MxResolver.h"

namespace dtlcli {
namespace {

void PrintHelp() {
  std::printf(
      "Usage: dtl mx DOMAIN\n"
      "Looks up the mail exchangers (MX records) of DOMAIN as Direct Send does and prints their\n"
      "host names one per line, in the order Direct Send tries them. DOMAIN may also be an\n"
      "e-mail address; its part after the first \"@\" is used.\n\n"
      "The system's resolver configuration (/etc/resolv.conf) is used, unless the environment\n"
      "variable DTL_RESOLV_CONF names a file in resolv.conf syntax to use instead.\n\n"
      "Exit status: 0 when exchangers were found, 1 when there are none or the look-up failed,\n"
      "2 on bad usage.\n");
}

int RunMx(const std::vector<std::string>& args) {
  if (WantsHelp(args)) {
    PrintHelp();
    return kExitOk;
  }
  if (args.size() != 1 || (!args[0].empty() && args[0][0] == '-')) {
    std::fprintf(stderr, "dtl mx: expected exactly one DOMAIN (see 'dtl mx --help')\n");
    return kExitUsage;
  }
  const std::string& domain = args[0];
  if (dtl::MxDomainOf(domain).empty()) {
    std::fprintf(stderr, "dtl mx: the domain is empty\n");
    return kExitUsage;
  }

  auto resolver = dtl::MakeMxResolverFromEnvironment();
  if (!resolver) {
    std::fprintf(stderr, "dtl mx: %s\n", resolver.error().message.c_str());
    return kExitFailure;
  }
  if (auto host = (*resolver)->Resolve(domain, false); !host) {
    std::fprintf(stderr, "dtl mx: no MX records for %s\n", dtl::MxDomainOf(domain).c_str());
    if (!host.error().message.empty()) std::fprintf(stderr, "dtl mx: %s\n", host.error().message.c_str());
    return kExitFailure;
  }
  for (const auto& h : (*resolver)->Hosts()) std::printf("%s\n", h.c_str());
  return std::fflush(stdout) == 0 ? kExitOk : kExitFailure;
}

const DtlCommand kMx("mx", "list the mail exchangers Direct Send would use for a domain", RunMx);

}  // namespace
}  // namespace dtlcli
