// The MIME reader on mails and header values as other programs write them. Expected names and
// bodies were checked once against Python's email package (its "default" policy); where this
// reader differs on purpose (unknown charsets, malformed words) the case says so.
#include "mail/MimeReader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using dtl::ErrorCode;

// Tables write mails with "\n"; the wire has CRLF.
std::string Crlf(std::string_view s) {
  std::string out;
  for (char c : s) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

std::string Describe(const dtl::MimeHeaderBlock& block) {
  std::string s;
  for (const auto& f : block.fields) s += f.name + "=" + f.value + "|";
  return s + "@" + std::to_string(block.bodyOffset);
}

TEST(ParseHeaderBlock, UnfoldsFieldsAndFindsWhereTheBodyStarts) {
  struct Case {
    const char* what;
    std::string bytes, fields;
  } cases[] = {
      {"CRLF lines", "A: 1\r\nB:2\r\n\r\nbody", "A=1|B=2|@13"},
      {"bare LF lines", "A: 1\nB: 2\n\nbody", "A=1|B=2|@11"},
      {"a folded value keeps the blank of the fold",
       "Content-Type: multipart/mixed;\r\n\tboundary=\"b\"\r\n  ; x=y\r\n\r\n",
       "Content-Type=multipart/mixed;\tboundary=\"b\"  ; x=y|@58"},
      {"blanks around the value and before the colon", "Subject :   hello  \r\n\r\n",
       "Subject=hello|@23"},
      {"a blank-only continuation line is part of the field", "A: 1\r\n \r\nB: 2\r\n\r\n",
       "A=1|B=2|@17"},
      {"no empty line: all of it is header", "A: 1\r\nB: 2", "A=1|B=2|@10"},
      {"a line that is no field is skipped with its continuations",
       "A: 1\r\nhello world\r\n more\r\nB: 2\r\n", "A=1|B=2|@32"},
      {"an empty first line: no fields", "\r\nbody", "@2"},
      {"an mbox separator before the fields is skipped",
       "From someone@example.org Mon Dec  7 00:00:00 2026\nA: 1\n\n", "A=1|@56"},
      {"a continuation before any field is dropped", " stray\r\nA: 1\r\n\r\n", "A=1|@16"},
      {"empty value", "A:\r\n\r\n", "A=|@6"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Describe(dtl::ParseHeaderBlock(c.bytes)), c.fields) << c.what;
}

TEST(ParseHeaderBlock, GetFindsTheFirstFieldOfANameInAnyCase) {
  const auto block = dtl::ParseHeaderBlock("content-type: a/b\r\nContent-Type: c/d\r\n\r\n");
  EXPECT_EQ(block.Get("Content-Type"), "a/b");
  EXPECT_EQ(block.Get("CONTENT-TYPE"), "a/b");
  EXPECT_EQ(block.Get("Content-Disposition"), std::nullopt);
}

TEST(UnfoldHeaderValue, RemovesEveryLineBreak) {
  EXPECT_EQ(dtl::UnfoldHeaderValue("a\r\n b\n\tc\rd"), "a b\tcd");
}

std::string Describe(const dtl::MimeFieldValue& v) {
  std::string s = v.value;
  for (const auto& p : v.params) s += "|" + p.name + (p.extended ? "*" : "") + "=" + p.value;
  return s;
}

TEST(ParseMimeFieldValue, ReadsTheValueAndItsParameters) {
  struct Case {
    const char* what;
    std::string value, parsed;
  } cases[] = {
      {"type and quoted parameter", "Multipart/Mixed; boundary=\"==b 1==\"",
       "multipart/mixed|boundary===b 1=="},
      {"tokens, blanks and comments everywhere",
       " text / plain (a comment) ; (lead) charset = us-ascii (trail)",
       "text/plain|charset=us-ascii"},
      {"parentheses inside an unquoted value stay", "attachment; filename=report (1).doc",
       "attachment|filename=report (1).doc"},
      {"nested comment with a quoted pair", "attachment (a (nested \\) one) b); x=1",
       "attachment|x=1"},
      {"a ';' inside quotes stays in the value", "attachment; filename=\"a;b.doc\"; size=3",
       "attachment|filename=a;b.doc|size=3"},
      {"\\\" and \\\\ are escapes, other backslashes stay",
       "attachment; filename=\"C:\\Users\\x\\\"q\\\\.doc\"",
       "attachment|filename=C:\\Users\\x\"q\\.doc"},
      {"an unquoted value with blanks runs to the ';'",
       "attachment; filename=my movie.avi.001.doc ; size=1",
       "attachment|filename=my movie.avi.001.doc|size=1"},
      {"parameter names in any case", "attachment; FileName=\"A.doc\"",
       "attachment|filename=A.doc"},
      {"a parameter without a value is skipped", "attachment; junk; filename=a",
       "attachment|filename=a"},
      {"text after the closing quote is dropped", "attachment; filename=\"a\"b; x=1",
       "attachment|filename=a|x=1"},
      {"an unterminated quote runs to the end", "attachment; filename=\"a; b",
       "attachment|filename=a; b"},
      {"the first of two plain parameters of a name counts", "a; x=1; X=2", "a|x=1"},
      {"RFC 2231 value", "attachment; filename*=utf-8''%E2%82%AC%20rate.doc",
       "attachment|filename*=\xe2\x82\xac rate.doc"},
      {"RFC 2231 continuations, encoded and not",
       "attachment; filename*0*=iso-8859-1'de'M%FC; filename*1=\"ller (1).doc\"",
       "attachment|filename*=M\xc3\xbcller (1).doc"},
      {"empty", "", ""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Describe(dtl::ParseMimeFieldValue(c.value)), c.parsed) << c.what;
}

TEST(DecodeMimeParams, JoinsContinuationsAndDecodesExtendedValues) {
  using P = dtl::MimeParam;
  struct Case {
    const char* what;
    std::vector<P> raw;
    std::string decoded;
  } cases[] = {
      {"plain values pass untouched", {{"Name", "=?utf-8?q?a?=", false}}, "name==?utf-8?q?a?="},
      {"continuations without encoding are joined and stay plain",
       {{"name*0", "a", false}, {"name*1", "b", false}},
       "name=ab"},
      {"out of order, each number once",
       {{"name*2", "c", false},
        {"name*0", "a", false},
        {"name*1", "b", false},
        {"name*1", "X", false}},
       "name=abc"},
      {"no section 0: the plain value is kept",
       {{"name", "p", false}, {"name*1", "b", false}},
       "name=p"},
      {"a number with leading zeros is still its number",
       {{"name*0", "a", false}, {"name*001", "b", false}},
       "name=ab"},
      {"too many digits: no parameter",
       {{"name*0", "a", false}, {"name*12345", "b", false}},
       "name=a"},
      {"the language is skipped",
       {{"title*", "us-ascii'en-us'This%20is%20it", false}},
       "title*=This is it"},
      {"no charset: bytes as UTF-8, a bad byte replaced",
       {{"f*", "''a%FFb%C3%A9", false}},
       "f*=a\xef\xbf\xbd"
       "b\xc3\xa9"},
      {"no quotes at all: percent-decoded only", {{"f*", "a%41", false}}, "f*=aA"},
      {"a stray percent stays", {{"f*", "utf-8''100%-%4", false}}, "f*=100%-%4"},
      {"windows-1252",
       {{"f*", "windows-1252''%80%20%93x%94", false}},
       "f*=\xe2\x82\xac \xe2\x80\x9cx\xe2\x80\x9d"},
      {"an unknown charset leaves the bytes", {{"f*", "x-mac-klingon''%41%FF", false}}, "f*=A\xff"},
      {"each name once, in order of first appearance",
       {{"b", "1", false}, {"a*", "''2", false}, {"b*0", "3", false}},
       "b=3|a*=2"},
  };
  for (const Case& c : cases) {
    std::string s;
    for (const auto& p : dtl::DecodeMimeParams(c.raw))
      s += (s.empty() ? "" : "|") + p.name + (p.extended ? "*" : "") + "=" + p.value;
    EXPECT_EQ(s, c.decoded) << c.what;
  }
}

TEST(CharsetToUtf8, ConvertsTheCharsetsMailsUse) {
  struct Case {
    std::string charset, bytes;
    std::optional<std::string> utf8;
  } cases[] = {
      {"UTF-8", "\xc3\xa9\xe2\x82\xac", "\xc3\xa9\xe2\x82\xac"},
      {"utf-8",
       "a\xc3(\xed\xa0\x80\xf4\x90\x80\x80\xc0\xafz",  // broken, surrogate, too big, overlong
       "a\xef\xbf\xbd(\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"
       "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbdz"},
      {"us-ascii", "plain", "plain"},
      {"ISO-8859-1", "M\xfcller \x80", "M\xc3\xbcller \xc2\x80"},
      {"iso-8859-15", "\xa4", "\xe2\x82\xac"},
      {"windows-1252", "\x80\x9c", "\xe2\x82\xac\xc5\x93"},
      {"cp1252", "\x81", "\xef\xbf\xbd"},  // a byte the charset leaves undefined
      {"koi8-r", "\xf0\xd2\xc9\xd7\xc5\xd4", "\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82"},
      {"shift_jis", "\x82\xa0\x82", "\xe3\x81\x82\xef\xbf\xbd"},  // cut inside a character
      {"utf-8*en", "x", "x"},
      {"x-unknown", "x", std::nullopt},
      {"utf-8//TRANSLIT", "x", std::nullopt},  // no iconv options from a mail
      {"../../etc/passwd", "x", std::nullopt},
      {"", "x", std::nullopt},
  };
  for (const Case& c : cases)
    EXPECT_EQ(dtl::CharsetToUtf8(c.charset, c.bytes), c.utf8) << c.charset;
}

TEST(DecodeEncodedWords, DecodesWordsAndJoinsAdjacentOnes) {
  struct Case {
    const char* what;
    std::string text, decoded;
  } cases[] = {
      {"B word", "=?UTF-8?B?5Y+w5YyX?=.doc", "\xe5\x8f\xb0\xe5\x8c\x97.doc"},
      {"Q word with underscores", "=?utf-8?q?Caf=C3=A9_au_lait?=", "Caf\xc3\xa9 au lait"},
      {"blanks between adjacent words go, others stay", "a =?utf-8?q?b?= =?utf-8?q?c?= d",
       "a bc d"},
      {"a character split over two words", "=?utf-8?b?5Y8=?= =?UTF-8?B?sA==?=.004.doc",
       "\xe5\x8f\xb0.004.doc"},
      {"adjacent words in different charsets",
       "=?iso-8859-1?q?M=FCller?= =?iso-8859-15?q?=A4?=", "M\xc3\xbcller\xe2\x82\xac"},
      {"windows-1252", "=?windows-1252?Q?=80_sign?=", "\xe2\x82\xac sign"},
      {"words across a fold", "=?utf-8?q?a?=\r\n =?utf-8?q?b?=", "ab"},
      {"the language suffix", "=?utf-8*en?q?English?=", "English"},
      {"B without padding", "=?utf-8?b?5Y+w5YyX?= =?utf-8?b?YWI?=",
       "\xe5\x8f\xb0\xe5\x8c\x97"
       "ab"},
      {"a word inside other text", "movie=?utf-8?q?=C3=A9?=.001.doc", "movie\xc3\xa9.001.doc"},
      {"plain text", "plain text", "plain text"},
      {"8-bit text outside words passes", "caf\xc3\xa9 =?utf-8?q?x?=", "caf\xc3\xa9 x"},
      // Python drops the unknown charset's word to its letters; the raw word is kept here so
      // nothing is lost.
      {"unknown charset: kept as written", "=?x-unknown?q?abc?= tail", "=?x-unknown?q?abc?= tail"},
      {"malformed base64: kept as written", "=?utf-8?b?!!!?= x", "=?utf-8?b?!!!?= x"},
      {"a lone base64 sixth: kept", "=?utf-8?b?QUJDR?=", "=?utf-8?b?QUJDR?="},
      {"not a word: no encoding letter", "=?utf-8?x?abc?=", "=?utf-8?x?abc?="},
      {"not a word: unterminated", "=?utf-8?q?abc", "=?utf-8?q?abc"},
      {"not a word: empty charset", "=??q?abc?=", "=??q?abc?="},
      {"a malformed word does not join its neighbours",
       "=?utf-8?q?a?= =?utf-8?b?*?= =?utf-8?q?b?=", "a =?utf-8?b?*?= b"},
      {"an empty word", "x=?utf-8?q?\?=y", "xy"},
      {"a malformed Q escape stays", "=?utf-8?q?100=_=4?=", "100= =4"},
      {"Q bytes that are not UTF-8 are replaced", "=?utf-8?q?a=FFb?=",
       "a\xef\xbf\xbd"
       "b"},
  };
  for (const Case& c : cases) EXPECT_EQ(dtl::DecodeEncodedWords(c.text), c.decoded) << c.what;
}

// Headers built to make a careless decoder scan the rest of the text once per "=?": a
// megabyte of them must take one pass (a quadratic decoder runs into the time limit here).
TEST(DecodeEncodedWords, AMegabyteOfHostileWordsTakesOnePass) {
  auto times = [](std::string_view s, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i) out += s;
    return out;
  };
  const std::string unclosed = times("=?utf-8?b?QUJD", 80000);
  const std::string failing = times("=?utf-8?b?QUJD!", 70000) + "?=";
  const std::string longCharset = times("=?" + std::string(60, 'x'), 16000) + "?q?a?=";
  for (const std::string& text : {unclosed, failing, longCharset}) {
    const std::string out = dtl::DecodeEncodedWords(text);
    EXPECT_GE(out.size(), text.size() - 70);
  }
}

TEST(MimeFileName, TakesTheDispositionsNameElseTheTypesDecoded) {
  auto params = [](std::string_view field) { return dtl::ParseMimeFieldValue(field).params; };
  struct Case {
    const char* what;
    std::string disposition, type, name;
  } cases[] = {
      {"disposition first", "attachment; filename=a.001", "x/y; name=b.001", "a.001"},
      {"else the type's name", "attachment", "x/y; name=\"=?utf-8?q?=C3=A9?=.001\"",
       "\xc3\xa9.001"},
      {"an extended value is not decoded again",
       "attachment; filename*=utf-8''%3D%3Futf-8%3Fq%3Fx%3F%3D", "", "=?utf-8?q?x?="},
      {"none", "inline", "text/plain", ""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(dtl::MimeFileName(params(c.disposition), params(c.type)), c.name) << c.what;
}

// "section type/subtype encoding disposition name [body]" per part; a message part's body
// (the whole carried mail) is left out.
std::string Describe(std::string_view mail, const std::vector<dtl::MimeLeaf>& parts) {
  std::string s;
  for (const auto& p : parts) {
    s += p.section + " " + p.type + "/" + p.subtype + " " + p.encoding + " " + p.disposition + " " +
         p.fileName;
    if (p.type != "message") s += " [" + std::string(mail.substr(p.bodyOffset, p.bodySize)) + "]";
    s += ";";
  }
  return s;
}

// A segment mail as Python's email package writes it, forwarded by another mail.
const char kSegmentMail[] =
    "Subject: segment\n"
    "MIME-Version: 1.0\n"
    "Content-Type: multipart/mixed; boundary=\"===============3918940773346313087==\"\n"
    "\n"
    "--===============3918940773346313087==\n"
    "Content-Type: text/plain; charset=\"utf-8\"\n"
    "Content-Transfer-Encoding: 7bit\n"
    "\n"
    "y\n"
    "\n"
    "--===============3918940773346313087==\n"
    "Content-Type: application/msword\n"
    "Content-Transfer-Encoding: base64\n"
    "Content-Disposition: attachment; filename*=utf-8''%C3%A9t%C3%A9.006.doc\n"
    "MIME-Version: 1.0\n"
    "\n"
    "YWJj\n"
    "\n"
    "--===============3918940773346313087==--\n";

TEST(ParseMimeMessage, ListsTheLeafPartsNumberedAsImapNumbersThem) {
  struct Case {
    const char* what;
    std::string mail, parts;
  } cases[] = {
      {"one part",
       Crlf("Content-Type: application/octet-stream; name=x.001\n"
            "Content-Transfer-Encoding: base64\n\nAAEC\n"),
       "1 application/octet-stream base64  x.001 [AAEC\r\n];"},
      {"no MIME fields at all", Crlf("Subject: hi\n\nhello\n"), "1 text/plain 7bit   [hello\r\n];"},
      {"an attachment with a folded, continued name and a quoted-printable text",
       Crlf("From: a@example.org\nContent-Type: multipart/mixed;\n boundary=\"b1\"\n\n"
            "preamble\n--b1\nContent-Type: text/plain; charset=utf-8\n"
            "Content-Transfer-Encoding: Quoted-Printable\n\nCaf=C3=A9 =\nau lait\n"
            "--b1\nContent-Type: application/msword\nContent-Transfer-Encoding: base64\n"
            "Content-Disposition: attachment;\n filename*0*=utf-8''Gr%C3%BC%C3%9Fe.;\n"
            " filename*1=001.doc\n\nAAECAw==\n--b1--\nepilogue\n"),
       "1 text/plain quoted-printable   [Caf=C3=A9 =\r\nau lait];"
       "2 application/msword base64 attachment Gr\xc3\xbc\xc3\x9f"
       "e.001.doc [AAECAw==];"},
      {"nested multiparts",
       Crlf("Content-Type: multipart/mixed; boundary=outer\n\n--outer\n"
            "Content-Type: multipart/alternative; boundary=inner\n\n--inner\n\ntext\n--inner\n"
            "Content-Type: text/html\n\n<p>html</p>\n--inner--\n\n--outer\n"
            "Content-Type: application/msword; name=\"=?UTF-8?B?5Y+w?= =?UTF-8?B?5YyX?=.002.doc\"\n"
            "Content-Transfer-Encoding: base64\n\nAA==\n--outer--\n"),
       "1.1 text/plain 7bit   [text];1.2 text/html 7bit   [<p>html</p>];"
       "2 application/msword base64  \xe5\x8f\xb0\xe5\x8c\x97.002.doc [AA==];"},
      {"a forwarded segment mail",
       Crlf(std::string("Subject: Fwd: segment\nContent-Type: multipart/mixed; boundary=\"f\"\n\n"
                        "--f\nContent-Type: text/plain\n\nsee attached\n\n--f\n"
                        "Content-Type: message/rfc822\nContent-Transfer-Encoding: 8bit\n"
                        "Content-Disposition: attachment\n\n") +
            kSegmentMail + "\n--f--\n"),
       "1 text/plain 7bit   [see attached\r\n];2 message/rfc822 8bit attachment ;"
       "2.1 text/plain 7bit   [y\r\n];"
       "2.2 application/msword base64 attachment \xc3\xa9t\xc3\xa9.006.doc [YWJj\r\n];"},
      {"a forwarded single-part mail, the whole mail forwarded",
       Crlf("Content-Type: message/rfc822\n\nSubject: inner\nContent-Type: application/msword\n"
            "Content-Disposition: attachment; filename=\"x.dtl.doc\"\n\nAAAA\n"),
       "1 message/rfc822 7bit  ;1.1 application/msword 7bit attachment x.dtl.doc [AAAA\r\n];"},
      {"a forwarded mail in base64 is read as it stands, as servers number it",
       Crlf("Content-Type: multipart/mixed; boundary=b\n\n--b\n"
            "Content-Type: message/rfc822\nContent-Transfer-Encoding: base64\n\nU3ViamVjdDogeA==\n"
            "--b--\n"),
       "1 message/rfc822 base64  ;1.1 text/plain 7bit   [];"},
      {"bare LF lines, blanks after a boundary, no closing boundary",
       "Content-Type: multipart/mixed; boundary=b\n\n--b \t\nContent-Type: text/plain\n\none\n"
       "--b\nContent-Type: application/x-dtl\n\ntwo\n\n",
       "1 text/plain 7bit   [one];2 application/x-dtl 7bit   [two\n\n];"},
      {"text after a boundary on its line does not hide it",
       Crlf("Content-Type: multipart/mixed; boundary=b\n\n--b junk\n\none\n--b--\n"),
       "1 text/plain 7bit   [one];"},
      {"a part with no fields, and an empty part",
       Crlf("Content-Type: multipart/mixed; boundary=b\n\n--b\n\nplain\n--b\n--b--\n"),
       "1 text/plain 7bit   [plain];2 text/plain 7bit   [];"},
      {"a part whose sender left out the empty line has no body, as servers read it",
       Crlf("Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: text/plain\n"
            "no blank line\n--b--\n"),
       "1 text/plain 7bit   [];"},
      {"a digest's parts are mails unless typed",
       Crlf("Content-Type: multipart/digest; boundary=d\n\n--d\n\nSubject: one\n\nfirst\n"
            "--d\nContent-Type: text/plain\n\nsecond\n--d--\n"),
       "1 message/rfc822 7bit  ;1.1 text/plain 7bit   [first];2 text/plain 7bit   [second];"},
      {"a multipart without a boundary is one text part",
       Crlf("Content-Type: multipart/mixed; name=a.001\n\n--b\n\nx\n--b--\n"),
       "1 text/plain 7bit   [--b\r\n\r\nx\r\n--b--\r\n];"},
      {"a multipart with no boundary line has one empty part",
       Crlf("Content-Type: multipart/mixed; boundary=b\n\nno parts\n"), "1 text/plain 7bit   [];"},
      {"a type without a subtype reads as text/plain",
       Crlf("Content-Type: application; name=a.001\n\nx\n"), "1 text/plain 7bit   [x\r\n];"},
      {"an empty mail", "", "1 text/plain 7bit   [];"},
  };
  for (const Case& c : cases) {
    auto parts = dtl::ParseMimeMessage(c.mail);
    ASSERT_TRUE(parts.ok()) << c.what << ": " << parts.error().message;
    EXPECT_EQ(Describe(c.mail, *parts), c.parts) << c.what;
  }
}

// Attachment headers as Python's email package writes them (RFC 2231 for its default policy,
// folded continuations for long names, encoded words split over folded lines for Header()),
// and the names it reads back from them.
TEST(ParseMimeMessage, NamesFromPythonsEmailPackageReadAsPythonReadsThem) {
  struct Case {
    std::string header, name;
  } cases[] = {
      {"Content-Disposition: attachment; filename=\"movie.avi.001.doc\"\n", "movie.avi.001.doc"},
      {"Content-Disposition: attachment;\n"
       " filename*=utf-8''R%C3%A9sum%C3%A9%3B%20%22final%22%20%282%29.dtl.doc\n",
       "R\xc3\xa9sum\xc3\xa9; \"final\" (2).dtl.doc"},
      {"Content-Disposition: attachment;\n"
       " filename*0*=utf-8''%E5%8F%B0%E5%8C%97%E5%B8%82%E3%81%AE%E9%95%B7%E3%81%84;\n"
       " filename*1*=%E3%83%95%E3%82%A1%E3%82%A4%E3%83%AB%E5%90%8D%E3%81%A8%E8%AA%AC;\n"
       " filename*2*=%E6%98%8E%E4%BB%98%E3%81%8D%E3%81%AE%E3%82%BB%E3%82%B0%E3%83%A1;\n"
       " filename*3*=%E3%83%B3%E3%83%88.003.doc\n",
       "\xe5\x8f\xb0\xe5\x8c\x97\xe5\xb8\x82\xe3\x81\xae\xe9\x95\xb7\xe3\x81\x84\xe3\x83\x95\xe3"
       "\x82\xa1\xe3\x82\xa4\xe3\x83\xab\xe5\x90\x8d\xe3\x81\xa8\xe8\xaa\xac\xe6\x98\x8e\xe4\xbb"
       "\x98\xe3\x81\x8d\xe3\x81\xae\xe3\x82\xbb\xe3\x82\xb0\xe3\x83\xa1\xe3\x83\xb3\xe3\x83\x88"
       ".003.doc"},
      {"Content-Disposition: attachment; filename=\"a b\\\\c.005\"\n", "a b\\c.005"},
      {"Content-Disposition: attachment;\n"
       " filename=\"=?utf-8?q?Gr=C3=BC=C3=9Fe_aus_K=C3=B6ln=2C_eine_Segmentdatei_mit_langem_Name?="
       "\n"
       " =?utf-8?q?n=2E006=2Edoc?=\"\n",
       "Gr\xc3\xbc\xc3\x9f"
       "e aus K\xc3\xb6ln, eine Segmentdatei mit langem Namen.006.doc"},
      {"Content-Disposition: attachment;\n filename=\"=?utf-8?b?4oKsIHJhdGUuMDA3LmRvYw==?=\"\n",
       "\xe2\x82\xac rate.007.doc"},
      {"Content-Disposition: attachment;\n filename=\"=?iso-8859-1?q?M=FCller=2E008=2Edoc?=\"\n",
       "M\xc3\xbcller.008.doc"},
  };
  for (const Case& c : cases) {
    const std::string mail = Crlf(
        "Content-Type: application/msword\nMIME-Version: 1.0\n"
        "Content-Transfer-Encoding: base64\n" +
        c.header + "\nYWJj\n");
    auto parts = dtl::ParseMimeMessage(mail);
    ASSERT_TRUE(parts.ok()) << parts.error().message;
    ASSERT_EQ(parts->size(), 1u);
    EXPECT_EQ(parts->at(0).fileName, c.name) << c.header;
    EXPECT_EQ(parts->at(0).disposition, "attachment");
  }
}

TEST(ParseMimeMessage, PartOffsetsPointIntoTheMessage) {
  const std::string mail = Crlf(std::string("Content-Type: message/rfc822\n\n") + kSegmentMail);
  auto parts = dtl::ParseMimeMessage(mail);
  ASSERT_TRUE(parts.ok());
  ASSERT_EQ(parts->size(), 3u);
  EXPECT_EQ(parts->at(0).headerOffset, 0u);
  EXPECT_EQ(parts->at(0).bodyOffset, 32u);
  EXPECT_EQ(parts->at(0).bodyOffset + parts->at(0).bodySize, mail.size());
  const dtl::MimeLeaf& doc = parts->at(2);
  EXPECT_EQ(mail.substr(doc.headerOffset, 34), "Content-Type: application/msword\r\n");
  EXPECT_EQ(mail.substr(doc.bodyOffset, doc.bodySize), "YWJj\r\n");
}

// `depth` multiparts, each holding the next, the last one a text.
std::string Nested(int depth) {
  std::string head, tail;
  for (int i = 0; i < depth; ++i) {
    // "b1z" is no prefix of "b10z": an inner boundary must not end an outer part.
    const std::string b = "b" + std::to_string(i) + "z";
    head += "Content-Type: multipart/mixed; boundary=" + b + "\r\n\r\n--" + b + "\r\n";
    tail = "\r\n--" + b + "--\r\n" + tail;
  }
  return head + "\r\ntext" + tail;
}

TEST(ParseMimeMessage, RefusesMailsNestedTooDeepOrCutIntoTooManyParts) {
  auto ok = dtl::ParseMimeMessage(Nested(dtl::kMaxMimeDepth));
  ASSERT_TRUE(ok.ok()) << ok.error().message;
  ASSERT_EQ(ok->size(), 1u);
  std::string section = "1";
  for (int i = 1; i < dtl::kMaxMimeDepth; ++i) section += ".1";
  EXPECT_EQ(ok->at(0).section, section);
  EXPECT_EQ(ok->at(0).fileName, "");

  std::string forwards;  // mails forwarded inside mails, with no boundary at all
  for (int i = 0; i <= dtl::kMaxMimeDepth; ++i) forwards += "Content-Type: message/rfc822\r\n\r\n";
  std::string many = "Content-Type: multipart/mixed; boundary=b\r\n\r\n";
  for (size_t i = 0; i < dtl::kMaxMimePartCount; ++i) many += "--b\r\n\r\n";
  for (const std::string& hostile : {Nested(dtl::kMaxMimeDepth + 1), forwards, many}) {
    auto r = dtl::ParseMimeMessage(hostile);
    ASSERT_FALSE(r.ok()) << hostile.substr(0, 80);
    EXPECT_EQ(r.error().code, ErrorCode::Corrupt);
  }
  // One part fewer is within the bound.
  many.resize(many.size() - 7);
  EXPECT_TRUE(dtl::ParseMimeMessage(many).ok());
}

}  // namespace
