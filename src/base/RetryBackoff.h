#pragma once
// Pacing for work that is retried without end (a delivery, a piece that cannot be cut, a
// download): the first retry goes at once, later ones wait 1 s, 2 s, 4 s ... up to a minute,
// and a success starts the count again. Waits end at once when a stop is requested.
#include <chrono>
#include <stop_token>
#include <string>
#include <string_view>

namespace dtl {

class RetryBackoff {
 public:
  RetryBackoff(std::chrono::milliseconds first = std::chrono::seconds(1),
               std::chrono::milliseconds cap = std::chrono::seconds(60))
      : first_(first), cap_(cap) {}

  // Counts one more failure and returns how long to wait before the next attempt:
  // zero after the first failure, then first, 2*first, ... never more than cap.
  std::chrono::milliseconds NextDelay();

  // After a success: the next failure is retried at once again.
  void Reset() { failures_ = 0; }

  int failures() const { return failures_; }

 private:
  std::chrono::milliseconds first_;
  std::chrono::milliseconds cap_;
  int failures_ = 0;
};

// Sleeps for `duration` unless `stop` is requested first (it is woken by the request itself,
// not by polling). Returns false when the wait ended because of the stop.
bool WaitUnlessStopped(std::chrono::milliseconds duration, std::stop_token stop);

// The status text of a wait: "Connection refused — trying again in 8 s". Waits under a second
// are shown as "trying again now".
std::string RetryStatus(std::string_view reason, std::chrono::milliseconds wait);

}  // namespace dtl
