// A scriptable serial device for tests: records every call with its arguments, answers with
// chosen results and models what a pseudo-terminal cannot show (modem lines, a refused
// immediate byte, line errors, calls that fail). One device; each CreateFile gives a new
// handle, and only the handle of the current open reaches it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "SerialApi.h"

namespace serial {

class FakeSerialApi : public SerialApi {
 public:
  // One recorded call. args[0] is the handle for every call but CreateFile; the rest, per call:
  //   CreateFile            text = path
  //   SetCommState          (the record: LastDcb())
  //   SetCommTimeouts       RI, RM, RC, WM, WC
  //   SetupComm             in, out
  //   PurgeComm             flags
  //   EscapeCommFunction    func
  //   TransmitCommChar      byte (0..255)
  //   SetCommMask           mask
  //   WriteFile             count, text = the bytes
  //   ReadFile              count
  //   GetOverlappedResult   wait (0/1)
  struct Call {
    std::string name;
    std::vector<std::int64_t> args;
    std::string text;
  };

  // Reads that cannot be served at once: wait by the time-out rules in real time, or end at
  // once with what is queued (keeps tests fast).
  enum class ReadCompletion { Rules, Immediate };

  FakeSerialApi();
  ~FakeSerialApi() override;

  // --- what was called ---
  std::vector<Call> Calls() const;
  std::vector<std::string> CallNames() const;
  int CountOf(const std::string& name) const;
  void ClearCalls();
  Dcb LastDcb() const;
  CommTimeouts LastTimeouts() const;
  std::uint32_t InQueueSize() const;
  std::uint32_t OutQueueSize() const;
  std::vector<std::uint32_t> Purges() const;   // flags of every PurgeComm, failed ones excluded
  std::vector<std::uint32_t> Escapes() const;  // functions of every successful escape
  std::string Written() const;                 // every byte accepted by WriteFile, in order
  std::string Immediates() const;              // every byte accepted by TransmitCommChar
  bool Rts() const;
  bool Dtr() const;
  bool BreakOn() const;
  std::uint32_t Mask() const;
  bool IsOpen() const;
  Handle OpenHandle() const;  // InvalidHandle when closed
  std::string OpenPath() const;
  std::size_t QueuedInput() const;

  // --- failures: the named call fails with `error` (errno) and has no effect ---
  void FailNext(const std::string& name, int error, int times = 1);
  void FailAlways(const std::string& name, int error);
  void ClearFailures();

  // --- the line ---
  // Bytes arrive: queued, EV_RXCHAR / EV_RXFLAG (the Dcb's EvtChar) / EV_RX80FULL raised,
  // pending reads served.
  void Feed(const std::string& bytes);
  void SetReadCompletion(ReadCompletion mode);
  // Called on the writing thread after each completed write, outside the fake's lock; may Feed.
  void SetOnWrite(std::function<void(const std::string&)> handler);
  // Each write accepts at most this many bytes (a write time-out); MaxDword: no limit.
  void SetWriteLimit(std::uint32_t limit);
  // Writes stay pending until CompleteWrites (or an abort purge / close).
  void SetWritesPending(bool pending);
  void CompleteWrites();
  // Modem inputs (MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON); a change raises EV_CTS,
  // EV_DSR, EV_RLSD, and EV_RING when the ring line comes on.
  void SetModemStatus(std::uint32_t status);
  // CE_* bits join the error word (cleared by ClearCommError); raises EV_ERR, EV_BREAK.
  void RaiseLineErrors(std::uint32_t ceBits);
  // Raises comm events directly (masked by SetCommMask).
  void RaiseEvents(std::uint32_t evBits);
  // Immediate byte: with hold on, an accepted byte keeps the device busy (TransmitCommChar
  // fails with EBUSY) until ImmediateSent(). RefuseImmediate(n): the next n calls fail busy.
  void SetImmediateHold(bool hold);
  void ImmediateSent();
  void RefuseImmediate(int times);
  // GetCommState before any SetCommState answers this record.
  void SetDeviceDcb(const Dcb& dcb);

  // --- SerialApi ---
  Handle CreateFile(const std::string& path) override;
  bool CloseHandle(Handle h) override;
  bool SetCommState(Handle h, const Dcb& dcb) override;
  bool GetCommState(Handle h, Dcb& dcb) override;
  bool SetCommTimeouts(Handle h, const CommTimeouts& t) override;
  bool GetCommTimeouts(Handle h, CommTimeouts& t) override;
  bool SetupComm(Handle h, std::uint32_t inQueue, std::uint32_t outQueue) override;
  bool PurgeComm(Handle h, std::uint32_t flags) override;
  bool EscapeCommFunction(Handle h, std::uint32_t func) override;
  bool TransmitCommChar(Handle h, char c) override;
  bool ClearCommError(Handle h, std::uint32_t* errors, ComStat* stat) override;
  bool GetCommModemStatus(Handle h, std::uint32_t* status) override;
  bool SetCommMask(Handle h, std::uint32_t mask) override;
  bool GetCommMask(Handle h, std::uint32_t* mask) override;
  bool WaitCommEvent(Handle h, std::uint32_t* mask, Overlapped* ov) override;
  bool WriteFile(Handle h, const void* buf, std::uint32_t n, std::uint32_t* written,
                 Overlapped* ov) override;
  bool ReadFile(Handle h, void* buf, std::uint32_t n, std::uint32_t* read, Overlapped* ov) override;
  bool GetOverlappedResult(Handle h, Overlapped* ov, std::uint32_t* n, bool wait) override;

 private:
  struct PendingRead;
  struct PendingWrite {
    Overlapped* ov;
    std::string data;
  };
  using Lock = std::unique_lock<std::mutex>;

  bool StartReadLocked(void* buf, std::uint32_t n, std::uint32_t* read, Overlapped* ov);
  bool AwaitOwn(Handle h, Overlapped& own, std::uint32_t* n);
  bool Enter(Lock& lk, const char* name, Handle h, std::vector<std::int64_t> args,
             std::string text = {}, bool checkHandle = true);
  bool Refuse(int error);
  void RaiseLocked(std::uint32_t ev);
  void ServeReadsLocked();
  void ReceiveLocked(const std::string& bytes);
  void TimerLoop();

  mutable std::mutex mu_;
  std::condition_variable timerCv_;
  std::vector<Call> calls_;
  std::map<std::string, std::pair<int, int>> failures_;  // name -> (error, times; -1 always)

  Handle nextHandle_ = 0x100;
  Handle open_ = InvalidHandle;
  std::string openPath_;
  Dcb dcb_;
  CommTimeouts timeouts_;
  std::uint32_t inQueue_ = 4096, outQueue_ = 4096;
  std::vector<std::uint32_t> purges_, escapes_;
  std::string written_, immediates_;
  bool rts_ = false, dtr_ = false, break_ = false;
  std::uint32_t modem_ = 0, errorWord_ = 0;
  std::uint32_t mask_ = 0, history_ = 0;
  Overlapped* waitOv_ = nullptr;
  std::uint32_t* waitMask_ = nullptr;
  std::deque<unsigned char> input_;
  std::deque<PendingRead*> reads_;
  std::deque<PendingWrite> writes_;
  ReadCompletion readMode_ = ReadCompletion::Rules;
  std::function<void(const std::string&)> onWrite_;
  std::uint32_t writeLimit_ = MaxDword;
  bool writesPending_ = false;
  bool immediateHold_ = false, immediateBusy_ = false;
  int immediateRefusals_ = 0;
  bool stop_ = false;
  std::thread timer_;
};

}  // namespace serial
