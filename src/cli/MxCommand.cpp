// dtl mx DOMAIN: shows the mail exchangers Direct Send would use for a domain, in the order it
// would try them.
#include <cstdio>
#include <string>
#include <vector>

#include "cli/CommandLine.h"
#include "mail/MxResolver.h"

namespace dtlcli {
namespace {

class MxCommand : public Command {
 public:
  void Declare(CommandLine& line) override {
    line.SetUsageStyle(UsageStyle::SeeHelp);
    CLI::App& app = line.App();
    app.description(
        "Looks up the mail exchangers (MX records) of DOMAIN as Direct Send does and prints their\n"
        "host names one per line, in the order Direct Send tries them.");
    app.footer(
        "The system's resolver configuration (/etc/resolv.conf) is used, unless the environment\n"
        "variable DTL_RESOLV_CONF names a file in resolv.conf syntax to use instead.\n\n"
        "Exit status: 0 when exchangers were found, 1 when there are none or the look-up failed,\n"
        "2 on bad usage.");
    const std::string expected = "expected exactly one DOMAIN";
    line.Missing(
        app.add_option("DOMAIN", domain_,
                       "the domain, or an e-mail address whose part after the first \"@\" is used")
            ->required(),
        expected);
    line.UnknownOption(app, [expected](const std::string&) { return expected; });
  }

  int Run() override;

 private:
  std::string domain_;
};

int MxCommand::Run() {
  const std::string& domain = domain_;
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
    if (!host.error().message.empty())
      std::fprintf(stderr, "dtl mx: %s\n", host.error().message.c_str());
    return kExitFailure;
  }
  for (const auto& h : (*resolver)->Hosts()) std::printf("%s\n", h.c_str());
  return std::fflush(stdout) == 0 ? kExitOk : kExitFailure;
}

}  // namespace

std::unique_ptr<Command> MakeMxCommand() { return std::make_unique<MxCommand>(); }
}  // namespace dtlcli
