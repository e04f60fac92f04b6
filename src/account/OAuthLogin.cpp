#include "account/OAuthLogin.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "account/OAuthTokenEndpoint.h"
#include "base/SettingsStore.h"

namespace dtl {
namespace {

using Steady = std::chrono::steady_clock;

constexpr size_t kMaxRequest = 16 * 1024;
// A browser sends its request at once; a connection that dawdles longer is not the redirect.
constexpr std::chrono::seconds kRequestDeadline{5};

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) {
      Reset();
      fd_ = std::exchange(o.fd_, -1);
    }
    return *this;
  }
  ~Fd() { Reset(); }
  int get() const { return fd_; }
  void Reset() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

std::string Base64Url(const unsigned char* data, size_t size) {
  std::string b64(4 * ((size + 2) / 3) + 1, '\0');
  const int n =
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(b64.data()), data, static_cast<int>(size));
  b64.resize(n);
  while (!b64.empty() && b64.back() == '=') b64.pop_back();
  for (char& c : b64) {
    if (c == '+')
      c = '-';
    else if (c == '/')
      c = '_';
  }
  return b64;
}

std::string Escape(const std::string& s) {
  char* e = curl_easy_escape(nullptr, s.c_str(), static_cast<int>(s.size()));
  std::string out = e ? e : "";
  curl_free(e);
  return out;
}

std::string Unescape(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '+') {
      out += ' ';
    } else if (s[i] == '%' && i + 2 < s.size() &&
               std::isxdigit(static_cast<unsigned char>(s[i + 1])) &&
               std::isxdigit(static_cast<unsigned char>(s[i + 2]))) {
      out += static_cast<char>(std::stoi(std::string(s.substr(i + 1, 2)), nullptr, 16));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

std::map<std::string, std::string> QueryOf(std::string_view query) {
  std::map<std::string, std::string> out;
  while (!query.empty()) {
    const size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    const size_t eq = pair.find('=');
    // The first of a repeated name wins, the way the provider's own answer is read.
    out.emplace(Unescape(pair.substr(0, eq)),
                eq == std::string_view::npos ? std::string() : Unescape(pair.substr(eq + 1)));
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
  return out;
}

void Answer(int fd, const char* status, const std::string& html) {
  const std::string msg = std::string("HTTP/1.1 ") + status +
                          "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                          std::to_string(html.size()) +
                          "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n" + html;
  size_t sent = 0;
  while (sent < msg.size()) {
    const ssize_t n = send(fd, msg.data() + sent, msg.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;  // the browser went away; nothing to tell it any more
    sent += static_cast<size_t>(n);
  }
}

std::string Page(const std::string& title, const std::string& text) {
  return "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>" + title +
         "</title></head><body><h1>" + title + "</h1><p>" + text + "</p></body></html>\n";
}

// The loopback listener the browser comes back to, and the wake-up pipe a stop writes to.
class Listener {
 public:
  Status Open(bool alsoIpv6) {
    Fd v4(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (v4.get() < 0) return Error::FromErrno("Could not open a loopback port");
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;  // the kernel's pick: RFC 8252 wants a port no one can predict
    if (bind(v4.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(v4.get(), 8) != 0)
      return Error::FromErrno("Could not open a loopback port");
    socklen_t len = sizeof a;
    getsockname(v4.get(), reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    fds_.push_back(std::move(v4));
    if (alsoIpv6) {
      // Browsers may try ::1 first for "localhost"; the same port there, when it is free.
      Fd v6(socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
      sockaddr_in6 b{};
      b.sin6_family = AF_INET6;
      b.sin6_addr = in6addr_loopback;
      b.sin6_port = htons(static_cast<uint16_t>(port_));
      const int one = 1;
      if (v6.get() >= 0 && setsockopt(v6.get(), IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one) == 0 &&
          bind(v6.get(), reinterpret_cast<sockaddr*>(&b), sizeof b) == 0 &&
          listen(v6.get(), 8) == 0)
        fds_.push_back(std::move(v6));
    }
    int p[2];
    if (pipe2(p, O_CLOEXEC | O_NONBLOCK) != 0) return Error::FromErrno("Could not make a pipe");
    wakeRead_ = Fd(p[0]);
    wakeWrite_ = Fd(p[1]);
    return {};
  }
  int port() const { return port_; }
  void Wake() {
    const char c = 1;
    [[maybe_unused]] auto n = write(wakeWrite_.get(), &c, 1);
  }

  // The next connection, or: Timeout at `deadline`, Cancelled after a stop.
  Result<Fd> Accept(Steady::time_point deadline, const std::stop_token& stop) {
    for (;;) {
      if (stop.stop_requested()) return Error::Cancelled();
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now()).count();
      if (left <= 0) return Error(ErrorCode::Timeout, "No answer came from the browser in time");
      std::vector<pollfd> p;
      p.push_back({wakeRead_.get(), POLLIN, 0});
      for (const Fd& f : fds_) p.push_back({f.get(), POLLIN, 0});
      if (poll(p.data(), p.size(), static_cast<int>(left)) < 0 && errno != EINTR)
        return Error::FromErrno("Waiting for the browser failed");
      for (size_t i = 1; i < p.size(); ++i) {
        if (!(p[i].revents & POLLIN)) continue;
        const int c = accept4(p[i].fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (c >= 0) return Fd(c);
      }
    }
  }

  // The request head on `c` ("GET /?code=... HTTP/1.1 ..."), or empty when it did not come
  // whole in time (or a stop came).
  std::string ReadHead(int c, const std::stop_token& stop) {
    std::string head;
    const auto deadline = Steady::now() + kRequestDeadline;
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < kMaxRequest) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now()).count();
      if (left <= 0 || stop.stop_requested()) return {};
      pollfd p[2] = {{c, POLLIN, 0}, {wakeRead_.get(), POLLIN, 0}};
      if (poll(p, 2, static_cast<int>(left)) <= 0) continue;
      if (!(p[0].revents & (POLLIN | POLLHUP))) continue;
      char buf[2048];
      const ssize_t n = recv(c, buf, sizeof buf, 0);
      if (n <= 0) return {};
      head.append(buf, static_cast<size_t>(n));
    }
    return head;
  }

 private:
  std::vector<Fd> fds_;
  Fd wakeRead_, wakeWrite_;
  int port_ = 0;
};

}  // namespace

std::string PkceChallenge(std::string_view verifier) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_Digest(verifier.data(), verifier.size(), md, &len, EVP_sha256(), nullptr);
  return Base64Url(md, len);
}

std::string RandomUrlToken(const OAuthRandom& random) {
  unsigned char bytes[32];
  const bool ok = random ? random(bytes, sizeof bytes) : RAND_bytes(bytes, sizeof bytes) == 1;
  if (!ok) return {};
  return Base64Url(bytes, sizeof bytes);
}

Result<OAuthTokens> OAuthLogin::Run(const OAuthLoginParams& params, OAuthLoginObserver& observer,
                                    std::stop_token stop) {
  const OAuthProvider& pr = params.provider;
  if (auto s = CheckHttpsUrl(pr.authorizeUrl, "The consent page"); !s) return s.error();
  if (auto s = CheckHttpsUrl(pr.tokenUrl, "The token endpoint"); !s) return s.error();
  if (pr.clientId.empty()) return Error(ErrorCode::InvalidArgument, "No OAuth2 client id");
  const std::string verifier = RandomUrlToken(params.random);
  const std::string state = RandomUrlToken(params.random);
  if (verifier.empty() || state.empty())
    return Error(ErrorCode::Failed, "No random bytes for the OAuth2 login");

  Listener listener;
  if (auto s = listener.Open(pr.redirectHost == "localhost"); !s) return s.error();
  std::stop_callback wake(stop, [&listener] { listener.Wake(); });

  const std::string redirectUri =
      "http://" + pr.redirectHost + ":" + std::to_string(listener.port());
  std::string url = pr.authorizeUrl + (pr.authorizeUrl.find('?') == std::string::npos ? "?" : "&");
  url += "response_type=code&client_id=" + Escape(pr.clientId) +
         "&redirect_uri=" + Escape(redirectUri) + "&scope=" + Escape(pr.scope) +
         "&state=" + Escape(state) + "&code_challenge=" + PkceChallenge(verifier) +
         "&code_challenge_method=S256";
  if (!params.user.empty()) url += "&login_hint=" + Escape(params.user);
  if (!pr.authorizeExtra.empty()) url += "&" + pr.authorizeExtra;
  observer.OnConsentUrl(url);

  const auto deadline = Steady::now() + params.timeout;
  for (;;) {
    auto conn = listener.Accept(deadline, stop);
    if (!conn) return conn.error();
    const int c = conn->get();
    const std::string head = listener.ReadHead(c, stop);
    if (stop.stop_requested()) return Error::Cancelled();
    // Request line: METHOD SP TARGET SP VERSION. Anything but GET on our path (a favicon, a
    // probe, a half-sent request) is turned away and the wait goes on.
    const size_t sp1 = head.find(' ');
    const size_t sp2 = sp1 == std::string::npos ? sp1 : head.find(' ', sp1 + 1);
    if (sp2 == std::string::npos || head.compare(0, sp1, "GET") != 0) {
      if (!head.empty()) Answer(c, "405 Method Not Allowed", Page("Not here", "Not here."));
      continue;
    }
    const std::string target = head.substr(sp1 + 1, sp2 - sp1 - 1);
    const size_t q = target.find('?');
    const std::string path = target.substr(0, q);
    if (path != "/") {
      Answer(c, "404 Not Found", Page("Not here", "Not here."));
      continue;
    }
    auto query = QueryOf(q == std::string::npos ? std::string_view()
                                                : std::string_view(target).substr(q + 1));
    if (!query.count("state") && !query.count("code") && !query.count("error")) {
      Answer(c, "400 Bad Request", Page("Not here", "This address waits for a login."));
      continue;
    }
    // The state ties this answer to the consent page we opened; another one is a forged or
    // stale redirect, and its code is never exchanged.
    if (query["state"] != state) {
      Answer(c, "400 Bad Request",
             Page("Login refused", "The answer did not belong to this login. Try again."));
      return Error(ErrorCode::Protocol,
                   "The OAuth2 login was refused: the browser came back with an answer that "
                   "does not belong to it (wrong state)");
    }
    if (query.count("error")) {
      std::string why = query["error"];
      if (query.count("error_description")) why += ": " + query["error_description"];
      if (why.size() > 200) why.resize(200);
      for (char& ch : why)
        if (static_cast<unsigned char>(ch) < 0x20) ch = ' ';
      Answer(c, "200 OK",
             Page("Login declined", "No access was given. You can close this window."));
      return Error(ErrorCode::Refused, "The OAuth2 login was declined (" + why + ")");
    }
    const std::string code = query["code"];
    if (code.empty()) {
      Answer(c, "400 Bad Request", Page("Login failed", "The answer held no code."));
      return Error(ErrorCode::Protocol, "The OAuth2 login failed: the answer held no code");
    }
    // The browser waits for the exchange, so its page tells the truth about the login.
    observer.OnExchanging();
    auto tokens = ExchangeAuthorizationCode(pr, code, redirectUri, verifier, params.endpoints,
                                            params.clock, stop);
    if (tokens && tokens->refreshToken.empty())
      tokens = Error(ErrorCode::Protocol,
                     "The OAuth2 provider gave no refresh token, so the login could not be kept");
    if (!tokens) {
      Answer(c, "200 OK",
             Page("Login failed",
                  "The login could not be finished; the program says why. You "
                  "can close this window."));
      return tokens.error();
    }
    Answer(c, "200 OK", Page("Logged in", "You are logged in. You can close this window."));
    return tokens;
  }
}

Status StoreOAuthLogin(SettingsStore& store, std::string_view providerId, std::string_view user,
                       const OAuthTokens& tokens) {
  if (auto s = store.SetString("OAuth2RefreshToken", tokens.refreshToken); !s) return s;
  if (auto s = store.SetString("OAuth2User", user); !s) return s;
  return store.SetString("OAuth2Provider", providerId);
}

}  // namespace dtl
