// The autoconfig document mail programs fetch for a domain (clientConfig version 1.1): which
// IMAP and SMTP servers the domain's addresses use. Reading it (expat, no DTD, no entities,
// bounded in size and depth), turning it into a profile without ever accepting a plain-text
// server, and fetching it over https only.
#pragma once

#include <chrono>
#include <cstddef>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "account/AccountProfile.h"
#include "base/Error.h"
#include "browser/NetworkEndpoints.h"

namespace dtl {

// One incomingServer or outgoingServer element, as written (placeholders not yet replaced).
struct AutoconfigServer {
  std::string type;  // "imap", "pop3", "smtp", ...
  std::string hostname;
  std::string port;        // text as found; checked when a profile is made
  std::string socketType;  // "SSL", "STARTTLS", "plain"
  std::string username;    // may hold %EMAILADDRESS%, %EMAILLOCALPART%, %EMAILDOMAIN%
  std::vector<std::string> authentication;  // "password-cleartext", "OAuth2", ...
};

struct AutoconfigDocument {
  std::string displayName;           // emailProvider/displayName
  std::vector<std::string> domains;  // emailProvider/domain
  std::vector<AutoconfigServer> incoming;
  std::vector<AutoconfigServer> outgoing;
};

// Documents larger than this, or nested deeper than kAutoconfigMaxDepth, are refused.
inline constexpr size_t kAutoconfigMaxBytes = 256 * 1024;
inline constexpr int kAutoconfigMaxDepth = 16;

// Reads a document. Corrupt ("autoconfig document: ...") for XML that is not well formed, has
// a DOCTYPE or an entity declaration, is too large or too deep, or whose root is not
// clientConfig with an emailProvider.
Result<AutoconfigDocument> ParseAutoconfig(std::string_view xml);

// The profile the document gives for `address`: the first IMAP incoming server and the first
// SMTP outgoing server that are secured (socketType SSL or STARTTLS), have a usable host name
// and port and a login the program can make (a password, or OAuth2). Plain servers and unusable
// ones are skipped with a note. NotFound ("no TLS IMAP server in the document") when a side has
// none. Source and detail are left for the caller.
Result<AccountProfile> ProfileFromAutoconfig(const AutoconfigDocument& document,
                                             const std::string& address);

// https://autoconfig.DOMAIN/mail/config-v1.1.xml?emailaddress=ADDRESS (address
// percent-encoded) and https://DOMAIN/.well-known/autoconfig/mail/config-v1.1.xml.
std::string AutoconfigUrl(const std::string& domain, const std::string& address);
std::string WellKnownAutoconfigUrl(const std::string& domain);

// GETs `url` with libcurl: https only, redirects followed only to https (at most 5), the
// certificate checked against the endpoints' CA file (or the system's), the body capped at
// kAutoconfigMaxBytes, the whole transfer bounded by `timeout`. The body of a 200 answer;
// NotFound for a 404 or 410, Refused for another status, Network/Tls/Timeout for the transfer,
// Unsupported when a redirect leads off https, Cancelled after a stop.
Result<std::string> FetchAutoconfig(const std::string& url, const NetworkEndpoints& endpoints,
                                    std::chrono::milliseconds timeout, std::stop_token stop = {});

}  // namespace dtl
