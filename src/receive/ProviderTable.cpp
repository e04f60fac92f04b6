#include "receive/ProviderTable.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <iterator>

#include "browser/BrowserSites.h"

namespace dtl {

namespace {

// Table order, not id order. No host lies under the domains of two providers, so the order
// never decides a recognition.
constexpr ProviderInfo kProviders[] = {
    {kProviderGmail,
     "Gmail",
     {"mail.google.com", "gmail.com"},
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
     {"mail.yahoo.com", nullptr},
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
     {"omnilect.com", nullptr},
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
     {"unitedemailsystems.com", nullptr},
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
     {"spymac.com", nullptr},
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
     {"xasamail.com", nullptr},
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
     {"hriders.com", nullptr},
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
     {"netscape.com", nullptr},
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
     {"lycos.com", nullptr},
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
     {"gawab.com", nullptr},
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

std::string UrlHost(std::string_view url) {
  std::string host;
  CURLU* u = curl_url();
  if (!u) return host;
  const std::string text(url);
  // The parser the requests themselves use, so the host recognised is the host connected to.
  if (curl_url_set(u, CURLUPART_URL, text.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK) {
    char* h = nullptr;
    if (curl_url_get(u, CURLUPART_HOST, &h, 0) == CURLUE_OK && h) host = h;
    curl_free(h);
  }
  curl_url_cleanup(u);
  std::transform(host.begin(), host.end(), host.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (!host.empty() && host.back() == '.') host.pop_back();
  // An IPv6 literal comes back in brackets; the cookie jar names the bare address.
  if (host.size() > 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  return host;
}

bool HostOfProvider(const ProviderInfo& p, std::string_view host) {
  for (const char* domain : p.domains)
    if (domain && site::HostIsUnder(host, domain)) return true;
  return false;
}

}  // namespace

std::span<const ProviderInfo> Providers() { return kProviders; }

const ProviderInfo* FindProvider(int32_t id) {
  for (const ProviderInfo& p : kProviders)
    if (p.id == id) return &p;
  return nullptr;
}

int32_t RecognizeProvider(std::string_view pageUrl) {
  const std::string host = UrlHost(pageUrl);
  if (host.empty()) return kProviderUnknown;
  for (const ProviderInfo& p : kProviders)
    if (HostOfProvider(p, host)) return p.id;
  return kProviderUnknown;
}

std::vector<std::string> SessionHosts(int32_t providerId, std::string_view pageUrl) {
  std::vector<std::string> hosts;
  const std::string page = UrlHost(pageUrl);
  if (page.empty()) return hosts;
  hosts.push_back(page);
  const ProviderInfo* p = FindProvider(providerId);
  // The provider's fixed hosts get a session only from a page of the provider itself.
  if (!p || !HostOfProvider(*p, page)) return hosts;
  std::vector<const char*> fixed;
  if (providerId == kProviderGmail) fixed = {kGmailMailHost};
  if (providerId == kProviderWalla) fixed = {kWallaMailHost, kWallaAttachHost};
  for (const char* url : fixed) {
    std::string host = UrlHost(url);
    if (!host.empty() && std::find(hosts.begin(), hosts.end(), host) == hosts.end())
      hosts.push_back(std::move(host));
  }
  return hosts;
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
