// The serial interface the port component is written against: Win32 meanings,
// Linux underneath. Calls report failure by returning false and leaving an
// errno value in the calling thread's last error, as the component expects.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace serial {

using Handle = std::intptr_t;
constexpr Handle InvalidHandle = -1;

constexpr std::uint32_t MaxDword = 0xFFFFFFFFu;
constexpr std::uint32_t Infinite = 0xFFFFFFFFu;

// Per-thread last error; errno values on this platform.
int GetLastError();
void SetLastError(int code);

// Last-error values with a meaning of their own.
constexpr int ErrorIoPending = 997;     // an overlapped request was started and is still running
constexpr int ErrorIoIncomplete = 996;  // GetOverlappedResult(wait=false) on a running request

// Line state record: the members the component fills, in Win32 order.
struct Dcb {
  std::uint32_t DCBlength = 28;
  std::uint32_t BaudRate = 0;
  std::uint32_t Flags = 0;  // fBinary 0x1 ... fAbortOnError 0x4000
  std::uint16_t wReserved = 0;
  std::uint16_t XonLim = 0;
  std::uint16_t XoffLim = 0;
  std::uint8_t ByteSize = 0;
  std::uint8_t Parity = 0;
  std::uint8_t StopBits = 0;
  char XonChar = 0;
  char XoffChar = 0;
  char ErrorChar = 0;
  char EofChar = 0;
  char EvtChar = 0;
  std::uint16_t wReserved1 = 0;
  bool operator==(const Dcb&) const = default;
};

namespace dcb {
constexpr std::uint32_t fBinary = 0x1;
constexpr std::uint32_t fParity = 0x2;
constexpr std::uint32_t fOutxCtsFlow = 0x4;
constexpr std::uint32_t fOutxDsrFlow = 0x8;
constexpr std::uint32_t fDtrControlShift = 4;  // two bits
constexpr std::uint32_t fDtrControlMask = 0x30;
constexpr std::uint32_t fDsrSensitivity = 0x40;
constexpr std::uint32_t fTXContinueOnXoff = 0x80;
constexpr std::uint32_t fOutX = 0x100;
constexpr std::uint32_t fInX = 0x200;
constexpr std::uint32_t fErrorChar = 0x400;
constexpr std::uint32_t fNull = 0x800;
constexpr std::uint32_t fRtsControlShift = 12;  // two bits
constexpr std::uint32_t fRtsControlMask = 0x3000;
constexpr std::uint32_t fAbortOnError = 0x4000;
}  // namespace dcb

constexpr std::uint32_t DTR_CONTROL_DISABLE = 0, DTR_CONTROL_ENABLE = 1, DTR_CONTROL_HANDSHAKE = 2;
constexpr std::uint32_t RTS_CONTROL_DISABLE = 0, RTS_CONTROL_ENABLE = 1, RTS_CONTROL_HANDSHAKE = 2,
                        RTS_CONTROL_TOGGLE = 3;
constexpr std::uint8_t NOPARITY = 0, ODDPARITY = 1, EVENPARITY = 2, MARKPARITY = 3, SPACEPARITY = 4;
constexpr std::uint8_t ONESTOPBIT = 0, ONE5STOPBITS = 1, TWOSTOPBITS = 2;

struct CommTimeouts {
  std::uint32_t ReadIntervalTimeout = 0;
  std::uint32_t ReadTotalTimeoutMultiplier = 0;
  std::uint32_t ReadTotalTimeoutConstant = 0;
  std::uint32_t WriteTotalTimeoutMultiplier = 0;
  std::uint32_t WriteTotalTimeoutConstant = 0;
  bool operator==(const CommTimeouts&) const = default;
};

struct ComStat {
  std::uint32_t Flags = 0;
  std::uint32_t cbInQue = 0;
  std::uint32_t cbOutQue = 0;
};

// PurgeComm flags
constexpr std::uint32_t PURGE_TXABORT = 0x0001, PURGE_RXABORT = 0x0002, PURGE_TXCLEAR = 0x0004,
                        PURGE_RXCLEAR = 0x0008;
// EscapeCommFunction functions
constexpr std::uint32_t SETXOFF = 1, SETXON = 2, SETRTS = 3, CLRRTS = 4, SETDTR = 5, CLRDTR = 6,
                        SETBREAK = 8, CLRBREAK = 9;
// ClearCommError error word
constexpr std::uint32_t CE_RXOVER = 0x0001, CE_OVERRUN = 0x0002, CE_RXPARITY = 0x0004,
                        CE_FRAME = 0x0008, CE_BREAK = 0x0010, CE_TXFULL = 0x0100, CE_IOE = 0x0400,
                        CE_MODE = 0x8000;
// GetCommModemStatus
constexpr std::uint32_t MS_CTS_ON = 0x10, MS_DSR_ON = 0x20, MS_RING_ON = 0x40, MS_RLSD_ON = 0x80;
// Comm event mask
constexpr std::uint32_t EV_RXCHAR = 0x0001, EV_RXFLAG = 0x0002, EV_TXEMPTY = 0x0004,
                        EV_CTS = 0x0008, EV_DSR = 0x0010, EV_RLSD = 0x0020, EV_BREAK = 0x0040,
                        EV_ERR = 0x0080, EV_RING = 0x0100, EV_RX80FULL = 0x0400;

// Manual-reset event object.
class Event {
 public:
  explicit Event(bool initiallySet);
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;
  void Set();
  void Reset();
  bool IsSet() const;
  // Waits up to timeoutMs (Infinite: no limit); true when the event is set.
  bool Wait(std::uint32_t timeoutMs = Infinite) const;

  struct State;  // the backend's; lets WaitForEither wait on two events at once
  State& state() const { return *state_; }

 private:
  std::unique_ptr<State> state_;
};

enum class WaitResult { Object0, Object1, Timeout, Failed };
// Waits for either of two events; when both are set the first one is named.
WaitResult WaitForEither(const Event& first, const Event& second,
                         std::uint32_t timeoutMs = Infinite);

// One overlapped request. The caller owns it and keeps it (and its buffer) alive until the
// request has completed; the backend resets hEvent when the request starts and sets it when
// the request completes.
struct Overlapped {
  Event* hEvent = nullptr;
  // Filled by the backend at completion; read through GetOverlappedResult.
  std::atomic<bool> pending{false};
  std::uint32_t transferred = 0;
  int error = 0;
};

// The serial calls. One object serves every handle it has opened; handles are never reused,
// so a stale handle reaches nothing and fails with EBADF.
class SerialApi {
 public:
  virtual ~SerialApi() = default;

  // Opens "\\.\COMn" (or a plain device path) exclusively for overlapped use.
  // InvalidHandle and last error on failure.
  virtual Handle CreateFile(const std::string& path) = 0;
  // Completes every outstanding request of the handle (with what it holds) before returning.
  virtual bool CloseHandle(Handle h) = 0;

  virtual bool SetCommState(Handle h, const Dcb& dcb) = 0;
  virtual bool GetCommState(Handle h, Dcb& dcb) = 0;
  virtual bool SetCommTimeouts(Handle h, const CommTimeouts& t) = 0;
  virtual bool GetCommTimeouts(Handle h, CommTimeouts& t) = 0;
  virtual bool SetupComm(Handle h, std::uint32_t inQueue, std::uint32_t outQueue) = 0;
  virtual bool PurgeComm(Handle h, std::uint32_t flags) = 0;
  virtual bool EscapeCommFunction(Handle h, std::uint32_t func) = 0;
  virtual bool TransmitCommChar(Handle h, char c) = 0;
  virtual bool ClearCommError(Handle h, std::uint32_t* errors, ComStat* stat) = 0;
  virtual bool GetCommModemStatus(Handle h, std::uint32_t* status) = 0;
  virtual bool SetCommMask(Handle h, std::uint32_t mask) = 0;
  virtual bool GetCommMask(Handle h, std::uint32_t* mask) = 0;

  // Overlapped calls: true when done at once (count set), false with ErrorIoPending while
  // running, false with another error when refused. mask/buffer stay the caller's until done.
  // A refused call leaves the request's event clear, so a wait on it never returns a stale
  // result; a request that never started answers GetOverlappedResult with a count of 0.
  virtual bool WaitCommEvent(Handle h, std::uint32_t* mask, Overlapped* ov) = 0;
  // Without a request record (ov null) a write blocks until it ends, by its count, its time-out
  // or an abort, and a read until it ends by its count or its time-outs; both answer as
  // GetOverlappedResult would then.
  virtual bool WriteFile(Handle h, const void* buf, std::uint32_t n, std::uint32_t* written,
                         Overlapped* ov) = 0;
  virtual bool ReadFile(Handle h, void* buf, std::uint32_t n, std::uint32_t* read,
                        Overlapped* ov) = 0;
  virtual bool GetOverlappedResult(Handle h, Overlapped* ov, std::uint32_t* n, bool wait) = 0;
};

// The Linux backend, one per process.
SerialApi& SystemSerialApi();

}  // namespace serial
