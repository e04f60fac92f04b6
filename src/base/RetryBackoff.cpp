#include "base/RetryBackoff.h"

#include <condition_variable>
#include <mutex>

namespace dtl {

std::chrono::milliseconds RetryBackoff::NextDelay() {
  ++failures_;
  if (failures_ == 1) return std::chrono::milliseconds(0);
  auto delay = first_;
  // Doubling stops at the cap, so no count of failures can overflow the delay.
  for (int i = 2; i < failures_ && delay < cap_; ++i) delay *= 2;
  return delay < cap_ ? delay : cap_;
}

bool WaitUnlessStopped(std::chrono::milliseconds duration, std::stop_token stop) {
  std::mutex mutex;
  std::condition_variable_any wake;
  std::unique_lock<std::mutex> lock(mutex);
  // wait_for gives the predicate's value on both endings, so the stop is asked directly.
  wake.wait_for(lock, stop, duration, [] { return false; });
  return !stop.stop_requested();
}

std::string RetryStatus(std::string_view reason, std::chrono::milliseconds wait) {
  std::string text(reason);
  while (!text.empty() &&
         (text.back() == '.' || text.back() == ' ' || text.back() == '\n' || text.back() == '\r'))
    text.pop_back();
  auto seconds = std::chrono::duration_cast<std::chrono::seconds>(wait).count();
  if (seconds <= 0) return text + " \u2014 trying again now";
  return text + " \u2014 trying again in " + std::to_string(seconds) + " s";
}

}  // namespace dtl
