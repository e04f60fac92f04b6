// The one way the core reports failure: a function that can fail returns a Result<T> (or a
// Status when it has no value to give), which holds either the value or an Error with a code a
// caller can act on and a message a person can read. Messages are the texts the program shows
// or logs, kept word for word; the code only sorts them.
//
// Cancellation is not an error of its own kind: a job asked to stop through its
// std::stop_token returns ErrorCode::Cancelled, so callers can tell "stopped" from "failed".
#pragma once

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace dtl {

enum class ErrorCode {
  Failed,           // nothing more specific to say
  InvalidArgument,  // the caller's input breaks a rule (bad name, size out of range, ...)
  NotFound,         // a file, folder, program, record or host that is not there
  Io,               // the system refused a read, write, open or rename; `system` holds errno
  Network,          // connecting, sending or receiving failed
  Timeout,          // a peer did not answer in time
  Protocol,         // a peer answered something the protocol does not allow
  Refused,          // a peer answered with a refusal (an SMTP 4xx/5xx, an HTTP error status)
  Tls,              // TLS could not be set up or a certificate was not accepted
  Auth,             // a login was refused
  Corrupt,          // stored or received data is damaged (CRC, padding, structure)
  Unsupported,      // a form or method this program does not handle
  Cancelled,        // the job was asked to stop
};

struct Error {
  ErrorCode code = ErrorCode::Failed;
  std::string message;
  int system = 0;  // errno, or a library's own code (CURLcode, SMTP reply code); 0 when none

  Error() = default;
  Error(ErrorCode c, std::string text, int sys = 0)
      : code(c), message(std::move(text)), system(sys) {}

  // "WHAT: strerror(err)", code Io (NotFound for ENOENT).
  static Error FromErrno(const std::string& what, int err = errno) {
    return Error(err == ENOENT ? ErrorCode::NotFound : ErrorCode::Io,
                 what + ": " + std::strerror(err), err);
  }
  static Error Cancelled(std::string text = "Cancelled") {
    return Error(ErrorCode::Cancelled, std::move(text));
  }
};

// Either a T or an Error. Test it like a pointer; value() and error() may only be called on the
// side it holds.
template <class T>
class [[nodiscard]] Result {
  static_assert(!std::is_same_v<std::decay_t<T>, Error>,
                "a Result cannot hold an Error as its value");

 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

  const Error& error() const { return std::get<1>(v_); }
  Error& error() { return std::get<1>(v_); }

 private:
  std::variant<T, Error> v_;
};

// Success or an Error, for work that has no value to give back.
template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::move(error)) {}

  bool ok() const { return !error_; }
  explicit operator bool() const { return ok(); }
  const Error& error() const { return *error_; }
  Error& error() { return *error_; }

 private:
  std::optional<Error> error_;
};

using Status = Result<void>;

}  // namespace dtl
