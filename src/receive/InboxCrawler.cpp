#include "receive/InboxCrawler.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <random>
#include <span>
#include <unordered_set>

#include "browser/CookieJar.h"
#include "browser/PageFetcher.h"
#include "receive/ProviderTable.h"

namespace dtl {

namespace {

constexpr size_t npos = std::string_view::npos;

// The text from `from` up to the first of `ends`; nullopt when none of them follows (a value
// without its end is not a value).
std::optional<std::string_view> UpTo(std::string_view text, size_t from, std::string_view ends) {
  if (from > text.size()) return std::nullopt;
  const size_t end = text.find_first_of(ends, from);
  if (end == npos) return std::nullopt;
  return text.substr(from, end - from);
}

// The text between the double quote before `at` and the double quote after it.
std::optional<std::string_view> QuotedAround(std::string_view text, size_t at) {
  const size_t open = text.rfind('"', at);
  if (open == npos) return std::nullopt;
  const size_t close = text.find('"', at);
  if (close == npos) return std::nullopt;
  return text.substr(open + 1, close - open - 1);
}

std::string ReplaceAll(std::string text, std::string_view from, std::string_view to) {
  for (size_t at = text.find(from); at != npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

std::string AfterLastSlash(std::string_view path) {
  const size_t slash = path.rfind('/');
  return std::string(slash == npos ? path : path.substr(slash + 1));
}

std::string Unescape(std::string_view s) {
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && hex(s[i + 1]) >= 0 && hex(s[i + 2]) >= 0) {
      out.push_back(static_cast<char>(hex(s[i + 1]) * 16 + hex(s[i + 2])));
      i += 2;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

// atoi's reading: the leading decimal number, 0 when there is none.
long long LeadingNumber(std::string_view s) {
  long long n = 0;
  size_t i = 0;
  const bool negative = !s.empty() && s[0] == '-';
  if (negative || (!s.empty() && s[0] == '+')) i = 1;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    if (n > 100000000000000000LL) break;  // far beyond any id; stop before overflowing
    n = n * 10 + (s[i] - '0');
  }
  return negative ? -n : n;
}

struct UrlParts {
  std::string scheme;
  std::string host;
  long port = 80;
};

UrlParts SplitUrl(const std::string& url) {
  UrlParts parts;
  CURLU* u = curl_url();
  if (!u) return parts;
  if (curl_url_set(u, CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK) {
    char* text = nullptr;
    if (curl_url_get(u, CURLUPART_HOST, &text, 0) == CURLUE_OK && text) parts.host = text;
    curl_free(text);
    text = nullptr;
    if (curl_url_get(u, CURLUPART_SCHEME, &text, 0) == CURLUE_OK && text) parts.scheme = text;
    curl_free(text);
    text = nullptr;
    if (curl_url_get(u, CURLUPART_PORT, &text, CURLU_DEFAULT_PORT) == CURLUE_OK && text)
      parts.port = std::strtol(text, nullptr, 10);
    curl_free(text);
  }
  curl_url_cleanup(u);
  return parts;
}

// `link` read against the page it was found on.
std::string ResolveUrl(const std::string& page, std::string_view link) {
  std::string out;
  CURLU* u = curl_url();
  if (!u) return out;
  const std::string rel(link);
  if (curl_url_set(u, CURLUPART_URL, page.c_str(), 0) == CURLUE_OK &&
      curl_url_set(u, CURLUPART_URL, rel.c_str(), 0) == CURLUE_OK) {
    char* text = nullptr;
    if (curl_url_get(u, CURLUPART_URL, &text, 0) == CURLUE_OK && text) out = text;
    curl_free(text);
  }
  curl_url_cleanup(u);
  return out;
}

// The identifiers of a run: no duplicates, in the order found; Gmail keeps each thread's page
// offset beside it.
struct IdList {
  std::vector<std::string> ids;
  std::vector<int> offsets;
  std::unordered_set<std::string> seen;
  bool Add(std::string_view id, int offset = 0) {
    if (!seen.emplace(id).second) return false;
    ids.emplace_back(id);
    offsets.push_back(offset);
    return true;
  }
};

class Crawl {
 public:
  Crawl(const InboxCrawler::Params& p, CrawlObserver& o, std::stop_token stop,
        std::stop_token close, InboxCrawler::Summary& r)
      : p_(p), obs_(o), close_(std::move(close)), stop_(std::move(stop)), r_(r) {}

  void Run();

 private:
  enum class Check { Go, Stop, Abort };
  // Read before every page and every message.
  Check Flags() {
    if (close_.stop_requested()) {
      Abort();
      return Check::Abort;
    }
    if (stop_.stop_requested()) {
      r_.stopped = true;
      return Check::Stop;
    }
    return Check::Go;
  }
  void Abort() {
    if (r_.aborted) return;
    r_.aborted = true;
    obs_.OnAborted();
  }

  std::string Page(const std::string& url) {
    auto body = p_.fetcher->Fetch(url);
    return body ? std::string(*body) : std::string();
  }
  std::string Headers(const std::string& url) {
    auto block = p_.fetcher->FetchHeaders(url);
    return block ? std::string(*block) : std::string();
  }
  std::string ListingPage(const std::string& url) {
    ++r_.listingPages;
    return Page(url);
  }
  // Walla's login page in place of a listing or message page: the session is gone.
  bool SessionEnded(std::string_view page) {
    if (info_->id != kProviderWalla || page.find(kWallaLoginMarker) == npos) return false;
    r_.sessionEnded = true;
    obs_.OnSessionEnded();
    Abort();
    return true;
  }
  std::string Digits() { return RandomDigits(random_); }

  // Listing: each returns false when the run must end (abort).
  bool ListGmail();
  bool ListNumbered();
  bool ListOthers();
  void CollectIds(std::string_view page);
  bool KeepId(std::string_view id) const;

  void Messages();
  void Message(size_t index);
  void GmailThread(const std::string& id, int offset);
  void Post(std::string name, std::string key);

  const InboxCrawler::Params& p_;
  CrawlObserver& obs_;
  std::stop_token close_;
  std::stop_token stop_;
  InboxCrawler::Summary& r_;
  const ProviderInfo* info_ = nullptr;
  std::function<uint32_t()> random_;
  UrlParts url_;
  IdList ids_;
  std::string yy_;         // Yahoo: the YY value of the last listing page
  std::string gmailBase_;  // Gmail: the listing base
};

bool Crawl::KeepId(std::string_view id) const {
  switch (info_->idFilter) {
    case IdFilter::Any: return !id.empty();
    case IdFilter::LongerThan5: return id.size() > 5;
    case IdFilter::PositiveNumber: return LeadingNumber(id) > 0;
  }
  return false;
}

void Crawl::CollectIds(std::string_view page) {
  const std::string_view marker = info_->idMarker;
  for (size_t at = page.find(marker); at != npos; at = page.find(marker, at + 1)) {
    std::optional<std::string_view> id;
    if (info_->idRule == IdRule::LinkHolding) {
      id = QuotedAround(page, at);
    } else {
      id = UpTo(page, at + marker.size(), info_->idEnd);
    }
    if (id && KeepId(*id)) ids_.Add(*id);
  }
}

bool Crawl::ListGmail() {
  // The first page only tells where the listing lives (its base href).
  switch (Flags()) {
    case Check::Abort: return false;
    case Check::Stop: return true;
    case Check::Go: break;
  }
  std::string page = ListingPage(std::string(kGmailMailHost) + info_->listing);
  int largest = 0;
  std::string next;
  for (size_t pass = 0; r_.listingPages < p_.maxListingPages; ++pass) {
    if (pass > 0) {
      switch (Flags()) {
        case Check::Abort: return false;
        case Check::Stop: return true;
        case Check::Go: break;
      }
      page = ListingPage(next);
    }
    gmailBase_ = BaseHref(page);
    if (pass == 0) {
      switch (Flags()) {
        case Check::Abort: return false;
        case Check::Stop: return true;
        case Check::Go: break;
      }
      page = ListingPage(gmailBase_ + "?s=a");
      gmailBase_ = BaseHref(page);
    }
    const int pageOffset = largest;
    bool newOffset = false;
    const std::string_view marker = page.find("?st=") != npos ? "?st=" : "&st=";
    for (size_t at = page.find(marker); at != npos; at = page.find(marker, at + 1)) {
      auto number = UpTo(page, at + marker.size(), "&\"");
      if (!number) continue;
      const long long n = LeadingNumber(*number);
      if (n > largest && n <= 0x7fffffff) {
        largest = static_cast<int>(n);
        next = FormatUrl(info_->listingNext, gmailBase_.c_str(), largest);
        newOffset = true;
        break;
      }
    }
    for (size_t at = page.find("&th="); at != npos; at = page.find("&th=", at + 1)) {
      auto id = UpTo(page, at + 4, "\"&");
      if (id && !id->empty()) ids_.Add(*id, pageOffset);
    }
    if (!newOffset) break;
  }
  return true;
}

// Yahoo and Walla: page n = 0, 1, ... while the page links the next number.
bool Crawl::ListNumbered() {
  for (int n = 0; r_.listingPages < p_.maxListingPages; ++n) {
    switch (Flags()) {
      case Check::Abort: return false;
      case Check::Stop: return true;
      case Check::Go: break;
    }
    std::string url;
    if (info_->id == kProviderYahoo) {
      yy_ = Digits();
      url = FormatUrl(info_->listing, url_.host.c_str(), yy_.c_str(), n);
    } else {
      url = std::string(kWallaMailHost) + FormatUrl(info_->listing, n);
    }
    const std::string page = ListingPage(url);
    if (SessionEnded(page)) return false;
    CollectIds(page);
    if (page.find(FormatUrl(info_->pagingMarker, n + 1)) == npos) break;
  }
  return true;
}

// The providers whose pages are reached from the first listing page by their own links.
bool Crawl::ListOthers() {
  const char* host = url_.host.c_str();
  std::string url;
  switch (info_->id) {
    case kProviderGawab: url = FormatUrl(info_->listing, PageBase(p_.pageUrl).c_str()); break;
    case kProviderXasamail: url = FormatUrl(info_->listing, host, p_.accountId.c_str()); break;
    case kProviderHriders: {
      const size_t uid = p_.pageUrl.find("uid=");
      if (uid == npos) return true;  // no account to list
      const size_t end = p_.pageUrl.find('&', uid + 4);
      const std::string value = p_.pageUrl.substr(uid + 4, end == npos ? npos : end - uid - 4);
      url = FormatUrl(info_->listing, host, static_cast<int>(url_.port), Digits().c_str(),
                      value.c_str());
      break;
    }
    default: url = FormatUrl(info_->listing, host); break;
  }
  int number = info_->paging == Paging::LycosNumber ? 2 : 1;  // the next page's number
  int xasamailStart = 0;
  std::unordered_set<std::string> fetched;
  while (r_.listingPages < p_.maxListingPages) {
    switch (Flags()) {
      case Check::Abort: return false;
      case Check::Stop: return true;
      case Check::Go: break;
    }
    fetched.insert(url);
    const std::string page = ListingPage(url);
    const size_t before = ids_.ids.size();
    CollectIds(page);
    // A page that adds nothing ends the listing: without paging that is the rule, and with
    // paging a page of known ids must not lead round a loop of links.
    if (ids_.ids.size() == before) break;
    url.clear();
    switch (info_->paging) {
      case Paging::LycosNumber:
        if (page.find(FormatUrl(info_->pagingMarker, number)) != npos)
          url = FormatUrl(info_->listingNext, host, number++);
        break;
      case Paging::NetscapeStart: {
        const std::string start =
            FormatUrl(info_->pagingMarker, static_cast<int>(ids_.ids.size() + 1));
        if (page.find(start) != npos) url = FormatUrl(info_->listingNext, host, start.c_str());
        break;
      }
      case Paging::O2Path: {
        const std::string path = FormatUrl(info_->pagingMarker, number);
        if (page.find(path) != npos) {
          url = FormatUrl(info_->listingNext, host, path.c_str());
          ++number;
        }
        break;
      }
      case Paging::StartLinks: {
        // The first link to a later start than the page at hand.
        const std::string_view marker = info_->pagingMarker;
        for (size_t at = page.find(marker); at != npos; at = page.find(marker, at + 1)) {
          const long long start = LeadingNumber(std::string_view(page).substr(at + marker.size()));
          auto link = QuotedAround(page, at);
          if (link && start > xasamailStart && start <= 0x7fffffff) {
            url = ResolveUrl(FormatUrl("http://%s/cgi-bin/read.cgi/english", host), *link);
            xasamailStart = static_cast<int>(start);
            break;
          }
        }
        break;
      }
      case Paging::NextPageLink: {
        const size_t at = page.find(info_->pagingMarker);
        auto link = at == npos ? std::nullopt : QuotedAround(page, at);
        if (link) {
          std::string_view path = *link;
          while (!path.empty() && path.front() == '/') path.remove_prefix(1);
          const std::string path_s(path);
          url = FormatUrl(info_->listingNext, host, static_cast<int>(url_.port), path_s.c_str());
        }
        break;
      }
      default: break;
    }
    if (url.empty() || fetched.count(url)) break;
  }
  return true;
}

void Crawl::Post(std::string name, std::string key) {
  name = WithoutDocEnding(std::move(name));
  if (name.empty() || key.empty()) return;
  FoundAttachment record{std::move(name), std::move(key)};
  r_.records.push_back(record);
  obs_.OnAttachment(record);
}

void Crawl::GmailThread(const std::string& id, int offset) {
  const std::string url =
      offset == 0 ? FormatUrl(info_->message, gmailBase_.c_str(), id.c_str())
                  : FormatUrl("%s?th=%s&v=c&st=%d", gmailBase_.c_str(), id.c_str(), offset);
  const std::string page = ReplaceAll(Page(url), "&amp;", "&");
  const std::string_view text = page;
  const std::string_view marker = info_->nameMarker;  // "&disp=attd"
  if (text.find(marker) == npos) {
    // No attachment list on the page: the thread's first attachment is asked for directly.
    const std::string att =
        std::string(kGmailMailHost) + FormatUrl("?view=att&disp=attd&attid=0.1&th=%s", id.c_str());
    Post(DispositionFileName(Headers(att)), att);
    return;
  }
  // Scheme and host of the base: cut before the first '/' from the ninth character on.
  const size_t cut = gmailBase_.find('/', 8);
  const std::string origin = gmailBase_.substr(0, cut);
  for (size_t at = text.find(marker); at != npos;) {
    const size_t open = text.rfind('"', at);
    const size_t close = text.find('"', at);
    if (open == npos || close == npos) break;
    const std::string_view link = text.substr(open + 1, close - open - 1);
    std::string name;
    const size_t b = text.rfind("<b>", open);
    if (b != npos) {
      const size_t endB = text.find("</b>", b + 3);
      if (endB != npos) name = std::string(text.substr(b + 3, endB - b - 3));
    }
    for (std::string_view drop : {"<wbr>", "</wbr>", "<wbr />", "/", "<", ">"})
      name = ReplaceAll(std::move(name), drop, "");
    const size_t first = name.find_first_not_of(' ');
    name =
        first == npos ? std::string() : name.substr(first, name.find_last_not_of(' ') - first + 1);
    Post(std::move(name), origin + ReplaceAll(std::string(link), "view=wtatt", "view=att"));
    at = text.find(marker, close);  // one record per link, however often it names the marker
  }
}

void Crawl::Message(size_t index) {
  const std::string& id = ids_.ids[index];
  const char* host = url_.host.c_str();
  const int port = static_cast<int>(url_.port);
  ++r_.messagesOpened;
  switch (info_->nameRule) {
    case NameRule::GmailThread: GmailThread(id, ids_.offsets[index]); return;
    case NameRule::Disposition: {
      const std::string url = info_->id == kProviderYahoo
                                  ? FormatUrl(info_->message, host, id.c_str(), yy_.c_str())
                                  : FormatUrl(info_->message, host, id.c_str());
      Post(DispositionFileName(Headers(url)), id);
      return;
    }
    case NameRule::GawabDisposition: {
      const std::string base = PageBase(p_.pageUrl);
      std::string url = FormatUrl(info_->message, base.c_str(), id.c_str(), "1.2");
      std::string name = DispositionFileName(Headers(url));
      if (name == "message.dat") {
        // A forwarded mail: the attachment sits one level deeper.
        url = FormatUrl(info_->message, base.c_str(), id.c_str(), "1.2.1.2");
        name = DispositionFileName(Headers(url));
      }
      Post(std::move(name), url);
      return;
    }
    default: break;
  }

  std::string url;
  switch (info_->id) {
    case kProviderWalla:
      url = std::string(kWallaMailHost) + FormatUrl(info_->message, id.c_str());
      break;
    case kProviderXasamail:
      url = FormatUrl(info_->message, host, p_.accountId.c_str(), id.c_str());
      break;
    case kProviderHriders: {
      std::string_view path = id;
      while (!path.empty() && path.front() == '/') path.remove_prefix(1);
      url = FormatUrl(info_->message, host, port, std::string(path).c_str());
      break;
    }
    default: url = FormatUrl(info_->message, host, id.c_str()); break;
  }
  const std::string page = Page(url);
  if (SessionEnded(page)) return;
  const std::string_view text = page;
  const std::string_view nameMarker = info_->nameMarker ? info_->nameMarker : "";
  const size_t at = text.find(nameMarker);
  if (nameMarker.empty() || at == npos) return;

  switch (info_->nameRule) {
    case NameRule::WallaLink: {
      auto link = UpTo(text, at, "\"");
      if (!link) return;
      const std::string unescaped = Unescape(*link);
      const size_t name = unescaped.find(info_->keyMarker);
      if (name == npos) return;
      Post(unescaped.substr(name + std::string_view(info_->keyMarker).size()), unescaped);
      return;
    }
    case NameRule::NameAndMime: {
      auto name = UpTo(text, at + nameMarker.size(), "\"");
      const size_t mime = text.find(info_->keyMarker);
      auto key = mime == npos ? std::nullopt : UpTo(text, mime, "\"");
      if (name && key) Post(std::string(*name), std::string(*key));
      return;
    }
    case NameRule::QuotedLinkFileName: {
      auto link = QuotedAround(text, at);
      if (!link) return;
      const size_t inLink = link->find(nameMarker);
      if (inLink == npos) return;  // the marker sat outside any quoted link
      const size_t slash = link->find('/', inLink + nameMarker.size());
      if (slash == npos) return;
      const size_t query = link->find('?', slash + 1);
      Post(std::string(link->substr(slash + 1, query == npos ? npos : query - slash - 1)),
           std::string(*link));
      return;
    }
    case NameRule::PathAfterMarker: {
      auto path = UpTo(text, at, "\"");
      if (!path) return;
      const std::string key =
          info_->keyMarker ? FormatUrl(info_->keyMarker, host, port, std::string(*path).c_str())
                           : std::string(*path);
      Post(AfterLastSlash(*path), key);
      return;
    }
    case NameRule::QuotedLinkLastPart: {
      auto link = QuotedAround(text, at);
      if (link) Post(AfterLastSlash(*link), std::string(*link));
      return;
    }
    case NameRule::LycosLink: {
      auto link = QuotedAround(text, at);
      if (!link) return;
      const std::string_view real = info_->keyMarker;
      const size_t r = link->find(real);
      if (r == npos) return;
      const size_t amp = link->find('&', r + real.size());
      std::string name(link->substr(r + real.size(), amp == npos ? npos : amp - r - real.size()));
      // The name is form-encoded: "+" stands for a blank and "%2B" for a plus, which every
      // recovery volume's name holds ("movie.avi.vol00+01.par2").
      std::replace(name.begin(), name.end(), '+', ' ');
      Post(Unescape(name), std::string(*link));
      return;
    }
    default: return;
  }
}

void Crawl::Messages() {
  const size_t n = ids_.ids.size();
  if (n == 0) {
    obs_.OnProgressRange(1, 1);
  } else {
    obs_.OnProgressRange(static_cast<uint16_t>(std::min<size_t>(n, 0xffff)), 0);
  }
  for (size_t i = 0; i < n; ++i) {
    if (Flags() != Check::Go) return;
    obs_.OnProgressStep();
    if (info_->skipKnownKeys && p_.isKnownKey && p_.isKnownKey(ids_.ids[i])) {
      ++r_.messagesSkipped;
      continue;
    }
    Message(i);
    if (r_.aborted) return;
  }
}

void Crawl::Run() {
  r_.providerId = p_.providerId >= 0 ? p_.providerId : RecognizeProvider(p_.pageUrl);
  info_ = FindProvider(r_.providerId);
  if (!info_ || !p_.fetcher) return;
  random_ = p_.random;
  if (!random_) {
    auto device = std::make_shared<std::random_device>();
    random_ = [device] { return static_cast<uint32_t>((*device)()); };
  }
  url_ = SplitUrl(p_.pageUrl);
  // The session is stored once, for the page's host and the provider's own fixed hosts, before
  // the first request. Every later URL, from a template or from a page, carries it only when
  // its host is one of these; and a page read over TLS lends it to TLS requests only.
  const bool secure = url_.scheme == "https";
  for (const std::string& host : SessionHosts(r_.providerId, p_.pageUrl))
    (void)p_.fetcher->Jar().StoreForHost(host, p_.cookie, secure);

  bool go = true;
  if (info_->paging == Paging::Gmail) {
    go = ListGmail();
  } else if (info_->paging == Paging::NextNumber) {
    go = ListNumbered();
  } else {
    go = ListOthers();
  }
  r_.identifiers = ids_.ids.size();
  if (go) Messages();
}

std::string_view After(std::string_view text, std::string_view pattern, char end, bool* chosen) {
  const size_t at = text.find(pattern);
  if (at == npos) return {};
  *chosen = true;
  const size_t from = at + pattern.size();
  const size_t stop = text.find(end, from);
  if (stop == npos) return {};
  return text.substr(from, stop - from);
}

}  // namespace

InboxCrawler::Summary InboxCrawler::Run(const Params& params, CrawlObserver& observer,
                                        std::stop_token stop, std::stop_token close) {
  Summary result;
  observer.OnStarted();
  Crawl(params, observer, std::move(stop), std::move(close), result).Run();
  observer.OnFinished();
  return result;
}

std::string DispositionFileName(std::string_view text) {
  struct Pattern {
    std::string_view text;
    char end;
  };
  static constexpr Pattern kWithAttachment[] = {{"attachment; filename=\"", '"'},
                                                {"attachment; filename=", '\r'},
                                                {"filename=\"", '"'},
                                                {"filename=", '\r'}};
  static constexpr Pattern kWithout[] = {
      {"filename=\"", '"'}, {"filename=", '\r'}, {"name=\"", '"'}};
  const bool attachment = text.find("attachment") != npos;
  for (const Pattern& p : attachment ? std::span<const Pattern>(kWithAttachment)
                                     : std::span<const Pattern>(kWithout)) {
    bool chosen = false;
    const std::string_view value = After(text, p.text, p.end, &chosen);
    if (chosen) return std::string(value);
  }
  return {};
}

std::string BaseHref(std::string_view page) {
  const std::string_view marker = "<base href=\"";
  const size_t at = page.find(marker);
  if (at == npos) return {};
  const size_t end = page.find('"', at + marker.size());
  if (end == npos) return {};
  return std::string(page.substr(at + marker.size(), end - at - marker.size()));
}

std::string WithoutDocEnding(std::string name) {
  while (name.size() >= 4 && name.compare(name.size() - 4, 4, ".doc") == 0)
    name.resize(name.size() - 4);
  return name;
}

}  // namespace dtl
