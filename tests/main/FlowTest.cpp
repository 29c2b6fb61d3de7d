// The Read and Send flows of the real window, through the real device link, over a
// pseudo-terminal, against the simulated device.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCursor>
#include <QElapsedTimer>
#include <QFont>
#include <QTest>

#include <fcntl.h>
#include <grp.h>
#include <pty.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <mutex>
#include <string>
#include <vector>

#include "ErrorReport.h"
#include "FakeDeviceTree.h"
#include "FakeSerialApi.h"
#include "IntEdit.h"
#include "JvIPAddress.h"
#include "LinuxSerialApi.h"
#include "PortList.h"
#include "PtyServer.h"
#include "RxSpinEdit.h"
#include "komunikacja.h"
#include "main.h"

namespace fs = std::filesystem;
using devicesim::Faults;

namespace {

bool BusyCursorShown() {
  const QCursor* c = QGuiApplication::overrideCursor();
  return c && c->shape() == Qt::WaitCursor;
}

// The window with its message boxes recorded instead of shown.
class RecordingForm : public TForm1 {
 public:
  using TForm1::TForm1;
  QStringList messages;
  QStringList details;
  // Whether the busy pointer was up when each message was shown.
  std::vector<bool> busyAtMessage;
  bool throwAtMessage = false;

 protected:
  void ShowMessage(const QString& text, const QString& why) override {
    messages << text;
    details << why;
    busyAtMessage.push_back(BusyCursorShown());
    if (throwAtMessage) throw std::runtime_error("message box failed");
  }
};

QString Pl(const char* utf8) { return QString::fromUtf8(utf8); }

const QString EnterFailed = Pl("Błąd wprowadzania w tryb");

std::string OperationOf(const ByteString& request) {
  if (request.size() < 3) return "?";
  const auto function = std::uint8_t(request[1]);
  const auto parameter = std::uint8_t(request[2]);
  const bool write = function == FunctionWrite;
  switch (parameter) {
    case ParamEnterConfig:
      return "EnterConfigMode";
    case ParamLeaveConfig:
      return "LeaveConfigMode";
    case ParamOperatingMode:
      return write ? "WriteOperatingMode" : "ReadOperatingMode";
    case ParamIpAddress:
      return write ? "WriteIpAddress" : "ReadIpAddress";
    case ParamIpPort:
      return write ? "WriteIpPort" : "ReadIpPort";
  }
  return "?";
}

using Ops = std::vector<std::string>;

// The far end of a real wire when the VM test bed names one (scripts/serial-vm.sh): the
// device is served there and the window reaches it through the port wired to it.
std::string WireEnv(const char* name) {
  const char* v = std::getenv(name);
  return v && std::getenv("KONF_SERIAL_DEVICE") && std::getenv("KONF_SERIAL_PEER") ? v : "";
}

// A device at the end of a pseudo-terminal that the window reaches as COM2 (or any COMn).
class Bench {
 public:
  explicit Bench(DeviceAddress address = 2)
      : device(address),
        server_(
            device, [this](const devicesim::Exchange& e) { Exchanged(e); },
            WireEnv("KONF_SERIAL_PEER")) {
    std::string tmpl = (fs::temp_directory_path() / "konf-ports-XXXXXX").string();
    ports_ = ::mkdtemp(tmpl.data());
    Link("COM2");
    TFkomunikacja::Options options;
    options.portsDirectory = ports_.string();
    options.logDirectory = ports_.string();  // keeps trans.txt out of the shared bin folder
    komunikacja = std::make_unique<TFkomunikacja>(serial::SystemSerialApi(), options);
    form.SetKomunikacja(komunikacja.get());
    form.show();
  }
  ~Bench() {
    komunikacja.reset();  // closes the port before the terminal goes
    serial::SetPortsDirectory("");
    std::error_code ec;
    fs::remove_all(ports_, ec);
  }

  void Link(const std::string& name) {
    const std::string wire = WireEnv("KONF_SERIAL_DEVICE");
    fs::create_symlink(wire.empty() ? server_.SlavePath() : wire, ports_ / name);
  }
  void LinkTo(const std::string& name, const fs::path& target) {
    fs::create_symlink(target, ports_ / name);
  }
  const fs::path& Ports() const { return ports_; }
  std::string SlavePath() const { return server_.SlavePath(); }

  // After the next request of this operation, the device takes these faults.
  void After(const std::string& operation, const Faults& faults) {
    std::lock_guard lock(mutex_);
    triggers_.push_back({operation, faults});
  }

  // The server reports an exchange only after it has written the reply, so a flow can be back
  // before its last request is recorded: these wait until every request the device has taken
  // is.
  Ops Requests() {
    Ops ops;
    for (const ByteString& r : RawRequests()) ops.push_back(OperationOf(r));
    return ops;
  }
  std::vector<ByteString> RawRequests() {
    std::unique_lock lock(mutex_);
    // Generous: a missing request fails the comparison that follows, not this wait.
    recorded_.wait_for(lock, std::chrono::seconds(20),
                       [&] { return taken_ >= device.RequestCount(); });
    return requests_;
  }
  void Forget() {
    std::lock_guard lock(mutex_);
    requests_.clear();
  }

  void Read() { QTest::mouseClick(form.SpeedButton1, Qt::LeftButton); }
  void Send() { QTest::mouseClick(form.SpeedButton2, Qt::LeftButton); }

  devicesim::Device device;

 private:
  // On the server thread, between one exchange and the next request: faults set here are in
  // place before the next request is taken.
  void Exchanged(const devicesim::Exchange& e) {
    std::lock_guard lock(mutex_);
    requests_.push_back(e.request);
    taken_ = device.RequestCount();
    recorded_.notify_all();
    const std::string op = OperationOf(e.request);
    for (auto it = triggers_.begin(); it != triggers_.end(); ++it) {
      if (it->first == op) {
        device.SetFaults(it->second);
        triggers_.erase(it);
        break;
      }
    }
  }

  std::mutex mutex_;
  std::condition_variable recorded_;
  std::vector<ByteString> requests_;
  int taken_ = 0;  // the device's request count when the last exchange was recorded
  std::vector<std::pair<std::string, Faults>> triggers_;
  devicesim::PtyServerThread server_;
  fs::path ports_;

 public:
  std::unique_ptr<TFkomunikacja> komunikacja;
  RecordingForm form;
};

Faults Refuse(int times) {
  Faults f;
  f.refuseAll = true;
  f.times = times;
  return f;
}

devicesim::DeviceState State(std::uint8_t mode, const ByteString& ip, const ByteString& port) {
  devicesim::DeviceState s;
  s.mode = mode;
  s.ip = ip;
  s.port = port;
  return s;
}

}  // namespace

// The order of requests each flow sends to a device that answers everything.

TEST(ReadFlow, DeviceInLanModeFillsAllThreeFields) {
  Bench b;
  b.device.SetState(State(0, "10.20.30.40", "4001"));
  b.form.ComboBox1->setCurrentIndex(1);
  QElapsedTimer clock;
  clock.start();
  b.Read();
  EXPECT_GE(clock.elapsed(), 1000) << "the settling wait after entering configuration mode";
  EXPECT_EQ(b.Requests(), Ops({"EnterConfigMode", "ReadOperatingMode", "ReadIpAddress",
                               "ReadIpPort", "LeaveConfigMode"}));
  EXPECT_TRUE(b.form.messages.isEmpty()) << b.form.messages.join("|").toStdString();
  EXPECT_EQ(b.form.ComboBox1->currentText(), "LAN");
  EXPECT_EQ(b.form.JvIPAddress1->Text(), "10.20.30.40");
  EXPECT_EQ(b.form.IntEdit1->text(), "4001");
  EXPECT_FALSE(b.device.State().configMode) << "the device was left in configuration mode";
}

TEST(ReadFlow, DeviceInRs485ModeLeavesIpAndPortAlone) {
  Bench b;
  b.device.SetState(State(1, "10.20.30.40", "4001"));
  b.form.JvIPAddress1->SetText("1.2.3.4");
  b.form.IntEdit1->SetValue(77);
  b.Read();
  EXPECT_EQ(b.Requests(), Ops({"EnterConfigMode", "ReadOperatingMode", "LeaveConfigMode"}));
  EXPECT_EQ(b.form.ComboBox1->currentText(), "RS485");
  EXPECT_EQ(b.form.JvIPAddress1->Text(), "1.2.3.4");
  EXPECT_EQ(b.form.IntEdit1->text(), "77");
  EXPECT_TRUE(b.form.messages.isEmpty());
}

TEST(SendFlow, ModeUnchangedWritesIpAndPortButNoMode) {
  Bench b;
  b.device.SetState(State(0, "192.168.1.10", "502"));
  b.form.JvIPAddress1->SetText("172.16.0.9");
  b.Send();
  EXPECT_EQ(b.Requests(), Ops({"EnterConfigMode", "WriteIpAddress", "WriteIpPort",
                               "ReadOperatingMode", "LeaveConfigMode"}));
  EXPECT_TRUE(b.form.messages.isEmpty()) << b.form.messages.join("|").toStdString();
  EXPECT_EQ(b.device.State().ip, "172.16.0.9");
  // The port field in its initial state sends the single digit 0.
  EXPECT_EQ(b.device.State().port, "0");
}

TEST(SendFlow, ModeChangedIsWrittenAfterItIsRead) {
  Bench b;
  b.device.SetState(State(0, "192.168.1.10", "502"));
  b.form.ComboBox1->setCurrentIndex(1);
  b.form.IntEdit1->SetValue(70000);  // not limited to 16 bits: sent as shown
  b.Send();
  EXPECT_EQ(b.Requests(), Ops({"EnterConfigMode", "WriteIpAddress", "WriteIpPort",
                               "ReadOperatingMode", "WriteOperatingMode", "LeaveConfigMode"}));
  EXPECT_TRUE(b.form.messages.isEmpty());
  EXPECT_EQ(b.device.State().mode, 1);
  EXPECT_EQ(b.device.State().port, "70000");
}

// What the device says, and how the window shows it.

TEST(ReadFlow, ModeTheListDoesNotKnowLeavesNoSelection) {
  Bench b;
  b.device.SetState(State(2, "10.20.30.40", "4001"));
  b.form.IntEdit1->SetValue(5);
  b.Read();
  EXPECT_EQ(b.form.ComboBox1->currentIndex(), -1);
  EXPECT_EQ(b.form.ComboBox1->currentText(), "");
  EXPECT_EQ(b.form.JvIPAddress1->Text(), "0.0.0.0");
  EXPECT_EQ(b.form.IntEdit1->text(), "5");
  EXPECT_EQ(b.Requests().back(), "LeaveConfigMode");
}

TEST(ReadFlow, FailedIpReadStillReadsThePort) {
  Bench b;
  b.device.SetState(State(0, "10.20.30.40", "4001"));
  // Text reads know no refusal: both attempts must fail.
  b.After("ReadOperatingMode", Refuse(2));
  b.Read();
  EXPECT_EQ(b.form.messages, QStringList({Pl("Błąd odczytu IP")}));
  EXPECT_EQ(b.form.JvIPAddress1->Text(), "0.0.0.0");
  EXPECT_EQ(b.form.IntEdit1->text(), "4001");
  EXPECT_EQ(b.Requests().back(), "LeaveConfigMode");
}

TEST(ReadFlow, FailedPortReadIsReportedAndTheDeviceReleased) {
  Bench b;
  b.device.SetState(State(0, "10.20.30.40", "4001"));
  b.After("ReadIpAddress", Refuse(2));
  b.Read();
  EXPECT_EQ(b.form.messages, QStringList({Pl("Błąd odczytu port")}));
  EXPECT_EQ(b.form.JvIPAddress1->Text(), "10.20.30.40");
  EXPECT_EQ(b.form.IntEdit1->text(), "0");
  EXPECT_EQ(b.Requests().back(), "LeaveConfigMode");
}

TEST(ReadFlow, PortTextThatIsNoNumberEndsTheBlockSilently) {
  for (const char* port : {"abc", ""}) {
    Bench b;
    b.device.SetState(State(0, "10.1.2", port));
    b.form.IntEdit1->SetValue(8080);
    b.Read();
    EXPECT_TRUE(b.form.messages.isEmpty()) << "port text '" << port << "'";
    // The IP was already in; a short IP text fills up with zeros.
    EXPECT_EQ(b.form.JvIPAddress1->Text(), "10.1.2.0");
    EXPECT_EQ(b.form.IntEdit1->text(), "8080");
    EXPECT_EQ(b.Requests().back(), "LeaveConfigMode");
  }
}

// Failures.

TEST(SendFlow, ThreeFailuresGiveThreeMessagesInOrderAndStillRelease) {
  Bench b;
  b.After("EnterConfigMode", Refuse(3));
  b.form.ComboBox1->setCurrentIndex(1);
  b.Send();
  EXPECT_EQ(b.form.messages,
            QStringList({Pl("Błąd zapisu IP"), Pl("Błąd zapisu port"), Pl("Błąd odczytu trybu")}));
  // A refusal is final: one request each, and no mode written without a mode read.
  EXPECT_EQ(b.Requests(), Ops({"EnterConfigMode", "WriteIpAddress", "WriteIpPort",
                               "ReadOperatingMode", "LeaveConfigMode"}));
}

TEST(SendFlow, FailedModeWriteIsReported) {
  Bench b;
  b.After("ReadOperatingMode", Refuse(1));
  b.form.ComboBox1->setCurrentIndex(1);
  b.Send();
  EXPECT_EQ(b.form.messages, QStringList({Pl("Błąd zapisu")}));
  EXPECT_EQ(b.Requests().back(), "LeaveConfigMode");
}

TEST(Flows, RefusedEnterGivesOneMessageAndNothingFollows) {
  Bench b;
  b.device.SetFaults(Refuse(1));
  b.Send();
  EXPECT_EQ(b.form.messages, QStringList({EnterFailed}));
  EXPECT_EQ(b.Requests(), Ops({"EnterConfigMode"}));

  b.Forget();
  b.form.messages.clear();
  b.device.SetFaults(Refuse(1));
  b.Read();
  EXPECT_EQ(b.form.messages, QStringList({EnterFailed}));
  EXPECT_EQ(b.Requests(), Ops({"EnterConfigMode"}));
}

TEST(Flows, SilentDeviceIsTriedTwiceThenTheFlowEnds) {
  Bench b;
  Faults silent;
  silent.silent = true;
  b.device.SetFaults(silent);
  b.Read();
  EXPECT_EQ(b.form.messages, QStringList({EnterFailed}));
  EXPECT_EQ(b.Requests(), Ops({"EnterConfigMode", "EnterConfigMode"}));
}

TEST(Flows, EmptyLastComItemIsCom81) {
  Bench b;
  b.Link("COM81");
  b.form.ComboBox2->setCurrentIndex(80);
  b.form.ComboBox3->setCurrentIndex(14);  // 256000
  b.device.SetState(State(1, "1.1.1.1", "1"));
  b.Read();
  EXPECT_TRUE(b.form.messages.isEmpty()) << b.form.messages.join("|").toStdString();
  EXPECT_EQ(b.form.ComboBox1->currentText(), "RS485");
}

TEST(Flows, PressingAButtonLeavesFocusAndUnfinishedEditInTheField) {
  Bench b;
  QApplication::setActiveWindow(&b.form);
  b.form.IntEdit1->setFocus();
  b.form.IntEdit1->clear();
  QTest::keyClicks(b.form.IntEdit1, "+0080");
  b.Send();
  EXPECT_EQ(QApplication::focusWidget(), b.form.IntEdit1);
  EXPECT_EQ(b.form.IntEdit1->text(), "+0080");
  EXPECT_EQ(b.device.State().port, "80");
}

// Values a flow cannot use as they stand, and a failed mode read: what the window does instead.

TEST(ReadFlow, FailedModeReadSkipsIpAndPortAndReleases) {
  Bench b;
  b.device.SetState(State(0, "10.20.30.40", "4001"));
  b.After("EnterConfigMode", Refuse(1));
  b.form.ComboBox1->setCurrentIndex(1);
  b.Read();
  EXPECT_EQ(b.form.messages, QStringList({Pl("Błąd odczytu")}));
  EXPECT_EQ(b.Requests(), Ops({"EnterConfigMode", "ReadOperatingMode", "LeaveConfigMode"}));
  EXPECT_EQ(b.form.ComboBox1->currentText(), "RS485");
  EXPECT_EQ(b.form.JvIPAddress1->Text(), "0.0.0.0");
}

TEST(Flows, AddressOutsideTheRangeIsClampedByTheFieldFirst) {
  // 258 would reach address 2 by its low byte; the field makes it 255.
  Bench b(255);
  b.form.RxSpinEditadres->setText("258");
  b.device.SetState(State(1, "1.1.1.1", "1"));
  b.Read();
  EXPECT_EQ(b.form.RxSpinEditadres->text(), "255");
  EXPECT_TRUE(b.form.messages.isEmpty()) << b.form.messages.join("|").toStdString();
  for (const ByteString& r : b.RawRequests()) EXPECT_EQ(std::uint8_t(r[0]), 255);
  EXPECT_EQ(b.form.ComboBox1->currentText(), "RS485");
}

TEST(Flows, NegativeAddressBecomesZeroAndAnEmptyFieldMeansZero) {
  for (const char* text : {"-5", ""}) {
    Bench b(0);
    b.form.RxSpinEditadres->setText(text);
    b.Send();
    EXPECT_TRUE(b.form.messages.isEmpty()) << "address text '" << text << "'";
    EXPECT_EQ(b.Requests().size(), 5u);
    EXPECT_EQ(b.form.RxSpinEditadres->text(), std::string(text) == "" ? "" : "0");
  }
}

TEST(SendFlow, NoModeSelectedWritesNoMode) {
  Bench b;
  b.device.SetState(State(2, "1.1.1.1", "1"));
  b.form.ComboBox1->setCurrentIndex(-1);
  b.Send();
  EXPECT_EQ(b.Requests(), Ops({"EnterConfigMode", "WriteIpAddress", "WriteIpPort",
                               "ReadOperatingMode", "LeaveConfigMode"}));
  EXPECT_EQ(b.device.State().mode, 2);
  EXPECT_TRUE(b.form.messages.isEmpty());
}

TEST(SendFlow, PortTextThatIsNoNumberIsNotSentButTheFlowGoesOn) {
  Bench b;
  b.device.SetState(State(0, "1.1.1.1", "502"));
  b.form.ComboBox1->setCurrentIndex(1);
  b.form.IntEdit1->setText("1-2");
  b.Send();
  EXPECT_EQ(b.form.messages, QStringList({Pl("Błąd zapisu port")}));
  EXPECT_EQ(b.Requests(), Ops({"EnterConfigMode", "WriteIpAddress", "ReadOperatingMode",
                               "WriteOperatingMode", "LeaveConfigMode"}));
  EXPECT_EQ(b.device.State().port, "502");
  EXPECT_EQ(b.device.State().mode, 1);
  EXPECT_FALSE(b.device.State().configMode);
}

// What the operator meets with hands and eyes.

TEST(SendFlow, AddressTypedIntoTheFieldIsSentExactlyAsTyped) {
  Bench b;
  b.device.SetState(State(0, "192.168.1.10", "502"));
  b.form.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&b.form));
  QWidget* const focused = nullptr;  // keys go to whatever holds the focus when they arrive
  for (const char* typed : {"192.168.100.200", "192.168.1.20", "10.1.20.254"}) {
    b.form.ComboBox1->setFocus(Qt::MouseFocusReason);
    QTest::keyClick(focused, Qt::Key_Tab);
    QTest::keyClicks(focused, QString::fromLatin1(typed));
    b.Send();
    EXPECT_TRUE(b.form.messages.isEmpty()) << b.form.messages.join("|").toStdString();
    EXPECT_EQ(b.device.State().ip, typed);
  }
}

TEST(SendFlow, AddressTypedAfterAClickIntoTheFieldAReadFilledIsSentExactlyAsTyped) {
  Bench b;
  b.device.SetState(State(0, "192.168.7.33", "502"));
  b.form.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&b.form));
  b.Read();
  ASSERT_EQ(b.form.JvIPAddress1->Text(), "192.168.7.33");
  QWidget* const focused = nullptr;  // keys go to whatever holds the focus when they arrive
  QLineEdit* const first = b.form.JvIPAddress1->OctetBox(0);
  for (const char* typed : {"10.20.30.40", "172.16.5.9"}) {
    b.form.ComboBox1->setFocus(Qt::MouseFocusReason);
    QTest::mouseClick(first, Qt::LeftButton, {}, first->rect().center());
    QTest::keyClicks(focused, QString::fromLatin1(typed));
    b.Send();
    EXPECT_TRUE(b.form.messages.isEmpty()) << b.form.messages.join("|").toStdString();
    EXPECT_EQ(b.device.State().ip, typed);
  }
}

TEST(Flows, BusyPointerWhileAFlowRunsAndNormalAfterIt) {
  Bench b;
  b.device.SetState(State(0, "10.20.30.40", "4001"));
  std::vector<bool> busyWhileFilling;
  QObject::connect(b.form.JvIPAddress1, &TJvIPAddress::Change,
                   [&] { busyWhileFilling.push_back(BusyCursorShown()); });
  b.Read();
  EXPECT_EQ(busyWhileFilling, std::vector<bool>{true});
  EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr) << "after success";

  b.device.SetFaults(Refuse(1));
  b.Send();
  EXPECT_EQ(b.form.messages, QStringList({EnterFailed}));
  EXPECT_EQ(b.form.busyAtMessage, std::vector<bool>{true});
  EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr) << "after a failure message";
}

TEST(Flows, BusyPointerGoesWhenAFlowEndsInAnError) {
  Bench b;
  b.device.SetFaults(Refuse(1));
  b.form.throwAtMessage = true;
  std::vector<bool> busyAtError;
  SetApplicationErrorReport(
      [&](const std::exception&) { busyAtError.push_back(BusyCursorShown()); });
  b.Send();
  SetApplicationErrorReport(nullptr);
  EXPECT_EQ(b.form.busyAtMessage, std::vector<bool>{true});
  EXPECT_EQ(busyAtError, std::vector<bool>{false}) << "the error box must get the normal pointer";
  EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

// Each message keeps its text and says why in its details.

TEST(FailureDetails, SilentDeviceIsNoAnswerOnTheNamedPort) {
  Bench b;
  Faults silent;
  silent.silent = true;
  b.device.SetFaults(silent);
  b.Read();
  ASSERT_EQ(b.form.messages, QStringList({EnterFailed}));
  const std::string d = b.form.details.value(0).toStdString();
  EXPECT_NE(d.find("Port COM2 (" + (b.Ports() / "COM2").string() + " -> " + b.SlavePath() + ")"),
            std::string::npos)
      << d;
  EXPECT_NE(d.find("19200 bit/s, adres 2"), std::string::npos) << d;
  EXPECT_NE(d.find("Brak odpowiedzi"), std::string::npos) << d;
}

TEST(FailureDetails, RefusalAndCorruptedReplyAndAnotherAddress) {
  Bench b;
  b.device.SetFaults(Refuse(1));
  b.Send();
  Faults badSum;
  badSum.badChecksum = true;
  badSum.times = 2;
  b.device.SetFaults(badSum);
  b.Send();
  Faults other;
  other.foreignAddress = true;
  other.times = 2;
  b.device.SetFaults(other);
  b.Send();
  ASSERT_EQ(b.form.details.size(), 3);
  EXPECT_TRUE(b.form.details[0].contains(Pl("odrzuciło"))) << b.form.details[0].toStdString();
  EXPECT_TRUE(b.form.details[1].contains("suma kontrolna")) << b.form.details[1].toStdString();
  EXPECT_TRUE(b.form.details[2].contains("Odpowiedział inny adres"))
      << b.form.details[2].toStdString();
}

TEST(FailureDetails, MissingDeviceListsThePortsThatExist) {
  Bench b;
  b.LinkTo("COM3", b.Ports() / "unplugged");
  b.form.ComboBox2->setCurrentIndex(2);
  b.Send();
  ASSERT_EQ(b.form.messages, QStringList({EnterFailed}));
  const QString d = b.form.details[0];
  EXPECT_TRUE(d.contains("Port COM3 nie istnieje")) << d.toStdString();
  EXPECT_TRUE(d.contains("Znalezione porty:")) << d.toStdString();
  EXPECT_TRUE(d.contains(QString::fromStdString("COM2: Pseudoterminal \u2014 " + b.SlavePath())))
      << d.toStdString();
}

TEST(FailureDetails, HeldPortNamesTheProgramHoldingIt) {
  Bench b;
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const std::string slave = b.SlavePath();
  const pid_t holder = ::fork();
  ASSERT_GE(holder, 0);
  if (holder == 0) {
    // Another program with the port open and locked, as the port layer locks it.
    const int fd = ::open(slave.c_str(), O_RDWR | O_NOCTTY);
    const char ok = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? '1' : '0';
    if (::write(ready[1], &ok, 1) != 1) _exit(1);
    ::pause();
    _exit(0);
  }
  char ok = 0;
  ASSERT_EQ(::read(ready[0], &ok, 1), 1);
  ::close(ready[0]);
  ::close(ready[1]);
  b.Send();
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
  ASSERT_EQ(ok, '1');
  ASSERT_EQ(b.form.messages, QStringList({EnterFailed}));
  const QString d = b.form.details[0];
  EXPECT_TRUE(d.contains(Pl("jest zajęty przez inny program"))) << d.toStdString();
  EXPECT_TRUE(d.contains(QStringLiteral("proces %1 (").arg(holder))) << d.toStdString();
}

TEST(FailureDetails, ALockFileInTheWayIsTheReasonGiven) {
  Bench b;
  std::string tmpl = (fs::temp_directory_path() / "konf-locks-XXXXXX").string();
  ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
  serial::SetLockDirectory(tmpl);
  // A live program other than this one wrote it.
  const pid_t writer = ::fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) {
    ::pause();
    _exit(0);
  }
  std::string name = fs::canonical(b.SlavePath()).string().substr(5);
  std::replace(name.begin(), name.end(), '/', '_');
  const std::string lock = tmpl + "/LCK.." + name;
  std::ofstream(lock) << std::setw(10) << writer << "\n";
  b.Send();
  ::kill(writer, SIGKILL);
  ::waitpid(writer, nullptr, 0);
  serial::SetLockDirectory("");
  std::error_code ec;
  fs::remove_all(tmpl, ec);
  ASSERT_EQ(b.form.messages, QStringList({EnterFailed}));
  const QString d = b.form.details[0];
  EXPECT_TRUE(d.contains(QString::fromStdString(" jest zablokowany plikiem blokady " + lock +
                                                " (proces " + std::to_string(writer))))
      << d.toStdString();
  EXPECT_FALSE(d.contains(Pl("zajęty przez inny program"))) << d.toStdString();
}

TEST(FailureDetails, NoPermissionNamesTheGroupAndHowToJoinIt) {
  // Root opens any node, so the open's refusal is played by the fake platform; the node it
  // names is a real one.
  std::string tmpl = (fs::temp_directory_path() / "konf-perm-XXXXXX").string();
  ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
  struct Dir {
    fs::path p;
    const fs::path& path() const { return p; }
    ~Dir() {
      std::error_code ec;
      fs::remove_all(p, ec);
    }
  } dir{tmpl};
  // A terminal, so that what stands in the way is the permission and not the kind of node.
  int master = -1, slave = -1;
  char name[128] = {};
  ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
  struct Pty {
    int m, s;
    ~Pty() {
      ::close(s);
      ::close(m);
    }
  } pty{master, slave};
  const fs::path node = name;
  ASSERT_EQ(::chmod(name, 0660), 0);
  fs::create_symlink(node, dir.path() / "COM2");
  serial::FakeSerialApi fake;
  fake.FailAlways("CreateFile", EACCES);
  TFkomunikacja::Options options;
  options.portsDirectory = dir.path().string();
  options.logDirectory = dir.path().string();
  TFkomunikacja module(fake, options);
  RecordingForm form(&module);
  QTest::mouseClick(form.SpeedButton2, Qt::LeftButton);
  serial::SetPortsDirectory("");
  ASSERT_EQ(form.messages, QStringList({EnterFailed}));
  const QString d = form.details[0];
  struct stat st {};
  ASSERT_EQ(::stat(node.c_str(), &st), 0);
  const QString group = QString::fromLocal8Bit(::getgrgid(st.st_gid)->gr_name);
  EXPECT_TRUE(d.contains(Pl("Brak uprawnień do otwarcia COM2"))) << d.toStdString();
  EXPECT_TRUE(d.contains("usermod -aG " + group + " $USER")) << d.toStdString();
}

TEST(FailureDetails, PortsFoundAreWhatTheComListShowsInBold) {
  portinfotest::FakeDeviceTree t;
  t.BuiltIn(0, 4);
  t.BuiltIn(1, 0);  // no UART behind it: not offered
  portinfotest::FakeAdapter a;
  a.serial = "FT1234AB";
  t.Plug(a, "ttyUSB0", 1);
  serial::FakeSerialApi fake;
  fake.FailAlways("CreateFile", ENOENT);
  TFkomunikacja::Options options;
  options.portsDirectory = t.Tree().portsDir;
  options.logDirectory = t.Root().string();
  TFkomunikacja module(fake, options);
  RecordingForm form(&module);
  auto* list = dynamic_cast<TPortList*>(form.ComboBox2);
  ASSERT_NE(list, nullptr);
  list->SetDeviceTree(t.Tree());
  form.ComboBox2->setCurrentIndex(8);
  QTest::mouseClick(form.SpeedButton2, Qt::LeftButton);
  serial::SetPortsDirectory("");
  ASSERT_EQ(form.messages, QStringList({EnterFailed}));
  const QString d = form.details[0];
  EXPECT_TRUE(d.contains(Pl("Znalezione porty:\n  COM1: Port szeregowy \u2014 ") +
                         QString::fromStdString(t.Tree().dev + "/ttyS0\n")))
      << d.toStdString();

  list->Refresh();
  int bold = 0;
  for (int i = 0; i < list->count(); ++i) {
    const QVariant font = list->itemData(i, Qt::FontRole);
    const bool shown = font.isValid() && font.value<QFont>().bold();
    const QString line = QStringLiteral("  COM%1: ").arg(i + 1);
    EXPECT_EQ(shown, d.contains(line)) << "COM" << i + 1 << "\n" << d.toStdString();
    if (!shown) continue;
    ++bold;
    EXPECT_TRUE(d.contains(line + list->itemData(i, Qt::ToolTipRole).toString() + "\n"))
        << "COM" << i + 1 << "\n"
        << d.toStdString();
  }
  EXPECT_EQ(bold, 2);
}
