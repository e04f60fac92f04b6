// What the two ways of `dtl fetch` (a web-mail page, an IMAP folder) share on the terminal: the
// download's and the merge's progress and messages, the replace answers of the command line,
// the failure line and the interrupt that stops a run.
#pragma once

#include <cstdint>
#include <set>
#include <stop_token>
#include <string>
#include <vector>

#include "archive/MergeJob.h"
#include "receive/DownloadEngine.h"

namespace dtlcli {

class TerminalProgress;

// The download's and the merge's events as progress on `bar` and "dtl fetch: ..." lines on
// stderr. `bar` must outlive the events. `segmentAnswer` answers every question about a segment
// file that exists; `outputAnswer` is the command line's answer for a rebuilt file whose name
// is taken: OverwriteAll (--overwrite) replaces it, SkipAll (--skip-existing) keeps it, anything
// else refuses it (kept, named on stderr, and Refused() is true).
class FetchEvents : public dtl::DownloadObserver, public dtl::MergeObserver {
 public:
  FetchEvents(TerminalProgress& bar, dtl::ReplaceMode segmentAnswer, dtl::ReplaceMode outputAnswer);

  void OnOverallRange(size_t items) override;
  void OnItemStarted(size_t, const std::string& fileName) override;
  void OnOverallStep() override;
  void OnRetryWait(size_t, const std::string& reason, std::chrono::milliseconds wait) override;
  // The pause line says when it goes on by itself: no retry wait is added to it.
  void OnPaused(size_t, const std::string& status, std::chrono::milliseconds) override {
    Say(status);
  }
  void OnItemDone(const std::string&) override;
  dtl::ReplaceMode ConfirmReplace(const std::string&) override;
  dtl::ReplaceMode ConfirmOutputReplace(const std::string& name) override;
  void OnMessage(const std::string& text) override;  // both the download's and the merge's
  void OnFileName(const std::string& text) override;
  void OnProgressRange(uint16_t total) override;
  void OnStep() override;
  // "dtl fetch: repaired NAME, NAME from the recovery data".
  void OnRepaired(const std::vector<std::string>& segmentNames) override;

  // The rebuilt files' names (without folder) whose existing file was kept, refused or not.
  const std::set<std::string>& KeptOutputs() const { return kept_; }
  // A rebuilt file was refused for want of --overwrite or --skip-existing: the run fails.
  bool Refused() const { return refused_; }

 protected:
  // "dtl fetch: TEXT" on stderr, on a line of its own below the progress bar.
  void Say(const std::string& text);

 private:
  TerminalProgress& bar_;
  const dtl::ReplaceMode segmentAnswer_, outputAnswer_;
  uint64_t items_ = 0, merged_ = 0;
  std::string lastReason_;
  std::set<std::string> kept_;
  bool refused_ = false;
};

// "5 blocks", "1 block": the recovery blocks a listing shows.
std::string BlocksText(uint64_t blocks);

// Prints "dtl fetch: TEXT" on stderr and gives the failure exit status.
int FetchFail(const std::string& text);

// Starts a run's stop: from here on SIGINT and SIGTERM request a stop of the returned token
// (the run ends at its next check, not in the handler). Each call starts a fresh stop.
std::stop_token StopOnInterrupt();

}  // namespace dtlcli
