#include "Clients.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "BenchSupport.h"
#include "ComPort.h"
#include "SerialApi.h"
#include "UiDispatcher.h"

#ifdef BENCH_HAVE_QSERIALPORT
#include <QCoreApplication>
#include <QSerialPort>
#endif
#ifdef BENCH_HAVE_LIBSERIALPORT
#include <libserialport.h>
#endif

namespace bench {

namespace {

// Reads n bytes within ms milliseconds, the way a careful hand-written loop does it: one wait
// for exactly the time that is left, then whatever is there.
std::size_t PollRead(int fd, char* buf, std::size_t n, int ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  std::size_t got = 0;
  while (got < n) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) break;
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    const timespec ts{time_t(ns / 1000000000), long(ns % 1000000000)};
    pollfd p{fd, POLLIN, 0};
    const int r = ::ppoll(&p, 1, &ts, nullptr);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    const ssize_t k = ::read(fd, buf + got, n - got);
    if (k < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (k <= 0) break;
    got += std::size_t(k);
  }
  return got;
}

class Plain final : public Client {
 public:
  Plain(bool flush, int pauseNs) : flush_(flush), pause_(pauseNs) {}
  const char* Name() const override {
    if (pause_ > 0) return "plain + tcflush, 0.5 us before poll";
    return flush_ ? "plain poll/read + tcflush" : "plain poll/read (floor)";
  }
  void Open(const std::string& path) override {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) Die("open " + path);
    MakeRaw(fd_);
  }
  void Close() override {
    ::close(fd_);
    fd_ = -1;
  }
  std::size_t Exchange(const std::string& request, char* reply, std::size_t n) override {
    if (flush_) tcflush(fd_, TCIOFLUSH);
    if (::write(fd_, request.data(), request.size()) != ssize_t(request.size())) return 0;
    if (pause_ > 0) {
      // Work of that length between the write and the wait, as a port's read set-up is.
      const auto t0 = Clock::now();
      while (Clock::now() - t0 < std::chrono::nanoseconds(pause_)) {
      }
    }
    return PollRead(fd_, reply, n, LinkTimeoutMs(n));
  }
  std::size_t TimedRead(char* buf, std::size_t n) override {
    return PollRead(fd_, buf, n, LinkTimeoutMs(n));
  }

 private:
  const bool flush_;
  const int pause_;
  int fd_ = -1;
};

// The event monitor hands its batches to this queue; the benchmark serves it between rounds,
// as the program's event loop does between operator actions.
TQueuedUiDispatcher& UiQueue() {
  static TQueuedUiDispatcher* ui = [] {
    auto* d = new TQueuedUiDispatcher;
    SetUiDispatcher(d);
    return d;
  }();
  return *ui;
}

class Ours final : public Client {
 public:
  Ours(bool events, bool serve, bool purge) : events_(events), serve_(serve), purge_(purge) {}
  const char* Name() const override {
    return !events_  ? "TComPort, no events watched"
           : !serve_ ? "TComPort, monitor never served"
           : purge_  ? "TComPort (purge, write, read)"
                     : "TComPort (write, read)";
  }
  void Open(const std::string& path) override {
    UiQueue();
    port_ = std::make_unique<TComPort>();
    // "/dev/pts/N": the component adds the device prefix itself.
    port_->SetPort(path.substr(5));
    port_->SetBaudRate(br19200);
    port_->SetStopBits(sbTwoStopBits);
    port_->FlowControl().SetControlRTS(rtsToggle);
    port_->Timeouts().SetReadTotalMultiplier(2);
    port_->Timeouts().SetReadTotalConstant(1000);
    port_->SetEvents(events_ ? AllComEvents : TComEvents{});
    port_->OpenDevice();
  }
  void Close() override {
    port_->CloseDevice();
    port_.reset();
  }
  std::size_t Exchange(const std::string& request, char* reply, std::size_t n) override {
    if (purge_) port_->PurgeBuffers(true, true);
    if (port_->WriteText(request) != std::int32_t(request.size())) return 0;
    port_->ReadText(text_, std::int32_t(n));
    std::memcpy(reply, text_.data(), text_.size());
    return text_.size();
  }
  std::size_t TimedRead(char* buf, std::size_t n) override {
    port_->ReadText(text_, std::int32_t(n));
    std::memcpy(buf, text_.data(), text_.size());
    return text_.size();
  }
  void Between() override {
    if (serve_) UiQueue().Serve();
  }

 private:
  const bool events_, serve_, purge_;
  std::unique_ptr<TComPort> port_;
  std::string text_;
};

// The platform layer alone, called as the port calls it (a request and event per call, wait,
// then the result), no events watched: what the layer costs beneath the component.
class Layer final : public Client {
 public:
  const char* Name() const override { return "platform layer (purge, write, read)"; }
  void Open(const std::string& path) override {
    ov_.hEvent = &event_;
    h_ = api_.CreateFile(path);
    if (h_ == serial::InvalidHandle) Die("layer open " + path);
    serial::Dcb d;
    d.BaudRate = 19200;
    d.Flags = serial::dcb::fBinary | (serial::RTS_CONTROL_TOGGLE << serial::dcb::fRtsControlShift);
    d.ByteSize = 8;
    d.StopBits = serial::TWOSTOPBITS;
    d.XonChar = 17;
    d.XoffChar = 19;
    if (!api_.SetCommState(h_, d) ||
        !api_.SetCommTimeouts(h_, {serial::MaxDword, 2, 1000, 100, 1000}))
      Die("layer set-up");
  }
  void Close() override {
    api_.CloseHandle(h_);
    h_ = serial::InvalidHandle;
  }
  std::size_t Exchange(const std::string& request, char* reply, std::size_t n) override {
    if (!api_.PurgeComm(h_, serial::PURGE_RXCLEAR | serial::PURGE_TXCLEAR)) Die("layer purge");
    std::uint32_t done = 0;
    if (!Await(api_.WriteFile(h_, request.data(), std::uint32_t(request.size()), &done, &ov_),
               &done) ||
        done != request.size())
      return 0;
    return TimedRead(reply, n);
  }
  std::size_t TimedRead(char* buf, std::size_t n) override {
    std::uint32_t got = 0;
    return Await(api_.ReadFile(h_, buf, std::uint32_t(n), &got, &ov_), &got) ? got : 0;
  }

 private:
  bool Await(bool doneAtOnce, std::uint32_t* n) {
    if (doneAtOnce) return true;
    if (serial::GetLastError() != serial::ErrorIoPending) return false;
    event_.Wait();
    return api_.GetOverlappedResult(h_, &ov_, n, false);
  }
  serial::SerialApi& api_ = serial::SystemSerialApi();
  serial::Handle h_ = serial::InvalidHandle;
  serial::Event event_{true};
  serial::Overlapped ov_;
};

#ifdef BENCH_HAVE_QSERIALPORT
class Qt final : public Client {
 public:
  const char* Name() const override { return "QSerialPort blocking"; }
  void Open(const std::string& path) override {
    if (!QCoreApplication::instance()) {
      static int argc = 1;
      static char name[] = "bench";
      static char* argv[] = {name, nullptr};
      new QCoreApplication(argc, argv);
    }
    port_ = std::make_unique<QSerialPort>();
    port_->setPortName(QString::fromStdString(path));
    if (!port_->open(QIODevice::ReadWrite))
      Die("QSerialPort open: " + port_->errorString().toStdString());
    port_->setBaudRate(19200);
    port_->setDataBits(QSerialPort::Data8);
    port_->setParity(QSerialPort::NoParity);
    port_->setStopBits(QSerialPort::TwoStop);
    port_->setFlowControl(QSerialPort::NoFlowControl);
  }
  void Close() override {
    port_->close();
    port_.reset();
  }
  std::size_t Exchange(const std::string& request, char* reply, std::size_t n) override {
    port_->write(request.data(), qint64(request.size()));
    if (!port_->waitForBytesWritten(LinkTimeoutMs(request.size()))) return 0;
    return Read(reply, n);
  }
  std::size_t TimedRead(char* buf, std::size_t n) override { return Read(buf, n); }

 private:
  std::size_t Read(char* buf, std::size_t n) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(LinkTimeoutMs(n));
    while (port_->bytesAvailable() < qint64(n)) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - Clock::now() + std::chrono::microseconds(999));
      if (left.count() <= 0 || !port_->waitForReadyRead(int(left.count()))) break;
    }
    return std::size_t(std::max<qint64>(0, port_->read(buf, qint64(n))));
  }
  std::unique_ptr<QSerialPort> port_;
};
#endif

#ifdef BENCH_HAVE_LIBSERIALPORT
// libserialport looks every port up in sysfs and asks for the modem lines when it opens or
// configures one; a pseudo-terminal has neither. While this thread sets a port up, those
// calls are answered here as a plain serial port would answer them. Reads and writes pass
// through untouched.
thread_local bool tSpSetup = false;

bool IsPtySysfsEntry(const char* path) {
  return path && std::strncmp(path, "/sys/class/tty/pts/", 19) == 0;
}

struct SpSetup {
  SpSetup() { tSpSetup = true; }
  ~SpSetup() { tSpSetup = false; }
};

void Check(sp_return r, const char* what) {
  if (r != SP_OK) {
    char* m = sp_last_error_message();
    Die(std::string("libserialport ") + what + ": " + (m ? m : "?"));
  }
}

class Sp final : public Client {
 public:
  const char* Name() const override { return "libserialport blocking"; }
  void Open(const std::string& path) override {
    SpSetup setup;
    Check(sp_get_port_by_name(path.c_str(), &port_), "lookup");
    Check(sp_open(port_, SP_MODE_READ_WRITE), "open");
    Check(sp_set_baudrate(port_, 19200), "speed");
    Check(sp_set_bits(port_, 8), "bits");
    Check(sp_set_parity(port_, SP_PARITY_NONE), "parity");
    Check(sp_set_stopbits(port_, 2), "stop bits");
    Check(sp_set_flowcontrol(port_, SP_FLOWCONTROL_NONE), "flow");
  }
  void Close() override {
    sp_close(port_);
    sp_free_port(port_);
    port_ = nullptr;
  }
  std::size_t Exchange(const std::string& request, char* reply, std::size_t n) override {
    if (sp_blocking_write(port_, request.data(), request.size(),
                          unsigned(LinkTimeoutMs(request.size()))) != int(request.size()))
      return 0;
    return TimedRead(reply, n);
  }
  std::size_t TimedRead(char* buf, std::size_t n) override {
    const int r = sp_blocking_read(port_, buf, n, unsigned(LinkTimeoutMs(n)));
    return r > 0 ? std::size_t(r) : 0;
  }

 private:
  sp_port* port_ = nullptr;
};
#endif

}  // namespace

void ServeUiQueue() { UiQueue().Serve(); }

std::unique_ptr<Client> PlainClient(bool flushFirst, int pauseNs) {
  return std::make_unique<Plain>(flushFirst, pauseNs);
}
std::unique_ptr<Client> ComPortClient(bool events, bool serve, bool purge) {
  return std::make_unique<Ours>(events, serve, purge);
}

std::unique_ptr<Client> LayerClient() { return std::make_unique<Layer>(); }

std::vector<std::unique_ptr<Client>> AllClients() {
  std::vector<std::unique_ptr<Client>> v;
  v.push_back(PlainClient(false));
  v.push_back(PlainClient(true));
  v.push_back(ComPortClient());
#ifdef BENCH_HAVE_QSERIALPORT
  v.push_back(std::make_unique<Qt>());
#endif
#ifdef BENCH_HAVE_LIBSERIALPORT
  v.push_back(std::make_unique<Sp>());
#endif
  return v;
}

}  // namespace bench

#ifdef BENCH_HAVE_LIBSERIALPORT
// The interposed calls. Outside a libserialport set-up they are the plain system calls.
extern "C" int __lxstat(int, const char* path, struct stat* st) {
  if (bench::tSpSetup && bench::IsPtySysfsEntry(path)) {
    std::memset(st, 0, sizeof *st);
    st->st_mode = S_IFLNK | 0777;
    return 0;
  }
  return int(syscall(SYS_lstat, path, st));
}

extern "C" ssize_t readlink(const char* path, char* buf, size_t size) {
  if (bench::tSpSetup && bench::IsPtySysfsEntry(path)) {
    // Where an on-board UART's entry points.
    static const char target[] = "../../devices/platform/serial8250/tty/ttyS0";
    const size_t n = std::min(size, sizeof target - 1);
    std::memcpy(buf, target, n);
    return ssize_t(n);
  }
  return ssize_t(syscall(SYS_readlink, path, buf, size));
}

extern "C" int ioctl(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  const long r = syscall(SYS_ioctl, fd, request, arg);
  if (r != 0 && bench::tSpSetup && (errno == ENOTTY || errno == EINVAL)) {
    switch (request) {
      case TIOCMGET:
        *static_cast<int*>(arg) = 0;
        return 0;
      case TIOCMSET:
      case TIOCMBIS:
      case TIOCMBIC:
        return 0;
      default:
        break;
    }
  }
  return int(r);
}
#endif
