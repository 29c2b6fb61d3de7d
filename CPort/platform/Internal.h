// Backend-internal view of Event and Overlapped: the state behind an event, the hook that
// lets a thread waiting for a read drive the device itself, and the request start/finish
// steps every backend shares.
#pragma once

#include <atomic>
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

// What a drive ended with. Finished: the request has completed and whoever completed it is
// done with its event, so the waiter may return without looking at the event again.
enum class Drove { Cannot, Ran, Finished };

// A backend that can complete the request behind an event from the waiting thread, which
// saves a hand-over between threads. Drive returns when the event is set or the deadline
// has passed; Cannot when it cannot drive now (the caller then waits plainly).
class EventDriver {
 public:
  virtual ~EventDriver() = default;
  virtual Drove Drive(const Overlapped* ov, Clock::time_point deadline, bool infinite) = 0;
  // Someone looks at the request without driving it: bring it up to date now and let the
  // backend's own thread complete it from here on.
  virtual void Delegate(const Overlapped* ov) = 0;
};

}  // namespace detail

struct Event::State {
  std::mutex m;
  std::condition_variable cv;
  // Set under m only, with the request's result: a waiter that sees it may free the event at
  // once. Reset, by the event's owner, needs no lock.
  std::atomic<bool> set{false};
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
// The calling thread's own event, cleared: what a blocking call that has to wait waits on.
// A thread is inside one blocking call at a time.
Event& ThreadEvent();

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

// Input read with PARMRK (and INPCK) set: 0xFF 0xFF is a 0xFF byte, 0xFF 0x00 X a byte X
// with a parity or framing error, 0xFF 0x00 0x00 a break (or an errored zero byte). A mark may
// be split across reads, so the decoder keeps its state between calls.
class MarkDecoder {
 public:
  struct Options {
    bool dropNull = false;  // fNull: received zero bytes are discarded
    bool replace = false;   // fErrorChar with fParity: an errored byte becomes errorChar
    unsigned char errorChar = 0;
  };
  // classify(X) names the CE_ bits of a marked byte X; the backend asks the driver's counters.
  template <class Classify>
  std::size_t Decode(const unsigned char* raw, std::size_t n, unsigned char* out,
                     std::uint32_t& errors, const Options& o, Classify classify) {
    std::size_t k = 0;
    auto put = [&](unsigned char b) {
      if (!(o.dropNull && b == 0)) out[k++] = b;
    };
    for (std::size_t i = 0; i < n; ++i) {
      const unsigned char b = raw[i];
      if (state_ == 0) {
        if (b == 0xFF) {
          state_ = 1;
        } else {
          put(b);
        }
      } else if (state_ == 1) {
        state_ = 0;
        if (b == 0x00) {
          state_ = 2;
        } else if (b == 0xFF) {
          put(0xFF);
        } else {
          put(0xFF);
          put(b);
        }
      } else {
        state_ = 0;
        const std::uint32_t e = classify(b);
        errors |= e;
        if (!(e & CE_BREAK) || b != 0) put(o.replace ? o.errorChar : b);
      }
    }
    return k;
  }
  void Reset() { state_ = 0; }

 private:
  int state_ = 0;
};

}  // namespace detail
}  // namespace serial
