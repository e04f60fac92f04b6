// dtl merge: rebuilds split files from their segment files.
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <stop_token>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "base/SettingsStore.h"
#include "cli/Command.h"
#include "cli/PasswordInput.h"
#include "cli/TerminalProgress.h"
#include "archive/MergeJob.h"

namespace dtlcli {

namespace {

namespace fs = std::filesystem;

constexpr char kHelp[] =
    "Usage: dtl merge DESCRIPTOR... [--out DIR] [--password-file F | --password-stdin]\n"
    "                 [--threads N]\n"
    "Rebuilds each split file from its descriptor (NAME.dtl or NAME.dtl.doc) and the numbered\n"
    "segment files beside it, and prints the path of every file rebuilt completely.\n\n"
    "  --out DIR          folder for the rebuilt files (default: the savepath setting, else the\n"
    "                     current folder)\n"
    "  --password-file F  read the password from the first line of F\n"
    "  --password-stdin   read the password from standard input\n"
    "  --threads N        segments decoded at once (default: one per core)\n"
    "Without a password the default segment password is used.\n"
    "Exit status: 0 when every file was rebuilt completely, 1 when any was not, 2 on bad usage.\n";

// Nothing registers a std::stop_callback on this source, so request_stop() never waits for a
// lock the interrupted thread could hold.
std::stop_source gCancel;
extern "C" void OnInterrupt(int) { gCancel.request_stop(); }

int Usage(const std::string& text) {
  std::fprintf(stderr, "dtl merge: %s\nRun 'dtl merge --help' for usage.\n", text.c_str());
  return kExitUsage;
}

bool IsDescriptorName(const std::string& file) {
  auto ends = [&](const char* tail) {
    std::string t = tail;
    return file.size() > t.size() && file.compare(file.size() - t.size(), t.size(), t) == 0;
  };
  return ends(".dtl") || ends(".dtl.doc");
}

class CliObserver : public dtl::MergeObserver {
 public:
  explicit CliObserver(TerminalProgress& bar) : bar_(bar) {}
  void OnFileName(const std::string& text) override {
    bar_.SetLabel("Merging " + fs::path(text).filename().string());
    done_ = 0;
  }
  void OnProgressRange(uint16_t total) override {
    bar_.SetTotal(total);
    bar_.Update(0);
  }
  void OnStep() override { bar_.Update(++done_); }
  void OnMessage(const std::string& text) override {
    bar_.Finish();
    std::fprintf(stderr, "dtl merge: %s\n", text.c_str());
  }
  void OnFinished(bool) override { bar_.Finish(); }

 private:
  TerminalProgress& bar_;
  uint64_t done_ = 0;
};

int RunMerge(const std::vector<std::string>& args) {
  if (WantsHelp(args)) {
    std::fputs(kHelp, stdout);
    return kExitOk;
  }
  dtl::MergeJob::Params params;
  std::string out, passwordFile;
  bool passwordStdin = false, haveOut = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& into) {
      if (i + 1 >= args.size()) return false;
      into = args[++i];
      return true;
    };
    if (a == "--out") {
      if (!value(out)) return Usage("--out needs a folder");
      haveOut = true;
    } else if (a == "--password-file") {
      if (!value(passwordFile)) return Usage("--password-file needs a file");
    } else if (a == "--password-stdin") {
      passwordStdin = true;
    } else if (a == "--threads") {
      std::string n;
      if (!value(n)) return Usage("--threads needs a number");
      char* end = nullptr;
      unsigned long v = std::strtoul(n.c_str(), &end, 10);
      if (n.empty() || *end || v < 1 || v > 64) return Usage("--threads takes a number from 1 to 64");
      params.threads = static_cast<unsigned>(v);
    } else if (IsPasswordArgument(a)) {
      return Usage("passwords are never taken from the command line; use --password-file or --password-stdin");
    } else if (a.size() > 1 && a[0] == '-' && a != "-") {
      return Usage("unknown option " + a);
    } else {
      params.descriptors.emplace_back(a);
    }
  }
  if (params.descriptors.empty()) return Usage("no descriptor given");
  if (passwordStdin && !passwordFile.empty())
    return Usage("--password-file and --password-stdin exclude each other");
  for (const auto& d : params.descriptors) {
    // A numbered segment given as the descriptor would be merged twice over.
    if (!IsDescriptorName(d.filename().string()))
      return Usage("not a descriptor (NAME.dtl or NAME.dtl.doc): " + d.string());
  }

  if (haveOut) {
    params.saveFolder = out;
  } else {
    dtl::SettingsStore settings(dtl::SettingsStore::DefaultPath());
    std::string saved = settings.SavePath();
    params.saveFolder = saved.empty() ? fs::current_path() : fs::path(saved);
  }
  std::error_code ec;
  if (!fs::is_directory(params.saveFolder, ec)) {
    std::fprintf(stderr, "dtl merge: the save folder %s is not a folder\n",
                 params.saveFolder.c_str());
    return kExitFailure;
  }

  std::string error;
  auto pw = PasswordFromOptions(passwordFile.empty() ? std::nullopt : std::optional(passwordFile),
                                passwordStdin, "Decryption password: ", &error);
  if (!pw) {
    std::fprintf(stderr, "dtl merge: %s\n", error.c_str());
    return kExitFailure;
  }
  params.password = std::move(*pw);

  struct sigaction sa{};
  sa.sa_handler = OnInterrupt;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  TerminalProgress bar("Merging");
  CliObserver observer(bar);
  dtl::MergeJob::Report result = dtl::MergeJob::Run(params, observer, gCancel.get_token());
  WipeString(params.password);
  bar.Finish();

  for (const auto& f : result.files)
    if (f.outcome == dtl::MergeJob::Outcome::Complete) std::printf("%s\n", f.output.c_str());
  if (result.cancelled()) std::fprintf(stderr, "dtl merge: cancelled\n");
  return result.AllComplete() ? kExitOk : kExitFailure;
}

const DtlCommand kMerge("merge", "rebuild split files from their segment files", RunMerge);

}  // namespace

}  // namespace dtlcli
