#include "receive/ImapSession.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "base/SecretMemory.h"
#include "mail/SmtpAuth.h"
#include "mail/SocketTransport.h"
#include "receive/ImapMailboxName.h"

namespace dtl {
namespace {

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

bool Has(const std::vector<std::string>& caps, const std::string& cap) {
  return std::find(caps.begin(), caps.end(), cap) != caps.end();
}

// A server's words go into messages and the log: kept to one short printable line.
std::string Said(std::string_view text) {
  std::string out;
  for (char c : text.substr(0, 200)) out.push_back(static_cast<unsigned char>(c) < 0x20 ? ' ' : c);
  return out;
}

std::vector<std::string> CapabilityWords(std::string_view text) {
  std::vector<std::string> caps;
  size_t i = 0;
  while (i < text.size()) {
    const size_t end = std::min(text.find(' ', i), text.size());
    if (end > i) caps.push_back(Upper(std::string(text.substr(i, end - i))));
    i = end + 1;
  }
  return caps;
}

bool Number(const ImapValue& v, uint32_t& out) {
  if (v.kind != ImapValue::Kind::Atom || v.text.empty() || v.text.size() > 10 ||
      v.text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  const unsigned long long n = std::stoull(v.text);
  if (n > 0xffffffffull) return false;
  out = static_cast<uint32_t>(n);
  return true;
}

// The value after `name` in a FETCH response's list, or nullptr.
const ImapValue* FetchItem(const ImapResponse& r, const std::string& name) {
  if (r.name != "FETCH" || r.data.empty() || !r.data[0].IsList()) return nullptr;
  const auto& items = r.data[0].items;
  for (size_t i = 0; i + 1 < items.size(); i += 2)
    if (items[i].kind == ImapValue::Kind::Atom && Upper(items[i].text) == name)
      return &items[i + 1];
  return nullptr;
}

bool FetchedUid(const ImapResponse& r, uint32_t uid) {
  const ImapValue* v = FetchItem(r, "UID");
  uint32_t n = 0;
  return v && Number(*v, n) && n == uid;
}

}  // namespace

Result<std::string> ChooseImapLogin(const std::vector<std::string>& capabilities,
                                    const std::vector<std::string>& allowed) {
  static const std::vector<std::string> kDefault = {"PLAIN", "LOGIN", "CRAM-MD5"};
  const auto& wanted = allowed.empty() ? kDefault : allowed;
  for (const std::string& m : wanted) {
    const std::string mech = Upper(m);
    if (mech != "PLAIN" && mech != "LOGIN" && mech != "CRAM-MD5" && mech != "OAUTHBEARER" &&
        mech != "XOAUTH2")
      continue;
    if (Has(capabilities, "AUTH=" + mech)) return mech;
  }
  if (!Has(capabilities, "LOGINDISABLED")) return std::string();
  return Error(ErrorCode::Unsupported,
               "the IMAP server offers no login method this program can use");
}

ImapSession::ImapSession(ImapSettings settings, std::stop_token stop)
    : settings_(std::move(settings)), stop_(std::move(stop)) {}

ImapSession::~ImapSession() {
  if (conn_) conn_->Close();
  WipeSecret(settings_.password);
}

void ImapSession::Enter(ImapState next) {
  state_ = next;
  if (next != ImapState::Selected) folder_.clear();
  if (next == ImapState::Logout || next == ImapState::Disconnected) {
    if (conn_) conn_->Close();
    reader_.reset();
    deadline_.reset();
  }
}

Status ImapSession::Require(ImapState needed, const char* what) const {
  if (state_ == needed) return {};
  static const char* const kNames[] = {"not connected", "not logged in", "logged in", "in a folder",
                                       "logged out"};
  return Error(ErrorCode::InvalidArgument, std::string("IMAP ") + what +
                                               " is not possible while the session is " +
                                               kNames[static_cast<int>(state_)]);
}

std::string ImapSession::Host() const { return settings_.host; }

Error ImapSession::Drop(Error error) {
  log_.push_back("-- " + error.message);
  Enter(ImapState::Logout);
  return error;
}

Result<ImapResponse> ImapSession::Read(const ImapLiteralRouter& router) {
  if (!reader_) return Error(ErrorCode::Network, "the IMAP connection is closed");
  auto r = reader_->Next(router);
  if (!r) {
    Error e = r.error();
    if (e.code == ErrorCode::Network && !bye_.empty())
      e.message = "the IMAP server " + Host() + " ended the session: " + bye_;
    else if (e.code == ErrorCode::Network || e.code == ErrorCode::Timeout ||
             e.code == ErrorCode::Tls)
      e.message = "IMAP server " + Host() + ": " + e.message;
    return e;
  }
  if (r->kind != ImapResponse::Kind::Continuation && r->IsStatus())
    log_.push_back("S: " + (r->tag.empty() ? std::string("*") : r->tag) + " " + r->name +
                   (r->code.empty() ? "" : " [" + Said(r->code) + "]") + " " + Said(r->text));
  if (r->kind != ImapResponse::Kind::Continuation &&
      (r->name == "NO" || r->name == "BAD" || r->name == "BYE"))
    lastRefusal_ = *r;
  return r;
}

Result<ImapResponse> ImapSession::Run(const std::string& command, const std::string& logged,
                                      const Untagged& untagged, const Continue& more,
                                      const ImapLiteralRouter& router, bool bounded) {
  if (stop_.stop_requested()) return Drop(Error::Cancelled());
  if (!conn_ || !reader_) return Error(ErrorCode::Network, "the IMAP connection is closed");
  const std::string tag = "a" + std::to_string(++tag_);
  log_.push_back("C: " + tag + " " + logged);
  if (Status s = conn_->Write(tag + " " + command + "\r\n"); !s)
    return Drop(Error(s.error().code, "IMAP server " + Host() + ": " + s.error().message));
  // An ordinary answer shares one deadline, so a server that trickles cannot stretch it; a
  // body's reads are bounded one by one, as a large part may take long in all.
  if (bounded)
    deadline_ = std::chrono::steady_clock::now() + settings_.ioTimeout;
  else
    deadline_.reset();
  for (;;) {
    auto r = Read(router);
    if (!r) return Drop(r.error());
    if (stop_.stop_requested()) return Drop(Error::Cancelled());
    switch (r->kind) {
      case ImapResponse::Kind::Tagged:
        if (r->tag != tag)
          return Drop(
              Error(ErrorCode::Protocol,
                    "the IMAP server " + Host() + " answered a command not sent: " + Said(r->tag)));
        if (r->CodeName() == "CAPABILITY") capabilities_ = CapabilityWords(r->code.substr(10));
        return r;
      case ImapResponse::Kind::Continuation: {
        if (!more)
          return Drop(Error(ErrorCode::Protocol,
                            "the IMAP server " + Host() + " asked for more of a complete command"));
        auto line = more(*r);
        if (!line) return Drop(line.error());
        log_.push_back("C: <credentials>");
        Status s = conn_->Write(*line + "\r\n");
        WipeSecret(line.value());
        if (!s)
          return Drop(Error(s.error().code, "IMAP server " + Host() + ": " + s.error().message));
        break;
      }
      case ImapResponse::Kind::Untagged:
        if (r->name == "CAPABILITY") {
          capabilities_.clear();
          for (const ImapValue& v : r->data) capabilities_.push_back(Upper(v.text));
        } else if (r->name == "BYE") {
          bye_ = Said(r->text);
        } else if (r->IsStatus() && r->CodeName() == "CAPABILITY") {
          capabilities_ = CapabilityWords(r->code.substr(10));
        }
        if (untagged)
          if (Status s = untagged(*r); !s) return Drop(s.error());
        break;
    }
  }
}

Status ImapSession::Capability() {
  auto r = Run("CAPABILITY", "CAPABILITY");
  if (!r) return r.error();
  if (r->name != "OK")
    return Drop(Error(ErrorCode::Protocol,
                      "the IMAP server " + Host() + " refused CAPABILITY: " + Said(r->text)));
  return {};
}

Status ImapSession::StartTls() {
  if (!Has(capabilities_, "STARTTLS"))
    return Drop(Error(ErrorCode::Unsupported,
                      "the IMAP server " + Host() +
                          " does not offer STARTTLS; the password is never sent in the clear"));
  auto r = Run("STARTTLS", "STARTTLS");
  if (!r) return r.error();
  if (r->name != "OK")
    return Drop(
        Error(ErrorCode::Tls, "the IMAP server " + Host() + " refused STARTTLS: " + Said(r->text)));
  // Bytes that came after the OK were sent before the handshake, by the server or by someone
  // on the path; taking them as the secure server's would let them steer the session.
  if (reader_->Buffered() > 0)
    return Drop(Error(ErrorCode::Protocol,
                      "the IMAP server " + Host() + " sent data before the TLS handshake"));
  if (Status s = conn_->StartTls(true); !s)
    return Drop(Error(ErrorCode::Tls, "the certificate of the IMAP server " + Host() +
                                          " was not accepted: " + s.error().message));
  // What the server said before TLS is void: ask again over the secure connection.
  capabilities_.clear();
  return Capability();
}

Result<size_t> ImapSession::ReadSliced(char* buffer, size_t size) {
  // A stop must not wait for a silent server's time-out, so the wait goes in short slices. A
  // slice that ends with nothing read leaves the connection as it was (the transport keeps a
  // partial TLS record), and the next one goes on where it stopped.
  constexpr std::chrono::milliseconds kStopCheck{200};
  const auto deadline =
      deadline_ ? *deadline_ : std::chrono::steady_clock::now() + settings_.ioTimeout;
  for (;;) {
    if (stop_.stop_requested()) return Error::Cancelled();
    const auto now = std::chrono::steady_clock::now();
    auto got = conn_->ReadBefore(buffer, size, std::min(deadline, now + kStopCheck));
    if (got || got.error().code != ErrorCode::Timeout ||
        std::chrono::steady_clock::now() >= deadline)
      return got;
  }
}

Status ImapSession::Connect() {
  if (Status s = Require(ImapState::Disconnected, "connecting"); !s) return s;
  if (stop_.stop_requested()) return Error::Cancelled();
  std::unique_ptr<Transport> sock;
  if (connector_) {
    auto made = connector_(settings_);
    if (!made) return Drop(made.error());
    sock = std::move(made).value();
  } else {
    SocketOptions opt;
    opt.connectTimeout = settings_.connectTimeout;
    opt.ioTimeout = settings_.ioTimeout;
    opt.caFile = TrustedCaFile(settings_.caFile);
    auto socket = std::make_unique<SocketTransport>(opt);
    if (Status s = socket->Connect(settings_.host, settings_.port); !s)
      return Drop(
          Error(s.error().code == ErrorCode::NotFound ? ErrorCode::NotFound : ErrorCode::Network,
                "could not connect to the IMAP server " + Host() + ":" +
                    std::to_string(settings_.port) + ": " + s.error().message));
    sock = std::move(socket);
  }
  conn_ = std::move(sock);
  log_.push_back("-- connected to " + Host() + ":" + std::to_string(settings_.port));
  if (settings_.security == ImapSecurity::ImplicitTls) {
    if (Status s = conn_->StartTls(true); !s)
      return Drop(Error(ErrorCode::Tls, "the certificate of the IMAP server " + Host() +
                                            " was not accepted: " + s.error().message));
  }
  reader_ = std::make_unique<ImapResponseReader>(
      [this](char* buffer, size_t size) { return ReadSliced(buffer, size); });
  bye_.clear();
  capabilities_.clear();
  deadline_ = std::chrono::steady_clock::now() + settings_.ioTimeout;
  auto greeting = Read();
  if (!greeting) return Drop(greeting.error());
  if (greeting->kind != ImapResponse::Kind::Untagged ||
      (greeting->name != "OK" && greeting->name != "PREAUTH"))
    return Drop(Error(greeting->name == "BYE" ? ErrorCode::Refused : ErrorCode::Protocol,
                      "the IMAP server " + Host() +
                          " did not greet: " + Said(greeting->name + " " + greeting->text)));
  // A PREAUTH greeting on a plain connection means it can never be secured (STARTTLS is only
  // allowed before a login).
  if (greeting->name == "PREAUTH" && !conn_->Secure())
    return Drop(Error(ErrorCode::Tls, "the IMAP server " + Host() +
                                          " logged in before TLS; refusing the connection"));
  if (greeting->CodeName() == "CAPABILITY")
    capabilities_ = CapabilityWords(greeting->code.substr(10));
  Enter(ImapState::NotAuthenticated);
  if (capabilities_.empty())
    if (Status s = Capability(); !s) return s;
  if (!conn_->Secure())
    if (Status s = StartTls(); !s) return s;
  if (greeting->name == "PREAUTH") Enter(ImapState::Authenticated);
  return {};
}

Status ImapSession::Login() {
  if (Status s = Require(ImapState::NotAuthenticated, "login"); !s) return s;
  if (!conn_->Secure())
    return Drop(Error(ErrorCode::Tls, "refusing to log in to the IMAP server " + Host() +
                                          " over a connection without TLS"));
  if (settings_.accessToken) return OAuthLogin();
  auto how = ChooseImapLogin(capabilities_, settings_.mechanisms);
  if (!how) return Drop(how.error());
  if (*how == "OAUTHBEARER" || *how == "XOAUTH2")
    return Drop(Error(ErrorCode::InvalidArgument,
                      "an OAuth2 login to the IMAP server " + Host() + " needs an access token"));
  const std::string& user = settings_.user;
  const std::string& password = settings_.password;
  Result<ImapResponse> r = Error(ErrorCode::Failed, "");
  if (how->empty()) {
    auto quotedUser = ImapQuote(user);
    auto quotedPassword = ImapQuote(password);
    if (!quotedUser || !quotedPassword)
      return Drop(Error(ErrorCode::Unsupported,
                        "the IMAP server " + Host() +
                            " allows only the LOGIN command, which cannot carry this user "
                            "name or password (line breaks or non-ASCII)"));
    std::string command = "LOGIN " + *quotedUser + " " + *quotedPassword;
    loginMethod_ = "LOGIN command";
    r = Run(command, "LOGIN <credentials>");
    WipeSecret(command);
    WipeSecret(*quotedPassword);
  } else {
    loginMethod_ = *how;
    int step = 0;
    const std::string mech = *how;
    r = Run("AUTHENTICATE " + mech, "AUTHENTICATE " + mech, {},
            [&](const ImapResponse& challenge) -> Result<std::string> {
              ++step;
              if (mech == "PLAIN" && step == 1) {
                std::string blob = PlainAuthBlob(user, password);
                std::string line = Base64Encode(blob);
                WipeSecret(blob);
                return line;
              }
              if (mech == "LOGIN" && step <= 2) return Base64Encode(step == 1 ? user : password);
              if (mech == "CRAM-MD5" && step == 1) {
                auto decoded = Base64Decode(challenge.text);
                if (!decoded)
                  return Error(ErrorCode::Protocol, "the IMAP server " + Host() +
                                                        " sent a CRAM-MD5 challenge that is "
                                                        "not base64");
                return Base64Encode(CramMd5Answer(user, password, *decoded));
              }
              // Answering "*" cancels the exchange (RFC 3501 6.2.2): the server then says NO.
              return std::string("*");
            });
  }
  if (!r) return r.error();
  if (r->name == "NO")
    return Error(ErrorCode::Auth,
                 "the IMAP server refused the login for " + user + ": " + Said(r->text));
  if (r->name != "OK")
    return Drop(Error(ErrorCode::Protocol, "the IMAP server " + Host() +
                                               " answered the login with " + r->name + ": " +
                                               Said(r->text)));
  // The capabilities may change with the login; a server that does not say them is asked.
  Enter(ImapState::Authenticated);
  if (r->CodeName() != "CAPABILITY")
    if (Status s = Capability(); !s) return s;
  return {};
}

ImapSession::TokenOutcome ImapSession::TryToken(const std::string& mech, const std::string& token,
                                                Error& failure) {
  const std::string& user = settings_.user;
  std::string blob = mech == "OAUTHBEARER"
                         ? OAuthBearerBlob(user, settings_.host, settings_.port, token)
                         : XOAuth2Blob(user, token);
  std::string encoded = Base64Encode(blob);
  WipeSecret(blob);
  std::optional<OAuthErrorChallenge> challenge;
  bool answered = false;  // the initial response has gone out
  const bool initial = Has(capabilities_, "SASL-IR");
  const auto more = [&](const ImapResponse& c) -> Result<std::string> {
    if (!answered) {
      answered = true;
      return encoded;
    }
    // Anything after the token is the error challenge; it is ended with the answer each
    // mechanism expects (RFC 7628 3.2.3: a lone ^A; XOAUTH2: an empty line), then the server
    // says NO.
    if (!challenge) {
      auto json = Base64Decode(c.text);
      challenge = json ? ParseOAuthErrorChallenge(*json) : std::nullopt;
      if (!challenge) challenge = OAuthErrorChallenge{};
      log_.push_back("-- the server's answer to the token: status \"" + Said(challenge->status) +
                     "\"");
      return std::string(mech == "OAUTHBEARER" ? "AQ==" : "");
    }
    return std::string("*");  // a server that keeps asking: cancel (RFC 3501 6.2.2)
  };
  Result<ImapResponse> r = Error(ErrorCode::Failed, "");
  if (initial) {
    // SASL-IR (RFC 4959): the token rides on the command, saving a round trip.
    answered = true;
    std::string command = "AUTHENTICATE " + mech + " " + encoded;
    r = Run(command, "AUTHENTICATE " + mech + " <credentials>", {}, more);
    WipeSecret(command);
  } else {
    r = Run("AUTHENTICATE " + mech, "AUTHENTICATE " + mech, {}, more);
  }
  WipeSecret(encoded);
  if (!r) {
    failure = r.error();
    return TokenOutcome::Failed;
  }
  if (r->name == "OK") {
    response_ = *std::move(r);
    return TokenOutcome::Accepted;
  }
  if (r->name != "NO") {
    failure =
        Drop(Error(ErrorCode::Protocol, "the IMAP server " + Host() + " answered the login with " +
                                            r->name + ": " + Said(r->text)));
    return TokenOutcome::Failed;
  }
  failure = Error(ErrorCode::Auth,
                  "the IMAP server refused the OAuth2 login for " + user + ": " + Said(r->text));
  // A server that said why decides; without a reason a NO is taken as a refused token (that
  // is how an expired one is answered), unless the server says it is only unavailable now.
  const bool refused = challenge && !challenge->status.empty() ? TokenRefused(*challenge)
                                                               : r->CodeName() != "UNAVAILABLE";
  return refused ? TokenOutcome::Refused : TokenOutcome::Failed;
}

Status ImapSession::OAuthLogin() {
  std::vector<std::string> allowed;
  for (const std::string& m : settings_.mechanisms)
    if (Upper(m) == "OAUTHBEARER" || Upper(m) == "XOAUTH2") allowed.push_back(Upper(m));
  if (allowed.empty()) allowed = {"OAUTHBEARER", "XOAUTH2"};
  auto how = ChooseImapLogin(capabilities_, allowed);
  if (!how || how->empty())
    return Drop(Error(
        ErrorCode::Unsupported,
        "the IMAP server " + Host() + " offers no OAuth2 login (neither OAUTHBEARER nor XOAUTH2)"));
  if (settings_.user.empty())
    return Drop(Error(ErrorCode::InvalidArgument, "an OAuth2 login needs the user name"));
  loginMethod_ = *how;
  Error failure(ErrorCode::Failed, "");
  for (bool renew : {false, true}) {
    if (stop_.stop_requested()) return Drop(Error::Cancelled());
    auto token = settings_.accessToken(renew);
    // A refused login ("log in again") leaves the connection as a refused password does; a
    // token endpoint that could not be asked fails like the network it stands for.
    if (!token) return token.error().code == ErrorCode::Auth ? token.error() : Drop(token.error());
    const TokenOutcome outcome = TryToken(*how, *token, failure);
    WipeSecret(token.value());
    if (outcome == TokenOutcome::Accepted) {
      Enter(ImapState::Authenticated);
      if (response_.CodeName() != "CAPABILITY")
        if (Status s = Capability(); !s) return s;
      return {};
    }
    if (outcome == TokenOutcome::Failed) return failure;
    log_.push_back(renew ? "-- the renewed access token was refused too"
                         : "-- the access token was refused; asking for a fresh one");
  }
  return Error(ErrorCode::Auth, "the IMAP server " + Host() +
                                    " refused the OAuth2 access token for " + settings_.user +
                                    " even after it was renewed: " + failure.message);
}

Status ImapSession::Open() {
  if (Status s = Connect(); !s) return s;
  if (state_ == ImapState::Authenticated) return {};  // PREAUTH over implicit TLS
  return Login();
}

Result<ImapFolderInfo> ImapSession::Examine(std::string_view folder) {
  if (state_ == ImapState::Selected) Enter(ImapState::Authenticated);
  if (Status s = Require(ImapState::Authenticated, "opening a folder"); !s) return s.error();
  auto wire = EncodeMailboxName(folder);
  if (!wire) return wire.error();
  auto quoted = ImapQuote(*wire);  // modified UTF-7 is printable ASCII: always quotable
  ImapFolderInfo info;
  auto r = Run("EXAMINE " + *quoted, "EXAMINE " + *quoted, [&](const ImapResponse& u) -> Status {
    if (u.name == "EXISTS" && u.number) info.exists = *u.number;
    if (u.name == "OK" && u.CodeName() == "UIDVALIDITY") {
      const std::string n = u.code.size() > 12 ? u.code.substr(12) : std::string();
      if (!n.empty() && n.size() <= 10 && n.find_first_not_of("0123456789") == std::string::npos)
        info.uidValidity = static_cast<uint32_t>(std::min(std::stoull(n), 0xffffffffull));
    }
    return {};
  });
  if (!r) return r.error();
  if (r->name == "NO") {
    const std::string code = r->CodeName();
    if (code == "NONEXISTENT" || code.empty())
      return Error(ErrorCode::NotFound,
                   "the IMAP folder \"" + std::string(folder) + "\" does not exist on " + Host());
    return Error(ErrorCode::Refused, "the IMAP server " + Host() +
                                         " refused to open the folder \"" + std::string(folder) +
                                         "\": " + Said(r->text));
  }
  if (r->name != "OK")
    return Drop(Error(ErrorCode::Protocol, "the IMAP server " + Host() + " answered EXAMINE with " +
                                               r->name + ": " + Said(r->text)));
  info.readOnly = r->CodeName() == "READ-ONLY";
  Enter(ImapState::Selected);
  folder_ = folder;
  return info;
}

Result<std::vector<uint32_t>> ImapSession::SearchAllUids() {
  if (Status s = Require(ImapState::Selected, "searching"); !s) return s.error();
  std::vector<uint32_t> uids;
  auto r = Run("UID SEARCH ALL", "UID SEARCH ALL", [&](const ImapResponse& u) -> Status {
    if (u.name != "SEARCH") return {};
    for (const ImapValue& v : u.data) {
      uint32_t n = 0;
      if (!Number(v, n) || n == 0)
        return Error(ErrorCode::Protocol,
                     "the IMAP server " + Host() + " answered SEARCH with a non-number");
      uids.push_back(n);
    }
    return {};
  });
  if (!r) return r.error();
  if (r->name != "OK")
    return Error(ErrorCode::Refused, "the IMAP server " + Host() + " refused to search \"" +
                                         folder_ + "\": " + Said(r->text));
  std::sort(uids.begin(), uids.end());
  uids.erase(std::unique(uids.begin(), uids.end()), uids.end());
  return uids;
}

Result<ImapValue> ImapSession::FetchBodyStructure(uint32_t uid) {
  if (Status s = Require(ImapState::Selected, "fetching"); !s) return s.error();
  std::optional<ImapValue> structure;
  const std::string command = "UID FETCH " + std::to_string(uid) + " (BODYSTRUCTURE)";
  auto r = Run(command, command, [&](const ImapResponse& u) -> Status {
    if (FetchedUid(u, uid))
      if (const ImapValue* v = FetchItem(u, "BODYSTRUCTURE")) structure = *v;
    return {};
  });
  if (!r) return r.error();
  if (r->name != "OK")
    return Error(ErrorCode::Refused, "the IMAP server " + Host() + " refused to fetch message " +
                                         std::to_string(uid) + ": " + Said(r->text));
  if (!structure)
    return Error(ErrorCode::NotFound, "the IMAP folder \"" + folder_ + "\" on " + Host() +
                                          " has no message " + std::to_string(uid));
  return *std::move(structure);
}

Status ImapSession::FetchBodyStructures(
    const std::vector<uint32_t>& uids,
    const std::function<Status(uint32_t, const ImapValue&)>& each) {
  if (Status s = Require(ImapState::Selected, "fetching"); !s) return s;
  if (uids.empty()) return {};
  std::vector<uint32_t> sorted = uids;
  std::sort(sorted.begin(), sorted.end());
  sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
  // Runs of consecutive UIDs go as ranges: the usual folder is a few long runs.
  std::string set;
  for (size_t i = 0; i < sorted.size();) {
    size_t j = i;
    while (j + 1 < sorted.size() && sorted[j + 1] == sorted[j] + 1) ++j;
    if (!set.empty()) set += ',';
    set += std::to_string(sorted[i]);
    if (j > i) set += ':' + std::to_string(sorted[j]);
    i = j + 1;
  }
  const std::string command = "UID FETCH " + set + " (BODYSTRUCTURE)";
  auto r = Run(command, command, [&](const ImapResponse& u) -> Status {
    const ImapValue* structure = FetchItem(u, "BODYSTRUCTURE");
    const ImapValue* uidValue = FetchItem(u, "UID");
    uint32_t uid = 0;
    if (!structure || !uidValue || !Number(*uidValue, uid)) return {};
    // A server may volunteer FETCH responses of other messages (flag changes): only the asked
    // ones count.
    if (!std::binary_search(sorted.begin(), sorted.end(), uid)) return {};
    return each(uid, *structure);
  });
  if (!r) return r.error();
  if (r->name != "OK")
    return Error(ErrorCode::Refused, "the IMAP server " + Host() +
                                         " refused to fetch the structure of messages in \"" +
                                         folder_ + "\": " + Said(r->text));
  return {};
}

Result<uint64_t> ImapSession::FetchSection(uint32_t uid, std::string_view section,
                                           const ImapSink& sink) {
  if (Status s = Require(ImapState::Selected, "fetching"); !s) return s.error();
  if (section.empty() || section.find_first_not_of("0123456789.") != std::string_view::npos)
    return Error(ErrorCode::InvalidArgument, "not an IMAP part number: " + std::string(section));
  const std::string key = "BODY[" + std::string(section) + "]";
  uint64_t written = 0;
  bool delivered = false;
  // The body may come before the UID in the response, so it goes to the sink as it comes and
  // is checked to belong to this message once the response is whole.
  const ImapSink counting = [&](std::string_view chunk) -> Status {
    if (stop_.stop_requested()) return Error::Cancelled();
    written += chunk.size();
    return sink(chunk);
  };
  const ImapLiteralRouter router = [&](std::string_view k) -> const ImapSink* {
    return Upper(std::string(k)) == key ? &counting : nullptr;
  };
  const std::string command =
      "UID FETCH " + std::to_string(uid) + " (BODY.PEEK[" + std::string(section) + "])";
  auto r = Run(
      command, command,
      [&](const ImapResponse& u) -> Status {
        const ImapValue* body = FetchItem(u, key);
        if (!body) return {};
        if (!FetchedUid(u, uid))
          return Error(ErrorCode::Protocol,
                       "the IMAP server " + Host() + " sent a part of another message than asked");
        if (body->kind == ImapValue::Kind::Quoted && !body->text.empty()) {
          if (Status s = counting(body->text); !s) return s;
        }
        delivered = !body->IsNil();
        return {};
      },
      {}, router, false);
  if (!r) return r.error();
  if (r->name != "OK")
    return Error(ErrorCode::Refused, "the IMAP server " + Host() + " refused to fetch part " +
                                         std::string(section) + " of message " +
                                         std::to_string(uid) + ": " + Said(r->text));
  if (!delivered)
    return Error(ErrorCode::NotFound, "the IMAP folder \"" + folder_ + "\" on " + Host() +
                                          " has no part " + std::string(section) + " of message " +
                                          std::to_string(uid));
  return written;
}

Status ImapSession::Logout() {
  if (state_ == ImapState::Disconnected || state_ == ImapState::Logout) {
    Enter(ImapState::Logout);
    return {};
  }
  auto r = Run("LOGOUT", "LOGOUT");
  Enter(ImapState::Logout);
  if (!r) return r.error();
  return {};
}

}  // namespace dtl
