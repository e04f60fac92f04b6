#include "send/SendDocument.h"

#include <openssl/rand.h>

#include <algorithm>
#include <random>

#include "archive/SegmentList.h"
#include "archive/SegmentRecovery.h"
#include "base/SecretMemory.h"
#include "base/SettingsStore.h"

namespace dtl {

SendDocument::SendDocument(SettingsStore& settings) : settings_(settings) {}

SendDocument::~SendDocument() {
  if (worker_.joinable()) {
    stop_.request_stop();
    worker_.join();
  }
  if (!keepSpools_ && !spoolFolder_.empty()) RemoveSpools(spoolFolder_, records_);
  WipeSecret(fields_.password);
  WipeSecret(delivery_.smtpPassword);
  WipeSecret(delivery_.mapiPassword);
}

void SendDocument::AddView(DocView* view) {
  if (view && std::find(views_.begin(), views_.end(), view) == views_.end()) views_.push_back(view);
}

void SendDocument::RemoveView(DocView* view) { std::erase(views_, view); }

void SendDocument::Notify(const DocUpdate& update) {
  for (DocView* v : views_) v->OnDocUpdate(update);
}

void SendDocument::ResetJob() {
  {
    std::lock_guard<std::mutex> lock(listMutex_);
    // A live worker may still be reading its spool; it is a run's to remove then.
    if (!keepSpools_ && !spoolFolder_.empty() && !workerActive_.load())
      RemoveSpools(spoolFolder_, records_);
    records_.clear();
    served_.clear();
  }
  pausedUntil_ = 0;
  running_.store(false);
  jobPresent_ = false;
  fields_.from.clear();
  WipeSecret(fields_.password);
  position_.store(0);
}

namespace {

Error StillRunning() { return Error(ErrorCode::Failed, "a send is still running"); }

// Every copy of a password is wiped where it ends, moved-from ones included: a short string
// moved away keeps its bytes in its own inline buffer.
void WipeRunSecrets(SendRunParams& p) {
  WipeSecret(p.job.password);
  WipeSecret(p.delivery.smtpPassword);
  WipeSecret(p.delivery.mapiPassword);
}

// A fresh spool folder name: random, so two jobs (or a job and the leftovers of one that was
// never resumed) never share a folder, and plain, so it can only ever name a folder right under
// the spool folder.
std::string NewSpoolName() {
  unsigned char bytes[12];
  if (RAND_bytes(bytes, sizeof bytes) != 1) {
    // Uniqueness is what matters here, not secrecy.
    std::random_device device;
    for (unsigned char& c : bytes) c = static_cast<unsigned char>(device());
  }
  static const char* hex = "0123456789abcdef";
  std::string name = "spool-";
  for (unsigned char c : bytes) {
    name.push_back(hex[c >> 4]);
    name.push_back(hex[c & 15]);
  }
  return name;
}

}  // namespace

Status SendDocument::BuildJob(const SendRequest& request, bool plain) {
  if (!CanBuildJob()) return StillRunning();
  if (request.files.empty()) return Error(ErrorCode::InvalidArgument, std::string(kNoFileMessage));
  if (request.recoveryPercent > kMaxRecoveryPercent)
    return Error(ErrorCode::InvalidArgument, "recovery data is 0 to 100 percent");
  const uint64_t segmentSize =
      request.segmentSize ? request.segmentSize : uint64_t{request.position} * kSegmentUnit;
  std::vector<SegmentRecord> records;
  for (const ChosenFile& f : request.files) {
    const std::string name = FileNameOf(f.path);
    if (plain) {
      records.push_back(PlainRecord(f.path, name, f.size));
    } else {
      auto more = SplitRecords(f.path, name, f.size, segmentSize);
      // A size no index can number: refuse rather than drop.
      if (more.empty())
        return Error(ErrorCode::InvalidArgument, "the files cannot be cut into that many segments");
      // The recovery files follow their file's segments, so the order stays file by file.
      auto recovery = MakeRecoveryRecords(more, request.recoveryPercent, NewSpoolName());
      records.insert(records.end(), std::make_move_iterator(more.begin()),
                     std::make_move_iterator(more.end()));
      records.insert(records.end(), std::make_move_iterator(recovery.begin()),
                     std::make_move_iterator(recovery.end()));
    }
  }
  SendJobFields fields;
  fields.method = request.method;
  fields.plain = plain;
  fields.recipients = RecipientsField(request.mailTo, request.method);
  fields.from = request.from;
  fields.password = plain ? std::string() : TrimBlanks(request.password);
  InstallJob(std::move(fields), std::move(records));
  return {};
}

void SendDocument::InstallJob(SendJobFields fields, std::vector<SegmentRecord> records,
                              ServedRecipientMap served) {
  ResetJob();
  fields_ = std::move(fields);
  LoadDeliverySettings();
  {
    std::lock_guard<std::mutex> lock(listMutex_);
    records_ = std::move(records);
    // Only a pending segment still owes recipients; anything else is a stale entry.
    for (auto& [position, addresses] : served)
      if (position < records_.size() && records_[position].pending && !addresses.empty())
        served_[position] = std::move(addresses);
  }
  toggleFlag_ = false;
  Notify({DocHint::Rebuild, 0, {}});
  jobPresent_ = true;
}

Status SendDocument::BuildSplitJob(const SendRequest& request) { return BuildJob(request, false); }
Status SendDocument::BuildPlainJob(const SendRequest& request) { return BuildJob(request, true); }

Status SendDocument::RestoreJob(const SendJobFields& fields, std::vector<SegmentRecord> records,
                                ServedRecipientMap served) {
  if (!CanBuildJob()) return StillRunning();
  InstallJob(fields, std::move(records), std::move(served));
  return {};
}

void SendDocument::LoadDeliverySettings() {
  // An assignment that needs a larger buffer would free the old one unwiped.
  WipeSecret(delivery_.smtpPassword);
  WipeSecret(delivery_.mapiPassword);
  delivery_.smtpHost = settings_.SmtpServer();
  delivery_.smtpPort = settings_.SmtpPort();
  delivery_.smtpSsl = settings_.Ssl();
  delivery_.smtpUser = settings_.SmtpUserName();
  delivery_.smtpPassword = settings_.SmtpPass();
  delivery_.allowPlainLogin = settings_.GetDword("AllowPlainLogin") == 1;
  delivery_.smtpOAuth = settings_.GetDword("SMTPAuth") == 1;
  delivery_.limitPauses = LimitPausesFrom(settings_);
  delivery_.mxOverride = settings_.Mx();
  delivery_.directPort = settings_.Port();
  delivery_.mapiProfile = settings_.UserName();
  delivery_.mapiPassword = settings_.Pass();
}

bool SendDocument::CanSend() const {
  return jobPresent_ && !running_.load() && !workerActive_.load();
}
bool SendDocument::CanStop() const { return running_.load(); }
bool SendDocument::CanToggle() const { return jobPresent_; }
bool SendDocument::CanBuildJob() const { return !running_.load() && !workerActive_.load(); }

bool SendDocument::StartRun(SendEngineObserver& observer, const SendEnvironment& env) {
  if (!CanSend()) return false;
  // The previous worker has left (CanSend), so joining it does not block.
  if (worker_.joinable()) worker_.join();
  running_.store(true);
  workerActive_.store(true);
  haveRun_ = true;
  SendRunParams params;
  params.job = fields_;
  params.delivery = delivery_;  // copied here, on the owner's thread: the run owns its settings
  params.list = this;
  params.observer = &observer;
  params.env = &env;
  if (pausedUntil_ > 0 && env.resumePausedUntil == 0) {
    // Stopped during a pause and sent again: the limit has not gone away meanwhile.
    pausedEnv_ = env;
    pausedEnv_.resumePausedUntil = pausedUntil_;
    pausedEnv_.resumePauseReason = pauseReason_;
    params.env = &pausedEnv_;
  }
  spoolFolder_ = SpoolFolderOf(env);
  params.onPosition = [this](int32_t position) { position_.store(position); };
  params.onNormalEnd = [this] { running_.store(false); };
  // A refusal for good ends the run as surely as the last delivery: waiting for Stop would
  // only leave Send disabled for nothing.
  params.onRefused = [this] { running_.store(false); };
  // The run's stop source exists before its thread: a Stop() coming from the run's own first
  // events, while worker_ is still being assigned, reaches the run all the same.
  stop_ = std::stop_source();
  worker_ = std::jthread([this, params = std::move(params), &observer,
                          stop = stop_.get_token()]() mutable {
    lastResult_.store(RunSendEngine(params, stop));
    WipeRunSecrets(params);
    // Cleared before the event, so a receiver that re-checks the enabling rules sees Send free.
    workerActive_.store(false);
    observer.OnSendEvent({SendEventKind::WorkerLeft, 0, 0, {}});
  });
  WipeRunSecrets(params);
  return true;
}

void SendDocument::Stop() {
  running_.store(false);
  stop_.request_stop();
  Notify({DocHint::Status, 0, {std::string(kStatusStopped), position_.load()}});
}

void SendDocument::ToggleChecks() { Notify({DocHint::ToggleChecks, 0, {}}); }

std::optional<int> SendDocument::Wait() {
  if (!haveRun_) return std::nullopt;
  if (worker_.joinable()) worker_.join();
  return lastResult_.load();
}

void SendDocument::ApplyEngineEvent(const SendEvent& event) {
  switch (event.kind) {
    case SendEventKind::Status:
      if (event.pausedUntil != 0) {
        pausedUntil_ = event.pausedUntil;
        pauseReason_ = event.pauseReason;
      }
      Notify({DocHint::Status, 0, {event.text, event.position, event.detail}});
      break;
    case SendEventKind::UploadPercent: Notify({DocHint::Progress, event.percent, {}}); break;
    case SendEventKind::Delivered:
      pausedUntil_ = 0;
      if (event.position >= 0) SetPending(static_cast<size_t>(event.position), false);
      Notify({DocHint::Delivered, event.position, {event.text, event.position}});
      break;
    case SendEventKind::FailedRetrying: Notify({DocHint::Failed, event.position, {}}); break;
    case SendEventKind::RunEnded:
    case SendEventKind::FileError:
    case SendEventKind::PartlyDelivered:
    case SendEventKind::WorkerLeft: break;
  }
}

std::vector<SegmentRecord> SendDocument::Records() const {
  std::lock_guard<std::mutex> lock(listMutex_);
  return records_;
}

bool SendDocument::SetPending(size_t position, bool pending) {
  std::lock_guard<std::mutex> lock(listMutex_);
  if (position >= records_.size()) return false;
  records_[position].pending = pending ? 1 : 0;
  return true;
}

size_t SendDocument::RecordCount() const {
  std::lock_guard<std::mutex> lock(listMutex_);
  return records_.size();
}

std::optional<SegmentRecord> SendDocument::RecordAt(size_t position) const {
  std::lock_guard<std::mutex> lock(listMutex_);
  if (position >= records_.size()) return std::nullopt;
  return records_[position];
}

void SendDocument::MarkDelivered(size_t position) {
  std::lock_guard<std::mutex> lock(listMutex_);
  if (position >= records_.size()) return;
  records_[position].pending = 0;
  served_.erase(position);
}

std::vector<std::string> SendDocument::ServedRecipients(size_t position) const {
  std::lock_guard<std::mutex> lock(listMutex_);
  const auto it = served_.find(position);
  return it == served_.end() ? std::vector<std::string>{} : it->second;
}

void SendDocument::AddServedRecipients(size_t position, const std::vector<std::string>& addresses) {
  std::lock_guard<std::mutex> lock(listMutex_);
  if (position >= records_.size()) return;
  auto& have = served_[position];
  for (const std::string& a : addresses)
    if (std::find(have.begin(), have.end(), a) == have.end()) have.push_back(a);
}

void SendDocument::MarkSpoolReady(const std::string& spool) {
  std::lock_guard<std::mutex> lock(listMutex_);
  for (SegmentRecord& r : records_)
    if (r.spool == spool) r.spoolReady = 1;
}

ServedRecipientMap SendDocument::AllServedRecipients() const {
  std::lock_guard<std::mutex> lock(listMutex_);
  return served_;
}

}  // namespace dtl
