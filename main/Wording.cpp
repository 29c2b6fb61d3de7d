#include "Wording.h"

#include <sys/stat.h>

#include <cstring>

using portinfo::Cause;
using portinfo::ComPortState;
using portinfo::NodeKind;
using portinfo::ResultKind;

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

QString SystemText(int err) { return QString::fromLocal8Bit(std::strerror(err)); }

QString ModeText(mode_t mode) {
  QString s = S_ISCHR(mode) ? QStringLiteral("c") : S_ISDIR(mode) ? QStringLiteral("d") : "-";
  const char* rwx = "rwxrwxrwx";
  for (int i = 0; i < 9; ++i) s += (mode & (0400 >> i)) ? QChar::fromLatin1(rwx[i]) : u'-';
  return s;
}

QString Where(const portinfo::PortPlace& p) {
  if (p.viaComLink)
    return QStringLiteral("%1 (%2 -> %3)").arg(Q(p.display), Q(p.path), Q(p.linkTarget));
  if (p.display != p.path) return QStringLiteral("%1 (%2)").arg(Q(p.display), Q(p.path));
  return Q(p.display);
}

}  // namespace

QString TWording::Holder(const portinfo::Holder& h) {
  if (h.program.empty()) return tr("pid %1").arg(h.pid);
  return tr("pid %1 (%2)").arg(h.pid).arg(Q(h.program));
}

namespace {

QString Holders(const std::vector<portinfo::Holder>& holders) {
  QStringList list;
  for (const portinfo::Holder& h : holders) list << TWording::Holder(h);
  return list.join(QStringLiteral(", "));
}

}  // namespace

QString TWording::Port(const ComPortState& s) {
  switch (s.leads) {
    case ComPortState::Leads::Device: {
      const portinfo::SerialDevice& d = s.device;
      QString name = Q(portinfo::ProductName(d));
      if (name.isEmpty() && !d.vendorId.empty())
        name = tr("USB device %1:%2").arg(Q(d.vendorId), Q(d.productId));
      if (name.isEmpty()) name = d.usb ? tr("USB serial adapter") : tr("Serial port");
      if (!d.serial.empty()) name = tr("%1, serial %2").arg(name, Q(d.serial));
      return QStringLiteral("%1 \u2014 %2").arg(name, Q(d.path));
    }
    case ComPortState::Leads::PseudoTerminal:
      return tr("Pseudo-terminal \u2014 %1").arg(Q(s.target));
    case ComPortState::Leads::Other:
      return Q(s.target);
    case ComPortState::Leads::Absent:
      return tr("Not present: %1").arg(Q(s.target));
    case ComPortState::Leads::Nowhere:
      break;
  }
  return {};
}

QString TWording::PortsFound(const portinfo::PortsFound& ports) {
  if (ports.empty()) return tr("No serial ports found.") + u'\n';
  QString text = tr("Ports found:") + u'\n';
  for (const ComPortState& s : ports.coms)
    text += QStringLiteral("  COM%1: %2\n").arg(s.number).arg(Port(s));
  for (const portinfo::SerialDevice& d : ports.unnumbered)
    text += QStringLiteral("  ") + tr("%1 (no COM number)").arg(Q(d.path)) + u'\n';
  return text;
}

namespace {

QString KindText(NodeKind kind) {
  switch (kind) {
    case NodeKind::Regular:
      return TWording::tr("It is a plain file.");
    case NodeKind::Directory:
      return TWording::tr("It is a folder.");
    case NodeKind::Fifo:
      return TWording::tr("It is a named pipe.");
    case NodeKind::Socket:
      return TWording::tr("It is a socket.");
    case NodeKind::Block:
      return TWording::tr("It is a block device (a disk or the like).");
    case NodeKind::Character:
      return TWording::tr("It is a character device, but no serial line.");
    case NodeKind::Terminal:
    case NodeKind::Unknown:
      break;
  }
  return {};
}

QString Lines(const QStringList& lines) {
  QString text;
  for (const QString& l : lines)
    if (!l.isEmpty()) text += l + (l.endsWith(u'\n') ? "" : "\n");
  return text;
}

}  // namespace

QString TWording::OpenFailure(const portinfo::OpenFailureFacts& f) {
  const portinfo::PortPlace& p = f.place;
  const QString where = Where(p);
  switch (f.cause) {
    case Cause::Missing: {
      QString first;
      if (p.viaComLink)
        first = tr("Port %1 does not exist: %2 points at %3, which is not there (adapter "
                   "unplugged?).")
                    .arg(Q(p.display), Q(p.path), Q(p.linkTarget));
      else if (!p.namedByPath)
        first = tr("Port %1 does not exist: there is no %2 and no %3.")
                    .arg(Q(p.display), Q(p.portsDir + "/" + p.display), Q(p.path));
      else
        first = tr("Port %1 does not exist.").arg(Q(p.display));
      return Lines({first, PortsFound(f.ports)});
    }
    case Cause::Permission: {
      const portinfo::NodeOwner& o = f.owner;
      if (!o.known)
        return Lines({tr("No permission to reach %1 (%2).").arg(where, SystemText(f.err))});
      const QString first = tr("No permission to open %1 (%2 %3:%4).")
                                .arg(where, ModeText(o.mode), Q(o.owner), Q(o.group));
      QString advice;
      if (!o.groupMayUse)
        advice = tr("Not even its group %1 may read and write it; ask the administrator to fix "
                    "the device's permissions (a udev rule).")
                     .arg(Q(o.group));
      else if (o.joinedSinceLogin)
        advice = tr("The device belongs to group %1, and you are in it already, but this session "
                    "started before you joined: log out and in again (or run newgrp %1).")
                     .arg(Q(o.group));
      else
        advice = tr("The device belongs to group %1. Join it with\n  sudo usermod -aG %1 $USER\n"
                    "then log out and in again.")
                     .arg(Q(o.group));
      return Lines({first, advice});
    }
    case Cause::Busy: {
      const QString holders = Holders(f.holders);
      if (f.lockFile) {
        const portinfo::LockFile& lock = *f.lockFile;
        QString pid = tr("pid unreadable");
        if (lock.pid > 0)
          pid = lock.program.empty() ? tr("pid %1").arg(lock.pid)
                                     : tr("pid %1, %2").arg(lock.pid).arg(Q(lock.program));
        const QString first =
            tr("Port %1 is locked by the lock file %2 (%3).").arg(where, Q(lock.path), pid);
        const QString seen =
            holders.isEmpty() ? QString() : tr("Seen with the device open: %1.").arg(holders);
        const QString advice = lock.pid > 0 ? tr("Close that program and try again.")
                                            : tr("It is being written right now, or was left "
                                                 "half-written; try again in a few seconds.");
        return Lines({first, seen, advice});
      }
      const QString first =
          holders.isEmpty()
              ? tr("Port %1 is in use by another program (one you cannot see, e.g. another "
                   "user's).")
                    .arg(where)
              : tr("Port %1 is in use by another program: %2.").arg(where, holders);
      return Lines({first, tr("Close it and try again.")});
    }
    case Cause::NotSerial:
      return Lines({tr("%1 is not a serial port.").arg(where), KindText(f.kind)});
    case Cause::NoDevice:
      return Lines(
          {tr("There is no working serial device behind %1 (%2).").arg(where, SystemText(f.err)),
           PortsFound(f.ports)});
    case Cause::Other:
      break;
  }
  return Lines({tr("Cannot open port %1 (%2).").arg(where, SystemText(f.err))});
}

QString TWording::Failure(const portinfo::FailureFacts& f) {
  const QString head =
      tr("Port %1, %2 bit/s, address %3.").arg(Where(f.place)).arg(f.speed).arg(f.address);
  QString why;
  switch (f.kind) {
    case ResultKind::PortFailed:
      if (f.open)
        why = OpenFailure(*f.open);
      else if (f.deviceGone)
        why = Lines({tr("The port stopped working: %1 is gone (was the adapter unplugged?).")
                         .arg(Q(f.place.path)),
                     PortsFound(f.ports)});
      else
        why = tr("The port failed: %1.")
                  .arg(f.portMessage.empty() ? tr("unknown error") : Q(f.portMessage));
      break;
    case ResultKind::NotSent:
      why = tr("The request was not fully sent: the port did not take it within its time.");
      break;
    case ResultKind::NoAnswer:
      why =
          tr("No answer: the device did not reply, or not in full. Check that the speed and "
             "the address match the device's, and the wiring (A and B lines, the adapter's "
             "transmitter switching).");
      break;
    case ResultKind::BadChecksum:
      why =
          tr("Corrupted reply: its checksum does not match. The line speed may not match the "
             "device's, or there is noise on the line.");
      break;
    case ResultKind::TooShort:
      why = tr("The reply expected is too short to check.");
      break;
    case ResultKind::Refused:
      why = tr("The device refused the request (it answered, but would not do it).");
      break;
    case ResultKind::OtherAddress:
      why = tr("Another address answered: the reply came from a device other than address %1. "
               "Two devices may share an address on this bus.")
                .arg(f.address);
      break;
    case ResultKind::Success:
    case ResultKind::Unknown:
      why = tr("The operation failed for a reason the program does not know.");
      break;
  }
  return Lines({head, why});
}
