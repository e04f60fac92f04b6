// The IMAP response reader against server lines as real servers send them, and against the
// shapes a hostile or broken server could send.
#include "receive/ImapResponse.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using dtl::ImapResponse;
using dtl::ImapResponseReader;
using dtl::ImapValue;

// A byte source over `bytes` that gives at most `step` bytes a read, so a value split across
// reads is read as one.
dtl::ImapByteSource From(const std::string& bytes, size_t step) {
  auto pos = std::make_shared<size_t>(0);
  return [bytes, step, pos](char* buffer, size_t size) -> dtl::Result<size_t> {
    const size_t n = std::min({size, step, bytes.size() - *pos});
    std::copy_n(bytes.data() + *pos, n, buffer);
    *pos += n;
    return n;
  };
}

std::string Show(const ImapValue& v) {
  switch (v.kind) {
    case ImapValue::Kind::Atom: return v.text;
    case ImapValue::Kind::Quoted: return "\"" + v.text + "\"";
    case ImapValue::Kind::Nil: return "NIL";
    case ImapValue::Kind::Literal:
      return "{" + std::to_string(v.literalSize) + "}" + (v.streamed ? "<sink>" : v.text);
    case ImapValue::Kind::List: {
      std::string s = "(";
      for (size_t i = 0; i < v.items.size(); ++i) s += (i ? " " : "") + Show(v.items[i]);
      return s + ")";
    }
  }
  return "?";
}

// One line per response: "T tag NAME [code] text", "* [N] NAME values...", "+ text".
std::string Show(const ImapResponse& r) {
  std::string s;
  if (r.kind == ImapResponse::Kind::Continuation) return "+ " + r.text;
  s = r.kind == ImapResponse::Kind::Tagged ? "T " + r.tag + " " : "* ";
  if (r.number) s += std::to_string(*r.number) + " ";
  s += r.name;
  if (r.IsStatus()) return s + " [" + r.code + "] " + r.text;
  for (const ImapValue& v : r.data) s += " " + Show(v);
  return s;
}

TEST(ImapResponseReader, ReadsTheResponsesServersSend) {
  struct Case {
    std::string line, shown;
  } cases[] = {
      {"* OK [CAPABILITY IMAP4rev1 STARTTLS AUTH=PLAIN] Dovecot ready.\r\n",
       "* OK [CAPABILITY IMAP4rev1 STARTTLS AUTH=PLAIN] Dovecot ready."},
      {"a1 OK Logged in\r\n", "T a1 OK [] Logged in"},
      {"a2 NO [AUTHENTICATIONFAILED] Authentication failed.\r\n",
       "T a2 NO [AUTHENTICATIONFAILED] Authentication failed."},
      {"a3 ok\r\n", "T a3 OK [] "},
      {"* BYE Shutting down\r\n", "* BYE [] Shutting down"},
      {"+ \r\n", "+ "},
      {"+ UGFzc3dvcmQ6\r\n", "+ UGFzc3dvcmQ6"},
      {"+\r\n", "+ "},
      {"* CAPABILITY IMAP4rev1 AUTH=CRAM-MD5 LOGINDISABLED\r\n",
       "* CAPABILITY IMAP4rev1 AUTH=CRAM-MD5 LOGINDISABLED"},
      {"* 17 EXISTS\r\n", "* 17 EXISTS"},
      {"* FLAGS (\\Answered \\Flagged \\Deleted \\Seen \\Draft)\r\n",
       "* FLAGS (\\Answered \\Flagged \\Deleted \\Seen \\Draft)"},
      {"* OK [PERMANENTFLAGS (\\Deleted \\Seen \\*)] Flags permitted.\r\n",
       "* OK [PERMANENTFLAGS (\\Deleted \\Seen \\*)] Flags permitted."},
      {"* SEARCH 2 84 882\r\n", "* SEARCH 2 84 882"},
      {"* SEARCH\r\n", "* SEARCH"},
      {"* LIST (\\HasNoChildren) \"/\" \"Bo&AO4-te d'envoi\"\r\n",
       "* LIST (\\HasNoChildren) \"/\" \"Bo&AO4-te d'envoi\""},
      {"* LIST () NIL INBOX\r\n", "* LIST () NIL INBOX"},
      {"* 3 FETCH (UID 9 FLAGS (\\Seen))\r\n", "* 3 FETCH (UID 9 FLAGS (\\Seen))"},
      {"* 1 FETCH (UID 4 BODY[2] {5}\r\nab\r\nc)\r\n", "* 1 FETCH (UID 4 BODY[2] {5}ab\r\nc)"},
      {"* 1 FETCH (BODY[HEADER.FIELDS (SUBJECT FROM)] {0}\r\n)\r\n",
       "* 1 FETCH (BODY[HEADER.FIELDS (SUBJECT FROM)] {0})"},
      {"* 1 FETCH (BODY[1]<0> \"x\\\"y\\\\\")\r\n", "* 1 FETCH (BODY[1]<0> \"x\"y\\\")"},
      {"* 5 FETCH (UID 12 BODYSTRUCTURE ((\"text\" \"plain\" (\"charset\" \"utf-8\") NIL NIL "
       "\"7bit\" 5 1 NIL NIL NIL NIL)(\"application\" \"msword\" (\"name\" \"f.001.doc\") NIL "
       "NIL \"base64\" 1372 NIL (\"attachment\" (\"filename\" \"f.001.doc\")) NIL NIL) \"mixed\" "
       "(\"boundary\" \"b1\") NIL NIL NIL))\r\n",
       "* 5 FETCH (UID 12 BODYSTRUCTURE ((\"text\" \"plain\" (\"charset\" \"utf-8\") NIL NIL "
       "\"7bit\" 5 1 NIL NIL NIL NIL) (\"application\" \"msword\" (\"name\" \"f.001.doc\") NIL "
       "NIL \"base64\" 1372 NIL (\"attachment\" (\"filename\" \"f.001.doc\")) NIL NIL) \"mixed\" "
       "(\"boundary\" \"b1\") NIL NIL NIL))"},
      {"* 2 FETCH (uid 3 envelope (nil \"s\"))\n", "* 2 FETCH (uid 3 envelope (NIL \"s\"))"},
  };
  for (size_t step : {size_t{1}, size_t{7}, size_t{1} << 20})
    for (const Case& c : cases) {
      ImapResponseReader reader(From(c.line, step));
      auto r = reader.Next();
      ASSERT_TRUE(r.ok()) << c.line << ": " << r.error().message;
      EXPECT_EQ(Show(*r), c.shown) << "read " << step << " bytes at a time";
    }
}

TEST(ImapResponseReader, RefusesWhatTheGrammarDoesNotAllow) {
  struct Case {
    std::string line;
    dtl::ErrorCode code;
  } cases[] = {
      {"* 1 FETCH (UID 4\r\n", dtl::ErrorCode::Protocol},              // unterminated list
      {"* 1 FETCH (UID 4))\r\n", dtl::ErrorCode::Protocol},            // stray ')'
      {"* 1 FETCH (BODY[1] \"ab\r\n", dtl::ErrorCode::Protocol},       // line break in a string
      {"* 1 FETCH (BODY[1] \"a\\b\")\r\n", dtl::ErrorCode::Protocol},  // stray backslash
      {"* 1 FETCH (BODY[1] {x}\r\n)\r\n", dtl::ErrorCode::Protocol},
      {"* 1 FETCH (BODY[1] {}\r\n)\r\n", dtl::ErrorCode::Protocol},
      {"* 1 FETCH (BODY[1] {99999999999999999999}\r\n)\r\n", dtl::ErrorCode::Protocol},
      {"* 1 FETCH (BODY[1 {3}\r\nabc)\r\n", dtl::ErrorCode::Protocol},
      {"a1 FETCH (UID 1)\r\n", dtl::ErrorCode::Protocol},  // tagged but no status
      {"* OK [ALERT unterminated\r\n", dtl::ErrorCode::Protocol},
      {"* 99999999999 EXISTS\r\n", dtl::ErrorCode::Protocol},
      {"* 1 FETCH (UID \x01)\r\n", dtl::ErrorCode::Protocol},
      {std::string(200, '(') + "\r\n", dtl::ErrorCode::Protocol},
      {"* " + std::string(200, '(') + "\r\n", dtl::ErrorCode::Protocol},  // nested too deep
      {"", dtl::ErrorCode::Network},                                      // closed before a byte
      {"* 1 FETCH (BODY[1] {10}\r\nabc", dtl::ErrorCode::Network},        // closed inside a literal
      {"a1 OK done", dtl::ErrorCode::Network},                            // closed before the CRLF
  };
  for (const Case& c : cases) {
    ImapResponseReader reader(From(c.line, 3));
    auto r = reader.Next();
    ASSERT_FALSE(r.ok()) << c.line;
    EXPECT_EQ(r.error().code, c.code) << c.line << ": " << r.error().message;
  }
}

TEST(ImapResponseReader, ReadsResponsesOneAfterAnother) {
  ImapResponseReader reader(
      From("* 2 EXISTS\r\n* 1 FETCH (BODY[] {3}\r\nx\r\n)\r\na9 OK done\r\n", 5));
  std::vector<std::string> shown;
  for (int i = 0; i < 3; ++i) {
    auto r = reader.Next();
    ASSERT_TRUE(r.ok()) << r.error().message;
    shown.push_back(Show(*r));
  }
  EXPECT_EQ(shown, (std::vector<std::string>{"* 2 EXISTS", "* 1 FETCH (BODY[] {3}x\r\n)",
                                             "T a9 OK [] done"}));
  EXPECT_EQ(reader.Next().error().code, dtl::ErrorCode::Network);
}

TEST(ImapResponseReader, StreamsARoutedLiteralToItsSinkInPieces) {
  const std::string body(300000, 'Q');
  const std::string wire = "* 4 FETCH (UID 7 BODY[2] {" + std::to_string(body.size()) + "}\r\n" +
                           body + " FLAGS ())\r\n";
  ImapResponseReader reader(From(wire, 4096));
  std::string received;
  size_t chunks = 0;
  const dtl::ImapSink sink = [&](std::string_view chunk) -> dtl::Status {
    received.append(chunk);
    ++chunks;
    return {};
  };
  std::vector<std::string> keys;
  auto r = reader.Next([&](std::string_view key) -> const dtl::ImapSink* {
    keys.emplace_back(key);
    return key == "BODY[2]" ? &sink : nullptr;
  });
  ASSERT_TRUE(r.ok()) << r.error().message;
  EXPECT_EQ(received, body);
  EXPECT_GT(chunks, 1u);
  EXPECT_EQ(keys, std::vector<std::string>{"BODY[2]"});
  EXPECT_EQ(Show(*r), "* 4 FETCH (UID 7 BODY[2] {300000}<sink> FLAGS ())");
}

TEST(ImapResponseReader, AHugeAnnouncedLiteralIsNeitherAllocatedNorWaitedFor) {
  // Kept in memory: refused at once, before its bytes (which never come) are waited for.
  ImapResponseReader held(From("* 1 FETCH (BODY[1] {5000000000}\r\nabc", 3));
  auto r = held.Next();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().code, dtl::ErrorCode::Protocol);
  EXPECT_NE(r.error().message.find("5000000000"), std::string::npos) << r.error().message;

  // Streamed: the sink sees what came, then the cut connection ends it.
  ImapResponseReader streamed(From("* 1 FETCH (BODY[1] {5000000000}\r\nabc", 3));
  std::string got;
  const dtl::ImapSink sink = [&](std::string_view c) -> dtl::Status {
    got.append(c);
    return {};
  };
  r = streamed.Next([&](std::string_view) { return &sink; });
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().code, dtl::ErrorCode::Network);
  EXPECT_EQ(got, "abc");
}

TEST(ImapResponseReader, ASinkFailureEndsTheRead) {
  ImapResponseReader reader(From("* 1 FETCH (BODY[1] {6}\r\nabcdef)\r\n", 2));
  const dtl::ImapSink sink = [](std::string_view) -> dtl::Status {
    return dtl::Error(dtl::ErrorCode::Io, "disk full");
  };
  auto r = reader.Next([&](std::string_view) { return &sink; });
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message, "disk full");
}

TEST(ImapResponseReader, AResponseOverTheMemoryBoundIsRefused) {
  const std::string line =
      "* SEARCH" + std::string(ImapResponseReader::kMaxResponseBytes, ' ') + "1\r\n";
  ImapResponseReader reader(From(line, 1 << 16));
  auto r = reader.Next();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().code, dtl::ErrorCode::Protocol);
}

TEST(ImapQuote, QuotesWhatItCanAndRefusesTheRest) {
  struct Case {
    std::string in;
    std::optional<std::string> out;
  } cases[] = {
      {"INBOX", "\"INBOX\""},
      {"a \"b\" \\c", "\"a \\\"b\\\" \\\\c\""},
      {"", "\"\""},
      {"line\r\nbreak", std::nullopt},
      {std::string("nul\0", 4), std::nullopt},
      {"caf\xc3\xa9", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(dtl::ImapQuote(c.in), c.out) << c.in;
}

}  // namespace
