// TCP connection with time-outs, optionally wrapped in an OpenSSL TLS client session.
//
// Call order: Connect(), then optionally StartTls(), then Write()/Read() in any order, then
// Close() (the destructor closes too). The socket is non-blocking underneath; every wait is a
// poll() bounded by the time-outs below, so a silent or trickling peer cannot hold the caller
// longer than one time-out per call.
//
// Certificates: with verification on, the peer must present a chain to the trusted CAs and a
// certificate naming the host given to Connect() (DNS name, or IP address for a literal); the
// name is also sent as SNI. The trusted CAs are the system store, or only the PEM bundle in
// `caFile` when that is set.
#pragma once

#include <chrono>
#include <string>

#include "mail/Transport.h"

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

namespace dtl {

struct SocketOptions {
  std::chrono::milliseconds connectTimeout{30000};
  std::chrono::milliseconds ioTimeout{120000};  // per read, per write chunk, per handshake
  std::string caFile;                           // PEM bundle; empty = system CAs
};

class SocketTransport final : public Transport {
 public:
  explicit SocketTransport(SocketOptions options);
  ~SocketTransport() override;
  SocketTransport(const SocketTransport&) = delete;
  SocketTransport& operator=(const SocketTransport&) = delete;

  // Resolves `host` and connects to the first address that answers within the connect
  // time-out. False with LastError() set when none does.
  bool Connect(const std::string& host, int port);

  bool Write(std::string_view data) override;
  long Read(char* buffer, size_t size) override;
  bool StartTls(bool verify) override;
  bool Secure() const override { return ssl_ != nullptr && secure_; }
  void Close() override;
  std::string LastError() const override { return error_; }

 private:
  bool WaitFor(short events, std::chrono::milliseconds timeout);
  void Fail(std::string text);

  SocketOptions options_;
  int fd_ = -1;
  std::string host_;
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  bool secure_ = false;
  std::string error_;
};

}  // namespace dtl
