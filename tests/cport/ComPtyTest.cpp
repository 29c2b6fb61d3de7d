// The port over the real Linux backend, on pseudo-terminals: the test holds the master side and
// the port opens the slave as "COM2" through a ports folder. On the VM test bed
// (scripts/serial-vm.sh) COM2 is a real driver's port, KONF_SERIAL_DEVICE, and the test holds
// the port wired to it, KONF_SERIAL_PEER.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "ComPort.h"
#include "LinuxSerialApi.h"
#include "PortTestSupport.h"
#include "TestUiDispatcher.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The wire's ends when the test bed names both, else null.
const char* Wire(const char* name) {
  return std::getenv("KONF_SERIAL_DEVICE") && std::getenv("KONF_SERIAL_PEER") ? std::getenv(name)
                                                                              : nullptr;
}

#define SKIP_ON_WIRE(why) \
  if (Wire("KONF_SERIAL_DEVICE")) GTEST_SKIP() << why

long long MillisSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class PtyPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("cport-ports-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    serial::SetPortsDirectory(dir_.string());
    NewPeer();
    port.SetPort("COM2");
    port.SetEvents(TComEvents{});
    port.Timeouts().SetReadTotalMultiplier(2);
  }
  void TearDown() override {
    port.CloseDevice();
    ClosePeer();
    serial::SetPortsDirectory("");
    fs::remove_all(dir_);
  }
  // A fresh pseudo-terminal linked as COM2.
  void NewPeer() {
    ClosePeer();
    if (Wire("KONF_SERIAL_PEER")) {
      master_ = ::open(Wire("KONF_SERIAL_PEER"), O_RDWR | O_NOCTTY | O_CLOEXEC);
      ASSERT_GE(master_, 0) << errno;
      termios t{};
      ASSERT_EQ(tcgetattr(master_, &t), 0);
      cfmakeraw(&t);
      t.c_cflag |= CLOCAL | CREAD;
      ASSERT_EQ(tcsetattr(master_, TCSANOW, &t), 0);
      tcflush(master_, TCIOFLUSH);
      fs::remove(dir_ / "COM2");
      fs::create_symlink(Wire("KONF_SERIAL_DEVICE"), dir_ / "COM2");
      return;
    }
    int slave = -1;
    char name[128];
    ASSERT_EQ(openpty(&master_, &slave, name, nullptr, nullptr), 0);
    ::close(slave);
    fs::remove(dir_ / "COM2");
    fs::create_symlink(name, dir_ / "COM2");
  }
  void ClosePeer() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }
  void PeerSend(const std::string& s) {
    ASSERT_EQ(::write(master_, s.data(), s.size()), static_cast<ssize_t>(s.size()));
  }
  std::string PeerReceive(std::size_t n) {
    std::string out;
    while (out.size() < n) {
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, 3000) <= 0) break;
      char buf[256];
      const ssize_t r = ::read(master_, buf, std::min(sizeof buf, n - out.size()));
      if (r <= 0) break;
      out.append(buf, static_cast<std::size_t>(r));
    }
    return out;
  }

  fs::path dir_;
  int master_ = -1;
  TComPort port;
};

TEST_F(PtyPortTest, MissingAndBusyPortsAreRefusedWithTheirErrno) {
  port.SetPort("COM77");  // no link: /dev/ttyS76, which does not exist here
  EComPort e = CatchComPort([&] { port.OpenDevice(); });
  EXPECT_EQ(e.PortErrorCode(), 1);
  EXPECT_EQ(e.SystemErrorCode(), ENOENT);
  EXPECT_FALSE(port.Connected());

  port.SetPort("COM2");
  port.OpenDevice();
  TComPort second;
  second.SetPort("COM2");
  e = CatchComPort([&] { second.OpenDevice(); });
  EXPECT_EQ(e.PortErrorCode(), 1);
  EXPECT_EQ(e.SystemErrorCode(), EBUSY);
  EXPECT_FALSE(second.Connected());
  EXPECT_TRUE(port.Connected());
}

TEST_F(PtyPortTest, BytesOfEveryValueGoBothWays) {
  port.SetStopBits(sbTwoStopBits);
  port.Timeouts().SetReadTotalConstant(1000);
  port.OpenDevice();
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  port.PurgeBuffers(true, true);
  EXPECT_EQ(port.WriteText(all), 256);
  EXPECT_EQ(PeerReceive(256), all);
  PeerSend(all);
  std::string in;
  EXPECT_EQ(port.ReadText(in, 256), 256);
  EXPECT_EQ(in, all);
}

TEST_F(PtyPortTest, ShortReplyGivesWhatCameAtTheTimeOut) {
  port.Timeouts().SetReadTotalConstant(200);
  port.OpenDevice();
  PeerSend(std::string("\x02\x00\x46\x00\x05", 5));
  std::string in;
  const auto start = Clock::now();
  EXPECT_EQ(port.ReadText(in, 8), 5);
  EXPECT_GE(MillisSince(start), 200);
  EXPECT_EQ(in, std::string("\x02\x00\x46\x00\x05", 5));
}

TEST_F(PtyPortTest, SilentPeerReadEndsEmptyAfterItsTotalTimeOut) {
  port.Timeouts().SetReadTotalConstant(1000);
  port.OpenDevice();
  std::string in = "old";
  const auto start = Clock::now();
  EXPECT_EQ(port.ReadText(in, 7), 0);
  const auto ms = MillisSince(start);
  EXPECT_TRUE(in.empty());
  EXPECT_GE(ms, 1014);
  EXPECT_LT(ms, 5000);
}

TEST_F(PtyPortTest, ReadEndsAsSoonAsItsCountHasArrived) {
  port.Timeouts().SetReadTotalConstant(10000);
  port.OpenDevice();
  std::thread peer([&] {
    PeerReceive(7);  // answer the request, as a device would
    PeerSend("reply-8!");
  });
  const auto start = Clock::now();
  EXPECT_EQ(port.WriteText("request"), 7);
  std::string in;
  EXPECT_EQ(port.ReadText(in, 8), 8);
  peer.join();
  EXPECT_EQ(in, "reply-8!");
  EXPECT_LT(MillisSince(start), 5000);
}

TEST_F(PtyPortTest, PeerGoneFailsThePendingReadAndAFreshPeerWorks) {
  SKIP_ON_WIRE(
      "a wire's far end closing is no hang-up (the adapter's unplug is the platform suite's)");
  port.Timeouts().SetReadTotalConstant(10000);
  port.OpenDevice();
  std::thread closer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ClosePeer();
  });
  std::string in;
  const auto start = Clock::now();
  const EComPort e = CatchComPort([&] { port.ReadText(in, 7); });
  closer.join();
  EXPECT_EQ(e.PortErrorCode(), 3);
  EXPECT_LT(MillisSince(start), 5000);
  // Later calls fail too, the close always works.
  EXPECT_EQ(CatchComPort([&] { port.WriteText("x"); }).PortErrorCode(), 2);
  port.CloseDevice();
  EXPECT_FALSE(port.Connected());

  NewPeer();
  port.OpenDevice();
  EXPECT_EQ(port.WriteText("again"), 5);
  EXPECT_EQ(PeerReceive(5), "again");
}

// The blocking calls reuse their request; two reads at once in two threads must still be two
// requests, each filled with its own bytes, and the request is free again afterwards.
TEST_F(PtyPortTest, BlockingReadsInTwoThreadsAtOnceEachGetTheirOwnBytes) {
  port.Timeouts().SetReadTotalConstant(5000);
  port.OpenDevice();
  std::string first, second;
  std::int32_t firstCount = -1, secondCount = -1;
  std::thread a([&] { firstCount = port.ReadText(first, 3); });
  std::thread b([&] { secondCount = port.ReadText(second, 5); });
  // Both reads are most likely waiting by then; reads are served oldest first.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  PeerSend("AAABBBBB");
  a.join();
  b.join();
  // Whichever read started first took the first bytes.
  EXPECT_EQ(firstCount, 3);
  EXPECT_EQ(secondCount, 5);
  EXPECT_TRUE((first == "AAA" && second == "BBBBB") || (second == "AAABB" && first == "BBB"))
      << first << " / " << second;
  PeerSend("next");
  std::string in;
  EXPECT_EQ(port.ReadText(in, 4), 4);
  EXPECT_EQ(in, "next");
}

TEST_F(PtyPortTest, SpeedsAreSetAndReadBack) {
  const char* driver = std::getenv("KONF_SERIAL_DRIVER");
  if (Wire("KONF_SERIAL_DEVICE") && driver && std::string(driver) == "8250")
    GTEST_SKIP() << "8250: a UART's clock limits its speeds (the platform suite reads back what "
                    "it takes)";
  port.OpenDevice();
  for (const TBaudRate rate : {br110, br19200, br56000, br256000}) {
    SCOPED_TRACE(BaudRateToStr(rate));
    port.SetBaudRate(rate);
    serial::Dcb dcb;
    ASSERT_TRUE(port.Api().GetCommState(port.DeviceHandle(), dcb));
    EXPECT_EQ(dcb.BaudRate, static_cast<std::uint32_t>(BaudRateValue(rate)));
  }
  port.SetBaudRate(brCustom);
  port.SetCustomBaudRate(31250);
  serial::Dcb dcb;
  ASSERT_TRUE(port.Api().GetCommState(port.DeviceHandle(), dcb));
  EXPECT_EQ(dcb.BaudRate, 31250u);
}

TEST_F(PtyPortTest, FramingThePtyCannotTakeFailsTheOpenAndReleasesTheDevice) {
  SKIP_ON_WIRE("a real driver takes 7 data bits");
  port.SetDataBits(dbSeven);
  const EComPort e = CatchComPort([&] { port.OpenDevice(); });
  EXPECT_EQ(e.PortErrorCode(), 7);
  EXPECT_FALSE(port.Connected());
  // The device was released: it opens again with framing it can take.
  port.SetDataBits(dbEight);
  port.OpenDevice();
  EXPECT_TRUE(port.Connected());
}

TEST_F(PtyPortTest, ReceivedBytesReachOnRxCharOnTheUiThread) {
  TestUiDispatcher ui;
  std::int32_t count = 0;
  std::thread::id where;
  port.SetOnRxChar([&](TCustomComPort&, std::int32_t n) {
    count = n;
    where = std::this_thread::get_id();
  });
  port.SetEvents(AllComEvents);
  port.OpenDevice();
  PeerSend("hello");
  // Deliveries may come one byte at a time; serve until the count covers all five.
  while (count < 5) ui.ServeNext();
  EXPECT_EQ(count, 5);
  EXPECT_EQ(where, std::this_thread::get_id());
  std::string in;
  EXPECT_EQ(port.ReadText(in, 5), 5);
  EXPECT_EQ(in, "hello");
  port.CloseDevice();
}

}  // namespace
