#include "Session.h"

#include <unistd.h>

#include <cstring>

#include "Commands.h"
#include "PortsCommand.h"
#include "Wording.h"

namespace cli {

namespace {

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

TFkomunikacja::Options ModuleOptions(const Options& options) {
  TFkomunikacja::Options o;
  o.logDirectory = options.logDir;
  return o;
}

}  // namespace

Session::Session(const Options& options, const portinfo::PortTarget& target, Terminal& terminal)
    : options_(options),
      target_(target),
      terminal_(terminal),
      module_(serial::SystemSerialApi(), ModuleOptions(options)) {
  // No user-interface thread here: line events, which the link does not use, stay on the
  // monitor's own thread.
  module_.ComPort1->SetSyncMethod(smNone);
}

Json Session::JsonHead(int baudIndex) const {
  Json head;
  head["port"] = JsonText(target_.display);
  if (baudIndex >= 0) head["speed"] = SpeedOf(baudIndex);
  return head;
}

bool Session::Open(int baudIndex, PortFailure& failure) {
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
      why = OpenFailureText(
          portinfo::OpenFailureFactsOf(target_, e.SystemErrorCode(), SystemDeviceTree("")));
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

std::string Session::JsonPortFailure(int baudIndex, const PortFailure& failure) const {
  Json error = JsonError("port", failure.message);
  if (failure.err != 0) {
    const portinfo::OpenFailureFacts f =
        portinfo::OpenFailureFactsOf(target_, failure.err, SystemDeviceTree(""));
    error["cause"] = portinfo::CauseKey(f.cause);
    error["path"] = JsonText(f.place.path);
    error["link_target"] = JsonTextOrNull(f.place.linkTarget);
    error["group"] = JsonTextOrNull(f.owner.group);
    Json holders = Json::array();
    for (const auto& h : f.holders)
      holders.push_back({{"pid", h.pid}, {"program", JsonText(h.program)}});
    error["holders"] = holders;
    if (f.lockFile)
      error["lock_file"] = {{"path", JsonText(f.lockFile->path)},
                            {"pid", f.lockFile->pid > 0 ? Json(f.lockFile->pid) : Json(nullptr)}};
  } else if (!target_.devicePath.empty()) {
    error["path"] = JsonText(target_.devicePath);
  }
  Json j = JsonHead(baudIndex);
  j["error"] = error;
  return JsonLine(j);
}

void Session::Report(const std::string& operation, int result, const std::string& consequence,
                     const std::string& doing) {
  std::string text = (doing.empty() ? Doing(operation) : doing) + ": " + ResultWords(result);
  if (result == ResultPortFailed && access(target_.devicePath.c_str(), F_OK) != 0)
    text += ", " + target_.devicePath + " is gone: was the adapter unplugged?";
  text += " (result " + std::to_string(result) + ")";
  if (result == ResultIncomplete && operation == "EnterConfigMode" && doing.empty())
    text += "; check the address, the speed and the wiring";
  text += ".";
  if (!consequence.empty()) text += " " + consequence;
  terminal_.Say(text);
  failures_.push_back({operation, result, text, std::nullopt, std::nullopt});
}

void Session::ReportMismatch(const std::string& operation, const std::string& what,
                             const std::string& written, const std::string& read) {
  const std::string text = what + " read back is \"" + Printable(read) + "\", not the \"" +
                           Printable(written) +
                           "\" written: the device did not take it. A line that echoes every "
                           "request looks like that; so does a device that applies settings "
                           "only after a restart (then use --no-verify).";
  terminal_.Say(text);
  failures_.push_back({operation, std::nullopt, text, written, read});
}

Json Session::JsonFailures() const {
  Json list = Json::array();
  for (const Failure& f : failures_) {
    Json e;
    e["operation"] = f.operation;
    if (f.result) {
      e["result"] = *f.result;
      e["meaning"] = ResultMeaning(*f.result);
    } else {
      e["result"] = nullptr;
      e["meaning"] = "value read back differs";
      e["written"] = JsonText(*f.written);
      e["read"] = JsonText(*f.read);
    }
    e["message"] = JsonText(f.message);
    list.push_back(e);
  }
  return list;
}

Json Session::JsonOutcome() const {
  if (Interrupted) return JsonError("interrupted", "interrupted");
  if (failures_.empty()) return nullptr;
  const Failure& f = failures_.front();
  Json e = JsonError(f.result ? "device" : "mismatch", f.message);
  e["operation"] = f.operation;
  if (f.result) {
    e["result"] = *f.result;
  } else {
    e["written"] = JsonText(*f.written);
    e["read"] = JsonText(*f.read);
  }
  return e;
}

int Session::Finish() {
  if (Interrupted) {
    terminal_.Say("interrupted.");
    return ExitInterrupted;
  }
  return failures_.empty() ? ExitOk : ExitFailed;
}

}  // namespace cli
