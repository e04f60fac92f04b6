#include "gui/JobRunner.h"

namespace dtlui {

JobRunner::JobRunner(QObject* parent) : QObject(parent) {}

JobRunner::~JobRunner() {
  // Joined here, not in std::jthread's own destructor, so the job ends while the runner (and
  // the owner whose members the job uses) is still whole.
  worker_.request_stop();
  if (worker_.joinable()) worker_.join();
}

bool JobRunner::start(Job job) {
  if (running_) return false;
  // The previous job has returned (finished() was emitted), but wait() may have left the
  // handle; a jthread must not be overwritten while joinable.
  if (worker_.joinable()) worker_.join();
  worker_ = std::jthread([this, job = std::move(job)](std::stop_token token) {
    job(token);
    // Queued behind everything the job posted, so the owner has seen every result first.
    post([this] { jobReturned(); });
  });
  // Only now: a thread that cannot be had throws above and leaves the runner idle. The job's
  // end is queued to this thread, so it cannot be seen before this line.
  running_ = true;
  return true;
}

void JobRunner::requestStop() {
  if (running_) worker_.request_stop();
}

void JobRunner::wait() {
  if (worker_.joinable()) worker_.join();
}

void JobRunner::jobReturned() {
  if (worker_.joinable()) worker_.join();
  running_ = false;
  emit finished();
}

}  // namespace dtlui
