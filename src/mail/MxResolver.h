// Direct Send's mail-exchanger look-up: finds the MX hosts of a recipient's domain with adns,
// keeps them for the rest of a send run and hands out one host per delivery attempt, moving on
// to the next host after failed attempts.
//
// Typical use, one object per send run, on the send worker's thread:
//   auto resolver = dtl::MakeMxResolverFromEnvironment(error);   // or MxResolver(configText)
//   std::string host;
//   if (resolver->Resolve(recipient, host, lastAttemptFailed)) { ...deliver to host... }
//
// Not thread-safe; one object per thread. Each look-up builds and releases its own adns state,
// so several resolvers may work on different threads at once.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

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
  // or a bare domain). Returns 1 with `host` set, or 0 with `host` empty when there is none: an
  // empty domain, no MX records (address records are never used instead), a DNS failure or a
  // null MX ("."). The domain is looked up the first time it is asked for; later calls for the
  // same domain (compared without regard to case) reuse the stored hosts, in the order of the
  // DNS answer as adns delivers it. Asking for another domain replaces the stored hosts.
  //
  // Cursor rule: the host handed out is the one at the cursor; when `lastAttemptFailed` is true
  // (and the domain was already stored) the cursor then moves one on, wrapping around. So after
  // a first failure the same host is tried once more, after the next failure the next host.
  //
  // Blocks while the look-up runs; bounded by adns's own time-outs and retries.
  int Resolve(const std::string& address, std::string& host, bool lastAttemptFailed);

  // Forgets the hosts and the domain and puts the cursor back to 0; the next Resolve looks up
  // again.
  void Clear();

  // The stored hosts of the current domain, in answer order.
  const std::vector<std::string>& Hosts() const { return hosts_; }
  const std::string& Domain() const { return domain_; }

  // Why the last look-up gave no hosts (adns's text for the answer status, or what failed
  // before a query could be sent); empty after a look-up that found hosts.
  const std::string& LastError() const { return lastError_; }

 private:
  void LookUp();
  int Pick(std::string& host, bool advance);

  std::optional<std::string> config_;
  std::vector<std::string> hosts_;
  std::string domain_;
  std::size_t cursor_ = 0;
  std::string lastError_;
};

// Builds a resolver for one send run from the environment: when DTL_RESOLV_CONF names a file,
// its text (at most 64 KiB) is the resolver configuration; when the variable is unset or empty,
// the system's configuration is used. Returns null with `error` set when the named file cannot
// be read or is too large: a configuration the user asked for is never silently replaced by the
// system's.
std::unique_ptr<MxResolver> MakeMxResolverFromEnvironment(std::string& error);

// The same, with the variable's value handed in (null or empty: use the system configuration).
std::unique_ptr<MxResolver> MakeMxResolver(const char* resolvConfPath, std::string& error);

}  // namespace dtl
