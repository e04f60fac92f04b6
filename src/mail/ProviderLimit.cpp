#include "mail/ProviderLimit.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>

#include "base/SettingsStore.h"

namespace dtl {

namespace {

// A server's text is only read this far: the words that matter come first, and nothing the
// peer sends can make the scan costly.
constexpr size_t kReadLimit = 2048;
// The reply as a status line shows it.
constexpr size_t kShownLimit = 200;
// A server cannot park the run for longer than this, whatever time it names.
constexpr std::time_t kLongestPause = 48 * 3600;

std::string Lower(std::string_view s) {
  std::string out(s.substr(0, std::min(s.size(), kReadLimit)));
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The enhanced status code a reply's text opens with ("5.4.5"), or empty.
std::string_view EnhancedCode(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  const size_t end = std::min(text.find(' '), text.size());
  const std::string_view token = text.substr(0, end);
  int dots = 0;
  for (char c : token) {
    if (c == '.')
      ++dots;
    else if (!IsDigit(c))
      return {};
  }
  return dots == 2 && token.size() >= 5 && IsDigit(token.front()) ? token : std::string_view{};
}

enum class Verdict { NotALimit, Quota, Rate };

// One rule: a reply matches when its enhanced code fits `enhanced` (a whole code, or a prefix
// ending in '.'; empty fits any reply) and its text holds any of `words` (none listed: any
// text). The first matching row decides; no row matching means an ordinary failure.
struct SmtpRule {
  std::string_view enhanced;
  std::array<std::string_view, 12> words;
  Verdict verdict;
};

const SmtpRule kSmtpRules[] = {
    // The recipient's mailbox is full (452 4.2.2 "over quota"): a quota, but the recipient's,
    // which no pause of ours changes.
    {"4.2.2", {}, Verdict::NotALimit},
    {"5.2.2", {}, Verdict::NotALimit},
    {"",
     {"mailbox full", "mailbox is full", "mailbox size limit", "recipient's mailbox",
      "mailbox over quota", "mailbox quota", "storage quota", "disk quota"},
     Verdict::NotALimit},
    // A message larger than the server takes is refused on every retry; the engine says so.
    {"5.3.4", {}, Verdict::NotALimit},
    {"5.2.3", {}, Verdict::NotALimit},
    // Greylisting asks for a retry within minutes: the ordinary back-off does exactly that.
    {"", {"greylist", "graylist", "grey-list", "gray-list"}, Verdict::NotALimit},
    // A forwarding loop ("too many hops") is no limit of the account.
    {"", {"hops", "hop count"}, Verdict::NotALimit},
    // Gmail: "550 5.4.5 Daily user sending quota exceeded" (also "... sending limit ...").
    {"5.4.5", {}, Verdict::Quota},
    // Gmail and Postfix: "452 4.5.3 Your message has too many recipients": the server takes
    // the rest in a later message
    // (before the words: Gmail's text goes on about its "sending limits").
    {"4.5.3", {}, Verdict::Rate},
    {"5.5.3", {"too many recipients"}, Verdict::Rate},
    // Outlook.com / Microsoft 365: "554 5.2.0 STOREDRV.Submission.Exception:
    // SubmissionQuotaExceededException" or "... Actual verdict is RefuseQuota"; Amazon SES:
    // "454 Throttling failure: Daily message quota exceeded"; most others say "quota" too.
    {"", {"quota"}, Verdict::Quota},
    // Yahoo, GMX, Zoho and hosting providers name a sending limit per day or hour.
    {"",
     {"sending limit", "daily limit", "hourly limit", "message limit", "messages per day",
      "messages per hour", "limit for sending", "send limit", "outgoing limit",
      "recipient limit per day"},
     Verdict::Quota},
    // Throttling in so many words: Gmail "421 4.7.28 ... unusual rate", Amazon SES "454
    // Throttling failure: Maximum sending rate exceeded", Microsoft "432 4.3.2 ... sender
    // thread limit exceeded", Yahoo "421 4.7.0 [TSS04] ... temporarily deferred", relays
    // "451 4.7.1 throttled", "450 4.7.1 rate limit exceeded".
    {"",
     {"rate limit", "ratelimit", "rate-limit", "throttl", "too many", "sending rate",
      "unusual rate", "rate exceeded", "temporarily deferred", "thread limit", "backoff time",
      "slow down"},
     Verdict::Rate},
    // Gmail's plain "421 4.7.0 Try again later, closing connection.": a security/policy class
    // deferral with no more words is the provider holding the account back for a while.
    {"4.7.", {"try again later", "try later", "retry later"}, Verdict::Rate},
};

struct ImapRule {
  std::string_view code;  // response code atom (upper case); empty fits any
  std::array<std::string_view, 8> words;
  Verdict verdict;
};

const ImapRule kImapRules[] = {
    // A mailbox over its quota refuses APPEND and COPY: nothing a reader pauses for.
    {"OVERQUOTA", {}, Verdict::NotALimit},
    // Gmail: "NO [ALERT] Account exceeded command or bandwidth limits": a daily allowance.
    {"", {"bandwidth", "download limit", "daily limit", "quota"}, Verdict::Quota},
    // RFC 5530's LIMIT and UNAVAILABLE: the server is holding this client back for now.
    {"LIMIT", {}, Verdict::Rate},
    {"UNAVAILABLE", {}, Verdict::Rate},
    // Microsoft: "NO Request is throttled. Suggested Backoff Time: 92415 milliseconds";
    // others: "BYE Too many simultaneous connections", "NO Too many login failures".
    {"",
     {"throttl", "too many", "backoff time", "rate limit", "exceeded command", "try again later"},
     Verdict::Rate},
};

bool HasAny(const std::string& lower, const auto& words) {
  for (std::string_view w : words)
    if (!w.empty() && lower.find(w) != std::string::npos) return true;
  return false;
}

bool NoWords(const auto& words) {
  return std::all_of(words.begin(), words.end(), [](std::string_view w) { return w.empty(); });
}

bool EnhancedFits(std::string_view rule, std::string_view code) {
  if (rule.empty()) return true;
  if (code.empty()) return false;
  if (rule.back() == '.') return code.starts_with(rule);
  return code == rule;
}

// The unit word at `text[at...]` in seconds (0: none); `used` gets its length.
int64_t UnitSeconds(std::string_view text, size_t at, size_t& used, bool& millis) {
  struct Unit {
    std::string_view word;
    int64_t seconds;
    bool millis;
  };
  static constexpr Unit kUnits[] = {
      {"milliseconds", 1, true}, {"millisecond", 1, true}, {"msecs", 1, true}, {"ms", 1, true},
      {"seconds", 1, false},     {"second", 1, false},     {"secs", 1, false}, {"sec", 1, false},
      {"minutes", 60, false},    {"minute", 60, false},    {"mins", 60, false}, {"min", 60, false},
      {"hours", 3600, false},    {"hour", 3600, false},    {"hrs", 3600, false}, {"hr", 3600, false},
      {"days", 86400, false},    {"day", 86400, false},    {"s", 1, false},    {"m", 60, false},
      {"h", 3600, false},        {"d", 86400, false},
  };
  const std::string_view rest = text.substr(at);
  for (const Unit& u : kUnits) {
    if (!rest.starts_with(u.word)) continue;
    // "5 mins" but not "5 messages": the unit ends the word.
    const size_t end = u.word.size();
    if (end < rest.size() && std::isalpha(static_cast<unsigned char>(rest[end]))) continue;
    used = end;
    millis = u.millis;
    return u.seconds;
  }
  return 0;
}

// True when one of `cues` ends within `span` characters before `at`: a number is only taken
// for a wait when the text around it speaks of waiting.
bool CueBefore(std::string_view text, size_t at, size_t span) {
  static constexpr std::string_view kCues[] = {"again", "retry", "wait",  "reset",   "resume",
                                               "later", "backoff", "back off", "until", "after"};
  const size_t from = at > span ? at - span : 0;
  const std::string_view window = text.substr(from, at - from);
  for (std::string_view c : kCues)
    if (window.find(c) != std::string_view::npos) return true;
  return false;
}

std::optional<int64_t> Number(std::string_view text, size_t& at) {
  const size_t start = at;
  int64_t n = 0;
  while (at < text.size() && IsDigit(text[at]) && at - start < 12) n = n * 10 + (text[at++] - '0');
  if (at == start) return std::nullopt;
  return n;
}

// "2026-12-07 14:05[:30][ utc|gmt|z|+01:00]" at `at`, as seconds since the epoch.
std::optional<std::time_t> DateTimeAt(std::string_view text, size_t at) {
  auto fixed = [&](size_t pos, size_t len) -> std::optional<int> {
    if (pos + len > text.size()) return std::nullopt;
    int v = 0;
    for (size_t i = 0; i < len; ++i) {
      if (!IsDigit(text[pos + i])) return std::nullopt;
      v = v * 10 + (text[pos + i] - '0');
    }
    return v;
  };
  auto sep = [&](size_t pos, std::string_view allowed) {
    return pos < text.size() && allowed.find(text[pos]) != std::string_view::npos;
  };
  const auto year = fixed(at, 4), month = fixed(at + 5, 2), day = fixed(at + 8, 2);
  const auto hour = fixed(at + 11, 2), minute = fixed(at + 14, 2);
  if (!year || !month || !day || !hour || !minute || !sep(at + 4, "-") || !sep(at + 7, "-") ||
      !sep(at + 10, " t") || !sep(at + 13, ":"))
    return std::nullopt;
  if (*month < 1 || *month > 12 || *day < 1 || *day > 31 || *hour > 23 || *minute > 59)
    return std::nullopt;
  size_t pos = at + 16;
  int second = 0;
  if (sep(pos, ":")) {
    const auto s = fixed(pos + 1, 2);
    if (!s || *s > 60) return std::nullopt;
    second = *s;
    pos += 3;
  }
  std::tm tm{};
  tm.tm_year = *year - 1900;
  tm.tm_mon = *month - 1;
  tm.tm_mday = *day;
  tm.tm_hour = *hour;
  tm.tm_min = *minute;
  tm.tm_sec = second;
  std::time_t t = timegm(&tm);
  // A zone offset moves the time to UTC; a name of UTC or none leaves it.
  while (pos < text.size() && text[pos] == ' ') ++pos;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    const int sign = text[pos] == '+' ? 1 : -1;
    const auto hh = fixed(pos + 1, 2);
    const size_t mmAt = sep(pos + 3, ":") ? pos + 4 : pos + 3;
    const auto mm = fixed(mmAt, 2);
    if (hh && mm && *hh <= 14 && *mm <= 59) t -= sign * (*hh * 3600 + *mm * 60);
  }
  return t;
}

std::optional<ProviderLimit> Limit(Verdict verdict, std::string shown, std::string_view text,
                                   std::time_t now, const LimitPauses& pauses) {
  if (verdict == Verdict::NotALimit) return std::nullopt;
  ProviderLimit limit;
  limit.kind = verdict == Verdict::Quota ? LimitKind::Quota : LimitKind::Rate;
  if (const auto stated = StatedResumeTime(text, now)) {
    limit.until = *stated;
    limit.stated = true;
  } else {
    const auto pause = limit.kind == LimitKind::Quota ? pauses.quota : pauses.rate;
    limit.until = now + static_cast<std::time_t>(pause.count());
  }
  if (shown.size() > kShownLimit) shown = shown.substr(0, kShownLimit - 3) + "...";
  // Control characters from the peer never reach a status line or a terminal.
  for (char& c : shown)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  limit.reply = std::move(shown);
  return limit;
}

std::string Paused(std::string_view what, std::string_view reason, std::time_t until,
                   std::time_t now) {
  std::string s(what);
  s += " paused: ";
  s += reason;
  s += ". Going on at " + LocalResumeTime(until, now) + ".";
  return s;
}

}  // namespace

LimitPauses LimitPausesFrom(const SettingsStore& settings) {
  LimitPauses p;
  p.rate = std::chrono::seconds(settings.GetDword("RateLimitPause"));
  p.quota = std::chrono::seconds(settings.GetDword("QuotaPause"));
  return p;
}

std::optional<std::time_t> StatedResumeTime(std::string_view original, std::time_t now) {
  const std::string text = Lower(original);
  auto clamp = [&](int64_t seconds) -> std::time_t {
    return now + static_cast<std::time_t>(std::clamp<int64_t>(seconds, 1, kLongestPause));
  };
  // Microsoft's "Suggested Backoff Time: 92415 milliseconds".
  if (size_t at = text.find("backoff time:"); at != std::string::npos) {
    at += 13;
    while (at < text.size() && text[at] == ' ') ++at;
    if (const auto n = Number(text, at)) {
      while (at < text.size() && text[at] == ' ') ++at;
      size_t used = 0;
      bool millis = false;
      const int64_t unit = UnitSeconds(text, at, used, millis);
      if (unit > 0) return clamp(millis ? (*n + 999) / 1000 : *n * unit);
    }
  }
  for (size_t at = 0; at < text.size(); ++at) {
    // A date and time after "retry after", "until", "try again at".
    if (at + 16 <= text.size() && IsDigit(text[at]) && (at == 0 || !IsDigit(text[at - 1])) &&
        CueBefore(text, at, 24)) {
      if (const auto t = DateTimeAt(text, at)) {
        const int64_t wait = static_cast<int64_t>(*t) - static_cast<int64_t>(now);
        return clamp(wait);
      }
    }
    // "in 30 minutes", "after 2 hours", "in about 1 hour".
    for (std::string_view lead : {"in ", "after ", "for "}) {
      if (text.compare(at, lead.size(), lead) != 0) continue;
      if (at > 0 && std::isalpha(static_cast<unsigned char>(text[at - 1]))) continue;
      size_t pos = at + lead.size();
      for (std::string_view filler : {"about ", "approximately ", "approx. ", "roughly "})
        if (text.compare(pos, filler.size(), filler) == 0) pos += filler.size();
      const auto n = Number(text, pos);
      if (!n) continue;
      while (pos < text.size() && text[pos] == ' ') ++pos;
      size_t used = 0;
      bool millis = false;
      const int64_t unit = UnitSeconds(text, pos, used, millis);
      if (unit == 0 || !CueBefore(text, at + 1, 32)) continue;
      return clamp(millis ? (*n + 999) / 1000 : *n * unit);
    }
  }
  return std::nullopt;
}

std::optional<ProviderLimit> SmtpProviderLimit(int code, std::string_view text, std::time_t now,
                                               const LimitPauses& pauses) {
  if (code < 400 || code > 599) return std::nullopt;
  const std::string lower = Lower(text);
  const std::string_view enhanced = EnhancedCode(text);
  for (const SmtpRule& rule : kSmtpRules) {
    if (!EnhancedFits(rule.enhanced, enhanced)) continue;
    if (!NoWords(rule.words) && !HasAny(lower, rule.words)) continue;
    return Limit(rule.verdict, std::to_string(code) + " " + std::string(text), text, now, pauses);
  }
  return std::nullopt;
}

std::optional<ProviderLimit> ImapProviderLimit(std::string_view status, std::string_view code,
                                               std::string_view text, std::time_t now,
                                               const LimitPauses& pauses) {
  if (status != "NO" && status != "BAD" && status != "BYE") return std::nullopt;
  std::string upperCode(code);
  for (char& c : upperCode) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const std::string lower = Lower(text);
  for (const ImapRule& rule : kImapRules) {
    if (!rule.code.empty() && rule.code != upperCode) continue;
    if (!NoWords(rule.words) && !HasAny(lower, rule.words)) continue;
    std::string shown(status);
    if (!code.empty()) shown += " [" + upperCode + "]";
    if (!text.empty()) shown += " " + std::string(text);
    return Limit(rule.verdict, std::move(shown), text, now, pauses);
  }
  return std::nullopt;
}

std::string SendLimitReason(const ProviderLimit& limit) {
  const char* what = limit.kind == LimitKind::Quota
                         ? "the account's sending quota is used up"
                         : "the server limits how fast this account may send";
  return std::string(what) + " (" + limit.reply + ")";
}

std::string ReceiveLimitReason(const ProviderLimit& limit) {
  const char* what = limit.kind == LimitKind::Quota
                         ? "the account's download allowance is used up"
                         : "the server is throttling this account";
  return std::string(what) + " (" + limit.reply + ")";
}

std::string LocalResumeTime(std::time_t until, std::time_t now) {
  std::tm at{}, today{};
  localtime_r(&until, &at);
  localtime_r(&now, &today);
  const bool sameDay = at.tm_year == today.tm_year && at.tm_yday == today.tm_yday;
  const char* format = !sameDay ? "%Y-%m-%d %H:%M" : until - now < 120 ? "%H:%M:%S" : "%H:%M";
  char buf[64] = {};
  std::strftime(buf, sizeof buf, format, &at);
  return buf;
}

std::string SendPausedStatus(std::string_view reason, std::time_t until, std::time_t now) {
  return Paused("Sending", reason, until, now);
}

std::string ReceivePausedStatus(std::string_view reason, std::time_t until, std::time_t now) {
  return Paused("Receiving", reason, until, now);
}

}  // namespace dtl
