#include "account/AccountStore.h"

#include "base/SettingsStore.h"

namespace dtl {

AccountProfile ProfileFromSettings(const SettingsStore&) { return {}; }
Status StoreProfile(SettingsStore&, const AccountProfile&) {
  return Error(ErrorCode::Unsupported, "not yet available");
}
Status StoreAccountPassword(SettingsStore&, const std::string&) {
  return Error(ErrorCode::Unsupported, "not yet available");
}

}  // namespace dtl
