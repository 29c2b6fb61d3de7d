// Backend-internal view of Event and Overlapped: the state behind an event, the hook that
// lets a thread waiting for a read drive the device itself, and the request start/finish
// steps every backend shares.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "SerialApi.h"

namespace serial {
namespace detail {

using Clock = std::chrono::steady_clock;

// One thread waiting in WaitForEither; registered with every event it waits for.
struct Waiter {
  std::mutex m;
  std::condition_variable cv;
  bool fired = false;
};

// A backend that can complete the request behind an event from the waiting thread, which
// saves a hand-over between threads. Drive returns when the event is set or the deadline
// has passed; false when it cannot drive now (the caller then waits plainly).
class EventDriver {
 public:
  virtual ~EventDriver() = default;
  virtual bool Drive(const Overlapped* ov, Clock::time_point deadline, bool infinite) = 0;
  // Someone looks at the request without driving it: bring it up to date now and let the
  // backend's own thread complete it from here on.
  virtual void Delegate(const Overlapped* ov) = 0;
};

}  // namespace detail

struct Event::State {
  std::mutex m;
  std::condition_variable cv;
  bool set = false;
  std::vector<detail::Waiter*> waiters;
  std::shared_ptr<detail::EventDriver> driver;  // only while a driveable request runs
  const Overlapped* driven = nullptr;
};

namespace detail {

// Marks a request running: clears its result and resets its event.
void StartRequest(Overlapped* ov);
// Records the result and sets the event; the request is then no longer pending.
void FinishRequest(Overlapped* ov, std::uint32_t transferred, int error);
// Attaches / detaches a driver to the request's event.
void AttachDriver(Overlapped* ov, std::shared_ptr<EventDriver> driver);
// Shared GetOverlappedResult: works on the request record alone.
bool OverlappedResult(Overlapped* ov, std::uint32_t* n, bool wait);

Clock::time_point DeadlineAfter(std::uint32_t ms);

// When a read of n bytes started at `start` ends, by the Win32 time-out rules.
struct ReadPlan {
  bool immediate = false;  // ends at once with what is queued
  bool anyByte = false;    // ends as soon as at least one byte is there
  bool hasTotal = false;   // multiplier x count + constant from the start
  Clock::time_point total{};
  bool hasInterval = false;  // gap between bytes, counted once the first byte is in
  std::chrono::milliseconds interval{0};
};
ReadPlan PlanRead(const CommTimeouts& t, std::uint32_t n, Clock::time_point start);
// Write total time-out; nullopt-like flag when none applies.
bool WriteDeadline(const CommTimeouts& t, std::uint32_t n, Clock::time_point start,
                   Clock::time_point* deadline);

}  // namespace detail
}  // namespace serial
