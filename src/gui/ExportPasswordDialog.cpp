#include "gui/ExportPasswordDialog.h"

#include <openssl/crypto.h>

#include <QCheckBox>
#include <QClipboard>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

#include "browser/AccountPassword.h"
#include "gui/UiSupport.h"

namespace dtlui {
namespace {

// The width a line edit needs to show `text` without scrolling it. A line edit keeps a small
// margin of its own on each side of the text (2 px in Qt's line edit), which no public call
// reports; the cursor's pixel is added as well.
int LineEditWidthFor(const QLineEdit* edit, const QString& text) {
  constexpr int kInnerMargin = 2;
  const QMargins textMargins = edit->textMargins();
  const QMargins contents = edit->contentsMargins();
  const int inner = edit->fontMetrics().horizontalAdvance(text) + 2 * kInnerMargin + 1 +
                    textMargins.left() + textMargins.right() + contents.left() + contents.right();
  QStyleOptionFrame opt;
  opt.initFrom(edit);
  opt.rect = edit->rect();
  opt.lineWidth =
      edit->hasFrame() ? edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &opt, edit) : 0;
  opt.midLineWidth = 0;
  opt.state |= QStyle::State_Sunken;
  if (edit->isReadOnly()) opt.state |= QStyle::State_ReadOnly;
  return edit->style()
      ->sizeFromContents(QStyle::CT_LineEdit, &opt, QSize(inner, edit->sizeHint().height()), edit)
      .width();
}

}  // namespace

ExportPasswordDialog::ExportPasswordDialog(QWidget* parent) : QDialog(parent) {
  setWindowTitle(tr("Export Account Password"));
  setModal(true);
  plain_ = new QLineEdit(this);
  plain_->setObjectName("plainPassword");
  // Masked like any password field: the owner may be typing it with someone looking on.
  plain_->setEchoMode(QLineEdit::Password);
  // No maxLength: the edit would cut a pasted longer password silently and the marker would
  // then log in with the wrong one. The limit is checked on tr("&Encrypt") instead.
  show_ = new QCheckBox(tr("&Show"), this);
  show_->setObjectName("showPassword");
  show_->setToolTip(tr("Show the typed password"));
  encrypted_ = new QLineEdit(this);
  encrypted_->setObjectName("encryptedPassword");
  encrypted_->setReadOnly(true);
  ssl_ = new QCheckBox(tr("Encrypt password for SSL servers"), this);
  ssl_->setObjectName("ssl");
  purpose_ = new QLabel(
      tr("Give this marker instead of the password: typed into the mail site's login form in "
         "Drovetail's browser, it signs in without showing the password."),
      this);
  purpose_->setObjectName("purpose");
  purpose_->setWordWrap(true);
  encrypt_ = new QPushButton(tr("&Encrypt"), this);
  encrypt_->setObjectName("encrypt");
  encrypt_->setDefault(true);
  copy_ = new QPushButton(this);
  copy_->setObjectName("copy");
  copy_->setToolTip(tr("Copy the marker to the clipboard"));
  copy_->setAutoDefault(false);
  copy_->setEnabled(false);
  // Wide enough for either text, so "Copied" does not shift the field beside it.
  copy_->setText(tr("Copied"));
  const int copiedWidth = copy_->sizeHint().width();
  copy_->setText(tr("Co&py"));
  copy_->setMinimumWidth(std::max(copiedWidth, copy_->sizeHint().width()));
  copiedTimer_ = new QTimer(this);
  copiedTimer_->setSingleShot(true);
  copiedTimer_->setInterval(kCopiedMs);
  close_ = new QPushButton(tr("&Close"), this);
  close_->setObjectName("close");
  close_->setAutoDefault(false);

  auto* group = new QGroupBox(tr("Password Encryption"), this);
  auto* grid = new QGridLayout(group);
  auto* plainLabel = new QLabel(tr("Plain account password:"), group);
  plainLabel->setBuddy(plain_);
  auto* markerLabel = new QLabel(tr("Encrypted password:"), group);
  markerLabel->setBuddy(encrypted_);
  grid->addWidget(plainLabel, 0, 0);
  grid->addWidget(plain_, 0, 1);
  grid->addWidget(show_, 0, 2);
  grid->addWidget(markerLabel, 1, 0);
  grid->addWidget(encrypted_, 1, 1);
  grid->addWidget(copy_, 1, 2);
  grid->addWidget(ssl_, 2, 0, 1, 3);
  grid->addWidget(purpose_, 3, 0, 1, 3);
  grid->setColumnStretch(1, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(encrypt_);
  buttons->addWidget(close_);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(group);
  layout->addLayout(buttons);
  // Room from the start for the marker of a password of about twenty characters, so the usual
  // marker appears without the dialog changing size.
  encrypted_->setMinimumWidth(
      LineEditWidthFor(encrypted_, Q(dtl::ExportAccountPassword(std::string(20, 'W'), true))));
  // No minimum width of the dialog's own: the layout's minimum, which follows the marker
  // field, then becomes the window's, so a widened field widens the window with it.

  connect(encrypt_, &QPushButton::clicked, this, &ExportPasswordDialog::encrypt);
  connect(close_, &QPushButton::clicked, this, &QDialog::accept);
  connect(show_, &QCheckBox::toggled, this, [this](bool clear) {
    plain_->setEchoMode(clear ? QLineEdit::Normal : QLineEdit::Password);
  });
  connect(copy_, &QPushButton::clicked, this, &ExportPasswordDialog::copyMarker);
  connect(encrypted_, &QLineEdit::textChanged, this, [this](const QString& marker) {
    copy_->setEnabled(!marker.isEmpty());
    copiedTimer_->stop();
    copy_->setText(tr("Co&py"));
  });
  connect(copiedTimer_, &QTimer::timeout, this, [this] { copy_->setText(tr("Co&py")); });
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
  if (marker.empty()) return;
  FitMarker(Q(marker));
  encrypted_->setText(Q(marker));
  // The start of the marker is what shows when it had to be cut to the dialog's limit.
  encrypted_->setCursorPosition(0);
}

void ExportPasswordDialog::FitMarker(const QString& marker) {
  const int need = LineEditWidthFor(encrypted_, marker);
  if (need <= encrypted_->minimumWidth()) return;
  // The dialog's layout keeps the group box's minimum until the box tells it otherwise, which
  // would happen only on a later turn of the event loop: told here, the minimum read is
  // already the new one.
  const auto remeasure = [this] {
    encrypted_->parentWidget()->layout()->invalidate();
    encrypted_->parentWidget()->updateGeometry();
    layout()->invalidate();
    return minimumSizeHint().width();
  };
  encrypted_->setMinimumWidth(need);
  // The rest of the dialog is as wide as it is; only the field gives way to the limit, which
  // counts the window frame too once there is one.
  const int frame = isVisible() ? frameGeometry().width() - geometry().width() : 0;
  if (const int excess = remeasure() + frame - kMaxWidth; excess > 0) {
    encrypted_->setMinimumWidth(std::max(need - excess, 0));
    remeasure();
  }
  layout()->activate();
}

void ExportPasswordDialog::copyMarker() {
  const QString marker = encrypted_->text();
  if (marker.isEmpty()) return;
  QGuiApplication::clipboard()->setText(marker);
  copy_->setText(tr("Copied"));
  copiedTimer_->start();
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
