// TCP connection with time-outs, optionally wrapped in an OpenSSL TLS client session.
//
// Call order: Connect(), then optionally StartTls(), then Write()/Read() in any order, then
// Close() (the destructor closes too). The socket is non-blocking underneath; every wait is a
// poll() bounded by the time-outs below, so a silent or trickling peer cannot hold the caller
// longer than one time-out per call.
//
// Certificates: with verification on, the peer must present a chain to the trusted CAs and a
// certificate naming the host given to Connect() (DNS name, or IP address for a literal); the
// name is also sent as SNI, also when the connection went to addresses resolved elsewhere. The
// trusted CAs are the system store, or only the PEM bundle in `caFile` when that is set.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "mail/Transport.h"

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

namespace dtl {

struct SocketOptions {
  std::chrono::milliseconds connectTimeout{30000};
  std::chrono::milliseconds ioTimeout{120000};  // per read, per write chunk, per handshake
  std::string caFile;                           // PEM bundle; empty = system CAs
};

// The CA bundle a mail connection trusts: `configured` when set, else the bundle named by the
// DTL_CA_FILE environment variable, else "" (the system CAs).
std::string TrustedCaFile(std::string configured);

class SocketTransport final : public Transport {
 public:
  explicit SocketTransport(SocketOptions options);
  ~SocketTransport() override;
  SocketTransport(const SocketTransport&) = delete;
  SocketTransport& operator=(const SocketTransport&) = delete;

  // Resolves `host` and connects to the first address that answers within the connect
  // time-out. Fails when none does (NotFound when the name does not resolve, else the last
  // address's failure).
  Status Connect(const std::string& host, int port);

  // Connects to the first of `addresses` (IPv4 or IPv6 literals, tried in the order given) that
  // answers within the connect time-out, without resolving anything. `host` still names the
  // peer: it is the name TLS sends and checks the certificate against. Fails InvalidArgument for
  // an entry that is not an address literal (nothing is dialled then), NotFound when the list
  // is empty, else with the last address's failure.
  Status Connect(const std::string& host, const std::vector<std::string>& addresses, int port);

  Status Write(std::string_view data) override;
  Result<size_t> Read(char* buffer, size_t size) override;
  Result<size_t> ReadBefore(char* buffer, size_t size,
                            std::chrono::steady_clock::time_point deadline) override;
  Status StartTls(bool verify) override;
  bool Secure() const override { return ssl_ != nullptr && secure_; }
  void Close() override;

 private:
  bool WaitFor(short events, std::chrono::milliseconds timeout);
  // One attempt at one address; on success fd_ holds the connected socket.
  bool Dial(const sockaddr* address, socklen_t length);
  Status Connected();
  // Read() and ReadBefore(): each wait is the I/O time-out, cut short at `deadline` if given.
  Result<size_t> ReadWithin(char* buffer, size_t size,
                            std::optional<std::chrono::steady_clock::time_point> deadline);
  // Records the failure and gives it back, so a failing path can `return Fail(...)`.
  Error Fail(ErrorCode code, std::string text);

  SocketOptions options_;
  int fd_ = -1;
  std::string host_;
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  bool secure_ = false;
  Error error_;  // the latest failure
};

}  // namespace dtl
