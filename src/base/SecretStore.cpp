#include "base/SecretStore.h"

#include <libsecret/secret.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "base/SecretMemory.h"

namespace dtl {

namespace {

const SecretSchema kSchema = {"org.drovetail.Secret",
                              SECRET_SCHEMA_NONE,
                              {
                                  {"settings", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                  {"name", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                  {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
                              },
                              0,
                              nullptr,
                              nullptr,
                              nullptr,
                              nullptr,
                              nullptr,
                              nullptr,
                              nullptr};

// Long enough for a keyring busy writing its file, short enough that a program asking at
// start-up is not held up noticeably when something on the bus is stuck.
constexpr int kAskTimeoutMs = 2000;

Error KeyringError(const char* what, GError* err) {
  std::string text = std::string(what) + ": " + (err && err->message ? err->message : "unknown");
  if (err) g_error_free(err);
  return Error(ErrorCode::Failed, text);
}

// GLib would otherwise try to autolaunch a bus (through dbus-launch and X11) when the
// environment names none; where nothing says there is one, there is none.
bool SessionBusNamed() {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address && *address) return true;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (!runtime || !*runtime) return false;
  struct stat st {};
  return ::stat((std::string(runtime) + "/bus").c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

// The session bus connection GLib shares with libsecret (a new reference), or nullptr when
// there is no bus to reach.
GDBusConnection* SessionBus() {
  if (!SessionBusNamed()) return nullptr;
  GError* err = nullptr;
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &err);
  if (!bus) {
    if (err) g_error_free(err);
    return nullptr;
  }
  // The shared connection would end the whole process when the bus goes away (a desktop
  // session ending under a running send); a vanished keyring is only an error here.
  g_dbus_connection_set_exit_on_close(bus, FALSE);
  return bus;
}

// Before any libsecret call: it would otherwise connect (or try to autolaunch a bus) itself,
// with the process-ending default above.
Status NeedBus() {
  GDBusConnection* bus = SessionBus();
  if (!bus) return Error(ErrorCode::NotFound, "no session bus: the keyring cannot be reached");
  g_object_unref(bus);
  return {};
}

class SecretServiceStore final : public SecretStore {
 public:
  bool Available() override {
    GDBusConnection* bus = SessionBus();
    if (!bus) return false;
    GError* err = nullptr;
    // Only a running service: asking an activatable one would start it, and a freshly started
    // keyring daemon may pop up a password prompt nobody expects from a command-line run.
    GVariant* reply = g_dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "NameHasOwner", g_variant_new("(s)", "org.freedesktop.secrets"), G_VARIANT_TYPE("(b)"),
        G_DBUS_CALL_FLAGS_NONE, kAskTimeoutMs, nullptr, &err);
    g_object_unref(bus);
    if (!reply) {
      if (err) g_error_free(err);
      return false;
    }
    gboolean owned = FALSE;
    g_variant_get(reply, "(b)", &owned);
    g_variant_unref(reply);
    return owned;
  }

  Result<std::optional<std::string>> Lookup(std::string_view scope,
                                            std::string_view name) override {
    if (Status bus = NeedBus(); !bus) return bus.error();
    const std::string s(scope), n(name);
    GError* err = nullptr;
    gchar* found = secret_password_lookup_sync(&kSchema, nullptr, &err, "settings", s.c_str(),
                                               "name", n.c_str(), nullptr);
    if (err) {
      if (found) secret_password_free(found);
      return KeyringError("cannot read from the keyring", err);
    }
    if (!found) return std::optional<std::string>();
    std::optional<std::string> value{std::string(found)};
    secret_password_free(found);  // wipes the copy libsecret held
    return value;
  }

  Status Store(std::string_view scope, std::string_view name, std::string_view label,
               std::string_view value) override {
    if (Status bus = NeedBus(); !bus) return bus;
    const std::string s(scope), n(name), l(label);
    // libsecret takes the value as a C string; the settings rules end a value at a NUL anyway.
    std::string v(value);
    GError* err = nullptr;
    gboolean ok = secret_password_store_sync(&kSchema, SECRET_COLLECTION_DEFAULT, l.c_str(),
                                             v.c_str(), nullptr, &err, "settings", s.c_str(),
                                             "name", n.c_str(), nullptr);
    WipeSecret(v);
    if (!ok || err) return KeyringError("cannot write to the keyring", err);
    return {};
  }

  Status Remove(std::string_view scope, std::string_view name) override {
    if (Status bus = NeedBus(); !bus) return bus;
    const std::string s(scope), n(name);
    GError* err = nullptr;
    secret_password_clear_sync(&kSchema, nullptr, &err, "settings", s.c_str(), "name", n.c_str(),
                               nullptr);
    if (err) return KeyringError("cannot remove from the keyring", err);
    return {};
  }

  std::string Describe() const override { return "the desktop's keyring (Secret Service)"; }
};

}  // namespace

std::shared_ptr<SecretStore> MakeSystemSecretStore() {
  return std::make_shared<SecretServiceStore>();
}

}  // namespace dtl
