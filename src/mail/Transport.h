// The byte stream the SMTP dialogue talks over. SocketTransport is the real one (TCP, optionally
// TLS); the interface keeps the protocol code free of socket and OpenSSL details.
//
// Every call is bounded in time by the transport's own time-out; none blocks for ever. A failure
// comes back as the call's Status / Result: a one-line text for the session log (Timeout,
// Network, Tls, ...).
// Not thread-safe: one transport per connection, used by one thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

#include "base/Error.h"

namespace dtl {

class Transport {
 public:
  virtual ~Transport() = default;

  // Writes all of `data`. Fails on a closed connection, an error or a time-out (then the
  // transport is no longer usable).
  virtual Status Write(std::string_view data) = 0;

  // Reads what is available, at most `size` bytes, waiting up to the reply time-out for the
  // first byte. Gives the count (> 0), 0 when the peer closed the connection; fails on an error
  // or a time-out.
  virtual Result<size_t> Read(char* buffer, size_t size) = 0;

  // Reads as Read() does, but waits for the first byte no later than `deadline` either (a whole
  // reply shares one deadline, so a peer that trickles cannot stretch it one read at a time).
  // Bytes already waiting are taken even after the deadline; none then fails with Timeout. The
  // default is Read(), for transports that never wait (scripted replays).
  virtual Result<size_t> ReadBefore(char* buffer, size_t size,
                                    std::chrono::steady_clock::time_point deadline) {
    (void)deadline;
    return Read(buffer, size);
  }

  // Runs a TLS client handshake on the open connection (used right after connecting for
  // implicit TLS, and after "220" to STARTTLS). With `verify` the peer's certificate must chain
  // to the trusted CAs and name the host connected to. Fails on any failure; the connection
  // must then be dropped (its state is unknown).
  virtual Status StartTls(bool verify) = 0;
  virtual bool Secure() const = 0;

  // Closes the connection (idempotent). After it Write/Read fail.
  virtual void Close() = 0;
};

}  // namespace dtl
