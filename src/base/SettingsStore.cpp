#include "base/SettingsStore.h"

#include "base/AtomicFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "base/ProgramFolder.h"
#include "base/SecretMemory.h"
#include "base/SecretStore.h"

namespace dtl {

namespace fs = std::filesystem;

namespace {

SettingInfo Str(std::string_view name, size_t maxChars = 200, bool secret = false,
                std::string_view def = {}) {
  SettingInfo i{name, SettingType::String};
  i.maxChars = maxChars;
  i.secret = secret;
  i.defaultString = def;
  return i;
}

SettingInfo Dw(std::string_view name, DwordRule rule, uint32_t def, uint32_t min = 0,
               uint32_t max = 0) {
  SettingInfo i{name, SettingType::Dword};
  i.rule = rule;
  i.defaultDword = def;
  i.minDword = min;
  i.maxDword = max;
  return i;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// Characters, not bytes: the limit stood for a fixed buffer of single-byte characters, and a
// user with a non-ASCII path should get the same room. UTF-8 continuation bytes don't count.
size_t CharCount(std::string_view s) {
  size_t n = 0;
  for (unsigned char c : s)
    if ((c & 0xC0) != 0x80) ++n;
  return n;
}

class FileLock {
 public:
  explicit FileLock(const fs::path& lockFile) {
    fd_ = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) {
      err_ = errno;
      return;
    }
    int r;
    do r = ::flock(fd_, LOCK_EX);
    while (r != 0 && errno == EINTR);
    if (r != 0) {
      err_ = errno;
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~FileLock() {
    if (fd_ >= 0) ::close(fd_);  // closing drops the lock
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  bool held() const { return fd_ >= 0; }
  int error() const { return err_; }  // errno of the failed open or flock

 private:
  int fd_ = -1;
  int err_ = 0;
};

// A temporary file can only outlive its writer if that writer died; with the lock held nobody
// else is writing, so whatever matches our pattern now is debris.
void SweepStaleTemps(const fs::path& file) {
  fs::path folder = file.parent_path();
  DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
  if (!dir) return;
  std::string prefix = AtomicTempPrefix(file);
  while (struct dirent* e = ::readdir(dir)) {
    if (std::strncmp(e->d_name, prefix.c_str(), prefix.size()) == 0)
      ::unlinkat(::dirfd(dir), e->d_name, 0);
  }
  ::closedir(dir);
}

}  // namespace

const std::vector<SettingInfo>& SettingsTable() {
  static const std::vector<SettingInfo> table = {
      Dw("SendType", DwordRule::Range, 0, 0, 2),
      Str("FromAddress", 200, false, kDefaultFromAddress),
      Dw("SegSize", DwordRule::Range, 1000, 1, 1000),
      Str("SMTPServer"),
      Dw("SMTPPort", DwordRule::Range, 25, 1, 65535),
      Str("SMTPUserName"),
      Str("SMTPPass", 200, true),
      Dw("SSL", DwordRule::OnlyOneIsOn, 0),
      Str("UserName"),
      Str("Pass", 200, true),
      Str("MX"),
      Dw("Port", DwordRule::Range, 25, 1, 65535),
      Dw("EncMethod", DwordRule::Range, 1, 1, 2),
      Dw("MinToTray", DwordRule::OnlyZeroIsOff, 1),
      Str("savepath", 260),
      Dw("AutoMerge", DwordRule::OnlyZeroIsOff, 1),
      Dw("AllowPlainLogin", DwordRule::OnlyOneIsOn, 0),
      Str("IMAPServer"),
      Dw("IMAPPort", DwordRule::Range, 993, 1, 65535),
      Dw("IMAPSecurity", DwordRule::Range, 0, 0, 1),  // 0 implicit TLS, 1 STARTTLS
      Str("IMAPUserName"),
      Str("IMAPPass", 200, true),
      Str("IMAPFolder", 200, false, "INBOX"),
      Dw("RecoveryPercent", DwordRule::Range, 0, 0, 100),  // recovery data per split file
      // How the SMTP and IMAP logins are made: 0 a password, 1 OAuth2 (a token of OAuth2Provider).
      Dw("SMTPAuth", DwordRule::Range, 0, 0, 1),
      Dw("IMAPAuth", DwordRule::Range, 0, 0, 1),
      // The account an OAuth2 login belongs to: the provider id ("google", "microsoft",
      // "yahoo" or "custom"), the address the refresh token was given for, and the token.
      Str("OAuth2Provider", 40),
      Str("OAuth2User", 200),
      Str("OAuth2RefreshToken", 4000, true),
      // Each provider's client registration: an id, and a secret where the provider wants one.
      Str("GoogleClientId"),
      Str("GoogleClientSecret", 200, true),
      Str("MicrosoftClientId"),
      Str("MicrosoftClientSecret", 200, true),
      Str("YahooClientId"),
      Str("YahooClientSecret", 200, true),
      // A provider the program does not know: its authorization and token addresses, scope and
      // client registration (https only).
      Str("OAuth2AuthorizeUrl", 1000),
      Str("OAuth2TokenUrl", 1000),
      Str("OAuth2Scope", 1000),
      Str("OAuth2ClientId"),
      Str("OAuth2ClientSecret", 200, true),
      // Where secrets are kept: 0 the desktop's keyring when one is running, 1 the settings file.
      Dw("SecretStore", DwordRule::Range, 0, 0, 1),
      // How long a run waits after a provider's limit, in seconds, when the server does not say:
      // a rate limit ("try again later") and a sending quota (a daily limit).
      Dw("RateLimitPause", DwordRule::Range, 900, 1, 86400),
      Dw("QuotaPause", DwordRule::Range, 3600, 1, 172800),
      // The product's web site (the desktop's "Websites" and "Tell a friend..." menu items) and
      // the sibling product's site (its tab). Empty by default: no such site exists yet, so the
      // items stay hidden and the tab shows a local page saying so.
      Str("ProductSite", 1000),
      Str("SiblingSite", 1000),
  };
  return table;
}

const SettingInfo* FindSetting(std::string_view name) {
  for (const auto& i : SettingsTable())
    if (EqualNoCase(i.name, name)) return &i;
  return nullptr;
}

uint32_t ApplyDwordRule(const SettingInfo& info, std::optional<uint32_t> stored) {
  if (!stored) return info.defaultDword;
  switch (info.rule) {
    case DwordRule::OnlyOneIsOn: return *stored == 1 ? 1 : 0;
    case DwordRule::OnlyZeroIsOff: return *stored == 0 ? 0 : 1;
    case DwordRule::Range: break;
  }
  return IsValidDword(info, *stored) ? *stored : info.defaultDword;
}

std::string ApplyStringRule(const SettingInfo& info, std::optional<std::string> stored) {
  if (stored) {
    // The registry hands strings over up to their terminating zero.
    auto nul = stored->find('\0');
    if (nul != std::string::npos) stored->resize(nul);
  }
  if (!stored || !IsValidString(info, *stored)) return std::string(info.defaultString);
  return std::move(*stored);
}

bool IsValidDword(const SettingInfo& info, uint32_t value) {
  if (info.rule != DwordRule::Range) return true;
  return value >= info.minDword && value <= info.maxDword;
}

bool IsValidString(const SettingInfo& info, std::string_view value) {
  auto nul = value.find('\0');
  if (nul != std::string_view::npos) value = value.substr(0, nul);
  return !value.empty() && CharCount(value) <= info.maxChars;
}

SettingsStore::SettingsStore(fs::path file) : file_(std::move(file)) {}

void SettingsStore::AttachSecrets(std::shared_ptr<SecretStore> secrets) {
  secrets_ = std::move(secrets);
  // The keyring outlives any working folder: a relative path would mix up two files.
  std::error_code ec;
  fs::path abs = fs::absolute(file_, ec);
  scope_ = (ec ? file_ : abs).lexically_normal().string();
}

bool SettingsStore::KeyringAvailable() const { return secrets_ && secrets_->Available(); }

bool SettingsStore::SecretsGoToKeyring() const {
  // The file's setting first: it costs no bus round trip.
  return secrets_ && GetDword("SecretStore") == 0 && secrets_->Available();
}

const SettingInfo* SettingsStore::KeyringRow(std::string_view name) const {
  if (!secrets_) return nullptr;
  const SettingInfo* info = FindSetting(name);
  if (!info || !info->secret) return nullptr;
  return SecretsGoToKeyring() ? info : nullptr;
}

std::string SettingsStore::SecretLabel(const SettingInfo& info) const {
  static const std::pair<std::string_view, std::string_view> kWhat[] = {
      {"SMTPPass", "SMTP password"},
      {"IMAPPass", "IMAP password"},
      {"Pass", "web-mail password"},
      {"OAuth2RefreshToken", "OAuth2 refresh token"},
      {"GoogleClientSecret", "Google client secret"},
      {"MicrosoftClientSecret", "Microsoft client secret"},
      {"YahooClientSecret", "Yahoo client secret"},
      {"OAuth2ClientSecret", "OAuth2 client secret"},
  };
  std::string what(info.name);
  for (const auto& [name, text] : kWhat)
    if (name == info.name) what = text;
  std::string label = "Drovetail: " + what;
  // Only a second settings file needs telling apart in the user's keyring manager.
  std::error_code ec;
  if (!fs::equivalent(file_, DefaultPath(), ec)) label += " (" + scope_ + ")";
  return label;
}

Status SettingsStore::EraseFromFile(std::string_view name) {
  return Update([&](RegFile& f) {
    f.Erase(kSettingsKey, name);
    return true;
  });
}

std::vector<std::string> SettingsStore::SecretsInFile() const {
  RegFile f = Load();
  std::vector<std::string> names;
  for (const auto& info : SettingsTable()) {
    if (!info.secret) continue;
    const RegValue* v = f.Find(kSettingsKey, info.name);
    if (v && v->type == SettingType::String && !v->text.empty()) names.emplace_back(info.name);
  }
  return names;
}

Result<std::vector<std::string>> SettingsStore::SecretsInKeyring() const {
  std::vector<std::string> names;
  if (!KeyringAvailable()) return names;
  for (const auto& info : SettingsTable()) {
    if (!info.secret) continue;
    auto found = secrets_->Lookup(scope_, info.name);
    if (!found) return found.error();
    if (*found) {
      WipeSecret(**found);
      names.emplace_back(info.name);
    }
  }
  return names;
}

Result<int> SettingsStore::MoveSecretsToKeyring() {
  if (!KeyringAvailable())
    return Error(ErrorCode::NotFound,
                 "no keyring is running (no Secret Service on the session bus)");
  if (GetDword("SecretStore") != 0) {
    if (Status s = SetDword("SecretStore", 0); !s) return s.error();
  }
  int moved = 0;
  for (const auto& info : SettingsTable()) {
    if (!info.secret) continue;
    std::optional<std::string> value = RawString(kSettingsKey, info.name);
    if (!value) continue;
    if (!value->empty()) {
      if (Status s = secrets_->Store(scope_, info.name, SecretLabel(info), *value); !s) {
        WipeSecret(*value);
        return Error(s.error().code, std::string(info.name) + ": " + s.error().message);
      }
      auto back = secrets_->Lookup(scope_, info.name);
      const bool kept = back && *back && **back == *value;
      if (back && *back) WipeSecret(**back);
      WipeSecret(*value);
      if (!kept) {
        // A wrong copy would be read before the file's right one.
        (void)secrets_->Remove(scope_, info.name);
        return Error(ErrorCode::Failed, std::string(info.name) +
                                            ": the keyring did not keep the value; it stays in " +
                                            file_.string());
      }
      ++moved;
    }
    // An empty value is no secret, but the file keeps no secret rows at all once moved.
    if (Status s = EraseFromFile(info.name); !s) return s.error();
  }
  return moved;
}

Result<int> SettingsStore::MoveSecretsToFile() {
  if (!KeyringAvailable())
    return Error(ErrorCode::NotFound,
                 "no keyring is running (no Secret Service on the session bus)");
  int moved = 0;
  for (const auto& info : SettingsTable()) {
    if (!info.secret) continue;
    auto found = secrets_->Lookup(scope_, info.name);
    if (!found)
      return Error(found.error().code, std::string(info.name) + ": " + found.error().message);
    if (!*found) continue;
    std::string& value = **found;
    Status written = SetRawString(kSettingsKey, info.name, value);
    std::optional<std::string> back = written ? RawString(kSettingsKey, info.name) : std::nullopt;
    const bool kept = back && *back == value;
    if (back) WipeSecret(*back);
    WipeSecret(value);
    if (!written) return written.error();
    if (!kept)
      return Error(ErrorCode::Io, std::string(info.name) + ": " + file_.string() +
                                      " did not keep the value; it stays in the keyring");
    if (Status s = secrets_->Remove(scope_, info.name); !s)
      return Error(s.error().code, std::string(info.name) + ": " + s.error().message);
    ++moved;
  }
  if (Status s = SetDword("SecretStore", 1); !s) return s.error();
  return moved;
}

Result<int> SettingsStore::MoveSecretsIfDue() {
  // The cheap checks first: most runs find nothing to move and never touch the bus.
  if (!secrets_ || SecretsInFile().empty() || GetDword("SecretStore") != 0) return 0;
  if (!secrets_->Available()) return 0;
  return MoveSecretsToKeyring();
}

fs::path SettingsStore::DefaultPath() { return XdgConfigHome() / "drovetail" / "settings.reg"; }

RegFile SettingsStore::Load() const {
  // O_NONBLOCK: a FIFO planted at the path must not hang the reader; it is refused below.
  int fd = ::open(file_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return {};
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return {};
  }
  // Read at most what the parser looks at, whatever size the file claims.
  std::string text;
  char buf[16384];
  while (text.size() < RegFile::kMaxFileBytes) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return RegFile::Parse(text);
}

Status SettingsStore::Update(const std::function<bool(RegFile&)>& change) const {
  fs::path folder = file_.parent_path();
  if (!folder.empty()) {
    if (Status made = MakePrivateFolders(folder); !made) return made;
  }
  const fs::path lockFile(file_.string() + ".lock");
  FileLock lock(lockFile);
  if (!lock.held())
    return Error(ErrorCode::Io, lockFile.string() + ": " + std::strerror(lock.error()),
                 lock.error());
  SweepStaleTemps(file_);
  RegFile contents = Load();
  // RegFile refuses names, keys and values beyond its limits rather than write a file it
  // could not read back.
  if (!change(contents))
    return Error(ErrorCode::InvalidArgument,
                 file_.string() + ": value refused by the settings file");
  return ReplaceFileAtomically(file_, contents.Serialize(), 0600);
}

RegFile SettingsStore::LoadForRead() const {
  RegFile contents = Load();
  if (!contents.HasKey(kSettingsKey)) {
    // Creating the key is a courtesy to the next run; a reader never fails over it.
    (void)Update([](RegFile& f) {
      if (f.HasKey(kSettingsKey)) return false;  // another process was first
      f.AddKey(kSettingsKey);
      return true;
    });
  }
  return contents;
}

uint32_t SettingsStore::GetDword(std::string_view name) const {
  RegFile f = LoadForRead();
  const RegValue* v = f.Find(kSettingsKey, name);
  std::optional<uint32_t> stored;
  if (v && v->type == SettingType::Dword) stored = v->dword;
  if (const SettingInfo* info = FindSetting(name); info && info->type == SettingType::Dword)
    return ApplyDwordRule(*info, stored);
  return stored.value_or(0);
}

std::string SettingsStore::GetString(std::string_view name) const {
  if (const SettingInfo* info = KeyringRow(name)) {
    // A keyring that cannot answer leaves the file's value (if any) to be read.
    auto found = secrets_->Lookup(scope_, info->name);
    if (found && *found) return ApplyStringRule(*info, std::move(**found));
  }
  RegFile f = LoadForRead();
  const RegValue* v = f.Find(kSettingsKey, name);
  std::optional<std::string> stored;
  if (v && v->type == SettingType::String) stored = v->text;
  if (const SettingInfo* info = FindSetting(name); info && info->type == SettingType::String)
    return ApplyStringRule(*info, std::move(stored));
  return stored.value_or(std::string());
}

Status SettingsStore::SetDword(std::string_view name, uint32_t value) {
  return SetRawDword(kSettingsKey, name, value);
}

Status SettingsStore::SetString(std::string_view name, std::string_view value) {
  if (const SettingInfo* info = KeyringRow(name)) {
    Status kept = value.empty() ? secrets_->Remove(scope_, info->name)
                                : secrets_->Store(scope_, info->name, SecretLabel(*info), value);
    if (!kept) return kept;
    // The older copy a file may still hold would come back if the keyring went away.
    return EraseFromFile(info->name);
  }
  return SetRawString(kSettingsKey, name, value);
}

std::optional<uint32_t> SettingsStore::RawDword(std::string_view key, std::string_view name) const {
  RegFile f = Load();
  const RegValue* v = f.Find(key, name);
  if (!v || v->type != SettingType::Dword) return std::nullopt;
  return v->dword;
}

std::optional<std::string> SettingsStore::RawString(std::string_view key,
                                                    std::string_view name) const {
  RegFile f = Load();
  const RegValue* v = f.Find(key, name);
  if (!v || v->type != SettingType::String) return std::nullopt;
  return v->text;
}

Status SettingsStore::SetRawDword(std::string_view key, std::string_view name, uint32_t value) {
  RegValue v;
  v.type = SettingType::Dword;
  v.dword = value;
  return Update([&](RegFile& f) { return f.Set(key, name, v); });
}

Status SettingsStore::SetRawString(std::string_view key, std::string_view name,
                                   std::string_view value) {
  RegValue v;
  v.type = SettingType::String;
  v.text = std::string(value);
  return Update([&](RegFile& f) { return f.Set(key, name, v); });
}

Status SettingsStore::DeleteValue(std::string_view key, std::string_view name) {
  if (!NormalizeKeyPath(key))
    return Error(ErrorCode::InvalidArgument, "not a valid key path: " + std::string(key));
  if (const SettingInfo* info = FindSetting(name);
      info && info->secret && EqualNoCase(*NormalizeKeyPath(key), kSettingsKey) &&
      KeyringAvailable()) {
    // Whatever the setting says now, a secret left behind in the keyring would still be one.
    if (Status s = secrets_->Remove(scope_, info->name); !s) return s;
  }
  return Update([&](RegFile& f) {
    f.Erase(key, name);
    return true;
  });
}

std::string SettingsStore::GetProfileString(std::string_view entry) const {
  return RawString(kProfileKey, entry).value_or(std::string());
}

Status SettingsStore::WriteProfileString(std::string_view entry, std::string_view value) {
  return SetRawString(kProfileKey, entry, value);
}

Status SettingsStore::WriteProfileStrings(
    const std::vector<std::pair<std::string, std::string>>& entries) {
  return Update([&](RegFile& f) {
    RegFile changed = f;
    for (const auto& [name, value] : entries) {
      RegValue v;
      v.text = value;
      if (!changed.Set(kProfileKey, name, std::move(v))) return false;
    }
    f = std::move(changed);
    return true;
  });
}

}  // namespace dtl
