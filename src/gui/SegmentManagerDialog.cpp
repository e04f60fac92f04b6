#include "gui/SegmentManagerDialog.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>

#include "gui/MainWindow.h"
#include "gui/UiSupport.h"
#include "browser/CookieJar.h"
#include "browser/PageFetcher.h"
#include "receive/InboxCrawler.h"
#include "receive/ProviderTable.h"
#include "gui/DownloadDialog.h"
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

}  // namespace

// Carries the crawler's events to the dialog; each is posted to the UI thread, so every tree
// change happens there. A posted call is dropped when the dialog is gone.
class SegmentManagerDialog::CrawlRelay : public dtl::CrawlObserver {
 public:
  explicit CrawlRelay(SegmentManagerDialog* dlg) : dlg_(dlg) {}
  void OnAttachment(const dtl::FoundAttachment& record) override {
    Post([d = dlg_, record] { d->File(record); });
  }
  void OnProgressRange(uint16_t total, uint16_t position) override {
    Post([d = dlg_, total, position] {
      d->progress->setRange(0, total);
      d->progress->setValue(position);
    });
  }
  void OnProgressStep() override {
    Post([d = dlg_] { d->progress->setValue(std::min(d->progress->value() + 1, d->progress->maximum())); });
  }
  void OnSessionEnded() override {
    Post([d = dlg_] { emit d->reLoginRequested(); });
  }
  void OnAborted() override {
    Post([d = dlg_] { d->OnAborted(); });
  }

 private:
  template <typename F>
  void Post(F f) {
    QMetaObject::invokeMethod(dlg_, std::move(f), Qt::QueuedConnection);
  }
  SegmentManagerDialog* dlg_;
};

SegmentManagerDialog::FolderPicker SegmentManagerDialog::SetFolderPicker(FolderPicker picker) {
  FolderPicker previous = std::move(Picker());
  Picker() = std::move(picker);
  return previous;
}

SegmentManagerDialog::SegmentManagerDialog(dtl::SettingsStore& settings, dtl::CookieJar& cookies,
                                       const dtl::NetworkEndpoints& endpoints, const Session& session,
                                       MainWindow* frame, QWidget* parent)
    : QDialog(parent),
      settings_(settings),
      cookies_(cookies),
      endpoints_(endpoints),
      session_(session),
      frame_(frame),
      fetcher_(std::make_unique<dtl::PageFetcher>(cookies, endpoints)) {
  setWindowTitle("Segment Manager");
  if (frame_) connect(frame_, &MainWindow::enteredTray, this, &SegmentManagerDialog::MinimiseWithTheFrame);
  providerId_ = dtl::RecognizeProvider(S(session_.pageUrl));
  savePath_ = Q(dtl::SegmentManagerModel::ReadSavePath(settings_));

  tree_ = new QTreeWidget(this);
  tree_->setHeaderHidden(true);
  tree_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  tree_->setMinimumSize(360, 240);
  refreshButton = new QPushButton("&Refresh", this);
  downloadButton = new QPushButton("&Download", this);
  stopButton = new QPushButton("&Stop", this);
  closeButton = new QPushButton("&Close", this);
  sortButton = new QPushButton("Sort", this);
  for (auto* b : {refreshButton, downloadButton, stopButton}) b->setEnabled(false);
  autoMerge = new QCheckBox("Auto Merge Segments", this);
  autoMerge->setChecked(dtl::SegmentManagerModel::ReadAutoMerge(settings_));
  selectAll = new QCheckBox("Select All Files", this);
  password = new QLineEdit(this);
  password->setEchoMode(QLineEdit::Password);
  progress = new QProgressBar(this);
  progress->setRange(0, 1);
  progress->setValue(0);
  busy = new BusyIndicator(this);
  listingText = new QLabel("Listing segments (might take a few minutes)", this);
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
  options->addWidget(new QLabel("Decryption Password (optional):", this), 1, 0);
  options->addWidget(password, 1, 1);
  options->addWidget(new QLabel("Progress:", this), 2, 0);
  options->addWidget(progress, 2, 1);
  auto* status = new QHBoxLayout;
  status->addWidget(busy);
  status->addWidget(listingText, 1);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top, 1);
  layout->addLayout(options);
  layout->addLayout(status);

  connect(tree_, &QTreeWidget::itemChanged, this, &SegmentManagerDialog::OnTreeItemChanged);
  connect(refreshButton, &QPushButton::clicked, this, &SegmentManagerDialog::Refresh);
  connect(stopButton, &QPushButton::clicked, this, &SegmentManagerDialog::OnStop);
  connect(downloadButton, &QPushButton::clicked, this, &SegmentManagerDialog::OnDownload);
  connect(closeButton, &QPushButton::clicked, this, &SegmentManagerDialog::AskClose);
  connect(sortButton, &QPushButton::clicked, this, &SegmentManagerDialog::OnSort);
  connect(selectAll, &QCheckBox::clicked, this, &SegmentManagerDialog::OnSelectAll);
  connect(autoMerge, &QCheckBox::clicked, this,
          [this](bool on) { dtl::SegmentManagerModel::WriteAutoMerge(settings_, on); });
}

SegmentManagerDialog::~SegmentManagerDialog() {
  closing_ = true;
  stopListing_ = true;
  closeSource_.request_stop();
  stopSource_.request_stop();
  if (download_) download_->Stop();
  JoinCrawler();
}

QTreeWidget* SegmentManagerDialog::Tree() const { return tree_; }

DownloadDialog* SegmentManagerDialog::downloadDialog() const { return download_; }

void SegmentManagerDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  MinimiseWithTheFrame();
  if (started_) return;
  started_ = true;
  Refresh();
}


void SegmentManagerDialog::MinimiseWithTheFrame() {
  // A dialog that stays up while the program sits in the tray would be the only window left.
  if (frame_ && frame_->InTray() && isVisible() && !isMinimized())
    QMetaObject::invokeMethod(this, &QWidget::showMinimized, Qt::QueuedConnection);
}

void SegmentManagerDialog::JoinCrawler() {
  if (crawler_.joinable()) crawler_.join();
}

void SegmentManagerDialog::Refresh() {
  if (crawlRunning_ || closing_) return;
  JoinCrawler();
  stopListing_ = false;
  stopSource_ = std::stop_source();
  crawlRunning_ = true;
  downloadButton->setEnabled(false);
  refreshButton->setEnabled(false);
  stopButton->setEnabled(true);
  busy->show();
  busy->Start();
  listingText->show();
  progress->setValue(0);

  dtl::InboxCrawler::Params params;
  params.fetcher = fetcher_.get();
  params.pageUrl = S(session_.pageUrl);
  params.cookie = S(session_.cookie);
  params.accountId = S(session_.accountId);
  // The model guards its key list: the crawler reads it while filing goes on here.
  params.isKnownKey = [model = &model_](const std::string& key) { return model->HasKey(key); };
  crawler_ = std::thread([this, params, stop = stopSource_.get_token(), close = closeSource_.get_token()] {
    CrawlRelay relay(this);
    const dtl::InboxCrawler::Result result = dtl::InboxCrawler::Run(params, relay, stop, close);
    const int32_t provider = result.providerId;
    QMetaObject::invokeMethod(this, [this, provider] {
      providerId_ = provider;
      OnCrawlFinished();
    }, Qt::QueuedConnection);
  });
}

void SegmentManagerDialog::OnStop() {
  stopListing_ = true;
  stopSource_.request_stop();
}

void SegmentManagerDialog::OnCrawlFinished() {
  JoinCrawler();
  crawlRunning_ = false;
  busy->Stop();
  busy->hide();
  listingText->hide();
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

void SegmentManagerDialog::OnTreeItemChanged(QTreeWidgetItem* item, int column) {
  if (syncing_ || column != 0) return;
  const bool ticked = item->checkState(0) == Qt::Checked;
  if (QTreeWidgetItem* parent = item->parent())
    model_.SetSegmentTicked(tree_->indexOfTopLevelItem(parent), parent->indexOfChild(item), ticked);
  else
    model_.SetGroupTicked(tree_->indexOfTopLevelItem(item), ticked);
  SyncChecks();
}

void SegmentManagerDialog::OnSelectAll(bool on) {
  model_.SelectAll(on);
  SyncChecks();
}

void SegmentManagerDialog::OnSort() {
  model_.Sort();
  syncing_ = true;
  tree_->clear();
  syncing_ = false;
  ShowModel();
}

void SegmentManagerDialog::OnItemFinished(const QString& key) {
  if (model_.FinishKey(S(key))) SyncChecks();
}

void SegmentManagerDialog::OnDownload() {
  if (download_ && download_->isVisible()) return;
  delete download_;  // a hidden one from an earlier run
  const QString folder = PickFolder(this, "Save segments in:", savePath_);
  if (folder.isEmpty()) return;
  savePath_ = folder;
  dtl::SegmentManagerModel::WriteSavePath(settings_, S(folder));
  if (providerId_ == dtl::kProviderWalla) {
    // Walla serves attachments from a host of its own; the browser's session cookies hold
    // for the provider's whole domain, so they go with the attachment host too.
    (void)cookies_.Store(dtl::kWallaAttachHost, S(session_.cookie));
  }

  auto* dlg = new DownloadDialog(cookies_, endpoints_, frame_, this);
  dlg->SetUp(folder, QUrl(session_.pageUrl).host(), providerId_, autoMerge->isChecked(), password->text());
  for (const auto& item : model_.TickedItems()) dlg->AddItem(item);
  connect(dlg, &DownloadDialog::itemFinished, this, &SegmentManagerDialog::OnItemFinished);
  connect(dlg, &DownloadDialog::providerPage, this, &SegmentManagerDialog::reLoginRequested);
  // Queued: the download dialog may be deleted by the close that follows.
  connect(dlg, &DownloadDialog::runFinished, this, [this] {
    if (closeWhenDone_) CloseWhenDone();
  }, Qt::QueuedConnection);
  download_ = dlg;
  dlg->show();
}

void SegmentManagerDialog::reject() { AskClose(); }

void SegmentManagerDialog::AskClose() {
  if (!closing_ && ShowMessage(this, MsgIcon::Question, "Are you sure you want to close the window?",
                               MsgButtons::YesNo) == MsgAnswer::No)
    return;
  closeButton->setText("Closing...");
  closeButton->setEnabled(false);
  if (download_) download_->Stop();
  closing_ = true;
  closeSource_.request_stop();
  QMetaObject::invokeMethod(this, &SegmentManagerDialog::CloseWhenDone, Qt::QueuedConnection);
}

void SegmentManagerDialog::OnAborted() {
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
  JoinCrawler();
  delete download_;
  QDialog::done(QDialog::Rejected);
}

}  // namespace dtlui
