// Start-up: from launching the program (offscreen) until its window is shown and the event
// loop has run, and its peak resident memory at that moment; against a bare Qt program that
// shows one empty window. Runs interleaved.
// Run: bench_startup [runs=10]
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>

#include <climits>
#include <string>

#include "BenchSupport.h"

extern char** environ;
using namespace bench;

namespace {

std::string BinDir() {
  char buf[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) Die("readlink /proc/self/exe");
  std::string p(buf, std::size_t(n));
  return p.substr(0, p.rfind('/'));
}

long long NowNs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (long long)t.tv_sec * 1000000000LL + t.tv_nsec;
}

struct Run {
  double ms;
  double peakMiB;
};

Run Launch(const std::string& program, const std::string& probe) {
  int fds[2];
  if (pipe(fds) != 0) Die("pipe");
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string v = *e;
    if (v.rfind("QT_QPA_PLATFORM=", 0) == 0 || v.rfind("LD_PRELOAD=", 0) == 0 ||
        v.rfind("KONF_BENCH_FD=", 0) == 0)
      continue;
    env.push_back(v);
  }
  env.push_back("QT_QPA_PLATFORM=offscreen");
  env.push_back("LD_PRELOAD=" + probe);
  env.push_back("KONF_BENCH_FD=" + std::to_string(fds[1]));
  std::vector<char*> envp;
  for (auto& v : env) envp.push_back(v.data());
  envp.push_back(nullptr);
  std::string arg0 = program;
  char* argv[] = {arg0.data(), nullptr};
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addclose(&fa, fds[0]);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const long long t0 = NowNs();
  if (posix_spawn(&pid, program.c_str(), &fa, nullptr, argv, envp.data()) != 0)
    Die("spawn " + program);
  posix_spawn_file_actions_destroy(&fa);
  ::close(fds[1]);
  // A program that never shows its window (or a probe that did not take) must not hang us.
  char buf[128] = {};
  std::size_t got = 0;
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (got < sizeof buf - 1) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd p{fds[0], POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, int(left.count())) <= 0) {
      ::kill(pid, SIGKILL);
      break;
    }
    const ssize_t k = ::read(fds[0], buf + got, sizeof buf - 1 - got);
    if (k <= 0) break;
    got += std::size_t(k);
  }
  ::close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  long long shown = 0;
  long kib = 0;
  if (std::sscanf(buf, "%lld %ld", &shown, &kib) != 2) Die(program + " never showed its window");
  return {double(shown - t0) / 1e6, double(kib) / 1024.0};
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = ArgInt(argc, argv, 1, 10);
  const std::string dir = BinDir();
  const std::string probe = dir + "/libbench_startup_probe.so";
  struct Program {
    std::string name, path;
    std::vector<double> ms, mib;
  } programs[] = {{"bare Qt window (floor)", dir + "/bench_startup_floor", {}, {}},
                  {"Konfigurator", dir + "/Konfigurator", {}, {}}};
  for (Program& p : programs) Launch(p.path, probe);  // warm the page cache
  for (int i = 0; i < runs; ++i) {
    for (Program& p : programs) {
      const Run r = Launch(p.path, probe);
      p.ms.push_back(r.ms);
      p.mib.push_back(r.peakMiB);
    }
  }
  std::printf("start-up offscreen until the window is shown, %d runs each, interleaved\n", runs);
  const double floor = Summarise(programs[0].ms).median;
  for (const Program& p : programs) {
    PrintLine(p.name, Summarise(p.ms), "ms", floor);
    std::printf("%-40s peak RSS %7.1f MiB (median), max %.1f MiB\n", "", Summarise(p.mib).median,
                Summarise(p.mib).max);
  }
  return 0;
}
