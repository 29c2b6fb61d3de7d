#include "PtyServer.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

namespace devicesim {

namespace {

// A request that stops arriving half-way is dropped after this much quiet on the line.
constexpr int kInputResetMs = 100;
// A client that does not read its replies must not stall the device.
constexpr int kWriteTimeoutMs = 2000;

[[noreturn]] void ThrowErrno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

// The kernel's termios2 (<asm/termbits.h> clashes with <termios.h>): the only form that
// carries speeds set as plain numbers, which is how clients set theirs.
struct Termios2 {
  tcflag_t c_iflag;
  tcflag_t c_oflag;
  tcflag_t c_cflag;
  tcflag_t c_lflag;
  cc_t c_line;
  cc_t c_cc[19];
  speed_t c_ispeed;
  speed_t c_ospeed;
};
static_assert(sizeof(Termios2) == 44, "kernel struct termios2");
const unsigned long kTCGETS2 = _IOR('T', 0x2A, Termios2);
const unsigned long kTCSETS2 = _IOW('T', 0x2B, Termios2);
constexpr tcflag_t kCBAUD = 0010017, kBOTHER = 0010000;

}  // namespace

PtyServer::PtyServer(Device& device) : ownBus_(device), bus_(ownBus_) {}

PtyServer::PtyServer(Bus& bus) : bus_(bus) {}

PtyServer::~PtyServer() {
  if (inotify_ >= 0) close(inotify_);
  if (slave_ >= 0) close(slave_);
  if (master_ >= 0) close(master_);
}

void PtyServer::Open() {
  char name[128] = {};
  if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) ThrowErrno("openpty");
  slavePath_ = name;
  fcntl(master_, F_SETFD, FD_CLOEXEC);
  fcntl(slave_, F_SETFD, FD_CLOEXEC);
  if (fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK) != 0) ThrowErrno("fcntl");
  // Raw from the start, so a client that does not configure the line still gets bytes as sent.
  termios t{};
  if (tcgetattr(slave_, &t) != 0) ThrowErrno("tcgetattr");
  cfmakeraw(&t);
  if (tcsetattr(slave_, TCSANOW, &t) != 0) ThrowErrno("tcsetattr");
  // Closes of the slave tell us a client went away (see ClientClosed).
  inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (inotify_ >= 0 && inotify_add_watch(inotify_, name, IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
    close(inotify_);
    inotify_ = -1;
  }
}

void PtyServer::OpenDevice(const std::string& path, unsigned bitsPerSecond) {
  master_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master_ < 0) ThrowErrno(path.c_str());
  Termios2 t{};
  if (ioctl(master_, kTCGETS2, &t) != 0) ThrowErrno("TCGETS2");
  t.c_iflag = IGNBRK;
  t.c_oflag = 0;
  t.c_lflag = 0;
  t.c_cflag &= ~(kCBAUD | (kCBAUD << 16) | CSIZE | CSTOPB | PARENB | CRTSCTS);
  t.c_cflag |= kBOTHER | CS8 | CREAD | CLOCAL;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  t.c_ispeed = t.c_ospeed = bitsPerSecond;
  if (ioctl(master_, kTCSETS2, &t) != 0) ThrowErrno("TCSETS2");
  Termios2 back{};
  if (ioctl(master_, kTCGETS2, &back) != 0) ThrowErrno("TCGETS2");
  if (back.c_ospeed != bitsPerSecond) {
    errno = EINVAL;
    ThrowErrno((path + ": speed " + std::to_string(bitsPerSecond)).c_str());
  }
  tcflush(master_, TCIOFLUSH);
  slavePath_ = path;
}

// A client's exclusive-use flag outlives its close here, because we keep the slave open;
// without clearing it nobody but root could open the port again.
void PtyServer::ClientClosed() {
  char buf[4096];
  while (read(inotify_, buf, sizeof buf) > 0) {
  }
  ioctl(slave_, TIOCNXCL);
  bus_.ResetInput();
}

// Both ends of a pseudo-terminal share one termios, so the speed the client set is ours to
// read. The device hears the client's output and is heard by its input.
std::string PtyServer::LineMismatch() {
  const unsigned want = lineSpeed_;
  if (want == 0 || slave_ < 0) return {};
  Termios2 t{};
  if (ioctl(slave_, kTCGETS2, &t) != 0) ThrowErrno("TCGETS2");
  const unsigned out = t.c_ospeed;
  const unsigned in = t.c_ispeed != 0 ? t.c_ispeed : out;  // 0: the same as output
  // Bytes sent at another speed cannot complete a request begun at this one.
  if (out != lastOut_ || in != lastIn_) bus_.ResetInput();
  lastOut_ = out;
  lastIn_ = in;
  if (out != want) return "ignored: line at " + std::to_string(out) + " bit/s";
  if (in != want) return "ignored: line receives at " + std::to_string(in) + " bit/s";
  return {};
}

bool PtyServer::WaitUnlessStopped(int stopFd, std::chrono::milliseconds delay) {
  if (delay.count() <= 0) return true;
  const auto until = std::chrono::steady_clock::now() + delay;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    if (left.count() <= 0) return true;
    pollfd p{stopFd, POLLIN, 0};
    const int n = poll(&p, 1, static_cast<int>(left.count()) + 1);
    if (n > 0) return false;
    if (n < 0 && errno != EINTR) ThrowErrno("poll");
  }
}

bool PtyServer::WriteAll(int stopFd, const ByteString& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) ThrowErrno("write");
    pollfd p[2] = {{master_, POLLOUT, 0}, {stopFd, POLLIN, 0}};
    const int r = poll(p, 2, kWriteTimeoutMs);
    if (r == 0) return true;  // nobody reads: drop the rest of the reply
    if (r < 0 && errno != EINTR) ThrowErrno("poll");
    if (p[1].revents) return false;
  }
  return true;
}

void PtyServer::Serve(int stopFd, const ExchangeCallback& onExchange) {
  char buf[4096];
  for (;;) {
    pollfd p[3] = {{stopFd, POLLIN, 0}, {master_, POLLIN, 0}, {inotify_, POLLIN, 0}};
    const int timeout = bus_.HasPartialInput() ? kInputResetMs : -1;
    const int r = poll(p, inotify_ >= 0 ? 3 : 2, timeout);
    if (r < 0) {
      if (errno == EINTR) continue;
      ThrowErrno("poll");
    }
    if (r == 0) {
      bus_.ResetInput();
      continue;
    }
    if (p[0].revents) return;
    if (inotify_ >= 0 && p[2].revents) ClientClosed();
    if (p[1].revents & POLLIN) {
      const ssize_t n = read(master_, buf, sizeof buf);
      if (n < 0 && errno != EAGAIN && errno != EINTR) ThrowErrno("read");
      if (n <= 0) continue;
      const std::string mismatch = LineMismatch();
      for (const ByteString& request : bus_.Receive(ByteString(buf, static_cast<std::size_t>(n)))) {
        const Exchange exchange =
            mismatch.empty() ? bus_.Deliver(request) : Exchange{request, {}, mismatch};
        for (const ReplyPiece& piece : exchange.reply) {
          if (!WaitUnlessStopped(stopFd, piece.delay) || !WriteAll(stopFd, piece.bytes)) return;
        }
        if (onExchange) onExchange(exchange);
      }
    } else if (p[1].revents & (POLLHUP | POLLERR)) {
      // Cannot happen on a pseudo-terminal while we hold the slave; a port served directly
      // may go (an adapter pulled out). Waiting on would spin.
      throw std::system_error(EIO, std::generic_category(), slavePath_ + " hung up");
    }
  }
}

PtyServerThread::PtyServerThread(Device& device, PtyServer::ExchangeCallback onExchange)
    : server_(device) {
  Start(std::move(onExchange));
}

PtyServerThread::PtyServerThread(Bus& bus, PtyServer::ExchangeCallback onExchange) : server_(bus) {
  Start(std::move(onExchange));
}

PtyServerThread::PtyServerThread(Device& device, PtyServer::ExchangeCallback onExchange,
                                 const std::string& port)
    : server_(device) {
  Start(std::move(onExchange), port);
}

void PtyServerThread::Start(PtyServer::ExchangeCallback onExchange, const std::string& port) {
  if (port.empty()) {
    server_.Open();
  } else {
    server_.OpenDevice(port, 19200);
  }
  stop_ = eventfd(0, EFD_CLOEXEC);
  if (stop_ < 0) ThrowErrno("eventfd");
  thread_ = std::thread([this, onExchange = std::move(onExchange)] {
    try {
      server_.Serve(stop_, onExchange);
    } catch (const std::exception& e) {
      error_ = e.what();
    }
  });
}

PtyServerThread::~PtyServerThread() {
  Stop();
  close(stop_);
}

void PtyServerThread::Stop() {
  if (!thread_.joinable()) return;
  const std::uint64_t one = 1;
  [[maybe_unused]] auto n = write(stop_, &one, sizeof one);
  thread_.join();
}

}  // namespace devicesim
