// The Export Account Password dialog ("Export Account Password"): the owner of a shared
// mailbox types the account password (masked; "&Show" shows it in clear), optionally ticks
// "Encrypt password for SSL servers", and "&Encrypt" shows the account-password marker
// ("(#...#)", or "($...$)" for SSL servers) made by dtl::ExportAccountPassword in the read-only
// "Encrypted password:" field. The field widens to show the marker whole (the dialog stays
// within kMaxWidth); "Co&py" puts the marker on the clipboard and says "Copied" for a moment.
// A line in the dialog says what the marker is for: typed into a mail site's login form in the
// program's browser in place of the password.
//
// Nothing is stored anywhere: no setting is read or written. The plain password's copies the
// dialog makes are overwritten after use, and the password field is emptied when the dialog
// closes. The clipboard keeps the marker (never the password) after the dialog closes.
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
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;

namespace dtlui {

class ExportPasswordDialog : public QDialog {
  Q_OBJECT
 public:
  // The widest the dialog grows to show a long marker, in pixels.
  static constexpr int kMaxWidth = 1280;
  // How long "Copied" stays on the Copy button, in milliseconds.
  static constexpr int kCopiedMs = 1500;

  explicit ExportPasswordDialog(QWidget* parent = nullptr);
  ~ExportPasswordDialog() override;

  // "&Encrypt": makes the marker of the typed password and shows it.
  void encrypt();

  // The controls, for the tests and the screenshot mode.
  QLineEdit* PlainEdit() const { return plain_; }
  QLineEdit* EncryptedEdit() const { return encrypted_; }
  QCheckBox* SslCheck() const { return ssl_; }
  QCheckBox* ShowCheck() const { return show_; }
  QPushButton* EncryptButton() const { return encrypt_; }
  QPushButton* CopyButton() const { return copy_; }
  QPushButton* CloseButton() const { return close_; }
  QLabel* Purpose() const { return purpose_; }

  void done(int result) override;

 private:
  void ForgetPassword();
  // Widens the marker field (never narrows it) so `marker` shows whole, within kMaxWidth.
  void FitMarker(const QString& marker);
  void copyMarker();

  QLineEdit* plain_;
  QCheckBox* show_;
  QLineEdit* encrypted_;
  QCheckBox* ssl_;
  QLabel* purpose_;
  QPushButton* encrypt_;
  QPushButton* copy_;
  QPushButton* close_;
  QTimer* copiedTimer_;
};

}  // namespace dtlui
