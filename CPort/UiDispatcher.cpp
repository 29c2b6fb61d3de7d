#include "UiDispatcher.h"

#include <atomic>

namespace {

// Never destroyed: a monitor still waiting in RunAndWait at exit would otherwise hang on a
// condition variable destroyed under it.
TQueuedUiDispatcher& BuiltIn() {
  static auto* dispatcher = new TQueuedUiDispatcher;
  return *dispatcher;
}

std::atomic<TUiDispatcher*> current{nullptr};

}  // namespace

void SetUiDispatcher(TUiDispatcher* dispatcher) { current.store(dispatcher); }

TUiDispatcher& UiDispatcher() {
  TUiDispatcher* d = current.load();
  return d ? *d : BuiltIn();
}

void TQueuedUiDispatcher::QueueAndWait(Item item, std::unique_lock<std::mutex>& lock,
                                       const bool& released) {
  items_.push_back(std::move(item));
  queued_.notify_all();
  lock.unlock();
  WorkQueued();
  lock.lock();
  released_.wait(lock, [&] { return released; });
}

void TQueuedUiDispatcher::RunAndWait(std::function<void()> work) {
  if (OnUiThread()) {
    work();
    return;
  }
  bool released = false;
  std::exception_ptr error;
  std::unique_lock lock(mutex_);
  QueueAndWait(Item{std::move(work), &released, &error}, lock, released);
  lock.unlock();
  if (error) std::rethrow_exception(error);
}

void TQueuedUiDispatcher::Send(std::function<void()> work) {
  if (OnUiThread()) {
    try {
      work();
    } catch (...) {
    }
    return;
  }
  bool released = false;
  std::unique_lock lock(mutex_);
  QueueAndWait(Item{std::move(work), &released, nullptr}, lock, released);
}

bool TQueuedUiDispatcher::RunOne(std::unique_lock<std::mutex>& lock) {
  if (items_.empty()) return false;
  Item item = std::move(items_.front());
  items_.pop_front();
  if (!item.error) {
    // A send lets its sender go the moment it is taken.
    *item.released = true;
    released_.notify_all();
    lock.unlock();
    try {
      item.work();
    } catch (...) {
    }
    lock.lock();
    return true;
  }
  lock.unlock();
  try {
    item.work();
  } catch (...) {
    *item.error = std::current_exception();
  }
  lock.lock();
  *item.released = true;
  released_.notify_all();
  return true;
}

void TQueuedUiDispatcher::ServeUntil(const std::function<bool()>& done) {
  std::unique_lock lock(mutex_);
  for (;;) {
    const unsigned long seen = wakes_;
    lock.unlock();
    if (done()) return;
    lock.lock();
    if (RunOne(lock)) continue;
    queued_.wait(lock, [&] { return !items_.empty() || wakes_ != seen; });
  }
}

void TQueuedUiDispatcher::Wake() {
  std::lock_guard lock(mutex_);
  ++wakes_;
  queued_.notify_all();
}

int TQueuedUiDispatcher::Serve() {
  std::unique_lock lock(mutex_);
  int n = 0;
  while (RunOne(lock)) ++n;
  return n;
}

int TQueuedUiDispatcher::ServeNext() {
  {
    std::unique_lock lock(mutex_);
    const unsigned long seen = wakes_;
    queued_.wait(lock, [&] { return !items_.empty() || wakes_ != seen; });
  }
  return Serve();
}

std::size_t TQueuedUiDispatcher::Queued() const {
  std::lock_guard lock(mutex_);
  return items_.size();
}
