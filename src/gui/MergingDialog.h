// The Merging dialog: merges every listed descriptor (dtl::MergeJob on the dialog's JobRunner)
// while showing the file name, a progress bar and a busy indicator, and closes itself when the run
// is over. "Cancel" during a merge asks first; "Yes" ends the run after the segment in progress.
// A file already under a rebuilt file's name is replaced only when the Confirm File Replace
// dialog says so (its countdown answers "Overwrite" when nobody does).
//
// Call order: construct, SetFolderAndPassword(), AddDescriptor() for each, exec().
#pragma once

#include <QDialog>
#include <QStringList>
#include <atomic>

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

  QLineEdit* fileName;
  QProgressBar* progress;
  BusyIndicator* busy;

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
  JobRunner runner_;  // last: the job ends before the members it uses
};

}  // namespace dtlui
