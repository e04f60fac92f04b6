#include "gui/SegmentManagerDialog.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <climits>

#include "gui/DownloadDialog.h"
#include "gui/UiSupport.h"
#include "gui/widgets/BusyIndicator.h"

namespace dtlui {

namespace {

SegmentManagerDialog::FolderPicker& Picker() {
  static SegmentManagerDialog::FolderPicker picker;
  return picker;
}

QString PickFolder(QWidget* parent, const QString& title, const QString& start) {
  if (Picker()) return Picker()(parent, title, start);
  return QFileDialog::getExistingDirectory(parent, title, start);
}

// A group's row: its name, and how many recovery blocks its recovery files announce when it
// has any ("movie.avi — 5 recovery blocks"), so the user sees how many lost segments the
// download can still make up for.
QString GroupText(const dtl::SegmentManagerModel::Group& group) {
  if (group.recoveryFiles == 0) return Q(group.name);
  return group.recoveryBlocks == 1
             ? QCoreApplication::translate("dtlui", "%1 — 1 recovery block").arg(Q(group.name))
             : QCoreApplication::translate("dtlui", "%1 — %2 recovery blocks")
                   .arg(Q(group.name))
                   .arg(group.recoveryBlocks);
}

}  // namespace

// Carries the listing's events to the dialog; each is posted to the UI thread, so every tree
// change happens there. A posted call is dropped when the dialog is gone.
class SegmentManagerDialog::CrawlRelay : public SegmentSource::Events {
 public:
  CrawlRelay(SegmentManagerDialog* dlg, JobRunner& runner) : dlg_(dlg), runner_(runner) {}
  void Found(const dtl::DownloadItem& record) override {
    Post([d = dlg_, record] { d->File(record); });
  }
  void Progress(uint64_t position, uint64_t total) override {
    // The bar counts in int; an empty listing leaves it full.
    const int max = static_cast<int>(std::min<uint64_t>(std::max<uint64_t>(total, 1), INT_MAX));
    const int at = total == 0 ? max : static_cast<int>(std::min<uint64_t>(position, max));
    Post([d = dlg_, max, at] {
      d->progress->setRange(0, max);
      d->progress->setValue(at);
    });
  }
  void Step() override {
    Post([d = dlg_] {
      d->progress->setValue(std::min(d->progress->value() + 1, d->progress->maximum()));
    });
  }
  void SessionEnded() override {
    Post([d = dlg_] { emit d->reLoginRequested(); });
  }
  void Aborted() override {
    Post([d = dlg_] { d->crawlAborted(); });
  }
  void Failed(const std::string& message) override {
    Post([d = dlg_, m = Q(message)] { d->listingError(m); });
  }
  void Note(const std::string& text) override {
    Post([d = dlg_, t = Q(text)] { d->listingNote(t); });
  }

 private:
  template <typename F>
  void Post(F f) {
    runner_.post(std::move(f));
  }
  SegmentManagerDialog* dlg_;
  JobRunner& runner_;
};

SegmentManagerDialog::FolderPicker SegmentManagerDialog::SetFolderPicker(FolderPicker picker) {
  FolderPicker previous = std::move(Picker());
  Picker() = std::move(picker);
  return previous;
}

SegmentManagerDialog::SegmentManagerDialog(dtl::SettingsStore& settings, dtl::CookieJar& cookies,
                                           const dtl::NetworkEndpoints& endpoints,
                                           const Session& session, TrayQuery frameInTray,
                                           QWidget* parent)
    : SegmentManagerDialog(settings, MakeWebMailSource(cookies, endpoints, session),
                           std::move(frameInTray), parent) {}

SegmentManagerDialog::SegmentManagerDialog(dtl::SettingsStore& settings,
                                           std::unique_ptr<SegmentSource> source,
                                           TrayQuery frameInTray, QWidget* parent)
    : QDialog(parent),
      settings_(settings),
      source_(std::move(source)),
      frameInTray_(std::move(frameInTray)) {
  setWindowTitle(tr("Segment Manager"));
  savePath_ = Q(dtl::SegmentManagerModel::ReadSavePath(settings_));

  tree_ = new QTreeWidget(this);
  tree_->setHeaderHidden(true);
  tree_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  tree_->setMinimumSize(360, 240);
  refreshButton = new QPushButton(tr("&Refresh"), this);
  downloadButton = new QPushButton(tr("&Download"), this);
  stopButton = new QPushButton(tr("&Stop"), this);
  closeButton = new QPushButton(tr("&Close"), this);
  sortButton = new QPushButton(tr("Sort"), this);
  for (auto* b : {refreshButton, downloadButton, stopButton}) b->setEnabled(false);
  autoMerge = new QCheckBox(tr("Auto Merge Segments"), this);
  autoMerge->setChecked(dtl::SegmentManagerModel::ReadAutoMerge(settings_));
  selectAll = new QCheckBox(tr("Select All Files"), this);
  password = new QLineEdit(this);
  password->setEchoMode(QLineEdit::Password);
  progress = new QProgressBar(this);
  progress->setRange(0, 1);
  progress->setValue(0);
  busy = new BusyIndicator(this);
  listingText = new QLabel(tr("Listing segments (might take a few minutes)"), this);
  listingText->hide();
  busy->hide();

  auto* buttons = new QVBoxLayout;
  for (auto* b : {refreshButton, downloadButton, stopButton, sortButton}) buttons->addWidget(b);
  buttons->addStretch(1);
  buttons->addWidget(closeButton);
  auto* top = new QHBoxLayout;
  top->addWidget(tree_, 1);
  top->addLayout(buttons);
  auto* options = new QGridLayout;
  options->addWidget(autoMerge, 0, 0);
  options->addWidget(selectAll, 0, 1);
  options->addWidget(new QLabel(tr("Decryption Password (optional):"), this), 1, 0);
  options->addWidget(password, 1, 1);
  options->addWidget(new QLabel(tr("Progress:"), this), 2, 0);
  options->addWidget(progress, 2, 1);
  auto* status = new QHBoxLayout;
  status->addWidget(busy);
  status->addWidget(listingText, 1);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top, 1);
  layout->addLayout(options);
  layout->addLayout(status);

  connect(tree_, &QTreeWidget::itemChanged, this, &SegmentManagerDialog::treeItemChanged);
  connect(refreshButton, &QPushButton::clicked, this, &SegmentManagerDialog::Refresh);
  connect(stopButton, &QPushButton::clicked, this, &SegmentManagerDialog::stopListing);
  connect(downloadButton, &QPushButton::clicked, this, &SegmentManagerDialog::startDownload);
  connect(closeButton, &QPushButton::clicked, this, &SegmentManagerDialog::AskClose);
  connect(sortButton, &QPushButton::clicked, this, &SegmentManagerDialog::sortTree);
  connect(selectAll, &QCheckBox::clicked, this, &SegmentManagerDialog::selectAllFiles);
  connect(autoMerge, &QCheckBox::clicked, this,
          [this](bool on) { dtl::SegmentManagerModel::WriteAutoMerge(settings_, on); });
  connect(&crawler_, &JobRunner::finished, this, &SegmentManagerDialog::crawlDone);
}

SegmentManagerDialog::~SegmentManagerDialog() {
  closing_ = true;
  closeSource_.request_stop();
  if (download_) download_->Stop();
  // crawler_ goes first of the members: its destructor stops the crawl and waits for it.
}

QTreeWidget* SegmentManagerDialog::Tree() const { return tree_; }

DownloadDialog* SegmentManagerDialog::downloadDialog() const { return download_; }

void SegmentManagerDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  minimiseWithFrame();
  if (started_) return;
  started_ = true;
  Refresh();
}

void SegmentManagerDialog::minimiseWithFrame() {
  if (!frameInTray_ || !frameInTray_()) return;
  // The download dialog is a window of its own: left up, it would be the only window of a
  // program in the tray.
  if (download_) download_->minimiseWithFrame();
  if (isVisible() && !isMinimized()) {
    minimisedWithFrame_ = true;
    QMetaObject::invokeMethod(this, &QWidget::showMinimized, Qt::QueuedConnection);
  }
}

void SegmentManagerDialog::returnWithFrame() {
  if (download_) download_->returnWithFrame();
  if (!minimisedWithFrame_) return;
  minimisedWithFrame_ = false;
  if (isVisible()) QMetaObject::invokeMethod(this, &QWidget::showNormal, Qt::QueuedConnection);
}

void SegmentManagerDialog::Refresh() {
  if (crawlRunning_ || closing_) return;
  crawlRunning_ = true;
  downloadButton->setEnabled(false);
  refreshButton->setEnabled(false);
  stopButton->setEnabled(true);
  busy->show();
  busy->Start();
  notes_.clear();
  listingText->setText(tr("Listing segments (might take a few minutes)"));
  listingText->show();
  progress->setValue(0);

  // The model guards its key list: the listing reads it while filing goes on here.
  SegmentSource::KnownKey known = [model = &model_](const std::string& key) {
    return model->HasKey(key);
  };
  // The listing's end comes back through the runner's finished(), after every record it posted.
  crawler_.start([this, known, close = closeSource_.get_token()](std::stop_token stop) {
    CrawlRelay relay(this, crawler_);
    source_->List(relay, known, stop, close);
  });
}

void SegmentManagerDialog::stopListing() { crawler_.requestStop(); }

void SegmentManagerDialog::listingNote(const QString& text) { notes_ << text; }

void SegmentManagerDialog::listingError(const QString& message) {
  if (closing_) return;
  emit listingFailed(message);
  ShowMessage(this, MsgIcon::Error, message);
}

void SegmentManagerDialog::crawlDone() {
  crawlRunning_ = false;
  busy->Stop();
  busy->hide();
  // What the listing found missing stays in view: a sender checks delivery by it.
  listingText->setText(notes_.join("\n"));
  listingText->setVisible(!notes_.isEmpty());
  stopButton->setEnabled(false);
  refreshButton->setEnabled(!closing_);
  downloadButton->setEnabled(model_.DownloadEnabled());
  emit crawlFinished();
  if (closeWhenDone_) CloseWhenDone();
}

void SegmentManagerDialog::File(const dtl::DownloadItem& record) {
  if (model_.File(record)) ShowModel();
}

void SegmentManagerDialog::ShowModel() {
  syncing_ = true;
  const auto& groups = model_.Groups();
  // The model only ever appends (Sort rebuilds the tree), so the tree grows at its ends.
  for (size_t g = 0; g < groups.size(); ++g) {
    QTreeWidgetItem* top = tree_->topLevelItem(static_cast<int>(g));
    if (!top) {
      top = new QTreeWidgetItem(tree_, QStringList{Q(groups[g].name)});
      top->setFlags(top->flags() | Qt::ItemIsUserCheckable);
      top->setCheckState(0, Qt::Unchecked);
      top->setExpanded(true);
    }
    for (size_t s = static_cast<size_t>(top->childCount()); s < groups[g].segments.size(); ++s) {
      const auto& record = groups[g].segments[s].record;
      auto* child = new QTreeWidgetItem(top, QStringList{Q(record.fileName)});
      child->setFlags(child->flags() | Qt::ItemIsUserCheckable);
      child->setCheckState(0, Qt::Unchecked);
      child->setData(0, Qt::UserRole, Q(record.key));
    }
    const QString text = GroupText(groups[g]);
    if (top->text(0) != text) top->setText(0, text);
  }
  syncing_ = false;
  SyncChecks();
}

void SegmentManagerDialog::SyncChecks() {
  syncing_ = true;
  const auto& groups = model_.Groups();
  auto state = [](bool on) { return on ? Qt::Checked : Qt::Unchecked; };
  for (int g = 0; g < tree_->topLevelItemCount() && g < static_cast<int>(groups.size()); ++g) {
    QTreeWidgetItem* top = tree_->topLevelItem(g);
    top->setCheckState(0, state(groups[g].ticked));
    for (int s = 0; s < top->childCount() && s < static_cast<int>(groups[g].segments.size()); ++s)
      top->child(s)->setCheckState(0, state(groups[g].segments[s].ticked));
  }
  syncing_ = false;
  downloadButton->setEnabled(!crawlRunning_ && model_.DownloadEnabled());
}

void SegmentManagerDialog::treeItemChanged(QTreeWidgetItem* item, int column) {
  if (syncing_ || column != 0) return;
  const bool ticked = item->checkState(0) == Qt::Checked;
  if (QTreeWidgetItem* parent = item->parent())
    model_.SetSegmentTicked(tree_->indexOfTopLevelItem(parent), parent->indexOfChild(item), ticked);
  else
    model_.SetGroupTicked(tree_->indexOfTopLevelItem(item), ticked);
  SyncChecks();
}

void SegmentManagerDialog::selectAllFiles(bool on) {
  model_.SelectAll(on);
  SyncChecks();
}

void SegmentManagerDialog::sortTree() {
  model_.Sort();
  syncing_ = true;
  tree_->clear();
  syncing_ = false;
  ShowModel();
}

void SegmentManagerDialog::markItemFinished(const QString& key) {
  if (model_.FinishKey(S(key))) SyncChecks();
}

void SegmentManagerDialog::startDownload() {
  if (download_ && download_->isVisible()) return;
  delete download_;  // a hidden one from an earlier run
  const QString folder = PickFolder(this, tr("Save segments in:"), savePath_);
  if (folder.isEmpty()) return;
  savePath_ = folder;
  dtl::SegmentManagerModel::WriteSavePath(settings_, S(folder));

  DownloadDialog* dlg = source_->MakeDownload(folder, autoMerge->isChecked(), password->text(),
                                              model_.TickedItems(), this);
  connect(dlg, &DownloadDialog::itemFinished, this, &SegmentManagerDialog::markItemFinished);
  connect(dlg, &DownloadDialog::providerPage, this, &SegmentManagerDialog::reLoginRequested);
  connect(dlg, &DownloadDialog::rateShown, this, &SegmentManagerDialog::downloadRate);
  connect(dlg, &DownloadDialog::rateCleared, this, &SegmentManagerDialog::downloadRateCleared);
  // Queued: the download dialog may be deleted by the close that follows.
  connect(
      dlg, &DownloadDialog::runFinished, this,
      [this] {
        if (closeWhenDone_) CloseWhenDone();
      },
      Qt::QueuedConnection);
  download_ = dlg;
  dlg->show();
  minimiseWithFrame();  // started while the frame is in the tray: it goes along
}

void SegmentManagerDialog::reject() { AskClose(); }

void SegmentManagerDialog::AskClose() {
  if (!closing_ &&
      ShowMessage(this, MsgIcon::Question, tr("Are you sure you want to close the window?"),
                  MsgButtons::YesNo) == MsgAnswer::No)
    return;
  closeButton->setText(tr("Closing..."));
  closeButton->setEnabled(false);
  if (download_) download_->Stop();
  closing_ = true;
  closeSource_.request_stop();
  QMetaObject::invokeMethod(this, &SegmentManagerDialog::CloseWhenDone, Qt::QueuedConnection);
}

void SegmentManagerDialog::crawlAborted() {
  closing_ = true;
  closeSource_.request_stop();
  CloseWhenDone();
}

void SegmentManagerDialog::CloseWhenDone() {
  closeWhenDone_ = true;
  if (download_) download_->Stop();
  // The crawler and the download (with the merge it may have started) use this dialog until
  // they end; the dialog ends after them (their ends come back here).
  if (crawlRunning_ || (download_ && download_->Running())) return;
  delete download_;
  QDialog::done(QDialog::Rejected);
}

}  // namespace dtlui
