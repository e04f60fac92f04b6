// The web-mail providers the receiving side knows: how a page URL is recognised, the URL
// templates of their inbox listings, message pages and attachments, the text markers the
// crawler looks for, and the fixed hosts and page markers. This table is the one place these
// values live; the crawler, the download engine and the inner browser use the same ids.
//
// Templates are printf formats with only %s and %d conversions, filled with FormatUrl(). "%s"
// as the host means the host part of the page URL unless the entry says it uses a fixed host.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace dtl {

// Provider ids (8, 10 and 13 are not used).
inline constexpr int32_t kProviderUnknown = -1;  // a page of no provider the table knows
inline constexpr int32_t kProviderGmail = 0;
inline constexpr int32_t kProviderYahoo = 1;
inline constexpr int32_t kProviderWalla = 2;
inline constexpr int32_t kProviderGawab = 3;
inline constexpr int32_t kProviderOmnilect = 4;
inline constexpr int32_t kProviderUnitedEmail = 5;
inline constexpr int32_t kProviderSpymac = 6;
inline constexpr int32_t kProviderXasamail = 7;
inline constexpr int32_t kProviderHriders = 9;
inline constexpr int32_t kProviderNetscape = 11;
inline constexpr int32_t kProviderO2 = 12;
inline constexpr int32_t kProviderLycos = 14;

// Fixed hosts.
inline constexpr char kGmailMailHost[] =
    "https://mail.google.com/mail/";  // Gmail's listing and attachment 0.1
inline constexpr char kWallaMailHost[] =
    "http://mail.walla.com";  // Walla's listing and message pages
inline constexpr char kWallaAttachHost[] =
    "http://attach.walla.com/";  // start of Walla's attachment links
// Text of a provider page where an attachment was expected (download engine, ids 1 and 2).
inline constexpr char kYahooPageMarker[] =
    "yahoo.";  // a host fragment of the provider, 6 characters
inline constexpr char kWallaPageMarker[] = "walla.com";  // the provider's domain, 9 characters
// A Walla listing or message page holding this is the login page: the session has ended.
inline constexpr char kWallaLoginMarker[] = "@login.commit";

// How the listing continues after a page.
enum class Paging {
  None,         // one listing page
  Gmail,        // "?st=" offsets, see the crawler
  NextNumber,   // page n+1 (numbered from 0) while the page holds pagingMarker with n+1
  LycosNumber,  // first page, then pages 2, 3, ... of listingNext while it holds pagingMarker with
                // the number
  NetscapeStart,  // while the page holds pagingMarker with (ids so far + 1), fetch listingNext with
                  // that text
  O2Path,  // while the page holds pagingMarker with the next number (from 1), fetch "http://host" +
           // that text
  StartLinks,    // the next link holding pagingMarker with a larger number (Xasamail)
  NextPageLink,  // the link holding pagingMarker, relative to host:port (Hriders)
};

// How identifiers are read from a listing page.
enum class IdRule {
  AfterMarker,  // the text after idMarker up to the first of idEnd's characters
  LinkHolding,  // the link (between double quotes) holding idMarker (Hriders)
};

// What an identifier must look like to be kept.
enum class IdFilter { Any, LongerThan5, PositiveNumber };

// How a message yields its attachment name(s) and key(s).
enum class NameRule {
  GmailThread,       // see the crawler
  Disposition,       // name from the Content-Disposition of the message request's headers; key by
                     // keyIsId
  GawabDisposition,  // as Disposition with mime id "1.2", again with "1.2.1.2" when that names
                     // "message.dat"; key: the URL
  WallaLink,  // first link starting with kWallaAttachHost, URL-unescaped; name after "&filename=";
              // key: the link
  NameAndMime,  // name after the first nameMarker up to '"'; key from the first keyMarker up to '"'
  QuotedLinkFileName,  // first link holding nameMarker (between double quotes); name between the
                       // '/' after the marker and the next '?'
  PathAfterMarker,     // first path starting with nameMarker, up to '"'; name after its last '/'
  QuotedLinkLastPart,  // first link holding nameMarker (between double quotes); name after its last
                       // '/'
  LycosLink,  // link holding nameMarker between double quotes; name after keyMarker up to '&', '+'
              // read as blank
};

struct ProviderInfo {
  int32_t id;
  const char* name;
  // The provider's domains (one or two; second may be null): a page whose host is one of them
  // or a name below one belongs to the provider.
  const char* domains[2];
  const char* listing;      // first listing page
  const char* listingNext;  // later listing pages (null: listing with the page number)
  Paging paging;
  const char* pagingMarker;  // printf text searched for the next page (null: none)
  IdRule idRule;
  const char* idMarker;
  const char* idEnd;  // characters that end an identifier
  IdFilter idFilter;
  const char* message;  // per-message request (null: the identifier is the page's link)
  bool messageHeaders;  // the message request reads response headers only
  NameRule nameRule;
  const char* nameMarker;
  const char* keyMarker;
  bool keyIsId;        // the key is the identifier itself (a refresh can skip by key)
  bool skipKnownKeys;  // a refresh skips identifiers equal to a key already listed
  // Download URL from the host and the key (Disposition keys add the five random digits for
  // Yahoo); null: the key is the whole URL.
  const char* download;
  const char* pageMarker;  // provider page in place of an attachment (null: no check)
};

// The providers in table order: Gmail, Yahoo, Walla, Omnilect, United Email Systems, Spymac,
// Xasamail, Hriders, Netscape, o2, Lycos, Gawab.
std::span<const ProviderInfo> Providers();
// The entry of `id`, or null for an id not in the table (8, 10, 13, ...).
const ProviderInfo* FindProvider(int32_t id);

// The provider of a page URL, by the URL's host alone (as libcurl parses it, lower-case, without
// port or trailing dot): the provider one of whose domains the host is or lies below.
// kProviderUnknown for every other page, also one whose path or query names a provider.
int32_t RecognizeProvider(std::string_view pageUrl);
// The hosts a page's session cookie string is stored for: the page's own host, and when that
// host belongs to `providerId`, the fixed hosts the table names for that provider (Gmail's mail
// host; Walla's mail and attachment hosts). Lower-case, no duplicates, page host first; empty
// when the page URL has no host.
std::vector<std::string> SessionHosts(int32_t providerId, std::string_view pageUrl);
// The page URL up to, not including, its first '?' (Gawab's page base).
std::string PageBase(std::string_view pageUrl);

// printf into a string; the arguments must match the template's conversions. Identifiers and
// keys from pages are always arguments, never part of a format.
std::string FormatUrl(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Five random decimal digits, each 0 to 8, from `random` (Yahoo's YY value, Hriders' script name).
std::string RandomDigits(const std::function<uint32_t()>& random);

}  // namespace dtl
