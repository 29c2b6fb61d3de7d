#include <gtest/gtest.h>

#include <cerrno>

#include "ComPort.h"
#include "ComSettings.h"
#include "ComTypes.h"
#include "PortTestSupport.h"

namespace {

TEST(ComTypesTest, OrdinalsAndSizesAreFixed) {
  static_assert(sizeof(TBaudRate) == 1 && sizeof(TParityBits) == 1 && sizeof(TSyncMethod) == 1);
  static_assert(sizeof(TComEvents) == 2 && sizeof(TComErrors) == 1 && sizeof(LineSignals) == 1);
  EXPECT_EQ(br110, 1);
  EXPECT_EQ(br9600, 7);
  EXPECT_EQ(br19200, 9);
  EXPECT_EQ(br256000, 15);
  EXPECT_EQ(sbTwoStopBits, 2);
  EXPECT_EQ(rtsToggle, 3);
  EXPECT_EQ(fcCustom, 3);
  EXPECT_EQ(evRx80Full, 9);
  EXPECT_EQ(AllComEvents.ToBits(), 0x3FF);
  EXPECT_EQ((LineSignals{lsCTS, lsRLSD}).ToBits(), 0x9);
  EXPECT_EQ(BaudRateValue(br14400), 14400);
  EXPECT_EQ(BaudRateValue(br256000), 256000);
}

TEST(ComTypesTest, TextFormsRoundTrip) {
  for (int i = 0; i <= br256000; ++i) {
    const auto v = static_cast<TBaudRate>(i);
    EXPECT_EQ(StrToBaudRate(BaudRateToStr(v)), v);
  }
  EXPECT_EQ(BaudRateToStr(brCustom), "Custom");
  EXPECT_EQ(BaudRateToStr(br115200), "115200");
  EXPECT_EQ(StopBitsToStr(sbOne5StopBits), "1.5");
  EXPECT_EQ(DataBitsToStr(dbSeven), "7");
  EXPECT_EQ(ParityToStr(prSpace), "Space");
  EXPECT_EQ(DTRToStr(dtrHandshake), "Handshake");
  EXPECT_EQ(RTSToStr(rtsToggle), "Toggle");
  EXPECT_EQ(FlowControlToStr(fcNone), "None");
  EXPECT_EQ(StrToStopBits("1.5"), sbOne5StopBits);
  EXPECT_EQ(StrToDataBits("5"), dbFive);
  EXPECT_EQ(StrToParity("mARK"), prMark);
  EXPECT_EQ(StrToDTR("enable"), dtrEnable);
  EXPECT_EQ(StrToRTS("TOGGLE"), rtsToggle);
}

TEST(ComTypesTest, TextConversionIgnoresAsciiCaseOnlyAndFallsBack) {
  EXPECT_EQ(StrToFlowControl("sOfTwArE"), fcSoftware);
  EXPECT_EQ(StrToFlowControl("none"), fcNone);
  EXPECT_EQ(StrToParity("NONE"), prNone);
  EXPECT_EQ(StrToFlowControl("xyz"), fcCustom);
  EXPECT_EQ(StrToBaudRate(""), br9600);
  EXPECT_EQ(StrToBaudRate("9600 "), br9600);
  EXPECT_EQ(StrToBaudRate("110"), br110);
  EXPECT_EQ(StrToBaudRate("custom"), brCustom);
  EXPECT_EQ(StrToStopBits("3"), sbOneStopBit);
  EXPECT_EQ(StrToDataBits("9"), dbEight);
  EXPECT_EQ(StrToParity("Nothing"), prNone);
  EXPECT_EQ(StrToRTS("Handshak"), rtsDisable);
  EXPECT_EQ(StrToDTR(""), dtrDisable);
  // Only ASCII letters fold: a non-ASCII byte must match exactly, so nothing matches here.
  EXPECT_EQ(StrToParity("\xC3\x93"
                        "dd"),
            prNone);
}

TEST(ComTypesTest, EventMaskConversions) {
  EXPECT_EQ(EventsToMask(AllComEvents), 0x05FFu);
  EXPECT_EQ(EventsToMask(TComEvents{}), 0u);
  EXPECT_EQ(EventsToMask(TComEvents{evRLSD}), 0x20u);
  EXPECT_EQ(EventsToMask(TComEvents{evTxEmpty, evRxFlag}), 0x06u);
  EXPECT_EQ(MaskToEvents(0x05FF), AllComEvents);
  // EV_PERR, EV_EVENT1 and EV_EVENT2 have no counterpart.
  EXPECT_EQ(MaskToEvents(0x0200 | 0x0800 | 0x1000), TComEvents{});
  EXPECT_EQ(MaskToEvents(0x0100 | 0x0080), (TComEvents{evRing, evError}));
}

TEST(ComSettingsObjectsTest, FlowControlDerivationUsesFourSwitches) {
  TComFlowControl fc;
  EXPECT_EQ(fc.FlowControl(), fcNone);
  fc.SetFlowControl(fcHardware);
  EXPECT_EQ(fc.ControlRTS(), rtsHandshake);
  EXPECT_TRUE(fc.OutCTSFlow());
  EXPECT_EQ(fc.FlowControl(), fcHardware);
  fc.SetOutDSRFlow(true);
  fc.SetControlDTR(dtrEnable);
  fc.SetTxContinueOnXoff(true);
  EXPECT_EQ(fc.FlowControl(), fcHardware);
  fc.SetXonXoffOut(true);
  EXPECT_EQ(fc.FlowControl(), fcCustom);

  fc.SetFlowControl(fcSoftware);
  EXPECT_EQ(fc.ControlRTS(), rtsDisable);
  EXPECT_FALSE(fc.OutCTSFlow());
  EXPECT_TRUE(fc.XonXoffIn() && fc.XonXoffOut());
  EXPECT_EQ(fc.FlowControl(), fcSoftware);
  // The switches the shortcut does not own keep their values.
  EXPECT_TRUE(fc.OutDSRFlow());
  EXPECT_EQ(fc.ControlDTR(), dtrEnable);

  fc.SetXonXoffIn(false);
  EXPECT_EQ(fc.FlowControl(), fcCustom);
  fc.SetFlowControl(fcCustom);
  EXPECT_FALSE(fc.XonXoffIn());
  EXPECT_TRUE(fc.XonXoffOut());

  fc.SetControlDTR(dtrHandshake);
  fc.SetFlowControl(fcNone);
  EXPECT_EQ(fc.FlowControl(), fcNone);
  EXPECT_EQ(fc.ControlDTR(), dtrHandshake);

  fc.SetControlRTS(rtsToggle);
  EXPECT_EQ(fc.FlowControl(), fcCustom);
}

// Software flow means XON/XOFF both ways; one direction alone is a custom setup.
TEST(ComSettingsObjectsTest, SoftwareFlowNeedsBothDirections) {
  struct Case {
    bool in, out;
    TFlowControl want;
  };
  for (const Case c : {Case{true, true, fcSoftware}, Case{true, false, fcCustom},
                       Case{false, true, fcCustom}, Case{false, false, fcNone}}) {
    TComFlowControl fc;
    fc.SetXonXoffIn(c.in);
    fc.SetXonXoffOut(c.out);
    EXPECT_EQ(fc.FlowControl(), c.want) << "in " << c.in << " out " << c.out;
  }
}

TEST(ComSettingsObjectsTest, BufferSizesAreStoredEven) {
  TComBuffer b;
  b.SetInputSize(1025);
  EXPECT_EQ(b.InputSize(), 1024);
  b.SetOutputSize(1);
  EXPECT_EQ(b.OutputSize(), 0);
  b.SetOutputSize(-3);
  EXPECT_EQ(b.OutputSize(), -3);
  b.SetInputSize(4097);
  EXPECT_EQ(b.InputSize(), 4096);
}

TEST(ComSettingsObjectsTest, CopyingTakesFieldsAsStoredAndRefusesOtherClasses) {
  TComTimeouts src;
  src.SetReadInterval(5);
  src.SetReadTotalMultiplier(2);
  src.SetReadTotalConstant(2000);
  src.SetWriteTotalMultiplier(7);
  src.SetWriteTotalConstant(8);
  TComTimeouts dst;
  dst.Assign(&src);
  EXPECT_EQ(dst.ReadInterval(), 5);
  EXPECT_EQ(dst.ReadTotalMultiplier(), 2);
  EXPECT_EQ(dst.ReadTotalConstant(), 2000);
  EXPECT_EQ(dst.WriteTotalMultiplier(), 7);
  EXPECT_EQ(dst.WriteTotalConstant(), 8);

  TComParity parity;
  parity.SetBits(prEven);
  try {
    dst.Assign(&parity);
    ADD_FAILURE() << "assigned a TComParity";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "Cannot assign a TComParity to a TComTimeouts");
  }
  try {
    parity.Assign(nullptr);
    ADD_FAILURE() << "assigned nil";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "Cannot assign a nil to a TComParity");
  }
  EXPECT_EQ(dst.ReadTotalConstant(), 2000);
  EXPECT_EQ(parity.Bits(), prEven);

  TComFlowControl fc;
  fc.SetFlowControl(fcSoftware);
  fc.SetXonChar('A');
  fc.SetDSRSensitivity(true);
  TComFlowControl fc2;
  fc2.Assign(&fc);
  EXPECT_EQ(fc2.FlowControl(), fcSoftware);
  EXPECT_EQ(fc2.XonChar(), 'A');
  EXPECT_TRUE(fc2.DSRSensitivity());
  EXPECT_EQ(fc2.XoffChar(), 19);
}

TEST_F(FakePortTest, NewPortHasTheDefaults) {
  EXPECT_FALSE(port.Connected());
  EXPECT_EQ(port.BaudRate(), br9600);
  EXPECT_EQ(port.CustomBaudRate(), 9600);
  EXPECT_EQ(port.Port(), "COM1");
  EXPECT_EQ(port.StopBits(), sbOneStopBit);
  EXPECT_EQ(port.DataBits(), dbEight);
  EXPECT_FALSE(port.DiscardNull());
  EXPECT_EQ(port.EventChar(), 0);
  EXPECT_EQ(port.Events(), AllComEvents);
  EXPECT_EQ(port.SyncMethod(), smThreadSync);
  EXPECT_EQ(port.Parity().Bits(), prNone);
  EXPECT_FALSE(port.Parity().Check());
  EXPECT_FALSE(port.Parity().Replace());
  EXPECT_EQ(port.Parity().ReplaceChar(), 0);
  const TComFlowControl& fc = port.FlowControl();
  EXPECT_FALSE(fc.OutCTSFlow() || fc.OutDSRFlow() || fc.XonXoffIn() || fc.XonXoffOut() ||
               fc.DSRSensitivity() || fc.TxContinueOnXoff());
  EXPECT_EQ(fc.ControlDTR(), dtrDisable);
  EXPECT_EQ(fc.ControlRTS(), rtsDisable);
  EXPECT_EQ(fc.XonChar(), 17);
  EXPECT_EQ(fc.XoffChar(), 19);
  EXPECT_EQ(fc.FlowControl(), fcNone);
  EXPECT_EQ(port.Timeouts().ReadInterval(), -1);
  EXPECT_EQ(port.Timeouts().ReadTotalMultiplier(), 0);
  EXPECT_EQ(port.Timeouts().ReadTotalConstant(), 0);
  EXPECT_EQ(port.Timeouts().WriteTotalMultiplier(), 100);
  EXPECT_EQ(port.Timeouts().WriteTotalConstant(), 1000);
  EXPECT_EQ(port.Buffer().InputSize(), 1024);
  EXPECT_EQ(port.Buffer().OutputSize(), 1024);
  EXPECT_EQ(port.Parity().Owner(), &port);
  EXPECT_EQ(port.Buffer().Owner(), &port);
  EXPECT_EQ(port.DeviceHandle(), serial::InvalidHandle);
  // Creating the port does not touch the device.
  EXPECT_TRUE(fake.Calls().empty());
}

// The speed the device is given for each entry of the speed list.
TEST_F(FakePortTest, EachListedSpeedReachesTheDeviceAsItsNumber) {
  const std::pair<TBaudRate, std::uint32_t> speeds[] = {
      {br110, 110},       {br300, 300},       {br600, 600},      {br1200, 1200},
      {br2400, 2400},     {br4800, 4800},     {br9600, 9600},    {br14400, 14400},
      {br19200, 19200},   {br38400, 38400},   {br56000, 56000},  {br57600, 57600},
      {br115200, 115200}, {br128000, 128000}, {br256000, 256000}};
  OpenQuiet();
  for (const auto& [rate, bps] : speeds) {
    port.SetBaudRate(rate);
    EXPECT_EQ(fake.LastDcb().BaudRate, bps) << BaudRateToStr(rate);
  }
}

TEST_F(FakePortTest, SettingsWhileClosedOnlyStoreAndReachTheDeviceAtOpen) {
  port.SetBaudRate(br19200);
  port.SetStopBits(sbTwoStopBits);
  port.Timeouts().SetReadTotalConstant(2000);
  port.Buffer().SetInputSize(4096);
  port.FlowControl().SetFlowControl(fcHardware);
  EXPECT_TRUE(fake.Calls().empty());
  OpenQuiet();
  EXPECT_EQ(fake.LastDcb().BaudRate, 19200u);
  EXPECT_EQ(fake.LastDcb().StopBits, 2);
  EXPECT_EQ(fake.LastDcb().XonLim, 1024);
  EXPECT_EQ(fake.LastTimeouts().ReadTotalTimeoutConstant, 2000u);
  EXPECT_EQ(fake.InQueueSize(), 4096u);
}

TEST_F(FakePortTest, EachSetterAppliesItsGroupOnlyWhenTheValueChanges) {
  OpenQuiet();
  port.SetBaudRate(br9600);
  port.Timeouts().SetReadInterval(-1);
  port.Buffer().SetInputSize(1024);
  port.Parity().SetBits(prNone);
  port.FlowControl().SetXonChar(17);
  EXPECT_TRUE(fake.Calls().empty());

  port.SetBaudRate(br115200);
  port.SetCustomBaudRate(1234);
  port.SetDataBits(dbSeven);
  port.SetDiscardNull(true);
  port.SetEventChar('\n');
  port.Parity().SetCheck(true);
  port.FlowControl().SetOutDSRFlow(true);
  EXPECT_EQ(fake.CountOf("SetCommState"), 7);
  EXPECT_EQ(fake.Calls().size(), 7u);
  port.Timeouts().SetReadTotalConstant(1000);
  EXPECT_EQ(fake.CountOf("SetCommTimeouts"), 1);
  port.Buffer().SetOutputSize(2048);
  EXPECT_EQ(fake.CountOf("SetupComm"), 1);
  EXPECT_EQ(fake.Calls().size(), 9u);

  // InputSize 1025 is stored as 1024 and then 1024 is no change.
  port.Buffer().SetInputSize(1025);
  EXPECT_EQ(fake.CountOf("SetupComm"), 2);
  port.Buffer().SetInputSize(1024);
  EXPECT_EQ(fake.CountOf("SetupComm"), 2);
}

TEST_F(FakePortTest, FlowControlShortcutAndObjectAssignmentAlwaysApply) {
  OpenQuiet();
  port.FlowControl().SetFlowControl(fcCustom);
  port.FlowControl().SetFlowControl(fcNone);
  EXPECT_EQ(fake.CountOf("SetCommState"), 2);
  port.SetParity(port.Parity());
  port.SetFlowControl(TComFlowControl{});
  EXPECT_EQ(fake.CountOf("SetCommState"), 4);
  port.SetTimeouts(TComTimeouts{});
  EXPECT_EQ(fake.CountOf("SetCommTimeouts"), 1);
  TComBuffer b;
  b.SetInputSize(513);  // unowned: stored as 512
  port.SetBuffer(b);
  EXPECT_EQ(port.Buffer().InputSize(), 512);
  EXPECT_EQ(fake.CountOf("SetupComm"), 1);
  // The owned object stays the same one, with its owner.
  EXPECT_EQ(port.Buffer().Owner(), &port);
}

TEST_F(FakePortTest, FailingApplyKeepsTheNewValueAndThePortOpen) {
  OpenQuiet();
  fake.FailNext("SetCommState", EINVAL);
  const EComPort e = CatchComPort([&] { port.SetBaudRate(br256000); });
  EXPECT_EQ(e.PortErrorCode(), 7);
  EXPECT_EQ(e.SystemErrorCode(), EINVAL);
  EXPECT_EQ(port.BaudRate(), br256000);
  EXPECT_TRUE(port.Connected());
  fake.FailNext("SetCommTimeouts", EIO);
  EXPECT_EQ(CatchComPort([&] { port.Timeouts().SetReadTotalConstant(5); }).PortErrorCode(), 8);
  fake.FailNext("SetupComm", ENOMEM);
  EXPECT_EQ(CatchComPort([&] { port.Buffer().SetOutputSize(64); }).PortErrorCode(), 9);
  EXPECT_EQ(port.Buffer().OutputSize(), 64);
  EXPECT_TRUE(port.Connected());
}

TEST_F(FakePortTest, SyncMethodCannotChangeWhileOpen) {
  port.SetSyncMethod(smNone);
  EXPECT_EQ(port.SyncMethod(), smNone);
  OpenQuiet();
  port.SetSyncMethod(smNone);
  const EComPort e = CatchComPort([&] { port.SetSyncMethod(smWindowSync); });
  EXPECT_EQ(e.PortErrorCode(), 14);
  EXPECT_EQ(e.SystemErrorCode(), -1);
  EXPECT_STREQ(e.what(), "Cannot set property while connected");
  EXPECT_EQ(port.SyncMethod(), smNone);
  port.CloseDevice();
  port.SetSyncMethod(smWindowSync);
  EXPECT_EQ(port.SyncMethod(), smWindowSync);
}

TEST_F(FakePortTest, PortNameComparesCaseSensitivelyAndReopens) {
  OpenQuiet();
  port.SetPort("COM1");
  EXPECT_TRUE(fake.Calls().empty());
  port.SetPort("com1");
  EXPECT_TRUE(port.Connected());
  EXPECT_EQ(fake.OpenPath(), "\\\\.\\com1");
  const auto names = Names();
  ASSERT_GE(names.size(), 2u);
  EXPECT_EQ(names[0], "PurgeComm");
  EXPECT_EQ(names[1], "CloseHandle");
  EXPECT_EQ(fake.CountOf("CreateFile"), 1);

  // A reopen that fails leaves the new name stored and the port closed.
  fake.FailNext("CreateFile", ENOENT);
  EXPECT_EQ(CatchComPort([&] { port.SetPort("COM7"); }).PortErrorCode(), 1);
  EXPECT_EQ(port.Port(), "COM7");
  EXPECT_FALSE(port.Connected());
  EXPECT_FALSE(fake.IsOpen());
}

TEST_F(FakePortTest, EventsChangeWhileOpenWaitsForTheNextOpen) {
  port.SetEvents(TComEvents{evRxChar});
  port.OpenDevice();
  EXPECT_EQ(fake.Mask(), 0x0001u);
  port.SetEvents(TComEvents{evRing, evCTS});
  EXPECT_EQ(fake.Mask(), 0x0001u);
  port.CloseDevice();
  port.OpenDevice();
  EXPECT_EQ(fake.Mask(), 0x0108u);
  port.CloseDevice();
}

TEST_F(FakePortTest, ConnectedPropertyOpensAndCloses) {
  port.SetConnected(true);
  EXPECT_TRUE(port.Connected());
  EXPECT_TRUE(fake.IsOpen());
  port.SetConnected(true);
  EXPECT_EQ(fake.CountOf("CreateFile"), 1);
  port.SetConnected(false);
  EXPECT_FALSE(port.Connected());
  EXPECT_FALSE(fake.IsOpen());
}

}  // namespace
