// dtl config: reads and changes the program's settings (the values the dialogs show), in the
// same store the program uses, so scripts can prepare a machine or check what a run will use.
#include <charconv>
#include <cstdio>
#include <string>
#include <vector>

#include "base/SecretStore.h"
#include "base/SettingsStore.h"
#include "cli/CommandLine.h"
#include "cli/PasswordInput.h"
#include "cli/ProgramSettings.h"

namespace dtlcli {
namespace {

// The setting names, six to a line, for the help's end.
std::string NamesText() {
  std::string text = "Names (case does not matter):";
  int col = 0;
  for (const auto& i : dtl::SettingsTable()) {
    text += col++ % 6 == 0 ? "\n  " : " ";
    text += i.name;
  }
  return text;
}

// The secret settings by name, from the table, so a new one is named in the help at once.
std::string SecretNames() {
  std::string text;
  for (const auto& i : dtl::SettingsTable())
    if (i.secret) text += (text.empty() ? "" : ", ") + std::string(i.name);
  return text;
}

int Usage(const char* message) {
  std::fprintf(stderr, "dtl config: %s (see 'dtl config --help')\n", message);
  return kExitUsage;
}

const dtl::SettingInfo* Lookup(const std::string& name) {
  const dtl::SettingInfo* info = dtl::FindSetting(name);
  if (!info)
    std::fprintf(stderr, "dtl config: unknown setting '%s' (see 'dtl config --help')\n",
                 name.c_str());
  return info;
}

std::optional<uint32_t> ParseDword(const std::string& s) {
  const char* b = s.data();
  const char* e = b + s.size();
  int base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    b += 2;
    base = 16;
  }
  uint32_t v = 0;
  auto [end, ec] = std::from_chars(b, e, v, base);
  if (b == e || ec != std::errc() || end != e) return std::nullopt;
  return v;
}

// One line per value: control characters would break the NAME=VALUE layout.
std::string OneLine(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '\n')
      out += "\\n";
    else if (c == '\r')
      out += "\\r";
    else if (c == '\t')
      out += "\\t";
    else if (c < 0x20 || c == 0x7f) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

std::string ValueText(const dtl::SettingsStore& store, const dtl::SettingInfo& info) {
  if (info.type == dtl::SettingType::Dword) return std::to_string(store.GetDword(info.name));
  return store.GetString(info.name);
}

int Get(const std::string& name) {
  const dtl::SettingInfo* info = Lookup(name);
  if (!info) return kExitUsage;
  dtl::SettingsStore store = OpenSettings();
  std::printf("%s\n", ValueText(store, *info).c_str());
  return std::fflush(stdout) == 0 ? kExitOk : kExitFailure;
}

int List(bool showSecrets) {
  dtl::SettingsStore store = OpenSettings();
  for (const auto& info : dtl::SettingsTable()) {
    std::string value = ValueText(store, info);
    if (info.secret && !showSecrets && !value.empty()) value = "********";
    std::printf("%.*s=%s\n", static_cast<int>(info.name.size()), info.name.data(),
                OneLine(value).c_str());
  }
  return std::fflush(stdout) == 0 ? kExitOk : kExitFailure;
}

int Set(const std::string& settingName, const std::vector<std::string>& values,
        const std::optional<std::string>& passwordFile) {
  const dtl::SettingInfo* info = Lookup(settingName);
  if (!info) return kExitUsage;
  std::string name(info->name);
  dtl::SettingsStore store = OpenSettings();
  bool ok = false;

  if (info->secret) {
    if (!values.empty())
      return Usage(("a password is not taken from the command line; give --password-file FILE or "
                    "type it on standard input for " +
                    name)
                       .c_str());
    dtl::Result<std::string> pass =
        passwordFile ? PasswordFromFile(*passwordFile) : PasswordFromStdin("Password: ");
    if (!pass) {
      std::fprintf(stderr, "dtl config: %s\n", pass.error().message.c_str());
      return kExitFailure;
    }
    if (!pass->empty() && !dtl::IsValidString(*info, *pass)) {
      WipeString(*pass);
      return Usage(("the password is longer than " + std::to_string(info->maxChars) + " characters")
                       .c_str());
    }
    ok = store.SetString(name, *pass).ok();
    WipeString(*pass);
  } else {
    if (values.size() != 1 || passwordFile) return Usage("set takes a NAME and one VALUE");
    const std::string& value = values[0];
    if (info->type == dtl::SettingType::Dword) {
      auto v = ParseDword(value);
      if (!v) {
        std::fprintf(stderr, "dtl config: %s takes a number from 0 to 4294967295, not '%s'\n",
                     name.c_str(), value.c_str());
        return kExitUsage;
      }
      if (!dtl::IsValidDword(*info, *v)) {
        std::fprintf(stderr, "dtl config: %s must be from %u to %u ('%s' would read as %u)\n",
                     name.c_str(), info->minDword, info->maxDword, value.c_str(),
                     info->defaultDword);
        return kExitUsage;
      }
      ok = store.SetDword(name, *v).ok();
    } else {
      // An empty string is how a user clears a value; only an over-long one would be lost.
      if (!value.empty() && !dtl::IsValidString(*info, value)) {
        std::fprintf(stderr, "dtl config: %s takes at most %zu characters\n", name.c_str(),
                     info->maxChars);
        return kExitUsage;
      }
      ok = store.SetString(name, value).ok();
    }
  }
  if (!ok) {
    std::fprintf(stderr, "dtl config: cannot write %s\n", store.Path().c_str());
    return kExitFailure;
  }
  return kExitOk;
}

int Unset(const std::string& name) {
  const dtl::SettingInfo* info = Lookup(name);
  if (!info) return kExitUsage;
  dtl::SettingsStore store = OpenSettings();
  if (!store.DeleteValue(dtl::kSettingsKey, info->name).ok()) {
    std::fprintf(stderr, "dtl config: cannot write %s\n", store.Path().c_str());
    return kExitFailure;
  }
  return kExitOk;
}

std::string NamesOrNone(const std::vector<std::string>& names) {
  if (names.empty()) return "none";
  std::string text;
  for (const auto& n : names) text += (text.empty() ? "" : ", ") + n;
  return text;
}

// Where secrets are kept, and with `to` a move there. Reports before it acts, so nothing is
// moved behind the user's back by the look itself.
int Secrets(const std::optional<std::string>& to) {
  if (to && *to != "keyring" && *to != "file") return Usage("--to takes keyring or file");
  dtl::SettingsStore store = OpenSettings(false);
  const std::string keyring = dtl::MakeSystemSecretStore()->Describe();
  if (to) {
    auto moved = *to == "keyring" ? store.MoveSecretsToKeyring() : store.MoveSecretsToFile();
    if (!moved) {
      std::fprintf(stderr, "dtl config: %s\n", moved.error().message.c_str());
      return kExitFailure;
    }
    std::printf("Moved %d secret%s to %s.\n", *moved, *moved == 1 ? "" : "s",
                *to == "keyring" ? keyring.c_str() : store.Path().c_str());
  }
  const bool running = store.KeyringAvailable();
  if (store.SecretsGoToKeyring())
    std::printf("Secrets are kept in %s.\n", keyring.c_str());
  else if (running)
    std::printf("Secrets are kept in %s (SecretStore is 1, although a keyring is running).\n",
                store.Path().c_str());
  else
    std::printf("Secrets are kept in %s (no keyring is running).\n", store.Path().c_str());
  if (running) {
    auto inKeyring = store.SecretsInKeyring();
    std::printf("In the keyring: %s\n",
                inKeyring ? NamesOrNone(*inKeyring).c_str() : inKeyring.error().message.c_str());
  }
  std::printf("In the settings file: %s\n", NamesOrNone(store.SecretsInFile()).c_str());
  return std::fflush(stdout) == 0 ? kExitOk : kExitFailure;
}

// One subcommand of the App per action: each declares its own positionals and options, so
// "dtl config set --help" shows only what set takes, and "dtl config --help" shows them all.
class ConfigCommand : public Command {
 public:
  void Declare(CommandLine& line) override {
    line.SetUsageStyle(UsageStyle::SeeHelp);
    CLI::App& app = line.App();
    app.description("Shows and changes the program's settings.");
    app.footer(NamesText() +
               "\n\nExit status: 0 on success, 1 when the settings file cannot be written, 2 on "
               "bad usage\n"
               "(unknown command or name, a number that is not one, a value out of range).");
    line.ExtraPositional(app,
                         [](const std::string& a) { return "unknown config command '" + a + "'"; });

    get_ = app.add_subcommand(
        "get",
        "prints the value a reader gets: missing or invalid values read as their defaults "
        "(a port of 0 reads as 25, a string longer than its limit as empty)");
    Arguments(line, *get_, "get takes exactly one NAME");
    line.Missing(get_->add_option("NAME", name_, "the setting")->required(),
                 "get takes exactly one NAME");

    set_ = app.add_subcommand(
        "set",
        "stores a value; numbers are decimal or 0x-hexadecimal. Values that would read "
        "back as the default are refused. Passwords (" +
            SecretNames() +
            ") are never taken from the command line: they are read from FILE (first line) or "
            "standard input");
    Arguments(line, *set_, "set takes a NAME and one VALUE");
    line.Missing(set_->add_option("NAME", name_, "the setting")->required(), "set needs a NAME");
    set_->add_option("VALUE", values_, "the new value (not for a password)");
    line.Value(*set_, "--password-file", passwordFile_, "FILE",
               "read a password setting's value from the first line of FILE", "a FILE");

    unset_ = app.add_subcommand("unset", "removes a value, so it reads as its default");
    Arguments(line, *unset_, "unset takes exactly one NAME");
    line.Missing(unset_->add_option("NAME", name_, "the setting")->required(),
                 "unset takes exactly one NAME");

    list_ =
        app.add_subcommand("list",
                           "prints NAME=VALUE for every setting; passwords show as ******** unless "
                           "--show-secrets is given");
    list_->allow_extras();
    line.UnknownOption(
        *list_, [](const std::string& a) { return "unexpected argument '" + a + "' for list"; });
    line.Flag(*list_, "--show-secrets", showSecrets_, "show the passwords too");

    secrets_ = app.add_subcommand(
        "secrets",
        "prints where passwords and tokens are kept (the desktop's keyring or the settings "
        "file) and which are there; --to moves every one of them, each checked written before "
        "the other copy is removed");
    Arguments(line, *secrets_, "secrets takes no arguments besides --to");
    line.Value(*secrets_, "--to", to_, "PLACE",
               "move the secrets to PLACE: keyring (the running Secret Service) or file",
               "keyring or file");

    path_ = app.add_subcommand(
        "path", "prints the settings file's path ($XDG_CONFIG_HOME/drovetail/settings.reg)");
    Arguments(line, *path_, "path takes no arguments");
  }

  int Run() override {
    if (get_->parsed()) return Get(name_);
    if (set_->parsed()) return Set(name_, values_, passwordFile_);
    if (unset_->parsed()) return Unset(name_);
    if (list_->parsed()) return List(showSecrets_);
    if (secrets_->parsed()) return Secrets(to_);
    if (path_->parsed()) {
      std::printf("%s\n", dtl::SettingsStore::DefaultPath().c_str());
      return kExitOk;
    }
    return Usage("expected get, set, unset, list, secrets or path");
  }

 private:
  // A subcommand that answers every argument it does not know with `text`.
  static void Arguments(CommandLine& line, CLI::App& sub, const std::string& text) {
    sub.allow_extras();
    line.UnknownOption(sub, [text](const std::string&) { return text; });
  }

  CLI::App *get_ = nullptr, *set_ = nullptr, *unset_ = nullptr, *list_ = nullptr,
           *secrets_ = nullptr, *path_ = nullptr;
  std::string name_;
  std::vector<std::string> values_;
  std::optional<std::string> passwordFile_, to_;
  bool showSecrets_ = false;
};

}  // namespace

std::unique_ptr<Command> MakeConfigCommand() { return std::make_unique<ConfigCommand>(); }

}  // namespace dtlcli
