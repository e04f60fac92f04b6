#include "mail/SmtpClient.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "mail/SmtpAuth.h"
#include "mail/SocketTransport.h"

namespace dtl {

namespace {

constexpr const char* kAborted = "Mail sending aborted by application";
constexpr const char* kHidden = "<credentials hidden>";
constexpr size_t kDataChunk = 256 * 1024;
constexpr const char* kNoEncryption = "the server offers no encryption; the password was not sent";

std::string Upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

std::string Cut(std::string_view text) {
  if (text.size() <= SmtpClient::kLogCut) return std::string(text);
  std::string out(text.substr(0, SmtpClient::kLogCut));
  out += "\n...\n";
  return out;
}

// "2 s", or "300 ms" for a time-out that is not whole seconds.
std::string DurationText(std::chrono::milliseconds d) {
  if (d.count() % 1000 == 0) return std::to_string(d.count() / 1000) + " s";
  return std::to_string(d.count()) + " ms";
}

std::string ReplyText(const SmtpReply& r) {
  std::string out;
  for (const auto& l : r.lines) {
    if (!out.empty()) out += "\n";
    out += std::to_string(r.code) + " " + l;
  }
  return out;
}

}  // namespace

SmtpClient::SmtpClient(SmtpSettings settings, MailProgress* progress, std::stop_token stop)
    : settings_(std::move(settings)), progress_(progress), stop_(std::move(stop)) {}

SmtpClient::~SmtpClient() = default;

void SmtpClient::Fail(std::string_view text, std::optional<ErrorCode> code) {
  log_.Error(text);
  const ErrorCode c = code ? *code : failure_ ? failure_->code : ErrorCode::Failed;
  failure_ = Error(c, std::string(text));
}

Status SmtpClient::Outcome(bool ok) const {
  if (ok) return {};
  return failure_ ? *failure_ : Error(ErrorCode::Failed, {});
}

std::string SmtpClient::LocalName() const {
  if (!settings_.localHostName.empty()) return settings_.localHostName;
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) == 0 && name[0]) return name;
  return "localhost";
}

// ---- replies ----

bool SmtpClient::FillBuffer(std::chrono::steady_clock::time_point deadline) {
  if (inpos_ > 0) {
    inbuf_.erase(0, inpos_);
    inpos_ = 0;
  }
  char chunk[4096];
  const auto n = conn_->ReadBefore(chunk, sizeof chunk, deadline);
  if (!n || *n == 0) {
    log_.Debug(n ? "connection closed by the server" : "read failed: " + n.error().message);
    if (!n && n.error().code == ErrorCode::Timeout) replyTimedOut_ = true;
    return false;
  }
  inbuf_.append(chunk, *n);
  return true;
}

bool SmtpClient::ReadReply(SmtpReply& reply) {
  reply = SmtpReply{};
  replyTimedOut_ = false;
  // The time-out bounds the whole reply, not each read: a server that sends a byte now and
  // then would otherwise hold the connection as long as it likes.
  const auto deadline = std::chrono::steady_clock::now() + settings_.replyTimeout;
  size_t total = 0;
  for (;;) {
    // Read one line, never holding more than one line's worth plus one chunk.
    size_t eol;
    while ((eol = inbuf_.find('\n', inpos_)) == std::string::npos) {
      if (inbuf_.size() - inpos_ > kMaxReplyLine) {
        log_.Debug("reply line longer than " + std::to_string(kMaxReplyLine) + " bytes");
        return false;
      }
      if (std::chrono::steady_clock::now() >= deadline) {
        log_.Debug("the reply is not complete at its deadline");
        replyTimedOut_ = true;
        return false;
      }
      if (!FillBuffer(deadline)) return false;
    }
    std::string_view line(inbuf_.data() + inpos_, eol - inpos_);
    inpos_ = eol + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.size() > kMaxReplyLine) {
      log_.Debug("reply line longer than " + std::to_string(kMaxReplyLine) + " bytes");
      return false;
    }
    total += line.size() + 2;
    if (total > kMaxReplyBytes) {
      log_.Debug("reply longer than " + std::to_string(kMaxReplyBytes) + " bytes");
      return false;
    }
    if (line.size() < 4 || !std::isdigit(static_cast<unsigned char>(line[0])) ||
        !std::isdigit(static_cast<unsigned char>(line[1])) ||
        !std::isdigit(static_cast<unsigned char>(line[2]))) {
      log_.Debug("malformed reply line: " + Cut(line));
      return false;
    }
    int code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
    if (reply.lines.empty()) reply.code = code;
    reply.lines.emplace_back(line.substr(4));
    if (line[3] != '-') return true;
  }
}

bool SmtpClient::Command(std::string_view line, int expect, SmtpReply& reply, Echo echo) {
  reply = SmtpReply{};
  if (!conn_ || broken_) return false;
  if (!line.empty()) {
    log_.Debug("C: " + (echo == Echo::Secret ? std::string(kHidden) : Cut(line)));
    std::string out;
    out.reserve(line.size() + 2);
    out.append(line).append("\r\n");
    if (const Status written = conn_->Write(out); !written) {
      log_.Debug("write failed: " + written.error().message);
      broken_ = true;
      return false;
    }
  }
  if (!ReadReply(reply)) {
    if (replyTimedOut_)
      log_.Error("No complete reply within " + DurationText(settings_.replyTimeout));
    broken_ = true;
    return false;
  }
  log_.Debug("S: " + Cut(ReplyText(reply)));
  return reply.code == expect;
}

// ---- connection ----

bool SmtpClient::OpenConnection(bool allowStartTls, bool& retryPlain) {
  retryPlain = false;
  const bool ssl = settings_.ssl;
  const char* connectFailure =
      ssl ? "Failed to connect to secure SMTP (1)" : "Failed to connect (1)";
  inbuf_.clear();
  inpos_ = 0;
  broken_ = false;
  mechanisms_.clear();
  startTlsOffered_ = false;
  sizeOffered_ = false;
  sizeLimit_ = 0;
  security_ = "plain";
  std::unique_ptr<Transport> sock;
  std::string connectError;
  if (connector_) {
    auto made = connector_(settings_);
    if (made && *made)
      sock = std::move(made).value();
    else if (!made)
      connectError = made.error().message;
  } else {
    SocketOptions opt;
    opt.connectTimeout = settings_.connectTimeout;
    opt.ioTimeout = settings_.replyTimeout;
    opt.caFile = TrustedCaFile(settings_.caFile);
    auto socket = std::make_unique<SocketTransport>(opt);
    Status connected;
    if (settings_.resolveAddresses) {
      auto addresses = settings_.resolveAddresses(settings_.host);
      connected = addresses ? socket->Connect(settings_.host, *addresses, settings_.port)
                            : Status(addresses.error());
    } else {
      connected = socket->Connect(settings_.host, settings_.port);
    }
    if (connected)
      sock = std::move(socket);
    else
      connectError = connected.error().message;
  }
  if (!sock) {
    log_.Debug(connectError);
    // The system's words ("Connection refused") tell the user more than the step that failed.
    cause_ = connectError;
    Fail(connectFailure, ErrorCode::Network);
    return false;
  }
  if (ssl) {
    if (const Status secured = sock->StartTls(true); !secured) {
      log_.Debug(secured.error().message);
      Fail(connectFailure, ErrorCode::Tls);
      return false;
    }
    security_ = "implicit TLS";
  }
  conn_ = std::move(sock);
  SmtpReply reply;
  if (!Command({}, 220, reply)) {
    Fail("Failed to get initial response", ErrorCode::Protocol);
    log_.Info("The SMTP server may be denying access for this domain.");
    return false;
  }
  if (!allowStartTls) return true;  // a greeting-only check

  bool usedHelo = false;
  if (!Hello(usedHelo)) return false;
  if (!ssl && startTlsOffered_ && !usedHelo && settings_.startTls != StartTlsMode::Off) {
    const bool verify = settings_.startTls == StartTlsMode::Verified;
    bool upgraded = Command("STARTTLS", 220, reply);
    if (upgraded) {
      const Status secured = conn_->StartTls(verify);
      upgraded = secured.ok();
      if (!upgraded) {
        log_.Debug(secured.error().message);
        broken_ = true;  // the TLS state is unknown; nothing more can be said on it
      }
    }
    if (!upgraded) {
      if (verify || broken_) {
        if (verify) {
          Fail("Failed to connect to secure SMTP (1)", ErrorCode::Tls);
        } else {
          log_.Info("STARTTLS failed; reconnecting without it");
          retryPlain = true;
        }
        return false;
      }
      log_.Info("STARTTLS refused; going on without it");
    } else {
      security_ = "STARTTLS";
      // What the server offered before the upgrade is void (RFC 3207): ask again.
      inbuf_.clear();
      inpos_ = 0;
      if (!Hello(usedHelo)) return false;
    }
  }
  log_.Value("security", security_);
  if (usedHelo || skipLogin_) return true;
  return Login();
}

bool SmtpClient::Hello(bool& usedHelo) {
  usedHelo = false;
  mechanisms_.clear();
  startTlsOffered_ = false;
  sizeOffered_ = false;
  sizeLimit_ = 0;
  const std::string name = LocalName();
  SmtpReply reply;
  if (Command("EHLO " + name, 250, reply)) {
    for (const auto& line : reply.lines) {
      std::string up = Upper(line);
      if (up == "STARTTLS" || up.rfind("STARTTLS ", 0) == 0) startTlsOffered_ = true;
      if (up == "SIZE" || up.rfind("SIZE ", 0) == 0) {
        // "SIZE" alone or "SIZE 0" offers the parameter without announcing a limit.
        sizeOffered_ = true;
        sizeLimit_ = std::strtoull(up.c_str() + 4, nullptr, 10);
      }
      if (up.rfind("AUTH", 0) != 0) continue;
      // "AUTH LOGIN PLAIN" and the old "AUTH=LOGIN PLAIN" both list mechanisms after the keyword.
      size_t i = 4;
      while (i < up.size()) {
        while (i < up.size() && (up[i] == ' ' || up[i] == '=')) ++i;
        size_t j = i;
        while (j < up.size() && up[j] != ' ' && up[j] != '=') ++j;
        if (j > i) mechanisms_.insert(up.substr(i, j - i));
        i = j;
      }
    }
    return true;
  }
  if (broken_) {
    Fail("EHLO failed", ErrorCode::Protocol);
    return false;
  }
  log_.Info("EHLO failed, sending HELO...");
  if (!Command("HELO " + name, 250, reply)) {
    Fail("HELO failed", ErrorCode::Refused);
    return false;
  }
  usedHelo = true;
  return true;
}

bool SmtpClient::Login() {
  if (settings_.user.empty() || settings_.password.empty()) return true;
  // A server (or anyone in between) that leaves STARTTLS out must not receive the password in
  // base64 that anyone on the path can read.
  if (security_ == "plain" && !settings_.allowPlainLogin) {
    Fail(kNoEncryption, ErrorCode::Tls);
    return false;
  }
  auto offered = [&](const char* m) { return mechanisms_.count(m) != 0; };
  std::string method;
  for (const char* m : {"LOGIN", "CRAM-MD5", "PLAIN"})
    if (offered(m)) {
      method = m;
      break;
    }
  if (method.empty()) {
    // Mechanisms this build does not speak: note the first and go on without a login.
    for (const char* m : {"NTLM", "MSN", "DIGEST-MD5", "GSSAPI", "KERBEROS_V4", "ANONYMOUS"})
      if (offered(m)) {
        log_.Info(std::string(m) + " login method not supported");
        return true;
      }
    log_.Info("The server offers no login method; going on without login");
    return true;
  }
  MailLogScope scope(log_, "SMTP_Login");
  log_.Value("login_method", method);
  SmtpReply reply;
  bool ok = false;
  if (method == "LOGIN") {
    ok = Command("AUTH LOGIN", 334, reply) &&
         Command(Base64Encode(settings_.user), 334, reply, Echo::Secret) &&
         Command(Base64Encode(settings_.password), 235, reply, Echo::Secret);
  } else if (method == "CRAM-MD5") {
    if (Command("AUTH CRAM-MD5", 334, reply)) {
      auto challenge = Base64Decode(reply.lines.empty() ? std::string_view() : reply.lines.front());
      if (!challenge) {
        log_.Debug("the CRAM-MD5 challenge is not base64");
        Command("*", 501, reply);  // cancel the exchange so QUIT is understood
      } else {
        ok = Command(Base64Encode(CramMd5Answer(settings_.user, settings_.password, *challenge)),
                     235, reply, Echo::Secret);
      }
    }
  } else {
    ok = Command("AUTH PLAIN", 334, reply) &&
         Command(Base64Encode(PlainAuthBlob(settings_.user, settings_.password)), 235, reply,
                 Echo::Secret);
  }
  if (!ok) Fail("Failed to login using " + method + " method", ErrorCode::Auth);
  return ok;
}

bool SmtpClient::Connect(bool greetingOnly) {
  MailLogScope scope(log_, "SMTP_Connect");
  log_.Info("Connecting to SMTP server " + settings_.host + ":" + std::to_string(settings_.port));
  bool retryPlain = false;
  if (OpenConnection(!greetingOnly, retryPlain)) return true;
  if (!retryPlain) return false;
  Release();
  // Opportunistic STARTTLS failed in the handshake: a new plain connection, no second try.
  const StartTlsMode saved = settings_.startTls;
  settings_.startTls = StartTlsMode::Off;
  bool ok = OpenConnection(true, retryPlain);
  settings_.startTls = saved;
  return ok;
}

void SmtpClient::Release() {
  if (conn_ && !broken_) {
    SmtpReply reply;
    Command("QUIT", 221, reply);
  }
  if (conn_) conn_->Close();
  conn_.reset();
  inbuf_.clear();
  inpos_ = 0;
}

// ---- transfer ----

bool SmtpClient::WriteData(std::string_view wire) {
  // The body is the user's file (raw in a plain transfer): the log keeps the headers alone,
  // and "\n...\n" says something followed.
  const size_t blank = wire.find("\r\n\r\n");
  const std::string_view headers = wire.substr(0, blank == std::string_view::npos ? 0 : blank + 4);
  log_.Debug("C: " + (headers.size() < wire.size() && headers.size() <= kLogCut
                          ? std::string(headers) + "\n...\n"
                          : Cut(headers)));
  // Dot-stuffing: a "." at the start of any line is doubled, so the server's end-of-data scan
  // can never stop early and the receiver strips exactly one dot again.
  std::string out;
  out.reserve(kDataChunk + kDataChunk / 64 + 8);
  bool lineStart = true;
  size_t pos = 0;
  while (pos < wire.size()) {
    size_t end = std::min(wire.size(), pos + kDataChunk);
    out.clear();
    while (pos < end) {
      if (lineStart && wire[pos] == '.') out.push_back('.');
      const void* nl = std::memchr(wire.data() + pos, '\n', end - pos);
      size_t stop = nl ? static_cast<size_t>(static_cast<const char*>(nl) - wire.data()) + 1 : end;
      out.append(wire.data() + pos, stop - pos);
      lineStart = nl != nullptr;
      pos = stop;
    }
    if (const Status written = conn_->Write(out); !written) {
      log_.Debug("write failed: " + written.error().message);
      broken_ = true;
      return false;
    }
    if (progress_) progress_->SendProgress(static_cast<int>(pos * 100 / wire.size()));
    if (Aborted()) {
      // A message cut short must never be ended with the final dot, or the server would
      // deliver the truncated part; the connection is dropped instead of saying QUIT.
      broken_ = true;
      Fail(kAborted, ErrorCode::Cancelled);
      return false;
    }
  }
  return true;
}

bool SmtpClient::Transfer(const SmtpEnvelope& envelope, std::string_view wire, bool& partial) {
  MailLogScope scope(log_, "SMTP_SendMessage");
  partial = false;
  SmtpReply reply;
  if (envelope.from.empty()) {
    Fail("Invalid email object, no return address", ErrorCode::InvalidArgument);
    return false;
  }
  // A message the server already said it will not take would be refused only after all of
  // it went over the wire, and then again on every retry.
  if (sizeLimit_ > 0 && wire.size() > sizeLimit_) {
    permanentRefusal_ =
        SmtpReply{552,
                  {"5.3.4 the message is " + std::to_string(wire.size()) +
                   " bytes; the server takes at most " + std::to_string(sizeLimit_)}};
    Fail("The message is " + std::to_string(wire.size()) + " bytes; the server takes at most " +
             std::to_string(sizeLimit_) + " bytes",
         ErrorCode::Refused);
    return false;
  }
  std::string mailFrom = "MAIL FROM:<" + envelope.from + ">";
  if (sizeOffered_) mailFrom += " SIZE=" + std::to_string(wire.size());
  if (!Command(mailFrom, 250, reply)) {
    if (!broken_ && reply.code >= 500 && reply.code < 600) permanentRefusal_ = reply;
    Fail("MAIL FROM refused", broken_ ? ErrorCode::Network : ErrorCode::Refused);
    return false;
  }
  int accepted = 0, refused = 0;
  for (const auto& rcpt : envelope.recipients) {
    if (Aborted()) {
      Fail(kAborted, ErrorCode::Cancelled);
      return false;
    }
    if (Command("RCPT TO:<" + rcpt + ">", 250, reply)) {
      ++accepted;
      accepted_.push_back(rcpt);
    } else {
      if (broken_) return false;
      ++refused;
      std::string answer = std::to_string(reply.code);
      for (const auto& line : reply.lines) answer += " " + line;
      log_.Error("Recipient refused: " + rcpt + " (" + answer + ")");
      refused_.push_back({rcpt, reply});
    }
  }
  if (refused > 0 && accepted > 0)
    log_.Info("Warning: failed to send to " + std::to_string(refused) +
              " recipient(s), continuing to send to " + std::to_string(accepted) + " recipient(s)");
  if (accepted == 0) {
    if (envelope.recipients.empty())
      Fail("No recipients", ErrorCode::InvalidArgument);
    else
      Fail("All recipients refused", ErrorCode::Refused);
    return false;
  }
  if (Aborted()) {
    Fail(kAborted, ErrorCode::Cancelled);
    return false;
  }
  if (!Command("DATA", 354, reply)) {
    Fail("DATA refused", broken_ ? ErrorCode::Network : ErrorCode::Refused);
    return false;
  }
  if (!WriteData(wire)) return false;
  // A message that already ends its last line gets only the dot line; adding a CRLF before it
  // as well would hand the recipient an empty line the sender never wrote.
  const bool lineEnded = wire.empty() || wire.ends_with("\r\n");
  if (!Command(lineEnded ? "." : "\r\n.", 250, reply)) {
    if (!broken_ && reply.code >= 500 && reply.code < 600) permanentRefusal_ = reply;
    Fail("The message was refused at the end of data",
         broken_ ? ErrorCode::Network : ErrorCode::Refused);
    return false;
  }
  messageAccepted_ = true;
  partial = refused > 0;
  return true;
}

Status SmtpClient::Send(const SmtpEnvelope& envelope, Renderer render, const void* source) {
  log_ = MailLog();
  failure_.reset();
  security_.clear();
  permanentRefusal_.reset();
  messageAccepted_ = false;
  accepted_.clear();
  refused_.clear();
  cause_.clear();
  MailLogScope scope(log_, "SendEmail");
  log_.Value("smtp_host", settings_.host);
  log_.Value("smtp_port", std::to_string(settings_.port));
  log_.Value("smtp_ssl", settings_.ssl ? "1" : "0");

  if (Aborted()) {
    Fail(kAborted, ErrorCode::Cancelled);
    return Outcome(false);
  }
  if (!Connect(false)) {
    Fail("Failed to connect to SMTP server.");
    Release();
    return Outcome(false);
  }
  bool ok = false;
  std::string storage;
  std::string_view wire;
  bool partial = false;
  if (Aborted()) {
    Fail(kAborted, ErrorCode::Cancelled);
  } else if (!render(source, storage, wire)) {
    Fail("Failed to prepare email for sending.", ErrorCode::Failed);
  } else if (Aborted()) {
    Fail(kAborted, ErrorCode::Cancelled);
  } else if (!Transfer(envelope, wire, partial)) {
    if (!failure_ || failure_->code != ErrorCode::Cancelled) Fail("Send failed.");
  } else if (partial) {
    Fail("Partial send failure.", ErrorCode::Refused);
  } else {
    ok = true;
  }
  Release();
  if (!ok && cause_.empty() && failure_) {
    // The first error is the root of the failure; later ones only summarise it.
    const auto errors = log_.Errors();
    cause_ = errors.empty() ? failure_->message : errors.front();
  }
  return Outcome(ok);
}

Status SmtpClient::SendMessage(const SmtpEnvelope& envelope, std::string_view wire) {
  return Send(
      envelope,
      [](const void* src, std::string&, std::string_view& out) {
        out = *static_cast<const std::string_view*>(src);
        return true;
      },
      &wire);
}

Result<uint64_t> SmtpClient::ProbeSizeLimit() {
  log_ = MailLog();
  failure_.reset();
  security_.clear();
  permanentRefusal_.reset();
  MailLogScope scope(log_, "ProbeSizeLimit");
  skipLogin_ = true;
  const bool ok = Connect(false);
  skipLogin_ = false;
  Release();
  if (!ok)
    return failure_ ? *failure_ : Error(ErrorCode::Failed, "Failed to connect to SMTP server.");
  return sizeLimit_;
}

Status SmtpClient::VerifyLogin() {
  log_ = MailLog();
  failure_.reset();
  security_.clear();
  MailLogScope scope(log_, "VerifyLogin");
  if (settings_.user.empty() || (settings_.password.empty() && !settings_.accessToken))
    return Error(ErrorCode::InvalidArgument, "no user name and password to log in with");
  bool ok = Connect(false);
  // Connect() goes on without a login when the server offers none it can make; for a check
  // of the login that is a failure, not a pass.
  const std::vector<const char*> spoken =
      settings_.accessToken ? std::vector<const char*>{"XOAUTH2", "OAUTHBEARER"}
                            : std::vector<const char*>{"LOGIN", "CRAM-MD5", "PLAIN"};
  const bool canLogIn = std::any_of(spoken.begin(), spoken.end(),
                                    [&](const char* m) { return mechanisms_.count(m) != 0; });
  if (ok && !canLogIn) {
    Fail("The server offers no login method this program can use", ErrorCode::Unsupported);
    ok = false;
  }
  Release();
  return Outcome(ok);
}

Status SmtpClient::VerifySmtpConnection() {
  log_ = MailLog();
  failure_.reset();
  security_.clear();
  MailLogScope scope(log_, "VerifySmtpConnection");
  log_.Value("smtp_host", settings_.host);
  log_.Value("smtp_port", std::to_string(settings_.port));
  bool ok = Connect(true);
  Release();
  return Outcome(ok);
}

}  // namespace dtl
