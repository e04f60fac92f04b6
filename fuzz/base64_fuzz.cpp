// Base64 decoding of server challenges (and anything else that arrives as base64): a decoded
// text encodes back to a form that decodes to the same bytes, and encoding is always undone.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "mail/SmtpAuth.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dtl;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (auto decoded = Base64Decode(text)) {
    auto again = Base64Decode(Base64Encode(*decoded));
    if (!again || *again != *decoded) std::abort();
  }
  auto back = Base64Decode(Base64Encode(text));
  if (!back || *back != text) std::abort();
  return 0;
}
