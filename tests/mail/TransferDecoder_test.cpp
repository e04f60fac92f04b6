// The streaming transfer decoders: every body decodes the same whether it arrives whole, split
// in two at any byte or split in three at any pair of bytes, including inside a base64 quantum,
// an "=XX" escape and a CRLF. Expected bytes are RFC 4648's vectors and hand-checked
// quoted-printable cases; large random bodies are compared with an independent encoder below.
#include "mail/TransferDecoder.h"

#include <gtest/gtest.h>

#include <string>

#include "support/TestSupport.h"

namespace {

struct Outcome {
  std::string out;
  bool ok = true;
};

Outcome DecodeWhole(std::string_view encoding, std::string_view body) {
  auto d = dtl::TransferDecoder::For(encoding);
  Outcome o;
  d->Feed(body, o.out);
  o.ok = d->Finish(o.out).ok();
  return o;
}

// Every split of `body` into two and three chunks must give what the whole body gives.
void ExpectSameAtEverySplit(std::string_view encoding, std::string_view body,
                            const Outcome& whole) {
  for (size_t i = 0; i <= body.size(); ++i) {
    for (size_t j = i; j <= body.size(); ++j) {
      auto d = dtl::TransferDecoder::For(encoding);
      Outcome o;
      d->Feed(body.substr(0, i), o.out);
      d->Feed(body.substr(i, j - i), o.out);
      d->Feed(body.substr(j), o.out);
      o.ok = d->Finish(o.out).ok();
      ASSERT_EQ(o.out, whole.out) << encoding << " split at " << i << ", " << j;
      ASSERT_EQ(o.ok, whole.ok) << encoding << " split at " << i << ", " << j;
    }
  }
}

struct Case {
  const char* name;
  const char* encoding;
  std::string body;
  std::string expected;
  bool ok = true;
};

const Case kCases[] = {
    // RFC 4648 section 10.
    {"base64_empty", "base64", "", ""},
    {"base64_one_byte_two_pads", "base64", "Zg==", "f"},
    {"base64_two_bytes_one_pad", "base64", "Zm8=", "fo"},
    {"base64_whole_quantum", "base64", "Zm9v", "foo"},
    {"base64_rfc4648_longest", "base64", "Zm9vYmFy", "foobar"},
    {"base64_line_breaks_skipped", "base64", "Zm9v\r\nYmFy\r\n", "foobar"},
    {"base64_bare_lf_and_blanks_skipped", "base64", " Zm9v\nYm Fy\n", "foobar"},
    {"base64_any_case_name", "BASE64", "Zm9vYg==", "foob"},
    {"base64_high_bytes", "base64", "/+7dzA==", "\xff\xee\xdd\xcc"},
    {"base64_unpadded_end_accepted", "base64", "Zm9vYmE", "fooba"},
    {"base64_lone_leftover_is_corrupt", "base64", "Zm9vY", "foo", false},
    {"base64_data_after_padding_starts_afresh", "base64", "Zg==Zm8=", "ffo"},
    {"qp_plain_text_unchanged", "quoted-printable", "hello world", "hello world"},
    {"qp_escapes_decoded", "Quoted-Printable", "Caf=C3=A9 =3D ok", "Caf\xc3\xa9 = ok"},
    {"qp_lower_case_hex_accepted", "quoted-printable", "=c3=a9", "\xc3\xa9"},
    {"qp_soft_break_crlf_joins_lines", "quoted-printable", "soft=\r\nbreak", "softbreak"},
    {"qp_soft_break_bare_lf_joins_lines", "quoted-printable", "soft=\nbreak", "softbreak"},
    {"qp_soft_break_after_transport_blanks", "quoted-printable", "a= \t\r\nb", "ab"},
    {"qp_hard_break_kept", "quoted-printable", "one\r\ntwo", "one\r\ntwo"},
    {"qp_trailing_blanks_before_break_dropped", "quoted-printable", "one \t\r\ntwo", "one\r\ntwo"},
    {"qp_inner_blanks_kept", "quoted-printable", "a \tb", "a \tb"},
    {"qp_encoded_crlf_is_data", "quoted-printable", "=0D=0A=00", std::string("\r\n\0", 3)},
    {"qp_malformed_escape_kept", "quoted-printable", "=4x =ZZ", "=4x =ZZ"},
    {"qp_escape_cut_by_end_kept", "quoted-printable", "end=4", "end=4"},
    {"qp_lone_equals_at_end_kept", "quoted-printable", "end=", "end="},
    {"qp_blanks_before_escape_kept", "quoted-printable", "a  =41", "a  A"},
    {"seven_bit_passes_through", "7bit", "=41 Zg==\r\n", "=41 Zg==\r\n"},
    {"binary_passes_through", "binary", std::string("\0\xff=", 3), std::string("\0\xff=", 3)},
    {"unknown_encoding_passes_through", "x-uuencode", "begin 644", "begin 644"},
    {"empty_encoding_passes_through", "", "Zg==", "Zg=="},
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class TransferDecoderCases : public ::testing::TestWithParam<Case> {};

TEST_P(TransferDecoderCases, DecodesTheSameAtEverySplitPoint) {
  const Case& c = GetParam();
  Outcome whole = DecodeWhole(c.encoding, c.body);
  EXPECT_EQ(whole.out, c.expected);
  EXPECT_EQ(whole.ok, c.ok);
  ExpectSameAtEverySplit(c.encoding, c.body, whole);
}

INSTANTIATE_TEST_SUITE_P(Vectors, TransferDecoderCases, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The wire forms of random binary data, written here independently of the decoder: base64 in
// 76-character CRLF lines, and quoted-printable that escapes every byte outside printable
// ASCII (CR and LF included, as a binary body must) with soft breaks at 76 columns.
std::string Base64Lines(const std::vector<uint8_t>& data) {
  static const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string raw;
  for (size_t i = 0; i < data.size(); i += 3) {
    uint32_t n = data[i] << 16;
    if (i + 1 < data.size()) n |= data[i + 1] << 8;
    if (i + 2 < data.size()) n |= data[i + 2];
    raw += a[(n >> 18) & 63];
    raw += a[(n >> 12) & 63];
    raw += i + 1 < data.size() ? a[(n >> 6) & 63] : '=';
    raw += i + 2 < data.size() ? a[n & 63] : '=';
  }
  std::string out;
  for (size_t i = 0; i < raw.size(); i += 76) out += raw.substr(i, 76) + "\r\n";
  return out;
}

std::string QuotedPrintableLines(const std::vector<uint8_t>& data) {
  std::string out, line;
  for (uint8_t b : data) {
    std::string piece;
    if (b >= 33 && b <= 126 && b != '=') {
      piece = std::string(1, static_cast<char>(b));
    } else {
      char hex[4];
      snprintf(hex, sizeof hex, "=%02X", b);
      piece = hex;
    }
    if (line.size() + piece.size() > 75) {
      out += line + "=\r\n";
      line.clear();
    }
    line += piece;
  }
  return out + line;
}

TEST(TransferDecoder, RandomBinaryBodiesRoundTripInChunksOfEverySmallSize) {
  for (uint32_t seed : {1u, 2u, 3u}) {
    auto data = dtltest::RandomBytes(5000 + seed, seed);
    std::string expected(data.begin(), data.end());
    for (auto [encoding, body] : {std::pair{"base64", Base64Lines(data)},
                                  std::pair{"quoted-printable", QuotedPrintableLines(data)}}) {
      for (size_t step = 1; step <= 97; step += 6) {
        auto d = dtl::TransferDecoder::For(encoding);
        std::string out;
        for (size_t i = 0; i < body.size(); i += step)
          d->Feed(std::string_view(body).substr(i, step), out);
        ASSERT_TRUE(d->Finish(out).ok());
        ASSERT_EQ(out, expected) << encoding << " seed " << seed << " step " << step;
      }
    }
  }
}

}  // namespace
