#pragma once

#include <QDialog>

#include "app/SettingsStore.h"

class QLineEdit;
class QSpinBox;

namespace dtlui {

class CServerTestDlg;

// The Advanced Settings dialog: the mail-client logon (profile and password) and the Direct
// Send overrides (mail exchanger and port). "&Reset" empties the three texts, sets the port to
// 25 and writes those four values at once, so Cancel afterwards keeps them.
class CAdvancedSettingsDlg : public QDialog {
  Q_OBJECT
 public:
  CAdvancedSettingsDlg(dtl::SettingsStore& store, QWidget* parent = nullptr);
  void accept() override;
  void Reset();
  // The Server Test on the MX override, the Direct Send port, no login, no SSL.
  CServerTestDlg* MakeServerTest();

  QLineEdit *user, *password, *mx;
  QSpinBox* port;

 private:
  dtl::SettingsStore& store_;
};

}  // namespace dtlui
