// Measures the platform layer's cost on one request/reply exchange over a pty: 7 bytes out,
// 8 back, against a plain poll/read loop on a second pty, rounds interleaved; and how close a
// read time-out ends to its deadline. Run: build/bin/platform_roundtrip [rounds]
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "SerialApi.h"

using namespace serial;
using Clock = std::chrono::steady_clock;

namespace {

std::atomic<bool> gStop{false};

bool ReadFull(int fd, char* buf, std::size_t n) {
  std::size_t got = 0;
  while (got < n) {
    pollfd p{fd, POLLIN, 0};
    const int r = poll(&p, 1, 200);
    if (r == 0 && !gStop) continue;
    if (r <= 0) return false;
    const ssize_t k = ::read(fd, buf + got, n - got);
    if (k <= 0) return false;
    got += std::size_t(k);
  }
  return true;
}

// A device on the master side: answers every 7 bytes with 8.
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
  ~Peer() {
    th.join();
    ::close(master);
    if (slave >= 0) ::close(slave);
  }
};

[[noreturn]] void Die(const char* what) {
  std::fprintf(stderr, "%s failed: error %d\n", what, GetLastError());
  std::exit(4);
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

double Micros(Clock::time_point t0) {
  return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 3000;
  Peer plainPeer, layerPeer;
  SerialApi& api = SystemSerialApi();
  const char req[7] = {'a', 'b', 'c', 'd', 'e', 'f', 'g'};
  char buf[8];

  auto plain = [&] {
    const auto t0 = Clock::now();
    if (::write(plainPeer.slave, req, 7) != 7 || !ReadFull(plainPeer.slave, buf, 8)) Die("plain");
    return Micros(t0);
  };

  // The layer holds the pty; with no slave open the peer would see a hang-up.
  const Handle h = api.CreateFile(layerPeer.name);
  if (h == InvalidHandle) Die("open");
  ::close(layerPeer.slave);
  layerPeer.slave = -1;
  Dcb d;
  d.BaudRate = 19200;
  d.Flags = dcb::fBinary | (RTS_CONTROL_TOGGLE << dcb::fRtsControlShift);
  d.ByteSize = 8;
  d.StopBits = TWOSTOPBITS;
  d.XonChar = 17;
  d.XoffChar = 19;
  if (!api.SetCommState(h, d) || !api.SetCommTimeouts(h, {MaxDword, 2, 1000, 100, 1000}))
    Die("setup");
  // As the component does it: a fresh request and event per call, wait, then the result.
  auto layer = [&] {
    const auto t0 = Clock::now();
    std::uint32_t n = 0;
    {
      Event ev(true);
      Overlapped ov;
      ov.hEvent = &ev;
      if (!api.WriteFile(h, req, 7, &n, &ov) && GetLastError() != ErrorIoPending) Die("write");
      ev.Wait();
      if (!api.GetOverlappedResult(h, &ov, &n, false) || n != 7) Die("write result");
    }
    {
      Event ev(true);
      Overlapped ov;
      ov.hEvent = &ev;
      if (!api.ReadFile(h, buf, 8, &n, &ov) && GetLastError() != ErrorIoPending) Die("read");
      ev.Wait();
      if (!api.GetOverlappedResult(h, &ov, &n, false) || n != 8) Die("read result");
    }
    return Micros(t0);
  };

  std::vector<double> a, b, c, a2;
  for (int i = 0; i < rounds; ++i) {
    a.push_back(plain());
    b.push_back(layer());
  }

  // An event monitor on all ten events that hands each batch to this thread and waits until
  // it has run there between exchanges, as the program's monitor does.
  std::mutex mu;
  std::condition_variable cv;
  std::function<void()> handed;
  bool stopMon = false;
  Event stopEv(false);
  api.SetCommMask(h, 0x05FF);
  std::thread monitor([&] {
    Event ev(true);
    Overlapped ov;
    ov.hEvent = &ev;
    std::uint32_t mask = 0, n = 0;
    for (;;) {
      api.WaitCommEvent(h, &mask, &ov);
      if (WaitForEither(stopEv, ev) != WaitResult::Object1) break;
      if (!api.GetOverlappedResult(h, &ov, &n, false)) continue;
      std::unique_lock<std::mutex> lk(mu);
      handed = [&] {
        std::uint32_t err = 0, st = 0;
        ComStat cs;
        api.ClearCommError(h, &err, &cs);
        api.GetCommModemStatus(h, &st);
      };
      cv.wait(lk, [&] { return !handed || stopMon; });
      if (stopMon) break;
    }
    api.SetCommMask(h, 0);
  });
  auto pump = [&] {
    std::function<void()> job;
    {
      std::lock_guard<std::mutex> lk(mu);
      job = std::move(handed);
      handed = nullptr;
    }
    if (job) job();
    cv.notify_all();
  };
  for (int i = 0; i < rounds; ++i) {
    pump();
    a2.push_back(plain());
    pump();
    c.push_back(layer());
  }
  {
    std::lock_guard<std::mutex> lk(mu);
    stopMon = true;
  }
  cv.notify_all();
  stopEv.Set();
  monitor.join();

  // Time-out accuracy: 8 bytes asked, none come, 2 x 8 + 5 ms allowed.
  api.SetCommTimeouts(h, {MaxDword, 2, 5, 100, 1000});
  std::vector<double> over;
  for (int i = 0; i < 40; ++i) {
    const auto t0 = Clock::now();
    Event ev(true);
    Overlapped ov;
    ov.hEvent = &ev;
    std::uint32_t n = 0;
    if (!api.ReadFile(h, buf, 8, &n, &ov)) ev.Wait();
    over.push_back(Micros(t0) - 21000);
  }
  gStop = true;
  api.CloseHandle(h);

  const double ma = Median(a), mb = Median(b), ma2 = Median(a2), mc = Median(c);
  std::printf("7 out + 8 back over a pty, medians of %d interleaved rounds:\n", rounds);
  std::printf("  plain poll/read %.1f us, layer %.1f us: x%.3f\n", ma, mb, mb / ma);
  std::printf("  with an event monitor on all ten events: plain %.1f us, layer %.1f us: x%.3f\n",
              ma2, mc, mc / ma2);
  std::printf("read time-out overshoot, median of 40: %.0f us\n", Median(over));
  return 0;
}
