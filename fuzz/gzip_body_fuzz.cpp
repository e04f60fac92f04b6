// The download engine's gzip body decoder on arbitrary bodies: its own header parse (flags,
// extra field, name, comment, header CRC), zlib's raw inflate and the trailer check.
//
// Input: one byte choosing how the body is split into reads, then the body. The decoder claims
// any split works, so the body fed in one piece and fed in the chosen pieces must agree on the
// outcome and on every decoded byte.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "receive/GzipBody.h"

namespace {

struct Outcome {
  bool fed = true;
  bool complete = false;
  bool capped = false;  // the sink refused more: the runs' sizes, not the body, decided where
  std::string bytes;
  bool operator==(const Outcome&) const = default;
};

constexpr size_t kMaxDecoded = 8u << 20;  // a body that inflates further is cut off by the sink

Outcome Decode(const uint8_t* data, size_t size, size_t piece) {
  dtl::GzipBody body;
  Outcome out;
  const dtl::GzipBody::Sink sink = [&](const uint8_t* d, size_t n) {
    if (n == 0) std::abort();  // the sink is never called for nothing
    if (out.bytes.size() + n > kMaxDecoded) {
      out.capped = true;
      return false;
    }
    out.bytes.append(reinterpret_cast<const char*>(d), n);
    return true;
  };
  for (size_t pos = 0; pos < size && out.fed; pos += piece)
    out.fed = body.Feed(data + pos, std::min(piece, size - pos), sink);
  out.complete = body.Complete();
  if (out.complete && !body.Error().empty()) std::abort();
  if (body.DecodedBytes() != out.bytes.size() && out.fed) std::abort();
  if (!out.complete) body.TruncationError();
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t piece = 1 + data[0] % 32;
  const Outcome whole = Decode(data + 1, size - 1, size);
  const Outcome split = Decode(data + 1, size - 1, piece);
  if (!whole.capped && !split.capped && !(whole == split)) std::abort();
  return 0;
}
