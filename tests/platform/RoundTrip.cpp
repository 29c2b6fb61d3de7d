// Measures the platform layer's cost on one request/reply exchange over a pty: 7 bytes out,
// 8 back, against a plain poll/read loop on the same pty, and how close a read time-out ends
// to its deadline. Run: build/bin/platform_roundtrip [rounds]
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "SerialApi.h"

using namespace serial;
using Clock = std::chrono::steady_clock;

namespace {

bool ReadFull(int fd, char* buf, std::size_t n) {
  std::size_t got = 0;
  while (got < n) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 2000) <= 0) return false;
    const ssize_t r = ::read(fd, buf + got, n - got);
    if (r <= 0) return false;
    got += std::size_t(r);
  }
  return true;
}

Clock::time_point gStart;
const char* gPhase = "";
int gRound = 0;

[[noreturn]] void Die(const char* what, std::uint32_t n) {
  std::fprintf(stderr, "%s failed (%s, round %d): n=%u error %d after %.0f us\n", what, gPhase,
               gRound, n, GetLastError(),
               std::chrono::duration<double, std::micro>(Clock::now() - gStart).count());
  std::exit(4);
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 3000;
  int master = -1, slave = -1;
  char name[128];
  if (openpty(&master, &slave, name, nullptr, nullptr) != 0) return 1;
  termios raw{};
  tcgetattr(slave, &raw);
  cfmakeraw(&raw);
  tcsetattr(slave, TCSANOW, &raw);

  std::atomic<bool> stop{false};
  std::thread peer([&] {  // the device: answers 7 bytes with 8
    char req[7];
    const char reply[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    while (!stop && ReadFull(master, req, 7)) {
      if (::write(master, reply, 8) != 8) break;
    }
  });

  SerialApi& api = SystemSerialApi();
  const char req[7] = {'a', 'b', 'c', 'd', 'e', 'f', 'g'};
  char buf[8];

  // The plain loop on its own fd; then the layer on the same pty.
  auto plain = [&] {
    const auto t0 = Clock::now();
    if (::write(slave, req, 7) != 7 || !ReadFull(slave, buf, 8)) std::abort();
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
  };
  std::vector<double> a, b, c;
  for (int i = 0; i < rounds; ++i) a.push_back(plain());
  // Closed only once the layer holds the pty: with no slave open the peer would see a hang-up.
  const Handle h = api.CreateFile(name);
  ::close(slave);
  if (h == InvalidHandle) return 2;
  Dcb d;
  d.BaudRate = 19200;
  d.Flags = dcb::fBinary | (RTS_CONTROL_TOGGLE << dcb::fRtsControlShift);
  d.ByteSize = 8;
  d.StopBits = TWOSTOPBITS;
  d.XonChar = 17;
  d.XoffChar = 19;
  if (!api.SetCommState(h, d) || !api.SetCommTimeouts(h, {MaxDword, 2, 1000, 100, 1000})) return 3;
  // As the component does it: a fresh request and event per call, wait, then the result.
  auto layer = [&] {
    const auto t0 = gStart = Clock::now();
    std::uint32_t n = 0;
    {
      Event ev(true);
      Overlapped ov;
      ov.hEvent = &ev;
      if (!api.WriteFile(h, req, 7, &n, &ov) && GetLastError() != ErrorIoPending) {
        std::fprintf(stderr, "write failed: %d\n", GetLastError());
        std::abort();
      }
      ev.Wait();
      if (!api.GetOverlappedResult(h, &ov, &n, false) || n != 7) Die("write result", n);
    }
    {
      Event ev(true);
      Overlapped ov;
      ov.hEvent = &ev;
      if (!api.ReadFile(h, buf, 8, &n, &ov) && GetLastError() != ErrorIoPending) Die("read", 0);
      ev.Wait();
      if (!api.GetOverlappedResult(h, &ov, &n, false) || n != 8) Die("read result", n);
    }
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
  };
  gPhase = "layer";
  for (gRound = 0; gRound < rounds; ++gRound) b.push_back(layer());

  // With an event monitor watching all ten events, as the program runs the port.
  std::atomic<bool> monStop{false};
  Event stopEv(false);
  api.SetCommMask(h, 0x05FF);
  std::thread monitor([&] {
    Event ev(true);
    Overlapped ov;
    ov.hEvent = &ev;
    std::uint32_t mask = 0, n = 0, err = 0;
    while (!monStop) {
      api.WaitCommEvent(h, &mask, &ov);
      if (WaitForEither(stopEv, ev) != WaitResult::Object1) break;
      ComStat st;
      if (api.GetOverlappedResult(h, &ov, &n, false)) api.ClearCommError(h, &err, &st);
    }
    api.SetCommMask(h, 0);
  });
  gPhase = "monitor";
  for (gRound = 0; gRound < rounds; ++gRound) c.push_back(layer());
  monStop = true;
  stopEv.Set();
  monitor.join();

  // Time-out accuracy: 8 bytes asked, none come, 2 x 8 + 5 ms allowed.
  api.SetCommTimeouts(h, {MaxDword, 2, 5, 100, 1000});
  stop = true;
  std::vector<double> over;
  for (int i = 0; i < 40; ++i) {
    const auto t0 = Clock::now();
    Event ev(true);
    Overlapped ov;
    ov.hEvent = &ev;
    std::uint32_t n = 0;
    if (!api.ReadFile(h, buf, 8, &n, &ov)) ev.Wait();
    over.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count() - 21000);
  }
  api.CloseHandle(h);
  ::close(master);
  peer.join();

  const double ma = Median(a), mb = Median(b), mc = Median(c);
  std::printf(
      "round trip, median of %d: plain poll/read %.1f us, layer %.1f us (x%.3f), "
      "layer with event monitor %.1f us (x%.3f)\n",
      rounds, ma, mb, mb / ma, mc, mc / ma);
  std::printf("read time-out overshoot, median of 40: %.0f us\n", Median(over));
  return 0;
}
