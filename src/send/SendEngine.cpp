#include "send/SendEngine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <future>
#include <mutex>
#include <set>
#include <stop_token>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "archive/PieceProducer.h"
#include "archive/SegmentArchive.h"
#include "archive/SegmentList.h"
#include "archive/SegmentRecovery.h"
#include "base/ProgramFolder.h"
#include "base/SecretMemory.h"
#include "base/SettingsStore.h"
#include "base/TempFiles.h"
#include "mail/EmailObject.h"
#include "mail/ErrorLog.h"
#include "mail/MapiSession.h"

namespace dtl {

bool PauseUnlessStopped(std::chrono::milliseconds duration, std::stop_token stop) {
  std::mutex mutex;
  std::condition_variable_any wake;
  std::unique_lock<std::mutex> lock(mutex);
  // The stop callback of condition_variable_any wakes the wait as soon as a stop is requested.
  return !wake.wait_for(lock, stop, duration, [] { return false; });
}

std::string MakeSubjectTag(RandomSource& random) {
  std::string tag;
  for (int i = 0; i < 10; ++i) {
    if (random.Next() % 2 == 0)
      tag.push_back(static_cast<char>('0' + random.Next() % 9));
    else
      tag.push_back(static_cast<char>('a' + random.Next() % 25));
  }
  return tag;
}

std::string SegmentSubject(std::string_view name, int32_t index, std::string_view tag, bool plain) {
  std::string s(name);
  if (plain) return s + " ";
  s += " - segment number " + std::to_string(index) + "         ";
  s += tag;
  return s;
}

std::string RecoverySubject(std::string_view name, uint32_t number, uint32_t count,
                            std::string_view tag) {
  std::string s(name);
  s += " - recovery file " + std::to_string(number) + " of " + std::to_string(count) + "         ";
  s += tag;
  return s;
}

bool IsSpoolName(std::string_view name) {
  constexpr std::string_view kPrefix = "spool-";
  if (name.size() <= kPrefix.size() || name.size() > 64 || !name.starts_with(kPrefix)) return false;
  return std::all_of(name.begin() + kPrefix.size(), name.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
  });
}

std::filesystem::path SpoolFolderOf(const SendEnvironment& env) {
  return env.spoolFolder.empty() ? TempFolder() : env.spoolFolder;
}

void RemoveSpools(const std::filesystem::path& spoolFolder,
                  const std::vector<SegmentRecord>& records) {
  std::set<std::string> done;
  for (const SegmentRecord& r : records) {
    // The name was checked when the record was read, but a list can come from anywhere: only a
    // spool name ever reaches remove_all, so nothing outside the spool folder can be removed.
    if (!IsSpoolName(r.spool) || !done.insert(r.spool).second) continue;
    std::error_code ec;
    std::filesystem::remove_all(spoolFolder / r.spool, ec);
  }
}

Status DeliverOverSmtp(const SmtpSettings& settings, const SmtpEnvelope& envelope,
                       std::string_view wire, MailProgress* progress, std::stop_token stop,
                       SmtpAttemptReport& report) {
  SmtpClient client(settings, progress, std::move(stop));
  Status sent = client.SendMessage(envelope, wire);
  report.log = client.LastLog();
  report.sizeLimit = client.SizeLimit();
  report.permanentRefusal = client.PermanentRefusal();
  report.messageAccepted = client.MessageAccepted();
  report.acceptedRecipients = client.AcceptedRecipients();
  report.refusedRecipients = client.RefusedRecipients();
  report.cause = client.FailureCause();
  report.refusal = client.LastRefusal();
  return sent;
}

namespace {

// Bytes of `n` bytes in base64 lines of 76 characters, each ended by CRLF.
uint64_t Base64WireBytes(uint64_t n) {
  const uint64_t chars = (n + 2) / 3 * 4;
  return chars + (chars + 75) / 76 * 2;
}

}  // namespace

uint64_t LargestFittingSegmentSize(uint64_t sizeLimit, uint64_t pieceBytes,
                                   uint64_t attachmentBytes, uint64_t mailBytes) {
  constexpr uint64_t kStep = 10000;
  // Headers differ a little from segment to segment (its number, its name): keep a margin.
  constexpr uint64_t kMargin = 1000;
  const int64_t fixed =
      static_cast<int64_t>(mailBytes) - static_cast<int64_t>(Base64WireBytes(attachmentBytes));
  // A piece that compressed well says nothing about the next one: the estimate assumes none
  // compresses, so the size it names fits whatever the file holds.
  const int64_t zipOverhead = std::max<int64_t>(
      0, static_cast<int64_t>(attachmentBytes) - static_cast<int64_t>(pieceBytes));
  for (uint64_t position = 1000; position >= 1; --position) {
    const int64_t attachment =
        std::max<int64_t>(0, static_cast<int64_t>(position * kStep) + zipOverhead);
    const int64_t mail =
        fixed + static_cast<int64_t>(Base64WireBytes(static_cast<uint64_t>(attachment)));
    if (mail + static_cast<int64_t>(kMargin) <= static_cast<int64_t>(sizeLimit))
      return position * kStep;
  }
  return 0;
}

namespace {
// Generous bounds on what surrounds a piece: the archive's headers, salt and check value with
// the entry name twice, and the mail's headers, body and MIME boundaries.
constexpr uint64_t kArchiveSlack = 1024;
constexpr uint64_t kMailSlack = 4096;
}  // namespace

uint64_t EstimatedSegmentMailBytes(uint64_t pieceBytes) {
  return Base64WireBytes(pieceBytes + kArchiveSlack) + kMailSlack;
}

uint64_t LargestFittingSegmentSize(uint64_t sizeLimit) {
  return LargestFittingSegmentSize(sizeLimit, 0, kArchiveSlack, EstimatedSegmentMailBytes(0));
}

namespace {

// One segment cut out of its source and packed: the attachment bytes ready for the message.
struct PackedPiece {
  size_t position = 0;
  SegmentRecord record;
  bool ok = false;
  Error error;                 // why the piece could not be cut (the system's text)
  std::string pieceName;       // the temporary piece file's name (the zip entry's name)
  uint64_t rawSize = 0;        // the piece's own bytes, before packing
  std::vector<uint8_t> bytes;  // the AES-form archive, or the raw piece in plain mode
};

bool SameRecord(const SegmentRecord& a, const SegmentRecord& b) {
  return a.path == b.path && a.index == b.index && a.segmentSize == b.segmentSize &&
         a.fileSize == b.fileSize && a.recoveryFile == b.recoveryFile && a.spool == b.spool;
}

class EngineProgress : public MailProgress {
 public:
  EngineProgress(SendEngineObserver& observer, int32_t position)
      : observer_(observer), position_(position) {}
  void SendProgress(int percent) override {
    // One event per percent step: a 10 MB segment would otherwise flood the receiver.
    if (percent != last_) {
      last_ = percent;
      observer_.OnSendEvent({SendEventKind::UploadPercent, position_, percent, {}});
    }
  }
  void ReadProgress(int) override {}

 private:
  SendEngineObserver& observer_;
  int32_t position_;
  int last_ = -1;
};

class Run {
 public:
  Run(const SendRunParams& p, std::stop_token stop)
      : p_(p),
        stop_(std::move(stop)),
        list_(*p.list),
        obs_(*p.observer),
        env_(*p.env),
        delivery_(p.delivery) {
    temp_ = env_.tempFolder.empty() ? TempFolder() : env_.tempFolder;
    spoolBase_ = SpoolFolderOf(env_);
    logFolder_ = env_.errorLogFolder;
  }
  ~Run() {
    WipeSecret(delivery_.smtpPassword);
    WipeSecret(delivery_.mapiPassword);
  }

  int Go() {
    if (p_.job.method == SendMethod::DirectSend && env_.mxResolverFactory) {
      // A resolver that cannot be made leaves resolver_ empty: each look-up then fails visibly.
      auto made = env_.mxResolverFactory();
      if (made) resolver_ = std::move(made.value());
    }
    env_.random->Seed(static_cast<uint32_t>(env_.clock()));
    lastAttemptFailed_ = true;
    if (env_.resumePausedUntil > env_.clock()) {
      // An earlier run of this job was told to hold off until then: starting sooner would
      // only meet the same limit again.
      size_t first = 0;
      for (size_t q = 0; q < list_.RecordCount(); ++q)
        if (const auto r = list_.RecordAt(q); r && r->pending) {
          first = q;
          break;
        }
      const std::string reason = env_.resumePauseReason.empty()
                                     ? std::string("the server's sending limit was reached")
                                     : env_.resumePauseReason;
      if (!WaitOutLimit(first, env_.resumePausedUntil, reason)) return Abandon();
    }

    for (long p = 0; p < static_cast<long>(list_.RecordCount()); ++p) {
      tag_ = MakeSubjectTag(*env_.random);
      if (p_.onPosition) p_.onPosition(static_cast<int32_t>(p));
      if (stop_.stop_requested()) return Abandon();
      const auto record = list_.RecordAt(static_cast<size_t>(p));
      if (!record || record->pending == 0) continue;
      if (record->recoveryPercent > 0 && !p_.job.plain) {
        const Step prepared = EnsureSpool(static_cast<size_t>(p), *record);
        if (prepared == Step::Abandon) return Abandon();
        if (prepared == Step::Retry) {
          --p;
          continue;
        }
      }
      Step step = Step::Next;
      switch (p_.job.method) {
        case SendMethod::DirectSend:
        case SendMethod::SmtpServer: step = DeliverSmtp(static_cast<size_t>(p), *record); break;
        case SendMethod::Mapi: step = DeliverMapi(static_cast<size_t>(p), *record); break;
      }
      if (step == Step::Abandon) return Abandon();
      if (step == Step::Retry) --p;
    }
    if (p_.onNormalEnd) p_.onNormalEnd();
    Settle();
    obs_.OnSendEvent({SendEventKind::RunEnded, 0, 0, {}});
    return 1;
  }

 private:
  enum class Step { Next, Retry, Abandon };

  int Abandon() {
    Settle();
    return 0;
  }

  // A packing still going on ahead is waited for, so nothing of the run outlives it.
  void Settle() {
    if (ahead_.valid()) ahead_.wait();
  }

  void Status(size_t p, std::string text) {
    obs_.OnSendEvent({SendEventKind::Status, static_cast<int32_t>(p), 0, std::move(text)});
  }
  static std::string Format(std::string_view pattern, const std::string& value) {
    const size_t at = pattern.find("%s");
    std::string s(pattern);
    return s.replace(at, 2, value);
  }
  static std::string Format(std::string_view pattern, long number) {
    const size_t at = pattern.find("%d");
    std::string s(pattern);
    return s.replace(at, 2, std::to_string(number));
  }

  PackedPiece Pack(size_t position, const SegmentRecord& record) const {
    if (record.recoveryPercent > 0 && !p_.job.plain) return ReadSpooled(position, record);
    return PackFresh(position, record);
  }

  // A record of a file sent with recovery data: the bytes its spool holds, which the recovery
  // files were made over.
  PackedPiece ReadSpooled(size_t position, const SegmentRecord& record) const {
    PackedPiece piece;
    piece.position = position;
    piece.record = record;
    piece.pieceName = SpooledFileName(record);
    auto bytes = ReadSpoolFile(spoolBase_ / record.spool / piece.pieceName);
    if (!bytes) {
      piece.error = std::move(bytes.error());
      return piece;
    }
    piece.bytes = std::move(bytes.value());
    piece.rawSize = piece.bytes.size();
    piece.ok = true;
    return piece;
  }

  // Repeats a read or write (`step(offset)` moves bytes from `offset` on) until `size` bytes
  // are moved; returns 0, or the errno that stopped it. A step that moves nothing is EIO: a spool
  // file that shrank under us or a disk that takes no more is a failure, never a reason to wait.
  template <typename Step>
  static int MoveAll(size_t size, Step step) {
    size_t done = 0;
    while (done < size) {
      const ssize_t n = step(done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return n < 0 ? errno : EIO;
      done += static_cast<size_t>(n);
    }
    return 0;
  }

  // Reads one file of a spool. The spool is the run's own, yet the file is opened without
  // following links and read no further than a sane bound: a folder under the user's state
  // folder can be tampered with between runs.
  static Result<std::vector<uint8_t>> ReadSpoolFile(const std::filesystem::path& file) {
    constexpr uint64_t kLargestSpoolFile = uint64_t{1} << 30;
    auto fail = [&](int e) -> Result<std::vector<uint8_t>> {
      return Error(e == ENOENT ? ErrorCode::NotFound : ErrorCode::Io,
                   file.string() + ": " + std::generic_category().message(e), e);
    };
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return fail(errno);
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<uint64_t>(st.st_size) > kLargestSpoolFile) {
      ::close(fd);
      return fail(EINVAL);
    }
    std::vector<uint8_t> bytes(static_cast<size_t>(st.st_size));
    if (const int e = MoveAll(bytes.size(), [&](size_t at) {
          return ::read(fd, bytes.data() + at, bytes.size() - at);
        });
        e != 0) {
      ::close(fd);
      return fail(e);
    }
    ::close(fd);
    return bytes;
  }

  // Writes a new file of a spool and syncs it: the completion mark written after it promises
  // that every byte is on disk.
  static dtl::Status WriteSpoolFile(const std::filesystem::path& file,
                                    const std::vector<uint8_t>& bytes) {
    auto fail = [&](int e) -> dtl::Status {
      return Error(ErrorCode::Io, file.string() + ": " + std::generic_category().message(e), e);
    };
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return fail(errno);
    if (const int e = MoveAll(bytes.size(), [&](size_t at) {
          return ::write(fd, bytes.data() + at, bytes.size() - at);
        });
        e != 0) {
      ::close(fd);
      return fail(e);
    }
    if (::fsync(fd) != 0) {
      const int e = errno;
      ::close(fd);
      return fail(e);
    }
    if (::close(fd) != 0) return fail(errno);
    return {};
  }

  static constexpr const char* kSpoolComplete = ".complete";

  // True when some record of `spool` already went out from it, to everybody or to some.
  bool MailedFromSpool(const std::string& spool) const {
    const size_t count = list_.RecordCount();
    for (size_t q = 0; q < count; ++q) {
      const auto r = list_.RecordAt(q);
      if (!r || r->spool != spool || !r->spoolReady) continue;
      if (!r->pending || !list_.ServedRecipients(q).empty()) return true;
    }
    return false;
  }

  bool SpoolStillNeeded(const std::string& spool) const {
    const size_t count = list_.RecordCount();
    for (size_t q = 0; q < count; ++q) {
      const auto r = list_.RecordAt(q);
      if (r && r->spool == spool && r->pending) return true;
    }
    return false;
  }

  // After a delivery: the spool goes once nothing of its file is left to mail.
  void ReleaseSpoolIfDone(const SegmentRecord& record) {
    if (record.recoveryPercent == 0 || !IsSpoolName(record.spool)) return;
    if (SpoolStillNeeded(record.spool)) return;
    std::error_code ec;
    std::filesystem::remove_all(spoolBase_ / record.spool, ec);
    readySpools_.erase(record.spool);
  }

  // A spooled file that is not there comes back on every retry: retrying would never end.
  static bool SpoolFileLost(const SegmentRecord& record, const PackedPiece& piece) {
    return record.recoveryPercent > 0 && !piece.ok && piece.error.code == ErrorCode::NotFound;
  }

  Step SpoolGone(size_t p, const SegmentRecord& record) {
    Status(p, Format(kStatusSpoolGone, record.name));
    return GiveUp();
  }

  // Makes sure the spool of `record`'s file is complete before anything of it is mailed.
  Step EnsureSpool(size_t p, const SegmentRecord& record) {
    if (readySpools_.contains(record.spool)) return Step::Next;
    const std::filesystem::path dir = spoolBase_ / record.spool;
    std::error_code ec;
    if (!IsSpoolName(record.spool)) return SpoolGone(p, record);
    if (std::filesystem::is_regular_file(std::filesystem::symlink_status(dir / kSpoolComplete, ec))) {
      readySpools_.insert(record.spool);
      list_.MarkSpoolReady(record.spool);
      return Step::Next;
    }
    // Fresh bytes now would not match the recovery files (or segments) already mailed.
    if (MailedFromSpool(record.spool)) return SpoolGone(p, record);
    Status(p, std::string(kStatusPreparingRecovery));
    dtl::Status made = MakeSpool(dir, record);
    if (!made) {
      std::filesystem::remove_all(dir, ec);
      if (stop_.stop_requested() || made.error().code == ErrorCode::Cancelled) {
        Status(p, std::string(kStatusStopped));
        return Step::Abandon;
      }
      lastAttemptFailed_ = true;
      return RetryAfterWait(p, Format(Format(kStatusPrepareFailed, record.name),
                                      made.error().message));
    }
    readySpools_.insert(record.spool);
    list_.MarkSpoolReady(record.spool);
    return Step::Next;
  }

  // Packs every segment of `record`'s file into `dir`, under the names a receiver saves them
  // by, makes the recovery files over them and marks the spool complete. A half spool left by
  // an earlier run is started again: none of it was mailed (EnsureSpool checked).
  dtl::Status MakeSpool(const std::filesystem::path& dir, const SegmentRecord& record) {
    if (dtl::Status base = MakePrivateFolders(spoolBase_); !base) return base;
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    if (::mkdir(dir.c_str(), 0700) != 0) {
      const int e = errno;
      return Error(ErrorCode::Io, dir.string() + ": " + std::generic_category().message(e), e);
    }
    const uint64_t count = SegmentCount(record.fileSize, record.segmentSize);
    std::vector<std::string> names;
    for (uint64_t i = 0; i < count; ++i) {
      if (stop_.stop_requested()) return Error(ErrorCode::Cancelled, "");
      SegmentRecord segment = record;
      segment.index = static_cast<int32_t>(i);
      segment.recoveryFile.clear();
      PackedPiece piece = PackFresh(0, segment);
      if (!piece.ok) return piece.error;
      names.push_back(SpooledFileName(segment));
      if (dtl::Status written = WriteSpoolFile(dir / names.back(), piece.bytes); !written)
        return written;
    }
    auto recovery = MakeSegmentRecovery(dir, names, record.name, record.recoveryPercent, stop_);
    if (!recovery) return recovery.error();
    if (dtl::Status marked = WriteSpoolFile(dir / kSpoolComplete, {}); !marked) return marked;
    // The mark's name in the folder is on disk too, or a crash could leave a spool whose mark
    // survives but whose files' names do not.
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
      (void)::fsync(dfd);
      ::close(dfd);
    }
    return {};
  }

  PackedPiece PackFresh(size_t position, const SegmentRecord& record) const {
    PackedPiece piece;
    piece.position = position;
    piece.record = record;
    std::vector<uint8_t> raw;
    {
      // The sweep after an attempt removes every piece file; cutting the next piece ahead
      // must not lose its file to it between creating and reading it.
      std::lock_guard<std::mutex> lock(pieceMutex_);
      auto produced = ProducePiece(record.path, record.segmentSize,
                                   static_cast<uint64_t>(record.index) + 1, record.fileSize, temp_);
      if (!produced) {
        piece.error = produced.error().message.empty()
                          ? Error(ErrorCode::Io, std::generic_category().message(EIO))
                          : std::move(produced.error());
        return piece;
      }
      piece.pieceName = AttachmentNameFromPath(produced->path().string());
      // Read back through the descriptor it was written with, never by its name.
      auto read = produced->ReadAll();
      ::unlink(produced->path().c_str());
      if (!read) {
        piece.error = std::move(read.error());
        return piece;
      }
      raw = std::move(read.value());
    }
    piece.rawSize = raw.size();
    if (p_.job.plain) {
      piece.bytes = std::move(raw);
    } else {
      try {
        piece.bytes = PackSegmentAes(piece.pieceName, raw, p_.job.password);
      } catch (const std::exception& e) {
        piece.error = Error(ErrorCode::Failed, "Segment AES encryption failed.");
        return piece;
      }
    }
    piece.ok = true;
    return piece;
  }

  // The next pending record after `p`, packed on a thread of its own while `p` is on the wire.
  void PackAhead(size_t p) {
    if (!env_.packAhead || ahead_.valid()) return;
    const size_t count = list_.RecordCount();
    for (size_t q = p + 1; q < count; ++q) {
      const auto r = list_.RecordAt(q);
      if (!r || !r->pending) continue;
      // A file whose spool is not made yet is prepared first, when its turn comes.
      if (r->recoveryPercent > 0 && !p_.job.plain && !readySpools_.contains(r->spool)) return;
      aheadPosition_ = q;
      ahead_ = std::async(std::launch::async, [this, q, rec = *r] { return Pack(q, rec); });
      return;
    }
  }

  PackedPiece TakePiece(size_t p, const SegmentRecord& record) {
    // A retry of `p` leaves the piece packed ahead for a later record alone.
    if (ahead_.valid() && aheadPosition_ <= p) {
      PackedPiece piece = ahead_.get();
      // One packed for a record the run passed by (unticked meanwhile) is dropped.
      if (piece.position == p && SameRecord(piece.record, record)) return piece;
    }
    return Pack(p, record);
  }

  std::string Subject(const SegmentRecord& record) const {
    if (record.IsRecovery() && !p_.job.plain)
      return RecoverySubject(record.name, static_cast<uint32_t>(record.index) + 1,
                             RecoveryFileCount(record), tag_);
    return SegmentSubject(record.name, record.index, tag_, p_.job.plain);
  }

  // Subject, recipients and From, attachment, body: in the order the mail engine is fed.
  bool Compose(const SegmentRecord& record, PackedPiece& piece, EmailObject& email) {
    const std::string subject = Subject(record);
    email.SetHeader("X-Mailer", "");
    email.SetSubject(subject);
    if (p_.job.method == SendMethod::DirectSend) {
      email.AddTo(p_.job.recipients, p_.job.recipients);
      email.SetFrom(p_.job.from);
    } else {
      email.SetFrom(p_.job.from);
      for (const std::string& to : SplitRecipients(p_.job.recipients)) email.AddTo(to, to);
    }
    if (!piece.ok) return false;
    const std::string attachmentName = SegmentAttachmentName(record, p_.job.plain);
    if (p_.job.plain) {
      email.AddAttachmentBytes(piece.pieceName, "application/x-msdownload", std::move(piece.bytes));
      (void)email.SetAttachmentFilename(0, attachmentName);
    } else {
      // Exactly what AddFileAttachment + ZipAttachments(name) + AesEncrypt leave: the archive
      // typed by the attachment name, base64, its former encoding kept in x-original-encoding.
      email.AddAttachmentBytes(attachmentName, MediaTypeForFileName(attachmentName),
                               std::move(piece.bytes));
      email.Attachment(0).SetHeader("x-original-encoding", "base64");
    }
    email.SetBody(subject + ".");
    return true;
  }

  // Port 0 means the standard one, which is stored in the settings store. The value stays with
  // the attempt: the caller's delivery settings are never written from the worker.
  uint32_t FixPort(uint32_t port, const char* setting) {
    if (port == 0) {
      port = 25;
      // Storing the standard port is a convenience for the settings dialog; the attempt uses 25
      // regardless.
      if (env_.settings) (void)env_.settings->SetDword(setting, 25);
    }
    return port;
  }

  Step DeliverSmtp(size_t p, const SegmentRecord& record) {
    SmtpSettings settings = env_.smtpBase;
    const struct Wipe {
      std::string& s;
      ~Wipe() { WipeSecret(s); }
    } wipe{settings.password};  // this attempt's copy
    const bool direct = p_.job.method == SendMethod::DirectSend;
    if (direct) {
      std::string host;
      if (delivery_.mxOverride.size() > 2) {
        Status(p, Format(kStatusMxOverride, delivery_.mxOverride));
        host = delivery_.mxOverride;
      } else {
        Status(p, Format(kStatusMxRequest, p_.job.recipients));
        auto mx = resolver_ ? resolver_->Resolve(p_.job.recipients, lastAttemptFailed_)
                            : Result<std::string>(Error(ErrorCode::NotFound, "no resolver"));
        if (!mx) {
          Status(p, Format(kStatusMxFailed, p_.job.recipients));
          // Only the name server's definite word that the domain takes no mail lets the run
          // move on; a lost or failed look-up says nothing about the domain, so the segment
          // is tried again after the same back-off as any other failed attempt.
          if (!resolver_ || resolver_->Settled() || mx.error().code == ErrorCode::InvalidArgument) {
            PauseUnlessStopped(env_.pause, stop_);
            return Step::Next;
          }
          lastAttemptFailed_ = true;
          return RetryAfterWait(p, Format(kStatusMxFailed, p_.job.recipients), mx.error().message);
        }
        host = std::move(mx).value();
        // The exchanger's address comes from the same resolver as its name: a configuration
        // given for the run (DTL_RESOLV_CONF) would otherwise cover only half the way.
        settings.resolveAddresses = [resolver = resolver_.get()](const std::string& name) {
          return resolver->Addresses(name);
        };
      }
      settings.host = host;
      settings.port = static_cast<int>(FixPort(delivery_.directPort, "Port"));
      settings.ssl = false;
      settings.user.clear();
      settings.password.clear();
      settings.startTls = StartTlsMode::Opportunistic;
    } else {
      settings.host = delivery_.smtpHost;
      settings.port = static_cast<int>(FixPort(delivery_.smtpPort, "SMTPPort"));
      settings.ssl = delivery_.smtpSsl;
      settings.user = delivery_.smtpUser;
      settings.password = delivery_.smtpPassword;
      if (delivery_.smtpOAuth)
        settings.accessToken = env_.smtpAccessToken
                                   ? env_.smtpAccessToken
                                   : AccessTokenFn([](bool) -> Result<std::string> {
                                       return Error(ErrorCode::Auth, "no OAuth2 login");
                                     });
      settings.allowPlainLogin = delivery_.allowPlainLogin;
      settings.startTls = StartTlsMode::Verified;
    }

    PackedPiece piece = TakePiece(p, record);
    if (SpoolFileLost(record, piece)) return SpoolGone(p, record);
    EmailObject email = EmailObject::CreateMessage(CurrentMessageStamp());
    MailLog log;
    SmtpAttemptReport report;
    bool sent = false;
    std::string cause;
    ErrorCode failure = ErrorCode::Failed;
    const uint64_t pieceBytes = piece.rawSize;
    const uint64_t attachmentBytes = piece.bytes.size();
    uint64_t mailBytes = 0;
    const std::vector<std::string> served = list_.ServedRecipients(p);
    if (Compose(record, piece, email)) {
      std::string wire;
      if (email.Render(wire)) {
        mailBytes = wire.size();
        SmtpEnvelope envelope;
        envelope.from = email.From();
        // Recipients that already have this segment never get it again, and one the server
        // refused for good earlier in the run is not asked again.
        for (const auto* l : {&email.ToList(), &email.CcList(), &email.BccList()})
          for (const MailAddress& a : *l)
            if (!Contains(served, a.address) && !refusedForGood_.contains(a.address))
              envelope.recipients.push_back(a.address);
        if (envelope.recipients.empty() && !served.empty()) {
          // Everyone still owed it was refused for good since: the segment is done.
          sent = true;
        } else {
          PackAhead(p);
          Status(p, std::string(kStatusSending));
          EngineProgress progress(obs_, static_cast<int32_t>(p));
          const dtl::Status outcome =
              env_.deliver(settings, envelope, wire, &progress, stop_, report);
          sent = outcome.ok();
          if (!sent) {
            cause = report.cause.empty() ? outcome.error().message : report.cause;
            failure = outcome.error().code;
          }
          log = std::move(report.log);
        }
      } else {
        log.Error("Failed to prepare email for sending.");
        cause = "Failed to prepare email for sending.";
      }
    } else {
      obs_.OnSendEvent({SendEventKind::FileError, static_cast<int32_t>(p), 0, piece.error.message});
      log.Error("The segment piece could not be cut: " + piece.error.message);
      cause = piece.error.message;
    }

    // A provider limit is no refusal of the message or of anyone: whatever its code, the
    // segment and the recipients it stopped are tried again after the pause.
    std::optional<ProviderLimit> limit;
    if (!sent) limit = LimitOf(report);
    if (limit) report.permanentRefusal.reset();

    // Who refused, for good (5xx) or for now: those for good are reported and never asked
    // again in this run; those for now are what a retry is still owed.
    std::vector<RefusedRecipient> forGood, forNow;
    for (RefusedRecipient& r : report.refusedRecipients) {
      const bool limited = limit && IsLimit(r.reply);
      (r.reply.code >= 500 && r.reply.code < 600 && !limited ? forGood : forNow)
          .push_back(std::move(r));
    }
    for (const RefusedRecipient& r : forGood) refusedForGood_.insert(r.address);
    // Every recipient asked was refused for good: nobody is owed the segment any more.
    const bool noneLeft = !report.refusedRecipients.empty() && forNow.empty() &&
                          report.acceptedRecipients.empty() && !report.permanentRefusal;
    // The server took the message for the recipients it accepted: they have it, whatever
    // the call's outcome says about the others. Those served by an earlier attempt count too.
    const bool reachedAll =
        sent || (report.messageAccepted && forNow.empty()) || (noneLeft && !served.empty());
    const bool reachedSome = !reachedAll && report.messageAccepted;

    // A message the server accepted is delivered even when Stop came during the last reply:
    // leaving it pending would send it a second time.
    if (reachedAll) {
      lastAttemptFailed_ = false;
      backoff_.Reset();
      if (!forGood.empty()) {
        const std::string text =
            Format(Format(kStatusPartlyRefused, static_cast<long>(p) + 1), RefusedList(forGood));
        log.Error(text);
        WriteLog(log);
        Status(p, text);
      }
      list_.MarkDelivered(p);
      obs_.OnSendEvent(
          {SendEventKind::Delivered, static_cast<int32_t>(p), 0, RefusedRowText(email)});
      ReleaseSpoolIfDone(record);
    } else if (reachedSome) {
      list_.AddServedRecipients(p, report.acceptedRecipients);
      obs_.OnSendEvent({SendEventKind::PartlyDelivered, static_cast<int32_t>(p), 0, {}});
    }
    if (stop_.stop_requested()) return Step::Abandon;
    {
      std::lock_guard<std::mutex> lock(pieceMutex_);
      SweepPiecesAfterAttempt(temp_, false);
    }
    if (reachedAll) return Step::Next;
    lastAttemptFailed_ = true;
    if (limit) {
      if (reachedSome) log.Error(Format(Format(kStatusPartlyOwed, static_cast<long>(p) + 1),
                                        RefusedList(forNow)));
      const std::string reason = SendLimitReason(*limit);
      log.Error(reason);
      WriteLog(log);
      return WaitOutLimit(p, limit->until, reason) ? Step::Retry : Step::Abandon;
    }
    if (report.permanentRefusal) {
      // The same mail would be refused on every retry: the run ends here, the segment stays
      // pending, and the status says what to change.
      const std::string text = RefusalText(p, *report.permanentRefusal, report.sizeLimit,
                                           pieceBytes, attachmentBytes, mailBytes);
      log.Error(text);
      WriteLog(log);
      Status(p, text);
      return GiveUp();
    }
    if (noneLeft) {
      // Every recipient still owed the segment is refused for good: no retry can deliver it.
      std::string text = kStatusRefused;
      text.replace(text.find("%d"), 2, std::to_string(p + 1));
      text.replace(text.find("%s"), 2, RefusedList(forGood));
      log.Error(text);
      WriteLog(log);
      Status(p, text);
      return GiveUp();
    }
    if (settings.accessToken && failure == ErrorCode::Auth && !reachedSome) {
      // The login already asked for a fresh token once: an OAuth2 login refused now (a revoked
      // login, a missing scope) is refused on every retry, so the run ends with the words
      // that say what to do.
      const std::string text = Format(Format(kStatusSmtpRetry, static_cast<long>(p) + 1), cause);
      log.Error(text);
      WriteLog(log);
      Status(p, text);
      return GiveUp();
    }
    std::string reason;
    if (reachedSome) {
      reason = Format(Format(kStatusPartlyOwed, static_cast<long>(p) + 1), RefusedList(forNow));
      if (!forGood.empty()) reason += "; refused for good: " + RefusedList(forGood);
      log.Error(reason);
    } else {
      reason = Format(Format(kStatusSmtpRetry, static_cast<long>(p) + 1), cause);
    }
    const std::string logPath = WriteLog(log);
    return RetryAfterWait(p, reason, Format(kDetailLogFile, logPath));
  }

  LimitPauses Pauses() const {
    return env_.limitPauses ? *env_.limitPauses : delivery_.limitPauses;
  }

  bool IsLimit(const SmtpReply& reply) const {
    return SmtpProviderLimit(reply.code, JoinedLines(reply), env_.clock(), Pauses()).has_value();
  }

  static std::string JoinedLines(const SmtpReply& reply) {
    std::string text;
    for (const auto& line : reply.lines) text += (text.empty() ? "" : " ") + line;
    return text;
  }

  // The provider limit an attempt met, if any: the answer that ended it, else a recipient's.
  std::optional<ProviderLimit> LimitOf(const SmtpAttemptReport& report) const {
    const std::time_t now = env_.clock();
    const LimitPauses pauses = Pauses();
    if (report.refusal)
      if (auto l = SmtpProviderLimit(report.refusal->code, JoinedLines(*report.refusal), now,
                                     pauses))
        return l;
    for (const RefusedRecipient& r : report.refusedRecipients)
      if (auto l = SmtpProviderLimit(r.reply.code, JoinedLines(r.reply), now, pauses)) return l;
    return std::nullopt;
  }

  // Holds the run until `until` (by the run's clock) with the pause status; false when a stop
  // ended the wait (the status then says so). The pause is no failed attempt: the back-off
  // stays where it was.
  bool WaitOutLimit(size_t p, std::time_t until, const std::string& reason) {
    const std::time_t now = env_.clock();
    SendEvent paused{SendEventKind::Status, static_cast<int32_t>(p), 0,
                     SendPausedStatus(reason, until, now)};
    paused.pausedUntil = until;
    paused.pauseReason = reason;
    obs_.OnSendEvent(paused);
    const auto wait = std::chrono::seconds(std::max<std::time_t>(0, until - now));
    if (stop_.stop_requested() ||
        !env_.wait(std::chrono::duration_cast<std::chrono::milliseconds>(wait), stop_)) {
      Status(p, std::string(kStatusStopped));
      return false;
    }
    return true;
  }

  // Writes the attempt's error log (a failure to write it is ignored: it is diagnostic only)
  // and returns its path for the status's tool tip.
  std::string WriteLog(const MailLog& log) const {
    std::string folder = logFolder_;
    if (folder.empty()) {
      const std::filesystem::path file =
          DataFilePath(GetProgramFolder(), DataFolder(), kErrorLogName);
      if (file.parent_path() == DataFolder()) (void)MakePrivateFolders(DataFolder());
      folder = file.parent_path().string();
    }
    (void)WriteErrorLog(folder, log);
    if (folder.empty()) folder = "./";
    if (folder.back() != '/') folder.push_back('/');
    return folder + "DTLErrorLog.xml";
  }

  // "a@x.test (550 5.1.1 no such user), b@y.test (450 busy)"
  static std::string RefusedList(const std::vector<RefusedRecipient>& refused) {
    std::string out;
    for (const RefusedRecipient& r : refused) {
      if (!out.empty()) out += ", ";
      out += r.address + " (" + std::to_string(r.reply.code);
      for (const auto& line : r.reply.lines) out += " " + line;
      out += ")";
    }
    return out;
  }

  // The delivered row's text: empty when everybody got the segment, else who never will (a
  // recipient refused for good is not asked again in this run, so that holds for this segment
  // whichever attempt the refusal came in).
  std::string RefusedRowText(const EmailObject& email) const {
    std::string refused;
    for (const auto* l : {&email.ToList(), &email.CcList(), &email.BccList()})
      for (const MailAddress& a : *l)
        if (refusedForGood_.contains(a.address))
          refused += (refused.empty() ? "" : ", ") + a.address;
    return refused.empty() ? std::string() : Format(kStatusDeliveredRefused, refused);
  }

  static bool Contains(const std::vector<std::string>& list, const std::string& s) {
    return std::find(list.begin(), list.end(), s) != list.end();
  }

  // The end of a run the server refused for good: the owner hears it ended (a retry is
  // pointless, so nothing is left running).
  Step GiveUp() {
    if (p_.onRefused) p_.onRefused();
    return Step::Abandon;
  }

  // A failed attempt: shows the reason with the coming wait, reports the failure, waits.
  // A stop during the wait ends the run at once and the row says it was stopped.
  Step RetryAfterWait(size_t p, const std::string& reason, std::string detail = {}) {
    const std::chrono::milliseconds delay = backoff_.NextDelay();
    obs_.OnSendEvent({SendEventKind::Status, static_cast<int32_t>(p), 0, RetryStatus(reason, delay),
                      std::move(detail)});
    obs_.OnSendEvent({SendEventKind::FailedRetrying, static_cast<int32_t>(p), 0, {}});
    if (stop_.stop_requested() || !env_.wait(delay, stop_)) {
      Status(p, std::string(kStatusStopped));
      return Step::Abandon;
    }
    return Step::Retry;
  }

  static std::string RefusalText(size_t p, const SmtpReply& refusal, uint64_t sizeLimit,
                                 uint64_t pieceBytes, uint64_t attachmentBytes,
                                 uint64_t mailBytes) {
    const std::string number = std::to_string(p + 1);
    if (sizeLimit > 0 && (mailBytes > sizeLimit || refusal.code == 552)) {
      const uint64_t fits =
          LargestFittingSegmentSize(sizeLimit, pieceBytes, attachmentBytes, mailBytes);
      std::string text = fits ? kStatusTooLarge : kStatusTooLargeNoFit;
      for (const std::string& v :
           {number, std::to_string(mailBytes), std::to_string(sizeLimit), std::to_string(fits)}) {
        const size_t at = text.find_first_of('%');
        if (at == std::string::npos) break;
        text.replace(at, 2, v);
      }
      return text;
    }
    std::string reply = std::to_string(refusal.code);
    for (const auto& line : refusal.lines) reply += " " + line;
    std::string text = kStatusRefused;
    text.replace(text.find("%d"), 2, number);
    text.replace(text.find("%s"), 2, reply);
    return text;
  }

  Step DeliverMapi(size_t p, const SegmentRecord& record) {
    MapiSession session;
    if (!env_.sendmailProgram.empty()) session.program = env_.sendmailProgram;
    // The submission program only says whether it knows an account when it is handed a
    // message, so a stored profile it refuses moves on to the next logon step there.
    auto logon = [&](std::optional<MapiLogonStep> after) {
      return LogonInOrder(
          delivery_.mapiProfile, delivery_.mapiPassword,
          [&](std::string_view profile, std::string_view password) {
            return session.Logon(profile, password);
          },
          after);
    };
    auto step = logon(std::nullopt);
    if (!step) {
      // Abandoned without Stop: running stays set, so Send stays disabled until Stop.
      Status(p, std::string(kStatusMapiLogon));
      return Step::Abandon;
    }
    Status(p, std::string(kStatusSending));
    PackedPiece piece = TakePiece(p, record);
    if (SpoolFileLost(record, piece)) return SpoolGone(p, record);
    bool sent = false;
    if (piece.ok) {
      PackAhead(p);
      const std::string subject = p_.job.plain ? record.name : Subject(record);
      for (;;) {
        // The body is the subject alone on this path: no closing dot.
        dtl::Status submitted =
            session.Compose(SplitRecipients(p_.job.recipients), subject, subject, piece.bytes,
                            SegmentAttachmentName(record, p_.job.plain));
        if (submitted) submitted = session.Submit();
        sent = submitted.ok();
        if (sent || *step != MapiLogonStep::StoredProfile ||
            submitted.error().code != ErrorCode::Refused)
          break;
        step = logon(*step);
        if (!step) break;
      }
    } else {
      obs_.OnSendEvent({SendEventKind::FileError, static_cast<int32_t>(p), 0, piece.error.message});
    }
    if (sent) {
      backoff_.Reset();
      list_.MarkDelivered(p);
      obs_.OnSendEvent({SendEventKind::Delivered, static_cast<int32_t>(p), 0, {}});
      obs_.OnSendEvent({SendEventKind::UploadPercent, static_cast<int32_t>(p), 100, {}});
      ReleaseSpoolIfDone(record);
      return Step::Next;
    }
    if (stop_.stop_requested()) return Step::Abandon;
    return RetryAfterWait(p, Format(kStatusMapiRetry, static_cast<long>(p) + 1));
  }

  const SendRunParams& p_;
  std::stop_token stop_;
  SendJobList& list_;
  SendEngineObserver& obs_;
  const SendEnvironment& env_;
  DeliverySettings delivery_;  // the run's own; never written back, wiped at the end
  std::filesystem::path temp_;
  std::filesystem::path spoolBase_;
  // Spools known complete in this run: their records mail from them.
  std::set<std::string> readySpools_;
  std::string logFolder_;
  std::unique_ptr<MxResolver> resolver_;
  bool lastAttemptFailed_ = true;
  // Paces every retry of the run; a delivery starts it again.
  RetryBackoff backoff_;
  std::set<std::string> refusedForGood_;
  std::string tag_;
  mutable std::mutex pieceMutex_;
  std::future<PackedPiece> ahead_;
  size_t aheadPosition_ = 0;
};

}  // namespace

int RunSendEngine(const SendRunParams& params, std::stop_token stop) {
  Run run(params, std::move(stop));
  return run.Go();
}

}  // namespace dtl
