// The Export Account Password dialog (" Export Account Password"): the owner of a shared
// mailbox types the account password, optionally ticks "Encrypt password for SSL servers", and
// "&Encrypt" shows the account-password marker ("(#...#)", or "($...$)" for SSL servers) made
// by dtl::ExportAccountPassword in the read-only "Encrypted password:" field, for copying.
//
// Nothing is stored anywhere: no setting is read or written. The plain password's copies the
// dialog makes are overwritten after use, and the password field is emptied when the dialog
// closes.
//
// Errors: an empty password produces nothing (the marker field stays as it is); a password of
// more than 50 characters is refused with the message "Enter no more than 50 characters." and
// empties the marker field, so a marker for a cut-down password is never shown.
//
// Call order: construct, exec() (modal); opened by the browser's "Export account password..."
// command (32822). UI thread only.
#pragma once

#include <QDialog>

class QCheckBox;
class QLineEdit;
class QPushButton;

namespace dtlui {

class ExportPasswordDialog : public QDialog {
  Q_OBJECT
 public:
  explicit ExportPasswordDialog(QWidget* parent = nullptr);
  ~ExportPasswordDialog() override;

  // "&Encrypt": makes the marker of the typed password and shows it.
  void encrypt();

  // The controls, for the tests and the screenshot mode.
  QLineEdit* PlainEdit() const { return plain_; }
  QLineEdit* EncryptedEdit() const { return encrypted_; }
  QCheckBox* SslCheck() const { return ssl_; }
  QPushButton* EncryptButton() const { return encrypt_; }
  QPushButton* CloseButton() const { return close_; }

  void done(int result) override;

 private:
  void ForgetPassword();

  QLineEdit* plain_;
  QLineEdit* encrypted_;
  QCheckBox* ssl_;
  QPushButton* encrypt_;
  QPushButton* close_;
};

}  // namespace dtlui
