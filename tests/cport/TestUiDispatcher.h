// A UI queue that the test thread pumps by hand, and that lets the test wait until the monitor
// has handed over work.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "UiDispatcher.h"

class TestUiDispatcher : public TQueuedUiDispatcher {
 public:
  TestUiDispatcher() { SetUiDispatcher(this); }
  ~TestUiDispatcher() override { SetUiDispatcher(nullptr); }

  void RunAndWait(std::function<void()> work) override {
    Count(runs_);
    TQueuedUiDispatcher::RunAndWait(std::move(work));
  }
  void Send(std::function<void()> work) override {
    Count(sends_);
    TQueuedUiDispatcher::Send(std::move(work));
  }
  // Waits until the monitor has handed over n pieces of work in total. Bounded, so a test
  // whose work never comes fails instead of hanging.
  bool WaitForHandedOver(int n) {
    std::unique_lock lock(m_);
    if (cv_.wait_for(lock, std::chrono::seconds(10), [&] { return runs_ + sends_ >= n; }))
      return true;
    ADD_FAILURE() << "handed over " << runs_ + sends_ << " of " << n;
    return false;
  }
  int Runs() const {
    std::lock_guard lock(m_);
    return runs_;
  }
  int Sends() const {
    std::lock_guard lock(m_);
    return sends_;
  }

 private:
  void Count(int& counter) {
    std::lock_guard lock(m_);
    ++counter;
    cv_.notify_all();
  }
  mutable std::mutex m_;
  std::condition_variable cv_;
  int runs_ = 0;
  int sends_ = 0;
};
