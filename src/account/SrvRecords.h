// A domain's mail services as its SRV records name them (RFC 6186, RFC 8314): submission and
// IMAP, each preferably over implicit TLS (_submissions._tcp, _imaps._tcp) and else over
// STARTTLS (_submission._tcp, _imap._tcp). A plain-text service is never the result: a server
// found through _imap or _submission is always used with STARTTLS required.
#pragma once

#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "account/AccountProfile.h"
#include "base/Error.h"

namespace dtl {

struct SrvTarget {
  int priority = 0;
  int weight = 0;
  int port = 0;
  std::string host;  // "." when the domain says the service is not offered
};

// The SRV records of `name` ("_imaps._tcp.example.com") in the order to try them: lowest
// priority first, within one priority the highest weight first, then the answer's order.
// `resolverConfig`: resolv.conf text; nullopt: the system's. NotFound for NXDOMAIN or no
// records, InvalidArgument for a configuration adns cannot parse, Network for a lost query.
Result<std::vector<SrvTarget>> LookUpSrv(const std::string& name,
                                         const std::optional<std::string>& resolverConfig);

struct SrvServers {
  std::optional<ServerEndpoint> smtp;  // user left empty
  std::optional<ServerEndpoint> imap;
  std::vector<std::string> asked;  // the record names looked up, in order
  std::vector<std::string> notes;  // records passed over and why
};

// Looks up the four services of `domain` and picks one SMTP and one IMAP server: the first
// usable target (valid host name and port, not ".") of _submissions, else of _submission; of
// _imaps, else of _imap. Sides with nothing usable stay empty; never an error for a missing
// record. Cancelled when `stop` is requested between look-ups.
Result<SrvServers> FindSrvServers(const std::string& domain,
                                  const std::optional<std::string>& resolverConfig,
                                  std::stop_token stop = {});

}  // namespace dtl
