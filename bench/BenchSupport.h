// What every benchmark program shares: pseudo-terminal peers, percentiles, the interleaving
// of contenders in blocks, and the one line each figure prints.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double Micros(Clock::time_point t0, Clock::time_point t1 = Clock::now()) {
  return std::chrono::duration<double, std::micro>(t1 - t0).count();
}

[[noreturn]] inline void Die(const std::string& what) {
  std::fprintf(stderr, "bench: %s\n", what.c_str());
  std::exit(4);
}

inline void MakeRaw(int fd) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) Die("tcgetattr");
  cfmakeraw(&t);
  cfsetspeed(&t, B19200);
  t.c_cflag |= CLOCAL | CREAD | CSTOPB;
  tcsetattr(fd, TCSANOW, &t);
}

// Reads exactly n bytes from a blocking fd; false when the other side has gone.
inline bool ReadExactly(int fd, char* buf, std::size_t n) {
  std::size_t got = 0;
  while (got < n) {
    const ssize_t k = ::read(fd, buf + got, n - got);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return false;
    got += std::size_t(k);
  }
  return true;
}

inline bool WriteAll(int fd, const char* buf, std::size_t n) {
  std::size_t done = 0;
  while (done < n) {
    const ssize_t k = ::write(fd, buf + done, n - done);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return false;
    done += std::size_t(k);
  }
  return true;
}

// A pseudo-terminal whose master side is the device. It holds one slave fd of its own, so
// contenders may open and close the slave in turn without the master seeing a hang-up.
class Pty {
 public:
  Pty() {
    int slave = -1;
    char name[128] = {};
    if (openpty(&master_, &slave, name, nullptr, nullptr) != 0) Die("openpty");
    hold_ = slave;
    path_ = name;
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(hold_, F_SETFD, FD_CLOEXEC);
    MakeRaw(hold_);
  }
  ~Pty() {
    Release();
    if (responder_.joinable()) responder_.join();
    ::close(master_);
  }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  const std::string& Path() const { return path_; }
  int Master() const { return master_; }

  // The device side on a thread: blocking read of the request, blocking write of the reply.
  void AnswerWith(std::size_t requestSize, std::string reply) {
    responder_ = std::thread([this, requestSize, reply] {
      std::vector<char> req(requestSize);
      while (ReadExactly(master_, req.data(), requestSize))
        if (!WriteAll(master_, reply.data(), reply.size())) break;
    });
  }
  // Sends back whatever arrives, as it arrives.
  void Echo() {
    responder_ = std::thread([this] {
      char buf[65536];
      for (;;) {
        const ssize_t k = ::read(master_, buf, sizeof buf);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0 || !WriteAll(master_, buf, std::size_t(k))) break;
      }
    });
  }
  // After a contender closed: whatever it left set on the terminal must not bind the next.
  void Reset() {
    ioctl(hold_, TIOCNXCL);
    MakeRaw(hold_);
    tcflush(hold_, TCIOFLUSH);
  }
  // Once every contender has closed: the responder sees the hang-up and ends.
  void Release() {
    if (hold_ >= 0) ::close(hold_);
    hold_ = -1;
  }

 private:
  int master_ = -1;
  int hold_ = -1;
  std::string path_;
  std::thread responder_;
};

struct Percentiles {
  double median = 0, p90 = 0, p99 = 0, max = 0;
};

inline Percentiles Summarise(std::vector<double> v) {
  Percentiles p;
  if (v.empty()) return p;
  std::sort(v.begin(), v.end());
  auto at = [&](double q) { return v[std::min(v.size() - 1, std::size_t(q * double(v.size())))]; };
  p.median = at(0.5);
  p.p90 = at(0.9);
  p.p99 = at(0.99);
  p.max = v.back();
  return p;
}

// One line per figure: name, median, p90, p99 and the median's ratio to the reference.
inline void PrintLine(const std::string& name, const Percentiles& p, const char* unit,
                      double reference) {
  std::printf("%-40s median %9.1f %s  p90 %9.1f  p99 %9.1f", name.c_str(), p.median, unit, p.p90,
              p.p99);
  if (reference > 0) std::printf("  x%.3f", p.median / reference);
  std::printf("\n");
  std::fflush(stdout);
}

// One way of doing the measured thing. Open and Close run untimed around each block, so
// contenders sharing one terminal never hold it at the same time.
struct Contender {
  std::string name;
  std::function<void()> open;
  std::function<double()> round;  // one timed repetition, in its unit
  std::function<void()> close;
  std::function<void()> between;  // untimed, after every round (may be empty)
  std::vector<double> samples;
};

// Runs every contender in blocks of `block` rounds, the order rotating from block to block
// so that none always follows the same neighbour; the first `warmup` rounds of each are
// not kept.
inline void Interleave(std::vector<Contender>& cs, int rounds, int block, int warmup) {
  const int total = rounds + warmup;
  for (int done = 0, b = 0; done < total; done += block, ++b) {
    const int n = std::min(block, total - done);
    for (std::size_t k = 0; k < cs.size(); ++k) {
      Contender& c = cs[(k + std::size_t(b)) % cs.size()];
      c.open();
      for (int i = 0; i < n; ++i) {
        const double v = c.round();
        if (done + i >= warmup) c.samples.push_back(v);
        if (c.between) c.between();
      }
      c.close();
    }
  }
}

inline double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

inline int ArgInt(int argc, char** argv, int index, int fallback) {
  return argc > index ? std::atoi(argv[index]) : fallback;
}

}  // namespace bench
