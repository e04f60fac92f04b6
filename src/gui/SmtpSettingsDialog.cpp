#include "gui/SmtpSettingsDialog.h"

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

SmtpSettingsDialog::SmtpSettingsDialog(dtl::SettingsStore& store, QWidget* parent)
    : QDialog(parent), store_(store) {
  setWindowTitle(tr("SMTP Server Settings"));
  server = Edit(this, store_.SmtpServer(), 200);
  port = PortBox(this, store_.SmtpPort());
  user = Edit(this, store_.SmtpUserName(), 199);
  password = Edit(this, store_.SmtpPass(), 100, true);
  ssl = new QCheckBox(tr("Connect using SSL"), this);
  ssl->setChecked(store_.Ssl());
  auto* test = new QPushButton(tr("Test Server..."), this);
  test->setAutoDefault(false);
  connect(test, &QPushButton::clicked, this, [this] { RunServerTest(MakeServerTest()); });
  auto* form = new QFormLayout;
  form->addRow(tr("SMTP Server:"), server);
  form->addRow(tr("Port:"), port);
  form->addRow(tr("User Name:"), user);
  form->addRow(tr("Password:"), password);
  form->addRow("", ssl);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(test, 0, Qt::AlignLeft);
  layout->addWidget(OkCancel(this));
}

ServerTestDialog* SmtpSettingsDialog::MakeServerTest() {
  return new ServerTestDialog(S(server->text()), port->value(), S(user->text()),
                              S(password->text()), ssl->isChecked(), this);
}

void SmtpSettingsDialog::accept() {
  const bool ok = store_.SetString("SMTPServer", S(server->text())) &&
                  store_.SetDword("SMTPPort", static_cast<uint32_t>(port->value())) &&
                  store_.SetString("SMTPUserName", S(user->text())) &&
                  store_.SetString("SMTPPass", S(password->text())) &&
                  store_.SetDword("SSL", ssl->isChecked() ? 1 : 0);
  if (ok) QDialog::accept();
}

}  // namespace dtlui
