#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "ComPort.h"
#include "ErrorReport.h"
#include "PortTestSupport.h"

namespace {

using serial::FakeSerialApi;

// Records every notification in order.
void RecordAll(TCustomComPort& port, std::vector<std::string>& log) {
  port.SetOnBeforeOpen([&log](TCustomComPort&) { log.push_back("BeforeOpen"); });
  port.SetOnAfterOpen([&log](TCustomComPort&) { log.push_back("AfterOpen"); });
  port.SetOnBeforeClose([&log](TCustomComPort&) { log.push_back("BeforeClose"); });
  port.SetOnAfterClose([&log](TCustomComPort&) { log.push_back("AfterClose"); });
  port.SetOnCTSChange(
      [&log](TCustomComPort&, bool on) { log.push_back(std::string("CTS ") + (on ? "1" : "0")); });
  port.SetOnDSRChange(
      [&log](TCustomComPort&, bool on) { log.push_back(std::string("DSR ") + (on ? "1" : "0")); });
  port.SetOnRLSDChange(
      [&log](TCustomComPort&, bool on) { log.push_back(std::string("RLSD ") + (on ? "1" : "0")); });
}

class LifecycleTest : public FakePortTest {
 protected:
  void SetUp() override { port.SetEvents(TComEvents{}); }
};

TEST_F(LifecycleTest, DefaultsProduceTheExactDeviceSetup) {
  port.OpenDevice();
  const auto names = Names();
  const std::vector<std::string> expected = {
      "CreateFile",         "SetupComm",          "SetCommState",      "SetCommTimeouts",
      "GetCommModemStatus", "GetCommModemStatus", "GetCommModemStatus"};
  EXPECT_EQ(names, expected);
  EXPECT_EQ(fake.OpenPath(), "\\\\.\\COM1");
  const serial::Dcb d = fake.LastDcb();
  EXPECT_EQ(d.DCBlength, 28u);
  EXPECT_EQ(d.BaudRate, 9600u);
  EXPECT_EQ(d.Flags, 0x1u);
  EXPECT_EQ(d.XonLim, 256);
  EXPECT_EQ(d.XoffLim, 256);
  EXPECT_EQ(d.ByteSize, 8);
  EXPECT_EQ(d.Parity, 0);
  EXPECT_EQ(d.StopBits, 0);
  EXPECT_EQ(d.XonChar, 17);
  EXPECT_EQ(d.XoffChar, 19);
  EXPECT_EQ(d.ErrorChar, 0);
  EXPECT_EQ(d.EofChar, 0);
  EXPECT_EQ(d.EvtChar, 0);
  const serial::CommTimeouts t = fake.LastTimeouts();
  EXPECT_EQ(t.ReadIntervalTimeout, 0xFFFFFFFFu);
  EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 0u);
  EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 100u);
  EXPECT_EQ(t.WriteTotalTimeoutConstant, 1000u);
  EXPECT_EQ(fake.InQueueSize(), 1024u);
  EXPECT_EQ(fake.OutQueueSize(), 1024u);
}

TEST_F(LifecycleTest, LineSettingsMapEverySwitchToItsFlag) {
  OpenQuiet();
  port.FlowControl().SetControlRTS(rtsToggle);
  EXPECT_EQ(fake.LastDcb().Flags, 0x3001u);
  port.FlowControl().SetControlRTS(rtsDisable);
  port.SetStopBits(sbTwoStopBits);
  EXPECT_EQ(fake.LastDcb().StopBits, 2);
  port.SetStopBits(sbOne5StopBits);
  EXPECT_EQ(fake.LastDcb().StopBits, 1);

  // Replace without Check: neither fParity nor fErrorChar, no error character.
  port.Parity().SetReplaceChar('?');
  port.Parity().SetReplace(true);
  EXPECT_EQ(fake.LastDcb().Flags, 0x1u);
  EXPECT_EQ(fake.LastDcb().ErrorChar, 0);
  port.Parity().SetCheck(true);
  EXPECT_EQ(fake.LastDcb().Flags, 0x1u | 0x2u | 0x400u);
  EXPECT_EQ(fake.LastDcb().ErrorChar, '?');
  port.Parity().SetReplace(false);
  EXPECT_EQ(fake.LastDcb().Flags, 0x3u);
  EXPECT_EQ(fake.LastDcb().ErrorChar, 0);
  port.Parity().SetCheck(false);

  port.FlowControl().SetOutCTSFlow(true);
  port.FlowControl().SetOutDSRFlow(true);
  port.FlowControl().SetControlDTR(dtrHandshake);
  port.FlowControl().SetDSRSensitivity(true);
  port.FlowControl().SetTxContinueOnXoff(true);
  port.FlowControl().SetXonXoffOut(true);
  port.FlowControl().SetXonXoffIn(true);
  port.SetDiscardNull(true);
  port.FlowControl().SetControlRTS(rtsHandshake);
  EXPECT_EQ(fake.LastDcb().Flags,
            0x1u | 0x4 | 0x8 | 0x20 | 0x40 | 0x80 | 0x100 | 0x200 | 0x800 | 0x2000);
  EXPECT_EQ(fake.LastDcb().Flags & 0x4000u, 0u);

  port.SetDataBits(dbFive);
  port.Parity().SetBits(prSpace);
  port.SetEventChar('\r');
  port.FlowControl().SetXonChar(1);
  port.FlowControl().SetXoffChar(2);
  const serial::Dcb d = fake.LastDcb();
  EXPECT_EQ(d.ByteSize, 5);
  EXPECT_EQ(d.Parity, 4);
  EXPECT_EQ(d.EvtChar, '\r');
  EXPECT_EQ(d.XonChar, 1);
  EXPECT_EQ(d.XoffChar, 2);

  port.SetBaudRate(brCustom);
  port.SetCustomBaudRate(250000);
  EXPECT_EQ(fake.LastDcb().BaudRate, 250000u);
}

TEST_F(LifecycleTest, QueueLimitsFollowInputSizeAtTheNextLineApplication) {
  OpenQuiet();
  port.Buffer().SetInputSize(4096);
  EXPECT_EQ(Names(), std::vector<std::string>{"SetupComm"});
  EXPECT_EQ(fake.InQueueSize(), 4096u);
  EXPECT_EQ(fake.LastDcb().XonLim, 256);
  port.SetBaudRate(br19200);
  EXPECT_EQ(fake.LastDcb().XonLim, 1024);
  EXPECT_EQ(fake.LastDcb().XoffLim, 1024);
  // A quarter that does not fit 16 bits is held at the largest limit, not wrapped.
  port.Buffer().SetInputSize(262144 * 4);
  port.SetBaudRate(br9600);
  EXPECT_EQ(fake.LastDcb().XonLim, 65535);
  port.Buffer().SetInputSize(262143);  // quarter 65535 exactly
  port.SetBaudRate(br19200);
  EXPECT_EQ(fake.LastDcb().XonLim, 65535);
  port.Buffer().SetInputSize(262148);
  port.SetBaudRate(br9600);
  EXPECT_EQ(fake.LastDcb().XonLim, 65535);
}

TEST_F(LifecycleTest, NotificationOrderOverOneCycle) {
  std::vector<std::string> log;
  RecordAll(port, log);
  fake.SetModemStatus(serial::MS_CTS_ON | serial::MS_RLSD_ON);
  port.OpenDevice();
  port.OpenDevice();  // already open: nothing
  port.CloseDevice();
  port.CloseDevice();  // already closed: nothing
  const std::vector<std::string> expected = {"BeforeOpen",  "AfterOpen", "CTS 1", "DSR 0",
                                             "RLSD 1",      "CTS 0",     "DSR 0", "RLSD 0",
                                             "BeforeClose", "AfterClose"};
  EXPECT_EQ(log, expected);
  EXPECT_EQ(fake.CountOf("CreateFile"), 1);
  EXPECT_EQ(fake.CountOf("CloseHandle"), 1);
}

TEST_F(LifecycleTest, CloseAbortsRequestsThenReleasesTheHandle) {
  port.OpenDevice();
  const serial::Handle h = port.DeviceHandle();
  EXPECT_NE(h, serial::InvalidHandle);
  fake.ClearCalls();
  port.CloseDevice();
  const auto calls = fake.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].name, "PurgeComm");
  EXPECT_EQ(calls[0].args, (std::vector<std::int64_t>{h, 3}));
  EXPECT_EQ(calls[1].name, "CloseHandle");
  EXPECT_EQ(port.DeviceHandle(), serial::InvalidHandle);
  EXPECT_FALSE(port.Connected());

  // A purge that fails never stops the close.
  port.OpenDevice();
  fake.FailNext("PurgeComm", EIO);
  port.CloseDevice();
  EXPECT_FALSE(port.Connected());
  EXPECT_FALSE(fake.IsOpen());
}

TEST_F(LifecycleTest, OpenFailureLeavesThePortClosed) {
  std::vector<std::string> log;
  RecordAll(port, log);
  fake.FailNext("CreateFile", ENOENT);
  const EComPort e = CatchComPort([&] { port.OpenDevice(); });
  EXPECT_EQ(e.PortErrorCode(), 1);
  EXPECT_EQ(e.SystemErrorCode(), ENOENT);
  EXPECT_EQ(std::string(e.what()),
            "Unable to open com port (win error code: " + std::to_string(ENOENT) + ")");
  EXPECT_FALSE(port.Connected());
  EXPECT_EQ(log, std::vector<std::string>{"BeforeOpen"});
  EXPECT_EQ(port.DeviceHandle(), serial::InvalidHandle);
}

TEST_F(LifecycleTest, FailingApplyDuringOpenReleasesTheHandle) {
  struct Case {
    const char* call;
    int code;
  };
  std::vector<std::string> log;
  RecordAll(port, log);
  for (const Case c : {Case{"SetupComm", 9}, Case{"SetCommState", 7}, Case{"SetCommTimeouts", 8}}) {
    SCOPED_TRACE(c.call);
    log.clear();
    fake.ClearCalls();
    fake.FailNext(c.call, EINVAL);
    const EComPort e = CatchComPort([&] { port.OpenDevice(); });
    EXPECT_EQ(e.PortErrorCode(), c.code);
    EXPECT_EQ(e.SystemErrorCode(), EINVAL);
    EXPECT_FALSE(port.Connected());
    EXPECT_FALSE(fake.IsOpen());
    EXPECT_EQ(fake.CountOf("CloseHandle"), 1);
    EXPECT_EQ(port.DeviceHandle(), serial::InvalidHandle);
    EXPECT_EQ(log, std::vector<std::string>{"BeforeOpen"});
    // Later calls fail through the platform and touch no device.
    EXPECT_EQ(CatchComPort([&] { port.PendingInputCount(); }).SystemErrorCode(), EBADF);
  }
  // The sequence stops at the first failure.
  fake.ClearCalls();
  fake.FailNext("SetupComm", EINVAL);
  CatchComPort([&] { port.OpenDevice(); });
  EXPECT_EQ(fake.CountOf("SetCommState"), 0);
}

TEST_F(LifecycleTest, ModemReadFailureAfterOpenLeavesThePortOpen) {
  fake.FailNext("GetCommModemStatus", EIO);
  bool afterOpen = false;
  port.SetOnAfterOpen([&](TCustomComPort&) { afterOpen = true; });
  EXPECT_EQ(CatchComPort([&] { port.OpenDevice(); }).PortErrorCode(), 11);
  EXPECT_TRUE(afterOpen);
  EXPECT_TRUE(port.Connected());
  port.CloseDevice();
}

TEST_F(LifecycleTest, LoadingDefersTheOpenToFinishLoading) {
  port.BeginLoading();
  port.SetConnected(true);
  port.SetBaudRate(br19200);
  EXPECT_TRUE(port.Connected());  // stored only
  EXPECT_TRUE(fake.Calls().empty());
  port.FinishLoading();
  EXPECT_TRUE(port.Connected());
  EXPECT_TRUE(fake.IsOpen());
  EXPECT_EQ(fake.LastDcb().BaudRate, 19200u);
  port.CloseDevice();
}

// Connected is already true while loading, but there is no device yet: no group of settings
// may reach it before FinishLoading, which then applies what was stored.
TEST_F(LifecycleTest, NoSettingsGroupReachesTheDeviceWhileLoading) {
  port.BeginLoading();
  port.SetConnected(true);
  TComTimeouts t;
  t.SetReadTotalConstant(321);
  TComBuffer b;
  b.SetInputSize(2048);
  TComFlowControl fc;
  fc.SetFlowControl(fcSoftware);
  EXPECT_NO_THROW(port.SetTimeouts(t));
  EXPECT_NO_THROW(port.SetBuffer(b));
  EXPECT_NO_THROW(port.SetFlowControl(fc));
  EXPECT_TRUE(fake.Calls().empty());
  port.FinishLoading();
  EXPECT_EQ(fake.CountOf("SetCommTimeouts"), 1);
  EXPECT_EQ(fake.LastTimeouts().ReadTotalTimeoutConstant, 321u);
  EXPECT_EQ(fake.InQueueSize(), 2048u);
  EXPECT_TRUE(fake.LastDcb().Flags & serial::dcb::fInX);
  port.CloseDevice();
}

TEST_F(LifecycleTest, FailedOpenAtEndOfLoadingGoesToTheApplicationReport) {
  std::vector<std::string> reported;
  SetApplicationErrorReport([&](const std::exception& e) { reported.push_back(e.what()); });
  port.BeginLoading();
  port.SetConnected(true);
  fake.FailNext("CreateFile", EACCES);
  EXPECT_NO_THROW(port.FinishLoading());
  SetApplicationErrorReport(nullptr);
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_EQ(reported[0],
            "Unable to open com port (win error code: " + std::to_string(EACCES) + ")");
  EXPECT_FALSE(port.Connected());
  EXPECT_FALSE(port.Loading());
  // Loading over without Connected: nothing opens.
  port.BeginLoading();
  port.FinishLoading();
  EXPECT_FALSE(fake.IsOpen());
}

TEST(LifecycleDestructionTest, DestroyingAnOpenPortClosesItWithNotifications) {
  FakeSerialApi fake;
  std::vector<std::string> log;
  {
    TComPort port(fake);
    RecordAll(port, log);
    port.SetOnBeforeClose([&log](TCustomComPort& p) {
      log.push_back("BeforeClose");
      // Settings objects still exist while closing.
      log.push_back("InputSize " + std::to_string(p.Buffer().InputSize()));
    });
    port.OpenDevice();
    log.clear();
  }
  const std::vector<std::string> expected = {"CTS 0",       "DSR 0",          "RLSD 0",
                                             "BeforeClose", "InputSize 1024", "AfterClose"};
  EXPECT_EQ(log, expected);
  EXPECT_FALSE(fake.IsOpen());
}

TEST(LifecycleDestructionTest, DestructionSurvivesAFailingCloseHandler) {
  FakeSerialApi fake;
  std::vector<std::string> reported;
  SetApplicationErrorReport([&](const std::exception& e) { reported.push_back(e.what()); });
  {
    TComPort port(fake);
    port.OpenDevice();
    port.SetOnBeforeClose([](TCustomComPort&) { throw std::runtime_error("handler failed"); });
  }
  SetApplicationErrorReport(nullptr);
  EXPECT_EQ(reported, std::vector<std::string>{"handler failed"});
  EXPECT_FALSE(fake.IsOpen());
}

}  // namespace
