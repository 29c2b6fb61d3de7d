// The diagnosis of a port and of a failed device operation in the operator's words. The
// texts are written in English and shown through the window's translations.
#pragma once

#include <QCoreApplication>
#include <QString>

#include "PortProblem.h"

class TWording {
  Q_DECLARE_TR_FUNCTIONS(TWording)

 public:
  // The details of a failed device operation: the port and link, the cause, what to check.
  static QString Failure(const portinfo::FailureFacts& facts);
  static QString OpenFailure(const portinfo::OpenFailureFacts& facts);
  static QString PortsFound(const portinfo::PortsFound& ports);
  // What a COM number leads to, as the COM list's tooltip and the ports found say it; empty
  // when it leads nowhere.
  static QString Port(const portinfo::ComPortState& state);
  static QString Holder(const portinfo::Holder& holder);
};
