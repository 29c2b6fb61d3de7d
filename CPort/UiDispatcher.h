// How the event monitor reaches the user-interface thread. The application installs one for its
// toolkit; until then a plain queue is used, served whenever the UI thread calls Serve or closes
// a port.
#pragma once

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>

class TUiDispatcher {
 public:
  virtual ~TUiDispatcher() = default;

  // Monitor thread (smThreadSync): run work on the UI thread and return once it has run there.
  // An exception that leaves work is raised again here.
  virtual void RunAndWait(std::function<void()> work) = 0;

  // Monitor thread (smWindowSync): queue work for the UI thread and return as soon as the UI
  // thread has taken it, before it runs. work must not throw.
  virtual void Send(std::function<void()> work) = 0;

  // UI thread: keep serving the work above until done() holds. done is checked on entry, after
  // every piece of work and after every Wake.
  virtual void ServeUntil(const std::function<bool()>& done) = 0;

  // Any thread: make a ServeUntil in progress check its condition again.
  virtual void Wake() = 0;
};

// Process-wide dispatcher; nullptr restores the built-in queue. Set it before ports open: a
// running monitor keeps the dispatcher it started with.
void SetUiDispatcher(TUiDispatcher* dispatcher);
TUiDispatcher& UiDispatcher();

// A dispatcher over a plain queue. The thread that calls Serve/ServeUntil acts as the UI thread.
class TQueuedUiDispatcher : public TUiDispatcher {
 public:
  void RunAndWait(std::function<void()> work) override;
  void Send(std::function<void()> work) override;
  void ServeUntil(const std::function<bool()>& done) override;
  void Wake() override;

  // Runs every piece of work queued now; returns how many ran.
  int Serve();
  // Blocks until work is queued or Wake is called, then serves what is queued.
  int ServeNext();
  std::size_t Queued() const;

 protected:
  // A dispatcher over a toolkit's loop: work sent from the UI thread itself runs at once, and
  // the loop is told when work is queued so it can call Serve.
  virtual bool OnUiThread() const { return false; }
  virtual void WorkQueued() {}

 private:
  struct Item {
    std::function<void()> work;
    // Set when the sender may go on: for RunAndWait after the work ran, for Send when taken.
    bool* released = nullptr;
    std::exception_ptr* error = nullptr;
  };
  bool RunOne(std::unique_lock<std::mutex>& lock);
  void QueueAndWait(Item item, std::unique_lock<std::mutex>& lock, const bool& released);

  mutable std::mutex mutex_;
  std::condition_variable queued_;    // the UI side waits here for work or a wake
  std::condition_variable released_;  // senders wait here
  std::deque<Item> items_;
  unsigned long wakes_ = 0;
};
