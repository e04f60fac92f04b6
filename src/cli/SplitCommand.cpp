// dtl split: the offline split from the command line.
#include <atomic>
#include <csignal>
#include <stop_token>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "base/SettingsStore.h"
#include "cli/Command.h"
#include "cli/PasswordInput.h"
#include "cli/TerminalProgress.h"
#include "archive/OfflineSplit.h"
#include "archive/SegmentRecord.h"

namespace dtlcli {

namespace {

constexpr const char* kUsage =
    "Usage: dtl split FILE DIR [--position 1..1000 | --segment-size BYTES]\n"
    "                 [--password-file F | --password-stdin] [--des] [--threads N]\n"
    "Cuts FILE into encrypted segment files in DIR: FILE.dtl.doc, FILE.001.doc, ...\n\n"
    "  --position P        segment size P x 10000 bytes (default: the SegSize setting)\n"
    "  --segment-size B    segment size in bytes\n"
    "  --password-file F   take the password from the first line of F\n"
    "  --password-stdin    read the password from standard input\n"
    "                      (no password: the built-in default password)\n"
    "  --des               write the DES form (default: the EncMethod setting)\n"
    "  --threads N         packing threads (default: one per core)\n"
    "Prints the segment files written. Ctrl-C stops after the pieces in progress.\n";

// Nothing registers a std::stop_callback on this source, so request_stop() never waits for a
// lock the interrupted thread could hold.
std::stop_source gStop;

void OnInterrupt(int) {
  gStop.request_stop();
  std::signal(SIGINT, SIG_DFL);  // a second Ctrl-C ends the program at once
}

int Usage(const std::string& why) {
  std::fprintf(stderr, "dtl split: %s\n%s", why.c_str(), kUsage);
  return kExitUsage;
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
  void OnStarted(uint64_t count) override { progress_.SetTotal(count); }
  void OnPieceWritten(uint64_t k, const std::string& path) override {
    progress_.Update(k);
    written_.push_back(path);
  }
  void OnError(const std::string& text) override { error_ = text; }

  std::vector<std::string> written_;
  std::string error_;

 private:
  TerminalProgress& progress_;
};

int RunSplit(const std::vector<std::string>& args) {
  if (WantsHelp(args)) {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  std::vector<std::string> positional;
  std::optional<uint64_t> position, segmentSize;
  std::optional<std::string> passwordFile;
  bool passwordStdin = false, des = false;
  unsigned threads = 0;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= args.size()) return false;
      out = args[++i];
      return true;
    };
    std::string v;
    if (a == "--position") {
      if (!value(v)) return Usage("--position needs a value");
      position = ParseCount(v);
      if (!position || *position < 1 || *position > 1000)
        return Usage("--position must be a whole number from 1 to 1000");
    } else if (a == "--segment-size") {
      if (!value(v)) return Usage("--segment-size needs a value");
      segmentSize = ParseCount(v);
      if (!segmentSize || *segmentSize == 0)
        return Usage("--segment-size must be a whole number of bytes above 0");
    } else if (a == "--password-file") {
      if (!value(v)) return Usage("--password-file needs a value");
      passwordFile = v;
    } else if (a == "--password-stdin") {
      passwordStdin = true;
    } else if (a == "--des") {
      des = true;
    } else if (a == "--threads") {
      if (!value(v)) return Usage("--threads needs a value");
      const auto n = ParseCount(v);
      if (!n || *n < 1 || *n > 256) return Usage("--threads must be a whole number from 1 to 256");
      threads = static_cast<unsigned>(*n);
    } else if (IsPasswordArgument(a)) {
      return Usage("a password is never taken from the command line (other users can read it); "
                   "use --password-file or --password-stdin");
    } else if (a.size() > 1 && a[0] == '-') {
      return Usage("unknown option '" + a + "'");
    } else {
      positional.push_back(a);
    }
  }
  if (positional.size() != 2) return Usage("expected FILE and DIR");
  if (position && segmentSize) return Usage("give --position or --segment-size, not both");
  if (passwordFile && passwordStdin) return Usage("give --password-file or --password-stdin, not both");

  dtl::OfflineSplitParams params;
  params.source = positional[0];
  params.folder = positional[1];
  params.threads = threads;
  params.encMethod = des ? 2 : 1;
  if (!des || (!position && !segmentSize)) {
    dtl::SettingsStore settings(dtl::SettingsStore::DefaultPath());
    if (!des) params.encMethod = settings.EncMethod();
    if (!position && !segmentSize) position = settings.SegSize();
  }
  params.segmentSize = segmentSize ? *segmentSize : *position * dtl::kSegmentUnit;

  std::string error;
  auto pw = PasswordFromOptions(passwordFile, passwordStdin, "Password: ", &error);
  if (!pw) {
    std::fprintf(stderr, "dtl split: %s\n", error.c_str());
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

  for (const auto& path : observer.written_) std::printf("%s\n", path.c_str());
  std::fflush(stdout);
  if (!observer.error_.empty()) {
    std::fprintf(stderr, "dtl split: %s\n", observer.error_.c_str());
    return kExitFailure;
  }
  if (!result.ok()) {
    std::fprintf(stderr, "dtl split: stopped after %llu of %llu segments\n",
                 static_cast<unsigned long long>(result.written),
                 static_cast<unsigned long long>(result.count));
    return kExitFailure;
  }
  return kExitOk;
}

const DtlCommand kSplit("split", "cut a file into encrypted segment files in a folder", RunSplit);

}  // namespace

}  // namespace dtlcli
