// The ways of talking to a serial device that the benchmarks compare: ours, the plain system
// calls, and the libraries a user might pick instead (when they were found at build time).
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace bench {

class Client {
 public:
  virtual ~Client() = default;
  virtual const char* Name() const = 0;
  // 19200 bit/s, 8 data bits, no parity, two stop bits, no flow control, as the link uses.
  virtual void Open(const std::string& path) = 0;
  virtual void Close() = 0;
  // Sends request, then reads exactly replySize bytes (or fewer when the time-out ends it).
  virtual std::size_t Exchange(const std::string& request, char* reply, std::size_t replySize) = 0;
  // Reads n bytes with the link's time-out for n bytes (2 ms per byte + 1000 ms).
  virtual std::size_t TimedRead(char* buf, std::size_t n) = 0;
  // Untimed, after every round: where the program's event loop would run.
  virtual void Between() {}
};

// The read time-out every client applies to a read of n bytes, in milliseconds.
inline int LinkTimeoutMs(std::size_t n) { return int(2 * n + 1000); }

// Installs (once) the queue through which port monitors reach "the UI thread", and runs what
// they have handed over; ports opened after the first call use it.
void ServeUiQueue();

// With pauseNs, it works that long (on the clock) between its write and its wait for the reply.
std::unique_ptr<Client> PlainClient(bool flushFirst, int pauseNs = 0);
// With all ten events watched, as the device link opens it; its monitor's batches are served
// after every round unless serve is false (then the monitor stays parked after its first).
// Each exchange purges both buffers first, as the device link does, unless purge is false.
std::unique_ptr<Client> ComPortClient(bool events = true, bool serve = true, bool purge = true);
// The platform layer's calls without the component: purge, write, read, no events watched.
std::unique_ptr<Client> LayerClient();
// Every client this build has, in table order; the first is the plain loop (the reference).
std::vector<std::unique_ptr<Client>> AllClients();

}  // namespace bench
