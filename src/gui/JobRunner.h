// One background job at a time for a window of the desktop program.
//
// A JobRunner owns one worker thread (std::jthread) and runs one job on it. The job gets the
// thread's std::stop_token and is expected to end soon after a stop is requested; it must never
// touch a widget: it hands values to the UI thread with post(), which queues a call on the
// runner's thread (the UI thread) and drops it when the runner is gone by then.
//
// Contract:
//  - start() refuses (returns false) while a job runs; nothing is queued. A job counts as
//    running from start() until finished() is emitted.
//  - finished() is emitted on the UI thread after the job has returned and its thread has been
//    joined; calls the job posted before returning are delivered before it.
//  - requestStop() only asks: the job sees it through its stop token.
//  - The destructor requests a stop and joins the worker, so a job may use its owner's members
//    as long as the owner declares the runner after them (the runner then goes first). Posted
//    calls still pending are dropped with the runner; finished() is not emitted then.
//  - A job that throws ends the program (std::terminate), as on any other thread.
// UI thread only, except post(), which is meant for the job.
#pragma once

#include <QObject>
#include <functional>
#include <stop_token>
#include <thread>
#include <utility>

namespace dtlui {

class JobRunner : public QObject {
  Q_OBJECT
 public:
  using Job = std::function<void(std::stop_token)>;

  explicit JobRunner(QObject* parent = nullptr);
  ~JobRunner() override;

  // Runs `job` on the worker thread; false (and `job` is dropped) while another job runs.
  // Throws std::system_error when no thread can be had; the runner stays idle then.
  bool start(Job job);
  // Asks the running job to stop; does nothing when none runs.
  void requestStop();
  // True from start() until finished() is emitted.
  bool isRunning() const { return running_; }
  // True once a stop was requested for the running job.
  bool stopRequested() const { return worker_.get_stop_token().stop_requested(); }
  // Blocks until the job's thread has ended, without emitting finished() (which still follows
  // from the event loop). For an owner that must let go of the job's data at once.
  void wait();

  // Queues `call` to run on the UI thread (any thread may post). Calls run in the order posted;
  // they are dropped when the runner is destroyed before they run.
  template <typename F>
  void post(F&& call) {
    QMetaObject::invokeMethod(this, std::forward<F>(call), Qt::QueuedConnection);
  }

 signals:
  void finished();

 private:
  void jobReturned();

  std::jthread worker_;
  bool running_ = false;
};

}  // namespace dtlui
