#include "QtUiDispatcher.h"

#include <QMetaObject>
#include <QThread>

struct TQtUiDispatcher::Item {
  std::function<void()> work;
  bool waitsForRun = false;  // RunAndWait; a Send is released when taken
  bool released = false;
  std::exception_ptr error;
};

TQtUiDispatcher::TQtUiDispatcher() : receiver_(std::make_unique<QObject>()) {}

TQtUiDispatcher::~TQtUiDispatcher() = default;

bool TQtUiDispatcher::OnUiThread() const { return QThread::currentThread() == receiver_->thread(); }

void TQtUiDispatcher::Enqueue(const std::shared_ptr<Item>& item) {
  std::unique_lock lock(mutex_);
  items_.push_back(item);
  changed_.notify_all();
  lock.unlock();
  QMetaObject::invokeMethod(
      receiver_.get(), [this] { Serve(); }, Qt::QueuedConnection);
  lock.lock();
  changed_.wait(lock, [&] { return item->released; });
}

void TQtUiDispatcher::RunAndWait(std::function<void()> work) {
  if (OnUiThread()) {
    work();
    return;
  }
  auto item = std::make_shared<Item>();
  item->work = std::move(work);
  item->waitsForRun = true;
  Enqueue(item);
  if (item->error) std::rethrow_exception(item->error);
}

void TQtUiDispatcher::Send(std::function<void()> work) {
  if (OnUiThread()) {
    try {
      work();
    } catch (...) {
    }
    return;
  }
  auto item = std::make_shared<Item>();
  item->work = std::move(work);
  Enqueue(item);
}

bool TQtUiDispatcher::RunOne(std::unique_lock<std::mutex>& lock) {
  if (items_.empty()) return false;
  std::shared_ptr<Item> item = std::move(items_.front());
  items_.pop_front();
  if (!item->waitsForRun) {
    item->released = true;
    changed_.notify_all();
  }
  lock.unlock();
  try {
    item->work();
  } catch (...) {
    if (item->waitsForRun) item->error = std::current_exception();
  }
  lock.lock();
  if (item->waitsForRun) {
    item->released = true;
    changed_.notify_all();
  }
  return true;
}

int TQtUiDispatcher::Serve() {
  std::unique_lock lock(mutex_);
  int n = 0;
  while (RunOne(lock)) ++n;
  return n;
}

void TQtUiDispatcher::ServeUntil(const std::function<bool()>& done) {
  std::unique_lock lock(mutex_);
  for (;;) {
    const unsigned long seen = wakes_;
    lock.unlock();
    if (done()) return;
    lock.lock();
    if (RunOne(lock)) continue;
    changed_.wait(lock, [&] { return !items_.empty() || wakes_ != seen; });
  }
}

void TQtUiDispatcher::Wake() {
  std::lock_guard lock(mutex_);
  ++wakes_;
  changed_.notify_all();
}
