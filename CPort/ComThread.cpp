#include "ComThread.h"

#include "ComPort.h"
#include "UiDispatcher.h"

namespace {

// Delivery order: errors first, so they are read before the pending-count query clears them.
constexpr struct {
  TComEvent event;
  std::uint32_t value;
  void (TCustomComPort::*process)();
} kDelivery[] = {
    {evError, serial::EV_ERR, &TCustomComPort::ProcessError},
    {evRxChar, serial::EV_RXCHAR, &TCustomComPort::ProcessRxChar},
    {evTxEmpty, serial::EV_TXEMPTY, &TCustomComPort::ProcessTxEmpty},
    {evBreak, serial::EV_BREAK, &TCustomComPort::ProcessBreak},
    {evRing, serial::EV_RING, &TCustomComPort::ProcessRing},
    {evCTS, serial::EV_CTS, &TCustomComPort::ProcessCtsChange},
    {evDSR, serial::EV_DSR, &TCustomComPort::ProcessDsrChange},
    {evRxFlag, serial::EV_RXFLAG, &TCustomComPort::ProcessRxFlag},
    {evRLSD, serial::EV_RLSD, &TCustomComPort::ProcessRlsdChange},
    {evRx80Full, serial::EV_RX80FULL, &TCustomComPort::ProcessRx80Full},
};

}  // namespace

TComThread::TComThread(TCustomComPort& port, TUiDispatcher& ui) : port_(port), ui_(ui) {
  waitRecord_.hEvent = &waitEvent_;
  port_.api_.SetCommMask(port_.handle_, EventsToMask(port_.Events()));
  thread_ = std::thread([this] { Execute(); });
}

TComThread::~TComThread() {
  StopMonitor();
  // The monitor may be blocked handing a batch to this very thread: serve it until it has ended.
  ui_.ServeUntil([this] { return finished_.load(); });
  if (thread_.joinable()) thread_.join();
}

void TComThread::Destroy(std::unique_ptr<TComThread> monitor) {
  if (!monitor) return;
  if (monitor->InOwnDelivery()) {
    monitor->abandoned_.store(true);
    monitor->StopMonitor();
    std::lock_guard lock(monitor->endMutex_);
    if (!monitor->finished_.load()) {
      monitor->thread_.detach();
      monitor.release();  // the thread frees it
      return;
    }
  }
  monitor.reset();
}

bool TComThread::InOwnDelivery() const {
  const auto self = std::this_thread::get_id();
  return self == thread_.get_id() || self == deliveringOn_.load();
}

void TComThread::StopMonitor() {
  stopEvent_.Set();
  std::this_thread::yield();
}

void TComThread::Execute() {
  serial::SerialApi& api = port_.api_;
  const serial::Handle h = port_.handle_;
  try {
    serial::WaitResult r;
    do {
      api.WaitCommEvent(h, &mask_, &waitRecord_);
      r = serial::WaitForEither(stopEvent_, waitEvent_);
      std::uint32_t n = 0;
      if (r == serial::WaitResult::Object1 && api.GetOverlappedResult(h, &waitRecord_, &n, false)) {
        events_ = MaskToEvents(mask_);
        DispatchEvents();
      }
      // Closed from inside a delivery: the handle is gone and nobody waits for this thread.
      if (abandoned_.load()) break;
    } while (r == serial::WaitResult::Object1);
    if (!abandoned_.load()) {
      // Clearing the mask also completes a wait still pending on the record.
      api.SetCommMask(h, 0);
      api.PurgeComm(h, serial::PURGE_TXCLEAR | serial::PURGE_RXCLEAR);
    }
  } catch (...) {
    // A failed delivery ends the monitor silently; the port stays usable for reads and writes.
  }
  TUiDispatcher& ui = ui_;
  std::unique_lock lock(endMutex_);
  finished_.store(true);
  const bool selfOwned = abandoned_.load() && !thread_.joinable();
  lock.unlock();
  if (selfOwned) {
    delete this;
    return;
  }
  ui.Wake();
}

void TComThread::DispatchEvents() {
  switch (port_.SyncMethod()) {
    case smThreadSync:
      ui_.RunAndWait([this] { DeliverEvents(); });
      break;
    case smWindowSync:
      SendEventMessages();
      break;
    case smNone:
      DeliverEvents();
      break;
  }
}

void TComThread::DeliverEvents() {
  struct Delivering {
    std::atomic<std::thread::id>& on;
    explicit Delivering(std::atomic<std::thread::id>& o) : on(o) {
      on.store(std::this_thread::get_id());
    }
    ~Delivering() { on.store(std::thread::id{}); }
  } delivering(deliveringOn_);
  for (const auto& d : kDelivery) {
    // A handler closed the port: the rest of the batch belongs to a closed port.
    if (abandoned_.load()) return;
    if (events_.Contains(d.event)) (port_.*d.process)();
  }
}

void TComThread::SendEventMessages() {
  const std::shared_ptr<TCustomComPort::EventWindow> window = port_.eventWindow_;
  if (!window) return;
  for (const auto& d : kDelivery)
    if (events_.Contains(d.event)) {
      const std::uint32_t value = d.value;
      ui_.Send([window, value] { window->Deliver(value); });
    }
}
