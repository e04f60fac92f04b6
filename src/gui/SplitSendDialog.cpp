#include "gui/SplitSendDialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include "gui/AddRecipientsDialog.h"
#include "gui/HistoryCombo.h"
#include "gui/SmtpSettingsDialog.h"
#include "gui/UiSupport.h"
#include "gui/widgets/ColorBandSlider.h"
#include "gui/widgets/FileDrop.h"
#include "gui/widgets/SegmentSizeField.h"

namespace dtlui {

SplitSendDialog::SplitSendDialog(dtl::SettingsStore& store, bool plain, QWidget* parent,
                                 std::function<void(QWidget*)> smtpSettingsRunner)
    : QDialog(parent),
      store_(store),
      plain_(plain),
      smtpSettingsRunner_(std::move(smtpSettingsRunner)) {
  setWindowTitle(plain ? tr("Plain Transfer") : tr("File Split"));
  if (!smtpSettingsRunner_)
    smtpSettingsRunner_ = [this](QWidget* owner) {
      SmtpSettingsDialog dlg(store_, owner);
      dlg.exec();
    };
  const dtl::SendDialogDefaults defaults = dtl::LoadSendDialogDefaults(store_);
  files = new QLineEdit(this);
  files->setMinimumWidth(340);
  files->setPlaceholderText(tr("Type, paste or drop files; separate several with \", \""));
  // A typed or pasted list is read when the user leaves the field or presses OK, so a path is
  // not refused halfway through its typing.
  connect(files, &QLineEdit::editingFinished, this, &SplitSendDialog::ReadTypedFiles);
  AcceptFileDrops(files, [this](const QStringList& paths) { ChooseFiles(paths); });
  browse = new QPushButton(tr("&Browse..."), this);
  mailTo = new HistoryCombo(store_, this);
  recipients = new QPushButton(tr("&Recipients..."), this);
  from = new QLineEdit(Q(defaults.from), this);
  from->setMaxLength(200);
  method = new QComboBox(this);
  method->addItems({tr("Direct Send"), tr("Send via local mail program (sendmail)"),
                    tr("Send via SMTP Server")});
  for (auto* b : {browse, recipients}) b->setAutoDefault(false);

  auto* grid = new QGridLayout;
  int row = 0;
  grid->addWidget(new QLabel(tr("File(s):"), this), row, 0);
  grid->addWidget(files, row, 1, 1, 3);
  grid->addWidget(browse, row++, 4);
  if (!plain_) {
    slider = new ColorBandSlider(this);
    slider->setRange(1, 1000);
    slider->setTickInterval(50);  // a mark per position would paint one solid bar
    slider->setMinimumWidth(280);
    sizeDisplay = new QLineEdit(this);
    sizeDisplay->setMaximumWidth(90);
    sizeProblem = new QLabel(this);
    BindSegmentSize(sizeDisplay, slider, sizeProblem);
    slider->setValue(static_cast<int>(defaults.position));
    sizeDisplay->setText(Q(dtl::SizeDisplayText(defaults.position)));
    password = new QLineEdit(this);
    password->setMaxLength(100);
    password->setEchoMode(QLineEdit::Password);
    grid->addWidget(new QLabel(tr("Segment Size:"), this), row, 0);
    grid->addWidget(new QLabel(tr("10KB"), this), row, 1);
    grid->addWidget(slider, row, 2);
    grid->addWidget(new QLabel(tr("10MB"), this), row, 3);
    grid->addWidget(sizeDisplay, row++, 4);
    grid->addWidget(sizeProblem, row++, 1, 1, 4);
    grid->addWidget(new QLabel(tr("Optional Encryption Password:"), this), row, 0);
    grid->addWidget(password, row++, 1, 1, 4);
    recovery = RecoveryPercentBox(this, store_.RecoveryPercent());
    auto* recoveryLabel = new QLabel(tr("Recovery Data:"), this);
    recoveryLabel->setToolTip(recovery->toolTip());
    recoveryLabel->setBuddy(recovery);
    grid->addWidget(recoveryLabel, row, 0);
    // Beside a stretch rather than in the "10KB" column, which would widen and push the slider.
    auto* recoveryRow = new QHBoxLayout;
    recoveryRow->addWidget(recovery);
    recoveryRow->addStretch(1);
    grid->addLayout(recoveryRow, row++, 1, 1, 4);
  }
  grid->addWidget(new QLabel(tr("Mail To:"), this), row, 0);
  grid->addWidget(mailTo, row, 1, 1, 3);
  grid->addWidget(recipients, row++, 4);
  grid->addWidget(new QLabel(tr("From Email Address:"), this), row, 0);
  grid->addWidget(from, row++, 1, 1, 4);
  grid->addWidget(new QLabel(tr("Send Method:"), this), row, 0);
  grid->addWidget(method, row++, 1, 1, 2);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  ok = buttons->button(QDialogButtonBox::Ok);
  connect(buttons, &QDialogButtonBox::accepted, this, &SplitSendDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  sizeCheckStatus = new QLabel(tr("Asking the SMTP server how large a mail it takes..."), this);
  sizeCheckStatus->hide();
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(grid);
  layout->addWidget(sizeCheckStatus);
  layout->addWidget(buttons);

  mailTo->SetMaxHistoryItems(5);
  mailTo->LoadHistory("HistoryCombo", true);
  mailTo->setEditText({});
  ShowMethod(defaults.method);
  // A proposed method is only shown, not stored: it becomes the user's choice on OK or when they
  // pick one. A chosen SMTP server that is no longer configured is asked for now, as before.
  if (defaults.method == dtl::SendMethod::SmtpServer && store_.SmtpServer().empty())
    ChooseMethod(2);
  connect(method, &QComboBox::activated, this, &SplitSendDialog::ChooseMethod);
  connect(browse, &QPushButton::clicked, this, [this] {
    const QStringList chosen = QFileDialog::getOpenFileNames(this, tr("Choose files to send"));
    if (!chosen.isEmpty()) ChooseFiles(chosen);
  });
  connect(recipients, &QPushButton::clicked, this, &SplitSendDialog::chooseRecipients);
}

void SplitSendDialog::ShowMethod(dtl::SendMethod m) {
  const int index = static_cast<int>(m);
  QSignalBlocker block(method);
  method->setCurrentIndex(index);
  from->setEnabled(m != dtl::SendMethod::Mapi);
  // One rule for both dialogs: the button picks several addresses, so it serves every method
  // that can mail several; Direct Send takes exactly one, which is typed.
  const bool several = dtl::TakesSeveralRecipients(m);
  recipients->setEnabled(several);
  recipients->setToolTip(several ? tr("Choose recipients from the address book")
                                 : tr("Direct Send mails one recipient: type the address"));
}

void SplitSendDialog::ChooseMethod(int index) {
  if (index < 0 || index > 2) return;
  ShowMethod(dtl::ChooseSendMethod(store_, static_cast<dtl::SendMethod>(index),
                                   [this] { smtpSettingsRunner_(this); }));
}

void SplitSendDialog::ChooseFiles(const QStringList& paths) {
  std::vector<std::string> list;
  for (const auto& p : paths) list.push_back(S(p));
  dtl::FileChoice choice = dtl::ChooseFiles(list);
  chosen_ = std::move(choice.files);
  shownFiles_ = Q(choice.fileText);
  files->setText(shownFiles_);
  for (const auto& refusal : choice.refusals) ShowMessage(this, MsgIcon::Error, Q(refusal));
}

void SplitSendDialog::ReadTypedFiles() {
  const QString text = files->text().trimmed();
  if (text == shownFiles_) return;
  QStringList paths;
  for (const QString& piece : text.split(", ", Qt::SkipEmptyParts))
    if (!piece.trimmed().isEmpty()) paths << piece.trimmed();
  ChooseFiles(paths);
}

void SplitSendDialog::chooseRecipients() {
  // The addresses already in Mail To start the list: the dialog's result replaces the field,
  // and would otherwise drop what the user typed there.
  QStringList typed;
  for (const QString& piece : mailTo->currentText().split(';', Qt::SkipEmptyParts))
    if (!piece.trimmed().isEmpty()) typed << piece.trimmed();
  AddRecipientsDialog dlg(this, typed.join(';'));
  if (dlg.exec() == QDialog::Accepted) mailTo->setEditText(dlg.Result());
}

dtl::SendRequest SplitSendDialog::Request() const {
  dtl::SendRequest r;
  r.files = chosen_;
  r.fileText = S(files->text());
  r.mailTo = S(mailTo->currentText());
  r.from = S(from->text());
  r.method = static_cast<dtl::SendMethod>(method->currentIndex());
  if (!plain_) {
    r.password = S(password->text());
    r.position = static_cast<uint32_t>(slider->value());
    r.recoveryPercent = static_cast<unsigned>(recovery->value());
  }
  return r;
}

void SplitSendDialog::accept() {
  // A second OK while the server is being asked would start nothing new; the first one decides.
  if (sizeCheck_.isRunning()) return;
  ReadTypedFiles();
  if (sizeDisplay && !SegmentSizeProblem(sizeDisplay).isEmpty()) {
    ShowMessage(this, MsgIcon::Information, SegmentSizeProblem(sizeDisplay));
    return;
  }
  const dtl::SendRequest r = Request();
  if (const auto checked = dtl::ValidateSendRequest(r); !checked) {
    ShowMessage(this, MsgIcon::Information, Q(checked.error().message));
    return;
  }
  if (r.method == dtl::SendMethod::SmtpServer && !store_.SmtpServer().empty()) {
    StartSizeCheck(r);
    return;
  }
  Finish(r);
}

void SplitSendDialog::StartSizeCheck(const dtl::SendRequest& request) {
  const dtl::SmtpSettings probe = dtl::SizeCheckSettings(store_, kSizeCheckTimeout);
  const uint64_t piece = dtl::LargestPieceBytes(request, plain_);
  // The check waits on the network: on the UI thread a slow server would freeze the window.
  const bool started = sizeCheck_.start([this, probe, piece, request](std::stop_token stop) {
    auto check = dtl::CheckSegmentSize(probe, piece, stop);
    sizeCheck_.post([this, check, request] { SizeChecked(check, request); });
  });
  if (!started) return;
  ok->setEnabled(false);
  sizeCheckStatus->show();
}

void SplitSendDialog::reject() {
  sizeCheck_.requestStop();
  QDialog::reject();
}

void SplitSendDialog::SizeChecked(const dtl::Result<dtl::SegmentSizeCheck>& check,
                                  const dtl::SendRequest& request) {
  ok->setEnabled(true);
  sizeCheckStatus->hide();
  // Cancelled while asking: the answer must not turn that into an OK.
  if (sizeCheck_.stopRequested()) {
    emit sizeCheckEnded();
    return;
  }
  // A server that cannot be asked now may still take the mails later; the run reports for
  // itself then, as it always has.
  // Recovery files describe every segment of their file besides their block, so with many small
  // segments their mails outgrow the segments' own.
  const uint64_t recoveryMail = check ? dtl::LargestRecoveryMailBytes(request, plain_) : 0;
  if (check && !check->TooLarge() && check->limit > 0 && recoveryMail > check->limit) {
    ShowMessage(this, MsgIcon::Information,
                tr("The SMTP server takes mails of at most %1 bytes; the recovery files of this "
                   "send make mails of up to about %2 bytes (each describes every segment of its "
                   "file).\n\nChoose fewer, larger segments or less recovery data.")
                    .arg(check->limit)
                    .arg(recoveryMail));
    emit sizeCheckEnded();
    return;
  }
  if (!check || !check->TooLarge()) {
    Finish(request);
    emit sizeCheckEnded();
    return;
  }
  QString text =
      (plain_ ? tr("The SMTP server takes mails of at most %1 bytes; a file of %2 bytes makes a "
                   "mail of about %3 bytes.")
              : tr("The SMTP server takes mails of at most %1 bytes; segments of %2 bytes make "
                   "mails of about %3 bytes."))
          .arg(check->limit)
          .arg(check->pieceBytes)
          .arg(check->mailBytes);
  text += "\n\n";
  if (check->fits == 0)
    text += tr("No segment size fits.");
  else if (plain_)
    text += tr("Send it with File Split; the largest segment size that fits is %1 bytes (%2).")
                .arg(check->fits)
                .arg(Q(dtl::SizeDisplayText(static_cast<uint32_t>(check->fits / dtl::kSegmentUnit)))
                         .trimmed());
  else
    text += tr("The largest segment size that fits is %1 bytes (%2).")
                .arg(check->fits)
                .arg(Q(dtl::SizeDisplayText(static_cast<uint32_t>(check->fits / dtl::kSegmentUnit)))
                         .trimmed());
  ShowMessage(this, MsgIcon::Information, text);
  emit sizeCheckEnded();
}

void SplitSendDialog::Finish(const dtl::SendRequest& r) {
  bool stored = dtl::StoreSendRequestSettings(store_, r, !plain_);
  if (!plain_) stored = store_.SetDword("RecoveryPercent", r.recoveryPercent).ok() && stored;
  if (!stored) return;
  mailTo->AddToHistory(Q(r.mailTo));
  mailTo->SaveHistory(false);
  QDialog::accept();
}

}  // namespace dtlui
