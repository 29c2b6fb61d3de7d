// The serial component's way to the UI thread, over the Qt event loop.
#pragma once

#include <QObject>

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>

#include "UiDispatcher.h"

// Work from the monitor thread goes into a queue of our own; a queued call wakes the Qt loop
// to serve it. While a port closes, the UI thread serves the same queue in ServeUntil without
// running the Qt loop, so no button press can slip in during the close.
class TQtUiDispatcher : public TUiDispatcher {
 public:
  // Construct on the UI thread; the queued calls go to that thread.
  TQtUiDispatcher();
  ~TQtUiDispatcher() override;

  void RunAndWait(std::function<void()> work) override;
  void Send(std::function<void()> work) override;
  void ServeUntil(const std::function<bool()>& done) override;
  void Wake() override;

  // Runs the work queued now; the queued calls from the Qt loop end up here.
  int Serve();

 private:
  struct Item;
  void Enqueue(const std::shared_ptr<Item>& item);
  bool RunOne(std::unique_lock<std::mutex>& lock);
  bool OnUiThread() const;

  std::unique_ptr<QObject> receiver_;  // lives on the UI thread; its queued calls die with it
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::shared_ptr<Item>> items_;
  unsigned long wakes_ = 0;
};
