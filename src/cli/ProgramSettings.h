// The settings store every dtl command works with.
#pragma once

#include "base/SettingsStore.h"

namespace dtlcli {

// The user's settings file (SettingsStore::DefaultPath()) with the desktop's keyring attached,
// so passwords and tokens are read from and written to wherever they live. With `moveSecrets`,
// secrets still in the file move to the keyring when one is running and the setting
// SecretStore is 0; a move is reported on stderr ("dtl: moved ..."), as is a keyring that
// refused one (the secrets then stay in the file and the command goes on).
dtl::SettingsStore OpenSettings(bool moveSecrets = true);

}  // namespace dtlcli
