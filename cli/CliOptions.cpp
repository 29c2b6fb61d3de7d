#include "CliOptions.h"

#include <getopt.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <set>

namespace cli {

const char kUsage[] =
    "Usage: konfigurator-cli read  [-p PORT] [--ports-dir DIR] [-s BPS] [-a N] [-j]\n"
    "                              [-l|--log[=DIR]]\n"
    "       konfigurator-cli write [-p PORT] [--ports-dir DIR] [-s BPS] [-a N]\n"
    "                              [-m LAN|RS485] [-i A.B.C.D] [-P N] [--no-verify] [-j]\n"
    "                              [-l|--log[=DIR]]\n"
    "       konfigurator-cli scan  [-p PORT] [--ports-dir DIR] [-A LIST] [-S LIST|common|all]\n"
    "                              [-t MS] [-f] [-j] [-l|--log[=DIR]]\n"
    "       konfigurator-cli ports [-j] [--ports-dir DIR] | ports link COMn DEVICE [-j]\n"
    "                              | ports unlink COMn [-j]\n"
    "       konfigurator-cli help | -h | -V\n"
    "Reads and writes the network settings of a field device on an RS-485 bus (operating\n"
    "mode, IP address, IP port) and finds devices whose address or speed is unknown.\n"
    "\n"
    "Commands:\n"
    "  read                 read the operating mode and, in LAN mode, the IP address and port\n"
    "  write                write the values given below, the mode only if it differs, and\n"
    "                       read them back\n"
    "  scan                 probe every address at every speed and list the devices found\n"
    "  ports                list the serial devices and their COM numbers (ports --help)\n"
    "  help                 show this text\n"
    "\n"
    "Options (short ones bundle: -ja 2, -jpCOM7):\n"
    "  -p, --port PORT      COMn (the link COMn in the ports folder, else /dev/ttyS<n-1>) or\n"
    "                       a device path such as /dev/ttyUSB0 (default COM2)\n"
    "  --ports-dir DIR      folder of the COMn links (default: ports/ beside this program in a\n"
    "                       folder of its own, else ~/.config/konfigurator/ports)\n"
    "  -s, --speed BPS      110 300 600 1200 2400 4800 9600 14400 19200 38400 56000 57600\n"
    "                       115200 128000 256000 (default 19200)\n"
    "  -a, --address N      bus address of the device, 0-255 (default 2)\n"
    "  -j, --json           print the result as one JSON object, on failure too: then with\n"
    "                       \"error\":{\"kind\",\"message\",...}\n"
    "  -l, --log[=DIR]      append every transaction to trans.txt where the window logs\n"
    "                       (beside this program in a folder of its own, else in\n"
    "                       ~/.local/state/konfigurator) or in DIR (-lDIR);\n"
    "                       without --log nothing is logged\n"
    "write:\n"
    "  -m, --mode MODE      LAN, RS485 or a mode number 0-255\n"
    "  -i, --ip A.B.C.D     IP address\n"
    "  -P, --ip-port N      IP port, 0-65535\n"
    "  --no-verify          do not read the values back (for a device that applies them\n"
    "                       only after a restart)\n"
    "scan:\n"
    "  -A, --addresses LIST e.g. 0-255 (default), 5 or 1,2,10-20\n"
    "  -S, --speeds LIST    e.g. 9600,19200 in that order; common: 19200 9600 38400 57600\n"
    "                       115200; all (default): those first, then the rest, 110 last\n"
    "  -t, --timeout MS     wait for a reply beyond the time its bytes take (default 50)\n"
    "  -f, --first          stop at the first device found\n"
    "\n"
    "  -h, --help           show this text\n"
    "  -V, --version        show the version\n"
    "\n"
    "The device is put into configuration mode for each command and always released again.\n"
    "Exit status: 0 done (scan: a device was found), 1 a device operation failed or a value\n"
    "read back differs from the one written (scan: nothing found), 2 wrong usage, 3 the port\n"
    "cannot be used, 4 read: a value the device gave is impossible, 130 interrupted.\n";

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

std::string Upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

}  // namespace

const std::vector<int>& Speeds() { return kSpeeds; }

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

namespace {

enum LongOnly : int { kPortsDir = 256, kNoVerify };

struct OptionSpec {
  option opt;
  const char* needs;  // what a missing value should have been
};

const OptionSpec kOptions[] = {
    {{"port", required_argument, nullptr, 'p'}, "a port, e.g. COM2 or /dev/ttyUSB0"},
    {{"ports-dir", required_argument, nullptr, kPortsDir}, "a folder"},
    {{"speed", required_argument, nullptr, 's'}, "a speed in bit/s"},
    {{"address", required_argument, nullptr, 'a'}, "an address 0-255"},
    {{"json", no_argument, nullptr, 'j'}, nullptr},
    {{"log", optional_argument, nullptr, 'l'}, nullptr},
    {{"mode", required_argument, nullptr, 'm'}, "LAN, RS485 or a number 0-255"},
    {{"ip", required_argument, nullptr, 'i'}, "an IP address"},
    {{"ip-port", required_argument, nullptr, 'P'}, "a port number 0-65535"},
    {{"no-verify", no_argument, nullptr, kNoVerify}, nullptr},
    {{"addresses", required_argument, nullptr, 'A'}, "a list such as 0-255 or 1,2,10-20"},
    {{"speeds", required_argument, nullptr, 'S'}, "a list such as 9600,19200 or all"},
    {{"timeout", required_argument, nullptr, 't'}, "milliseconds"},
    {{"first", no_argument, nullptr, 'f'}, nullptr},
    {{"help", no_argument, nullptr, 'h'}, nullptr},
    {{"version", no_argument, nullptr, 'V'}, nullptr},
};
// Leading ':': a missing value is told apart from an unknown option.
constexpr char kShortOptions[] = ":p:s:a:jl::m:i:P:A:S:t:fhV";

const OptionSpec* SpecOf(int val) {
  for (const OptionSpec& s : kOptions)
    if (s.opt.val == val) return &s;
  return nullptr;
}

std::string LongName(int val) { return std::string("--") + SpecOf(val)->opt.name; }

}  // namespace

ParseResult ParseCommandLine(const std::vector<std::string>& args) {
  ParseResult r;
  Options& o = r.options;
  bool addressesGiven = false, speedsGiven = false, timeoutGiven = false;
  bool addressGiven = false, speedGiven = false, help = false, version = false;
  auto fail = [&](std::string message) {
    r.error = std::move(message);
    return r;
  };

  std::vector<std::string> words = args;
  words.insert(words.begin(), "konfigurator-cli");
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  std::vector<option> longOptions;
  for (const OptionSpec& s : kOptions) longOptions.push_back(s.opt);
  longOptions.push_back({nullptr, 0, nullptr, 0});
  const int argc = static_cast<int>(words.size());

  // 0 starts the C library's parser afresh, so it can parse more than one line.
  optind = 0;
  opterr = 0;
  int c = 0;
  while ((c = getopt_long(argc, argv.data(), kShortOptions, longOptions.data(), nullptr)) != -1) {
    const std::string value = optarg ? optarg : "";
    auto needs = [&](int val) { return LongName(val) + " needs " + SpecOf(val)->needs; };
    switch (c) {
      case ':':
        return fail(needs(optopt));
      case '?': {
        const std::string given = argv[optind - 1];
        if (optopt != 0 && given.rfind("--", 0) == 0)
          return fail(LongName(optopt) + " takes no value");
        if (optopt != 0) return fail(std::string("unknown option -") + static_cast<char>(optopt));
        return fail("unknown option " + given.substr(0, given.find('=')));
      }
      case 'h':
        help = true;
        break;
      case 'V':
        version = true;
        break;
      case 'j':
        o.json = true;
        break;
      case 'f':
        o.first = true;
        break;
      case kNoVerify:
        o.verify = false;
        break;
      case 'l':
        o.log = true;
        if (optarg) {
          if (value.empty()) return fail("--log= needs a folder");
          o.logDir = value;
        }
        break;
      case 'p':
        if (value.empty()) return fail(needs(c));
        o.port = value;
        break;
      case kPortsDir:
        if (value.empty()) return fail(needs(c));
        o.portsDir = value;
        break;
      case 's':
        o.baudIndex = BaudIndexOf(value);
        if (o.baudIndex < 0)
          return fail("unknown speed \"" + value +
                      "\"; one of 110 300 600 1200 2400 4800 9600 14400 19200 38400 56000 "
                      "57600 115200 128000 256000");
        speedGiven = true;
        break;
      case 'a': {
        const auto a = ParseNumber(value, 0, 255);
        if (!a) return fail("address \"" + value + "\" is not a number from 0 to 255");
        o.address = *a;
        addressGiven = true;
        break;
      }
      case 'm':
        o.mode = ParseMode(value);
        if (!o.mode) return fail("mode \"" + value + "\" is not LAN, RS485 or a number 0-255");
        break;
      case 'i':
        o.ip = ParseIpAddress(value);
        if (!o.ip) return fail("\"" + value + "\" is not an IP address like 192.168.1.10");
        break;
      case 'P':
        o.ipPort = ParseNumber(value, 0, 65535);
        if (!o.ipPort) return fail("IP port \"" + value + "\" is not a number from 0 to 65535");
        break;
      case 'A': {
        const auto list = ParseAddressList(value);
        if (!list) return fail("address list \"" + value + "\" is not like 0-255 or 1,2,10-20");
        o.addresses = *list;
        addressesGiven = true;
        break;
      }
      case 'S': {
        const auto list = ParseSpeedList(value);
        if (!list) return fail("speed list \"" + value + "\" is not like 9600,19200 or all");
        o.baudIndexes = *list;
        speedsGiven = true;
        break;
      }
      case 't': {
        const auto t = ParseNumber(value, 1, 60000);
        if (!t) return fail("time-out \"" + value + "\" is not a number of ms from 1 to 60000");
        o.timeoutMs = *t;
        timeoutGiven = true;
        break;
      }
      default:
        return fail("unknown option " + std::string(argv[optind - 1]));
    }
  }
  // The words that are no options, in their order.
  for (int i = optind; i < argc; ++i) {
    const std::string arg = argv[i];
    if (o.command != Command::None) return fail("unexpected \"" + arg + "\" after the command");
    if (arg == "read")
      o.command = Command::Read;
    else if (arg == "write")
      o.command = Command::Write;
    else if (arg == "scan")
      o.command = Command::Scan;
    else if (arg == "help")
      help = true;
    else
      return fail("unknown command \"" + arg + "\"; read, write, scan or ports");
    if (help) break;
  }
  if (help || version) {
    o.command = help ? Command::Help : Command::Version;
    return r;
  }

  if (o.command == Command::None) return fail("no command given; read, write, scan or ports");
  const bool writeOptions = o.mode || o.ip || o.ipPort;
  if ((writeOptions || !o.verify) && o.command != Command::Write)
    return fail("--mode, --ip, --ip-port and --no-verify belong to write");
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

bool WantsJson(const std::vector<std::string>& args) {
  for (const std::string& a : args) {
    if (a == "--") return false;
    // Long options may be cut short as long as they stay unambiguous.
    if (a.size() >= 3 && a.rfind("--", 0) == 0 && std::string("--json").rfind(a, 0) == 0)
      return true;
    if (a.size() < 2 || a[0] != '-' || a[1] == '-') continue;
    // Bundled letters: -ja 2, -jpCOM7; a letter with a value takes the rest.
    for (std::size_t i = 1; i < a.size(); ++i) {
      if (a[i] == 'j') return true;
      const char* at = std::strchr(kShortOptions + 1, a[i]);
      if (at == nullptr || a[i] == ':' || at[1] == ':') break;
    }
  }
  return false;
}

}  // namespace cli
