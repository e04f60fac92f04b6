// A one-line progress bar on stderr, drawn only when stderr is a terminal (scripts and tests
// see nothing but the final messages). Thread-safe: workers may call Update() directly.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

namespace dtlcli {

class TerminalProgress {
 public:
  explicit TerminalProgress(std::string label);
  ~TerminalProgress();  // finishes the line

  void SetLabel(std::string label);
  void SetTotal(uint64_t total);
  void Update(uint64_t done);
  void Finish();  // ends the bar's line, if one was drawn
  // A whole line above the bar (a pause the label's few columns could not hold); the bar is
  // drawn again below it. Only when enabled.
  void Note(const std::string& line);

  bool Enabled() const { return enabled_; }

 private:
  void DrawLocked();
  std::mutex mu_;
  std::string label_;
  uint64_t total_ = 0, done_ = 0;
  bool enabled_ = false, drawn_ = false;
  int lastPermille_ = -1;
};

}  // namespace dtlcli
