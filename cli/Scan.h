// Finding the devices on a line: every address probed at every speed.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "Session.h"

namespace cli {

class Scan {
 public:
  Scan(Session& session, const Options& options);
  // Probes, releases what it found and prints the result; returns the exit status.
  int Run();

  // One device, with every speed it answered at in the order found.
  struct Found {
    int address;
    std::vector<int> baudIndexes;
    bool refused = false;
    bool slow = false;  // answered only after its probe had ended
  };

 private:
  void ProbeAt(int baudIndex);
  void Probe(int address, int baudIndex);
  void Add(int address, int baudIndex, bool refused, bool slow);
  bool Knows(int address, int baudIndex) const;
  std::vector<int> SpeedsToTry(int address, int current) const;
  int Confirm(int address, const std::vector<int>& speeds, int waitMs);
  int Release(int address, const std::vector<int>& speeds);
  void StrayReply(const ByteString& frame, int probing, int baudIndex);
  void TakeWaitingReplies(int baudIndex);
  void TakeLateReply(int baudIndex);
  void ShortTimeout(int waitMs);
  void ShowProgress(int address, int baudIndex);
  std::string DeviceLine(const Found& f) const;
  std::string JsonResult() const;

  Session& s_;
  const Options& o_;
  TFkomunikacja& m_;
  std::vector<Found> found_;
  std::vector<std::pair<int, int>> probed_;  // address and baud index of every probe so far
  std::size_t probes_ = 0;
  std::size_t skipped_ = 0;   // probes of speeds the port refused
  std::size_t rejected_ = 0;  // replies that were no answer to their probe
  bool portFailed_ = false;
};

}  // namespace cli
