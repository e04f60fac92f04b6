#include "browser/LoginPageRewriter.h"

namespace dtl {
namespace {

bool Contains(std::string_view text, std::string_view what) {
  return text.find(what) != std::string_view::npos;
}

void EraseAll(std::string& text, std::string_view what) {
  std::string out;
  out.reserve(text.size());
  size_t from = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, from)) {
    out.append(text, from, at - from);
    from = at + what.size();
  }
  if (from == 0) return;
  out.append(text, from, std::string::npos);
  text.swap(out);
}

// Longest first for each spelling, so `maxlength="16"` goes whole before the bare names.
constexpr std::string_view kAolMaxLengths[] = {
    "maxlength=\"16\"", "maxlength=", "maxLength=\"16\"", "maxLength=",
    "MaxLength=\"16\"", "MaxLength=", "Maxlength=\"16\"", "Maxlength=",
};

// The crawler's providers, by the fragments of their logged-in pages' domains.
constexpr std::string_view kAutoDownloadDomains[] = {
    site::kO2,       "lycos",           "netscape",         site::kGawab,
    site::kXasamail, site::kSpymacMail, site::kUnitedEmail, site::kOmnilect,
    "gmail",         site::kGmailWeb,   site::kYahooMail,   site::kWallaMail,
};

}  // namespace

bool RemoveFirstOnSubmit(std::string& html) {
  constexpr std::string_view kAttr = "onsubmit=\"";
  size_t start = html.find(kAttr);
  if (start == std::string::npos) return false;
  // The closing quote is looked for right after the opening one, so an empty attribute
  // (onsubmit="") ends there and does not swallow the next attribute.
  size_t end = html.find('"', start + kAttr.size());
  if (end == std::string::npos) return false;
  html.erase(start, end + 1 - start);
  return true;
}

std::optional<std::string> RewriteLoginPage(std::string_view pageUrl, std::string_view innerHtml) {
  const std::string url = LowerAscii(pageUrl);
  std::string html(innerHtml);
  bool changed = false;
  if (Contains(url, "." + std::string(site::kYahooDomain)) && Contains(url, "mail"))
    changed |= RemoveFirstOnSubmit(html);
  if (Contains(url, site::kAolScreenName)) {
    const size_t before = html.size();
    for (std::string_view attr : kAolMaxLengths) EraseAll(html, attr);
    changed |= html.size() != before;
    changed |= RemoveFirstOnSubmit(html);
  }
  if (!changed) return std::nullopt;
  return html;
}

WallaRelogin DecideWallaRelogin(const SavedWallaLogin& saved, const BrowserEndpoints& endpoints) {
  WallaRelogin r;
  if (saved.body.empty()) {
    r.message = PolicyMessage{
        "The session ended and Drovetail couldn't re-login.\nplease login again with the Encrypted "
        "Password.",
        MessageIcon::Information};
    return r;
  }
  r.clearInboxRedirectFlag = true;
  r.repost = BrowserNavigation{endpoints.wallaLogin + "/", saved.flags, "", saved.headers,
                               SecretString(saved.body)};
  return r;
}

bool KeepAliveShouldRefresh(std::string_view currentUrl) {
  return !Contains(LowerAscii(currentUrl), site::kGmailWeb);
}

bool AutoDownloadEnabled(std::string_view documentDomain, std::string_view documentUrl,
                         std::string_view cookie) {
  if (cookie.size() <= 5) return false;
  const std::string domain = LowerAscii(documentDomain);
  for (std::string_view fragment : kAutoDownloadDomains)
    if (Contains(domain, fragment)) return true;
  const std::string url = LowerAscii(documentUrl);
  return Contains(url, site::kHriders) && Contains(url, "uid=");
}

std::optional<std::string> XasamailAccountId(std::string_view innerHtml) {
  const std::string html = LowerAscii(innerHtml);
  size_t at = html.find("acc=");
  if (at == std::string::npos) return std::nullopt;
  at += 4;
  return html.substr(at, html.find('&', at) - at);
}

std::string QuickHelpHtml() {
  return "For your convenience, you can use the integrated browser to navigate to your email "
         "account. Using the inner browser you can access mail accounts protected by encrypted "
         "password and auto download the segments.";
}

}  // namespace dtl
