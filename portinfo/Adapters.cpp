#include "Adapters.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <tuple>

#include "Locations.h"

namespace fs = std::filesystem;

namespace portinfo {

namespace {

// "COM" followed by a number without leading zeros: the names the serial layer looks up.
int LinkNumber(const std::string& name) {
  if (name.size() < 4 || name.size() > 8 || name.compare(0, 3, "COM") != 0 || name[3] == '0')
    return 0;
  int n = 0;
  for (std::size_t i = 3; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return 0;
    n = n * 10 + (name[i] - '0');
  }
  return n;
}

// Kind ("ttyUSB") and number of a tty name that is a serial device, or an empty kind.
std::pair<std::string, int> SerialName(const std::string& name) {
  for (const char* kind : {"ttyUSB", "ttyACM", "ttyS"}) {
    const std::size_t len = std::strlen(kind);
    if (name.size() <= len || name.compare(0, len, kind) != 0 || name.size() > len + 6) continue;
    if (!std::all_of(name.begin() + static_cast<long>(len), name.end(),
                     [](char c) { return c >= '0' && c <= '9'; }))
      continue;
    return {kind, std::stoi(name.substr(len))};
  }
  return {};
}

std::string ReadAttribute(const fs::path& file) {
  std::ifstream in(file);
  std::string text;
  std::getline(in, text);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\r' || text.back() == '\t'))
    text.pop_back();
  return text;
}

// Where path leads now, or empty when it leads nowhere.
std::string Resolved(const std::string& path) {
  std::error_code ec;
  const fs::path real = fs::canonical(path, ec);
  return ec ? std::string() : real.string();
}

std::string LinkText(const std::string& path) {
  std::error_code ec;
  const fs::path target = fs::read_symlink(path, ec);
  return ec ? std::string() : target.string();
}

// Driver and USB details from the device's sysfs folder and its parents. The serial core's own
// port devices (bus serial-base) stand between a UART and its real driver and are passed over.
void ReadDetails(const fs::path& deviceDir, const fs::path& sysfs, SerialDevice& d) {
  std::error_code ec;
  const fs::path top = fs::weakly_canonical(sysfs / "devices", ec);
  for (fs::path dir = deviceDir; !dir.empty() && dir != dir.root_path() && dir != top;
       dir = dir.parent_path()) {
    if (d.driver.empty()) {
      const fs::path driver = fs::read_symlink(dir / "driver", ec);
      if (!ec && driver.string().find("/serial-base/") == std::string::npos)
        d.driver = driver.filename().string();
    }
    if (fs::exists(dir / "idVendor", ec)) {
      d.vendorId = ReadAttribute(dir / "idVendor");
      d.productId = ReadAttribute(dir / "idProduct");
      d.manufacturer = ReadAttribute(dir / "manufacturer");
      d.product = ReadAttribute(dir / "product");
      d.serial = ReadAttribute(dir / "serial");
      return;
    }
  }
}

}  // namespace

std::vector<SerialDevice> FindSerialDevices(const DeviceTree& tree) {
  // Where each by-id name leads; the first name in order wins when two lead to one device.
  std::map<std::string, std::string> byId;
  std::error_code ec;
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(tree.byId, ec)) names.push_back(e.path().string());
  std::sort(names.begin(), names.end());
  for (const std::string& n : names)
    if (const std::string real = Resolved(n); !real.empty()) byId.emplace(real, n);

  std::vector<std::tuple<std::string, int, SerialDevice>> found;
  const fs::path classTty = fs::path(tree.sysfs) / "class" / "tty";
  for (const auto& e : fs::directory_iterator(classTty, ec)) {
    const std::string name = e.path().filename().string();
    const auto [kind, number] = SerialName(name);
    if (kind.empty()) continue;
    const fs::path deviceDir = fs::canonical(e.path() / "device", ec);
    if (ec) continue;  // no device behind it
    // A built-in port the kernel found no UART for reports type 0.
    if (kind == "ttyS" && ReadAttribute(e.path() / "type") == "0") continue;
    SerialDevice d;
    d.name = name;
    d.path = (fs::path(tree.dev) / name).string();
    d.usb = kind != "ttyS";
    ReadDetails(deviceDir, tree.sysfs, d);
    if (!d.vendorId.empty()) d.usb = true;
    if (const auto it = byId.find(Resolved(d.path)); it != byId.end()) d.byId = it->second;
    found.emplace_back(kind, number, std::move(d));
  }
  std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
    return std::tie(std::get<0>(a), std::get<1>(a)) < std::tie(std::get<0>(b), std::get<1>(b));
  });
  std::vector<SerialDevice> out;
  for (auto& f : found) out.push_back(std::move(std::get<2>(f)));
  return out;
}

std::vector<ComLink> ReadComLinks(const std::string& portsDir) {
  std::vector<ComLink> out;
  std::error_code ec;
  if (portsDir.empty()) return out;
  for (const auto& e : fs::directory_iterator(portsDir, ec)) {
    const int n = LinkNumber(e.path().filename().string());
    if (n == 0) continue;
    ComLink link;
    link.number = n;
    link.target = LinkText(e.path().string());
    link.resolved = Resolved(e.path().string());
    out.push_back(link);
  }
  std::sort(out.begin(), out.end(),
            [](const ComLink& a, const ComLink& b) { return a.number < b.number; });
  return out;
}

namespace {

bool LeadsTo(const ComLink& link, const SerialDevice& d, const std::string& deviceReal) {
  if (!d.byId.empty() && link.target == d.byId) return true;
  return !link.resolved.empty() && link.resolved == deviceReal;
}

}  // namespace

std::vector<std::string> NumberDevices(const DeviceTree& tree, std::vector<SerialDevice>& devices) {
  std::vector<std::string> problems;
  std::vector<ComLink> links = ReadComLinks(tree.portsDir);
  auto taken = [&](int n) {
    return std::any_of(links.begin(), links.end(), [n](const ComLink& l) { return l.number == n; });
  };
  for (SerialDevice& d : devices) {
    d.coms.clear();
    const std::string real = Resolved(d.path);
    for (const ComLink& l : links)
      if (LeadsTo(l, d, real)) d.coms.push_back(l.number);
    if (d.usb || !d.coms.empty()) continue;
    // A built-in port is COM<n+1> as long as no entry of that name leads elsewhere.
    const int own = SerialName(d.name).second + 1;
    if (!taken(own)) d.coms.push_back(own);
  }

  bool folderReady = false;
  for (SerialDevice& d : devices) {
    if (!d.usb || !d.coms.empty()) continue;
    if (d.byId.empty()) {
      problems.push_back(d.path + " has no /dev/serial/by-id name, so it gets no COM number of " +
                         "its own; link one by hand: konfigurator-cli ports link COMn " + d.path);
      continue;
    }
    if (tree.portsDir.empty()) {
      problems.push_back("there is no ports folder (no home folder?) to number " + d.path + " in");
      continue;
    }
    if (!folderReady) {
      if (std::string err = MakeFolders(tree.portsDir); !err.empty()) {
        problems.push_back(err);
        return problems;
      }
      folderReady = true;
    }
    for (int n = kFirstAutomaticCom; n <= kLastAutomaticCom && d.coms.empty(); ++n) {
      if (taken(n)) continue;
      const std::string path = tree.portsDir + "/COM" + std::to_string(n);
      // symlink() never replaces: an entry made meanwhile (by hand, or by another of our
      // programs numbering the same adapter) is seen and respected.
      if (symlink(d.byId.c_str(), path.c_str()) == 0) {
        links.push_back({n, d.byId, Resolved(path)});
        d.coms.push_back(n);
      } else if (errno == EEXIST) {
        ComLink other{n, LinkText(path), Resolved(path)};
        links.push_back(other);
        if (LeadsTo(other, d, Resolved(d.path))) d.coms.push_back(n);
      } else {
        problems.push_back("cannot create " + path + ": " + std::strerror(errno));
        return problems;
      }
    }
    if (d.coms.empty())
      problems.push_back("no COM number is free from COM" + std::to_string(kFirstAutomaticCom) +
                         " to COM" + std::to_string(kLastAutomaticCom) + " for " + d.byId);
  }
  return problems;
}

std::string ProductName(const SerialDevice& d) {
  if (d.product.empty()) return d.manufacturer;
  if (d.manufacturer.empty() || d.product.rfind(d.manufacturer, 0) == 0) return d.product;
  return d.manufacturer + " " + d.product;
}

std::vector<ComPortState> SurveyComPorts(const DeviceTree& tree, int count) {
  std::vector<SerialDevice> devices = FindSerialDevices(tree);
  NumberDevices(tree, devices);
  std::vector<ComPortState> out(static_cast<std::size_t>(std::max(count, 0)));
  for (int n = 1; n <= count; ++n) out[static_cast<std::size_t>(n - 1)].number = n;
  for (const SerialDevice& d : devices)
    for (const int n : d.coms)
      if (n >= 1 && n <= count) {
        ComPortState& s = out[static_cast<std::size_t>(n - 1)];
        s.present = true;
        s.leads = ComPortState::Leads::Device;
        s.device = d;
      }
  // Links to what is no serial device (the simulator's pseudo-terminal), or to an absent one.
  for (const ComLink& l : ReadComLinks(tree.portsDir)) {
    if (l.number > count) continue;
    ComPortState& s = out[static_cast<std::size_t>(l.number - 1)];
    if (s.present) continue;
    if (!l.resolved.empty()) {
      s.present = true;
      s.leads = l.resolved.rfind("/dev/pts/", 0) == 0 ? ComPortState::Leads::PseudoTerminal
                                                      : ComPortState::Leads::Other;
      s.target = l.resolved;
    } else {
      s.leads = ComPortState::Leads::Absent;
      s.target = l.target.empty() ? tree.portsDir + "/COM" + std::to_string(l.number) : l.target;
    }
  }
  return out;
}

}  // namespace portinfo
