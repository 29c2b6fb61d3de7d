#include <chrono>
#include <thread>

#include <gtest/gtest.h>

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
