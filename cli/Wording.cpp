#include "Wording.h"

#include <sys/stat.h>

#include <cstring>

namespace cli {

using portinfo::Cause;
using portinfo::ComPortState;
using portinfo::NodeKind;
using portinfo::ResultKind;

std::string ResultMeaning(int result) {
  switch (portinfo::KindOfResult(result)) {
    case ResultKind::Success:
      return "success";
    case ResultKind::PortFailed:
      return "port failure: the port could not be opened or stopped working";
    case ResultKind::NotSent:
      return "the request was not fully sent";
    case ResultKind::NoAnswer:
      return "no reply, or an incomplete one (check the address, the speed and the wiring)";
    case ResultKind::BadChecksum:
      return "the reply's checksum does not match (noise on the line, or a wrong speed)";
    case ResultKind::TooShort:
      return "the expected reply is shorter than 4 bytes";
    case ResultKind::Refused:
      return "the device refused the request";
    case ResultKind::OtherAddress:
      return "the reply came from another address (two devices on one address?)";
    case ResultKind::Unknown:
      break;
  }
  return "unknown result";
}

std::string ResultWords(int result) {
  switch (portinfo::KindOfResult(result)) {
    case ResultKind::PortFailed:
      return "the port failed";
    case ResultKind::NotSent:
      return "the request could not be sent in full";
    case ResultKind::NoAnswer:
      return "the device did not answer";
    case ResultKind::BadChecksum:
      return "the reply's checksum was wrong: noise on the line, or a wrong speed";
    case ResultKind::TooShort:
      return "the reply expected is too short to check";
    case ResultKind::Refused:
      return "the device refused";
    case ResultKind::OtherAddress:
      return "another address answered: are two devices on one address?";
    case ResultKind::Success:
    case ResultKind::Unknown:
      break;
  }
  return "unexpected result";
}

std::string TargetProblemText(const portinfo::TargetProblem& p) {
  switch (p.kind) {
    case portinfo::TargetProblem::None:
      return {};
    case portinfo::TargetProblem::NotAPortName:
      return "\"" + p.name + "\" is not a port name like COM2 (COM1 to COM99999)";
    case portinfo::TargetProblem::BadPath:
      return "cannot make sense of the path \"" + p.name + "\": " + std::strerror(p.err);
    case portinfo::TargetProblem::NoFolder:
      return "cannot create a folder in " + p.folder + ": " + std::strerror(p.err);
    case portinfo::TargetProblem::NoLink:
      return "cannot create a link in " + p.folder + ": " + std::strerror(p.err);
  }
  return {};
}

namespace {

std::string ModeText(mode_t mode) {
  std::string s = S_ISCHR(mode) ? "c" : S_ISDIR(mode) ? "d" : "-";
  const char* rwx = "rwxrwxrwx";
  for (int i = 0; i < 9; ++i) s += (mode & (0400 >> i)) ? rwx[i] : '-';
  return s;
}

// "COM3 (/dev/ttyUSB0)", "COM2 (/home/u/ports/COM2 -> /dev/pts/3)".
std::string Where(const portinfo::PortPlace& p) {
  if (p.viaComLink) return p.display + " (" + p.path + " -> " + p.linkTarget + ")";
  if (p.display != p.path) return p.display + " (" + p.path + ")";
  return p.display;
}

std::string KindText(NodeKind kind) {
  switch (kind) {
    case NodeKind::Regular:
      return "It is a plain file.\n";
    case NodeKind::Directory:
      return "It is a folder.\n";
    case NodeKind::Fifo:
      return "It is a named pipe.\n";
    case NodeKind::Socket:
      return "It is a socket.\n";
    case NodeKind::Block:
      return "It is a block device (a disk or the like).\n";
    case NodeKind::Character:
      return "It is a character device, but no serial line.\n";
    case NodeKind::Terminal:
    case NodeKind::Unknown:
      break;
  }
  return {};
}

std::string List(const std::vector<std::string>& items) {
  std::string text;
  for (std::size_t i = 0; i < items.size(); ++i) text += (i ? ", " : "") + items[i];
  return text;
}

std::string Missing(const portinfo::OpenFailureFacts& f) {
  const portinfo::PortPlace& p = f.place;
  std::string text;
  if (p.viaComLink) {
    text = "port " + p.display + " does not exist: " + p.path + " points at " + p.linkTarget +
           ", which is not there: is the adapter unplugged?\n";
  } else if (!p.namedByPath) {
    text = "port " + p.display + " does not exist: there is no " + p.portsDir + "/" + p.display +
           " and no " + p.path + ".\n";
  } else {
    text = "port " + p.display + " does not exist.\n";
  }
  return text + PortsFoundText(f.ports);
}

std::string NoPermission(const portinfo::OpenFailureFacts& f) {
  const std::string where = Where(f.place);
  const portinfo::NodeOwner& o = f.owner;
  if (!o.known) return "no permission to reach " + where + ": " + std::strerror(f.err) + ".\n";
  std::string text = "no permission to open " + where + " (" + ModeText(o.mode) + " " + o.owner +
                     ":" + o.group + ").\n";
  if (!o.groupMayUse) {
    text += "Not even its group " + o.group +
            " may read and write it; ask the administrator to fix the device's permissions "
            "(a udev rule).\n";
  } else if (o.joinedSinceLogin) {
    text += "The device belongs to group " + o.group + ", and you are in it already, but this " +
            "session started before you joined: log out and in again (or run newgrp " + o.group +
            ").\n";
  } else {
    text += "The device belongs to group " + o.group + ". Join it with\n  sudo usermod -aG " +
            o.group + " $USER\nthen log out and in again.\n";
  }
  return text;
}

std::string Busy(const portinfo::OpenFailureFacts& f) {
  const std::string where = Where(f.place);
  const std::vector<std::string> holders = HolderTexts(f.holders);
  if (f.lockFile) {
    const portinfo::LockFile& lock = *f.lockFile;
    std::string text = "port " + where + " is locked by the lock file " + lock.path + " (";
    if (lock.pid > 0)
      text += "pid " + std::to_string(lock.pid) + (lock.program.empty() ? "" : ", " + lock.program);
    else
      text += "pid unreadable";
    text += ").\n";
    if (!holders.empty()) text += "Seen with the device open: " + List(holders) + ".\n";
    if (lock.pid > 0) return text + "Close that program and try again.\n";
    return text +
           "It is being written right now, or was left half-written; try again in a few "
           "seconds.\n";
  }
  std::string text = "port " + where + " is in use by another program";
  if (holders.empty())
    text += " (one you cannot see, e.g. another user's).\n";
  else
    text += ": " + List(holders) + ".\n";
  return text + "Close it and try again.\n";
}

}  // namespace

std::string OpenFailureText(const portinfo::OpenFailureFacts& f) {
  const std::string where = Where(f.place);
  switch (f.cause) {
    case Cause::Missing:
      return Missing(f);
    case Cause::Permission:
      return NoPermission(f);
    case Cause::Busy:
      return Busy(f);
    case Cause::NotSerial:
      return where + " is not a serial port.\n" + KindText(f.kind);
    case Cause::NoDevice:
      return "there is no working serial device behind " + where + ": " + std::strerror(f.err) +
             ".\n" + PortsFoundText(f.ports);
    case Cause::Other:
      break;
  }
  return "cannot open port " + where + ": " + std::strerror(f.err) + ".\n";
}

std::string HolderText(const portinfo::Holder& h) {
  return "pid " + std::to_string(h.pid) + (h.program.empty() ? "" : " (" + h.program + ")");
}

std::vector<std::string> HolderTexts(const std::vector<portinfo::Holder>& holders) {
  std::vector<std::string> out;
  for (const portinfo::Holder& h : holders) out.push_back(HolderText(h));
  return out;
}

namespace {

std::string DeviceText(const portinfo::SerialDevice& d) {
  std::string text = portinfo::ProductName(d);
  if (text.empty() && !d.vendorId.empty()) text = "USB device " + d.vendorId + ":" + d.productId;
  if (text.empty()) text = d.usb ? "USB serial adapter" : "built-in serial port";
  if (!d.serial.empty()) text += ", serial " + d.serial;
  return text;
}

}  // namespace

std::string PortsFoundText(const portinfo::PortsFound& ports) {
  if (ports.empty())
    return "No serial ports found (no COMn links in " + ports.portsDir +
           ", nothing in /dev/serial/by-id, no serial devices in /sys/class/tty).\n";
  std::string text = "Ports found:\n";
  for (const ComPortState& s : ports.coms) {
    text += "  COM" + std::to_string(s.number);
    switch (s.leads) {
      case ComPortState::Leads::Device:
        text += " -> " + (s.device.byId.empty() ? s.device.path : s.device.byId) + "  (" +
                DeviceText(s.device) + (s.device.byId.empty() ? "" : ", " + s.device.path) + ")";
        break;
      case ComPortState::Leads::PseudoTerminal:
        text += " -> " + s.target + "  (pseudo-terminal)";
        break;
      case ComPortState::Leads::Other:
        text += " -> " + s.target;
        break;
      case ComPortState::Leads::Absent:
        text += " -> " + s.target + " (missing)";
        break;
      case ComPortState::Leads::Nowhere:
        break;
    }
    text += "\n";
  }
  for (const portinfo::SerialDevice& d : ports.unnumbered)
    text += "  " + d.path + "  (" + DeviceText(d) + "; no COM number: name it by its path)\n";
  return text;
}

}  // namespace cli
