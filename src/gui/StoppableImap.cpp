#include "gui/StoppableImap.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>

#include "mail/SocketTransport.h"

namespace dtlui {

namespace {

class StoppableTransport : public dtl::Transport {
 public:
  StoppableTransport(std::unique_ptr<dtl::SocketTransport> inner, std::stop_token stop,
                     std::chrono::milliseconds ioTimeout)
      : inner_(std::move(inner)), stop_(std::move(stop)), ioTimeout_(ioTimeout) {}

  dtl::Status Write(std::string_view data) override { return inner_->Write(data); }

  dtl::Result<size_t> Read(char* buffer, size_t size) override {
    return ReadBefore(buffer, size, std::chrono::steady_clock::now() + ioTimeout_);
  }

  // The wait is cut into short slices: a slice that times out with nothing read leaves the
  // connection as it was (the socket is non-blocking and TLS keeps a partial record), so the
  // next slice goes on where it stopped.
  dtl::Result<size_t> ReadBefore(char* buffer, size_t size,
                                 std::chrono::steady_clock::time_point deadline) override {
    for (;;) {
      if (stop_.stop_requested()) return dtl::Error::Cancelled();
      const auto now = std::chrono::steady_clock::now();
      const auto slice = std::min(deadline, now + kStopCheck);
      auto got = inner_->ReadBefore(buffer, size, slice);
      if (got || got.error().code != dtl::ErrorCode::Timeout ||
          std::chrono::steady_clock::now() >= deadline)
        return got;
    }
  }

  dtl::Status StartTls(bool verify) override { return inner_->StartTls(verify); }
  bool Secure() const override { return inner_->Secure(); }
  void Close() override { inner_->Close(); }

 private:
  std::unique_ptr<dtl::SocketTransport> inner_;
  std::stop_token stop_;
  std::chrono::milliseconds ioTimeout_;
};

}  // namespace

dtl::ImapSession::Connector StoppableImapConnector(std::stop_token stop) {
  return [stop](const dtl::ImapSettings& settings) -> dtl::Result<std::unique_ptr<dtl::Transport>> {
    if (stop.stop_requested()) return dtl::Error::Cancelled();
    dtl::SocketOptions opt;
    opt.connectTimeout = settings.connectTimeout;
    opt.ioTimeout = settings.ioTimeout;
    opt.caFile = settings.caFile;
    if (opt.caFile.empty())
      if (const char* env = std::getenv("DTL_CA_FILE"); env && *env) opt.caFile = env;
    auto socket = std::make_unique<dtl::SocketTransport>(opt);
    // Worded as the session words its own connection failures.
    if (dtl::Status s = socket->Connect(settings.host, settings.port); !s)
      return dtl::Error(s.error().code == dtl::ErrorCode::NotFound ? dtl::ErrorCode::NotFound
                                                                   : dtl::ErrorCode::Network,
                        "could not connect to the IMAP server " + settings.host + ":" +
                            std::to_string(settings.port) + ": " + s.error().message);
    return std::unique_ptr<dtl::Transport>(
        std::make_unique<StoppableTransport>(std::move(socket), stop, settings.ioTimeout));
  };
}

}  // namespace dtlui
