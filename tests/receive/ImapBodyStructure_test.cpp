// Body structures: their parts numbered as FETCH BODY[...] takes them, and attachment names as
// servers pass them (RFC 2231 values joined by the server or still split into continuations,
// encoded words, the type's name as the fallback). A real Dovecot's forms are in
// ImapDovecot_test.
#include "receive/ImapBodyStructure.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

// The BODYSTRUCTURE value of a FETCH response line.
dtl::ImapValue Structure(const std::string& value) {
  const std::string wire = "* 1 FETCH (UID 1 BODYSTRUCTURE " + value + ")\r\n";
  size_t pos = 0;
  dtl::ImapResponseReader reader([&](char* b, size_t n) -> dtl::Result<size_t> {
    n = std::min(n, wire.size() - pos);
    std::copy_n(wire.data() + pos, n, b);
    pos += n;
    return n;
  });
  auto r = reader.Next();
  EXPECT_TRUE(r.ok()) << r.error().message;
  return r.ok() ? r->data.at(0).items.at(3) : dtl::ImapValue{};
}

TEST(ImapBodyPartNames, AreDecodedToUtf8WhicheverFormTheServerPasses) {
  struct Case {
    const char* what;
    std::string typeParams, dispositionParams;  // IMAP parameter lists, or NIL
    std::string name;
  } cases[] = {
      {"plain", "NIL", "(\"filename\" \"movie.avi.001.doc\")", "movie.avi.001.doc"},
      {"an RFC 2231 value the server joined", "NIL",
       "(\"filename*\" \"utf-8''%E5%8F%B0%E5%8C%97.002.doc\")", "\xe5\x8f\xb0\xe5\x8c\x97.002.doc"},
      {"continuations passed as the mail has them, one character split over two", "NIL",
       "(\"filename*0*\" \"UTF-8'en'%E5%8F\" \"filename*1*\" \"%B0%E5%8C%97\" \"filename*2\" "
       "\".002.doc\")",
       "\xe5\x8f\xb0\xe5\x8c\x97.002.doc"},
      {"continuations out of order", "NIL",
       "(\"filename*1\" \"avi.001.doc\" \"filename*0\" \"movie.\")", "movie.avi.001.doc"},
      {"a gap in the continuations ends the name", "NIL",
       "(\"filename*0\" \"movie\" \"filename*2\" \".avi.001.doc\")", "movie"},
      {"upper-case parameter names", "NIL", "(\"FILENAME*\" \"ISO-8859-1''M%FCller.003.doc\")",
       "M\xc3\xbcller.003.doc"},
      {"the extended form wins over a plain one", "NIL",
       "(\"filename\" \"M_ller.003.doc\" \"filename*\" \"iso-8859-1''M%FCller.003.doc\")",
       "M\xc3\xbcller.003.doc"},
      {"encoded words", "NIL", "(\"filename\" \"=?UTF-8?B?5Y+w?= =?utf-8?q?=E5=8C=97?=.004.doc\")",
       "\xe5\x8f\xb0\xe5\x8c\x97.004.doc"},
      {"encoded words in the type's name only", "(\"name\" \"=?windows-1252?Q?Caf=E9_=80.doc?=\")",
       "NIL", "Caf\xc3\xa9 \xe2\x82\xac.doc"},
      {"an extended type name", "(\"name*\" \"iso-8859-15''%A4.005.doc\")", "NIL",
       "\xe2\x82\xac.005.doc"},
      {"an empty filename falls back to the type's name", "(\"name\" \"f.006.doc\")",
       "(\"filename\" \"\")", "f.006.doc"},
      {"an unknown charset leaves the bytes", "NIL", "(\"filename*\" \"x-unknown''a%41.doc\")",
       "aA.doc"},
      {"an encoded word in an unknown charset stays as written", "NIL",
       "(\"filename\" \"=?x-unknown?Q?a?=.doc\")", "=?x-unknown?Q?a?=.doc"},
  };
  for (const Case& c : cases) {
    const std::string structure = "(\"application\" \"msword\" " + c.typeParams +
                                  " NIL NIL \"base64\" 8 NIL (\"attachment\" " +
                                  c.dispositionParams + ") NIL NIL)";
    auto parts = dtl::ImapBodyParts(Structure(structure));
    ASSERT_TRUE(parts.ok()) << c.what << ": " << parts.error().message;
    ASSERT_EQ(parts->size(), 1u) << c.what;
    EXPECT_EQ(parts->at(0).fileName, c.name) << c.what;
  }
}

TEST(ImapBodyPartNames, OfAForwardedMailsPartsAreDecodedToo) {
  const std::string inner =
      "(\"application\" \"msword\" NIL NIL NIL \"base64\" 8 NIL (\"attachment\" (\"filename*\" "
      "\"utf-8''%C3%A9t%C3%A9.001.doc\")) NIL NIL)";
  const std::string structure =
      "((\"text\" \"plain\" NIL NIL NIL \"7bit\" 1 1)(\"message\" \"rfc822\" NIL NIL NIL \"7bit\" "
      "90 (NIL) (" +
      inner +
      " \"mixed\") 3 NIL (\"attachment\" (\"filename\" \"=?utf-8?q?=C3=A9t=C3=A9?=.eml\")) "
      "NIL NIL) \"mixed\")";
  auto parts = dtl::ImapBodyParts(Structure(structure));
  ASSERT_TRUE(parts.ok()) << parts.error().message;
  ASSERT_EQ(parts->size(), 3u);
  EXPECT_EQ(parts->at(1).fileName, "\xc3\xa9t\xc3\xa9.eml");
  EXPECT_EQ(parts->at(2).section, "2.1");
  EXPECT_EQ(parts->at(2).fileName, "\xc3\xa9t\xc3\xa9.001.doc");
}

// Section numbering: leaf parts, nested multiparts and the parts inside a forwarded mail.
std::string Describe(const std::vector<dtl::ImapBodyPart>& parts) {
  std::string s;
  for (const auto& p : parts)
    s += p.section + ":" + p.type + "/" + p.subtype + "," + p.encoding + "," + p.disposition + "," +
         p.fileName + "," + std::to_string(p.size) + ";";
  return s;
}

TEST(ImapBodyParts, NumbersLeafPartsAndFindsTheirFileNames) {
  const std::string text =
      "(\"TEXT\" \"PLAIN\" (\"CHARSET\" \"us-ascii\") NIL NIL \"7BIT\" 12 1 NIL NIL NIL NIL)";
  const std::string doc =
      "(\"application\" \"msword\" (\"name\" \"f.001.doc\") NIL NIL \"base64\" 1372 NIL "
      "(\"attachment\" (\"filename\" \"movie.avi.001.doc\" \"size\" \"1000\")) NIL NIL)";
  const std::string named =
      "(\"application\" \"octet-stream\" (\"NAME\" \"only-type.dtl\") NIL NIL \"base64\" 8 NIL NIL "
      "NIL NIL)";
  const std::string bare = "(\"application\" \"octet-stream\" NIL NIL NIL \"base64\" 8)";
  struct Case {
    std::string structure, parts;
  } cases[] = {
      {text, "1:text/plain,7bit,,,12;"},
      {bare, "1:application/octet-stream,base64,,,8;"},
      {"(" + text + doc + " \"mixed\" (\"boundary\" \"b\") NIL NIL NIL)",
       "1:text/plain,7bit,,,12;2:application/msword,base64,attachment,movie.avi.001.doc,1372;"},
      // An attachment named only by its type's parameter, and one nested a level down.
      {"((" + text + named + " \"alternative\") " + doc + " \"mixed\")",
       "1.1:text/plain,7bit,,,12;1.2:application/octet-stream,base64,,only-type.dtl,8;"
       "2:application/msword,base64,attachment,movie.avi.001.doc,1372;"},
      // A forwarded segment mail: its parts are numbered inside the message part.
      {"(" + text +
           "(\"message\" \"rfc822\" NIL NIL NIL \"7bit\" 2000 (NIL \"fwd\" NIL NIL NIL NIL NIL NIL "
           "NIL NIL) (" +
           text + doc +
           " \"mixed\") 40 NIL (\"attachment\" (\"filename\" \"fwd.eml\")) NIL NIL) \"mixed\")",
       "1:text/plain,7bit,,,12;2:message/rfc822,7bit,attachment,fwd.eml,2000;2.1:text/"
       "plain,7bit,,,12;"
       "2.2:application/msword,base64,attachment,movie.avi.001.doc,1372;"},
      {"(\"message\" \"rfc822\" NIL NIL NIL \"7bit\" 90 (NIL) " + bare + " 3)",
       "1:message/rfc822,7bit,,,90;1.1:application/octet-stream,base64,,,8;"},
  };
  for (const Case& c : cases) {
    auto parts = dtl::ImapBodyParts(Structure(c.structure));
    ASSERT_TRUE(parts.ok()) << c.structure << ": " << parts.error().message;
    EXPECT_EQ(Describe(*parts), c.parts) << c.structure;
  }
}

TEST(ImapBodyParts, RefusesWhatIsNoBodyStructure) {
  for (std::string bad : {"NIL", "\"text\"", "(\"text\" \"plain\" NIL NIL NIL \"7bit\")",
                          "(\"text\" \"plain\" NIL NIL NIL \"7bit\" \"-1\" 1)", "()"}) {
    auto parts = dtl::ImapBodyParts(Structure(bad));
    ASSERT_FALSE(parts.ok()) << bad;
    EXPECT_EQ(parts.error().code, dtl::ErrorCode::Protocol);
  }
}

}  // namespace
