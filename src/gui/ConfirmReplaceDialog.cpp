#include "gui/ConfirmReplaceDialog.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "gui/UiSupport.h"

namespace dtlui {

using dtl::ReplaceMode;

ConfirmReplaceDialog::ConfirmReplaceDialog(const QString& name, QWidget* parent, int tickMs)
    : QDialog(parent) {
  setWindowTitle(tr("Confirm File Replace"));
  fileName = new QLineEdit(name, this);
  fileName->setReadOnly(true);
  fileName->setMinimumWidth(260);
  countdownText = new QLabel(Q(countdown_.Text()), this);
  overwriteAllButton = new QPushButton(tr("Overwrite All"), this);
  overwriteButton = new QPushButton(tr("Overwrite"), this);
  skipAllButton = new QPushButton(tr("Skip All"), this);
  skipButton = new QPushButton(tr("Skip"), this);
  cancelButton = new QPushButton(tr("Cancel"), this);
  overwriteButton->setDefault(true);
  connect(overwriteAllButton, &QPushButton::clicked, this,
          [this] { Answer(ReplaceMode::OverwriteAll); });
  connect(overwriteButton, &QPushButton::clicked, this, [this] { Answer(ReplaceMode::Overwrite); });
  connect(skipAllButton, &QPushButton::clicked, this, [this] { Answer(ReplaceMode::SkipAll); });
  connect(skipButton, &QPushButton::clicked, this, [this] { Answer(ReplaceMode::Skip); });
  connect(cancelButton, &QPushButton::clicked, this, &ConfirmReplaceDialog::reject);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel(tr("This folder already contains a file named "), this));
  layout->addWidget(fileName);
  layout->addWidget(new QLabel(tr("What would you like to do?"), this));
  layout->addWidget(countdownText);
  auto* buttons = new QHBoxLayout;
  for (auto* b : {overwriteAllButton, overwriteButton, skipAllButton, skipButton, cancelButton})
    buttons->addWidget(b);
  layout->addLayout(buttons);

  timer_.setInterval(tickMs);
  connect(&timer_, &QTimer::timeout, this, &ConfirmReplaceDialog::tick);
  timer_.start();
}

void ConfirmReplaceDialog::tick() {
  if (answered_) return;
  if (countdown_.Tick()) {
    Answer(ReplaceMode::Overwrite);
    return;
  }
  countdownText->setText(Q(countdown_.Text()));
}

// Cancel, Escape and the close box keep the files that are there: a dismissed question must
// never be read as tr("Overwrite All") (the dialog's rejected code is 0, the same number).
void ConfirmReplaceDialog::reject() { Answer(ReplaceMode::SkipAll); }

void ConfirmReplaceDialog::Answer(ReplaceMode mode) {
  if (answered_) return;
  answered_ = true;
  mode_ = mode;
  timer_.stop();
  emit answered(mode);
  done(static_cast<int>(mode));
}

}  // namespace dtlui
