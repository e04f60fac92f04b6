// The settings store: the program's own values (key Software\Kestrelwing\DTL) and the history
// profile section (Software\DTL\DTL, section "Settings"), kept in one file in the style of a
// registry export (see RegFile.h), by default $XDG_CONFIG_HOME/drovetail/settings.reg.
//
// Nothing is cached: every call reads the file afresh, so a dialog that opens sees what another
// window or process wrote last. Writers do read-modify-write under an exclusive flock on
// "<file>.lock", write a temporary file in the same folder, fsync it and rename it over the
// file, so readers never see a half-written file and two processes writing different values
// lose neither. The file is mode 0600 (it holds passwords) in a folder created 0700.
//
// A missing, unreadable, corrupt or truncated file reads as defaults (keeping whatever lines
// still parse); the next write replaces it with a sound file. Errors are reported only through
// the Set/Write results (an Error: nothing was written).
//
// Secrets (the table's rows marked secret: passwords, the refresh token, client secrets) live
// in the file unless a SecretStore is attached: then, while it is available and the setting
// SecretStore is 0, they live there instead and the file keeps none of them (see AttachSecrets).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/Error.h"
#include "base/RegFile.h"
#include "base/SettingType.h"

namespace dtl {

class SecretStore;

inline constexpr std::string_view kSettingsKey = "Software\\Kestrelwing\\DTL";
inline constexpr std::string_view kProfileKey = "Software\\DTL\\DTL\\Settings";
// Sender address of segment mail when the user has not set one.
inline constexpr std::string_view kDefaultFromAddress = "segments@drovetail.invalid";

// How a DWORD value's validity is judged on read.
enum class DwordRule {
  Range,          // min..max, anything else (or missing) reads as the default
  OnlyOneIsOn,    // 1 reads as 1, anything else as 0
  OnlyZeroIsOff,  // 0 reads as 0, anything else as 1; missing reads as the default
};

struct SettingInfo {
  std::string_view name;
  SettingType type;
  // Dword values.
  DwordRule rule = DwordRule::Range;
  uint32_t defaultDword = 0;
  uint32_t minDword = 0;
  uint32_t maxDword = 0;
  // String values: longer (in characters) counts as missing, as does empty.
  size_t maxChars = 200;
  std::string_view defaultString = {};
  bool secret = false;  // a password: `dtl config list` masks it
};

// Every value of the program's key, in a fixed order.
const std::vector<SettingInfo>& SettingsTable();
// The table row for `name` (ASCII case ignored, as the registry does), or nullptr.
const SettingInfo* FindSetting(std::string_view name);
// The value a reader gets for a stored value (nullopt: missing or of the wrong type).
uint32_t ApplyDwordRule(const SettingInfo& info, std::optional<uint32_t> stored);
std::string ApplyStringRule(const SettingInfo& info, std::optional<std::string> stored);
// True when a stored value would read back unchanged (DWORD in range; string not empty
// and not too long). Used to refuse values that would silently read as the default.
bool IsValidDword(const SettingInfo& info, uint32_t value);
bool IsValidString(const SettingInfo& info, std::string_view value);

class SettingsStore {
 public:
  explicit SettingsStore(std::filesystem::path file);
  // $XDG_CONFIG_HOME (default ~/.config) + "/drovetail/settings.reg".
  static std::filesystem::path DefaultPath();
  const std::filesystem::path& Path() const { return file_; }

  // Hands the store a place for secrets (nullptr: none, the file keeps them, as without a
  // call). While `secrets` is available and the setting SecretStore is 0, GetString of a secret
  // reads it first (then the file, for a secret not moved yet), SetString writes it there and
  // takes the value out of the file (an empty value removes it from both), and DeleteValue
  // removes it from both. Shared: the same place may serve several stores.
  void AttachSecrets(std::shared_ptr<SecretStore> secrets);
  // True when secrets written now go to the attached place rather than the file.
  bool SecretsGoToKeyring() const;
  // True when a place is attached and available now (whatever the setting says).
  bool KeyringAvailable() const;
  // The table's secret rows that have a value in the file, and in the attached place (empty
  // when none is available), by table name.
  std::vector<std::string> SecretsInFile() const;
  Result<std::vector<std::string>> SecretsInKeyring() const;
  // Moves every secret of the file into the attached place and sets SecretStore to 0 (first,
  // so every secret reads from one place or the other at each step). Each value is read back
  // from the place before the file's copy is removed: a failure halfway loses nothing, and a
  // second call finishes the move. Returns how many were moved. Errors: NotFound when no place
  // is attached or available; Failed when the place refused or kept a value wrongly; file
  // errors as for SetDword.
  Result<int> MoveSecretsToKeyring();
  // Moves every secret of the attached place into the file, each read back from the file
  // before the place's copy is removed, and then sets SecretStore to 1. Errors as above.
  Result<int> MoveSecretsToFile();
  // The automatic move: when a place is attached and available, SecretStore is 0 and the file
  // still holds a secret, moves them all (MoveSecretsToKeyring). Returns how many were moved
  // (0: nothing was due); errors as for MoveSecretsToKeyring.
  Result<int> MoveSecretsIfDue();

  // The program's values with the table's rules applied. A name not in the table reads its
  // raw value (0 / "" when missing). When the file or the program's key is missing, the reader
  // creates it (failures ignored) so the next run finds it.
  uint32_t GetDword(std::string_view name) const;
  std::string GetString(std::string_view name) const;
  // Store a value under the program's key as given (no rules: a reader applies them).
  // Errors: Io when the folder cannot be made, the lock cannot be taken or the file cannot be
  // replaced (`system` = errno); InvalidArgument when the name, key or value exceeds RegFile's
  // limits. Nothing is written on error.
  Status SetDword(std::string_view name, uint32_t value);
  Status SetString(std::string_view name, std::string_view value);

  // Raw access to any key path without rules or key creation; nullopt when missing or of the
  // other type.
  std::optional<uint32_t> RawDword(std::string_view key, std::string_view name) const;
  std::optional<std::string> RawString(std::string_view key, std::string_view name) const;
  // Errors as for SetDword.
  Status SetRawDword(std::string_view key, std::string_view name, uint32_t value);
  Status SetRawString(std::string_view key, std::string_view name, std::string_view value);
  // Removes a value; success when the store was written (also when the value was not there).
  // InvalidArgument for a key path RegFile does not accept, else errors as for SetDword.
  Status DeleteValue(std::string_view key, std::string_view name);

  // Profile section "Settings" under Software\DTL\DTL: "" when the entry is missing.
  std::string GetProfileString(std::string_view entry) const;
  Status WriteProfileString(std::string_view entry, std::string_view value);
  // Several entries in one locked write (a history list saves all its lines at once); one
  // refused entry writes none of them.
  Status WriteProfileStrings(const std::vector<std::pair<std::string, std::string>>& entries);

  // Named shorthands for the table's values, rules applied.
  uint32_t SendType() const { return GetDword("SendType"); }
  std::string FromAddress() const { return GetString("FromAddress"); }
  uint32_t SegSize() const { return GetDword("SegSize"); }
  std::string SmtpServer() const { return GetString("SMTPServer"); }
  uint32_t SmtpPort() const { return GetDword("SMTPPort"); }
  std::string SmtpUserName() const { return GetString("SMTPUserName"); }
  std::string SmtpPass() const { return GetString("SMTPPass"); }
  bool Ssl() const { return GetDword("SSL") == 1; }
  std::string UserName() const { return GetString("UserName"); }
  std::string Pass() const { return GetString("Pass"); }
  std::string Mx() const { return GetString("MX"); }
  uint32_t Port() const { return GetDword("Port"); }
  uint32_t EncMethod() const { return GetDword("EncMethod"); }
  bool MinToTray() const { return GetDword("MinToTray") != 0; }
  std::string SavePath() const { return GetString("savepath"); }
  bool AutoMerge() const { return GetDword("AutoMerge") != 0; }
  std::string ImapServer() const { return GetString("IMAPServer"); }
  uint32_t ImapPort() const { return GetDword("IMAPPort"); }
  bool ImapStartTls() const { return GetDword("IMAPSecurity") == 1; }
  std::string ImapUserName() const { return GetString("IMAPUserName"); }
  std::string ImapPass() const { return GetString("IMAPPass"); }
  std::string ImapFolder() const { return GetString("IMAPFolder"); }
  uint32_t RecoveryPercent() const { return GetDword("RecoveryPercent"); }

  // The whole file as it reads now (for listing and tests).
  RegFile Load() const;

 private:
  // Applies `change` to the current contents under the lock and replaces the file; a change
  // that returns false writes nothing and makes Update return InvalidArgument.
  Status Update(const std::function<bool(RegFile&)>& change) const;
  RegFile LoadForRead() const;  // Load(), creating the program's key if missing
  // The secret row `name` names, when secrets go to the attached place now; else nullptr.
  const SettingInfo* KeyringRow(std::string_view name) const;
  Status EraseFromFile(std::string_view name);
  std::string SecretLabel(const SettingInfo& info) const;

  std::filesystem::path file_;
  std::shared_ptr<SecretStore> secrets_;
  std::string scope_;  // the file's absolute path: what the place files our secrets under
};

}  // namespace dtl
