// A strict reader for the one JSON shape OAuth2 endpoints answer with: an object whose members
// the program reads are strings, numbers or booleans. Nested objects and arrays are checked and
// skipped. Nothing is trusted: depth, size and escapes are all bounded and checked.
#pragma once

#include <map>
#include <string>
#include <string_view>

#include "base/Error.h"

namespace dtl {

struct JsonScalar {
  enum class Kind { String, Number, Bool, Null, Nested };
  Kind kind = Kind::Null;
  std::string text;  // a string's decoded value, a number's digits, "true"/"false"
};

// The top-level members of the object `text` holds. Errors: Protocol when `text` is not exactly
// one JSON object (trailing bytes, bad escapes, invalid UTF-16 surrogates, duplicate names,
// nesting deeper than 32).
Result<std::map<std::string, JsonScalar>> ParseJsonObject(std::string_view text);

}  // namespace dtl
