// Delays shorter and more exact than a sleep: the thread spins on the steady clock.
#pragma once

#include <cstdint>
#include <functional>

// Returns after at least amount microseconds (micros) or milliseconds. Spins without
// yielding; without a high-resolution counter it sleeps amount / scale ms, at least 1 ms.
void PreciseDelay(std::int32_t amount, bool micros);

// Whether the high-resolution counter is used; the steady clock always is one, so only
// tests switch this off to reach the sleeping path.
void SetHighResolutionCounterPresent(bool present);

// Called with the arguments of every PreciseDelay before it waits; lets tests see the
// pauses and guard times without timing them. Empty: no observer.
using PreciseDelayObserver = std::function<void(std::int32_t amount, bool micros)>;
void SetPreciseDelayObserver(PreciseDelayObserver observer);
