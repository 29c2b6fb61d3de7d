// Linux specifics of the serial platform layer that tests and tools may reach.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace serial {

// The folder of the running executable ("/" for one at the root); empty when it cannot be found.
const std::string& ExecutableDirectory();

// Folder whose entries COM1, COM2, ... (links to ttys) name the ports. Empty (the default):
// "ports" beside the running executable. Tests and the simulator point it elsewhere.
void SetPortsDirectory(const std::string& path);
std::string PortsDirectory();

// The device path CreateFile opens for a name: "\\.\COMn" or "COMn" -> <ports>/COMn if that
// entry exists, else /dev/ttyS<n-1>; "\\.\name" -> /dev/name; any other text as it is.
std::string ResolvePortName(const std::string& name);

// Folder of the UUCP lock files. Empty (the default): /run/lock, or /var/lock where there is
// no /run/lock. Tests point it elsewhere.
void SetLockDirectory(const std::string& path);

struct LockFileHolder {
  std::string path;  // the lock file, e.g. /run/lock/LCK..ttyUSB0
  long pid = 0;      // the pid it names; 0 when it cannot be read
};
// The UUCP lock file that keeps device (a path, a link or a port name) from being opened now,
// if any: a lock of a live process other than this one, one whose pid cannot be read yet, or
// one we may not read. Judged as the open judges it.
std::optional<LockFileHolder> BlockingLockFile(const std::string& device);

// Processes other than this one, among those this user may look into, that have the character
// device rdev open.
std::vector<long> ProcessesWithDeviceOpen(dev_t rdev);

}  // namespace serial
