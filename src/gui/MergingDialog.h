// The Merging dialog: merges every listed descriptor (dtl::MergeJob on the dialog's JobRunner)
// while showing the file name, a progress bar and a busy indicator, and closes itself when the run
// is over. "Cancel" during a merge asks first; "Yes" ends the run after the segment in progress.
// A file already under a rebuilt file's name is replaced only when the Confirm File Replace
// dialog says so (its countdown answers "Overwrite" when nobody does).
//
// Segment files rebuilt from recovery data before a merge get a line under the progress bar
// ("Repaired from recovery data: movie.avi.003, movie.avi.007"), which says so when that file's
// merge still failed; since the dialog closes itself, the same lines come up in a message box at
// the end. Failures (too few recovery blocks among them) are error messages as
// before.
//
// Unless told otherwise it opens the save folder at the end and reports a folder that cannot be
// opened; the Merge dialog turns that off and shows RebuiltFiles() with "Show in Folder".
//
// Call order: construct, SetFolderAndPassword(), AddDescriptor() for each, exec(), then
// RebuiltFiles() / Cancelled().
#pragma once

#include <QDialog>
#include <QStringList>
#include <atomic>
#include <string>
#include <vector>

#include "gui/JobRunner.h"

class QLabel;
class QLineEdit;
class QProgressBar;

namespace dtlui {

class BusyIndicator;

class MergingDialog : public QDialog {
  Q_OBJECT
 public:
  explicit MergingDialog(QWidget* parent = nullptr);
  ~MergingDialog() override;
  void SetFolderAndPassword(const QString& saveFolder, const QString& password);
  void AddDescriptor(const QString& path);
  bool Merging() const { return merging_; }
  // The merge rebuilt these segment files (what MergeObserver::OnRepaired reports, relayed to
  // the UI thread): adds their line to `repairs`.
  void ShowRepaired(const QStringList& segmentNames);
  // The merge moved on to its next file (MergeObserver::OnFileName): a failure reported from now
  // on is no longer the last repair's.
  void NextFile() { repairOfFile_ = -1; }
  // Shows where the file the merge reports (its segments' path, MergeObserver::OnFileName) is
  // written: the save folder followed by its name.
  void ShowTarget(const QString& mergedFile);
  // The merge reported a failure (already shown as an error): the repair line of the file at
  // hand, if it has one, says that the file is still not complete.
  void NoteFailure();
  // After exec(): the files the run rebuilt completely (save folder + name), in order; empty
  // when it rebuilt none.
  const QStringList& RebuiltFiles() const { return rebuilt_; }
  // Whether a finished run opens the save folder itself (the segment manager's merge, on by
  // default); the Merge dialog turns it off and offers "Show in Folder" instead.
  void SetOpenFolderWhenDone(bool open) { openWhenDone_ = open; }
  // After exec(): the user cancelled the run.
  bool Cancelled() const { return cancelled_; }

  QLineEdit* fileName;
  QProgressBar* progress;
  BusyIndicator* busy;
  QLabel* repairs;  // the repair lines; hidden while there are none

 protected:
  void showEvent(QShowEvent* event) override;
  void reject() override;

 private:
  void Finished(bool openFolder);
  void StopWorker();

  QStringList descriptors_;
  QString saveFolder_, password_;
  bool merging_ = false;
  bool started_ = false;
  bool failed_ = false;
  bool cancelled_ = false;
  bool openWhenDone_ = true;
  QStringList rebuilt_;
  // Filled by the worker before it ends; read only after runner_.wait().
  std::vector<std::string> completeOutputs_;
  QStringList repairLines_;
  qsizetype repairOfFile_ = -1;  // the line of the file being merged, when it has one
  JobRunner runner_;  // last: the job ends before the members it uses
};

}  // namespace dtlui
