// konfigurator-cli ports: the serial devices of this machine and their COM numbers, and the
// links that give them.
#pragma once

#include <string>
#include <vector>

#include "Adapters.h"
#include "CliOptions.h"

namespace cli {

// Whether args (the command line without the program name) ask for the ports command.
bool IsPortsCommand(const std::vector<std::string>& args);
// Runs it; returns the exit status.
int RunPorts(const std::vector<std::string>& args);

// The listing, as text or as one JSON object, of tree after numbering its devices.
std::string PortsListing(const portinfo::DeviceTree& tree, bool json);

// Fills the folders a read, write or scan leaves unset from the program's locations, and
// numbers the USB adapters first so that their COMn names work at once.
void ApplyLocations(Options& options);

// The system's device tree; KONFIGURATOR_SYSFS and KONFIGURATOR_DEV replace /sys and /dev
// (tests run on a copy).
portinfo::DeviceTree SystemDeviceTree(const std::string& portsDir);

extern const char kPortsUsage[];

}  // namespace cli
