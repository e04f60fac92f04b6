// The byte stream the SMTP dialogue talks over. SocketTransport is the real one (TCP, optionally
// TLS); the interface keeps the protocol code free of socket and OpenSSL details.
//
// Every call is bounded in time by the transport's own time-out; none blocks for ever.
// Not thread-safe: one transport per connection, used by one thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace dtl {

class Transport {
 public:
  virtual ~Transport() = default;

  // Writes all of `data`. False on a closed connection, an error or a time-out (then the
  // transport is no longer usable).
  virtual bool Write(std::string_view data) = 0;

  // Reads what is available, at most `size` bytes, waiting up to the reply time-out for the
  // first byte. Returns the count (> 0), 0 when the peer closed the connection, -1 on an error
  // or a time-out.
  virtual long Read(char* buffer, size_t size) = 0;

  // Runs a TLS client handshake on the open connection (used right after connecting for
  // implicit TLS, and after "220" to STARTTLS). With `verify` the peer's certificate must chain
  // to the trusted CAs and name the host connected to. False on any failure; the connection
  // must then be dropped (its state is unknown).
  virtual bool StartTls(bool verify) = 0;
  virtual bool Secure() const = 0;

  // Closes the connection (idempotent). After it Write/Read fail.
  virtual void Close() = 0;

  // A one-line description of the last failure, for the session log ("" when none).
  virtual std::string LastError() const = 0;
};

}  // namespace dtl
