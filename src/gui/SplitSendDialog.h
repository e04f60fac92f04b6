// The File Split dialog (and, with `plain` set, its twin the Plain Transfer dialog): files,
// recipients, From address, send method and, for File Split, segment size and password. The
// rules and messages are dtl::SendRequest's; the dialog shows them and keeps the controls'
// enabling for the method (From off for the mail client, Recipients off for Direct Send).
//
// Call order: construct, exec(); after Accepted, Request() for SendDocument::BuildSplitJob or
// BuildPlainJob. ChooseFiles() is what "&Browse..." does after its file dialog; the SMTP
// Server Settings dialog opened by the SMTP method goes through `smtpSettingsRunner` (tests
// replace it).
#pragma once

#include <QDialog>
#include <functional>

#include "base/SettingsStore.h"
#include "send/SendRequest.h"

class QComboBox;
class QLineEdit;
class QPushButton;

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
  dtl::SendRequest Request() const;

  QLineEdit *files, *password = nullptr, *sizeDisplay = nullptr, *from;
  ColorBandSlider* slider = nullptr;
  HistoryCombo* mailTo;
  QComboBox* method;
  QPushButton *browse, *recipients;

 private:
  void ShowMethod(dtl::SendMethod m);

  dtl::SettingsStore& store_;
  bool plain_;
  std::function<void(QWidget*)> smtpSettingsRunner_;
  std::vector<dtl::ChosenFile> chosen_;
};

}  // namespace dtlui
