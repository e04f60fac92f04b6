#include "mail/TransferDecoder.h"

namespace dtl {

namespace {

class PassThrough final : public TransferDecoder {
 public:
  void Feed(std::string_view chunk, std::string& out) override { out.append(chunk); }
  Status Finish(std::string&) override { return {}; }
};

}  // namespace

std::unique_ptr<TransferDecoder> TransferDecoder::For(std::string_view) {
  return std::make_unique<PassThrough>();
}

}  // namespace dtl
