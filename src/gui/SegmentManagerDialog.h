// The Segment Manager: the receiving side's window. It lists the segment attachments a source
// finds (the web-mail inbox open in the inner browser, or a mailbox over IMAP: see
// SegmentSource) on the dialog's JobRunner as a tree of files with their segments, lets the user
// tick segments, and downloads the ticked ones with the download dialog the source makes, which
// merges them when "Auto Merge Segments" is on. Every rule of the tree (filing, tick counting,
// sorting, finished items) lives in dtl::SegmentManagerModel; this window shows the model and
// forwards clicks to it, whatever the rows' source.
//
// Call order: construct (the first listing starts when the dialog is first shown), show(); the
// dialog is modeless. "&Close" (or the close box, or Escape) asks "Are you sure you want to
// close the window?"; a "Yes" stops the listing and the download and ends the dialog as soon as
// the listing's worker has let go of it. A listing that fails says why in a message box and
// leaves the window open for a Refresh. The destructor waits for the workers. UI thread only.
//
// The dialog knows nothing of the main window: whoever opens it answers "is the main window in
// the tray?" through the function it passes, calls minimiseWithFrame() when the main window goes
// to the tray, and shows downloadRate()/downloadRateCleared() in the tray tip.
#pragma once

#include <QDialog>
#include <QPointer>
#include <QString>
#include <atomic>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>
#include <vector>

#include "browser/CookieJar.h"
#include "browser/NetworkEndpoints.h"
#include "gui/JobRunner.h"
#include "gui/SegmentSource.h"
#include "receive/SegmentManagerModel.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace dtl {
class SettingsStore;
struct DownloadItem;
}  // namespace dtl

namespace dtlui {

class BusyIndicator;
class DownloadDialog;

class SegmentManagerDialog : public QDialog {
  Q_OBJECT
 public:
  // What the inner browser hands over (see WebMailSession).
  using Session = WebMailSession;

  // `frameInTray` tells whether the main window sits in the tray now (empty: it never does).
  using TrayQuery = std::function<bool()>;
  // The web-mail inbox of `session`. `settings` and `cookies` must outlive the dialog;
  // `endpoints` is copied. The session's cookies go into `cookies` here, before the first
  // crawl; a session without them (a bare cookie string) is stored there by the crawl for each
  // page it fetches. Either way the download rides in the same session.
  SegmentManagerDialog(dtl::SettingsStore& settings, dtl::CookieJar& cookies,
                       const dtl::NetworkEndpoints& endpoints, const Session& session,
                       TrayQuery frameInTray, QWidget* parent);
  // The rows of `source` (not null; the dialog owns it). `settings` must outlive the dialog.
  SegmentManagerDialog(dtl::SettingsStore& settings, std::unique_ptr<SegmentSource> source,
                       TrayQuery frameInTray, QWidget* parent);
  ~SegmentManagerDialog() override;

  QTreeWidget* Tree() const;  // the check-box tree the listing fills

  // The folder chooser of "&Download" (title "Save segments in:", opening on `start`); an empty
  // answer is a cancel. Tests replace it; an empty function brings back QFileDialog. Returns
  // the previous picker.
  using FolderPicker =
      std::function<QString(QWidget* parent, const QString& title, const QString& start)>;
  static FolderPicker SetFolderPicker(FolderPicker picker);

  const dtl::SegmentManagerModel& Model() const { return model_; }
  bool Crawling() const { return crawlRunning_; }
  // The download dialog of the last "&Download" (null before the first, or once gone).
  DownloadDialog* downloadDialog() const;

  // "&Refresh": a new listing (does nothing while one runs).
  void Refresh();
  // Files a found attachment into the tree (the listing's records come here); a name the tree
  // lists already is dropped.
  void File(const dtl::DownloadItem& record);
  // The download reported the item with this key saved or skipped: its segment is unticked.
  void markItemFinished(const QString& key);

  QPushButton *refreshButton, *downloadButton, *stopButton, *closeButton, *sortButton;
  QCheckBox *autoMerge, *selectAll;
  QLineEdit* password;
  QProgressBar* progress;
  BusyIndicator* busy;
  QLabel* listingText;

 signals:
  void reLoginRequested();  // the download met the provider's login page (32791)
  // A listing ended (whichever way); the tree holds what it found.
  void crawlFinished();
  // A listing failed with this message (shown to the user as well).
  void listingFailed(const QString& message);
  // The download's current transfer rate, and its end (for the main window's tray tip).
  void downloadRate(const QString& rate);
  void downloadRateCleared();

 public slots:
  void reject() override;
  // The main window has gone to the tray: a visible dialog minimises with it (a dialog left up
  // would be the only window of a program in the tray).
  void minimiseWithFrame();
  // The main window is back from the tray: the dialogs it took along come back with it.
  void returnWithFrame();

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  class CrawlRelay;

  void listingNote(const QString& text);
  void listingError(const QString& message);
  void crawlDone();
  void crawlAborted();
  void treeItemChanged(QTreeWidgetItem* item, int column);
  void selectAllFiles(bool on);
  void sortTree();
  void startDownload();
  void stopListing();
  void AskClose();
  void CloseWhenDone();
  void ShowModel();  // every item's box from the model, the tree rebuilt when its shape differs
  void SyncChecks();

  dtl::SettingsStore& settings_;
  std::unique_ptr<SegmentSource> source_;  // used by the listing's worker while it runs
  TrayQuery frameInTray_;
  dtl::SegmentManagerModel model_;
  QStringList notes_;  // the listing's remarks, shown once it is over
  QString savePath_;
  QTreeWidget* tree_ = nullptr;
  QPointer<DownloadDialog> download_;

  std::atomic<bool> closing_{false};
  // The crawl's second stop token: the window closing (never reset), which abandons the crawl;
  // the runner's own token is the Stop button's, which keeps what was found.
  std::stop_source closeSource_;
  bool crawlRunning_ = false;
  bool closeWhenDone_ = false;
  bool started_ = false;
  bool syncing_ = false;
  bool minimisedWithFrame_ = false;
  JobRunner crawler_;  // last: the crawl ends before the members it uses
};

}  // namespace dtlui
