// A port the tool cannot use: each case gets its own message and exit status 3.
#include <gtest/gtest.h>

#include <grp.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <fstream>

#include "ProcessSupport.h"

using namespace clitest;

namespace {

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

}  // namespace

TEST(CliPortErrors, AMissingComPortIsNamedAndTheExistingOnesListed) {
  TempDir dir;
  Sim sim(dir.path / "ports", "COM5", 2);
  fs::create_symlink(dir.path / "unplugged", dir.path / "ports" / "COM4");
  const std::string ports = (dir.path / "ports").string();

  Output r = RunCli({"read", "--port", "COM99", "--ports-dir", ports});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(Contains(
      r.err, "port COM99 does not exist: there is no " + ports + "/COM99 and no /dev/ttyS98."))
      << r.err;
  EXPECT_TRUE(Contains(r.err, "COM5 -> " + sim.Pty())) << r.err;
  EXPECT_TRUE(Contains(r.err, "COM4 -> " + (dir.path / "unplugged").string() + " (missing)"))
      << r.err;

  r = RunCli({"read", "--port", "com4", "--ports-dir", ports});
  EXPECT_EQ(r.status, 3);
  EXPECT_TRUE(Contains(r.err, "port COM4 does not exist: " + ports + "/COM4 points at " +
                                  (dir.path / "unplugged").string() + ", which is not there"))
      << r.err;
}

TEST(CliPortErrors, AMissingDevicePath) {
  TempDir dir;
  const std::string path = (dir.path / "ttyUSB7").string();
  const Output r = RunCli({"scan", "--port", path});
  EXPECT_EQ(r.status, 3);
  EXPECT_TRUE(Contains(r.err, "port " + path + " does not exist.\n")) << r.err;
  // What this machine has: a listing, or where nothing was found.
  EXPECT_TRUE(Contains(r.err, "does not exist.\nPorts found:\n  ") ||
              Contains(r.err, "does not exist.\nNo serial ports found (no COMn links in "))
      << r.err;
}

// Whatever the port error underneath, what is no serial line is called so, with what it is.
TEST(CliPortErrors, WhatIsNoSerialPortIsCalledSo) {
  TempDir dir;
  const fs::path file = dir.path / "notes.txt";
  { std::ofstream(file) << "x"; }
  const fs::path fifo = dir.path / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const fs::path socketPath = dir.path / "socket";
  {
    const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(s, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(socketPath.string().size(), sizeof addr.sun_path);
    std::strcpy(addr.sun_path, socketPath.c_str());
    ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::close(s);  // the node stays
  }
  fs::create_directory(dir.path / "folder");
  fs::create_symlink("/dev/null", dir.path / "null");
  fs::create_symlink("/dev/zero", dir.path / "zero");
  fs::create_symlink("/dev/ptmx", dir.path / "ptmx");
  fs::create_symlink(dir.path / "nowhere", dir.path / "dangling");
  fs::create_symlink(dir.path / "loop2", dir.path / "loop1");
  fs::create_symlink(dir.path / "loop1", dir.path / "loop2");
  // A terminal of our own, so that a new one from /dev/ptmx has someone else beside it, as on
  // any desktop.
  int master = -1, slave = -1;
  ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);

  struct Case {
    std::string name;
    std::string said;   // after the path
    std::string cause;  // in the JSON
  };
  const std::string notSerial = " is not a serial port.\n";
  const Case cases[] = {
      {"notes.txt", notSerial + "It is a plain file.\n", "not-serial"},
      {"fifo", notSerial + "It is a named pipe.\n", "not-serial"},
      {"socket", notSerial + "It is a socket.\n", "not-serial"},
      {"folder", notSerial + "It is a folder.\n", "not-serial"},
      {"null", notSerial + "It is a character device, but no serial line.\n", "not-serial"},
      {"zero", notSerial + "It is a character device, but no serial line.\n", "not-serial"},
      {"ptmx", notSerial + "It is a character device, but no serial line.\n", "not-serial"},
      {"dangling", " does not exist.\n", "missing"},
      {"loop1", ": Too many levels of symbolic links.\n", "other"},
  };
  for (const Case& c : cases) {
    const std::string path = (dir.path / c.name).string();
    const Output r = RunCli({"read", "--port", path});
    EXPECT_EQ(r.status, 3) << c.name;
    EXPECT_TRUE(Contains(r.err, path + c.said)) << c.name << ": " << r.err;
    EXPECT_FALSE(Contains(r.err, "in use")) << c.name << ": " << r.err;
    const Output j = RunCli({"read", "--port", path, "--json"});
    EXPECT_EQ(j.status, 3) << c.name;
    EXPECT_TRUE(Contains(j.out, "\"cause\":\"" + c.cause + "\",\"path\":\"" + path + "\""))
        << c.name << ": " << j.out;
  }
  ::close(slave);
  ::close(master);
}

TEST(CliPortErrors, APortHeldByAnotherProgramNamesIt) {
  TempDir dir;
  Sim sim(dir.path / "ports", "COM5", 2);
  // The lock every opener of the port takes, held here as another program would.
  const int fd = ::open(sim.Pty().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
  const Output r = RunCli({"read", "--port", "COM5", "--ports-dir", (dir.path / "ports").string()});
  ::close(fd);
  EXPECT_EQ(r.status, 3);
  EXPECT_TRUE(Contains(r.err, "is in use by another program: pid " + std::to_string(::getpid())))
      << r.err;
  EXPECT_TRUE(Contains(r.err, "Close it and try again.")) << r.err;
  // Only the holder of the lock is named, not the simulator that merely has the port open.
  EXPECT_FALSE(Contains(r.err, "konfigurator-si")) << r.err;
  EXPECT_EQ(sim.Requests("02 47 C9"), 0);
}

// The UUCP lock file that keeps the port is the reason given, with its pid or that it has
// none to read; the simulator, which has its end open, is only seen beside it.
TEST(CliPortErrors, ALockFileInTheWayIsNamedWithItsPid) {
  TempDir dir;
  Sim sim(dir.path / "ports", "COM5", 2);
  std::string name = fs::canonical(sim.Pty()).string().substr(5);  // pts/3
  std::replace(name.begin(), name.end(), '/', '_');
  const std::string lock = "/run/lock/LCK.." + name;
  struct Remove {
    std::string path;
    ~Remove() { ::unlink(path.c_str()); }
  } remove{lock};
  const std::vector<std::string> read = {"read", "--port", "COM5", "--ports-dir",
                                         (dir.path / "ports").string()};
  std::vector<std::string> json = read;
  json.push_back("--json");

  char text[16];
  std::snprintf(text, sizeof text, "%10d\n", int(::getpid()));  // this test, alive
  {
    std::ofstream out(lock);
    if (!out) GTEST_SKIP() << "cannot write in /run/lock";
    out << text;
  }
  Output r = RunCli(read);
  EXPECT_EQ(r.status, 3);
  const std::string pid = std::to_string(::getpid());
  EXPECT_TRUE(
      Contains(r.err, "is locked by the lock file " + lock + " (pid " + pid + ", cli_tests).\n"))
      << r.err;
  EXPECT_TRUE(Contains(r.err, "Seen with the device open: pid ")) << r.err;
  EXPECT_TRUE(Contains(r.err, "Close that program and try again.")) << r.err;
  EXPECT_FALSE(Contains(r.err, "in use by")) << r.err;
  r = RunCli(json);
  EXPECT_TRUE(Contains(r.out, "\"cause\":\"busy\"")) << r.out;
  EXPECT_TRUE(Contains(r.out, ",\"lock_file\":{\"path\":\"" + lock + "\",\"pid\":" + pid + "}}"))
      << r.out;

  // The old binary form names the same live pid.
  {
    const int binary = ::getpid();
    std::ofstream(lock, std::ios::trunc | std::ios::binary)
        .write(reinterpret_cast<const char*>(&binary), sizeof binary);
  }
  r = RunCli(read);
  EXPECT_TRUE(
      Contains(r.err, "is locked by the lock file " + lock + " (pid " + pid + ", cli_tests).\n"))
      << r.err;

  // Half written: too fresh to be taken over, and no pid to name.
  { std::ofstream(lock, std::ios::trunc); }
  r = RunCli(read);
  EXPECT_EQ(r.status, 3);
  EXPECT_TRUE(Contains(r.err, "is locked by the lock file " + lock + " (pid unreadable).\n"))
      << r.err;
  EXPECT_TRUE(Contains(r.err, "try again in a few seconds")) << r.err;
  r = RunCli(json);
  EXPECT_TRUE(Contains(r.out, ",\"lock_file\":{\"path\":\"" + lock + "\",\"pid\":null}}")) << r.out;
  EXPECT_EQ(sim.Requests("02 47 C9"), 0);
}

TEST(CliPortErrors, NoPermissionNamesTheOwningGroupAndHowToJoinIt) {
  // A group the tool's user is not in: dialout where it exists.
  const group* g = ::getgrnam("dialout");
  const gid_t gid = g ? g->gr_gid : 20;
  const std::string groupName = g ? g->gr_name : std::to_string(gid);

  int master = -1, slave = -1;
  char name[128] = {};
  ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
  SpawnOptions as;
  const bool root = ::geteuid() == 0;
  if (root) {
    // Root opens anything: the tool runs as nobody instead, on a node of root and the group.
    as.asNobody = true;
    ASSERT_EQ(::chown(name, 0, gid), 0);
    ASSERT_EQ(::chmod(name, 0660), 0);
  } else {
    // Our own terminal, closed to everyone: only part of the advice applies.
    ASSERT_EQ(::chmod(name, 0), 0);
  }
  const Output r = RunCli({"read", "--port", name}, 20000, as);
  ::close(slave);
  ::close(master);
  if (as.asNobody && r.status == 126) GTEST_SKIP() << "cannot switch to user nobody";
  EXPECT_EQ(r.status, 3);
  EXPECT_TRUE(Contains(r.err, std::string("no permission to open ") + name)) << r.err;
  if (!root) {
    struct stat st {};
    ASSERT_EQ(::stat(name, &st), 0);
    const group* own = ::getgrgid(st.st_gid);
    EXPECT_TRUE(Contains(r.err, "Not even its group " + std::string(own ? own->gr_name : "")))
        << r.err;
    GTEST_SKIP() << "the advice to join the group is checked only when the tests run as root "
                    "(they then run the tool as nobody)";
  }
  EXPECT_TRUE(Contains(r.err, "The device belongs to group " + groupName)) << r.err;
  EXPECT_TRUE(Contains(r.err, "sudo usermod -aG " + groupName + " $USER")) << r.err;
  EXPECT_TRUE(Contains(r.err, "log out and in again")) << r.err;

  ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
  ASSERT_EQ(::chown(name, 0, gid), 0);
  ASSERT_EQ(::chmod(name, 0660), 0);
  const Output j = RunCli({"read", "--port", name, "--json"}, 20000, as);
  ::close(slave);
  ::close(master);
  EXPECT_EQ(j.status, 3);
  EXPECT_TRUE(Contains(j.out, std::string("\"cause\":\"permission\",\"path\":\"") + name +
                                  "\",\"link_target\":null,\"group\":\"" + groupName +
                                  "\",\"holders\":[]}}\n"))
      << j.out;
}

TEST(CliPortErrors, WrongUsageIsExitStatus2) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  const Case cases[] = {
      {{}, "no command given"},
      {{"read", "--speed", "12345"}, "unknown speed \"12345\"; one of 110 300"},
      {{"read", "--address", "256"}, "address \"256\" is not a number from 0 to 255"},
      {{"write"}, "write needs at least one of --mode, --ip, --ip-port"},
      {{"write", "--ip", "1.2.3"}, "\"1.2.3\" is not an IP address"},
      {{"read", "--ip", "1.2.3.4"}, "belong to write"},
      {{"scan", "--address", "3"}, "scan takes --addresses"},
      {{"read", "--speeds", "all"}, "belong to scan"},
      {{"read", "--port", "COM0"}, "\"COM0\" is not a port name"},
      {{"frobnicate"}, "unknown command"},
  };
  for (const Case& c : cases) {
    const Output r = RunCli(c.args);
    const int expected = std::string(c.message).find("port name") != std::string::npos ? 3 : 2;
    EXPECT_EQ(r.status, expected) << c.message;
    EXPECT_TRUE(Contains(r.err, c.message)) << r.err;
  }
}

TEST(CliPortErrors, HelpAndVersion) {
  for (const char* help : {"--help", "-h", "help"}) {
    const Output r = RunCli({help});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(Contains(r.out, "Usage: konfigurator-cli read")) << r.out;
    EXPECT_TRUE(Contains(r.out, "without --log nothing is logged")) << r.out;
    EXPECT_TRUE(
        Contains(r.out, "A scan of all 256 addresses with the default time-out takes up to"))
        << r.out;
  }
  Output r = RunCli({"--version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(Contains(r.out, "konfigurator-cli ")) << r.out;
  r = RunCli({"-V", "-j"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("{\"version\":\"", 0), 0u) << r.out;
  EXPECT_EQ(r.out.substr(r.out.size() - 3), "\"}\n") << r.out;
}
