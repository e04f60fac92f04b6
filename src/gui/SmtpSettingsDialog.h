// The SMTP Server Settings dialog: server, port, login and "Connect using SSL", read from the
// settings store when it opens and written on OK; "Test Server..." runs the Server Test dialog
// on the values shown.
#pragma once

#include <QDialog>

#include "base/SettingsStore.h"

class QCheckBox;
class QLineEdit;
class QSpinBox;

namespace dtlui {

class ServerTestDialog;

class SmtpSettingsDialog : public QDialog {
  Q_OBJECT
 public:
  SmtpSettingsDialog(dtl::SettingsStore& store, QWidget* parent = nullptr);
  // Writes every value; stays open (no message) when the store cannot be written.
  void accept() override;
  // Builds the Server Test dialog for the values shown (the caller runs it).
  ServerTestDialog* MakeServerTest();

  QLineEdit *server, *user, *password;
  QSpinBox* port;
  QCheckBox* ssl;

 private:
  dtl::SettingsStore& store_;
};

}  // namespace dtlui
