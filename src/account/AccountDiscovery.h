// Finding an address's SMTP and IMAP servers, in this order: the program's own table of big
// providers, the domain's autoconfig document (https://autoconfig.DOMAIN/mail/config-v1.1.xml,
// then https://DOMAIN/.well-known/autoconfig/mail/config-v1.1.xml), and the domain's SRV
// records (RFC 6186 / RFC 8314). The first source that names both servers wins.
//
// Nothing found can lower the security: only TLS (implicit or STARTTLS) endpoints are taken,
// documents are fetched over https only (redirects too) with the certificate checked, host
// names and ports are validated before they are used.
//
// Blocking: runs on the caller's (worker) thread, bounded by the environment's time-out per
// fetch and adns's own time-outs per look-up.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>

#include "account/AccountProfile.h"
#include "base/Error.h"
#include "browser/NetworkEndpoints.h"

namespace dtl {

struct DiscoveryEnvironment {
  // Where the autoconfig fetches really go and which CAs they trust (tests aim autoconfig.DOMAIN
  // and DOMAIN at a local server here). The https-only rule is applied after these.
  NetworkEndpoints endpoints;
  // Resolver configuration text in resolv.conf syntax for the SRV look-ups; nullopt: the
  // system's (see MakeMxResolverFromEnvironment for DTL_RESOLV_CONF).
  std::optional<std::string> resolverConfig;
  // Longest time one autoconfig fetch may take in all.
  std::chrono::milliseconds fetchTimeout{15000};
  // Which sources to ask; a test switches the table off to reach the others.
  bool useBuiltIn = true;
  bool useAutoconfig = true;
  bool useSrv = true;
};

// One step of the search, for a progress line ("autoconfig https://...: not found").
struct DiscoveryStep {
  ProfileSource source = ProfileSource::BuiltIn;
  std::string detail;   // the URL fetched, the records asked, the table
  bool found = false;   // this step gave the profile
  std::string outcome;  // why it gave nothing ("HTTP 404", "no TLS IMAP server"); empty if found
};

// Called once per step, on the thread running DiscoverAccount; may be empty.
using DiscoveryObserver = std::function<void(const DiscoveryStep&)>;

// The domain of `address` in lower case, or InvalidArgument ("not an e-mail address: ...")
// when the address has no single "@" with text on both sides, or the domain is not a host name.
Result<std::string> AddressDomain(const std::string& address);

// Searches the sources in order and gives the first profile that names both an SMTP and an
// IMAP server over TLS, with source, sourceDetail and notes filled in and the login names set
// (the address unless the source says otherwise). Errors: InvalidArgument for a bad address,
// NotFound ("no settings found for DOMAIN") when no source gave both servers, Cancelled after
// a stop.
Result<AccountProfile> DiscoverAccount(const std::string& address,
                                       const DiscoveryEnvironment& environment,
                                       const DiscoveryObserver& observer = {},
                                       std::stop_token stop = {});

// A short name of a source for the user ("built-in table", "autoconfig", "SRV records").
std::string SourceName(ProfileSource source);

}  // namespace dtl
