#include "account/AccountDiscovery.h"

#include <cctype>

#include "account/Autoconfig.h"
#include "account/MailProviders.h"
#include "account/SrvRecords.h"

namespace dtl {
namespace {

void Tell(const DiscoveryObserver& observer, ProfileSource source, std::string detail, bool found,
          std::string outcome) {
  if (observer) observer(DiscoveryStep{source, std::move(detail), found, std::move(outcome)});
}

// One autoconfig URL: fetched, read, turned into a profile; the step is reported either way.
std::optional<AccountProfile> TryAutoconfig(const std::string& url, ProfileSource source,
                                            const std::string& address,
                                            const DiscoveryEnvironment& env,
                                            const DiscoveryObserver& observer, std::stop_token stop,
                                            std::optional<Error>& cancel) {
  auto body = FetchAutoconfig(url, env.endpoints, env.fetchTimeout, stop);
  if (!body) {
    if (body.error().code == ErrorCode::Cancelled) cancel = body.error();
    Tell(observer, source, url, false, body.error().message);
    return std::nullopt;
  }
  auto doc = ParseAutoconfig(*body);
  if (!doc) {
    Tell(observer, source, url, false, doc.error().message);
    return std::nullopt;
  }
  auto profile = ProfileFromAutoconfig(*doc, address);
  if (!profile) {
    Tell(observer, source, url, false, profile.error().message);
    return std::nullopt;
  }
  profile->source = source;
  profile->sourceDetail = url;
  Tell(observer, source, url, true, {});
  return std::move(*profile);
}

}  // namespace

Result<std::string> AddressDomain(const std::string& address) {
  const Error bad(ErrorCode::InvalidArgument, "not an e-mail address: " + address);
  const size_t at = address.find('@');
  if (at == std::string::npos || at == 0 || address.find('@', at + 1) != std::string::npos)
    return bad;
  for (unsigned char c : address)
    if (c <= 0x20 || c == 0x7f) return bad;
  std::string domain = address.substr(at + 1);
  for (char& c : domain) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  // The domain goes into https URLs and DNS names: anything beyond a host name is refused
  // here rather than escaped later.
  if (!IsUsableHostName(domain)) return bad;
  return domain;
}

std::string SourceName(ProfileSource source) {
  switch (source) {
    case ProfileSource::BuiltIn: return "built-in table";
    case ProfileSource::Autoconfig: return "autoconfig";
    case ProfileSource::WellKnownAutoconfig: return "well-known autoconfig";
    case ProfileSource::Srv: return "SRV records";
    case ProfileSource::Settings: return "settings";
    case ProfileSource::User: return "entered by hand";
  }
  return {};
}

Result<AccountProfile> DiscoverAccount(const std::string& address,
                                       const DiscoveryEnvironment& environment,
                                       const DiscoveryObserver& observer, std::stop_token stop) {
  auto domain = AddressDomain(address);
  if (!domain) return domain.error();

  if (environment.useBuiltIn) {
    if (const MailProvider* p = FindMailProvider(*domain)) {
      Tell(observer, ProfileSource::BuiltIn, std::string(p->name), true, {});
      return ProfileFromProvider(*p, address);
    }
    Tell(observer, ProfileSource::BuiltIn, *domain, false, "not a listed provider");
  }
  if (stop.stop_requested()) return Error::Cancelled();

  if (environment.useAutoconfig) {
    std::optional<Error> cancel;
    const std::pair<std::string, ProfileSource> urls[] = {
        {AutoconfigUrl(*domain, address), ProfileSource::Autoconfig},
        {WellKnownAutoconfigUrl(*domain), ProfileSource::WellKnownAutoconfig}};
    for (const auto& [url, source] : urls) {
      if (auto p = TryAutoconfig(url, source, address, environment, observer, stop, cancel))
        return std::move(*p);
      if (cancel || stop.stop_requested()) return Error::Cancelled();
    }
  }

  if (environment.useSrv) {
    auto found = FindSrvServers(*domain, environment.resolverConfig, stop);
    if (!found) return found.error();
    std::string asked;
    for (const auto& n : found->asked) asked += (asked.empty() ? "" : ", ") + n;
    if (found->smtp && found->imap) {
      AccountProfile profile;
      profile.address = address;
      profile.smtp = *found->smtp;
      profile.imap = *found->imap;
      profile.smtp.user = profile.imap.user = address;
      profile.source = ProfileSource::Srv;
      profile.sourceDetail = asked;
      profile.notes = found->notes;
      Tell(observer, ProfileSource::Srv, asked, true, {});
      return profile;
    }
    Tell(observer, ProfileSource::Srv, asked, false,
         !found->smtp && !found->imap ? "no usable records"
         : !found->smtp               ? "no usable submission record"
                                      : "no usable IMAP record");
  }
  return Error(ErrorCode::NotFound, "no settings found for " + *domain);
}

}  // namespace dtl
