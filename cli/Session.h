// One run of read, write or scan: the port, the device link over it, and what failed.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "CliOptions.h"
#include "Json.h"
#include "PortProblem.h"
#include "Terminal.h"
#include "komunikacja.h"

namespace cli {

// The transaction results the tool tells apart.
enum Result : int {
  ResultOk = 0,
  ResultPortFailed = 1,
  ResultIncomplete = 3,
  ResultRefused = 7,
  ResultOtherAddress = 10,
};

struct Failure {
  std::string operation;      // the device operation's own name, for programs
  std::optional<int> result;  // none: the operation succeeded but its value was wrong
  std::string message;        // what failed, in an operator's words
  // A value read back that differs from the one written.
  std::optional<std::string> written, read;
};

// Why the port cannot be used; err is the errno of a failed open, else 0.
struct PortFailure {
  std::string message;
  bool fatal = true;  // at no speed
  int err = 0;
};

class Session {
 public:
  Session(const Options& options, const portinfo::PortTarget& target, Terminal& terminal);

  TFkomunikacja& Module() { return module_; }
  Terminal& Out() { return terminal_; }
  const portinfo::PortTarget& Target() const { return target_; }
  LinkSettings Link(int baudIndex) const { return LinkSettings{target_.portIndex, baudIndex}; }

  // {"port":..,"speed":..}: the head of every object; no speed when baudIndex < 0.
  Json JsonHead(int baudIndex) const;

  // Opens the port at the speed the way a transaction would, so that a failure can be told
  // apart (missing, no permission, held) before any device operation reports just "1".
  bool Open(int baudIndex, PortFailure& failure);
  // The object of a run the port ended: the head and the diagnosis.
  std::string JsonPortFailure(int baudIndex, const PortFailure& failure) const;

  // doing: what the operation was for, when its own name does not say it well enough.
  void Report(const std::string& operation, int result, const std::string& consequence = {},
              const std::string& doing = {});
  // A value read back that is not the one written.
  void ReportMismatch(const std::string& operation, const std::string& what,
                      const std::string& written, const std::string& read);

  const std::vector<Failure>& Failures() const { return failures_; }
  Json JsonFailures() const;
  // The "error" of a command that did not succeed, or null.
  Json JsonOutcome() const;
  // The exit status of a read or write.
  int Finish();

 private:
  const Options& options_;
  portinfo::PortTarget target_;
  Terminal& terminal_;
  TFkomunikacja module_;
  std::vector<Failure> failures_;
};

}  // namespace cli
