// Helper of bench/send_engine.sh: runs the send engine over one file to an SMTP server on
// loopback and prints "total_s S" (the whole run: cutting, packing, rendering, delivering).
// With --render DIR it first runs the same job once more without a network, writing each
// rendered segment mail to DIR/msg-N.eml (untimed), so another mailer can deliver the same
// messages.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>

#include "base/SettingsStore.h"
#include "send/SendDocument.h"

namespace {

class Waiter : public dtl::SendEngineObserver {
 public:
  void OnSendEvent(const dtl::SendEvent& e) override {
    if (e.kind == dtl::SendEventKind::FailedRetrying) failed_ = true;
    if (e.kind != dtl::SendEventKind::WorkerLeft) return;
    std::lock_guard<std::mutex> lock(mu_);
    done_ = true;
    cv_.notify_all();
  }
  void Wait() {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [&] { return done_; });
    done_ = false;
  }
  bool failed_ = false;

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool done_ = false;
};

bool RunOnce(dtl::SendDocument& doc, const dtl::SendRequest& request,
             const dtl::SendEnvironment& env, Waiter& waiter) {
  if (!doc.BuildSplitJob(request) || !doc.StartRun(waiter, env)) return false;
  waiter.Wait();
  doc.Wait();
  return !waiter.failed_;
}

}  // namespace

int main(int argc, char** argv) {
  std::string file, render;
  int port = 0;
  uint64_t segment = 10'000'000;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--file"))
      file = argv[i + 1];
    else if (!std::strcmp(argv[i], "--port"))
      port = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--segment-size"))
      segment = std::strtoull(argv[i + 1], nullptr, 10);
    else if (!std::strcmp(argv[i], "--render"))
      render = argv[i + 1];
  }
  if (file.empty() || port <= 0) {
    std::fprintf(stderr,
                 "usage: send_engine_bench --file F --port N [--segment-size B] [--render DIR]\n");
    return 2;
  }
  const std::filesystem::path work =
      std::filesystem::temp_directory_path() / ("dtl-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(work);
  dtl::SettingsStore settings(work / "settings.reg");
  settings.SetString("SMTPServer", "127.0.0.1");
  settings.SetDword("SMTPPort", static_cast<uint32_t>(port));
  dtl::SendDocument doc(settings);
  dtl::SendRequest request;
  request.files = {{file, std::filesystem::file_size(file)}};
  request.fileText = file;
  request.mailTo = "sink@example.test";
  request.from = "bench@example.test";
  request.method = dtl::SendMethod::SmtpServer;
  request.segmentSize = segment;
  dtl::SendEnvironment env;
  env.errorLogFolder = work.string() + "/";
  Waiter waiter;

  if (!render.empty()) {
    dtl::SendEnvironment capture = env;
    int n = 0;
    capture.deliver = [&](const dtl::SmtpSettings&, const dtl::SmtpEnvelope&, std::string_view wire,
                          dtl::MailProgress*, std::stop_token,
                          dtl::SmtpAttemptReport&) -> dtl::Status {
      std::ofstream(render + "/msg-" + std::to_string(++n) + ".eml", std::ios::binary)
          .write(wire.data(), static_cast<std::streamsize>(wire.size()));
      return {};
    };
    if (!RunOnce(doc, request, capture, waiter)) return 1;
  }
  const auto t0 = std::chrono::steady_clock::now();
  const bool ok = RunOnce(doc, request, env, waiter);
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::filesystem::remove_all(work);
  if (!ok) {
    std::fprintf(stderr, "send_engine_bench: a delivery failed\n");
    return 1;
  }
  std::printf("total_s %.3f\n", s);
  return 0;
}
