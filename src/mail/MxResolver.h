// Direct Send's mail-exchanger look-up: finds the MX hosts of a recipient's domain with adns,
// keeps them for the rest of a send run and hands out one host per delivery attempt, moving on
// to the next host after failed attempts.
//
// Typical use, one object per send run, on the send worker's thread:
//   auto resolver = dtl::MakeMxResolverFromEnvironment();   // or MxResolver(configText)
//   if (!resolver) { ...resolver.error().message... }
//   if (auto host = (*resolver)->Resolve(recipient, lastAttemptFailed)) { ...deliver to *host... }
//
// Not thread-safe; one object per thread. Each look-up builds and releases its own adns state,
// so several resolvers may work on different threads at once.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/Error.h"

namespace dtl {

// The environment variable naming a file in resolv.conf syntax that replaces the system's
// resolver configuration (/etc/resolv.conf) for the program's MX look-ups.
inline constexpr const char* kResolvConfEnv = "DTL_RESOLV_CONF";

// The domain part of an e-mail address: what follows the first "@" (the whole text when there
// is none), with blanks trimmed at both ends. May be empty.
std::string MxDomainOf(const std::string& address);

class MxResolver {
 public:
  // At most this many exchanger hosts are kept from one answer (the rest are dropped).
  static constexpr std::size_t kMaxHosts = 64;

  // `resolverConfig`: resolver configuration text in resolv.conf syntax ("nameserver ADDR"
  // lines, ...); without it the system's configuration is used. The text is only read by
  // look-ups; a text adns cannot parse makes every look-up yield no hosts.
  explicit MxResolver(std::optional<std::string> resolverConfig = std::nullopt);

  // Gives the exchanger host to use for one delivery attempt to `address` (an e-mail address,
  // or a bare domain), or an error when there is none: an empty domain (InvalidArgument, "the
  // domain is empty"), or no MX records (address records are never used instead), a DNS failure
  // or a null MX (".") — NotFound, or InvalidArgument for a resolver configuration adns cannot
  // parse, with adns's text for the answer status or what failed before a query could be sent.
  // The domain is looked up the first time it is asked for; later calls for the same domain
  // (compared without regard to case) reuse the stored hosts, in the order of the DNS answer as
  // adns delivers it. A domain stored without hosts after a definite answer (NXDOMAIN, no MX
  // records, only a null MX or unusable names) answers with the error of that look-up for the
  // rest of the run; after any other failure (time-out, server failure, a configuration that
  // cannot be parsed) the next call looks the domain up again.
  // Asking for another domain replaces the stored hosts.
  //
  // Cursor rule: the host handed out is the one at the cursor; when `lastAttemptFailed` is true
  // (and the domain was already stored) the cursor then moves one on, wrapping around. So after
  // a first failure the same host is tried once more, after the next failure the next host.
  //
  // Blocks while the look-up runs; bounded by adns's own time-outs and retries.
  Result<std::string> Resolve(const std::string& address, bool lastAttemptFailed);

  // The addresses (IPv4 and IPv6, as text) of `host`, an exchanger's name, looked up with the
  // same resolver configuration as the MX query, so a configuration given for the run governs
  // the whole way to the exchanger. An address literal is given back as it is. Fails NotFound
  // ("cannot resolve HOST: ...") when the name has no address or the look-up failed, or as
  // Resolve() does for a configuration that cannot be parsed. Nothing is stored: every call
  // asks again, so a lost answer costs one attempt, never the run. Blocks like Resolve().
  Result<std::vector<std::string>> Addresses(const std::string& host) const;

  // Forgets the hosts and the domain and puts the cursor back to 0; the next Resolve looks up
  // again.
  void Clear();

  // The stored hosts of the current domain, in answer order.
  const std::vector<std::string>& Hosts() const { return hosts_; }
  const std::string& Domain() const { return domain_; }
  // True when the last look-up got the name server's definite answer (NXDOMAIN, no MX
  // records, nothing usable): the error Resolve() gave then stands for the rest of the run.
  bool Settled() const { return settled_; }

 private:
  void LookUp();
  Result<std::string> Pick(bool advance);

  std::optional<std::string> config_;
  std::vector<std::string> hosts_;
  std::string domain_;
  std::size_t cursor_ = 0;
  Error lookUpError_;     // why the stored domain has no hosts
  bool settled_ = false;  // the last look-up got a definite answer: no new look-up this run
};

// Builds a resolver for one send run from the environment: when DTL_RESOLV_CONF names a file,
// its text (at most 64 KiB) is the resolver configuration; when the variable is unset or empty,
// the system's configuration is used. Fails when the named file cannot be read, is not a regular
// file or is too large (the message names the file): a configuration the user asked for is never
// silently replaced by the system's. The resolver returned is never null.
Result<std::unique_ptr<MxResolver>> MakeMxResolverFromEnvironment();

// The same, with the variable's value handed in (null or empty: use the system configuration).
Result<std::unique_ptr<MxResolver>> MakeMxResolver(const char* resolvConfPath);

}  // namespace dtl
