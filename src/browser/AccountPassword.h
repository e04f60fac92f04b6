// The account-password marker: a mailbox password encrypted with a key built into the program,
// written as "(#BASE64#)" (or "($BASE64$)" for SSL servers), which a user types into a login
// form instead of the password. The navigation policy decodes it inside the login request only,
// so its holder never sees the password.
//
// Schemes: 160, 150 and 148 encrypt with DES (ECB, the segment archive's DES layout: the
// password, zero bytes up to a multiple of 8, then one more block whose last byte is the pad
// count); 143, 141, 14 and 13 XOR the password with their key. Every scheme has a plain and an
// SSL key; the export writes scheme 160 only, the others are still accepted when decoding.
//
// Nothing here logs or keeps a password. Decoded passwords come back in a SecretString, which
// overwrites its bytes when it goes away. All functions are thread-safe and never throw for any
// input (only std::bad_alloc).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace dtl {

// The longest plain password the export takes, in characters (UTF-8 sequences count once).
inline constexpr size_t kMaxAccountPasswordChars = 50;

// A string that wipes its bytes (OPENSSL_cleanse) when destroyed or cleared. Move-only, so a
// secret is never silently copied; Reserve before appending so growth leaves no stale copy.
class SecretString {
 public:
  SecretString() = default;
  explicit SecretString(std::string_view text);
  SecretString(SecretString&& other) noexcept;
  SecretString& operator=(SecretString&& other) noexcept;
  SecretString(const SecretString&) = delete;
  SecretString& operator=(const SecretString&) = delete;
  ~SecretString();

  void Reserve(size_t n) { text_.reserve(n); }
  void Append(std::string_view more) { text_.append(more); }
  void Clear();
  std::string_view View() const { return text_; }
  const std::string& Str() const { return text_; }
  bool Empty() const { return text_.empty(); }
  size_t Size() const { return text_.size(); }

 private:
  std::string text_;
};

// Overwrites a string's bytes and empties it.
void WipeString(std::string& s);

// The Base64 text (no brackets) of `plain` encrypted under scheme `scheme` (one of 13, 14, 141,
// 143, 148, 150, 160) and its plain or SSL key. Empty for an empty password or an unknown
// scheme. The export uses scheme 160; the other schemes are here so older markers can be made
// for checking the decoder.
std::string EncryptAccountPassword(std::string_view plain, int scheme, bool ssl);

// The marker the export writes: "(#%s#)" or, with `ssl`, "($%s$)" around the scheme-160 text.
// Empty when the password is empty or longer than kMaxAccountPasswordChars.
std::string ExportAccountPassword(std::string_view plain, bool ssl);

// Decodes a marker's inner text as it stands in a urlencoded POST body: percent escapes are
// undone ("+" stays "+"), characters outside the Base64 alphabet are skipped, then the scheme's
// key of the given variant decrypts. A damaged marker yields some text that is not the password
// (often empty), never an error; an unknown scheme yields an empty result.
SecretString DecodeAccountPassword(std::string_view encodedInner, int scheme, bool ssl);

// The two decoding steps on their own. Percent escapes that are not two hex digits are kept as
// they stand.
std::string UrlUnescapeKeepPlus(std::string_view text);
// Standard Base64 that skips every character outside "A-Za-z0-9+/" ("=" too); a last group of
// two or three characters gives one or two bytes, a lone last character is dropped.
std::string Base64DecodeSkippingForeign(std::string_view text);

}  // namespace dtl
