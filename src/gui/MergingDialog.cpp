#include "gui/MergingDialog.h"

#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>

#include "archive/MergeJob.h"
#include "base/SecretMemory.h"
#include "gui/ConfirmReplaceDialog.h"
#include "gui/UiSupport.h"
#include "gui/widgets/BusyIndicator.h"

namespace dtlui {
namespace {

// Relays the merge's events to the dialog on the UI thread; the worker never waits for them,
// except for the answer to the replace question.
class MergeRelay : public dtl::MergeObserver {
 public:
  MergeRelay(MergingDialog* dlg, JobRunner& runner, std::function<void(bool)> finished,
             std::stop_token stop)
      : dlg_(dlg), runner_(runner), finished_(std::move(finished)), stop_(std::move(stop)) {}
  void OnFileName(const std::string& text) override {
    Post([d = dlg_, t = Q(text)] {
      d->NextFile();
      d->ShowTarget(t);
    });
  }
  void OnProgressRange(uint16_t total) override {
    Post([d = dlg_, total] {
      d->progress->setRange(0, total);
      d->progress->setValue(0);
    });
  }
  void OnStep() override {
    Post([d = dlg_] {
      d->progress->setValue(std::min(d->progress->value() + 1, d->progress->maximum()));
    });
  }
  void OnMessage(const std::string& text) override {
    Post([d = dlg_, t = Q(text)] {
      d->NoteFailure();
      ShowMessage(nullptr, MsgIcon::Error, t);
    });
  }
  void OnRepaired(const std::vector<std::string>& segmentNames) override {
    QStringList names;
    for (const auto& n : segmentNames) names << Q(n);
    Post([d = dlg_, names] { d->ShowRepaired(names); });
  }
  void OnFinished(bool openFolder) override {
    Post([f = finished_, openFolder] { f(openFolder); });
  }
  // The Confirm File Replace dialog, as for a segment the download finds already there. The
  // answer lives apart from the relay: a dialog answered after a stop writes into it safely.
  dtl::ReplaceMode ConfirmOutputReplace(const std::string& name) override {
    struct Answer {
      std::mutex mu;
      std::condition_variable_any ready;
      std::optional<dtl::ReplaceMode> mode;
    };
    auto answer = std::make_shared<Answer>();
    Post([d = dlg_, n = Q(name), answer] {
      auto* question = new ConfirmReplaceDialog(n, d);
      QObject::connect(question, &ConfirmReplaceDialog::answered, d,
                       [question, answer](dtl::ReplaceMode mode) {
                         question->deleteLater();
                         std::lock_guard lock(answer->mu);
                         answer->mode = mode;
                         answer->ready.notify_all();
                       });
      question->open();
    });
    std::unique_lock lock(answer->mu);
    answer->ready.wait(lock, stop_, [&] { return answer->mode.has_value(); });
    // Stopping while the question is open keeps the file as it is.
    return answer->mode.value_or(dtl::ReplaceMode::Skip);
  }

 private:
  template <typename F>
  void Post(F f) {
    runner_.post(std::move(f));
  }
  MergingDialog* dlg_;
  JobRunner& runner_;
  std::function<void(bool)> finished_;
  std::stop_token stop_;
};

}  // namespace

MergingDialog::MergingDialog(QWidget* parent) : QDialog(parent) {
  setWindowTitle(tr("Merging"));
  fileName = new QLineEdit(this);
  fileName->setReadOnly(true);
  fileName->setMinimumWidth(320);
  progress = new QProgressBar(this);
  progress->setRange(0, 1);
  progress->setValue(0);
  busy = new BusyIndicator(this);
  repairs = new QLabel(this);
  repairs->setWordWrap(true);
  repairs->hide();
  auto* cancel = new QPushButton(tr("Cancel"), this);
  connect(cancel, &QPushButton::clicked, this, &MergingDialog::reject);
  auto* top = new QHBoxLayout;
  top->addWidget(busy);
  auto* fields = new QVBoxLayout;
  fields->addWidget(new QLabel(tr("Saving to:"), this));
  fields->addWidget(fileName);
  fields->addWidget(progress);
  fields->addWidget(repairs);
  top->addLayout(fields, 1);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addWidget(cancel, 0, Qt::AlignRight);
}

MergingDialog::~MergingDialog() { StopWorker(); }

void MergingDialog::ShowTarget(const QString& mergedFile) {
  // The merge names the file by where its segments are; the user wants where it lands.
  const QString name = QFileInfo(mergedFile).fileName();
  fileName->setText(saveFolder_.isEmpty() ? mergedFile : QDir(saveFolder_).filePath(name));
}

void MergingDialog::SetFolderAndPassword(const QString& saveFolder, const QString& password) {
  saveFolder_ = saveFolder;
  password_ = password;
}

void MergingDialog::AddDescriptor(const QString& path) { descriptors_ << path; }

void MergingDialog::ShowRepaired(const QStringList& segmentNames) {
  if (segmentNames.isEmpty()) return;
  repairOfFile_ = repairLines_.size();
  repairLines_ << tr("Repaired from recovery data: %1").arg(segmentNames.join(", "));
  repairs->setText(repairLines_.join("\n"));
  repairs->show();
}

void MergingDialog::NoteFailure() {
  failed_ = true;
  if (repairOfFile_ < 0) return;
  // A rebuilt segment followed by a failure must not read as a rescued file.
  repairLines_[repairOfFile_] += tr(" (the file is still not complete)");
  repairs->setText(repairLines_.join("\n"));
  repairOfFile_ = -1;
}

void MergingDialog::StopWorker() {
  runner_.requestStop();
  runner_.wait();
}

void MergingDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (started_) return;
  started_ = true;
  busy->Start();
  merging_ = true;
  dtl::MergeJob::Params params;
  for (const auto& d : descriptors_) params.descriptors.emplace_back(S(d));
  params.saveFolder = S(saveFolder_);
  params.password = S(password_);
  runner_.start([this, params = std::move(params)](std::stop_token token) mutable {
    MergeRelay relay(
        this, runner_, [this](bool openFolder) { Finished(openFolder); }, token);
    const dtl::MergeJob::Report report = dtl::MergeJob::Run(params, relay, token);
    dtl::WipeSecret(params.password);
    for (const auto& file : report.files)
      if (file.outcome == dtl::MergeJob::Outcome::Complete)
        completeOutputs_.push_back(file.output.string());
  });
  dtl::WipeSecret(params.password);  // moved from; a short one keeps its bytes in place
}

void MergingDialog::Finished(bool openFolder) {
  if (!merging_) return;  // cancelled: the dialog is already closing
  runner_.wait();
  merging_ = false;
  busy->Stop();
  if (!openFolder || failed_) progress->setValue(0);
  // The dialog is about to go: what was rebuilt would vanish with it.
  if (!repairLines_.isEmpty()) ShowMessage(this, MsgIcon::Information, repairLines_.join("\n"));
  if (openFolder && openWhenDone_ && !OpenFolder(saveFolder_))
    // Silence here read as a merge that had produced nothing.
    ShowMessage(this, MsgIcon::Error,
                tr("The folder %1 could not be opened: the desktop has no program for it.")
                    .arg(QDir::toNativeSeparators(QDir::cleanPath(saveFolder_))));
  for (const auto& output : completeOutputs_) rebuilt_ << QDir::cleanPath(Q(output));
  QDialog::reject();
}

void MergingDialog::reject() {
  if (merging_) {
    const auto answer =
        ShowMessage(this, MsgIcon::Question,
                    tr("Drovetail is merging the segments, are you sure you want to cancel?"),
                    MsgButtons::YesNoCancel);
    if (answer != MsgAnswer::Yes) return;
    // The worker stops before its next segment; waiting for it keeps it from using this
    // dialog's members after they are gone.
    StopWorker();
    cancelled_ = true;
    merging_ = false;
    busy->Stop();
  }
  QDialog::reject();
}

}  // namespace dtlui
