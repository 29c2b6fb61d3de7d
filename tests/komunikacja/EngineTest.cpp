// The two transaction engines: every result code, the port selection, both ways of
// transmitting, and what reaches the log.
#include <gtest/gtest.h>

#include <chrono>

#include "LinkTestSupport.h"
#include "stale.h"

namespace {

using namespace linktest;
using devicesim::Faults;

class Engine : public ::testing::Test {
 protected:
  void SetUp() override { LoggingEnabled = true; }
  void TearDown() override { LoggingEnabled = false; }

  // The code at the end of the fifth line of every entry.
  static std::vector<std::string> LoggedCodes(const fs::path& file) {
    std::vector<std::string> codes;
    for (const std::string& line : LogLines(file)) {
      if (line.rfind("  S: ", 0) == 0) codes.push_back(line.substr(line.rfind(' ') + 1));
    }
    return codes;
  }
};

Faults With(void (*change)(Faults&)) {
  Faults f;
  change(f);
  return f;
}

TEST_F(Engine, FixedLengthResultsAndTheirLogEntries) {
  FakeBench bench;
  TFkomunikacja& m = *bench.module;
  const ByteString enter = EnterConfigModeRequest(2);
  ByteString reply;

  EXPECT_EQ(m.Transact(enter, reply, 7, kCom2), 0);
  EXPECT_EQ(reply, BuildFrame(2, FunctionWrite, ParamEnterConfig));

  const struct {
    const char* what;
    Faults faults;
    TransactionResult expected;
  } cases[] = {
      {"silent", With([](Faults& f) { f.silent = true; }), 3},
      {"one byte short", With([](Faults& f) { f.shortBy = 1; }), 3},
      {"5 bytes, not a refusal", With([](Faults& f) { f.shortBy = 2; }), 3},
      {"bad checksum", With([](Faults& f) { f.badChecksum = true; }), 4},
      {"refused", With([](Faults& f) { f.refuseAll = true; }), 7},
      {"other address", With([](Faults& f) { f.foreignAddress = true; }), 10},
  };
  for (const auto& c : cases) {
    bench.device.SetFaults(c.faults);
    reply = "stale";
    EXPECT_EQ(m.Transact(enter, reply, 7, kCom2), c.expected) << c.what;
    EXPECT_NE(reply, "stale") << "the reply is emptied before the read: " << c.what;
  }
  // Every entry carries the real outcome, not the code before the checks.
  EXPECT_EQ(LoggedCodes(bench.LogFile()),
            (std::vector<std::string>{"0", "3", "3", "3", "4", "7", "10"}));
}

TEST_F(Engine, RefusalNeedsAValidChecksumTheAddressAndTheFlaggedFunction) {
  FakeBench bench;
  TFkomunikacja& m = *bench.module;
  const ByteString read = ReadOperatingModeRequest(2);
  ByteString reply;

  bench.ReplyOnce(RefusalFor(read));
  EXPECT_EQ(m.Transact(read, reply, 8, kCom2), 7);
  ByteString wrongFunction = Bytes({2, 0xC7, 1});
  AppendCrc(wrongFunction);
  bench.ReplyOnce(wrongFunction);
  EXPECT_EQ(m.Transact(read, reply, 8, kCom2), 3);
  bench.ReplyOnce(RefusalFor(ReadOperatingModeRequest(3)));
  EXPECT_EQ(m.Transact(read, reply, 8, kCom2), 3);
  // A length-prefixed transaction does not know refusals.
  const ByteString readIp = ReadIpAddressRequest(2);
  bench.ReplyOnce(RefusalFor(readIp));
  EXPECT_EQ(m.TransactLengthPrefixed(readIp, reply, kCom2), 3);
}

TEST_F(Engine, LengthPrefixedResults) {
  FakeBench bench;
  TFkomunikacja& m = *bench.module;
  const ByteString readIp = ReadIpAddressRequest(2);
  ByteString reply;

  EXPECT_EQ(m.TransactLengthPrefixed(readIp, reply, kCom2), 0);
  EXPECT_EQ(FrameData(reply), "192.168.1.10");

  bench.device.SetFaults(With([](Faults& f) { f.silent = true; }));
  EXPECT_EQ(m.TransactLengthPrefixed(readIp, reply, kCom2), 3);
  EXPECT_EQ(reply, "");
  bench.device.SetFaults(With([](Faults& f) { f.shortBy = 1; }));
  EXPECT_EQ(m.TransactLengthPrefixed(readIp, reply, kCom2), 3);
  EXPECT_EQ(reply.size(), 5u) << "an incomplete rest leaves only the head";
  bench.device.SetFaults(With([](Faults& f) { f.badChecksum = true; }));
  EXPECT_EQ(m.TransactLengthPrefixed(readIp, reply, kCom2), 4);
  bench.device.SetFaults(With([](Faults& f) { f.foreignAddress = true; }));
  EXPECT_EQ(m.TransactLengthPrefixed(readIp, reply, kCom2), 10);
  bench.device.SetFaults({});

  // Declared lengths that cannot be replies end the read after the head.
  for (int declared : {0, 4, 10005, 0xFFFF}) {
    bench.ReplyOnce(Bytes({2, 0x46, 0x64, declared >> 8, declared & 0xFF}) + "more bytes");
    bench.fake.ClearCalls();
    EXPECT_EQ(m.TransactLengthPrefixed(readIp, reply, kCom2), 3) << declared;
    EXPECT_EQ(bench.fake.CountOf("ReadFile"), 1) << declared;
  }
  // 10004 is still read: the rest does not come, so the result is 3 after a second read.
  bench.ReplyOnce(Bytes({2, 0x46, 0x64, 10004 >> 8, 10004 & 0xFF}));
  bench.fake.ClearCalls();
  EXPECT_EQ(m.TransactLengthPrefixed(readIp, reply, kCom2), 3);
  EXPECT_EQ(bench.fake.CountOf("ReadFile"), 2);

  EXPECT_EQ(LoggedCodes(bench.LogFile()),
            (std::vector<std::string>{"0", "3", "3", "4", "10", "3", "3", "3", "3", "3"}));
}

// Three bytes whose checksum is 00 05 make a valid frame that declares 5 bytes.
ByteString FiveByteFrame() {
  for (int f = 0; f < 256; ++f) {
    for (int p = 0; p < 256; ++p) {
      const ByteString head = Bytes({2, f, p});
      if (Crc16(head) == 0x0500) return head + Bytes({0x00, 0x05});
    }
  }
  return {};
}

// Declaring 6 bytes, the checksum's low byte is the length's low byte: search for one.
ByteString SixByteFrame() {
  for (int f = 0; f < 256; ++f) {
    for (int p = 0; p < 256; ++p) {
      const ByteString head = Bytes({2, f, p, 0x00});
      const std::uint16_t crc = Crc16(head);
      if ((crc & 0xFF) == 0x06) return head + Bytes({crc & 0xFF, crc >> 8});
    }
  }
  return {};
}

TEST_F(Engine, DeclaredLengthOfExactlyFiveReadsNoMoreAndCarriesNoText) {
  FakeBench bench;
  TFkomunikacja& m = *bench.module;
  const ByteString five = FiveByteFrame();
  ASSERT_EQ(five.size(), 5u);
  ByteString reply;
  bench.ReplyOnce(five + "junk");
  bench.fake.ClearCalls();
  EXPECT_EQ(m.TransactLengthPrefixed(ReadIpAddressRequest(2), reply, kCom2), 0);
  EXPECT_EQ(reply, five);
  EXPECT_EQ(bench.fake.CountOf("ReadFile"), 1);

  std::string ip = "unchanged";
  bench.ReplyOnce(five);
  EXPECT_EQ(m.ReadIpAddressOnce(2, kCom2, ip), 0);
  EXPECT_EQ(ip, "");
  // A valid 6-byte frame has no text either.
  const ByteString sixByte = SixByteFrame();
  ASSERT_EQ(sixByte.size(), 6u);
  std::string port = "unchanged";
  bench.ReplyOnce(sixByte);
  EXPECT_EQ(m.ReadIpPortOnce(2, kCom2, port), 0);
  EXPECT_EQ(port, "");
}

TEST_F(Engine, ExpectedLengthBelowFourTouchesNothing) {
  FakeBench bench;
  ByteString reply = "kept";
  EXPECT_EQ(bench.module->Transact(EnterConfigModeRequest(2), reply, 3, kCom2), 5);
  EXPECT_EQ(reply, "kept");
  EXPECT_TRUE(bench.fake.Calls().empty());
  EXPECT_FALSE(fs::exists(bench.LogFile()));
  // 4 is enough to run: the first 4 of 7 bytes fail the checksum.
  EXPECT_EQ(bench.module->Transact(EnterConfigModeRequest(2), reply, 4, kCom2), 4);
}

TEST_F(Engine, PortFailuresGiveOneAreNotLoggedAndTheNextTransactionReopens) {
  FakeBench bench;
  TFkomunikacja& m = *bench.module;
  const ByteString enter = EnterConfigModeRequest(2);
  ByteString reply;

  bench.fake.FailNext("CreateFile", ENOENT);
  EXPECT_EQ(m.Transact(enter, reply, 7, kCom2), 1);
  EXPECT_TRUE(bench.fake.Written().empty());

  EXPECT_EQ(m.Transact(enter, reply, 7, kCom2), 0);
  const int opens = bench.fake.CountOf("CreateFile");

  // The adapter goes away in the middle of a read.
  bench.fake.FailNext("ReadFile", EIO);
  EXPECT_EQ(m.Transact(enter, reply, 7, kCom2), 1);
  EXPECT_FALSE(m.ComPort1->Connected()) << "a failed port is closed";
  bench.fake.FailNext("PurgeComm", EIO);
  EXPECT_EQ(m.TransactLengthPrefixed(ReadIpPortRequest(2), reply, kCom2), 1);
  EXPECT_FALSE(m.ComPort1->Connected());

  EXPECT_EQ(m.Transact(enter, reply, 7, kCom2), 0);
  EXPECT_EQ(bench.fake.CountOf("CreateFile"), opens + 2);

  // No speed has an ordinal above 15: refused before the port is touched.
  bench.fake.ClearCalls();
  EXPECT_EQ(m.Transact(enter, reply, 7, LinkSettings{1, 15}), 1);
  EXPECT_EQ(m.ComPort1->BaudRate(), br19200);
  // The highest speed itself is one to use.
  EXPECT_EQ(m.Transact(enter, reply, 7, LinkSettings{1, 14}), 0);
  EXPECT_EQ(m.ComPort1->BaudRate(), br256000);

  EXPECT_EQ(LoggedCodes(bench.LogFile()), (std::vector<std::string>{"0", "0", "0"}));
}

TEST_F(Engine, SameSelectionReusesThePortOtherNameOrSpeedReopensIt) {
  FakeBench bench;
  TFkomunikacja& m = *bench.module;
  const ByteString enter = EnterConfigModeRequest(2);
  ByteString reply;
  int opens = 0, closes = 0;
  m.ComPort1->SetOnAfterOpen([&](TCustomComPort&) { ++opens; });
  m.ComPort1->SetOnAfterClose([&](TCustomComPort&) { ++closes; });

  EXPECT_EQ(m.Transact(enter, reply, 7, kCom2), 0);
  EXPECT_EQ(m.ComPort1->Port(), "COM2");
  EXPECT_EQ(m.ComPort1->BaudRate(), br19200);
  EXPECT_EQ(m.Transact(enter, reply, 7, kCom2), 0);
  EXPECT_EQ(m.TransactLengthPrefixed(ReadIpPortRequest(2), reply, kCom2), 0);
  EXPECT_EQ(opens, 1);
  EXPECT_EQ(closes, 0);

  EXPECT_EQ(m.Transact(enter, reply, 7, LinkSettings{1, 12}), 0);
  EXPECT_EQ(m.ComPort1->BaudRate(), br115200);
  EXPECT_EQ(bench.fake.LastDcb().BaudRate, 115200u);
  EXPECT_EQ((std::pair{opens, closes}), (std::pair{2, 1}));

  EXPECT_EQ(m.Transact(enter, reply, 7, LinkSettings{4, 12}), 0);
  EXPECT_EQ(m.ComPort1->Port(), "COM5");
  EXPECT_EQ(bench.fake.OpenPath(), "\\\\.\\COM5");
  EXPECT_EQ((std::pair{opens, closes}), (std::pair{3, 2}));

  // Every transaction purges both queues before it sends.
  bool purged = false;
  int writes = 0;
  for (const auto& call : bench.fake.Calls()) {
    if (call.name == "PurgeComm")
      purged = call.args[1] == (serial::PURGE_RXCLEAR | serial::PURGE_TXCLEAR);
    if (call.name == "WriteFile") {
      EXPECT_TRUE(purged) << "write " << writes;
      purged = false;
      ++writes;
    }
  }
  EXPECT_EQ(writes, 5);
}

TEST_F(Engine, DriverSwitchedTransmitterWritesTheRequestAtOnce) {
  FakeBench bench;
  TFkomunikacja& m = *bench.module;
  EXPECT_EQ(m.ComPort1->FlowControl().ControlRTS(), rtsToggle);
  DelayRecorder delays;
  ByteString reply;
  EXPECT_EQ(m.Transact(EnterConfigModeRequest(2), reply, 7, kCom2), 0);
  EXPECT_EQ(bench.fake.Written(), EnterConfigModeRequest(2));
  EXPECT_EQ(bench.fake.Immediates(), "");
  EXPECT_TRUE(bench.fake.Escapes().empty());
  EXPECT_TRUE(delays.Delays().empty());

  // A write cut short by its time-out: result 2, no log entry.
  bench.fake.SetWriteLimit(3);
  EXPECT_EQ(m.Transact(EnterConfigModeRequest(2), reply, 7, kCom2), 2);
  EXPECT_EQ(m.TransactLengthPrefixed(ReadIpAddressRequest(2), reply, kCom2), 2);
  EXPECT_EQ(LoggedCodes(bench.LogFile()), (std::vector<std::string>{"0"}));
}

TEST_F(Engine, ProgramSwitchedTransmitterSendsByteByByteBetweenGuardTimes) {
  FakeBench bench(2, /*platformId=*/1);
  TFkomunikacja& m = *bench.module;
  EXPECT_EQ(m.ComPort1->FlowControl().ControlRTS(), rtsDisable);
  DelayRecorder delays;
  const ByteString request = ReadOperatingModeRequest(2);
  ByteString reply;

  bench.fake.RefuseImmediate(999);  // the first byte goes through on its last try
  EXPECT_EQ(m.Transact(request, reply, 8, kCom2), 3) << "nothing answers immediate bytes here";
  EXPECT_EQ(bench.fake.Immediates(), request);
  EXPECT_EQ(bench.fake.Written(), "");
  EXPECT_EQ(bench.fake.Escapes(), (std::vector<std::uint32_t>{serial::SETRTS, serial::CLRRTS}));
  EXPECT_FALSE(bench.fake.Rts());
  const DelayRecorder::Delay guard{TxGuardMicros, true};
  EXPECT_EQ(delays.Delays(), (std::vector<DelayRecorder::Delay>{guard, guard}));

  // A byte refused 1000 times stops the frame; RTS still drops after the guard time.
  const std::string before = bench.fake.Immediates();
  delays.Clear();
  bench.fake.RefuseImmediate(1000);
  EXPECT_EQ(m.Transact(request, reply, 8, kCom2), 2);
  EXPECT_EQ(bench.fake.Immediates(), before) << "nothing after the refused byte is sent";
  EXPECT_EQ(bench.fake.Escapes(), (std::vector<std::uint32_t>{serial::SETRTS, serial::CLRRTS,
                                                              serial::SETRTS, serial::CLRRTS}));
  EXPECT_FALSE(bench.fake.Rts());
  EXPECT_EQ(delays.Delays(), (std::vector<DelayRecorder::Delay>{guard, guard}));
  EXPECT_EQ(LoggedCodes(bench.LogFile()), (std::vector<std::string>{"3"}));
}

// Over a real pseudo-terminal, against the simulator on its own thread.
TEST_F(Engine, OverAPseudoTerminal) {
  PtyBench bench;
  TFkomunikacja& m = *bench.module;
  ByteString reply;
  EXPECT_EQ(m.Transact(EnterConfigModeRequest(2), reply, 7, kCom2), 0);
  EXPECT_EQ(m.TransactLengthPrefixed(ReadIpAddressRequest(2), reply, kCom2), 0);
  EXPECT_EQ(FrameData(reply), "192.168.1.10");

  Faults split;
  split.splitBytes = 3;
  split.gapMs = 15;
  bench.device.SetFaults(split);
  EXPECT_EQ(m.TransactLengthPrefixed(ReadIpPortRequest(2), reply, kCom2), 0)
      << "a reply in pieces is read whole";
  EXPECT_EQ(FrameData(reply), "502");

  Faults silent;
  silent.silent = true;
  bench.device.SetFaults(silent);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(m.Transact(EnterConfigModeRequest(2), reply, 7, kCom2), 3);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(150 + 2 * 7));
  EXPECT_LT(waited, std::chrono::seconds(5));
  bench.device.SetFaults({});

  // The terminal goes away (adapter pulled) and comes back under the same name.
  bench.server.reset();
  EXPECT_EQ(m.Transact(EnterConfigModeRequest(2), reply, 7, kCom2), 1);
  bench.Start();
  EXPECT_EQ(m.Transact(EnterConfigModeRequest(2), reply, 7, kCom2), 0);
}

TEST_F(Engine, ProgramSwitchedTransmitterOverAPseudoTerminal) {
  PtyBench bench(2, /*platformId=*/1);
  ByteString reply;
  EXPECT_EQ(bench.module->Transact(WriteOperatingModeRequest(2, 1), reply, 8, kCom2), 0);
  EXPECT_EQ(bench.device.State().mode, 1);
}

}  // namespace
