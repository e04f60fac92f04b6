#include "account/AccessTokens.h"

#include <memory>
#include <mutex>

#include "account/OAuthTokenEndpoint.h"
#include "base/SettingsStore.h"

namespace dtl {

std::string OAuthLoginExpiredMessage(std::string_view user, std::string_view how) {
  return "The OAuth2 login for " + std::string(user) + " is no longer valid; log in again (" +
         std::string(how) + ")";
}

namespace {

class TokenSource {
 public:
  TokenSource(SettingsStore& store, AccessTokenSourceParams params)
      : store_(store), params_(std::move(params)) {}

  Result<std::string> Get(bool renew) {
    // One renewal at a time: threads that wanted a token meanwhile take the fresh one.
    std::lock_guard lock(mutex_);
    const auto now = Now();
    if (!renew && !token_.empty() && expiresAt_ - now > params_.renewMargin) return token_;
    const std::string user = store_.GetString("OAuth2User");
    const std::string refresh = store_.GetString("OAuth2RefreshToken");
    if (refresh.empty())
      return Error(ErrorCode::Auth, OAuthLoginExpiredMessage(user, params_.loginAction));
    auto tokens = RefreshAccessToken(params_.provider, refresh, params_.endpoints, params_.clock);
    if (!tokens) {
      token_.clear();
      if (tokens.error().code == ErrorCode::Auth)
        return Error(ErrorCode::Auth, OAuthLoginExpiredMessage(user, params_.loginAction));
      return tokens.error();
    }
    // A provider that rotates refresh tokens has already retired the old one: keep the new one
    // before anything else can fail, or the next start would have nothing valid to refresh with.
    if (!tokens->refreshToken.empty() && tokens->refreshToken != refresh) {
      if (auto s = store_.SetString("OAuth2RefreshToken", tokens->refreshToken); !s)
        return s.error();
    }
    token_ = tokens->accessToken;
    expiresAt_ = tokens->expiresAt;
    return token_;
  }

 private:
  std::chrono::system_clock::time_point Now() const {
    return params_.clock ? params_.clock() : std::chrono::system_clock::now();
  }

  SettingsStore& store_;
  const AccessTokenSourceParams params_;
  std::mutex mutex_;
  std::string token_;
  std::chrono::system_clock::time_point expiresAt_{};
};

}  // namespace

AccessTokenFn MakeAccessTokenSource(SettingsStore& store, AccessTokenSourceParams params) {
  auto source = std::make_shared<TokenSource>(store, std::move(params));
  return [source](bool renew) { return source->Get(renew); };
}

Result<AccessTokenFn> MakeAccessTokenSourceFromSettings(SettingsStore& store,
                                                        const NetworkEndpoints& endpoints,
                                                        std::string_view loginAction) {
  const std::string id = store.GetString("OAuth2Provider");
  if (id.empty())
    return Error(ErrorCode::NotFound,
                 "No OAuth2 login is set up (OAuth2Provider is empty); log in first (" +
                     std::string(loginAction) + ")");
  auto provider = LoadOAuthProvider(store, id);
  if (!provider) return provider.error();
  AccessTokenSourceParams p;
  p.provider = std::move(provider.value());
  p.endpoints = endpoints;
  p.loginAction = std::string(loginAction);
  return MakeAccessTokenSource(store, std::move(p));
}

}  // namespace dtl
