#include "FakeSerialApi.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "Internal.h"

namespace serial {

struct FakeSerialApi::PendingRead {
  Overlapped* ov;
  unsigned char* buf;
  std::uint32_t n;
  std::uint32_t got = 0;
  detail::ReadPlan plan;
  detail::Clock::time_point lastByte{};
};

FakeSerialApi::FakeSerialApi() : timer_([this] { TimerLoop(); }) {}

FakeSerialApi::~FakeSerialApi() {
  {
    std::lock_guard<std::mutex> lk(mu_);
    stop_ = true;
    for (PendingRead* r : reads_) delete r;
    reads_.clear();
  }
  timerCv_.notify_all();
  timer_.join();
}

// ---- inspection ----

std::vector<FakeSerialApi::Call> FakeSerialApi::Calls() const {
  std::lock_guard<std::mutex> lk(mu_);
  return calls_;
}
std::vector<std::string> FakeSerialApi::CallNames() const {
  std::lock_guard<std::mutex> lk(mu_);
  std::vector<std::string> names;
  for (const Call& c : calls_) names.push_back(c.name);
  return names;
}
int FakeSerialApi::CountOf(const std::string& name) const {
  std::lock_guard<std::mutex> lk(mu_);
  return int(
      std::count_if(calls_.begin(), calls_.end(), [&](const Call& c) { return c.name == name; }));
}
void FakeSerialApi::ClearCalls() {
  std::lock_guard<std::mutex> lk(mu_);
  calls_.clear();
}
#define FAKE_GETTER(type, name, member)  \
  type FakeSerialApi::name() const {     \
    std::lock_guard<std::mutex> lk(mu_); \
    return member;                       \
  }
FAKE_GETTER(Dcb, LastDcb, dcb_)
FAKE_GETTER(CommTimeouts, LastTimeouts, timeouts_)
FAKE_GETTER(std::uint32_t, InQueueSize, inQueue_)
FAKE_GETTER(std::uint32_t, OutQueueSize, outQueue_)
FAKE_GETTER(std::vector<std::uint32_t>, Purges, purges_)
FAKE_GETTER(std::vector<std::uint32_t>, Escapes, escapes_)
FAKE_GETTER(std::string, Written, written_)
FAKE_GETTER(std::string, Immediates, immediates_)
FAKE_GETTER(bool, Rts, rts_)
FAKE_GETTER(bool, Dtr, dtr_)
FAKE_GETTER(bool, BreakOn, break_)
FAKE_GETTER(std::uint32_t, Mask, mask_)
FAKE_GETTER(bool, IsOpen, open_ != InvalidHandle)
FAKE_GETTER(Handle, OpenHandle, open_)
FAKE_GETTER(std::string, OpenPath, openPath_)
FAKE_GETTER(std::size_t, QueuedInput, input_.size())
#undef FAKE_GETTER

// ---- scripting ----

void FakeSerialApi::FailNext(const std::string& name, int error, int times) {
  std::lock_guard<std::mutex> lk(mu_);
  failures_[name] = {error, times};
}
void FakeSerialApi::FailAlways(const std::string& name, int error) {
  std::lock_guard<std::mutex> lk(mu_);
  failures_[name] = {error, -1};
}
void FakeSerialApi::ClearFailures() {
  std::lock_guard<std::mutex> lk(mu_);
  failures_.clear();
}

void FakeSerialApi::Feed(const std::string& bytes) {
  std::lock_guard<std::mutex> lk(mu_);
  ReceiveLocked(bytes);
}

void FakeSerialApi::ReceiveLocked(const std::string& bytes) {
  if (bytes.empty()) return;
  input_.insert(input_.end(), bytes.begin(), bytes.end());
  std::uint32_t ev = EV_RXCHAR;
  if (bytes.find(dcb_.EvtChar) != std::string::npos) ev |= EV_RXFLAG;
  if (inQueue_ != 0 && input_.size() * 5 >= std::size_t(inQueue_) * 4) ev |= EV_RX80FULL;
  RaiseLocked(ev);
  ServeReadsLocked();
}

void FakeSerialApi::SetReadCompletion(ReadCompletion mode) {
  std::lock_guard<std::mutex> lk(mu_);
  readMode_ = mode;
  ServeReadsLocked();
}
void FakeSerialApi::SetOnWrite(std::function<void(const std::string&)> handler) {
  std::lock_guard<std::mutex> lk(mu_);
  onWrite_ = std::move(handler);
}
void FakeSerialApi::SetWriteLimit(std::uint32_t limit) {
  std::lock_guard<std::mutex> lk(mu_);
  writeLimit_ = limit;
}
void FakeSerialApi::SetWritesPending(bool pending) {
  std::lock_guard<std::mutex> lk(mu_);
  writesPending_ = pending;
}
void FakeSerialApi::CompleteWrites() {
  std::vector<std::string> done;
  std::function<void(const std::string&)> handler;
  {
    std::lock_guard<std::mutex> lk(mu_);
    while (!writes_.empty()) {
      PendingWrite w = std::move(writes_.front());
      writes_.pop_front();
      written_ += w.data;
      detail::FinishRequest(w.ov, std::uint32_t(w.data.size()), 0);
      done.push_back(std::move(w.data));
    }
    if (!done.empty()) RaiseLocked(EV_TXEMPTY);
    handler = onWrite_;
  }
  if (handler)
    for (const std::string& d : done) handler(d);
}

void FakeSerialApi::SetModemStatus(std::uint32_t status) {
  std::lock_guard<std::mutex> lk(mu_);
  const std::uint32_t changed = modem_ ^ status;
  modem_ = status;
  std::uint32_t ev = 0;
  if (changed & MS_CTS_ON) ev |= EV_CTS;
  if (changed & MS_DSR_ON) ev |= EV_DSR;
  if (changed & MS_RLSD_ON) ev |= EV_RLSD;
  if ((changed & MS_RING_ON) && (status & MS_RING_ON)) ev |= EV_RING;
  RaiseLocked(ev);
}

void FakeSerialApi::RaiseLineErrors(std::uint32_t ceBits) {
  std::lock_guard<std::mutex> lk(mu_);
  errorWord_ |= ceBits;
  std::uint32_t ev = 0;
  if (ceBits & (CE_FRAME | CE_RXPARITY | CE_OVERRUN)) ev |= EV_ERR;
  if (ceBits & CE_BREAK) ev |= EV_BREAK;
  RaiseLocked(ev);
}

void FakeSerialApi::RaiseEvents(std::uint32_t evBits) {
  std::lock_guard<std::mutex> lk(mu_);
  RaiseLocked(evBits);
}

void FakeSerialApi::SetImmediateHold(bool hold) {
  std::lock_guard<std::mutex> lk(mu_);
  immediateHold_ = hold;
}
void FakeSerialApi::ImmediateSent() {
  std::lock_guard<std::mutex> lk(mu_);
  immediateBusy_ = false;
}
void FakeSerialApi::RefuseImmediate(int times) {
  std::lock_guard<std::mutex> lk(mu_);
  immediateRefusals_ = times;
}
void FakeSerialApi::SetDeviceDcb(const Dcb& dcb) {
  std::lock_guard<std::mutex> lk(mu_);
  dcb_ = dcb;
}

// ---- internals ----

bool FakeSerialApi::Enter(Lock& lk, const char* name, Handle h, std::vector<std::int64_t> args,
                          std::string text, bool checkHandle) {
  lk = Lock(mu_);
  args.insert(args.begin(), std::int64_t(h));
  calls_.push_back(Call{name, std::move(args), std::move(text)});
  auto it = failures_.find(name);
  if (it != failures_.end()) {
    const int error = it->second.first;
    if (it->second.second > 0 && --it->second.second == 0) failures_.erase(it);
    return Refuse(error);
  }
  if (checkHandle && (h != open_ || h == InvalidHandle)) return Refuse(EBADF);
  return true;
}

bool FakeSerialApi::Refuse(int error) {
  SetLastError(error);
  return false;
}

void FakeSerialApi::RaiseLocked(std::uint32_t ev) {
  ev &= mask_;
  if (ev == 0) return;
  history_ |= ev;
  if (waitOv_ != nullptr) {
    *waitMask_ = history_;
    history_ = 0;
    Overlapped* ov = waitOv_;
    waitOv_ = nullptr;
    detail::FinishRequest(ov, 0, 0);
  }
}

void FakeSerialApi::ServeReadsLocked() {
  const auto now = detail::Clock::now();
  while (!reads_.empty()) {
    PendingRead* r = reads_.front();
    while (r->got < r->n && !input_.empty()) {
      r->buf[r->got++] = input_.front();
      input_.pop_front();
      r->lastByte = now;
    }
    const bool done = r->got == r->n || r->plan.immediate || (r->plan.anyByte && r->got > 0) ||
                      readMode_ == ReadCompletion::Immediate ||
                      (r->plan.hasTotal && now >= r->plan.total) ||
                      (r->plan.hasInterval && r->got > 0 && now >= r->lastByte + r->plan.interval);
    if (!done) break;
    reads_.pop_front();
    detail::FinishRequest(r->ov, r->got, 0);
    delete r;
  }
  timerCv_.notify_all();
}

void FakeSerialApi::TimerLoop() {
  Lock lk(mu_);
  while (!stop_) {
    detail::Clock::time_point next = detail::Clock::time_point::max();
    if (!reads_.empty()) {
      const PendingRead* r = reads_.front();
      if (r->plan.hasTotal) next = std::min(next, r->plan.total);
      if (r->plan.hasInterval && r->got > 0) next = std::min(next, r->lastByte + r->plan.interval);
    }
    if (next == detail::Clock::time_point::max()) {
      timerCv_.wait(lk);
    } else {
      timerCv_.wait_until(lk, next);
    }
    if (!stop_) ServeReadsLocked();
  }
}

// ---- SerialApi ----

Handle FakeSerialApi::CreateFile(const std::string& path) {
  Lock lk;
  if (!Enter(lk, "CreateFile", InvalidHandle, {}, path, false)) return InvalidHandle;
  calls_.back().args.clear();
  if (open_ != InvalidHandle) {
    Refuse(EBUSY);
    return InvalidHandle;
  }
  open_ = nextHandle_++;
  openPath_ = path;
  input_.clear();
  errorWord_ = 0;
  mask_ = history_ = 0;
  immediateBusy_ = false;
  return open_;
}

bool FakeSerialApi::CloseHandle(Handle h) {
  Lock lk;
  if (!Enter(lk, "CloseHandle", h, {})) return false;
  while (!reads_.empty()) {
    PendingRead* r = reads_.front();
    reads_.pop_front();
    detail::FinishRequest(r->ov, r->got, 0);
    delete r;
  }
  while (!writes_.empty()) {
    detail::FinishRequest(writes_.front().ov, 0, 0);
    writes_.pop_front();
  }
  if (waitOv_) {
    *waitMask_ = 0;
    detail::FinishRequest(waitOv_, 0, 0);
    waitOv_ = nullptr;
  }
  open_ = InvalidHandle;
  openPath_.clear();
  input_.clear();
  return true;
}

bool FakeSerialApi::SetCommState(Handle h, const Dcb& dcb) {
  Lock lk;
  if (!Enter(lk, "SetCommState", h, {})) return false;
  dcb_ = dcb;
  return true;
}

bool FakeSerialApi::GetCommState(Handle h, Dcb& dcb) {
  Lock lk;
  if (!Enter(lk, "GetCommState", h, {})) return false;
  dcb = dcb_;
  return true;
}

bool FakeSerialApi::SetCommTimeouts(Handle h, const CommTimeouts& t) {
  Lock lk;
  if (!Enter(lk, "SetCommTimeouts", h,
             {t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
              t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant}))
    return false;
  timeouts_ = t;
  return true;
}

bool FakeSerialApi::GetCommTimeouts(Handle h, CommTimeouts& t) {
  Lock lk;
  if (!Enter(lk, "GetCommTimeouts", h, {})) return false;
  t = timeouts_;
  return true;
}

bool FakeSerialApi::SetupComm(Handle h, std::uint32_t inQueue, std::uint32_t outQueue) {
  Lock lk;
  if (!Enter(lk, "SetupComm", h, {inQueue, outQueue})) return false;
  inQueue_ = inQueue;
  outQueue_ = outQueue;
  return true;
}

bool FakeSerialApi::PurgeComm(Handle h, std::uint32_t flags) {
  Lock lk;
  if (!Enter(lk, "PurgeComm", h, {flags})) return false;
  purges_.push_back(flags);
  if (flags & PURGE_TXABORT) {
    while (!writes_.empty()) {
      detail::FinishRequest(writes_.front().ov, 0, 0);
      writes_.pop_front();
    }
  }
  if (flags & PURGE_RXABORT) {
    while (!reads_.empty()) {
      PendingRead* r = reads_.front();
      reads_.pop_front();
      detail::FinishRequest(r->ov, r->got, 0);
      delete r;
    }
  }
  if (flags & PURGE_RXCLEAR) input_.clear();
  if (flags & PURGE_TXCLEAR) immediateBusy_ = false;
  return true;
}

bool FakeSerialApi::EscapeCommFunction(Handle h, std::uint32_t func) {
  Lock lk;
  if (!Enter(lk, "EscapeCommFunction", h, {func})) return false;
  switch (func) {
    case SETRTS:
      rts_ = true;
      break;
    case CLRRTS:
      rts_ = false;
      break;
    case SETDTR:
      dtr_ = true;
      break;
    case CLRDTR:
      dtr_ = false;
      break;
    case SETBREAK:
      break_ = true;
      break;
    case CLRBREAK:
      break_ = false;
      break;
    case SETXOFF:
    case SETXON:
      break;
    default:
      return Refuse(EINVAL);
  }
  escapes_.push_back(func);
  return true;
}

bool FakeSerialApi::TransmitCommChar(Handle h, char c) {
  Lock lk;
  if (!Enter(lk, "TransmitCommChar", h, {static_cast<unsigned char>(c)})) return false;
  if (immediateRefusals_ > 0) {
    --immediateRefusals_;
    return Refuse(EBUSY);
  }
  if (immediateBusy_) return Refuse(EBUSY);
  immediates_ += c;
  immediateBusy_ = immediateHold_;
  return true;
}

bool FakeSerialApi::ClearCommError(Handle h, std::uint32_t* errors, ComStat* stat) {
  Lock lk;
  if (!Enter(lk, "ClearCommError", h, {})) return false;
  if (errors) *errors = errorWord_;
  errorWord_ = 0;
  if (stat) {
    *stat = ComStat{};
    stat->cbInQue = std::uint32_t(input_.size());
    for (const PendingWrite& w : writes_) stat->cbOutQue += std::uint32_t(w.data.size());
  }
  return true;
}

bool FakeSerialApi::GetCommModemStatus(Handle h, std::uint32_t* status) {
  Lock lk;
  if (!Enter(lk, "GetCommModemStatus", h, {})) return false;
  if (status) *status = modem_;
  return true;
}

bool FakeSerialApi::SetCommMask(Handle h, std::uint32_t mask) {
  Lock lk;
  if (!Enter(lk, "SetCommMask", h, {mask})) return false;
  mask_ = mask;
  history_ = 0;
  if (waitOv_) {
    *waitMask_ = 0;
    detail::FinishRequest(waitOv_, 0, 0);
    waitOv_ = nullptr;
  }
  return true;
}

bool FakeSerialApi::GetCommMask(Handle h, std::uint32_t* mask) {
  Lock lk;
  if (!Enter(lk, "GetCommMask", h, {})) return false;
  if (mask) *mask = mask_;
  return true;
}

bool FakeSerialApi::WaitCommEvent(Handle h, std::uint32_t* mask, Overlapped* ov) {
  Lock lk;
  if (!Enter(lk, "WaitCommEvent", h, {})) {
    // As the real backend: a refused request leaves its event clear.
    if (ov && ov->hEvent) ov->hEvent->Reset();
    return false;
  }
  if (ov == nullptr || ov->hEvent == nullptr || mask == nullptr || mask_ == 0 || waitOv_ != nullptr)
    return Refuse(EINVAL);
  detail::StartRequest(ov);
  if (history_ != 0) {
    *mask = history_;
    history_ = 0;
    detail::FinishRequest(ov, 0, 0);
    return true;
  }
  waitOv_ = ov;
  waitMask_ = mask;
  return Refuse(ErrorIoPending);
}

bool FakeSerialApi::WriteFile(Handle h, const void* buf, std::uint32_t n, std::uint32_t* written,
                              Overlapped* ov) {
  Lock lk;
  const char* p = static_cast<const char*>(buf);
  if (!Enter(lk, "WriteFile", h, {n}, std::string(p, p + n))) {
    // As the real backend: a refused request leaves its event clear.
    if (ov && ov->hEvent) ov->hEvent->Reset();
    return false;
  }
  if (ov != nullptr && ov->hEvent == nullptr) return Refuse(EINVAL);
  // Blocking: an overlapped write waited for at once.
  Overlapped own;
  if (!ov) own.hEvent = &detail::ThreadEvent();
  Overlapped* request = ov ? ov : &own;
  detail::StartRequest(request);
  const std::uint32_t accepted = std::min(n, writeLimit_);
  if (writesPending_) {
    writes_.push_back(PendingWrite{request, std::string(p, p + accepted)});
    if (ov) return Refuse(ErrorIoPending);
    lk.unlock();
    return AwaitOwn(h, own, written);
  }
  std::string data(p, p + accepted);
  written_ += data;
  if (written) *written = accepted;
  detail::FinishRequest(request, accepted, 0);
  RaiseLocked(EV_TXEMPTY);
  auto handler = onWrite_;
  lk.unlock();
  if (handler) handler(data);
  if (!ov) return AwaitOwn(h, own, written);
  SetLastError(0);
  return true;
}

bool FakeSerialApi::ReadFile(Handle h, void* buf, std::uint32_t n, std::uint32_t* read,
                             Overlapped* ov) {
  Lock lk;
  if (!Enter(lk, "ReadFile", h, {n})) {
    // As the real backend: a refused request leaves its event clear.
    if (ov && ov->hEvent) ov->hEvent->Reset();
    return false;
  }
  if (ov == nullptr) {
    // Blocking: an overlapped read waited for at once.
    Overlapped own;
    own.hEvent = &detail::ThreadEvent();
    if (!StartReadLocked(buf, n, read, &own) && GetLastError() != ErrorIoPending) return false;
    lk.unlock();
    return AwaitOwn(h, own, read);
  }
  if (ov->hEvent == nullptr) return Refuse(EINVAL);
  return StartReadLocked(buf, n, read, ov);
}

// A blocking call's own request, waited for; its result is taken as an overlapped request's
// is, where a test can make it fail.
bool FakeSerialApi::AwaitOwn(Handle h, Overlapped& own, std::uint32_t* n) {
  detail::OverlappedResult(&own, nullptr, true);
  return GetOverlappedResult(h, &own, n, false);
}

bool FakeSerialApi::StartReadLocked(void* buf, std::uint32_t n, std::uint32_t* read,
                                    Overlapped* ov) {
  detail::StartRequest(ov);
  auto* r = new PendingRead{ov, static_cast<unsigned char*>(buf), n, 0, {}, {}};
  r->plan = detail::PlanRead(timeouts_, n, detail::Clock::now());
  reads_.push_back(r);
  ServeReadsLocked();
  if (!ov->pending.load()) {
    if (read) *read = ov->transferred;
    return true;
  }
  return Refuse(ErrorIoPending);
}

bool FakeSerialApi::GetOverlappedResult(Handle h, Overlapped* ov, std::uint32_t* n, bool wait) {
  {
    Lock lk(mu_);
    calls_.push_back(Call{"GetOverlappedResult", {std::int64_t(h), wait ? 1 : 0}, {}});
    auto it = failures_.find("GetOverlappedResult");
    if (it != failures_.end()) {
      const int error = it->second.first;
      if (it->second.second > 0 && --it->second.second == 0) failures_.erase(it);
      return Refuse(error);
    }
  }
  return detail::OverlappedResult(ov, n, wait);
}

}  // namespace serial
