#include "Commands.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <thread>
#include <vector>

#include "Json.h"
#include "LogReport.h"
#include "Scan.h"
#include "Session.h"

namespace cli {

namespace {

constexpr int kEnterWaitMs = 1000;
constexpr char kStillInConfig[] = "The device may still be in configuration mode.";
// "255.255.255.255"
constexpr std::size_t kLongestIp = 15;
// "65535"
constexpr std::size_t kLongestPort = 5;

bool HasNul(const std::string& text) { return text.find('\0') != std::string::npos; }

// The reason a text the device gave cannot be the value it stands for, or nothing.
std::optional<std::string> IpProblem(const std::string& ip) {
  if (HasNul(ip)) return "holds NUL bytes";
  if (ip.size() > kLongestIp)
    return "is " + std::to_string(ip.size()) + " bytes long; an IP address has at most " +
           std::to_string(kLongestIp);
  if (!ParseIpAddress(ip)) return "is not an IP address (four numbers 0-255 with dots)";
  return std::nullopt;
}

std::optional<std::string> PortProblem(const std::string& port) {
  if (HasNul(port)) return "holds NUL bytes";
  if (port.size() > kLongestPort)
    return "is " + std::to_string(port.size()) + " bytes long; a port has at most " +
           std::to_string(kLongestPort) + " digits";
  if (!ParseNumber(port, 0, 2147483647)) return "is not a number";
  if (!ParseNumber(port, 0, 65535)) return "is above 65535";
  return std::nullopt;
}

int Read(Session& s, const Options& o) {
  TFkomunikacja& m = s.Module();
  const LinkSettings link = s.Link(o.baudIndex);
  const auto address = static_cast<DeviceAddress>(o.address);
  std::optional<int> mode;
  std::optional<std::string> ip, ipPort;

  const int entered = EnterConfigMode(m, address, link);
  if (entered != ResultOk) {
    s.Report("EnterConfigMode", entered, "Nothing was read.");
  } else {
    if (!Interrupted) std::this_thread::sleep_for(std::chrono::milliseconds(kEnterWaitMs));
    if (!Interrupted) {
      std::int32_t value = 0;
      const int r = ReadOperatingMode(m, address, link, value);
      if (r == ResultOk)
        mode = value;
      else
        s.Report("ReadOperatingMode", r);
    }
    // The IP settings only count in LAN mode; the window reads them only then, too.
    if (mode == 0 && !Interrupted) {
      std::string text;
      if (const int r = ReadIpAddress(m, address, link, text); r == ResultOk)
        ip = text;
      else
        s.Report("ReadIpAddress", r);
    }
    if (mode == 0 && !Interrupted) {
      std::string text;
      if (const int r = ReadIpPort(m, address, link, text); r == ResultOk)
        ipPort = text;
      else
        s.Report("ReadIpPort", r);
    }
    if (const int r = LeaveConfigMode(m, address, link); r != ResultOk)
      s.Report("LeaveConfigMode", r, kStillInConfig);
  }

  // Kept as the device gave them, so that the operator sees what is wrong.
  Json warnings = Json::array();
  auto check = [&](const char* field, const std::optional<std::string>& value, auto problem) {
    if (!value) return;
    if (const auto reason = problem(*value)) {
      s.Out().Say(std::string("warning: the device's ") + field + " \"" + Printable(*value) +
                  "\" " + *reason + ".");
      warnings.push_back({{"field", field}, {"reason", *reason}});
    }
  };
  check("ip", ip, IpProblem);
  check("ip_port", ipPort, PortProblem);

  if (o.json) {
    Json j = s.JsonHead(o.baudIndex);
    j["address"] = o.address;
    j["mode"] = mode ? Json(ModeName(*mode)) : Json(nullptr);
    j["mode_number"] = mode ? Json(*mode) : Json(nullptr);
    j["ip"] = ip ? JsonText(*ip) : Json(nullptr);
    if (!ipPort)
      j["ip_port"] = nullptr;
    else if (const auto n = ParseNumber(*ipPort, 0, 65535); n && !HasNul(*ipPort))
      j["ip_port"] = *n;
    else
      j["ip_port"] = JsonText(*ipPort);
    j["warnings"] = warnings;
    j["errors"] = s.JsonFailures();
    if (Json error = s.JsonOutcome(); !error.is_null()) j["error"] = error;
    s.Out().Print(JsonLine(j));
  } else {
    std::string text;
    if (mode) text += "mode: " + ModeName(*mode) + "\n";
    if (ip) text += "ip: " + Printable(*ip) + "\n";
    if (ipPort) text += "ip-port: " + Printable(*ipPort) + "\n";
    s.Out().Print(text);
  }
  const int status = s.Finish();
  return status == ExitOk && !warnings.empty() ? ExitImpossible : status;
}

// What a write did to one value.
struct Outcome {
  std::string key, json, value;
  bool written;
  std::optional<std::string> readBack = std::nullopt;  // when it differs from value
};

// A device confirms a text write with the request itself, which a line that echoes gives as
// well: only reading the value back shows that the device took it.
void Verify(Session& s, const Options& o, std::vector<Outcome>& outcomes) {
  TFkomunikacja& m = s.Module();
  const LinkSettings link = s.Link(o.baudIndex);
  const auto address = static_cast<DeviceAddress>(o.address);
  for (Outcome& out : outcomes) {
    if (!out.written || Interrupted) continue;
    std::string read, operation, what;
    int r = ResultOk;
    if (out.key == "ip") {
      operation = "ReadIpAddress";
      what = "the IP address";
      r = ReadIpAddress(m, address, link, read);
    } else if (out.key == "ip-port") {
      operation = "ReadIpPort";
      what = "the IP port";
      r = ReadIpPort(m, address, link, read);
    } else {
      operation = "ReadOperatingMode";
      what = "the mode";
      std::int32_t mode = 0;
      r = ReadOperatingMode(m, address, link, mode);
      read = ModeName(mode);
    }
    if (r != ResultOk) {
      s.Report(operation, r, "What was written could not be read back.");
    } else if (read != out.value) {
      s.ReportMismatch(operation, what, out.value, read);
      out.readBack = read;
    }
  }
}

int Write(Session& s, const Options& o) {
  TFkomunikacja& m = s.Module();
  const LinkSettings link = s.Link(o.baudIndex);
  const auto address = static_cast<DeviceAddress>(o.address);
  std::vector<Outcome> outcomes;

  const int entered = EnterConfigMode(m, address, link);
  if (entered != ResultOk) {
    s.Report("EnterConfigMode", entered, "Nothing was written.");
  } else {
    if (o.ip && !Interrupted) {
      if (const int r = WriteIpAddress(m, *o.ip, address, link); r == ResultOk)
        outcomes.push_back({"ip", "ip", *o.ip, true});
      else
        s.Report("WriteIpAddress", r);
    }
    if (o.ipPort && !Interrupted) {
      const std::string text = std::to_string(*o.ipPort);
      if (const int r = WriteIpPort(m, text, address, link); r == ResultOk)
        outcomes.push_back({"ip-port", "ip_port", text, true});
      else
        s.Report("WriteIpPort", r);
    }
    // Like the window: the mode is written only when the device has another one.
    if (o.mode && !Interrupted) {
      std::int32_t current = 0;
      if (const int r = ReadOperatingMode(m, address, link, current); r != ResultOk) {
        s.Report("ReadOperatingMode", r, "The mode was not written.");
      } else if (current == *o.mode) {
        outcomes.push_back({"mode", "mode", ModeName(*o.mode), false});
      } else if (const int w = WriteOperatingMode(m, *o.mode, address, link); w == ResultOk) {
        outcomes.push_back({"mode", "mode", ModeName(*o.mode), true});
      } else {
        s.Report("WriteOperatingMode", w);
      }
    }
    if (o.verify) Verify(s, o, outcomes);
    if (const int r = LeaveConfigMode(m, address, link); r != ResultOk)
      s.Report("LeaveConfigMode", r, kStillInConfig);
  }

  if (o.json) {
    Json written = Json::object(), unchanged = Json::object();
    for (const Outcome& out : outcomes) {
      Json& list = out.written ? written : unchanged;
      list[out.json] = out.json == "ip_port" ? Json(*o.ipPort) : Json(out.value);
    }
    Json j = s.JsonHead(o.baudIndex);
    j["address"] = o.address;
    j["written"] = written;
    j["unchanged"] = unchanged;
    j["verified"] = o.verify && s.Failures().empty() && !Interrupted;
    j["errors"] = s.JsonFailures();
    if (Json error = s.JsonOutcome(); !error.is_null()) j["error"] = error;
    s.Out().Print(JsonLine(j));
  } else {
    std::string text;
    for (const Outcome& out : outcomes)
      text += out.key + ": " + out.value + (out.written ? " written" : " unchanged") +
              (out.readBack ? ", but read back as \"" + Printable(*out.readBack) + "\"" : "") +
              "\n";
    s.Out().Print(text);
  }
  return s.Finish();
}

}  // namespace

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

int RunCommand(const Options& options) {
  Terminal terminal;
  portinfo::PortTarget target;
  if (const portinfo::TargetProblem problem =
          portinfo::PreparePortTarget(options.port, options.portsDir, target)) {
    const std::string error = TargetProblemText(problem);
    terminal.Say(error);
    if (options.json) {
      Json j;
      j["port"] = JsonText(options.port.empty() ? "COM2" : options.port);
      j["error"] = JsonError("port", error);
      j["error"]["cause"] = "name";
      terminal.Print(JsonLine(j));
    }
    return ExitPort;
  }
  struct Cleanup {
    const portinfo::PortTarget& t;
    ~Cleanup() { portinfo::RemovePortTarget(t); }
  } cleanup{target};

  LoggingEnabled = options.log;
  Session session(options, target, terminal);
  // Once, after the run whichever way it ends: only the entries themselves tell what the
  // log took.
  struct ReportLostLog {
    const TFkomunikacja& module;
    Terminal& terminal;
    ~ReportLostLog() {
      try {
        const std::string lost = LogFailureText(module.LogFilePath(), module.FirstLogFailure());
        if (!lost.empty()) terminal.Say(lost);
      } catch (...) {
      }
    }
  } reportLostLog{session.Module(), terminal};
  if (options.command == Command::Scan) return Scan(session, options).Run();
  PortFailure failure;
  if (!session.Open(options.baudIndex, failure)) {
    terminal.Say(failure.message);
    if (options.json) terminal.Print(session.JsonPortFailure(options.baudIndex, failure));
    return ExitPort;
  }
  return options.command == Command::Read ? Read(session, options) : Write(session, options);
}

}  // namespace cli
