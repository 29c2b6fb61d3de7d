// The command line of konfigurator-cli: what to do, on which port, at which speed and address.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace cli {

enum class Command { None, Read, Write, Scan, Help, Version };

struct Options {
  Command command = Command::None;
  // As given: "COMn" or a device path; empty means COM2, the window's default.
  std::string port;
  std::string portsDir;
  int baudIndex = 8;  // 19200, the window's default
  int address = 2;
  bool json = false;
  bool log = false;
  std::string logDir;  // empty: beside the program, where the window writes its log

  // write
  std::optional<int> mode;
  std::optional<std::string> ip;
  std::optional<int> ipPort;
  bool verify = true;  // read back what was written

  // scan
  std::vector<int> addresses;    // in probing order
  std::vector<int> baudIndexes;  // in probing order
  int timeoutMs = 50;
  bool first = false;
};

// The fifteen speeds in the order of their baud index.
const std::vector<int>& Speeds();
// Index of a speed in bit/s given as text, or -1.
int BaudIndexOf(const std::string& text);
int SpeedOf(int baudIndex);

// Decimal integer of the whole text within [low, high].
std::optional<int> ParseNumber(const std::string& text, int low, int high);
// "0-255", "1,2,10-20": each address once, in the order given.
std::optional<std::vector<int>> ParseAddressList(const std::string& text);
// "9600,19200" in the order given, each speed once; "common": the five most used speeds;
// "all": those first, then the others, 110 last.
std::optional<std::vector<int>> ParseSpeedList(const std::string& text);
// Four decimal octets; returns the address without leading zeros ("010.1.1.1" -> "10.1.1.1").
std::optional<std::string> ParseIpAddress(const std::string& text);
// "LAN", "RS485" (any letter case) or a mode byte 0-255.
std::optional<int> ParseMode(const std::string& text);
std::string ModeName(int mode);

// Whether the command line asks for JSON, even one that cannot be parsed.
bool WantsJson(const std::vector<std::string>& args);

struct ParseResult {
  Options options;
  std::string error;  // empty when the line was understood
};
ParseResult ParseCommandLine(const std::vector<std::string>& args);

extern const char kUsage[];

}  // namespace cli
