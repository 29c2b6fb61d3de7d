// konfigurator-cli ports on a fake device tree.
#include <gtest/gtest.h>

#include <grp.h>
#include <pty.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>

#include "FakeDeviceTree.h"
#include "ProcessSupport.h"

using namespace clitest;
using portinfotest::FakeAdapter;
using portinfotest::FakeDeviceTree;

namespace {

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The tool reads the fake tree instead of /sys and /dev while this lives.
struct UseTree {
  explicit UseTree(const FakeDeviceTree& t) {
    setenv("KONFIGURATOR_SYSFS", t.Tree().sysfs.c_str(), 1);
    setenv("KONFIGURATOR_DEV", t.Tree().dev.c_str(), 1);
  }
  ~UseTree() {
    unsetenv("KONFIGURATOR_SYSFS");
    unsetenv("KONFIGURATOR_DEV");
  }
};

FakeAdapter Ftdi(const std::string& serial) {
  FakeAdapter a;
  a.serial = serial;
  return a;
}

}  // namespace

TEST(CliPorts, ListsEveryDeviceWithItsNumberAndDetails) {
  FakeDeviceTree t;
  UseTree use(t);
  t.BuiltIn(0, 4);
  const std::string a = t.Plug(Ftdi("FT1234AB"), "ttyUSB0", 1);
  FakeAdapter bare;
  bare.vendorId = "1a86";
  bare.productId = "7523";
  bare.manufacturer = "";
  bare.product = "USB Serial";
  bare.driver = "ch341";
  bare.withById = false;
  t.Plug(bare, "ttyUSB1", 2);
  const std::string ports = t.Tree().portsDir;
  fs::create_directories(ports);
  fs::create_symlink(t.Root() / "pts-of-the-simulator", ports + "/COM2");
  fs::create_symlink(t.Tree().byId + "/usb-gone", ports + "/COM3");

  const Output r = RunCli({"ports", "--ports-dir", ports});
  std::printf("konfigurator-cli ports on the fake tree:\n%s", r.out.c_str());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const std::string dev = t.Tree().dev;
  EXPECT_TRUE(Contains(r.out, "Ports folder: " + ports + "\n")) << r.out;
  EXPECT_TRUE(Contains(r.out, "\nCOM1  " + dev + "/ttyS0\n  driver     serial\n")) << r.out;
  EXPECT_TRUE(Contains(r.out, "\nCOM4  " + dev + "/ttyUSB0\n  by-id      " + a +
                                  "\n  driver     ftdi_sio\n  USB        0403:6001  FTDI  "
                                  "USB-RS485 Cable  serial FT1234AB\n  may open   yes\n"
                                  "  in use     no\n"))
      << r.out;
  EXPECT_TRUE(Contains(r.out, "\n(no COM number)  " + dev +
                                  "/ttyUSB1\n  by-id      none\n"
                                  "  driver     ch341\n  USB        1a86:7523  USB Serial\n"))
      << r.out;
  EXPECT_TRUE(Contains(r.out, "Other COM links:\nCOM2 -> " +
                                  (t.Root() / "pts-of-the-simulator").string() +
                                  "  (absent; the number stays its own)\nCOM3 -> " + t.Tree().byId +
                                  "/usb-gone  (absent; the number stays its own)\n"))
      << r.out;
  EXPECT_TRUE(Contains(r.out, "Note: " + dev + "/ttyUSB1 has no /dev/serial/by-id name")) << r.out;

  const Output j = RunCli({"ports", "--json", "--ports-dir", ports});
  EXPECT_EQ(j.status, 0);
  struct stat st {};
  ASSERT_EQ(::stat((dev + "/ttyUSB0").c_str(), &st), 0);
  const group* g = ::getgrgid(st.st_gid);
  const std::string groupName = g ? g->gr_name : std::to_string(st.st_gid);
  // The device's group whether or not this user may open it, as the port errors name it.
  EXPECT_TRUE(Contains(j.out, "{\"com\":\"COM4\",\"coms\":[\"COM4\"],\"path\":\"" + dev +
                                  "/ttyUSB0\",\"by_id\":\"" + a +
                                  "\",\"driver\":\"ftdi_sio\",\"usb\":true,\"vendor_id\":\"0403\","
                                  "\"product_id\":\"6001\",\"manufacturer\":\"FTDI\",\"product\":"
                                  "\"USB-RS485 Cable\",\"serial\":\"FT1234AB\",\"may_open\":true,"
                                  "\"group\":\"" +
                                  groupName + "\",\"group_may_open\":false,\"held_by\":[]}"))
      << j.out;
  EXPECT_EQ(j.out.rfind("{\"ports_dir\":", 0), 0u) << j.out;
  // One naming style: no key with a capital letter.
  for (std::size_t at = 0; (at = j.out.find("\":", at)) != std::string::npos; ++at) {
    const std::size_t open = j.out.rfind('"', at - 1);
    const std::string key = j.out.substr(open + 1, at - open - 1);
    EXPECT_EQ(key.find_first_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ"), std::string::npos) << key;
  }
  EXPECT_TRUE(Contains(j.out, "{\"com\":null,\"coms\":[],\"path\":\"" + dev + "/ttyUSB1\""))
      << j.out;
  EXPECT_TRUE(Contains(
      j.out, "{\"com\":\"COM3\",\"target\":\"" + t.Tree().byId + "/usb-gone\",\"present\":false}"))
      << j.out;
  EXPECT_EQ(j.out.back(), '\n');
}

TEST(CliPorts, AUserOutsideTheDevicesGroupIsToldWhichToJoin) {
  const group* dialout = getgrnam("dialout");
  if (geteuid() != 0 || !dialout) GTEST_SKIP() << "needs root and a dialout group";
  FakeDeviceTree t;
  UseTree use(t);
  t.Plug(Ftdi("FT1234AB"), "ttyUSB0", 1);
  const std::string node = t.Tree().dev + "/ttyUSB0";
  ASSERT_EQ(chown(node.c_str(), 0, dialout->gr_gid), 0);
  ASSERT_EQ(chmod(node.c_str(), 0660), 0);
  fs::permissions(t.Root(), fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  TempDir ports;

  SpawnOptions nobody;
  nobody.asNobody = true;
  const Output r = RunCli({"ports", "--ports-dir", (ports.path / "ports").string()}, 20000, nobody);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.out,
                       "  may open   no: join the group dialout (sudo usermod -aG dialout "
                       "$USER, then log in again)\n"))
      << r.out;
  const Output j =
      RunCli({"ports", "-j", "--ports-dir", (ports.path / "ports").string()}, 20000, nobody);
  EXPECT_TRUE(Contains(j.out, "\"may_open\":false,\"group\":\"dialout\",\"group_may_open\":true"))
      << j.out;
}

TEST(CliPorts, LinkAndUnlink) {
  FakeDeviceTree t;
  UseTree use(t);
  const std::string a = t.Plug(Ftdi("FT1234AB"), "ttyUSB0", 1);
  const std::string ports = (t.Root() / "own/ports").string();

  // A kernel name is linked by the adapter's stable name.
  Output r = RunCli({"ports", "link", "com9", "ttyUSB0", "--ports-dir", ports});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "COM9 -> " + a + "\n");
  EXPECT_EQ(fs::read_symlink(ports + "/COM9").string(), a);
  // That adapter now has its number: looking gives it no second one.
  r = RunCli({"ports", "--ports-dir", ports});
  EXPECT_TRUE(Contains(r.out, "\nCOM9  ")) << r.out;
  EXPECT_FALSE(fs::exists(ports + "/COM3"));

  r = RunCli({"ports", "link", "COM9", "/dev/null", "--ports-dir", ports});
  EXPECT_EQ(r.status, 3);
  EXPECT_TRUE(Contains(r.err, "COM9 already exists and leads to " + a + "; unlink it first"))
      << r.err;
  EXPECT_EQ(fs::read_symlink(ports + "/COM9").string(), a);

  // A terminal that is no device of this tree is linked as it is.
  int master = -1, slave = -1;
  char name[128] = {};
  ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
  r = RunCli({"ports", "link", "COM10", name, "--ports-dir", ports});
  ::close(master);
  ::close(slave);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(fs::read_symlink(ports + "/COM10").string(), name);
  EXPECT_EQ(r.err, "");

  // An adapter's by-id name while it is unplugged: linked, with a note.
  const std::string absent = t.Tree().byId + "/usb-FTDI_USB-RS485_Cable_FT9999ZZ-if00-port0";
  r = RunCli({"ports", "link", "COM11", absent, "--ports-dir", ports});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(fs::read_symlink(ports + "/COM11").string(), absent);
  EXPECT_TRUE(Contains(r.err, "note: " + absent +
                                  " does not exist now; COM11 leads to it once it "
                                  "appears."))
      << r.err;
  // Beyond the window's list: linked, with a note.
  r = RunCli({"ports", "link", "COM81", "ttyUSB0", "--ports-dir", ports, "-j"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "{\"linked\":\"COM81\",\"target\":\"" + a +
                       "\",\"notes\":[\"the window offers COM1 to COM80; COM81 is for this tool "
                       "and the simulator.\"]}\n");
  r = RunCli({"ports", "link", "COM80", "ttyUSB0", "--ports-dir", ports});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");

  r = RunCli({"ports", "unlink", "COM9", "--ports-dir", ports});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(fs::is_symlink(ports + "/COM9"));
  r = RunCli({"ports", "unlink", "COM9", "--ports-dir", ports});
  EXPECT_EQ(r.status, 3);
  EXPECT_TRUE(Contains(r.err, "there is no COM9 in " + ports)) << r.err;

  FakeDeviceTree::Write(ports + "/COM12", "mine");
  r = RunCli({"ports", "unlink", "COM12", "--ports-dir", ports});
  EXPECT_EQ(r.status, 3);
  EXPECT_TRUE(Contains(r.err, "it is not a link")) << r.err;
  EXPECT_TRUE(fs::exists(ports + "/COM12"));

  for (const std::vector<std::string>& bad :
       {std::vector<std::string>{"ports", "link", "COM0", "ttyUSB0"},
        {"ports", "link", "COM100000", "ttyUSB0"},
        {"ports", "link", "COM5"},
        {"ports", "unlink"},
        {"ports", "move", "COM5"},
        {"ports", "--bogus"}}) {
    std::vector<std::string> args = bad;
    args.insert(args.end(), {"--ports-dir", ports});
    r = RunCli(args);
    EXPECT_EQ(r.status, 2) << bad[1];
    EXPECT_EQ(r.out, "");
    // Under --json the same mistakes are one object on stdout.
    args.push_back("-j");
    r = RunCli(args);
    EXPECT_EQ(r.status, 2) << bad[1];
    EXPECT_EQ(r.out.rfind("{\"error\":{\"kind\":\"usage\",\"message\":\"", 0), 0u) << r.out;
  }
}

TEST(CliPorts, LinkRefusesWhatIsNoSerialPort) {
  FakeDeviceTree t;
  UseTree use(t);
  const std::string ports = (t.Root() / "own/ports").string();
  const std::string file = (t.Root() / "plain").string();
  FakeDeviceTree::Write(file, "");
  struct Refused {
    std::string target, why;
  };
  for (const Refused& bad :
       {Refused{"", "link needs a device, not an empty name"},
        Refused{"/dev/null",
                "/dev/null cannot be a serial port: it is no "
                "terminal device"},
        Refused{"/dev/ptmx",
                "/dev/ptmx cannot be a serial port: it is no "
                "terminal device"},
        Refused{"/dev/tty",
                "/dev/tty cannot be a serial port: it is no "
                "terminal device"},
        Refused{file, file + " cannot be a serial port: it is a file"},
        Refused{t.Root().string(),
                t.Root().string() + " cannot be a serial port: it is a folder"}}) {
    Output r = RunCli({"ports", "link", "COM40", bad.target, "--ports-dir", ports});
    EXPECT_EQ(r.status, 2) << bad.target;
    EXPECT_TRUE(Contains(r.err, bad.why)) << r.err;
    EXPECT_FALSE(fs::is_symlink(ports + "/COM40")) << bad.target;
    r = RunCli({"ports", "link", "COM40", bad.target, "--ports-dir", ports, "-j"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "{\"error\":{\"kind\":\"usage\",\"message\":\"" + bad.why + "\"}}\n");
  }
}

TEST(CliPorts, LinkAndUnlinkUnderJsonAnswerWithOneObject) {
  FakeDeviceTree t;
  UseTree use(t);
  const std::string a = t.Plug(Ftdi("FT1234AB"), "ttyUSB0", 1);
  const std::string ports = (t.Root() / "own/ports").string();

  Output r = RunCli({"ports", "link", "COM9", "ttyUSB0", "--ports-dir", ports, "--json"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "{\"linked\":\"COM9\",\"target\":\"" + a + "\",\"notes\":[]}\n");
  r = RunCli({"ports", "link", "COM9", "ttyUSB0", "--ports-dir", ports, "-j"});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.out, "{\"error\":{\"kind\":\"link\",\"message\":\"COM9 already exists and leads to " +
                       a + "; unlink it first\"}}\n");
  r = RunCli({"ports", "unlink", "COM9", "--ports-dir", ports, "-j"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "{\"removed\":\"COM9\"}\n");
  EXPECT_FALSE(fs::is_symlink(ports + "/COM9"));
}

TEST(CliPorts, AReadNumbersTheAdaptersFirst) {
  FakeDeviceTree t;
  UseTree use(t);
  const std::string a = t.Plug(Ftdi("FT1234AB"), "ttyUSB0", 1);
  const std::string ports = (t.Root() / "own/ports").string();
  // The fake tree's device is a plain file: the read fails, but COM3 already means it.
  const Output r = RunCli({"read", "--port", "COM3", "--ports-dir", ports});
  EXPECT_EQ(r.status, 3);
  EXPECT_TRUE(Contains(r.err, "COM3 (" + ports + "/COM3 -> " + a + ") is not a serial port"))
      << r.err;
  EXPECT_EQ(fs::read_symlink(ports + "/COM3").string(), a);
}

TEST(CliPorts, AMissingPortListsWhatTheComListShows) {
  FakeDeviceTree t;
  UseTree use(t);
  t.BuiltIn(0, 4);
  t.BuiltIn(1, 0);  // no UART behind it
  const std::string a = t.Plug(Ftdi("FT1234AB"), "ttyUSB0", 1);
  FakeAdapter bare = Ftdi("");
  bare.withById = false;
  t.Plug(bare, "ttyUSB1", 2);
  const std::string ports = t.Tree().portsDir;
  fs::create_directories(ports);
  fs::create_symlink(t.Root() / "unplugged", ports + "/COM7");

  const Output r = RunCli({"read", "--port", "COM9", "--ports-dir", ports});
  EXPECT_EQ(r.status, 3);
  const std::string dev = t.Tree().dev;
  EXPECT_TRUE(Contains(
      r.err, "Ports found:\n  COM1 -> " + dev + "/ttyS0  (built-in serial port)\n  COM3 -> " + a +
                 "  (FTDI USB-RS485 Cable, serial FT1234AB, " + dev + "/ttyUSB0)\n  COM7 -> " +
                 (t.Root() / "unplugged").string() + " (missing)\n  " + dev +
                 "/ttyUSB1  (FTDI USB-RS485 Cable; no COM number: name it by "
                 "its path)\n"))
      << r.err;
  EXPECT_FALSE(Contains(r.err, "ttyS1")) << r.err;
}
