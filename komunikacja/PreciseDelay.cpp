#include "PreciseDelay.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace {

std::atomic<bool> gCounterPresent{true};
PreciseDelayObserver gObserver;

}  // namespace

void SetHighResolutionCounterPresent(bool present) { gCounterPresent = present; }

void SetPreciseDelayObserver(PreciseDelayObserver observer) { gObserver = std::move(observer); }

void PreciseDelay(std::int32_t amount, bool micros) {
  if (gObserver) gObserver(amount, micros);
  const std::int32_t scale = micros ? 1000 : 1;
  if (!gCounterPresent) {
    const std::int32_t ms = amount / scale;
    std::this_thread::sleep_for(std::chrono::milliseconds(ms < 1 ? 1 : ms));
    return;
  }
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  long double elapsed = 0;
  // A busy wait on purpose: the RS-485 guard time must not depend on the scheduler.
  while (elapsed < amount) {
    const std::chrono::duration<long double> seconds = Clock::now() - start;
    elapsed = seconds.count() * 1000 * scale;
  }
}
