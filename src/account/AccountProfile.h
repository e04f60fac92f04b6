// One mail account as the program uses it: the address, the SMTP server mail goes out through,
// the IMAP server segments come back from, and how both log in. Discovery fills one in, the
// user corrects it, and it is kept in the settings store (SMTP* and IMAP* values).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/Error.h"

namespace dtl {

class SettingsStore;

// How a connection is secured. There is no plain choice: the program never logs in without
// TLS unless the user allows it in the settings themselves.
enum class ServerSecurity {
  ImplicitTls,  // TLS from the first byte (SMTP 465, IMAP 993)
  StartTls,     // plain connection upgraded before anything else (SMTP 587, IMAP 143)
};

// How the account logs in.
enum class LoginKind {
  Password,  // the account's password, or an app password where the provider wants one
  OAuth2,    // a token from the provider's consent page (see account/OAuthLogin.h)
};

struct ServerEndpoint {
  std::string host;
  int port = 0;
  ServerSecurity security = ServerSecurity::ImplicitTls;
  std::string user;  // the login name; usually the address
};

// Where a profile's servers came from.
enum class ProfileSource {
  BuiltIn,              // the program's own table of big providers
  Autoconfig,           // https://autoconfig.DOMAIN/mail/config-v1.1.xml
  WellKnownAutoconfig,  // https://DOMAIN/.well-known/autoconfig/mail/config-v1.1.xml
  Srv,                  // DNS SRV records (_submissions._tcp, _imaps._tcp, ...)
  Settings,             // what the settings store holds now
  User,                 // typed or corrected by the user
};

struct AccountProfile {
  std::string address;
  std::string displayName;  // the provider's name when known ("Gmail"); may be empty
  ServerEndpoint smtp;
  ServerEndpoint imap;
  LoginKind login = LoginKind::Password;
  // The OAuth2 provider id ("google", "microsoft", "yahoo", "custom") when the provider takes
  // OAuth2 logins; empty when it does not.
  std::string oauthProvider;
  ProfileSource source = ProfileSource::User;
  std::string sourceDetail;        // the address fetched or the records asked, for the user
  std::vector<std::string> notes;  // what the user should know ("Gmail needs an app password")
};

// True for a name a discovered server may have: letters, digits, "-" and "." only, labels of 1 to
// 63 characters not starting or ending with "-", 253 characters at most, at least one dot (or
// "localhost"), no trailing dot; or an IPv4 address. Nothing of a URL (":", "/", "@"), no
// spaces: a name from a document or a DNS answer is never handed on unchecked. With
// `singleLabel` a name without a dot passes too ("mailhost" on a home or office network): a
// name the user typed is theirs to choose.
bool IsUsableHostName(std::string_view host, bool singleLabel = false);

// True for a TCP port 1..65535.
inline bool IsUsablePort(long port) { return port >= 1 && port <= 65535; }

}  // namespace dtl
