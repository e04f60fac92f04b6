// MD5 (RFC 1321) of many byte streams at once, for the recovery sets: a set of segment files
// needs an MD5 per file and per slice, and one MD5 stream cannot go faster than its chain of
// additions allows. Here up to sixteen streams advance together, one per 32-bit lane of a
// 512-bit register, where the processor has AVX-512; elsewhere they go one after another.
// Results are those of any MD5; the tests hold them against OpenSSL's.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace dtl::md5 {

inline constexpr size_t kLanes = 16;

// One MD5 stream. Copyable: a copy goes on from the same point, so one pass over a file's first
// bytes can finish both the file's MD5 and a longer stream's (the file padded with zeros).
class Stream {
 public:
  // Adds n bytes (scalar).
  void Add(const uint8_t* p, size_t n);
  // Adds n zero bytes.
  void AddZeros(uint64_t n);
  // The digest of what was added; the stream itself is left as it was.
  std::array<uint8_t, 16> Finish() const;

 private:
  friend void AddLanes(Stream* const* streams, const uint8_t* const* data, const size_t* sizes,
                       size_t count);
  uint32_t state_[4] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};
  uint64_t bytes_ = 0;
  uint8_t pending_[64] = {};  // bytes_ % 64 of them wait for a whole block
};

// Adds sizes[i] bytes from data[i] to streams[i] for each i < count (at most kLanes, streams
// distinct), the whole 64-byte blocks of all of them together in the lanes.
void AddLanes(Stream* const* streams, const uint8_t* const* data, const size_t* sizes,
              size_t count);

// Whether AddLanes runs the streams side by side on this processor.
bool LanesInParallel();

}  // namespace dtl::md5
