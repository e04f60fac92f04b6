// Receiving segments from a mailbox over IMAP, without changing it: the listing finds the
// segment attachments of a folder from the mails' structure alone, the receive job downloads
// the chosen ones over several connections at once, saves them as the web-mail download does
// and, with Auto Merge, rebuilds the files.
//
// Both run on a worker thread. Every observer call happens on the thread that called them,
// whatever number of connections is at work: the connections hand their events to it.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "archive/MergeJob.h"
#include "base/Error.h"
#include "base/ReplaceMode.h"
#include "mail/ProviderLimit.h"
#include "receive/DownloadEngine.h"
#include "receive/ImapSession.h"

namespace dtl {

// One segment attachment found in the folder.
struct ImapSegmentRef {
  // fileName: the name the segment is saved as (".doc" removed, made safe like the web-mail
  // download's names); key: ImapItemKey(uid, section), unique in the folder.
  DownloadItem item;
  uint32_t uid = 0;
  std::string section;       // BODY.PEEK[section]
  std::string encoding;      // lower case: "base64", "quoted-printable", "7bit", ...
  uint64_t encodedSize = 0;  // as the server counts it
  bool operator==(const ImapSegmentRef&) const = default;
};

// "UID/SECTION" ("812/2", "813/2.1").
std::string ImapItemKey(uint32_t uid, std::string_view section);

// One file the listing found: the segments and recovery files filed under one name.
struct ImapListedFile {
  std::string name;               // the group name, as the Segment Manager files it
  bool hasDescriptor = false;     // NAME.dtl is there
  std::vector<uint64_t> present;  // numbered segments found, ascending
  std::vector<uint64_t> missing;  // the gaps: numbers from 1 to the highest found not found
  // What to download for this file: its segments and its recovery files, in the order the
  // model files them.
  std::vector<ImapSegmentRef> segments;
  // The recovery files among `segments` (names as saved, "NAME.par2", "NAME.vol00+01.par2"),
  // and the recovery blocks their names announce. They are never counted in present/missing.
  std::vector<std::string> recoveryFiles;
  uint32_t recoveryBlocks = 0;
  // The descriptor is there and no number from 1 to the highest found is missing. (Segments
  // after the highest one found cannot be seen from the names: the merge tells.) Recovery
  // files do not count: this speaks of segments only.
  bool NoGapSeen() const { return hasDescriptor && missing.empty() && !present.empty(); }
};

struct ImapListing {
  ImapFolderInfo folder;
  size_t messagesScanned = 0;
  size_t duplicatesDropped = 0;       // a segment (or recovery file) name already filed
  std::vector<ImapListedFile> files;  // in the order the model files them
  // Every segment and recovery file of every file, in file order: the items to download them
  // all.
  std::vector<ImapSegmentRef> AllSegments() const;
};

// Events of a listing, on the thread that runs it.
class ImapListObserver {
 public:
  virtual ~ImapListObserver() = default;
  // `scanned` of `total` messages looked at.
  virtual void OnListProgress(size_t scanned, size_t total) {}
  // A segment or recovery file was found and filed (duplicates are not reported).
  virtual void OnSegmentFound(const ImapSegmentRef& segment) {}
};

// Lists the segment attachments of `folder` (UTF-8; "INBOX" when empty) over one connection:
// logs in, EXAMINEs the folder, reads every message's BODYSTRUCTURE (never a body) and files
// the attachments named NAME.dtl[.doc] or NAME.NNN[.doc] (NNN digits), and the recovery files
// NAME.par2[.doc] and NAME.volF+C.par2[.doc], through a SegmentManagerModel. Errors: Auth (wrong
// password), Tls (certificate), NotFound (no such folder), Network/Timeout/Protocol, Cancelled
// after a stop. `connector` replaces the socket (tests); empty: the real one.
Result<ImapListing> ListImapSegments(const ImapSettings& settings, std::string_view folder,
                                     ImapListObserver& observer, std::stop_token stop,
                                     const ImapSession::Connector& connector = {});

class ImapReceiveJob {
 public:
  struct Params {
    ImapSettings settings;
    std::string folder;  // UTF-8; "INBOX" when empty
    std::filesystem::path outFolder;
    std::vector<ImapSegmentRef> items;  // from a listing of the same folder
    // The listing's ImapListing::folder.uidValidity: when not 0 and the folder now says
    // otherwise, its UIDs name other mails and the run fails (NotFound) instead of fetching
    // them. 0: not checked.
    uint32_t uidValidity = 0;
    unsigned jobs = 4;  // connections at once (1..16)
    // An existing file: Overwrite/OverwriteAll fetch again without asking; SkipAll keeps every
    // existing file; Skip asks the observer (ConfirmReplace) for an existing file that does not
    // verify. In every mode but the overwrite ones, an existing segment whose archive verifies
    // with `password` (a recovery file: that reads whole, VerifyReceivedFile) is kept without
    // asking: a receive run again resumes.
    ReplaceMode replace = ReplaceMode::Skip;
    bool autoMerge = true;
    std::string password;  // segment password (verify and merge); empty: the default one
    MergeObserver* mergeObserver = nullptr;  // null: the merge's events are dropped
    unsigned mergeThreads = 0;               // 0: one per core
    // Waits before a retry; false at once when a stop is requested. Empty: WaitUnlessStopped.
    std::function<bool(std::chrono::milliseconds, std::stop_token)> wait;
    std::function<std::chrono::steady_clock::time_point()> now;  // empty: steady_clock
    ImapSession::Connector connector;                            // empty: the real socket
    // A server's throttling answer (ImapProviderLimit) pauses every connection until the time
    // it names, else for these pauses (the settings RateLimitPause and QuotaPause). The wall
    // clock the resume time is reckoned by; empty: the system's.
    LimitPauses limitPauses;
    std::function<std::time_t()> clock;
  };

  enum class Outcome {
    Completed,  // every item was saved, kept, or reported corrupt or gone; the merge ran if asked
    Stopped,    // a stop request ended the run
    Failed,     // a failure that a retry cannot mend: see Summary::error
  };

  struct Summary {
    Outcome outcome = Outcome::Completed;
    // Failed: Auth (login refused), Tls (certificate), NotFound (folder gone, or its UIDs
    // renumbered since the listing), Unsupported (no STARTTLS, no login method), Io (a local
    // file that cannot be written), with a message for the user.
    Error error;
    size_t itemsSaved = 0;
    size_t itemsSkipped = 0;  // kept on disk (verified, or by the replace mode)
    // Names (as saved) whose attachment arrived whole but does not verify as a segment
    // archive (damaged, or the password is wrong), or arrived damaged (a size or encoding
    // that does not add up; the only checks a recovery file gets here): each is reported once
    // through OnMessage, not fetched again, not saved under its name, and a segment's file is
    // left out of the merge unless its recovery files came.
    std::vector<std::string> corrupt;
    // Names whose mail or part was no longer in the folder as listed (expunged since): each is
    // reported through OnMessage and not fetched again; the merge says what it lacks.
    std::vector<std::string> gone;
    uint64_t attemptsFailed = 0;  // retried attempts (dropped connection, BYE, ...)
    uint64_t totalBytes = 0;      // decoded bytes written
    std::vector<std::filesystem::path> descriptors;  // ".dtl" paths on disk, no duplicates
    bool merged = false;                             // Auto Merge ran
    // What a merge of this run is handed (Auto Merge: one merge run each), filled on every run
    // that was neither stopped nor failed, with or without Auto Merge, so a caller that merges
    // by itself hands the same: the descriptors on disk, and for a file whose descriptor did
    // not come but whose recovery files did, one of those (the merge rebuilds the descriptor
    // from it).
    std::vector<std::filesystem::path> mergeDescriptors;
    // Files (group names) left out of mergeDescriptors because a segment of theirs was corrupt
    // and no recovery file of theirs came.
    std::vector<std::string> leftOut;
    // One result per merge run, in mergeDescriptors order; a file with a corrupt segment does
    // not stop the others from being rebuilt. FileResult::repaired names the segment files
    // rebuilt from recovery data.
    std::vector<MergeJob::FileResult> mergeResults;
    // Every corrupt or gone attachment is a recovery file (whose loss only means less to repair
    // with) or a segment of a file the merge still rebuilt completely (from recovery data).
    bool LossesMended() const;
    // Merged, nothing left out, LossesMended(), at least one merge, and every merged file
    // rebuilt completely (or its existing output kept as the merge observer chose).
    bool AllRebuilt() const;
  };

  // Downloads `params.items`: each attachment streamed to a temporary file beside its final
  // name (decoded from base64 or quoted-printable as it arrives; never a whole message in
  // memory), checked against the size the server announced, verified as a segment archive
  // (a recovery file is not: the repair checks its packets), then renamed into place. A dropped
  // connection, a BYE or a time-out is retried with the RetryBackoff pacing on a fresh connection,
  // announced by OnAttemptFailed + OnRetryWait; a refused login, an untrusted certificate or a
  // missing folder ends the run (Failed) at once. A NO, BAD or BYE that says the server is
  // throttling the account ([LIMIT], [UNAVAILABLE], "throttled", "Too many", "Suggested
  // Backoff Time": ImapProviderLimit) is no failed attempt: every connection rests until it
  // goes on (OnPaused, once per pause), then reconnects and goes on with the item it was at;
  // a stop ends the pause at once. The partial file of an interrupted attempt is
  // removed. Events: DownloadObserver's, with OnItemDone(key) per item saved or kept (not for a
  // corrupt or gone one, which gets OnMessage), OnOverallStep per item finished either way; OnBytes
  // and the display count the attachment's bytes as they come over the wire (still encoded), so
  // `announced` is ImapSegmentRef::encodedSize. Never throws for network or file problems.
  static Summary Run(const Params& params, DownloadObserver& observer, std::stop_token stop);
};

// Whether the segment file at `path` is a sound segment archive for `password` (empty: the
// default one): it decrypts, its one zip entry inflates and matches its CRC. Corrupt when not,
// Io/NotFound when it cannot be read.
Status VerifySegmentFile(const std::filesystem::path& path, std::string_view password);

// Whether a received file already on disk is worth keeping instead of fetching it again: a
// segment as VerifySegmentFile judges it; a recovery file (by its name) when it is no larger
// than one can be, reads as a recovery set and holds as many blocks as its name announces.
// Corrupt when not, Io/NotFound when it cannot be read.
Status VerifyReceivedFile(const std::filesystem::path& path, std::string_view password);

}  // namespace dtl
