// What the tool shows: messages and progress on stderr, results on stdout.
#pragma once

#include <atomic>
#include <string>

namespace cli {

// Set from a signal handler: finish the probe or operation under way, release the device, stop.
extern std::atomic<bool> Interrupted;

class Terminal {
 public:
  // A message on stderr, after the program's name.
  void Say(const std::string& text);
  // A result on stdout. A reader that went away ends the run like an interrupt, so the
  // device is still released.
  void Print(const std::string& text);
  // Replaces the progress line; shown only where stderr is a terminal.
  void Progress(const std::string& text);
  void ClearProgress();
  bool ShowsProgress() const { return showsProgress_; }
  // Whether stdout leads to a pipe nobody reads any more; marks the run interrupted then.
  bool ReaderGone();

 private:
  bool showsProgress_ = DetectTerminal();
  bool progressShown_ = false;

  static bool DetectTerminal();
};

}  // namespace cli
