// Keeping secrets (account and segment passwords, session cookies) from outliving their use in
// memory, and memory from leaving the process in a core file.
#pragma once

#include <string>

namespace dtl {

// Overwrites every byte the string owns, its whole capacity and not just its size (a shortened
// secret leaves its tail behind the end), with OPENSSL_cleanse, then empties it. The buffer is
// kept: capacity() is unchanged. Never fails.
void WipeSecret(std::string& s);

// Marks the process as not dumpable (PR_SET_DUMPABLE 0: no core file, and other processes of the
// same user may neither attach to it nor read its memory) and sets RLIMIT_CORE to 0, soft and
// hard. Called first thing in main() of every program that holds secrets; failures are ignored
// (nothing better can be done about them).
void KeepSecretsOutOfCoreDumps();

}  // namespace dtl
