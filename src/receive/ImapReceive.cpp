#include "receive/ImapReceive.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <thread>

#include "archive/Par2.h"
#include "archive/SegmentBounds.h"
#include "archive/SegmentRecovery.h"
#include "base/RetryBackoff.h"
#include "base/SecretMemory.h"
#include "mail/TransferDecoder.h"
#include "receive/AttachmentName.h"
#include "receive/ImapBodyStructure.h"
#include "receive/InboxCrawler.h"
#include "receive/ReceivedFiles.h"
#include "receive/SegmentManagerModel.h"

namespace dtl {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// One FETCH names this many UIDs at most: a folder of 100,000 mails then takes a few hundred
// round trips instead of 100,000, and each answer stays far below the reader's memory bound
// and the command time-out.
constexpr size_t kStructureBatch = 250;

// A hostile name ("x.99999999999") would otherwise make the gap list enormous; no split makes
// more segments than this (the smallest segment is 10,000 bytes).
constexpr uint64_t kMaxListedGap = 1'000'000;

class NullMergeObserver : public MergeObserver {};

Error TooLarge(const std::string& name, bool recovery) {
  return Error(ErrorCode::Corrupt, name + ": the attachment in the mailbox is larger than any " +
                                       (recovery ? "recovery file" : "segment") +
                                       "; it was not saved.");
}

bool IsDescriptorName(const std::string& saveName) {
  auto n = SegmentNumberOf(saveName);
  return n && *n == 0;
}

}  // namespace

std::string ImapItemKey(uint32_t uid, std::string_view section) {
  return std::to_string(uid) + "/" + std::string(section);
}

std::vector<ImapSegmentRef> ImapListing::AllSegments() const {
  std::vector<ImapSegmentRef> all;
  for (const auto& file : files) all.insert(all.end(), file.segments.begin(), file.segments.end());
  return all;
}

Result<ImapListing> ListImapSegments(const ImapSettings& settings, std::string_view folder,
                                     ImapListObserver& observer, std::stop_token stop,
                                     const ImapSession::Connector& connector) {
  ImapSession session(settings, stop);
  if (connector) session.SetConnector(connector);
  // A stop ends whatever call was under way with its own error: the caller only needs to
  // know it was stopped.
  const auto failed = [&](const Error& e) -> Error {
    return stop.stop_requested() ? Error::Cancelled() : e;
  };
  if (Status s = session.Open(); !s) return failed(s.error());
  const std::string name = folder.empty() ? std::string("INBOX") : std::string(folder);
  auto info = session.Examine(name);
  if (!info) return failed(info.error());
  auto uids = session.SearchAllUids();
  if (!uids) return failed(uids.error());

  ImapListing listing;
  listing.folder = *info;
  SegmentManagerModel model;
  std::map<std::string, ImapSegmentRef> byKey;
  const size_t total = uids->size();
  observer.OnListProgress(0, total);
  for (size_t from = 0; from < total; from += kStructureBatch) {
    if (stop.stop_requested()) return Error::Cancelled();
    const size_t to = std::min(total, from + kStructureBatch);
    std::vector<uint32_t> batch(uids->begin() + static_cast<std::ptrdiff_t>(from),
                                uids->begin() + static_cast<std::ptrdiff_t>(to));
    Status s =
        session.FetchBodyStructures(batch, [&](uint32_t uid, const ImapValue& structure) -> Status {
          ++listing.messagesScanned;
          // A structure this reader cannot follow holds no part it could fetch: the mail is
          // passed over rather than ending the listing of everything else.
          auto parts = ImapBodyParts(structure);
          if (!parts) return {};
          for (const ImapBodyPart& part : *parts) {
            if (part.fileName.empty()) continue;
            std::string saveName = SafeAttachmentName(WithoutDocEnding(part.fileName));
            if (!SegmentNumberOf(saveName) && !IsRecoveryAttachment(saveName)) continue;
            ImapSegmentRef ref;
            ref.item = DownloadItem{std::move(saveName), ImapItemKey(uid, part.section)};
            ref.uid = uid;
            ref.section = part.section;
            ref.encoding = part.encoding;
            ref.encodedSize = part.size;
            if (!model.File(ref.item)) {
              ++listing.duplicatesDropped;
              continue;
            }
            observer.OnSegmentFound(ref);
            byKey.emplace(ref.item.key, std::move(ref));
          }
          return {};
        });
    if (!s) return failed(s.error());
    observer.OnListProgress(to, total);
  }
  // The listing is complete; a farewell the server does not answer changes nothing.
  (void)session.Logout();

  for (const auto& group : model.Groups()) {
    ImapListedFile file;
    file.name = group.name;
    for (const auto& segment : group.segments) {
      auto it = byKey.find(segment.record.key);
      if (it == byKey.end()) continue;
      file.segments.push_back(it->second);
      const auto number = SegmentNumberOf(it->second.item.fileName);
      if (!number) {
        file.recoveryFiles.push_back(it->second.item.fileName);
        continue;
      }
      const uint64_t n = *number;
      if (n == 0)
        file.hasDescriptor = true;
      else
        file.present.push_back(n);
    }
    file.recoveryBlocks = group.recoveryBlocks;
    std::sort(file.present.begin(), file.present.end());
    file.present.erase(std::unique(file.present.begin(), file.present.end()), file.present.end());
    uint64_t expected = 1;
    for (uint64_t n : file.present) {
      for (; expected < n && file.missing.size() < kMaxListedGap; ++expected)
        file.missing.push_back(expected);
      expected = n + 1;
    }
    listing.files.push_back(std::move(file));
  }
  return listing;
}

bool ImapReceiveJob::Summary::LossesMended() const {
  for (const auto* names : {&corrupt, &gone})
    for (const std::string& n : *names) {
      if (IsRecoveryAttachment(n)) continue;
      // The merge of a file completes only with every segment on disk: a lost one was rebuilt
      // from the recovery data.
      const std::string group = SegmentManagerModel::GroupName(n);
      const bool rebuilt =
          std::any_of(mergeResults.begin(), mergeResults.end(), [&](const auto& r) {
            return r.outcome == MergeJob::Outcome::Complete &&
                   r.output.filename().string() == group;
          });
      if (!rebuilt) return false;
    }
  return true;
}

bool ImapReceiveJob::Summary::AllRebuilt() const {
  if (!merged || mergeDescriptors.empty() || !leftOut.empty() || !LossesMended()) return false;
  if (mergeResults.size() != mergeDescriptors.size()) return false;
  for (const auto& r : mergeResults)
    if (r.outcome != MergeJob::Outcome::Complete && r.outcome != MergeJob::Outcome::Kept)
      return false;
  return true;
}

namespace {

// How one attempt at an item ended.
struct AttemptEnd {
  enum class Kind {
    Saved,    // in place under its final name
    Corrupt,  // received whole but not a sound segment: fetching again gives the same bytes
    Gone,     // the mail or part is no longer in the folder as listed
    Retry,    // the connection failed: a fresh one may succeed
    Fatal,    // no retry can mend it (login, certificate, folder, local disk)
    Stopped,
  };
  Kind kind = Kind::Saved;
  Error error;
};

// A file created beside the final name, exclusively and never through a link, under a name
// the merge never counts as a segment of anything (it starts with a dot and no segment does).
struct TempFile {
  fs::path path;
  int fd = -1;

  ~TempFile() { Discard(); }
  Status Create(const fs::path& folder) {
    static constexpr char kLetters[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::random_device random;
    for (int attempt = 0; fd < 0; ++attempt) {
      std::string name = ".dtl-receive-";
      for (int i = 0; i < 6; ++i) name += kLetters[random() % (sizeof kLetters - 1)];
      path = folder / name;
      fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
      if (fd < 0 && (errno != EEXIST || attempt >= 100)) {
        const int err = errno;
        path.clear();
        return Error::FromErrno(folder.string(), err);
      }
    }
    return {};
  }
  Status Write(const char* p, size_t n) {
    while (n > 0) {
      ssize_t w = ::write(fd, p, n);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return Error::FromErrno(path.parent_path().string(), w == 0 ? EIO : errno);
      p += w;
      n -= static_cast<size_t>(w);
    }
    return {};
  }
  Status Close() {
    const int f = fd;
    fd = -1;
    if (f >= 0 && ::close(f) != 0) return Error::FromErrno(path.parent_path().string(), errno);
    return {};
  }
  // Puts the file in place; a link at `target` is replaced, never followed.
  Status Install(const fs::path& target) {
    if (::rename(path.c_str(), target.c_str()) != 0)
      return Error::FromErrno(target.string(), errno);
    path.clear();
    return {};
  }
  void Discard() {
    if (fd >= 0) ::close(fd);
    fd = -1;
    if (!path.empty()) ::unlink(path.c_str());
    path.clear();
  }
};

using Event = std::function<void(DownloadObserver&)>;

// One run: the workers share the item counter, the replace mode and the summary under one
// mutex, and hand every observer call to the Run thread through the event queue.
class ReceiveRun {
 public:
  ReceiveRun(const ImapReceiveJob::Params& params, std::stop_token stop)
      : p_(params),
        stop_(std::move(stop)),
        onStop_(stop_, [this] { halt_.request_stop(); }),
        onDisk_(params.items.size(), false) {
    now_ = p_.now ? p_.now : [] { return Clock::now(); };
    wait_ = p_.wait ? p_.wait : WaitUnlessStopped;
    clock_ = p_.clock ? p_.clock : [] { return std::time(nullptr); };
    folder_ = p_.folder.empty() ? std::string("INBOX") : p_.folder;
    // Overwrite and Skip are answers for one file; only the All answers stick.
    mode_ = p_.replace;
  }

  ImapReceiveJob::Summary Go(DownloadObserver& observer) {
    using Outcome = ImapReceiveJob::Outcome;
    observer.OnOverallRange(p_.items.size());
    const unsigned jobs = static_cast<unsigned>(
        std::min<size_t>(std::clamp(p_.jobs, 1u, 16u), std::max<size_t>(1, p_.items.size())));
    std::vector<std::thread> workers;
    running_ = p_.items.empty() ? 0 : jobs;
    // Counted against `jobs`, not running_: a worker that is done before the last one starts
    // has already lowered running_, and fewer workers than counted would leave Drain waiting.
    for (unsigned j = 0; j < (p_.items.empty() ? 0 : jobs); ++j)
      workers.emplace_back([this] { Work(); });
    Drain(observer);
    for (auto& t : workers) t.join();
    observer.OnRateCleared();

    summary_.descriptors.clear();
    for (size_t i = 0; i < p_.items.size(); ++i) {
      const std::string name = SafeAttachmentName(p_.items[i].item.fileName);
      const fs::path local = p_.outFolder / name;
      if (onDisk_[i] && IsDescriptorName(name) &&
          std::find(summary_.descriptors.begin(), summary_.descriptors.end(), local) ==
              summary_.descriptors.end())
        summary_.descriptors.push_back(local);
    }
    if (stop_.stop_requested()) {
      summary_.outcome = Outcome::Stopped;
      return summary_;
    }
    if (fatal_) {
      summary_.outcome = Outcome::Failed;
      summary_.error = *fatal_;
      return summary_;
    }
    ChooseMerges();
    if (p_.autoMerge) Merge();
    if (stop_.stop_requested()) summary_.outcome = Outcome::Stopped;
    return summary_;
  }

 private:
  void Post(Event e) {
    {
      std::lock_guard lock(mu_);
      events_.push_back(std::move(e));
    }
    cv_.notify_all();
  }

  void Drain(DownloadObserver& observer) {
    for (;;) {
      std::deque<Event> batch;
      {
        std::unique_lock lock(mu_);
        cv_.wait(lock, [&] { return !events_.empty() || running_ == 0; });
        if (events_.empty()) return;
        batch.swap(events_);
      }
      for (Event& e : batch) e(observer);
    }
  }

  // The observer answers on the Run thread; the worker waits for it. The Run thread drains
  // until every worker has ended, so the answer always comes.
  ReplaceMode Ask(const std::string& name) {
    std::promise<ReplaceMode> answer;
    auto future = answer.get_future();
    Post([&answer, name](DownloadObserver& o) { answer.set_value(o.ConfirmReplace(name)); });
    return future.get();
  }

  void Work() {
    std::unique_ptr<ImapSession> session;
    RetryBackoff backoff;
    for (;;) {
      size_t i;
      {
        std::lock_guard lock(mu_);
        if (halt_.stop_requested() || next_ >= p_.items.size()) break;
        i = next_++;
      }
      Item(i, session, backoff);
    }
    // A stopped run drops its connections without a farewell; a finished one says goodbye.
    if (session && !halt_.stop_requested()) (void)session->Logout();
    session.reset();
    {
      std::lock_guard lock(mu_);
      --running_;
    }
    cv_.notify_all();
  }

  void Finished(size_t i, bool onDisk, bool saved) {
    const std::string key = p_.items[i].item.key;
    {
      std::lock_guard lock(mu_);
      onDisk_[i] = onDisk;
      if (onDisk) ++(saved ? summary_.itemsSaved : summary_.itemsSkipped);
    }
    std::stop_token stop = stop_;
    Post([key, onDisk, stop](DownloadObserver& o) {
      o.OnOverallStep();
      if (onDisk && !stop.stop_requested()) o.OnItemDone(key);
    });
  }

  void Fail(Error e) {
    {
      std::lock_guard lock(mu_);
      if (!fatal_) fatal_ = std::move(e);
    }
    halt_.request_stop();
  }

  void Item(size_t i, std::unique_ptr<ImapSession>& session, RetryBackoff& backoff) {
    const ImapSegmentRef& ref = p_.items[i];
    const std::string name = SafeAttachmentName(ref.item.fileName);
    const fs::path local = p_.outFolder / name;
    Post([i, name](DownloadObserver& o) { o.OnItemStarted(i, name); });

    std::error_code ec;
    const bool exists = fs::exists(fs::symlink_status(local, ec));
    ReplaceMode mode;
    {
      std::lock_guard lock(mu_);
      mode = mode_;
    }
    if (exists && mode != ReplaceMode::Overwrite && mode != ReplaceMode::OverwriteAll) {
      // A segment that verifies is what a fetch would give again: a run again resumes.
      bool keep = VerifyReceivedFile(local, p_.password).ok() || mode == ReplaceMode::SkipAll;
      if (!keep) {
        const ReplaceMode answer = Ask(name);
        // A stop given while the question was open leaves the existing file untouched.
        if (halt_.stop_requested()) return;
        {
          std::lock_guard lock(mu_);
          if (answer == ReplaceMode::OverwriteAll || answer == ReplaceMode::SkipAll) mode_ = answer;
        }
        keep = answer == ReplaceMode::Skip || answer == ReplaceMode::SkipAll;
      }
      if (keep) {
        Finished(i, true, false);
        return;
      }
    }

    for (;;) {
      if (halt_.stop_requested()) return;
      if (!RestWhilePaused()) return;
      AttemptEnd end = Attempt(i, name, local, session);
      if (end.kind == AttemptEnd::Kind::Retry || end.kind == AttemptEnd::Kind::Fatal ||
          end.kind == AttemptEnd::Kind::Gone) {
        // The server's own words decide: throttling is waited out, never retried against or
        // taken for a lost mail.
        if (auto limit = ThrottledBy(session.get())) {
          session.reset();
          if (!Pause(i, *limit)) return;
          continue;
        }
      }
      switch (end.kind) {
        case AttemptEnd::Kind::Saved:
          backoff.Reset();
          Finished(i, true, true);
          return;
        case AttemptEnd::Kind::Corrupt:
        case AttemptEnd::Kind::Gone: {
          {
            std::lock_guard lock(mu_);
            (end.kind == AttemptEnd::Kind::Corrupt ? summary_.corrupt : summary_.gone)
                .push_back(name);
          }
          const std::string text = end.error.message;
          Post([text](DownloadObserver& o) { o.OnMessage(text); });
          Finished(i, false, false);
          return;
        }
        case AttemptEnd::Kind::Fatal: Fail(std::move(end.error)); return;
        case AttemptEnd::Kind::Stopped: return;
        case AttemptEnd::Kind::Retry: {
          session.reset();
          {
            std::lock_guard lock(mu_);
            ++summary_.attemptsFailed;
          }
          const std::string reason = end.error.message;
          Post([i, reason](DownloadObserver& o) { o.OnAttemptFailed(i, reason); });
          const std::chrono::milliseconds delay = backoff.NextDelay();
          if (halt_.stop_requested()) return;
          Post([i, reason, delay](DownloadObserver& o) { o.OnRetryWait(i, reason, delay); });
          if (delay.count() > 0 && !wait_(delay, halt_.get_token())) return;
          break;
        }
      }
    }
  }

  std::optional<ProviderLimit> ThrottledBy(const ImapSession* session) const {
    if (!session || !session->lastRefusal()) return std::nullopt;
    const ImapResponse& r = *session->lastRefusal();
    return ImapProviderLimit(r.name, r.CodeName(), r.text, clock_(), p_.limitPauses);
  }

  // Announces the pause (once for each later resume time, whichever connection met it) and
  // rests until it ends; false when a stop ended it.
  bool Pause(size_t i, const ProviderLimit& limit) {
    bool announce = false;
    {
      std::lock_guard lock(mu_);
      if (limit.until > pausedUntil_) {
        pausedUntil_ = limit.until;
        announce = true;
      }
    }
    if (announce) {
      const std::time_t now = clock_();
      const std::string status = ReceivePausedStatus(ReceiveLimitReason(limit), limit.until, now);
      const auto wait = std::chrono::milliseconds(
          std::chrono::seconds(std::max<std::time_t>(0, limit.until - now)));
      Post([i, status, wait](DownloadObserver& o) { o.OnPaused(i, status, wait); });
    }
    return RestWhilePaused();
  }

  // Waits out a pause in force; false when a stop ended the wait.
  bool RestWhilePaused() {
    std::time_t until;
    {
      std::lock_guard lock(mu_);
      until = pausedUntil_;
    }
    const std::time_t now = clock_();
    if (until <= now) return !halt_.stop_requested();
    return wait_(std::chrono::seconds(until - now), halt_.get_token());
  }

  // Where a session's failure happened: the same code means different things in each.
  enum class Phase { Connect, Examine, Fetch };

  // Sorts a session's failure: what a fresh connection may mend is retried.
  AttemptEnd Classify(const Error& e, Phase phase) {
    if (halt_.stop_requested() || e.code == ErrorCode::Cancelled)
      return {AttemptEnd::Kind::Stopped, e};
    switch (e.code) {
      case ErrorCode::Auth:
      case ErrorCode::Tls:
      case ErrorCode::Unsupported:
      case ErrorCode::InvalidArgument:
      case ErrorCode::Io: return {AttemptEnd::Kind::Fatal, e};
      case ErrorCode::NotFound:
        // A host name that does not resolve may resolve later; a folder that is not there
        // will not appear by itself; a mail that is not there was deleted since the listing.
        return {phase == Phase::Connect   ? AttemptEnd::Kind::Retry
                : phase == Phase::Examine ? AttemptEnd::Kind::Fatal
                                          : AttemptEnd::Kind::Gone,
                e};
      case ErrorCode::Refused:
        // A greeting BYE (too many connections) passes; a refused fetch of one mail repeats.
        return {phase == Phase::Fetch ? AttemptEnd::Kind::Gone : AttemptEnd::Kind::Retry, e};
      default: return {AttemptEnd::Kind::Retry, e};
    }
  }

  AttemptEnd Attempt(size_t i, const std::string& name, const fs::path& local,
                     std::unique_ptr<ImapSession>& session) {
    const ImapSegmentRef& ref = p_.items[i];
    if (!session || session->state() != ImapState::Selected) {
      session = std::make_unique<ImapSession>(p_.settings, halt_.get_token());
      if (p_.connector) session->SetConnector(p_.connector);
      if (Status s = session->Open(); !s) return Classify(s.error(), Phase::Connect);
      auto info = session->Examine(folder_);
      if (!info) return Classify(info.error(), Phase::Examine);
      if (p_.uidValidity != 0 && info->uidValidity != 0 && info->uidValidity != p_.uidValidity)
        return {AttemptEnd::Kind::Fatal,
                Error(ErrorCode::NotFound, "the IMAP folder \"" + folder_ +
                                               "\" was renumbered since it was listed; list it "
                                               "again")};
    }

    TempFile temp;
    if (Status s = temp.Create(p_.outFolder); !s) return {AttemptEnd::Kind::Fatal, s.error()};
    auto decoder = TransferDecoder::For(ref.encoding);
    std::string decoded;
    uint64_t fileBytes = 0, written = 0;
    const uint64_t largest = LargestAttachment(name);
    const bool recovery = IsRecoveryAttachment(name);
    const auto start = now_();
    const ImapSink sink = [&](std::string_view chunk) -> Status {
      decoded.clear();
      decoder->Feed(chunk, decoded);
      // Whatever the server announces, nothing larger than a segment (or a recovery file) is
      // ever written.
      if (decoded.size() > largest - written) return TooLarge(name, recovery);
      if (Status s = temp.Write(decoded.data(), decoded.size()); !s) return s;
      written += decoded.size();
      fileBytes += chunk.size();
      const uint64_t total = encodedTotal_.fetch_add(chunk.size()) + chunk.size();
      const int64_t announced = static_cast<int64_t>(ref.encodedSize);
      const uint64_t now = fileBytes;
      const double secs = std::chrono::duration<double>(now_() - start).count();
      const auto seconds = static_cast<int64_t>(secs + 0.5);
      Post([now, total, announced, seconds](DownloadObserver& o) {
        o.OnBytes(now, total, announced);
        if (seconds > 0)
          o.OnDisplay(
              DownloadDisplay{RateText(now, seconds), ByteCountText(now), ByteCountText(total)});
      });
      return {};
    };
    auto got = session->FetchSection(ref.uid, ref.section, sink);
    if (!got) {
      temp.Discard();
      if (got.error().code == ErrorCode::Corrupt && !halt_.stop_requested()) {
        session.reset();
        return {AttemptEnd::Kind::Corrupt, got.error()};
      }
      if (got.error().code == ErrorCode::Io && !halt_.stop_requested())
        return {AttemptEnd::Kind::Fatal, got.error()};
      AttemptEnd end = Classify(got.error(), Phase::Fetch);
      // The user learns which segment went missing, not only which message number.
      if (end.kind == AttemptEnd::Kind::Gone)
        end.error.message = name + ": " + end.error.message + "; it was not saved.";
      return end;
    }
    if (*got == 0 && ref.encodedSize > 0)
      return {AttemptEnd::Kind::Gone,
              Error(ErrorCode::NotFound, name + ": the mail is no longer in the IMAP folder \"" +
                                             folder_ + "\"; it was not saved.")};
    if (*got != ref.encodedSize)
      return {AttemptEnd::Kind::Corrupt,
              Error(ErrorCode::Corrupt, name + ": the server sent " + std::to_string(*got) +
                                            " bytes of the " + std::to_string(ref.encodedSize) +
                                            " it listed; it was not saved.")};
    decoded.clear();
    if (Status s = decoder->Finish(decoded); !s)
      return {AttemptEnd::Kind::Corrupt,
              Error(ErrorCode::Corrupt, name + ": the attachment's " + ref.encoding +
                                            " encoding is damaged; it was not saved.")};
    if (decoded.size() > largest - written)
      return {AttemptEnd::Kind::Corrupt, TooLarge(name, recovery)};
    if (Status s = temp.Write(decoded.data(), decoded.size()); !s)
      return {AttemptEnd::Kind::Fatal, s.error()};
    written += decoded.size();
    if (Status s = temp.Close(); !s) return {AttemptEnd::Kind::Fatal, s.error()};
    // A damaged attachment stays damaged however often it is fetched: it is reported once and
    // kept away from the final name, so the merge never takes it for the real segment. A
    // recovery file is no segment archive: the repair checks every packet of it by its MD5.
    if (Status s = recovery ? Status() : VerifySegmentFile(temp.path, p_.password); !s) {
      if (s.error().code != ErrorCode::Corrupt) return {AttemptEnd::Kind::Fatal, s.error()};
      return {AttemptEnd::Kind::Corrupt,
              Error(ErrorCode::Corrupt,
                    "Unable to unzip " + name +
                        " received from the mailbox, either the attachment is corrupt or you "
                        "entered the wrong password. It was not saved.")};
    }
    if (Status s = temp.Install(local); !s) return {AttemptEnd::Kind::Fatal, s.error()};
    {
      std::lock_guard lock(mu_);
      summary_.totalBytes += written;
    }
    return {AttemptEnd::Kind::Saved, {}};
  }

  // What a merge of this run is handed, also when the caller merges by itself. A file whose
  // descriptor did not come but whose recovery files did is handed over by a recovery file:
  // the merge rebuilds the descriptor from it. A file with a corrupt segment is left out unless
  // its recovery files came (then the repair may rebuild the segment): the segment is not on
  // disk under its name and the merge would only report it missing. A bad recovery file leaves
  // nobody out: the repair judges what arrived.
  void ChooseMerges() {
    std::vector<std::string> onDisk;
    std::set<std::string> withRecovery;
    for (size_t i = 0; i < p_.items.size(); ++i) {
      if (!onDisk_[i]) continue;
      onDisk.push_back(SafeAttachmentName(p_.items[i].item.fileName));
      if (IsRecoveryAttachment(onDisk.back()))
        withRecovery.insert(SegmentManagerModel::GroupName(onDisk.back()));
    }
    std::set<std::string> damaged;
    for (const std::string& n : summary_.corrupt)
      if (!IsRecoveryAttachment(n) && !withRecovery.count(SegmentManagerModel::GroupName(n)))
        damaged.insert(SegmentManagerModel::GroupName(n));
    for (const fs::path& d : MergeDescriptors(p_.outFolder, onDisk)) {
      const std::string group = SegmentManagerModel::GroupName(d.filename().string());
      if (damaged.count(group)) {
        summary_.leftOut.push_back(group);
        continue;
      }
      summary_.mergeDescriptors.push_back(d);
    }
  }

  // One merge per file, so a file that cannot be rebuilt does not hold back the others.
  void Merge() {
    NullMergeObserver quiet;
    MergeObserver& observer = p_.mergeObserver ? *p_.mergeObserver : quiet;
    summary_.merged = true;
    for (const fs::path& d : summary_.mergeDescriptors) {
      if (stop_.stop_requested()) break;
      MergeJob::Params mp;
      mp.descriptors = {d};
      mp.saveFolder = p_.outFolder;
      mp.password = p_.password;
      mp.threads = p_.mergeThreads;
      MergeJob::Report report = MergeJob::Run(mp, observer, stop_);
      WipeSecret(mp.password);
      if (!report.files.empty()) summary_.mergeResults.push_back(report.files.front());
    }
  }

  const ImapReceiveJob::Params& p_;
  std::stop_token stop_;
  std::stop_source halt_;  // the caller's stop, or a failure that ends the run
  std::stop_callback<std::function<void()>> onStop_;
  std::function<Clock::time_point()> now_;
  std::function<bool(std::chrono::milliseconds, std::stop_token)> wait_;
  std::function<std::time_t()> clock_;
  std::string folder_;
  // The latest time a server's throttling named: every connection rests until then.
  std::time_t pausedUntil_ = 0;

  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<Event> events_;
  size_t next_ = 0;
  unsigned running_ = 0;
  ReplaceMode mode_;
  std::optional<Error> fatal_;
  std::vector<bool> onDisk_;
  ImapReceiveJob::Summary summary_;
  std::atomic<uint64_t> encodedTotal_{0};
};

}  // namespace

ImapReceiveJob::Summary ImapReceiveJob::Run(const Params& params, DownloadObserver& observer,
                                            std::stop_token stop) {
  ReceiveRun run(params, std::move(stop));
  return run.Go(observer);
}

Status VerifySegmentFile(const std::filesystem::path& path, std::string_view password) {
  return MergeJob::CheckSegmentFile(path, password);
}

Status VerifyReceivedFile(const std::filesystem::path& path, std::string_view password) {
  const std::string name = path.filename().string();
  if (!IsRecoveryAttachment(name)) return VerifySegmentFile(path, password);
  std::error_code ec;
  const uintmax_t size = fs::file_size(path, ec);
  if (ec) return Error::FromErrno(path.string(), ec.value());
  if (size > LargestAttachment(name))
    return Error(ErrorCode::Corrupt, name + " is larger than any recovery file");
  auto set = par2::ReadRecoverySet({path});
  if (!set) return set.error();
  // A volume cut short still holds the set's description; only the blocks its name announces
  // show that it is whole.
  if (set->blocks.size() < RecoveryBlocksInName(name))
    return Error(ErrorCode::Corrupt, name + " holds fewer recovery blocks than its name says");
  return {};
}

}  // namespace dtl
