// The Segment Manager: the receiving side's window. It lists the segment attachments waiting in
// the web-mail inbox open in the inner browser (dtl::InboxCrawler on a worker thread) as a tree
// of files with their segments, lets the user tick segments, and downloads the ticked ones with
// the download dialog, which merges them when "Auto Merge Segments" is on. Every rule of the
// tree (filing, tick counting, sorting, finished items) lives in dtl::SegmentManagerModel; this
// window shows the model and forwards clicks to it.
//
// Call order: construct (the first crawl starts when the dialog is first shown), show(); the
// dialog is modeless. "&Close" (or the close box, or Escape) asks "Are you sure you want to
// close the window?"; a "Yes" stops the crawl and the download and ends the dialog as soon as
// the crawl's worker has let go of it. The destructor waits for the workers. UI thread only.
#pragma once

#include <QDialog>
#include <QPointer>
#include <QString>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <stop_token>
#include <thread>

#include "browser/NetworkEndpoints.h"
#include "receive/SegmentManagerModel.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace dtl {
class CookieJar;
class PageFetcher;
class SettingsStore;
struct DownloadItem;
}  // namespace dtl

namespace dtlui {

class BusyIndicator;
class DownloadDialog;
class MainWindow;

class SegmentManagerDialog : public QDialog {
  Q_OBJECT
 public:
  // What the inner browser hands over: the inbox page's URL, its document cookie string, and
  // the account id (Xasamail only).
  struct Session {
    QString pageUrl;
    QString cookie;
    QString accountId;
  };

  // `settings`, `cookies` and `frame` must outlive the dialog; `frame` may be null (no tray
  // tips then). `endpoints` is copied. The crawl stores the session's cookie string in
  // `cookies` for each page it fetches, so the download rides in the same session.
  SegmentManagerDialog(dtl::SettingsStore& settings, dtl::CookieJar& cookies, const dtl::NetworkEndpoints& endpoints,
                     const Session& session, MainWindow* frame, QWidget* parent);
  ~SegmentManagerDialog() override;

  QTreeWidget* Tree() const;  // the check-box tree the crawl fills

  // The folder chooser of "&Download" (title "Save segments in:", opening on `start`); an empty
  // answer is a cancel. Tests replace it; an empty function brings back QFileDialog. Returns
  // the previous picker.
  using FolderPicker = std::function<QString(QWidget* parent, const QString& title, const QString& start)>;
  static FolderPicker SetFolderPicker(FolderPicker picker);

  const dtl::SegmentManagerModel& Model() const { return model_; }
  bool Crawling() const { return crawlRunning_; }
  // The download dialog of the last "&Download" (null before the first, or once gone).
  DownloadDialog* downloadDialog() const;

  // "&Refresh": a new crawl (does nothing while one runs).
  void Refresh();
  // Files a found attachment into the tree (the crawl's records come here); a name the tree
  // lists already is dropped.
  void File(const dtl::DownloadItem& record);
  // The download reported the item with this key saved or skipped: its segment is unticked.
  void OnItemFinished(const QString& key);

  QPushButton *refreshButton, *downloadButton, *stopButton, *closeButton, *sortButton;
  QCheckBox *autoMerge, *selectAll;
  QLineEdit* password;
  QProgressBar* progress;
  BusyIndicator* busy;
  QLabel* listingText;

 signals:
  void reLoginRequested();  // the download met the provider's login page (32791)
  // A crawl ended (whichever way); the tree holds what it found.
  void crawlFinished();

 public slots:
  void reject() override;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  class CrawlRelay;

  void OnCrawlFinished();
  void OnAborted();
  void OnTreeItemChanged(QTreeWidgetItem* item, int column);
  void OnSelectAll(bool on);
  void OnSort();
  void OnDownload();
  void OnStop();
  void AskClose();
  void CloseWhenDone();
  void ShowModel();  // every item's box from the model, the tree rebuilt when its shape differs
  void SyncChecks();
  void JoinCrawler();
  void MinimiseWithTheFrame();

  dtl::SettingsStore& settings_;
  dtl::CookieJar& cookies_;
  dtl::NetworkEndpoints endpoints_;
  Session session_;
  QPointer<MainWindow> frame_;
  dtl::SegmentManagerModel model_;
  std::unique_ptr<dtl::PageFetcher> fetcher_;
  int providerId_ = -1;
  QString savePath_;
  QTreeWidget* tree_ = nullptr;
  QPointer<DownloadDialog> download_;

  std::thread crawler_;
  std::atomic<bool> closing_{false};
  std::atomic<bool> stopListing_{false};
  // The crawl's two stop tokens: the window closing (never reset) and the Stop button (a fresh
  // one per crawl). Requested wherever closing_ / stopListing_ are set.
  std::stop_source closeSource_;
  std::stop_source stopSource_;
  bool crawlRunning_ = false;
  bool closeWhenDone_ = false;
  bool started_ = false;
  bool syncing_ = false;
};

}  // namespace dtlui
