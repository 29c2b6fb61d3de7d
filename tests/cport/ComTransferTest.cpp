#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "ComPort.h"
#include "PortTestSupport.h"

namespace {

using serial::FakeSerialApi;

class TransferTest : public FakePortTest {
 protected:
  void SetUp() override {
    fake.SetReadCompletion(FakeSerialApi::ReadCompletion::Immediate);
    OpenQuiet();
  }
};

TEST_F(TransferTest, BytesIncludingZerosGoOutAndComeBackWhole) {
  const std::string frame("\x01\x00\x47\x00\xFF\x00", 6);
  EXPECT_EQ(port.WriteText(frame), 6);
  EXPECT_EQ(fake.Written(), frame);
  fake.Feed(frame);
  std::string reply = "stale contents";
  EXPECT_EQ(port.ReadText(reply, 6), 6);
  EXPECT_EQ(reply, frame);
}

TEST_F(TransferTest, ShortReadGivesExactlyTheBytesThatArrived) {
  fake.Feed("abcde");
  std::string reply;
  EXPECT_EQ(port.ReadText(reply, 8), 5);
  EXPECT_EQ(reply, "abcde");
  EXPECT_EQ(port.ReadText(reply, 8), 0);
  EXPECT_TRUE(reply.empty());
  char buf[4] = {};
  fake.Feed("xyz");
  EXPECT_EQ(port.ReadBytes(buf, 4), 3);
  EXPECT_EQ(std::string(buf, 3), "xyz");
}

TEST_F(TransferTest, EmptyTransfersCallNothing) {
  EXPECT_EQ(port.WriteText(""), 0);
  std::string text = "keep?";
  EXPECT_EQ(port.ReadText(text, 0), 0);
  EXPECT_TRUE(text.empty());
  text = "keep?";
  EXPECT_EQ(port.ReadText(text, -5), 0);
  EXPECT_TRUE(text.empty());
  EXPECT_TRUE(fake.Calls().empty());
  auto request = TCustomComPort::CreateRequest();
  EXPECT_EQ(port.AwaitRequest(request.get()), 0);
  EXPECT_EQ(port.StartWriteText("", request.get()), 0);
  EXPECT_EQ(port.AwaitRequest(request.get()), 0);
  TCustomComPort::ReleaseRequest(request);
  EXPECT_EQ(request, nullptr);
  EXPECT_TRUE(fake.Calls().empty());
}

TEST_F(TransferTest, ShortWriteReportsTheAcceptedCount) {
  fake.SetWriteLimit(3);
  EXPECT_EQ(port.WriteText("123456"), 3);
  EXPECT_EQ(fake.Written(), "123");
}

TEST_F(TransferTest, ABlockingWriteTheDeviceHoldsReturnsOnceItEnds) {
  fake.SetWritesPending(true);
  auto write = std::async(std::launch::async, [&] { return port.WriteText("held"); });
  // The device holds the write from the moment it has seen it.
  const auto seen = [&] {
    for (const auto& c : fake.Calls())
      if (c.name == "WriteFile") return true;
    return false;
  };
  for (int i = 0; i < 500 && !seen(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(write.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  fake.CompleteWrites();
  EXPECT_EQ(write.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(write.get(), 4);
  EXPECT_EQ(fake.Written(), "held");
}

TEST_F(TransferTest, StartedRequestsCompleteThroughAwait) {
  fake.SetWritesPending(true);
  auto w = TCustomComPort::CreateRequest();
  const std::string text = "pending";
  EXPECT_EQ(port.StartWriteText(text, w.get()), 0);
  EXPECT_EQ(w->kind, rkWrite);
  EXPECT_FALSE(w->event.IsSet());
  fake.CompleteWrites();
  EXPECT_EQ(port.AwaitRequest(w.get()), 7);

  auto r = TCustomComPort::CreateRequest();
  std::string in;
  fake.SetReadCompletion(FakeSerialApi::ReadCompletion::Rules);
  port.Timeouts().SetReadInterval(0);  // wait for the full count
  EXPECT_EQ(port.StartReadText(in, 4, r.get()), 0);
  EXPECT_EQ(r->kind, rkRead);
  EXPECT_EQ(in.size(), 4u);
  fake.Feed("wxyz");
  EXPECT_EQ(port.AwaitRequest(r.get()), 4);
  EXPECT_EQ(in, "wxyz");

  // A request still running when awaited is waited for.
  EXPECT_EQ(port.StartReadText(in, 2, r.get()), 0);
  auto feeder = std::async(std::launch::async, [&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    fake.Feed("ab");
  });
  EXPECT_EQ(port.AwaitRequest(r.get()), 2);
  EXPECT_EQ(in, "ab");
}

// A request reused after a start the device refused (gone, closed) has nothing running:
// awaiting it returns at once instead of waiting for an event nothing will set.
TEST_F(TransferTest, AwaitOfAReusedRequestWhoseStartWasRefusedReturnsAtOnce) {
  auto request = TCustomComPort::CreateRequest();
  char buf[4] = {};
  for (const bool write : {true, false}) {
    fake.Feed("ab");
    EXPECT_EQ(
        write ? port.StartWrite("ab", 2, request.get()) : port.StartRead(buf, 2, request.get()), 2);
    EXPECT_EQ(port.AwaitRequest(request.get()), 2);
    fake.FailNext(write ? "WriteFile" : "ReadFile", EIO);
    const EComPort e = CatchComPort([&] {
      write ? port.StartWrite("cd", 2, request.get()) : port.StartRead(buf, 2, request.get());
    });
    EXPECT_EQ(e.SystemErrorCode(), EIO);
    auto awaited = std::async(std::launch::async, [&] { return port.AwaitRequest(request.get()); });
    const bool returned = awaited.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
    EXPECT_TRUE(returned) << (write ? "write" : "read");
    if (!returned) request->event.Set();  // frees the stuck wait so the test can end
    EXPECT_EQ(awaited.get(), 0);
  }
}

TEST_F(TransferTest, MissingRequestIsCodeFour) {
  char buf[2] = {};
  for (auto f : std::vector<std::function<void()>>{
           [&] { port.StartWrite("ab", 2, nullptr); },
           [&] { port.StartRead(buf, 2, nullptr); },
           [&] { port.AwaitRequest(nullptr); },
       }) {
    const EComPort e = CatchComPort(f);
    EXPECT_EQ(e.PortErrorCode(), 4);
    EXPECT_EQ(e.SystemErrorCode(), -1);
  }
  EXPECT_TRUE(fake.Calls().empty());
}

TEST_F(TransferTest, PlatformFailuresRaiseTheirOwnCodes) {
  fake.FailNext("WriteFile", EIO);
  EComPort e = CatchComPort([&] { port.WriteText("x"); });
  EXPECT_EQ(e.PortErrorCode(), 2);
  EXPECT_EQ(e.SystemErrorCode(), EIO);

  fake.FailNext("ReadFile", EIO);
  std::string text;
  e = CatchComPort([&] { port.ReadText(text, 3); });
  EXPECT_EQ(e.PortErrorCode(), 3);
  EXPECT_EQ(text.size(), 3u);  // sized for the read that never started

  // A failed completion names the kind of the request.
  fake.FailNext("GetOverlappedResult", EIO);
  EXPECT_EQ(CatchComPort([&] { port.WriteText("y"); }).PortErrorCode(), 2);
  fake.FailNext("GetOverlappedResult", EIO);
  e = CatchComPort([&] { port.ReadText(text, 2); });
  EXPECT_EQ(e.PortErrorCode(), 3);
  EXPECT_EQ(e.SystemErrorCode(), EIO);
  EXPECT_EQ(text.size(), 2u);

  struct Case {
    const char* call;
    int code;
    std::function<void()> op;
  };
  const Case cases[] = {
      {"PurgeComm", 5, [&] { port.PurgeBuffers(true, true); }},
      {"ClearCommError", 10, [&] { port.PendingInputCount(); }},
      {"ClearCommError", 10, [&] { port.ReadLineErrors(); }},
      {"GetCommModemStatus", 11, [&] { port.ModemSignals(); }},
      {"EscapeCommFunction", 12, [&] { port.SetRtsLine(true); }},
      {"TransmitCommChar", 13, [&] { port.SendImmediate('a'); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.call);
    fake.FailNext(c.call, ENXIO);
    e = CatchComPort(c.op);
    EXPECT_EQ(e.PortErrorCode(), c.code);
    EXPECT_EQ(e.SystemErrorCode(), ENXIO);
  }
}

TEST_F(TransferTest, PurgeRtsAndImmediateByte) {
  port.PurgeBuffers(true, true);
  port.PurgeBuffers(true, false);
  port.PurgeBuffers(false, true);
  port.PurgeBuffers(false, false);
  EXPECT_EQ(fake.Purges(), (std::vector<std::uint32_t>{0x0C, 0x08, 0x04, 0x00}));

  port.SetRtsLine(true);
  EXPECT_TRUE(fake.Rts());
  port.SetRtsLine(false);
  EXPECT_FALSE(fake.Rts());
  EXPECT_EQ(fake.Escapes(), (std::vector<std::uint32_t>{3, 4}));

  // The device refuses a new immediate byte while the previous one has not left.
  fake.SetImmediateHold(true);
  port.SendImmediate('\x00');
  const EComPort busy = CatchComPort([&] { port.SendImmediate('\x47'); });
  EXPECT_EQ(busy.PortErrorCode(), 13);
  EXPECT_EQ(busy.SystemErrorCode(), EBUSY);
  fake.ImmediateSent();
  port.SendImmediate('\x47');
  EXPECT_EQ(fake.Immediates(), std::string("\x00\x47", 2));
}

TEST_F(TransferTest, StatusQueries) {
  fake.Feed("12345");
  EXPECT_EQ(port.PendingInputCount(), 5);
  fake.SetModemStatus(serial::MS_DSR_ON | serial::MS_RING_ON);
  EXPECT_EQ(port.ModemSignals(), (LineSignals{lsDSR, lsRing}));
  fake.SetModemStatus(serial::MS_CTS_ON | serial::MS_RLSD_ON);
  EXPECT_EQ(port.ModemSignals(), (LineSignals{lsCTS, lsRLSD}));
}

TEST_F(TransferTest, LineErrorsMapFlagsAndParityNeedsCheck) {
  fake.RaiseLineErrors(serial::CE_RXPARITY | serial::CE_FRAME);
  EXPECT_EQ(port.ReadLineErrors(), TComErrors{ceFrame});
  fake.RaiseLineErrors(serial::CE_RXPARITY);
  EXPECT_TRUE(port.ReadLineErrors().Empty());

  port.Parity().SetCheck(true);
  fake.RaiseLineErrors(serial::CE_RXPARITY);
  EXPECT_EQ(port.ReadLineErrors(), TComErrors{ceRxParity});
  // The first read cleared the device's error state.
  EXPECT_TRUE(port.ReadLineErrors().Empty());

  fake.RaiseLineErrors(serial::CE_OVERRUN | serial::CE_RXOVER | serial::CE_TXFULL |
                       serial::CE_BREAK | serial::CE_IOE | serial::CE_MODE | 0x0020);
  EXPECT_EQ(port.ReadLineErrors(),
            (TComErrors{ceOverrun, ceRxOver, ceTxFull, ceBreak, ceIO, ceMode}));

  // A pending-count query clears the errors too.
  fake.RaiseLineErrors(serial::CE_FRAME);
  port.PendingInputCount();
  EXPECT_TRUE(port.ReadLineErrors().Empty());
}

TEST(NeverOpenedPortTest, EveryOperationFailsWithItsOwnCode) {
  FakeSerialApi fake;
  TComPort port(fake);
  std::string text;
  char buf[4];
  struct Case {
    int code;
    std::function<void()> op;
  };
  const Case cases[] = {
      {2, [&] { port.WriteText("abc"); }},     {3, [&] { port.ReadText(text, 3); }},
      {3, [&] { port.ReadBytes(buf, 4); }},    {5, [&] { port.PurgeBuffers(true, true); }},
      {10, [&] { port.PendingInputCount(); }}, {10, [&] { port.ReadLineErrors(); }},
      {11, [&] { port.ModemSignals(); }},      {12, [&] { port.SetRtsLine(false); }},
      {13, [&] { port.SendImmediate('x'); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    const EComPort e = CatchComPort(c.op);
    EXPECT_EQ(e.PortErrorCode(), c.code);
    EXPECT_EQ(e.SystemErrorCode(), EBADF);
  }
  for (const auto& call : fake.Calls()) EXPECT_EQ(call.args.at(0), serial::InvalidHandle);
  EXPECT_EQ(fake.Written(), "");
}

TEST(ClosedPortTest, AStaleHandleReachesNothingAfterClose) {
  FakeSerialApi fake;
  TComPort port(fake);
  port.SetEvents(TComEvents{});
  port.OpenDevice();
  port.CloseDevice();
  // Another port now holds the device.
  TComPort other(fake);
  other.SetEvents(TComEvents{});
  other.OpenDevice();
  EXPECT_EQ(CatchComPort([&] { port.WriteText("x"); }).PortErrorCode(), 2);
  EXPECT_EQ(fake.Written(), "");
  other.CloseDevice();
}

}  // namespace
