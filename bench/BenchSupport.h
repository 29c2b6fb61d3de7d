// What every benchmark program shares: pseudo-terminal peers, percentiles, the interleaving
// of contenders in blocks, and the one line each figure prints.
#pragma once

#include <fcntl.h>
#include <linux/perf_event.h>
#include <poll.h>
#include <pthread.h>
#include <pty.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
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

// ---- What a contender costs besides wall time ----------------------------------------------
// CPU time of all the process's threads, their context switches (voluntary: a thread waited
// and was woken; involuntary: it was preempted) and, when BENCH_SYSCALLS=1 and the kernel
// lets us count them, system calls. Threads that play the device (a pseudo-terminal's
// responder) are left out: the device is nobody's client cost, and it would dilute the ratios.

struct Snapshot {
  double cpuUs = 0;
  long voluntary = 0, involuntary = 0;
  long long syscalls = 0;
  long moves = -1;  // the measuring thread's moves to another CPU; -1 where the kernel hides them
};

namespace detail {

struct DeviceThread {
  pid_t tid;
  clockid_t clock;
  int syscallFd;
};

inline std::mutex& DeviceMu() {
  static std::mutex m;
  return m;
}
inline std::vector<DeviceThread>& DeviceThreads() {
  static std::vector<DeviceThread> v;
  return v;
}
inline int& ProcessSyscallFd() {
  static int fd = -1;
  return fd;
}

// A counter of system calls entered by the calling thread (and, with inherit, by every
// thread it starts from now on); -1 where tracepoints cannot be read.
inline int OpenSyscallCounter(bool inherit) {
  long id = -1;
  for (const char* path : {"/sys/kernel/tracing/events/raw_syscalls/sys_enter/id",
                           "/sys/kernel/debug/tracing/events/raw_syscalls/sys_enter/id"}) {
    std::ifstream f(path);
    if (f >> id) break;
    id = -1;
  }
  if (id < 0) return -1;
  perf_event_attr a{};
  a.type = PERF_TYPE_TRACEPOINT;
  a.size = sizeof a;
  a.config = std::uint64_t(id);
  a.inherit = inherit ? 1 : 0;
  return int(syscall(SYS_perf_event_open, &a, 0, -1, -1, PERF_FLAG_FD_CLOEXEC));
}

inline long long ReadCounter(int fd) {
  long long v = 0;
  return fd >= 0 && ::read(fd, &v, sizeof v) == ssize_t(sizeof v) ? v : 0;
}

inline void ThreadSwitches(pid_t tid, long* voluntary, long* involuntary) {
  std::ifstream f("/proc/self/task/" + std::to_string(tid) + "/status");
  std::string key;
  while (f >> key) {
    if (key == "voluntary_ctxt_switches:") f >> *voluntary;
    if (key == "nonvoluntary_ctxt_switches:") f >> *involuntary;
  }
}

// How often the calling thread was moved to another CPU: a moved thread finds its data in the
// other CPU's cache, and that costs a few microseconds an exchange. Only kernels built with
// scheduler debugging show it.
inline long ThreadMoves() {
  std::ifstream f("/proc/thread-self/sched");
  std::string key;
  while (f >> key)
    if (key == "se.nr_migrations") {
      std::string colon;
      long v = -1;
      f >> colon >> v;
      return v;
    }
  return -1;
}

inline double ClockUs(clockid_t c) {
  timespec ts{};
  clock_gettime(c, &ts);
  return double(ts.tv_sec) * 1e6 + double(ts.tv_nsec) / 1e3;
}

}  // namespace detail

// Call first thing in main, before any thread starts: the syscall counter is inherited only by
// threads started after it.
inline void StartCounting() {
  const char* on = std::getenv("BENCH_SYSCALLS");
  if (on && *on == '1') detail::ProcessSyscallFd() = detail::OpenSyscallCounter(true);
}
inline bool CountingSyscalls() { return detail::ProcessSyscallFd() >= 0; }

// Called by a thread that plays the device, on itself; Leave before it ends.
// With BENCH_DEVICE_CPU=N it moves to CPU N, away from the client's: a real device answers
// from its own hardware, and a device thread the scheduler now and then puts beside the client
// moves the client's CPU time by up to a tenth, as its wake-ups turn local or remote.
inline void EnterDeviceThread() {
  if (const char* cpu = std::getenv("BENCH_DEVICE_CPU"); cpu && *cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(std::atoi(cpu), &set);
    if (sched_setaffinity(0, sizeof set, &set) != 0) Die("BENCH_DEVICE_CPU: no such CPU");
  }
  detail::DeviceThread t{pid_t(::gettid()), {}, -1};
  pthread_getcpuclockid(pthread_self(), &t.clock);
  if (CountingSyscalls()) t.syscallFd = detail::OpenSyscallCounter(false);
  std::lock_guard lock(detail::DeviceMu());
  detail::DeviceThreads().push_back(t);
}
inline void LeaveDeviceThread() {
  const pid_t self = pid_t(::gettid());
  std::lock_guard lock(detail::DeviceMu());
  auto& v = detail::DeviceThreads();
  for (auto it = v.begin(); it != v.end(); ++it)
    if (it->tid == self) {
      if (it->syscallFd >= 0) ::close(it->syscallFd);
      v.erase(it);
      break;
    }
}

// The process so far, less its device threads.
inline Snapshot TakeSnapshot() {
  Snapshot s;
  s.cpuUs = detail::ClockUs(CLOCK_PROCESS_CPUTIME_ID);
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  s.voluntary = u.ru_nvcsw;
  s.involuntary = u.ru_nivcsw;
  s.syscalls = detail::ReadCounter(detail::ProcessSyscallFd());
  s.moves = detail::ThreadMoves();
  std::lock_guard lock(detail::DeviceMu());
  for (const detail::DeviceThread& t : detail::DeviceThreads()) {
    s.cpuUs -= detail::ClockUs(t.clock);
    long v = 0, i = 0;
    detail::ThreadSwitches(t.tid, &v, &i);
    s.voluntary -= v;
    s.involuntary -= i;
    s.syscalls -= detail::ReadCounter(t.syscallFd);
  }
  return s;
}

// Sums of the measured blocks of one contender.
struct Costs {
  double cpuUs = 0;
  double voluntary = 0, involuntary = 0, syscalls = 0;
  double moves = 0;
  bool movesSeen = false;
  long rounds = 0;
  std::vector<double> blockCpuUs;  // CPU per round of each block
  void Add(const Snapshot& before, const Snapshot& after, int n) {
    cpuUs += after.cpuUs - before.cpuUs;
    blockCpuUs.push_back((after.cpuUs - before.cpuUs) / n);
    voluntary += double(after.voluntary - before.voluntary);
    involuntary += double(after.involuntary - before.involuntary);
    syscalls += double(after.syscalls - before.syscalls);
    if (before.moves >= 0 && after.moves >= 0) {
      moves += double(after.moves - before.moves);
      movesSeen = true;
    }
    rounds += n;
  }
  double Per(double total) const { return rounds ? total / double(rounds) : 0; }
  // CPU per round as the median over blocks: a virtual machine's host may stop a CPU for tens
  // of milliseconds and charge it to whoever ran, which moves a mean by whole percents.
  double CpuPerRound() const;
};

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
      EnterDeviceThread();
      std::vector<char> req(requestSize);
      while (ReadExactly(master_, req.data(), requestSize))
        if (!WriteAll(master_, reply.data(), reply.size())) break;
      LeaveDeviceThread();
    });
  }
  // Sends back whatever arrives, as it arrives.
  void Echo() {
    responder_ = std::thread([this] {
      EnterDeviceThread();
      char buf[65536];
      for (;;) {
        const ssize_t k = ::read(master_, buf, sizeof buf);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0 || !WriteAll(master_, buf, std::size_t(k))) break;
      }
      LeaveDeviceThread();
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
  std::vector<double> blockMedians;  // of each block's kept samples, in the order of the blocks
  Costs costs;                       // of the blocks past the warm-up, rounds and betweens alike
};

// Runs every contender in blocks of `block` rounds, the order rotating from block to block
// so that none always follows the same neighbour; the first `warmup` rounds of each are
// not kept. With `settle`, each block waits that long after its open and one round: the
// scheduler gives a new thread a load it has not shown yet, which takes tens of milliseconds
// to fade, and until then it places the threads of an exchange otherwise than for a port kept
// open (a round trip of a port with an event monitor measured 1.4 times its settled time).
// A probe preloaded into the program (bench/count_calls.c) learns through this whose block the
// calling thread runs: the contender's place in the list.
extern "C" void bench_probe_contender(int index) __attribute__((weak));

inline void Interleave(std::vector<Contender>& cs, int rounds, int block, int warmup,
                       std::chrono::milliseconds settle = {}) {
  const int total = rounds + warmup;
  for (int done = 0, b = 0; done < total; done += block, ++b) {
    const int n = std::min(block, total - done);
    for (std::size_t k = 0; k < cs.size(); ++k) {
      const std::size_t at = (k + std::size_t(b)) % cs.size();
      Contender& c = cs[at];
      if (bench_probe_contender) bench_probe_contender(int(at));
      c.open();
      if (settle.count() > 0) {
        c.round();
        if (c.between) c.between();
        std::this_thread::sleep_for(settle);
      }
      // Costs count from the block's second round: the first also pays for what the open
      // started (threads that run up and settle), which a port kept open pays once.
      const bool counted = done >= warmup && n > 1;
      const std::size_t first = c.samples.size();
      Snapshot before;
      for (int i = 0; i < n; ++i) {
        if (counted && i == 1) before = TakeSnapshot();
        const double v = c.round();
        if (done + i >= warmup) c.samples.push_back(v);
        if (c.between) c.between();
      }
      if (counted) {
        c.costs.Add(before, TakeSnapshot(), n - 1);
        c.blockMedians.push_back(
            Summarise(
                std::vector<double>(c.samples.begin() + std::ptrdiff_t(first), c.samples.end()))
                .median);
      }
      c.close();
    }
  }
}

// One line per contender with its costs: wall median and p90, its ratio to the floor and to
// the reference (paired by round), CPU per round and its ratio to the reference (paired), context
// switches per round (voluntary, and how many more than the reference; involuntary), system calls.
inline double Costs::CpuPerRound() const { return Summarise(blockCpuUs).median; }

// The median over rounds of one contender's block against the other's block of the same
// round. The host of a virtual machine changes how fast it runs it from one minute to the
// next (a plain round trip took 17 us of CPU, then 11 us); blocks of one round run within a
// second or so of each other, so the ratio of medians taken over the whole run would mix the
// two speeds in whatever shares each contender happened to get.
inline double PairedRatio(const std::vector<double>& a, const std::vector<double>& b) {
  std::vector<double> r;
  for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i)
    if (b[i] > 0) r.push_back(a[i] / b[i]);
  return r.empty() ? 0 : Summarise(r).median;
}

inline void PrintCostLine(const Contender& c, const Contender& floor, const Contender& ref) {
  const Percentiles p = Summarise(c.samples);
  const Costs& k = c.costs;
  const Costs& r = ref.costs;
  std::printf(
      "%-38s %7.1f us p90 %7.1f  x%.3f  ref x%.3f | cpu %6.1f us ref x%.3f | vcs %5.2f %+5.2f"
      "  ics %5.2f",
      c.name.c_str(), p.median, p.p90, PairedRatio(c.blockMedians, floor.blockMedians),
      PairedRatio(c.blockMedians, ref.blockMedians), k.CpuPerRound(),
      PairedRatio(k.blockCpuUs, r.blockCpuUs), k.Per(k.voluntary),
      k.Per(k.voluntary) - r.Per(r.voluntary), k.Per(k.involuntary));
  if (CountingSyscalls()) std::printf(" | sys %5.2f", k.Per(k.syscalls));
  if (k.movesSeen) std::printf(" | moves %4.2f", k.Per(k.moves));
  std::printf("\n");
  std::fflush(stdout);
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
