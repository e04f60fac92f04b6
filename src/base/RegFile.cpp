#include "base/RegFile.h"

#include <algorithm>
#include <cstdio>

namespace dtl {

namespace {

constexpr std::string_view kHive = "HKEY_CURRENT_USER\\";

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (Lower(s[i]) != Lower(prefix[i])) return false;
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads a quoted, escaped string starting at s[pos] == '"'. Advances pos past the closing
// quote. nullopt on a missing quote, an unknown escape or a result longer than `limit`.
std::optional<std::string> ReadQuoted(std::string_view s, size_t& pos, size_t limit) {
  if (pos >= s.size() || s[pos] != '"') return std::nullopt;
  ++pos;
  std::string out;
  while (pos < s.size()) {
    char c = s[pos++];
    if (c == '"') return out;
    if (c == '\\') {
      if (pos >= s.size()) return std::nullopt;
      char e = s[pos++];
      switch (e) {
        case '\\': c = '\\'; break;
        case '"': c = '"'; break;
        case 'n': c = '\n'; break;
        case 'r': c = '\r'; break;
        case 't': c = '\t'; break;
        case 'x': {
          if (pos + 2 > s.size()) return std::nullopt;
          int hi = HexDigit(s[pos]), lo = HexDigit(s[pos + 1]);
          if (hi < 0 || lo < 0) return std::nullopt;
          c = static_cast<char>(hi * 16 + lo);
          pos += 2;
          break;
        }
        default: return std::nullopt;
      }
    }
    if (out.size() >= limit) return std::nullopt;
    out.push_back(c);
  }
  return std::nullopt;
}

void WriteQuoted(std::string& out, std::string_view s) {
  static const char kHex[] = "0123456789abcdef";
  out.push_back('"');
  for (unsigned char c : s) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          out += "\\x";
          out.push_back(kHex[c >> 4]);
          out.push_back(kHex[c & 15]);
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  out.push_back('"');
}

// `"name"="text"` or `"name"=dword:XXXXXXXX`, nothing else.
bool ParseValueLine(std::string_view line, std::string& name, RegValue& value) {
  size_t pos = 0;
  auto n = ReadQuoted(line, pos, RegFile::kMaxNameBytes);
  if (!n || n->empty() || pos >= line.size() || line[pos] != '=') return false;
  ++pos;
  std::string_view rest = line.substr(pos);
  if (!rest.empty() && rest[0] == '"') {
    size_t p = 0;
    auto text = ReadQuoted(rest, p, RegFile::kMaxStringBytes);
    if (!text || p != rest.size()) return false;
    value.type = SettingType::String;
    value.text = std::move(*text);
  } else if (StartsWithNoCase(rest, "dword:") && rest.size() == 6 + 8) {
    uint32_t v = 0;
    for (char c : rest.substr(6)) {
      int d = HexDigit(c);
      if (d < 0) return false;
      v = v * 16 + static_cast<uint32_t>(d);
    }
    value.type = SettingType::Dword;
    value.dword = v;
  } else {
    return false;
  }
  name = std::move(*n);
  return true;
}

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

}  // namespace

bool operator==(const RegValue& a, const RegValue& b) {
  if (a.type != b.type) return false;
  return a.type == SettingType::String ? a.text == b.text : a.dword == b.dword;
}

bool RegFile::CaseLess::operator()(std::string_view a, std::string_view b) const {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                      [](char x, char y) { return Lower(x) < Lower(y); });
}

std::optional<std::string> NormalizeKeyPath(std::string_view key) {
  if (StartsWithNoCase(key, kHive)) key.remove_prefix(kHive.size());
  while (!key.empty() && key.back() == '\\') key.remove_suffix(1);
  while (!key.empty() && key.front() == '\\') key.remove_prefix(1);
  if (key.empty() || key.size() > RegFile::kMaxNameBytes) return std::nullopt;
  // Control characters and brackets would not survive the header line.
  for (unsigned char c : key)
    if (c < 0x20 || c == 0x7f || c == '[' || c == ']') return std::nullopt;
  return std::string(key);
}

RegFile RegFile::Parse(std::string_view text) {
  RegFile f;
  if (text.size() > kMaxFileBytes) text = text.substr(0, kMaxFileBytes);
  Values* current = nullptr;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    if (line.size() > kMaxLineBytes) continue;
    line = TrimRight(line);
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      current = nullptr;
      if (line.back() != ']') continue;
      if (auto key = NormalizeKeyPath(line.substr(1, line.size() - 2))) current = &f.keys_[*key];
      continue;
    }
    if (!current || line[0] != '"') continue;
    std::string name;
    RegValue value;
    if (ParseValueLine(line, name, value)) (*current)[std::move(name)] = std::move(value);
  }
  return f;
}

std::string RegFile::Serialize() const {
  std::string out =
      "; Drovetail settings. Rewritten as a whole by the program; edit only while it is not "
      "running.\n";
  for (const auto& [key, values] : keys_) {
    out += "\n[";
    out += kHive;
    out += key;
    out += "]\n";
    for (const auto& [name, value] : values) {
      WriteQuoted(out, name);
      out.push_back('=');
      if (value.type == SettingType::String) {
        WriteQuoted(out, value.text);
      } else {
        char buf[16];
        std::snprintf(buf, sizeof buf, "dword:%08x", value.dword);
        out += buf;
      }
      out.push_back('\n');
    }
  }
  return out;
}

bool RegFile::HasKey(std::string_view key) const {
  auto k = NormalizeKeyPath(key);
  return k && keys_.count(*k) != 0;
}

void RegFile::AddKey(std::string_view key) {
  if (auto k = NormalizeKeyPath(key)) keys_[*k];
}

const RegValue* RegFile::Find(std::string_view key, std::string_view name) const {
  auto k = NormalizeKeyPath(key);
  if (!k) return nullptr;
  auto kit = keys_.find(*k);
  if (kit == keys_.end()) return nullptr;
  auto vit = kit->second.find(name);
  return vit == kit->second.end() ? nullptr : &vit->second;
}

bool RegFile::Set(std::string_view key, std::string_view name, RegValue value) {
  auto k = NormalizeKeyPath(key);
  if (!k || name.empty() || name.size() > kMaxNameBytes) return false;
  if (value.type == SettingType::String && value.text.size() > kMaxStringBytes) return false;
  Values& values = keys_[*k];
  auto it = values.find(name);
  if (it != values.end())
    it->second = std::move(value);  // keeps the spelling the file already has
  else
    values.emplace(std::string(name), std::move(value));
  return true;
}

bool RegFile::Erase(std::string_view key, std::string_view name) {
  auto k = NormalizeKeyPath(key);
  if (!k) return false;
  auto kit = keys_.find(*k);
  if (kit == keys_.end()) return false;
  auto vit = kit->second.find(name);
  if (vit == kit->second.end()) return false;
  kit->second.erase(vit);
  return true;
}

}  // namespace dtl
