// A far end on a pseudo-terminal that answers each request as a test script says: a device
// that lies, or a line that echoes.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Frames.h"

namespace clitest {

class ScriptedLine {
 public:
  // The bytes to send back for one request; empty: stay silent.
  using Script = std::function<ByteString(const ByteString& request)>;

  explicit ScriptedLine(Script script) : script_(std::move(script)) {
    termios raw{};
    cfmakeraw(&raw);
    char name[128] = {};
    if (::openpty(&master_, &slave_, name, &raw, nullptr) != 0) return;
    path_ = name;
    if (::pipe2(stop_, O_CLOEXEC) != 0) return;
    thread_ = std::thread([this] { Serve(); });
  }
  ~ScriptedLine() {
    if (thread_.joinable()) {
      (void)!::write(stop_[1], "x", 1);
      thread_.join();
    }
    for (const int fd : {master_, slave_, stop_[0], stop_[1]})
      if (fd >= 0) ::close(fd);
  }
  ScriptedLine(const ScriptedLine&) = delete;
  ScriptedLine& operator=(const ScriptedLine&) = delete;

  const std::string& Path() const { return path_; }
  // Every complete request heard so far.
  std::vector<ByteString> Requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

  // A line that sends every byte back: a loopback plug, or an adapter hearing itself.
  static ByteString Echo(const ByteString& request) { return request; }

 private:
  void Serve() {
    ByteString input;
    char buf[512];
    for (;;) {
      pollfd fds[2] = {{master_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0 || (fds[1].revents & POLLIN)) return;
      if (!(fds[0].revents & POLLIN)) continue;
      const ssize_t n = ::read(master_, buf, sizeof buf);
      if (n <= 0) continue;
      input.append(buf, static_cast<std::size_t>(n));
      while (input.size() >= static_cast<std::size_t>(FrameHeadLength)) {
        const int length = DeclaredLength(input);
        if (length < FrameOverhead || length > 1024) {
          input.erase(0, 1);
          continue;
        }
        if (input.size() < static_cast<std::size_t>(length)) break;
        const ByteString request = input.substr(0, static_cast<std::size_t>(length));
        input.erase(0, static_cast<std::size_t>(length));
        {
          std::lock_guard<std::mutex> lock(mutex_);
          requests_.push_back(request);
        }
        const ByteString reply = script_(request);
        if (!reply.empty()) (void)!::write(master_, reply.data(), reply.size());
      }
    }
  }

  Script script_;
  int master_ = -1, slave_ = -1;
  int stop_[2] = {-1, -1};
  std::string path_;
  std::mutex mutex_;
  std::vector<ByteString> requests_;
  std::thread thread_;
};

}  // namespace clitest
