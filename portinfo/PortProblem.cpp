#include "PortProblem.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "LinuxSerialApi.h"

namespace fs = std::filesystem;

namespace portinfo {

namespace {

// 1-based port number of "COMn" in any letter case, or 0.
int ComNumber(const std::string& name) {
  if (name.size() < 4 || name.size() > 8) return 0;
  for (int i = 0; i < 3; ++i)
    if (std::toupper(static_cast<unsigned char>(name[i])) != "COM"[i]) return 0;
  int n = 0;
  for (std::size_t i = 3; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return 0;
    n = n * 10 + (name[i] - '0');
  }
  return n;
}

std::string ReadLink(const std::string& path) {
  char buf[PATH_MAX];
  const ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

bool IsLink(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

std::string ModeText(mode_t mode) {
  std::string s = S_ISCHR(mode) ? "c" : S_ISDIR(mode) ? "d" : "-";
  const char* rwx = "rwxrwxrwx";
  for (int i = 0; i < 9; ++i) s += (mode & (0400 >> i)) ? rwx[i] : '-';
  return s;
}

std::string GroupName(gid_t gid) {
  const group* g = getgrgid(gid);
  return g ? g->gr_name : std::to_string(gid);
}

std::string UserName(uid_t uid) {
  const passwd* p = getpwuid(uid);
  return p ? p->pw_name : std::to_string(uid);
}

bool ProcessHasGroup(gid_t gid) {
  if (getegid() == gid) return true;
  const int n = getgroups(0, nullptr);
  if (n <= 0) return false;
  std::vector<gid_t> groups(static_cast<std::size_t>(n));
  const int got = getgroups(n, groups.data());
  return got > 0 && std::find(groups.begin(), groups.begin() + got, gid) != groups.begin() + got;
}

// Whether the user database lists the user in gid, whatever this session was started with.
bool UserListedInGroup(gid_t gid) {
  const passwd* p = getpwuid(geteuid());
  if (!p) return false;
  int n = 64;
  std::vector<gid_t> groups(static_cast<std::size_t>(n));
  if (getgrouplist(p->pw_name, p->pw_gid, groups.data(), &n) < 0) {
    groups.resize(static_cast<std::size_t>(n));
    if (getgrouplist(p->pw_name, p->pw_gid, groups.data(), &n) < 0) return false;
  }
  return std::find(groups.begin(), groups.begin() + n, gid) != groups.begin() + n;
}

std::string Listing(const std::string& portsDir) {
  const std::vector<std::string> ports = AvailablePorts(portsDir);
  std::string text;
  if (ports.empty()) {
    text = "No serial ports found (no COMn links in " + portsDir +
           ", nothing in /dev/serial/by-id, no /dev/ttyUSB* or /dev/ttyACM*).\n";
  } else {
    text = "Ports found:\n";
    for (const std::string& p : ports) text += "  " + p + "\n";
  }
  return text;
}

}  // namespace

std::string PreparePortTarget(const std::string& port, const std::string& portsDir,
                              PortTarget& target) {
  target = PortTarget{};
  const std::string name = port.empty() ? "COM2" : port;
  if (!portsDir.empty()) serial::SetPortsDirectory(portsDir);
  target.portsDir = serial::PortsDirectory();
  if (const int n = ComNumber(name); n > 0) {
    target.display = "COM" + std::to_string(n);
    target.portIndex = n - 1;
    target.devicePath = serial::ResolvePortName(target.display);
    return {};
  }
  if (ComNumber(name + "1") > 0 && name.find('/') == std::string::npos)
    return "\"" + name + "\" is not a port name like COM2 (COM1 to COM99999)";

  // A device path: "ttyUSB0" is taken as /dev/ttyUSB0 when that exists.
  std::string path = name;
  if (path.find('/') == std::string::npos && access(("/dev/" + path).c_str(), F_OK) == 0)
    path = "/dev/" + path;
  std::error_code ec;
  path = fs::absolute(path, ec).lexically_normal().string();
  if (ec) return "cannot make sense of the path \"" + name + "\": " + ec.message();

  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::string base = runtime && *runtime && access(runtime, W_OK) == 0 ? runtime : "";
  if (base.empty()) base = fs::temp_directory_path(ec).string();
  if (base.empty()) base = "/tmp";
  std::string tmpl = base + "/konfigurator-cli-XXXXXX";
  if (!mkdtemp(tmpl.data()))
    return "cannot create a folder in " + base + ": " + std::strerror(errno);
  target.tempDir = tmpl;
  if (symlink(path.c_str(), (tmpl + "/COM1").c_str()) != 0) {
    const std::string why = std::strerror(errno);
    RemovePortTarget(target);
    return "cannot create a link in " + tmpl + ": " + why;
  }
  serial::SetPortsDirectory(tmpl);
  target.display = name;
  target.portIndex = 0;
  target.devicePath = path;
  return {};
}

void RemovePortTarget(const PortTarget& target) {
  if (target.tempDir.empty()) return;
  unlink((target.tempDir + "/COM1").c_str());
  rmdir(target.tempDir.c_str());
}

std::vector<std::string> AvailablePorts(const std::string& portsDir) {
  std::vector<std::string> out;
  std::error_code ec;
  std::vector<std::pair<int, std::string>> links;
  for (const auto& entry : fs::directory_iterator(portsDir, ec)) {
    const std::string name = entry.path().filename().string();
    const int n = ComNumber(name);
    if (n == 0) continue;
    std::string line = name;
    if (IsLink(entry.path().string())) {
      line += " -> " + ReadLink(entry.path().string());
      if (access(entry.path().c_str(), F_OK) != 0) line += " (missing)";
    }
    links.emplace_back(n, line + "  (" + portsDir + ")");
  }
  std::sort(links.begin(), links.end());
  for (auto& l : links) out.push_back(l.second);

  std::vector<std::string> byId;
  for (const auto& entry : fs::directory_iterator("/dev/serial/by-id", ec)) {
    const std::string p = entry.path().string();
    const fs::path real = fs::canonical(entry.path(), ec);
    byId.push_back(p + (ec ? std::string() : " -> " + real.string()));
  }
  std::sort(byId.begin(), byId.end());
  out.insert(out.end(), byId.begin(), byId.end());
  if (byId.empty()) {
    std::vector<std::string> ttys;
    for (const auto& entry : fs::directory_iterator("/dev", ec)) {
      const std::string name = entry.path().filename().string();
      if (name.rfind("ttyUSB", 0) == 0 || name.rfind("ttyACM", 0) == 0)
        ttys.push_back(entry.path().string());
    }
    std::sort(ttys.begin(), ttys.end());
    out.insert(out.end(), ttys.begin(), ttys.end());
  }
  return out;
}

namespace {

Holder HolderOf(const std::string& pid) {
  Holder h;
  h.pid = std::atoi(pid.c_str());
  std::ifstream("/proc/" + pid + "/comm") >> h.program;
  return h;
}

// Holders of a whole-file lock on the node, from /proc/locks ("1: FLOCK ADVISORY WRITE 4711
// 00:18:3 0 EOF", device numbers in hex).
std::vector<Holder> LockHolders(const struct stat& node) {
  std::vector<Holder> out;
  std::ifstream locks("/proc/locks");
  std::string line;
  char want[64];
  std::snprintf(want, sizeof want, "%02x:%02x:%lu", major(node.st_dev), minor(node.st_dev),
                static_cast<unsigned long>(node.st_ino));
  while (std::getline(locks, line)) {
    std::istringstream in(line);
    std::string id, kind, advisory, access, pid, where;
    in >> id >> kind;
    if (kind == "->") continue;  // waiting for the lock, not holding it
    in >> advisory >> access >> pid >> where;
    if (where == want && std::to_string(getpid()) != pid) out.push_back(HolderOf(pid));
  }
  return out;
}

}  // namespace

std::vector<Holder> HoldersOf(const std::string& path) {
  std::vector<Holder> out;
  struct stat dev {};
  if (stat(path.c_str(), &dev) != 0 || !S_ISCHR(dev.st_mode)) return out;
  // Whoever locked the port is the one in the way; others may merely have it open.
  out = LockHolders(dev);
  if (!out.empty()) return out;
  for (const long pid : serial::ProcessesWithDeviceOpen(dev.st_rdev))
    out.push_back(HolderOf(std::to_string(pid)));
  return out;
}

std::vector<std::string> ProcessesHolding(const std::string& path) {
  std::vector<std::string> out;
  for (const Holder& h : HoldersOf(path))
    out.push_back("pid " + std::to_string(h.pid) +
                  (h.program.empty() ? "" : " (" + h.program + ")"));
  return out;
}

OpenFailureFacts OpenFailureFactsOf(const PortTarget& target, int err) {
  OpenFailureFacts f;
  f.path = target.devicePath;
  if (IsLink(f.path)) f.linkTarget = ReadLink(f.path);
  struct stat st {};
  if (stat(f.path.c_str(), &st) == 0) f.group = GroupName(st.st_gid);
  switch (err) {
    case ENOENT:
    case ENOTDIR:
      f.cause = "missing";
      break;
    case EACCES:
    case EPERM:
      f.cause = "permission";
      break;
    case EBUSY:
    case EWOULDBLOCK:
      f.cause = "busy";
      f.holders = HoldersOf(f.path);
      break;
    case ENOTTY:
    case EINVAL:
      f.cause = "not-serial";
      break;
    case EIO:
    case ENXIO:
    case ENODEV:
      f.cause = "no-device";
      break;
    default:
      f.cause = "other";
  }
  return f;
}

std::string DescribeOpenFailure(const PortTarget& target, int err) {
  const std::string& path = target.devicePath;
  const bool viaComLink = target.tempDir.empty() && IsLink(path);
  const std::string& portsDir = target.portsDir;
  std::string where = target.display;
  if (target.display != path) where += " (" + path + ")";
  if (viaComLink) where = target.display + " (" + path + " -> " + ReadLink(path) + ")";

  switch (err) {
    case ENOENT:
    case ENOTDIR: {
      std::string text;
      if (viaComLink) {
        text = "port " + target.display + " does not exist: " + path + " points at " +
               ReadLink(path) + ", which is not there (adapter unplugged?).\n";
      } else if (target.tempDir.empty()) {
        text = "port " + target.display + " does not exist: there is no " + portsDir + "/" +
               target.display + " and no " + path + ".\n";
      } else {
        text = "port " + target.display + " does not exist.\n";
      }
      return text + Listing(portsDir);
    }
    case EACCES:
    case EPERM: {
      struct stat st {};
      if (stat(path.c_str(), &st) != 0)
        return "no permission to reach " + where + ": " + std::strerror(err) + ".\n";
      const std::string group = GroupName(st.st_gid);
      std::string text = "no permission to open " + where + " (" + ModeText(st.st_mode) + " " +
                         UserName(st.st_uid) + ":" + group + ").\n";
      const bool groupMayUse = (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
      if (!groupMayUse) {
        text += "Not even its group " + group +
                " may read and write it; ask the administrator to fix the device's permissions "
                "(a udev rule).\n";
      } else if (!ProcessHasGroup(st.st_gid) && UserListedInGroup(st.st_gid)) {
        text += "The device belongs to group " + group + ", and you are in it already, but this " +
                "session started before you joined: log out and in again (or run newgrp " + group +
                ").\n";
      } else {
        text += "The device belongs to group " + group + ". Join it with\n  sudo usermod -aG " +
                group + " $USER\nthen log out and in again.\n";
      }
      return text;
    }
    case EBUSY:
    case EWOULDBLOCK: {
      std::string text = "port " + where + " is in use by another program";
      const std::vector<std::string> holders = ProcessesHolding(path);
      if (holders.empty()) {
        text += " (one you cannot see, e.g. another user's).\n";
      } else {
        text += ": ";
        for (std::size_t i = 0; i < holders.size(); ++i) text += (i ? ", " : "") + holders[i];
        text += ".\n";
      }
      return text + "Close it and try again.\n";
    }
    case ENOTTY:
    case EINVAL:
      return where + " is not a serial port.\n";
    case EIO:
    case ENXIO:
    case ENODEV:
      return "there is no working serial device behind " + where + ": " + std::strerror(err) +
             ".\n" + Listing(portsDir);
    default:
      return "cannot open port " + where + ": " + std::strerror(err) + ".\n";
  }
}

std::string ResultMeaning(int result) {
  switch (result) {
    case 0:
      return "success";
    case 1:
      return "port failure: the port could not be opened or stopped working";
    case 2:
      return "the request was not fully sent";
    case 3:
      return "no reply, or an incomplete one (check the address, the speed and the wiring)";
    case 4:
      return "the reply's checksum does not match (noise on the line, or a wrong speed)";
    case 5:
      return "the expected reply is shorter than 4 bytes";
    case 7:
      return "the device refused the request";
    case 10:
      return "the reply came from another address (two devices on one address?)";
    default:
      return "unknown result";
  }
}

std::string ResultWords(int result) {
  switch (result) {
    case 1:
      return "the port failed";
    case 2:
      return "the request could not be sent in full";
    case 3:
      return "the device did not answer";
    case 4:
      return "the reply's checksum was wrong: noise on the line, or a wrong speed";
    case 5:
      return "the reply expected is too short to check";
    case 7:
      return "the device refused";
    case 10:
      return "another address answered: are two devices on one address?";
    default:
      return "unexpected result";
  }
}

std::string DescribeFailure(const PortTarget& target, int result, const PortFailure& port,
                            int address, int speed) {
  std::string where = target.display;
  if (!target.devicePath.empty() && target.devicePath != target.display) {
    where += " (" + target.devicePath;
    if (IsLink(target.devicePath)) where += " -> " + ReadLink(target.devicePath);
    where += ")";
  }
  const std::string link = std::to_string(speed) + " bit/s, address " + std::to_string(address);
  std::string text = "Port " + where + ", " + link + ".\n";
  switch (result) {
    case 1:
      if (port.openFailed) return text + DescribeOpenFailure(target, port.systemError);
      if (access(target.devicePath.c_str(), F_OK) != 0)
        return text + "The port stopped working: " + target.devicePath +
               " is gone (was the adapter unplugged?).\n" + Listing(target.portsDir);
      return text + "The port failed: " + (port.message.empty() ? "unknown error" : port.message) +
             ".\n";
    case 2:
      return text + "The request was not fully sent: the port did not take it within its time.\n";
    case 3:
      return text +
             "No answer: the device did not reply, or not in full. Check that the speed and the "
             "address match the device's, and the wiring (A and B lines, the adapter's "
             "transmitter switching).\n";
    case 4:
      return text +
             "Corrupted reply: its checksum does not match. The line speed may not match the "
             "device's, or there is noise on the line.\n";
    case 7:
      return text + "The device refused the request (it answered, but would not do it).\n";
    case 10:
      return text + "Another address answered: the reply came from a device other than address " +
             std::to_string(address) + ". Two devices may share an address on this bus.\n";
    default:
      return text + ResultMeaning(result) + ".\n";
  }
}

DeviceAccess CheckAccess(const std::string& path) {
  DeviceAccess access;
  access.mayOpen = faccessat(AT_FDCWD, path.c_str(), R_OK | W_OK, AT_EACCESS) == 0;
  struct stat st {};
  if (access.mayOpen || stat(path.c_str(), &st) != 0) return access;
  if ((st.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP)) return access;
  access.group = GroupName(st.st_gid);
  access.joinedSinceLogin = !ProcessHasGroup(st.st_gid) && UserListedInGroup(st.st_gid);
  return access;
}

}  // namespace portinfo
