// The tool against the simulated device, both as processes over a pseudo-terminal.
#include <gtest/gtest.h>

#include <pty.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <thread>

#include "ProcessSupport.h"

using namespace clitest;

namespace {

// Requests in the order the devices heard them, as their first three bytes ("02 47 C9").
std::vector<std::string> RequestOrder(const std::string& simOutput) {
  std::vector<std::string> order;
  std::istringstream in(simOutput);
  std::string line;
  while (std::getline(in, line)) {
    const auto at = line.find("M: ");
    if (at != std::string::npos && line.find("  ignored: ") == std::string::npos)
      order.push_back(line.substr(at + 3, 8));
  }
  return order;
}

// The replies the simulator sent to requests starting with hexStart, as hex ("-": none).
std::vector<std::string> RepliesTo(const std::string& simOutput, const std::string& hexStart) {
  std::vector<std::string> replies;
  std::istringstream in(simOutput);
  std::string line;
  while (std::getline(in, line)) {
    const auto s = line.find("  S: ");
    if (line.find("M: " + hexStart) == std::string::npos || s == std::string::npos) continue;
    const auto end = line.find("  ", s + 5);
    std::string reply = line.substr(s + 5, end == std::string::npos ? end : end - s - 5);
    while (!reply.empty() && reply.back() == ' ') reply.pop_back();
    replies.push_back(reply);
  }
  return replies;
}

std::vector<std::string> On(const TempDir& dir, const std::string& port,
                            std::vector<std::string> args) {
  args.insert(args.end(), {"--port", port, "--ports-dir", (dir.path / "ports").string()});
  return args;
}

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

TEST(CliRead, PrintsTheDeviceValuesInsideOneConfigurationBracket) {
  TempDir dir;
  Sim sim(dir.path / "ports", "COM5", 7, {"--ip", "10.1.2.3", "--ip-port", "4001"});
  const Output r = RunCli(On(dir, "COM5", {"read", "--address", "7", "--speed", "9600"}));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "mode: LAN\nip: 10.1.2.3\nip-port: 4001\n");
  EXPECT_EQ(r.err, "");
  const std::vector<std::string> expected = {"07 47 C9", "07 46 CB", "07 46 64", "07 46 65",
                                             "07 47 CA"};
  EXPECT_EQ(RequestOrder(sim.Stop()), expected);
}

TEST(CliRead, JsonThroughADevicePath) {
  TempDir dir;
  Sim sim(dir.path / "ports", "COM5", 2, {"--ip", "172.16.0.9", "--ip-port", "80"});
  const Output r = RunCli({"read", "--port", sim.Pty(), "--json"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "{\"port\":\"" + sim.Pty() +
                       "\",\"speed\":19200,\"address\":2,\"mode\":\"LAN\",\"mode_number\":0,"
                       "\"ip\":\"172.16.0.9\",\"ip_port\":80,\"warnings\":[],\"errors\":[]}\n");
}

TEST(CliRead, InRs485ModeOnlyTheModeIsRead) {
  TempDir dir;
  Sim sim(dir.path / "ports", "COM5", 2, {"--mode", "1"});
  const Output r = RunCli(On(dir, "COM5", {"read"}));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "mode: RS485\n");
  const std::vector<std::string> expected = {"02 47 C9", "02 46 CB", "02 47 CA"};
  EXPECT_EQ(RequestOrder(sim.Stop()), expected);
}

TEST(CliRead, DeviceTextsCannotReachTheTerminalRaw) {
  TempDir dir;
  Sim sim(dir.path / "ports", "COM5", 2, {"--ip", "1.2.3.4\x1b[2J", "--ip-port", "5\"6"});
  Output r = RunCli(On(dir, "COM5", {"read"}));
  EXPECT_EQ(r.status, 4) << r.err;  // neither is a value a device can hold
  EXPECT_EQ(r.out, "mode: LAN\nip: 1.2.3.4\\x1B[2J\nip-port: 5\"6\n");
  EXPECT_NE(r.err.find("warning: the device's ip \"1.2.3.4\\x1B[2J\" is not an IP address"),
            std::string::npos)
      << r.err;
  r = RunCli(On(dir, "COM5", {"read", "--json"}));
  EXPECT_NE(r.out.find("\"ip\":\"1.2.3.4\\u001b[2J\",\"ip_port\":\"5\\\"6\""), std::string::npos)
      << r.out;
}

TEST(CliRead, EachFailedOperationIsNamedWithItsResultAndTheDeviceIsStillReleased) {
  TempDir dir;
  // Every reply declares 3 bytes: the two text reads fail at once with result 3, the
  // fixed-length operations do not look at the field.
  Sim sim(dir.path / "ports", "COM5", 2, {"--declared-length", "3"});
  Output r = RunCli(On(dir, "COM5", {"read"}));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "mode: LAN\n");
  EXPECT_NE(r.err.find("reading the IP address: the device did not answer (result 3)."),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("reading the IP port: the device did not answer (result 3)."),
            std::string::npos)
      << r.err;
  r = RunCli(On(dir, "COM5", {"read", "--json"}));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("\"ip\":null,\"ip_port\":null,\"warnings\":[],\"errors\":[{\"operation\":"
                       "\"ReadIpAddress\",\"result\":3,"),
            std::string::npos)
      << r.out;
  // The first failure is the error; its operation keeps its own name for programs.
  EXPECT_NE(r.out.find(",\"error\":{\"kind\":\"device\",\"message\":\"reading the IP address: the "
                       "device did not answer (result 3).\",\"operation\":\"ReadIpAddress\","
                       "\"result\":3}}\n"),
            std::string::npos)
      << r.out;
  const std::vector<std::string> order = RequestOrder(sim.Stop());
  ASSERT_FALSE(order.empty());
  EXPECT_EQ(order.back(), "02 47 CA");
  EXPECT_EQ(sim.Requests("02 47 CA"), 2);
}

struct FaultCase {
  const char* fault;
  const char* message;
};

class CliFaults : public testing::TestWithParam<FaultCase> {};

TEST_P(CliFaults, AFailedEnterEndsTheRunWithoutLeaving) {
  TempDir dir;
  Sim sim(dir.path / "ports", "COM5", 2, {GetParam().fault});
  const Output r = RunCli(On(dir, "COM5", {"read"}));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find(GetParam().message), std::string::npos) << r.err;
  EXPECT_EQ(sim.Requests("02 47 CA"), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Results, CliFaults,
    testing::Values(
        FaultCase{"--refuse", "entering configuration mode: the device refused (result 7)."},
        FaultCase{"--bad-checksum",
                  "entering configuration mode: the reply's checksum was wrong: noise on the "
                  "line, or a wrong speed (result 4)."},
        FaultCase{"--foreign-address",
                  "entering configuration mode: another address answered: are two devices on "
                  "one address? (result 10)."}));

TEST(CliRead, ASilentDeviceGivesResult3) {
  TempDir dir;
  Sim sim(dir.path / "ports", "COM5", 9);
  const Output r = RunCli(On(dir, "COM5", {"read", "--address", "4"}));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("entering configuration mode: the device did not answer (result 3); check "
                       "the address, the speed and the wiring. Nothing was read."),
            std::string::npos)
      << r.err;
  EXPECT_EQ(sim.Requests("04 47 C9"), 2);  // the operation's two attempts
}

TEST(CliRead, AnInterruptStillReleasesTheDevice) {
  TempDir dir;
  Sim sim(dir.path / "ports", "COM5", 2);
  Child cli(On(dir, "COM5", {KONFIGURATOR_CLI, "read"}));
  // The device answered the enter request: the tool is now in its one-second wait.
  ASSERT_TRUE(sim.Process().WaitForOutput("02 47 C9", 5000));
  ::kill(cli.Pid(), SIGINT);
  const Output r = cli.Finish(10000);
  EXPECT_EQ(r.status, 130);
  EXPECT_NE(r.err.find("interrupted"), std::string::npos) << r.err;
  const std::vector<std::string> order = RequestOrder(sim.Stop());
  ASSERT_FALSE(order.empty());
  EXPECT_EQ(order.back(), "02 47 CA");
}

TEST(CliRead, ADeviceThatGoesAwayIsReportedAsGone) {
  TempDir dir;
  Sim sim(dir.path / "ports", "COM5", 2);
  Child cli(On(dir, "COM5", {KONFIGURATOR_CLI, "read"}));
  ASSERT_TRUE(sim.Process().WaitForOutput("02 47 C9", 5000));
  // The hang-up drops a reply not yet read: the tool gets time to read it, well inside its
  // one-second wait after entering, so the port goes away before the next operation.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  // Like an unplugged adapter: the terminal closes and its link disappears.
  sim.Stop();
  const Output r = cli.Finish(20000);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("reading the operating mode: the port failed"), std::string::npos) << r.err;
  EXPECT_NE(
      r.err.find((dir.path / "ports" / "COM5").string() + " is gone: was the adapter unplugged?"),
      std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("leaving configuration mode: the port failed"), std::string::npos) << r.err;
}

TEST(CliWrite, WrittenValuesReadBack) {
  TempDir dir;
  Sim sim(dir.path / "ports", "COM5", 3);
  Output r = RunCli(
      On(dir, "COM5", {"write", "--address", "3", "--ip", "010.9.8.7", "--ip-port", "1234"}));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "ip: 10.9.8.7 written\nip-port: 1234 written\n");
  // Each value read back after all writes, before the device is released.
  const std::vector<std::string> order = {"03 47 C9", "03 47 64", "03 47 65",
                                          "03 46 64", "03 46 65", "03 47 CA"};
  ASSERT_TRUE(sim.Process().WaitForOutput("03 47 CA", 5000));
  EXPECT_EQ(RequestOrder(sim.Process().Out()), order);
  r = RunCli(On(dir, "COM5", {"read", "--address", "3"}));
  EXPECT_EQ(r.out, "mode: LAN\nip: 10.9.8.7\nip-port: 1234\n");

  r = RunCli(On(dir, "COM5", {"write", "--address", "3", "--mode", "rs485", "--json"}));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "{\"port\":\"COM5\",\"speed\":19200,\"address\":3,\"written\":{\"mode\":\"RS485\"},"
            "\"unchanged\":{},\"verified\":true,\"errors\":[]}\n");
  r = RunCli(On(dir, "COM5", {"read", "--address", "3"}));
  EXPECT_EQ(r.out, "mode: RS485\n");
}

TEST(CliWrite, TheModeIsWrittenOnlyWhenItDiffers) {
  TempDir dir;
  Sim sim(dir.path / "ports", "COM5", 2);
  const Output r = RunCli(On(dir, "COM5", {"write", "--mode", "LAN"}));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "mode: LAN unchanged\n");
  const std::vector<std::string> expected = {"02 47 C9", "02 46 CB", "02 47 CA"};
  EXPECT_EQ(RequestOrder(sim.Stop()), expected);
}

TEST(CliScan, FindsTheDeviceAtItsAddressAndOnlyAtItsSpeed) {
  TempDir dir;
  Sim sim(dir.path / "ports", "COM5", 5, {"--speed", "19200"});
  const Output r =
      RunCli(On(dir, "COM5", {"scan", "--addresses", "3-7", "--speeds", "9600,19200,38400"}));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "address 5 at 19200 bit/s\n");
  // Heard at its speed only, and left as it was found.
  EXPECT_EQ(sim.Requests("05 47 C9"), 1);
  EXPECT_EQ(sim.Requests("05 47 CA"), 1);
  EXPECT_EQ(sim.Requests("05 46 CB"), 1);  // the confirmation
  EXPECT_EQ(sim.Ignored("05 47 C9"), 2);
  EXPECT_EQ(sim.Ignored("05 47 CA"), 0);
  // One attempt per silent address and speed.
  EXPECT_EQ(sim.Requests("03 47 C9"), 1);
  EXPECT_EQ(sim.Ignored("03 47 C9"), 2);
  EXPECT_EQ(sim.Ignored("07 47 C9"), 2);
}

TEST(CliScan, ADeviceAnsweringAtSeveralSpeedsIsOneDevice) {
  TempDir dir;
  // Without --speed the simulator answers at any speed, as some converters do.
  Sim sim(dir.path / "ports", "COM5", 2);
  Output r = RunCli(On(dir, "COM5", {"scan", "-A", "1-2", "-S", "common"}));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "address 2 at 19200, 9600, 38400, 57600, 115200 bit/s\n");
  r = RunCli(On(dir, "COM5", {"scan", "-jA", "2", "-S", "9600,19200"}));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "{\"port\":\"COM5\",\"devices\":[{\"address\":2,\"speed\":9600,\"speeds\":[9600,"
            "19200],\"refused\":false,\"slow\":false}],\"probes\":2,\"complete\":true,"
            "\"rejected_replies\":0,\"errors\":[]}\n");
}

TEST(CliScan, FindsEveryDeviceOnABusAndReleasesEach) {
  TempDir dir;
  Sim sim(dir.path / "ports", "COM5", "2,5,17", {"--speed", "9600"});
  const Output r =
      RunCli(On(dir, "COM5", {"scan", "--addresses", "0-20", "--speeds", "19200,9600", "--json"}));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "{\"port\":\"COM5\",\"devices\":["
            "{\"address\":2,\"speed\":9600,\"speeds\":[9600],\"refused\":false,\"slow\":false},"
            "{\"address\":5,\"speed\":9600,\"speeds\":[9600],\"refused\":false,\"slow\":false},"
            "{\"address\":17,\"speed\":9600,\"speeds\":[9600],\"refused\":false,\"slow\":false}],"
            "\"probes\":42,\"complete\":true,\"rejected_replies\":0,\"errors\":[]}\n");
  const std::string lines = sim.Stop();
  std::vector<std::string> heard = RequestOrder(lines);
  for (const char* address : {"02", "05", "11"}) {
    const std::string a = address;
    // Found, confirmed by its mode, then released at once.
    const auto enter = std::find(heard.begin(), heard.end(), a + " 47 C9");
    ASSERT_NE(enter, heard.end()) << a << "\n" << lines;
    ASSERT_GT(heard.end() - enter, 2);
    EXPECT_EQ(*(enter + 1), a + " 46 CB") << lines;
    EXPECT_EQ(*(enter + 2), a + " 47 CA") << lines;
    const std::vector<std::string> left = RepliesTo(lines, a + " 47 CA");
    ASSERT_EQ(left.size(), 1u) << lines;
    EXPECT_EQ(left[0].substr(0, 8), a + " 47 CA") << lines;
  }
  // Nothing else was answered, and nothing at the other speed.
  int answered = 0;
  for (const std::string& reply : RepliesTo(lines, "")) answered += reply != "-";
  EXPECT_EQ(answered, 9) << lines;
  EXPECT_EQ(sim.Ignored(""), 21);
}

TEST(CliScan, JsonAndFirstStopAtTheFirstDevice) {
  TempDir dir;
  Sim sim(dir.path / "ports", "COM5", 1);
  const Output r = RunCli(On(dir, "COM5", {"scan", "--speeds", "38400,9600", "--first", "--json"}));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "{\"port\":\"COM5\",\"devices\":[{\"address\":1,\"speed\":38400,\"speeds\":[38400],"
            "\"refused\":false,\"slow\":false}],"
            "\"probes\":2,\"complete\":false,\"rejected_replies\":0,\"errors\":[]}\n");
}

TEST(CliScan, ADeviceThatRefusesIsFoundButNotReleased) {
  TempDir dir;
  Sim sim(dir.path / "ports", "COM5", 4, {"--refuse"});
  const Output r = RunCli(On(dir, "COM5", {"scan", "--addresses", "4", "--speeds", "9600"}));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "address 4 at 9600 bit/s (refuses configuration mode)\n");
  EXPECT_EQ(sim.Requests("04 47 CA"), 0);
}

TEST(CliScan, NothingFoundIsAFailureWithoutLongWaits) {
  TempDir dir;
  Sim sim(dir.path / "ports", "COM5", 200);
  const auto start = std::chrono::steady_clock::now();
  const Output r = RunCli(On(dir, "COM5", {"scan", "--addresses", "0-9", "--speeds", "115200"}));
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("no device answered (10 probes)"), std::string::npos) << r.err;
  // Ten probes of 50 ms and the line time, not ten operations of two 2-second attempts.
  EXPECT_LT(took, std::chrono::seconds(3));
}

TEST(CliScan, ADeviceAnsweringWithinTheTimeOutIsFoundInItsOwnProbe) {
  TempDir dir;
  // 340 ms after the request against a wait of 400 ms and the line time: found by its own
  // probe, not as a late reply, at the last of three addresses and the first speed.
  Sim sim(dir.path / "ports", "COM5", 7, {"--delay", "340"});
  const Output r = RunCli(
      On(dir, "COM5",
         {"scan", "--addresses", "5-7", "--speeds", "115200,9600", "--timeout", "400", "--first"}));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "address 7 at 115200 bit/s\n");
  EXPECT_EQ(sim.Requests("07 47 C9"), 1);
}

TEST(CliScan, ADeviceSlowerThanTheTimeOutIsFoundAndReleased) {
  TempDir dir;
  // Probes of 300 ms and the line time; the reply 800 ms after the request comes during a
  // later probe, or within the wait of four probe times after the last one. Wide margins
  // both ways, so a loaded machine cannot move the reply into the probe or past the wait.
  for (const char* addresses : {"5-12", "5-7"}) {
    Sim sim(dir.path / "ports", "COM5", 7, {"--delay", "800"});
    const Output r = RunCli(On(
        dir, "COM5", {"scan", "--addresses", addresses, "--speeds", "19200", "--timeout", "300"}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "address 7 at 19200 bit/s (answered late: a longer --timeout suits it)\n")
        << addresses;
    std::vector<std::string> order = RequestOrder(sim.Stop());
    std::erase_if(order, [](const std::string& req) { return req.rfind("07 ", 0) != 0; });
    ASSERT_FALSE(order.empty());
    EXPECT_EQ(order.back(), "07 47 CA") << addresses << sim.Stop();
  }
}

TEST(CliScan, ALateReplyDuringTheNextSpeedIsCreditedToTheSpeedItWasAskedAt) {
  TempDir dir;
  // Asked at 19200 bit/s near 0.52 s, it answers 2.8 s later, when the scan has gone on to
  // 38400: after that speed has asked address 7 too (near 2.6 s) and before its wait for late
  // replies ends (near 4.1 s). A loaded machine stretches each probe beyond its 250 ms and so
  // moves the first bound later: the reply sits well above it, with room for the other.
  Sim sim(dir.path / "ports", "COM5", 7, {"--speed", "19200", "--delay", "2800", "--times", "1"});
  const Output r = RunCli(
      On(dir, "COM5",
         {"scan", "--addresses", "5-8", "--speeds", "19200,38400", "--timeout", "250", "--json"}));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "{\"port\":\"COM5\",\"devices\":[{\"address\":7,\"speed\":19200,\"speeds\":[19200],"
            "\"refused\":false,\"slow\":true}],\"probes\":8,\"complete\":true,"
            "\"rejected_replies\":0,\"errors\":[]}\n")
      << r.err << sim.Stop();
  // Confirmed and released where it listens; the try at 38400 went unheard.
  EXPECT_EQ(sim.Requests("07 46 CB"), 1);
  EXPECT_EQ(sim.Ignored("07 46 CB"), 1);
  EXPECT_EQ(sim.Requests("07 47 CA"), 1);
  EXPECT_EQ(sim.Ignored("07 47 CA"), 0);
  const std::vector<std::string> order = RequestOrder(sim.Stop());
  ASSERT_FALSE(order.empty());
  EXPECT_EQ(order.back(), "07 47 CA");
}

TEST(CliScan, AReaderThatGoesAwayDoesNotKeepTheDeviceInConfigurationMode) {
  TempDir dir;
  Sim sim(dir.path / "ports", "COM5", 1);
  Child cli(On(dir, "COM5", {KONFIGURATOR_CLI, "scan", "--addresses", "0-9", "--speeds", "9600"}),
            SpawnOptions{false, -1, true});
  const Output r = cli.Finish(10000);
  EXPECT_EQ(r.status, 130) << r.err;
  // It sees the reader gone before it probes, instead of probing on for nobody.
  EXPECT_EQ(sim.Requests("01 47 C9"), sim.Requests("01 47 CA"));
  EXPECT_EQ(sim.Requests("02 47 C9"), 0);
}

TEST(CliScan, AReaderThatGoesAwayLaterEndsTheScanWithTheDeviceReleased) {
  TempDir dir;
  Sim sim(dir.path / "ports", "COM5", 1);
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  const std::vector<std::string> args =
      On(dir, "COM5", {KONFIGURATOR_CLI, "scan", "--addresses", "1-200", "--speeds", "9600"});
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], 1);
    ::close(out[0]);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  // The reader leaves once the device has been found, long before the scan ends.
  ASSERT_TRUE(sim.Process().WaitForOutput("01 47 CA", 5000));
  ::close(out[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 130);
  EXPECT_EQ(sim.Requests("01 47 CA"), 1);
  EXPECT_EQ(sim.Requests("05 47 C9"), 0);
}

TEST(CliScan, ShowsProgressOnATerminalOnly) {
  TempDir dir;
  Sim sim(dir.path / "ports", "COM5", 1);
  int master = -1, slave = -1;
  ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  Child cli(On(dir, "COM5", {KONFIGURATOR_CLI, "scan", "--addresses", "0-2", "--speeds", "9600"}),
            SpawnOptions{false, slave});
  ::close(slave);
  const Output r = cli.Finish(10000);
  EXPECT_EQ(r.status, 0);
  std::string terminal;
  char buf[4096];
  pollfd p{master, POLLIN, 0};
  while (::poll(&p, 1, 200) > 0) {
    const ssize_t n = ::read(master, buf, sizeof buf);
    if (n <= 0) break;
    terminal.append(buf, static_cast<std::size_t>(n));
  }
  ::close(master);
  EXPECT_NE(terminal.find("scanning 9600 bit/s, address 2 (3 of 3), 1 found"), std::string::npos)
      << terminal;
  // Before the first probe, how long it may take: three probes and the wait after them.
  EXPECT_NE(terminal.find("konfigurator-cli: scanning 3 addresses at 1 speed takes up to 1 s; "
                          "Ctrl-C stops it."),
            std::string::npos)
      << terminal;
  EXPECT_EQ(r.out, "address 1 at 9600 bit/s\n");

  // Into a pipe: no progress lines.
  const Output piped = RunCli(On(dir, "COM5", {"scan", "--addresses", "0-2", "--speeds", "9600"}));
  EXPECT_EQ(piped.err.find("scanning"), std::string::npos) << piped.err;
}

TEST(CliLog, OnlyWithLogIsTrans_txtWritten) {
  TempDir dir;
  // A copy of its own, so "beside the program" is our folder; COM2, address 2 and 19200 bit/s
  // are the defaults the simulator meets.
  const fs::path exe = dir.path / "konfigurator-cli";
  fs::copy_file(KONFIGURATOR_CLI, exe);
  Sim sim(dir.path / "ports", "COM2", 2);
  Output r = RunCli({"read"}, 20000, {}, exe.string());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(fs::exists(dir.path / "trans.txt"));

  r = RunCli({"read", "--log"}, 20000, {}, exe.string());
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string log = ReadFile(dir.path / "trans.txt");
  EXPECT_NE(log.find("  M: 02 47 C9 00 07 "), std::string::npos) << log;
  EXPECT_NE(log.find("  M: 02 47 CA 00 07 "), std::string::npos) << log;

  const fs::path elsewhere = dir.path / "logs";
  fs::create_directory(elsewhere);
  r = RunCli({"read", "--log=" + elsewhere.string()}, 20000, {}, exe.string());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(ReadFile(elsewhere / "trans.txt").find("  M: 02 46 CB 00 07 "), std::string::npos);

  r = RunCli({"read", "--log=" + (dir.path / "missing").string()}, 20000, {}, exe.string());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("cannot be written"), std::string::npos) << r.err;
}
