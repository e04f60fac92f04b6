#pragma once

#include <QDialog>

#include "base/SettingsStore.h"

class QLineEdit;
class QSpinBox;

namespace dtlui {

class ServerTestDialog;

// The Advanced Settings dialog: the mail-client logon (profile and password) and the Direct
// Send overrides (mail exchanger and port). "&Reset" empties the three texts, sets the port to
// 25 and writes those four values at once, so Cancel afterwards keeps them.
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

 private:
  dtl::SettingsStore& store_;
};

}  // namespace dtlui
