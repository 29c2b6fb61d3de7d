// The Linux backend: Win32 serial semantics over a tty.
//
// Who reads the fd: a thread waiting for its own read (Event::Wait -> Drive) polls the fd
// itself, which saves a hand-over between threads on every reply. The per-device watcher
// thread polls it only when nobody drives and something needs input: a pending comm-event
// wait, or a read whose owner is not waiting in Event::Wait. Bytes nobody asks for stay in
// the kernel's buffer and are drained into the layer's queue on demand (ClearCommError,
// ReadFile, WaitCommEvent). Every read() of the fd happens under the device mutex, so bytes
// keep their order whoever reads them.
#include "LinuxSerialApi.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <dirent.h>
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fstream>
#include <map>
#include <thread>
#include <vector>

#include "Internal.h"

namespace serial {

namespace {

using detail::Clock;
using Lock = std::unique_lock<std::mutex>;

// <asm/termbits.h> clashes with <termios.h>; the kernel's termios2 as the ioctls take it.
struct termios2 {
  tcflag_t c_iflag;
  tcflag_t c_oflag;
  tcflag_t c_cflag;
  tcflag_t c_lflag;
  cc_t c_line;
  cc_t c_cc[19];
  speed_t c_ispeed;
  speed_t c_ospeed;
};
static_assert(sizeof(termios2) == 44, "kernel struct termios2");
const unsigned long kTCGETS2 = _IOR('T', 0x2A, termios2);
const unsigned long kTCSETS2 = _IOW('T', 0x2B, termios2);
constexpr tcflag_t kBOTHER = 0010000;
constexpr tcflag_t kCBAUD = 0010017;
constexpr tcflag_t kCIBAUD = 002003600000;

// Answers of drivers that have no modem lines (ptys) or no such feature.
bool Unsupported(int err) { return err == ENOTTY || err == EINVAL || err == ENOSYS; }

bool Fail(int err) {
  SetLastError(err);
  return false;
}

timespec ToTimespec(Clock::duration d) {
  if (d < Clock::duration::zero()) d = Clock::duration::zero();
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
  return timespec{time_t(ns / 1000000000), long(ns % 1000000000)};
}

// The kernel lets a poll end late by about 0.1% of its time-out; wait for all but that slack
// (and a little more), then once more for the rest, which ends within the thread's timer slack.
Clock::duration WaitPart(Clock::duration left) {
  const Clock::duration margin = left / 1000 + std::chrono::milliseconds(1);
  return left > 2 * margin ? left - margin : left;
}

// How long the watcher leaves the fd to a caller that reads; within a burst of exchanges it
// then needs no wake-up, and unasked bytes raise their events at most this much (and
// kQuietSlack) later.
constexpr Clock::duration kQuiet = std::chrono::milliseconds(2);
// The events a caller's own exchanges raise (its request went out, its reply came in, with
// the event character in it) are held for as long as it keeps exchanging, up to kBurstHold:
// handed over every kQuiet instead, a slow machine would pay a monitor round trip every few
// exchanges. Any other event ends the hold within kQuiet of its batch's first event.
constexpr std::uint32_t kOwnEvents = EV_RXCHAR | EV_RXFLAG | EV_TXEMPTY;
constexpr Clock::duration kBurstHold = std::chrono::milliseconds(50);
// How late the watcher may notice that a quiet period has ended. While exchanges go on, each
// extends the period; a watcher waking at every end it had seen would wake every kQuiet.
constexpr Clock::duration kQuietSlack = std::chrono::milliseconds(3);

std::mutex gPortsMu;
std::string gPortsDir;

// Wakes the line watcher out of TIOCMIWAIT; the handler itself does nothing.
int LineSignal() { return SIGRTMIN + 4; }
void OnLineSignal(int) {}
// Other code of the process may later take the signal over, ignore it or reset it (whose
// default ends the process): looked at again before every use, not installed once.
void InstallLineSignal() {
  struct sigaction now {};
  if (sigaction(LineSignal(), nullptr, &now) == 0 && !(now.sa_flags & SA_SIGINFO) &&
      now.sa_handler == OnLineSignal && !(now.sa_flags & SA_RESTART))
    return;
  struct sigaction sa {};
  sa.sa_handler = OnLineSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: the ioctl must return EINTR
  sigaction(LineSignal(), &sa, nullptr);
}

class Device;

struct PendingRead {
  Overlapped* ov;
  unsigned char* buf;
  std::uint32_t n;
  std::uint32_t got;
  detail::ReadPlan plan;
  Clock::time_point lastByte;
};

struct PendingWrite {
  Overlapped* ov;
  const unsigned char* buf;
  std::uint32_t n;
  std::uint32_t done;
  bool hasDeadline;
  Clock::time_point deadline;
};

class Device final : public detail::EventDriver, public std::enable_shared_from_this<Device> {
 public:
  Device(int fd, bool hasLines, bool hasIcount);
  ~Device() override;
  bool Start();  // the watcher thread and its wake-ups; false with errno
  void OwnLockFile(const std::string& path) { lockFile_ = path; }  // removed by Close
  void Close();

  bool SetState(const Dcb& dcb);
  bool GetState(Dcb& dcb);
  bool SetTimeouts(const CommTimeouts& t);
  bool GetTimeouts(CommTimeouts& t);
  bool Setup(std::uint32_t in, std::uint32_t out);
  bool Purge(std::uint32_t flags);
  bool Escape(std::uint32_t func);
  bool Immediate(char c);
  bool ClearError(std::uint32_t* errors, ComStat* stat);
  bool ModemStatus(std::uint32_t* status);
  bool SetMask(std::uint32_t mask);
  bool GetMask(std::uint32_t* mask);
  bool WaitEvent(std::uint32_t* mask, Overlapped* ov);
  bool Write(const void* buf, std::uint32_t n, std::uint32_t* written, Overlapped* ov);
  bool Read(void* buf, std::uint32_t n, std::uint32_t* read, Overlapped* ov);
  bool ReadBlocking(void* buf, std::uint32_t n, std::uint32_t* read);

  detail::Drove Drive(const Overlapped* ov, Clock::time_point deadline, bool infinite) override;
  void Delegate(const Overlapped* ov) override;

 private:
  // Keeps Close waiting until calls that use the fd have left.
  struct Use {
    Device* d;
    explicit Use(Device* dev) : d(dev) { ++d->users_; }
    ~Use() {
      // Only Close waits for the last user to leave.
      if (--d->users_ == 0 && d->closing_.load()) {
        std::lock_guard<std::mutex> lk(d->mu_);
        d->usersCv_.notify_all();
      }
    }
  };

  bool Usable() const;  // under mu_; sets last error when not
  void WatcherLoop();
  void LineLoop();
  void StartLineWatcherLocked();
  void StopLineWatcher(Lock& lk);

  std::size_t RoomLocked() const;
  bool HasRoomLocked() const;  // RoomLocked() != 0, mostly without walking the reads
  // The request path reads the clock once and passes the time down: a read of the clock
  // costs as much as the rest of the bookkeeping of an exchange.
  // False when the device has gone. Without a time, the clock is read only if bytes came.
  bool DrainInputLocked(Clock::time_point now = {});
  void DeliverLocked(const unsigned char* p, std::size_t n, Clock::time_point now);
  void ReceivedLocked(const unsigned char* p, std::size_t n, Clock::time_point now);
  void DecodeLocked(const unsigned char* raw, std::size_t n, Clock::time_point now);
  void ServeReadsLocked(Clock::time_point now);
  void FinishReadLocked(std::size_t index, int error);
  bool BeginReadLocked(void* buf, std::uint32_t n, Overlapped* ov, Clock::time_point now,
                       bool ownerDrivesNow = false);
  void QueueEarlyReadLocked();
  detail::Drove DriveLocked(Lock& lk, const Overlapped* ov, Clock::time_point deadline,
                            bool infinite, Clock::time_point now);
  void PumpWritesLocked();
  void ServeWritesLocked(Clock::time_point now);
  void AfterWriteLocked(bool all, Clock::time_point now);
  void LookAtOutputLocked();
  void RaiseLocked(std::uint32_t ev) { RaiseLocked(ev, Clock::now()); }
  void RaiseLocked(std::uint32_t ev, Clock::time_point now);
  bool HoldLocked(Clock::time_point now) const;
  Clock::time_point HoldEndLocked() const;
  Clock::time_point BatchEndLocked() const;  // when held events go at the latest; max: none
  void CompleteWaitLocked();
  void FlushHeldLocked(Clock::time_point now);
  void GoneLocked();
  void CompleteAllLocked(int error);
  void UpdateWatcherLocked() {
    if (watcherAsleep_) UpdateWatcherLocked(Clock::now());
  }
  void UpdateWatcherLocked(Clock::time_point now);
  void WakeDriverLocked();
  bool WantInLocked(Clock::time_point now) const;
  bool WantOutLocked() const;
  Clock::time_point WatcherDeadlineLocked(Clock::time_point now) const;
  void CheckCountersLocked();
  void SetRtsLocked(bool on);
  void TakeBackLocked(PendingWrite& w);
  void TransmitterOffLocked();
  bool MarkedLocked(std::uint8_t parity, std::uint32_t mask) const;
  static tcflag_t InputFlags(bool marked, std::uint32_t dcbFlags);
  bool ApplyMarksLocked();
  std::uint32_t CharMicrosLocked() const;

  // Invariants. Everything below mu_ is read and written under mu_ only, except where said.
  //  - Who reads the fd: every read() of fd_ happens under mu_ (DrainInputLocked), so bytes
  //    keep their order whichever thread takes them. While driving_ is set only the driving
  //    thread polls fd_ for input; the watcher polls it for input only when WantInLocked says
  //    so (nobody drives, a wait or a read nobody serves needs input, the quiet period is
  //    over) and for output while writes_ or immHeld_ wait for room.
  //  - Requests: each Overlapped in reads_, writes_ or waitOv_ is pending and is completed
  //    exactly once (FinishRequest), by whichever thread finds it done; after closing_ or
  //    gone_ none is left, and none is accepted (Usable).
  //  - Bytes: a byte is in the kernel, in queue_, or in the buffer of the oldest read(s);
  //    queue_ is non-empty only while no read has room left (ServeReadsLocked restores it).
  //    earlyRead_ counts as the oldest read wherever bytes are placed: a drain queues it first.
  const int fd_;
  std::string lockFile_;  // our UUCP lock file, empty when we made none; removed by Close
  const bool hasLines_;   // the driver has modem lines (TIOCMGET works): not a pty
  const bool hasIcount_;  // the driver keeps error and line counters (TIOCGICOUNT)
  int kickFd_ = -1;       // wakes the watcher
  int driverFd_ = -1;     // wakes a thread driving its read

  mutable std::mutex mu_;
  std::condition_variable usersCv_;
  std::atomic<int> users_{0};  // calls inside that use fd_; Close waits for 0
  std::atomic<bool> closing_{
      false};          // set under mu_ by Close only; read without it where users leave
  bool gone_ = false;  // hung up or unplugged: set once, every request ended EIO

  Dcb dcb_;
  bool dcbSet_ = false;  // SetState succeeded once; before, GetState reports the tty's own state
  CommTimeouts timeouts_;
  std::size_t inQueueSize_ = 4096;  // queue_ holds at most this; the rest waits in the kernel
  std::uint32_t outQueueSize_ = 4096;
  std::deque<unsigned char> queue_;  // bytes taken from the kernel that no read has asked for
  // Served oldest first; only the front can end next. Mostly one read, started and ended on
  // every exchange: a vector reuses the same slot where a deque walks through its blocks.
  std::vector<PendingRead> reads_;
  // A blocking read that found nothing to take and nobody driving goes to sleep on the fd
  // before it is queued: its owner then sleeps as soon after its write as it can, and the
  // queueing happens once the reply is there. It joins reads_ when its owner wakes, and
  // before anything else that reads_ must be whole for: another read, a drain, an abort, a
  // close. ov is null when there is none; reads_ is empty while there is one.
  PendingRead earlyRead_{};
  std::deque<PendingWrite> writes_;  // the front is the one being written; the rest wait
  // Set when a read's owner waits outside Event::Wait (it will not drive): the watcher serves
  // the reads then. Cleared when reads_ empties.
  bool readsDelegated_ = false;
  // Until then the watcher leaves the fd to a caller that is about to drive its read, so that
  // it need not be woken off the fd and back on around every exchange. Only ever moves later.
  Clock::time_point quietUntil_{};

  // history_: events raised (within mask_) and not yet handed to a wait. A wait completes at
  // once with them unless HoldLocked: then they gather for up to kQuiet from heldSince_.
  std::uint32_t mask_ = 0, history_ = 0;
  Clock::time_point heldSince_{};  // since when events (or a look at the output) wait
  Overlapped* waitOv_ = nullptr;   // the one pending WaitCommEvent; waitMask_ is its mask
  std::uint32_t* waitMask_ = nullptr;
  bool rx80Raised_ = false;  // EV_RX80FULL raised and the queue not yet below 80% again

  std::uint32_t errorWord_ = 0;  // CE_ bits gathered until ClearCommError hands them over
  detail::MarkDecoder decoder_;
  bool marked_ = false;              // PARMRK on: errors come as marks in the data
  serial_icounter_struct icount_{};  // the error counters as last taken into errorWord_

  bool softToggle_ = false;   // raise RTS around writes ourselves (no TIOCSRS485)
  bool kernelRs485_ = false;  // the driver switches RTS around writes; undone at close
  int txDraining_ = 0;        // writers waiting unlocked for their bytes to leave (softToggle_)
  bool immHeld_ = false;      // TransmitCommChar's byte waits for room, ahead of writes_
  unsigned char immByte_ = 0;
  bool immOutstanding_ = false;  // an immediate byte went to the kernel; the next waits for it
  bool drainPending_ = false;    // output written, EV_TXEMPTY not yet raised; look at drainCheck_
  // A write ended and whether the output has drained is not looked at yet: only a wait or a
  // batch can show EV_TXEMPTY, so the output queue is asked then, not after every write.
  bool txCheckPending_ = false;
  Clock::time_point drainCheck_{};

  // Set by Drive while a caller polls fd_ for its own read; at most one thread at a time.
  bool driving_ = false;
  std::thread::id driverThread_;

  // What the watcher polls for right now; a change that needs more wakes it (kickFd_). Valid
  // while watcherAsleep_; the watcher recomputes them before every sleep.
  bool watcherIn_ = false, watcherOut_ = false;
  Clock::time_point watcherDeadline_ = Clock::time_point::max();
  bool watcherAsleep_ = false;
  std::thread watcher_;

  // The line watcher runs while mask_ has line events and the driver has lines; lineStop_
  // asks it to end (with the wake-up signal), lineExited_ says it has.
  std::thread line_;
  bool lineRunning_ = false, lineStop_ = false, lineExited_ = false;
  std::condition_variable lineCv_;
  std::uint32_t lastModem_ = 0;         // TIOCMGET at the last look
  serial_icounter_struct lineCount_{};  // the driver's line counters at the last look
};

Device::Device(int fd, bool hasLines, bool hasIcount)
    : fd_(fd), hasLines_(hasLines), hasIcount_(hasIcount) {
  if (hasIcount_) ioctl(fd_, TIOCGICOUNT, &icount_);
  if (hasLines_) {
    int st = 0;
    if (ioctl(fd_, TIOCMGET, &st) == 0) {
      lastModem_ = std::uint32_t(st);
    }
  }
}

Device::~Device() {
  if (kickFd_ >= 0) ::close(kickFd_);
  if (driverFd_ >= 0) ::close(driverFd_);
  if (fd_ >= 0) ::close(fd_);
}

bool Device::Start() {
  kickFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  driverFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (kickFd_ < 0 || driverFd_ < 0) return Fail(errno);
  watcher_ = std::thread([this] { WatcherLoop(); });
  return true;
}

void Device::Close() {
  Lock lk(mu_);
  closing_ = true;
  CompleteAllLocked(0);
  std::uint64_t one = 1;
  [[maybe_unused]] auto r1 = ::write(kickFd_, &one, sizeof one);
  WakeDriverLocked();
  StopLineWatcher(lk);
  lk.unlock();
  if (watcher_.joinable()) watcher_.join();
  lk.lock();
  usersCv_.wait(lk, [&] { return users_.load() == 0; });
  // The kernel's close waits for unsent output, for up to 30 s when flow control holds it:
  // give it the time it needs on the wire, then drop the rest. Output that flow control or a
  // stalled adapter holds moves no byte: a look that finds the queue no shorter than the last
  // ends the wait, so a close never blocks its caller for the whole queue's time.
  if (!gone_) {
    int outq = 0;
    if (ioctl(fd_, TIOCOUTQ, &outq) == 0 && outq > 0) {
      const std::uint32_t charUs = CharMicrosLocked();
      const auto deadline = Clock::now() + std::chrono::microseconds(std::uint64_t(outq) * charUs) +
                            std::chrono::milliseconds(100);
      const auto turn = std::max<Clock::duration>(std::chrono::milliseconds(50),
                                                  std::chrono::microseconds(8ull * charUs));
      int before = outq;
      auto now = Clock::now(), lastMove = now;
      while (outq > 0 && now < deadline && now - lastMove < turn) {
        const timespec ts = ToTimespec(std::min<Clock::duration>(
            {deadline - now, turn, std::chrono::microseconds(std::uint64_t(outq) * charUs)}));
        ppoll(nullptr, 0, &ts, nullptr);
        if (ioctl(fd_, TIOCOUTQ, &outq) != 0) break;
        now = Clock::now();
        if (outq < before) {
          before = outq;
          lastMove = now;
        }
      }
      tcflush(fd_, TCOFLUSH);
    }
  }
  if (kernelRs485_) {
    serial_rs485 rs{};
    ioctl(fd_, TIOCSRS485, &rs);
  }
  // Closing the fd (in the destructor) releases the lock; drop it here already so that a
  // new open of the device succeeds at once even while stale references linger.
  flock(fd_, LOCK_UN);
  ioctl(fd_, TIOCNXCL);
  if (!lockFile_.empty()) unlink(lockFile_.c_str());
  lockFile_.clear();
}

bool Device::Usable() const {
  if (closing_) return Fail(EBADF);
  if (gone_) return Fail(EIO);
  return true;
}

// ---- line state ----

bool Device::SetState(const Dcb& dcb) {
  Use use(this);
  Lock lk(mu_);
  if (!Usable()) return false;
  const std::uint32_t f = dcb.Flags;
  const std::uint32_t rts = (f & dcb::fRtsControlMask) >> dcb::fRtsControlShift;
  const std::uint32_t dtr = (f & dcb::fDtrControlMask) >> dcb::fDtrControlShift;
  // What Linux cannot express is refused rather than silently dropped.
  if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > SPACEPARITY ||
      dcb.StopBits > TWOSTOPBITS || (dcb.StopBits == ONE5STOPBITS && dcb.ByteSize != 5) ||
      (dcb.StopBits == TWOSTOPBITS && dcb.ByteSize == 5) || dtr == DTR_CONTROL_HANDSHAKE ||
      (f & (dcb::fOutxDsrFlow | dcb::fDsrSensitivity)) ||
      (rts == RTS_CONTROL_TOGGLE && (f & dcb::fOutxCtsFlow)) ||
      ((f & (dcb::fOutX | dcb::fInX)) && dcb.XonChar == dcb.XoffChar))
    return Fail(EINVAL);

  termios2 old{};
  if (ioctl(fd_, kTCGETS2, &old) != 0) return Fail(errno);
  termios2 t = old;
  const bool marked = MarkedLocked(dcb.Parity, mask_);
  t.c_iflag = InputFlags(marked, f);
  t.c_oflag = 0;
  t.c_lflag = 0;
  t.c_cflag &= ~(kCBAUD | kCIBAUD | CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS);
  t.c_cflag |= kBOTHER | CREAD | CLOCAL | HUPCL;
  static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
  t.c_cflag |= sizes[dcb.ByteSize - 5];
  if (dcb.StopBits != ONESTOPBIT) t.c_cflag |= CSTOPB;
  switch (dcb.Parity) {
    case ODDPARITY:
      t.c_cflag |= PARENB | PARODD;
      break;
    case EVENPARITY:
      t.c_cflag |= PARENB;
      break;
    case MARKPARITY:
      t.c_cflag |= PARENB | PARODD | CMSPAR;
      break;
    case SPACEPARITY:
      t.c_cflag |= PARENB | CMSPAR;
      break;
    default:
      break;
  }
  if ((f & dcb::fOutxCtsFlow) || rts == RTS_CONTROL_HANDSHAKE) t.c_cflag |= CRTSCTS;
  t.c_ispeed = t.c_ospeed = dcb.BaudRate;
  t.c_cc[VSTART] = cc_t(dcb.XonChar);
  t.c_cc[VSTOP] = cc_t(dcb.XoffChar);
  // VMIN 1: with O_NONBLOCK an empty read then says EAGAIN, so a read of 0 means hang-up.
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  if (ioctl(fd_, kTCSETS2, &t) != 0) return Fail(errno);

  // The kernel drops silently what a device cannot do: compare what it kept.
  termios2 back{};
  if (ioctl(fd_, kTCGETS2, &back) != 0) return Fail(errno);
  const tcflag_t cmask = CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS;
  const tcflag_t imask = IXON | IXOFF | INPCK | PARMRK;
  const double want = dcb.BaudRate, got = back.c_ospeed;
  if ((back.c_cflag & cmask) != (t.c_cflag & cmask) ||
      (back.c_iflag & imask) != (t.c_iflag & imask) || got < want * 0.98 || got > want * 1.02) {
    ioctl(fd_, kTCSETS2, &old);
    return Fail(EINVAL);
  }

  // Lines. Devices without modem control (ENOTTY) have nothing to switch.
  if (hasLines_) {
    int bit = TIOCM_DTR;
    ioctl(fd_, dtr == DTR_CONTROL_DISABLE ? TIOCMBIC : TIOCMBIS, &bit);
  }
  softToggle_ = false;
  if (rts == RTS_CONTROL_TOGGLE) {
    serial_rs485 rs{};
    rs.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    if (ioctl(fd_, TIOCSRS485, &rs) == 0) {
      kernelRs485_ = true;
    } else {
      kernelRs485_ = false;
      softToggle_ = hasLines_;
      SetRtsLocked(false);
    }
  } else {
    if (kernelRs485_) {
      serial_rs485 rs{};
      ioctl(fd_, TIOCSRS485, &rs);
      kernelRs485_ = false;
    }
    if (rts != RTS_CONTROL_HANDSHAKE) SetRtsLocked(rts == RTS_CONTROL_ENABLE);
  }
  if (marked != marked_) {
    marked_ = marked;
    decoder_.Reset();
    if (hasIcount_) ioctl(fd_, TIOCGICOUNT, &icount_);  // errors count from the new framing
  }
  dcb_ = dcb;
  dcb_.DCBlength = 28;
  dcbSet_ = true;
  return true;
}

// Marks take the tty off its raw receive path, which halves throughput: only a line with a
// parity bit needs them to tell parity errors; the rest comes from the driver's counters. A
// break, though, brings no byte unless marked, so nothing would wake a wait for it: a driver
// that can receive one (it keeps counters; a pty does not) is marked while EV_BREAK is watched.
bool Device::MarkedLocked(std::uint8_t parity, std::uint32_t mask) const {
  return parity != NOPARITY || (hasIcount_ && (mask & EV_BREAK));
}

tcflag_t Device::InputFlags(bool marked, std::uint32_t dcbFlags) {
  // IGNBRK keeps a break out of the data, as its mark is; the driver still counts it.
  tcflag_t i = marked ? INPCK | PARMRK : IGNBRK;
  if (dcbFlags & dcb::fOutX) i |= IXON;
  if (dcbFlags & dcb::fInX) i |= IXOFF;
  return i;
}

// Switches the marks when the mask asks for other ones. Bytes the tty took under the old
// flags are fetched first, so that each is decoded as it was received.
bool Device::ApplyMarksLocked() {
  const bool marked = MarkedLocked(dcbSet_ ? dcb_.Parity : std::uint8_t(NOPARITY), mask_);
  if (marked == marked_) return true;
  DrainInputLocked();
  termios2 t{};
  if (ioctl(fd_, kTCGETS2, &t) != 0) return Fail(errno);
  t.c_iflag = InputFlags(marked, dcbSet_ ? dcb_.Flags : 0);
  if (ioctl(fd_, kTCSETS2, &t) != 0) return Fail(errno);
  marked_ = marked;
  decoder_.Reset();
  if (hasIcount_) ioctl(fd_, TIOCGICOUNT, &icount_);
  return true;
}

bool Device::GetState(Dcb& dcb) {
  Use use(this);
  Lock lk(mu_);
  if (!Usable()) return false;
  termios2 t{};
  if (ioctl(fd_, kTCGETS2, &t) != 0) return Fail(errno);
  Dcb d = dcb_;
  if (!dcbSet_) {
    d.Flags = dcb::fBinary;
    d.XonChar = char(t.c_cc[VSTART]);
    d.XoffChar = char(t.c_cc[VSTOP]);
  }
  d.BaudRate = t.c_ospeed;
  switch (t.c_cflag & CSIZE) {
    case CS5:
      d.ByteSize = 5;
      break;
    case CS6:
      d.ByteSize = 6;
      break;
    case CS7:
      d.ByteSize = 7;
      break;
    default:
      d.ByteSize = 8;
      break;
  }
  if (!(t.c_cflag & PARENB)) {
    d.Parity = NOPARITY;
  } else if (t.c_cflag & CMSPAR) {
    d.Parity = (t.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
  } else {
    d.Parity = (t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
  }
  d.StopBits = !(t.c_cflag & CSTOPB) ? ONESTOPBIT : d.ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
  dcb = d;
  return true;
}

bool Device::SetTimeouts(const CommTimeouts& t) {
  Lock lk(mu_);
  if (!Usable()) return false;
  if (t.ReadIntervalTimeout == MaxDword && t.ReadTotalTimeoutMultiplier == MaxDword &&
      t.ReadTotalTimeoutConstant == MaxDword)
    return Fail(EINVAL);
  timeouts_ = t;
  return true;
}

bool Device::GetTimeouts(CommTimeouts& t) {
  Lock lk(mu_);
  if (!Usable()) return false;
  t = timeouts_;
  return true;
}

bool Device::Setup(std::uint32_t in, std::uint32_t out) {
  Lock lk(mu_);
  if (!Usable()) return false;
  // Beyond this a size is a negative number that went through an unsigned parameter.
  constexpr std::uint32_t kLargest = 0x7FFFFFFF;
  if (in > kLargest || out > kLargest) return Fail(EINVAL);
  inQueueSize_ = std::max<std::size_t>(in, 16);
  outQueueSize_ = out;
  rx80Raised_ = queue_.size() * 5 >= inQueueSize_ * 4;
  UpdateWatcherLocked();
  return true;
}

bool Device::Purge(std::uint32_t flags) {
  Use use(this);
  Lock lk(mu_);
  if (!Usable()) return false;
  if (flags & ~std::uint32_t(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR))
    return Fail(EINVAL);
  // What the watcher polls for changes only with requests ended, a held byte dropped or room
  // made in a full queue; a plain clear before a request (the usual purge) leaves it alone.
  const bool watcherMayChange =
      (flags & (PURGE_TXABORT | PURGE_RXABORT)) || immHeld_ || !HasRoomLocked();
  if (flags & PURGE_TXABORT && !writes_.empty()) {
    TakeBackLocked(writes_.front());  // the only one the kernel has bytes of
    while (!writes_.empty()) {
      detail::FinishRequest(writes_.front().ov, writes_.front().done, 0);
      writes_.pop_front();
    }
    // The transmitter was on for the aborted output.
    if (softToggle_) TransmitterOffLocked();
  }
  if (flags & PURGE_RXABORT) {
    QueueEarlyReadLocked();
    while (!reads_.empty()) FinishReadLocked(0, 0);
    // Only a thread driving its read needs the wake-up; a stale one would cost the next read
    // an eventfd write, a read and a second poll (the device link purges before every request).
    if (driving_) WakeDriverLocked();
  }
  // One flush call for both directions: the device link purges both before every request.
  const bool rx = flags & PURGE_RXCLEAR, tx = flags & PURGE_TXCLEAR;
  if (rx || tx) tcflush(fd_, rx && tx ? TCIOFLUSH : rx ? TCIFLUSH : TCOFLUSH);
  if (rx) {
    queue_.clear();
    decoder_.Reset();
    rx80Raised_ = false;
  }
  if (tx) {
    immHeld_ = false;
    immOutstanding_ = false;
  }
  if (watcherMayChange) UpdateWatcherLocked();
  return true;
}

void Device::SetRtsLocked(bool on) {
  if (!hasLines_) return;
  int bit = TIOCM_RTS;
  ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bit);
}

bool Device::Escape(std::uint32_t func) {
  Use use(this);
  Lock lk(mu_);
  if (!Usable()) return false;
  int bit = 0;
  unsigned long req = 0;
  switch (func) {
    case SETRTS:
      req = TIOCMBIS, bit = TIOCM_RTS;
      break;
    case CLRRTS:
      req = TIOCMBIC, bit = TIOCM_RTS;
      break;
    case SETDTR:
      req = TIOCMBIS, bit = TIOCM_DTR;
      break;
    case CLRDTR:
      req = TIOCMBIC, bit = TIOCM_DTR;
      break;
    case SETBREAK:
      if (ioctl(fd_, TIOCSBRK) != 0 && !Unsupported(errno)) return Fail(errno);
      return true;
    case CLRBREAK:
      if (ioctl(fd_, TIOCCBRK) != 0 && !Unsupported(errno)) return Fail(errno);
      return true;
    case SETXOFF:
      if (tcflow(fd_, TCOOFF) != 0) return Fail(errno);
      return true;
    case SETXON:
      if (tcflow(fd_, TCOON) != 0) return Fail(errno);
      return true;
    default:
      return Fail(EINVAL);
  }
  if (!hasLines_) return true;  // no modem control: switching is a no-op
  if (ioctl(fd_, req, &bit) != 0 && !Unsupported(errno)) return Fail(errno);
  return true;
}

bool Device::Immediate(char c) {
  Use use(this);
  Lock lk(mu_);
  if (!Usable()) return false;
  if (immHeld_) return Fail(EBUSY);
  if (immOutstanding_) {
    int outq = 0;
    if (ioctl(fd_, TIOCOUTQ, &outq) == 0 && outq > 0) return Fail(EBUSY);
    immOutstanding_ = false;
  }
  if (softToggle_) SetRtsLocked(true);
  const ssize_t r = ::write(fd_, &c, 1);
  if (r == 1) {
    immOutstanding_ = true;
    if (softToggle_ && writes_.empty()) {
      tcdrain(fd_);
      TransmitterOffLocked();
    }
    AfterWriteLocked(true, Clock::now());
    return true;
  }
  if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
    // The kernel's buffer is full: keep it ahead of our queued writes until it fits.
    immHeld_ = true;
    immByte_ = static_cast<unsigned char>(c);
    UpdateWatcherLocked();
    return true;
  }
  const int err = errno;
  if (err == EIO) GoneLocked();
  return Fail(err);
}

void Device::CheckCountersLocked() {
  if (!hasIcount_) return;
  serial_icounter_struct now{};
  if (ioctl(fd_, TIOCGICOUNT, &now) != 0) return;
  std::uint32_t e = 0;
  if (now.overrun != icount_.overrun || now.buf_overrun != icount_.buf_overrun) e |= CE_OVERRUN;
  icount_.overrun = now.overrun;
  icount_.buf_overrun = now.buf_overrun;
  if (!marked_) {  // with marks the decoder reads these counters byte by byte
    if (now.frame != icount_.frame) e |= CE_FRAME;
    if (now.parity != icount_.parity) e |= CE_RXPARITY;
    if (now.brk != icount_.brk) e |= CE_BREAK;
    icount_.frame = now.frame;
    icount_.parity = now.parity;
    icount_.brk = now.brk;
  }
  if (e == 0) return;
  errorWord_ |= e;
  RaiseLocked(((e & (CE_FRAME | CE_RXPARITY | CE_OVERRUN)) ? EV_ERR : 0u) |
              ((e & CE_BREAK) ? EV_BREAK : 0u));
}

bool Device::ClearError(std::uint32_t* errors, ComStat* stat) {
  Use use(this);
  Lock lk(mu_);
  if (!Usable()) return false;
  if (!DrainInputLocked()) return Fail(EIO);
  CheckCountersLocked();
  if (errors) *errors = errorWord_;
  errorWord_ = 0;
  if (stat) {
    *stat = ComStat{};
    stat->cbInQue = std::uint32_t(queue_.size());
    if (!HasRoomLocked()) {
      int avail = 0;  // bytes the full queue left in the kernel
      if (ioctl(fd_, FIONREAD, &avail) == 0 && avail > 0) stat->cbInQue += std::uint32_t(avail);
    }
    int outq = 0;
    if (ioctl(fd_, TIOCOUTQ, &outq) == 0 && outq > 0) stat->cbOutQue = std::uint32_t(outq);
    for (const PendingWrite& w : writes_) stat->cbOutQue += w.n - w.done;
  }
  return true;
}

bool Device::ModemStatus(std::uint32_t* status) {
  Use use(this);
  Lock lk(mu_);
  if (!Usable()) return false;
  std::uint32_t s = 0;
  if (hasLines_) {
    int st = 0;
    if (ioctl(fd_, TIOCMGET, &st) != 0) {
      if (!Unsupported(errno)) return Fail(errno);
    } else {
      if (st & TIOCM_CTS) s |= MS_CTS_ON;
      if (st & TIOCM_DSR) s |= MS_DSR_ON;
      if (st & TIOCM_RNG) s |= MS_RING_ON;
      if (st & TIOCM_CAR) s |= MS_RLSD_ON;
    }
  }
  if (status) *status = s;
  return true;
}

// ---- comm events ----

constexpr std::uint32_t kLineEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING;
constexpr std::uint32_t kAllEvents = EV_RXCHAR | EV_RXFLAG | EV_TXEMPTY | EV_CTS | EV_DSR |
                                     EV_RLSD | EV_BREAK | EV_ERR | EV_RING | EV_RX80FULL;

bool Device::SetMask(std::uint32_t mask) {
  Use use(this);
  Lock lk(mu_);
  if (!Usable()) return false;
  if (mask & ~kAllEvents) return Fail(EINVAL);
  const std::uint32_t before = mask_;
  mask_ = mask;
  if (!ApplyMarksLocked()) {
    mask_ = before;
    return false;
  }
  history_ = 0;
  txCheckPending_ = false;
  if (waitOv_) {
    *waitMask_ = 0;
    Overlapped* ov = waitOv_;
    waitOv_ = nullptr;
    detail::FinishRequest(ov, 0, 0);
  }
  // The line watcher waits for the lines of the old mask: restart it for the new one.
  if (lineRunning_) StopLineWatcher(lk);
  if ((mask_ & kLineEvents) && hasLines_) StartLineWatcherLocked();
  UpdateWatcherLocked();
  return true;
}

bool Device::GetMask(std::uint32_t* mask) {
  Lock lk(mu_);
  if (!Usable()) return false;
  if (mask) *mask = mask_;
  return true;
}

bool Device::WaitEvent(std::uint32_t* mask, Overlapped* ov) {
  Use use(this);
  Lock lk(mu_);
  if (ov == nullptr || ov->hEvent == nullptr || mask == nullptr) return Fail(EINVAL);
  // A refused wait leaves its event clear, so a monitor waiting on it does not spin.
  ov->hEvent->Reset();
  if (!Usable()) return false;
  if (mask_ == 0 || waitOv_ != nullptr) return Fail(EINVAL);
  detail::StartRequest(ov);
  // A thread driving its read takes what arrives and raises the events itself; draining here
  // would take the reply from under it and cost it a wake-up.
  if (!driving_ && !DrainInputLocked()) {
    detail::FinishRequest(ov, 0, EIO);
    ov->hEvent->Reset();
    return Fail(EIO);
  }
  if ((history_ != 0 || txCheckPending_) && !HoldLocked(Clock::now())) {
    if (txCheckPending_) LookAtOutputLocked();
    if (history_ != 0) {
      *mask = history_;
      history_ = 0;
      detail::FinishRequest(ov, 0, 0);
      return true;
    }
  }
  waitOv_ = ov;
  waitMask_ = mask;
  UpdateWatcherLocked();
  return Fail(ErrorIoPending);
}

// While a caller runs exchanges back to back (driving its reads, or within the quiet period
// after one), events are gathered and handed over in one batch (see kBurstHold): a monitor
// woken for every write and every reply would cost each exchange two thread wake-ups.
bool Device::HoldLocked(Clock::time_point now) const {
  return (driving_ || now < quietUntil_) && now < HoldEndLocked();
}

Clock::time_point Device::HoldEndLocked() const {
  return heldSince_ + ((history_ & ~kOwnEvents) ? kQuiet : kBurstHold);
}

void Device::CompleteWaitLocked() {
  if (txCheckPending_) LookAtOutputLocked();
  *waitMask_ = history_;
  history_ = 0;
  Overlapped* ov = waitOv_;
  waitOv_ = nullptr;
  detail::FinishRequest(ov, 0, 0);
}

void Device::FlushHeldLocked(Clock::time_point now) {
  if (!waitOv_ || (history_ == 0 && !txCheckPending_) || HoldLocked(now)) return;
  if (txCheckPending_) LookAtOutputLocked();
  if (history_ != 0) CompleteWaitLocked();
}

void Device::RaiseLocked(std::uint32_t ev, Clock::time_point now) {
  ev &= mask_;
  if (ev == 0) return;
  const Clock::time_point endBefore = BatchEndLocked();
  if (history_ == 0 && !txCheckPending_) heldSince_ = now;
  history_ |= ev;
  if (!waitOv_) return;
  if (!HoldLocked(now)) {
    CompleteWaitLocked();
    return;
  }
  // The watcher hands the batch over if the burst goes on too long; it knows of any earlier end.
  if (HoldEndLocked() < endBefore) UpdateWatcherLocked(now);
}

Clock::time_point Device::BatchEndLocked() const {
  return history_ != 0 || txCheckPending_ ? HoldEndLocked() : Clock::time_point::max();
}

void Device::StartLineWatcherLocked() {
  if (lineRunning_) return;
  InstallLineSignal();
  int st = 0;
  if (ioctl(fd_, TIOCMGET, &st) == 0) lastModem_ = std::uint32_t(st);  // changes count from now
  if (hasIcount_) ioctl(fd_, TIOCGICOUNT, &lineCount_);
  lineRunning_ = true;
  lineStop_ = false;
  lineExited_ = false;
  line_ = std::thread([this] { LineLoop(); });
}

void Device::StopLineWatcher(Lock& lk) {
  if (!lineRunning_) return;
  lineStop_ = true;
  const pthread_t th = line_.native_handle();
  InstallLineSignal();
  // TIOCMIWAIT only returns on a change or a signal; repeat the signal in case it arrived
  // just before the thread entered the ioctl.
  while (!lineExited_) {
    pthread_kill(th, LineSignal());
    lineCv_.wait_for(lk, std::chrono::milliseconds(2));
  }
  lk.unlock();
  line_.join();
  lk.lock();
  lineRunning_ = false;
}

void Device::LineLoop() {
  // The thread inherits its creator's signal mask; the stop signal must get through.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, LineSignal());
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  Lock lk(mu_);
  while (!lineStop_ && !gone_) {
    int bits = 0;
    if (mask_ & EV_CTS) bits |= TIOCM_CTS;
    if (mask_ & EV_DSR) bits |= TIOCM_DSR;
    if (mask_ & EV_RLSD) bits |= TIOCM_CD;
    if (mask_ & EV_RING) bits |= TIOCM_RNG;
    lk.unlock();
    const int r = ioctl(fd_, TIOCMIWAIT, bits);
    const int err = errno;
    lk.lock();
    if (lineStop_) break;
    if (r != 0) {
      if (err == EINTR) continue;
      if (err == EIO) GoneLocked();
      break;  // the driver cannot wait for line changes: no line events
    }
    int st = 0;
    if (ioctl(fd_, TIOCMGET, &st) != 0) break;
    std::uint32_t changed = lastModem_ ^ std::uint32_t(st);
    lastModem_ = std::uint32_t(st);
    // A line that changed and changed back between two turns of this loop shows only in the
    // driver's counters; so does a ring, which the 8250 counts on its trailing edge.
    serial_icounter_struct now{};
    if (hasIcount_ && ioctl(fd_, TIOCGICOUNT, &now) == 0) {
      if (now.cts != lineCount_.cts) changed |= TIOCM_CTS;
      if (now.dsr != lineCount_.dsr) changed |= TIOCM_DSR;
      if (now.dcd != lineCount_.dcd) changed |= TIOCM_CD;
      if (now.rng != lineCount_.rng) changed |= TIOCM_RNG;
      lineCount_ = now;
    }
    std::uint32_t ev = 0;
    if (changed & TIOCM_CTS) ev |= EV_CTS;
    if (changed & TIOCM_DSR) ev |= EV_DSR;
    if (changed & TIOCM_CD) ev |= EV_RLSD;
    if (changed & TIOCM_RNG) ev |= EV_RING;
    RaiseLocked(ev);
  }
  lineExited_ = true;
  lineCv_.notify_all();
}

// ---- input ----

bool Device::HasRoomLocked() const {
  if (queue_.size() < inQueueSize_) return true;
  for (const PendingRead& r : reads_)
    if (r.got < r.n) return true;
  return false;
}

std::size_t Device::RoomLocked() const {
  std::size_t room = queue_.size() < inQueueSize_ ? inQueueSize_ - queue_.size() : 0;
  for (const PendingRead& r : reads_) room += r.n - r.got;
  return room;
}

bool Device::DrainInputLocked(Clock::time_point now) {
  if (gone_) return false;
  QueueEarlyReadLocked();
  unsigned char raw[4096];
  for (;;) {
    // Plain data for a waiting read goes straight into its buffer, with no copy on the way.
    const bool direct = !marked_ && !(dcb_.Flags & dcb::fNull) && queue_.empty() &&
                        !reads_.empty() && reads_.front().got < reads_.front().n;
    unsigned char* to = raw;
    std::size_t want = 0;
    if (direct) {
      to = reads_.front().buf + reads_.front().got;
      want = reads_.front().n - reads_.front().got;
    } else {
      want = std::min(RoomLocked(), sizeof raw);
      if (want == 0) return true;
    }
    const ssize_t r = ::read(fd_, to, want);
    if (r > 0) {
      const auto n = std::size_t(r);
      if (now == Clock::time_point{}) now = Clock::now();
      if (!direct) {
        DecodeLocked(raw, n, now);
        if (n < want) return true;
        continue;
      }
      CheckCountersLocked();
      reads_.front().got += std::uint32_t(n);
      reads_.front().lastByte = now;
      ReceivedLocked(to, n, now);
      // What follows a read that is now complete stays in the kernel until it is asked for.
      if (n < want || reads_.empty()) return true;
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    GoneLocked();  // 0: hung up; EIO: the peer or the adapter went away
    return false;
  }
}

void Device::DecodeLocked(const unsigned char* raw, std::size_t n, Clock::time_point now) {
  if (!marked_) {
    // Plain data: 0xFF is a byte like any other. Errors that came with it are counted.
    CheckCountersLocked();
    if (!(dcb_.Flags & dcb::fNull)) {
      DeliverLocked(raw, n, now);
      return;
    }
    unsigned char kept[4096];
    std::size_t k = 0;
    for (std::size_t i = 0; i < n && k < sizeof kept; ++i)
      if (raw[i] != 0) kept[k++] = raw[i];
    DeliverLocked(kept, k, now);
    return;
  }
  unsigned char out[4096];
  std::uint32_t errors = 0;
  detail::MarkDecoder::Options o;
  o.dropNull = (dcb_.Flags & dcb::fNull) != 0;
  o.replace = (dcb_.Flags & dcb::fErrorChar) && (dcb_.Flags & dcb::fParity);
  o.errorChar = static_cast<unsigned char>(dcb_.ErrorChar);
  const std::size_t k = decoder_.Decode(raw, n, out, errors, o, [&](unsigned char b) {
    // The driver's counters tell parity from framing from break where it keeps them.
    serial_icounter_struct now{};
    std::uint32_t e = 0;
    if (hasIcount_ && ioctl(fd_, TIOCGICOUNT, &now) == 0) {
      if (now.brk != icount_.brk) e |= CE_BREAK;
      if (now.frame != icount_.frame) e |= CE_FRAME;
      if (now.parity != icount_.parity) e |= CE_RXPARITY;
      icount_.brk = now.brk;
      icount_.frame = now.frame;
      icount_.parity = now.parity;
    }
    if (e == 0) e = b == 0 ? CE_BREAK : dcb_.Parity != NOPARITY ? CE_RXPARITY : CE_FRAME;
    return e;
  });
  if (errors) {
    errorWord_ |= errors;
    std::uint32_t ev = 0;
    if (errors & (CE_FRAME | CE_RXPARITY | CE_OVERRUN)) ev |= EV_ERR;
    if (errors & CE_BREAK) ev |= EV_BREAK;
    RaiseLocked(ev, now);
  }
  DeliverLocked(out, k, now);
}

void Device::DeliverLocked(const unsigned char* p, std::size_t n, Clock::time_point now) {
  if (n == 0) return;
  std::size_t i = 0;
  for (PendingRead& r : reads_) {
    const std::size_t take = std::min<std::size_t>(r.n - r.got, n - i);
    if (take == 0) continue;
    std::memcpy(r.buf + r.got, p + i, take);
    r.got += std::uint32_t(take);
    r.lastByte = now;
    i += take;
    if (i == n) break;
  }
  if (i < n) queue_.insert(queue_.end(), p + i, p + n);
  ReceivedLocked(p, n, now);
}

// The events of n bytes just placed in reads or the queue, then the reads they may end.
void Device::ReceivedLocked(const unsigned char* p, std::size_t n, Clock::time_point now) {
  std::uint32_t ev = EV_RXCHAR;
  if (std::memchr(p, static_cast<unsigned char>(dcb_.EvtChar), n)) ev |= EV_RXFLAG;
  if (!rx80Raised_ && queue_.size() * 5 >= inQueueSize_ * 4) {
    rx80Raised_ = true;
    ev |= EV_RX80FULL;
  }
  RaiseLocked(ev, now);
  ServeReadsLocked(now);
}

void Device::FinishReadLocked(std::size_t index, int error) {
  PendingRead r = reads_[index];
  reads_.erase(reads_.begin() + std::ptrdiff_t(index));
  if (reads_.empty()) readsDelegated_ = false;
  detail::FinishRequest(r.ov, r.got, error);
  if (driving_ && driverThread_ != std::this_thread::get_id()) WakeDriverLocked();
}

void Device::ServeReadsLocked(Clock::time_point now) {
  while (!reads_.empty()) {
    PendingRead& r = reads_.front();
    while (r.got < r.n && !queue_.empty()) {
      const std::size_t take = std::min<std::size_t>(r.n - r.got, queue_.size());
      std::copy(queue_.begin(), queue_.begin() + std::ptrdiff_t(take), r.buf + r.got);
      queue_.erase(queue_.begin(), queue_.begin() + std::ptrdiff_t(take));
      r.got += std::uint32_t(take);
      r.lastByte = now;
    }
    if (queue_.size() * 5 < inQueueSize_ * 4) rx80Raised_ = false;
    const bool done = r.got == r.n || r.plan.immediate || (r.plan.anyByte && r.got > 0) ||
                      (r.plan.hasTotal && now >= r.plan.total) ||
                      (r.plan.hasInterval && r.got > 0 && now >= r.lastByte + r.plan.interval);
    if (!done) break;
    FinishReadLocked(0, 0);
  }
}

void Device::QueueEarlyReadLocked() {
  if (earlyRead_.ov == nullptr) return;
  reads_.push_back(earlyRead_);  // reads_ was empty: nothing can be ahead of it
  earlyRead_.ov = nullptr;
}

// Starts a read: false when refused (its event left clear), else it is queued or done. A read
// whose owner drives it right away, with nothing to take and nobody else driving, is kept
// aside in earlyRead_ instead, to be queued once its owner wakes.
bool Device::BeginReadLocked(void* buf, std::uint32_t n, Overlapped* ov, Clock::time_point now,
                             bool ownerDrivesNow) {
  if (ov->hEvent) ov->hEvent->Reset();
  if (!Usable()) return false;
  QueueEarlyReadLocked();
  detail::StartRequest(ov);
  const detail::ReadPlan plan = detail::PlanRead(timeouts_, n, now);
  const PendingRead read{ov, static_cast<unsigned char*>(buf), n, 0, plan, now};
  if (ownerDrivesNow && n > 0 && !plan.immediate && reads_.empty() && queue_.empty() && !driving_) {
    earlyRead_ = read;
    return true;  // the drive sets the quiet period
  }
  reads_.push_back(read);
  // A read that must answer now takes what the kernel holds as well, behind the queued bytes
  // and as much as its own buffer holds: the count ClearCommError reported includes bytes a
  // full queue left in the kernel, and a read of that count gets them all. Any other read
  // finds the kernel's bytes in Drive.
  if (plan.immediate && reads_.size() == 1) {
    PendingRead& r = reads_.front();
    const std::size_t take = std::min<std::size_t>(n, queue_.size());
    std::copy(queue_.begin(), queue_.begin() + std::ptrdiff_t(take), r.buf);
    queue_.erase(queue_.begin(), queue_.begin() + std::ptrdiff_t(take));
    r.got = std::uint32_t(take);
    if (take < n && !DrainInputLocked() && take == 0) {
      // Gone with nothing to hand over: refused, as a read of a gone device is.
      if (ov->hEvent) ov->hEvent->Reset();
      return Fail(EIO);
    }
  }
  // Its owner will most likely drive it at once; the watcher takes it if nobody does. A read
  // whose reply an event wait or a status query took in meanwhile belongs to the burst as
  // much: without it such a burst would lose its hold and hand every event over at once.
  if (!plan.immediate) quietUntil_ = std::max(quietUntil_, now + kQuiet);
  ServeReadsLocked(now);
  return true;
}

bool Device::Read(void* buf, std::uint32_t n, std::uint32_t* read, Overlapped* ov) {
  Use use(this);
  Lock lk(mu_);
  if (ov == nullptr || ov->hEvent == nullptr || (buf == nullptr && n > 0)) return Fail(EINVAL);
  const auto now = Clock::now();
  if (!BeginReadLocked(buf, n, ov, now)) return false;
  if (!ov->pending.load()) return detail::OverlappedResult(ov, read, false);
  detail::AttachDriver(ov, shared_from_this());
  UpdateWatcherLocked(now);
  return Fail(ErrorIoPending);
}

// The caller waits for its read right away: the read is started and driven under one lock.
// Every read ends under mu_, so this thread sees its end there, and needs no event for it
// unless another thread drives the device.
bool Device::ReadBlocking(void* buf, std::uint32_t n, std::uint32_t* read) {
  if (buf == nullptr && n > 0) return Fail(EINVAL);
  Overlapped ov;
  {
    Use use(this);
    Lock lk(mu_);
    const auto now = Clock::now();
    if (!BeginReadLocked(buf, n, &ov, now, true)) return false;
    if (ov.pending.load() && !driving_ && !closing_)
      DriveLocked(lk, &ov, Clock::time_point::max(), true, now);
    if (!ov.pending.load()) return detail::OverlappedResult(&ov, read, false);
    // Another thread drives this device: wait as an overlapped read would. The event is given
    // under mu_, where the read can end, so its end cannot miss it.
    ov.hEvent = &detail::ThreadEvent();
    detail::AttachDriver(&ov, shared_from_this());
    UpdateWatcherLocked();
  }
  return detail::OverlappedResult(&ov, read, true);
}

// Every read is completed under mu_, so a read seen completed here has had its event set
// and left alone: the waiter need not take the event's lock to see it.
detail::Drove Device::Drive(const Overlapped* ov, Clock::time_point deadline, bool infinite) {
  Use use(this);
  Lock lk(mu_);
  if (!ov->pending.load()) return detail::Drove::Finished;
  if (driving_ || closing_) return detail::Drove::Cannot;
  return DriveLocked(lk, ov, deadline, infinite, Clock::now());
}

detail::Drove Device::DriveLocked(Lock& lk, const Overlapped* ov, Clock::time_point deadline,
                                  bool infinite, Clock::time_point now) {
  driving_ = true;
  driverThread_ = std::this_thread::get_id();
  // The watcher's deadline then falls before the quiet period this read ends with, so a
  // short drive needs no kick at either end.
  quietUntil_ = std::max(quietUntil_, now + kQuiet);
  UpdateWatcherLocked(now);  // the watcher lets go of the fd
  for (;;) {
    ServeReadsLocked(now);
    if (!ov->pending.load() || gone_ || closing_) break;
    if (!infinite && now >= deadline) break;
    // The next moment a read may end: its total or its interval.
    Clock::time_point until = infinite ? Clock::time_point::max() : deadline;
    // Only the first read can end next.
    const PendingRead* first = earlyRead_.ov ? &earlyRead_ : reads_.empty() ? nullptr : &reads_[0];
    if (first) {
      const PendingRead& r = *first;
      if (r.plan.hasTotal) until = std::min(until, r.plan.total);
      if (r.plan.hasInterval && r.got > 0) until = std::min(until, r.lastByte + r.plan.interval);
    }
    pollfd p[2] = {{fd_, POLLIN, 0}, {driverFd_, POLLIN, 0}};
    if (!earlyRead_.ov && !HasRoomLocked()) p[0].fd = -1;
    lk.unlock();
    timespec ts;
    const timespec* tsp = nullptr;
    if (until != Clock::time_point::max()) {
      ts = ToTimespec(WaitPart(until - now));
      tsp = &ts;
    }
    const int r = ppoll(p, 2, tsp, nullptr);
    const int err = errno;
    lk.lock();
    // The bytes, their events and the end of the drive all take this one time.
    now = Clock::now();
    QueueEarlyReadLocked();
    if (r < 0 && err != EINTR) break;
    if (p[1].revents & POLLIN) {
      std::uint64_t v;
      [[maybe_unused]] auto rr = ::read(driverFd_, &v, sizeof v);
    }
    if (p[0].revents & (POLLIN | POLLHUP | POLLERR)) DrainInputLocked(now);
  }
  driving_ = false;
  // The next exchange of a burst most likely follows within the quiet period.
  quietUntil_ = std::max(quietUntil_, now + kQuiet);
  FlushHeldLocked(now);
  UpdateWatcherLocked(now);  // someone else may need the fd watched now
  return ov->pending.load() ? detail::Drove::Ran : detail::Drove::Finished;
}

void Device::Delegate(const Overlapped* ov) {
  Use use(this);
  Lock lk(mu_);
  if (closing_) return;
  if (!gone_) DrainInputLocked();
  ServeReadsLocked(Clock::now());
  if (ov->pending.load() && !readsDelegated_) {
    readsDelegated_ = true;
    UpdateWatcherLocked();
  }
}

// ---- output ----

std::uint32_t Device::CharMicrosLocked() const {
  const std::uint32_t baud = dcb_.BaudRate ? dcb_.BaudRate : 9600;
  return std::max<std::uint32_t>(1, 11u * 1000000u / baud);
}

void Device::AfterWriteLocked(bool all, Clock::time_point now) {
  if (!all || !(mask_ & EV_TXEMPTY)) return;
  const Clock::time_point endBefore = BatchEndLocked();
  if (history_ == 0 && !txCheckPending_) heldSince_ = now;
  txCheckPending_ = true;
  drainPending_ = false;  // the look at the output decides again
  if (!waitOv_) return;
  FlushHeldLocked(now);
  // Held: the watcher hands the batch over in time; it knows of any earlier end.
  if (waitOv_ && HoldEndLocked() < endBefore) UpdateWatcherLocked(now);
}

void Device::LookAtOutputLocked() {
  txCheckPending_ = false;
  int outq = 0;
  if (ioctl(fd_, TIOCOUTQ, &outq) != 0 || outq == 0) {
    drainPending_ = false;
    history_ |= EV_TXEMPTY & mask_;
    return;
  }
  // Still leaving the wire: look again when it should be out.
  drainPending_ = true;
  drainCheck_ = Clock::now() + std::chrono::microseconds(std::uint64_t(outq) * CharMicrosLocked()) +
                std::chrono::microseconds(200);
  UpdateWatcherLocked();
}

// Without a request record the write blocks until it ends, as a synchronous write does. Most
// writes go into the kernel's buffer at once and then need no event at all.
bool Device::Write(const void* buf, std::uint32_t n, std::uint32_t* written, Overlapped* ov) {
  const bool blocking = ov == nullptr;
  if ((!blocking && ov->hEvent == nullptr) || (buf == nullptr && n > 0)) return Fail(EINVAL);
  Overlapped own;
  if (blocking) ov = &own;
  {
    Use use(this);
    Lock lk(mu_);
    if (ov->hEvent) ov->hEvent->Reset();
    if (!Usable()) return false;
    detail::StartRequest(ov);
    const auto now = Clock::now();
    PendingWrite w{ov, static_cast<const unsigned char*>(buf), n, 0, false, {}};
    w.hasDeadline = detail::WriteDeadline(timeouts_, n, now, &w.deadline);
    if (writes_.empty() && !immHeld_) {
      if (softToggle_) SetRtsLocked(true);
      while (w.done < n) {
        const ssize_t r = ::write(fd_, w.buf + w.done, n - w.done);
        if (r > 0) {
          w.done += std::uint32_t(r);
          continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        const int err = (r < 0) ? errno : EIO;
        if (err == EIO) GoneLocked();
        detail::FinishRequest(ov, w.done, err);
        if (ov->hEvent) ov->hEvent->Reset();
        if (blocking && written) *written = w.done;
        return Fail(err);
      }
      if (w.done == n) {
        if (softToggle_) {
          // Transmitter enable by hand: RTS drops once the last bit has left. Another writer
          // may add its bytes meanwhile; the last one to see its own leave drops it.
          ++txDraining_;
          lk.unlock();
          tcdrain(fd_);
          lk.lock();
          --txDraining_;
          if (writes_.empty() && !immHeld_) TransmitterOffLocked();
        }
        detail::FinishRequest(ov, n, 0);
        if (written) *written = n;
        // A write into the kernel's buffer takes no time worth a second look at the clock.
        AfterWriteLocked(true, softToggle_ ? Clock::now() : now);
        return true;
      }
    }
    writes_.push_back(w);
    UpdateWatcherLocked(now);
    if (!blocking) return Fail(ErrorIoPending);
    // The rest waits for room and the watcher ends it. The event is given under mu_, where
    // the write can end, so its end cannot miss it.
    own.hEvent = &detail::ThreadEvent();
  }
  return detail::OverlappedResult(&own, written, true);
}

void Device::PumpWritesLocked() {
  if (immHeld_) {
    const ssize_t r = ::write(fd_, &immByte_, 1);
    if (r == 1) {
      immHeld_ = false;
      immOutstanding_ = true;
    } else if (r < 0 && errno != EAGAIN && errno != EINTR) {
      GoneLocked();
      return;
    } else {
      return;
    }
  }
  bool completed = false;
  while (!writes_.empty()) {
    PendingWrite& w = writes_.front();
    if (softToggle_ && w.done == 0) SetRtsLocked(true);
    while (w.done < w.n) {
      const ssize_t r = ::write(fd_, w.buf + w.done, w.n - w.done);
      if (r > 0) {
        w.done += std::uint32_t(r);
      } else if (r < 0 && errno == EINTR) {
        continue;
      } else if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        return;
      } else {
        GoneLocked();
        return;
      }
    }
    if (softToggle_) {
      tcdrain(fd_);
      TransmitterOffLocked();
    }
    detail::FinishRequest(w.ov, w.n, 0);
    writes_.pop_front();
    completed = true;
  }
  if (completed) AfterWriteLocked(true, Clock::now());
}

// A write that ends before all of it has gone (time-out, abort) counts what has left. What of
// it the kernel still holds is dropped, or it would go out after a count that left it out;
// only when all that is queued is this write's: older output ahead of it, or an immediate byte
// among it, stays.
void Device::TakeBackLocked(PendingWrite& w) {
  if (immOutstanding_) return;
  // The line keeps sending while we look: output stops first, so the count we take off is the
  // count flushed. Not under software flow, where restarting would override the peer's XOFF.
  const bool stop = !(dcb_.Flags & dcb::fOutX) && tcflow(fd_, TCOOFF) == 0;
  int queued = 0, left = 0;
  if (ioctl(fd_, TIOCOUTQ, &queued) == 0 && queued > 0 && std::uint32_t(queued) <= w.done &&
      tcflush(fd_, TCOFLUSH) == 0 && ioctl(fd_, TIOCOUTQ, &left) == 0 && left < queued)
    w.done -= std::uint32_t(queued - left);
  if (stop) tcflow(fd_, TCOON);
}

// Drops RTS after output, unless a writer is still waiting for its own bytes to leave: they
// follow the ones just gone, and that writer drops it when they have.
void Device::TransmitterOffLocked() {
  if (txDraining_ == 0) SetRtsLocked(false);
}

void Device::ServeWritesLocked(Clock::time_point now) {
  // A write time-out ends the write with what has left.
  while (!writes_.empty() && writes_.front().hasDeadline && now >= writes_.front().deadline) {
    PendingWrite w = writes_.front();
    writes_.pop_front();
    TakeBackLocked(w);
    if (softToggle_) TransmitterOffLocked();
    detail::FinishRequest(w.ov, w.done, 0);
  }
  if (drainPending_ && now >= drainCheck_) AfterWriteLocked(true, now);
}

// ---- failures and completion ----

void Device::CompleteAllLocked(int error) {
  QueueEarlyReadLocked();
  while (!reads_.empty()) FinishReadLocked(0, error);
  while (!writes_.empty()) {
    detail::FinishRequest(writes_.front().ov, writes_.front().done, error);
    writes_.pop_front();
  }
  if (waitOv_) {
    *waitMask_ = 0;
    Overlapped* ov = waitOv_;
    waitOv_ = nullptr;
    detail::FinishRequest(ov, 0, error);
  }
}

void Device::GoneLocked() {
  if (gone_) return;
  gone_ = true;
  CompleteAllLocked(EIO);
  WakeDriverLocked();
  UpdateWatcherLocked();
}

void Device::WakeDriverLocked() {
  std::uint64_t one = 1;
  [[maybe_unused]] auto r = ::write(driverFd_, &one, sizeof one);
}

// ---- the watcher ----

bool Device::WantInLocked(Clock::time_point now) const {
  if (gone_ || closing_ || driving_) return false;
  // A delegated read's owner waits elsewhere. A read nobody drives must still be served: its
  // owner may wait for a write that the peer only takes once we take its reply.
  const bool asked = (readsDelegated_ && !reads_.empty()) ||
                     ((waitOv_ != nullptr || !reads_.empty()) && now >= quietUntil_);
  return asked && HasRoomLocked();
}

bool Device::WantOutLocked() const { return !gone_ && !closing_ && (!writes_.empty() || immHeld_); }

Clock::time_point Device::WatcherDeadlineLocked(Clock::time_point now) const {
  Clock::time_point t = Clock::time_point::max();
  // The end of a quiet period, even when nothing waits for input yet: a read or event wait
  // started within it then finds the watcher's deadline early enough and needs no kick.
  if (quietUntil_ > now) t = quietUntil_ + kQuietSlack;
  if (!driving_ && !reads_.empty()) {
    const PendingRead& r = reads_.front();
    if (r.plan.hasTotal) t = std::min(t, r.plan.total);
    if (r.plan.hasInterval && r.got > 0) t = std::min(t, r.lastByte + r.plan.interval);
  }
  if (!writes_.empty() && writes_.front().hasDeadline) t = std::min(t, writes_.front().deadline);
  if (drainPending_) t = std::min(t, drainCheck_);
  if (waitOv_ && (history_ != 0 || txCheckPending_)) t = std::min(t, HoldEndLocked());
  return t;
}

void Device::UpdateWatcherLocked(Clock::time_point now) {
  if (!watcherAsleep_) return;  // it looks at everything before it sleeps again
  const bool in = WantInLocked(now), out = WantOutLocked();
  if (in != watcherIn_ || out != watcherOut_ || WatcherDeadlineLocked(now) < watcherDeadline_) {
    watcherAsleep_ = false;
    std::uint64_t one = 1;
    [[maybe_unused]] auto r = ::write(kickFd_, &one, sizeof one);
  }
}

void Device::WatcherLoop() {
  Lock lk(mu_);
  while (!closing_) {
    const auto now = Clock::now();
    ServeReadsLocked(now);
    ServeWritesLocked(now);
    FlushHeldLocked(now);
    watcherIn_ = WantInLocked(now);
    watcherOut_ = WantOutLocked();
    watcherDeadline_ = WatcherDeadlineLocked(now);
    pollfd p[2] = {{kickFd_, POLLIN, 0}, {fd_, 0, 0}};
    if (watcherIn_) p[1].events |= POLLIN;
    if (watcherOut_) p[1].events |= POLLOUT;
    if (p[1].events == 0) p[1].fd = -1;  // a hung-up fd would report POLLHUP for ever
    timespec ts;
    const timespec* tsp = nullptr;
    if (watcherDeadline_ != Clock::time_point::max()) {
      ts = ToTimespec(WaitPart(watcherDeadline_ - now));
      tsp = &ts;
    }
    watcherAsleep_ = true;
    lk.unlock();
    const int r = ppoll(p, 2, tsp, nullptr);
    lk.lock();
    watcherAsleep_ = false;
    if (r < 0) continue;
    if (p[0].revents & POLLIN) {
      std::uint64_t v;
      [[maybe_unused]] auto rr = ::read(kickFd_, &v, sizeof v);
    }
    if (closing_) break;
    if (p[1].revents & (POLLHUP | POLLERR | POLLNVAL)) {
      // Hung up (pty peer closed, adapter unplugged): take what is left, then fail.
      if (DrainInputLocked()) GoneLocked();
      continue;
    }
    if ((p[1].revents & POLLIN) && !driving_) DrainInputLocked();
    if (p[1].revents & POLLOUT) PumpWritesLocked();
  }
  watcherAsleep_ = false;
}

// ---- other holders of a device ----
//
// flock and TIOCEXCL only hold against programs that came later or use them too. A terminal
// program announces itself with a UUCP lock file instead, and a program that merely opened
// the device (a modem prober, a shell's exec 3<>) shows only in /proc. Neither tells of a
// holder in another user's process we may not look into, or one that opens after us without
// looking; those stay unknowable here.

std::mutex gLockDirMu;
std::string gLockDir;

std::string LockDirectory() {
  {
    std::lock_guard<std::mutex> lk(gLockDirMu);
    if (!gLockDir.empty()) return gLockDir;
  }
  struct stat st {};
  return stat("/run/lock", &st) == 0 && S_ISDIR(st.st_mode) ? "/run/lock" : "/var/lock";
}

// LCK..ttyUSB0 for /dev/ttyUSB0, LCK..pts_3 for /dev/pts/3: the device's own name, so that
// every program reaching it by any link finds the same file.
std::string UucpLockPath(const std::string& device) {
  char* real = realpath(device.c_str(), nullptr);
  if (!real) return {};
  std::string name = real;
  free(real);
  if (name.rfind("/dev/", 0) == 0) name = name.substr(5);
  std::replace(name.begin(), name.end(), '/', '_');
  return LockDirectory() + "/LCK.." + name;
}

bool ProcessAlive(pid_t pid) { return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM); }

// Between its creation and its pid, a lock file is empty for a moment: one without a pid
// is taken for a crashed writer's only once it is this old.
constexpr std::chrono::seconds kFreshLock{5};

// The pid a lock file names: decimal text with blanks around it (as "%10d\n"), or the old
// binary form, a native 4-byte int. 0 when it is neither.
long LockFilePid(const char* text, std::size_t n) {
  std::size_t i = 0;
  while (i < n && (text[i] == ' ' || text[i] == '\t')) ++i;
  std::size_t end = i;
  long pid = 0;
  while (end < n && end - i < 10 && text[end] >= '0' && text[end] <= '9')
    pid = pid * 10 + (text[end++] - '0');
  const bool ends = end == n || std::isspace(static_cast<unsigned char>(text[end]));
  if (end > i && ends && pid > 0 && pid <= INT_MAX) return pid;
  // No live pid reads as text: four such bytes would be at least 0x20202020.
  if (n == 4) {
    std::int32_t binary = 0;
    std::memcpy(&binary, text, sizeof binary);
    if (binary > 0) return binary;
  }
  return 0;
}

enum class LockState { None, Ours, Held, Stale };

struct LockVerdict {
  LockState state = LockState::None;
  long pid = 0;   // 0: none could be read
  dev_t dev = 0;  // the file judged, so that only that one is taken over
  ino_t ino = 0;
};

// The one reading of a lock file, for the open and for the diagnosis alike. A link, a FIFO
// or a folder there is no lock anybody wrote: it is judged by its age alone, never followed.
LockVerdict JudgeLockFile(const std::string& path) {
  LockVerdict v;
  struct stat st {};
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd >= 0) {
    const bool known = fstat(fd, &st) == 0;
    if (known && S_ISREG(st.st_mode)) {
      char text[64];
      const ssize_t n = ::read(fd, text, sizeof text);
      if (n > 0) v.pid = LockFilePid(text, std::size_t(n));
    }
    ::close(fd);
    if (!known) {
      v.state = LockState::Held;
      return v;
    }
  } else {
    const int err = errno;
    if (lstat(path.c_str(), &st) != 0) return v;  // none there, or a folder we cannot see into
    if (err == EACCES) {
      // Another user's lock we may not read: nothing tells that its owner is gone.
      v.state = LockState::Held;
      return v;
    }
  }
  v.dev = st.st_dev;
  v.ino = st.st_ino;
  if (v.pid == getpid()) {
    v.state = LockState::Ours;
  } else if (v.pid != 0) {
    v.state = ProcessAlive(pid_t(v.pid)) ? LockState::Held : LockState::Stale;
  } else {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    // A time stamp in the future counts from the other side, so a wrong clock cannot keep
    // the port locked for good.
    const auto age = std::chrono::seconds(now.tv_sec - st.st_mtim.tv_sec) +
                     std::chrono::nanoseconds(now.tv_nsec - st.st_mtim.tv_nsec);
    v.state = age < kFreshLock && -age < kFreshLock ? LockState::Held : LockState::Stale;
  }
  return v;
}

// Takes the UUCP lock: false (errno EBUSY) while a live process other than this one holds
// it; a stale file is replaced. A lock folder we may not write in, or a stale lock we may
// not remove, is no reason to refuse the port: *created tells whether there is a file of
// ours to remove at close.
bool TakeUucpLock(const std::string& path, bool* created) {
  *created = false;
  if (path.empty()) return true;
  for (int attempt = 0; attempt < 3; ++attempt) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0) {
      char text[16];
      const int len = std::snprintf(text, sizeof text, "%10d\n", int(getpid()));
      // Readable whatever the umask: other users' programs must see that we are alive.
      const bool ok = fchmod(fd, 0644) == 0 && ::write(fd, text, std::size_t(len)) == len;
      ::close(fd);
      if (!ok) {
        unlink(path.c_str());
        return true;
      }
      *created = true;
      return true;
    }
    if (errno != EEXIST) return true;
    const LockVerdict v = JudgeLockFile(path);
    if (v.state == LockState::Ours) return true;  // left by an open of this process
    if (v.state == LockState::Held) {
      errno = EBUSY;
      return false;
    }
    if (v.state == LockState::None) continue;  // removed meanwhile
    // Stale, but another program may have put its own in its place since we looked.
    struct stat now {};
    if (lstat(path.c_str(), &now) != 0 || now.st_dev != v.dev || now.st_ino != v.ino) continue;
    if (unlink(path.c_str()) != 0 && errno != ENOENT) return true;
  }
  errno = EBUSY;
  return false;
}

// A pty's master holder is the far end of the wire (a simulator keeps the slave open as
// well, so that its master survives our closes): it is no rival.
bool HoldsPtyMaster(const std::string& procDir, int ptyIndex) {
  DIR* fds = opendir((procDir + "/fd").c_str());
  if (!fds) return false;
  bool found = false;
  while (dirent* e = readdir(fds)) {
    if (e->d_name[0] == '.') continue;
    struct stat st {};
    if (stat((procDir + "/fd/" + e->d_name).c_str(), &st) != 0 || !S_ISCHR(st.st_mode) ||
        st.st_rdev != makedev(5, 2))
      continue;
    std::ifstream info(procDir + "/fdinfo/" + e->d_name);
    std::string line;
    while (std::getline(info, line))
      if (line.rfind("tty-index:", 0) == 0 && std::atoi(line.c_str() + 10) == ptyIndex)
        found = true;
    if (found) break;
  }
  closedir(fds);
  return found;
}

// Whether another process this user can look into has the device open.
bool HeldElsewhere(int fd) {
  struct stat mine {};
  if (fstat(fd, &mine) != 0 || !S_ISCHR(mine.st_mode)) return false;
  const unsigned major = ::major(mine.st_rdev), minor = ::minor(mine.st_rdev);
  const int ptyIndex = major >= 136 && major <= 143 ? int((major - 136) * 256 + minor) : -1;
  for (const long pid : ProcessesWithDeviceOpen(mine.st_rdev))
    if (!(ptyIndex >= 0 && HoldsPtyMaster("/proc/" + std::to_string(pid), ptyIndex))) return true;
  return false;
}

// ---- the handle table ----

// A program may exit with ports still open: the table then closes them as it goes, so no
// device is destroyed with its threads still running (std::terminate) and each gives back
// its locks and line settings as CloseHandle would.
struct DeviceTable : std::map<Handle, std::shared_ptr<Device>> {
  ~DeviceTable() {
    for (auto& [h, d] : *this) d->Close();
  }
};

std::mutex gTableMu;
DeviceTable gTable;
Handle gNextHandle = 0x1000;
// Changes with every close, under gTableMu: a thread's last look-up holds while it has not.
std::atomic<std::uint64_t> gClosings{0};

// A port's calls come from one or two threads, one handle each: each thread keeps its last
// look-up and finds the device again without the table's lock.
struct LastFound {
  Handle h = InvalidHandle;
  std::uint64_t closings = 0;
  std::weak_ptr<Device> device;
};
thread_local LastFound tlsLastFound;

std::shared_ptr<Device> Find(Handle h) {
  LastFound& last = tlsLastFound;
  if (last.h == h && last.closings == gClosings.load(std::memory_order_acquire)) {
    if (std::shared_ptr<Device> d = last.device.lock()) return d;
  }
  std::lock_guard<std::mutex> lk(gTableMu);
  auto it = gTable.find(h);
  if (it == gTable.end()) return nullptr;
  last = {h, gClosings.load(std::memory_order_relaxed), it->second};
  return it->second;
}

class LinuxSerialApi final : public SerialApi {
 public:
  Handle CreateFile(const std::string& path) override {
    const std::string dev = ResolvePortName(path);
    const int fd = ::open(dev.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      SetLastError(errno);
      return InvalidHandle;
    }
    auto fail = [fd](int err) {
      ::close(fd);
      SetLastError(err);
      return InvalidHandle;
    };
    // flock also holds against root, whom TIOCEXCL does not stop.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) return fail(errno == EWOULDBLOCK ? EBUSY : errno);
    termios2 t{};
    if (ioctl(fd, kTCGETS2, &t) != 0) return fail(errno);  // not a tty
    if (ioctl(fd, TIOCEXCL) != 0) return fail(errno);
    const std::string lockPath = UucpLockPath(dev);
    bool lockCreated = false;
    if (!TakeUucpLock(lockPath, &lockCreated)) return fail(errno);
    auto failLocked = [&](int err) {
      if (lockCreated) unlink(lockPath.c_str());
      return fail(err);
    };
    if (HeldElsewhere(fd)) return failLocked(EBUSY);
    // Raw bytes, 8N1 at the current speed until SetCommState; no parity, so no marks.
    t.c_iflag = IGNBRK;
    t.c_oflag = 0;
    t.c_lflag = 0;
    t.c_cflag &= ~(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS);
    t.c_cflag |= CS8 | CREAD | CLOCAL | HUPCL;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (ioctl(fd, kTCSETS2, &t) != 0) return failLocked(errno);
    int st = 0;
    const bool hasLines = ioctl(fd, TIOCMGET, &st) == 0;
    serial_icounter_struct ic{};
    const bool hasIcount = ioctl(fd, TIOCGICOUNT, &ic) == 0;
    auto d = std::make_shared<Device>(fd, hasLines, hasIcount);
    if (lockCreated) d->OwnLockFile(lockPath);
    if (!d->Start()) {
      const int err = GetLastError();
      d->Close();
      SetLastError(err);
      return InvalidHandle;
    }
    std::lock_guard<std::mutex> lk(gTableMu);
    const Handle h = gNextHandle++;
    gTable.emplace(h, std::move(d));
    return h;
  }

  bool CloseHandle(Handle h) override {
    std::shared_ptr<Device> d;
    {
      std::lock_guard<std::mutex> lk(gTableMu);
      auto it = gTable.find(h);
      if (it == gTable.end()) return Fail(EBADF);
      d = std::move(it->second);
      gTable.erase(it);
      gClosings.fetch_add(1, std::memory_order_release);
    }
    d->Close();
    return true;
  }

#define WITH_DEVICE(call)              \
  std::shared_ptr<Device> d = Find(h); \
  if (!d) return Fail(EBADF);          \
  return d->call;

  bool SetCommState(Handle h, const Dcb& dcb) override { WITH_DEVICE(SetState(dcb)) }
  bool GetCommState(Handle h, Dcb& dcb) override { WITH_DEVICE(GetState(dcb)) }
  bool SetCommTimeouts(Handle h, const CommTimeouts& t) override { WITH_DEVICE(SetTimeouts(t)) }
  bool GetCommTimeouts(Handle h, CommTimeouts& t) override { WITH_DEVICE(GetTimeouts(t)) }
  bool SetupComm(Handle h, std::uint32_t in, std::uint32_t out) override {
    WITH_DEVICE(Setup(in, out))
  }
  bool PurgeComm(Handle h, std::uint32_t flags) override { WITH_DEVICE(Purge(flags)) }
  bool EscapeCommFunction(Handle h, std::uint32_t func) override { WITH_DEVICE(Escape(func)) }
  bool TransmitCommChar(Handle h, char c) override { WITH_DEVICE(Immediate(c)) }
  bool ClearCommError(Handle h, std::uint32_t* errors, ComStat* stat) override {
    WITH_DEVICE(ClearError(errors, stat))
  }
  bool GetCommModemStatus(Handle h, std::uint32_t* status) override {
    WITH_DEVICE(ModemStatus(status))
  }
  bool SetCommMask(Handle h, std::uint32_t mask) override { WITH_DEVICE(SetMask(mask)) }
  bool GetCommMask(Handle h, std::uint32_t* mask) override { WITH_DEVICE(GetMask(mask)) }
  bool WaitCommEvent(Handle h, std::uint32_t* mask, Overlapped* ov) override {
    std::shared_ptr<Device> d = Find(h);
    if (!d) return Refused(ov, EBADF);
    return d->WaitEvent(mask, ov);
  }
  bool WriteFile(Handle h, const void* buf, std::uint32_t n, std::uint32_t* written,
                 Overlapped* ov) override {
    std::shared_ptr<Device> d = Find(h);
    if (!d) return Refused(ov, EBADF);
    return d->Write(buf, n, written, ov);
  }
  bool ReadFile(Handle h, void* buf, std::uint32_t n, std::uint32_t* read,
                Overlapped* ov) override {
    std::shared_ptr<Device> d = Find(h);
    if (!d) return Refused(ov, EBADF);
    return ov ? d->Read(buf, n, read, ov) : d->ReadBlocking(buf, n, read);
  }
#undef WITH_DEVICE

  bool GetOverlappedResult(Handle, Overlapped* ov, std::uint32_t* n, bool wait) override {
    // The request record knows its device (through its event) while it runs.
    if (ov && ov->hEvent && !wait && ov->pending.load()) ov->hEvent->IsSet();
    return detail::OverlappedResult(ov, n, wait);
  }

 private:
  // A request refused at its start leaves its event clear: nothing will complete it.
  static bool Refused(Overlapped* ov, int err) {
    if (ov && ov->hEvent) ov->hEvent->Reset();
    return Fail(err);
  }
};

}  // namespace

// The executable does not move while it runs: its folder is looked up once.
const std::string& ExecutableDirectory() {
  static const std::string dir = [] {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return std::string();
    const std::string p(path, static_cast<std::size_t>(n));
    const auto slash = p.rfind('/');
    if (slash == std::string::npos) return std::string();
    return slash == 0 ? std::string("/") : p.substr(0, slash);
  }();
  return dir;
}

void SetPortsDirectory(const std::string& path) {
  std::lock_guard<std::mutex> lk(gPortsMu);
  gPortsDir = path;
}

void SetLockDirectory(const std::string& path) {
  std::lock_guard<std::mutex> lk(gLockDirMu);
  gLockDir = path;
}

std::optional<LockFileHolder> BlockingLockFile(const std::string& device) {
  const std::string path = UucpLockPath(ResolvePortName(device));
  if (path.empty()) return std::nullopt;
  const LockVerdict v = JudgeLockFile(path);
  if (v.state != LockState::Held) return std::nullopt;
  return LockFileHolder{path, v.pid};
}

std::string PortsDirectory() {
  std::lock_guard<std::mutex> lk(gPortsMu);
  if (!gPortsDir.empty()) return gPortsDir;
  const std::string& dir = ExecutableDirectory();
  return (dir.empty() ? std::string(".") : dir) + "/ports";
}

std::string ResolvePortName(const std::string& name) {
  std::string rest = name;
  const bool prefixed = rest.rfind("\\\\.\\", 0) == 0;
  if (prefixed) rest = rest.substr(4);
  if (rest.size() > 3 && (rest[0] == 'C' || rest[0] == 'c') && (rest[1] == 'O' || rest[1] == 'o') &&
      (rest[2] == 'M' || rest[2] == 'm') &&
      std::all_of(rest.begin() + 3, rest.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
      rest.size() <= 8) {
    const unsigned long n = std::stoul(rest.substr(3));
    const std::string link = PortsDirectory() + "/COM" + std::to_string(n);
    struct stat st {};
    if (lstat(link.c_str(), &st) == 0) return link;
    if (n == 0) return std::string();  // no such port: the open fails with ENOENT
    return "/dev/ttyS" + std::to_string(n - 1);
  }
  if (prefixed && !rest.empty() && rest[0] != '/') return "/dev/" + rest;
  return rest;
}

SerialApi& SystemSerialApi() {
  static LinuxSerialApi api;
  return api;
}

std::vector<long> ProcessesWithDeviceOpen(dev_t rdev) {
  std::vector<long> pids;
  DIR* proc = opendir("/proc");
  if (!proc) return pids;
  const pid_t self = getpid();
  while (const dirent* p = readdir(proc)) {
    char* end = nullptr;
    const long pid = std::strtol(p->d_name, &end, 10);
    if (*end != '\0' || pid <= 0 || pid == self) continue;
    const std::string fdDir = std::string("/proc/") + p->d_name + "/fd";
    DIR* fds = opendir(fdDir.c_str());
    if (!fds) continue;  // another user's process, or gone
    while (const dirent* e = readdir(fds)) {
      if (e->d_name[0] == '.') continue;
      struct stat st {};
      if (stat((fdDir + "/" + e->d_name).c_str(), &st) == 0 && S_ISCHR(st.st_mode) &&
          st.st_rdev == rdev) {
        pids.push_back(pid);
        break;
      }
    }
    closedir(fds);
  }
  closedir(proc);
  return pids;
}

}  // namespace serial
