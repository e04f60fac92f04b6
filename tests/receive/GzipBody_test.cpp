// The gzip body decoder against bodies built here byte by byte: each header flag, broken
// headers, cut bodies. (Bodies of zlib's and Python's gzip writers come through the download
// engine's and dtl fetch's tests.)
#include "receive/GzipBody.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include "support/TestSupport.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes RawDeflate(const Bytes& data) {
  z_stream zs{};
  deflateInit2(&zs, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  Bytes out(deflateBound(&zs, data.size()) + 16);
  zs.next_in = const_cast<Bytef*>(data.data());
  zs.avail_in = static_cast<uInt>(data.size());
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  deflate(&zs, Z_FINISH);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

void PutLe32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// A gzip member with the given flags; the optional fields are filled in when their flag is set.
// The extra field is longer than 255 bytes, so both bytes of its length count.
Bytes Gzip(const Bytes& data, uint8_t flags, size_t extraLen = 300) {
  Bytes b = {0x1F, 0x8B, 8, flags, 1, 2, 3, 4, 0, 3};
  if (flags & 0x04) {
    b.push_back(static_cast<uint8_t>(extraLen));
    b.push_back(static_cast<uint8_t>(extraLen >> 8));
    for (size_t i = 0; i < extraLen; ++i) b.push_back(static_cast<uint8_t>(0xA0 + i));
  }
  auto zeroEnded = [&b](const std::string& text) {
    b.insert(b.end(), text.begin(), text.end());
    b.push_back(0);
  };
  if (flags & 0x08) zeroEnded("movie.avi.001");
  if (flags & 0x10) zeroEnded("a comment");
  if (flags & 0x02) {
    uint32_t crc = static_cast<uint32_t>(crc32(0, b.data(), static_cast<uInt>(b.size())));
    b.push_back(static_cast<uint8_t>(crc));
    b.push_back(static_cast<uint8_t>(crc >> 8));
  }
  Bytes body = RawDeflate(data);
  b.insert(b.end(), body.begin(), body.end());
  PutLe32(b, static_cast<uint32_t>(crc32(0, data.data(), static_cast<uInt>(data.size()))));
  PutLe32(b, static_cast<uint32_t>(data.size()));
  return b;
}

struct Decoded {
  bool ok = true;
  bool complete = false;
  std::string error;
  Bytes out;
};

// Feeds `body` in pieces of `step` bytes (0: all at once).
Decoded Decode(const Bytes& body, size_t step = 0) {
  dtl::GzipBody gz;
  Decoded d;
  auto sink = [&](const uint8_t* p, size_t n) {
    d.out.insert(d.out.end(), p, p + n);
    return true;
  };
  if (step == 0) step = body.size() ? body.size() : 1;
  for (size_t i = 0; i < body.size() && d.ok; i += step)
    d.ok = gz.Feed(body.data() + i, std::min(step, body.size() - i), sink);
  d.complete = gz.Complete();
  d.error = d.ok ? gz.TruncationError() : gz.Error();
  return d;
}

const Bytes kData = dtltest::RandomBytes(200000, 7, true);

class EveryHeaderFlag : public ::testing::TestWithParam<uint8_t> {};

TEST_P(EveryHeaderFlag, DecodesWhateverWayTheBodyIsCut) {
  Bytes body = Gzip(kData, GetParam());
  for (size_t step : {size_t{0}, size_t{1}, size_t{1000}}) {
    Decoded d = Decode(body, step);
    ASSERT_TRUE(d.ok) << d.error << " step " << step;
    EXPECT_TRUE(d.complete) << "step " << step;
    EXPECT_EQ(d.out, kData) << "step " << step;
  }
}
INSTANTIATE_TEST_SUITE_P(, EveryHeaderFlag,
                         ::testing::Values(0x00, 0x01, 0x02, 0x04, 0x08, 0x10, 0x1F),
                         [](const auto& info) { return "flags_" + std::to_string(info.param); });

TEST(GzipBody, RefusesHeadersItCannotRead) {
  struct Case {
    const char* what;
    size_t index;
    uint8_t value;
  } cases[] = {
      {"first magic byte", 0, 0x1E}, {"second magic byte", 1, 0x8C}, {"stored method", 2, 0},
      {"reserved flag 20", 3, 0x20}, {"reserved flag 40", 3, 0x40},  {"reserved flag 80", 3, 0x88},
  };
  for (const Case& c : cases) {
    Bytes body = Gzip(kData, 0);
    body[c.index] = c.value;
    Decoded d = Decode(body, 1);
    EXPECT_FALSE(d.ok) << c.what;
    EXPECT_FALSE(d.complete) << c.what;
    EXPECT_TRUE(d.out.empty()) << c.what;
  }
}

TEST(GzipBody, ABodyCutAnywhereIsNeverComplete) {
  Bytes body = Gzip(kData, 0x0C);
  size_t headerEnd = 10 + 2 + 300 + 14;
  for (size_t cut : {size_t{0}, size_t{3}, size_t{11}, headerEnd - 1, headerEnd + 10, body.size() / 2,
                     body.size() - 8, body.size() - 1}) {
    Decoded d = Decode(Bytes(body.begin(), body.begin() + cut), 100);
    EXPECT_TRUE(d.ok) << "cut at " << cut;  // nothing wrong yet, only missing
    EXPECT_FALSE(d.complete) << "cut at " << cut;
    EXPECT_FALSE(d.error.empty()) << "cut at " << cut;
  }
}

TEST(GzipBody, TrailerMustMatchWhatWasDecoded) {
  Bytes badCrc = Gzip(kData, 0);
  badCrc[badCrc.size() - 8] ^= 1;
  Bytes badLength = Gzip(kData, 0);
  badLength[badLength.size() - 1] ^= 1;
  Bytes badData = Gzip(kData, 0);
  badData[40] ^= 0xFF;
  for (const Bytes* b : {&badCrc, &badLength, &badData}) {
    Decoded d = Decode(*b);
    EXPECT_FALSE(d.complete);
    EXPECT_FALSE(d.ok);
  }
}

}  // namespace
