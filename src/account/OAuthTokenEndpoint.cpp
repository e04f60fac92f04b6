#include "account/OAuthTokenEndpoint.h"

#include <curl/curl.h>

#include <cctype>
#include <memory>
#include <utility>
#include <vector>

#include "account/OAuthJson.h"

namespace dtl {
namespace {

constexpr size_t kMaxAnswer = 64 * 1024;  // token answers are well under a kilobyte
constexpr long kConnectTimeoutMs = 30000;
constexpr long kStallSeconds = 60;
constexpr long kDefaultLifetime = 3600;  // RFC 6749 leaves expires_in optional

struct Transfer {
  std::string body;
  bool capped = false;
  std::stop_token stop;
};

size_t Collect(char* data, size_t size, size_t n, void* user) {
  auto* t = static_cast<Transfer*>(user);
  if (t->body.size() + size * n > kMaxAnswer) {
    t->capped = true;
    return 0;
  }
  t->body.append(data, size * n);
  return size * n;
}

int Progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<Transfer*>(user)->stop.stop_requested() ? 1 : 0;
}

std::string Escape(CURL* c, const std::string& s) {
  char* e = curl_easy_escape(c, s.c_str(), static_cast<int>(s.size()));
  std::string out = e ? e : "";
  curl_free(e);
  return out;
}

// Provider texts land in messages the user reads; keep them short and printable.
std::string Printable(std::string s) {
  if (s.size() > 200) s.resize(200);
  for (char& c : s)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  return s;
}

Result<OAuthTokens> Post(const OAuthProvider& provider,
                         std::vector<std::pair<std::string, std::string>> form,
                         const NetworkEndpoints& endpoints, const OAuthClock& clock,
                         std::stop_token stop) {
  if (auto s = CheckHttpsUrl(provider.tokenUrl, "The token endpoint"); !s) return s.error();
  std::unique_ptr<CURL, void (*)(CURL*)> c(curl_easy_init(), curl_easy_cleanup);
  if (!c) return Error(ErrorCode::Failed, "Could not start an HTTPS request");
  form.emplace_back("client_id", provider.clientId);
  // Public clients (Microsoft's) must not send a secret; Google's desktop clients must.
  if (!provider.clientSecret.empty()) form.emplace_back("client_secret", provider.clientSecret);
  std::string body;
  for (const auto& [k, v] : form) {
    if (!body.empty()) body += '&';
    body += Escape(c.get(), k) + "=" + Escape(c.get(), v);
  }
  Transfer t;
  t.stop = stop;
  CURL* h = c.get();
  curl_easy_setopt(h, CURLOPT_URL, provider.tokenUrl.c_str());
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.c_str());
  // A token answer never redirects; following one could carry the code or secret elsewhere.
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "https");
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, kStallSeconds);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, Collect);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &t);
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, Progress);
  curl_easy_setopt(h, CURLOPT_XFERINFODATA, &t);
  curl_slist* headers = curl_slist_append(nullptr, "Accept: application/json");
  std::unique_ptr<curl_slist, void (*)(curl_slist*)> headerList(headers, curl_slist_free_all);
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers);
  ApplyEndpoints(h, endpoints);
  // ApplyEndpoints widens the protocols to http and https; a token goes over https only.
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "https");

  const CURLcode rc = curl_easy_perform(h);
  if (rc == CURLE_ABORTED_BY_CALLBACK) return Error::Cancelled();
  if (rc != CURLE_OK && !(rc == CURLE_WRITE_ERROR && t.capped)) {
    ErrorCode code = ErrorCode::Network;
    switch (rc) {
      case CURLE_OPERATION_TIMEDOUT: code = ErrorCode::Timeout; break;
      case CURLE_PEER_FAILED_VERIFICATION:
      case CURLE_SSL_CONNECT_ERROR:
      case CURLE_SSL_CERTPROBLEM:
      case CURLE_SSL_CACERT_BADFILE: code = ErrorCode::Tls; break;
      default: break;
    }
    return Error(code,
                 "Could not reach the OAuth2 token endpoint " + provider.tokenUrl + ": " +
                     curl_easy_strerror(rc),
                 rc);
  }
  if (t.capped) return Error(ErrorCode::Protocol, "The OAuth2 token endpoint's answer is too long");
  long status = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);

  auto json = ParseJsonObject(t.body);
  const auto text = [&](const char* name) -> std::string {
    if (!json) return {};
    auto it = json->find(name);
    return it != json->end() && it->second.kind == JsonScalar::Kind::String ? it->second.text
                                                                            : std::string();
  };
  if (status != 200) {
    const std::string err = text("error");
    const std::string desc = text("error_description");
    std::string what = err.empty() ? "HTTP " + std::to_string(status) : Printable(err);
    if (!desc.empty()) what += ": " + Printable(desc);
    if (err == "invalid_grant")
      return Error(ErrorCode::Auth, "The OAuth2 provider refused the grant (" + what + ")",
                   static_cast<int>(status));
    return Error(ErrorCode::Refused, "The OAuth2 token endpoint refused the request (" + what + ")",
                 static_cast<int>(status));
  }
  if (!json)
    return Error(ErrorCode::Protocol,
                 "The OAuth2 token endpoint's answer is unusable: " + json.error().message);
  OAuthTokens tokens;
  tokens.accessToken = text("access_token");
  if (tokens.accessToken.empty())
    return Error(ErrorCode::Protocol, "The OAuth2 token endpoint gave no access token");
  std::string type = text("token_type");
  for (char& ch : type) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  if (!type.empty() && type != "bearer")
    return Error(ErrorCode::Unsupported, "The OAuth2 token endpoint gave a token of type '" +
                                             Printable(type) +
                                             "'; only Bearer tokens work for mail logins");
  long lifetime = kDefaultLifetime;
  if (auto it = json->find("expires_in"); it != json->end()) {
    // Some endpoints quote the number; either way it must be plain non-negative digits.
    const std::string& v = it->second.text;
    const bool digits = !v.empty() && v.size() < 10 &&
                        v.find_first_not_of("0123456789") == std::string::npos &&
                        (it->second.kind == JsonScalar::Kind::Number ||
                         it->second.kind == JsonScalar::Kind::String);
    if (!digits)
      return Error(ErrorCode::Protocol, "The OAuth2 token endpoint gave an unusable expires_in");
    lifetime = std::stol(v);
  }
  tokens.refreshToken = text("refresh_token");
  tokens.scope = text("scope");
  const auto now = clock ? clock() : std::chrono::system_clock::now();
  tokens.expiresAt = now + std::chrono::seconds(lifetime);
  return tokens;
}

}  // namespace

Result<OAuthTokens> ExchangeAuthorizationCode(const OAuthProvider& provider,
                                              const std::string& code,
                                              const std::string& redirectUri,
                                              const std::string& verifier,
                                              const NetworkEndpoints& endpoints,
                                              const OAuthClock& clock, std::stop_token stop) {
  return Post(provider,
              {{"grant_type", "authorization_code"},
               {"code", code},
               {"redirect_uri", redirectUri},
               {"code_verifier", verifier}},
              endpoints, clock, stop);
}

Result<OAuthTokens> RefreshAccessToken(const OAuthProvider& provider,
                                       const std::string& refreshToken,
                                       const NetworkEndpoints& endpoints, const OAuthClock& clock,
                                       std::stop_token stop) {
  return Post(provider, {{"grant_type", "refresh_token"}, {"refresh_token", refreshToken}},
              endpoints, clock, stop);
}

}  // namespace dtl
