// The inner browser's navigation policy: what the browser view does with a navigation before it
// starts. One mailbox is shared by everybody who holds its login or its password marker, so the
// policy cancels the requests that would change the account (per provider), tells the user why,
// asks for some providers' cookies to be purged, and turns a password marker in a login POST to a
// known provider's login host into the plain password by cancelling the request and posting it
// again (a marker posted anywhere else goes out as typed).
//
// The policy is a pure function of the navigation and the view's state: the view (GUI) calls
// DecideNavigation for every navigation, stores the returned state, shows the message boxes in
// order (title "Drovetail", one OK button), purges the cookies, starts the re-post and the inbox
// redirect, and cancels when told. Nothing is logged; the re-post body holds the plain password
// and wipes itself when the decision is destroyed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "browser/AccountPassword.h"
#include "browser/BrowserSites.h"

namespace dtl {

// What the browser control reports before a navigation.
struct NavigationRequest {
  std::string url;
  uint32_t flags = 0;
  std::string targetFrame;
  std::string postData;  // the POST body's bytes; empty for GET
  std::string headers;
};

// The last Walla login that carried a password marker (marker still encoded), kept so the
// session can be logged in again when a download finds it ended. Empty body: nothing saved.
struct SavedWallaLogin {
  std::string body;
  uint32_t flags = 0;
  std::string headers;
};

// The view's state the policy reads.
struct BrowserViewState {
  bool wallaFlag = false;
  bool inboxRedirectFlag = false;
  SavedWallaLogin savedWallaLogin;
  // The current document's cookie string; nullopt when the control holds no document.
  std::optional<std::string> documentCookie;
};

enum class MessageIcon { Error, Information };

struct PolicyMessage {
  std::string text;
  MessageIcon icon = MessageIcon::Error;
};

// A navigation the view starts itself. `body` empty: a GET.
struct BrowserNavigation {
  std::string url;
  uint32_t flags = 0;
  std::string targetFrame;
  std::string headers;
  SecretString body;
};

struct NavigationDecision {
  bool cancel = false;
  std::vector<PolicyMessage> messages;       // to show in this order
  std::optional<BrowserNavigation> repost;   // the login again, with the decoded password
  std::vector<std::string> cookiePurges;     // file-name patterns, in order
  std::optional<std::string> inboxRedirect;  // URL to open (GET, no flags); not a cancel
  // The view's state after this navigation.
  bool wallaFlag = false;
  bool inboxRedirectFlag = false;
  std::optional<SavedWallaLogin> newSavedWallaLogin;  // set when the saved login is replaced
};

// Decides one navigation. Never throws for any input (only std::bad_alloc).
NavigationDecision DecideNavigation(const NavigationRequest& request, const BrowserViewState& state,
                                    const BrowserEndpoints& endpoints = {});

// The table the policy runs, exposed so it can be listed and checked row by row.
enum class RuleTarget { Url, Body };
struct ProviderRule {
  RuleTarget target;
  std::vector<std::string_view> any;  // the row holds when its text contains any of these
  const char* message;                // nullptr: cancel silently
};
struct ProviderBlock {
  std::string_view name;
  std::vector<std::string_view> selectors;  // the block applies when U contains any of these
  bool wallaInboxRedirect = false;
  std::vector<std::string_view> cookiePurges;
  std::vector<ProviderRule> rules;
};
const std::vector<ProviderBlock>& ProviderRuleBlocks();

// The 20 words that make a POST target a mail site; a POST anywhere else is cancelled silently.
const std::vector<std::string_view>& MailSiteKeywords();

// True when `url` is an http or https address whose host is a known provider's login or mail
// host (site::kLoginHosts, a name below one of them, or the host of endpoints.wallaLogin). Only
// a POST to such a host has its password marker decoded; an address the check cannot read
// surely (user name in it, bracketed or encoded host, another scheme) is never one.
bool IsProviderLoginHost(std::string_view url, const BrowserEndpoints& endpoints = {});

// ASCII lower-casing, as the rules compare.
std::string LowerAscii(std::string_view text);

}  // namespace dtl
