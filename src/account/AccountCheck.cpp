#include "account/AccountCheck.h"

namespace dtl {

AccountCheckResult TestAccountLogins(const AccountProfile&, const AccountCredentials&,
                                     const AccountCheckSettings&, std::stop_token) {
  AccountCheckResult r;
  r.smtp = Error(ErrorCode::Unsupported, "not yet available");
  r.imap = Error(ErrorCode::Unsupported, "not yet available");
  return r;
}

}  // namespace dtl
