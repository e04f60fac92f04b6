#include "browser/CookieJar.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <iterator>
#include <mutex>

namespace dtl {

namespace {

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// A cookie-file line is tab-separated and ends at a line break; a value carrying either
// would forge fields or further cookies.
std::string Clean(std::string_view s) {
  std::string out;
  for (char c : s)
    if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f) out.push_back(c);
  return out;
}

std::string HostOf(std::string_view url) {
  std::string host;
  CURLU* u = curl_url();
  if (!u) return host;
  std::string text(url);
  if (curl_url_set(u, CURLUPART_URL, text.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK) {
    char* h = nullptr;
    if (curl_url_get(u, CURLUPART_HOST, &h, 0) == CURLUE_OK && h) host = h;
    curl_free(h);
  }
  curl_url_cleanup(u);
  // An IPv6 literal comes back in brackets; cookie domains hold the bare address.
  if (host.size() > 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  // Host names compare without case; the store keeps one spelling.
  for (char& c : host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return host;
}

bool IsHttps(std::string_view url) {
  size_t i = 0;
  while (i < url.size() && static_cast<unsigned char>(url[i]) <= ' ') ++i;
  url.remove_prefix(i);
  if (url.size() < 6) return false;
  for (size_t k = 0; k < 6; ++k)
    if (std::tolower(static_cast<unsigned char>(url[k])) != "https:"[k]) return false;
  return true;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// The registrable part of a host name. There is no public-suffix list here: the short
// second-level labels cover the country domains the supported providers live under, and a
// wrong guess only hands fewer cookies (never another site's) as long as it errs long.
std::string SiteOf(const std::string& host) {
  // An address (IPv4 dotted or IPv6) is a site of its own.
  if (host.find(':') != std::string::npos ||
      host.find_first_not_of("0123456789.") == std::string::npos)
    return host;
  std::vector<size_t> dots;
  for (size_t i = 0; i < host.size(); ++i)
    if (host[i] == '.') dots.push_back(i);
  if (dots.size() < 2) return host;
  const std::string second =
      host.substr(dots[dots.size() - 2] + 1, dots.back() - dots[dots.size() - 2] - 1);
  const std::string top = host.substr(dots.back() + 1);
  static constexpr std::string_view kSecondLevel[] = {"co", "com", "net", "org", "gov",
                                                      "ac", "edu", "ne",  "or"};
  const bool shortSecond =
      top.size() == 2 &&
      std::find(std::begin(kSecondLevel), std::end(kSecondLevel), second) != std::end(kSecondLevel);
  if (shortSecond) {
    if (dots.size() < 3) return host;
    return host.substr(dots[dots.size() - 3] + 1);
  }
  return host.substr(dots[dots.size() - 2] + 1);
}

}  // namespace

struct CookieJar::Impl {
  CURLSH* share = nullptr;
  // libcurl asks for a lock per kind of shared data; only cookies are shared here, but the
  // share also takes the locks for its own bookkeeping (CURL_LOCK_DATA_SHARE).
  std::mutex locks[CURL_LOCK_DATA_LAST];

  static void Lock(CURL*, curl_lock_data data, curl_lock_access, void* user) {
    static_cast<Impl*>(user)->locks[data].lock();
  }
  static void Unlock(CURL*, curl_lock_data data, void* user) {
    static_cast<Impl*>(user)->locks[data].unlock();
  }
};

CookieJar::CookieJar() : impl_(std::make_unique<Impl>()) {
  GlobalInit();
  impl_->share = curl_share_init();
  if (!impl_->share) return;
  curl_share_setopt(impl_->share, CURLSHOPT_LOCKFUNC, &Impl::Lock);
  curl_share_setopt(impl_->share, CURLSHOPT_UNLOCKFUNC, &Impl::Unlock);
  curl_share_setopt(impl_->share, CURLSHOPT_USERDATA, impl_.get());
  curl_share_setopt(impl_->share, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
}

CookieJar::~CookieJar() {
  if (impl_->share) curl_share_cleanup(impl_->share);
}

bool CookieJar::Valid() const { return impl_->share != nullptr; }

void CookieJar::Attach(CURL* easy) const {
  if (!easy || !impl_->share) return;
  curl_easy_setopt(easy, CURLOPT_SHARE, impl_->share);
  // An empty file name switches the cookie engine on without reading any file.
  curl_easy_setopt(easy, CURLOPT_COOKIEFILE, "");
}

Status CookieJar::Store(std::string_view url, std::string_view cookieString) {
  const std::string host = Clean(HostOf(url));
  if (host.empty())
    return Error(ErrorCode::InvalidArgument, "no host in the address " + std::string(url));
  return StoreForHost(host, cookieString, IsHttps(url));
}

Status CookieJar::StoreForHost(std::string_view hostName, std::string_view cookieString,
                               bool secureOnly) {
  std::string host = Clean(Trim(hostName));
  for (char& c : host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  // A cookie-file domain with a leading dot would widen the cookie to every subdomain.
  while (!host.empty() && host.front() == '.') host.erase(0, 1);
  if (host.empty()) return Error(ErrorCode::InvalidArgument, "no host to store the cookies for");
  // A jar without a store stores nothing, as its contract says; that is not the caller's fault.
  if (!impl_->share) return {};
  // Cookies the browser handed over with their own flags (HttpOnly, Secure, expiry) that already
  // carry the same session to this host are kept, not downgraded to bare host-only copies.
  const std::vector<std::string> held = List();
  auto alreadyHeld = [&](const std::string& name, const std::string& value) {
    for (const std::string& line : held) {
      std::vector<std::string_view> f;
      std::string_view rest = line;
      while (f.size() < 6) {
        const size_t tab = rest.find('\t');
        if (tab == std::string_view::npos) break;
        f.push_back(rest.substr(0, tab));
        rest.remove_prefix(tab + 1);
      }
      if (f.size() != 6 || f[5] != name || rest != value) continue;
      if (f[2] != "/" || (secureOnly && f[3] != "TRUE")) continue;
      std::string domain(f[0]);
      if (domain.rfind("#HttpOnly_", 0) == 0) domain.erase(0, 10);
      while (!domain.empty() && domain.front() == '.') domain.erase(0, 1);
      domain = Lower(domain);
      if (domain == host) return true;
      if (f[1] == "TRUE" && host.size() > domain.size() &&
          host.compare(host.size() - domain.size(), domain.size(), domain) == 0 &&
          host[host.size() - domain.size() - 1] == '.')
        return true;
    }
    return false;
  };
  CURL* easy = nullptr;
  while (!cookieString.empty()) {
    const size_t semi = cookieString.find(';');
    const std::string_view pair = cookieString.substr(0, semi);
    cookieString =
        semi == std::string_view::npos ? std::string_view{} : cookieString.substr(semi + 1);
    const size_t eq = pair.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string name = Clean(Trim(pair.substr(0, eq)));
    const std::string value = Clean(Trim(pair.substr(eq + 1)));
    if (name.empty() || alreadyHeld(name, value)) continue;
    if (!easy) {
      easy = curl_easy_init();
      if (!easy) return {};
      // The share alone gives the handle the store; the cookie-file switch of Attach() is
      // only read (and freed) by a transfer, which this handle never makes.
      curl_easy_setopt(easy, CURLOPT_SHARE, impl_->share);
    }
    // Netscape form: host-only (no leading dot, subdomains FALSE), path "/", secure-only as
    // asked, expiry 0 = a session cookie, as a document cookie handed over from the browser is.
    const std::string line =
        host + "\tFALSE\t/\t" + (secureOnly ? "TRUE" : "FALSE") + "\t0\t" + name + "\t" + value;
    curl_easy_setopt(easy, CURLOPT_COOKIELIST, line.c_str());
  }
  if (easy) curl_easy_cleanup(easy);
  return {};
}

void CookieJar::Store(const std::vector<Cookie>& cookies) {
  if (!impl_->share) return;
  CURL* easy = nullptr;
  for (const Cookie& c : cookies) {
    std::string domain = Lower(Clean(c.domain));
    while (!domain.empty() && domain.front() == '.') domain.erase(0, 1);
    const std::string name = Clean(c.name);
    if (domain.empty() || name.empty()) continue;
    std::string path = Clean(c.path);
    if (path.empty()) path = "/";
    if (!easy) {
      easy = curl_easy_init();
      if (!easy) return;
      curl_easy_setopt(easy, CURLOPT_SHARE, impl_->share);
    }
    // libcurl reads the HttpOnly flag only from the "#HttpOnly_" prefix of a cookie-file line;
    // without it the line would be a comment to a reader that does not know the prefix.
    const std::string line =
        (c.httpOnly ? "#HttpOnly_" : "") + domain + "\t" + (c.hostOnly ? "FALSE" : "TRUE") + "\t" +
        path + "\t" + (c.secure ? "TRUE" : "FALSE") + "\t" +
        std::to_string(c.expires > 0 ? c.expires : 0) + "\t" + name + "\t" + Clean(c.value);
    curl_easy_setopt(easy, CURLOPT_COOKIELIST, line.c_str());
  }
  if (easy) curl_easy_cleanup(easy);
}

bool CookieJar::SameSite(std::string_view host, std::string_view cookieDomain) {
  std::string a = Lower(std::string(host)), b = Lower(std::string(cookieDomain));
  while (!b.empty() && b.front() == '.') b.erase(0, 1);
  if (a.empty() || b.empty()) return false;
  return SiteOf(a) == SiteOf(b);
}

std::vector<std::string> CookieJar::List() const {
  std::vector<std::string> out;
  if (!impl_->share) return out;
  CURL* easy = curl_easy_init();
  if (!easy) return out;
  curl_easy_setopt(easy, CURLOPT_SHARE, impl_->share);
  curl_slist* list = nullptr;
  if (curl_easy_getinfo(easy, CURLINFO_COOKIELIST, &list) == CURLE_OK) {
    for (curl_slist* l = list; l; l = l->next) out.emplace_back(l->data);
    curl_slist_free_all(list);
  }
  curl_easy_cleanup(easy);
  return out;
}

}  // namespace dtl
