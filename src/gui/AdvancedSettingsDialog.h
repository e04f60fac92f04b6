#pragma once

#include <QDialog>

#include "base/SettingsStore.h"

class QCheckBox;
class QLineEdit;
class QSpinBox;

namespace dtlui {

class ServerTestDialog;

// The Advanced Settings dialog: the mail-client logon (profile and password) and the Direct
// Send overrides (mail exchanger and port), and whether the SMTP server path may send its login
// over an unencrypted connection (the "AllowPlainLogin" setting, off unless the user ticks it).
// "&Reset" empties the three texts, sets the port to 25 and writes those four values at once, so
// Cancel afterwards keeps them; it leaves the plain-login choice as it is.
class AdvancedSettingsDialog : public QDialog {
  Q_OBJECT
 public:
  AdvancedSettingsDialog(dtl::SettingsStore& store, QWidget* parent = nullptr);
  void accept() override;
  void Reset();
  // The Server Test on the MX override, the Direct Send port, no login, no SSL.
  ServerTestDialog* MakeServerTest();

  QLineEdit *user, *password, *mx;
  QSpinBox* port;
  QCheckBox* allowPlainLogin;

 private:
  dtl::SettingsStore& store_;
};

}  // namespace dtlui
