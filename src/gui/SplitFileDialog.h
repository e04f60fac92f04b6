// The Split File dialog: cuts a file into packed segment files in a folder (dtl::RunOfflineSplit
// on the dialog's JobRunner) with a progress bar; "Split" turns into "Stop", and "Stop" into a
// disabled "Stopping..." until the piece in progress is done.
//
// The Recovery Data field starts at the RecoveryPercent setting; "Split" stores it back and
// the run writes that share of recovery files beside the segments (the bar runs busy while
// they are made, and the status line counts their blocks afterwards).
//
// Call order: construct, exec(). ChooseSource()/ChooseFolder() are what the two Browse buttons
// do after their file dialogs (tests call them directly). Closing waits for a running worker to
// finish the piece in progress. A stopped run removes the segment files it wrote, and the status
// line under the progress bar says so until the next run. A finished run leaves the bar full,
// says "N segments written to FOLDER" and shows "Open Folder", which opens that folder in the
// desktop (OpenFolder) and reports a folder the desktop cannot open.
#pragma once

#include <QDialog>

#include "archive/OfflineSplit.h"
#include "base/SettingsStore.h"
#include "gui/JobRunner.h"

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QSpinBox;

namespace dtlui {

class ColorBandSlider;

class SplitFileDialog : public QDialog {
  Q_OBJECT
 public:
  SplitFileDialog(dtl::SettingsStore& store, QWidget* parent = nullptr);
  ~SplitFileDialog() override;

  // The source file: an empty file is refused with "The file %s size is too small (%d)", one
  // that cannot be opened with the system's text; either clears the path.
  void ChooseSource(const QString& path);
  void ChooseFolder(const QString& folder);
  // "Split" (idle) or "Stop" (running).
  void splitOrStop();
  bool Idle() const { return idle_; }
  // What "Split" runs with, read from the controls now (the password included).
  dtl::OfflineSplitParams Params() const;

  QLineEdit *source, *folder, *password, *sizeDisplay;
  ColorBandSlider* slider;
  QSpinBox* recovery;  // percent of recovery data
  QProgressBar* progress;
  QLabel* sizeProblem;  // why the typed segment size is not one; hidden when it is
  QLabel* status;  // what the last run left behind when that is not a whole set; empty otherwise
  QPushButton *splitButton, *closeButton, *browseSource, *browseFolder;
  QPushButton* openFolder;  // shown after a finished run only

 signals:
  // The run is over (the controls are back in the idle state).
  void splitFinished(bool ok);

 protected:
  void reject() override;

 private:
  void UpdateSplitEnabled();
  void SetRunning(bool running);
  void Finish(bool ok);

  dtl::SettingsStore& store_;
  bool idle_ = true;
  bool splitOk_ = false;
  bool splitStopped_ = false;
  uint64_t removed_ = 0;  // segment files a stopped run removed
  size_t recoveryFiles_ = 0;  // recovery files the last run wrote
  uint64_t written_ = 0;      // segment files the last run left in its folder
  QString writtenFolder_;     // the folder of the last finished run
  JobRunner runner_;      // last: the job ends before the members it uses
};

}  // namespace dtlui
