#include "cli/ProgramSettings.h"

#include <cstdio>

#include "base/SecretStore.h"

namespace dtlcli {

dtl::SettingsStore OpenSettings(bool moveSecrets) {
  dtl::SettingsStore store(dtl::SettingsStore::DefaultPath());
  auto secrets = dtl::MakeSystemSecretStore();
  const std::string where = secrets->Describe();
  store.AttachSecrets(std::move(secrets));
  if (!moveSecrets) return store;
  // The user should learn from the program, not from a keyring manager, that their passwords
  // changed place; a refusal is only news, the file still serves.
  auto moved = store.MoveSecretsIfDue();
  if (!moved)
    std::fprintf(stderr, "dtl: the secrets stay in %s: %s\n", store.Path().c_str(),
                 moved.error().message.c_str());
  else if (*moved > 0)
    std::fprintf(stderr, "dtl: moved %d secret%s from %s to %s\n", *moved, *moved == 1 ? "" : "s",
                 store.Path().c_str(), where.c_str());
  return store;
}

}  // namespace dtlcli
