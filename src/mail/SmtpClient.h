// The mail sender: delivers one message over SMTP and keeps the log of its last operation.
//
// One object per delivery attempt (or per server test): set it up, call SendEmail() (or
// SendMessage(), or VerifySmtpConnection()) once, take its Status and LastLog(), discard it.
// Every call opens its own connection and closes it before returning; nothing is kept between
// calls. Blocking: runs on the caller's (worker) thread, bounded by the time-outs in the
// settings; a stop requested through the std::stop_token given to the constructor makes it give
// up at its next check (before connecting, between recipients, before DATA, after every chunk
// of the message) with ErrorCode::Cancelled, "Mail sending aborted by application".
//
// The dialogue: greeting 220; EHLO (HELO after a refused EHLO, then no login); STARTTLS and a
// second EHLO when the server offers it and the connection is not already TLS; AUTH LOGIN,
// CRAM-MD5 or PLAIN (first offered in that order) when both user name and password are set and
// the connection is encrypted (or plain logins are allowed);
// MAIL FROM (with SIZE= when the server offers the SIZE extension); RCPT TO per recipient (some
// refused = the rest still get the message, but the call fails with "Partial send failure."
// and AcceptedRecipients()/RefusedRecipients() say who has it); DATA with
// dot-stuffing; QUIT whenever the connection is still in step. Failure texts go to the log as
// errors; the last one is the message of the returned Status, its code sorting it (Network, Tls,
// Protocol, Refused, Auth, InvalidArgument, Cancelled).
//
// The log never holds credentials: the base64 answers of every login are written as
// "<credentials hidden>".
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "base/Error.h"
#include "mail/AccessToken.h"
#include "mail/MailLog.h"
#include "mail/MailProgress.h"
#include "mail/Transport.h"

namespace dtl {

class EmailObject;

// What to do when a plain connection's EHLO reply offers STARTTLS.
enum class StartTlsMode {
  Off,            // never upgrade
  Opportunistic,  // upgrade without checking the certificate; a failed handshake falls back to
                  // a new plain connection that does not try again (Direct Send to an exchanger)
  Verified,       // upgrade with the same checks as implicit TLS; any failure fails the attempt
};

struct SmtpSettings {
  std::string host = "localhost";
  int port = 25;
  bool ssl = false;  // implicit TLS right after connecting (no STARTTLS then)
  std::string user;
  std::string password;
  // When set, the login is OAuth2 (SASL XOAUTH2 or OAUTHBEARER, whichever the server offers)
  // with `user` and the token this gives instead of the password; a refused token is renewed
  // once (renew = true) and the login tried again.
  AccessTokenFn accessToken;
  StartTlsMode startTls = StartTlsMode::Verified;
  // A login is sent only over an encrypted connection (implicit TLS or a completed STARTTLS);
  // without one, a configured login fails the attempt before anything of it is sent. True lets
  // it go out in the clear (the user's explicit choice, the "AllowPlainLogin" setting).
  bool allowPlainLogin = false;
  std::chrono::milliseconds connectTimeout{30000};
  // For each whole reply (however the server spreads its bytes: a reply still incomplete at
  // the deadline fails the step, "No complete reply within N s" in the log), and for each
  // write that makes no progress.
  std::chrono::milliseconds replyTimeout{120000};
  // Name said in EHLO/HELO; empty = gethostname(), or "localhost" when that is empty.
  std::string localHostName;
  // PEM bundle of trusted CAs; empty = the file named by $DTL_CA_FILE when that is set,
  // otherwise the system store.
  std::string caFile;
  // Where `host`'s addresses come from when the client opens its own connection: empty = the
  // system resolver. Direct Send puts the MX look-up's resolver here, so the exchanger's
  // address is found with the same configuration as its name. It is asked at every connection
  // (a failure fails that connection like an unknown name); `host` stays the name TLS checks.
  std::function<Result<std::vector<std::string>>(const std::string& host)> resolveAddresses;
};

// Sender and recipients of one transfer, as bare addresses.
struct SmtpEnvelope {
  std::string from;
  std::vector<std::string> recipients;
};

// One SMTP reply: the code of its lines and their text after the code and separator.
struct SmtpReply {
  int code = 0;
  std::vector<std::string> lines;
};

// A recipient the server would not take in RCPT TO, with its answer (a 5xx code is for good,
// a 4xx one for now).
struct RefusedRecipient {
  std::string address;
  SmtpReply reply;
};

class SmtpClient {
 public:
  // Reply bounds: a reply line longer than kMaxReplyLine bytes or a reply longer than
  // kMaxReplyBytes in all fails the step (the peer is not speaking SMTP).
  static constexpr size_t kMaxReplyLine = 4096;
  static constexpr size_t kMaxReplyBytes = 64 * 1024;
  // Each command is kept in the log up to this many bytes, followed by "\n...\n".
  static constexpr size_t kLogCut = 2500;

  // `progress` is not owned and may be null (then nothing is reported). `stop` ends the work
  // early (see above); the default token never stops.
  explicit SmtpClient(SmtpSettings settings = {}, MailProgress* progress = nullptr,
                      std::stop_token stop = {});
  ~SmtpClient();
  SmtpClient(const SmtpClient&) = delete;
  SmtpClient& operator=(const SmtpClient&) = delete;

  SmtpSettings& Settings() { return settings_; }
  void SetProgress(MailProgress* progress) { progress_ = progress; }
  void SetStopToken(std::stop_token stop) { stop_ = std::move(stop); }

  // Opens one connection to settings.host:settings.port and returns it connected but not yet
  // secured (the client itself runs implicit TLS and STARTTLS over it), or the reason it could
  // not (written to the log). Without a connector the client opens a SocketTransport; the fuzz
  // targets hand in one that replays scripted server bytes.
  using Connector = std::function<Result<std::unique_ptr<Transport>>(const SmtpSettings& settings)>;
  void SetConnector(Connector connector) { connector_ = std::move(connector); }

  // Delivers `email`: envelope from its From() and its To, Cc and Bcc lists, body from its
  // Render(). Succeeds only when the server accepted the message for every recipient; some
  // recipients refused is "Partial send failure." (Refused), the others still got it.
  Status SendEmail(const EmailObject& email);

  // The same for a message already in wire form (header lines, empty line, body; CRLF line
  // ends; not yet dot-stuffed). `wire` must stay valid during the call.
  Status SendMessage(const SmtpEnvelope& envelope, std::string_view wire);

  // Connects as SendMessage() does (implicit TLS or STARTTLS by the settings, EHLO) but never
  // logs in; says QUIT. The SIZE limit the server announced (0: none), or why it could not be
  // reached. For a check before sending: bound it with short time-outs in the settings.
  Result<uint64_t> ProbeSizeLimit();

  // Connects as SendMessage() does (implicit TLS or STARTTLS, EHLO), logs in with the
  // settings' user and password (or access token) and says QUIT; nothing is sent. Fails as a
  // send would fail before MAIL FROM (Auth for a refused login, Tls, Network, ...), and also
  // when no login was made: no user or secret set (InvalidArgument), or the server offers no
  // login method this client speaks (Unsupported).
  Status VerifyLogin();

  // Connects (TLS when the SSL flag is on), reads the greeting and says QUIT. Succeeds when the
  // greeting was 220. No EHLO, no login.
  Status VerifySmtpConnection();

  // The session log of the last call (replaced by every call): every step, reply and failure
  // text. It is a log, not the result: the failure comes back as the Status.
  const MailLog& LastLog() const { return log_; }
  // "plain", "STARTTLS" or "implicit TLS": how the last connection was carried.
  const std::string& Security() const { return security_; }
  // The largest message the server of the last call announced (the EHLO reply's SIZE, RFC
  // 1870); 0 when it announced none or no limit. A message larger than it is never sent: the
  // call fails (Refused) before MAIL FROM and PermanentRefusal() holds 552 5.3.4.
  uint64_t SizeLimit() const { return sizeLimit_; }
  // The server's 5xx answer to MAIL FROM or to the end of data in the last call: the whole
  // message was refused for good, so sending it again unchanged is pointless. Empty otherwise.
  const std::optional<SmtpReply>& PermanentRefusal() const { return permanentRefusal_; }
  // Whether the server took the message at the end of data in the last call. With some
  // recipients refused the call fails ("Partial send failure.") although the message went to
  // AcceptedRecipients(): they must not be sent it again.
  bool MessageAccepted() const { return messageAccepted_; }
  // The recipients the last call's RCPT TO commands had accepted and refused, in envelope order.
  const std::vector<std::string>& AcceptedRecipients() const { return accepted_; }
  const std::vector<RefusedRecipient>& RefusedRecipients() const { return refused_; }
  // Why the last call failed in the words of the system or the server ("Connection refused",
  // "All recipients refused"), for a status line; empty after a success.
  const std::string& FailureCause() const { return cause_; }

 private:
  using Renderer = bool (*)(const void* source, std::string& storage, std::string_view& wire);
  Status Send(const SmtpEnvelope& envelope, Renderer render, const void* source);
  Status Outcome(bool ok) const;

  enum class Echo { Text, Secret };
  // The one place the dialogue moves: sends `line` (plus CRLF; nothing when empty), reads the
  // reply into `reply` and tells whether its code is `expect`. A transport failure or a
  // malformed reply marks the connection broken.
  bool Command(std::string_view line, int expect, SmtpReply& reply, Echo echo = Echo::Text);
  bool ReadReply(SmtpReply& reply);
  bool FillBuffer(std::chrono::steady_clock::time_point deadline);

  bool Connect(bool greetingOnly);
  bool OpenConnection(bool allowStartTls, bool& retryPlain);
  bool Hello(bool& usedHelo);
  bool Login();
  bool Transfer(const SmtpEnvelope& envelope, std::string_view wire, bool& partial);
  bool WriteData(std::string_view wire);
  void Release();

  bool Aborted() const { return stop_.stop_requested(); }
  // Logs `text` as an error and makes it the call's failure; without a code the failure keeps
  // the code of the one it replaces (a summary such as "Send failed." after the detail).
  void Fail(std::string_view text, std::optional<ErrorCode> code = std::nullopt);
  std::string LocalName() const;

  SmtpSettings settings_;
  MailProgress* progress_;
  std::stop_token stop_;
  Connector connector_;
  MailLog log_;
  std::optional<Error> failure_;  // the last failure of the call in progress
  std::string security_;

  std::unique_ptr<Transport> conn_;
  bool broken_ = false;
  bool replyTimedOut_ = false;  // the last ReadReply() failed at its deadline
  std::string inbuf_;
  size_t inpos_ = 0;
  std::set<std::string> mechanisms_;
  bool startTlsOffered_ = false;
  bool sizeOffered_ = false;
  bool skipLogin_ = false;
  uint64_t sizeLimit_ = 0;
  std::optional<SmtpReply> permanentRefusal_;
  bool messageAccepted_ = false;
  std::vector<std::string> accepted_;
  std::vector<RefusedRecipient> refused_;
  std::string cause_;
};

}  // namespace dtl
