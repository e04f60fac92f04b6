// MD5 streams side by side: each lane must give what OpenSSL gives for the same bytes, however
// the bytes are cut into pieces, however many lanes run and however uneven their lengths.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "archive/Md5.h"
#include "archive/Md5Lanes.h"

namespace {

using dtl::md5::AddLanes;
using dtl::md5::kLanes;
using dtl::md5::Stream;

std::string Hex(const std::array<uint8_t, 16>& h) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (uint8_t b : h) {
    s += digits[b >> 4];
    s += digits[b & 15];
  }
  return s;
}

TEST(Md5Lanes, KnownDigests) {
  struct Case {
    std::string input, digest;
  } cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const Case& c : cases) {
    Stream s;
    s.Add(reinterpret_cast<const uint8_t*>(c.input.data()), c.input.size());
    EXPECT_EQ(Hex(s.Finish()), c.digest) << '"' << c.input << '"';
  }
}

// Lengths around the block and padding edges (55, 56, 63, 64, 119, 120) and long ones, cut into
// random pieces and fed to 1..16 lanes at once with every lane's pieces of a different size.
TEST(Md5Lanes, EveryLaneMatchesOpenSslWhateverThePiecesAndLaneCount) {
  std::mt19937 rng(5);
  const size_t lengths[] = {0, 1, 55, 56, 57, 63, 64, 65, 119, 120, 121, 1000, 65536, 200003};
  for (size_t lanes : {size_t(1), size_t(2), size_t(7), kLanes}) {
    SCOPED_TRACE(std::to_string(lanes) + " lanes");
    for (int trial = 0; trial < 6; ++trial) {
      std::vector<std::vector<uint8_t>> inputs(lanes);
      for (auto& in : inputs) {
        in.resize(lengths[rng() % std::size(lengths)]);
        for (auto& b : in) b = static_cast<uint8_t>(rng());
      }
      std::vector<Stream> streams(lanes);
      std::vector<size_t> done(lanes, 0);
      for (bool more = true; more;) {
        more = false;
        std::vector<Stream*> ptrs;
        std::vector<const uint8_t*> data;
        std::vector<size_t> sizes;
        for (size_t l = 0; l < lanes; ++l) {
          const size_t piece = std::min<size_t>(inputs[l].size() - done[l],
                                                rng() % 3 == 0 ? rng() % 70 : rng() % 70000);
          ptrs.push_back(&streams[l]);
          data.push_back(inputs[l].data() + done[l]);
          sizes.push_back(piece);
          done[l] += piece;
          more |= done[l] < inputs[l].size();
        }
        AddLanes(ptrs.data(), data.data(), sizes.data(), lanes);
      }
      for (size_t l = 0; l < lanes; ++l)
        EXPECT_EQ(streams[l].Finish(), dtl::Md5(inputs[l]))
            << "lane " << l << ", " << inputs[l].size() << " bytes";
    }
  }
}

// A file's first slice is the file plus zeros: the copy taken at the file's end finishes the
// slice's MD5 while the original finishes the file's.
TEST(Md5Lanes, ACopyGoesOnFromTheSamePointAndLeavesTheOriginalAlone) {
  std::vector<uint8_t> data(1000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  Stream file;
  file.Add(data.data(), data.size());
  Stream slice = file;
  slice.AddZeros(5000);
  std::vector<uint8_t> padded = data;
  padded.resize(6000, 0);
  EXPECT_EQ(slice.Finish(), dtl::Md5(padded));
  EXPECT_EQ(file.Finish(), dtl::Md5(data));
  EXPECT_EQ(file.Finish(), dtl::Md5(data)) << "Finish must not change the stream";
}

}  // namespace
