#include "account/OAuthProviders.h"

#include <curl/curl.h>

#include <array>

#include "base/SettingsStore.h"

namespace dtl {
namespace {

struct BuiltIn {
  std::string_view id;
  const char* name;
  const char* authorizeUrl;
  const char* tokenUrl;
  const char* scope;
  const char* clientIdSetting;
  const char* clientSecretSetting;
  const char* redirectHost;
  const char* authorizeExtra;
};

// The endpoints and scopes each provider documents for IMAP and SMTP access. Microsoft's app
// registrations take "http://localhost" (any port) for public clients, not the address literal.
constexpr std::array<BuiltIn, 3> kBuiltIns = {{
    {kOAuthGoogle, "Google", "https://accounts.google.com/o/oauth2/v2/auth",
     "https://oauth2.googleapis.com/token", "https://mail.google.com/", "GoogleClientId",
     "GoogleClientSecret", "127.0.0.1", "access_type=offline&prompt=consent"},
    {kOAuthMicrosoft, "Microsoft", "https://login.microsoftonline.com/common/oauth2/v2.0/authorize",
     "https://login.microsoftonline.com/common/oauth2/v2.0/token",
     "https://outlook.office.com/IMAP.AccessAsUser.All https://outlook.office.com/SMTP.Send "
     "offline_access",
     "MicrosoftClientId", "MicrosoftClientSecret", "localhost", ""},
    {kOAuthYahoo, "Yahoo", "https://api.login.yahoo.com/oauth2/request_auth",
     "https://api.login.yahoo.com/oauth2/get_token", "mail-w", "YahooClientId", "YahooClientSecret",
     "127.0.0.1", ""},
}};

constexpr const char* kRegisterHint =
    " (docs/accounts.md, \"Registering an OAuth2 client\", tells how to get one)";

const BuiltIn* Find(std::string_view id) {
  for (const auto& b : kBuiltIns)
    if (b.id == id) return &b;
  return nullptr;
}

}  // namespace

const std::vector<std::string>& OAuthProviderIds() {
  static const std::vector<std::string> ids = {std::string(kOAuthGoogle),
                                               std::string(kOAuthMicrosoft),
                                               std::string(kOAuthYahoo), std::string(kOAuthCustom)};
  return ids;
}

std::string OAuthClientIdSetting(std::string_view id) {
  if (const BuiltIn* b = Find(id)) return b->clientIdSetting;
  return id == kOAuthCustom ? "OAuth2ClientId" : "";
}

std::string OAuthClientSecretSetting(std::string_view id) {
  if (const BuiltIn* b = Find(id)) return b->clientSecretSetting;
  return id == kOAuthCustom ? "OAuth2ClientSecret" : "";
}

Status CheckHttpsUrl(std::string_view url, std::string_view what) {
  const std::string bad =
      std::string(what) + " must be an https address: '" + std::string(url) + "'";
  CURLU* u = curl_url();
  if (!u) return Error(ErrorCode::Failed, "Out of memory");
  const std::string copy(url);
  bool ok = curl_url_set(u, CURLUPART_URL, copy.c_str(), 0) == CURLUE_OK;
  char* scheme = nullptr;
  char* host = nullptr;
  // libcurl lower-cases the scheme it parsed, so "HTTPS://" passes and "http://" never does.
  ok = ok && curl_url_get(u, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
       std::string_view(scheme) == "https" &&
       curl_url_get(u, CURLUPART_HOST, &host, 0) == CURLUE_OK && host[0] != '\0';
  curl_free(scheme);
  curl_free(host);
  curl_url_cleanup(u);
  if (!ok) return Error(ErrorCode::InvalidArgument, bad);
  return {};
}

Result<OAuthProvider> LoadOAuthProvider(const SettingsStore& store, std::string_view id) {
  OAuthProvider p;
  p.id = std::string(id);
  if (const BuiltIn* b = Find(id)) {
    p.name = b->name;
    p.authorizeUrl = b->authorizeUrl;
    p.tokenUrl = b->tokenUrl;
    p.scope = b->scope;
    p.redirectHost = b->redirectHost;
    p.authorizeExtra = b->authorizeExtra;
  } else if (id == kOAuthCustom) {
    p.name = "Custom";
    for (auto [setting, field] :
         {std::pair{"OAuth2AuthorizeUrl", &p.authorizeUrl},
          std::pair{"OAuth2TokenUrl", &p.tokenUrl}, std::pair{"OAuth2Scope", &p.scope}}) {
      *field = store.GetString(setting);
      if (field->empty())
        return Error(ErrorCode::NotFound, std::string("The custom OAuth2 provider needs ") +
                                              setting + " set" + kRegisterHint);
    }
    for (auto [setting, url] : {std::pair{"OAuth2AuthorizeUrl", &p.authorizeUrl},
                                std::pair{"OAuth2TokenUrl", &p.tokenUrl}})
      if (auto s = CheckHttpsUrl(*url, setting); !s) return s.error();
  } else {
    return Error(ErrorCode::InvalidArgument, "Unknown OAuth2 provider '" + std::string(id) +
                                                 "' (google, microsoft, yahoo or custom)");
  }
  const std::string idSetting = OAuthClientIdSetting(id);
  p.clientId = store.GetString(idSetting);
  if (p.clientId.empty())
    return Error(ErrorCode::NotFound,
                 "No OAuth2 client id for " + p.name + ": set " + idSetting + kRegisterHint);
  p.clientSecret = store.GetString(OAuthClientSecretSetting(id));
  return p;
}

}  // namespace dtl
