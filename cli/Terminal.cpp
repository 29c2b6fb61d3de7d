#include "Terminal.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace cli {

std::atomic<bool> Interrupted{false};

bool Terminal::DetectTerminal() { return isatty(STDERR_FILENO) == 1; }

void Terminal::ClearProgress() {
  if (!progressShown_) return;
  std::fputs("\r\033[K", stderr);
  progressShown_ = false;
}

void Terminal::Progress(const std::string& text) {
  if (!showsProgress_) return;
  ClearProgress();
  std::fputs(text.c_str(), stderr);
  std::fflush(stderr);
  progressShown_ = true;
}

void Terminal::Say(const std::string& text) {
  ClearProgress();
  std::fprintf(stderr, "konfigurator-cli: %s", text.c_str());
  if (text.empty() || text.back() != '\n') std::fputc('\n', stderr);
  std::fflush(stderr);
}

void Terminal::Print(const std::string& text) {
  ClearProgress();
  if ((std::fputs(text.c_str(), stdout) < 0 || std::fflush(stdout) != 0) && errno == EPIPE)
    Interrupted = true;
}

bool Terminal::ReaderGone() {
  // A pipe without a reader polls as an error before anything is written to it.
  pollfd p{STDOUT_FILENO, 0, 0};
  if (poll(&p, 1, 0) == 1 && (p.revents & POLLERR)) Interrupted = true;
  return Interrupted;
}

}  // namespace cli
