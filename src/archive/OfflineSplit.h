// The offline split: cuts a file into packed segment files in a folder, without mailing
// anything. The files carry the segment names of a mailed split ("NAME.dtl.doc",
// "NAME.001.doc", ...) and hold the segment archive in the AES form (encryption method 1, the
// bytes that would travel by mail) or the DES form (method 2).
//
// Call RunOfflineSplit() on a worker thread of its own; it returns when the run is over. Pieces
// are packed on several threads at once, but the observer hears of them strictly in piece order
// and always on the calling thread, and the folder never holds a segment file under its final
// name that is half written or lies beyond the pieces reported.
//
// Errors come back in OfflineSplitResult::status (the same text the observer's OnError gets);
// a run ended through its std::stop_token has the status ErrorCode::Cancelled.
#pragma once

#include <cstdint>
#include <ctime>
#include <stop_token>
#include <string>
#include <vector>

#include "base/Error.h"

namespace dtl {

struct OfflineSplitParams {
  std::string source;        // the file to split
  std::string folder;        // where the segment files go; a trailing "/" is optional
  uint64_t segmentSize = 0;  // bytes per segment (slider position x kSegmentUnit); must not be 0
  std::string password;      // empty = the default password of the chosen form
  uint32_t encMethod = 1;    // 1 = AES form, 2 = DES form; any other value counts as 1
  unsigned threads = 0;      // packing threads; 0 = one per core
  std::time_t when = 0;      // time stamped on the zip entries; 0 = now
  unsigned recoveryPercent = 0;  // recovery files beside the segments, 0..100 (0: none)
};

// What a run left in the folder. Unlike a plain Result it also says how many pieces a run that
// did not finish wrote and removed again.
struct OfflineSplitResult {
  // Ok: every piece was written. ErrorCode::Cancelled: the run ended early through its stop
  // token. Anything else: the failure, with the message OnError was given.
  Status status = Error(ErrorCode::Failed, "not run");
  uint64_t written = 0;  // segment files in the folder: pieces 1 .. written
  uint64_t count = 0;    // pieces the file cuts into (0 when the run could not start)
  uint64_t removed = 0;  // pieces a stopped or failed run had written and then removed again
  // The recovery files written beside the pieces (paths, in the order they were made); empty
  // at 0 % and after a run that did not complete.
  std::vector<std::string> recoveryFiles;

  bool ok() const { return status.ok(); }
  bool stopped() const { return !status.ok() && status.error().code == ErrorCode::Cancelled; }
};

// Events of a run, all delivered on the thread that called RunOfflineSplit().
class OfflineSplitObserver {
 public:
  virtual ~OfflineSplitObserver() = default;
  // Once, before the first piece, with the number of pieces.
  virtual void OnStarted(uint64_t count) {}
  // Piece k (1 .. count, in that order) is complete under `path`.
  virtual void OnPieceWritten(uint64_t k, const std::string& path) {}
  // Every piece is written and the recovery data over them is being made: `blocks` recovery
  // blocks (only when params.recoveryPercent > 0).
  virtual void OnRecoveryStarted(uint32_t blocks) {}
  // The recovery files are complete under `paths` ("NAME.par2", "NAME.vol00+01.par2", ...).
  virtual void OnRecoveryWritten(const std::vector<std::string>& paths) {}
  // The run failed; `text` is the message for the user (titled "Drovetail"): the system's text
  // for a file error, "The file %s size is too small (%d)" for an empty source, "Segment DES
  // encryption failed." / "Segment AES encryption failed." when a piece cannot be packed, or
  // "The file %s changed while it was being split." when the source shrank under the run.
  virtual void OnError(const std::string& text) {}
};

// Splits params.source into params.folder. The stop token is read after each piece (in piece
// order); a stop requested there, before the last piece, ends the run and removes every piece it
// wrote (Result::removed of them; written is then 0): a part of a set would merge without
// complaint into the first part of the file. A failure removes every piece the run wrote in the
// same way (Result::removed; written is 0): the folder holds the whole set or none of it. After
// a complete run, segment files of the same name numbered right after the last piece (left by an
// earlier, longer split) are deleted, so a merge of the folder cannot take them in.
// With params.recoveryPercent > 0 the recovery files over the pieces (archive/SegmentRecovery.h;
// the set names the pieces as they lie, "NAME.dtl.doc", ...) are written beside them once every
// piece is; a stop or failure while they are made removes the pieces too. After a complete run
// recovery files of the same name that this run did not write (an earlier split's set, which no
// longer matches the pieces) are deleted, also at 0 %. A percentage above 100 is
// InvalidArgument before anything is written.
// Never throws for file problems; they are the status.
OfflineSplitResult RunOfflineSplit(const OfflineSplitParams& params, OfflineSplitObserver& observer,
                                   std::stop_token stop);

}  // namespace dtl
