// The gzip body decoder against members zlib writes with every optional header field, and
// against broken headers, cut bodies and wrong trailers. (Bodies of Python's gzip writer come
// through the download engine's and dtl fetch's tests.)
#include "receive/GzipBody.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>

#include "support/TestSupport.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A gzip member whose header holds the fields of `flags` (FTEXT 01, FHCRC 02, FEXTRA 04, FNAME
// 08, FCOMMENT 10). The extra field is longer than 255 bytes, so both bytes of its length count.
Bytes Gzip(const Bytes& data, uint8_t flags) {
  static Bytes extra = dtltest::RandomBytes(300, 1);
  static char name[] = "movie.avi.001", comment[] = "a comment";
  gz_header h{};
  h.text = flags & 0x01;
  h.hcrc = (flags & 0x02) != 0;
  if (flags & 0x04) h.extra = extra.data(), h.extra_len = static_cast<uInt>(extra.size());
  if (flags & 0x08) h.name = reinterpret_cast<Bytef*>(name);
  if (flags & 0x10) h.comment = reinterpret_cast<Bytef*>(comment);
  z_stream zs{};
  deflateInit2(&zs, 6, Z_DEFLATED, 16 + 15, 8, Z_DEFAULT_STRATEGY);
  deflateSetHeader(&zs, &h);
  Bytes out(deflateBound(&zs, data.size()) + 400);
  zs.next_in = const_cast<Bytef*>(data.data());
  zs.avail_in = static_cast<uInt>(data.size());
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  EXPECT_EQ(out[3], flags);
  return out;
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

TEST(GzipBody, DecodesEveryHeaderFlagWhateverWayTheBodyIsCut) {
  for (uint8_t flags : {0x00, 0x01, 0x02, 0x04, 0x08, 0x10, 0x1F}) {
    const Bytes body = Gzip(kData, flags);
    for (size_t step : {size_t{0}, size_t{1}, size_t{1000}}) {
      SCOPED_TRACE("flags " + std::to_string(flags) + " step " + std::to_string(step));
      Decoded d = Decode(body, step);
      ASSERT_TRUE(d.ok) << d.error;
      EXPECT_TRUE(d.complete);
      EXPECT_EQ(d.out, kData);
    }
  }
}

// Headers it cannot read are refused before any byte is handed out; damaged data or a trailer
// that does not match what was decoded is refused at the end.
TEST(GzipBody, RefusesBrokenHeadersDataAndTrailers) {
  struct Case {
    const char* what;
    long at;  // from the start, or from the end when negative
    uint8_t value;
    bool xorValue;
    bool headerLevel;
  } cases[] = {
      {"first magic byte", 0, 0x1E, false, true}, {"second magic byte", 1, 0x8C, false, true},
      {"stored method", 2, 0, false, true},       {"reserved flag 20", 3, 0x20, false, true},
      {"reserved flag 40", 3, 0x40, false, true}, {"reserved flag 80", 3, 0x88, false, true},
      {"damaged data", 40, 0xFF, true, false},    {"trailer CRC", -8, 1, true, false},
      {"trailer length", -1, 1, true, false},
  };
  for (const Case& c : cases) {
    Bytes body = Gzip(kData, 0);
    uint8_t& byte = body[c.at >= 0 ? size_t(c.at) : body.size() - size_t(-c.at)];
    byte = c.xorValue ? byte ^ c.value : c.value;
    Decoded d = Decode(body, 1);
    EXPECT_FALSE(d.ok) << c.what;
    EXPECT_FALSE(d.complete) << c.what;
    EXPECT_TRUE(!c.headerLevel || d.out.empty()) << c.what;
  }
}

TEST(GzipBody, ABodyCutAnywhereIsNeverComplete) {
  const Bytes body = Gzip(kData, 0x0C);
  const size_t headerEnd = 10 + 2 + 300 + 14;
  for (size_t cut : {size_t{0}, size_t{3}, size_t{11}, headerEnd - 1, headerEnd + 10,
                     body.size() / 2, body.size() - 8, body.size() - 1}) {
    Decoded d = Decode(Bytes(body.begin(), body.begin() + cut), 100);
    EXPECT_TRUE(d.ok) << "cut at " << cut;  // nothing wrong yet, only missing
    EXPECT_FALSE(d.complete) << "cut at " << cut;
    EXPECT_FALSE(d.error.empty()) << "cut at " << cut;
  }
}

// A gzip member of `count` zero bytes, deflated a mebibyte at a time (nothing that size is held).
Bytes GzipZeros(uint64_t count) {
  z_stream zs{};
  deflateInit2(&zs, 9, Z_DEFLATED, 16 + 15, 9, Z_DEFAULT_STRATEGY);
  const Bytes zeros(1 << 20, 0);
  Bytes out;
  uint8_t buffer[1 << 16];
  for (;;) {
    const uint64_t now = std::min<uint64_t>(count, zeros.size());
    count -= now;
    zs.next_in = const_cast<Bytef*>(zeros.data());
    zs.avail_in = static_cast<uInt>(now);
    const int flush = count == 0 ? Z_FINISH : Z_NO_FLUSH;
    int rc;
    do {
      zs.next_out = buffer;
      zs.avail_out = sizeof buffer;
      rc = deflate(&zs, flush);
      out.insert(out.end(), buffer, buffer + (sizeof buffer - zs.avail_out));
    } while (zs.avail_out == 0);
    if (rc == Z_STREAM_END) break;
  }
  deflateEnd(&zs);
  return out;
}

// A few hundred kilobytes of gzip can inflate to gigabytes; nothing downloaded is ever larger
// than one segment archive, so decoding stops there and never hands more to the sink. A body
// that is itself larger than that (an endless header field) is refused as it arrives.
TEST(GzipBody, RefusesABodyBeyondTheLargestSegment) {
  const uint64_t bound = dtl::kLargestSegmentArchive;
  Bytes endlessName = {0x1F, 0x8B, 8, 0x08, 0, 0, 0, 0, 0, 3};
  endlessName.resize(bound + 1, 'n');
  struct Case {
    const char* what;
    Bytes body;
    bool refused;
    const char* error;
  } cases[] = {
      {"512 MiB of zeros in about 510 KB", GzipZeros(512ull << 20), true,
       "the gzip body decodes to more than any segment"},
      {"one byte past the bound", GzipZeros(bound + 1), true,
       "the gzip body decodes to more than any segment"},
      {"exactly the bound", GzipZeros(bound), false, ""},
      {"a header that never ends", endlessName, true, "the gzip body is larger than any segment"},
  };
  for (const Case& c : cases) {
    for (size_t step : {size_t{0}, size_t{65536}}) {
      Decoded d = Decode(c.body, step);
      EXPECT_EQ(!d.ok, c.refused) << c.what << " step " << step;
      EXPECT_EQ(d.complete, !c.refused) << c.what << " step " << step;
      if (c.refused) {
        EXPECT_EQ(d.error, c.error) << c.what << " step " << step;
      }
      EXPECT_LE(d.out.size(), bound) << c.what;
    }
  }
  EXPECT_LT(cases[0].body.size(), 600u * 1024) << "not the bomb it claims to be";
}

}  // namespace
