// The serial devices of this machine, read from sysfs and /dev/serial/by-id, and the COM
// numbers that lead to them: USB adapters get one of their own on first sight.
#pragma once

#include <string>
#include <vector>

namespace portinfo {

// Where to look. Tests point every folder into a fake tree of plain files and links.
struct DeviceTree {
  std::string sysfs = "/sys";
  std::string dev = "/dev";
  std::string byId = "/dev/serial/by-id";
  std::string portsDir;  // the COMn links
};

// COM numbers the program hands out: COM1 and COM2 stay for the built-in ports, and the window
// offers no more than COM80.
constexpr int kFirstAutomaticCom = 3;
constexpr int kLastAutomaticCom = 80;

struct SerialDevice {
  std::string name;  // "ttyUSB0"
  std::string path;  // "/dev/ttyUSB0"
  std::string byId;  // "/dev/serial/by-id/usb-FTDI_..._FT1234AB-if00-port0", or empty
  std::string driver;
  std::string vendorId, productId;  // USB ids in hex, empty for other buses
  std::string manufacturer, product, serial;
  bool usb = false;       // a USB serial adapter (ttyUSB, ttyACM)
  std::vector<int> coms;  // COM numbers that lead here, lowest first
};

// Every serial device present: USB adapters and the built-in ports that have a UART, in name
// order (ttyACM, ttyS, ttyUSB, each by number). coms stays empty.
std::vector<SerialDevice> FindSerialDevices(const DeviceTree& tree);

// A COMn entry of the ports folder.
struct ComLink {
  int number = 0;
  std::string target;    // the link's text; empty for an entry that is not a link
  std::string resolved;  // where it leads now; empty when that is absent
};
std::vector<ComLink> ReadComLinks(const std::string& portsDir);

// Fills every device's coms from the links (a USB adapter by its by-id name or by where a
// link leads, a built-in port also by /dev/ttyS<n-1>) and gives each USB adapter that has a
// by-id name but no link the lowest free number from COM3 up, as a link to that name.
// Existing entries are never changed: a number whose adapter is absent stays its own.
// Returns what could not be done, as sentences.
std::vector<std::string> NumberDevices(const DeviceTree& tree, std::vector<SerialDevice>& devices);

// The maker's and the product's names as one ("FTDI USB-RS485 Cable"): many products repeat
// the maker's name. Empty when the device gives neither.
std::string ProductName(const SerialDevice& device);

// What COM1..COMcount lead to, after numbering the devices found.
struct ComPortState {
  enum class Leads {
    Nowhere,         // no entry, no device
    Device,          // a serial device found on this machine: device
    PseudoTerminal,  // a link to a pseudo-terminal (the simulator's): target
    Other,           // a link to something else that is there: target
    Absent,          // a link whose target is not there: target, the link's text or the entry
  };
  int number = 0;
  bool present = false;  // leads to something that is there
  Leads leads = Leads::Nowhere;
  SerialDevice device;
  std::string target;
};
std::vector<ComPortState> SurveyComPorts(const DeviceTree& tree, int count);

}  // namespace portinfo
