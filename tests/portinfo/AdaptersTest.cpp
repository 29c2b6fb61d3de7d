#include <gtest/gtest.h>

#include <algorithm>

#include "Adapters.h"
#include "FakeDeviceTree.h"

namespace {

using portinfo::FindSerialDevices;
using portinfo::NumberDevices;
using portinfo::SerialDevice;
using portinfotest::FakeAdapter;
using portinfotest::FakeDeviceTree;
namespace fs = std::filesystem;

FakeAdapter Ftdi(const std::string& serial) {
  FakeAdapter a;
  a.serial = serial;
  return a;
}

FakeAdapter Acm(const std::string& serial) {
  FakeAdapter a;
  a.vendorId = "2341";
  a.productId = "0043";
  a.manufacturer = "Arduino";
  a.product = "Uno";
  a.driver = "cdc_acm";
  a.serial = serial;
  return a;
}

// Devices found and numbered, as every program does on looking.
std::vector<SerialDevice> Look(const FakeDeviceTree& t,
                               std::vector<std::string>* problems = nullptr) {
  std::vector<SerialDevice> devices = FindSerialDevices(t.Tree());
  const std::vector<std::string> p = NumberDevices(t.Tree(), devices);
  if (problems) *problems = p;
  return devices;
}

const SerialDevice* Named(const std::vector<SerialDevice>& devices, const std::string& name) {
  const auto it = std::find_if(devices.begin(), devices.end(),
                               [&](const SerialDevice& d) { return d.name == name; });
  return it == devices.end() ? nullptr : &*it;
}

std::string LinkOf(const FakeDeviceTree& t, int com) {
  std::error_code ec;
  return fs::read_symlink(t.Tree().portsDir + "/COM" + std::to_string(com), ec).string();
}

std::size_t LinkCount(const FakeDeviceTree& t) {
  std::error_code ec;
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(t.Tree().portsDir, ec)) ++n;
  return n;
}

TEST(Adapters, FirstSightGivesComThreeAndFourWithTheirDetails) {
  FakeDeviceTree t;
  const std::string a = t.Plug(Ftdi("FT1234AB"), "ttyUSB0", 1);
  const std::string b = t.Plug(Acm("85736323"), "ttyACM0", 2);
  EXPECT_FALSE(fs::exists(t.Tree().portsDir));  // made on first use

  std::vector<std::string> problems;
  const auto devices = Look(t, &problems);
  EXPECT_TRUE(problems.empty());
  ASSERT_EQ(devices.size(), 2u);
  // Name order: ttyACM before ttyUSB.
  const SerialDevice& acm = devices[0];
  const SerialDevice& ftdi = devices[1];
  EXPECT_EQ(acm.coms, std::vector<int>{3});
  EXPECT_EQ(ftdi.coms, std::vector<int>{4});
  EXPECT_EQ(LinkOf(t, 3), b);
  EXPECT_EQ(LinkOf(t, 4), a);

  EXPECT_EQ(ftdi.path, t.Tree().dev + "/ttyUSB0");
  EXPECT_EQ(ftdi.byId, a);
  EXPECT_EQ(ftdi.driver, "ftdi_sio");
  EXPECT_EQ(ftdi.vendorId + ":" + ftdi.productId, "0403:6001");
  EXPECT_EQ(ftdi.manufacturer, "FTDI");
  EXPECT_EQ(ftdi.product, "USB-RS485 Cable");
  EXPECT_EQ(ftdi.serial, "FT1234AB");
  EXPECT_TRUE(ftdi.usb);
  EXPECT_EQ(acm.driver, "cdc_acm");
  EXPECT_EQ(portinfo::ProductName(ftdi), "FTDI USB-RS485 Cable");

  // Looking again changes nothing.
  const auto again = Look(t);
  EXPECT_EQ(again[0].coms, std::vector<int>{3});
  EXPECT_EQ(again[1].coms, std::vector<int>{4});
  EXPECT_EQ(LinkCount(t), 2u);
}

TEST(Adapters, NumbersStayWhenReplugedInTheOtherOrderAndSockets) {
  FakeDeviceTree t;
  t.Plug(Ftdi("AAAA"), "ttyUSB0", 1);
  t.Plug(Ftdi("BBBB"), "ttyUSB1", 2);
  Look(t);
  t.Unplug("ttyUSB0");
  t.Unplug("ttyUSB1");
  t.Plug(Ftdi("BBBB"), "ttyUSB0", 3);
  t.Plug(Ftdi("AAAA"), "ttyUSB1", 4);

  const auto devices = Look(t);
  EXPECT_EQ(Named(devices, "ttyUSB1")->serial, "AAAA");
  EXPECT_EQ(Named(devices, "ttyUSB1")->coms, std::vector<int>{3});
  EXPECT_EQ(Named(devices, "ttyUSB0")->coms, std::vector<int>{4});
  EXPECT_EQ(LinkCount(t), 2u);
}

TEST(Adapters, HandMadeLinksAreKeptAndCount) {
  FakeDeviceTree t;
  fs::create_directories(t.Tree().portsDir);
  const std::string elsewhere = (t.Root() / "dev/ttyUSB9").string();  // absent
  fs::create_symlink(elsewhere, t.Tree().portsDir + "/COM3");
  // A link by the kernel name, to the adapter that becomes ttyUSB1.
  fs::create_symlink(t.Tree().dev + "/ttyUSB1", t.Tree().portsDir + "/COM7");
  // Not a link at all, yet the name is taken.
  FakeDeviceTree::Write(t.Tree().portsDir + "/COM4", "mine");
  t.Plug(Ftdi("AAAA"), "ttyUSB0", 1);
  t.Plug(Ftdi("BBBB"), "ttyUSB1", 2);

  const auto devices = Look(t);
  EXPECT_EQ(Named(devices, "ttyUSB0")->coms, std::vector<int>{5});
  EXPECT_EQ(Named(devices, "ttyUSB1")->coms, std::vector<int>{7});  // no second number
  EXPECT_EQ(LinkOf(t, 3), elsewhere);
  EXPECT_EQ(LinkOf(t, 7), t.Tree().dev + "/ttyUSB1");
  EXPECT_TRUE(fs::is_regular_file(t.Tree().portsDir + "/COM4"));
  EXPECT_EQ(LinkCount(t), 4u);
}

TEST(Adapters, AnAbsentAdaptersNumberStaysReserved) {
  FakeDeviceTree t;
  const std::string a = t.Plug(Ftdi("AAAA"), "ttyUSB0", 1);
  Look(t);
  t.Unplug("ttyUSB0");
  t.Plug(Ftdi("CCCC"), "ttyUSB0", 1);  // another adapter in the same socket, same tty name

  auto devices = Look(t);
  EXPECT_EQ(Named(devices, "ttyUSB0")->coms, std::vector<int>{4});
  EXPECT_EQ(LinkOf(t, 3), a);

  t.Plug(Ftdi("AAAA"), "ttyUSB1", 2);
  devices = Look(t);
  EXPECT_EQ(Named(devices, "ttyUSB1")->coms, std::vector<int>{3});
  EXPECT_EQ(Named(devices, "ttyUSB0")->coms, std::vector<int>{4});

  const auto states = portinfo::SurveyComPorts(t.Tree(), 81);
  EXPECT_TRUE(states[2].present);
  t.Unplug("ttyUSB1");
  const auto without = portinfo::SurveyComPorts(t.Tree(), 81);
  EXPECT_FALSE(without[2].present);
  EXPECT_EQ(without[2].leads, portinfo::ComPortState::Leads::Absent);
  EXPECT_EQ(without[2].target, a);
}

TEST(Adapters, NoByIdNameNoNumber) {
  FakeDeviceTree t;
  FakeAdapter bare = Acm("");
  bare.withById = false;
  t.Plug(bare, "ttyACM0", 1);

  std::vector<std::string> problems;
  const auto devices = Look(t, &problems);
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_TRUE(devices[0].coms.empty());
  EXPECT_TRUE(devices[0].byId.empty());
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_NE(problems[0].find("no /dev/serial/by-id name"), std::string::npos);
  EXPECT_NE(problems[0].find("konfigurator-cli ports link COMn " + t.Tree().dev + "/ttyACM0"),
            std::string::npos);
  EXPECT_EQ(LinkCount(t), 0u);
}

TEST(Adapters, NumbersEndAtComEighty) {
  FakeDeviceTree t;
  fs::create_directories(t.Tree().portsDir);
  for (int n = 3; n <= 79; ++n)
    FakeDeviceTree::Write(t.Tree().portsDir + "/COM" + std::to_string(n), "");
  t.Plug(Ftdi("AAAA"), "ttyUSB0", 1);
  t.Plug(Ftdi("BBBB"), "ttyUSB1", 2);

  std::vector<std::string> problems;
  const auto devices = Look(t, &problems);
  EXPECT_EQ(devices[0].coms, std::vector<int>{80});
  EXPECT_TRUE(devices[1].coms.empty());
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_NE(problems[0].find("no COM number is free from COM3 to COM80"), std::string::npos);
  EXPECT_FALSE(fs::exists(t.Tree().portsDir + "/COM81"));
}

TEST(Adapters, BuiltInPortsAreComNPlusOneUnlessALinkTakesTheName) {
  FakeDeviceTree t;
  t.BuiltIn(0, 4);
  t.BuiltIn(1, 0);  // no UART
  t.BuiltIn(2, 4);
  fs::create_directories(t.Tree().portsDir);
  fs::create_symlink("/dev/pts/99", t.Tree().portsDir + "/COM3");

  const auto devices = Look(t);
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(devices[0].name, "ttyS0");
  EXPECT_EQ(devices[0].coms, std::vector<int>{1});
  EXPECT_EQ(devices[0].driver, "serial");  // the serial core's own port device passed over
  EXPECT_FALSE(devices[0].usb);
  EXPECT_EQ(devices[1].name, "ttyS2");
  EXPECT_TRUE(devices[1].coms.empty());
  EXPECT_EQ(LinkOf(t, 3), "/dev/pts/99");  // no adapter, so no new links either
}

TEST(Adapters, SurveyMarksWhatIsThere) {
  using Leads = portinfo::ComPortState::Leads;
  FakeDeviceTree t;
  t.BuiltIn(0, 4);
  t.Plug(Ftdi("FT1234AB"), "ttyUSB0", 1);
  fs::create_directories(t.Tree().portsDir);
  const fs::path pty = t.Root() / "pty";
  FakeDeviceTree::Write(pty, "");
  fs::create_symlink(pty, t.Tree().portsDir + "/COM2");
  fs::create_symlink(t.Root() / "gone", t.Tree().portsDir + "/COM9");
  fs::create_symlink(pty, t.Tree().portsDir + "/COM81");

  const auto s = portinfo::SurveyComPorts(t.Tree(), 80);
  ASSERT_EQ(s.size(), 80u);
  EXPECT_EQ(s[0].number, 1);
  EXPECT_TRUE(s[0].present);
  EXPECT_EQ(s[0].leads, Leads::Device);
  EXPECT_EQ(s[0].device.path, t.Tree().dev + "/ttyS0");
  EXPECT_FALSE(s[0].device.usb);
  EXPECT_TRUE(s[1].present);
  // A link to something that is no serial device of this machine, like the simulator's.
  EXPECT_EQ(s[1].leads, Leads::Other);
  EXPECT_EQ(s[1].target, fs::canonical(pty).string());
  EXPECT_TRUE(s[2].present);
  EXPECT_EQ(s[2].leads, Leads::Device);
  EXPECT_EQ(s[2].device.path, t.Tree().dev + "/ttyUSB0");
  EXPECT_EQ(s[2].device.serial, "FT1234AB");
  EXPECT_FALSE(s[3].present);
  EXPECT_EQ(s[3].leads, Leads::Nowhere);
  EXPECT_FALSE(s[8].present);
  EXPECT_EQ(s[8].leads, Leads::Absent);
  EXPECT_EQ(s[8].target, (t.Root() / "gone").string());
  EXPECT_EQ(s[79].number, 80);
  EXPECT_FALSE(s[79].present);
}

}  // namespace

TEST(Adapters, ProductNameSaysTheMakerOnce) {
  portinfo::SerialDevice d;
  EXPECT_EQ(portinfo::ProductName(d), "");
  d.manufacturer = "FTDI";
  EXPECT_EQ(portinfo::ProductName(d), "FTDI");
  d.product = "FTDI FT232R USB UART";  // many products repeat the maker's name
  EXPECT_EQ(portinfo::ProductName(d), "FTDI FT232R USB UART");
  d.product = "USB-RS485 Cable";
  EXPECT_EQ(portinfo::ProductName(d), "FTDI USB-RS485 Cable");
  d.manufacturer.clear();
  EXPECT_EQ(portinfo::ProductName(d), "USB-RS485 Cable");
}
