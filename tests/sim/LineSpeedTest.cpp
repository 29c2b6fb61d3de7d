// A device set to one line speed: it hears only a client whose port runs at that speed.
// The kernel's termios2 comes from <asm/termbits.h>, so <termios.h> stays out of this file.
#include <asm/termbits.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "PtyClient.h"
#include "PtyServer.h"
#include "SerialApi.h"

extern char** environ;

namespace {

using devicesim::Device;
using devicesim::Exchange;
using devicesim::PtyServerThread;
using simtest::kSilenceMs;
using simtest::ReadReply;
using simtest::Send;

// Sets the line as the port component does: any number of bit/s, through BOTHER.
void SetSpeed(int fd, unsigned out, unsigned in = 0) {
  termios2 t{};
  ASSERT_EQ(ioctl(fd, TCGETS2, &t), 0);
  t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  t.c_cflag |= BOTHER | (in != 0 ? BOTHER << IBSHIFT : 0);
  t.c_ospeed = out;
  t.c_ispeed = in != 0 ? in : out;
  ASSERT_EQ(ioctl(fd, TCSETS2, &t), 0);
}

// The notes of the exchanges the server reports, safe to read from the test thread.
struct Notes {
  std::mutex mutex;
  std::vector<std::string> notes;
  devicesim::PtyServer::ExchangeCallback Callback() {
    return [this](const Exchange& e) {
      std::lock_guard lock(mutex);
      notes.push_back(e.note);
    };
  }
  std::vector<std::string> Take() {
    std::lock_guard lock(mutex);
    return std::move(notes);
  }
};

TEST(LineSpeed, OnlyAClientAtTheDevicesSpeedGetsAnAnswer) {
  Device device(2);
  Notes notes;
  PtyServerThread server(device, notes.Callback());
  server.SetLineSpeed(19200);
  const int fd = open(server.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(fd, 0);

  SetSpeed(fd, 9600);
  Send(fd, EnterConfigModeRequest(2));
  EXPECT_EQ(ReadReply(fd, 1, kSilenceMs), "");
  // Output right, input wrong: the device could not be heard either.
  SetSpeed(fd, 19200, 9600);
  Send(fd, EnterConfigModeRequest(2));
  EXPECT_EQ(ReadReply(fd, 1, kSilenceMs), "");
  EXPECT_EQ(device.RequestCount(), 0);
  EXPECT_FALSE(device.State().configMode) << "a request it could not hear changed the device";

  SetSpeed(fd, 19200);
  Send(fd, EnterConfigModeRequest(2));
  EXPECT_EQ(ReadReply(fd, 7), BuildFrame(2, FunctionWrite, ParamEnterConfig));
  EXPECT_TRUE(device.State().configMode);

  // Speeds beyond the classic table are kept by number, not rounded to a neighbour.
  server.SetLineSpeed(256000);
  SetSpeed(fd, 128000);
  Send(fd, ReadIpPortRequest(2));
  EXPECT_EQ(ReadReply(fd, 1, kSilenceMs), "");
  SetSpeed(fd, 256000);
  Send(fd, ReadIpPortRequest(2));
  EXPECT_EQ(FrameData(ReadReply(fd, 10)), "502");
  close(fd);
  server.Stop();
  EXPECT_EQ(server.Error(), "");
  EXPECT_EQ(notes.Take(), (std::vector<std::string>{"ignored: line at 9600 bit/s",
                                                    "ignored: line receives at 9600 bit/s", "",
                                                    "ignored: line at 128000 bit/s", ""}));
}

TEST(LineSpeed, WithoutASpeedOfItsOwnTheDeviceAnswersAtAny) {
  Device device(2);
  PtyServerThread server(device);
  const int fd = open(server.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  for (unsigned speed : {110u, 56000u, 256000u}) {
    SetSpeed(fd, speed);
    Send(fd, ReadOperatingModeRequest(2));
    EXPECT_EQ(ReadReply(fd, 8).size(), 8u) << speed;
  }
  close(fd);
}

TEST(LineSpeed, ARequestBegunAtAnotherSpeedIsNotCompletedAtThisOne) {
  Device device(2);
  PtyServerThread server(device);
  server.SetLineSpeed(9600);
  const int fd = open(server.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  const ByteString request = EnterConfigModeRequest(2);
  SetSpeed(fd, 19200);
  Send(fd, request.substr(0, 4));
  ReadReply(fd, 1, 50);  // lets the server take the head before the speed changes
  SetSpeed(fd, 9600);
  Send(fd, request.substr(4));
  EXPECT_EQ(ReadReply(fd, 1, kSilenceMs), "");
  EXPECT_FALSE(device.State().configMode);
  Send(fd, request);
  EXPECT_EQ(ReadReply(fd, 7).size(), 7u);
  close(fd);
}

// The port component sets its speed through the platform layer, the way the program does.
TEST(LineSpeed, ThePortComponentsSpeedIsTheOneTheDeviceSees) {
  using namespace serial;
  Device device(2);
  PtyServerThread server(device);
  server.SetLineSpeed(57600);
  SerialApi& api = SystemSerialApi();
  const Handle h = api.CreateFile(server.SlavePath());
  ASSERT_NE(h, InvalidHandle) << GetLastError();
  ASSERT_TRUE(api.SetCommTimeouts(h, CommTimeouts{0, 0, kSilenceMs, 0, 1000}));
  Event done(false);
  auto exchange = [&](const ByteString& request, std::size_t replyLength) {
    Overlapped ov;
    ov.hEvent = &done;
    std::uint32_t n = 0;
    if (!api.WriteFile(h, request.data(), std::uint32_t(request.size()), &n, &ov)) {
      EXPECT_EQ(GetLastError(), ErrorIoPending);
      EXPECT_TRUE(api.GetOverlappedResult(h, &ov, &n, true));
    }
    EXPECT_EQ(n, request.size());
    ByteString reply(replyLength, '\0');
    if (!api.ReadFile(h, reply.data(), std::uint32_t(reply.size()), &n, &ov)) {
      EXPECT_EQ(GetLastError(), ErrorIoPending);
      EXPECT_TRUE(api.GetOverlappedResult(h, &ov, &n, true));
    }
    reply.resize(n);
    return reply;
  };
  Dcb dcb;
  dcb.BaudRate = 115200;
  dcb.Flags = dcb::fBinary;
  dcb.ByteSize = 8;
  dcb.XonChar = 17;
  dcb.XoffChar = 19;
  ASSERT_TRUE(api.SetCommState(h, dcb)) << GetLastError();
  EXPECT_EQ(exchange(ReadOperatingModeRequest(2), 8), "");
  dcb.BaudRate = 57600;
  ASSERT_TRUE(api.SetCommState(h, dcb)) << GetLastError();
  EXPECT_EQ(exchange(ReadOperatingModeRequest(2), 8),
            BuildFrame(2, FunctionRead, ParamOperatingMode, ByteString(1, '\0')));
  EXPECT_TRUE(api.CloseHandle(h));
}

// The program: two devices at one speed, the bus of a scan.
TEST(KonfiguratorSim, ServesSeveralAddressesAtItsOwnSpeed) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("simspeed-" + std::to_string(getpid()));
  std::filesystem::remove_all(dir);
  const std::string dirText = dir.string();
  const char* argv[] = {KONFIGURATOR_SIM, "--ports-dir", dirText.c_str(), "--port", "COM4",
                        "--address",      "2,5",         "--speed",       "19200",  nullptr};
  pid_t pid = 0;
  FILE* lines = nullptr;
  char line[512];
  ASSERT_NO_FATAL_FAILURE(simtest::StartSimulator(argv, &pid, &lines, line, sizeof line));
  EXPECT_NE(std::string(line).find("devices 2,5 at 19200 bit/s on /dev/"), std::string::npos)
      << line;

  const int fd = open((dir / "COM4").c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  SetSpeed(fd, 9600);
  Send(fd, ReadIpPortRequest(5));
  EXPECT_EQ(ReadReply(fd, 1, kSilenceMs), "");
  SetSpeed(fd, 19200);
  Send(fd, ReadIpPortRequest(5));
  EXPECT_EQ(ReadReply(fd, 10), BuildFrame(5, FunctionRead, ParamIpPort, "502"));
  Send(fd, ReadIpPortRequest(3));
  EXPECT_EQ(ReadReply(fd, 1, kSilenceMs), "");
  close(fd);

  std::string printed;
  for (int i = 0; i < 3 && fgets(line, sizeof line, lines); ++i) printed += line;
  EXPECT_NE(
      printed.find("M: " + HexDump(ReadIpPortRequest(5)) + "  S: -  ignored: line at 9600 bit/s"),
      std::string::npos)
      << printed;
  EXPECT_NE(printed.find("S: 05 46 65 00 0A"), std::string::npos) << printed;
  EXPECT_NE(printed.find("S: -  for address 3"), std::string::npos) << printed;
  kill(pid, SIGTERM);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  fclose(lines);
  std::filesystem::remove_all(dir);
}

TEST(KonfiguratorSim, RejectsBadAddressListsAndSpeeds) {
  auto exitCode = [](const char* option, const char* value) {
    // A value taken by mistake reaches --help and exits 0, instead of serving forever.
    const char* argv[] = {KONFIGURATOR_SIM, option, value, "--help", nullptr};
    pid_t pid = 0;
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
    const int rc =
        posix_spawn(&pid, KONFIGURATOR_SIM, &quiet, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&quiet);
    if (rc != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  for (const char* bad : {"2,2", "2,", ",2", "5-3", "1-256", "2;5", "", "1-3,3"})
    EXPECT_EQ(exitCode("--address", bad), 2) << "--address " << bad;
  for (const char* bad : {"12345", "0", "9600x", "-9600", ""})
    EXPECT_EQ(exitCode("--speed", bad), 2) << "--speed " << bad;
}

}  // namespace
