// The reply time-out bounds a whole SMTP reply, not each read: peers on loopback that send their
// replies a few bytes at a time, each byte well inside the time-out, are cut off once the reply
// has taken the time-out in all, by the mail sender and by `dtl test-server`.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "mail/SmtpClient.h"
#include "support/LoopbackPeer.h"
#include "support/TestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Reads the client's lines until it hangs up.
void DrainUntilClosed(int fd) {
  std::string buf;
  while (dtltest::ReadUntil(fd, buf, "\n")) {
  }
}

dtl::SmtpSettings Local(int port, milliseconds replyTimeout) {
  dtl::SmtpSettings s;
  s.host = "127.0.0.1";
  s.port = port;
  s.localHostName = "client.test";
  s.connectTimeout = milliseconds(5000);
  s.replyTimeout = replyTimeout;
  return s;
}

bool Logged(const dtl::SmtpClient& c, const std::string& text) {
  const auto errors = c.LastLog().Errors();
  return std::find(errors.begin(), errors.end(), text) != errors.end();
}

// A greeting or an EHLO reply spread over more time than the time-out fails its step soon after
// the time-out, however short each pause between bytes; a reply that arrives in pieces within
// the time-out still counts.
TEST(SmtpReplyDeadline, AReplyStillIncompleteAtTheTimeOutFailsItsStep) {
  const std::string endless(200, 'x');
  struct Case {
    const char* name;
    std::string greetingNow;  // sent at once
    std::string trickled;     // then one byte per gap
    milliseconds gap;
    bool ok;  // the step succeeds
  } cases[] = {
      {"greeting_trickled_a_byte_at_a_time", "", "220 slow " + endless + "\r\n", milliseconds(100),
       false},
      {"endless_continuation_lines_after_ehlo", "220 hi\r\n",
       [] {
         std::string lines;
         for (int i = 0; i < 40; ++i) lines += "250-x\r\n";
         return lines + "250 done\r\n";
       }(),
       milliseconds(30), false},
      {"greeting_in_pieces_within_the_time_out", "", "220 hi\r\n", milliseconds(50), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const bool ehlo = !c.greetingNow.empty();
    dtltest::LoopbackPeer peer([&](int fd) {
      dtltest::SendAll(fd, c.greetingNow);
      if (ehlo) {
        std::string buf;
        if (!dtltest::ReadUntil(fd, buf, "\r\n")) return false;  // EHLO
      }
      if (dtltest::SendTrickled(fd, c.trickled, c.gap)) DrainUntilClosed(fd);
      return false;
    });
    dtl::SmtpClient client(Local(peer.port(), milliseconds(1000)));
    const auto start = Clock::now();
    const bool ok = ehlo ? client.ProbeSizeLimit().ok() : client.VerifySmtpConnection().ok();
    const auto took = Clock::now() - start;
    peer.Join();
    EXPECT_EQ(ok, c.ok);
    if (c.ok) continue;
    EXPECT_TRUE(Logged(client, "No complete reply within 1 s"));
    EXPECT_LT(took, std::chrono::seconds(3)) << "the time-out bounds the whole reply";
    EXPECT_GE(took, milliseconds(900));
  }
}

// The trickling greeting of the report: `dtl test-server --timeout 2` against a server that
// greets one byte a second says "Failure." within a few seconds and names the time-out, where
// it used to wait for the whole greeting and say "Success.".
TEST(SmtpReplyDeadline, TestServerGivesUpOnAGreetingTrickledAByteASecond) {
  std::atomic<bool> done{false};
  dtltest::LoopbackPeer peer([&](int fd) {
    if (dtltest::SendTrickled(fd, "220 slow.example ESMTP ready\r\n", milliseconds(1000)))
      DrainUntilClosed(fd);
    done = true;
    return false;
  });
  const auto start = Clock::now();
  const dtltest::DtlResult r =
      dtltest::RunDtl("test-server 127.0.0.1 --timeout 2 --port " + std::to_string(peer.port()));
  const auto took = Clock::now() - start;
  EXPECT_EQ(r.status, 1) << r.all();
  EXPECT_EQ(r.out, "Failure.\n");
  EXPECT_NE(r.err.find("dtl test-server: No complete reply within 2 s\n"), std::string::npos)
      << r.err;
  EXPECT_LT(took, std::chrono::seconds(6));
  peer.Join();
  EXPECT_TRUE(done);
}

}  // namespace
