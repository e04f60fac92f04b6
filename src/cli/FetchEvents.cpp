#include "cli/FetchEvents.h"

#include <csignal>
#include <cstdio>
#include <filesystem>

#include "base/RetryBackoff.h"
#include "cli/CommandLine.h"
#include "cli/TerminalProgress.h"

namespace dtlcli {

namespace {

// Nothing registers a std::stop_callback on this source, so request_stop() never waits for a
// lock the interrupted thread could hold.
std::stop_source gStop;
extern "C" void OnFetchInterrupt(int) { gStop.request_stop(); }

}  // namespace

FetchEvents::FetchEvents(TerminalProgress& bar, dtl::ReplaceMode segmentAnswer,
                         dtl::ReplaceMode outputAnswer)
    : bar_(bar), segmentAnswer_(segmentAnswer), outputAnswer_(outputAnswer) {}

void FetchEvents::OnOverallRange(size_t items) { bar_.SetTotal(items); }

void FetchEvents::OnItemStarted(size_t, const std::string& fileName) {
  bar_.SetLabel("Downloading " + fileName);
}

void FetchEvents::OnOverallStep() { bar_.Update(++items_); }

void FetchEvents::OnRetryWait(size_t, const std::string& reason, std::chrono::milliseconds wait) {
  // A retry at once is said once per item and reason; a wait is said each time, and the
  // back-off keeps those lines to one a minute at most.
  if (wait.count() == 0 && reason == lastReason_) return;
  lastReason_ = reason;
  Say(dtl::RetryStatus(reason, wait));
}

void FetchEvents::OnItemDone(const std::string&) { lastReason_.clear(); }

dtl::ReplaceMode FetchEvents::ConfirmReplace(const std::string&) { return segmentAnswer_; }

dtl::ReplaceMode FetchEvents::ConfirmOutputReplace(const std::string& name) {
  if (outputAnswer_ == dtl::ReplaceMode::OverwriteAll) return outputAnswer_;
  kept_.insert(name);
  if (outputAnswer_ == dtl::ReplaceMode::SkipAll) return outputAnswer_;
  refused_ = true;
  Say(name + " exists; give --overwrite to replace it or --skip-existing to keep it");
  return dtl::ReplaceMode::Skip;
}

void FetchEvents::OnMessage(const std::string& text) { Say(text); }

void FetchEvents::OnFileName(const std::string& text) {
  bar_.SetLabel("Merging " + std::filesystem::path(text).filename().string());
  merged_ = 0;
}

void FetchEvents::OnProgressRange(uint16_t total) {
  bar_.SetTotal(total);
  bar_.Update(0);
}

void FetchEvents::OnStep() { bar_.Update(++merged_); }

void FetchEvents::OnRepaired(const std::vector<std::string>& segmentNames) {
  if (segmentNames.empty()) return;
  std::string names;
  for (const std::string& n : segmentNames) names += (names.empty() ? "" : ", ") + n;
  Say("repaired " + names + " from the recovery data");
}

void FetchEvents::Say(const std::string& text) {
  bar_.Finish();
  std::fprintf(stderr, "dtl fetch: %s\n", text.c_str());
}

std::string BlocksText(uint64_t blocks) {
  return std::to_string(blocks) + (blocks == 1 ? " block" : " blocks");
}

int FetchFail(const std::string& text) {
  std::fprintf(stderr, "dtl fetch: %s\n", text.c_str());
  return kExitFailure;
}

std::stop_token StopOnInterrupt() {
  gStop = std::stop_source();
  struct sigaction sa {};
  sa.sa_handler = OnFetchInterrupt;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  return gStop.get_token();
}

}  // namespace dtlcli
