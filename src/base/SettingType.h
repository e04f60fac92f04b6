// The two kinds of value the settings store keeps: strings and 32-bit numbers (DWORDs).
#pragma once

namespace dtl {
enum class SettingType { String, Dword };
}  // namespace dtl
