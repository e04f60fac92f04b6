// The send engine: delivers the pending segments of a job one after the other by Direct Send,
// the SMTP server or the mail-client submission program, retrying a failed segment until it
// goes through or the user stops, and reporting every step as an event.
//
// RunSendEngine() is the worker's whole run (SendDocument::StartRun starts it on a thread of its
// own); it returns 1 after a normal end and 0 after an abandoned run. Events arrive on the worker
// thread, in order, each carrying copies of what it speaks of; the receiver never reads engine
// state. The engine never blocks on the receiver beyond the observer call itself, and never
// shows or prints anything.
//
// Stop: the caller requests a stop on the run's std::stop_token. The SMTP transfer in progress
// gives up at its next progress poll, a pause ends at once, and the run is abandoned without the
// end event; the interrupted segment stays pending.
//
// A run owns its settings: it copies the delivery settings when it starts and never writes
// into the caller's copy (the port chosen for an attempt stays with the attempt), so a settings
// dialog may reload the document's settings while a run or a stopping worker is still alive. A
// segment the server had already accepted when Stop came is still reported delivered, so it is
// never sent twice.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "archive/SegmentRecord.h"
#include "base/Error.h"
#include "base/RetryBackoff.h"
#include "mail/MailLog.h"
#include "mail/MailProgress.h"
#include "mail/MxResolver.h"
#include "mail/ProviderLimit.h"
#include "mail/SmtpClient.h"
#include "send/SendRequest.h"

namespace dtl {

class SettingsStore;

// What the engine reports. The kinds are never stored or sent anywhere: no numbers.
enum class SendEventKind {
  Status,          // `text` is the new status text of list position `position`
  Delivered,       // the segment at `position` was delivered (its pending flag is cleared);
                   // `text` is empty when every recipient has it, else kStatusDeliveredRefused
  UploadPercent,   // `percent` (0..100) of the current segment is on the wire
  FailedRetrying,  // delivery of `position` failed; a retry follows
  RunEnded,        // the run ended normally: reset the tray tool tip to "Drovetail"
  FileError,       // a piece could not be cut: `text` is the system's text for a message
                   // box titled "Drovetail" (error icon); the attempt counts as failed
  WorkerLeft,      // SendDocument's worker has returned (after every run, the last event):
                   // the enabling rules may have changed
  // The segment at `position` reached some recipients and is still owed to others (the list's
  // ServedRecipients() says who has it); a retry follows.
  PartlyDelivered,
};

struct SendEvent {
  SendEventKind kind = SendEventKind::Status;
  int32_t position = 0;
  int percent = 0;
  std::string text;
  // With a Status: the longer story behind it for a tool tip (the error log's path), or empty.
  std::string detail{};
  // With a Status that pauses the run for a provider limit: when it goes on (0: no pause) and
  // what was hit (SendLimitReason()), for a journal that lets a later run wait the rest.
  std::time_t pausedUntil = 0;
  std::string pauseReason{};
};

// Receives the engine's events on the worker thread. A GUI queues copies to its own thread; the
// CLI prints them. OnSendEvent must not call back into the run (it may ask it to stop).
class SendEngineObserver {
 public:
  virtual ~SendEngineObserver() = default;
  virtual void OnSendEvent(const SendEvent& event) = 0;
};

// The status texts, word for word ("%s" is the host or address, "%d" the segment number from 1).
inline constexpr std::string_view kStatusSending = "Sending Segment...";
inline constexpr const char* kStatusMxOverride = "Overriding MX record detection; Using %s.";
inline constexpr const char* kStatusMxRequest =
    "Requesting MX record for %s (might take a few seconds).";
inline constexpr const char* kStatusMxFailed = "Failed retrieving MX record for %s.";
// A provider limit (mail/ProviderLimit.h) pauses the run with SendPausedStatus(): "Sending
// paused: the account's sending quota is used up (550 5.4.5 ...). Going on at 14:05."
// A failed attempt waiting for its retry: the reason, then RetryStatus() adds the wait
// ("Failed sending segment number 3: Connection refused — trying again in 8 s").
inline constexpr const char* kStatusSmtpRetry = "Failed sending segment number %d: %s";
inline constexpr const char* kStatusMapiRetry = "Failed sending segment number %d via MAPI";
// The tool tip of a failed SMTP attempt's status.
inline constexpr const char* kDetailLogFile = "Log file created: %s";
// Some recipients took the segment; `%s` lists the refused ones with the server's answers.
inline constexpr const char* kStatusPartlyRefused =
    "Segment number %d delivered; refused for good: %s";
// The row of a segment delivered to some recipients while the others were refused for good:
// `%s` lists the refused addresses alone, so the row stays short (the status line before it
// and the error log carry the server's answers).
inline constexpr const char* kStatusDeliveredRefused = "Delivered; refused: %s";
inline constexpr const char* kStatusPartlyOwed =
    "Segment number %d delivered to some recipients; still owed to %s";
inline constexpr std::string_view kStatusMapiLogon = "Could not logon to MAPI session.";
inline constexpr std::string_view kStatusStopped = "Stopped";
// A segment mail the server will not take ends the run (it would be refused on every retry).
inline constexpr const char* kStatusTooLarge =
    "Segment number %d makes a mail of %s bytes; the server takes at most %s bytes. "
    "The largest segment size that fits is %s bytes.";
inline constexpr const char* kStatusTooLargeNoFit =
    "Segment number %d makes a mail of %s bytes; the server takes at most %s bytes. "
    "No segment size fits.";
inline constexpr const char* kStatusRefused = "The server refused segment number %d for good: %s";
// The row of a file's first record while its segments are packed and its recovery files made.
inline constexpr std::string_view kStatusPreparingRecovery = "Preparing recovery data...";
// Making them failed; a retry follows (`%s`: the file's name, then the reason).
inline constexpr const char* kStatusPrepareFailed = "Failed preparing recovery data for %s: %s";
// Some of the file's mails went out from a spool that is no longer there: mailing freshly
// packed bytes would not match the recovery files already sent, so the run ends.
inline constexpr const char* kStatusSpoolGone =
    "The prepared segments of %s are gone; send the file again";

// Recipients that already have a pending segment, by list position.
using ServedRecipientMap = std::map<size_t, std::vector<std::string>>;

// The job's list as the engine sees it: records read by position (the count may be read again
// at every step) and the delivered mark. Implementations guard the list: the user-interface
// thread may store a record's pending flag back while the worker reads.
class SendJobList {
 public:
  virtual ~SendJobList() = default;
  virtual size_t RecordCount() const = 0;
  virtual std::optional<SegmentRecord> RecordAt(size_t position) const = 0;
  // Clears the pending flag of `position`; called by the worker before the Delivered event.
  // The recipients kept for it (below) are forgotten: ticking it again sends it to everybody.
  virtual void MarkDelivered(size_t position) = 0;
  // The recipients that already have the segment at `position` although it is still pending
  // (the server refused others for now): a retry goes to the rest only. The default keeps none.
  virtual std::vector<std::string> ServedRecipients(size_t position) const { return {}; }
  // Adds `addresses` to them; called by the worker before the PartlyDelivered event.
  virtual void AddServedRecipients(size_t position, const std::vector<std::string>& addresses) {}
  // Sets spoolReady on every record whose spool is `spool`; called by the worker once that
  // spool is complete, before anything is mailed from it. The default keeps nothing, so a
  // list that cannot keep it never learns that a later loss of the spool matters.
  virtual void MarkSpoolReady(const std::string& spool) {}
};

// Waits `duration`, or less when `stop` is requested first. True when the whole time passed.
bool PauseUnlessStopped(std::chrono::milliseconds duration, std::stop_token stop);

// The delivery settings of a run (loaded from the settings store, see SendDocument).
struct DeliverySettings {
  std::string smtpHost;    // SMTP server path
  uint32_t smtpPort = 25;  // 0: the attempt uses 25 and stores 25 in the settings store
  bool smtpSsl = false;
  std::string smtpUser;
  std::string smtpPassword;
  bool allowPlainLogin = false;  // a login may go out over an unencrypted connection
  bool smtpOAuth = false;        // the SMTP login is OAuth2 (SendEnvironment::smtpAccessToken)
  std::string mxOverride;        // Direct Send: used as exchanger when longer than two characters
  uint32_t directPort = 25;      // Direct Send port; 0 as for smtpPort
  std::string mapiProfile;       // mail-client logon
  std::string mapiPassword;
  LimitPauses limitPauses;  // RateLimitPause and QuotaPause, for a limit that names no time
};

// The job's own fields.
struct SendJobFields {
  SendMethod method = SendMethod::DirectSend;
  bool plain = false;
  std::string recipients;  // RecipientsField()
  std::string from;
  std::string password;  // trimmed; empty = the default password
};

// The classic C library generator (rand()): seeded once per run, 0..32767 per draw.
class RandomSource {
 public:
  virtual ~RandomSource() = default;
  virtual void Seed(uint32_t seed) = 0;
  virtual int Next() = 0;
};
class SystemRandom : public RandomSource {
 public:
  void Seed(uint32_t seed) override { state_ = seed; }
  int Next() override {
    state_ = state_ * 214013u + 2531011u;
    return static_cast<int>((state_ >> 16) & 0x7fff);
  }

 private:
  uint32_t state_ = 1;
};

// Ten characters, each a digit "0".."8" or a letter "a".."y" (rand() % 2 chooses which).
std::string MakeSubjectTag(RandomSource& random);
// "%s - segment number %d         %s" (nine blanks) in split mode, "%s " in plain mode.
std::string SegmentSubject(std::string_view name, int32_t index, std::string_view tag, bool plain);
// "%s - recovery file %d of %d         %s": the recovery file `number` (from 1) of `count`.
std::string RecoverySubject(std::string_view name, uint32_t number, uint32_t count,
                            std::string_view tag);

// Spool folders: where the segments of a file sent with recovery data are packed once, beside
// the recovery files made over them, and mailed from. A spool's name (SegmentRecord::spool) is
// "spool-" and hex digits, so it can only ever name a folder right inside the spool folder.
bool IsSpoolName(std::string_view name);
// Removes the spools `records` name (each once) from `spoolFolder`, with everything in them.
// Names that are no spool name are left alone. Errors are ignored: a spool that cannot be
// removed costs disk space, nothing else.
void RemoveSpools(const std::filesystem::path& spoolFolder,
                  const std::vector<SegmentRecord>& records);

// What one SMTP delivery attempt leaves besides its outcome: the mail sender's log, the
// largest message the server announced (0: none), and its permanent refusal of the whole
// message (a 5xx to MAIL FROM or to the end of data), if any.
struct SmtpAttemptReport {
  MailLog log;
  uint64_t sizeLimit = 0;
  std::optional<SmtpReply> permanentRefusal;
  // The server took the message at the end of data (for acceptedRecipients), even when the
  // attempt failed because it refused some recipients.
  bool messageAccepted = false;
  std::vector<std::string> acceptedRecipients;
  std::vector<RefusedRecipient> refusedRecipients;
  // SmtpClient::FailureCause(): the reason for the status line.
  std::string cause;
  // SmtpClient::LastRefusal(): the answer that ended the attempt, where a provider's limit
  // shows (the greeting, MAIL FROM, DATA, the end of data).
  std::optional<SmtpReply> refusal;
};

// One SMTP delivery attempt: the default is SmtpClient::SendMessage, its log and findings copied
// into `report`. Tests put a scripted peer here.
using SmtpDeliverFn = std::function<Status(
    const SmtpSettings& settings, const SmtpEnvelope& envelope, std::string_view wire,
    MailProgress* progress, std::stop_token stop, SmtpAttemptReport& report)>;
Status DeliverOverSmtp(const SmtpSettings& settings, const SmtpEnvelope& envelope,
                       std::string_view wire, MailProgress* progress, std::stop_token stop,
                       SmtpAttemptReport& report);

// The largest segment size, a whole number of positions (10,000 bytes each, 1..1000), whose
// mail stays within `sizeLimit` bytes, worked out from one mail the engine built: a piece of
// `pieceBytes` bytes became an attachment of `attachmentBytes` bytes (the zip's overhead) and a
// mail of `mailBytes` bytes (headers, body, base64 lines of 76 characters). Pieces are taken
// not to compress, so the answer holds for any content. 0 when not even one position fits.
uint64_t LargestFittingSegmentSize(uint64_t sizeLimit, uint64_t pieceBytes,
                                   uint64_t attachmentBytes, uint64_t mailBytes);

// An upper estimate of the mail a piece of `pieceBytes` bytes makes, before any is built (for a
// check before sending): the piece uncompressed in its archive, base64, headers and body.
uint64_t EstimatedSegmentMailBytes(uint64_t pieceBytes);
// The same pair of estimates fed to LargestFittingSegmentSize().
uint64_t LargestFittingSegmentSize(uint64_t sizeLimit);

// Everything a run takes from outside. Defaults are the real ones.
struct SendEnvironment {
  std::function<std::time_t()> clock = [] { return std::time(nullptr); };
  std::shared_ptr<RandomSource> random = std::make_shared<SystemRandom>();
  // One resolver per run; an Error means no look-up can be made (every Direct Send record
  // then takes the failure path).
  std::function<Result<std::unique_ptr<MxResolver>>()> mxResolverFactory = [] {
    return MakeMxResolverFromEnvironment();
  };
  SmtpDeliverFn deliver = DeliverOverSmtp;
  // Base SMTP settings (time-outs, CA file, EHLO name); host, port, SSL and login are set per run.
  SmtpSettings smtpBase;
  std::string
      sendmailProgram;  // empty: MapiSession's default ($DTL_SENDMAIL or /usr/sbin/sendmail)
  std::filesystem::path tempFolder;       // empty: TempFolder()
  std::string errorLogFolder;             // empty: where DataFilePath puts the error log
  std::chrono::milliseconds pause{3000};  // after a failed MX look-up
  // The wait between retries (RetryBackoff's delays); false when it ended by the stop. Tests
  // record the delays here instead of sleeping.
  std::function<bool(std::chrono::milliseconds, std::stop_token)> wait = WaitUnlessStopped;
  // Where "port 0 becomes 25" is stored back; may be null.
  SettingsStore* settings = nullptr;
  // Pack the next pending segment while the current one is on the wire.
  bool packAhead = true;
  // Where spools are made (empty: the temp folder); created 0700 when missing. `dtl send` keeps
  // them under its state folder, so a resume finds them.
  std::filesystem::path spoolFolder;
  // The SMTP server's OAuth2 access tokens, for a run whose delivery settings say smtpOAuth;
  // empty: such a run's SMTP login fails with "no OAuth2 login".
  AccessTokenFn smtpAccessToken;
  // The pauses for a provider limit whose answer names no time; empty: the delivery settings'
  // (read from the store with the rest of them, on the owner's thread).
  std::optional<LimitPauses> limitPauses;
  // A pause an earlier run of the job was in (its journal): when later than the clock, the run
  // first waits until then with the same status, `resumePauseReason` saying what was hit.
  std::time_t resumePausedUntil = 0;
  std::string resumePauseReason;
};

// The spool folder of a run: `env.spoolFolder`, or the temp folder when that is empty.
std::filesystem::path SpoolFolderOf(const SendEnvironment& env);

struct SendRunParams {
  SendJobFields job;
  DeliverySettings delivery;  // the run's own copy, taken when it starts
  SendJobList* list = nullptr;
  SendEngineObserver* observer = nullptr;
  const SendEnvironment* env = nullptr;
  // Told the list position being worked on at every step (may be empty).
  std::function<void(int32_t position)> onPosition;
  // Called once at a normal end, before RunEnded is reported (may be empty).
  std::function<void()> onNormalEnd;
  // Called once when the run gives up because the server refused for good (may be empty).
  std::function<void()> onRefused;
};

// The worker's run, until the list is done or `stop` is requested. Returns 1 after a normal end
// (RunEnded sent), 0 after an abandoned run (stopped, the mail-client logon failed, or the server
// refused a segment mail for good: too large for it, any 5xx to MAIL FROM or the end of data,
// or every recipient still owed refused with a 5xx; that segment stays pending, the last status
// says why and onRefused is called).
//
// A record with recovery data (recoveryPercent > 0) needs its file's spool: before the first such
// record of a file is mailed, every segment of the file is packed once into the spool and the
// recovery files made over those bytes (status kStatusPreparingRecovery; a stop ends it and
// leaves no half spool behind), and list.MarkSpoolReady() is called. Its records then mail the
// spooled bytes, never packed again; a spool already complete (a resume) is used as it is. A
// spool that is gone while some record of its file was already mailed from it ends the run
// (kStatusSpoolGone, onRefused). The spool is removed once no record of its file is pending.
//
// Failed attempts (no connection, time-outs, 4xx answers, a piece that cannot be cut) are
// retried without end: the first retry at once, later ones after RetryBackoff's waits, which a
// delivery resets. The status shows the reason and the wait; a stop during the wait ends the
// run at once with the status kStatusStopped.
//
// An answer that says a provider limit was hit (SmtpProviderLimit(): a quota or rate at the
// greeting, a login, MAIL FROM, RCPT TO, DATA or the end of data, 4xx or 5xx alike) is no
// failure: the run pauses until the time the server named, or for the configured pause, with
// a Status event carrying pausedUntil; then it tries the same segment again, to the recipients
// still owed it. A pause neither counts toward RetryBackoff nor ends the run; a stop ends it at
// once (kStatusStopped).
int RunSendEngine(const SendRunParams& params, std::stop_token stop);

}  // namespace dtl
