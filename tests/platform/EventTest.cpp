#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "Internal.h"
#include "SerialApi.h"

using namespace serial;
using namespace std::chrono;

TEST(Event, ManualResetStaysSetUntilReset) {
  Event e(false);
  EXPECT_FALSE(e.Wait(0));
  e.Set();
  EXPECT_TRUE(e.Wait(0));
  EXPECT_TRUE(e.Wait());  // still set: manual reset
  e.Reset();
  EXPECT_FALSE(e.IsSet());
  const auto t0 = steady_clock::now();
  EXPECT_FALSE(e.Wait(30));
  EXPECT_GE(steady_clock::now() - t0, milliseconds(30));
}

TEST(Event, WaitForEitherNamesTheFirstWhenBothAreSet) {
  Event a(true), b(true);
  EXPECT_EQ(WaitForEither(a, b, 0), WaitResult::Object0);
  a.Reset();
  EXPECT_EQ(WaitForEither(a, b, 0), WaitResult::Object1);
  b.Reset();
  EXPECT_EQ(WaitForEither(a, b, 20), WaitResult::Timeout);
}

TEST(Event, WaitForEitherWakesWhenSetFromAnotherThread) {
  Event a(false), b(false);
  std::thread t([&] {
    std::this_thread::sleep_for(milliseconds(20));
    b.Set();
  });
  EXPECT_EQ(WaitForEither(a, b), WaitResult::Object1);
  t.join();
}

TEST(LastError, IsPerThread) {
  SetLastError(5);
  std::thread t([] {
    EXPECT_EQ(GetLastError(), 0);
    SetLastError(7);
  });
  t.join();
  EXPECT_EQ(GetLastError(), 5);
}

TEST(ReadRules, TheWin32TimeOutCombinations) {
  using serial::detail::PlanRead;
  const auto t0 = steady_clock::now();
  auto p = PlanRead({MaxDword, 0, 0, 0, 0}, 8, t0);
  EXPECT_TRUE(p.immediate);

  p = PlanRead({MaxDword, MaxDword, 500, 0, 0}, 8, t0);  // any byte ends it
  EXPECT_TRUE(p.anyByte);
  EXPECT_EQ(p.total, t0 + milliseconds(500));

  p = PlanRead({MaxDword, 2, 1000, 0, 0}, 7, t0);  // the device link's: no interval timer
  EXPECT_FALSE(p.immediate || p.anyByte || p.hasInterval);
  EXPECT_EQ(p.total, t0 + milliseconds(1014));

  p = PlanRead({20, 0, 0, 0, 0}, 7, t0);
  EXPECT_TRUE(p.hasInterval);
  EXPECT_FALSE(p.hasTotal);

  p = PlanRead({0, MaxDword, MaxDword, 0, 0}, MaxDword, t0);  // beyond any clock: no limit
  EXPECT_FALSE(p.hasTotal);
}

TEST(WriteRules, TotalIsMultiplierTimesBytesPlusConstantAndEitherAloneCounts) {
  using serial::detail::WriteDeadline;
  const auto t0 = steady_clock::now();
  const struct {
    std::uint32_t multiplier, constant, bytes;
    bool limited;
    long long ms;
  } cases[] = {
      {100, 1000, 7, true, 1700},  // the component's defaults, one request
      {10, 0, 3, true, 30},        // a multiplier alone
      {0, 250, 9, true, 250},      // a constant alone
      {0, 0, 9, false, 0},         // neither: no limit
  };
  for (const auto& c : cases) {
    steady_clock::time_point deadline{};
    EXPECT_EQ(WriteDeadline({0, 0, 0, c.multiplier, c.constant}, c.bytes, t0, &deadline), c.limited)
        << c.multiplier << " x " << c.bytes << " + " << c.constant;
    if (c.limited) {
      EXPECT_EQ(deadline, t0 + milliseconds(c.ms)) << c.multiplier << " x " << c.bytes;
    }
  }
}
