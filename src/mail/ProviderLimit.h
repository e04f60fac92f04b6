// Provider limits: telling a server's "this account may not send (or fetch) any more for now"
// from an ordinary failure, and when the work may go on.
//
// A mail provider that counts what an account sends answers with a refusal like any other
// ("550 5.4.5 Daily user sending quota exceeded.", "421 4.7.0 Try again later, closing
// connection.", "NO [LIMIT] ..."). Retrying such an answer with the ordinary back-off keeps
// knocking on a closed door and can get the account locked; it wants a pause of its own. The
// rules that recognise those answers live in one table in ProviderLimit.cpp.
#pragma once

#include <chrono>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace dtl {

class SettingsStore;

enum class LimitKind {
  Quota,  // the account's sending (or transfer) allowance is used up for a while
  Rate,   // too much too fast: the server throttles, or takes fewer recipients per message
};

// A limit the server said was hit.
struct ProviderLimit {
  LimitKind kind = LimitKind::Rate;
  // When the work goes on: the time the server named, else now plus the configured pause.
  std::time_t until = 0;
  bool stated = false;  // the server named the time (or the wait)
  // The server's answer as one line ("550 5.4.5 Daily user sending quota exceeded."), cut to a
  // length fit for a status line.
  std::string reply;
};

// The pauses used when the server names no time (the settings RateLimitPause and QuotaPause).
struct LimitPauses {
  std::chrono::seconds rate{900};
  std::chrono::seconds quota{3600};
};
// Reads RateLimitPause and QuotaPause (the store keeps them within their ranges).
LimitPauses LimitPausesFrom(const SettingsStore& settings);

// Whether the SMTP reply `code` with `text` (its lines joined by blanks, the enhanced status
// code first where the server sends one) says a provider limit was hit, and until when,
// counted from `now`. Empty for every other answer, including a refused recipient, a full
// mailbox, a message too large, greylisting or a server shutting down: those keep their
// ordinary handling.
std::optional<ProviderLimit> SmtpProviderLimit(int code, std::string_view text, std::time_t now,
                                               const LimitPauses& pauses);

// The same for an IMAP tagged or untagged answer: `status` is "NO", "BAD" or "BYE", `code` the
// response code's atom without brackets ("LIMIT", "UNAVAILABLE", or empty), `text` the rest.
std::optional<ProviderLimit> ImapProviderLimit(std::string_view status, std::string_view code,
                                               std::string_view text, std::time_t now,
                                               const LimitPauses& pauses);

// The time a server names for going on in `text`, counted from `now`: "try again in 30
// minutes", "retry after 2026-12-07 14:05 UTC" (a time without zone is taken as UTC),
// "Suggested Backoff Time: 92415 milliseconds". Empty when it names none.
std::optional<std::time_t> StatedResumeTime(std::string_view text, std::time_t now);

// What was hit, for a status line: "the account's sending quota is used up (550 5.4.5 ...)".
std::string SendLimitReason(const ProviderLimit& limit);
std::string ReceiveLimitReason(const ProviderLimit& limit);

// "14:05" in the user's local time; with the date when `until` is not today, with the seconds
// when the wait is shorter than two minutes.
std::string LocalResumeTime(std::time_t until, std::time_t now);

// "Sending paused: REASON. Going on at 14:05." and the receiving twin.
std::string SendPausedStatus(std::string_view reason, std::time_t until, std::time_t now);
std::string ReceivePausedStatus(std::string_view reason, std::time_t until, std::time_t now);

}  // namespace dtl
