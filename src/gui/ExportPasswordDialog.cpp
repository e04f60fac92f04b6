#include "gui/ExportPasswordDialog.h"

#include <openssl/crypto.h>

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "browser/AccountPassword.h"
#include "gui/UiSupport.h"

namespace dtlui {

ExportPasswordDialog::ExportPasswordDialog(QWidget* parent) : QDialog(parent) {
  setWindowTitle(tr("Export Account Password"));
  setModal(true);
  plain_ = new QLineEdit(this);
  plain_->setObjectName("plainPassword");
  // No maxLength: the edit would cut a pasted longer password silently and the marker would
  // then log in with the wrong one. The limit is checked on tr("&Encrypt") instead.
  encrypted_ = new QLineEdit(this);
  encrypted_->setObjectName("encryptedPassword");
  encrypted_->setReadOnly(true);
  ssl_ = new QCheckBox(tr("Encrypt password for SSL servers"), this);
  ssl_->setObjectName("ssl");
  encrypt_ = new QPushButton(tr("&Encrypt"), this);
  encrypt_->setObjectName("encrypt");
  encrypt_->setDefault(true);
  close_ = new QPushButton(tr("&Close"), this);
  close_->setObjectName("close");
  close_->setAutoDefault(false);

  auto* group = new QGroupBox(tr("Password Encryption"), this);
  auto* grid = new QGridLayout(group);
  grid->addWidget(new QLabel(tr("Plain account password:"), group), 0, 0);
  grid->addWidget(plain_, 0, 1);
  grid->addWidget(new QLabel(tr("Encrypted password:"), group), 1, 0);
  grid->addWidget(encrypted_, 1, 1);
  grid->addWidget(ssl_, 2, 0, 1, 2);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(encrypt_);
  buttons->addWidget(close_);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(group);
  layout->addLayout(buttons);
  setMinimumWidth(420);

  connect(encrypt_, &QPushButton::clicked, this, &ExportPasswordDialog::encrypt);
  connect(close_, &QPushButton::clicked, this, &QDialog::accept);
}

ExportPasswordDialog::~ExportPasswordDialog() { ForgetPassword(); }

void ExportPasswordDialog::encrypt() {
  const QString plain = plain_->text();
  if (plain.isEmpty()) return;
  // The core counts characters, not UTF-16 units: a character outside the BMP counts once.
  if (static_cast<size_t>(plain.toUcs4().size()) > dtl::kMaxAccountPasswordChars) {
    encrypted_->clear();
    ShowMessage(this, MsgIcon::Information,
                tr("Enter no more than %1 characters.").arg(dtl::kMaxAccountPasswordChars));
    plain_->setFocus();
    return;
  }
  QByteArray utf8 = plain.toUtf8();
  const std::string marker = dtl::ExportAccountPassword(
      std::string_view(utf8.constData(), static_cast<size_t>(utf8.size())), ssl_->isChecked());
  OPENSSL_cleanse(utf8.data(), static_cast<size_t>(utf8.size()));
  if (!marker.empty()) encrypted_->setText(Q(marker));
}

void ExportPasswordDialog::done(int result) {
  ForgetPassword();
  QDialog::done(result);
}

void ExportPasswordDialog::ForgetPassword() {
  // setText also drops the edit's undo history, which holds the typed text as well.
  plain_->setText(QString());
}

}  // namespace dtlui
