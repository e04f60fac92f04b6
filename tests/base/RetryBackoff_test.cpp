#include "base/RetryBackoff.h"

#include <gtest/gtest.h>

#include <thread>

using namespace std::chrono_literals;

TEST(RetryBackoff, FirstRetryAtOnceThenDoublingFromOneSecondCappedAtAMinute) {
  dtl::RetryBackoff backoff;
  const long expected[] = {0, 1, 2, 4, 8, 16, 32, 60, 60, 60};
  for (long seconds : expected)
    EXPECT_EQ(backoff.NextDelay(), std::chrono::milliseconds(seconds * 1000)) << seconds;
  for (int i = 0; i < 1000; ++i) backoff.NextDelay();
  EXPECT_EQ(backoff.NextDelay(), 60s) << "a long outage never overflows the delay";
}

TEST(RetryBackoff, ASuccessStartsTheCountAgain) {
  dtl::RetryBackoff backoff;
  for (int i = 0; i < 5; ++i) backoff.NextDelay();
  backoff.Reset();
  EXPECT_EQ(backoff.NextDelay(), 0ms);
  EXPECT_EQ(backoff.NextDelay(), 1s);
}

TEST(RetryBackoff, StatusNamesTheReasonAndTheWait) {
  struct Row {
    const char* reason;
    std::chrono::milliseconds wait;
    const char* text;
  } rows[] = {
      {"Connection refused", 8s, "Connection refused \u2014 trying again in 8 s"},
      {"Connection refused.\r\n", 60s, "Connection refused \u2014 trying again in 60 s"},
      {"Source file is gone", 0ms, "Source file is gone \u2014 trying again now"},
  };
  for (const auto& row : rows) EXPECT_EQ(dtl::RetryStatus(row.reason, row.wait), row.text);
}

TEST(RetryBackoff, AStopEndsTheWaitAtOnce) {
  std::stop_source stop;
  auto started = std::chrono::steady_clock::now();
  std::jthread stopper([&] {
    std::this_thread::sleep_for(50ms);
    stop.request_stop();
  });
  EXPECT_FALSE(dtl::WaitUnlessStopped(60s, stop.get_token()));
  EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
  EXPECT_TRUE(dtl::WaitUnlessStopped(1ms, std::stop_source().get_token()));
}
