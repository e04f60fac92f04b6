// dtl send: mails files as encrypted segments (or whole, with --plain) by the stored delivery
// settings, and resumes an interrupted send from its journal.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "account/AccessTokens.h"
#include "archive/SegmentBounds.h"
#include "archive/SegmentList.h"
#include "archive/SegmentRecovery.h"
#include "base/ProgramFolder.h"
#include "base/SettingsStore.h"
#include "cli/CommandLine.h"
#include "cli/PasswordInput.h"
#include "cli/ProgramSettings.h"
#include "cli/TerminalProgress.h"
#include "send/SegmentSizeCheck.h"
#include "send/SendDocument.h"
#include "send/SendEngine.h"
#include "send/SendJournal.h"
#include "send/SendRequest.h"

namespace dtlcli {

namespace {

int Fail(const std::string& why) {
  std::fprintf(stderr, "dtl send: %s\n", why.c_str());
  return kExitFailure;
}

// Ctrl-C and the worker's end both arrive as a byte on this pipe, so the main thread waits on
// one descriptor and does the Stop itself (a signal handler may not take the document's locks).
// The document's run is stopped through doc.Stop(), not a token, so the pipe stays; the stop
// source only records that Ctrl-C came. Nothing registers a std::stop_callback on it, so
// request_stop() never waits for a lock the interrupted thread could hold.
int gWakePipe[2] = {-1, -1};
std::stop_source gInterrupt;

void OnInterrupt(int) {
  gInterrupt.request_stop();
  const char c = 'i';
  [[maybe_unused]] ssize_t n = ::write(gWakePipe[1], &c, 1);
  std::signal(SIGINT, SIG_DFL);  // a second Ctrl-C ends the program at once; the journal holds
}

std::optional<uint64_t> ParseNumber(const std::string& s) {
  uint64_t v = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (s.empty() || ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return v;
}

// A user-facing check message without its trailing blank lines, on one line.
std::string OneLine(std::string text) {
  while (!text.empty() && text.back() == '\n') text.pop_back();
  for (size_t at; (at = text.find("\n\n")) != std::string::npos;) text.replace(at, 2, " ");
  return text;
}

// The segments `--segments` names: numbers and ranges of numbered segments, and "dtl" for the
// descriptor's mail (segment 0, which "0" must not stand for: a typed 0 is far more often a
// slip than a wish for the descriptor). Ranges are kept as ranges, so "1-4000000000" costs
// nothing until it is held against the file's count.
struct SegmentChoice {
  bool descriptor = false;
  std::vector<std::pair<uint64_t, uint64_t>> ranges;  // first <= last, first >= 1

  bool Has(uint64_t index) const {
    if (index == 0) return descriptor;
    return std::any_of(ranges.begin(), ranges.end(),
                       [index](const auto& r) { return index >= r.first && index <= r.second; });
  }
  uint64_t Highest() const {
    uint64_t top = 0;
    for (const auto& r : ranges) top = std::max(top, r.second);
    return top;
  }
};

// Parses "4,7-9,dtl"; the reason for the usage error when the text is not such a list.
std::variant<SegmentChoice, std::string> ParseSegmentChoice(const std::string& text) {
  const std::string form =
      "--segments takes segment numbers and ranges such as 4,7-9 (and dtl for the descriptor's "
      "mail)";
  SegmentChoice choice;
  if (text.empty()) return form + ", not an empty list";
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    const std::string item =
        text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    if (item == "dtl") {
      choice.descriptor = true;
    } else {
      const size_t dash = item.find('-');
      const auto first = ParseNumber(item.substr(0, dash));
      const auto last = dash == std::string::npos ? first : ParseNumber(item.substr(dash + 1));
      if (!first || !last) return form + ", not '" + item + "'";
      if (*first == 0 || *last == 0)
        return "--segments: segments are numbered from 1; the descriptor's mail is dtl, not 0";
      if (*first > *last) return "--segments: the range " + item + " runs backwards";
      choice.ranges.emplace_back(*first, *last);
    }
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return choice;
}

class CliSendObserver : public dtl::SendEngineObserver {
 public:
  CliSendObserver(dtl::SendDocument& doc, const dtl::SendJournal& journal,
                  dtl::SendJournalData& data, TerminalProgress& progress)
      : doc_(doc), journal_(journal), data_(data), progress_(progress) {
    names_.reserve(doc.RecordCount());
    for (const auto& r : doc.Records()) {
      names_.push_back(dtl::SegmentAttachmentName(r, doc.Fields().plain));
      if (r.pending) ++total_;
    }
    progress_.SetTotal(total_ * 100);
  }

  void OnSendEvent(const dtl::SendEvent& e) override {
    std::lock_guard<std::mutex> lock(mu_);
    doc_.ApplyEngineEvent(e);
    const std::string name = e.position >= 0 && static_cast<size_t>(e.position) < names_.size()
                                 ? names_[e.position]
                                 : "";
    switch (e.kind) {
      case dtl::SendEventKind::Status:
        // The journal knows of a pause before anyone reads of it: a kill on the line loses
        // nothing.
        if (e.pausedUntil != 0) Paused(e, name);
        Line(name + ": " + e.text);
        break;
      case dtl::SendEventKind::Delivered:
        ++delivered_;
        // A delivery ends any provider-limit pause: a resume from here need not wait.
        data_.pausedUntil = 0;
        data_.pauseReason.clear();
        // The journal is on disk before the next segment starts: a crash from here on never
        // sends this segment again.
        data_.records = doc_.Records();
        data_.served = doc_.AllServedRecipients();
        if (auto saved = journal_.Save(data_); !saved) {
          journalError_ = saved.error().message;
          std::fprintf(stderr, "dtl send: %s\n", journalError_.c_str());
        }
        Line(name + ": delivered");
        progress_.Update(delivered_ * 100);
        break;
      case dtl::SendEventKind::UploadPercent:
        progress_.Update(delivered_ * 100 + static_cast<uint64_t>(e.percent));
        break;
      case dtl::SendEventKind::FailedRetrying: Line(name + ": failed, trying again"); break;
      case dtl::SendEventKind::PartlyDelivered:
        // Those who have the segment are on disk before the retry: a resume never mails them
        // this segment again.
        data_.records = doc_.Records();
        data_.served = doc_.AllServedRecipients();
        if (auto saved = journal_.Save(data_); !saved) {
          journalError_ = saved.error().message;
          std::fprintf(stderr, "dtl send: %s\n", journalError_.c_str());
        }
        break;
      case dtl::SendEventKind::FileError:
        progress_.Finish();
        std::fprintf(stderr, "dtl send: %s: %s\n", name.c_str(), e.text.c_str());
        break;
      case dtl::SendEventKind::RunEnded: break;
      case dtl::SendEventKind::WorkerLeft: {
        const char c = 'w';
        [[maybe_unused]] ssize_t n = ::write(gWakePipe[1], &c, 1);
        break;
      }
    }
  }

  const std::string& LastStatus() const { return lastStatus_; }

 private:
  // A provider limit paused the run: the whole line stays readable above the bar, and the
  // journal learns until when, so Ctrl-C now and --resume later waits the rest.
  void Paused(const dtl::SendEvent& e, const std::string& name) {
    data_.records = doc_.Records();
    data_.served = doc_.AllServedRecipients();
    data_.pausedUntil = e.pausedUntil;
    data_.pauseReason = e.pauseReason;
    if (auto saved = journal_.Save(data_); !saved) {
      journalError_ = saved.error().message;
      std::fprintf(stderr, "dtl send: %s\n", journalError_.c_str());
    }
    progress_.Note(name + ": " + e.text);
  }

  void Line(const std::string& text) {
    lastStatus_ = text;
    if (progress_.Enabled()) {
      progress_.SetLabel(text);
    } else {
      std::printf("%s\n", text.c_str());
      std::fflush(stdout);
    }
  }

  std::mutex mu_;
  dtl::SendDocument& doc_;
  const dtl::SendJournal& journal_;
  dtl::SendJournalData& data_;
  TerminalProgress& progress_;
  std::vector<std::string> names_;
  uint64_t total_ = 0, delivered_ = 0;
  std::string lastStatus_, journalError_;
};

// Holds the journal's lock file for the whole run, so two sends never write one journal.
class JournalLock {
 public:
  explicit JournalLock(const std::filesystem::path& journal) {
    if (!dtl::MakePrivateFolders(journal.parent_path())) return;
    fd_ = ::open((journal.string() + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ >= 0 && ::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~JournalLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// Asks the SMTP server (a quick EHLO, no login) how large a mail it takes, before anything is
// sent: a segment mail beyond that would be refused. The reason not to start, or nothing when
// the segments fit or the server cannot be asked (the run then reports for itself).
std::optional<std::string> CheckSizeUpFront(const dtl::SendDocument& doc,
                                            const dtl::SettingsStore& settings) {
  if (doc.Fields().method != dtl::SendMethod::SmtpServer) return std::nullopt;
  const auto check =
      dtl::CheckSegmentSize(dtl::SizeCheckSettings(settings, std::chrono::milliseconds(5000)),
                            dtl::LargestPieceBytes(doc.Records()));
  if (!check) return std::nullopt;
  const uint64_t recoveryMail = dtl::LargestRecoveryMailBytes(doc.Records());
  if (!check->TooLarge() && check->limit > 0 && recoveryMail > check->limit)
    return "the server takes mails of at most " + std::to_string(check->limit) +
           " bytes; the recovery files of this send make mails of up to about " +
           std::to_string(recoveryMail) +
           " bytes (each describes every segment of its file: fewer, larger segments make them "
           "smaller; --recovery 0 sends none); nothing was sent";
  if (!check->TooLarge()) return std::nullopt;
  const uint64_t largest = check->pieceBytes, mail = check->mailBytes, fits = check->fits;
  std::string text = "the server takes mails of at most " + std::to_string(check->limit) +
                     " bytes; segments of " + std::to_string(largest) +
                     " bytes make mails of about " + std::to_string(mail) + " bytes. ";
  if (fits == 0) return text + "No segment size fits.";
  return text + "The largest segment size that fits is " + std::to_string(fits) +
         " bytes (--position " + std::to_string(fits / 10000) + "); nothing was sent";
}

// Where the segments of files sent with recovery data are packed before they are mailed: beside
// the journal, so a resume finds the very bytes the recovery files were made over.
std::filesystem::path SpoolFolder() { return dtl::XdgStateHome() / "drovetail" / "spool"; }

// Runs the job the document holds until it ends or Ctrl-C stops it.
int RunJob(dtl::SendDocument& doc, dtl::SettingsStore& settings, const dtl::SendJournal& journal,
           dtl::SendJournalData& data) {
  TerminalProgress progress("Sending");
  CliSendObserver observer(doc, journal, data, progress);
  dtl::SendEnvironment env;
  env.settings = &settings;
  env.spoolFolder = SpoolFolder();
  if (settings.GetDword("SMTPAuth") == 1 &&
      doc.Fields().method == dtl::SendMethod::SmtpServer) {
    dtl::NetworkEndpoints tokenEndpoint;
    if (const char* ca = std::getenv("DTL_CA_FILE"); ca && *ca) tokenEndpoint.caFile = ca;
    auto source = dtl::MakeAccessTokenSourceFromSettings(settings, tokenEndpoint);
    if (!source) return Fail(source.error().message);
    env.smtpAccessToken = std::move(*source);
  }
  // A pause for a provider's limit that an interrupted run was in goes on where it was.
  env.resumePausedUntil = data.pausedUntil;
  env.resumePauseReason = data.pauseReason;

  if (::pipe2(gWakePipe, O_CLOEXEC) != 0) return Fail(std::string("pipe: ") + std::strerror(errno));
  gInterrupt = std::stop_source();
  auto previous = std::signal(SIGINT, OnInterrupt);
  bool stopped = false;
  if (doc.StartRun(observer, env)) {
    for (;;) {
      char c = 0;
      const ssize_t n = ::read(gWakePipe[0], &c, 1);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0 || c == 'w') break;
      if (c == 'i' && !stopped) {
        stopped = true;
        doc.Stop();
      }
    }
  }
  const int result = doc.Wait().value_or(0);
  std::signal(SIGINT, previous);
  ::close(gWakePipe[0]);
  ::close(gWakePipe[1]);
  gWakePipe[0] = gWakePipe[1] = -1;
  progress.Finish();

  size_t pending = 0;
  for (const auto& r : doc.Records()) pending += r.pending;
  if (pending == 0) {
    journal.Remove();
    return kExitOk;
  }
  if (stopped || gInterrupt.stop_requested())
    return Fail("stopped with " + std::to_string(pending) +
                " segment(s) not delivered; 'dtl send --resume' sends the rest");
  if (result == 0) return Fail(observer.LastStatus());
  return Fail(std::to_string(pending) +
              " segment(s) were not delivered; 'dtl send --resume' tries them again");
}

class SendCommand : public Command {
 public:
  void Declare(CommandLine& line) override {
    CLI::App& app = line.App();
    app.description(
        "Mails each FILE as numbered segments, zipped and encrypted (FILE.dtl.doc, FILE.001.doc, "
        "...),\n"
        "one mail per segment, or whole and unchanged with --plain. With --resume (and no other "
        "option\n"
        "than a password option) goes on with the last interrupted send.");
    app.footer(
        "Server, port, login, SSL, MX override and Direct Send port come from the settings\n"
        "(dtl config). A failed segment is tried again until it goes through; Ctrl-C stops, and\n"
        "'dtl send --resume' continues later. Exit status 0 when every segment was delivered.");
    app.add_option("FILE", files_, "the files to send");
    line.UnknownOption(
        app, RefusePasswordArguments(
                 "a password is never taken from the command line (other users can read it); "
                 "use --password-file or --password-stdin",
                 [](const std::string& a) { return "unknown option '" + a + "'"; }));
    line.Value(app, "--to", to_, "ADDR[;ADDR...]", "recipients; Direct Send takes exactly one");
    line.Value(
        app, "--method", method_, "M",
        "direct (to the recipient's mail exchanger), smtp (the stored SMTP server) or mailclient "
        "(the sendmail-compatible program); default: the SendType setting");
    line.Value(
            app, "--position", [this](const std::string& v) { position_ = ParseNumber(v); }, "P",
            "segment size P x 10000 bytes, 1..1000 (default: the SegSize setting)")
        ->check(Whole("--position must be a whole number from 1 to 1000", 1, 1000));
    line.Value(
            app, "--segment-size", [this](const std::string& v) { segmentSize_ = ParseNumber(v); },
            "B", "segment size in bytes, 1..10000000")
        ->check(Whole("--segment-size must be a whole number of bytes from 1 to 10000000", 1,
                      dtl::kLargestSegmentPayload));
    CLI::Option* file = line.Value(app, "--password-file", passwordFile_, "F",
                                   "encrypt with the password on the first line of F");
    CLI::Option* stdinOption = line.Flag(
        app, "--password-stdin", passwordStdin_,
        "read the password from standard input (no password: the built-in default password)");
    line.Exclusive(file, stdinOption, "give --password-file or --password-stdin, not both");
    line.Flag(app, "--plain", plain_, "send each file whole, not split, zipped or encrypted");
    line.Value(app, "--from", from_, "ADDR", "sender address (default: the FromAddress setting)");
    line.Value(app, "--segments", segments_, "LIST",
               "send only these segments of FILE, e.g. 4,7-9 (dtl: the descriptor's mail): what "
               "'dtl fetch --imap --list' says is missing. The mails are those a full send "
               "makes, so FILE, the segment size and the password must be the ones it was sent "
               "with",
               "a list of segments")
        ->check(CLI::Validator(
            [](std::string& v) {
              auto parsed = ParseSegmentChoice(v);
              auto* why = std::get_if<std::string>(&parsed);
              return why ? *why : std::string();
            },
            ""));
    line.Value(
            app, "--recovery", [this](const std::string& v) { recovery_ = ParseNumber(v); },
            "PERCENT",
            "mail recovery data with each file: recovery files worth PERCENT of its segments, "
            "0..100, with which a receiver rebuilds that many lost segment mails (default: the "
            "RecoveryPercent setting; 0: none)")
        ->check(Whole("--recovery must be a whole number from 0 to 100", 0,
                      dtl::kMaxRecoveryPercent));
    line.Flag(
        app, "--resume", resume_,
        "go on with the last interrupted send: only the segments not yet delivered are sent; its "
        "password must be given again");
  }

  int Run() override;

 private:
  static CLI::Validator Whole(std::string message, uint64_t lo, uint64_t hi) {
    return CLI::Validator(
        [=](std::string& v) {
          const auto n = ParseNumber(v);
          return n && *n >= lo && *n <= hi ? std::string() : message;
        },
        "");
  }

  std::vector<std::string> files_;
  std::optional<std::string> to_, method_, from_, passwordFile_, segments_;
  std::optional<uint64_t> position_, segmentSize_, recovery_;
  bool passwordStdin_ = false, plain_ = false, resume_ = false;
};

int SendCommand::Run() {
  const std::vector<std::string>& files = files_;
  const auto &to = to_, &method = method_, &from = from_, &passwordFile = passwordFile_;
  const auto &position = position_, &segmentSize = segmentSize_;
  const bool passwordStdin = passwordStdin_, plain = plain_, resume = resume_;

  dtl::SettingsStore settings = OpenSettings();
  const dtl::SendJournal journal(dtl::DefaultJournalPath());
  JournalLock lock(journal.Path());
  if (!lock.held())
    return Fail("another dtl send is running (" + journal.Path().string() + ".lock)");
  dtl::SendDocument doc(settings);
  // An interrupted send keeps its spools for the resume; a finished one has removed them.
  doc.KeepSpools(true);

  if (resume) {
    if (!files.empty() || to || method || from || position || segmentSize || plain || segments_ ||
        recovery_)
      return Usage("--resume takes the job as it was; only a password option may go with it");
    auto data = journal.Load();
    if (!data)
      return Fail(data.error().message.empty() ? "there is no interrupted send to resume"
                                               : data.error().message);
    std::vector<std::string> paths;
    for (const auto& s : data->sources) paths.push_back(s.path);
    auto now = dtl::StampSources(paths);
    if (!now) return Fail(now.error().message);
    for (size_t i = 0; i < now->size(); ++i)
      if ((*now)[i].size != data->sources[i].size || (*now)[i].mtimeNs != data->sources[i].mtimeNs)
        return Fail(paths[i] + " changed since the send began; its segments would not merge");
    if (data->hasPassword && !passwordFile && !passwordStdin)
      return Usage(
          "this send was encrypted with a password; give it again with --password-stdin or "
          "--password-file");
    auto password = PasswordFromOptions(passwordFile, passwordStdin, "Password: ");
    if (!password) return Fail(password.error().message);
    if (!dtl::JournalPasswordMatches(*data, *password)) {
      WipeString(*password);
      return Fail("the password differs from the one the send began with");
    }
    dtl::SendJobFields fields = data->fields;
    fields.password = *password;
    WipeString(*password);
    (void)doc.RestoreJob(fields, data->records, data->served);
    const int status = RunJob(doc, settings, journal, *data);
    WipeString(fields.password);
    return status;
  }

  if (files.empty()) return Usage("expected at least one FILE");
  if (!to) return Usage("--to is required");
  if (plain && (position || segmentSize))
    return Usage("--plain sends files whole; no segment size");
  if (plain && (passwordFile || passwordStdin))
    return Usage("--plain sends files unencrypted; no password");
  if (position && segmentSize) return Usage("give --position or --segment-size, not both");
  if (plain && recovery_ && *recovery_ > 0)
    return Usage("--plain sends files whole; no recovery data");
  // Segments picked by hand are packed anew and would not match recovery files mailed before.
  if (segments_ && recovery_ && *recovery_ > 0)
    return Usage("--segments sends segments again; no recovery data");
  unsigned recovery = 0;
  if (recovery_) {
    recovery = static_cast<unsigned>(*recovery_);
  } else if (!plain && !segments_) {
    recovery = settings.RecoveryPercent();
    if (recovery > dtl::kMaxRecoveryPercent)
      return Usage("the RecoveryPercent setting is " + std::to_string(recovery) +
                   "; it must be 0 to 100 (dtl config set RecoveryPercent N)");
  }
  std::optional<SegmentChoice> chosen;
  if (segments_) {
    if (plain) return Usage("--plain sends files whole; no --segments");
    if (files.size() != 1) return Usage("--segments picks segments of one FILE");
    chosen = std::get<SegmentChoice>(ParseSegmentChoice(*segments_));
  }

  dtl::SendRequest request;
  request.method = static_cast<dtl::SendMethod>(settings.SendType());
  if (method) {
    if (*method == "direct")
      request.method = dtl::SendMethod::DirectSend;
    else if (*method == "smtp")
      request.method = dtl::SendMethod::SmtpServer;
    else if (*method == "mailclient")
      request.method = dtl::SendMethod::Mapi;
    else
      return Usage("--method must be direct, smtp or mailclient");
  }
  if (request.method == dtl::SendMethod::SmtpServer && settings.SmtpServer().empty())
    return Usage("no SMTP server is set; store one with 'dtl config set SMTPServer HOST'");
  request.mailTo = *to;
  request.from = from ? *from : settings.FromAddress();
  request.position = position ? static_cast<uint32_t>(*position) : settings.SegSize();
  request.segmentSize = segmentSize.value_or(0);
  request.recoveryPercent = plain ? 0 : recovery;

  const dtl::FileChoice choice = dtl::ChooseFiles(files);
  for (const auto& refusal : choice.refusals)
    std::fprintf(stderr, "dtl send: %s\n", refusal.c_str());
  if (!choice.refusals.empty()) return kExitFailure;
  request.files = choice.files;
  request.fileText = choice.fileText;
  if (auto checked = dtl::ValidateSendRequest(request); !checked)
    return Usage(OneLine(checked.error().message));
  // Checked before a password is asked for: the count follows from the size alone.
  if (chosen) {
    const uint64_t size =
        request.segmentSize ? request.segmentSize : uint64_t{request.position} * dtl::kSegmentUnit;
    const uint64_t numbered = dtl::SegmentCount(request.files[0].size, size) - 1;
    if (chosen->Highest() > numbered) {
      const std::string name = dtl::FileNameOf(request.files[0].path);
      const std::string cut = name + " cut into segments of " + std::to_string(size) + " bytes";
      return Usage("there is no segment " + std::to_string(chosen->Highest()) + ": " +
                   (numbered == 0 ? cut + " is its descriptor's mail (dtl) alone"
                                  : cut + " makes segments 1 to " + std::to_string(numbered)) +
                   "; give the size it was sent with (--segment-size or --position)");
    }
  }

  auto password = PasswordFromOptions(passwordFile, passwordStdin, "Password: ");
  if (!password) return Fail(password.error().message);
  request.password = std::move(*password);
  WipeString(*password);
  const bool built = (plain ? doc.BuildPlainJob(request) : doc.BuildSplitJob(request)).ok();
  WipeString(request.password);
  if (!built) return Fail("the files cannot be cut into that many segments");
  // The job is the full send's, so names, pieces and subjects are the same; the segments not
  // chosen are simply not pending, as a resume leaves the delivered ones.
  if (chosen)
    for (size_t p = 0; p < doc.RecordCount(); ++p)
      if (!chosen->Has(static_cast<uint64_t>(doc.RecordAt(p)->index))) doc.SetPending(p, false);

  if (const auto tooLarge = CheckSizeUpFront(doc, settings)) return Fail(*tooLarge);

  // A new send replaces the interrupted one, which can no longer be resumed: its spools go.
  if (auto old = journal.Load()) dtl::RemoveSpools(SpoolFolder(), old->records);

  dtl::SendJournalData data;
  data.fields = doc.Fields();
  data.fields.password.clear();
  dtl::SetJournalPassword(data, doc.Fields().password);
  auto stamps = dtl::StampSources(files);
  if (!stamps) return Fail(stamps.error().message);
  data.sources = std::move(*stamps);
  data.records = doc.Records();
  if (auto saved = journal.Save(data); !saved)
    return Fail("cannot keep the resume journal: " + saved.error().message);
  return RunJob(doc, settings, journal, data);
}

}  // namespace

std::unique_ptr<Command> MakeSendCommand() { return std::make_unique<SendCommand>(); }

}  // namespace dtlcli
