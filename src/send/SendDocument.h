// The document: the current send job (request fields, delivery settings, segment list), the
// rules that build and reset it, the enabling rules of the send commands, and the send run.
//
// Threads: the document belongs to the user-interface thread; only StartRun's worker reads it
// besides, through the guarded list (SendJobList). The worker gets its own copy of the job's
// fields and delivery settings and is stopped through the run's own stop source. Views
// register with AddView() and hear the update hints on the thread that causes them:
// BuildSplitJob/BuildPlainJob (Rebuild), ToggleChecks (ToggleChecks), Stop (Status), and
// ApplyEngineEvent (Status, Progress, Delivered, Failed), which the owner calls on its own thread
// with the events the worker reported.
//
// Typical use (GUI): BuildSplitJob(request) -> StartRun(observer) -> the observer queues each
// SendEvent to the UI thread -> ApplyEngineEvent(event) there -> Stop() when the user asks.
// The CLI does the same, applying the events on the worker thread (the list is guarded).
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <stop_token>
#include <thread>
#include <vector>

#include "archive/SegmentRecord.h"
#include "send/SendEngine.h"
#include "send/SendRequest.h"

namespace dtl {

class SettingsStore;

// The document's update hints.
enum class DocHint {
  Rebuild,       // rebuild all rows from the segment list
  ToggleChecks,  // toggle all check boxes
  Status,        // `status`: the text of row status.position
  Progress,      // `value`: percent of the current row
  Delivered,     // `value`: position delivered; `status.text`: the row's text when some
                 // recipients were refused for good (empty: everybody has it)
  Failed,        // `value`: position failed, retry follows
};

struct StatusRecord {
  std::string text;
  int32_t position = 0;
  std::string detail{};  // the tool tip: the longer story behind the text (an error log's path)
};

struct DocUpdate {
  DocHint hint = DocHint::Rebuild;
  int64_t value = 0;
  StatusRecord status;
};

class DocView {
 public:
  virtual ~DocView() = default;
  virtual void OnDocUpdate(const DocUpdate& update) = 0;
};

class SendDocument : public SendJobList {
 public:
  // `settings` is read when a job is built and when a run starts; it must outlive the document.
  explicit SendDocument(SettingsStore& settings);
  // Stops a run still going and waits for its worker.
  ~SendDocument() override;
  SendDocument(const SendDocument&) = delete;
  SendDocument& operator=(const SendDocument&) = delete;

  void AddView(DocView* view);
  void RemoveView(DocView* view);

  // ---- building a job (request already validated by ValidateSendRequest) ----
  // Reset, copy the request's fields (method, recipients by RecipientsField, From, trimmed
  // password) and the delivery settings from the store, append every file's records by the
  // split rule (segment size = request.segmentSize, or position x 10000) or the plain rule, clear
  // the toggle flag, notify Rebuild and mark the job present. Refused with nothing changed:
  // while a run is going on or its worker has not left yet (Failed), for a request without
  // files or with a size no segment index can number (InvalidArgument).
  Status BuildSplitJob(const SendRequest& request);
  Status BuildPlainJob(const SendRequest& request);
  // The reset rule: empty list, running and job-present cleared, From cleared, position 0.
  // The spools the discarded records name are removed from the spool folder of the last run,
  // unless KeepSpools(true) (or a worker is still alive).
  void ResetJob();
  // Spools outlive the job (the destructor and ResetJob leave them): `dtl send` keeps them for
  // a resume. Off by default, so a job the desktop program discards takes its spools along.
  void KeepSpools(bool keep) { keepSpools_ = keep; }
  // A job taken back as it was (resume): fields and records, pending flags included, and the
  // recipients that already had a pending segment (by position); the delivery settings are
  // read from the store as for a new job. Refused as BuildSplitJob while a worker is alive.
  Status RestoreJob(const SendJobFields& fields, std::vector<SegmentRecord> records,
                    ServedRecipientMap served = {});

  // ---- enabling rules ----
  bool JobPresent() const { return jobPresent_; }
  // Set by StartRun; cleared by Stop, by the normal end and when the server refused for good
  // (the run is over then). A run abandoned because the mail-client logon failed leaves it
  // set, so Send stays disabled until Stop.
  bool Running() const { return running_.load(); }
  bool CanSend() const;      // job present, not running, and the last worker has left
  bool CanStop() const;      // running
  bool CanToggle() const;    // job present
  bool CanBuildJob() const;  // File Split / Plain Transfer: not running, no worker left over

  // ---- commands ----
  // Starts the run on a worker thread with a copy of the job's fields and delivery settings.
  // `observer` and `env` must outlive the run (Wait() or the destructor). False when CanSend()
  // is false.
  bool StartRun(SendEngineObserver& observer, const SendEnvironment& env);
  // Requests the worker's stop, clears Running and notifies Status with {"Stopped", current
  // position}. Does not wait.
  void Stop();
  // Notifies ToggleChecks.
  void ToggleChecks();
  // Waits for the worker of the last run (if any) to leave; returns its result (1 normal end,
  // 0 abandoned, nullopt when there was no run to wait for).
  std::optional<int> Wait();
  // True while a worker exists that has not yet reported WorkerLeft, a stopping one included.
  bool WorkerActive() const { return workerActive_.load(); }

  // The frame's handling of an engine event, on the owner's thread: Status -> Status (the text
  // copied), UploadPercent -> Progress, Delivered -> pending cleared and Delivered,
  // FailedRetrying -> Failed. RunEnded, FileError, PartlyDelivered and WorkerLeft reach no view.
  // A Status that pauses the run for a provider limit is remembered until a delivery or a new
  // job: the next StartRun of this job (Send after Stop) first waits the rest of that pause.
  void ApplyEngineEvent(const SendEvent& event);

  // ---- fields ----
  const SendJobFields& Fields() const { return fields_; }
  // The settings the next run copies when it starts; a run in progress never sees changes.
  DeliverySettings& Delivery() { return delivery_; }
  const DeliverySettings& Delivery() const { return delivery_; }
  // Reads the delivery settings from the store (done when a job is built; a settings dialog
  // that changes them calls it again). Safe while a worker is alive: it has its own copy.
  void LoadDeliverySettings();
  std::vector<SegmentRecord> Records() const;
  // The user's check box: pending = checked, stored back. False for a position out of range.
  bool SetPending(size_t position, bool pending);
  int32_t CurrentPosition() const { return position_.load(); }
  bool ToggleFlag() const { return toggleFlag_; }
  void SetToggleFlag(bool on) { toggleFlag_ = on; }

  // SendJobList
  size_t RecordCount() const override;
  std::optional<SegmentRecord> RecordAt(size_t position) const override;
  void MarkDelivered(size_t position) override;
  std::vector<std::string> ServedRecipients(size_t position) const override;
  void AddServedRecipients(size_t position, const std::vector<std::string>& addresses) override;
  void MarkSpoolReady(const std::string& spool) override;
  // Every pending segment's recipients that already have it (what the resume journal keeps).
  ServedRecipientMap AllServedRecipients() const;

 private:
  Status BuildJob(const SendRequest& request, bool plain);
  // Reset, then take the fields and records, load the delivery settings, hint 10.
  void InstallJob(SendJobFields fields, std::vector<SegmentRecord> records,
                  ServedRecipientMap served = {});
  void Notify(const DocUpdate& update);

  SettingsStore& settings_;
  std::vector<DocView*> views_;
  SendJobFields fields_;
  DeliverySettings delivery_;
  mutable std::mutex listMutex_;
  std::vector<SegmentRecord> records_;
  ServedRecipientMap served_;  // guarded by listMutex_
  bool jobPresent_ = false;
  bool toggleFlag_ = false;
  std::atomic<bool> running_{false};
  std::atomic<int32_t> position_{0};
  std::atomic<bool> workerActive_{false};
  std::atomic<int> lastResult_{0};
  std::filesystem::path spoolFolder_;  // the last run's (SpoolFolderOf)
  bool keepSpools_ = false;
  // The last run's stop (Stop(), the destructor); made before its worker starts.
  std::stop_source stop_;
  // Last member: joined before anything the worker touches is destroyed (the destructor
  // requests the stop through stop_ first).
  std::jthread worker_;
  bool haveRun_ = false;
  // The provider-limit pause the last run was in (0: none), and the environment a run that
  // must wait the rest of it is handed in place of the caller's (a copy with the pause added).
  std::time_t pausedUntil_ = 0;
  std::string pauseReason_;
  SendEnvironment pausedEnv_;
};

}  // namespace dtl
