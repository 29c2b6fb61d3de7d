// The real window and device link against konfigurator-sim in a process of its own, on a
// pseudo-terminal reached as COM2: every fault the simulator offers, the simulator killed and
// started again, and a port that another program holds.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QStringList>

#include <cstdio>
#include <functional>
#include <memory>

#include "FaultSupport.h"
#include "IntEdit.h"
#include "JvIPAddress.h"
#include "LinuxSerialApi.h"
#include "komunikacja.h"
#include "main.h"

using namespace faults;

namespace {

class RecordingForm : public TForm1 {
 public:
  using TForm1::TForm1;
  QStringList messages;

 protected:
  void ShowMessage(const QString& text, const QString&) override { messages << text; }
};

QString Pl(const char* utf8) { return QString::fromUtf8(utf8); }
const QString EnterFailed = Pl("Błąd wprowadzania w tryb");

using Strings = std::vector<std::string>;
using IntList = std::vector<int>;
const LinkSettings kCom2{1, 8};  // the window's defaults: COM2, 19200 bit/s

// The window and its module over the real serial layer, with the log and the port links in a
// scratch folder.
class Rig {
 public:
  Rig() {
    LoggingEnabled = true;
    TFkomunikacja::Options options;
    options.logDirectory = dir.path().string();
    options.portsDirectory = dir.path().string();
    module = std::make_unique<TFkomunikacja>(serial::SystemSerialApi(), options);
    form = std::make_unique<RecordingForm>(module.get());
  }
  ~Rig() {
    form.reset();
    module.reset();
    serial::SetPortsDirectory("");
    LoggingEnabled = false;
  }

  // The log so far, emptied for the next phase.
  std::vector<LogEntry> TakeLog() {
    std::vector<LogEntry> entries;
    if (fs::exists(LogFile())) entries = ReadLog(LogFile());
    fs::remove(LogFile());
    return entries;
  }
  fs::path LogFile() const { return dir.path() / "trans.txt"; }

  // Milliseconds the flow took.
  qint64 Read() {
    QElapsedTimer clock;
    clock.start();
    form->SpeedButton1Click(form->SpeedButton1);
    return clock.elapsed();
  }
  qint64 Send() {
    QElapsedTimer clock;
    clock.start();
    form->SpeedButton2Click(form->SpeedButton2);
    return clock.elapsed();
  }

  TempDir dir;
  std::unique_ptr<TFkomunikacja> module;
  std::unique_ptr<RecordingForm> form;
};

std::string Join(const QStringList& list) { return list.join(" | ").toStdString(); }

// The requests the log shows are the ones the simulator saw, in order.
void ExpectSameRequests(const std::vector<LogEntry>& log, const std::vector<SimExchange>& sim) {
  ASSERT_EQ(log.size(), sim.size());
  for (std::size_t i = 0; i < log.size(); ++i)
    EXPECT_EQ(HexDump(log[i].request), HexDump(sim[i].request)) << "exchange " << i;
}

const Strings kFullRead = {"Enter", "ReadMode", "ReadIp", "ReadPort", "Leave"};
const Strings kRetriedRead = {"Enter", "Enter", "ReadMode", "ReadIp", "ReadPort", "Leave"};

struct Phase {
  QStringList messages;
  Strings ops;
  IntList codes;
};

struct FaultCase {
  const char* name;
  Strings args;
  // The device operation called on its own, with the fault on every request.
  int result;
  Strings opOps;
  IntList opCodes;
  // The Read flow with the fault on every request (empty ops: not run).
  Phase always;
  // The Read flow with the fault on the first request only.
  Phase once;
  std::function<void(Rig&)> extra = {};
};

std::ostream& operator<<(std::ostream& out, const FaultCase& c) { return out << c.name; }

const Phase kClean{{}, kFullRead, {0, 0, 0, 0, 0}};

Phase Retried(int code) { return {{}, kRetriedRead, {code, 0, 0, 0, 0, 0}}; }

const FaultCase kCases[] = {
    {"Silence",
     {"--silent"},
     3,
     {"Enter", "Enter"},
     {3, 3},
     {{EnterFailed}, {"Enter", "Enter"}, {3, 3}},
     Retried(3)},
    {"Refusal",
     {"--refuse"},
     7,
     {"Enter"},
     {7},
     {{EnterFailed}, {"Enter"}, {7}},
     {{EnterFailed}, {"Enter"}, {7}}},
    {"BadChecksum",
     {"--bad-checksum"},
     4,
     {"Enter", "Enter"},
     {4, 4},
     {{EnterFailed}, {"Enter", "Enter"}, {4, 4}},
     Retried(4)},
    {"OtherAddress",
     {"--foreign-address"},
     10,
     {"Enter", "Enter"},
     {10, 10},
     {{EnterFailed}, {"Enter", "Enter"}, {10, 10}},
     Retried(10)},
    {"ShortReply",
     {"--short", "1"},
     3,
     {"Enter", "Enter"},
     {3, 3},
     {{EnterFailed}, {"Enter", "Enter"}, {3, 3}},
     Retried(3)},
    // Only the length-prefixed replies read the length field: the texts fail, the rest works.
    {"WrongDeclaredLength",
     {"--declared-length", "9"},
     0,
     {"Enter"},
     {0},
     {{Pl("Błąd odczytu IP"), Pl("Błąd odczytu port")},
      {"Enter", "ReadMode", "ReadIp", "ReadIp", "ReadPort", "ReadPort", "Leave"},
      {0, 0, 4, 4, 4, 4, 0}},
     kClean},
    {"DeclaredLengthBelowHead",
     {"--declared-length", "3"},
     0,
     {"Enter"},
     {0},
     {{Pl("Błąd odczytu IP"), Pl("Błąd odczytu port")},
      {"Enter", "ReadMode", "ReadIp", "ReadIp", "ReadPort", "ReadPort", "Leave"},
      {0, 0, 3, 3, 3, 3, 0}},
     kClean},
    {"Padding",
     {"--nul-pad", "2", "--space-pad", "3"},
     0,
     {"Enter"},
     {0},
     kClean,
     kClean,
     [](Rig& rig) {
       EXPECT_EQ(rig.form->JvIPAddress1->Text(), "192.168.1.10");
       EXPECT_EQ(rig.form->IntEdit1->text(), "502");
     }},
    {"DelayInsideTimeout", {"--delay", "300"}, 0, {"Enter"}, {0}, kClean, kClean},
    // A reply that comes after its read gave up is taken by the retry, which sent the same
    // request: the operation succeeds on its second attempt.
    {"DelayPastTimeout", {"--delay", "2600"}, 0, {"Enter", "Enter"}, {3, 0}, {}, Retried(3)},
    {"SplitReplies", {"--split", "3", "--gap", "20"}, 0, {"Enter"}, {0}, kClean, kClean},
};

class FaultMatrix : public ::testing::TestWithParam<FaultCase> {};

TEST_P(FaultMatrix, OperationAndReadFlow) {
  const FaultCase& c = GetParam();
  Rig rig;
  qint64 opMs = 0, alwaysMs = 0, onceMs = 0;
  {
    SimProcess sim(rig.dir.path(), c.args);
    QElapsedTimer clock;
    clock.start();
    const int result = EnterConfigMode(*rig.module, 2, kCom2);
    opMs = clock.elapsed();
    EXPECT_EQ(result, c.result);
    EXPECT_LT(opMs, 10000);
    const auto exchanges = sim.Exchanges(c.opOps.size());
    EXPECT_EQ(Ops(exchanges), c.opOps);
    const auto log = rig.TakeLog();
    EXPECT_EQ(Codes(log), c.opCodes);
    ExpectSameRequests(log, exchanges);

    if (!c.always.ops.empty()) {
      // The device leaves configuration mode on its own before the next operator action.
      sim.Forget();
      alwaysMs = rig.Read();
      EXPECT_EQ(rig.form->messages, c.always.messages) << Join(rig.form->messages);
      EXPECT_LT(alwaysMs, 20000);
      const auto flow = sim.Exchanges(c.always.ops.size());
      EXPECT_EQ(Ops(flow), c.always.ops);
      const auto flowLog = rig.TakeLog();
      EXPECT_EQ(Codes(flowLog), c.always.codes);
      ExpectSameRequests(flowLog, flow);
      if (c.extra) c.extra(rig);
    }
  }
  {
    Strings args = c.args;
    args.insert(args.end(), {"--times", "1"});
    // A fresh device on a fresh terminal: the port is opened anew, as at program start.
    rig.module->ComPort1->CloseDevice();
    SimProcess sim(rig.dir.path(), args);
    rig.form->messages.clear();
    onceMs = rig.Read();
    EXPECT_EQ(rig.form->messages, c.once.messages) << Join(rig.form->messages);
    EXPECT_LT(onceMs, 20000);
    const auto flow = sim.Exchanges(c.once.ops.size());
    EXPECT_EQ(Ops(flow), c.once.ops);
    const auto log = rig.TakeLog();
    EXPECT_EQ(Codes(log), c.once.codes);
    ExpectSameRequests(log, flow);
  }
  std::printf("[fault] %s: operation %lld ms, Read always %lld ms, Read once %lld ms\n", c.name,
              static_cast<long long>(opMs), static_cast<long long>(alwaysMs),
              static_cast<long long>(onceMs));
}

INSTANTIATE_TEST_SUITE_P(Sim, FaultMatrix, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Flows, HonestDeviceReadThenSend) {
  Rig rig;
  SimProcess sim(rig.dir.path(), {"--ip", "10.1.2.3", "--ip-port", "4001", "--mode", "0"});
  rig.Read();
  EXPECT_TRUE(rig.form->messages.isEmpty()) << Join(rig.form->messages);
  EXPECT_EQ(rig.form->JvIPAddress1->Text(), "10.1.2.3");
  EXPECT_EQ(rig.form->IntEdit1->text(), "4001");
  auto exchanges = sim.Exchanges(5);
  EXPECT_EQ(Ops(exchanges), kFullRead);
  auto log = rig.TakeLog();
  EXPECT_EQ(Codes(log), IntList(5, 0));
  ExpectSameRequests(log, exchanges);
  // Every reply was read whole: the log holds what the device sent.
  for (std::size_t i = 0; i < log.size() && i < exchanges.size(); ++i)
    EXPECT_EQ(HexDump(log[i].reply), HexDump(exchanges[i].reply));

  sim.Forget();
  rig.form->JvIPAddress1->SetText("172.16.5.6");
  rig.form->IntEdit1->SetValue(8080);
  rig.form->ComboBox1->setCurrentIndex(1);
  rig.Send();
  EXPECT_TRUE(rig.form->messages.isEmpty()) << Join(rig.form->messages);
  exchanges = sim.Exchanges(6);
  EXPECT_EQ(Ops(exchanges),
            Strings({"Enter", "WriteIp", "WritePort", "ReadMode", "WriteMode", "Leave"}));
  log = rig.TakeLog();
  EXPECT_EQ(Codes(log), IntList(6, 0));
  ExpectSameRequests(log, exchanges);

  // What was sent is what the device now holds: in RS485 mode only the mode is read back,
  // so switch it to LAN again (the fields still hold what was sent) and read everything.
  sim.Forget();
  rig.Read();
  EXPECT_EQ(rig.form->ComboBox1->currentText(), "RS485");
  EXPECT_EQ(Ops(sim.Exchanges(3)), Strings({"Enter", "ReadMode", "Leave"}));
  rig.form->ComboBox1->setCurrentIndex(0);
  rig.Send();
  rig.form->JvIPAddress1->SetText("0.0.0.0");
  rig.form->IntEdit1->SetValue(0);
  sim.Forget();
  rig.Read();
  EXPECT_EQ(rig.form->ComboBox1->currentText(), "LAN");
  EXPECT_EQ(rig.form->JvIPAddress1->Text(), "172.16.5.6");
  EXPECT_EQ(rig.form->IntEdit1->text(), "8080");
  EXPECT_TRUE(rig.form->messages.isEmpty()) << Join(rig.form->messages);
}

// The device dies while the Read flow waits for a reply, as when the adapter is pulled.
TEST(Unplug, KilledMidReadEndsTheFlowAndTheNextReadWorksOnceItIsBack) {
  Rig rig;
  // Enter is answered; the mode request meets silence and is reported as soon as it arrives,
  // so the plug is pulled while the flow waits for that reply, however slow the machine.
  auto sim = std::make_unique<SimProcess>(rig.dir.path(), Strings{"--silent", "--after", "1"});
  std::thread killer([&] {
    sim->WaitForExchange(2, 30s);
    sim->Unplug();
  });
  const qint64 ms = rig.Read();
  killer.join();
  EXPECT_EQ(rig.form->messages, QStringList({Pl("Błąd odczytu")})) << Join(rig.form->messages);
  // Bounded by the time-outs: the wait, two mode attempts and two Leave attempts at most.
  EXPECT_LT(ms, 1000 + 2 * (1016 + 100) + 2 * (2014 + 100) + 3000);
  const auto log = rig.TakeLog();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.front().code, 0);
  EXPECT_EQ(OperationOf(log.front().request), "Enter");
  for (std::size_t i = 1; i < log.size(); ++i) EXPECT_NE(log[i].code, 0) << "entry " << i;
  std::printf("[unplug] killed mid-read: flow ended after %lld ms, %zu log entries\n",
              static_cast<long long>(ms), log.size());

  // Plugged back in: a new simulator on the same ports/COM2, same program run.
  sim = std::make_unique<SimProcess>(rig.dir.path(), Strings{"--ip", "10.9.8.7"});
  rig.form->messages.clear();
  rig.Read();
  EXPECT_TRUE(rig.form->messages.isEmpty()) << Join(rig.form->messages);
  EXPECT_EQ(rig.form->JvIPAddress1->Text(), "10.9.8.7");
  EXPECT_EQ(Ops(sim->Exchanges(5)), kFullRead);
  EXPECT_EQ(Codes(rig.TakeLog()), IntList(5, 0));
}

TEST(Unplug, KilledBetweenFlowsTheNextReadReportsAndTheOneAfterReplugWorks) {
  Rig rig;
  auto sim = std::make_unique<SimProcess>(rig.dir.path(), Strings{});
  rig.Read();
  ASSERT_TRUE(rig.form->messages.isEmpty()) << Join(rig.form->messages);
  rig.TakeLog();
  sim->Unplug();  // the port is still open on the dead terminal
  const qint64 ms = rig.Read();
  EXPECT_EQ(rig.form->messages, QStringList({EnterFailed}));
  EXPECT_LT(ms, 2 * (2014 + 100) + 3000);
  for (const auto& e : rig.TakeLog()) EXPECT_NE(e.code, 0);

  sim = std::make_unique<SimProcess>(rig.dir.path(), Strings{});
  rig.form->messages.clear();
  rig.Read();
  EXPECT_TRUE(rig.form->messages.isEmpty()) << Join(rig.form->messages);
  EXPECT_EQ(Codes(rig.TakeLog()), IntList(5, 0));
}

// Another program has the port open and locked, as a terminal program would.
TEST(PortHeld, EnterFailsNothingIsSentNothingLogged) {
  Rig rig;
  SimProcess sim(rig.dir.path(), {});
  const fs::path tty = fs::read_symlink(rig.dir.path() / "COM2");
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t holder = ::fork();
  ASSERT_GE(holder, 0);
  if (holder == 0) {
    const int fd = ::open(tty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    const char ok = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::ioctl(fd, TIOCEXCL) == 0;
    if (::write(ready[1], &ok, 1) != 1) ::_exit(1);
    ::pause();
    ::_exit(0);
  }
  ::close(ready[1]);
  char ok = 0;
  ASSERT_EQ(::read(ready[0], &ok, 1), 1);
  ::close(ready[0]);
  ASSERT_TRUE(ok) << "the holder could not take " << tty;

  const qint64 ms = rig.Read();
  EXPECT_EQ(rig.form->messages, QStringList({EnterFailed}));
  EXPECT_LT(ms, 2000) << "no read time-out is waited for when the port cannot be opened";
  rig.Send();
  EXPECT_EQ(rig.form->messages, QStringList({EnterFailed, EnterFailed}));
  EXPECT_TRUE(sim.Exchanges(0, 0ms).empty()) << "a request reached the device";
  EXPECT_FALSE(fs::exists(rig.LogFile()));

  // Once the other program lets go, the port is ours.
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
  rig.form->messages.clear();
  rig.Read();
  EXPECT_TRUE(rig.form->messages.isEmpty()) << Join(rig.form->messages);
  EXPECT_EQ(Ops(sim.Exchanges(5)), kFullRead);
}

}  // namespace
