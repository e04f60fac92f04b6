// The settings file reader on arbitrary text: whatever it keeps must write out and read back to
// the same settings (a stored file never changes meaning on the next save), and the values the
// program looks up read safely.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "base/RegFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dtl;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  RegFile file = RegFile::Parse(text);
  const RegFile again = RegFile::Parse(file.Serialize());
  if (!(again == file)) std::abort();

  for (std::string_view key :
       {"Software\\Kestrelwing\\DTL", "HKEY_CURRENT_USER\\Software\\DTL\\DTL\\Settings"}) {
    for (std::string_view name : {"SMTPServer", "SMTPPort", "savepath", ""}) {
      if (const RegValue* v = file.Find(key, name)) {
        if (v->type == SettingType::String && v->text.size() > RegFile::kMaxStringBytes)
          std::abort();
      }
    }
  }
  // Values set after a hostile parse still round-trip.
  file.Set("Software\\Kestrelwing\\DTL", "Pass",
           RegValue{SettingType::String, std::string(text.substr(0, 64)), 0});
  if (!(RegFile::Parse(file.Serialize()) == file)) std::abort();
  return 0;
}
