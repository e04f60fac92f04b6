// The inner browser's navigation policy and the account-password marker codec on hostile
// navigations: URL, POST body (with or without a marker, well-formed or damaged), headers and
// view state all come from the fuzz input; a marker is re-posted decoded only to a known
// provider's login host; then the login-page rewriting on a hostile page.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <string>

#include "browser/AccountPassword.h"
#include "browser/LoginPageRewriter.h"
#include "browser/NavigationPolicy.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dtl;
  FuzzedDataProvider in(data, size);
  static const char* const kSites[] = {"https://mail.google.com/mail/",
                                       "http://mail.walla.com/",
                                       "https://login.yahoo.com/config/login",
                                       "http://www.hriders.com/cgi/",
                                       "https://mail.lycos.com/",
                                       "http://example.org/",
                                       "http://attacker.example/mail/",
                                       "http://"};
  NavigationRequest request;
  request.url = std::string(kSites[in.ConsumeIntegralInRange<size_t>(0, std::size(kSites) - 1)]) +
                in.ConsumeRandomLengthString(80);
  request.flags = in.ConsumeIntegral<uint32_t>();
  request.targetFrame = in.ConsumeRandomLengthString(16);
  request.headers = in.ConsumeRandomLengthString(64);
  const int schemes[] = {160, 150, 148, 143, 141, 14, 13};
  const int scheme = schemes[in.ConsumeIntegralInRange<size_t>(0, 6)];
  const bool ssl = in.ConsumeBool();
  const std::string password = in.ConsumeRandomLengthString(60);
  const std::string marker = EncryptAccountPassword(password, scheme, ssl);

  // The codec: a marker made for a typed password decodes back to it. Typed passwords hold no
  // control bytes, and the codec relies on that (the XOR keys are control bytes, and a zero
  // byte ends the decoded text), so only such passwords are compared.
  const bool typed = std::none_of(password.begin(), password.end(),
                                  [](char c) { return static_cast<unsigned char>(c) < 0x20; });
  if (!marker.empty() && typed) {
    SecretString back = DecodeAccountPassword(marker, scheme, ssl);
    if (back.View() != password) std::abort();
  }
  DecodeAccountPassword(in.ConsumeRandomLengthString(120), scheme, ssl);

  std::string body = in.ConsumeRandomLengthString(200);
  if (in.ConsumeBool() && !marker.empty())
    body += std::string(ssl ? "($" : "(#") +
            marker.substr(0, in.ConsumeIntegralInRange<size_t>(0, marker.size())) +
            (ssl ? "$)" : "#)") + in.ConsumeRandomLengthString(40);
  request.postData = body;

  BrowserViewState state;
  state.wallaFlag = in.ConsumeBool();
  state.inboxRedirectFlag = in.ConsumeBool();
  state.savedWallaLogin.body = in.ConsumeRandomLengthString(40);
  if (in.ConsumeBool()) state.documentCookie = in.ConsumeRandomLengthString(40);

  const NavigationDecision d = DecideNavigation(request, state);
  if (d.repost && !d.cancel) std::abort();  // a re-post replaces the navigation, never joins it
  // A marker is decoded for a known provider's login host only, whatever the URL says after it.
  if (d.repost && !IsProviderLoginHost(request.url)) std::abort();

  // The login-page rewriting after a page download only ever removes text.
  const std::string html = in.ConsumeRemainingBytesAsString();
  if (auto page = RewriteLoginPage(request.url, html); page && page->size() > html.size())
    std::abort();
  if (auto id = XasamailAccountId(html); id && id->size() > html.size()) std::abort();
  return 0;
}
