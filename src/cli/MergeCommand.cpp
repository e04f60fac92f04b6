// dtl merge: rebuilds split files from their segment files.
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "archive/MergeJob.h"
#include "archive/SegmentRecovery.h"
#include "base/SettingsStore.h"
#include "cli/CommandLine.h"
#include "cli/PasswordInput.h"
#include "cli/ProgramSettings.h"
#include "cli/TerminalProgress.h"

namespace dtlcli {

namespace {

namespace fs = std::filesystem;

// Nothing registers a std::stop_callback on this source, so request_stop() never waits for a
// lock the interrupted thread could hold.
std::stop_source gCancel;
extern "C" void OnInterrupt(int) { gCancel.request_stop(); }

// A descriptor, or a recovery file standing for one (the merge finds the descriptor beside it,
// even when it was the segment lost).
bool IsDescriptorName(const std::string& file) {
  auto ends = [&](const char* tail) {
    std::string t = tail;
    return file.size() > t.size() && file.compare(file.size() - t.size(), t.size(), t) == 0;
  };
  std::string_view plain = file;
  if (ends(".doc")) plain.remove_suffix(4);
  return ends(".dtl") || ends(".dtl.doc") || dtl::IsRecoveryFileName(plain);
}

std::string JoinNames(const std::vector<std::string>& names) {
  std::string text;
  for (const auto& n : names) text += (text.empty() ? "" : ", ") + n;
  return text;
}

class CliObserver : public dtl::MergeObserver {
 public:
  // `answer`: --overwrite or --skip-existing; none: an existing output is refused.
  CliObserver(TerminalProgress& bar, std::optional<dtl::ReplaceMode> answer, fs::path folder)
      : bar_(bar), answer_(answer), folder_(std::move(folder)) {}
  void OnFileName(const std::string& text) override {
    bar_.SetLabel("Merging " + fs::path(text).filename().string());
    done_ = 0;
  }
  void OnProgressRange(uint16_t total) override {
    bar_.SetTotal(total);
    bar_.Update(0);
  }
  void OnStep() override { bar_.Update(++done_); }
  void OnRepaired(const std::vector<std::string>& names) override {
    bar_.Finish();
    std::fprintf(stderr, "dtl merge: repaired %s from the recovery data\n", JoinNames(names).c_str());
  }
  void OnMessage(const std::string& text) override {
    bar_.Finish();
    std::fprintf(stderr, "dtl merge: %s\n", text.c_str());
  }
  void OnFinished(bool) override { bar_.Finish(); }
  dtl::ReplaceMode ConfirmOutputReplace(const std::string& name) override {
    bar_.Finish();
    const std::string path = (folder_ / name).string();
    if (answer_ && *answer_ == dtl::ReplaceMode::SkipAll) {
      std::fprintf(stderr, "dtl merge: %s exists and was kept\n", path.c_str());
    } else if (!answer_) {
      refused_ = true;
      std::fprintf(stderr,
                   "dtl merge: %s exists; give --overwrite to replace it or --skip-existing to "
                   "keep it\n",
                   path.c_str());
    }
    return answer_.value_or(dtl::ReplaceMode::Skip);
  }
  // An existing output was refused for want of --overwrite or --skip-existing.
  bool Refused() const { return refused_; }

 private:
  TerminalProgress& bar_;
  std::optional<dtl::ReplaceMode> answer_;
  fs::path folder_;
  uint64_t done_ = 0;
  bool refused_ = false;
};

class MergeCommand : public Command {
 public:
  void Declare(CommandLine& line) override {
    line.SetUsageStyle(UsageStyle::RunHelp);
    CLI::App& app = line.App();
    app.description(
        "Rebuilds each split file from its descriptor (NAME.dtl or NAME.dtl.doc) and the numbered\n"
        "segment files beside it, and prints the path of every file rebuilt completely. A file "
        "that\n"
        "could not be rebuilt completely is left as NAME.incomplete, and the missing segments are "
        "named.\n"
        "When recovery files (NAME.par2, NAME.vol00+01.par2, ...) lie beside the segments, missing "
        "or\n"
        "damaged segment files are rebuilt from them first and named on stderr; a recovery file "
        "may\n"
        "be given in place of the descriptor. With too few recovery blocks nothing is merged.\n"
        "A file that already exists under the rebuilt file's name is replaced only with "
        "--overwrite.");
    app.footer(
        "Without a password the default segment password is used.\n"
        "Exit status: 0 when every file was rebuilt completely (or kept by --skip-existing), 1 "
        "when any was not, 2 on bad usage.");
    line.Missing(
        app.add_option("DESCRIPTOR", descriptors_,
                       "the descriptor of each file to rebuild, or one of its recovery files")
            ->required(),
        "no descriptor given");
    line.UnknownOption(
        app, RefusePasswordArguments(
                 "passwords are never taken from the command line; use --password-file or "
                 "--password-stdin",
                 [](const std::string& a) { return "unknown option " + a; }));
    line.Value(
        app, "--out",
        [this](const std::string& v) {
          out_ = v;
          haveOut_ = true;
        },
        "DIR",
        "folder for the rebuilt files (default: the savepath setting, else the current folder)",
        "a folder");
    CLI::Option* file = line.Value(app, "--password-file", passwordFile_, "F",
                                   "read the password from the first line of F", "a file");
    CLI::Option* stdinOption =
        line.Flag(app, "--password-stdin", passwordStdin_, "read the password from standard input");
    line.Exclusive(file, stdinOption, "--password-file and --password-stdin exclude each other");
    CLI::Option* overwrite = line.Flag(app, "--overwrite", overwrite_,
                                       "replace files that exist under a rebuilt file's name");
    CLI::Option* skip = line.Flag(
        app, "--skip-existing", skipExisting_,
        "keep files that exist under a rebuilt file's name and rebuild nothing for them (without "
        "either option such a file is refused: kept, and the exit status is 1)");
    line.Exclusive(overwrite, skip, "--overwrite and --skip-existing exclude each other");
    line.Value(
            app, "--threads",
            [this](const std::string& v) { threads_ = static_cast<unsigned>(std::stoul(v)); }, "N",
            "segments decoded at once, 1..64 (default: one per core)", "a number")
        ->check(CLI::Validator(
            [](std::string& n) {
              char* end = nullptr;
              unsigned long v = std::strtoul(n.c_str(), &end, 10);
              return n.empty() || *end || v < 1 || v > 64
                         ? std::string("--threads takes a number from 1 to 64")
                         : std::string();
            },
            ""));
  }

  int Run() override;

 private:
  std::vector<std::string> descriptors_;
  std::string out_, passwordFile_;
  bool passwordStdin_ = false, haveOut_ = false, overwrite_ = false, skipExisting_ = false;
  unsigned threads_ = 0;
};

int MergeCommand::Run() {
  dtl::MergeJob::Params params;
  for (const auto& d : descriptors_) params.descriptors.emplace_back(d);
  params.threads = threads_;
  const std::string& out = out_;
  const std::string& passwordFile = passwordFile_;
  const bool passwordStdin = passwordStdin_, haveOut = haveOut_;
  for (const auto& d : params.descriptors) {
    // A numbered segment given as the descriptor would be merged twice over.
    if (!IsDescriptorName(d.filename().string()))
      return Usage("not a descriptor (NAME.dtl, NAME.dtl.doc or a recovery file NAME.par2): " +
                   d.string());
  }

  if (haveOut) {
    params.saveFolder = out;
  } else {
    dtl::SettingsStore settings = OpenSettings();
    std::string saved = settings.SavePath();
    params.saveFolder = saved.empty() ? fs::current_path() : fs::path(saved);
  }
  std::error_code ec;
  if (!fs::is_directory(params.saveFolder, ec)) {
    std::fprintf(stderr, "dtl merge: the save folder %s is not a folder\n",
                 params.saveFolder.c_str());
    return kExitFailure;
  }

  auto pw = PasswordFromOptions(passwordFile.empty() ? std::nullopt : std::optional(passwordFile),
                                passwordStdin, "Decryption password: ");
  if (!pw) {
    std::fprintf(stderr, "dtl merge: %s\n", pw.error().message.c_str());
    return kExitFailure;
  }
  params.password = std::move(*pw);

  struct sigaction sa {};
  sa.sa_handler = OnInterrupt;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  TerminalProgress bar("Merging");
  CliObserver observer(bar,
                       overwrite_       ? std::optional(dtl::ReplaceMode::OverwriteAll)
                       : skipExisting_ ? std::optional(dtl::ReplaceMode::SkipAll)
                                       : std::nullopt,
                       params.saveFolder);
  dtl::MergeJob::Report result = dtl::MergeJob::Run(params, observer, gCancel.get_token());
  WipeString(params.password);
  bar.Finish();

  for (const auto& f : result.files)
    if (f.outcome == dtl::MergeJob::Outcome::Complete) std::printf("%s\n", f.output.c_str());
  if (result.cancelled()) {
    std::fprintf(stderr, "dtl merge: cancelled\n");
    // A cancel has no message of its own, so the unfinished file would go unmentioned.
    for (const auto& f : result.files)
      if (f.outcome == dtl::MergeJob::Outcome::Cancelled && !f.partial.empty())
        std::fprintf(stderr, "dtl merge: the segments of %s merged so far are kept in %s\n",
                     f.output.filename().c_str(), f.partial.c_str());
  }
  return result.AllComplete() && !observer.Refused() ? kExitOk : kExitFailure;
}

}  // namespace

std::unique_ptr<Command> MakeMergeCommand() { return std::make_unique<MergeCommand>(); }

}  // namespace dtlcli
