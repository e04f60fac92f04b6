#include "browser/NavigationPolicy.h"

#include <algorithm>

namespace dtl {
namespace {

constexpr const char* kS1 =
    "For security reasons you are not allowed to view the settings of the account.";
constexpr const char* kS2 =
    "For security reasons you are not allowed to view the messages.\n"
    "To download the segments click on the Auto Download button.";
constexpr const char* kS3 = "For security reasons you are not allowed to send invites.";
constexpr const char* kS4 = "For security reasons you are not allowed to compose a new message.";
constexpr const char* kS5 =
    "You are not allowed to delete Gmail messages from the Drovetail inner browser.";
constexpr const char* kS6 = "You are not allowed to report spam from the Drovetail inner browser.";
constexpr const char* kS7 =
    "For security reasons DTL prevents the \"Remember me\" option, please uncheck this button and "
    "try again.";
constexpr const char* kS8 =
    "You are not allowed to delete messages from the Drovetail inner browser.";
constexpr const char* kS9 =
    "For security reasons you are not allowed to view the options of the account.";
constexpr const char* kS10 = "For security reasons you are not allowed to manage the account.";
constexpr const char* kS11 =
    "For security reasons you are not allowed to change the settings of the account.";
constexpr const char* kS12 = "Please login with Simple Interface mode.";
constexpr const char* kSilent = nullptr;

constexpr const char* kUseCookies =
    "Please check the 'Use Cookies' Checkbox (Second checkbox on the bottom).";

constexpr RuleTarget kUrl = RuleTarget::Url;
constexpr RuleTarget kBody = RuleTarget::Body;

constexpr std::string_view kWallaInboxPath =
    "/?w=/@msg&fid=-1000&f=0&o=6&p=0&q=&id=-1&prev=-1&next=-1";

// A field whose name ends in "email", "login" or "name" and whose value starts with an encoded
// bracket or bar: the user typed a marker into the user-name field, so nothing is decoded.
const std::vector<std::vector<std::string_view>> kUserNameGuardGroups = {
    {"email=%7c%", "login=%7c%", "name=%7c%"},
    {"email=%3c%", "login=%3c%", "name=%3c%", "email=%28%", "login=%28%", "name=%28%"},
    {"email=%5b%", "login=%5b%", "name=%5b%", "email=%7b%", "login=%7b%", "name=%7b%"},
    {"email=%26%", "login=%26%", "name=%26%", "email=%7c%", "login=%7c%", "name=%7c%"},
};

// The marker forms as they arrive urlencoded, in the order they are tried. The SSL variant of a
// form is tried only for HTTPS targets.
struct MarkerForm {
  std::string_view open, close, sslOpen, sslClose;
  int scheme;
};
constexpr MarkerForm kMarkerForms[] = {
    {"=%28%23", "%23%29", "=%28%24", "%24%29", 160},
    {"=%28%7C", "%7C%29", "=%7C%28", "%29%7C", 150},
    {"=%28%7B", "%7D%29", "=%7B%28", "%29%7D", 148},
    {"=%28%28", "%29%29", "=%3C%3C", "%3E%3E", 143},
    {"=%26%7C", "%7C%26", "=%7C%26", "%26%7C", 143},
    {"=%5B%7B", "%7D%5D", "=%7B%5B", "%5D%7D", 141},
    {"=%3C%28", "%29%3E", "=%28%3C", "%3E%29", 14},
    {"=%7C%5C", "%7C%2F", "=%7C%2F", "%7C%5C", 13},
};
constexpr size_t kOpenLength = 7;
constexpr size_t kCloseLength = 6;

bool Contains(std::string_view text, std::string_view what) {
  return text.find(what) != std::string_view::npos;
}

bool ContainsAny(std::string_view text, const std::vector<std::string_view>& any) {
  return std::any_of(any.begin(), any.end(), [&](std::string_view w) { return Contains(text, w); });
}

// The scheme as a URL parser reads it: after leading blanks and control characters, up to ":".
bool IsHttpsUrl(std::string_view url) {
  size_t i = 0;
  while (i < url.size() && static_cast<unsigned char>(url[i]) <= ' ') ++i;
  url.remove_prefix(i);
  return url.size() > 6 && LowerAscii(url.substr(0, 6)) == "https:";
}

// The host of an http or https URL as the browser will connect to it, lower-case, without port
// or trailing dot; nullopt for anything it cannot be sure of (other schemes, user names in the
// address, bracketed or percent-encoded hosts, characters outside a DNS name). An unsure answer
// only ever keeps a marker encoded, so the parse may refuse what a browser would accept.
std::optional<std::string> HttpHost(std::string_view url) {
  size_t i = 0;
  while (i < url.size() && static_cast<unsigned char>(url[i]) <= ' ') ++i;
  url.remove_prefix(i);
  const std::string head = LowerAscii(url.substr(0, 8));
  if (head.starts_with("https://")) {
    url.remove_prefix(8);
  } else if (head.starts_with("http://")) {
    url.remove_prefix(7);
  } else {
    return std::nullopt;
  }
  std::string_view authority = url.substr(0, url.find_first_of("/?#\\"));
  if (authority.find('@') != std::string_view::npos) return std::nullopt;
  if (const size_t colon = authority.rfind(':'); colon != std::string_view::npos) {
    const std::string_view port = authority.substr(colon + 1);
    if (!std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }))
      return std::nullopt;
    authority = authority.substr(0, colon);
  }
  std::string host = LowerAscii(authority);
  if (!host.empty() && host.back() == '.') host.pop_back();
  if (host.empty() || host.front() == '.') return std::nullopt;
  for (char c : host)
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-'))
      return std::nullopt;
  return host;
}

struct MarkerMatch {
  size_t open;   // position of the opening text (its "=")
  size_t close;  // position of the closing text
  int scheme;
  bool ssl;
};

// The closing text is looked for only after the whole opening text: a closing text in front of
// the opening, or overlapping it, would give a negative length.
std::optional<MarkerMatch> FindMarker(std::string_view b, bool https) {
  auto find = [&](std::string_view open,
                  std::string_view close) -> std::optional<std::pair<size_t, size_t>> {
    size_t s = b.find(open);
    if (s == std::string_view::npos) return std::nullopt;
    size_t e = b.find(close, s + kOpenLength);
    if (e == std::string_view::npos) return std::nullopt;
    return std::make_pair(s, e);
  };
  for (const MarkerForm& f : kMarkerForms) {
    if (auto m = find(f.open, f.close)) return MarkerMatch{m->first, m->second, f.scheme, false};
    if (!https) continue;
    if (auto m = find(f.sslOpen, f.sslClose))
      return MarkerMatch{m->first, m->second, f.scheme, true};
  }
  return std::nullopt;
}

// The decoded password as a form value: the characters that would change the meaning of an
// urlencoded body ("&", "=", "+", "%", blanks and controls) and non-ASCII bytes are escaped;
// everything else stays as typed. "=" never appears unescaped, so the result can never be
// taken for a marker when the re-post passes through the policy again.
void AppendFormValue(SecretString& out, std::string_view value) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  char esc[3] = {'%', 0, 0};
  for (char ch : value) {
    auto c = static_cast<unsigned char>(ch);
    if (c <= ' ' || c >= 0x7F || c == '%' || c == '&' || c == '+' || c == '=') {
      esc[1] = kHex[c >> 4];
      esc[2] = kHex[c & 15];
      out.Append({esc, 3});
    } else {
      out.Append({&ch, 1});
    }
  }
  esc[1] = esc[2] = 0;
}

// Replaces every occurrence of `token` in the "+"-less copy `b` by `value`, in the body as it was
// posted: the "+" signs (encoded blanks) of the other fields stay where they were.
SecretString ReplaceInPostedBody(std::string_view posted, std::string_view b,
                                 std::string_view token, std::string_view value) {
  std::vector<size_t> hits;
  for (size_t q = b.find(token); q != std::string_view::npos; q = b.find(token, q + token.size()))
    hits.push_back(q);
  SecretString out;
  out.Reserve(posted.size() + hits.size() * value.size());
  size_t next = 0;  // index into hits
  size_t j = 0;     // count of non-"+" characters before posted[i]
  for (size_t i = 0; i < posted.size(); ++i) {
    if (posted[i] == '+') {
      out.Append("+");
      continue;
    }
    if (next < hits.size() && j == hits[next]) {
      out.Append(value);
      // Skip the token's characters and any "+" among them.
      size_t left = token.size();
      while (i < posted.size() && left > 0) {
        if (posted[i] != '+') --left;
        ++i;
      }
      --i;
      j += token.size();
      ++next;
      continue;
    }
    out.Append(posted.substr(i, 1));
    ++j;
  }
  return out;
}

void WallaInboxRedirect(const BrowserViewState& state, const BrowserEndpoints& endpoints,
                        NavigationDecision& d) {
  if (!state.documentCookie) return;
  const std::string cookie = LowerAscii(*state.documentCookie);
  if (cookie.size() < 11) {
    d.inboxRedirectFlag = false;
  } else if (!Contains(cookie, "wsd=") && !d.inboxRedirectFlag) {
    d.inboxRedirect = endpoints.wallaMail + std::string(kWallaInboxPath);
    d.inboxRedirectFlag = true;
  }
}

}  // namespace

bool IsProviderLoginHost(std::string_view url, const BrowserEndpoints& endpoints) {
  const std::optional<std::string> host = HttpHost(url);
  if (!host) return false;
  for (const site::ProviderHost& known : site::kLoginHosts)
    if (site::HostIsUnder(*host, known.host)) return true;
  // The re-login address the program itself is configured with (a local server in tests).
  const std::optional<std::string> relogin = HttpHost(endpoints.wallaLogin);
  return relogin && *host == *relogin;
}

std::string LowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

const std::vector<std::string_view>& MailSiteKeywords() {
  static const std::vector<std::string_view> kWords = {
      "google",     "gmail",     "yahoo",
      "mail",       "walla",     "webmail",
      "spymac",     "gawab",     "unitedemailsystems",
      "xasamail",   "hotmail",   "passport",
      "hriders",    "intermail", "rotomail",
      "netscape",   "lycos",     site::kO2,
      "screenname", "omnilect",
  };
  return kWords;
}

const std::vector<ProviderBlock>& ProviderRuleBlocks() {
  static const std::vector<ProviderBlock> kBlocks = {
      {"Gmail",
       {"gmail", "google"},
       false,
       {},
       {
           {kUrl, {"view=pr", "manage", "editpasswd"}, kS1},
           {kUrl, {"view=cv"}, kS2},
           {kUrl, {"search=trash", "search=spam"}, kSilent},
           {kUrl, {"search=cf", "view=cl"}, kSilent},
           {kUrl, {"?ui=html", "/mail/h/"}, kSilent},
           {kUrl, {"view=ii"}, kS3},
           {kUrl, {"view=cm"}, kS4},
           {kBody, {"act=rc"}, kSilent},
           {kBody, {"act=tr", "act=dl"}, kS5},
           {kBody, {"act=sp"}, kS6},
           {kBody, {"&persistentcookie=yes"}, kS7},
       }},
      {"Yahoo",
       {"yahoo"},
       false,
       {},
       {
           {kUrl, {"options?", "preferences?"}, kS1},
           {kUrl, {"?eb=1", "?et=1", "&eb=1", "&et=1"}, kS8},
           {kUrl, {site::kYahooAccountEditing, "eval_profile"}, kS1},
           {kUrl, {"=spam", "blocksender"}, kSilent},
           {kUrl, {"compose?"}, kSilent},
           {kBody, {".persistent=y"}, kS7},
           {kBody, {"&mov=1", "&isspam=1", "send=1"}, kSilent},
           {kBody, {"del=1", "del=delete"}, kS8},
       }},
      {"Netscape",
       {"netscape"},
       false,
       {},
       {
           {kUrl, {"prefs.adp"}, kS1},
           {kUrl, {"=deletemsgs", "emptytrash"}, kS8},
           {kUrl,
            {"myaccount.", "wallet.psp", "edit.psp", "=movemsgs", "rab.adp", "folders.adp",
             "compose.adp"},
            kSilent},
       }},
      {"Lycos",
       {"lycos"},
       false,
       {},
       {
           {kUrl,
            {"environ", "compose", "/env/", "/spam/", "/filter/", "mayaregister", "=empty",
             "foldermanage", "mailmanage", "trash"},
            kSilent},
           {kBody, {"m_ws=y"}, kS7},
       }},
      {"O2",
       {site::kO2, site::kO2PartnerA, site::kO2PartnerB},
       false,
       {},
       {
           {kUrl,
            {"cmd=konfiguracja", "nazwa.php", "haslo.php", "pytanie.php", "sms.php", "fwd.php",
             "cmd=sygnatury", "konta.php", "blokowanie.php", "filtr.php", "vr.php", "spam.php"},
            kS1},
           {kUrl,
            {"im_index.php", "cmd=d_wpis2", "blokowanie.php", "cmd=activate_spamguard", "=ssppaamm",
             "=wyslane", "=ddraft", "cmd=adresy", "cmd=foldery", "cmd=napisz"},
            kSilent},
           {kBody, {"&cmd=", "content-disposition"}, kSilent},
       }},
      {"Walla",
       {"walla"},
       true,
       {"*walla*.*"},
       {
           {kUrl, {"w=/@options", "@reg"}, kS9},
           {kUrl, {"w=/@compose"}, kS4},
           {kUrl, {"w=/@manage"}, kS10},
           {kBody, {"/@folder.action"}, kSilent},
       }},
      {"Hriders",
       {"hriders"},
       false,
       {"*hriders*.*"},
       {
           {kUrl,
            {"userpref", "signature", "chgpass", "chgfwd", "chgldap", "addrbook", "subfolder",
             "autoresplink", "chgvac", "chgrules", "chgplan"},
            kS9},
           {kUrl, {"newmsg"}, kS4},
           {kBody, {"delete"}, kS8},
       }},
      {"Omnilect",
       {"omnilect"},
       false,
       {},
       {
           {kUrl, {"options"}, kS9},
           {kUrl, {"delete"}, kS8},
           {kUrl, {"compose"}, kS4},
           {kUrl, {"move"}, kSilent},
           {kBody, {"delete"}, kS8},
           {kBody, {"rename", "newfile", "copy"}, kSilent},
       }},
      {"Xasamail",
       {"xasamail"},
       false,
       {},
       {
           {kUrl, {"user_pref"}, kS9},
           {kUrl, {"&write=newmsg"}, kS4},
           {kUrl, {"empty_trash", "spam"}, kSilent},
           {kBody, {"move", "block", "delete"}, kSilent},
           {kBody, {"pass_save=save"}, kS7},
       }},
      {"Rotomail",
       {"rotomail"},
       false,
       {},
       {
           {kUrl, {"settings"}, kS1},
           {kUrl, {"compose"}, kS4},
           {kUrl, {"labels", "movefolder", "trash"}, kSilent},
           {kBody, {"move", "block", "delete"}, kSilent},
           {kBody, {"rememberme"}, kS7},
       }},
      {"Gawab",
       {"gawab"},
       false,
       {},
       {
           {kUrl,
            {"=preferences", "=mailpref", "=chpasswd", "=signature", "=vacation", "=blocked",
             "=showextact", "=filters", "=trackmsgs", "=ygmanage"},
            kS9},
           {kUrl, {"=newmsg"}, kS4},
           {kBody, {"movefile", "cmdmove", "moveto", "spamact"}, kS8},
       }},
      {"United E-mail Systems and Spymac",
       {"unitedemailsystems", "spymac"},
       false,
       {"*unitedemailsystems*.*", "*spymac*.*"},
       {
           {kUrl, {"func=settings", "func=info", "func=profile", "func=spamsettings"}, kS11},
           {kUrl, {"=trash", "action=option"}, kSilent},
           {kUrl, {"func=new"}, kS4},
           {kBody, {"move"}, kSilent},
           {kBody, {"logintype=xp"}, kS12},
       }},
  };
  return kBlocks;
}

NavigationDecision DecideNavigation(const NavigationRequest& request, const BrowserViewState& state,
                                    const BrowserEndpoints& endpoints) {
  NavigationDecision d;
  d.inboxRedirectFlag = state.inboxRedirectFlag;
  const std::string u = LowerAscii(request.url);
  d.wallaFlag = Contains(u, "walla");

  if (!request.postData.empty() && !ContainsAny(u, MailSiteKeywords())) {
    d.cancel = true;
    return d;
  }

  // The body rules see the body without "+" and lower-cased; an emptied copy turns them off.
  std::string b, l;
  if (!request.postData.empty()) {
    b.reserve(request.postData.size());
    std::copy_if(request.postData.begin(), request.postData.end(), std::back_inserter(b),
                 [](char c) { return c != '+'; });
    l = LowerAscii(b);

    if (Contains(u, site::kHriders) && !Contains(l, "use_cookie=1") &&
        !Contains(u, "multibtn.cgi") && !Contains(u, "button.cgi")) {
      d.cancel = true;
      d.messages.push_back({kUseCookies, MessageIcon::Error});
      return d;
    }

    if (std::any_of(kUserNameGuardGroups.begin(), kUserNameGuardGroups.end(),
                    [&](const auto& group) { return ContainsAny(l, group); })) {
      b.clear();
      l.clear();
    }

    // A marker is decoded only for a provider's own login: anywhere else the page would be
    // handed the password its holder was never meant to learn, so the marker goes out as typed.
    std::optional<MarkerMatch> m;
    if (IsProviderLoginHost(request.url, endpoints)) m = FindMarker(b, IsHttpsUrl(request.url));
    if (m) {
      if (d.wallaFlag)
        d.newSavedWallaLogin = SavedWallaLogin{request.postData, request.flags, request.headers};
      const std::string_view bv(b);
      const std::string_view token = bv.substr(m->open + 1, m->close - m->open + kCloseLength - 1);
      const std::string_view inner =
          bv.substr(m->open + kOpenLength, m->close - m->open - kOpenLength);
      SecretString value;
      {
        SecretString plain = DecodeAccountPassword(inner, m->scheme, m->ssl);
        value.Reserve(plain.Size() * 3);
        AppendFormValue(value, plain.View());
      }
      d.cancel = true;
      d.repost = BrowserNavigation{request.url, request.flags, request.targetFrame, request.headers,
                                   ReplaceInPostedBody(request.postData, b, token, value.View())};
      WipeString(b);
      WipeString(l);
      return d;
    }
  }

  for (const ProviderBlock& block : ProviderRuleBlocks()) {
    if (!ContainsAny(u, block.selectors)) continue;
    if (block.wallaInboxRedirect) WallaInboxRedirect(state, endpoints, d);
    for (std::string_view pattern : block.cookiePurges) d.cookiePurges.emplace_back(pattern);
    for (const ProviderRule& rule : block.rules) {
      if (rule.target == RuleTarget::Body && l.empty()) continue;
      if (!ContainsAny(rule.target == RuleTarget::Url ? std::string_view(u) : std::string_view(l),
                       rule.any))
        continue;
      d.cancel = true;
      if (rule.message) d.messages.push_back({rule.message, MessageIcon::Error});
    }
  }
  return d;
}

}  // namespace dtl
