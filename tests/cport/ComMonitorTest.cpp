#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ComPort.h"
#include "ErrorReport.h"
#include "PortTestSupport.h"
#include "TestUiDispatcher.h"

namespace {

using serial::FakeSerialApi;

// Records handler calls; the log is shared with the monitor thread under smNone.
class EventLog {
 public:
  void Add(std::string s) {
    std::lock_guard lock(m_);
    entries_.push_back(std::move(s));
  }
  std::vector<std::string> Entries() const {
    std::lock_guard lock(m_);
    return entries_;
  }

 private:
  mutable std::mutex m_;
  std::vector<std::string> entries_;
};

// A port that also records the messages of its event window.
class RecordingPort : public TComPort {
 public:
  using TComPort::TComPort;
  std::intptr_t HandleEventMessage(unsigned message, std::uintptr_t wParam,
                                   std::intptr_t lParam) override {
    messages.push_back({message, wParam});
    return TComPort::HandleEventMessage(message, wParam, lParam);
  }
  std::vector<std::pair<unsigned, std::uintptr_t>> messages;
};

class MonitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake.SetReadCompletion(FakeSerialApi::ReadCompletion::Immediate);
    port.SetOnRxChar(
        [this](TCustomComPort&, std::int32_t n) { log.Add("RxChar " + std::to_string(n)); });
    port.SetOnTxEmpty([this](TCustomComPort&) { log.Add("TxEmpty"); });
    port.SetOnBreak([this](TCustomComPort&) { log.Add("Break"); });
    port.SetOnRing([this](TCustomComPort&) { log.Add("Ring"); });
    port.SetOnRxFlag([this](TCustomComPort&) { log.Add("RxFlag"); });
    port.SetOnRx80Full([this](TCustomComPort&) { log.Add("Rx80Full"); });
    port.SetOnError(
        [this](TCustomComPort&, TComErrors e) { log.Add("Error " + std::to_string(e.ToBits())); });
    port.SetOnRxBuf([this](TCustomComPort&, const void*, std::int32_t) { log.Add("RxBuf"); });
    port.SetOnCTSChange(
        [this](TCustomComPort&, bool on) { log.Add(std::string("CTS ") + (on ? "1" : "0")); });
    port.SetOnDSRChange(
        [this](TCustomComPort&, bool on) { log.Add(std::string("DSR ") + (on ? "1" : "0")); });
    port.SetOnRLSDChange(
        [this](TCustomComPort&, bool on) { log.Add(std::string("RLSD ") + (on ? "1" : "0")); });
    port.SetOnBeforeClose([this](TCustomComPort&) { log.Add("BeforeClose"); });
    port.SetOnAfterClose([this](TCustomComPort&) { log.Add("AfterClose"); });
  }
  void TearDown() override { port.CloseDevice(); }

  // Opens and forgets the line reports of the open.
  void Open() {
    port.OpenDevice();
    Clear();
  }
  void Clear() { cleared_ = log.Entries().size(); }
  std::vector<std::string> Log() const {
    auto all = log.Entries();
    return {all.begin() + static_cast<std::ptrdiff_t>(cleared_), all.end()};
  }

  TestUiDispatcher ui;
  FakeSerialApi fake;
  RecordingPort port{fake};
  EventLog log;
  std::size_t cleared_ = 0;
};

TEST_F(MonitorTest, MaskFollowsEventsAndEmptyEventsStartNoMonitor) {
  Open();
  EXPECT_EQ(fake.Mask(), 0x05FFu);
  EXPECT_TRUE(port.MonitorActive());
  port.CloseDevice();
  EXPECT_FALSE(port.MonitorActive());

  port.SetEvents(TComEvents{});
  fake.ClearCalls();
  port.OpenDevice();
  EXPECT_FALSE(port.MonitorActive());
  port.CloseDevice();
  EXPECT_EQ(fake.CountOf("SetCommMask"), 0);
  EXPECT_EQ(fake.CountOf("WaitCommEvent"), 0);
  // Without a monitor the close purges only with abort.
  EXPECT_EQ(fake.Purges().back(), 0x3u);
}

TEST_F(MonitorTest, CloseStopsTheMonitorBeforeTheHandleIsClosed) {
  Open();
  fake.ClearCalls();
  port.CloseDevice();
  std::vector<std::string> tail;
  for (const auto& c : fake.Calls())
    if (c.name != "WaitCommEvent" && c.name != "GetOverlappedResult") tail.push_back(c.name);
  const std::vector<std::string> expected = {"PurgeComm", "SetCommMask", "PurgeComm",
                                             "CloseHandle"};
  EXPECT_EQ(tail, expected);
  const auto purges = fake.Purges();
  ASSERT_GE(purges.size(), 2u);
  EXPECT_EQ(purges[purges.size() - 2], 0x3u);
  EXPECT_EQ(purges.back(), 0xCu);
  EXPECT_EQ(fake.Mask(), 0u);
}

TEST_F(MonitorTest, ThreadSyncDeliversOnThePumpingThreadInTheFixedOrder) {
  Open();
  const auto uiThread = std::this_thread::get_id();
  std::thread::id handlerThread;
  port.SetOnRing([&](TCustomComPort&) {
    handlerThread = std::this_thread::get_id();
    log.Add("Ring");
  });
  // The first batch holds the monitor until the UI thread serves it; meanwhile more events
  // gather and arrive merged as the next batch.
  fake.RaiseEvents(serial::EV_RING);
  ui.WaitForHandedOver(1);
  fake.SetModemStatus(serial::MS_RLSD_ON);
  fake.RaiseEvents(serial::EV_TXEMPTY | serial::EV_BREAK | serial::EV_RX80FULL | serial::EV_RXFLAG);
  fake.RaiseLineErrors(serial::CE_FRAME);
  fake.Feed("abc");
  EXPECT_TRUE(Log().empty());
  EXPECT_EQ(ui.ServeNext(), 1);
  EXPECT_EQ(handlerThread, uiThread);
  ui.WaitForHandedOver(2);
  EXPECT_EQ(ui.ServeNext(), 1);
  const std::vector<std::string> expected = {"Ring",  "Error 1", "RxChar 3", "TxEmpty",
                                             "Break", "RxFlag",  "RLSD 1",   "Rx80Full"};
  EXPECT_EQ(Log(), expected);
}

TEST_F(MonitorTest, StaleEventsCallNothing) {
  Open();
  fake.RaiseEvents(serial::EV_RING);
  ui.WaitForHandedOver(1);
  fake.Feed("xy");
  fake.RaiseLineErrors(serial::CE_OVERRUN);
  // A read empties the queue and a status query clears the errors before the UI thread gets
  // to them.
  std::string text;
  EXPECT_EQ(port.ReadText(text, 2), 2);
  EXPECT_EQ(port.ReadLineErrors(), TComErrors{ceOverrun});
  ui.ServeNext();
  ui.WaitForHandedOver(2);
  ui.ServeNext();
  EXPECT_EQ(Log(), std::vector<std::string>{"Ring"});
}

TEST_F(MonitorTest, FailingHandlerUnderThreadSyncEndsDeliveriesUntilReopen) {
  std::vector<std::string> reported;
  SetApplicationErrorReport([&](const std::exception& e) { reported.push_back(e.what()); });
  port.SetOnRing([](TCustomComPort&) { throw std::runtime_error("handler failed"); });
  Open();
  fake.RaiseEvents(serial::EV_RING);
  ui.WaitForHandedOver(1);
  ui.ServeUntil([&] { return !port.MonitorActive(); });
  EXPECT_TRUE(port.Connected());

  fake.RaiseEvents(serial::EV_TXEMPTY);
  fake.Feed("ok");
  std::string text;
  EXPECT_EQ(port.ReadText(text, 2), 2);
  EXPECT_EQ(text, "ok");
  EXPECT_EQ(port.WriteText("still"), 5);
  EXPECT_EQ(ui.Serve(), 0);
  EXPECT_EQ(ui.Runs(), 1);
  EXPECT_TRUE(Log().empty());
  EXPECT_TRUE(reported.empty());  // silently

  port.CloseDevice();
  port.OpenDevice();
  EXPECT_TRUE(port.MonitorActive());
  fake.RaiseEvents(serial::EV_TXEMPTY);
  ui.WaitForHandedOver(2);
  ui.ServeNext();
  EXPECT_EQ(Log().back(), "TxEmpty");
  SetApplicationErrorReport(nullptr);
}

TEST_F(MonitorTest, CloseServesTheDeliveryTheMonitorIsBlockedIn) {
  Open();
  fake.RaiseEvents(serial::EV_TXEMPTY);
  ui.WaitForHandedOver(1);
  // Nobody pumps: the close itself must run the delivery, then the monitor can end.
  port.CloseDevice();
  EXPECT_FALSE(port.MonitorActive());
  const std::vector<std::string> expected = {"CTS 0",       "DSR 0",   "RLSD 0",
                                             "BeforeClose", "TxEmpty", "AfterClose"};
  EXPECT_EQ(Log(), expected);
  EXPECT_EQ(ui.Queued(), 0u);
}

TEST_F(MonitorTest, CloseFromAnotherThreadWhileTheUiThreadPumps) {
  Open();
  std::atomic<bool> closed{false};
  fake.RaiseEvents(serial::EV_TXEMPTY);
  ui.WaitForHandedOver(1);
  // The UI thread here is a helper that only pumps; the test thread closes.
  std::thread pump([&] { ui.ServeUntil([&] { return closed.load(); }); });
  port.CloseDevice();
  closed = true;
  ui.Wake();
  pump.join();
  EXPECT_FALSE(port.MonitorActive());
  const auto entries = Log();
  EXPECT_NE(std::find(entries.begin(), entries.end(), "TxEmpty"), entries.end());
  EXPECT_EQ(entries.back(), "AfterClose");
}

TEST_F(MonitorTest, WindowSyncSendsOneMessagePerEventWithItsValue) {
  port.SetSyncMethod(smWindowSync);
  fake.SetModemStatus(serial::MS_RLSD_ON);
  Open();
  fake.SetModemStatus(0);
  ui.WaitForHandedOver(1);
  ui.ServeNext();
  EXPECT_EQ(port.messages, (std::vector<std::pair<unsigned, std::uintptr_t>>{{0x401, 0x0020}}));
  EXPECT_EQ(Log(), std::vector<std::string>{"RLSD 0"});

  port.messages.clear();
  fake.RaiseEvents(serial::EV_RING);
  ui.WaitForHandedOver(2);
  ui.ServeNext();
  EXPECT_EQ(port.messages, (std::vector<std::pair<unsigned, std::uintptr_t>>{{0x401, 0x0100}}));
  EXPECT_EQ(ui.Runs(), 0);
}

TEST_F(MonitorTest, WindowSyncBatchIsSentInTheFixedOrder) {
  port.SetSyncMethod(smWindowSync);
  Open();
  // Hold the monitor in its first send, then let a full batch gather.
  fake.RaiseEvents(serial::EV_RING);
  ui.WaitForHandedOver(1);
  fake.RaiseEvents(0x05FF);
  // Each send waits until taken, so serve them one by one.
  while (port.messages.size() < 11) {
    ASSERT_TRUE(ui.WaitForHandedOver(static_cast<int>(port.messages.size()) + 1));
    ui.ServeNext();
  }
  std::vector<std::uintptr_t> params;
  for (const auto& m : port.messages) params.push_back(m.second);
  const std::vector<std::uintptr_t> expected = {0x0100, 0x0080, 0x0001, 0x0004, 0x0040, 0x0100,
                                                0x0008, 0x0010, 0x0002, 0x0020, 0x0400};
  EXPECT_EQ(params, expected);
}

TEST_F(MonitorTest, WindowSyncFailureGoesToTheReportAndTheMonitorGoesOn) {
  std::vector<std::string> reported;
  SetApplicationErrorReport([&](const std::exception& e) { reported.push_back(e.what()); });
  port.SetSyncMethod(smWindowSync);
  port.SetOnRing([](TCustomComPort&) { throw std::runtime_error("ring failed"); });
  Open();
  fake.RaiseEvents(serial::EV_RING);
  ui.WaitForHandedOver(1);
  ui.ServeNext();
  EXPECT_EQ(reported, std::vector<std::string>{"ring failed"});
  // A failing status query is reported the same way.
  fake.FailNext("ClearCommError", EIO);
  fake.Feed("z");
  ui.WaitForHandedOver(2);
  ui.ServeNext();
  ASSERT_EQ(reported.size(), 2u);
  EXPECT_EQ(reported[1],
            "ClearCommError function failed (win error code: " + std::to_string(EIO) + ")");
  EXPECT_TRUE(port.MonitorActive());
  fake.RaiseEvents(serial::EV_TXEMPTY);
  ui.WaitForHandedOver(3);
  ui.ServeNext();
  EXPECT_EQ(Log().back(), "TxEmpty");
  SetApplicationErrorReport(nullptr);
}

TEST_F(MonitorTest, MessagesTakenAfterCloseReachNoHandler) {
  port.SetSyncMethod(smWindowSync);
  Open();
  port.CloseDevice();
  Clear();
  // A message for a closed port does nothing.
  EXPECT_EQ(port.HandleEventMessage(PortEventMessage, serial::EV_TXEMPTY, 0), 0);
  EXPECT_TRUE(Log().empty());
  // Another message number is not the port's.
  port.OpenDevice();
  Clear();
  EXPECT_EQ(port.HandleEventMessage(0x400, serial::EV_TXEMPTY, 0), 0);
  EXPECT_TRUE(Log().empty());
  port.HandleEventMessage(PortEventMessage, serial::EV_TXEMPTY, 0);
  port.HandleEventMessage(PortEventMessage, 0x0200, 0);  // no such event
  EXPECT_EQ(Log(), std::vector<std::string>{"TxEmpty"});
}

TEST_F(MonitorTest, NoneRunsHandlersOnTheMonitorThreadAndAFailureEndsIt) {
  port.SetSyncMethod(smNone);
  std::thread::id handlerThread;
  std::mutex m;
  std::condition_variable cv;
  int rings = 0;
  port.SetOnRing([&](TCustomComPort&) {
    std::lock_guard lock(m);
    handlerThread = std::this_thread::get_id();
    ++rings;
    cv.notify_all();
  });
  Open();
  fake.RaiseEvents(serial::EV_RING);
  {
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return rings == 1; });
    EXPECT_NE(handlerThread, std::this_thread::get_id());
  }
  EXPECT_EQ(ui.Runs() + ui.Sends(), 0);

  port.SetOnTxEmpty([](TCustomComPort&) { throw std::runtime_error("fails"); });
  fake.RaiseEvents(serial::EV_TXEMPTY);
  ui.ServeUntil([&] { return !port.MonitorActive(); });
  EXPECT_TRUE(port.Connected());
  EXPECT_EQ(port.WriteText("abc"), 3);
}

// A monitor closed from inside its own delivery ends on its own, after the test may have moved
// on: these tests use a device and a UI queue that outlive them.
serial::FakeSerialApi& LastingFake() {
  static serial::FakeSerialApi fake;
  return fake;
}

TEST(MonitorCloseFromHandlerTest, AHandlerMayCloseThePortUnderThreadSync) {
  auto& ui = dynamic_cast<TQueuedUiDispatcher&>(UiDispatcher());  // the built-in queue
  auto& fake = LastingFake();
  EventLog log;
  TComPort port(fake);
  port.SetOnTxEmpty([&](TCustomComPort& p) {
    log.Add("TxEmpty");
    p.CloseDevice();
  });
  port.SetOnRing([&](TCustomComPort&) { log.Add("Ring"); });
  port.SetOnAfterClose([&](TCustomComPort&) { log.Add("AfterClose"); });
  port.OpenDevice();
  fake.RaiseEvents(serial::EV_TXEMPTY | serial::EV_RING);
  ui.ServeNext();
  EXPECT_FALSE(port.Connected());
  EXPECT_FALSE(fake.IsOpen());
  // The ring of the same batch belonged to the port that is now closed.
  EXPECT_EQ(log.Entries(), (std::vector<std::string>{"TxEmpty", "AfterClose"}));
  // The port opens again with a monitor of its own.
  port.OpenDevice();
  EXPECT_TRUE(port.MonitorActive());
  port.CloseDevice();
}

TEST(MonitorCloseFromHandlerTest, AHandlerMayCloseThePortUnderNone) {
  auto& fake = LastingFake();
  EventLog log;
  TComPort port(fake);
  port.SetSyncMethod(smNone);
  std::mutex m;
  std::condition_variable cv;
  bool closed = false;
  port.SetOnRing([&](TCustomComPort& p) {
    p.CloseDevice();
    std::lock_guard lock(m);
    closed = true;
    cv.notify_all();
  });
  port.SetOnRx80Full([&](TCustomComPort&) { log.Add("Rx80Full"); });
  port.OpenDevice();
  fake.RaiseEvents(serial::EV_RING | serial::EV_RX80FULL);
  {
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return closed; });
  }
  EXPECT_FALSE(port.Connected());
  EXPECT_FALSE(fake.IsOpen());
  port.OpenDevice();
  EXPECT_TRUE(port.MonitorActive());
  port.CloseDevice();
  EXPECT_TRUE(log.Entries().empty());
}

TEST_F(MonitorTest, OnRxBufNeverFires) {
  Open();
  fake.Feed(std::string(100, 'x'));
  ui.WaitForHandedOver(1);
  ui.ServeNext();
  const auto entries = Log();
  EXPECT_EQ(std::count(entries.begin(), entries.end(), "RxBuf"), 0);
  EXPECT_EQ(entries.front(), "RxChar 100");
}

}  // namespace
