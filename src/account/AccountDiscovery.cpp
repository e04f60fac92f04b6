#include "account/AccountDiscovery.h"

namespace dtl {

Result<std::string> AddressDomain(const std::string& address) {
  return Error(ErrorCode::Unsupported, "not yet available: " + address);
}

Result<AccountProfile> DiscoverAccount(const std::string& address, const DiscoveryEnvironment&,
                                       const DiscoveryObserver&, std::stop_token) {
  return Error(ErrorCode::Unsupported, "not yet available: " + address);
}

std::string SourceName(ProfileSource) { return {}; }

}  // namespace dtl
