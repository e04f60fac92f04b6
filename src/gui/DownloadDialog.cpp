#include "gui/DownloadDialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

#include "base/RetryBackoff.h"
#include "browser/CookieJar.h"
#include "gui/ConfirmReplaceDialog.h"
#include "gui/MergingDialog.h"
#include "gui/UiSupport.h"
#include "gui/widgets/BusyIndicator.h"

namespace dtlui {

HttpLoginDialog::HttpLoginDialog(long status, const QString& url, QWidget* parent)
    : QDialog(parent) {
  setWindowTitle(tr("Login Required"));
  const QUrl where(url);
  const QString server = where.port() > 0 ? where.host() + ":" + QString::number(where.port())
                                          : where.host();
  prompt = new QLabel(status == 407 ? tr("The proxy asks for a login to download from %1.")
                                          .arg(server)
                                    : tr("The server %1 asks for a login.").arg(server),
                      this);
  prompt->setWordWrap(true);
  user = new QLineEdit(this);
  password = new QLineEdit(this);
  password->setEchoMode(QLineEdit::Password);
  auto* buttons = new QDialogButtonBox(this);
  okButton = buttons->addButton(QDialogButtonBox::Ok);
  cancelButton = buttons->addButton(QDialogButtonBox::Cancel);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  auto* form = new QFormLayout;
  form->addRow(tr("&User name:"), user);
  form->addRow(tr("&Password:"), password);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(prompt);
  layout->addLayout(form);
  layout->addWidget(buttons);
}

dtl::HttpCredentials HttpLoginDialog::Credentials() const {
  return {S(user->text()), S(password->text())};
}

// Carries the engine's events from the worker to the dialog. Every widget change is posted to
// the UI thread (a posted call is dropped when the dialog is gone); the only call that waits is
// the replace question, and it waits on its own condition, never on the UI thread.
class DownloadDialog::Relay : public dtl::DownloadObserver {
 public:
  explicit Relay(DownloadDialog* dlg) : dlg_(dlg) {}

  void OnOverallRange(size_t items) override {
    Post([d = dlg_, items] {
      d->overall->setRange(0, static_cast<int>(std::min<size_t>(items, INT_MAX)));
      d->overall->setValue(0);
    });
  }
  void OnOverallStep() override {
    Post([d = dlg_] {
      d->overall->setValue(std::min(d->overall->value() + 1, d->overall->maximum()));
    });
  }
  void OnItemStarted(size_t, const std::string& name) override {
    Post([d = dlg_, n = Q(name)] {
      d->fileName->setText(n);
      d->fileClock_.restart();
    });
  }
  void OnDisplay(const dtl::DownloadDisplay& display) override {
    Post([d = dlg_, rate = Q(display.rate), file = Q(display.fileBytes),
          total = Q(display.totalBytes)] {
      d->ClearRetry();  // the attempt is getting somewhere
      d->rateText->setText(rate);
      d->bytesText->setText(file);
      d->totalBytesText->setText(total);
      emit d->rateShown(rate);
    });
  }
  void OnItemDone(const std::string& key) override {
    Post([d = dlg_, k = Q(key)] {
      d->ClearRetry();
      emit d->itemFinished(k);
    });
  }
  void OnProviderPage() override {
    Post([d = dlg_] { emit d->providerPage(); });
  }
  void OnRetryWait(size_t, const std::string& reason, std::chrono::milliseconds wait) override {
    Post([d = dlg_, r = Q(reason), wait] { d->ShowRetry(r, wait); });
  }
  // The engine asks once per server; the worker waits here as it does for the replace question.
  std::optional<dtl::HttpCredentials> OnAuthenticationRequired(long status,
                                                               const std::string& url) override {
    {
      std::lock_guard lock(dlg_->answerMutex_);
      dlg_->loginAnswer_.reset();
    }
    Post([d = dlg_, status, u = Q(url)] { d->AskLogin(status, u); });
    std::unique_lock lock(dlg_->answerMutex_);
    dlg_->answerReady_.wait(
        lock, [this] { return dlg_->loginAnswer_.has_value() || dlg_->stop_.load(); });
    return dlg_->loginAnswer_.value_or(std::nullopt);
  }
  dtl::ReplaceMode ConfirmReplace(const std::string& name) override {
    {
      std::lock_guard lock(dlg_->answerMutex_);
      dlg_->answer_.reset();
    }
    Post([d = dlg_, n = Q(name)] { d->AskReplace(n); });
    std::unique_lock lock(dlg_->answerMutex_);
    dlg_->answerReady_.wait(lock,
                            [this] { return dlg_->answer_.has_value() || dlg_->stop_.load(); });
    // Stopping while the question is open keeps the file as it is.
    return dlg_->answer_.value_or(dtl::ReplaceMode::Skip);
  }
  void OnMessage(const std::string& text) override {
    Post([d = dlg_, t = Q(text)] { ShowMessage(d, MsgIcon::Error, t); });
  }
  void OnRateCleared() override {
    Post([d = dlg_] { emit d->rateCleared(); });
  }

 private:
  template <typename F>
  void Post(F f) {
    dlg_->runner_.post(std::move(f));
  }
  DownloadDialog* dlg_;
};

DownloadDialog::DownloadDialog(dtl::CookieJar& cookies, const dtl::NetworkEndpoints& endpoints,
                               QWidget* parent)
    : DownloadDialog(Job{}, parent) {
  cookies_ = &cookies;
  endpoints_ = endpoints;
}

DownloadDialog::DownloadDialog(Job job, QWidget* parent) : QDialog(parent), job_(std::move(job)) {
  setWindowTitle(tr("Download Files"));
  fileName = new QLineEdit(this);
  fileName->setReadOnly(true);
  fileName->setMinimumWidth(300);
  folderText = new QLabel(this);
  rateText = new QLabel(tr("0 KB/s"), this);
  elapsedText = new QLabel(tr("0 Sec"), this);
  bytesText = new QLabel(tr("0 KB"), this);
  overall = new QProgressBar(this);
  overall->setRange(0, 1);
  overall->setValue(0);
  totalBytesText = new QLabel(tr("0 KB"), this);
  overallElapsedText = new QLabel(tr("0 Sec"), this);
  retryText = new QLabel(this);
  retryText->setWordWrap(true);
  busy = new BusyIndicator(this);
  cancelButton = new QPushButton(tr("Cancel"), this);
  connect(cancelButton, &QPushButton::clicked, this, &DownloadDialog::reject);

  auto* file = new QFormLayout;
  file->addRow(tr("Saving:"), fileName);
  file->addRow(tr("Download to:"), folderText);
  file->addRow(tr("Transfer Rate:"), rateText);
  file->addRow(tr("Elapsed Time:"), elapsedText);
  file->addRow(tr("Downloaded:"), bytesText);
  file->addRow(retryText);
  auto* top = new QHBoxLayout;
  top->addWidget(busy, 0, Qt::AlignTop);
  top->addLayout(file, 1);
  auto* group = new QGroupBox(tr("Overall Progress"), this);
  auto* all = new QFormLayout(group);
  all->addRow(tr("Progress:"), overall);
  all->addRow(tr("Downloaded:"), totalBytesText);
  all->addRow(tr("Elapsed Time:"), overallElapsedText);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addWidget(group);
  layout->addWidget(cancelButton, 0, Qt::AlignRight);

  elapsedTimer_.setInterval(1000);
  connect(&elapsedTimer_, &QTimer::timeout, this, &DownloadDialog::TickElapsed);
  relay_ = std::make_unique<Relay>(this);
}

DownloadDialog::~DownloadDialog() { Stop(); }

void DownloadDialog::SetUp(const QString& folder, const QString& host, int providerId,
                           bool autoMerge, const QString& password) {
  params_.folder = S(folder);
  params_.host = S(host);
  params_.providerId = providerId;
  // The merge runs in the Merging dialog once the download is over, not inside the engine.
  params_.autoMerge = false;
  autoMerge_ = autoMerge;
  params_.password = S(password);
  params_.items.clear();
  folderText->setText(folder);
}

void DownloadDialog::AddItem(const dtl::DownloadItem& item) { params_.items.push_back(item); }

void DownloadDialog::Stop() {
  stop_ = true;  // also before the run: a run started after a stop ends at once
  runner_.requestStop();
  {
    std::lock_guard lock(answerMutex_);
    answerReady_.notify_all();
  }
  if (question_) question_->reject();
  if (loginQuestion_) loginQuestion_->reject();
  if (running_ && !retryReason_.isEmpty()) {
    retryReason_.clear();
    retryText->setText(tr("Stopped."));
  }
}

ConfirmReplaceDialog* DownloadDialog::ReplaceQuestion() const { return question_; }

HttpLoginDialog* DownloadDialog::LoginQuestion() const { return loginQuestion_; }

void DownloadDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!started_) Start();
}

void DownloadDialog::Start() {
  started_ = true;
  running_ = true;
  busy->Start();
  overallClock_.start();
  fileClock_.start();
  elapsedTimer_.start();
  if (cookies_) {
    params_.prepareHandle = [this](CURL* handle) {
      cookies_->Attach(handle);
      dtl::ApplyEndpoints(handle, endpoints_);
    };
  }
  runner_.start([this](std::stop_token token) {
    // A stop also wakes a replace question the worker may be waiting on.
    std::stop_callback wake(token, [this] {
      std::lock_guard lock(answerMutex_);
      stop_ = true;
      answerReady_.notify_all();
    });
    dtl::DownloadEngine::Summary result =
        job_ ? job_(params_, *relay_, token) : dtl::DownloadEngine::Run(params_, *relay_, token);
    runner_.post([this, result] { Finish(result); });
  });
}

void DownloadDialog::TickElapsed() {
  elapsedText->setText(Q(dtl::ElapsedText(fileClock_.elapsed() / 1000)));
  overallElapsedText->setText(Q(dtl::ElapsedText(overallClock_.elapsed() / 1000)));
  if (!retryReason_.isEmpty())
    retryText->setText(Q(dtl::RetryStatus(
        S(retryReason_), std::chrono::milliseconds(retryAt_.remainingTime() + 999))));
}

void DownloadDialog::ShowRetry(const QString& reason, std::chrono::milliseconds wait) {
  if (stop_) return;  // a stop has already said so
  retryReason_ = reason;
  retryAt_ = QDeadlineTimer(wait.count());
  retryText->setText(Q(dtl::RetryStatus(S(reason), wait)));
}

void DownloadDialog::ClearRetry() {
  retryReason_.clear();
  retryText->clear();
}

void DownloadDialog::AskLogin(long status, const QString& url) {
  if (stop_) return;  // the worker has stopped waiting
  emit loginRequested(url);
  auto* question = new HttpLoginDialog(status, url, this);
  loginQuestion_ = question;
  connect(question, &QDialog::finished, this, [this, question](int result) {
    question->deleteLater();
    if (result == QDialog::Accepted) {
      AnswerLogin(question->Credentials());
    } else {
      loginCancelled_ = true;
      AnswerLogin(std::nullopt);
    }
  });
  question->open();
}

void DownloadDialog::AnswerLogin(std::optional<dtl::HttpCredentials> login) {
  std::lock_guard lock(answerMutex_);
  loginAnswer_ = std::move(login);
  answerReady_.notify_all();
}

void DownloadDialog::AskReplace(const QString& name) {
  if (stop_) return;  // the worker has stopped waiting
  auto* question = new ConfirmReplaceDialog(name, this);
  question_ = question;
  connect(question, &ConfirmReplaceDialog::answered, this, [this, question](dtl::ReplaceMode mode) {
    question->deleteLater();
    Answer(mode);
  });
  question->open();
}

void DownloadDialog::Answer(dtl::ReplaceMode mode) {
  std::lock_guard lock(answerMutex_);
  answer_ = mode;
  answerReady_.notify_all();
}

std::vector<std::filesystem::path> DownloadDialog::MergeList(
    const dtl::DownloadEngine::Summary& result) {
  // The run's descriptors as always, then what the engine would add for a file whose descriptor
  // mail was lost but whose recovery files came: one of those, from which the merge rebuilds it.
  std::vector<std::filesystem::path> list = result.descriptors;
  for (const auto& d : result.mergeDescriptors)
    if (std::find(list.begin(), list.end(), d) == list.end()) list.push_back(d);
  return list;
}

void DownloadDialog::Finish(const dtl::DownloadEngine::Summary& result) {
  runner_.wait();
  result_ = result;
  elapsedTimer_.stop();
  busy->Stop();
  int code = 2;
  // A cancelled login question needs no message; a refused login does, and so does whatever
  // else the run left for the user (a receive's damaged segments, its refused login).
  if (!stop_ && !result.message.empty() && !loginCancelled_)
    ShowMessage(this, MsgIcon::Error, Q(result.message));
  if (!stop_ && result.outcome == dtl::DownloadEngine::Outcome::Completed) {
    code = 1;
    if (autoMerge_) {
      // Every descriptor of the run, even none: the Merging dialog still shows the folder.
      MergingDialog merging(this);
      merging.SetFolderAndPassword(Q(params_.folder.string()), Q(params_.password));
      for (const auto& d : MergeList(result)) merging.AddDescriptor(Q(d.string()));
      merging.exec();
    }
  }
  running_ = false;
  done(code);
  emit runFinished(code);
}

void DownloadDialog::minimiseWithFrame() {
  if (!isVisible() || isMinimized()) return;
  minimisedWithFrame_ = true;
  // Queued like the Segment Manager's: the frame is still inside its own state change.
  QMetaObject::invokeMethod(this, &QWidget::showMinimized, Qt::QueuedConnection);
}

void DownloadDialog::returnWithFrame() {
  // A dialog the user minimised on purpose stays where it is.
  if (!minimisedWithFrame_) return;
  minimisedWithFrame_ = false;
  if (isVisible()) QMetaObject::invokeMethod(this, &QWidget::showNormal, Qt::QueuedConnection);
}

void DownloadDialog::reject() {
  if (!running_) {
    QDialog::reject();
    return;
  }
  // The worker ends at its next check; Finish() then ends the dialog.
  Stop();
  cancelButton->setEnabled(false);
}

}  // namespace dtlui
