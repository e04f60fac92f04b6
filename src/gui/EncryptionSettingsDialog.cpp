#include "gui/EncryptionSettingsDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include "gui/SettingsDialogParts.h"
#include "gui/UiSupport.h"

namespace dtlui {

EncryptionSettingsDialog::EncryptionSettingsDialog(dtl::SettingsStore& store, QWidget* parent)
    : QDialog(parent), store_(store) {
  setWindowTitle(tr("Encryption Settings"));
  method = new QComboBox(this);
  method->addItems({tr("AES Encryption (Default)"), tr("DES Encryption")});
  method->setCurrentIndex(static_cast<int>(store_.EncMethod()) - 1);
  auto* form = new QFormLayout;
  form->addRow(tr("Encryption Method:"), method);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(OkCancel(this));
}

void EncryptionSettingsDialog::accept() {
  if (store_.SetDword("EncMethod", static_cast<uint32_t>(method->currentIndex() + 1)))
    QDialog::accept();
}

}  // namespace dtlui
