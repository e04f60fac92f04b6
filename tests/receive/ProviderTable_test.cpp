// Provider recognition, the table's small helpers, and every provider's templates and markers
// pinned as written here: the crawler's fixture answers whatever the table asks for, so only
// this copy catches a mistyped template.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "receive/ProviderTable.h"

namespace {

// Every provider entry as it must read, in table order. Written out by hand on purpose:
// never derive it from the table under test.
const dtl::ProviderInfo kPinned[] = {
    {dtl::kProviderGmail,
     "Gmail",
     {"mail.google.com", "gmail.com"},
     "?ui=html&zy=f",
     "%s?st=%d&s=a",
     dtl::Paging::Gmail,
     "?st=",
     dtl::IdRule::AfterMarker,
     "&th=",
     "\"&",
     dtl::IdFilter::Any,
     "%s?th=%s&v=c",
     false,
     dtl::NameRule::GmailThread,
     "&disp=attd",
     nullptr,
     false,
     false,
     nullptr,
     nullptr},
    {dtl::kProviderYahoo,
     "Yahoo",
     {"mail.yahoo.com", nullptr},
     "http://%s/ym/ShowFolder?rb=Inbox&reset=1&YY=%s&inc=200&Npos=%d",
     nullptr,
     dtl::Paging::NextNumber,
     "&Npos=%d",
     dtl::IdRule::AfterMarker,
     "MsgId=",
     "&",
     dtl::IdFilter::LongerThan5,
     "http://%s/ym/ShowLetter/?box=Inbox&MsgId=%s&bodyPart=2&filename=&tnef=&download=1&YY=%s"
     "&order=down&sort=date&pos=0&view=a&head=b",
     true,
     dtl::NameRule::Disposition,
     nullptr,
     nullptr,
     true,
     true,
     "http://%s/ym/ShowLetter/?box=Inbox&MsgId=%s&bodyPart=2&filename=&tnef=&download=1&YY=%s"
     "&order=down&sort=date&pos=0&view=a&head=b",
     "yahoo."},
    {dtl::kProviderWalla,
     "Walla",
     {"walla.com", nullptr},
     "/?fid=-1000&f=0&o=6&p=%d&q=",
     nullptr,
     dtl::Paging::NextNumber,
     "&p=%d",
     dtl::IdRule::AfterMarker,
     "wm_sm(",
     ",",
     dtl::IdFilter::PositiveNumber,
     "/?w=/@msg&fid=-1000&f=0&o=6&p=0&q=&id=%s",
     false,
     dtl::NameRule::WallaLink,
     "http://attach.walla.com/",
     "&filename=",
     false,
     true,
     nullptr,
     "walla.com"},
    {dtl::kProviderOmnilect,
     "Omnilect",
     {"omnilect.com", nullptr},
     "http://%s/src/right_main.php?PG_SHOWALL=1&use_mailbox_cache=1&startMessage=1&mailbox=INBOX",
     nullptr,
     dtl::Paging::None,
     nullptr,
     dtl::IdRule::AfterMarker,
     "passed_id=",
     "&",
     dtl::IdFilter::PositiveNumber,
     "http://%s/src/download.php?startMessage=1&passed_id=%s&mailbox=INBOX&ent_id=2",
     true,
     dtl::NameRule::Disposition,
     nullptr,
     nullptr,
     true,
     true,
     "http://%s/src/download.php?startMessage=1&passed_id=%s&mailbox=INBOX&ent_id=2",
     nullptr},
    {dtl::kProviderUnitedEmail,
     "United Email Systems",
     {"unitedemailsystems.com", nullptr},
     "http://%s/mail/showmail.pl?Folder=Inbox",
     nullptr,
     dtl::Paging::None,
     nullptr,
     dtl::IdRule::AfterMarker,
     "openmsg('",
     "'",
     dtl::IdFilter::Any,
     "http://%s/mail/reademail.pl?id=%s&folder=Inbox&cache=",
     false,
     dtl::NameRule::NameAndMime,
     "&name=",
     "mime.pl",
     false,
     true,
     "http://%s/mail/%s/",
     nullptr},
    {dtl::kProviderSpymac,
     "Spymac",
     {"spymac.com", nullptr},
     "http://%s/showmail.pl?Folder=Inbox",
     nullptr,
     dtl::Paging::None,
     nullptr,
     dtl::IdRule::AfterMarker,
     "openmsg('",
     "'",
     dtl::IdFilter::Any,
     "http://%s/reademail.pl?id=%s&folder=Inbox&cache=",
     false,
     dtl::NameRule::NameAndMime,
     "&name=",
     "mime.pl",
     false,
     true,
     "http://%s/%s/",
     nullptr},
    {dtl::kProviderXasamail,
     "Xasamail",
     {"xasamail.com", nullptr},
     "http://%s/cgi-bin/read.cgi/english?acc=%s&folder=inbox",
     nullptr,
     dtl::Paging::StartLinks,
     "&start=",
     dtl::IdRule::AfterMarker,
     "&read=",
     "\"",
     dtl::IdFilter::Any,
     "http://%s/cgi-bin/read.cgi/english?acc=%s&folder=inbox&read=%s",
     false,
     dtl::NameRule::QuotedLinkFileName,
     "servFile.cgi/",
     nullptr,
     false,
     true,
     nullptr,
     nullptr},
    {dtl::kProviderHriders,
     "Hriders",
     {"hriders.com", nullptr},
     "http://%s:%d/readmail.%s.cgi?uid=%s&mbx=Main",
     "http://%s:%d/%s",
     dtl::Paging::NextPageLink,
     "=NextPage",
     dtl::IdRule::LinkHolding,
     "rmail.",
     "\"",
     dtl::IdFilter::Any,
     "http://%s:%d/%s",
     false,
     dtl::NameRule::PathAfterMarker,
     "/attach",
     "http://%s:%d%s",
     false,
     true,
     nullptr,
     nullptr},
    {dtl::kProviderNetscape,
     "Netscape",
     {"netscape.com", nullptr},
     "http://%s/msglist.adp?fl=1",
     "http://%s/msglist.adp?fl=1%s",
     dtl::Paging::NetscapeStart,
     "&start=%d",
     dtl::IdRule::AfterMarker,
     "&uid=",
     "\"",
     dtl::IdFilter::Any,
     "http://%s/msgview.adp?uid=%s",
     false,
     dtl::NameRule::PathAfterMarker,
     "/attachment/",
     nullptr,
     false,
     true,
     "http://%s%s",
     nullptr},
    {dtl::kProviderO2,
     "o2",
     {"o2.pl", nullptr},
     "http://%s",
     "http://%s%s",
     dtl::Paging::O2Path,
     "/?m=&pn=%d",
     dtl::IdRule::AfterMarker,
     "&n=",
     "&",
     dtl::IdFilter::Any,
     "http://%s/?m=&n=%s&pn=0&cmd=display",
     false,
     dtl::NameRule::QuotedLinkLastPart,
     "/zal/",
     nullptr,
     false,
     true,
     nullptr,
     nullptr},
    {dtl::kProviderLycos,
     "Lycos",
     {"lycos.com", nullptr},
     "http://%s/lycos/mail/MailList.lycos?FOLDER=Inbox",
     "http://%s/lycos/mail/MailList.lycos?mpage=%d&FOLDER=Inbox&CMD=ALL&sort=MAILID&order=DESC",
     dtl::Paging::LycosNumber,
     "mpage=%d",
     dtl::IdRule::AfterMarker,
     "?MSGID=",
     "&",
     dtl::IdFilter::Any,
     "http://%s/lycos/mail/ViewMail.lycos?MSGID=%s&FOLDER=Inbox&CMD=ALL&sort=MAILID&order=DESC",
     false,
     dtl::NameRule::LycosLink,
     "downtype=PC",
     "realname=",
     false,
     false,
     nullptr,
     nullptr},
    {dtl::kProviderGawab,
     "Gawab",
     {"gawab.com", nullptr},
     "%s?basepage=home&folder=INBOX&form=folder&folder=INBOX",
     nullptr,
     dtl::Paging::None,
     nullptr,
     dtl::IdRule::AfterMarker,
     "&pos=",
     "\"",
     dtl::IdFilter::Any,
     "%s?basepage=readmsg&folder=INBOX&form=fetch&pos=%s&mimeid=%s&download=1",
     true,
     dtl::NameRule::GawabDisposition,
     nullptr,
     nullptr,
     false,
     true,
     nullptr,
     nullptr},
};

bool SameText(const char* a, const char* b) { return a == b || (a && b && std::strcmp(a, b) == 0); }
std::string Show(const char* s) { return s ? "\"" + std::string(s) + "\"" : "null"; }

TEST(ProviderTable, EveryTemplateAndMarkerReadsAsPinned) {
  const auto table = dtl::Providers();
  ASSERT_EQ(table.size(), std::size(kPinned));
  for (size_t i = 0; i < table.size(); ++i) {
    const dtl::ProviderInfo& got = table[i];
    const dtl::ProviderInfo& want = kPinned[i];
    SCOPED_TRACE(want.name);
    EXPECT_EQ(got.id, want.id);
    const struct {
      const char* field;
      const char* got;
      const char* want;
    } texts[] = {
        {"name", got.name, want.name},
        {"domain 1", got.domains[0], want.domains[0]},
        {"domain 2", got.domains[1], want.domains[1]},
        {"listing", got.listing, want.listing},
        {"listingNext", got.listingNext, want.listingNext},
        {"pagingMarker", got.pagingMarker, want.pagingMarker},
        {"idMarker", got.idMarker, want.idMarker},
        {"idEnd", got.idEnd, want.idEnd},
        {"message", got.message, want.message},
        {"nameMarker", got.nameMarker, want.nameMarker},
        {"keyMarker", got.keyMarker, want.keyMarker},
        {"download", got.download, want.download},
        {"pageMarker", got.pageMarker, want.pageMarker},
    };
    for (const auto& t : texts)
      EXPECT_TRUE(SameText(t.got, t.want))
          << t.field << ": " << Show(t.got) << " != " << Show(t.want);
    EXPECT_EQ(got.paging, want.paging);
    EXPECT_EQ(got.idRule, want.idRule);
    EXPECT_EQ(got.idFilter, want.idFilter);
    EXPECT_EQ(got.messageHeaders, want.messageHeaders);
    EXPECT_EQ(got.nameRule, want.nameRule);
    EXPECT_EQ(got.keyIsId, want.keyIsId);
    EXPECT_EQ(got.skipKnownKeys, want.skipKnownKeys);
  }
}

// The host alone names the provider: a provider's name in the path, the query, a user name or
// a longer host is no recognition, and a page of no known provider is nobody's (it used to be
// Gmail's, and took the session there).
TEST(RecognizeProvider, ByTheHostAloneAndUnknownPagesAreNobodys) {
  struct Case {
    const char* url;
    int32_t id;
  };
  for (const Case& c : {
           Case{"https://mail.google.com/mail/?shva=1", dtl::kProviderGmail},
           Case{"http://www.gmail.com/", dtl::kProviderGmail},
           Case{"http://webmail.example.test/inbox", dtl::kProviderUnknown},
           Case{"", dtl::kProviderUnknown},
           Case{"HTTP://MAIL.YAHOO.COM/ym/ShowFolder", dtl::kProviderYahoo},
           Case{"http://mail.yahoo.com/?from=gmail", dtl::kProviderYahoo},
           Case{"http://us.f500.mail.yahoo.com/ym/ShowFolder", dtl::kProviderYahoo},
           Case{"http://mail.walla.com/?back=http://mail.yahoo.com/", dtl::kProviderWalla},
           Case{"http://MAIL.WALLA.COM./", dtl::kProviderWalla},
           Case{"http://poczta.o2.pl/?ref=netscape.com", dtl::kProviderO2},
           Case{"http://mail.hriders.com:8080/index.cgi?uid=joe", dtl::kProviderHriders},
           Case{"http://mail.lycos.com/?partner=gawab.com", dtl::kProviderLycos},
           Case{"http://mail.gawab.com/?partner=lycos.com", dtl::kProviderGawab},
           Case{"https://webmail.example.test/inbox?ref=walla.com", dtl::kProviderUnknown},
           Case{"http://webmail.example.test/mail.yahoo.com/inbox", dtl::kProviderUnknown},
           Case{"http://mail.yahoo.com.example.test/", dtl::kProviderUnknown},
           Case{"http://mail.yahoo.com@attacker.test/", dtl::kProviderUnknown},
           Case{"http://notgmail.com/", dtl::kProviderUnknown},
           Case{"http://www.google.com/", dtl::kProviderUnknown},
           Case{"http://go2.pl/", dtl::kProviderUnknown},
           Case{"mail.yahoo.com/ym/ShowFolder", dtl::kProviderUnknown},  // no scheme, no host
       }) {
    EXPECT_EQ(dtl::RecognizeProvider(c.url), c.id) << c.url;
  }
}

// The session goes to the page's own host and, from a page of the provider itself, to the fixed
// hosts the table names for it: never to a fixed host because an id was given or a URL names it.
TEST(SessionHosts, ThePagesHostAndTheProvidersFixedHostsOnlyFromItsOwnPage) {
  using Hosts = std::vector<std::string>;
  struct Case {
    int32_t id;
    const char* url;
    Hosts hosts;
  };
  for (const Case& c : {
           Case{dtl::kProviderGmail, "https://mail.google.com/mail/?shva=1", {"mail.google.com"}},
           Case{
               dtl::kProviderGmail, "https://www.gmail.com/", {"www.gmail.com", "mail.google.com"}},
           Case{dtl::kProviderWalla,
                "http://mail.walla.com/?w=/@inbox",
                {"mail.walla.com", "attach.walla.com"}},
           Case{dtl::kProviderWalla,
                "http://friends.walla.com/",
                {"friends.walla.com", "mail.walla.com", "attach.walla.com"}},
           Case{dtl::kProviderYahoo, "http://mail.yahoo.com/ym/?ref=walla.com", {"mail.yahoo.com"}},
           Case{dtl::kProviderHriders,
                "http://Mail.Hriders.com:8080/index.cgi",
                {"mail.hriders.com"}},
           Case{
               dtl::kProviderGmail, "https://webmail.example.test/inbox", {"webmail.example.test"}},
           Case{dtl::kProviderWalla,
                "https://webmail.example.test/inbox?ref=walla.com",
                {"webmail.example.test"}},
           Case{dtl::kProviderUnknown, "http://x.example.test/", {"x.example.test"}},
           Case{dtl::kProviderGmail, "not a url", {}},
       }) {
    EXPECT_EQ(dtl::SessionHosts(c.id, c.url), c.hosts) << c.url;
  }
}

TEST(ProviderHelpers, UsedIdsPageBaseFormattingAndRandomDigits) {
  for (int32_t unused : {-1, 8, 10, 13, 15})
    EXPECT_EQ(dtl::FindProvider(unused), nullptr) << unused;
  EXPECT_EQ(dtl::PageBase("http://mail.gawab.com/webmail/index.php?a=1?b"),
            "http://mail.gawab.com/webmail/index.php");
  EXPECT_EQ(dtl::PageBase("http://mail.gawab.com/"), "http://mail.gawab.com/");
  // Keys and identifiers from pages are arguments, never formats, whatever their length.
  const std::string key(10000, '%');
  EXPECT_EQ(dtl::FormatUrl("http://%s/%s/", "h", key.c_str()), "http://h/" + key + "/");
  EXPECT_EQ(dtl::FormatUrl("%s?st=%d&s=a", "b", 50), "b?st=50&s=a");
  // Five digits from 0 to 8: each random number taken modulo 9.
  const uint32_t values[] = {8, 9, 17, 26, 0xffffffffu};
  size_t next = 0;
  EXPECT_EQ(dtl::RandomDigits([&] { return values[next++]; }), "80883");
}

}  // namespace
