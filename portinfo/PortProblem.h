// Which device a port name leads to, and why it cannot be opened, in words a person can act on.
// Shared by the window and the command-line tool.
#pragma once

#include <string>
#include <vector>

namespace portinfo {

struct PortTarget {
  std::string display;     // as the user named it: "COM3" or "/dev/ttyUSB0"
  int portIndex = 0;       // the link's port index: COM1 is 0
  std::string devicePath;  // what the serial layer opens for it
  std::string tempDir;     // a folder of ours holding the COMn link for a device path
  std::string portsDir;    // the COMn links to offer when the port is not there
};

// Sets the serial layer up for port (empty: COM2) and says what it will open. A device path
// gets a COM1 link in a temporary folder of its own; the caller removes it with
// RemovePortTarget. Returns an error text, or empty.
std::string PreparePortTarget(const std::string& port, const std::string& portsDir,
                              PortTarget& target);
void RemovePortTarget(const PortTarget& target);

// Why opening target failed with err (an errno), and what to do about it; several lines.
std::string DescribeOpenFailure(const PortTarget& target, int err);

// The ports a person could mean: the COMn links, /dev/serial/by-id, USB and ACM ttys.
std::vector<std::string> AvailablePorts(const std::string& portsDir);

// Processes that have the device node of path open, as "pid 1234 (minicom)".
std::vector<std::string> ProcessesHolding(const std::string& path);

// Whether this user may read and write the device at path; if not, the group that may (empty
// when none) and whether the user joined it after this session began.
struct DeviceAccess {
  bool mayOpen = false;
  std::string group;
  bool joinedSinceLogin = false;
};
DeviceAccess CheckAccess(const std::string& path);

}  // namespace portinfo
