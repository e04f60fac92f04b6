#include "mail/SocketTransport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace dtl {

std::string TrustedCaFile(std::string configured) {
  if (configured.empty())
    if (const char* env = std::getenv("DTL_CA_FILE"); env && *env) configured = env;
  return configured;
}

namespace {

std::string OpenSslError() {
  unsigned long e = ERR_get_error();
  ERR_clear_error();
  if (e == 0) return "no detail";
  char buf[256];
  ERR_error_string_n(e, buf, sizeof buf);
  return buf;
}

bool IsIpLiteral(const std::string& host) {
  unsigned char buf[sizeof(in6_addr)];
  return inet_pton(AF_INET, host.c_str(), buf) == 1 || inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

// OpenSSL writes with write(), which raises SIGPIPE on a connection the peer has reset; the
// core must not kill its host program for that nor change its signal handlers, so SIGPIPE is
// blocked on this thread around every TLS call and a signal raised meanwhile is consumed.
class SigpipeGuard {
 public:
  SigpipeGuard() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    wasPending_ = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
  }
  ~SigpipeGuard() {
    if (!wasPending_) {
      sigset_t pending;
      sigpending(&pending);
      if (sigismember(&pending, SIGPIPE) == 1) {
        timespec zero{0, 0};
        sigtimedwait(&pipe_, nullptr, &zero);
      }
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }
  SigpipeGuard(const SigpipeGuard&) = delete;
  SigpipeGuard& operator=(const SigpipeGuard&) = delete;

 private:
  sigset_t pipe_, old_;
  bool wasPending_ = false;
};

}  // namespace

SocketTransport::SocketTransport(SocketOptions options) : options_(std::move(options)) {}

SocketTransport::~SocketTransport() { Close(); }

Error SocketTransport::Fail(ErrorCode code, std::string text) {
  error_ = Error(code, std::move(text));
  return error_;
}

bool SocketTransport::WaitFor(short events, std::chrono::milliseconds timeout) {
  pollfd p{fd_, events, 0};
  for (;;) {
    int r = poll(&p, 1, static_cast<int>(timeout.count()));
    if (r > 0) return true;
    if (r == 0) {
      Fail(ErrorCode::Timeout, "timed out");
      return false;
    }
    if (errno != EINTR) {
      Fail(ErrorCode::Network, std::string("poll: ") + std::strerror(errno));
      return false;
    }
  }
}

bool SocketTransport::Dial(const sockaddr* address, socklen_t length) {
  int fd = socket(address->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    Fail(ErrorCode::Network, std::string("socket: ") + std::strerror(errno));
    return false;
  }
  fd_ = fd;
  if (::connect(fd, address, length) == 0) return true;
  if (errno == EINPROGRESS && WaitFor(POLLOUT, options_.connectTimeout)) {
    int err = 0;
    socklen_t len = sizeof err;
    getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
    if (err == 0) return true;
    Fail(ErrorCode::Network, std::string("connect: ") + std::strerror(err));
  } else if (errno != EINPROGRESS) {
    Fail(ErrorCode::Network, std::string("connect: ") + std::strerror(errno));
  }
  ::close(fd);
  fd_ = -1;
  return false;
}

Status SocketTransport::Connected() {
  if (fd_ < 0) return error_;
  // The dialogue is many small request/reply turns; Nagle only adds latency to them.
  int one = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  error_ = Error();
  return {};
}

Status SocketTransport::Connect(const std::string& host, int port) {
  Close();
  host_ = host;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  std::string service = std::to_string(port);
  int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
  if (rc != 0) return Fail(ErrorCode::NotFound, "cannot resolve " + host + ": " + gai_strerror(rc));
  for (addrinfo* a = list; a; a = a->ai_next)
    if (Dial(a->ai_addr, a->ai_addrlen)) break;
  freeaddrinfo(list);
  return Connected();
}

Status SocketTransport::Connect(const std::string& host, const std::vector<std::string>& addresses,
                                int port) {
  Close();
  host_ = host;
  if (addresses.empty()) return Fail(ErrorCode::NotFound, "no address to connect to for " + host);
  // Every entry is checked before the first is dialled: a name slipped into the list must not
  // half-run an attempt and then be resolved by nobody knows whom.
  std::vector<sockaddr_storage> targets(addresses.size());
  for (size_t i = 0; i < addresses.size(); ++i) {
    sockaddr_storage& t = targets[i];
    auto* v4 = reinterpret_cast<sockaddr_in*>(&t);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&t);
    if (inet_pton(AF_INET, addresses[i].c_str(), &v4->sin_addr) == 1) {
      v4->sin_family = AF_INET;
      v4->sin_port = htons(static_cast<uint16_t>(port));
    } else if (inet_pton(AF_INET6, addresses[i].c_str(), &v6->sin6_addr) == 1) {
      v6->sin6_family = AF_INET6;
      v6->sin6_port = htons(static_cast<uint16_t>(port));
    } else {
      return Fail(ErrorCode::InvalidArgument,
                  "not an address: " + addresses[i] + " (for " + host + ")");
    }
  }
  for (const sockaddr_storage& t : targets) {
    const socklen_t length = t.ss_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    if (Dial(reinterpret_cast<const sockaddr*>(&t), length)) break;
  }
  return Connected();
}

Status SocketTransport::StartTls(bool verify) {
  if (fd_ < 0 || ssl_) return Fail(ErrorCode::Failed, "no plain connection to secure");
  ctx_ = SSL_CTX_new(TLS_client_method());
  if (!ctx_) return Fail(ErrorCode::Tls, "TLS setup: " + OpenSslError());
  SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
  if (verify) {
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);
    int ok = options_.caFile.empty()
                 ? SSL_CTX_set_default_verify_paths(ctx_)
                 : SSL_CTX_load_verify_locations(ctx_, options_.caFile.c_str(), nullptr);
    if (ok != 1)
      return Fail(ErrorCode::Tls,
                  "cannot load trusted certificates" +
                      (options_.caFile.empty() ? std::string() : " from " + options_.caFile) +
                      ": " + OpenSslError());
  } else {
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_NONE, nullptr);
  }
  ssl_ = SSL_new(ctx_);
  if (!ssl_ || SSL_set_fd(ssl_, fd_) != 1)
    return Fail(ErrorCode::Tls, "TLS setup: " + OpenSslError());
  if (IsIpLiteral(host_)) {
    // SNI carries only DNS names; an address literal is checked against the IP SANs.
    if (verify && X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), host_.c_str()) != 1)
      return Fail(ErrorCode::Tls, "TLS setup: bad address " + host_);
  } else {
    SSL_set_tlsext_host_name(ssl_, host_.c_str());
    if (verify && SSL_set1_host(ssl_, host_.c_str()) != 1)
      return Fail(ErrorCode::Tls, "TLS setup: bad host name " + host_);
  }
  auto deadline = std::chrono::steady_clock::now() + options_.ioTimeout;
  SigpipeGuard guard;
  for (;;) {
    int r = SSL_connect(ssl_);
    if (r == 1) break;
    int e = SSL_get_error(ssl_, r);
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if ((e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) && left.count() > 0) {
      if (!WaitFor(e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, left))
        return Fail(ErrorCode::Timeout, "TLS handshake timed out");
      continue;
    }
    long v = SSL_get_verify_result(ssl_);
    if (v != X509_V_OK)
      return Fail(ErrorCode::Tls, std::string("certificate verification failed: ") +
                                      X509_verify_cert_error_string(v));
    return Fail(ErrorCode::Tls, "TLS handshake failed: " + OpenSslError());
  }
  secure_ = true;
  return {};
}

Status SocketTransport::Write(std::string_view data) {
  if (fd_ < 0) return Fail(ErrorCode::Network, "not connected");
  SigpipeGuard guard;
  while (!data.empty()) {
    if (ssl_) {
      size_t written = 0;
      int r = SSL_write_ex(ssl_, data.data(), data.size(), &written);
      if (r == 1) {
        data.remove_prefix(written);
        continue;
      }
      int e = SSL_get_error(ssl_, r);
      if (e == SSL_ERROR_WANT_WRITE || e == SSL_ERROR_WANT_READ) {
        if (!WaitFor(e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, options_.ioTimeout))
          return error_;
        continue;
      }
      return Fail(ErrorCode::Tls, "TLS write failed: " + OpenSslError());
    }
    ssize_t w = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
    if (w > 0) {
      data.remove_prefix(static_cast<size_t>(w));
    } else if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!WaitFor(POLLOUT, options_.ioTimeout)) return error_;
    } else if (w < 0 && errno == EINTR) {
      continue;
    } else {
      return Fail(ErrorCode::Network, std::string("send: ") + std::strerror(errno));
    }
  }
  return {};
}

Result<size_t> SocketTransport::Read(char* buffer, size_t size) {
  return ReadWithin(buffer, size, std::nullopt);
}

Result<size_t> SocketTransport::ReadBefore(char* buffer, size_t size,
                                           std::chrono::steady_clock::time_point deadline) {
  return ReadWithin(buffer, size, deadline);
}

Result<size_t> SocketTransport::ReadWithin(
    char* buffer, size_t size, std::optional<std::chrono::steady_clock::time_point> deadline) {
  // A passed deadline still polls once with no wait: bytes that are there are taken.
  auto wait = [&] {
    if (!deadline) return options_.ioTimeout;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        *deadline - std::chrono::steady_clock::now());
    return std::clamp(left, std::chrono::milliseconds(0), options_.ioTimeout);
  };
  if (fd_ < 0) return Fail(ErrorCode::Network, "not connected");
  if (size == 0) return Fail(ErrorCode::InvalidArgument, "no room to read into");
  SigpipeGuard guard;  // a read may need to write (renegotiation, alerts)
  for (;;) {
    if (ssl_) {
      size_t got = 0;
      int r = SSL_read_ex(ssl_, buffer, size, &got);
      if (r == 1) return got;
      int e = SSL_get_error(ssl_, r);
      if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
        if (!WaitFor(e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, wait())) return error_;
        continue;
      }
      if (e == SSL_ERROR_ZERO_RETURN) return size_t{0};
      // A peer that drops the TCP connection without close_notify is a close, too.
      if (e == SSL_ERROR_SYSCALL && ERR_peek_error() == 0) return size_t{0};
      return Fail(ErrorCode::Tls, "TLS read failed: " + OpenSslError());
    }
    ssize_t r = ::recv(fd_, buffer, size, 0);
    if (r >= 0) return static_cast<size_t>(r);
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (!WaitFor(POLLIN, wait())) return error_;
      continue;
    }
    if (errno == EINTR) continue;
    if (errno == ECONNRESET) return size_t{0};
    return Fail(ErrorCode::Network, std::string("recv: ") + std::strerror(errno));
  }
}

void SocketTransport::Close() {
  if (ssl_) {
    // Best effort only: a close_notify to a peer that is gone must not block or fail us.
    if (secure_) {
      SigpipeGuard guard;
      SSL_shutdown(ssl_);
    }
    SSL_free(ssl_);
    ssl_ = nullptr;
  }
  if (ctx_) {
    SSL_CTX_free(ctx_);
    ctx_ = nullptr;
  }
  secure_ = false;
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

}  // namespace dtl
