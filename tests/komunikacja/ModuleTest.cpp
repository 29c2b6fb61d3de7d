// The communication module: its port's settings, the transmitter choice, its text
// properties, the precise delay, and the simulator program serving a real transaction.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <chrono>

#include "LinkTestSupport.h"

extern char** environ;

namespace {

using namespace linktest;
using Clock = std::chrono::steady_clock;

TEST(Module, PortSettingsAsCreated) {
  serial::FakeSerialApi fake;
  TFkomunikacja module(fake);
  const TComPort& port = *module.ComPort1;
  EXPECT_EQ(port.Port(), "COM1");
  EXPECT_EQ(port.BaudRate(), br9600);
  EXPECT_EQ(port.DataBits(), dbEight);
  EXPECT_EQ(port.Parity().Bits(), prNone);
  EXPECT_EQ(port.StopBits(), sbTwoStopBits);
  EXPECT_EQ(port.Events(), AllComEvents);
  EXPECT_FALSE(port.FlowControl().OutCTSFlow());
  EXPECT_FALSE(port.FlowControl().OutDSRFlow());
  EXPECT_EQ(port.FlowControl().ControlDTR(), dtrDisable);
  EXPECT_FALSE(port.FlowControl().XonXoffIn());
  EXPECT_FALSE(port.FlowControl().XonXoffOut());
  EXPECT_EQ(port.Timeouts().ReadTotalMultiplier(), 2);
  EXPECT_EQ(port.Timeouts().ReadTotalConstant(), 1000);
  EXPECT_EQ(port.Timeouts().ReadInterval(), -1);
  EXPECT_FALSE(port.Connected());
  EXPECT_TRUE(fake.Calls().empty()) << "the first transaction opens the port";
}

TEST(Module, TransmitterSwitchingFollowsThePlatform) {
  serial::FakeSerialApi fake;
  EXPECT_EQ(SystemPlatformId(), VerPlatformWin32Nt) << "Linux counts as the NT family";
  TFkomunikacja nt(fake);
  EXPECT_TRUE(nt.IsNtFamily());
  EXPECT_EQ(nt.ComPort1->FlowControl().ControlRTS(), rtsToggle);
  TFkomunikacja::Options options;
  options.platformId = 1;
  TFkomunikacja other(fake, options);
  EXPECT_FALSE(other.IsNtFamily());
  EXPECT_EQ(other.ComPort1->FlowControl().ControlRTS(), rtsDisable);
}

TEST(Module, TextPropertiesCloseThePortAndUseTheirOwnConversions) {
  FakeBench bench;
  TFkomunikacja& m = *bench.module;
  ByteString reply;
  auto open = [&] {
    ASSERT_EQ(m.Transact(EnterConfigModeRequest(2), reply, 7, kCom2), 0);
    ASSERT_TRUE(m.ComPort1->Connected());
  };

  open();
  m.predkoscTransmisji("38400");
  EXPECT_FALSE(m.ComPort1->Connected());
  EXPECT_EQ(m.ComPort1->BaudRate(), br38400);
  EXPECT_EQ(m.predkoscTransmisji(), "38400");
  m.predkoscTransmisji("19 200");
  EXPECT_EQ(m.ComPort1->BaudRate(), br9600);
  m.predkoscTransmisji("128000");
  EXPECT_EQ(m.ComPort1->BaudRate(), br9600) << "no row for 128000";
  m.ComPort1->SetBaudRate(br256000);
  EXPECT_EQ(m.predkoscTransmisji(), "9600");
  m.ComPort1->SetBaudRate(brCustom);
  EXPECT_EQ(m.predkoscTransmisji(), "9600");

  open();
  m.bityStopu("1,5");
  EXPECT_FALSE(m.ComPort1->Connected());
  EXPECT_EQ(m.ComPort1->StopBits(), sbTwoStopBits);
  m.bityStopu("1.5");
  EXPECT_EQ(m.bityStopu(), "1.5");
  m.bityStopu("1");
  EXPECT_EQ(m.bityStopu(), "1");

  open();
  m.Numerportu("com7");
  EXPECT_FALSE(m.ComPort1->Connected());
  EXPECT_EQ(m.Numerportu(), "com7") << "stored as given";

  for (const char* text : {"110", "300", "600", "1200", "2400", "4800", "9600", "14400", "19200",
                           "38400", "56000", "57600", "115200"}) {
    EXPECT_EQ(BaudRateToText(BaudRateFromText(text)), text);
  }
  EXPECT_EQ(BaudRateFromText("Custom"), br9600) << "the component's text forms are not ours";
}

TEST(PreciseDelay, WaitsAtLeastTheAmount) {
  auto timed = [](std::int32_t amount, bool micros) {
    const auto start = Clock::now();
    PreciseDelay(amount, micros);
    return Clock::now() - start;
  };
  EXPECT_GE(timed(5000, true), std::chrono::microseconds(5000));
  EXPECT_GE(timed(20, false), std::chrono::milliseconds(20));
  EXPECT_LT(timed(0, true), std::chrono::milliseconds(500));

  // Without a high-resolution counter it sleeps, at least 1 ms.
  SetHighResolutionCounterPresent(false);
  EXPECT_GE(timed(0, false), std::chrono::milliseconds(1));
  EXPECT_GE(timed(500, true), std::chrono::milliseconds(1));
  EXPECT_GE(timed(5000, true), std::chrono::milliseconds(5));
  SetHighResolutionCounterPresent(true);
}

// The program itself, as a separate process, answers a transaction of the module.
TEST(KonfiguratorSimProgram, AnswersARealTransaction) {
  TempDir dir;
  int out[2];
  ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  const std::string ports = dir.path().string();
  const char* argv[] = {KONFIGURATOR_SIM, "--ports-dir", ports.c_str(),
                        "--space-pad",    "2",           nullptr};
  pid_t pid = 0;
  ASSERT_EQ(
      posix_spawn(&pid, KONFIGURATOR_SIM, &actions, nullptr, const_cast<char**>(argv), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  FILE* lines = fdopen(out[0], "r");
  char line[512] = {};
  ASSERT_NE(fgets(line, sizeof line, lines), nullptr);  // ready

  {
    TFkomunikacja::Options options;
    options.portsDirectory = ports;
    options.logDirectory = ports;
    TFkomunikacja module(serial::SystemSerialApi(), options);
    std::string ip;
    EXPECT_EQ(ReadIpAddress(module, 2, kCom2, ip), 0);
    EXPECT_EQ(ip, "192.168.1.10");
  }
  serial::SetPortsDirectory("");
  ASSERT_NE(fgets(line, sizeof line, lines), nullptr);
  EXPECT_NE(std::string(line).find("M: 02 46 64 00 07"), std::string::npos) << line;

  kill(pid, SIGINT);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir.path() / "COM2")));
  fclose(lines);
}

}  // namespace
