// The strict reader of token-endpoint answers: what it takes, and what it refuses outright.
#include "account/OAuthJson.h"

#include <gtest/gtest.h>

namespace {

using Kind = dtl::JsonScalar::Kind;

TEST(OAuthJson, ReadsTheMembersOfATokenAnswer) {
  auto r = dtl::ParseJsonObject(
      R"( {"access_token":"a\u00e9\ud83d\ude00\/b","expires_in":3599,"ok":true,)"
      R"("n":null,"nested":{"x":[1,2,{"y":"z"}]},"e":-1.5e3} )");
  ASSERT_TRUE(r) << r.error().message;
  EXPECT_EQ(r->at("access_token").text, "a\xc3\xa9\xf0\x9f\x98\x80/b");
  EXPECT_EQ(r->at("expires_in").kind, Kind::Number);
  EXPECT_EQ(r->at("expires_in").text, "3599");
  EXPECT_EQ(r->at("ok").text, "true");
  EXPECT_EQ(r->at("n").kind, Kind::Null);
  EXPECT_EQ(r->at("nested").kind, Kind::Nested);
  EXPECT_EQ(r->at("e").text, "-1.5e3");
}

TEST(OAuthJson, RefusesAnythingButExactlyOneWellFormedObject) {
  const char* cases[] = {
      "",
      "[]",
      R"("token")",
      R"({"a":"b"} x)",
      R"({"a":"b",})",
      R"({"a":"b" "c":"d"})",
      R"({"a":"b","a":"c"})",     // a repeated name could hide a second token
      R"({"a":"\x"})",            // unknown escape
      R"({"a":"\ud83d"})",        // lone high surrogate
      R"({"a":"\ude00"})",        // lone low surrogate
      "{\"a\":\"line\nbreak\"}",  // raw control character
      R"({"a":01})",              // leading zero
      R"({"a":1.})",
      R"({"a":tru})",
      R"({"a":"unterminated)",
      R"({"a":[1,2})",
      R"({a:"b"})",
  };
  for (const char* c : cases) {
    SCOPED_TRACE(c);
    auto r = dtl::ParseJsonObject(c);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().code, dtl::ErrorCode::Protocol);
  }
}

TEST(OAuthJson, DeepNestingIsRefusedNotRecursedWithoutEnd) {
  std::string deep = R"({"a":)" + std::string(100000, '[') + std::string(100000, ']') + "}";
  EXPECT_FALSE(dtl::ParseJsonObject(deep));
  std::string ok = R"({"a":)" + std::string(20, '[') + std::string(20, ']') + "}";
  EXPECT_TRUE(dtl::ParseJsonObject(ok));
}

}  // namespace
