#include "mail/AdnsSession.h"

#include <cerrno>
#include <cstring>

namespace dtl {
namespace {

// No diagnostics ever reach the terminal from here: the core never prints, and a hostile
// server must not be able to fill someone's stderr.
constexpr adns_initflags kInitFlags =
    static_cast<adns_initflags>(adns_if_noautosys | adns_if_noerrprint | adns_if_noserverwarn);

}  // namespace

AdnsSession::~AdnsSession() {
  if (state_) adns_finish(state_);
}

std::optional<Error> AdnsSession::Start(const std::optional<std::string>& config) {
  int rc = config ? adns_init_strcfg(&state_, kInitFlags, nullptr, config->c_str())
                  : adns_init_logfn(&state_, kInitFlags, nullptr, nullptr, nullptr);
  if (rc == 0) return std::nullopt;
  return rc == EINVAL
             ? Error(ErrorCode::InvalidArgument, "the resolver configuration cannot be parsed", rc)
             : Error(ErrorCode::Network,
                     std::string("the resolver cannot start: ") + std::strerror(rc), rc);
}

}  // namespace dtl
