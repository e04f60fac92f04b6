#include "account/Autoconfig.h"

#include <curl/curl.h>
#include <expat.h>

#include <algorithm>
#include <cctype>
#include <memory>

namespace dtl {
namespace {

struct ParseState {
  XML_Parser parser = nullptr;
  AutoconfigDocument doc;
  std::vector<std::string> stack;
  AutoconfigServer* server = nullptr;
  std::string text;
  std::string refusal;  // why the parse was stopped from a handler
};

void Refuse(ParseState& st, std::string why) {
  if (st.refusal.empty()) st.refusal = std::move(why);
  XML_StopParser(st.parser, XML_FALSE);
}

const char* Attribute(const XML_Char** atts, const char* name) {
  for (int i = 0; atts[i]; i += 2)
    if (std::string_view(atts[i]) == name) return atts[i + 1];
  return nullptr;
}

std::string Trim(std::string s) {
  auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
  while (!s.empty() && blank(s.back())) s.pop_back();
  size_t i = 0;
  while (i < s.size() && blank(s[i])) ++i;
  return s.substr(i);
}

void XMLCALL OnStart(void* data, const XML_Char* name, const XML_Char** atts) {
  auto& st = *static_cast<ParseState*>(data);
  if (static_cast<int>(st.stack.size()) >= kAutoconfigMaxDepth) {
    Refuse(st, "nested too deeply");
    return;
  }
  std::string_view n(name);
  const size_t depth = st.stack.size();
  if (depth == 0 && n != "clientConfig") {
    Refuse(st, "the root element is not clientConfig");
    return;
  }
  if (depth == 2 && st.stack[1] == "emailProvider" &&
      (n == "incomingServer" || n == "outgoingServer")) {
    auto& list = n == "incomingServer" ? st.doc.incoming : st.doc.outgoing;
    // A document listing thousands of servers is not one a provider wrote.
    if (list.size() >= 64) {
      Refuse(st, "too many servers");
      return;
    }
    list.emplace_back();
    const char* type = Attribute(atts, "type");
    list.back().type = type ? type : "";
    st.server = &list.back();
  }
  st.stack.emplace_back(n);
  st.text.clear();
}

void XMLCALL OnEnd(void* data, const XML_Char* name) {
  auto& st = *static_cast<ParseState*>(data);
  std::string_view n(name);
  const size_t depth = st.stack.size();
  std::string value = Trim(st.text);
  if (depth == 3 && st.stack[1] == "emailProvider") {
    if (n == "displayName" && st.doc.displayName.empty()) st.doc.displayName = value;
    if (n == "domain") st.doc.domains.push_back(value);
    if (n == "incomingServer" || n == "outgoingServer") st.server = nullptr;
  } else if (depth == 4 && st.server) {
    if (n == "hostname") st.server->hostname = value;
    if (n == "port") st.server->port = value;
    if (n == "socketType") st.server->socketType = value;
    if (n == "username") st.server->username = value;
    if (n == "authentication") st.server->authentication.push_back(value);
  }
  if (!st.stack.empty()) st.stack.pop_back();
  st.text.clear();
}

void XMLCALL OnText(void* data, const XML_Char* s, int len) {
  auto& st = *static_cast<ParseState*>(data);
  st.text.append(s, static_cast<size_t>(len));
}

// Entities are how an XML document grows without bound or reaches outside itself; a mail
// provider's document has no use for them, so any DTD ends the parse.
void XMLCALL OnDoctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*, int) {
  Refuse(*static_cast<ParseState*>(data), "a DOCTYPE is not accepted");
}

void XMLCALL OnEntity(void* data, const XML_Char*, int, const XML_Char*, int, const XML_Char*,
                      const XML_Char*, const XML_Char*, const XML_Char*) {
  Refuse(*static_cast<ParseState*>(data), "an entity declaration is not accepted");
}

Error Bad(const std::string& why) {
  return Error(ErrorCode::Corrupt, "autoconfig document: " + why);
}

bool IEquals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

void ReplaceAll(std::string& s, std::string_view what, const std::string& with) {
  for (size_t pos = s.find(what); pos != std::string::npos; pos = s.find(what, pos + with.size()))
    s.replace(pos, what.size(), with);
}

enum class Login { None, Password, OAuth2 };

// The login a server takes that the program can make. A password is preferred: it needs no
// client registration; OAuth2 only where the server takes nothing else.
Login UsableLogin(const AutoconfigServer& s) {
  bool password = s.authentication.empty(), oauth = false;
  for (const auto& a : s.authentication) {
    if (IEquals(a, "password-cleartext") || IEquals(a, "plain") ||
        IEquals(a, "password-encrypted") || IEquals(a, "secure"))
      password = true;
    if (IEquals(a, "OAuth2")) oauth = true;
  }
  return password ? Login::Password : oauth ? Login::OAuth2 : Login::None;
}

struct Pick {
  ServerEndpoint endpoint;
  Login login = Login::None;
};

// The first server of `type` the program may use; every one passed over leaves a note saying
// why, so a user wondering about the document sees it.
std::optional<Pick> Choose(const std::vector<AutoconfigServer>& servers, std::string_view type,
                           const std::string& address, std::vector<std::string>& notes) {
  const size_t at = address.rfind('@');
  const std::string local = at == std::string::npos ? address : address.substr(0, at);
  const std::string domain = at == std::string::npos ? "" : address.substr(at + 1);
  for (const auto& s : servers) {
    if (!IEquals(s.type, type)) continue;
    const std::string where = std::string(type) + " server " + s.hostname;
    Pick pick;
    if (IEquals(s.socketType, "SSL") || IEquals(s.socketType, "TLS")) {
      pick.endpoint.security = ServerSecurity::ImplicitTls;
    } else if (IEquals(s.socketType, "STARTTLS")) {
      pick.endpoint.security = ServerSecurity::StartTls;
    } else {
      // A document could otherwise steer the login into plain text.
      notes.push_back("skipped the " + where + ": it is offered without TLS (socketType '" +
                      s.socketType + "')");
      continue;
    }
    if (!IsUsableHostName(s.hostname)) {
      notes.push_back("skipped a " + std::string(type) + " server: its host name is not usable");
      continue;
    }
    long port = 0;
    bool digits =
        !s.port.empty() && s.port.size() <= 5 &&
        std::all_of(s.port.begin(), s.port.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (digits) port = std::stol(s.port);
    if (!digits || !IsUsablePort(port)) {
      notes.push_back("skipped the " + where + ": port '" + s.port + "' is not usable");
      continue;
    }
    pick.login = UsableLogin(s);
    if (pick.login == Login::None) {
      notes.push_back("skipped the " + where + ": it takes no login this program can make");
      continue;
    }
    std::string user = s.username.empty() ? "%EMAILADDRESS%" : s.username;
    ReplaceAll(user, "%EMAILADDRESS%", address);
    ReplaceAll(user, "%EMAILLOCALPART%", local);
    ReplaceAll(user, "%EMAILDOMAIN%", domain);
    if (std::any_of(user.begin(), user.end(),
                    [](unsigned char c) { return c < 0x20 || c == 0x7f; })) {
      notes.push_back("skipped the " + where + ": its user name holds control characters");
      continue;
    }
    pick.endpoint.host = s.hostname;
    pick.endpoint.port = static_cast<int>(port);
    pick.endpoint.user = user;
    return pick;
  }
  return std::nullopt;
}

// The provider id to log in with OAuth2 at a host the program knows, "custom" elsewhere.
std::string OAuthProviderFor(const std::string& host) {
  auto endsWith = [&](std::string_view tail) {
    return host.size() >= tail.size() && IEquals(host.substr(host.size() - tail.size()), tail);
  };
  if (endsWith(".gmail.com") || endsWith(".google.com")) return "google";
  if (endsWith(".office365.com") || endsWith(".outlook.com")) return "microsoft";
  if (endsWith(".yahoo.com")) return "yahoo";
  return "custom";
}

std::string PercentEncode(std::string_view s) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(hex[c >> 4]);
      out.push_back(hex[c & 15]);
    }
  }
  return out;
}

struct Download {
  std::string body;
  bool tooLarge = false;
  std::stop_token stop;
};

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  auto& d = *static_cast<Download*>(user);
  const size_t n = size * count;
  if (d.body.size() + n > kAutoconfigMaxBytes) {
    d.tooLarge = true;
    return 0;
  }
  d.body.append(data, n);
  return n;
}

int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<Download*>(user)->stop.stop_requested() ? 1 : 0;
}

struct CurlDeleter {
  void operator()(CURL* c) const { curl_easy_cleanup(c); }
};

}  // namespace

Result<AutoconfigDocument> ParseAutoconfig(std::string_view xml) {
  if (xml.size() > kAutoconfigMaxBytes) return Bad("larger than the limit");
  std::unique_ptr<std::remove_pointer_t<XML_Parser>, decltype(&XML_ParserFree)> parser(
      XML_ParserCreate(nullptr), &XML_ParserFree);
  if (!parser) return Error(ErrorCode::Failed, "autoconfig document: out of memory");
  ParseState st;
  st.parser = parser.get();
  XML_SetUserData(st.parser, &st);
  XML_SetElementHandler(st.parser, OnStart, OnEnd);
  XML_SetCharacterDataHandler(st.parser, OnText);
  XML_SetStartDoctypeDeclHandler(st.parser, OnDoctype);
  XML_SetEntityDeclHandler(st.parser, OnEntity);
  XML_SetParamEntityParsing(st.parser, XML_PARAM_ENTITY_PARSING_NEVER);
  const XML_Status status =
      XML_Parse(st.parser, xml.data(), static_cast<int>(xml.size()), XML_TRUE);
  if (!st.refusal.empty()) return Bad(st.refusal);
  if (status != XML_STATUS_OK)
    return Bad(std::string(XML_ErrorString(XML_GetErrorCode(st.parser))) + " at line " +
               std::to_string(XML_GetCurrentLineNumber(st.parser)));
  if (st.doc.incoming.empty() && st.doc.outgoing.empty())
    return Bad("no emailProvider with servers");
  return std::move(st.doc);
}

Result<AccountProfile> ProfileFromAutoconfig(const AutoconfigDocument& document,
                                             const std::string& address) {
  AccountProfile profile;
  profile.address = address;
  profile.displayName = document.displayName;
  auto imap = Choose(document.incoming, "imap", address, profile.notes);
  if (!imap) return Error(ErrorCode::NotFound, "no TLS IMAP server in the document");
  auto smtp = Choose(document.outgoing, "smtp", address, profile.notes);
  if (!smtp) return Error(ErrorCode::NotFound, "no TLS SMTP server in the document");
  profile.imap = imap->endpoint;
  profile.smtp = smtp->endpoint;
  if (imap->login == Login::OAuth2 || smtp->login == Login::OAuth2) {
    profile.login = LoginKind::OAuth2;
    profile.oauthProvider = OAuthProviderFor(profile.imap.host);
  }
  return profile;
}

std::string AutoconfigUrl(const std::string& domain, const std::string& address) {
  return "https://autoconfig." + domain +
         "/mail/config-v1.1.xml?emailaddress=" + PercentEncode(address);
}

std::string WellKnownAutoconfigUrl(const std::string& domain) {
  return "https://" + domain + "/.well-known/autoconfig/mail/config-v1.1.xml";
}

Result<std::string> FetchAutoconfig(const std::string& url, const NetworkEndpoints& endpoints,
                                    std::chrono::milliseconds timeout, std::stop_token stop) {
  if (url.rfind("https://", 0) != 0)
    return Error(ErrorCode::Unsupported, "autoconfig is fetched over https only: " + url);
  std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
  if (!curl) return Error(ErrorCode::Failed, "cannot start an HTTP transfer");
  CURL* c = curl.get();
  Download d;
  d.stop = std::move(stop);
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(c, CURLOPT_MAXREDIRS, 5L);
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
  curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kAutoconfigMaxBytes));
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, OnBody);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &d);
  curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, OnProgress);
  curl_easy_setopt(c, CURLOPT_XFERINFODATA, &d);
  curl_easy_setopt(c, CURLOPT_USERAGENT, "drovetail");
  ApplyEndpoints(c, endpoints);
  // ApplyEndpoints lets web-mail pages use http; an autoconfig document decides where logins
  // go, so it and every redirect on the way must come over a checked TLS connection.
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "https");
  curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "https");
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
  const CURLcode rc = curl_easy_perform(c);
  if (d.stop.stop_requested()) return Error::Cancelled();
  if (d.tooLarge || rc == CURLE_FILESIZE_EXCEEDED)
    return Error(ErrorCode::Corrupt, "autoconfig document at " + url + " is too large", rc);
  if (rc == CURLE_UNSUPPORTED_PROTOCOL)
    return Error(ErrorCode::Unsupported, "refused to follow a redirect away from https at " + url,
                 rc);
  if (rc == CURLE_OPERATION_TIMEDOUT)
    return Error(ErrorCode::Timeout, "no answer in time from " + url, rc);
  if (rc == CURLE_PEER_FAILED_VERIFICATION || rc == CURLE_SSL_CONNECT_ERROR ||
      rc == CURLE_SSL_CACERT_BADFILE)
    return Error(ErrorCode::Tls, url + ": " + curl_easy_strerror(rc), rc);
  if (rc != CURLE_OK) return Error(ErrorCode::Network, url + ": " + curl_easy_strerror(rc), rc);
  long status = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  if (status == 404 || status == 410)
    return Error(ErrorCode::NotFound, url + ": HTTP " + std::to_string(status),
                 static_cast<int>(status));
  if (status != 200)
    return Error(ErrorCode::Refused, url + ": HTTP " + std::to_string(status),
                 static_cast<int>(status));
  return std::move(d.body);
}

}  // namespace dtl
