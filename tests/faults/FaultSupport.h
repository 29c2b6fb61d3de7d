// What the fault tests share: a scratch folder, konfigurator-sim as a child process with its
// per-exchange lines, and a strict reader of "trans.txt".
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Frames.h"

extern char** environ;

namespace faults {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "konf-faults-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

inline std::string OperationOf(const ByteString& request) {
  if (request.size() < 3) return "?";
  const bool write = std::uint8_t(request[1]) == FunctionWrite;
  switch (std::uint8_t(request[2])) {
    case ParamEnterConfig:
      return "Enter";
    case ParamLeaveConfig:
      return "Leave";
    case ParamOperatingMode:
      return write ? "WriteMode" : "ReadMode";
    case ParamIpAddress:
      return write ? "WriteIp" : "ReadIp";
    case ParamIpPort:
      return write ? "WritePort" : "ReadPort";
  }
  return "?";
}

inline ByteString FromHex(const std::string& text) {
  ByteString bytes;
  std::istringstream in(text);
  std::string pair;
  while (in >> pair) bytes.push_back(static_cast<char>(std::stoi(pair, nullptr, 16)));
  return bytes;
}

// One line the simulator printed for an exchange: "<time>  M: <hex>  S: <hex or ->  <note>".
struct SimExchange {
  ByteString request;
  ByteString reply;  // empty: it stayed silent
  std::string op;
};

// konfigurator-sim in a process of its own, serving COM2 in the given ports folder.
class SimProcess {
 public:
  SimProcess(const fs::path& portsDir, std::vector<std::string> args,
             const std::string& port = "COM2")
      : link_(portsDir / port) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    std::vector<std::string> all = {KONFIGURATOR_SIM, "--ports-dir", portsDir.string(), "--port",
                                    port};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    const int rc = posix_spawn(&pid_, KONFIGURATOR_SIM, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (rc != 0) {
      ::close(fds[0]);
      throw std::runtime_error("cannot start konfigurator-sim");
    }
    out_ = fds[0];
    reader_ = std::thread([this] { ReadLines(); });
    std::unique_lock lock(mutex_);
    if (!cv_.wait_for(lock, 10s, [this] { return linked_ || ended_; }) || !linked_)
      throw std::runtime_error("konfigurator-sim did not link its port");
  }
  ~SimProcess() { Stop(); }

  // Ctrl-C as an operator would; the link goes with it.
  void Stop() { End(SIGTERM); }
  // The adapter pulled out: the device dies without clean-up and its node is gone, so the
  // port's link dangles (as a /dev/serial/by-id link does).
  void Unplug() {
    End(SIGKILL);
    const fs::path temp = link_.string() + ".unplugged";
    std::error_code ec;
    fs::remove(temp, ec);
    fs::create_symlink(link_.parent_path() / "gone-ttyUSB0", temp);
    fs::rename(temp, link_);
  }

  // Waits until the simulator printed at least n exchanges (or the time is up), then a little
  // longer so that any exchange beyond n shows up too.
  std::vector<SimExchange> Exchanges(std::size_t n, std::chrono::milliseconds patience = 10s) {
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, patience, [&] { return exchanges_.size() >= n || ended_; });
    cv_.wait_for(lock, 150ms, [&] { return exchanges_.size() > n || ended_; });
    return exchanges_;
  }
  std::vector<SimExchange> ExchangesNow() {
    std::lock_guard lock(mutex_);
    return exchanges_;
  }
  void Forget() {
    std::lock_guard lock(mutex_);
    exchanges_.clear();
  }
  // Blocks until the next exchange line arrives (or the time is up).
  bool WaitForExchange(std::size_t count, std::chrono::milliseconds patience) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, patience, [&] { return exchanges_.size() >= count || ended_; });
  }

 private:
  void End(int signal) {
    if (pid_ > 0) {
      ::kill(pid_, signal);
      int status = 0;
      ::waitpid(pid_, &status, 0);
      pid_ = -1;
    }
    if (reader_.joinable()) reader_.join();
    if (out_ >= 0) ::close(out_);
    out_ = -1;
  }

  void ReadLines() {
    std::string pending;
    char buf[4096];
    for (;;) {
      const ssize_t n = ::read(out_, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      pending.append(buf, static_cast<std::size_t>(n));
      std::size_t eol;
      while ((eol = pending.find('\n')) != std::string::npos) {
        Take(pending.substr(0, eol));
        pending.erase(0, eol + 1);
      }
    }
    std::lock_guard lock(mutex_);
    ended_ = true;
    cv_.notify_all();
  }

  void Take(const std::string& line) {
    std::lock_guard lock(mutex_);
    if (line.find(" linked as ") != std::string::npos) linked_ = true;
    const std::size_t m = line.find("  M: ");
    const std::size_t s = line.find("  S: ");
    if (m != std::string::npos && s != std::string::npos) {
      SimExchange e;
      e.request = FromHex(line.substr(m + 5, s - m - 5));
      std::string reply = line.substr(s + 5);
      const std::size_t note = reply.find("  ");
      if (note != std::string::npos) reply.erase(note);
      if (reply != "-") e.reply = FromHex(reply);
      e.op = OperationOf(e.request);
      exchanges_.push_back(e);
    }
    cv_.notify_all();
  }

  fs::path link_;
  pid_t pid_ = -1;
  int out_ = -1;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool linked_ = false;
  bool ended_ = false;
  std::vector<SimExchange> exchanges_;
};

inline std::vector<std::string> Ops(const std::vector<SimExchange>& exchanges) {
  std::vector<std::string> ops;
  for (const auto& e : exchanges) ops.push_back(e.op);
  return ops;
}

// One entry of "trans.txt".
struct LogEntry {
  std::string date;
  ByteString request;
  ByteString reply;
  int code = -1;
};

// "<prefix><hex dump>   [<n>]" with n the number of bytes dumped; false when malformed.
inline bool ParseDumpLine(const std::string& line, const std::string& prefix, ByteString& bytes,
                          std::string& after) {
  if (line.rfind(prefix, 0) != 0) return false;
  const std::size_t open = line.find("   [", prefix.size());
  if (open == std::string::npos) return false;
  const std::string dump = line.substr(prefix.size(), open - prefix.size());
  if (dump.size() % 3 != 0) return false;
  bytes.clear();
  for (std::size_t i = 0; i < dump.size(); i += 3) {
    const std::string pair = dump.substr(i, 2);
    if (dump[i + 2] != ' ' || pair.find_first_not_of("0123456789ABCDEF") != std::string::npos)
      return false;
    bytes.push_back(static_cast<char>(std::stoi(pair, nullptr, 16)));
  }
  const std::size_t close = line.find(']', open);
  if (close == std::string::npos) return false;
  if (line.substr(open + 4, close - open - 4) != std::to_string(bytes.size())) return false;
  after = line.substr(close + 1);
  return true;
}

// Every entry of the log; throws std::runtime_error naming the first malformed line.
inline std::vector<LogEntry> ReadLog(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream all;
  all << in.rdbuf();
  const std::string text = all.str();
  std::vector<std::string> lines;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = text.find("\r\n", at);
    if (end == std::string::npos)
      throw std::runtime_error("line without CR LF at byte " + std::to_string(at));
    lines.push_back(text.substr(at, end - at));
    at = end + 2;
  }
  if (lines.size() % 5 != 0)
    throw std::runtime_error(std::to_string(lines.size()) + " lines: not whole entries");
  std::vector<LogEntry> entries;
  for (std::size_t i = 0; i < lines.size(); i += 5) {
    const std::string where = " in the entry at line " + std::to_string(i + 1);
    LogEntry e;
    std::string after;
    if (lines[i] != " " || lines[i + 2] != " ") throw std::runtime_error("separator" + where);
    e.date = lines[i + 1];
    if (e.date.empty() || e.date == " ") throw std::runtime_error("date" + where);
    if (!ParseDumpLine(lines[i + 3], "  M: ", e.request, after) || !after.empty())
      throw std::runtime_error("M line" + where + ": " + lines[i + 3]);
    if (!ParseDumpLine(lines[i + 4], "  S: ", e.reply, after) || after.size() < 2 ||
        after[0] != ' ' || after.find_first_not_of("0123456789", 1) != std::string::npos)
      throw std::runtime_error("S line" + where + ": " + lines[i + 4]);
    e.code = std::stoi(after.substr(1));
    entries.push_back(e);
  }
  return entries;
}

inline std::vector<int> Codes(const std::vector<LogEntry>& entries) {
  std::vector<int> codes;
  for (const auto& e : entries) codes.push_back(e.code);
  return codes;
}

}  // namespace faults
