// konfigurator-sim: a simulated field device on a pseudo-terminal, reachable as a COM port.
#include <dirent.h>
#include <limits.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "Locations.h"
#include "PtyServer.h"

namespace {

const char kUsage[] =
    "Usage: konfigurator-sim [options]\n"
    "Simulated field device for Konfigurator, served on a pseudo-terminal and linked as\n"
    "COM2 in the ports folder Konfigurator uses, so it can open it as COM2.\n"
    "\n"
    "  --port COMn            link name in the ports folder, COM1 to COM99999 (default COM2)\n"
    "  --ports-dir DIR        folder for the link (default: ports/ beside this program in a\n"
    "                         folder of its own, else ~/.config/konfigurator/ports)\n"
    "  --device PATH          serve on this serial port instead, wired to Konfigurator's\n"
    "                         (no link); its line runs at --speed (default 19200)\n"
    "  --address LIST         bus addresses, 0-255, one device at each, e.g. 2 or 2,5,17\n"
    "                         or 1-4,9; the one addressed answers (default 2)\n"
    "  --speed N              answer only while the line runs at N bit/s: 110, 300, 600,\n"
    "                         1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000, 57600,\n"
    "                         115200, 128000 or 256000 (default: at any speed)\n"
    "  --mode N               operating mode byte at start (default 0, LAN)\n"
    "  --ip TEXT              IP address at start (default 192.168.1.10)\n"
    "  --ip-port TEXT         IP port at start (default 502); either text as it is, so\n"
    "                         impossible values can be tried, up to what a frame holds\n"
    "Each device keeps a state of its own; --mode, --ip and --ip-port set every one.\n"
    "Faults, of every device (--times counts the requests of each):\n"
    "  --silent               never answer\n"
    "  --refuse               refuse every request\n"
    "  --strict               refuse everything outside configuration mode\n"
    "  --bad-checksum         corrupt the checksum of every reply\n"
    "  --foreign-address      answer from address + 1\n"
    "  --short N              cut N bytes off the end of every reply\n"
    "  --declared-length N    put N in the length field of every reply\n"
    "  --nul-pad N            append N NUL bytes to the texts read\n"
    "  --space-pad N          put N spaces before the texts read\n"
    "  --delay MS             wait MS milliseconds before answering\n"
    "  --split N              send replies in pieces of N bytes (N >= 1)...\n"
    "  --gap MS               ...MS milliseconds apart (default 20)\n"
    "  --times N              misbehave on the first N requests only\n"
    "  --after N              answer the first N requests soundly, then misbehave\n"
    "  --help                 show this text\n"
    "  --version              show the version\n"
    "\n"
    "Prints one line per exchange: time, request (M) and reply (S) in hex, and why when\n"
    "there is no reply, e.g. \"ignored: line at 9600 bit/s\".\n"
    "Stops on Ctrl-C or SIGTERM and removes its link. A link another running simulator\n"
    "serves is left to it: the simulator says so and exits with status 1.\n";

bool ParseInt(const char* text, int low, int high, int& out) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < low || v > high) return false;
  out = static_cast<int>(v);
  return true;
}

// "2", "2,5,17", "1-4,9": every address once, in the order given.
bool ParseAddresses(const std::string& text, std::vector<int>& out) {
  std::vector<bool> seen(256, false);
  out.clear();
  std::size_t at = 0;
  for (;;) {
    const std::size_t comma = text.find(',', at);
    const std::string item = text.substr(at, comma == std::string::npos ? comma : comma - at);
    const std::size_t dash = item.find('-');
    int low = 0, high = 0;
    if (dash == std::string::npos) {
      if (!ParseInt(item.c_str(), 0, 255, low)) return false;
      high = low;
    } else if (dash == 0 || !ParseInt(item.substr(0, dash).c_str(), 0, 255, low) ||
               !ParseInt(item.substr(dash + 1).c_str(), 0, 255, high) || high < low) {
      return false;
    }
    for (int a = low; a <= high; ++a) {
      if (seen[a]) return false;
      seen[a] = true;
      out.push_back(a);
    }
    if (comma == std::string::npos) return true;
    at = comma + 1;
  }
}

// "COM5" or "com5" as the link name "COM5"; the numbers the tool and the window take.
bool ComName(const std::string& text, std::string& name) {
  if (text.size() < 4 || text.size() > 8) return false;
  for (std::size_t i = 0; i < 3; ++i)
    if (std::toupper(static_cast<unsigned char>(text[i])) != "COM"[i]) return false;
  int n = 0;
  if (text[3] == '0' || text.find_first_not_of("0123456789", 3) != std::string::npos ||
      !ParseInt(text.c_str() + 3, 1, 99999, n))
    return false;
  name = "COM" + std::to_string(n);
  return true;
}

// A text the device sends must fit in one frame beside the head and the checksum.
constexpr std::size_t kLongestText = MaxFrameLength - FrameOverhead;

// The speeds a client of this device can select.
constexpr int kSpeeds[] = {110,   300,   600,   1200,  2400,   4800,   9600,  14400,
                           19200, 38400, 56000, 57600, 115200, 128000, 256000};

std::string Now() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", tm.tm_hour, tm.tm_min, tm.tm_sec,
                static_cast<int>(ms));
  return buf;
}

// The process serving the pseudo-terminal a link points at, as "pid 1234 (konfigurator-sim)":
// whoever holds its master side. Empty when the terminal is gone (a simulator that was killed)
// or the link leads elsewhere.
std::string ServerOf(const std::string& link) {
  char buf[PATH_MAX];
  const ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
  if (n <= 0) return {};
  const std::string target(buf, static_cast<std::size_t>(n));
  const std::string prefix = "/dev/pts/";
  struct stat st {};
  if (target.rfind(prefix, 0) != 0 || stat(target.c_str(), &st) != 0) return {};
  // The kernel gives a terminal's number again once it is free: a terminal made after the link
  // is another program's, and the link was left by a simulator that was killed. (A simulator
  // makes its terminal first, then its link.)
  struct stat ls {};
  if (lstat(link.c_str(), &ls) != 0) return {};
  if (std::tie(ls.st_mtim.tv_sec, ls.st_mtim.tv_nsec) <
      std::tie(st.st_ctim.tv_sec, st.st_ctim.tv_nsec))
    return {};
  const std::string index = "tty-index:\t" + target.substr(prefix.size()) + "\n";
  DIR* proc = opendir("/proc");
  if (!proc) return {};
  // Our own terminal may have the number of the one a killed simulator left behind.
  const std::string self = std::to_string(getpid());
  std::string found;
  while (const dirent* e = readdir(proc)) {
    const std::string pid = e->d_name;
    if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos || pid == self)
      continue;
    const std::string fdDir = "/proc/" + pid + "/fd";
    DIR* fds = opendir(fdDir.c_str());
    if (!fds) continue;
    while (const dirent* f = readdir(fds)) {
      if (f->d_name[0] == '.') continue;
      const ssize_t m = readlink((fdDir + "/" + f->d_name).c_str(), buf, sizeof buf - 1);
      const std::string opened(buf, m > 0 ? static_cast<std::size_t>(m) : 0);
      if (opened != "/dev/ptmx" && opened != "/dev/pts/ptmx") continue;
      std::ifstream info("/proc/" + pid + "/fdinfo/" + f->d_name);
      const std::string text((std::istreambuf_iterator<char>(info)), {});
      if (text.find(index) == std::string::npos) continue;
      // The program's file name; comm is cut at 15 characters.
      std::string name;
      const ssize_t x = readlink(("/proc/" + pid + "/exe").c_str(), buf, sizeof buf - 1);
      if (x > 0) {
        name.assign(buf, static_cast<std::size_t>(x));
        name = name.substr(name.rfind('/') + 1);
      } else {
        std::ifstream("/proc/" + pid + "/comm") >> name;
      }
      found = "pid " + pid + (name.empty() ? "" : " (" + name + ")");
      break;
    }
    closedir(fds);
    if (!found.empty()) break;
  }
  closedir(proc);
  return found;
}

// Points dir/name at target. An existing link is replaced when the simulator that made it is
// gone (killed); one that a running simulator serves, and anything that is no link, is left
// alone.
bool CreateLink(const std::string& dir, const std::string& name, const std::string& target) {
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
    std::fprintf(stderr, "konfigurator-sim: cannot create %s: %s\n", dir.c_str(),
                 std::strerror(errno));
    return false;
  }
  const std::string link = dir + "/" + name;
  struct stat st {};
  if (lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
    std::fprintf(stderr, "konfigurator-sim: %s exists and is not a link; not touching it\n",
                 link.c_str());
    return false;
  }
  if (const std::string server = ServerOf(link); !server.empty()) {
    std::fprintf(stderr,
                 "konfigurator-sim: %s is already served by a running simulator (%s); not "
                 "taking it over. Stop that one first, or choose another name with --port.\n",
                 link.c_str(), server.c_str());
    return false;
  }
  const std::string temp = link + ".tmp" + std::to_string(getpid());
  unlink(temp.c_str());
  if (symlink(target.c_str(), temp.c_str()) != 0 || rename(temp.c_str(), link.c_str()) != 0) {
    std::fprintf(stderr, "konfigurator-sim: cannot create link %s: %s\n", link.c_str(),
                 std::strerror(errno));
    unlink(temp.c_str());
    return false;
  }
  return true;
}

// Only our own link: another simulator may have taken the name over since.
void RemoveLink(const std::string& link, const std::string& target) {
  char buf[PATH_MAX];
  const ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
  if (n > 0 && std::string(buf, static_cast<std::size_t>(n)) == target) unlink(link.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  std::string portName = "COM2";
  std::string portsDir;
  std::string device;
  std::vector<int> addresses = {2};
  int speed = 0;
  devicesim::DeviceState state;
  devicesim::Faults faults;
  faults.gapMs = 20;

  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](const char*& out) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "konfigurator-sim: %s needs a value\n", arg.c_str());
        return false;
      }
      out = argv[++i];
      return true;
    };
    auto number = [&](int low, int high, int& out) {
      const char* text = nullptr;
      if (!value(text)) return false;
      if (ParseInt(text, low, high, out)) return true;
      std::fprintf(stderr, "konfigurator-sim: %s wants a number from %d to %d, not \"%s\"\n",
                   arg.c_str(), low, high, text);
      return false;
    };
    const char* text = nullptr;
    int n = 0;
    bool ok = true;
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--version" || arg == "-V") {
      std::printf("konfigurator-sim %s\n", KONFIGURATOR_VERSION);
      return 0;
    } else if (arg == "--port") {
      ok = value(text);
      if (ok && !ComName(text, portName)) {
        std::fprintf(stderr,
                     "konfigurator-sim: --port wants a name like COM2 (COM1 to COM99999), not "
                     "\"%s\"\n",
                     text);
        ok = false;
      }
    } else if (arg == "--ports-dir") {
      ok = value(text);
      if (ok) portsDir = text;
    } else if (arg == "--device") {
      ok = value(text);
      if (ok) device = text;
    } else if (arg == "--address") {
      ok = value(text);
      if (ok && !ParseAddresses(text, addresses)) {
        std::fprintf(stderr,
                     "konfigurator-sim: --address wants addresses from 0 to 255, each once, "
                     "like 2 or 2,5,17 or 1-4,9, not \"%s\"\n",
                     text);
        ok = false;
      }
    } else if (arg == "--speed") {
      ok = value(text);
      if (ok && (!ParseInt(text, 1, 1000000, speed) ||
                 std::find(std::begin(kSpeeds), std::end(kSpeeds), speed) == std::end(kSpeeds))) {
        std::fprintf(stderr,
                     "konfigurator-sim: --speed wants one of 110, 300, 600, 1200, 2400, 4800, "
                     "9600, 14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000, not "
                     "\"%s\"\n",
                     text);
        ok = false;
      }
    } else if (arg == "--mode") {
      ok = number(0, 255, n);
      state.mode = static_cast<std::uint8_t>(n);
    } else if (arg == "--ip" || arg == "--ip-port") {
      ok = value(text);
      if (ok && std::strlen(text) > kLongestText) {
        std::fprintf(stderr, "konfigurator-sim: %s is %zu bytes long; a frame holds at most %zu\n",
                     arg.c_str(), std::strlen(text), kLongestText);
        ok = false;
      }
      if (ok) (arg == "--ip" ? state.ip : state.port) = text;
    } else if (arg == "--silent") {
      faults.silent = true;
    } else if (arg == "--refuse") {
      faults.refuseAll = true;
    } else if (arg == "--strict") {
      faults.refuseOutsideConfig = true;
    } else if (arg == "--bad-checksum") {
      faults.badChecksum = true;
    } else if (arg == "--foreign-address") {
      faults.foreignAddress = true;
    } else if (arg == "--short") {
      ok = number(0, 65535, faults.shortBy);
    } else if (arg == "--declared-length") {
      ok = number(0, 65535, faults.declaredLength);
    } else if (arg == "--nul-pad") {
      ok = number(0, 1000, faults.nulPadding);
    } else if (arg == "--space-pad") {
      ok = number(0, 1000, faults.spacePadding);
    } else if (arg == "--delay") {
      ok = number(0, 600000, faults.delayMs);
    } else if (arg == "--split") {
      // Pieces of no bytes would never finish a reply.
      ok = number(1, 65535, faults.splitBytes);
    } else if (arg == "--gap") {
      ok = number(0, 600000, faults.gapMs);
    } else if (arg == "--times") {
      ok = number(0, 1000000, faults.times);
    } else if (arg == "--after") {
      ok = number(0, 1000000, faults.after);
    } else {
      std::fprintf(stderr, "konfigurator-sim: unknown option %s (see --help)\n", arg.c_str());
      ok = false;
    }
    if (!ok) return 2;
  }
  if (portsDir.empty() && device.empty()) portsDir = portinfo::CurrentLocations().portsDir;
  if (portsDir.empty() && device.empty()) {
    std::fprintf(stderr,
                 "konfigurator-sim: no folder for the link: set HOME or give --ports-dir\n");
    return 1;
  }

  // Signals arrive through a descriptor, so the serving loop stops between exchanges.
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGINT);
  sigaddset(&mask, SIGTERM);
  sigaddset(&mask, SIGHUP);
  sigprocmask(SIG_BLOCK, &mask, nullptr);
  // A closed reader of our output must not kill us before the link is removed.
  signal(SIGPIPE, SIG_IGN);
  const int stopFd = signalfd(-1, &mask, SFD_CLOEXEC);
  if (stopFd < 0) {
    std::perror("konfigurator-sim: signalfd");
    return 1;
  }

  std::vector<std::unique_ptr<devicesim::Device>> devices;
  devicesim::Bus bus;
  std::string who = addresses.size() == 1 ? "device " : "devices ";
  for (const int address : addresses) {
    devices.push_back(std::make_unique<devicesim::Device>(static_cast<DeviceAddress>(address)));
    devices.back()->SetState(state);
    devices.back()->SetFaults(faults);
    bus.Attach(*devices.back());
    who += (devices.size() > 1 ? "," : "") + std::to_string(address);
  }
  if (speed != 0) who += " at " + std::to_string(speed) + " bit/s";
  devicesim::PtyServer server(bus);
  server.SetLineSpeed(static_cast<unsigned>(speed));
  try {
    if (device.empty()) {
      server.Open();
    } else {
      server.OpenDevice(device, speed != 0 ? static_cast<unsigned>(speed) : 19200u);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "konfigurator-sim: %s\n", e.what());
    return 1;
  }
  if (!device.empty()) {
    std::printf("konfigurator-sim: %s on %s\n", who.c_str(), device.c_str());
    std::fflush(stdout);
  } else if (const std::string err = portinfo::MakeFolders(portsDir); !err.empty()) {
    std::fprintf(stderr, "konfigurator-sim: %s\n", err.c_str());
    return 1;
  }
  const std::string link = device.empty() ? portsDir + "/" + portName : std::string();
  if (device.empty()) {
    if (!CreateLink(portsDir, portName, server.SlavePath())) return 1;
    std::printf("konfigurator-sim: %s on %s, linked as %s\n", who.c_str(),
                server.SlavePath().c_str(), link.c_str());
    std::fflush(stdout);
  }

  int rc = 0;
  try {
    server.Serve(stopFd, [](const devicesim::Exchange& e) {
      const ByteString reply = e.ReplyBytes();
      std::printf("%s  M: %s  S: %s%s%s\n", Now().c_str(), HexDump(e.request).c_str(),
                  reply.empty() ? "-" : HexDump(reply).c_str(), e.note.empty() ? "" : "  ",
                  e.note.c_str());
      std::fflush(stdout);
    });
  } catch (const std::exception& e) {
    std::fprintf(stderr, "konfigurator-sim: %s\n", e.what());
    rc = 1;
  }
  if (!link.empty()) RemoveLink(link, server.SlavePath());
  std::printf("konfigurator-sim: stopped\n");
  return rc;
}
