// The backend on a line with parity, modem lines and breaks, which a pseudo-terminal cannot
// carry. This program answers the tty ioctls of one pty's slave as a UART's driver would: the
// line settings are kept as given (the pty driver drops parity) and the modem lines are a word
// the test sets. Data still flows through the pty, so the test sends the marks a UART's driver
// puts into the input of a line with parity.
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "LinuxSerialApi.h"
#include "SerialApi.h"

using namespace serial;

namespace {

// <asm/termbits.h> clashes with <termios.h>; the kernel's termios2.
struct termios2 {
  tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
  cc_t c_line;
  cc_t c_cc[19];
  speed_t c_ispeed, c_ospeed;
};
const unsigned long kTCGETS2 = _IOR('T', 0x2A, termios2);
const unsigned long kTCSETS2 = _IOW('T', 0x2B, termios2);

struct Uart {
  dev_t rdev = 0;
  std::mutex m;
  bool set = false;
  termios2 line{};
  int lines = 0;  // TIOCM_* bits
  // With counters on, the device keeps line counters and waits for line changes as a UART's
  // driver does; a write to lineChange ends a wait.
  bool counters = false;
  serial_icounter_struct icount{};
  int lineChange = -1;
  // Drains of the device wait here while holdDrains is set, one released per ticket.
  std::condition_variable drainCv;
  bool holdDrains = false;
  int draining = 0, tickets = 0;
};
std::atomic<Uart*> gUart{nullptr};

using IoctlFn = int (*)(int, unsigned long, void*);
int RealIoctl(int fd, unsigned long req, void* arg) {
  static const auto next = reinterpret_cast<IoctlFn>(dlsym(RTLD_NEXT, "ioctl"));
  return next(fd, req, arg);
}

// Serves an ioctl of the UART's device; false: the pty serves it.
bool UartIoctl(Uart& u, int fd, unsigned long req, void* arg, int* result) {
  std::lock_guard lk(u.m);
  *result = 0;
  if (req == kTCSETS2) {
    u.line = *static_cast<const termios2*>(arg);
    u.set = true;
    // The pty gets raw bytes: the marks come from the test, not from the pty's line discipline.
    termios2 raw = u.line;
    raw.c_iflag &= ~tcflag_t(INPCK | PARMRK);
    *result = RealIoctl(fd, req, &raw);
  } else if (req == kTCGETS2 && u.set) {
    *static_cast<termios2*>(arg) = u.line;
  } else if (req == TIOCGICOUNT && u.counters) {
    *static_cast<serial_icounter_struct*>(arg) = u.icount;
  } else if (req == TIOCMGET) {
    *static_cast<int*>(arg) = u.lines;
  } else if (req == TIOCMBIS) {
    u.lines |= *static_cast<const int*>(arg);
  } else if (req == TIOCMBIC) {
    u.lines &= ~*static_cast<const int*>(arg);
  } else if (req == TIOCMSET) {
    u.lines = *static_cast<const int*>(arg);
  } else {
    return false;
  }
  return true;
}

}  // namespace

// Takes the backend's ioctl calls (it is linked into this program); all but the UART's go on.
extern "C" int ioctl(int fd, unsigned long req, ...) noexcept {
  va_list ap;
  va_start(ap, req);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  Uart* u = gUart.load();
  struct stat st {};
  int result = 0;
  if (u && fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == u->rdev) {
    if (req == TIOCMIWAIT && u->counters) {
      // Waits in the kernel as the driver would, so the watcher's stop signal ends it (EINTR).
      pollfd p{u->lineChange, POLLIN, 0};
      if (ppoll(&p, 1, nullptr, nullptr) < 0) return -1;
      std::uint64_t n = 0;
      if (::read(u->lineChange, &n, sizeof n) < 0) return -1;
      return 0;
    }
    if (UartIoctl(*u, fd, req, arg, &result)) return result;
  }
  return RealIoctl(fd, req, arg);
}

// Holds the backend's drains of the UART's device when the test asks, so two writers can be
// caught with their bytes still on the wire.
extern "C" int tcdrain(int fd) {
  static const auto next = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "tcdrain"));
  Uart* u = gUart.load();
  struct stat st {};
  if (u && fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == u->rdev) {
    std::unique_lock lk(u->m);
    if (u->holdDrains) {
      ++u->draining;
      u->drainCv.notify_all();
      u->drainCv.wait(lk, [u] { return u->tickets > 0; });
      --u->tickets;
      --u->draining;
      u->drainCv.notify_all();
      return 0;
    }
  }
  return next(fd);
}

namespace {

struct Request {
  Event ev{true};
  Overlapped ov;
  Request() { ov.hEvent = &ev; }
};

class FakeUart : public ::testing::Test {
 protected:
  SerialApi& api = SystemSerialApi();
  Uart uart;
  int master = -1;
  Handle h = InvalidHandle;

  void SetUp() override {
    int slave = -1;
    char name[128];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    struct stat st {};
    ASSERT_EQ(fstat(slave, &st), 0);
    ::close(slave);
    uart.rdev = st.st_rdev;
    gUart = &uart;
    h = api.CreateFile(name);
    ASSERT_NE(h, InvalidHandle) << GetLastError();
  }
  void TearDown() override {
    if (h != InvalidHandle) {
      EXPECT_TRUE(api.CloseHandle(h));
    }
    gUart = nullptr;
    ::close(master);
    if (uart.lineChange >= 0) ::close(uart.lineChange);
  }
  static Dcb Line(std::uint8_t parity) {
    Dcb d;
    d.BaudRate = 9600;
    d.Flags = dcb::fBinary;
    d.ByteSize = 8;
    d.Parity = parity;
    d.XonChar = 17;
    d.XoffChar = 19;
    return d;
  }
  tcflag_t DeviceCflag() {
    std::lock_guard lk(uart.m);
    return uart.line.c_cflag;
  }
  int DeviceLines() {
    std::lock_guard lk(uart.m);
    return uart.lines;
  }
  // Waits for a pending event; on a time-out ends the wait before its record goes.
  bool Raised(Request& ev) {
    if (ev.ev.Wait(5000)) return true;
    EXPECT_TRUE(api.SetCommMask(h, 0));
    return false;
  }
  // A driver's counter moves, as with a line pulse or a spoiled byte.
  void Count(int serial_icounter_struct::*counter) {
    std::lock_guard lk(uart.m);
    ++(uart.icount.*counter);
  }
  // Opens the device again as one whose driver keeps line counters.
  void ReopenWithCounters() {
    ASSERT_TRUE(api.CloseHandle(h));
    h = InvalidHandle;
    uart.lineChange = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    ASSERT_GE(uart.lineChange, 0);
    uart.counters = true;
    char name[128];
    ASSERT_EQ(ptsname_r(master, name, sizeof name), 0);
    h = api.CreateFile(name);
    ASSERT_NE(h, InvalidHandle) << GetLastError();
  }
  // Waits until `n` drains are held; false after 5 s.
  bool DrainsHeld(int n) {
    std::unique_lock lk(uart.m);
    return uart.drainCv.wait_for(lk, std::chrono::seconds(5), [&] { return uart.draining == n; });
  }
  void ReleaseDrains(int n) {
    std::lock_guard lk(uart.m);
    uart.tickets += n;
    uart.drainCv.notify_all();
  }
  void SetDeviceLines(int bits) {
    std::lock_guard lk(uart.m);
    uart.lines = bits;
  }
};

TEST_F(FakeUart, EachParityReachesTheDeviceAndReadsBack) {
  struct Case {
    std::uint8_t parity;
    tcflag_t bits;  // of PARENB | PARODD | CMSPAR
  };
  for (const Case c :
       {Case{NOPARITY, 0}, Case{ODDPARITY, PARENB | PARODD}, Case{EVENPARITY, PARENB},
        Case{MARKPARITY, PARENB | PARODD | CMSPAR}, Case{SPACEPARITY, PARENB | CMSPAR}}) {
    ASSERT_TRUE(api.SetCommState(h, Line(c.parity))) << int(c.parity) << " " << GetLastError();
    EXPECT_EQ(DeviceCflag() & (PARENB | PARODD | CMSPAR), c.bits) << int(c.parity);
    Dcb back;
    ASSERT_TRUE(api.GetCommState(h, back));
    EXPECT_EQ(back.Parity, c.parity);
  }
}

// With parity on, the driver marks a break as FF 00 00 and a byte with bad parity as FF 00 X.
TEST_F(FakeUart, MarkedBreakAndParityErrorRaiseTheirOwnEvents) {
  struct Case {
    const char* name;
    std::string marks;
    std::uint32_t event, error;
  };
  const Case cases[] = {{"break", std::string("\xFF\x00\x00", 3), EV_BREAK, CE_BREAK},
                        {"parity",
                         std::string("\xFF\x00"
                                     "A",
                                     3),
                         EV_ERR, CE_RXPARITY}};
  ASSERT_TRUE(api.SetCommState(h, Line(EVENPARITY)));
  ASSERT_TRUE(api.SetCommMask(h, EV_BREAK | EV_ERR));
  for (const Case& c : cases) {
    Request ev;
    std::uint32_t mask = 0;
    ASSERT_FALSE(api.WaitCommEvent(h, &mask, &ev.ov)) << c.name;
    ASSERT_EQ(::write(master, c.marks.data(), c.marks.size()), ssize_t(c.marks.size()));
    ASSERT_TRUE(Raised(ev)) << c.name;
    EXPECT_EQ(mask, c.event) << c.name;
    std::uint32_t errors = 0;
    ASSERT_TRUE(api.ClearCommError(h, &errors, nullptr));
    EXPECT_EQ(errors, c.error) << c.name;
  }
}

TEST_F(FakeUart, EscapesSwitchTheirOwnLineEachWay) {
  struct Case {
    std::uint32_t func;
    int line;
    bool on;
  };
  for (const Case c : {Case{SETDTR, TIOCM_DTR, true}, Case{CLRDTR, TIOCM_DTR, false},
                       Case{SETRTS, TIOCM_RTS, true}, Case{CLRRTS, TIOCM_RTS, false}}) {
    const int other = TIOCM_DTR + TIOCM_RTS - c.line;
    SetDeviceLines(c.on ? other : TIOCM_DTR | TIOCM_RTS);
    ASSERT_TRUE(api.EscapeCommFunction(h, c.func)) << c.func;
    EXPECT_EQ(DeviceLines(), c.on ? TIOCM_DTR | TIOCM_RTS : other) << c.func;
  }
}

// A line that changes and changes back before the watcher looks (a ring on the 8250 is counted
// on its trailing edge) shows only in the driver's counters: each must still raise its event.
TEST_F(FakeUart, ALinePulseSeenOnlyInTheCountersRaisesItsOwnEvent) {
  ReopenWithCounters();
  ASSERT_TRUE(api.SetCommMask(h, EV_CTS | EV_DSR | EV_RLSD | EV_RING));
  struct Case {
    int serial_icounter_struct::*counter;
    std::uint32_t event;
  };
  const Case cases[] = {{&serial_icounter_struct::cts, EV_CTS},
                        {&serial_icounter_struct::dsr, EV_DSR},
                        {&serial_icounter_struct::dcd, EV_RLSD},
                        {&serial_icounter_struct::rng, EV_RING}};
  for (const Case& c : cases) {
    Request ev;
    std::uint32_t mask = 0;
    ASSERT_FALSE(api.WaitCommEvent(h, &mask, &ev.ov)) << c.event;
    Count(c.counter);
    const std::uint64_t one = 1;
    ASSERT_EQ(::write(uart.lineChange, &one, sizeof one), ssize_t(sizeof one));
    ASSERT_TRUE(Raised(ev)) << c.event;
    EXPECT_EQ(mask, c.event);
  }
}

// Without marks in the input (no parity, no break watched) a line error shows only in the
// driver's counters, and comes with the byte it spoiled.
TEST_F(FakeUart, ALineErrorInTheCountersIsReportedWithItsByte) {
  ReopenWithCounters();
  ASSERT_TRUE(api.SetCommState(h, Line(NOPARITY)));
  ASSERT_TRUE(api.SetCommTimeouts(h, CommTimeouts{MaxDword, 0, 0, 0, 0}));
  ASSERT_TRUE(api.SetCommMask(h, EV_ERR));
  struct Case {
    int serial_icounter_struct::*counter;
    std::uint32_t error;
  };
  const Case cases[] = {{&serial_icounter_struct::frame, CE_FRAME},
                        {&serial_icounter_struct::parity, CE_RXPARITY},
                        {&serial_icounter_struct::overrun, CE_OVERRUN},
                        {&serial_icounter_struct::buf_overrun, CE_OVERRUN}};
  for (const Case& c : cases) {
    Request ev;
    std::uint32_t mask = 0;
    ASSERT_FALSE(api.WaitCommEvent(h, &mask, &ev.ov)) << c.error;
    Count(c.counter);
    ASSERT_EQ(::write(master, "z", 1), 1);
    ASSERT_TRUE(Raised(ev)) << c.error;
    EXPECT_EQ(mask, EV_ERR) << c.error;
    std::uint32_t errors = 0;
    ASSERT_TRUE(api.ClearCommError(h, &errors, nullptr));
    EXPECT_EQ(errors, c.error);
    Request rd;
    char got = 0;
    std::uint32_t n = 0;
    ASSERT_TRUE(api.ReadFile(h, &got, 1, &n, &rd.ov)) << GetLastError();
    EXPECT_EQ(got, 'z') << c.error;
  }
}

// RS-485 with the transmitter switched by hand: a writer whose bytes have left must not turn
// the transmitter off under another writer's bytes still on the wire.
TEST_F(FakeUart, RtsStaysOnUntilTheLastOfTwoWritersBytesHaveLeft) {
  Dcb d = Line(NOPARITY);
  d.Flags |= RTS_CONTROL_TOGGLE << dcb::fRtsControlShift;
  ASSERT_TRUE(api.SetCommState(h, d)) << GetLastError();
  ASSERT_EQ(DeviceLines() & TIOCM_RTS, 0);
  {
    std::lock_guard lk(uart.m);
    uart.holdDrains = true;
  }
  std::mutex doneM;
  std::condition_variable doneCv;
  int done = 0;
  auto writer = [&](char c) {
    Request r;
    std::uint32_t n = 0;
    EXPECT_TRUE(api.WriteFile(h, &c, 1, &n, &r.ov)) << GetLastError();
    EXPECT_EQ(n, 1u);
    std::lock_guard lk(doneM);
    ++done;
    doneCv.notify_all();
  };
  std::thread first(writer, 'a');
  const bool firstHeld = DrainsHeld(1);
  std::thread second(writer, 'b');
  const bool bothHeld = firstHeld && DrainsHeld(2);
  const int rtsWhileBoth = DeviceLines() & TIOCM_RTS;
  ReleaseDrains(1);
  bool oneDone;
  {
    std::unique_lock lk(doneM);
    oneDone = doneCv.wait_for(lk, std::chrono::seconds(5), [&] { return done == 1; });
  }
  const int rtsWhileOneLeft = DeviceLines() & TIOCM_RTS;
  ReleaseDrains(1);
  first.join();
  second.join();
  {
    std::lock_guard lk(uart.m);
    uart.holdDrains = false;
  }
  ASSERT_TRUE(bothHeld);
  ASSERT_TRUE(oneDone);
  EXPECT_EQ(rtsWhileBoth, TIOCM_RTS);
  EXPECT_EQ(rtsWhileOneLeft, TIOCM_RTS);
  EXPECT_EQ(DeviceLines() & TIOCM_RTS, 0);
  char got[2] = {};
  EXPECT_EQ(::read(master, got, 2), 2);
}

TEST_F(FakeUart, EachModemInputShowsInTheStatus) {
  struct Case {
    int line;
    std::uint32_t status;
  };
  for (const Case c : {Case{TIOCM_CTS, MS_CTS_ON}, Case{TIOCM_DSR, MS_DSR_ON},
                       Case{TIOCM_RNG, MS_RING_ON}, Case{TIOCM_CAR, MS_RLSD_ON}}) {
    SetDeviceLines(c.line | TIOCM_DTR | TIOCM_RTS);  // outputs are not in the status
    std::uint32_t status = 0;
    ASSERT_TRUE(api.GetCommModemStatus(h, &status));
    EXPECT_EQ(status, c.status) << c.line;
  }
}

}  // namespace
