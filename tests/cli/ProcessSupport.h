// Programs run as processes: konfigurator-cli under test, konfigurator-sim as its device.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace clitest {

namespace fs = std::filesystem;

struct TempDir {
  fs::path path;
  TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "konfigurator-cli-test-XXXXXX").string();
    path = ::mkdtemp(tmpl.data());
    // Reachable by the unprivileged user some tests run the tool as.
    fs::permissions(path, fs::perms::all);
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};

struct Output {
  int status = -1;  // exit status, or -1 when the program did not end by itself
  std::string out;
  std::string err;
};

struct SpawnOptions {
  bool asNobody = false;    // run as uid/gid 65534 without supplementary groups
  int stderrFd = -1;        // instead of a pipe, e.g. a terminal
  bool readerGone = false;  // stdout is a pipe nobody reads: writing to it fails (EPIPE)
};

class Child {
 public:
  Child(const std::vector<std::string>& args, const SpawnOptions& options = {}) {
    int out[2], err[2] = {-1, -1};
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    if (options.readerGone) ::close(out[0]);
    if (options.stderrFd < 0 && ::pipe2(err, O_CLOEXEC) != 0) return;
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], 1);
      ::dup2(options.stderrFd >= 0 ? options.stderrFd : err[1], 2);
      if (options.asNobody &&
          (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
        ::_exit(126);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    out_ = options.readerGone ? -1 : out[0];
    if (err[1] >= 0) {
      ::close(err[1]);
      err_ = err[0];
    }
  }
  ~Child() {
    if (pid_ > 0 && status_ == -2) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
    if (err_ >= 0) ::close(err_);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t Pid() const { return pid_; }
  const std::string& Out() const { return out; }

  // Reads output until text shows on stdout or the time is up; true when it showed.
  bool WaitForOutput(const std::string& text, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.find(text) == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !Pump(static_cast<int>(left.count()))) return false;
    }
    return true;
  }

  // Collects the rest of the output and the exit status, killing the child after timeoutMs.
  Output Finish(int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out_ >= 0 || err_ >= 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      Pump(static_cast<int>(left.count()));
    }
    Output o;
    if (out_ >= 0 || err_ >= 0) {
      ADD_FAILURE() << "program still running after " << timeoutMs << " ms";
      ::kill(pid_, SIGKILL);
    }
    int status = 0;
    ::waitpid(pid_, &status, 0);
    status_ = status;
    if (out_ < 0 && err_ < 0 && WIFEXITED(status)) o.status = WEXITSTATUS(status);
    o.out = out;
    o.err = err;
    return o;
  }

  std::string out, err;

 private:
  // One wait in the kernel for output; false when both streams are closed or nothing came.
  bool Pump(int timeoutMs) {
    pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    if (out_ < 0 && err_ < 0) return false;
    if (::poll(fds, 2, timeoutMs) <= 0) return false;
    char buf[4096];
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        (i == 0 ? out : err).append(buf, static_cast<std::size_t>(n));
      } else {
        ::close(fds[i].fd);
        (i == 0 ? out_ : err_) = -1;
      }
    }
    return true;
  }

  pid_t pid_ = -1;
  int out_ = -1, err_ = -1;
  int status_ = -2;
};

inline Output RunCli(std::vector<std::string> args, int timeoutMs = 20000,
                     const SpawnOptions& options = {}, const std::string& exe = KONFIGURATOR_CLI) {
  args.insert(args.begin(), exe);
  Child child(args, options);
  return child.Finish(timeoutMs);
}

// konfigurator-sim serving one device on a pseudo-terminal, linked as portsDir/port.
class Sim {
 public:
  Sim(const fs::path& portsDir, const std::string& port, int address,
      std::vector<std::string> extra = {})
      : Sim(portsDir, port, std::to_string(address), std::move(extra)) {}
  // addresses: one device at each, e.g. "2,5,17".
  Sim(const fs::path& portsDir, const std::string& port, const std::string& addresses,
      std::vector<std::string> extra = {})
      : child_(Args(portsDir, port, addresses, extra)) {
    if (!child_.WaitForOutput("linked as", 5000)) {
      ADD_FAILURE() << "simulator did not start: " << child_.out << child_.err;
      return;
    }
    const std::string& o = child_.out;
    const auto on = o.find(" on ");
    const auto comma = o.find(", linked");
    if (on != std::string::npos && comma != std::string::npos)
      pty_ = o.substr(on + 4, comma - on - 4);
  }
  ~Sim() { Stop(); }

  // The pseudo-terminal the device answers on, e.g. /dev/pts/3.
  const std::string& Pty() const { return pty_; }
  Child& Process() { return child_; }

  // Stops the simulator; returns its lines, one per exchange.
  const std::string& Stop() {
    if (!stopped_) {
      stopped_ = true;
      ::kill(child_.Pid(), SIGTERM);
      child_.Finish(5000);
    }
    return child_.out;
  }

  // Requests starting with these hex bytes, e.g. "05 47 CA", that reached the devices; those
  // the simulator ignored (the line at another speed) are counted by Ignored.
  int Requests(const std::string& hexStart) { return Count(hexStart, false); }
  int Ignored(const std::string& hexStart) { return Count(hexStart, true); }

 private:
  int Count(const std::string& hexStart, bool ignored) {
    const std::string& text = stopped_ ? child_.out : Stop();
    int n = 0;
    for (std::size_t at = 0; (at = text.find("M: " + hexStart, at)) != std::string::npos; ++at) {
      const std::size_t end = text.find('\n', at);
      const bool wasIgnored = text.substr(at, end - at).find("  ignored: ") != std::string::npos;
      if (wasIgnored == ignored) ++n;
    }
    return n;
  }

  static std::vector<std::string> Args(const fs::path& portsDir, const std::string& port,
                                       const std::string& addresses,
                                       const std::vector<std::string>& extra) {
    std::vector<std::string> a = {
        KONFIGURATOR_SIM, "--ports-dir", portsDir.string(), "--port", port, "--address", addresses};
    a.insert(a.end(), extra.begin(), extra.end());
    return a;
  }

  Child child_;
  std::string pty_;
  bool stopped_ = false;
};

}  // namespace clitest
