#include "CliOptions.h"

#include <algorithm>
#include <charconv>
#include <set>

namespace cli {

const char kUsage[] =
    "Usage: konfigurator-cli read  [-p PORT] [-s BPS] [-a N] [-j] [--log[=DIR]]\n"
    "       konfigurator-cli write [-p PORT] [-s BPS] [-a N]\n"
    "                              [--mode LAN|RS485] [--ip A.B.C.D] [--ip-port N] [-j]\n"
    "       konfigurator-cli scan  [-p PORT] [--addresses LIST] [--speeds LIST|common|all]\n"
    "                              [--timeout MS] [--first] [-j]\n"
    "       konfigurator-cli ports [-j] | ports link COMn DEVICE | ports unlink COMn\n"
    "       konfigurator-cli help | -h | -V\n"
    "Reads and writes the network settings of a field device on an RS-485 bus (operating\n"
    "mode, IP address, IP port) and finds devices whose address or speed is unknown.\n"
    "\n"
    "Commands:\n"
    "  read                 read the operating mode and, in LAN mode, the IP address and port\n"
    "  write                write the values given below; the mode only if it differs\n"
    "  scan                 probe every address at every speed and list the devices found\n"
    "  ports                list the serial devices and their COM numbers (ports --help)\n"
    "  help                 show this text\n"
    "\n"
    "Options:\n"
    "  -p, --port PORT      COMn (the link COMn in the ports folder, else /dev/ttyS<n-1>) or\n"
    "                       a device path such as /dev/ttyUSB0 (default COM2)\n"
    "  --ports-dir DIR      folder of the COMn links (default: ports/ beside this program in a\n"
    "                       folder of its own, else ~/.config/konfigurator/ports)\n"
    "  -s, --speed BPS      110 300 600 1200 2400 4800 9600 14400 19200 38400 56000 57600\n"
    "                       115200 128000 256000 (default 19200)\n"
    "  -a, --address N      bus address of the device, 0-255 (default 2)\n"
    "  -j, --json           print the result as one JSON object, on failure too: then with\n"
    "                       \"error\":{\"kind\",\"message\",...}\n"
    "  --log[=DIR]          append every transaction to trans.txt where the window logs\n"
    "                       (beside this program in a folder of its own, else in\n"
    "                       ~/.local/state/konfigurator) or in DIR;\n"
    "                       without --log nothing is logged\n"
    "write:\n"
    "  --mode MODE          LAN, RS485 or a mode number 0-255\n"
    "  --ip A.B.C.D         IP address\n"
    "  --ip-port N          IP port, 0-65535\n"
    "scan:\n"
    "  --addresses LIST     e.g. 0-255 (default), 5 or 1,2,10-20\n"
    "  --speeds LIST        e.g. 9600,19200 in that order; common: 19200 9600 38400 57600\n"
    "                       115200; all (default): those first, then the rest, 110 last\n"
    "  --timeout MS         wait for a reply beyond the time its bytes take (default 50)\n"
    "  --first              stop at the first device found\n"
    "\n"
    "  -h, --help           show this text\n"
    "  -V, --version        show the version\n"
    "\n"
    "The device is put into configuration mode for each command and always released again.\n"
    "Exit status: 0 done (scan: a device was found), 1 a device operation failed (scan:\n"
    "nothing found), 2 wrong usage, 3 the port cannot be used, 130 interrupted.\n";

namespace {

const std::vector<int> kSpeeds = {110,   300,   600,   1200,  2400,   4800,   9600,  14400,
                                  19200, 38400, 56000, 57600, 115200, 128000, 256000};

// Where a device whose speed is unknown most likely listens comes first; 110 bit/s, whose probes
// take longest and which hardly anything uses, comes last.
const std::vector<int> kProbeOrder = {19200, 9600, 38400,  57600,  115200, 4800, 2400, 14400,
                                      56000, 1200, 128000, 256000, 600,    300,  110};
constexpr std::size_t kCommonSpeeds = 5;

std::vector<std::string> Split(const std::string& text, char sep) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t at = text.find(sep, start);
    parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) return parts;
    start = at + 1;
  }
}

const char* ShortOption(char c) {
  switch (c) {
    case 'p':
      return "--port";
    case 's':
      return "--speed";
    case 'a':
      return "--address";
    case 'j':
      return "--json";
    case 'h':
      return "--help";
    case 'V':
      return "--version";
    default:
      return nullptr;
  }
}

bool TakesValue(char c) { return c == 'p' || c == 's' || c == 'a'; }

std::string Upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

}  // namespace

const std::vector<int>& Speeds() { return kSpeeds; }

bool WantsJson(const std::vector<std::string>& args) {
  return std::any_of(args.begin(), args.end(),
                     [](const std::string& a) { return a == "--json" || a == "-j"; });
}

int BaudIndexOf(const std::string& text) {
  const auto value = ParseNumber(text, 1, 1000000);
  if (!value) return -1;
  const auto it = std::find(kSpeeds.begin(), kSpeeds.end(), *value);
  return it == kSpeeds.end() ? -1 : static_cast<int>(it - kSpeeds.begin());
}

int SpeedOf(int baudIndex) { return kSpeeds.at(static_cast<std::size_t>(baudIndex)); }

std::optional<int> ParseNumber(const std::string& text, int low, int high) {
  if (text.empty() || text.size() > 10) return std::nullopt;
  for (char c : text)
    if (c < '0' || c > '9') return std::nullopt;
  long long value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < low || value > high)
    return std::nullopt;
  return static_cast<int>(value);
}

std::optional<std::vector<int>> ParseAddressList(const std::string& text) {
  std::vector<int> out;
  std::set<int> seen;
  for (const std::string& part : Split(text, ',')) {
    const auto dash = part.find('-');
    int from = 0, to = 0;
    if (dash == std::string::npos) {
      const auto a = ParseNumber(part, 0, 255);
      if (!a) return std::nullopt;
      from = to = *a;
    } else {
      const auto a = ParseNumber(part.substr(0, dash), 0, 255);
      const auto b = ParseNumber(part.substr(dash + 1), 0, 255);
      if (!a || !b || *a > *b) return std::nullopt;
      from = *a;
      to = *b;
    }
    for (int i = from; i <= to; ++i)
      if (seen.insert(i).second) out.push_back(i);
  }
  return out;
}

std::optional<std::vector<int>> ParseSpeedList(const std::string& text) {
  std::vector<int> out;
  if (Upper(text) == "ALL" || Upper(text) == "COMMON") {
    for (const int speed : kProbeOrder) {
      out.push_back(BaudIndexOf(std::to_string(speed)));
      if (out.size() == kCommonSpeeds && Upper(text) == "COMMON") break;
    }
    return out;
  }
  for (const std::string& part : Split(text, ',')) {
    const int index = BaudIndexOf(part);
    if (index < 0) return std::nullopt;
    if (std::find(out.begin(), out.end(), index) == out.end()) out.push_back(index);
  }
  return out;
}

std::optional<std::string> ParseIpAddress(const std::string& text) {
  const auto parts = Split(text, '.');
  if (parts.size() != 4) return std::nullopt;
  std::string out;
  for (const std::string& part : parts) {
    // Three digits at most, so "0001" is not taken for an octet.
    if (part.size() > 3) return std::nullopt;
    const auto octet = ParseNumber(part, 0, 255);
    if (!octet) return std::nullopt;
    if (!out.empty()) out += '.';
    out += std::to_string(*octet);
  }
  return out;
}

std::optional<int> ParseMode(const std::string& text) {
  const std::string upper = Upper(text);
  if (upper == "LAN") return 0;
  if (upper == "RS485" || upper == "RS-485") return 1;
  return ParseNumber(text, 0, 255);
}

std::string ModeName(int mode) {
  if (mode == 0) return "LAN";
  if (mode == 1) return "RS485";
  return "mode " + std::to_string(mode);
}

ParseResult ParseCommandLine(const std::vector<std::string>& args) {
  ParseResult r;
  Options& o = r.options;
  bool addressesGiven = false, speedsGiven = false, timeoutGiven = false;
  bool addressGiven = false, speedGiven = false;
  auto fail = [&](std::string message) {
    r.error = std::move(message);
    return r;
  };

  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    std::optional<std::string> inlineValue;
    if (arg.rfind("--", 0) == 0) {
      const auto eq = arg.find('=');
      if (eq != std::string::npos) {
        inlineValue = arg.substr(eq + 1);
        arg = arg.substr(0, eq);
      }
    } else if (arg.size() >= 2 && arg[0] == '-') {
      // -p COM2, -pCOM2: a short option is its long one under another name.
      const char* longName = ShortOption(arg[1]);
      if (!longName) return fail("unknown option " + arg);
      if (arg.size() > 2) {
        if (!TakesValue(arg[1])) return fail("unknown option " + arg);
        inlineValue = arg.substr(2);
      }
      arg = longName;
    }
    std::string value;
    auto takeValue = [&]() {
      if (inlineValue) {
        value = *inlineValue;
        return true;
      }
      if (i + 1 >= args.size()) return false;
      value = args[++i];
      return true;
    };
    auto needs = [&](const char* what) { return arg + " needs " + what; };

    if (arg == "--help" || arg == "-h") {
      o.command = Command::Help;
      return r;
    } else if (arg == "--version" || arg == "-V") {
      o.command = Command::Version;
      return r;
    } else if (arg == "--json") {
      o.json = true;
    } else if (arg == "--first") {
      o.first = true;
    } else if (arg == "--log") {
      o.log = true;
      if (inlineValue) {
        if (inlineValue->empty()) return fail("--log= needs a folder");
        o.logDir = *inlineValue;
      }
    } else if (arg == "--port") {
      if (!takeValue() || value.empty()) return fail(needs("a port, e.g. COM2 or /dev/ttyUSB0"));
      o.port = value;
    } else if (arg == "--ports-dir") {
      if (!takeValue() || value.empty()) return fail(needs("a folder"));
      o.portsDir = value;
    } else if (arg == "--speed") {
      if (!takeValue()) return fail(needs("a speed in bit/s"));
      o.baudIndex = BaudIndexOf(value);
      if (o.baudIndex < 0)
        return fail("unknown speed \"" + value +
                    "\"; one of 110 300 600 1200 2400 4800 9600 14400 19200 38400 56000 "
                    "57600 115200 128000 256000");
      speedGiven = true;
    } else if (arg == "--address") {
      if (!takeValue()) return fail(needs("an address 0-255"));
      const auto a = ParseNumber(value, 0, 255);
      if (!a) return fail("address \"" + value + "\" is not a number from 0 to 255");
      o.address = *a;
      addressGiven = true;
    } else if (arg == "--mode") {
      if (!takeValue()) return fail(needs("LAN, RS485 or a number 0-255"));
      o.mode = ParseMode(value);
      if (!o.mode) return fail("mode \"" + value + "\" is not LAN, RS485 or a number 0-255");
    } else if (arg == "--ip") {
      if (!takeValue()) return fail(needs("an IP address"));
      o.ip = ParseIpAddress(value);
      if (!o.ip) return fail("\"" + value + "\" is not an IP address like 192.168.1.10");
    } else if (arg == "--ip-port") {
      if (!takeValue()) return fail(needs("a port number 0-65535"));
      o.ipPort = ParseNumber(value, 0, 65535);
      if (!o.ipPort) return fail("IP port \"" + value + "\" is not a number from 0 to 65535");
    } else if (arg == "--addresses") {
      if (!takeValue()) return fail(needs("a list such as 0-255 or 1,2,10-20"));
      const auto list = ParseAddressList(value);
      if (!list) return fail("address list \"" + value + "\" is not like 0-255 or 1,2,10-20");
      o.addresses = *list;
      addressesGiven = true;
    } else if (arg == "--speeds") {
      if (!takeValue()) return fail(needs("a list such as 9600,19200 or all"));
      const auto list = ParseSpeedList(value);
      if (!list) return fail("speed list \"" + value + "\" is not like 9600,19200 or all");
      o.baudIndexes = *list;
      speedsGiven = true;
    } else if (arg == "--timeout") {
      if (!takeValue()) return fail(needs("milliseconds"));
      const auto t = ParseNumber(value, 1, 60000);
      if (!t) return fail("time-out \"" + value + "\" is not a number of ms from 1 to 60000");
      o.timeoutMs = *t;
      timeoutGiven = true;
    } else if (!arg.empty() && arg[0] == '-') {
      return fail("unknown option " + arg);
    } else if (o.command != Command::None) {
      return fail("unexpected \"" + arg + "\" after the command");
    } else if (arg == "read") {
      o.command = Command::Read;
    } else if (arg == "write") {
      o.command = Command::Write;
    } else if (arg == "scan") {
      o.command = Command::Scan;
    } else if (arg == "help") {
      o.command = Command::Help;
      return r;
    } else {
      return fail("unknown command \"" + arg + "\"; read, write, scan or ports");
    }
    if (inlineValue && (arg == "--json" || arg == "--first")) return fail(arg + " takes no value");
  }

  if (o.command == Command::None) return fail("no command given; read, write, scan or ports");
  const bool writeOptions = o.mode || o.ip || o.ipPort;
  if (writeOptions && o.command != Command::Write)
    return fail("--mode, --ip and --ip-port belong to write");
  if (o.command == Command::Write && !writeOptions)
    return fail("write needs at least one of --mode, --ip, --ip-port");
  const bool scanOptions = addressesGiven || speedsGiven || timeoutGiven || o.first;
  if (scanOptions && o.command != Command::Scan)
    return fail("--addresses, --speeds, --timeout and --first belong to scan");
  if (o.command == Command::Scan) {
    if (addressGiven) return fail("scan takes --addresses, not --address");
    if (speedGiven) return fail("scan takes --speeds, not --speed");
    if (!addressesGiven) o.addresses = *ParseAddressList("0-255");
    if (!speedsGiven) o.baudIndexes = *ParseSpeedList("all");
  }
  return r;
}

}  // namespace cli
