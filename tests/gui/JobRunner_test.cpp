// The job runner every dialog's background work goes through: where finished() arrives, how a
// stop reaches the job, what a second start does, and that destroying a runner waits for its job.
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "gui/JobRunner.h"

using namespace dtlui;
using namespace std::chrono_literals;

namespace {

// A job that blocks until its stop token is set, then records that it saw the stop.
struct StopWaiter {
  std::atomic<bool> entered{false};
  std::atomic<bool> sawStop{false};
  std::atomic<bool> returned{false};
  JobRunner::Job Job() {
    return [this](std::stop_token token) {
      entered = true;
      std::mutex m;
      std::condition_variable_any cv;
      std::unique_lock lock(m);
      cv.wait(lock, token, [] { return false; });
      sawStop = token.stop_requested();
      returned = true;
    };
  }
};

}  // namespace

class JobRunnerTest : public QObject {
  Q_OBJECT

 private slots:
  void FinishedArrivesOnTheUiThreadAfterEveryPostedCall() {
    JobRunner runner;
    QThread* uiThread = QThread::currentThread();
    QThread* jobThread = nullptr;
    QThread* finishedThread = nullptr;
    QList<int> order;
    connect(&runner, &JobRunner::finished, [&] {
      finishedThread = QThread::currentThread();
      order << 0;
    });
    QVERIFY(runner.start([&](std::stop_token) {
      jobThread = QThread::currentThread();
      for (int i = 1; i <= 3; ++i) runner.post([&order, i] { order << i; });
    }));
    QVERIFY(runner.isRunning());
    QSignalSpy finished(&runner, &JobRunner::finished);
    QVERIFY(finished.wait(10000));
    QVERIFY(jobThread != nullptr && jobThread != uiThread);
    QCOMPARE(finishedThread, uiThread);
    QCOMPARE(order, (QList<int>{1, 2, 3, 0}));
    QVERIFY(!runner.isRunning());
  }

  void StopRequestReachesTheJobToken() {
    JobRunner runner;
    StopWaiter job;
    QSignalSpy finished(&runner, &JobRunner::finished);
    QVERIFY(runner.start(job.Job()));
    QTRY_VERIFY_WITH_TIMEOUT(job.entered.load(), 10000);
    QVERIFY(!runner.stopRequested());
    runner.requestStop();
    QVERIFY(runner.stopRequested());
    QVERIFY(finished.wait(10000));
    QVERIFY(job.sawStop.load());
  }

  void SecondStartWhileRunningIsRefusedAndLaterOnesRun() {
    JobRunner runner;
    StopWaiter first;
    std::atomic<int> secondRuns{0};
    QSignalSpy finished(&runner, &JobRunner::finished);
    QVERIFY(runner.start(first.Job()));
    QVERIFY(!runner.start([&](std::stop_token) { ++secondRuns; }));
    runner.requestStop();
    QVERIFY(finished.wait(10000));
    QCOMPARE(secondRuns.load(), 0);  // refused, not queued
    // Once finished() has come, the runner takes a new job with a fresh stop token.
    std::atomic<bool> stoppedAtStart{true};
    QVERIFY(runner.start([&](std::stop_token t) {
      stoppedAtStart = t.stop_requested();
      ++secondRuns;
    }));
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 2, 10000);
    QCOMPARE(secondRuns.load(), 1);
    QVERIFY(!stoppedAtStart.load());
  }

  void DestroyingARunnerStopsAndJoinsItsJob() {
    // The job uses an object that dies right after the runner: the join must come first.
    auto job = std::make_shared<StopWaiter>();
    bool finishedEmitted = false;
    {
      auto owned = std::make_unique<int>(7);
      std::atomic<int> seen{0};
      JobRunner runner;
      connect(&runner, &JobRunner::finished, [&] { finishedEmitted = true; });
      QVERIFY(runner.start([job, &owned, &seen, &runner](std::stop_token token) {
        job->Job()(token);
        seen = *owned;                        // still alive: the runner has not let go yet
        runner.post([&seen] { seen = -1; });  // dropped with the runner
      }));
      QTRY_VERIFY_WITH_TIMEOUT(job->entered.load(), 10000);
      // `runner` goes before `owned` and `seen` (reverse order of declaration).
    }
    QVERIFY(job->returned.load());
    QVERIFY(job->sawStop.load());
    QVERIFY(!finishedEmitted);
  }

  void WaitLetsGoOfTheJobAndFinishedStillFollows() {
    JobRunner runner;
    std::atomic<bool> done{false};
    QSignalSpy finished(&runner, &JobRunner::finished);
    QVERIFY(runner.start([&](std::stop_token) {
      std::this_thread::sleep_for(50ms);
      done = true;
    }));
    runner.wait();
    QVERIFY(done.load());
    QVERIFY(runner.isRunning());  // until finished() is delivered
    QVERIFY(finished.wait(10000));
    QVERIFY(!runner.isRunning());
  }

  void StopWithoutAJobDoesNothing() {
    JobRunner runner;
    runner.requestStop();
    QVERIFY(!runner.stopRequested());
    QVERIFY(!runner.isRunning());
  }
};

QTEST_GUILESS_MAIN(JobRunnerTest)
#include "JobRunner_test.moc"
