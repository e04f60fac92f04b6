// A send-engine observer for tests: keeps every event, applies it to the document as the frame
// would, lets a test act on an event from the worker (to press Stop at an exact moment), and
// lets the test thread wait for the worker's last event without sleeping. SendRunTest is the
// fixture around it: a private folder, settings, the document and a source file to send.
#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "base/SettingsStore.h"
#include "send/SendDocument.h"
#include "send/SendEngine.h"
#include "support/TestSupport.h"

namespace dtltest {

class SendEventLog : public dtl::SendEngineObserver {
 public:
  explicit SendEventLog(dtl::SendDocument* doc = nullptr) : doc_(doc) {}

  void OnSendEvent(const dtl::SendEvent& e) override {
    if (doc_) doc_->ApplyEngineEvent(e);
    if (onEvent) onEvent(e);
    std::lock_guard<std::mutex> lock(mu_);
    events_.push_back(e);
    if (e.kind == dtl::SendEventKind::WorkerLeft) cv_.notify_all();
  }

  // Waits until the worker has left `runs` times in all.
  void WaitForRuns(size_t runs) {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [&] { return Count(dtl::SendEventKind::WorkerLeft) >= runs; });
  }

  std::vector<dtl::SendEvent> Events() const {
    std::lock_guard<std::mutex> lock(mu_);
    return events_;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mu_);
    events_.clear();
  }
  // The status texts in order, each prefixed with its position ("0:Sending Segment...").
  std::vector<std::string> Statuses() const {
    std::vector<std::string> out;
    for (const auto& e : Events())
      if (e.kind == dtl::SendEventKind::Status)
        out.push_back(std::to_string(e.position) + ":" + e.text);
    return out;
  }
  size_t CountOf(dtl::SendEventKind kind) const {
    std::lock_guard<std::mutex> lock(mu_);
    return Count(kind);
  }
  // Positions of the events of one kind, in order.
  std::vector<int> Positions(dtl::SendEventKind kind) const {
    std::vector<int> out;
    for (const auto& e : Events())
      if (e.kind == kind) out.push_back(e.position);
    return out;
  }

  // Runs on the worker thread for every event, before it is recorded.
  std::function<void(const dtl::SendEvent&)> onEvent;

 private:
  size_t Count(dtl::SendEventKind kind) const {
    size_t n = 0;
    for (const auto& e : events_) n += e.kind == kind;
    return n;
  }

  dtl::SendDocument* doc_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::vector<dtl::SendEvent> events_;
};

class SendRunTest : public ::testing::Test {
 protected:
  SendRunTest() : settings_(dir_ / "settings.reg"), doc_(settings_) {
    std::filesystem::create_directories(temp_);
    env_.tempFolder = temp_;
    env_.errorLogFolder = dir_.path().string() + "/";
    env_.pause = std::chrono::milliseconds(1);
    // Retry waits are recorded, not slept; a stop still ends one, as the real wait does.
    env_.wait = [this](std::chrono::milliseconds delay, std::stop_token stop) {
      std::lock_guard<std::mutex> lock(waitMutex_);
      waits_.push_back(delay);
      return !stop.stop_requested();
    };
    env_.settings = &settings_;
  }

  // A source file `name` of `size` bytes and a request to mail it in 10000-byte segments.
  dtl::SendRequest Request(size_t size, dtl::SendMethod method,
                           const std::string& to = "one@a.test", const std::string& name = "x") {
    source_ = RandomBytes(size, 7, true);
    WriteFileBytes(dir_ / name, source_);
    dtl::SendRequest r;
    r.files = {{(dir_ / name).string(), size}};
    r.fileText = r.files[0].path;
    r.mailTo = to;
    r.from = "me@example.com";
    r.method = method;
    r.position = 1;
    return r;
  }

  // Presses Send and waits until the worker has left `runs` times in all.
  void Run(size_t runs = 1) {
    ASSERT_TRUE(doc_.StartRun(log_, env_));
    log_.WaitForRuns(runs);
    doc_.Wait();
  }

  std::vector<std::chrono::milliseconds> Waits() {
    std::lock_guard<std::mutex> lock(waitMutex_);
    return waits_;
  }

  std::mutex waitMutex_;
  std::vector<std::chrono::milliseconds> waits_;
  TempDir dir_;
  std::filesystem::path temp_ = dir_ / "tmp";
  dtl::SettingsStore settings_;
  dtl::SendDocument doc_;
  SendEventLog log_{&doc_};
  dtl::SendEnvironment env_;
  std::vector<uint8_t> source_;
};

}  // namespace dtltest
