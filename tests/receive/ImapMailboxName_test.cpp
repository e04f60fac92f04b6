// Folder names between the UTF-8 users type and the modified UTF-7 IMAP servers speak.
#include "receive/ImapMailboxName.h"

#include <gtest/gtest.h>

namespace {

TEST(ImapMailboxName, EncodesAndDecodesBothWays) {
  struct Case {
    std::string utf8, wire;
  } cases[] = {
      {"INBOX", "INBOX"},
      {"[Gmail]/All Mail", "[Gmail]/All Mail"},
      {"Sent Items.2026", "Sent Items.2026"},
      {"Bo\xc3\xaete d'envoi", "Bo&AO4-te d'envoi"},
      {"\xe5\x8f\xb0\xe5\x8c\x97", "&U,BTFw-"},
      {"&", "&-"},
      {"Tom & Jerry", "Tom &- Jerry"},
      {"Entw\xc3\xbcrfe", "Entw&APw-rfe"},
      {"~peter/mail/\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e/\xe5\x8f\xb0\xe5\x8c\x97",
       "~peter/mail/&ZeVnLIqe-/&U,BTFw-"},
      // Outside the basic plane: a surrogate pair in one run, the blank after it plain.
      {"\xf0\x9f\x93\x8e Anh\xc3\xa4nge", "&2D3czg- Anh&AOQ-nge"},
      {"\xc3\x9c&\xc3\xbc", "&ANw-&-&APw-"},
      {"tab\there", "tab&AAk-here"},
      {"\xd0\x92\xd1\x85\xd0\xbe\xd0\xb4\xd1\x8f\xd1\x89\xd0\xb8\xd0\xb5",
       "&BBIERQQ+BDQETwRJBDgENQ-"},
      {"", ""},
  };
  for (const Case& c : cases) {
    auto wire = dtl::EncodeMailboxName(c.utf8);
    ASSERT_TRUE(wire.ok()) << c.utf8 << ": " << wire.error().message;
    EXPECT_EQ(*wire, c.wire) << c.utf8;
    auto back = dtl::DecodeMailboxName(c.wire);
    ASSERT_TRUE(back.ok()) << c.wire << ": " << back.error().message;
    EXPECT_EQ(*back, c.utf8) << c.wire;
  }
}

TEST(ImapMailboxName, RefusesToEncodeWhatIsNotUtf8) {
  for (std::string bad : {std::string("caf\xe9"), std::string("\xc3"), std::string("\xc0\xaf"),
                          std::string("\xed\xa0\x80"), std::string("\xf4\x90\x80\x80"),
                          std::string("a\0b", 3), std::string("\xff")}) {
    auto r = dtl::EncodeMailboxName(bad);
    ASSERT_FALSE(r.ok()) << bad;
    EXPECT_EQ(r.error().code, dtl::ErrorCode::InvalidArgument);
  }
}

TEST(ImapMailboxName, RefusesWireNamesNoConformingServerSends) {
  for (std::string bad : {
           std::string("Bo&AO4te"),     // unterminated run
           std::string("caf\xc3\xa9"),  // raw 8-bit
           std::string("a\tb"),         // raw control character
           std::string("&AO4*-"),       // outside the base64 alphabet
           std::string("&AO5-"),        // stray bits after the last character
           std::string("&AO-"),         // half a UTF-16 unit
           std::string("&2D0-"),        // a high surrogate alone
           std::string("&3M4-"),        // a low surrogate alone
           std::string("&AEE-"),        // "A", which stands for itself
           std::string("&AAA-"),        // NUL
       }) {
    auto r = dtl::DecodeMailboxName(bad);
    ASSERT_FALSE(r.ok()) << bad << " gave " << *r;
    EXPECT_EQ(r.error().code, dtl::ErrorCode::Protocol);
  }
}

}  // namespace
