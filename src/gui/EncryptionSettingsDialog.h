#pragma once

#include <QDialog>

#include "base/SettingsStore.h"

class QComboBox;

namespace dtlui {

// The Encryption Settings dialog: the offline split's method (EncMethod 1 AES form, 2 DES form).
class EncryptionSettingsDialog : public QDialog {
  Q_OBJECT
 public:
  EncryptionSettingsDialog(dtl::SettingsStore& store, QWidget* parent = nullptr);
  void accept() override;
  QComboBox* method;

 private:
  dtl::SettingsStore& store_;
};

}  // namespace dtlui
