// The File Split dialog (and, with `plain` set, its twin the Plain Transfer dialog): files,
// recipients, From address, send method and, for File Split, segment size, password and the
// share of recovery data (kept in the RecoveryPercent setting on OK). The
// rules and messages are dtl::SendRequest's; the dialog shows them and keeps the controls'
// enabling for the method (From off for the mail client, Recipients off for Direct Send, the
// one method that takes a single recipient). It opens with dtl::LoadSendDialogDefaults: a method
// it merely proposes is stored only on OK or when the user picks one.
//
// Call order: construct, exec(); after Accepted, Request() for SendDocument::BuildSplitJob or
// BuildPlainJob.
//
// With the SMTP server method, OK first asks the stored server how large a mail it takes
// (dtl::CheckSegmentSize on the dialog's JobRunner, at most a few seconds per step, so the
// window keeps painting): while it asks, OK is disabled and a line says so; when the largest
// segment's mail is too large, a message names the largest segment size that fits and the
// dialog stays open; otherwise, or when the server cannot be asked, the dialog closes as
// before. sizeCheckEnded() is emitted after every such check. ChooseFiles() is what "&Browse..."
// does after its file dialog, and what a drop of local files on the field does; paths typed or
// pasted into the field (several separated by ", ", as it shows them) are chosen when the field
// is left or OK is pressed. The segment size may be typed beside the slider (see
// widgets/SegmentSizeField.h); OK refuses a size that is not one; the SMTP Server Settings dialog
// opened by the SMTP method goes through `smtpSettingsRunner` (tests replace it).
#pragma once

#include <QDialog>
#include <chrono>
#include <functional>

#include "base/SettingsStore.h"
#include "gui/JobRunner.h"
#include "send/SegmentSizeCheck.h"
#include "send/SendRequest.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;

namespace dtlui {

class HistoryCombo;
class ColorBandSlider;

class SplitSendDialog : public QDialog {
  Q_OBJECT
 public:
  SplitSendDialog(dtl::SettingsStore& store, bool plain = false, QWidget* parent = nullptr,
                  std::function<void(QWidget*)> smtpSettingsRunner = {});

  bool Plain() const { return plain_; }
  void ChooseFiles(const QStringList& paths);
  // A method choice (0 Direct Send, 1 mail client, 2 SMTP server), as the drop-down does.
  void ChooseMethod(int index);
  void chooseRecipients();
  void accept() override;
  // Also gives up a size check in progress: its answer no longer closes the dialog.
  void reject() override;
  dtl::SendRequest Request() const;

  QLineEdit *files, *password = nullptr, *sizeDisplay = nullptr, *from;
  ColorBandSlider* slider = nullptr;
  QSpinBox* recovery = nullptr;  // File Split only: percent of recovery data
  HistoryCombo* mailTo;
  QComboBox* method;
  QPushButton *browse, *recipients, *ok;
  QLabel* sizeCheckStatus;
  QLabel* sizeProblem = nullptr;  // File Split only: why the typed size is not one; hidden if fine

  // How long the size check waits to connect and for each reply.
  static constexpr std::chrono::milliseconds kSizeCheckTimeout{5000};

 signals:
  void sizeCheckEnded();

 private:
  void ShowMethod(dtl::SendMethod m);
  // The field's text as the chosen files, unless it is what the last choice showed.
  void ReadTypedFiles();
  void StartSizeCheck(const dtl::SendRequest& request);
  void SizeChecked(const dtl::Result<dtl::SegmentSizeCheck>& check,
                   const dtl::SendRequest& request);
  void Finish(const dtl::SendRequest& request);

  dtl::SettingsStore& store_;
  bool plain_;
  std::function<void(QWidget*)> smtpSettingsRunner_;
  std::vector<dtl::ChosenFile> chosen_;
  QString shownFiles_;   // the file text of the last choice
  JobRunner sizeCheck_;  // last: stopped and joined before the members above go
};

}  // namespace dtlui
