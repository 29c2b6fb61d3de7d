// The commands of konfigurator-cli over the device link.
#pragma once

#include <string>

#include "CliOptions.h"
#include "PortProblem.h"
#include "Terminal.h"
#include "Wording.h"

namespace cli {

enum ExitCode : int {
  ExitOk = 0,
  ExitFailed = 1,  // a device operation failed; scan: nothing found
  ExitUsage = 2,
  ExitPort = 3,        // the port cannot be used at all
  ExitImpossible = 4,  // read: done, but a value the device gave cannot be right
  ExitInterrupted = 130,
};

// The longest a scan with these options takes, when no device answers, in ms.
long long ScanEstimateMs(const Options& options);
// "45 s", "1 min 20 s".
std::string DurationText(long long ms);
// The lines of --help on how long a scan takes.
std::string ScanDurationHelp();

// Text safe to show on a terminal: bytes outside printable ASCII as \xNN.
std::string Printable(const std::string& text);

// Runs options.command (read, write or scan); returns the exit status.
int RunCommand(const Options& options);

}  // namespace cli
