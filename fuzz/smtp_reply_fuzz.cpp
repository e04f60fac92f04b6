// The SMTP client's reply reader and dialogue against a server whose every byte comes from the
// fuzz input, over an in-memory transport: greeting, EHLO/HELO, STARTTLS, the three logins
// (the CRAM-MD5 challenge is decoded from the reply), the envelope, DATA and QUIT.
//
// Input: a flags byte, a read-size byte, then the server's byte stream. Flags: bit 0 implicit
// TLS; bits 1-2 the STARTTLS mode (3: none, and the login of bit 4 is OAuth2 with an access
// token instead of the password, reaching the bearer-token exchanges and the error challenge's
// reader); bit 3 the TLS handshake succeeds; bit 4 log in; bit 5 writes fail after the first
// few; bit 6 only the greeting check; bit 7 a stop is requested at the client's third write.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>

#include "mail/ErrorLog.h"
#include "mail/MailProgress.h"
#include "mail/SmtpAuth.h"
#include "mail/SmtpClient.h"
#include "mail/Transport.h"

namespace {

constexpr std::string_view kUser = "fuzz-user@example.org";
constexpr std::string_view kPassword = "Pw-9f3c1e77";
constexpr std::string_view kToken = "ya29.Tok-5d2a8c";

struct Script {
  std::string_view bytes;
  size_t pos = 0;
  size_t readSize = 1;
  bool tlsWorks = false;
  int writesLeft = -1;  // -1: writes never fail
  int stopAtWrite = 0;  // 0: never
  std::stop_source stop;
  std::string written;  // everything the client sent
};

class ScriptTransport final : public dtl::Transport {
 public:
  explicit ScriptTransport(Script& s) : s_(s) {}
  dtl::Status Write(std::string_view data) override {
    if (s_.stopAtWrite > 0 && --s_.stopAtWrite == 0) s_.stop.request_stop();
    if (closed_ || s_.writesLeft == 0) return Failure();
    if (s_.writesLeft > 0) --s_.writesLeft;
    s_.written.append(data.substr(0, 4096));
    return {};
  }
  dtl::Result<size_t> Read(char* buffer, size_t size) override {
    if (closed_) return Failure();
    if (size == 0) std::abort();  // the reader must always offer room
    size_t n = std::min({size, s_.readSize, s_.bytes.size() - s_.pos});
    std::copy_n(s_.bytes.data() + s_.pos, n, buffer);
    s_.pos += n;
    return n;
  }
  dtl::Status StartTls(bool) override {
    if (closed_) std::abort();  // a handshake is never tried on a closed connection
    secure_ = s_.tlsWorks;
    if (!secure_) return Failure();
    return {};
  }
  bool Secure() const override { return secure_; }
  void Close() override { closed_ = true; }
  static dtl::Error Failure() { return dtl::Error(dtl::ErrorCode::Network, "scripted failure"); }

 private:
  Script& s_;
  bool closed_ = false;
  bool secure_ = false;
};

class CheckedProgress final : public dtl::MailProgress {
 public:
  void SendProgress(int percent) override {
    if (percent < 0 || percent > 100) std::abort();
  }
  void ReadProgress(int percent) override {
    if (percent < 0 || percent > 100) std::abort();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dtl;
  if (size < 2) return 0;
  const uint8_t flags = data[0];
  Script script;
  script.readSize = 1 + data[1] % 64;
  script.bytes = std::string_view(reinterpret_cast<const char*>(data + 2), size - 2);
  script.tlsWorks = flags & 8;
  script.writesLeft = (flags & 32) ? 3 : -1;

  SmtpSettings settings;
  settings.host = "mx.example.org";
  settings.ssl = flags & 1;
  settings.startTls = static_cast<StartTlsMode>(((flags >> 1) & 3) % 3);
  settings.localHostName = "client.example.org";
  const bool oauth = ((flags >> 1) & 3) == 3;
  int tokensAsked = 0;
  if (flags & 16) {
    settings.user = kUser;
    settings.password = kPassword;
    if (oauth)
      settings.accessToken = [&tokensAsked](bool renew) -> Result<std::string> {
        // Asked once, then at most once more with renew set.
        if (++tokensAsked > 2 || renew != (tokensAsked == 2)) std::abort();
        return std::string(kToken);
      };
  }
  script.stopAtWrite = (flags & 128) ? 3 : 0;
  CheckedProgress progress;
  SmtpClient client(settings, &progress, script.stop.get_token());
  int connects = 0;
  client.SetConnector([&](const SmtpSettings&) -> Result<std::unique_ptr<Transport>> {
    if (++connects > 3) return Error(ErrorCode::Network, "refused");
    return std::unique_ptr<Transport>(std::make_unique<ScriptTransport>(script));
  });

  if (flags & 64) {
    (void)client.VerifySmtpConnection();
  } else {
    SmtpEnvelope envelope{"from@example.org", {"a@example.org", "b@example.net"}};
    (void)client.SendMessage(envelope, "Subject: x\r\n\r\n.line\r\n..\r\n.\r\nend");
  }
  // A failed opportunistic STARTTLS reconnects once, never more.
  if (connects > 2) std::abort();

  // The log (written out as the error log after a failure) never holds the password, in plain
  // or in the base64 the logins send, and survives whatever text the server sent.
  const std::string xml = MailLogToXml(client.LastLog());
  // (A server that says the password itself is quoted, so such scripts are not checked.)
  for (const std::string& secret :
       {std::string(kPassword), Base64Encode(kPassword),
        Base64Encode(PlainAuthBlob(kUser, kPassword)), std::string(kToken),
        Base64Encode(XOAuth2Blob(kUser, kToken)),
        Base64Encode(OAuthBearerBlob(kUser, settings.host, settings.port, kToken))})
    if (xml.find(secret) != std::string::npos &&
        script.bytes.find(secret) == std::string_view::npos)
      std::abort();
  return 0;
}
