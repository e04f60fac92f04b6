// The merge: rebuilds split files from their segment archives on disk.
//
// For each descriptor D (segment 0) the merge derives the folder prefix P and the file name N,
// counts the files matching P N ".*" (T), and then appends, in order, the single zip entry of
// D, P N ".001", P N ".002", ... until the first number that has no file. Descriptors stored
// by a download ("movie.avi.dtl") number their segments "movie.avi.001"; descriptors written by
// the offline split ("movie.avi.dtl.doc") number them "movie.avi.001.doc". The output is named
// N in both cases.
//
// The output O = save folder + N comes from a descriptor that may have been downloaded from
// anywhere, so it is never simply overwritten: when anything exists under that name (a file, a
// link, a folder), the observer is asked first (ConfirmOutputReplace) and a "keep" answer leaves
// it and merges nothing. The segments are appended to a new temporary file in the save folder,
// created exclusively and never through a link, which is renamed to O only when the file is
// complete, so a file under its final name is always whole; a link at O is replaced, never
// followed. A merge that ends early (a missing, unreadable or unwritable segment, a cancel)
// keeps what it merged as O ".incomplete" when it holds anything and removes it otherwise. A
// descriptor does not say how many segments follow, so "complete" means the run of segments
// ended where the count T says it should.
//
// Recovery data: when P holds recovery files of N (N ".par2", N ".volF+C.par2", either with
// ".doc"; archive/SegmentRecovery.h), the segments are checked against them before the merge
// and missing or damaged ones rebuilt (OnRepaired); when too few recovery blocks came, the
// file is not merged at all and the outcome is MissingSegment. Recovery files never count in T.
//
// Call order: fill a MergeJob::Params, then MergeJob::Run() on a worker thread; the observer
// receives every event on that thread. Run() returns when every descriptor was handled, the run
// was stopped by a failure, or a stop was requested through its std::stop_token.
//
// A segment file larger than the largest segment archive, or whose entry declares or inflates
// to more than the largest segment payload (archive/SegmentBounds.h), is unreadable.
//
// Errors: an unreadable segment (wrong password, corrupt archive, CRC mismatch, DES form) and an
// output that cannot be written stop the whole run; a missing segment ends only the descriptor
// at hand. Each failure is delivered as OnMessage() with the exact user-facing text, which also
// names the segment numbers missing or failed and where the part merged so far was kept; the
// one that stopped the run is also Report::status (ErrorCode::Cancelled after a stop request).
#pragma once

#include <cstdint>
#include <filesystem>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "base/Error.h"
#include "base/ReplaceMode.h"

namespace dtl {

// Events of a merge run, delivered on the thread that calls MergeJob::Run(). Implementations
// must not block for long: the merge waits for each call to return.
class MergeObserver {
 public:
  virtual ~MergeObserver() = default;
  // The file being merged: P followed by N ("/in/movie.avi").
  virtual void OnFileName(const std::string& text) {}
  // The progress range of the descriptor at hand: 0 .. T, T taken as a 16-bit number.
  virtual void OnProgressRange(uint16_t total) {}
  // One segment was appended.
  virtual void OnStep() {}
  // A failure text, exactly as the user should see it.
  virtual void OnMessage(const std::string& text) {}
  // Something named `fileName` (the output's name, without folder) already exists in the save
  // folder. Overwrite and OverwriteAll replace it once the new file is complete; Skip and
  // SkipAll keep it and merge nothing for this descriptor. The All answers hold for the rest of
  // the run. Asked before the merge of that file starts, or at its end when the name appeared
  // during the merge. The default keeps the file: an observer that cannot ask never loses one.
  virtual ReplaceMode ConfirmOutputReplace(const std::string& fileName) {
    return ReplaceMode::Skip;
  }
  // Segment files of the file at hand were rebuilt from its recovery data before the merge
  // (their names, in order). Comes after OnFileName and before the first OnStep.
  virtual void OnRepaired(const std::vector<std::string>& segmentNames) {}
  // The run ended. openFolder is true at the normal end (every descriptor was reached, even if
  // some were incomplete): show the save folder. False after a stopping failure or a cancel.
  virtual void OnFinished(bool openFolder) {}
};

class MergeJob {
 public:
  struct Params {
    // In merge order. A recovery file's path stands for its file's descriptor (DescriptorFor);
    // a file named both ways is merged once, so the report may hold fewer files than given.
    std::vector<std::filesystem::path> descriptors;
    std::filesystem::path saveFolder;                // where the outputs are written
    std::string password;                            // empty: the default segment password
    unsigned threads = 0;  // segment decoders working ahead; 0 = one per core
  };

  enum class Outcome {
    Complete,        // every segment up to the first missing number, and no more files matched
    MissingSegment,  // a numbered segment is missing while more files matched P N ".*", or
                     // the recovery data could not rebuild the missing or damaged ones
    UnzipFailed,     // a segment could not be decrypted, unzipped or verified: the run stopped
    WriteFailed,     // the output could not be opened or written: the run stopped
    Kept,            // the output existed and the observer chose to keep it: nothing merged
    Cancelled,       // a stop was requested before a segment of this descriptor
    NotReached,      // an earlier descriptor stopped the run, or the run was cancelled
  };

  // Segment numbers first .. last, both included (0 is the descriptor).
  struct SegmentRange {
    uint64_t first = 0, last = 0;
    bool operator==(const SegmentRange&) const = default;
  };

  struct FileResult {
    std::filesystem::path descriptor;  // the descriptor merged (a recovery file's stands in)
    std::filesystem::path output;  // save folder + N; this run's file only when Complete
    Outcome outcome = Outcome::NotReached;
    uint64_t segmentsMerged = 0;          // K at the end
    uint64_t segmentsCounted = 0;         // T
    uint64_t bytesWritten = 0;            // bytes in the output (or in `partial`)
    std::filesystem::path failedSegment;  // the missing or unreadable segment, when any
    // MissingSegment: the numbers known to be missing, in order: the first missing one and every
    // gap below the highest numbered segment present. Empty for the other outcomes.
    std::vector<SegmentRange> missingSegments;
    // Where the segments merged before an early end were kept (output + ".incomplete"); empty
    // when the file is complete or nothing useful was merged (then no such file exists).
    std::filesystem::path partial;
    // Segment files rebuilt from the file's recovery data before the merge, in order.
    std::vector<std::string> repaired;
  };

  // What a run did. Per-descriptor outcomes are kept even when the run as a whole failed, so
  // this is a report rather than a Result.
  struct Report {
    std::vector<FileResult> files;  // one per descriptor, in order
    // Ok: the run reached its normal end (descriptors may still be incomplete, see files).
    // ErrorCode::Cancelled: a stop was requested. Otherwise the failure that stopped the run
    // (Corrupt for an unreadable segment, Io for an output that could not be written), with
    // the message OnMessage() was given.
    Status status;
    // A failure ended the run.
    bool stopped() const { return !status.ok() && status.error().code != ErrorCode::Cancelled; }
    bool cancelled() const { return !status.ok() && status.error().code == ErrorCode::Cancelled; }
    // True when every descriptor merged completely or its existing output was kept as asked.
    bool AllComplete() const;
  };

  // Runs the merge. `stop` is read before each segment; a stop request ends the run after the
  // segment in progress. Never throws for file or archive problems.
  static Report Run(const Params& params, MergeObserver& observer, std::stop_token stop);

  // Whether the segment file at `path` reads as this merge would read it: it decrypts with
  // `password` (empty: the default one), its one entry inflates within the segment bounds and
  // matches its size and CRC. Corrupt (with the merge's own unzip text) when not; NotFound or
  // Io when it cannot be opened. Reads the whole file into memory (at most one segment).
  static Status CheckSegmentFile(const std::filesystem::path& path, std::string_view password);

  // The names the merge derives from a descriptor path (exposed for the CLI and tests).
  struct Names {
    std::string prefix;         // P: the folder, ending in "/" (empty for a bare name)
    std::string name;           // N
    std::string segmentSuffix;  // "" for downloaded descriptors, ".doc" for the offline split's
  };
  // A recovery file's path (NAME.par2, NAME.volF+C.par2, either with ".doc") gives the names of
  // the descriptor it stands for (see DescriptorFor).
  static Names DeriveNames(const std::filesystem::path& descriptor);
  // The descriptor a path given to the merge stands for: the path itself, or for a recovery
  // file the descriptor beside it, NAME.dtl or NAME.dtl.doc: the one there when only one is,
  // else the one its recovery set names, else NAME.dtl. Reads the folder, never writes.
  static std::filesystem::path DescriptorFor(const std::filesystem::path& path);
  // Path of segment k >= 1: P N "." k (at least three digits) and the suffix.
  static std::filesystem::path SegmentPath(const Names& names, uint64_t k);
  // The name an unfinished output goes under: output + ".incomplete".
  static std::filesystem::path PartialPath(const std::filesystem::path& output);
  // "3", "3, 5-7": the ranges as a user reads them.
  static std::string RangesText(const std::vector<SegmentRange>& ranges);
};

}  // namespace dtl
