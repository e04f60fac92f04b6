// The resume journal of `dtl send`: the job (method, recipients, From, plain flag, records with
// their pending flags, the recipients that already have a pending segment because the server
// refused others for now, and each source file's size and change time) kept in one small file
// under $XDG_STATE_HOME/drovetail/, rewritten atomically after every delivery, so an
// interrupted send (Ctrl-C, a crash, power loss) can go on with only the segments not yet
// delivered. A file sent with recovery data also keeps its records' spool name and recovery
// fields, so a resume mails the very bytes the recovery files already mailed were made over.
//
// The password is never stored. The journal keeps only whether the job had one and a salted
// PBKDF2-HMAC-SHA256 check value, so a resume asks for it again and refuses a different one
// (segments packed with another password could never be merged with those already sent).
//
// A run a provider's limit paused keeps when it goes on and what was hit ("paused" line, only
// while there is one), so a resume waits the rest of the pause first.
//
// Writes go to a temporary file in the same folder, are synced and renamed over the journal,
// and the folder is synced: a reader sees the old journal or the new one, never half of one.
#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "archive/SegmentRecord.h"
#include "base/Error.h"
#include "send/SendEngine.h"

namespace dtl {

// $XDG_STATE_HOME when set to an absolute path, else HomeFolder()/.local/state.
std::filesystem::path XdgStateHome();
// XdgStateHome()/drovetail/send.journal
std::filesystem::path DefaultJournalPath();

struct SourceStamp {
  std::string path;
  uint64_t size = 0;
  int64_t mtimeNs = 0;  // last change time in nanoseconds since the epoch
};

struct SendJournalData {
  SendJobFields fields;  // the password field is never written or read
  bool hasPassword = false;
  std::string passwordSalt;   // hex
  std::string passwordCheck;  // hex PBKDF2 value
  std::vector<SourceStamp> sources;
  std::vector<SegmentRecord> records;
  // By record position: who already has that pending segment ("served" lines, written only
  // when there are any, so a journal without them reads as before).
  ServedRecipientMap served;
  // The provider-limit pause the run was in: until then (0: none) and why (SendLimitReason()).
  std::time_t pausedUntil = 0;
  std::string pauseReason;
};

// Fills hasPassword, salt and check value for `password` (a fresh random salt).
void SetJournalPassword(SendJournalData& data, const std::string& password);
// True when `password` is the job's (an empty one matches a job without password).
bool JournalPasswordMatches(const SendJournalData& data, const std::string& password);

// The stamps of `paths` as they are now; an Io/NotFound error ("PATH: system text", errno in
// `system`) when one cannot be read.
Result<std::vector<SourceStamp>> StampSources(const std::vector<std::string>& paths);

class SendJournal {
 public:
  explicit SendJournal(std::filesystem::path file) : file_(std::move(file)) {}
  const std::filesystem::path& Path() const { return file_; }

  // Writes the whole journal atomically (folder created mode 0700, file 0600). An Io error with
  // the system's text when it cannot.
  Status Save(const SendJournalData& data) const;
  // Reads it back. A missing journal is NotFound with an empty message; one that cannot be read
  // is Io, a damaged one Corrupt (the reason in the message): every count and length is
  // bounded, nothing is trusted.
  Result<SendJournalData> Load() const;
  // Removes the journal (a finished job); true when it is gone.
  bool Remove() const;

  // The text form (exposed for tests).
  static std::string Serialize(const SendJournalData& data);
  static Result<SendJournalData> Parse(const std::string& text);

 private:
  std::filesystem::path file_;
};

}  // namespace dtl
