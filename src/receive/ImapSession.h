// One IMAP connection to a mailbox, read-only: connect with implicit TLS or STARTTLS, log in,
// open a folder with EXAMINE, list message UIDs, fetch a message's structure and stream one
// part's body to a sink, log out. Nothing it sends can change the mailbox: folders are opened
// with EXAMINE and bodies fetched with BODY.PEEK, so no flag is set.
//
// The session never logs in over a connection that is not encrypted: on the plain port it
// requires STARTTLS, and a server that does not offer it is refused. Certificates are checked
// against the system CAs, or only the PEM bundle in ImapSettings::caFile (else DTL_CA_FILE),
// and must name the host.
//
// Every call is bounded in time by the settings' time-outs; none waits for ever. Failures come
// back as Errors with a message for the user (Auth for a refused login, Tls for a certificate
// not accepted, NotFound for a missing folder or message, Network/Timeout for the connection,
// Protocol for a server answer that breaks the rules, Cancelled after a stop). After any
// failure but Auth, NotFound and Refused the connection is dropped and the session is Logout.
//
// Not thread-safe: one session per connection, used by one thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "base/Error.h"
#include "mail/AccessToken.h"
#include "mail/Transport.h"
#include "receive/ImapResponse.h"

namespace dtl {

enum class ImapSecurity {
  ImplicitTls,  // TLS from the first byte (imaps, port 993)
  StartTls,     // plain connection upgraded before the login (imap, port 143)
};

struct ImapSettings {
  std::string host;
  int port = 993;
  ImapSecurity security = ImapSecurity::ImplicitTls;
  std::string user;
  std::string password;  // sent only over TLS, never logged; the caller wipes its copies
  // When set, the login is OAuth2 (AUTHENTICATE OAUTHBEARER or XOAUTH2, whichever the server
  // offers; OAUTHBEARER preferred) with `user` and the token this gives; a refused token is
  // renewed once (renew = true) and the login tried again on the same connection. `password`
  // is then unused and `mechanisms` only narrows the choice between the two. The token's
  // errors come back from Login() as they are (Auth: log in again).
  AccessTokenFn accessToken;
  std::string caFile;    // PEM bundle; empty = DTL_CA_FILE, else the system CAs
  std::chrono::milliseconds connectTimeout{30000};
  std::chrono::milliseconds ioTimeout{60000};  // per command's answer; per read of a body
  // SASL mechanisms to use, in the order preferred; empty = PLAIN, LOGIN, CRAM-MD5. The LOGIN
  // command is the fallback when the server offers none of them and allows it.
  std::vector<std::string> mechanisms;
};

enum class ImapState { Disconnected, NotAuthenticated, Authenticated, Selected, Logout };

// How the session will log in, from the server's capabilities (upper case, as CAPABILITY
// lists them) and the mechanisms allowed (empty = PLAIN, LOGIN, CRAM-MD5; OAUTHBEARER and
// XOAUTH2 only when listed): the first allowed mechanism the server offers, "" for the LOGIN
// command, or Unsupported when there is no way.
Result<std::string> ChooseImapLogin(const std::vector<std::string>& capabilities,
                                    const std::vector<std::string>& allowed);

struct ImapFolderInfo {
  uint32_t exists = 0;       // messages in the folder when it was opened
  uint32_t uidValidity = 0;  // 0 when the server did not say
  bool readOnly = false;     // the server confirmed READ-ONLY
};

class ImapSession {
 public:
  using Connector = std::function<Result<std::unique_ptr<Transport>>(const ImapSettings&)>;

  // `stop`: a stop requested ends the current call with Cancelled (within a fifth of a second
  // while the session waits for the server; a connect or TLS handshake under way runs to its
  // end or its time-out first) and drops the connection.
  explicit ImapSession(ImapSettings settings, std::stop_token stop = {});
  ~ImapSession();
  ImapSession(const ImapSession&) = delete;
  ImapSession& operator=(const ImapSession&) = delete;

  // Replaces the real socket (tests and fuzzing). The transport it gives must not be secure
  // yet: the session runs the TLS handshake itself.
  void SetConnector(Connector connector) { connector_ = std::move(connector); }

  // Connects, secures the connection (implicit TLS, or STARTTLS after the greeting), and reads
  // the server's capabilities. Disconnected → NotAuthenticated.
  Status Connect();
  // Logs in with the first mechanism both sides support. NotAuthenticated → Authenticated.
  // A refusal fails Auth: "the IMAP server refused the login for USER".
  Status Login();
  // Connect() then Login().
  Status Open();
  // Opens `folder` (UTF-8, e.g. "[Gmail]/All Mail") read-only. → Selected. A folder the
  // server does not have fails NotFound; the session is then Authenticated.
  Result<ImapFolderInfo> Examine(std::string_view folder);
  // The UIDs of every message in the open folder, ascending.
  Result<std::vector<uint32_t>> SearchAllUids();
  // The BODYSTRUCTURE of message `uid` (see ImapBodyParts). NotFound when there is none.
  Result<ImapValue> FetchBodyStructure(uint32_t uid);
  // The BODYSTRUCTUREs of the messages `uids` in one command ("UID FETCH 4:9,12
  // (BODYSTRUCTURE)"), handed to `each` as (uid, structure) in the order the server sends them.
  // A message that is gone is simply not reported; a failure of `each` ends the call with it
  // and drops the connection. Callers keep the set to a few hundred UIDs so one command's
  // answer stays well inside the time-out.
  Status FetchBodyStructures(const std::vector<uint32_t>& uids,
                             const std::function<Status(uint32_t, const ImapValue&)>& each);
  // Streams the body of part `section` of message `uid` (as stored: still in its transfer
  // encoding) to `sink`, chunk by chunk, without setting \Seen. Gives the byte count. A sink
  // failure ends the call with it and drops the connection.
  Result<uint64_t> FetchSection(uint32_t uid, std::string_view section, const ImapSink& sink);
  // Says goodbye and closes (also fine in any other state). → Logout.
  Status Logout();

  ImapState state() const { return state_; }
  // The server's latest capabilities, upper case.
  const std::vector<std::string>& capabilities() const { return capabilities_; }
  // The mechanism Login() used ("PLAIN", "LOGIN", "CRAM-MD5", "OAUTHBEARER", "XOAUTH2", or
  // "LOGIN command").
  const std::string& loginMethod() const { return loginMethod_; }
  // What was said, one line per command and status answer, for an error log. Credentials are
  // replaced by "<credentials>"; message bodies are not recorded.
  const std::vector<std::string>& log() const { return log_; }
  // The last NO, BAD or BYE the server sent on this session (tagged, untagged or as its
  // greeting), so a caller can tell a provider's throttling from other refusals; empty when
  // none came.
  const std::optional<ImapResponse>& lastRefusal() const { return lastRefusal_; }

 private:
  using Untagged = std::function<Status(const ImapResponse&)>;
  using Continue = std::function<Result<std::string>(const ImapResponse&)>;

  // The only place state_ changes.
  void Enter(ImapState next);
  Status Require(ImapState needed, const char* what) const;
  // Sends `command` with a fresh tag and reads up to its tagged answer, which it gives back.
  // Untagged responses go to `untagged` after the session's own handling (CAPABILITY, BYE);
  // continuation requests to `more`, whose line is sent back (logged as credentials). A
  // failure drops the connection.
  Result<ImapResponse> Run(const std::string& command, const std::string& logged,
                           const Untagged& untagged = {}, const Continue& more = {},
                           const ImapLiteralRouter& router = {}, bool bounded = true);
  Result<ImapResponse> Read(const ImapLiteralRouter& router = {});
  // One read of the connection, bounded by the command's deadline (else the I/O time-out) and
  // ended early, with Cancelled, by a stop request.
  Result<size_t> ReadSliced(char* buffer, size_t size);
  Status Capability();
  Status StartTls();
  Error Drop(Error error);  // closes the connection, → Logout, gives `error` back
  // The OAuth2 login (settings_.accessToken set): one AUTHENTICATE per token, a refused token
  // renewed once on the same connection.
  Status OAuthLogin();
  enum class TokenOutcome { Accepted, Refused, Failed };
  // Accepted leaves the tagged OK in response_; Failed and Refused put the error in `failure`.
  TokenOutcome TryToken(const std::string& mechanism, const std::string& token, Error& failure);
  std::string Host() const;

  ImapSettings settings_;
  std::stop_token stop_;
  Connector connector_;
  std::unique_ptr<Transport> conn_;
  std::unique_ptr<ImapResponseReader> reader_;
  std::optional<std::chrono::steady_clock::time_point> deadline_;
  ImapState state_ = ImapState::Disconnected;
  std::vector<std::string> capabilities_;
  std::string loginMethod_;
  ImapResponse response_;  // the last OAuth2 login's OK
  std::string folder_;
  std::string bye_;  // the text of a BYE the server sent
  unsigned tag_ = 0;
  std::vector<std::string> log_;
  std::optional<ImapResponse> lastRefusal_;
};

}  // namespace dtl
