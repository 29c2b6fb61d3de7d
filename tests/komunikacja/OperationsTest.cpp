// The eight device operations: time-outs, the retry policy, outputs and decoding.
#include <gtest/gtest.h>

#include "LinkTestSupport.h"

namespace {

using namespace linktest;
using devicesim::Faults;

Faults Silent(int times = -1) {
  Faults f;
  f.silent = true;
  f.times = times;
  return f;
}

TEST(Operations, EachSetsItsReadTimeoutAndSucceedsInOneTransaction) {
  FakeBench bench;
  TFkomunikacja& m = *bench.module;
  DelayRecorder delays;
  std::int32_t mode = -1;
  std::string ip, port;

  const struct {
    const char* name;
    std::function<TransactionResult()> run;
    std::uint32_t timeout;
  } ops[] = {
      {"EnterConfigMode", [&] { return EnterConfigMode(m, 2, kCom2); }, 2000},
      {"ReadOperatingMode", [&] { return ReadOperatingMode(m, 2, kCom2, mode); }, 1000},
      {"WriteOperatingMode", [&] { return WriteOperatingMode(m, 1, 2, kCom2); }, 1000},
      {"ReadIpAddress", [&] { return ReadIpAddress(m, 2, kCom2, ip); }, 1000},
      {"WriteIpAddress", [&] { return WriteIpAddress(m, "10.0.0.2", 2, kCom2); }, 1000},
      {"ReadIpPort", [&] { return ReadIpPort(m, 2, kCom2, port); }, 1000},
      {"WriteIpPort", [&] { return WriteIpPort(m, "8080", 2, kCom2); }, 1000},
      {"LeaveConfigMode", [&] { return LeaveConfigMode(m, 2, kCom2); }, 2000},
  };
  for (const auto& op : ops) {
    const int before = bench.device.RequestCount();
    EXPECT_EQ(op.run(), 0) << op.name;
    EXPECT_EQ(bench.device.RequestCount(), before + 1) << op.name;
    EXPECT_EQ(bench.fake.LastTimeouts().ReadTotalTimeoutConstant, op.timeout) << op.name;
    EXPECT_EQ(m.ComPort1->Timeouts().ReadTotalConstant(), static_cast<std::int32_t>(op.timeout));
  }
  EXPECT_TRUE(delays.Pauses().empty());
  EXPECT_EQ(mode, 0);
  EXPECT_EQ(ip, "192.168.1.10");
  EXPECT_EQ(port, "502");
  const devicesim::DeviceState state = bench.device.State();
  EXPECT_EQ(state.mode, 1);
  EXPECT_EQ(state.ip, "10.0.0.2");
  EXPECT_EQ(state.port, "8080");
  EXPECT_FALSE(state.configMode);
}

TEST(Operations, ARefusalIsFinal) {
  FakeBench bench;
  DelayRecorder delays;
  Faults refuse;
  refuse.refuseAll = true;
  bench.device.SetFaults(refuse);
  std::string ip = "kept";
  EXPECT_EQ(ReadIpAddress(*bench.module, 2, kCom2, ip), 3) << "no refusals in length-prefixed";
  EXPECT_EQ(ip, "kept");
  const int before = bench.device.RequestCount();
  delays.Clear();
  EXPECT_EQ(EnterConfigMode(*bench.module, 2, kCom2), 7);
  EXPECT_EQ(bench.device.RequestCount(), before + 1);
  EXPECT_TRUE(delays.Pauses().empty());
}

TEST(Operations, AFailedAttemptIsRetriedOnceAfterItsPause) {
  FakeBench bench;
  TFkomunikacja& m = *bench.module;
  DelayRecorder delays;

  // Silent throughout: two transactions, each followed by the pause.
  bench.device.SetFaults(Silent());
  std::int32_t mode = 77;
  EXPECT_EQ(ReadOperatingMode(m, 2, kCom2, mode), 3);
  EXPECT_EQ(mode, 77) << "a failed read leaves the caller's value";
  EXPECT_EQ(bench.device.RequestCount(), 2);
  EXPECT_EQ(delays.Pauses(), (std::vector<std::int32_t>{100, 100}));

  delays.Clear();
  EXPECT_EQ(WriteIpPort(m, "1", 2, kCom2), 3);
  EXPECT_EQ(delays.Pauses(), (std::vector<std::int32_t>{500, 500}))
      << "writes of data pause longer";

  // Silent once: the second attempt succeeds, after one pause.
  delays.Clear();
  bench.device.SetFaults(Silent(1));
  std::string ip;
  EXPECT_EQ(ReadIpAddress(m, 2, kCom2, ip), 0);
  EXPECT_EQ(ip, "192.168.1.10");
  EXPECT_EQ(delays.Pauses(), (std::vector<std::int32_t>{100}));
}

TEST(Operations, OnlyTheLowByteOfTheModeTravels) {
  FakeBench bench;
  EXPECT_EQ(WriteOperatingMode(*bench.module, 257, 2, kCom2), 0);
  const std::string written = bench.fake.Written();
  ASSERT_EQ(written.size(), 8u);
  EXPECT_EQ(written[5], 0x01);
  std::int32_t mode = -1;
  EXPECT_EQ(ReadOperatingMode(*bench.module, 2, kCom2, mode), 0);
  EXPECT_EQ(mode, 1);
  EXPECT_EQ(WriteOperatingMode(*bench.module, 255, 2, kCom2), 0);
  EXPECT_EQ(ReadOperatingMode(*bench.module, 2, kCom2, mode), 0);
  EXPECT_EQ(mode, 255) << "the mode byte is unsigned";
}

TEST(Operations, TextsTooLongForAFrameAreNotSent) {
  FakeBench bench;
  DelayRecorder delays;
  EXPECT_EQ(WriteIpAddress(*bench.module, std::string(70000, '1'), 2, kCom2), 2);
  EXPECT_EQ(bench.fake.Written(), "");
  EXPECT_EQ(bench.device.State().ip, "192.168.1.10");
}

// Over a pseudo-terminal: the texts the device pads come back trimmed.
TEST(Operations, PaddedTextsAreTrimmed) {
  PtyBench bench;
  Faults pad;
  pad.nulPadding = 2;
  bench.device.SetFaults(pad);
  bench.device.SetState({true, 0, "192.168.1.5", "502"});
  std::string ip, port;
  EXPECT_EQ(ReadIpAddress(*bench.module, 2, kCom2, ip), 0);
  EXPECT_EQ(ip, "192.168.1.5");
  pad = {};
  pad.spacePadding = 1;
  bench.device.SetFaults(pad);
  EXPECT_EQ(ReadIpAddress(*bench.module, 2, kCom2, ip), 0);
  EXPECT_EQ(ip, "192.168.1.5");
  EXPECT_EQ(ReadIpPort(*bench.module, 2, kCom2, port), 0);
  EXPECT_EQ(port, "502");
}

// A whole Read and Send over a pseudo-terminal, as the window runs them.
TEST(Operations, ReadAndSendOverAPseudoTerminal) {
  PtyBench bench(9);
  Faults strict;
  strict.refuseOutsideConfig = true;
  bench.device.SetFaults(strict);
  TFkomunikacja& m = *bench.module;
  const LinkSettings com2{1, 6};  // 9600 bit/s
  std::int32_t mode = -1;
  EXPECT_EQ(ReadOperatingMode(m, 9, com2, mode), 7) << "not in configuration mode yet";
  EXPECT_EQ(EnterConfigMode(m, 9, com2), 0);
  EXPECT_EQ(WriteIpAddress(m, "172.16.0.1", 9, com2), 0);
  EXPECT_EQ(WriteIpPort(m, "4001", 9, com2), 0);
  EXPECT_EQ(WriteOperatingMode(m, 0, 9, com2), 0);
  std::string ip, port;
  EXPECT_EQ(ReadOperatingMode(m, 9, com2, mode), 0);
  EXPECT_EQ(ReadIpAddress(m, 9, com2, ip), 0);
  EXPECT_EQ(ReadIpPort(m, 9, com2, port), 0);
  EXPECT_EQ(LeaveConfigMode(m, 9, com2), 0);
  EXPECT_EQ(mode, 0);
  EXPECT_EQ(ip, "172.16.0.1");
  EXPECT_EQ(port, "4001");
  EXPECT_EQ(bench.device.RequestCount(), 9);
}

}  // namespace
