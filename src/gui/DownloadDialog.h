// The download dialog ("Download Files"): runs dtl::DownloadEngine on its JobRunner for the
// segments ticked in the Segment Manager and shows the file being saved, the folder, the
// current file's rate, elapsed time and bytes, and the overall progress, bytes and elapsed
// time. Each item saved or skipped is reported with itemFinished(); the provider's login page
// with providerPage(); the rate with rateShown() and rateCleared() (the main window's tray tip
// follows them). An existing file is handled
// by the replace question (ConfirmReplaceDialog), which the worker waits for without holding up
// the UI. A download that asks for a login (401, or 407 from a proxy) opens HttpLoginDialog once
// per server; the answer holds for the rest of the run, and Cancel (or a login the server
// refuses) ends the run, the refusal with an error message. A failed attempt shows its reason and
// the wait before the next one ("HTTP status 500 — trying again in 8 s", counting down) until the
// item arrives. When the run completes with Auto Merge on, the Merging dialog merges every
// downloaded descriptor (and, for a file whose descriptor did not come but whose recovery files
// did, one of those, from which the merge rebuilds it) and shows the folder.
//
// Call order: construct, SetUp(), AddItem() for each item in tree order, show() (the run starts
// with the first show). "Cancel", the close box and Stop() set the stop flag: the worker ends at
// its next check and removes the file it was writing. The dialog ends itself when the run is
// over (result 1 after a completed run, 2 otherwise) and emits runFinished(). The destructor
// stops and waits for the worker. UI thread only.
#pragma once

#include <QDeadlineTimer>
#include <QDialog>
#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <vector>

#include "browser/NetworkEndpoints.h"
#include "gui/JobRunner.h"
#include "receive/DownloadEngine.h"

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace dtl {
class CookieJar;
}

namespace dtlui {

class BusyIndicator;
class ConfirmReplaceDialog;

// The login question of a download: user name and password for the server (401) or the proxy
// (407) named in the prompt. OK gives Credentials(); Cancel, Escape and the close box reject.
// UI thread only.
class HttpLoginDialog : public QDialog {
  Q_OBJECT
 public:
  HttpLoginDialog(long status, const QString& url, QWidget* parent = nullptr);
  dtl::HttpCredentials Credentials() const;

  QLabel* prompt;
  QLineEdit *user, *password;
  QPushButton *okButton, *cancelButton;
};

class DownloadDialog : public QDialog {
  Q_OBJECT
 public:
  // What the worker runs: the download of `params` (SetUp()'s folder and password, the items
  // added; Auto Merge is left to the dialog), events to `observer`, ending soon after `stop`.
  // A non-empty Summary::message is shown to the user when the run was not stopped.
  using Job = std::function<dtl::DownloadEngine::Summary(const dtl::DownloadEngine::Params& params,
                                                         dtl::DownloadObserver& observer,
                                                         std::stop_token stop)>;

  // A web-mail download (dtl::DownloadEngine in the browser's session). `cookies` (the
  // program's session store) must outlive the dialog; `endpoints` is copied.
  DownloadDialog(dtl::CookieJar& cookies, const dtl::NetworkEndpoints& endpoints,
                 QWidget* parent = nullptr);
  // A download that `job` runs (an IMAP receive, say) with the same progress, questions and
  // merge. `job` must not use the dialog.
  explicit DownloadDialog(Job job, QWidget* parent = nullptr);
  ~DownloadDialog() override;

  // The run's set-up: the download folder, the host of the browser's page, the provider id,
  // Auto Merge and the decryption password (empty: the default password). Clears the items.
  void SetUp(const QString& folder, const QString& host, int providerId, bool autoMerge,
             const QString& password);
  void AddItem(const dtl::DownloadItem& item);
  // Sets the stop flag (also answers an open replace question so the worker can end).
  void Stop();
  // True from the first show until runFinished(): the download and, with Auto Merge, the merge.
  bool Running() const { return running_; }
  bool Stopping() const { return stop_.load(); }
  // The replace question on screen, or null.
  ConfirmReplaceDialog* ReplaceQuestion() const;
  // The login question on screen, or null.
  HttpLoginDialog* LoginQuestion() const;
  // The engine's result, once runFinished() was emitted.
  const dtl::DownloadEngine::Summary& LastResult() const { return result_; }

  QLineEdit* fileName;
  QLabel *folderText, *rateText, *elapsedText, *bytesText, *totalBytesText, *overallElapsedText;
  QLabel* retryText;  // the last failed attempt's reason and wait; empty while all goes well
  QProgressBar* overall;
  BusyIndicator* busy;
  QPushButton* cancelButton;

 signals:
  void itemFinished(const QString& key);
  void providerPage();
  // The login question opened for this URL (once per server in a run).
  void loginRequested(const QString& url);
  // The current file's transfer rate as shown ("12 KB/s"), and its end (no rate to show).
  void rateShown(const QString& rate);
  void rateCleared();
  // The run is over; the dialog has ended with `result` (1 completed, 2 otherwise).
  void runFinished(int result);

 public slots:
  void reject() override;
  // The main window has gone to the tray: a visible dialog minimises with it. Undone by
  // returnWithFrame(), which brings back only a dialog the frame took along.
  void minimiseWithFrame();
  // The main window has come back from the tray.
  void returnWithFrame();

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  class Relay;
  friend class Relay;

  void Start();
  void Finish(const dtl::DownloadEngine::Summary& result);
  // What Auto Merge hands the Merging dialog: the run's descriptors, then a recovery file for
  // each file whose descriptor did not come but whose recovery files did.
  static std::vector<std::filesystem::path> MergeList(const dtl::DownloadEngine::Summary& result);
  void AskReplace(const QString& name);
  void Answer(dtl::ReplaceMode mode);
  void AskLogin(long status, const QString& url);
  void AnswerLogin(std::optional<dtl::HttpCredentials> login);
  void ShowRetry(const QString& reason, std::chrono::milliseconds wait);
  void ClearRetry();
  void TickElapsed();

  dtl::CookieJar* cookies_ = nullptr;  // the web-mail download's; null with a job of its own
  dtl::NetworkEndpoints endpoints_;
  Job job_;
  dtl::DownloadEngine::Params params_;
  dtl::DownloadEngine::Summary result_;
  std::unique_ptr<Relay> relay_;
  std::atomic<bool> stop_{false};
  bool autoMerge_ = false;
  bool running_ = false;
  bool started_ = false;
  bool minimisedWithFrame_ = false;
  QTimer elapsedTimer_;
  QElapsedTimer overallClock_, fileClock_;
  QPointer<ConfirmReplaceDialog> question_;
  QPointer<HttpLoginDialog> loginQuestion_;
  bool loginCancelled_ = false;  // the run ended because the user cancelled a login question
  QString retryReason_;          // the reason shown in retryText, counting down to retryAt_
  QDeadlineTimer retryAt_;

  // The replace answer the worker waits for.
  std::mutex answerMutex_;
  std::condition_variable answerReady_;
  std::optional<dtl::ReplaceMode> answer_;
  // The login answer the worker waits for: empty until given; an empty login is a cancel.
  std::optional<std::optional<dtl::HttpCredentials>> loginAnswer_;

  JobRunner runner_;  // last: the job ends before the members it uses
};

}  // namespace dtlui
