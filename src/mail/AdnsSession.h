// One adns resolver state for the length of one look-up, shared by the MX and SRV look-ups so
// both start adns the same way: from a resolv.conf text when one is given, from the system's
// configuration otherwise, and never printing anything.
#pragma once

#include <adns.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "base/Error.h"

namespace dtl {

// Owns one adns state; released on every path when the object goes. Not copyable.
class AdnsSession {
 public:
  AdnsSession() = default;
  AdnsSession(const AdnsSession&) = delete;
  AdnsSession& operator=(const AdnsSession&) = delete;
  ~AdnsSession();

  // Starts the state from `config` (resolv.conf text) or, without it, from the system's
  // configuration. InvalidArgument ("the resolver configuration cannot be parsed") for a text
  // adns rejects, Network ("the resolver cannot start: ...") for any other failure. Call once.
  std::optional<Error> Start(const std::optional<std::string>& config);

  // The started state; null before a successful Start().
  adns_state get() const { return state_; }

 private:
  adns_state state_ = nullptr;
};

struct AdnsAnswerDeleter {
  void operator()(adns_answer* a) const { std::free(a); }
};
// An answer as adns_wait hands it over (malloc'ed by adns, freed here).
using AdnsAnswer = std::unique_ptr<adns_answer, AdnsAnswerDeleter>;

}  // namespace dtl
