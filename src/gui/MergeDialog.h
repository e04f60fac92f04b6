// The Merge dialog: choose descriptors ("*.dtl" or Split File's "*.dtl.doc"), the save folder
// (remembered as "savepath") and an optional password, then "&Merge" runs the Merging dialog on
// them.
//
// After a merge a line under the fields names the rebuilt file(s), or says that the merge was
// cancelled or rebuilt nothing; "Show in Folder" (shown only after a rebuilt file) opens the
// save folder in the desktop and reports one that cannot be opened.
//
// Call order: construct, optionally SetDescriptor() (the shell-open path), exec(). ChooseFiles()
// and ChooseSaveFolder() are what the Browse buttons do after their file dialogs; ChooseFiles()
// is also what a drop of local files on "DTL File/s" does. Descriptors may be typed or pasted
// there (several separated by ", "); a folder typed in "Save in" is stored as "savepath" when
// the field is left or Merge is pressed, like a browsed one.
#pragma once

#include <QDialog>
#include <QStringList>

#include "base/SettingsStore.h"

class QLabel;
class QLineEdit;
class QPushButton;

namespace dtlui {

class MergeDialog : public QDialog {
  Q_OBJECT
 public:
  // Loads the save folder from "savepath"; when it is not set, proposes the user's download
  // folder (XDG_DOWNLOAD_DIR from the environment, else from $XDG_CONFIG_HOME/user-dirs.dirs;
  // home when neither names an existing folder).
  MergeDialog(dtl::SettingsStore& store, QWidget* parent = nullptr);
  // The file-type filter of the descriptor chooser: both descriptor namings, then recovery
  // files (a recovery file merges the file it belongs to).
  static QString DescriptorFilter();
  // A descriptor to list when the dialog opens (ignored when 2 characters or shorter).
  void SetDescriptor(const QString& path);
  void ChooseFiles(const QStringList& paths);
  // Stores the folder as "savepath" and shows it with a trailing "/".
  void ChooseSaveFolder(const QString& folder);
  // "&Merge": runs the Merging dialog modally.
  void merge();
  const QStringList& Descriptors() const { return descriptors_; }
  // The save folder a merge would use now (the field, with a trailing "/" when not empty).
  QString SaveFolderForMerge() const;

  QLineEdit *files, *saveFolder, *password;
  QPushButton *mergeButton, *browseFiles, *browseFolder;
  QLabel* result;             // what the last merge did; empty before the first
  QPushButton* showInFolder;  // shown after a merge that rebuilt a file

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void ShowDescriptors();

  dtl::SettingsStore& store_;
  QStringList descriptors_;
  QString rebuiltFolder_;  // the folder "Show in Folder" opens
  bool initialised_ = false;
  QString remembered_;  // the save folder as last stored or shown at opening
};

}  // namespace dtlui
