#include "gui/AdvancedSettingsDialog.h"

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

AdvancedSettingsDialog::AdvancedSettingsDialog(dtl::SettingsStore& store, QWidget* parent)
    : QDialog(parent), store_(store) {
  setWindowTitle(tr("Advanced Settings"));
  user = Edit(this, store_.UserName(), 200);
  password = Edit(this, store_.Pass(), 200, true);
  mx = Edit(this, store_.Mx(), 200);
  port = PortBox(this, store_.Port());
  allowPlainLogin =
      new QCheckBox(tr("Allow sending the login over an unencrypted connection"), this);
  allowPlainLogin->setChecked(store_.GetDword("AllowPlainLogin") == 1);
  allowPlainLogin->setToolTip(
      tr("Only for an SMTP server that offers no encryption: anyone between you and the server "
         "can read the user name and password."));
  auto* test = new QPushButton(tr("Test Server..."), this);
  auto* reset = new QPushButton(tr("&Reset"), this);
  for (auto* b : {test, reset}) b->setAutoDefault(false);
  connect(test, &QPushButton::clicked, this, [this] { RunServerTest(MakeServerTest()); });
  connect(reset, &QPushButton::clicked, this, &AdvancedSettingsDialog::Reset);
  auto* mapi = new QFormLayout;
  mapi->addRow(tr("Mail program account:"), user);
  mapi->addRow(tr("Mail program password:"), password);
  auto* direct = new QFormLayout;
  direct->addRow(tr("Server MX Record:"), mx);
  direct->addRow(tr("Port:"), port);
  auto* note = new QLabel(tr("Please note: Drovetail looks up MX records automatically; this field "
                             "overrides that lookup."),
                          this);
  note->setWordWrap(true);
  auto* row = new QHBoxLayout;
  row->addWidget(test);
  row->addWidget(reset);
  row->addStretch();
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(mapi);
  layout->addSpacing(8);
  layout->addLayout(direct);
  layout->addWidget(note);
  layout->addSpacing(8);
  layout->addWidget(allowPlainLogin);
  layout->addLayout(row);
  layout->addWidget(OkCancel(this));
}

ServerTestDialog* AdvancedSettingsDialog::MakeServerTest() {
  return new ServerTestDialog(S(mx->text()), port->value(), {}, {}, false, this);
}

void AdvancedSettingsDialog::Reset() {
  user->clear();
  password->clear();
  mx->clear();
  port->setValue(25);
  // Reset clears the fields at once; OK writes them again and reports a failure there.
  (void)store_.SetString("UserName", "");
  (void)store_.SetString("Pass", "");
  (void)store_.SetString("MX", "");
  (void)store_.SetDword("Port", 25);
}

void AdvancedSettingsDialog::accept() {
  const bool ok = store_.SetString("UserName", S(user->text())) &&
                  store_.SetString("Pass", S(password->text())) &&
                  store_.SetString("MX", S(mx->text())) &&
                  store_.SetDword("Port", static_cast<uint32_t>(port->value())) &&
                  store_.SetDword("AllowPlainLogin", allowPlainLogin->isChecked() ? 1 : 0);
  if (ok) QDialog::accept();
}

}  // namespace dtlui
