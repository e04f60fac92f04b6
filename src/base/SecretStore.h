// Where secrets live when they are not in the settings file: the desktop's keyring, reached
// through the Secret Service (libsecret). A secret is found by two attributes, the settings
// file it belongs to (its absolute path) and the value's name, so two settings files never
// share a secret.
//
// The interface exists so the settings store can be handed any place (a test hands one that
// fails on cue); the program hands MakeSystemSecretStore(). No call starts a D-Bus service or a
// prompt by itself when no Secret Service is running: Available() answers that first, quickly.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/Error.h"

namespace dtl {

class SecretStore {
 public:
  virtual ~SecretStore() = default;

  // True when secrets can be kept here now. Answers within about two seconds whatever the
  // state of the session bus (no bus, a bus address that leads nowhere, no Secret Service on
  // it); never fails.
  virtual bool Available() = 0;
  // The secret stored for (scope, name): nullopt when there is none. Errors: Failed when the
  // keyring cannot be asked (locked and not unlocked, service gone).
  virtual Result<std::optional<std::string>> Lookup(std::string_view scope,
                                                    std::string_view name) = 0;
  // Stores `value` for (scope, name), replacing an earlier one; `label` is what the user's
  // keyring manager shows for it. Errors: Failed when the keyring refused or cannot be reached.
  virtual Status Store(std::string_view scope, std::string_view name, std::string_view label,
                       std::string_view value) = 0;
  // Removes the secret for (scope, name); success also when there was none.
  virtual Status Remove(std::string_view scope, std::string_view name) = 0;
  // How the place is named to the user ("the desktop's keyring").
  virtual std::string Describe() const = 0;
};

// The desktop's Secret Service on the session bus, items of the schema "org.drovetail.Secret"
// (attributes "settings" and "name") in the default collection. The bus is looked for only
// where DBUS_SESSION_BUS_ADDRESS or $XDG_RUNTIME_DIR/bus say, at each Available() call, and the
// service counts as running only when its name has an owner: a service that would have to be
// started on demand (and might ask for a keyring password out of the blue) is not used.
std::shared_ptr<SecretStore> MakeSystemSecretStore();

}  // namespace dtl
