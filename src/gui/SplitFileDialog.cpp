#include "gui/SplitFileDialog.h"

#include <QDir>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>
#include <cerrno>
#include <fstream>

#include "archive/OfflineSplit.h"
#include "archive/SegmentRecord.h"
#include "gui/UiSupport.h"
#include "gui/widgets/ColorBandSlider.h"
#include "gui/widgets/SegmentSizeField.h"
#include "send/SendRequest.h"

namespace dtlui {
namespace {

// Relays the run's events to the dialog on the UI thread.
class SplitRelay : public dtl::OfflineSplitObserver {
 public:
  SplitRelay(SplitFileDialog* dlg, JobRunner& runner) : dlg_(dlg), runner_(runner) {}
  void OnStarted(uint64_t count) override {
    runner_.post([p = dlg_->progress, count] {
      p->setRange(0, static_cast<int>(std::min<uint64_t>(count, INT32_MAX)));
      p->setValue(0);
    });
  }
  void OnPieceWritten(uint64_t k, const std::string&) override {
    runner_.post([p = dlg_->progress, k] { p->setValue(static_cast<int>(k)); });
  }
  void OnRecoveryStarted(uint32_t blocks) override {
    runner_.post([d = dlg_, blocks] {
      // Making recovery data has no steps to count: the bar runs busy meanwhile.
      d->progress->setRange(0, 0);
      d->status->setText(blocks == 1
                             ? SplitFileDialog::tr("Making 1 recovery block...")
                             : SplitFileDialog::tr("Making %1 recovery blocks...").arg(blocks));
    });
  }
  void OnError(const std::string& text) override {
    runner_.post([d = dlg_, t = Q(text)] { ShowMessage(d, MsgIcon::Error, t); });
  }

 private:
  SplitFileDialog* dlg_;
  JobRunner& runner_;
};

}  // namespace

SplitFileDialog::SplitFileDialog(dtl::SettingsStore& store, QWidget* parent)
    : QDialog(parent), store_(store) {
  setWindowTitle(tr("Split File"));
  source = new QLineEdit(this);
  folder = new QLineEdit(this);
  password = new QLineEdit(this);
  password->setEchoMode(QLineEdit::Password);
  sizeDisplay = new QLineEdit(this);
  sizeDisplay->setMaximumWidth(90);
  sizeProblem = new QLabel(this);
  slider = new ColorBandSlider(this);
  slider->setRange(1, 1000);
  slider->setTickInterval(50);  // a mark per position would paint one solid bar
  slider->setSingleStep(1);
  slider->setMinimumWidth(320);
  recovery = RecoveryPercentBox(this, store_.RecoveryPercent());
  progress = new QProgressBar(this);
  progress->setRange(0, 1);
  progress->setValue(0);
  status = new QLabel(this);
  status->setWordWrap(true);
  browseSource = new QPushButton(tr("&Browse..."), this);
  browseFolder = new QPushButton(tr("B&rowse..."), this);
  splitButton = new QPushButton(tr("Split"), this);
  closeButton = new QPushButton(tr("Close"), this);
  openFolder = new QPushButton(tr("&Open Folder"), this);
  openFolder->setToolTip(tr("Show the folder with the segments in the file manager"));
  openFolder->hide();
  for (auto* b : {browseSource, browseFolder, splitButton, closeButton, openFolder})
    b->setAutoDefault(false);
  splitButton->setEnabled(false);

  BindSegmentSize(sizeDisplay, slider, sizeProblem);
  slider->setValue(1000);
  sizeDisplay->setText(Q(dtl::SizeDisplayText(1000)));
  connect(browseSource, &QPushButton::clicked, this, [this] {
    const QString f = QFileDialog::getOpenFileName(this, tr("Choose the file to split"));
    if (!f.isEmpty()) ChooseSource(f);
  });
  connect(browseFolder, &QPushButton::clicked, this, [this] {
    const QString f =
        QFileDialog::getExistingDirectory(this, tr("Save segments in..."), folder->text());
    if (!f.isEmpty()) ChooseFolder(f);
  });
  connect(splitButton, &QPushButton::clicked, this, &SplitFileDialog::splitOrStop);
  connect(closeButton, &QPushButton::clicked, this, &SplitFileDialog::reject);
  connect(openFolder, &QPushButton::clicked, this, [this] {
    // Without a word a desktop that has no file manager would look like a dead button.
    if (!OpenFolder(writtenFolder_))
      ShowMessage(this, MsgIcon::Error,
                  tr("The folder %1 could not be opened: the desktop has no program for it.")
                      .arg(QDir::toNativeSeparators(writtenFolder_)));
  });
  connect(source, &QLineEdit::textChanged, this, &SplitFileDialog::UpdateSplitEnabled);
  connect(folder, &QLineEdit::textChanged, this, &SplitFileDialog::UpdateSplitEnabled);

  auto* grid = new QGridLayout;
  grid->addWidget(new QLabel(tr("File Name:"), this), 0, 0);
  grid->addWidget(source, 0, 1, 1, 3);
  grid->addWidget(browseSource, 0, 4);
  grid->addWidget(new QLabel(tr("Save In:"), this), 1, 0);
  grid->addWidget(folder, 1, 1, 1, 3);
  grid->addWidget(browseFolder, 1, 4);
  grid->addWidget(new QLabel(tr("Segment Size:"), this), 2, 0);
  grid->addWidget(new QLabel(tr("10KB"), this), 2, 1);
  auto* sliderCell = new QVBoxLayout;
  sliderCell->addWidget(slider);
  sliderCell->addWidget(sizeProblem);
  grid->addLayout(sliderCell, 2, 2);
  grid->addWidget(new QLabel(tr("10MB"), this), 2, 3);
  grid->addWidget(sizeDisplay, 2, 4);
  grid->addWidget(new QLabel(tr("Password (optional):"), this), 3, 0);
  grid->addWidget(password, 3, 1, 1, 4);
  auto* recoveryLabel = new QLabel(tr("Recovery Data:"), this);
  recoveryLabel->setToolTip(recovery->toolTip());
  recoveryLabel->setBuddy(recovery);
  grid->addWidget(recoveryLabel, 4, 0);
  // Beside a stretch rather than in the "10KB" column, which would widen and push the slider.
  auto* recoveryRow = new QHBoxLayout;
  recoveryRow->addWidget(recovery);
  recoveryRow->addStretch(1);
  grid->addLayout(recoveryRow, 4, 1, 1, 4);
  grid->addWidget(new QLabel(tr("Progress:"), this), 5, 0);
  grid->addWidget(progress, 5, 1, 1, 4);
  grid->addWidget(status, 6, 1, 1, 4);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(openFolder);
  buttons->addStretch();
  buttons->addWidget(splitButton);
  buttons->addWidget(closeButton);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(grid);
  layout->addLayout(buttons);
  connect(&runner_, &JobRunner::finished, this, [this] { Finish(splitOk_); });
}

SplitFileDialog::~SplitFileDialog() = default;

void SplitFileDialog::ChooseSource(const QString& path) {
  std::ifstream in(S(path), std::ios::binary | std::ios::ate);
  if (!in) {
    const int error = errno;
    source->clear();
    ShowMessage(this, MsgIcon::Error, SystemErrorText(error ? error : ENOENT));
    return;
  }
  const auto size = static_cast<long long>(in.tellg());
  if (size <= 0) {
    source->clear();
    ShowMessage(this, MsgIcon::Error,
                tr("The file %1 size is too small (%2)").arg(path).arg(size < 0 ? 0 : size));
    return;
  }
  source->setText(path);
}

void SplitFileDialog::ChooseFolder(const QString& f) { folder->setText(f); }

void SplitFileDialog::UpdateSplitEnabled() {
  if (idle_) splitButton->setEnabled(source->text().size() > 1 && folder->text().size() > 1);
}

void SplitFileDialog::SetRunning(bool running) {
  splitButton->setText(running ? tr("Stop") : tr("Split"));
  splitButton->setEnabled(true);
  for (QWidget* w :
       std::initializer_list<QWidget*>{browseSource, browseFolder, password, recovery, closeButton})
    w->setEnabled(!running);
}

void SplitFileDialog::splitOrStop() {
  if (!idle_) {
    runner_.requestStop();
    splitButton->setText(tr("Stopping..."));
    splitButton->setEnabled(false);
    return;
  }
  if (const QString problem = SegmentSizeProblem(sizeDisplay); !problem.isEmpty()) {
    ShowMessage(this, MsgIcon::Information, problem);
    return;
  }
  const dtl::OfflineSplitParams params = Params();
  // Kept for the next split whether or not this one gets far; a store that cannot be written
  // does not stop the split.
  (void)store_.SetDword("RecoveryPercent", params.recoveryPercent);
  idle_ = false;
  recoveryFiles_ = 0;
  written_ = 0;
  progress->setValue(0);
  status->clear();
  openFolder->hide();
  SetRunning(true);
  runner_.start([this, params](std::stop_token token) {
    SplitRelay relay(this, runner_);
    const auto result = dtl::RunOfflineSplit(params, relay, token);
    runner_.post([this, ok = result.ok(), stopped = result.stopped(), removed = result.removed,
                  recovery = result.recoveryFiles.size(), written = result.written] {
      written_ = written;
      splitOk_ = ok;
      splitStopped_ = stopped;
      removed_ = removed;
      recoveryFiles_ = recovery;
    });
  });
}

dtl::OfflineSplitParams SplitFileDialog::Params() const {
  dtl::OfflineSplitParams params;
  params.source = S(source->text());
  params.folder = S(folder->text());
  params.segmentSize = static_cast<uint64_t>(slider->value()) * dtl::kSegmentUnit;
  params.password = S(password->text());
  params.encMethod = store_.EncMethod();
  params.recoveryPercent = static_cast<unsigned>(recovery->value());
  return params;
}

void SplitFileDialog::Finish(bool ok) {
  idle_ = true;
  SetRunning(false);
  progress->setRange(0, 1);  // out of the busy state recovery data leaves it in
  // A full bar and a count for a finished split, an empty bar and a reason otherwise: the two
  // ends must never read the same.
  progress->setValue(splitOk_ ? 1 : 0);
  if (splitStopped_)
    status->setText(removed_ == 1
                        ? tr("Stopped: the segment file written was removed.")
                        : tr("Stopped: the %1 segment files written were removed.").arg(removed_));
  else if (!splitOk_ && removed_ > 0)
    status->setText(removed_ == 1
                        ? tr("Failed: the segment file written was removed.")
                        : tr("Failed: the %1 segment files written were removed.").arg(removed_));
  else if (splitOk_) {
    writtenFolder_ = QDir::cleanPath(folder->text());
    const QString where = QDir::toNativeSeparators(writtenFolder_);
    QString text = written_ == 1 ? tr("1 segment written to %1.").arg(where)
                                 : tr("%1 segments written to %2.").arg(written_).arg(where);
    // One block per volume file, beside the set's description.
    if (recoveryFiles_ > 0)
      text += "\n" + (recoveryFiles_ == 2
                          ? tr("Recovery data written beside the segments: 1 recovery block.")
                          : tr("Recovery data written beside the segments: %1 recovery blocks.")
                                .arg(recoveryFiles_ - 1));
    status->setText(text);
    openFolder->show();
  } else
    status->clear();  // "Making recovery blocks..." of a run that ended without a word of its own
  UpdateSplitEnabled();
  emit splitFinished(ok);
}

void SplitFileDialog::reject() {
  // tr("Close") is disabled during a run; Escape or the window's close box stop it first.
  if (!idle_) {
    runner_.requestStop();
    runner_.wait();
    idle_ = true;
  }
  QDialog::reject();
}

}  // namespace dtlui
