#include "account/SrvRecords.h"

#include "mail/AdnsSession.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace dtl {
namespace {

// A domain answering with hundreds of records gets the first of them considered.
constexpr size_t kMaxTargets = 32;

struct Service {
  const char* label;
  ServerSecurity security;
};

// Implicit TLS first (RFC 8314 prefers it); the STARTTLS service second, and then STARTTLS is
// required, never optional: a record cannot talk the program into plain text.
std::optional<ServerEndpoint> Pick(const std::string& domain, const Service (&services)[2],
                                   const std::optional<std::string>& config, SrvServers& out,
                                   std::stop_token& stop, bool& cancelled) {
  for (const Service& s : services) {
    if (stop.stop_requested()) {
      cancelled = true;
      return std::nullopt;
    }
    const std::string name = std::string(s.label) + "." + domain;
    out.asked.push_back(name);
    auto targets = LookUpSrv(name, config);
    if (!targets) continue;
    for (const SrvTarget& t : *targets) {
      if (t.host == "." || t.host.empty()) {
        out.notes.push_back(name + " says the service is not offered");
        break;
      }
      if (!IsUsableHostName(t.host) || !IsUsablePort(t.port)) {
        out.notes.push_back("skipped an unusable target of " + name);
        continue;
      }
      return ServerEndpoint{t.host, t.port, s.security, {}};
    }
  }
  return std::nullopt;
}

}  // namespace

Result<std::vector<SrvTarget>> LookUpSrv(const std::string& name,
                                         const std::optional<std::string>& resolverConfig) {
  AdnsSession ads;
  if (auto failed = ads.Start(resolverConfig)) return std::move(*failed);
  adns_query query = nullptr;
  int rc = adns_submit(ads.get(), name.c_str(), adns_r_srv_raw, adns_qf_none, nullptr, &query);
  if (rc != 0)
    return Error(ErrorCode::Network,
                 "the SRV query for " + name + " cannot be sent: " + std::strerror(rc), rc);
  adns_answer* raw = nullptr;
  void* context = nullptr;
  rc = adns_wait(ads.get(), &query, &raw, &context);
  AdnsAnswer answer(raw);
  if (rc != 0 || !answer)
    return Error(ErrorCode::Network,
                 "the SRV query for " + name + " was lost: " + std::strerror(rc), rc);
  if (answer->status != adns_s_ok) {
    const char* text = adns_strerror(answer->status);
    return Error(ErrorCode::NotFound, name + ": " + (text ? text : "DNS failure"), answer->status);
  }
  std::vector<SrvTarget> targets;
  for (int i = 0; i < answer->nrrs && targets.size() < kMaxTargets; ++i) {
    const adns_rr_srvraw& r = answer->rrs.srvraw[i];
    SrvTarget t;
    t.priority = r.priority;
    t.weight = r.weight;
    t.port = r.port;
    t.host = r.host ? r.host : "";
    if (t.host.empty()) t.host = ".";
    targets.push_back(std::move(t));
  }
  if (targets.empty()) return Error(ErrorCode::NotFound, name + ": no records");
  std::stable_sort(targets.begin(), targets.end(), [](const SrvTarget& a, const SrvTarget& b) {
    return a.priority != b.priority ? a.priority < b.priority : a.weight > b.weight;
  });
  return targets;
}

Result<SrvServers> FindSrvServers(const std::string& domain,
                                  const std::optional<std::string>& resolverConfig,
                                  std::stop_token stop) {
  static const Service submission[2] = {{"_submissions._tcp", ServerSecurity::ImplicitTls},
                                        {"_submission._tcp", ServerSecurity::StartTls}};
  static const Service imap[2] = {{"_imaps._tcp", ServerSecurity::ImplicitTls},
                                  {"_imap._tcp", ServerSecurity::StartTls}};
  SrvServers out;
  bool cancelled = false;
  out.smtp = Pick(domain, submission, resolverConfig, out, stop, cancelled);
  if (!cancelled) out.imap = Pick(domain, imap, resolverConfig, out, stop, cancelled);
  if (cancelled) return Error::Cancelled();
  return out;
}

}  // namespace dtl
