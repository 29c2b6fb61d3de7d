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

// What a transaction result means, in words.
std::string ResultMeaning(int result);
// The same, short, as what went wrong: "the device did not answer".
std::string ResultWords(int result);

// What the port said when a transaction ended in result 1 (see TFkomunikacja::LastPortFailure).
struct PortFailure {
  bool openFailed = false;  // the device could not be opened; systemError says why
  int systemError = 0;      // errno, or 0
  std::string message;      // the port error's own text
};

// Why a device operation on target failed with result (1 to 10), in words a person can act
// on: which port and device, the cause, and what to check. Several lines.
std::string DescribeFailure(const PortTarget& target, int result, const PortFailure& port,
                            int address, int speed);

// The ports a person could mean: the COMn links, /dev/serial/by-id, USB and ACM ttys.
std::vector<std::string> AvailablePorts(const std::string& portsDir);

struct Holder {
  int pid = 0;
  std::string program;  // empty when it cannot be seen
};
// Processes that have the device node of path open: the holders of its lock if any, else all.
std::vector<Holder> HoldersOf(const std::string& path);
// The same as "pid 1234 (minicom)".
std::vector<std::string> ProcessesHolding(const std::string& path);

// What DescribeOpenFailure tells, as fields for programs to read.
struct OpenFailureFacts {
  std::string cause;            // missing, permission, busy, not-serial, no-device or other
  std::string path;             // the device path tried
  std::string linkTarget;       // where path links to, or empty
  std::string group;            // the group owning the device node; empty when there is none
  std::vector<Holder> holders;  // busy: who has it, where visible
};
OpenFailureFacts OpenFailureFactsOf(const PortTarget& target, int err);
// Whether this user may read and write the device at path; if not, the group that may (empty
// when none) and whether the user joined it after this session began.
struct DeviceAccess {
  bool mayOpen = false;
  std::string group;
  bool joinedSinceLogin = false;
};
DeviceAccess CheckAccess(const std::string& path);

}  // namespace portinfo
