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
#include <optional>
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

}  // namespace

TargetProblem PreparePortTarget(const std::string& port, const std::string& portsDir,
                                PortTarget& target) {
  target = PortTarget{};
  TargetProblem problem;
  const std::string name = port.empty() ? "COM2" : port;
  problem.name = name;
  if (!portsDir.empty()) serial::SetPortsDirectory(portsDir);
  target.portsDir = serial::PortsDirectory();
  if (const int n = ComNumber(name); n > 0) {
    target.display = "COM" + std::to_string(n);
    target.portIndex = n - 1;
    target.devicePath = serial::ResolvePortName(target.display);
    return problem;
  }
  if (ComNumber(name + "1") > 0 && name.find('/') == std::string::npos) {
    problem.kind = TargetProblem::NotAPortName;
    return problem;
  }

  // A device path: "ttyUSB0" is taken as /dev/ttyUSB0 when that exists.
  std::string path = name;
  if (path.find('/') == std::string::npos && access(("/dev/" + path).c_str(), F_OK) == 0)
    path = "/dev/" + path;
  std::error_code ec;
  path = fs::absolute(path, ec).lexically_normal().string();
  if (ec) {
    problem.kind = TargetProblem::BadPath;
    problem.err = ec.value();
    return problem;
  }

  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::string base = runtime && *runtime && access(runtime, W_OK) == 0 ? runtime : "";
  if (base.empty()) base = fs::temp_directory_path(ec).string();
  if (base.empty()) base = "/tmp";
  std::string tmpl = base + "/konfigurator-cli-XXXXXX";
  if (!mkdtemp(tmpl.data())) {
    problem.kind = TargetProblem::NoFolder;
    problem.folder = base;
    problem.err = errno;
    return problem;
  }
  target.tempDir = tmpl;
  if (symlink(path.c_str(), (tmpl + "/COM1").c_str()) != 0) {
    problem.kind = TargetProblem::NoLink;
    problem.folder = tmpl;
    problem.err = errno;
    RemovePortTarget(target);
    target.tempDir.clear();
    return problem;
  }
  serial::SetPortsDirectory(tmpl);
  target.display = name;
  target.portIndex = 0;
  target.devicePath = path;
  return problem;
}

void RemovePortTarget(const PortTarget& target) {
  if (target.tempDir.empty()) return;
  unlink((target.tempDir + "/COM1").c_str());
  rmdir(target.tempDir.c_str());
}

PortPlace PlaceOf(const PortTarget& target) {
  PortPlace p;
  p.display = target.display;
  p.path = target.devicePath;
  p.portsDir = target.portsDir;
  p.namedByPath = !target.tempDir.empty();
  if (IsLink(p.path)) p.linkTarget = ReadLink(p.path);
  p.viaComLink = !p.namedByPath && !p.linkTarget.empty();
  return p;
}

PortsFound FindPorts(const DeviceTree& tree, int maxCom) {
  PortsFound found;
  found.portsDir = tree.portsDir;
  int count = maxCom;
  if (count <= 0) {
    count = kLastAutomaticCom + 1;
    for (const ComLink& l : ReadComLinks(tree.portsDir)) count = std::max(count, l.number);
  }
  for (ComPortState& s : SurveyComPorts(tree, count))
    if (s.leads != ComPortState::Leads::Nowhere) found.coms.push_back(std::move(s));
  // The survey has numbered what it could; the rest can still be named by its path.
  for (SerialDevice& d : FindSerialDevices(tree)) {
    const bool numbered = std::any_of(found.coms.begin(), found.coms.end(), [&](const auto& s) {
      return s.leads == ComPortState::Leads::Device && s.device.path == d.path;
    });
    if (!numbered) found.unnumbered.push_back(std::move(d));
  }
  return found;
}

namespace {

// Whether the character device rdev is a line of its own: a serial port, a pseudo-terminal's
// far end, a console, by the kernel's list of tty drivers. Its "system" entries (/dev/tty,
// /dev/console, /dev/ptmx) stand for some other terminal or make a new one. Unknown when the
// list cannot be read.
std::optional<bool> IsTerminalLine(dev_t rdev) {
  std::ifstream drivers("/proc/tty/drivers");
  if (!drivers) return std::nullopt;
  std::string line;
  while (std::getline(drivers, line)) {
    std::istringstream in(line);
    std::string name, node, range, type;
    unsigned major = 0;
    if (!(in >> name >> node >> major >> range >> type)) continue;
    unsigned first = 0, last = 0;
    const std::size_t dash = range.find('-');
    first = static_cast<unsigned>(std::strtoul(range.c_str(), nullptr, 10));
    last = dash == std::string::npos
               ? first
               : static_cast<unsigned>(std::strtoul(range.c_str() + dash + 1, nullptr, 10));
    if (major != ::major(rdev) || ::minor(rdev) < first || ::minor(rdev) > last) continue;
    return type.rfind("system", 0) != 0;
  }
  return false;
}

}  // namespace

NodeKind KindOfNode(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return NodeKind::Unknown;
  if (S_ISREG(st.st_mode)) return NodeKind::Regular;
  if (S_ISDIR(st.st_mode)) return NodeKind::Directory;
  if (S_ISFIFO(st.st_mode)) return NodeKind::Fifo;
  if (S_ISSOCK(st.st_mode)) return NodeKind::Socket;
  if (S_ISBLK(st.st_mode)) return NodeKind::Block;
  if (!S_ISCHR(st.st_mode)) return NodeKind::Unknown;
  return IsTerminalLine(st.st_rdev).value_or(true) ? NodeKind::Terminal : NodeKind::Character;
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

NodeOwner OwnerOf(const std::string& path) {
  NodeOwner o;
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return o;
  o.known = true;
  o.mode = st.st_mode;
  o.owner = UserName(st.st_uid);
  o.group = GroupName(st.st_gid);
  o.groupMayUse = (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
  o.joinedSinceLogin = !ProcessHasGroup(st.st_gid) && UserListedInGroup(st.st_gid);
  return o;
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

const char* CauseKey(Cause cause) {
  switch (cause) {
    case Cause::Missing:
      return "missing";
    case Cause::Permission:
      return "permission";
    case Cause::Busy:
      return "busy";
    case Cause::NotSerial:
      return "not-serial";
    case Cause::NoDevice:
      return "no-device";
    case Cause::Other:
      break;
  }
  return "other";
}

OpenFailureFacts OpenFailureFactsOf(const PortTarget& target, int err, DeviceTree tree,
                                    int maxCom) {
  OpenFailureFacts f;
  f.err = err;
  f.place = PlaceOf(target);
  f.owner = OwnerOf(f.place.path);
  f.kind = KindOfNode(f.place.path);
  if (tree.portsDir.empty()) tree.portsDir = target.portsDir;
  // What the path is decides before how its open failed: /dev/ptmx opens a new terminal of
  // its own and then looks held by everyone with one, a socket refuses as if nothing were
  // behind it.
  if (f.kind != NodeKind::Terminal && f.kind != NodeKind::Unknown) {
    f.cause = Cause::NotSerial;
    return f;
  }
  switch (err) {
    case ENOENT:
    case ENOTDIR:
      f.cause = Cause::Missing;
      f.ports = FindPorts(tree, maxCom);
      break;
    case EACCES:
    case EPERM:
      f.cause = Cause::Permission;
      break;
    case EBUSY:
    case EWOULDBLOCK:
      f.cause = Cause::Busy;
      // A lock file is the reason when there is one; whoever has the device open is only
      // seen beside it, and may be the far end that never kept anyone out.
      if (const auto lock = serial::BlockingLockFile(f.place.path)) {
        const Holder of = HolderOf(std::to_string(lock->pid));
        f.lockFile = LockFile{lock->path, lock->pid, lock->pid > 0 ? of.program : ""};
      }
      f.holders = HoldersOf(f.place.path);
      break;
    case ENOTTY:
    case EINVAL:
      f.cause = Cause::NotSerial;
      break;
    case EIO:
    case ENXIO:
    case ENODEV:
      f.cause = Cause::NoDevice;
      f.ports = FindPorts(tree, maxCom);
      break;
    default:
      f.cause = Cause::Other;
  }
  return f;
}

ResultKind KindOfResult(int result) {
  switch (result) {
    case 0:
      return ResultKind::Success;
    case 1:
      return ResultKind::PortFailed;
    case 2:
      return ResultKind::NotSent;
    case 3:
      return ResultKind::NoAnswer;
    case 4:
      return ResultKind::BadChecksum;
    case 5:
      return ResultKind::TooShort;
    case 7:
      return ResultKind::Refused;
    case 10:
      return ResultKind::OtherAddress;
    default:
      return ResultKind::Unknown;
  }
}

FailureFacts FailureFactsOf(const PortTarget& target, int result, const PortFailure& port,
                            int address, int speed, DeviceTree tree, int maxCom) {
  FailureFacts f;
  f.kind = KindOfResult(result);
  f.result = result;
  f.place = PlaceOf(target);
  f.address = address;
  f.speed = speed;
  if (f.kind != ResultKind::PortFailed) return f;
  if (port.openFailed) {
    f.open = OpenFailureFactsOf(target, port.systemError, tree, maxCom);
  } else if (access(target.devicePath.c_str(), F_OK) != 0) {
    f.deviceGone = true;
    if (tree.portsDir.empty()) tree.portsDir = target.portsDir;
    f.ports = FindPorts(tree, maxCom);
  } else {
    f.portMessage = port.message;
  }
  return f;
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
