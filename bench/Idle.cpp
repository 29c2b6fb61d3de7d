// What an open port costs while nothing happens: CPU time and thread wake-ups of this process
// holding a TComPort open on a quiet pseudo-terminal with all ten events watched.
// Run: bench_idle [seconds=10]
#include <dirent.h>

#include <fstream>

#include "BenchSupport.h"
#include "Clients.h"

using namespace bench;

namespace {

// Context switches of every thread of this process so far: each is a wake-up.
long Switches() {
  long total = 0;
  DIR* d = opendir("/proc/self/task");
  if (!d) return -1;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream f(std::string("/proc/self/task/") + e->d_name + "/status");
    std::string key;
    long value = 0;
    while (f >> key) {
      if (key == "voluntary_ctxt_switches:" || key == "nonvoluntary_ctxt_switches:") {
        f >> value;
        total += value;
      }
    }
  }
  closedir(d);
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = ArgInt(argc, argv, 1, 10);
  Pty pty;
  std::unique_ptr<Client> port = ComPortClient();
  port->Open(pty.Path());
  port->Between();
  const double cpu0 = CpuSeconds();
  const long sw0 = Switches();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const double cpu = CpuSeconds() - cpu0;
  const long sw = Switches() - sw0;
  port->Close();
  pty.Release();
  // The count includes this thread's own wake-up at the end of its sleep.
  std::printf("idle, open TComPort with all ten events watched, %d s\n", seconds);
  std::printf("%-40s %9.3f ms CPU per second  (%.1f ms in %d s), %ld wake-ups\n", "TComPort idle",
              cpu * 1000 / seconds, cpu * 1000, seconds, sw);
  return 0;
}
