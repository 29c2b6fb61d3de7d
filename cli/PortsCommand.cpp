#include "PortsCommand.h"

#include <getopt.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "Commands.h"
#include "Json.h"
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
    "the answer is one JSON object, on failure too.\n"
    "DEVICE must be a terminal device; one that does not exist yet (an unplugged adapter's\n"
    "by-id name) is linked with a note.\n"
    "Exit status: 0 done, 2 wrong usage or a DEVICE that cannot be a serial port, 3 the link\n"
    "cannot be made or removed (COMn exists already, there is no COMn, no ports folder).\n";

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

// The numbers the window's port list offers.
constexpr int kWindowPorts = 80;

// The group the device file belongs to, whether or not it may open it.
std::string FileGroup(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return {};
  const group* g = getgrgid(st.st_gid);
  return g ? g->gr_name : std::to_string(st.st_gid);
}

// Why target, which exists, cannot be a serial port, or nothing.
std::string NotATerminal(const std::string& target, const portinfo::DeviceTree& tree) {
  std::error_code ec;
  const fs::path real = fs::canonical(target, ec);
  // The serial devices the system lists are terminals, whatever their node looks like.
  for (const portinfo::SerialDevice& d : portinfo::FindSerialDevices(tree))
    if (!ec && fs::canonical(d.path, ec) == real) return {};
  switch (portinfo::KindOfNode(target)) {
    case portinfo::NodeKind::Terminal:
      return {};
    case portinfo::NodeKind::Regular:
      return "it is a file";
    case portinfo::NodeKind::Directory:
      return "it is a folder";
    default:
      return "it is no terminal device";
  }
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

  if (json) {
    Json j;
    j["ports_dir"] = JsonTextOrNull(tree.portsDir);
    Json list = Json::array();
    for (const portinfo::SerialDevice& d : devices) {
      const portinfo::DeviceAccess access = portinfo::CheckAccess(d.path);
      std::vector<std::string> coms;
      for (const int n : d.coms) coms.push_back(Com(n));
      Json e;
      e["com"] = coms.empty() ? Json(nullptr) : Json(coms[0]);
      e["coms"] = JsonTexts(coms);
      e["path"] = JsonText(d.path);
      e["by_id"] = JsonTextOrNull(d.byId);
      e["driver"] = JsonTextOrNull(d.driver);
      e["usb"] = d.usb;
      e["vendor_id"] = JsonTextOrNull(d.vendorId);
      e["product_id"] = JsonTextOrNull(d.productId);
      e["manufacturer"] = JsonTextOrNull(d.manufacturer);
      e["product"] = JsonTextOrNull(d.product);
      e["serial"] = JsonTextOrNull(d.serial);
      e["may_open"] = access.mayOpen;
      e["group"] = JsonTextOrNull(FileGroup(d.path));
      // Whether joining that group would let this user open it.
      e["group_may_open"] = !access.group.empty();
      e["held_by"] = JsonTexts(HolderTexts(portinfo::HoldersOf(d.path)));
      list.push_back(e);
    }
    j["devices"] = list;
    Json linkList = Json::array();
    for (const portinfo::ComLink& l : links)
      linkList.push_back({{"com", Com(l.number)},
                          {"target", JsonTextOrNull(l.target)},
                          {"present", !l.resolved.empty()}});
    j["links"] = linkList;
    j["notes"] = JsonTexts(notes);
    return JsonLine(j);
  }

  std::string out;
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
    if (json) std::fputs(JsonLine({{"error", JsonError(kind, message)}}).c_str(), stdout);
    return status;
  };
  auto usage = [&fail](const std::string& message) { return fail("usage", message, ExitUsage); };
  std::vector<std::string> notes;
  auto note = [&](const std::string& text) {
    std::fprintf(stderr, "konfigurator-cli: note: %s\n", text.c_str());
    notes.push_back(text);
  };

  std::vector<std::string> argWords = args;
  argWords.insert(argWords.begin(), "konfigurator-cli");
  std::vector<char*> argv;
  for (std::string& w : argWords) argv.push_back(w.data());
  argv.push_back(nullptr);
  const option longOptions[] = {{"json", no_argument, nullptr, 'j'},
                                {"help", no_argument, nullptr, 'h'},
                                {"ports-dir", required_argument, nullptr, 'd'},
                                {nullptr, 0, nullptr, 0}};
  optind = 0;
  opterr = 0;
  const int argc = static_cast<int>(argWords.size());
  for (int c; (c = getopt_long(argc, argv.data(), ":jh", longOptions, nullptr)) != -1;) {
    if (c == 'h') {
      help = true;
    } else if (c == 'd') {
      portsDir = optarg;
      if (portsDir.empty()) return usage("--ports-dir needs a folder");
    } else if (c == ':') {
      return usage("--ports-dir needs a folder");
    } else if (c == '?') {
      const std::string given = argv[optind - 1];
      return usage("unknown option " +
                   (optopt != 0 && given.rfind("--", 0) != 0
                        ? std::string("-") + static_cast<char>(optopt)
                        : given) +
                   " for ports");
    }
  }
  for (int i = optind; i < argc; ++i) words.emplace_back(argv[i]);
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
  if (portsDir.empty()) return fail("link", "there is no ports folder (no home folder?)", ExitPort);
  const std::string link = portsDir + "/" + Com(n);
  struct stat st {};
  const bool exists = lstat(link.c_str(), &st) == 0;

  if (action == "unlink") {
    if (words.size() != 3) return usage("unlink takes one port name");
    if (!exists) return fail("link", "there is no " + Com(n) + " in " + portsDir, ExitPort);
    if (!S_ISLNK(st.st_mode) || unlink(link.c_str()) != 0)
      return fail("link",
                  "cannot remove " + link + ": " +
                      (S_ISLNK(st.st_mode) ? std::strerror(errno) : "it is not a link"),
                  ExitPort);
    if (json)
      std::fputs(JsonLine({{"removed", Com(n)}}).c_str(), stdout);
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
  if (device.empty()) return usage("link needs a device, not an empty name");
  if (device.find('/') == std::string::npos) device = tree.dev + "/" + device;
  std::error_code ec;
  device = fs::absolute(device, ec).lexically_normal().string();
  if (exists) {
    std::error_code ignored;
    const std::string now = fs::read_symlink(link, ignored).string();
    return fail("link",
                Com(n) + " already exists" + (now.empty() ? "" : " and leads to " + now) +
                    "; unlink it first",
                ExitPort);
  }
  if (access(device.c_str(), F_OK) == 0) {
    if (const std::string why = NotATerminal(device, tree); !why.empty())
      return fail("usage", device + " cannot be a serial port: " + why, ExitUsage);
  } else if (errno == ENOENT) {
    note(device + " does not exist now; " + Com(n) + " leads to it once it appears.");
  } else {
    return fail("link", device + ": " + std::strerror(errno), ExitPort);
  }
  if (n > kWindowPorts)
    note("the window offers COM1 to COM" + std::to_string(kWindowPorts) + "; " + Com(n) +
         " is for this tool and the simulator.");
  // The by-id name keeps leading to the adapter whatever tty name it gets next time.
  std::string target = device;
  const std::string real = fs::canonical(device, ec).string();
  for (const portinfo::SerialDevice& d : portinfo::FindSerialDevices(tree))
    if (!d.byId.empty() && fs::canonical(d.path, ec).string() == real) target = d.byId;
  if (const std::string err = portinfo::MakeFolders(portsDir); !err.empty())
    return fail("link", err, ExitPort);
  if (symlink(target.c_str(), link.c_str()) != 0)
    return fail("link", "cannot create " + link + ": " + std::strerror(errno), ExitPort);
  if (json) {
    Json j;
    j["linked"] = Com(n);
    j["target"] = JsonText(target);
    j["notes"] = JsonTexts(notes);
    std::fputs(JsonLine(j).c_str(), stdout);
  } else {
    std::printf("%s -> %s\n", Com(n).c_str(), target.c_str());
  }
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
