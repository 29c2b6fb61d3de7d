#include "PortsCommand.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "Commands.h"
#include "LinuxSerialApi.h"
#include "Locations.h"
#include "PortProblem.h"
#include "Wording.h"

namespace fs = std::filesystem;

namespace cli {

const char kPortsUsage[] =
    "Usage: konfigurator-cli ports [-j] [--ports-dir DIR]\n"
    "       konfigurator-cli ports link COMn DEVICE [-j] [--ports-dir DIR]\n"
    "       konfigurator-cli ports unlink COMn [-j] [--ports-dir DIR]\n"
    "Lists the serial devices of this machine with their COM numbers: a USB serial adapter\n"
    "gets the lowest free one from COM3 up the first time it is seen, kept as a link to its\n"
    "/dev/serial/by-id name. link makes COMn lead to DEVICE (its by-id name when it has one);\n"
    "unlink removes the link COMn. Links made by hand are never changed. With -j (--json)\n"
    "the answer is one JSON object, on failure too.\n";

namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

// COMn as the serial layer names it (COM1..COM99999), or 0.
int ComNumberOf(const std::string& text) {
  if (text.size() < 4 || text.size() > 8) return 0;
  std::string upper = text;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (upper.compare(0, 3, "COM") != 0) return 0;
  const auto n = ParseNumber(upper.substr(3), 1, 99999);
  return n ? *n : 0;
}

std::string Com(int n) { return "COM" + std::to_string(n); }

std::string JsonOrNull(const std::string& text) {
  return text.empty() ? std::string("null") : JsonString(text);
}

std::string JsonList(const std::vector<std::string>& items) {
  std::string s = "[";
  for (std::size_t i = 0; i < items.size(); ++i) s += (i ? "," : "") + JsonString(items[i]);
  return s + "]";
}

std::string AccessText(const portinfo::DeviceAccess& a) {
  if (a.mayOpen) return "yes";
  if (a.group.empty()) return "no, and not even its group may; a udev rule must allow it";
  if (a.joinedSinceLogin)
    return "no: you joined the group " + a.group + " after logging in; log out and in again";
  return "no: join the group " + a.group + " (sudo usermod -aG " + a.group +
         " $USER, then log in again)";
}

}  // namespace

portinfo::DeviceTree SystemDeviceTree(const std::string& portsDir) {
  portinfo::DeviceTree tree;
  if (const std::string sys = Env("KONFIGURATOR_SYSFS"); !sys.empty()) tree.sysfs = sys;
  if (const std::string dev = Env("KONFIGURATOR_DEV"); !dev.empty()) {
    tree.dev = dev;
    tree.byId = dev + "/serial/by-id";
  }
  tree.portsDir = portsDir;
  return tree;
}

std::string PortsListing(const portinfo::DeviceTree& tree, bool json) {
  std::vector<portinfo::SerialDevice> devices = portinfo::FindSerialDevices(tree);
  const std::vector<std::string> notes = portinfo::NumberDevices(tree, devices);
  const std::vector<portinfo::ComLink> links = portinfo::ReadComLinks(tree.portsDir);

  std::string out;
  if (json) {
    out = "{\"portsDir\":" + JsonOrNull(tree.portsDir) + ",\"devices\":[";
    for (std::size_t i = 0; i < devices.size(); ++i) {
      const portinfo::SerialDevice& d = devices[i];
      const portinfo::DeviceAccess access = portinfo::CheckAccess(d.path);
      std::vector<std::string> coms;
      for (const int n : d.coms) coms.push_back(Com(n));
      out += std::string(i ? "," : "") +
             "{\"com\":" + (coms.empty() ? "null" : JsonString(coms[0])) +
             ",\"coms\":" + JsonList(coms) + ",\"path\":" + JsonString(d.path) +
             ",\"byId\":" + JsonOrNull(d.byId) + ",\"driver\":" + JsonOrNull(d.driver) +
             ",\"usb\":" + (d.usb ? "true" : "false") + ",\"vendorId\":" + JsonOrNull(d.vendorId) +
             ",\"productId\":" + JsonOrNull(d.productId) +
             ",\"manufacturer\":" + JsonOrNull(d.manufacturer) +
             ",\"product\":" + JsonOrNull(d.product) + ",\"serial\":" + JsonOrNull(d.serial) +
             ",\"mayOpen\":" + (access.mayOpen ? "true" : "false") +
             ",\"group\":" + JsonOrNull(access.mayOpen ? "" : access.group) +
             ",\"heldBy\":" + JsonList(HolderTexts(portinfo::HoldersOf(d.path))) + "}";
    }
    out += "],\"links\":[";
    for (std::size_t i = 0; i < links.size(); ++i)
      out += std::string(i ? "," : "") + "{\"com\":" + JsonString(Com(links[i].number)) +
             ",\"target\":" + JsonOrNull(links[i].target) +
             ",\"present\":" + (links[i].resolved.empty() ? "false" : "true") + "}";
    return out + "],\"notes\":" + JsonList(notes) + "}\n";
  }

  out = "Ports folder: " + (tree.portsDir.empty() ? std::string("none") : tree.portsDir) + "\n";
  if (devices.empty()) out += "\nNo serial devices found.\n";
  for (const portinfo::SerialDevice& d : devices) {
    std::string coms;
    for (const int n : d.coms) coms += (coms.empty() ? "" : ", ") + Com(n);
    out += "\n" + (coms.empty() ? std::string("(no COM number)") : coms) + "  " + d.path + "\n";
    if (d.usb || !d.byId.empty())
      out += "  by-id      " + (d.byId.empty() ? std::string("none") : d.byId) + "\n";
    out += "  driver     " + (d.driver.empty() ? std::string("unknown") : d.driver) + "\n";
    if (!d.vendorId.empty()) {
      out += "  USB        " + d.vendorId + ":" + d.productId;
      for (const std::string* s : {&d.manufacturer, &d.product})
        if (!s->empty()) out += "  " + *s;
      if (!d.serial.empty()) out += "  serial " + d.serial;
      out += "\n";
    }
    out += "  may open   " + AccessText(portinfo::CheckAccess(d.path)) + "\n";
    const std::vector<std::string> holders = HolderTexts(portinfo::HoldersOf(d.path));
    std::string held;
    for (const std::string& h : holders) held += (held.empty() ? "" : ", ") + h;
    out += "  in use     " + (held.empty() ? std::string("no") : "by " + held) + "\n";
  }

  // Links that lead to none of the devices above: a pseudo-terminal, an absent adapter.
  std::string others;
  for (const portinfo::ComLink& l : links) {
    const bool shown = std::any_of(devices.begin(), devices.end(), [&](const auto& d) {
      return std::find(d.coms.begin(), d.coms.end(), l.number) != d.coms.end();
    });
    if (shown) continue;
    others += Com(l.number) + " -> " + (l.target.empty() ? "(not a link)" : l.target);
    if (!l.target.empty() && l.resolved.empty()) others += "  (absent; the number stays its own)";
    others += "\n";
  }
  if (!others.empty()) out += "\nOther COM links:\n" + others;
  for (const std::string& n : notes) out += "\nNote: " + n + "\n";
  return out;
}

bool IsPortsCommand(const std::vector<std::string>& args) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--ports-dir") {
      ++i;
      continue;
    }
    if (!args[i].empty() && args[i][0] == '-') continue;
    return args[i] == "ports";
  }
  return false;
}

int RunPorts(const std::vector<std::string>& args) {
  // Under --json a script reads one object on stdout whatever happens, as with the other
  // commands; people read the message on stderr.
  const bool json = WantsJson(args);
  bool help = false;
  std::string portsDir;
  std::vector<std::string> words;
  auto fail = [json](const char* kind, const std::string& message, int status) {
    std::fprintf(stderr, "konfigurator-cli: %s\n", message.c_str());
    if (status == ExitUsage) std::fputs("Try konfigurator-cli ports --help.\n", stderr);
    if (json)
      std::printf("{\"error\":{\"kind\":%s,\"message\":%s}}\n", JsonString(kind).c_str(),
                  JsonString(message).c_str());
    return status;
  };
  auto usage = [&fail](const std::string& message) { return fail("usage", message, ExitUsage); };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--json" || a == "-j") {
      continue;
    } else if (a == "--help" || a == "-h") {
      help = true;
    } else if (a == "--ports-dir" || a.rfind("--ports-dir=", 0) == 0) {
      if (a == "--ports-dir") {
        if (i + 1 >= args.size()) return usage("--ports-dir needs a folder");
        portsDir = args[++i];
      } else {
        portsDir = a.substr(std::strlen("--ports-dir="));
      }
      if (portsDir.empty()) return usage("--ports-dir needs a folder");
    } else if (!a.empty() && a[0] == '-') {
      return usage("unknown option " + a + " for ports");
    } else {
      words.push_back(a);
    }
  }
  if (help) {
    std::fputs(kPortsUsage, stdout);
    return ExitOk;
  }
  if (portsDir.empty()) portsDir = portinfo::CurrentLocations().portsDir;
  const portinfo::DeviceTree tree = SystemDeviceTree(portsDir);

  // words[0] is "ports".
  if (words.size() == 1) {
    std::fputs(PortsListing(tree, json).c_str(), stdout);
    return ExitOk;
  }
  const std::string& action = words[1];
  if (action != "link" && action != "unlink")
    return usage("unknown ports action \"" + action + "\"; link or unlink");
  if (words.size() < 3) return usage(action + " needs a port name, e.g. COM5");
  const int n = ComNumberOf(words[2]);
  if (n == 0) return usage("\"" + words[2] + "\" is not a port name like COM5");
  if (portsDir.empty())
    return fail("link", "there is no ports folder (no home folder?)", ExitFailed);
  const std::string link = portsDir + "/" + Com(n);
  struct stat st {};
  const bool exists = lstat(link.c_str(), &st) == 0;

  if (action == "unlink") {
    if (words.size() != 3) return usage("unlink takes one port name");
    if (!exists) return fail("link", "there is no " + Com(n) + " in " + portsDir, ExitFailed);
    if (!S_ISLNK(st.st_mode) || unlink(link.c_str()) != 0)
      return fail("link",
                  "cannot remove " + link + ": " +
                      (S_ISLNK(st.st_mode) ? std::strerror(errno) : "it is not a link"),
                  ExitFailed);
    if (json)
      std::printf("{\"removed\":%s}\n", JsonString(Com(n)).c_str());
    else
      std::printf(
          "%s removed. A USB adapter it led to gets a number again the next time it is "
          "seen, unless another link leads to it.\n",
          Com(n).c_str());
    return ExitOk;
  }

  if (words.size() != 4)
    return usage("link needs a port name and a device, e.g. COM5 /dev/ttyUSB0");
  std::string device = words[3];
  if (device.find('/') == std::string::npos) device = tree.dev + "/" + device;
  std::error_code ec;
  device = fs::absolute(device, ec).lexically_normal().string();
  if (exists) {
    std::error_code ignored;
    const std::string now = fs::read_symlink(link, ignored).string();
    return fail("link",
                Com(n) + " already exists" + (now.empty() ? "" : " and leads to " + now) +
                    "; unlink it first",
                ExitFailed);
  }
  if (access(device.c_str(), F_OK) != 0)
    return fail("link", device + ": " + std::strerror(errno), ExitFailed);
  // The by-id name keeps leading to the adapter whatever tty name it gets next time.
  std::string target = device;
  const std::string real = fs::canonical(device, ec).string();
  for (const portinfo::SerialDevice& d : portinfo::FindSerialDevices(tree))
    if (!d.byId.empty() && fs::canonical(d.path, ec).string() == real) target = d.byId;
  if (const std::string err = portinfo::MakeFolders(portsDir); !err.empty())
    return fail("link", err, ExitFailed);
  if (symlink(target.c_str(), link.c_str()) != 0)
    return fail("link", "cannot create " + link + ": " + std::strerror(errno), ExitFailed);
  if (json)
    std::printf("{\"linked\":%s,\"target\":%s}\n", JsonString(Com(n)).c_str(),
                JsonString(target).c_str());
  else
    std::printf("%s -> %s\n", Com(n).c_str(), target.c_str());
  return ExitOk;
}

void ApplyLocations(Options& options) {
  const portinfo::Locations& where = portinfo::CurrentLocations();
  if (options.portsDir.empty()) options.portsDir = where.portsDir;
  if (options.log && options.logDir.empty()) {
    if (where.logDir.empty()) {
      std::fprintf(stderr,
                   "konfigurator-cli: no folder for the log (no home folder?); going on "
                   "without it.\n");
      options.log = false;
    } else {
      options.logDir = where.logDir;
      portinfo::MakeFolders(options.logDir);
    }
  }
  if (options.portsDir.empty()) return;
  const portinfo::DeviceTree tree = SystemDeviceTree(options.portsDir);
  std::vector<portinfo::SerialDevice> devices = portinfo::FindSerialDevices(tree);
  portinfo::NumberDevices(tree, devices);
}

}  // namespace cli
