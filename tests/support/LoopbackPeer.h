// A fake network peer for tests: a TCP listener on 127.0.0.1 whose thread hands each accepted
// connection to the test's `serve` function, plus the socket helpers such a function needs.
// The SMTP dialogue tests play a script per connection over it; the download tests answer
// HTTP requests from it.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace dtltest {

class LoopbackPeer {
 public:
  // `serve(fd)` runs on the peer's thread for each connection in turn (the fd is closed after
  // it); returning false stops accepting. Destroying the peer stops it too.
  explicit LoopbackPeer(std::function<bool(int fd)> serve) : serve_(std::move(serve)) {
    listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(listen_, 16);
    socklen_t len = sizeof a;
    getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] {
      for (bool more = true; more;) {
        int fd = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;
        more = serve_(fd);
        close(fd);
      }
    });
  }
  ~LoopbackPeer() {
    shutdown(listen_, SHUT_RDWR);
    Join();
    close(listen_);
  }
  LoopbackPeer(const LoopbackPeer&) = delete;
  LoopbackPeer& operator=(const LoopbackPeer&) = delete;

  int port() const { return port_; }
  std::string HostPort() const { return "127.0.0.1:" + std::to_string(port_); }
  // Waits until `serve` has returned false.
  void Join() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::function<bool(int)> serve_;
  int listen_ = -1;
  int port_ = 0;
  std::thread thread_;
};

// A loopback port where nothing listens, held for the object's life: bound but never listening,
// so a connection is refused at once. Taking the port of a closed listener instead races with
// every other process on the machine, which may be given that port meanwhile (a parallel test's
// fixture would then receive the "refused" connection).
class RefusingPort {
 public:
  RefusingPort() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0)
      port_ = ntohs(a.sin_port);
  }
  ~RefusingPort() {
    if (fd_ >= 0) close(fd_);
  }
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;

  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// Reads from `fd` into `buf` until it holds `delim`; returns what stands before it and leaves
// what follows in `buf`. nullopt when the other side closed first.
inline std::optional<std::string> ReadUntil(int fd, std::string& buf, std::string_view delim) {
  for (;;) {
    size_t at = buf.find(delim);
    if (at != std::string::npos) {
      std::string head = buf.substr(0, at);
      buf.erase(0, at + delim.size());
      return head;
    }
    char c[65536];
    ssize_t n = recv(fd, c, sizeof c, 0);
    if (n <= 0) return std::nullopt;
    buf.append(c, static_cast<size_t>(n));
  }
}

// Sends all of `bytes` unless the other side hung up (never a SIGPIPE for the test process).
inline bool SendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t w = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (w <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(w));
  }
  return true;
}

// Sends `bytes` one at a time, `gap` apart, as a peer that trickles does, until all are sent or
// the other side leaves; whatever the other side says meanwhile is read and dropped. True when
// every byte went out.
inline bool SendTrickled(int fd, std::string_view bytes, std::chrono::milliseconds gap) {
  using Clock = std::chrono::steady_clock;
  for (char c : bytes) {
    if (!SendAll(fd, std::string_view(&c, 1))) return false;
    const auto next = Clock::now() + gap;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now());
      if (left.count() <= 0) break;
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char sink[512];
      if (recv(fd, sink, sizeof sink, 0) <= 0) return false;  // the other side hung up
    }
  }
  return true;
}

}  // namespace dtltest
