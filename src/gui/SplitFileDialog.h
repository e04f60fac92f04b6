// The Split File dialog: cuts a file into packed segment files in a folder (dtl::RunOfflineSplit
// on the dialog's JobRunner) with a progress bar; "Split" turns into "Stop", and "Stop" into a disabled
// "Stopping..." until the piece in progress is done.
//
// Call order: construct, exec(). ChooseSource()/ChooseFolder() are what the two Browse buttons
// do after their file dialogs (tests call them directly). Closing waits for a running worker to
// finish the piece in progress.
#pragma once

#include <QDialog>
#include <atomic>

#include "base/SettingsStore.h"
#include "gui/JobRunner.h"

class QLineEdit;
class QProgressBar;
class QPushButton;

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

  QLineEdit *source, *folder, *password, *sizeDisplay;
  ColorBandSlider* slider;
  QProgressBar* progress;
  QPushButton *splitButton, *closeButton, *browseSource, *browseFolder;

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
  std::atomic<bool> stop_{false};
  bool idle_ = true;
  bool splitOk_ = false;
  JobRunner runner_;  // last: the job ends before the members it uses
};

}  // namespace dtlui
