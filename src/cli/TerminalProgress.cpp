#include "cli/TerminalProgress.h"

#include <unistd.h>

#include <cstdio>

namespace dtlcli {

TerminalProgress::TerminalProgress(std::string label) : label_(std::move(label)) {
  enabled_ = isatty(STDERR_FILENO) == 1;
}

TerminalProgress::~TerminalProgress() { Finish(); }

void TerminalProgress::SetLabel(std::string label) {
  std::lock_guard lock(mu_);
  label_ = std::move(label);
  lastPermille_ = -1;
  DrawLocked();
}

void TerminalProgress::SetTotal(uint64_t total) {
  std::lock_guard lock(mu_);
  total_ = total;
  lastPermille_ = -1;
  DrawLocked();
}

void TerminalProgress::Update(uint64_t done) {
  std::lock_guard lock(mu_);
  done_ = done;
  DrawLocked();
}

void TerminalProgress::Finish() {
  std::lock_guard lock(mu_);
  if (drawn_) std::fputc('\n', stderr);
  drawn_ = false;
}

void TerminalProgress::Note(const std::string& line) {
  std::lock_guard lock(mu_);
  if (!enabled_) return;
  // Over the bar's line (cleared to its end), then the bar again on a fresh line.
  std::fprintf(stderr, "\r%s\033[K\n", line.c_str());
  drawn_ = false;
  lastPermille_ = -1;
  DrawLocked();
}

void TerminalProgress::DrawLocked() {
  if (!enabled_ || total_ == 0) return;
  int permille = static_cast<int>(done_ >= total_ ? 1000 : done_ * 1000 / total_);
  if (permille == lastPermille_) return;  // redraw only when the bar moves
  lastPermille_ = permille;
  constexpr int kWidth = 30;
  int filled = permille * kWidth / 1000;
  std::string bar(static_cast<size_t>(filled), '#');
  bar.resize(kWidth, '-');
  std::fprintf(stderr, "\r%-24.24s [%s] %3d.%d%% (%llu/%llu)", label_.c_str(), bar.c_str(),
               permille / 10, permille % 10, static_cast<unsigned long long>(done_),
               static_cast<unsigned long long>(total_));
  std::fflush(stderr);
  drawn_ = true;
}

}  // namespace dtlcli
