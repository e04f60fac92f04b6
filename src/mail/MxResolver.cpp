#include "mail/MxResolver.h"

#include "mail/AdnsSession.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace dtl {

namespace {

constexpr std::size_t kMaxConfigBytes = 64 * 1024;
// A DNS name never exceeds 255 octets; anything longer in a record's text is not a host name.
constexpr std::size_t kMaxHostChars = 255;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool IsAddressLiteral(const std::string& host) {
  unsigned char buf[sizeof(in6_addr)];
  return inet_pton(AF_INET, host.c_str(), buf) == 1 || inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

}  // namespace

std::string MxDomainOf(const std::string& address) {
  std::size_t at = address.find('@');
  std::size_t begin = at == std::string::npos ? 0 : at + 1;
  std::size_t end = address.size();
  while (begin < end && IsBlank(address[begin])) ++begin;
  while (end > begin && IsBlank(address[end - 1])) --end;
  return address.substr(begin, end - begin);
}

MxResolver::MxResolver(std::optional<std::string> resolverConfig)
    : config_(std::move(resolverConfig)) {}

void MxResolver::Clear() {
  hosts_.clear();
  domain_.clear();
  cursor_ = 0;
  settled_ = false;
}

Result<std::string> MxResolver::Resolve(const std::string& address, bool lastAttemptFailed) {
  std::string domain = MxDomainOf(address);
  if (domain.empty()) {
    Clear();
    return Error(ErrorCode::InvalidArgument, "the domain is empty");
  }
  // DNS names are case-insensitive: "Example.COM" must not cost a second look-up or reset the
  // cursor in the middle of a run.
  bool same = !domain_.empty() && domain.size() == domain_.size() &&
              strncasecmp(domain.c_str(), domain_.c_str(), domain.size()) == 0;
  if (!same) {
    // A new domain starts from a fresh list and cursor: keeping the old hosts (or an old cursor
    // beyond the new list's end) would hand out another domain's exchanger.
    hosts_.clear();
    cursor_ = 0;
    domain_ = domain;
    LookUp();
    return Pick(false);
  }
  if (hosts_.empty() && !settled_) {
    // A time-out or a server failure says nothing about the domain: giving up on it for the
    // whole run would skip every later segment because of one lost packet.
    LookUp();
    return Pick(false);
  }
  return Pick(lastAttemptFailed);
}

Result<std::string> MxResolver::Pick(bool advance) {
  if (hosts_.empty()) {
    // The domain stays stored; only a definite answer (settled_) spares it a new look-up.
    cursor_ = 0;
    return lookUpError_;
  }
  if (cursor_ >= hosts_.size()) cursor_ = 0;
  std::string host = hosts_[cursor_];
  if (advance) cursor_ = (cursor_ + 1) % hosts_.size();
  return host;
}

void MxResolver::LookUp() {
  lookUpError_ = Error(ErrorCode::NotFound, {});
  settled_ = false;
  AdnsSession ads;
  if (auto failed = ads.Start(config_)) {
    lookUpError_ = std::move(*failed);
    return;
  }

  adns_query query = nullptr;
  int rc = adns_submit(ads.get(), domain_.c_str(), adns_r_mx_raw, adns_qf_none, nullptr, &query);
  if (rc != 0) {
    lookUpError_ = Error(ErrorCode::Network,
                         std::string("the MX query cannot be sent: ") + std::strerror(rc), rc);
    return;
  }

  adns_answer* raw = nullptr;
  void* context = nullptr;
  // adns_wait returns once the query has an answer or has run out of adns's retries.
  rc = adns_wait(ads.get(), &query, &raw, &context);
  AdnsAnswer answer(raw);
  if (rc != 0 || !answer) {
    lookUpError_ =
        Error(ErrorCode::Network, std::string("the MX query was lost: ") + std::strerror(rc), rc);
    return;
  }
  if (answer->status != adns_s_ok) {
    // Only the name server's own word that there is nothing to find is final; every other
    // status (time-out, SERVFAIL, REFUSED, a garbled answer) may well pass by the next attempt.
    settled_ = answer->status == adns_s_nxdomain || answer->status == adns_s_nodata;
    const char* text = adns_strerror(answer->status);
    lookUpError_ = Error(ErrorCode::NotFound, text ? text : "DNS failure", answer->status);
    return;
  }

  for (int i = 0; i < answer->nrrs && hosts_.size() < kMaxHosts; ++i) {
    const void* record =
        answer->rrs.bytes + static_cast<std::size_t>(i) * static_cast<std::size_t>(answer->rrsz);
    char* text = nullptr;
    if (adns_rr_info(answer->type, nullptr, nullptr, nullptr, record, &text) != adns_s_ok || !text)
      continue;
    std::string line(text);
    std::free(text);
    // The text form is "preference host"; the preference is dropped.
    std::size_t blank = line.find(' ');
    if (blank == std::string::npos) continue;
    std::string name = line.substr(blank + 1);
    // A null MX (".") says the domain takes no mail at all; there is no host to try.
    if (name.empty() || name == "." || name.size() > kMaxHostChars) continue;
    hosts_.push_back(std::move(name));
  }
  if (hosts_.empty())
    lookUpError_ = Error(ErrorCode::NotFound, "no usable exchanger in the answer");
  settled_ = true;
}

Result<std::vector<std::string>> MxResolver::Addresses(const std::string& host) const {
  if (IsAddressLiteral(host)) return std::vector<std::string>{host};
  const std::string failed = "cannot resolve " + host + ": ";
  AdnsSession ads;
  if (auto error = ads.Start(config_)) {
    error->message = failed + error->message;
    return std::move(*error);
  }
  // One query per family, both in flight at once: an exchanger reachable only over IPv6 is
  // still an exchanger, and a name server that fumbles the AAAA question (as many do) must not
  // cost the IPv4 answer. IPv4 addresses are tried first; they are the ones most hosts can reach.
  const adns_queryflags families[] = {adns_qf_want_ipv4, adns_qf_want_ipv6};
  adns_query queries[2] = {nullptr, nullptr};
  for (int i = 0; i < 2; ++i) {
    const int rc =
        adns_submit(ads.get(), host.c_str(), adns_r_addr, families[i], nullptr, &queries[i]);
    if (rc != 0)
      return Error(ErrorCode::Network, failed + "the query cannot be sent: " + std::strerror(rc),
                   rc);
  }
  std::vector<std::string> addresses;
  std::optional<Error> firstFailure;
  for (adns_query& query : queries) {
    adns_answer* raw = nullptr;
    void* context = nullptr;
    const int rc = adns_wait(ads.get(), &query, &raw, &context);
    AdnsAnswer answer(raw);
    if (rc != 0 || !answer) {
      if (!firstFailure)
        firstFailure =
            Error(ErrorCode::Network, failed + "the query was lost: " + std::strerror(rc), rc);
      continue;
    }
    if (answer->status != adns_s_ok) {
      const char* text = adns_strerror(answer->status);
      if (!firstFailure)
        firstFailure =
            Error(ErrorCode::NotFound, failed + (text ? text : "DNS failure"), answer->status);
      continue;
    }
    for (int i = 0; i < answer->nrrs && addresses.size() < kMaxHosts; ++i) {
      const adns_rr_addr& record = answer->rrs.addr[i];
      char text[ADNS_ADDR2TEXT_BUFLEN];
      int length = sizeof text;
      if (adns_addr2text(&record.addr.sa, adns_qf_none, text, &length, nullptr) == 0)
        addresses.emplace_back(text);
    }
  }
  if (!addresses.empty()) return addresses;
  if (firstFailure) return std::move(*firstFailure);
  return Error(ErrorCode::NotFound, failed + "no address in the answer");
}

Result<std::unique_ptr<MxResolver>> MakeMxResolver(const char* resolvConfPath) {
  if (!resolvConfPath || !*resolvConfPath) return std::make_unique<MxResolver>();
  const std::string path = resolvConfPath;
  int fd = open(resolvConfPath, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return Error::FromErrno("cannot read the resolver configuration " + path);
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return Error(ErrorCode::InvalidArgument,
                 "the resolver configuration " + path + " is not a regular file");
  }
  // The file is read in pieces with a hard cap rather than trusting its size: it may change or
  // grow while being read.
  std::string text;
  char buf[4096];
  for (;;) {
    ssize_t got = read(fd, buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      Error failed = Error::FromErrno("cannot read the resolver configuration " + path);
      close(fd);
      return failed;
    }
    if (got == 0) break;
    text.append(buf, static_cast<std::size_t>(got));
    if (text.size() > kMaxConfigBytes) {
      close(fd);
      return Error(ErrorCode::InvalidArgument,
                   "the resolver configuration " + path + " is larger than 64 KiB");
    }
  }
  close(fd);
  return std::make_unique<MxResolver>(std::move(text));
}

Result<std::unique_ptr<MxResolver>> MakeMxResolverFromEnvironment() {
  return MakeMxResolver(std::getenv(kResolvConfEnv));
}

}  // namespace dtl
