// The settings file's text form, in the style of a registry export:
//
//   [HKEY_CURRENT_USER\Software\Kestrelwing\DTL]
//   "SMTPServer"="mail.example.org"
//   "SMTPPort"=dword:0000001a
//
// so key paths, value names and value types survive. Strings escape \\, \" and control
// characters (\n, \r, \t, \xHH); other bytes (UTF-8) are kept as they are. A DWORD is always
// exactly eight hex digits, which makes every line self-delimiting: a file cut short anywhere
// loses at most its last value instead of reading a shortened number.
//
// The parser takes hostile input: it never fails, keeps what it understands and drops the
// rest, works line by line without recursion, and bounds the line length and the input size.
// Key paths and value names compare without regard to ASCII case, as the registry does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "base/SettingType.h"

namespace dtl {

struct RegValue {
  SettingType type = SettingType::String;
  std::string text;    // String values
  uint32_t dword = 0;  // Dword values
};
// Equal when of the same type with the same content (the unused member is ignored).
bool operator==(const RegValue& a, const RegValue& b);

class RegFile {
 public:
  static constexpr size_t kMaxFileBytes = 4 * 1024 * 1024;  // more than this is not read
  static constexpr size_t kMaxLineBytes = 64 * 1024;        // longer lines are dropped
  static constexpr size_t kMaxNameBytes = 255;              // key paths and value names
  static constexpr size_t kMaxStringBytes = 8 * 1024;       // string values

  // Parses `text` (only its first kMaxFileBytes). Lines before the first key header, comments
  // (";"), blank lines and lines it does not understand are dropped; a value given twice keeps
  // the later one.
  static RegFile Parse(std::string_view text);
  // The whole file, with a comment header; parses back to an equal RegFile.
  std::string Serialize() const;

  // `key` may carry the "HKEY_CURRENT_USER\" prefix or not.
  bool HasKey(std::string_view key) const;
  void AddKey(std::string_view key);
  const RegValue* Find(std::string_view key, std::string_view name) const;
  // Whether the contents changed, not an error report: Set is false (nothing changed) when
  // the key, name or string exceeds the limits above; Erase is false when the value was not
  // there.
  bool Set(std::string_view key, std::string_view name, RegValue value);
  bool Erase(std::string_view key, std::string_view name);

  size_t KeyCount() const { return keys_.size(); }
  bool operator==(const RegFile&) const = default;

 private:
  struct CaseLess {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const;
  };
  using Values = std::map<std::string, RegValue, CaseLess>;
  std::map<std::string, Values, CaseLess> keys_;
};

// "HKEY_CURRENT_USER\Software\X\" -> "Software\X". An empty optional means "not a key path"
// (empty or over-long): absence rather than an error, since a caller either skips such a line
// or refuses the key, and has no use for more detail than that.
std::optional<std::string> NormalizeKeyPath(std::string_view key);

}  // namespace dtl
