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
  thread_.join();
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
    } while (r == serial::WaitResult::Object1);
    // Clearing the mask also completes a wait still pending on the record.
    api.SetCommMask(h, 0);
    api.PurgeComm(h, serial::PURGE_TXCLEAR | serial::PURGE_RXCLEAR);
  } catch (...) {
    // A failed delivery ends the monitor silently; the port stays usable for reads and writes.
  }
  finished_.store(true);
  ui_.Wake();
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
  for (const auto& d : kDelivery)
    if (events_.Contains(d.event)) (port_.*d.process)();
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
