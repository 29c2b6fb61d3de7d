#include <algorithm>
#include <cerrno>

#include "Internal.h"

namespace serial {

namespace {
thread_local int tlsLastError = 0;
}

int GetLastError() { return tlsLastError; }
void SetLastError(int code) { tlsLastError = code; }

Event::Event(bool initiallySet) : state_(std::make_unique<State>()) { state_->set = initiallySet; }
Event::~Event() = default;

namespace {
void SetLocked(Event::State& s) {
  s.set = true;
  s.cv.notify_all();
  for (detail::Waiter* w : s.waiters) {
    std::lock_guard<std::mutex> wl(w->m);
    w->fired = true;
    w->cv.notify_one();
  }
}
}  // namespace

void Event::Set() {
  std::lock_guard<std::mutex> lk(state_->m);
  SetLocked(*state_);
}

void Event::Reset() { state_->set.store(false, std::memory_order_release); }

bool Event::IsSet() const {
  std::shared_ptr<detail::EventDriver> driver;
  const Overlapped* ov = nullptr;
  {
    std::lock_guard<std::mutex> lk(state_->m);
    if (state_->set || !state_->driver) return state_->set;
    driver = state_->driver;
    ov = state_->driven;
  }
  driver->Delegate(ov);
  std::lock_guard<std::mutex> lk(state_->m);
  return state_->set;
}

namespace {
// A request behind the event that only its waiter would drive: hand it to the backend.
void DelegateDriven(Event::State& s) {
  std::shared_ptr<detail::EventDriver> driver;
  const Overlapped* ov = nullptr;
  {
    std::lock_guard<std::mutex> lk(s.m);
    if (s.set || !s.driver) return;
    driver = s.driver;
    ov = s.driven;
  }
  driver->Delegate(ov);
}
}  // namespace

bool Event::Wait(std::uint32_t timeoutMs) const {
  const bool infinite = timeoutMs == Infinite;
  // An endless wait (every blocking read and write) needs no clock.
  const auto deadline =
      infinite ? detail::Clock::time_point::max() : detail::DeadlineAfter(timeoutMs);
  State& s = *state_;
  for (;;) {
    std::unique_lock<std::mutex> lk(s.m);
    if (s.set) return true;
    std::shared_ptr<detail::EventDriver> driver = s.driver;
    const Overlapped* ov = s.driven;
    if (!driver) {
      if (infinite) {
        s.cv.wait(lk, [&] { return s.set || s.driver != nullptr; });
      } else if (!s.cv.wait_until(lk, deadline, [&] { return s.set || s.driver != nullptr; })) {
        return false;
      }
      continue;
    }
    lk.unlock();
    const detail::Drove drove = driver->Drive(ov, deadline, infinite);
    if (drove == detail::Drove::Finished) return true;
    if (drove == detail::Drove::Cannot) {
      // Someone else drives the device; the backend's own thread completes this request.
      driver->Delegate(ov);
      lk.lock();
      if (infinite) {
        s.cv.wait(lk, [&] { return s.set.load(); });
        return true;
      }
      return s.cv.wait_until(lk, deadline, [&] { return s.set.load(); });
    }
    if (!infinite && detail::Clock::now() >= deadline) return IsSet();
  }
}

WaitResult WaitForEither(const Event& first, const Event& second, std::uint32_t timeoutMs) {
  if (&first == &second) {
    return first.Wait(timeoutMs) ? WaitResult::Object0 : WaitResult::Timeout;
  }
  const bool infinite = timeoutMs == Infinite;
  const auto deadline =
      infinite ? detail::Clock::time_point::max() : detail::DeadlineAfter(timeoutMs);
  detail::Waiter w;
  Event::State* states[2] = {&first.state(), &second.state()};
  for (Event::State* s : states) DelegateDriven(*s);
  for (Event::State* s : states) {
    std::lock_guard<std::mutex> lk(s->m);
    s->waiters.push_back(&w);
  }
  auto check = [&]() -> int {
    for (int i = 0; i < 2; ++i) {
      std::lock_guard<std::mutex> lk(states[i]->m);
      if (states[i]->set) return i;
    }
    return -1;
  };
  int which = -1;
  for (;;) {
    which = check();
    if (which >= 0) break;
    std::unique_lock<std::mutex> lk(w.m);
    if (!w.fired) {
      if (infinite) {
        w.cv.wait(lk, [&] { return w.fired; });
      } else if (!w.cv.wait_until(lk, deadline, [&] { return w.fired; })) {
        lk.unlock();
        which = check();
        break;
      }
    }
    w.fired = false;
  }
  for (Event::State* s : states) {
    std::lock_guard<std::mutex> lk(s->m);
    s->waiters.erase(std::find(s->waiters.begin(), s->waiters.end(), &w));
  }
  if (which == 0) return WaitResult::Object0;
  if (which == 1) return WaitResult::Object1;
  return WaitResult::Timeout;
}

namespace detail {

Clock::time_point DeadlineAfter(std::uint32_t ms) {
  return Clock::now() + std::chrono::milliseconds(ms);
}

constexpr std::uint64_t kNoLimitMs = std::uint64_t(1) << 36;

ReadPlan PlanRead(const CommTimeouts& t, std::uint32_t n, Clock::time_point start) {
  ReadPlan p;
  const std::uint32_t ri = t.ReadIntervalTimeout, rm = t.ReadTotalTimeoutMultiplier,
                      rc = t.ReadTotalTimeoutConstant;
  if (ri == MaxDword && rm == 0 && rc == 0) {
    p.immediate = true;
    return p;
  }
  if (ri == MaxDword && rm == MaxDword && rc != 0 && rc != MaxDword) {
    p.anyByte = true;
    p.hasTotal = true;
    p.total = start + std::chrono::milliseconds(rc);
    return p;
  }
  // Totals beyond a few years are no limit (and would overflow the clock).
  const std::uint64_t total = std::uint64_t(rm) * n + rc;
  if ((rm != 0 || rc != 0) && total < kNoLimitMs) {
    p.hasTotal = true;
    p.total = start + std::chrono::milliseconds(total);
  }
  if (ri != 0 && ri != MaxDword) {
    p.hasInterval = true;
    p.interval = std::chrono::milliseconds(ri);
  }
  return p;
}

bool WriteDeadline(const CommTimeouts& t, std::uint32_t n, Clock::time_point start,
                   Clock::time_point* deadline) {
  const std::uint32_t wm = t.WriteTotalTimeoutMultiplier, wc = t.WriteTotalTimeoutConstant;
  const std::uint64_t total = std::uint64_t(wm) * n + wc;
  if ((wm == 0 && wc == 0) || total >= kNoLimitMs) return false;
  *deadline = start + std::chrono::milliseconds(total);
  return true;
}

void StartRequest(Overlapped* ov) {
  ov->transferred = 0;
  ov->error = 0;
  ov->pending.store(true, std::memory_order_release);
  if (ov->hEvent) ov->hEvent->Reset();
}

void FinishRequest(Overlapped* ov, std::uint32_t transferred, int error) {
  // A blocking call's record has no event: its caller looks at it under the backend's lock.
  if (!ov->hEvent) {
    ov->transferred = transferred;
    ov->error = error;
    ov->pending.store(false, std::memory_order_release);
    return;
  }
  // Result and event change together under the event's lock: a waiter that sees the event
  // set sees the result, and may free both as soon as the lock is released.
  Event::State& s = ov->hEvent->state();
  std::shared_ptr<EventDriver> driver;
  {
    std::lock_guard<std::mutex> lk(s.m);
    if (s.driven == ov) {
      driver = std::move(s.driver);
      s.driven = nullptr;
    }
    ov->transferred = transferred;
    ov->error = error;
    ov->pending.store(false, std::memory_order_release);
    SetLocked(s);
  }
}

void AttachDriver(Overlapped* ov, std::shared_ptr<EventDriver> driver) {
  Event::State& s = ov->hEvent->state();
  std::lock_guard<std::mutex> lk(s.m);
  s.driver = std::move(driver);
  s.driven = ov;
  s.cv.notify_all();  // a plain waiter may take the driving over
}

Event& ThreadEvent() {
  thread_local Event event(false);
  event.Reset();
  return event;
}

bool OverlappedResult(Overlapped* ov, std::uint32_t* n, bool wait) {
  if (ov == nullptr) {
    SetLastError(EINVAL);
    return false;
  }
  if (ov->pending.load(std::memory_order_acquire)) {
    if (!wait || ov->hEvent == nullptr) {
      SetLastError(ErrorIoIncomplete);
      return false;
    }
    while (ov->pending.load(std::memory_order_acquire)) ov->hEvent->Wait(Infinite);
  }
  // A caller that waited may free or reuse the request and its event at once; whoever ended it
  // marks it done before setting the event, and must have left the event first.
  if (wait && ov->hEvent) {
    std::lock_guard<std::mutex> settled(ov->hEvent->state().m);
  }
  if (n) *n = ov->transferred;
  if (ov->error != 0) {
    SetLastError(ov->error);
    return false;
  }
  return true;
}

}  // namespace detail
}  // namespace serial
