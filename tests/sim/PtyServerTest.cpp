#include "PtyServer.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <system_error>
#include <thread>

#include "PtyClient.h"

extern char** environ;

namespace {

using devicesim::Device;
using devicesim::PtyServerThread;
using simtest::ReadReply;
using simtest::Send;
using simtest::StartSimulator;

int OpenClient(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd >= 0) {
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
  }
  return fd;
}

TEST(PtyServer, AnswersOverThePseudoTerminalAcrossClientReopens) {
  Device device(2);
  PtyServerThread server(device);
  for (int round = 0; round < 3; ++round) {
    const int fd = OpenClient(server.SlavePath());
    ASSERT_GE(fd, 0);
    // The port component opens exclusively; the next client must still get in.
    ioctl(fd, TIOCEXCL);
    Send(fd, EnterConfigModeRequest(2));
    EXPECT_EQ(ReadReply(fd, 7), BuildFrame(2, FunctionWrite, ParamEnterConfig)) << round;
    close(fd);
  }
  const int fd = OpenClient(server.SlavePath());
  ASSERT_GE(fd, 0);
  Send(fd, ReadIpPortRequest(2));
  EXPECT_EQ(FrameData(ReadReply(fd, 10)), "502");
  int exclusive = -1;
  ASSERT_EQ(ioctl(fd, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0) << "a closed client's exclusive flag must not lock out the next";
  close(fd);
  server.Stop();
  EXPECT_EQ(server.Error(), "");
  EXPECT_EQ(device.RequestCount(), 4);
}

// Served on a port of its own, the far end of a wire: here a pseudo-terminal's slave, its
// master playing the client's port. What is no terminal is refused.
TEST(PtyServer, ServesOnAGivenPortAndRefusesWhatIsNoTerminal) {
  int master = -1, slave = -1;
  char name[128] = {};
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  close(slave);
  Device device(2);
  devicesim::PtyServer server(device);
  server.OpenDevice(name, 56000);
  EXPECT_EQ(server.SlavePath(), name);
  termios t{};
  ASSERT_EQ(tcgetattr(master, &t), 0);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u) << "the served line must be raw";
  const int stop = eventfd(0, EFD_CLOEXEC);
  std::thread serving([&] { server.Serve(stop); });
  Send(master, ReadIpPortRequest(2));
  EXPECT_EQ(FrameData(ReadReply(master, 10)), "502");
  const std::uint64_t one = 1;
  ASSERT_EQ(write(stop, &one, sizeof one), ssize_t(sizeof one));
  serving.join();
  close(stop);
  close(master);
  for (const char* path : {"/dev/null", "/no/such/port"}) {
    devicesim::PtyServer other(device);
    EXPECT_THROW(other.OpenDevice(path, 19200), std::system_error) << path;
  }
}

TEST(PtyServer, TwoDevicesOnOnePtyAnswerAtTheirOwnAddresses) {
  Device two(2), five(5);
  five.SetState({false, 1, "10.0.0.5", "5005"});
  devicesim::Bus bus;
  bus.Attach(two);
  bus.Attach(five);
  PtyServerThread server(bus);
  const int fd = OpenClient(server.SlavePath());
  ASSERT_GE(fd, 0);

  Send(fd, ReadIpAddressRequest(5));
  EXPECT_EQ(ReadReply(fd, 15), BuildFrame(5, FunctionRead, ParamIpAddress, "10.0.0.5"));
  Send(fd, ReadIpAddressRequest(2));
  EXPECT_EQ(ReadReply(fd, 19), BuildFrame(2, FunctionRead, ParamIpAddress, "192.168.1.10"));
  Send(fd, ReadIpAddressRequest(17));
  EXPECT_EQ(ReadReply(fd, 1, simtest::kSilenceMs), "") << "nobody is at address 17";
  // Silence at one address leaves the line usable for the others.
  Send(fd, ReadOperatingModeRequest(5));
  EXPECT_EQ(ReadReply(fd, 8), BuildFrame(5, FunctionRead, ParamOperatingMode, ByteString(1, 1)));
  close(fd);
  server.Stop();
  EXPECT_EQ(server.Error(), "");
  EXPECT_EQ(two.RequestCount(), 1);
  EXPECT_EQ(five.RequestCount(), 2);
}

TEST(PtyServer, SplitAndDelayedRepliesArriveWhole) {
  Device device(2);
  devicesim::Faults f;
  f.splitBytes = 2;
  f.gapMs = 10;
  f.delayMs = 20;
  device.SetFaults(f);
  PtyServerThread server(device);
  const int fd = OpenClient(server.SlavePath());
  ASSERT_GE(fd, 0);
  const auto start = std::chrono::steady_clock::now();
  Send(fd, ReadIpAddressRequest(2));
  const ByteString reply = ReadReply(fd, 19);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20 + 9 * 10));
  EXPECT_EQ(reply, BuildFrame(2, FunctionRead, ParamIpAddress, "192.168.1.10"));
  close(fd);
}

// The program itself: started as a process, linked into a ports folder, stopped by SIGTERM.
TEST(KonfiguratorSim, ServesALinkedPortAndRemovesTheLinkOnStop) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("simtest-" + std::to_string(getpid()));
  std::filesystem::remove_all(dir);

  const std::string dirText = dir.string();
  const char* argv[] = {KONFIGURATOR_SIM, "--ports-dir", dirText.c_str(), "--port",   "COM7",
                        "--address",      "9",           "--ip",          "10.0.0.7", nullptr};
  pid_t pid = 0;
  FILE* lines = nullptr;
  char line[512];
  ASSERT_NO_FATAL_FAILURE(StartSimulator(argv, &pid, &lines, line, sizeof line));
  EXPECT_NE(std::string(line).find("COM7"), std::string::npos) << line;

  const std::filesystem::path link = dir / "COM7";
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  const int fd = OpenClient(link.string());
  ASSERT_GE(fd, 0);
  Send(fd, ReadIpAddressRequest(9));
  EXPECT_EQ(FrameData(ReadReply(fd, 15)), "10.0.0.7");
  close(fd);
  ASSERT_NE(fgets(line, sizeof line, lines), nullptr);  // the exchange line
  EXPECT_NE(std::string(line).find("M: 09 46 64 00 07"), std::string::npos) << line;
  EXPECT_NE(std::string(line).find("S: 09 46 64 00 0F"), std::string::npos) << line;

  kill(pid, SIGTERM);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
  fclose(lines);
  std::filesystem::remove_all(dir);
}

namespace {

// The exit status of konfigurator-sim with these arguments.
int SimStatus(std::vector<std::string> args) {
  args.insert(args.begin(), KONFIGURATOR_SIM);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, KONFIGURATOR_SIM, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(KonfiguratorSim, RejectsBadOptions) {
  for (const char* bad : {"--address=x", "--bogus"}) EXPECT_EQ(SimStatus({bad}), 2) << bad;
  EXPECT_EQ(SimStatus({"--address", "256"}), 2);
  // What the tool would refuse, and what no frame can carry. --version after a value ends the
  // run once that value is taken.
  const std::string longest(MaxFrameLength - FrameOverhead, '1');
  const std::vector<std::pair<std::vector<std::string>, int>> cases = {
      {{"--port", "COM0"}, 2},
      {{"--port", "COM1", "--version"}, 0},
      {{"--port", "com99999", "--version"}, 0},
      {{"--port", "COM100000"}, 2},
      {{"--port", "COM07"}, 2},
      {{"--port", "ports/COM2"}, 2},
      {{"--split", "0"}, 2},
      {{"--split", "1", "--version"}, 0},
      {{"--ip", longest, "--version"}, 0},
      {{"--ip", longest + "1"}, 2},
      {{"--ip-port", longest + "1"}, 2},
  };
  for (const auto& [args, status] : cases)
    EXPECT_EQ(SimStatus(args), status) << args[0] << " " << args[1].substr(0, 20);
}

TEST(KonfiguratorSim, SaysItsVersion) {
  const char* argv[] = {KONFIGURATOR_SIM, "--version", nullptr};
  pid_t pid = 0;
  FILE* lines = nullptr;
  char line[256];
  StartSimulator(argv, &pid, &lines, line, sizeof line);
  EXPECT_EQ(std::string(line).rfind("konfigurator-sim ", 0), 0u) << line;
  EXPECT_GT(std::string(line).size(), std::string("konfigurator-sim \n").size()) << line;
  int status = 0;
  waitpid(pid, &status, 0);
  fclose(lines);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A simulator started on a link another one serves leaves it alone and says so; the first one
// goes on serving and removes its link when it stops.
TEST(KonfiguratorSim, RefusesALinkARunningSimulatorServes) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("simtwice-" + std::to_string(getpid()));
  std::filesystem::remove_all(dir);
  const std::string dirText = dir.string();
  const char* argv[] = {KONFIGURATOR_SIM, "--ports-dir", dirText.c_str(), "--port", "COM4",
                        "--address",      "4",           nullptr};
  pid_t first = 0;
  FILE* lines = nullptr;
  char line[512];
  ASSERT_NO_FATAL_FAILURE(StartSimulator(argv, &first, &lines, line, sizeof line));
  const std::filesystem::path link = dir / "COM4";
  const std::filesystem::path served = std::filesystem::read_symlink(link);

  int err[2];
  ASSERT_EQ(pipe2(err, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  pid_t second = 0;
  ASSERT_EQ(
      posix_spawn(&second, KONFIGURATOR_SIM, &actions, nullptr, const_cast<char**>(argv), environ),
      0);
  posix_spawn_file_actions_destroy(&actions);
  close(err[1]);
  int status = 0;
  ASSERT_EQ(waitpid(second, &status, 0), second);
  FILE* errors = fdopen(err[0], "r");
  ASSERT_NE(fgets(line, sizeof line, errors), nullptr);
  fclose(errors);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  EXPECT_NE(std::string(line).find("already served by a running simulator (pid " +
                                   std::to_string(first) + " (konfigurator-sim))"),
            std::string::npos)
      << line;
  EXPECT_EQ(std::filesystem::read_symlink(link), served);

  // The first one still answers on it.
  const int fd = OpenClient(link.string());
  ASSERT_GE(fd, 0);
  Send(fd, EnterConfigModeRequest(4));
  EXPECT_EQ(ReadReply(fd, 7).size(), 7u);
  close(fd);

  kill(first, SIGTERM);
  ASSERT_EQ(waitpid(first, &status, 0), first);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
  fclose(lines);

  // A link left behind by a simulator that was killed is taken over, even when its terminal's
  // number has meanwhile gone to another program (other cases run simulators beside this one).
  pid_t killed = 0;
  ASSERT_NO_FATAL_FAILURE(StartSimulator(argv, &killed, &lines, line, sizeof line));
  kill(killed, SIGKILL);
  ASSERT_EQ(waitpid(killed, &status, 0), killed);
  fclose(lines);
  ASSERT_TRUE(std::filesystem::is_symlink(std::filesystem::symlink_status(link)));
  pid_t third = 0;
  ASSERT_NO_FATAL_FAILURE(StartSimulator(argv, &third, &lines, line, sizeof line));
  EXPECT_NE(std::string(line).find("linked as"), std::string::npos) << line;
  kill(third, SIGTERM);
  waitpid(third, &status, 0);
  fclose(lines);
  std::filesystem::remove_all(dir);
}

// The kernel gives a terminal's number again once it is free: a link made before the terminal
// it now leads to was left by a simulator that was killed, whoever serves that number now.
TEST(KonfiguratorSim, TakesOverALinkOlderThanTheTerminalItLeadsTo) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("simreused-" + std::to_string(getpid()));
  std::filesystem::remove_all(dir);
  const std::string dirText = dir.string();
  const char* other[] = {KONFIGURATOR_SIM, "--ports-dir", dirText.c_str(),
                         "--port",         "COM5",        nullptr};
  char line[512] = {};
  pid_t running = 0;
  FILE* runningOut = nullptr;
  ASSERT_NO_FATAL_FAILURE(StartSimulator(other, &running, &runningOut, line, sizeof line));
  // A link to the running one's terminal, as old as a link made an hour before it.
  const std::filesystem::path link = dir / "COM4";
  std::filesystem::create_symlink(std::filesystem::read_symlink(dir / "COM5"), link);
  const timespec anHourAgo[2] = {{std::time(nullptr) - 3600, 0}, {std::time(nullptr) - 3600, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, link.c_str(), anHourAgo, AT_SYMLINK_NOFOLLOW), 0);

  const char* argv[] = {KONFIGURATOR_SIM, "--ports-dir", dirText.c_str(),
                        "--port",         "COM4",        nullptr};
  pid_t taking = 0;
  FILE* takingOut = nullptr;
  ASSERT_NO_FATAL_FAILURE(StartSimulator(argv, &taking, &takingOut, line, sizeof line));
  EXPECT_NE(std::string(line).find("linked as"), std::string::npos) << line;
  EXPECT_NE(std::filesystem::read_symlink(link), std::filesystem::read_symlink(dir / "COM5"));
  int status = 0;
  for (pid_t pid : {taking, running}) {
    kill(pid, SIGTERM);
    waitpid(pid, &status, 0);
  }
  fclose(takingOut);
  fclose(runningOut);
  std::filesystem::remove_all(dir);
}

}  // namespace
