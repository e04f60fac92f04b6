// A scripted IMAP server for the answers a real one will not give (a BYE mid-fetch, a cut or
// absurd literal, silence), played over LoopbackPeer, and the transport that lets the session
// talk to it as though TLS were up.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "mail/SocketTransport.h"
#include "receive/ImapSession.h"
#include "support/LoopbackPeer.h"

namespace dtltest {

// A real socket to the scripted peer that takes its TLS handshake as done: the peer speaks
// plain text, and what is under test is the session's reading, not TLS.
class PretendTls final : public dtl::Transport {
 public:
  explicit PretendTls(std::unique_ptr<dtl::SocketTransport> s) : s_(std::move(s)) {}
  dtl::Status Write(std::string_view d) override { return s_->Write(d); }
  dtl::Result<size_t> Read(char* b, size_t n) override { return s_->Read(b, n); }
  dtl::Result<size_t> ReadBefore(char* b, size_t n,
                                 std::chrono::steady_clock::time_point t) override {
    return s_->ReadBefore(b, n, t);
  }
  dtl::Status StartTls(bool) override {
    secure_ = true;
    return {};
  }
  bool Secure() const override { return secure_; }
  void Close() override { s_->Close(); }

 private:
  std::unique_ptr<dtl::SocketTransport> s_;
  bool secure_ = false;
};

// The session's connector for a scripted peer: a loopback socket with the settings' time-out,
// wrapped in PretendTls.
inline dtl::ImapSession::Connector PretendTlsConnector() {
  return [](const dtl::ImapSettings& s) -> dtl::Result<std::unique_ptr<dtl::Transport>> {
    auto socket = std::make_unique<dtl::SocketTransport>(
        dtl::SocketOptions{std::chrono::milliseconds(5000), s.ioTimeout, ""});
    if (auto c = socket->Connect(s.host, s.port); !c) return c.error();
    return std::unique_ptr<dtl::Transport>(std::make_unique<PretendTls>(std::move(socket)));
  };
}

// One server's script. Each connection gets the greeting, then for each command the first
// answer whose key starts the command (the tag taken off), "" matching any; the first
// connection looks in `firstAnswers` before `answers` (a fault that a retry must get past).
// "{TAG}" in an answer becomes the command's tag. An answer ending in "<close>" closes the
// connection after what stands before it; "<hold>" keeps the connection open, silent, until
// the client leaves. No answer: "{TAG} BAD unknown". Commands seen are recorded. Scripts that
// log in should offer no AUTH= mechanism, so the session uses the LOGIN command.
struct ImapScript {
  using Answers = std::vector<std::pair<std::string, std::string>>;
  std::string greeting;
  Answers answers, firstAnswers;

  // Plays one connection; false when it ended (the client or the script closed it), which
  // LoopbackPeer takes as "accept no more": a peer that serves retries ignores it.
  bool Serve(int fd) {
    const bool first = connections_++ == 0;
    SendAll(fd, greeting);
    std::string buf;
    for (;;) {
      auto line = ReadUntil(fd, buf, "\r\n");
      if (!line) return false;
      const size_t blank = line->find(' ');
      const std::string tag = line->substr(0, blank);
      const std::string command = blank == std::string::npos ? "" : line->substr(blank + 1);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        seen_.push_back(*line);
      }
      std::string answer = Find(first ? firstAnswers : Answers{}, command)
                               .value_or(Find(answers, command).value_or("{TAG} BAD unknown\r\n"));
      for (size_t at; (at = answer.find("{TAG}")) != std::string::npos;) answer.replace(at, 5, tag);
      const bool close = answer.ends_with("<close>"), hold = answer.ends_with("<hold>");
      if (close || hold) answer.resize(answer.size() - (close ? 7 : 6));
      if (!SendAll(fd, answer) || close) return false;
      if (hold) {
        char c;
        while (recv(fd, &c, 1, 0) > 0) {
        }
        return false;
      }
    }
  }
  // The command lines seen so far, tags included.
  std::vector<std::string> Seen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }
  int connections() const { return connections_; }

 private:
  static std::optional<std::string> Find(const Answers& list, const std::string& command) {
    for (const auto& [key, a] : list)
      if (command.rfind(key, 0) == 0) return a;
    return std::nullopt;
  }

  std::mutex mutex_;
  std::vector<std::string> seen_;
  std::atomic<int> connections_{0};
};

}  // namespace dtltest
