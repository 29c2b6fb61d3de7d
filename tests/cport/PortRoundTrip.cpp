// Not a test. Measures one device exchange through TComPort (PurgeBuffers, WriteText of 7 bytes,
// ReadText of 8) over a pseudo-terminal against a plain poll/read loop on another one, rounds
// interleaved, and prints the medians and their ratio. "idle" instead measures the CPU time of a
// process that holds an open port with all ten events watched for 10 quiet seconds.
// Run: build/bin/cport_roundtrip [rounds] | build/bin/cport_roundtrip idle
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ComPort.h"
#include "UiDispatcher.h"

namespace {

using Clock = std::chrono::steady_clock;

bool ReadFull(int fd, char* buf, std::size_t n) {
  std::size_t got = 0;
  while (got < n) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 2000) <= 0) return false;
    const ssize_t k = ::read(fd, buf + got, n - got);
    if (k <= 0) return false;
    got += static_cast<std::size_t>(k);
  }
  return true;
}

// The device: answers every 7 bytes with 8, until its side closes.
struct Peer {
  int master = -1, slave = -1;
  char name[128] = {};
  std::thread th;
  Peer() {
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) std::exit(1);
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    th = std::thread([this] {
      char req[7];
      const char reply[8] = {1, 2, 3, 4, 5, 6, 7, 8};
      while (ReadFull(master, req, 7))
        if (::write(master, reply, 8) != 8) break;
    });
  }
  void Stop() {
    if (slave >= 0) ::close(slave);
    slave = -1;
  }
  ~Peer() {
    Stop();
    th.join();
    ::close(master);
  }
};

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

double Micros(Clock::time_point t0) {
  return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Opens the port on the peer's pty with the device link's settings.
void OpenLinkPort(TComPort& port, const Peer& peer, TComEvents events) {
  port.SetPort(std::string(peer.name).substr(5));  // "/dev/pts/N" -> "pts/N"
  port.SetBaudRate(br19200);
  port.SetStopBits(sbTwoStopBits);
  port.FlowControl().SetControlRTS(rtsToggle);
  port.Timeouts().SetReadTotalMultiplier(2);
  port.Timeouts().SetReadTotalConstant(1000);
  port.SetEvents(events);
  port.OpenDevice();
}

int Idle() {
  Peer peer;
  TComPort port;
  OpenLinkPort(port, peer, AllComEvents);
  const double cpu0 = CpuSeconds();
  std::this_thread::sleep_for(std::chrono::seconds(10));
  const double cpu = CpuSeconds() - cpu0;
  port.CloseDevice();
  std::printf("CPU time over 10 idle seconds with all ten events watched: %.6f s\n", cpu);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "idle") == 0) return Idle();
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 3000;
  Peer plainPeer, quietPeer, watchedPeer;
  const char req[7] = {'a', 'b', 'c', 'd', 'e', 'f', 'g'};
  const std::string request(req, 7);
  char buf[8];

  TQueuedUiDispatcher ui;
  SetUiDispatcher(&ui);
  TComPort quiet, watched;
  try {
    OpenLinkPort(quiet, quietPeer, TComEvents{});
    OpenLinkPort(watched, watchedPeer, AllComEvents);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 4;
  }

  std::string reply;
  auto exchange = [&](TComPort& port) {
    const auto t0 = Clock::now();
    port.PurgeBuffers(true, true);
    if (port.WriteText(request) != 7 || port.ReadText(reply, 8) != 8) {
      std::fprintf(stderr, "exchange failed\n");
      std::exit(4);
    }
    return Micros(t0);
  };
  std::vector<double> plain, q, w;
  for (int i = 0; i < rounds; ++i) {
    auto t0 = Clock::now();
    if (::write(plainPeer.slave, req, 7) != 7 || !ReadFull(plainPeer.slave, buf, 8)) return 4;
    plain.push_back(Micros(t0));
    q.push_back(exchange(quiet));
    w.push_back(exchange(watched));
    ui.Serve();  // the UI thread goes idle between operator actions
  }
  quiet.CloseDevice();
  watched.CloseDevice();
  SetUiDispatcher(nullptr);
  const double mp = Median(plain), mq = Median(q), mw = Median(w);
  std::printf("rounds %d\n", rounds);
  std::printf("plain poll/read loop        median %8.1f us\n", mp);
  std::printf("TComPort, no events         median %8.1f us  ratio %.2f\n", mq, mq / mp);
  std::printf("TComPort, all ten events    median %8.1f us  ratio %.2f\n", mw, mw / mp);
  return 0;
}
