// Which device a port name leads to, and why it cannot be opened or used, as facts. Each front
// end words them in its own language: the window in Polish, the command-line tool in English.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "Adapters.h"

namespace portinfo {

struct PortTarget {
  std::string display;     // as the user named it: "COM3" or "/dev/ttyUSB0"
  int portIndex = 0;       // the link's port index: COM1 is 0
  std::string devicePath;  // what the serial layer opens for it
  std::string tempDir;     // a folder of ours holding the COMn link for a device path
  std::string portsDir;    // the COMn links to offer when the port is not there
};

// Why a port name could not be set up.
struct TargetProblem {
  enum Kind {
    None,
    NotAPortName,  // name looks like COMn but is not one
    BadPath,       // name cannot be made an absolute path; err says why
    NoFolder,      // no temporary folder in folder; err says why
    NoLink,        // no link in folder; err says why
  };
  Kind kind = None;
  std::string name;    // as given
  std::string folder;  // NoFolder, NoLink
  int err = 0;         // errno
  explicit operator bool() const { return kind != None; }
};

// Sets the serial layer up for port (empty: COM2) and says what it will open. A device path
// gets a COM1 link in a temporary folder of its own; the caller removes it with
// RemovePortTarget.
TargetProblem PreparePortTarget(const std::string& port, const std::string& portsDir,
                                PortTarget& target);
void RemovePortTarget(const PortTarget& target);

// Where a port leads.
struct PortPlace {
  std::string display;       // as the user named it
  std::string path;          // the device path tried
  std::string linkTarget;    // the text of the link at path, or empty
  bool viaComLink = false;   // path is an entry of the ports folder
  bool namedByPath = false;  // the user gave a device path, not a COM name
  std::string portsDir;
};
PortPlace PlaceOf(const PortTarget& target);

// The ports a person could choose, as the window's COM list shows them.
struct PortsFound {
  std::string portsDir;
  std::vector<ComPortState> coms;        // those that lead somewhere, or are kept for an absent one
  std::vector<SerialDevice> unnumbered;  // serial devices no COM number leads to
  bool empty() const { return coms.empty() && unnumbered.empty(); }
};
// COM1..COMmaxCom (every COM link when maxCom is 0) and the serial devices without a number.
PortsFound FindPorts(const DeviceTree& tree, int maxCom = 0);

// What a path is, when it is no serial port.
enum class NodeKind {
  Terminal,  // a serial line or a pseudo-terminal
  Regular,
  Directory,
  Fifo,
  Socket,
  Block,
  Character,  // a character device that is no serial line (/dev/null, /dev/ptmx)
  Unknown,    // nothing there, or it cannot be seen
};
NodeKind KindOfNode(const std::string& path);

// Who may use a device node.
struct NodeOwner {
  bool known = false;  // false: the node cannot be looked at; err of the failure applies
  mode_t mode = 0;
  std::string owner, group;
  bool groupMayUse = false;       // its group may read and write it
  bool joinedSinceLogin = false;  // the user is listed in the group but this session is not
};

struct Holder {
  int pid = 0;
  std::string program;  // empty when it cannot be seen
};
// Processes that have the device node of path open: the holders of its lock if any, else all.
std::vector<Holder> HoldersOf(const std::string& path);

// A UUCP lock file in the way of an open.
struct LockFile {
  std::string path;
  long pid = 0;         // 0: it cannot be read
  std::string program;  // of pid, when it can be seen
};

// Why an open failed. The cause decides which of the other members say something.
enum class Cause { Missing, Permission, Busy, NotSerial, NoDevice, Other };
// "missing", "permission", "busy", "not-serial", "no-device", "other": the names programs read.
const char* CauseKey(Cause cause);

struct OpenFailureFacts {
  Cause cause = Cause::Other;
  int err = 0;  // the errno of the open
  PortPlace place;
  NodeKind kind = NodeKind::Unknown;  // NotSerial
  NodeOwner owner;                    // Permission; the group also for the others when known
  std::optional<LockFile> lockFile;   // Busy: the lock file that refused the open
  std::vector<Holder> holders;        // Busy: who has the device open, where visible
  PortsFound ports;                   // Missing, NoDevice
};
// tree says where to look for the ports found; without a portsDir of its own, target's.
OpenFailureFacts OpenFailureFactsOf(const PortTarget& target, int err,
                                    DeviceTree tree = DeviceTree(), int maxCom = 0);

// What the port said when a transaction ended in result 1 (see TFkomunikacja::LastPortFailure).
struct PortFailure {
  bool openFailed = false;  // the device could not be opened; systemError says why
  int systemError = 0;      // errno, or 0
  std::string message;      // the port error's own text
};

// What a transaction result tells, one kind for each result code of the device link.
enum class ResultKind {
  Success,       // 0
  PortFailed,    // 1
  NotSent,       // 2
  NoAnswer,      // 3
  BadChecksum,   // 4
  TooShort,      // 5
  Refused,       // 7
  OtherAddress,  // 10
  Unknown,
};
ResultKind KindOfResult(int result);

// Why a device operation on target failed with result.
struct FailureFacts {
  ResultKind kind = ResultKind::Unknown;
  int result = 0;
  PortPlace place;
  int address = 0;
  int speed = 0;
  std::optional<OpenFailureFacts> open;  // PortFailed because the open failed
  bool deviceGone = false;               // PortFailed later: the device path is no more
  PortsFound ports;                      // deviceGone
  std::string portMessage;               // PortFailed otherwise: the port error's own text
};
FailureFacts FailureFactsOf(const PortTarget& target, int result, const PortFailure& port,
                            int address, int speed, DeviceTree tree = DeviceTree(), int maxCom = 0);

// Whether this user may read and write the device at path; if not, the group that may (empty
// when none) and whether the user joined it after this session began.
struct DeviceAccess {
  bool mayOpen = false;
  std::string group;
  bool joinedSinceLogin = false;
};
DeviceAccess CheckAccess(const std::string& path);

}  // namespace portinfo
