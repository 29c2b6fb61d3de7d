#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <stdexcept>
#include <thread>

#include "QtUiDispatcher.h"

namespace {

// Runs body on a thread of its own, playing the event monitor, while this thread runs the Qt
// loop; returns when body has ended.
void RunAsMonitor(const std::function<void()>& body) {
  QEventLoop loop;
  QTimer::singleShot(10000, &loop, &QEventLoop::quit);  // a hang fails instead of blocking
  std::thread monitor([&] {
    body();
    QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
  });
  loop.exec();
  monitor.join();
}

}  // namespace

TEST(QtUiDispatcher, RunAndWaitRunsOnTheUiThreadThroughTheLoopAndWaits) {
  TQtUiDispatcher dispatcher;
  QThread* ui = QThread::currentThread();
  QThread* ranOn = nullptr;
  bool ranBeforeReturn = false;
  RunAsMonitor([&] {
    bool ran = false;
    dispatcher.RunAndWait([&] {
      ranOn = QThread::currentThread();
      ran = true;
    });
    ranBeforeReturn = ran;
  });
  EXPECT_EQ(ranOn, ui);
  EXPECT_TRUE(ranBeforeReturn);
}

TEST(QtUiDispatcher, ErrorOfTheWorkIsRaisedAgainInTheWaitingThread) {
  TQtUiDispatcher dispatcher;
  std::string caught;
  RunAsMonitor([&] {
    try {
      dispatcher.RunAndWait([] { throw std::runtime_error("handler failed"); });
    } catch (const std::runtime_error& e) {
      caught = e.what();
    }
  });
  EXPECT_EQ(caught, "handler failed");
}

TEST(QtUiDispatcher, SendReleasesTheSenderBeforeTheWorkRuns) {
  TQtUiDispatcher dispatcher;
  std::promise<void> senderReleased;
  std::future<void> released = senderReleased.get_future();
  bool releasedFirst = false;
  bool workRan = false;
  RunAsMonitor([&] {
    dispatcher.Send([&] {
      // Blocks the UI thread until the sender has gone on; a sender held until the work
      // ends would make this time out.
      releasedFirst = released.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
      workRan = true;
    });
    senderReleased.set_value();
  });
  // The quit posted after the sender's return may be handled before the work itself.
  QCoreApplication::processEvents();
  EXPECT_TRUE(workRan);
  EXPECT_TRUE(releasedFirst);
}

TEST(QtUiDispatcher, ServeUntilServesWaitingWorkWithoutRunningTheQtLoop) {
  TQtUiDispatcher dispatcher;
  bool timerFired = false;
  QTimer::singleShot(0, [&] { timerFired = true; });

  std::atomic<bool> monitorDone{false};
  int delivered = 0;
  std::thread monitor([&] {
    for (int i = 0; i < 3; ++i) dispatcher.RunAndWait([&] { ++delivered; });
    monitorDone = true;
    dispatcher.Wake();
  });
  // As a closing port does: keep serving until the monitor has ended.
  dispatcher.ServeUntil([&] { return monitorDone.load(); });
  monitor.join();
  EXPECT_EQ(delivered, 3);
  // Queued Qt events (a button press, say) must wait for the close to finish.
  EXPECT_FALSE(timerFired);
  QCoreApplication::processEvents();
  EXPECT_TRUE(timerFired);
}

TEST(QtUiDispatcher, WorkFromTheUiThreadItselfRunsAtOnce) {
  TQtUiDispatcher dispatcher;
  int ran = 0;
  dispatcher.RunAndWait([&] { ++ran; });
  dispatcher.Send([&] { ++ran; });
  EXPECT_EQ(ran, 2);
}
