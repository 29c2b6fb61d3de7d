// The serial component's event monitor reaching the Qt UI thread through the application's
// dispatcher, with a real port on a pseudo-terminal.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <QTimer>

#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "ComPort.h"
#include "LinuxSerialApi.h"
#include "QtUiDispatcher.h"

namespace fs = std::filesystem;

namespace {

class BridgeTest : public ::testing::TestWithParam<TSyncMethod> {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "konf-bridge-XXXXXX").string();
    dir_ = ::mkdtemp(tmpl.data());
    serial::SetPortsDirectory(dir_.string());
    int slave = -1;
    char name[128];
    ASSERT_EQ(::openpty(&master_, &slave, name, nullptr, nullptr), 0);
    ::close(slave);
    fs::create_symlink(name, dir_ / "COM2");
    SetUiDispatcher(&dispatcher_);
    port.SetPort("COM2");
    port.SetEvents(AllComEvents);
    port.SetSyncMethod(GetParam());
  }
  void TearDown() override {
    port.CloseDevice();
    SetUiDispatcher(nullptr);
    ::close(master_);
    serial::SetPortsDirectory("");
    fs::remove_all(dir_);
  }
  void PeerSend(const std::string& s) {
    ASSERT_EQ(::write(master_, s.data(), s.size()), static_cast<ssize_t>(s.size()));
  }

  TQtUiDispatcher dispatcher_;
  fs::path dir_;
  int master_ = -1;
  TComPort port;
};

TEST_P(BridgeTest, ReceivedBytesAreAnnouncedOnTheUiThreadByTheQtLoop) {
  std::int32_t count = 0;
  QThread* where = nullptr;
  QEventLoop loop;
  port.SetOnRxChar([&](TCustomComPort&, std::int32_t n) {
    count = n;
    where = QThread::currentThread();
    if (count >= 5) loop.quit();
  });
  port.OpenDevice();
  PeerSend("hello");
  QTimer::singleShot(5000, &loop, &QEventLoop::quit);
  loop.exec();
  EXPECT_EQ(count, 5);
  EXPECT_EQ(where, QThread::currentThread());
  std::string in;
  EXPECT_EQ(port.ReadText(in, 5), 5);
  EXPECT_EQ(in, "hello");
}

TEST_P(BridgeTest, ClosingWhileTheMonitorWaitsForTheUiThreadDoesNotHang) {
  int deliveries = 0;
  port.SetOnRxChar([&](TCustomComPort&, std::int32_t) { ++deliveries; });
  port.OpenDevice();
  PeerSend("x");
  // Let the monitor hand the batch over, then close without running the Qt loop: the close
  // must serve the waiting delivery itself.
  QThread::msleep(50);
  port.CloseDevice();
  EXPECT_FALSE(port.Connected());
  const int atClose = deliveries;
  // Nothing arrives for a closed port later, even once the loop runs.
  QCoreApplication::processEvents();
  EXPECT_EQ(deliveries, atClose);
}

INSTANTIATE_TEST_SUITE_P(SyncMethods, BridgeTest, ::testing::Values(smThreadSync, smWindowSync),
                         [](const auto& info) {
                           return std::string(info.param == smThreadSync ? "ThreadSync"
                                                                         : "WindowSync");
                         });

}  // namespace
