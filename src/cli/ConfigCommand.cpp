// dtl config: reads and changes the program's settings (the values the dialogs show), in the
// same store the program uses, so scripts can prepare a machine or check what a run will use.
#include <charconv>
#include <cstdio>
#include <string>
#include <vector>

#include "base/SettingsStore.h"
#include "cli/Command.h"
#include "cli/PasswordInput.h"

namespace dtlcli {
namespace {

void PrintHelp() {
  std::printf(
      "Usage: dtl config get NAME\n"
      "       dtl config set NAME VALUE\n"
      "       dtl config set PASSWORD-NAME [--password-file FILE]\n"
      "       dtl config unset NAME\n"
      "       dtl config list [--show-secrets]\n"
      "       dtl config path\n"
      "Shows and changes the program's settings.\n\n"
      "  get     prints the value a reader gets: missing or invalid values read as their\n"
      "          defaults (a port of 0 reads as 25, a string longer than its limit as empty)\n"
      "  set     stores a value; numbers are decimal or 0x-hexadecimal. Values that would read\n"
      "          back as the default are refused. Passwords (SMTPPass, Pass) are never taken\n"
      "          from the command line: they are read from FILE (first line) or standard input\n"
      "  unset   removes a value, so it reads as its default\n"
      "  list    prints NAME=VALUE for every setting; passwords show as ******** unless\n"
      "          --show-secrets is given\n"
      "  path    prints the settings file's path ($XDG_CONFIG_HOME/drovetail/settings.reg)\n\n"
      "Names (case does not matter):");
  int col = 0;
  for (const auto& i : dtl::SettingsTable()) {
    std::printf("%s%.*s", col++ % 6 == 0 ? "\n  " : " ", static_cast<int>(i.name.size()), i.name.data());
  }
  std::printf(
      "\n\nExit status: 0 on success, 1 when the settings file cannot be written, 2 on bad usage\n"
      "(unknown command or name, a number that is not one, a value out of range).\n");
}

int Usage(const char* message) {
  std::fprintf(stderr, "dtl config: %s (see 'dtl config --help')\n", message);
  return kExitUsage;
}

const dtl::SettingInfo* Lookup(const std::string& name) {
  const dtl::SettingInfo* info = dtl::FindSetting(name);
  if (!info) std::fprintf(stderr, "dtl config: unknown setting '%s' (see 'dtl config --help')\n", name.c_str());
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
    if (c == '\\') out += "\\\\";
    else if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else if (c == '\t') out += "\\t";
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

int Get(const std::vector<std::string>& a) {
  if (a.size() != 2) return Usage("get takes exactly one NAME");
  const dtl::SettingInfo* info = Lookup(a[1]);
  if (!info) return kExitUsage;
  dtl::SettingsStore store(dtl::SettingsStore::DefaultPath());
  std::printf("%s\n", ValueText(store, *info).c_str());
  return std::fflush(stdout) == 0 ? kExitOk : kExitFailure;
}

int List(const std::vector<std::string>& a) {
  bool showSecrets = false;
  for (size_t i = 1; i < a.size(); ++i) {
    if (a[i] == "--show-secrets") showSecrets = true;
    else return Usage(("unexpected argument '" + a[i] + "' for list").c_str());
  }
  dtl::SettingsStore store(dtl::SettingsStore::DefaultPath());
  for (const auto& info : dtl::SettingsTable()) {
    std::string value = ValueText(store, info);
    if (info.secret && !showSecrets && !value.empty()) value = "********";
    std::printf("%.*s=%s\n", static_cast<int>(info.name.size()), info.name.data(), OneLine(value).c_str());
  }
  return std::fflush(stdout) == 0 ? kExitOk : kExitFailure;
}

int Set(const std::vector<std::string>& a) {
  if (a.size() < 2) return Usage("set needs a NAME");
  const dtl::SettingInfo* info = Lookup(a[1]);
  if (!info) return kExitUsage;
  std::string name(info->name);
  dtl::SettingsStore store(dtl::SettingsStore::DefaultPath());
  bool ok = false;

  if (info->secret) {
    std::string error;
    std::optional<std::string> pass;
    if (a.size() == 4 && a[2] == "--password-file") {
      pass = PasswordFromFile(a[3], &error);
    } else if (a.size() == 2) {
      pass = PasswordFromStdin("Password: ", &error);
    } else {
      return Usage(("a password is not taken from the command line; give --password-file FILE or "
                    "type it on standard input for " + name).c_str());
    }
    if (!pass) {
      std::fprintf(stderr, "dtl config: %s\n", error.c_str());
      return kExitFailure;
    }
    if (!pass->empty() && !dtl::IsValidString(*info, *pass)) {
      WipeString(*pass);
      return Usage(("the password is longer than " + std::to_string(info->maxChars) + " characters").c_str());
    }
    ok = store.SetString(name, *pass);
    WipeString(*pass);
  } else {
    if (a.size() != 3) return Usage("set takes a NAME and one VALUE");
    const std::string& value = a[2];
    if (info->type == dtl::SettingType::Dword) {
      auto v = ParseDword(value);
      if (!v) {
        std::fprintf(stderr, "dtl config: %s takes a number from 0 to 4294967295, not '%s'\n", name.c_str(),
                     value.c_str());
        return kExitUsage;
      }
      if (!dtl::IsValidDword(*info, *v)) {
        std::fprintf(stderr, "dtl config: %s must be from %u to %u ('%s' would read as %u)\n", name.c_str(),
                     info->minDword, info->maxDword, value.c_str(), info->defaultDword);
        return kExitUsage;
      }
      ok = store.SetDword(name, *v);
    } else {
      // An empty string is how a user clears a value; only an over-long one would be lost.
      if (!value.empty() && !dtl::IsValidString(*info, value)) {
        std::fprintf(stderr, "dtl config: %s takes at most %zu characters\n", name.c_str(), info->maxChars);
        return kExitUsage;
      }
      ok = store.SetString(name, value);
    }
  }
  if (!ok) {
    std::fprintf(stderr, "dtl config: cannot write %s\n", store.Path().c_str());
    return kExitFailure;
  }
  return kExitOk;
}

int Unset(const std::vector<std::string>& a) {
  if (a.size() != 2) return Usage("unset takes exactly one NAME");
  const dtl::SettingInfo* info = Lookup(a[1]);
  if (!info) return kExitUsage;
  dtl::SettingsStore store(dtl::SettingsStore::DefaultPath());
  if (!store.DeleteValue(dtl::kSettingsKey, info->name)) {
    std::fprintf(stderr, "dtl config: cannot write %s\n", store.Path().c_str());
    return kExitFailure;
  }
  return kExitOk;
}

int RunConfig(const std::vector<std::string>& args) {
  if (WantsHelp(args)) {
    PrintHelp();
    return kExitOk;
  }
  if (args.empty()) return Usage("expected get, set, unset, list or path");
  const std::string& sub = args[0];
  if (sub == "get") return Get(args);
  if (sub == "set") return Set(args);
  if (sub == "unset") return Unset(args);
  if (sub == "list") return List(args);
  if (sub == "path") {
    if (args.size() != 1) return Usage("path takes no arguments");
    std::printf("%s\n", dtl::SettingsStore::DefaultPath().c_str());
    return kExitOk;
  }
  return Usage(("unknown config command '" + sub + "'").c_str());
}

const DtlCommand kConfig("config", "show or change the program's settings", RunConfig);

}  // namespace
}  // namespace dtlcli
