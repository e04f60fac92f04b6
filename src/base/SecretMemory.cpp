#include "base/SecretMemory.h"

#include <openssl/crypto.h>
#include <sys/prctl.h>
#include <sys/resource.h>

namespace dtl {

void WipeSecret(std::string& s) {
  if (s.capacity() > 0) {
    // Zero-fill up to the capacity first so the bytes behind size() are the string's own to
    // overwrite; resize within the capacity never reallocates.
    s.resize(s.capacity());
    OPENSSL_cleanse(s.data(), s.size());
  }
  s.clear();
}

void KeepSecretsOutOfCoreDumps() {
  // Not dumpable first: it also stops a dump through a core_pattern pipe, which RLIMIT_CORE 0
  // alone does not.
  ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  const struct rlimit none {0, 0};
  ::setrlimit(RLIMIT_CORE, &none);
}

}  // namespace dtl
