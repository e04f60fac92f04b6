// Decoding a MIME part's body from its transfer encoding as the bytes arrive, chunk by chunk,
// so that a body of any size passes through a small buffer: the IMAP receive streams each
// attachment to disk through one of these.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "base/Error.h"

namespace dtl {

class TransferDecoder {
 public:
  // A decoder for `encoding` (Content-Transfer-Encoding, any case): "base64",
  // "quoted-printable"; anything else ("7bit", "8bit", "binary", "", unknown) passes the
  // bytes through unchanged.
  static std::unique_ptr<TransferDecoder> For(std::string_view encoding);
  virtual ~TransferDecoder() = default;
  // Decodes the next chunk and appends what it gives to `out`. A chunk may end anywhere (in
  // the middle of a base64 quantum, an "=XX" escape or a CRLF). Base64 skips line breaks and
  // other characters outside its alphabet; quoted-printable keeps a malformed escape as it
  // stands, as mail readers do.
  virtual void Feed(std::string_view chunk, std::string& out) = 0;
  // The end of the body: appends what is still held. Corrupt for a base64 body that ends in
  // the middle of a quantum with a lone leftover character.
  virtual Status Finish(std::string& out) = 0;
};

}  // namespace dtl
