#include "Commands.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <thread>
#include <vector>

#include "PortProblem.h"
#include "PortsCommand.h"
#include "Wording.h"
#include "komunikacja.h"

namespace cli {

using portinfo::CauseKey;
using portinfo::OpenFailureFacts;
using portinfo::OpenFailureFactsOf;
using portinfo::PortTarget;
using portinfo::PreparePortTarget;
using portinfo::RemovePortTarget;

std::atomic<bool> Interrupted{false};

namespace {

constexpr int kBitsPerChar = 11;                // start bit, 8 data bits, 2 stop bits
constexpr int kProbeChars = 2 * FrameOverhead;  // request and reply of a probe
constexpr int kEnterWaitMs = 1000;
constexpr int kLateReplyMs = 250;  // least wait for a late reply after the last probe
// A probe's wait already counts the bytes' time at its speed; the port's usual 2 ms per byte
// on top would make a full scan a fifth longer for nothing.
constexpr int kScanReadMultiplier = 0;

// How long a probe waits for its reply: the bytes of request and reply at this speed, plus
// the time-out given.
int ProbeWaitMs(int speed, int timeoutMs) {
  return timeoutMs + (kProbeChars * kBitsPerChar * 1000 + speed - 1) / speed;
}

struct Failure {
  std::string operation;  // the device operation's own name, for programs
  int result;
  std::string message;  // what failed, in an operator's words
};

// Why the port cannot be used; err is the errno of a failed open, else 0.
struct PortFailure {
  std::string message;
  bool fatal = true;  // at no speed
  int err = 0;
};

// What an operation was doing when it failed, as an operator would put it.
std::string Doing(const std::string& operation) {
  static const std::pair<const char*, const char*> kWords[] = {
      {"EnterConfigMode", "entering configuration mode"},
      {"LeaveConfigMode", "leaving configuration mode"},
      {"ReadOperatingMode", "reading the operating mode"},
      {"WriteOperatingMode", "writing the operating mode"},
      {"ReadIpAddress", "reading the IP address"},
      {"WriteIpAddress", "writing the IP address"},
      {"ReadIpPort", "reading the IP port"},
      {"WriteIpPort", "writing the IP port"},
  };
  for (const auto& [name, words] : kWords)
    if (operation == name) return words;
  return operation;
}

bool progressShown = false;

void ClearProgress() {
  if (!progressShown) return;
  std::fputs("\r\033[K", stderr);
  progressShown = false;
}

void Say(const std::string& text) {
  ClearProgress();
  std::fprintf(stderr, "konfigurator-cli: %s", text.c_str());
  if (text.empty() || text.back() != '\n') std::fputc('\n', stderr);
  std::fflush(stderr);
}

void Print(const std::string& text) {
  ClearProgress();
  // A reader that went away (scan | head -1) ends the run like an interrupt: the device is
  // still released.
  if ((std::fputs(text.c_str(), stdout) < 0 || std::fflush(stdout) != 0) && errno == EPIPE)
    Interrupted = true;
}

// A port text as a JSON number when it is one, else as a string.
std::string JsonPortValue(const std::string& text) {
  if (ParseNumber(text, 0, 2147483647)) return std::to_string(*ParseNumber(text, 0, 2147483647));
  return JsonString(text);
}

std::string JsonErrors(const std::vector<Failure>& failures) {
  std::string s = "[";
  for (std::size_t i = 0; i < failures.size(); ++i) {
    if (i) s += ",";
    s += "{\"operation\":" + JsonString(failures[i].operation) +
         ",\"result\":" + std::to_string(failures[i].result) +
         ",\"meaning\":" + JsonString(ResultMeaning(failures[i].result)) +
         ",\"message\":" + JsonString(failures[i].message) + "}";
  }
  return s + "]";
}

// The "error" member that closes the object of a command that did not succeed; extra holds
// further members, each with its leading comma.
std::string JsonError(const std::string& kind, const std::string& message,
                      const std::string& extra = {}) {
  return ",\"error\":{\"kind\":" + JsonString(kind) + ",\"message\":" + JsonString(message) +
         extra + "}";
}

std::string JsonPortError(const PortTarget& target, const PortFailure& failure) {
  std::string extra;
  if (failure.err != 0) {
    const OpenFailureFacts f = OpenFailureFactsOf(target, failure.err, SystemDeviceTree(""));
    const std::string& group = f.owner.group;
    extra = ",\"cause\":" + JsonString(CauseKey(f.cause)) +
            ",\"path\":" + JsonString(f.place.path) + ",\"link_target\":" +
            (f.place.linkTarget.empty() ? "null" : JsonString(f.place.linkTarget)) +
            ",\"group\":" + (group.empty() ? "null" : JsonString(group)) + ",\"holders\":[";
    for (std::size_t i = 0; i < f.holders.size(); ++i)
      extra += std::string(i ? "," : "") + "{\"pid\":" + std::to_string(f.holders[i].pid) +
               ",\"program\":" + JsonString(f.holders[i].program) + "}";
    extra += "]";
    if (f.lockFile)
      extra += ",\"lock_file\":{\"path\":" + JsonString(f.lockFile->path) +
               ",\"pid\":" + (f.lockFile->pid > 0 ? std::to_string(f.lockFile->pid) : "null") + "}";
  } else if (!target.devicePath.empty()) {
    extra = ",\"path\":" + JsonString(target.devicePath);
  }
  return JsonError("port", failure.message, extra);
}

// The error of a read or write that did not succeed, or nothing.
std::string JsonOutcome(const std::vector<Failure>& failures) {
  if (Interrupted) return JsonError("interrupted", "interrupted");
  if (failures.empty()) return {};
  const Failure& f = failures.front();
  return JsonError(
      "device", f.message,
      ",\"operation\":" + JsonString(f.operation) + ",\"result\":" + std::to_string(f.result));
}

// A message of several lines as one: for the "message" of a JSON error.
std::string OneLine(std::string text) {
  while (!text.empty() && text.back() == '\n') text.pop_back();
  std::replace(text.begin(), text.end(), '\n', ' ');
  return text;
}

class Session {
 public:
  Session(const Options& options, const PortTarget& target)
      : options_(options), target_(target), module_(serial::SystemSerialApi(), ModuleOptions()) {
    // No user-interface thread here: line events, which the link does not use, stay on the
    // monitor's own thread.
    module_.ComPort1->SetSyncMethod(smNone);
  }

  TFkomunikacja& Module() { return module_; }
  const PortTarget& Target() const { return target_; }
  LinkSettings Link(int baudIndex) const { return LinkSettings{target_.portIndex, baudIndex}; }

  std::string JsonHead(int baudIndex) const {
    std::string s = "{\"port\":" + JsonString(target_.display);
    if (baudIndex >= 0) s += ",\"speed\":" + std::to_string(SpeedOf(baudIndex));
    return s;
  }

  // Opens the port at the speed the way a transaction would, so that a failure can be told
  // apart (missing, no permission, held) before any device operation reports just "1".
  // fatal: the port cannot be used at any speed.
  bool Open(int baudIndex, PortFailure& failure) {
    TComPort& port = *module_.ComPort1;
    const std::string name = "COM" + std::to_string(target_.portIndex + 1);
    const auto rate = static_cast<TBaudRate>(baudIndex + 1);
    failure = PortFailure{};
    std::string& why = failure.message;
    try {
      if (port.Port() != name || port.BaudRate() != rate) {
        port.CloseDevice();
        port.SetPort(name);
        port.SetBaudRate(rate);
      }
      port.OpenDevice();
      return true;
    } catch (const EComPort& e) {
      if (e.PortErrorCode() == CError_OpenFailed) {
        why =
            OpenFailureText(OpenFailureFactsOf(target_, e.SystemErrorCode(), SystemDeviceTree("")));
        failure.err = e.SystemErrorCode();
      } else if (e.PortErrorCode() == CError_SetStateFailed) {
        failure.fatal = false;
        why = "port " + target_.display + " does not take 8 data bits, no parity, 2 stop bits at " +
              std::to_string(SpeedOf(baudIndex)) + " bit/s: " + std::strerror(e.SystemErrorCode()) +
              ".";
      } else {
        why = "port " + target_.display + " cannot be set up: " + e.what() + ".";
      }
    } catch (const std::exception& e) {
      why = "port " + target_.display + " cannot be set up: " + e.what() + ".";
    }
    try {
      port.CloseDevice();
    } catch (...) {
    }
    return false;
  }

  // doing: what the operation was for, when its own name does not say it well enough.
  void Report(const std::string& operation, int result, const std::string& consequence = {},
              const std::string& doing = {}) {
    std::string text = (doing.empty() ? Doing(operation) : doing) + ": " + ResultWords(result);
    if (result == 1 && access(target_.devicePath.c_str(), F_OK) != 0)
      text += ", " + target_.devicePath + " is gone: was the adapter unplugged?";
    text += " (result " + std::to_string(result) + ")";
    if (result == 3 && operation == "EnterConfigMode" && doing.empty())
      text += "; check the address, the speed and the wiring";
    text += ".";
    if (!consequence.empty()) text += " " + consequence;
    Say(text);
    failures_.push_back({operation, result, text});
  }

  const std::vector<Failure>& Failures() const { return failures_; }

 private:
  TFkomunikacja::Options ModuleOptions() const {
    TFkomunikacja::Options o;
    o.logDirectory = options_.logDir;
    return o;
  }

  const Options& options_;
  PortTarget target_;
  TFkomunikacja module_;
  std::vector<Failure> failures_;
};

constexpr char kStillInConfig[] = "The device may still be in configuration mode.";

int Finish(const Session& session) {
  if (Interrupted) {
    Say("interrupted.");
    return ExitInterrupted;
  }
  return session.Failures().empty() ? ExitOk : ExitFailed;
}

int Read(Session& s, const Options& o) {
  TFkomunikacja& m = s.Module();
  const LinkSettings link = s.Link(o.baudIndex);
  const auto address = static_cast<DeviceAddress>(o.address);
  std::optional<int> mode;
  std::optional<std::string> ip, ipPort;

  const int entered = EnterConfigMode(m, address, link);
  if (entered != 0) {
    s.Report("EnterConfigMode", entered, "Nothing was read.");
  } else {
    if (!Interrupted) std::this_thread::sleep_for(std::chrono::milliseconds(kEnterWaitMs));
    if (!Interrupted) {
      std::int32_t value = 0;
      const int r = ReadOperatingMode(m, address, link, value);
      if (r == 0)
        mode = value;
      else
        s.Report("ReadOperatingMode", r);
    }
    // The IP settings only count in LAN mode; the window reads them only then, too.
    if (mode == 0 && !Interrupted) {
      std::string text;
      if (const int r = ReadIpAddress(m, address, link, text); r == 0)
        ip = text;
      else
        s.Report("ReadIpAddress", r);
    }
    if (mode == 0 && !Interrupted) {
      std::string text;
      if (const int r = ReadIpPort(m, address, link, text); r == 0)
        ipPort = text;
      else
        s.Report("ReadIpPort", r);
    }
    if (const int r = LeaveConfigMode(m, address, link); r != 0)
      s.Report("LeaveConfigMode", r, kStillInConfig);
  }

  if (o.json) {
    std::string j = s.JsonHead(o.baudIndex) + ",\"address\":" + std::to_string(o.address);
    j += ",\"mode\":" + (mode ? JsonString(ModeName(*mode)) : "null");
    j += ",\"mode_number\":" + (mode ? std::to_string(*mode) : "null");
    j += ",\"ip\":" + (ip ? JsonString(*ip) : "null");
    j += ",\"ip_port\":" + (ipPort ? JsonPortValue(*ipPort) : "null");
    j += ",\"errors\":" + JsonErrors(s.Failures()) + JsonOutcome(s.Failures()) + "}\n";
    Print(j);
  } else {
    std::string text;
    if (mode) text += "mode: " + ModeName(*mode) + "\n";
    if (ip) text += "ip: " + Printable(*ip) + "\n";
    if (ipPort) text += "ip-port: " + Printable(*ipPort) + "\n";
    Print(text);
  }
  return Finish(s);
}

int Write(Session& s, const Options& o) {
  TFkomunikacja& m = s.Module();
  const LinkSettings link = s.Link(o.baudIndex);
  const auto address = static_cast<DeviceAddress>(o.address);
  struct Outcome {
    std::string key, json, value;
    bool written;
  };
  std::vector<Outcome> outcomes;

  const int entered = EnterConfigMode(m, address, link);
  if (entered != 0) {
    s.Report("EnterConfigMode", entered, "Nothing was written.");
  } else {
    if (o.ip && !Interrupted) {
      if (const int r = WriteIpAddress(m, *o.ip, address, link); r == 0)
        outcomes.push_back({"ip", "ip", *o.ip, true});
      else
        s.Report("WriteIpAddress", r);
    }
    if (o.ipPort && !Interrupted) {
      const std::string text = std::to_string(*o.ipPort);
      if (const int r = WriteIpPort(m, text, address, link); r == 0)
        outcomes.push_back({"ip-port", "ip_port", text, true});
      else
        s.Report("WriteIpPort", r);
    }
    // Like the window: the mode is written only when the device has another one.
    if (o.mode && !Interrupted) {
      std::int32_t current = 0;
      if (const int r = ReadOperatingMode(m, address, link, current); r != 0) {
        s.Report("ReadOperatingMode", r, "The mode was not written.");
      } else if (current == *o.mode) {
        outcomes.push_back({"mode", "mode", ModeName(*o.mode), false});
      } else if (const int w = WriteOperatingMode(m, *o.mode, address, link); w == 0) {
        outcomes.push_back({"mode", "mode", ModeName(*o.mode), true});
      } else {
        s.Report("WriteOperatingMode", w);
      }
    }
    if (const int r = LeaveConfigMode(m, address, link); r != 0)
      s.Report("LeaveConfigMode", r, kStillInConfig);
  }

  if (o.json) {
    std::string written, unchanged;
    for (const Outcome& out : outcomes) {
      std::string& list = out.written ? written : unchanged;
      list += std::string(list.empty() ? "" : ",") + "\"" + out.json +
              "\":" + (out.json == "ip_port" ? out.value : JsonString(out.value));
    }
    Print(s.JsonHead(o.baudIndex) + ",\"address\":" + std::to_string(o.address) + ",\"written\":{" +
          written + "},\"unchanged\":{" + unchanged + "},\"errors\":" + JsonErrors(s.Failures()) +
          JsonOutcome(s.Failures()) + "}\n");
  } else {
    std::string text;
    for (const Outcome& out : outcomes)
      text += out.key + ": " + out.value + (out.written ? " written" : " unchanged") + "\n";
    Print(text);
  }
  return Finish(s);
}

int Scan(Session& s, const Options& o) {
  TFkomunikacja& m = s.Module();
  struct Found {
    int address, baudIndex;
    bool refused;
    bool slow = false;  // answered only after its probe had ended
  };
  std::vector<Found> found;
  const bool progress = isatty(STDERR_FILENO) == 1;
  const std::size_t total = o.addresses.size() * o.baudIndexes.size();
  std::size_t probes = 0;
  std::size_t skipped = 0;  // probes of speeds the port refused
  bool portFailed = false;
  std::vector<std::pair<int, int>> probed;  // address and baud index of every probe so far

  auto announce = [&](const Found& f) {
    found.push_back(f);
    if (!o.json)
      Print("address " + std::to_string(f.address) + " at " + std::to_string(SpeedOf(f.baudIndex)) +
            " bit/s" + (f.refused ? " (refuses configuration mode)" : "") +
            (f.slow ? " (answered late: a longer --timeout suits it)" : "") + "\n");
  };
  auto announceOnce = [&](const Found& f) {
    const bool known = std::any_of(found.begin(), found.end(), [&](const Found& k) {
      return k.address == f.address && k.baudIndex == f.baudIndex;
    });
    if (!known) announce(f);
  };
  // Where a reply may belong: first the speed it came at (-1: none), then the speeds its
  // address was asked at before, latest first. Over a pseudo-terminal, or a converter that
  // buffers, a reply too late for the wait of its own speed arrives at the next speed.
  auto speedsToTry = [&](int address, int current) {
    std::vector<int> speeds;
    if (current >= 0) speeds.push_back(current);
    for (auto p = probed.rbegin(); p != probed.rend(); ++p) {
      if (p->first == address && std::find(speeds.begin(), speeds.end(), p->second) == speeds.end())
        speeds.push_back(p->second);
    }
    return speeds;
  };
  // A device the probe put into configuration mode is left as it was found. Its speed is
  // the one at which it confirms that; -1 when it confirms at none.
  auto release = [&](int address, const std::vector<int>& speeds) {
    std::string tried;
    for (const int at : speeds) {
      if (Interrupted && !tried.empty()) break;
      if (LeaveConfigMode(m, static_cast<DeviceAddress>(address), s.Link(at)) == 0) return at;
      tried += (tried.empty() ? "" : ", ") + std::to_string(SpeedOf(at));
    }
    Say("address " + std::to_string(address) + " did not confirm leaving configuration mode" +
        (speeds.size() > 1 ? " at " + tried + " bit/s" : std::string()) +
        "; it may still be in it.");
    return -1;
  };

  if (progress) {
    Say("scanning " + std::to_string(o.addresses.size()) + " address" +
        (o.addresses.size() == 1 ? "" : "es") + " at " + std::to_string(o.baudIndexes.size()) +
        " speed" + (o.baudIndexes.size() == 1 ? "" : "s") + " takes up to " +
        DurationText(ScanEstimateMs(o)) + "; Ctrl-C stops it.");
  }
  for (const int baudIndex : o.baudIndexes) {
    if (Interrupted || portFailed || (o.first && !found.empty())) break;
    PortFailure failure;
    if (!s.Open(baudIndex, failure)) {
      Say(failure.message);
      if (failure.fatal) {
        if (o.json)
          Print(s.JsonHead(-1) +
                JsonPortError(s.Target(), {OneLine(failure.message), true, failure.err}) + "}\n");
        return ExitPort;
      }
      skipped += o.addresses.size();
      continue;
    }
    const LinkSettings link = s.Link(baudIndex);
    const int speed = SpeedOf(baudIndex);
    const int readConstant = ProbeWaitMs(speed, o.timeoutMs);
    auto shortTimeout = [&] {
      try {
        m.ComPort1->Timeouts().SetReadTotalConstant(readConstant);
        m.ComPort1->Timeouts().SetReadTotalMultiplier(kScanReadMultiplier);
      } catch (...) {
        // The probe's transaction finds out whether the port still works.
      }
    };
    // A valid enter reply from `other` outside its own probe: a device slower than the
    // time-out answering an earlier probe, or one answering from another address. Either way
    // something is now in configuration mode.
    auto strayReply = [&](int other, int probing) {
      const std::vector<int> speeds = speedsToTry(other, -1);
      if (speeds.empty()) {
        Say((probing >= 0 ? "probing address " + std::to_string(probing) + " at "
                          : std::string("at ")) +
            std::to_string(speed) + " bit/s, a reply came from address " + std::to_string(other) +
            ".");
        m.LeaveConfigModeOnce(static_cast<DeviceAddress>(other), link);
        if (probing >= 0) m.LeaveConfigModeOnce(static_cast<DeviceAddress>(probing), link);
      } else if (const int at = release(other, speeds); at >= 0) {
        announceOnce({other, at, false, true});
      }
      shortTimeout();
    };
    // A late reply that came between two probes would be thrown away by the next probe's
    // purge, with its device left in configuration mode.
    auto takeWaitingReply = [&] {
      ByteString waiting;
      try {
        if (const std::int32_t n = m.ComPort1->PendingInputCount(); n > 0)
          m.ComPort1->ReadText(waiting, n);
      } catch (...) {
        // The probe finds out whether the port still works.
      }
      for (std::size_t at = 0; at + FrameOverhead <= waiting.size(); at += FrameOverhead) {
        const ByteString frame = waiting.substr(at, FrameOverhead);
        if (ChecksumValid(frame)) strayReply(static_cast<unsigned char>(frame[0]), -1);
      }
    };
    shortTimeout();

    for (const int address : o.addresses) {
      if (Interrupted || (o.first && !found.empty())) break;
      takeWaitingReply();
      ++probes;
      if (progress) {
        ClearProgress();
        std::fprintf(stderr, "scanning %d bit/s, address %d (%zu of %zu), %zu found", speed,
                     address, probes, total, found.size());
        std::fflush(stderr);
        progressShown = true;
      }
      const ByteString request = EnterConfigModeRequest(static_cast<DeviceAddress>(address));
      ByteString reply;
      const int r = m.Transact(request, reply, FrameOverhead, link);
      probed.emplace_back(address, baudIndex);
      if (r == 0) {
        // The same reply from an earlier speed's probe looks just like this one's.
        const int at = release(address, speedsToTry(address, baudIndex));
        announceOnce({address, at >= 0 ? at : baudIndex, false, at >= 0 && at != baudIndex});
        shortTimeout();
      } else if (r == 7) {
        announce({address, baudIndex, true});
      } else if (r == 10) {
        strayReply(static_cast<unsigned char>(reply[0]), address);
      } else if (r == 1) {
        s.Report("EnterConfigMode", r, "Scan stopped.",
                 "probing address " + std::to_string(address) + " at " + std::to_string(speed) +
                     " bit/s");
        portFailed = true;
        break;
      }
    }
    if (portFailed) break;
    // A slow device may still answer the last probe of this speed; waiting a little longer
    // once per speed costs far less than leaving it in configuration mode.
    ByteString late;
    try {
      m.ComPort1->Timeouts().SetReadTotalConstant(std::max(4 * readConstant, kLateReplyMs));
      m.ComPort1->ReadText(late, FrameOverhead);
    } catch (...) {
    }
    if (late.size() == static_cast<std::size_t>(FrameOverhead) && ChecksumValid(late))
      strayReply(static_cast<unsigned char>(late[0]), -1);
  }
  ClearProgress();

  if (o.json) {
    std::string list;
    for (const Found& f : found) {
      if (!list.empty()) list += ",";
      list += "{\"address\":" + std::to_string(f.address) +
              ",\"speed\":" + std::to_string(SpeedOf(f.baudIndex)) +
              ",\"refused\":" + (f.refused ? "true" : "false") +
              ",\"slow\":" + (f.slow ? "true" : "false") + "}";
    }
    std::string error = JsonOutcome(s.Failures());
    if (error.empty() && found.empty())
      error = JsonError("none-found", "no device answered (" + std::to_string(probes) + " probes)");
    Print(s.JsonHead(-1) + ",\"devices\":[" + list + "],\"probes\":" + std::to_string(probes) +
          ",\"complete\":" + (probes + skipped == total ? "true" : "false") +
          ",\"errors\":" + JsonErrors(s.Failures()) + error + "}\n");
  } else if (found.empty() && !Interrupted) {
    Say("no device answered (" + std::to_string(probes) + " probes).");
  }
  if (Interrupted) {
    Say("interrupted.");
    return ExitInterrupted;
  }
  if (portFailed) return ExitFailed;
  return found.empty() ? ExitFailed : ExitOk;
}

}  // namespace

long long ProbeEstimateMs(int speed, int timeoutMs) {
  // The request leaves, then the read waits; the purge and the system calls around it add
  // about a millisecond.
  const long long requestMs = (FrameOverhead * kBitsPerChar * 1000LL + speed - 1) / speed;
  return requestMs + ProbeWaitMs(speed, timeoutMs) + kScanReadMultiplier * FrameOverhead + 1;
}

long long ScanEstimateMs(const Options& o) {
  long long ms = 0;
  for (const int baudIndex : o.baudIndexes) {
    const int speed = SpeedOf(baudIndex);
    ms += static_cast<long long>(o.addresses.size()) * ProbeEstimateMs(speed, o.timeoutMs) +
          std::max<long long>(4LL * ProbeWaitMs(speed, o.timeoutMs), kLateReplyMs);
  }
  return ms;
}

std::string DurationText(long long ms) {
  const long long s = (ms + 999) / 1000;
  if (s < 60) return std::to_string(s) + " s";
  const long long m = s / 60;
  if (m < 60)
    return std::to_string(m) + " min" + (s % 60 ? " " + std::to_string(s % 60) + " s" : "");
  return std::to_string(m / 60) + " h " + std::to_string(m % 60) + " min";
}

std::string ScanDurationHelp() {
  Options full;
  full.addresses = *ParseAddressList("0-255");
  full.baudIndexes = *ParseSpeedList("common");
  const std::string common = DurationText(ScanEstimateMs(full));
  full.baudIndexes = *ParseSpeedList("all");
  return "A scan of all 256 addresses with the default time-out takes up to " + common +
         " at the common\nspeeds and up to " + DurationText(ScanEstimateMs(full)) +
         " at all of them; a device found adds a few milliseconds.\n";
}

std::string Printable(const std::string& text) {
  std::string out;
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (b >= 0x20 && b < 0x7F && b != '\\') {
      out += c;
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", b);
      out += buf;
    }
  }
  return out;
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (b >= 0x20 && b < 0x7F) {
      out += c;
    } else {
      // Device texts need not be UTF-8: every other byte is kept as its own code point.
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04X", b);
      out += buf;
    }
  }
  return out + "\"";
}

int RunCommand(const Options& options) {
  PortTarget target;
  if (const portinfo::TargetProblem problem =
          PreparePortTarget(options.port, options.portsDir, target)) {
    const std::string error = TargetProblemText(problem);
    Say(error);
    if (options.json)
      Print("{\"port\":" + JsonString(options.port.empty() ? "COM2" : options.port) +
            JsonError("port", error, ",\"cause\":\"name\"") + "}\n");
    return ExitPort;
  }
  struct Cleanup {
    const PortTarget& t;
    ~Cleanup() { RemovePortTarget(t); }
  } cleanup{target};

  LoggingEnabled = options.log;
  int status = ExitOk;
  {
    Session session(options, target);
    if (options.log) {
      const std::string path = session.Module().LogFilePath();
      const std::string dir = path.substr(0, path.rfind('/') + 1);
      const bool exists = access(path.c_str(), F_OK) == 0;
      if (path.empty() || access(exists ? path.c_str() : dir.c_str(), W_OK) != 0)
        Say("the log " + (path.empty() ? std::string("trans.txt") : path) + " cannot be written (" +
            std::strerror(errno) + "); going on without it.");
    }
    if (options.command == Command::Scan) {
      status = Scan(session, options);
    } else {
      PortFailure failure;
      if (!session.Open(options.baudIndex, failure)) {
        Say(failure.message);
        if (options.json)
          Print(session.JsonHead(options.baudIndex) +
                JsonPortError(target, {OneLine(failure.message), true, failure.err}) + "}\n");
        return ExitPort;
      }
      status = options.command == Command::Read ? Read(session, options) : Write(session, options);
    }
  }
  return status;
}

}  // namespace cli
