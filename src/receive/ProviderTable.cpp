#include "receive/ProviderTable.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <iterator>

namespace dtl {

namespace {

// Recognition order, not id order: a later hit overrides an earlier one, so Gawab, last, wins
// over Lycos when a URL holds both.
constexpr ProviderInfo kProviders[] = {
    {kProviderGmail,
     "Gmail",
     {"gmail", "mail.google."},
     "?ui=html&zy=f",
     "%s?st=%d&s=a",
     Paging::Gmail,
     "?st=",
     IdRule::AfterMarker,
     "&th=",
     "\"&",
     IdFilter::Any,
     "%s?th=%s&v=c",
     false,
     NameRule::GmailThread,
     "&disp=attd",
     nullptr,
     false,
     false,
     nullptr,
     nullptr},
    {kProviderYahoo,
     "Yahoo",
     {"mail.yahoo.", nullptr},
     "http://%s/ym/ShowFolder?rb=Inbox&reset=1&YY=%s&inc=200&Npos=%d",
     nullptr,
     Paging::NextNumber,
     "&Npos=%d",
     IdRule::AfterMarker,
     "MsgId=",
     "&",
     IdFilter::LongerThan5,
     "http://%s/ym/ShowLetter/?box=Inbox&MsgId=%s&bodyPart=2&filename=&tnef=&download=1&YY=%s"
     "&order=down&sort=date&pos=0&view=a&head=b",
     true,
     NameRule::Disposition,
     nullptr,
     nullptr,
     true,
     true,
     "http://%s/ym/ShowLetter/?box=Inbox&MsgId=%s&bodyPart=2&filename=&tnef=&download=1&YY=%s"
     "&order=down&sort=date&pos=0&view=a&head=b",
     kYahooPageMarker},
    {kProviderWalla,
     "Walla",
     {"walla.com", nullptr},
     "/?fid=-1000&f=0&o=6&p=%d&q=",
     nullptr,
     Paging::NextNumber,
     "&p=%d",
     IdRule::AfterMarker,
     "wm_sm(",
     ",",
     IdFilter::PositiveNumber,
     "/?w=/@msg&fid=-1000&f=0&o=6&p=0&q=&id=%s",
     false,
     NameRule::WallaLink,
     kWallaAttachHost,
     "&filename=",
     false,
     true,
     nullptr,
     kWallaPageMarker},
    {kProviderOmnilect,
     "Omnilect",
     {"omnilect.", nullptr},
     "http://%s/src/right_main.php?PG_SHOWALL=1&use_mailbox_cache=1&startMessage=1&mailbox=INBOX",
     nullptr,
     Paging::None,
     nullptr,
     IdRule::AfterMarker,
     "passed_id=",
     "&",
     IdFilter::PositiveNumber,
     "http://%s/src/download.php?startMessage=1&passed_id=%s&mailbox=INBOX&ent_id=2",
     true,
     NameRule::Disposition,
     nullptr,
     nullptr,
     true,
     true,
     "http://%s/src/download.php?startMessage=1&passed_id=%s&mailbox=INBOX&ent_id=2",
     nullptr},
    {kProviderUnitedEmail,
     "United Email Systems",
     {"unitedemailsystems.", nullptr},
     "http://%s/mail/showmail.pl?Folder=Inbox",
     nullptr,
     Paging::None,
     nullptr,
     IdRule::AfterMarker,
     "openmsg('",
     "'",
     IdFilter::Any,
     "http://%s/mail/reademail.pl?id=%s&folder=Inbox&cache=",
     false,
     NameRule::NameAndMime,
     "&name=",
     "mime.pl",
     false,
     true,
     "http://%s/mail/%s/",
     nullptr},
    {kProviderSpymac,
     "Spymac",
     {"spymac.", nullptr},
     "http://%s/showmail.pl?Folder=Inbox",
     nullptr,
     Paging::None,
     nullptr,
     IdRule::AfterMarker,
     "openmsg('",
     "'",
     IdFilter::Any,
     "http://%s/reademail.pl?id=%s&folder=Inbox&cache=",
     false,
     NameRule::NameAndMime,
     "&name=",
     "mime.pl",
     false,
     true,
     "http://%s/%s/",
     nullptr},
    {kProviderXasamail,
     "Xasamail",
     {"xasamail.", nullptr},
     "http://%s/cgi-bin/read.cgi/english?acc=%s&folder=inbox",
     nullptr,
     Paging::StartLinks,
     "&start=",
     IdRule::AfterMarker,
     "&read=",
     "\"",
     IdFilter::Any,
     "http://%s/cgi-bin/read.cgi/english?acc=%s&folder=inbox&read=%s",
     false,
     NameRule::QuotedLinkFileName,
     "servFile.cgi/",
     nullptr,
     false,
     true,
     nullptr,
     nullptr},
    {kProviderHriders,
     "Hriders",
     {"hriders.", nullptr},
     "http://%s:%d/readmail.%s.cgi?uid=%s&mbx=Main",
     "http://%s:%d/%s",
     Paging::NextPageLink,
     "=NextPage",
     IdRule::LinkHolding,
     "rmail.",
     "\"",
     IdFilter::Any,
     "http://%s:%d/%s",
     false,
     NameRule::PathAfterMarker,
     "/attach",
     "http://%s:%d%s",
     false,
     true,
     nullptr,
     nullptr},
    {kProviderNetscape,
     "Netscape",
     {"netscape.", nullptr},
     "http://%s/msglist.adp?fl=1",
     "http://%s/msglist.adp?fl=1%s",
     Paging::NetscapeStart,
     "&start=%d",
     IdRule::AfterMarker,
     "&uid=",
     "\"",
     IdFilter::Any,
     "http://%s/msgview.adp?uid=%s",
     false,
     NameRule::PathAfterMarker,
     "/attachment/",
     nullptr,
     false,
     true,
     "http://%s%s",
     nullptr},
    {kProviderO2,
     "o2",
     {"o2.pl", nullptr},
     "http://%s",
     "http://%s%s",
     Paging::O2Path,
     "/?m=&pn=%d",
     IdRule::AfterMarker,
     "&n=",
     "&",
     IdFilter::Any,
     "http://%s/?m=&n=%s&pn=0&cmd=display",
     false,
     NameRule::QuotedLinkLastPart,
     "/zal/",
     nullptr,
     false,
     true,
     nullptr,
     nullptr},
    {kProviderLycos,
     "Lycos",
     {"lycos.", nullptr},
     "http://%s/lycos/mail/MailList.lycos?FOLDER=Inbox",
     "http://%s/lycos/mail/MailList.lycos?mpage=%d&FOLDER=Inbox&CMD=ALL&sort=MAILID&order=DESC",
     Paging::LycosNumber,
     "mpage=%d",
     IdRule::AfterMarker,
     "?MSGID=",
     "&",
     IdFilter::Any,
     "http://%s/lycos/mail/ViewMail.lycos?MSGID=%s&FOLDER=Inbox&CMD=ALL&sort=MAILID&order=DESC",
     false,
     NameRule::LycosLink,
     "downtype=PC",
     "realname=",
     false,
     false,
     nullptr,
     nullptr},
    {kProviderGawab,
     "Gawab",
     {"gawab.", nullptr},
     "%s?basepage=home&folder=INBOX&form=folder&folder=INBOX",
     nullptr,
     Paging::None,
     nullptr,
     IdRule::AfterMarker,
     "&pos=",
     "\"",
     IdFilter::Any,
     "%s?basepage=readmsg&folder=INBOX&form=fetch&pos=%s&mimeid=%s&download=1",
     true,
     NameRule::GawabDisposition,
     nullptr,
     nullptr,
     false,
     true,
     nullptr,
     nullptr},
};

}  // namespace

std::span<const ProviderInfo> Providers() { return kProviders; }

const ProviderInfo* FindProvider(int32_t id) {
  for (const ProviderInfo& p : kProviders)
    if (p.id == id) return &p;
  return nullptr;
}

int32_t RecognizeProvider(std::string_view pageUrl) {
  std::string lower(pageUrl);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  int32_t id = kProviderGmail;
  for (const ProviderInfo& p : kProviders)
    for (const char* fragment : p.fragments)
      if (fragment && lower.find(fragment) != std::string::npos) id = p.id;
  return id;
}

std::string PageBase(std::string_view pageUrl) {
  return std::string(pageUrl.substr(0, pageUrl.find('?')));
}

std::string FormatUrl(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string out;
  if (n > 0) {
    out.resize(static_cast<size_t>(n) + 1);
    std::vsnprintf(out.data(), out.size(), format, again);
    out.resize(static_cast<size_t>(n));
  }
  va_end(again);
  return out;
}

std::string RandomDigits(const std::function<uint32_t()>& random) {
  std::string digits(5, '0');
  for (char& d : digits) d = static_cast<char>('0' + random() % 9);
  return digits;
}

}  // namespace dtl
