// The fake device's own behaviour, where it is not obvious from its header.
#include <cerrno>
#include <chrono>

#include <gtest/gtest.h>

#include "FakeSerialApi.h"

using namespace serial;
using namespace std::chrono;

namespace {
struct FakeTest : ::testing::Test {
  FakeSerialApi api;
  Handle h = InvalidHandle;
  void SetUp() override { h = api.CreateFile("\\\\.\\COM3"); }
};
}  // namespace

TEST_F(FakeTest, RecordsCallsAndInjectsFailures) {
  ASSERT_NE(h, InvalidHandle);
  EXPECT_EQ(api.CreateFile("\\\\.\\COM3"), InvalidHandle);  // exclusive
  EXPECT_EQ(GetLastError(), EBUSY);
  api.FailNext("PurgeComm", EIO);
  EXPECT_FALSE(api.PurgeComm(h, 0));
  EXPECT_EQ(GetLastError(), EIO);
  EXPECT_TRUE(api.PurgeComm(h, 0));
  EXPECT_EQ(api.Purges(), std::vector<std::uint32_t>{0u});
  auto calls = api.Calls();
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[0].text, "\\\\.\\COM3");
  EXPECT_EQ(calls[3].name, "PurgeComm");
  EXPECT_EQ(calls[3].args, (std::vector<std::int64_t>{h, 0}));
  ASSERT_TRUE(api.CloseHandle(h));
  std::uint32_t st;
  EXPECT_FALSE(api.GetCommModemStatus(h, &st));  // stale handle reaches nothing
  EXPECT_EQ(GetLastError(), EBADF);
}

TEST_F(FakeTest, ImmediateByteRefusedUntilSent) {
  api.SetImmediateHold(true);
  EXPECT_TRUE(api.TransmitCommChar(h, 'A'));
  EXPECT_FALSE(api.TransmitCommChar(h, 'B'));
  EXPECT_EQ(GetLastError(), EBUSY);
  api.ImmediateSent();
  EXPECT_TRUE(api.TransmitCommChar(h, 'B'));
  EXPECT_EQ(api.Immediates(), "AB");
}

TEST_F(FakeTest, LineErrorsAreClearedByTheFirstQuery) {
  api.RaiseLineErrors(CE_RXPARITY);
  std::uint32_t err = 0;
  ComStat stat;
  ASSERT_TRUE(api.ClearCommError(h, &err, &stat));
  EXPECT_EQ(err, CE_RXPARITY);
  ASSERT_TRUE(api.ClearCommError(h, &err, &stat));
  EXPECT_EQ(err, 0u);
}

TEST_F(FakeTest, ReadEndsOnCountOrAtItsTotalTimeOut) {
  CommTimeouts t{MaxDword, 2, 50, 0, 0};
  ASSERT_TRUE(api.SetCommTimeouts(h, t));
  Event ev(true);
  Overlapped ov;
  ov.hEvent = &ev;
  char buf[8];
  std::uint32_t n = 0;
  const auto t0 = steady_clock::now();
  ASSERT_FALSE(api.ReadFile(h, buf, 8, &n, &ov));
  ASSERT_EQ(GetLastError(), ErrorIoPending);
  api.Feed(std::string("\0abc", 4));
  ASSERT_TRUE(api.GetOverlappedResult(h, &ov, &n, true));
  EXPECT_EQ(n, 4u);
  EXPECT_GE(steady_clock::now() - t0, milliseconds(66));
  EXPECT_EQ(std::string(buf, 4), std::string("\0abc", 4));

  api.Feed("12345678");
  ASSERT_TRUE(api.ReadFile(h, buf, 8, &n, &ov));  // already there: done at once
  EXPECT_EQ(n, 8u);
}

TEST_F(FakeTest, CommEventsAreHeldUntilTheNextWaitAndSetMaskEndsAWait) {
  ASSERT_TRUE(api.SetCommMask(h, EV_RXCHAR | EV_CTS));
  api.SetModemStatus(MS_CTS_ON | MS_DSR_ON);  // DSR is not watched
  api.Feed("x");
  Event ev(true);
  Overlapped ov;
  ov.hEvent = &ev;
  std::uint32_t mask = 0, n = 0;
  ASSERT_TRUE(api.WaitCommEvent(h, &mask, &ov));
  EXPECT_EQ(mask, EV_RXCHAR | EV_CTS);
  ASSERT_FALSE(api.WaitCommEvent(h, &mask, &ov));
  ASSERT_EQ(GetLastError(), ErrorIoPending);
  EXPECT_FALSE(ev.IsSet());
  ASSERT_TRUE(api.SetCommMask(h, EV_RXCHAR));
  ASSERT_TRUE(api.GetOverlappedResult(h, &ov, &n, false));
  EXPECT_EQ(mask, 0u);
}

TEST_F(FakeTest, FreshRequestCompletesWithZero) {
  Event ev(true);
  Overlapped ov;
  ov.hEvent = &ev;
  std::uint32_t n = 99;
  EXPECT_TRUE(api.GetOverlappedResult(InvalidHandle, &ov, &n, false));
  EXPECT_EQ(n, 0u);
}
