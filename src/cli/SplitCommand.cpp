// dtl split: the offline split from the command line.
#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "archive/SegmentBounds.h"
#include "archive/OfflineSplit.h"
#include "archive/SegmentRecord.h"
#include "archive/SegmentRecovery.h"
#include "base/SettingsStore.h"
#include "cli/CommandLine.h"
#include "cli/PasswordInput.h"
#include "cli/ProgramSettings.h"
#include "cli/TerminalProgress.h"

namespace dtlcli {

namespace {

// Nothing registers a std::stop_callback on this source, so request_stop() never waits for a
// lock the interrupted thread could hold.
std::stop_source gStop;

void OnInterrupt(int) {
  gStop.request_stop();
  std::signal(SIGINT, SIG_DFL);  // a second Ctrl-C ends the program at once
}

// Whole decimal number without sign or trailing junk.
std::optional<uint64_t> ParseCount(const std::string& text) {
  if (text.empty() || text.size() > 19) return std::nullopt;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  return v;
}

class CliObserver : public dtl::OfflineSplitObserver {
 public:
  explicit CliObserver(TerminalProgress& progress) : progress_(progress) {}
  void OnStarted(uint64_t count) override {
    started_ = true;
    progress_.SetTotal(count);
  }
  void OnPieceWritten(uint64_t k, const std::string& path) override {
    progress_.Update(k);
    written_.push_back(path);
  }
  void OnRecoveryStarted(uint32_t) override {
    recoveryStarted_ = true;
    progress_.SetLabel("Making recovery data");
  }
  void OnRecoveryWritten(const std::vector<std::string>& paths) override { recovery_ = paths; }
  void OnError(const std::string& text) override { error_ = text; }

  std::vector<std::string> written_, recovery_;
  std::string error_;
  bool started_ = false, recoveryStarted_ = false;

 private:
  TerminalProgress& progress_;
};

class SplitCommand : public Command {
 public:
  void Declare(CommandLine& line) override {
    CLI::App& app = line.App();
    app.description(
        "Cuts FILE into encrypted segment files in DIR: FILE.dtl.doc, FILE.001.doc, ...\n"
        "Prints the segment files written, then the recovery files (FILE.par2, FILE.vol00+01.par2,\n"
        "...) when --recovery asks for them. Ctrl-C stops after the pieces in progress and removes\n"
        "the files written, since a part of a set is no use.");
    const std::string expected = "expected FILE and DIR";
    line.Missing(app.add_option("FILE", source_, "the file to cut")->required(), expected);
    line.Missing(app.add_option("DIR", folder_, "the folder the segment files go to")->required(),
                 expected);
    line.ExtraPositional(app, [expected](const std::string&) { return expected; });
    line.UnknownOption(
        app, RefusePasswordArguments(
                 "a password is never taken from the command line (other users can read it); "
                 "use --password-file or --password-stdin",
                 [](const std::string& a) { return "unknown option '" + a + "'"; }));

    CLI::Option* position =
        line.Value(
                app, "--position", [this](const std::string& v) { position_ = ParseCount(v); }, "P",
                "segment size P x 10000 bytes, 1..1000 (default: the SegSize setting)")
            ->check(Whole("--position must be a whole number from 1 to 1000", 1, 1000));
    CLI::Option* segmentSize =
        line.Value(
                app, "--segment-size",
                [this](const std::string& v) { segmentSize_ = ParseCount(v); }, "B",
                "segment size in bytes, 1..10000000")
            ->check(Whole("--segment-size must be a whole number of bytes from 1 to 10000000", 1,
                          dtl::kLargestSegmentPayload));
    line.Exclusive(position, segmentSize, "give --position or --segment-size, not both");
    CLI::Option* file = line.Value(app, "--password-file", passwordFile_, "F",
                                   "take the password from the first line of F");
    CLI::Option* stdinOption =
        line.Flag(app, "--password-stdin", passwordStdin_,
                  "read the password from standard input (no password: the built-in "
                  "default password)");
    line.Exclusive(file, stdinOption, "give --password-file or --password-stdin, not both");
    line.Flag(app, "--des", des_, "write the DES form (default: the EncMethod setting)");
    line.Value(
            app, "--recovery",
            [this](const std::string& v) { recoveryPercent_ = static_cast<unsigned>(*ParseCount(v)); },
            "PERCENT",
            "recovery data beside the segments, 0..100 % of their count in recovery blocks: that "
            "many lost segment files can be rebuilt (default: the RecoveryPercent setting; 0: none)")
        ->check(Whole("--recovery must be a whole number from 0 to 100", 0, dtl::kMaxRecoveryPercent));
    line.Value(
            app, "--threads",
            [this](const std::string& v) { threads_ = static_cast<unsigned>(*ParseCount(v)); }, "N",
            "packing threads, 1..256 (default: one per core)")
        ->check(Whole("--threads must be a whole number from 1 to 256", 1, 256));
  }

  int Run() override;

 private:
  static CLI::Validator Whole(std::string message, uint64_t lo, uint64_t hi) {
    return CLI::Validator(
        [=](std::string& v) {
          const auto n = ParseCount(v);
          return n && *n >= lo && *n <= hi ? std::string() : message;
        },
        "");
  }

  std::string source_, folder_;
  std::optional<uint64_t> position_, segmentSize_;
  std::optional<std::string> passwordFile_;
  bool passwordStdin_ = false, des_ = false;
  unsigned threads_ = 0;
  std::optional<unsigned> recoveryPercent_;
};

int SplitCommand::Run() {
  auto& position = position_;
  auto& segmentSize = segmentSize_;
  auto& passwordFile = passwordFile_;
  const bool passwordStdin = passwordStdin_, des = des_;
  const unsigned threads = threads_;

  dtl::OfflineSplitParams params;
  params.source = source_;
  params.folder = folder_;
  params.threads = threads;
  params.encMethod = des ? 2 : 1;
  if (!des || (!position && !segmentSize) || !recoveryPercent_) {
    dtl::SettingsStore settings = OpenSettings();
    if (!des) params.encMethod = settings.EncMethod();
    if (!position && !segmentSize) position = settings.SegSize();
    // A setting edited by hand past 100 must not stop every split: it is read as the most.
    if (!recoveryPercent_)
      recoveryPercent_ = std::min<unsigned>(settings.RecoveryPercent(), dtl::kMaxRecoveryPercent);
  }
  params.recoveryPercent = *recoveryPercent_;
  params.segmentSize = segmentSize ? *segmentSize : *position * dtl::kSegmentUnit;

  auto pw = PasswordFromOptions(passwordFile, passwordStdin, "Password: ");
  if (!pw) {
    std::fprintf(stderr, "dtl split: %s\n", pw.error().message.c_str());
    return kExitFailure;
  }
  params.password = std::move(*pw);

  TerminalProgress progress("Splitting");
  CliObserver observer(progress);
  gStop = std::stop_source();
  auto previous = std::signal(SIGINT, OnInterrupt);
  const dtl::OfflineSplitResult result = dtl::RunOfflineSplit(params, observer, gStop.get_token());
  std::signal(SIGINT, previous);
  progress.Finish();
  WipeString(params.password);

  // stdout lists the segment files the folder holds; a run that did not finish took its own
  // away again.
  if (result.ok()) {
    for (const auto& path : observer.written_) std::printf("%s\n", path.c_str());
    for (const auto& path : observer.recovery_) std::printf("%s\n", path.c_str());
  }
  std::fflush(stdout);
  if (!observer.error_.empty()) {
    // The splitter reports a system failure in the system's words alone; before it has counted
    // the segments the failure is the source file's, afterwards it is writing into the folder.
    std::string subject;
    if (observer.started_)
      subject = folder_ + ": ";
    else if (!result.status.ok() && result.status.error().system != 0)
      subject = source_ + ": ";
    std::fprintf(stderr, "dtl split: %s%s\n", subject.c_str(), observer.error_.c_str());
    if (result.removed > 0)
      std::fprintf(stderr, "dtl split: the %llu segment files written were removed\n",
                   static_cast<unsigned long long>(result.removed));
    return kExitFailure;
  }
  if (!result.ok() && observer.recoveryStarted_) {
    std::fprintf(stderr,
                 "dtl split: stopped while making the recovery data; the %llu segment files "
                 "written were removed\n",
                 static_cast<unsigned long long>(result.removed));
    return kExitFailure;
  }
  if (!result.ok()) {
    std::fprintf(stderr,
                 "dtl split: stopped after %llu of %llu segments; the %llu segment files written "
                 "were removed\n",
                 static_cast<unsigned long long>(observer.written_.size()),
                 static_cast<unsigned long long>(result.count),
                 static_cast<unsigned long long>(result.removed));
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace

std::unique_ptr<Command> MakeSplitCommand() { return std::make_unique<SplitCommand>(); }

}  // namespace dtlcli
