#include "ComPort.h"

#include <algorithm>
#include <stdexcept>

#include "ComThread.h"
#include "ErrorReport.h"
#include "UiDispatcher.h"

namespace {

struct EventValue {
  TComEvent event;
  std::uint32_t value;
};

// In ordinal order.
constexpr EventValue kEventValues[] = {
    {evRxChar, serial::EV_RXCHAR}, {evTxEmpty, serial::EV_TXEMPTY},
    {evRxFlag, serial::EV_RXFLAG}, {evRing, serial::EV_RING},
    {evBreak, serial::EV_BREAK},   {evCTS, serial::EV_CTS},
    {evDSR, serial::EV_DSR},       {evError, serial::EV_ERR},
    {evRLSD, serial::EV_RLSD},     {evRx80Full, serial::EV_RX80FULL}};

std::uint32_t Bit(bool on, std::uint32_t flag) { return on ? flag : 0; }

}  // namespace

std::uint32_t EventsToMask(TComEvents events) {
  std::uint32_t mask = 0;
  for (const auto& ev : kEventValues)
    if (events.Contains(ev.event)) mask |= ev.value;
  return mask;
}

TComEvents MaskToEvents(std::uint32_t mask) {
  TComEvents events;
  for (const auto& ev : kEventValues)
    if (mask & ev.value) events.Include(ev.event);
  return events;
}

// --- creation and destruction -------------------------------------------------------------

TCustomComPort::TCustomComPort(serial::SerialApi& api) : api_(api) {
  parity_ = std::make_unique<TComParity>();
  parity_->owner_ = this;
  flowControl_ = std::make_unique<TComFlowControl>();
  flowControl_->owner_ = this;
  timeouts_ = std::make_unique<TComTimeouts>();
  timeouts_->owner_ = this;
  buffer_ = std::make_unique<TComBuffer>();
  buffer_->owner_ = this;
}

TCustomComPort::~TCustomComPort() {
  try {
    CloseDevice();
  } catch (const std::exception& e) {
    ReportApplicationError(e);
  } catch (...) {
    ReportApplicationError(std::runtime_error("Unknown error while closing the port"));
  }
  // A close handler may have failed half-way: never leave a monitor or a handle behind.
  TComThread::Destroy(std::move(monitor_));
  eventWindow_.reset();
  ReleaseDeviceHandle();
  buffer_.reset();
  flowControl_.reset();
  timeouts_.reset();
  parity_.reset();
}

// --- settings -----------------------------------------------------------------------------

void TCustomComPort::SetConnected(bool v) {
  if (loading_) {
    connected_ = v;
    return;
  }
  if (v == connected_) return;
  if (v)
    OpenDevice();
  else
    CloseDevice();
}

template <typename T>
void TCustomComPort::SetLineSetting(T& field, T v) {
  if (field == v) return;
  field = v;
  ApplyLineSettings();
}

void TCustomComPort::SetBaudRate(TBaudRate v) { SetLineSetting(baudRate_, v); }
void TCustomComPort::SetCustomBaudRate(std::int32_t v) { SetLineSetting(customBaudRate_, v); }
void TCustomComPort::SetStopBits(TStopBits v) { SetLineSetting(stopBits_, v); }
void TCustomComPort::SetDataBits(TDataBits v) { SetLineSetting(dataBits_, v); }
void TCustomComPort::SetDiscardNull(bool v) { SetLineSetting(discardNull_, v); }
void TCustomComPort::SetEventChar(char v) { SetLineSetting(eventChar_, v); }

void TCustomComPort::SetPort(const std::string& v) {
  if (v == port_) return;
  port_ = v;
  if (connected_ && !loading_) {
    CloseDevice();
    OpenDevice();
  }
}

void TCustomComPort::SetSyncMethod(TSyncMethod v) {
  if (v == syncMethod_) return;
  if (connected_ && !loading_) throw EComPort(CError_ConnChangeProp);
  syncMethod_ = v;
}

void TCustomComPort::SetParity(const TComParity& v) {
  parity_->Assign(&v);
  ApplyLineSettings();
}

void TCustomComPort::SetFlowControl(const TComFlowControl& v) {
  flowControl_->Assign(&v);
  ApplyLineSettings();
}

void TCustomComPort::SetTimeouts(const TComTimeouts& v) {
  timeouts_->Assign(&v);
  ApplyTimeoutSettings();
}

void TCustomComPort::SetBuffer(const TComBuffer& v) {
  buffer_->Assign(&v);
  ApplyBufferSizes();
}

void TCustomComPort::FinishLoading() {
  loading_ = false;
  if (!connected_) return;
  connected_ = false;
  try {
    OpenDevice();
  } catch (const std::exception& e) {
    ReportApplicationError(e);
  } catch (...) {
    ReportApplicationError(std::runtime_error("Unknown error while opening the port"));
  }
}

// --- lifecycle ----------------------------------------------------------------------------

void TCustomComPort::OpenDevice() {
  if (connected_) return;
  NotifyBeforeOpen();
  AcquireDeviceHandle();
  connected_ = true;
  try {
    ApplyAllSettings();
  } catch (...) {
    ReleaseDeviceHandle();
    connected_ = false;
    throw;
  }
  if (events_.Empty()) {
    monitorStarted_ = false;
  } else {
    if (syncMethod_ == smWindowSync) CreateEventWindow();
    try {
      monitor_ = std::make_unique<TComThread>(*this, UiDispatcher());
    } catch (...) {
      // No thread to be had: leave the port as closed as a failed configuration does.
      ReleaseEventWindow();
      ReleaseDeviceHandle();
      connected_ = false;
      throw;
    }
    monitorStarted_ = true;
  }
  NotifyAfterOpen();
  ProcessCtsChange();
  ProcessDsrChange();
  ProcessRlsdChange();
}

void TCustomComPort::CloseDevice() {
  if (!connected_) return;
  NotifyCtsChange(false);
  NotifyDsrChange(false);
  NotifyRlsdChange(false);
  NotifyBeforeClose();
  api_.PurgeComm(handle_, serial::PURGE_TXABORT | serial::PURGE_RXABORT);
  if (monitorStarted_) {
    TComThread::Destroy(std::move(monitor_));
    monitorStarted_ = false;
    ReleaseEventWindow();
  }
  ReleaseDeviceHandle();
  connected_ = false;
  NotifyAfterClose();
}

bool TCustomComPort::MonitorActive() const { return monitor_ && !monitor_->Finished(); }

void TCustomComPort::CreateEventWindow() {
  eventWindow_ = std::make_shared<EventWindow>(EventWindow{this});
}

void TCustomComPort::ReleaseEventWindow() {
  if (eventWindow_) eventWindow_->port = nullptr;
  eventWindow_.reset();
}

void TCustomComPort::AcquireDeviceHandle() {
  handle_ = api_.CreateFile("\\\\.\\" + port_);
  if (handle_ == serial::InvalidHandle) RaiseWithLastError(CError_OpenFailed);
}

void TCustomComPort::ReleaseDeviceHandle() {
  if (handle_ == serial::InvalidHandle) return;
  api_.CloseHandle(handle_);
  handle_ = serial::InvalidHandle;
}

void TCustomComPort::ApplyAllSettings() {
  ApplyBufferSizes();
  ApplyLineSettings();
  ApplyTimeoutSettings();
}

void TCustomComPort::ApplyLineSettings() {
  if (!connected_ || loading_) return;
  namespace d = serial::dcb;
  const TComParity& par = *parity_;
  const TComFlowControl& fc = *flowControl_;
  const bool errorChar = par.Check() && par.Replace();

  serial::Dcb dcb{};
  dcb.BaudRate = static_cast<std::uint32_t>(baudRate_ == brCustom ? customBaudRate_
                                                                  : BaudRateValue(baudRate_));
  dcb.Flags = d::fBinary | Bit(par.Check(), d::fParity) | Bit(fc.OutCTSFlow(), d::fOutxCtsFlow) |
              Bit(fc.OutDSRFlow(), d::fOutxDsrFlow) |
              (static_cast<std::uint32_t>(fc.ControlDTR()) << d::fDtrControlShift) |
              Bit(fc.DSRSensitivity(), d::fDsrSensitivity) |
              Bit(fc.TxContinueOnXoff(), d::fTXContinueOnXoff) | Bit(fc.XonXoffOut(), d::fOutX) |
              Bit(fc.XonXoffIn(), d::fInX) | Bit(errorChar, d::fErrorChar) |
              Bit(discardNull_, d::fNull) |
              (static_cast<std::uint32_t>(fc.ControlRTS()) << d::fRtsControlShift);
  // A quarter of a queue above 262143 bytes does not fit: hold the limit at its maximum rather
  // than letting it wrap to a small number.
  const std::int32_t limit = std::clamp<std::int32_t>(buffer_->InputSize() / 4, 0, 65535);
  dcb.XonLim = static_cast<std::uint16_t>(limit);
  dcb.XoffLim = static_cast<std::uint16_t>(limit);
  dcb.ByteSize = static_cast<std::uint8_t>(5 + dataBits_);
  dcb.Parity = static_cast<std::uint8_t>(par.Bits());
  dcb.StopBits = static_cast<std::uint8_t>(stopBits_);
  dcb.XonChar = fc.XonChar();
  dcb.XoffChar = fc.XoffChar();
  dcb.ErrorChar = errorChar ? par.ReplaceChar() : 0;
  dcb.EvtChar = eventChar_;
  if (!api_.SetCommState(handle_, dcb)) RaiseWithLastError(CError_SetStateFailed);
}

void TCustomComPort::ApplyTimeoutSettings() {
  if (!connected_ || loading_) return;
  const TComTimeouts& t = *timeouts_;
  serial::CommTimeouts ct;
  ct.ReadIntervalTimeout = static_cast<std::uint32_t>(t.ReadInterval());
  ct.ReadTotalTimeoutMultiplier = static_cast<std::uint32_t>(t.ReadTotalMultiplier());
  ct.ReadTotalTimeoutConstant = static_cast<std::uint32_t>(t.ReadTotalConstant());
  ct.WriteTotalTimeoutMultiplier = static_cast<std::uint32_t>(t.WriteTotalMultiplier());
  ct.WriteTotalTimeoutConstant = static_cast<std::uint32_t>(t.WriteTotalConstant());
  if (!api_.SetCommTimeouts(handle_, ct)) RaiseWithLastError(CError_TimeoutsFailed);
}

void TCustomComPort::ApplyBufferSizes() {
  if (!connected_ || loading_) return;
  if (!api_.SetupComm(handle_, static_cast<std::uint32_t>(buffer_->InputSize()),
                      static_cast<std::uint32_t>(buffer_->OutputSize())))
    RaiseWithLastError(CError_SetupComFailed);
}

void TCustomComPort::RaiseWithLastError(int code) { throw EComPort(code, serial::GetLastError()); }

// --- notifications ------------------------------------------------------------------------

void TCustomComPort::NotifyAfterClose() {
  if (onAfterClose_) onAfterClose_(*this);
}
void TCustomComPort::NotifyAfterOpen() {
  if (onAfterOpen_) onAfterOpen_(*this);
}
void TCustomComPort::NotifyBeforeClose() {
  if (onBeforeClose_) onBeforeClose_(*this);
}
void TCustomComPort::NotifyBeforeOpen() {
  if (onBeforeOpen_) onBeforeOpen_(*this);
}
void TCustomComPort::NotifyRxChar(std::int32_t count) {
  if (onRxChar_) onRxChar_(*this, count);
}
void TCustomComPort::NotifyRxBuf(const void* buffer, std::int32_t count) {
  if (onRxBuf_) onRxBuf_(*this, buffer, count);
}
void TCustomComPort::NotifyTxEmpty() {
  if (onTxEmpty_) onTxEmpty_(*this);
}
void TCustomComPort::NotifyBreak() {
  if (onBreak_) onBreak_(*this);
}
void TCustomComPort::NotifyRing() {
  if (onRing_) onRing_(*this);
}
void TCustomComPort::NotifyRxFlag() {
  if (onRxFlag_) onRxFlag_(*this);
}
void TCustomComPort::NotifyCtsChange(bool onOff) {
  if (onCTSChange_) onCTSChange_(*this, onOff);
}
void TCustomComPort::NotifyDsrChange(bool onOff) {
  if (onDSRChange_) onDSRChange_(*this, onOff);
}
void TCustomComPort::NotifyError(TComErrors errors) {
  if (onError_) onError_(*this, errors);
}
void TCustomComPort::NotifyRlsdChange(bool onOff) {
  if (onRLSDChange_) onRLSDChange_(*this, onOff);
}
void TCustomComPort::NotifyRx80Full() {
  if (onRx80Full_) onRx80Full_(*this);
}

// --- data transfer ------------------------------------------------------------------------

std::unique_ptr<AsyncRequest> TCustomComPort::CreateRequest() {
  return std::make_unique<AsyncRequest>();
}

void TCustomComPort::ReleaseRequest(std::unique_ptr<AsyncRequest>& request) { request.reset(); }

std::int32_t TCustomComPort::StartWrite(const void* buffer, std::int32_t count,
                                        AsyncRequest* request) {
  if (!request) throw EComPort(CError_InvalidAsync);
  request->kind = rkWrite;
  // A reused request must not keep the last start's state: refused now, nothing will set its
  // event, and AwaitRequest must not wait for it.
  request->started = false;
  std::uint32_t n = 0;
  request->doneAtOnce = api_.WriteFile(
      handle_, buffer, static_cast<std::uint32_t>(std::max(count, 0)), &n, &request->overlapped);
  if (!request->doneAtOnce) {
    const int error = serial::GetLastError();
    if (error != serial::ErrorIoPending) throw EComPort(CError_WriteFailed, error);
  }
  request->started = true;
  return static_cast<std::int32_t>(n);
}

std::int32_t TCustomComPort::StartWriteText(const std::string& text, AsyncRequest* request) {
  if (text.empty()) return 0;
  return StartWrite(text.data(), static_cast<std::int32_t>(text.size()), request);
}

std::int32_t TCustomComPort::StartRead(void* buffer, std::int32_t count, AsyncRequest* request) {
  if (!request) throw EComPort(CError_InvalidAsync);
  request->kind = rkRead;
  // A reused request must not keep the last start's state: refused now, nothing will set its
  // event, and AwaitRequest must not wait for it.
  request->started = false;
  std::uint32_t n = 0;
  request->doneAtOnce = api_.ReadFile(
      handle_, buffer, static_cast<std::uint32_t>(std::max(count, 0)), &n, &request->overlapped);
  if (!request->doneAtOnce) {
    const int error = serial::GetLastError();
    if (error != serial::ErrorIoPending) throw EComPort(CError_ReadFailed, error);
  }
  request->started = true;
  return static_cast<std::int32_t>(n);
}

std::int32_t TCustomComPort::StartReadText(std::string& text, std::int32_t count,
                                           AsyncRequest* request) {
  if (count <= 0) {
    text.clear();
    return 0;
  }
  text.resize(static_cast<std::size_t>(count));
  return StartRead(text.data(), count, request);
}

std::int32_t TCustomComPort::AwaitRequest(AsyncRequest* request) {
  if (!request) throw EComPort(CError_InvalidAsync);
  // Nothing was started: the request's event is still signalled and there is no result to take.
  if (!request->started) return 0;
  const int code = request->kind == rkWrite ? CError_WriteFailed : CError_ReadFailed;
  if (!request->doneAtOnce && !request->event.Wait(serial::Infinite)) RaiseWithLastError(code);
  std::uint32_t n = 0;
  if (!api_.GetOverlappedResult(handle_, &request->overlapped, &n, false)) RaiseWithLastError(code);
  return static_cast<std::int32_t>(n);
}

// A blocking write needs no request of its own: the platform waits for it.
std::int32_t TCustomComPort::WriteText(const std::string& text) {
  if (text.empty()) return 0;
  std::uint32_t n = 0;
  if (!api_.WriteFile(handle_, text.data(), static_cast<std::uint32_t>(text.size()), &n, nullptr))
    RaiseWithLastError(CError_WriteFailed);
  return static_cast<std::int32_t>(n);
}

// A blocking read needs no request of its own: the platform waits for it as it drives it.
std::int32_t TCustomComPort::ReadBytes(void* buffer, std::int32_t count) {
  std::uint32_t n = 0;
  if (!api_.ReadFile(handle_, buffer, static_cast<std::uint32_t>(std::max(count, 0)), &n, nullptr))
    RaiseWithLastError(CError_ReadFailed);
  return static_cast<std::int32_t>(n);
}

std::int32_t TCustomComPort::ReadText(std::string& text, std::int32_t count) {
  if (count <= 0) {
    text.clear();
    return 0;
  }
  text.resize(static_cast<std::size_t>(count));
  const std::int32_t n = ReadBytes(text.data(), count);
  text.resize(static_cast<std::size_t>(n));
  return n;
}

void TCustomComPort::SendImmediate(char byte) {
  if (!api_.TransmitCommChar(handle_, byte)) RaiseWithLastError(CError_TransmitFailed);
}

void TCustomComPort::PurgeBuffers(bool input, bool output) {
  const std::uint32_t flags =
      Bit(input, serial::PURGE_RXCLEAR) | Bit(output, serial::PURGE_TXCLEAR);
  if (!api_.PurgeComm(handle_, flags)) RaiseWithLastError(CError_PurgeFailed);
}

void TCustomComPort::SetRtsLine(bool on) {
  if (!api_.EscapeCommFunction(handle_, on ? serial::SETRTS : serial::CLRRTS))
    RaiseWithLastError(CError_EscapeComFailed);
}

std::int32_t TCustomComPort::PendingInputCount() {
  std::uint32_t errors = 0;
  serial::ComStat stat;
  if (!api_.ClearCommError(handle_, &errors, &stat)) RaiseWithLastError(CError_ClearComFailed);
  return static_cast<std::int32_t>(stat.cbInQue);
}

LineSignals TCustomComPort::ModemSignals() {
  std::uint32_t status = 0;
  if (!api_.GetCommModemStatus(handle_, &status)) RaiseWithLastError(CError_ModemStatFailed);
  LineSignals s;
  if (status & serial::MS_CTS_ON) s.Include(lsCTS);
  if (status & serial::MS_DSR_ON) s.Include(lsDSR);
  if (status & serial::MS_RING_ON) s.Include(lsRing);
  if (status & serial::MS_RLSD_ON) s.Include(lsRLSD);
  return s;
}

TComErrors TCustomComPort::ReadLineErrors() {
  std::uint32_t errors = 0;
  serial::ComStat stat;
  if (!api_.ClearCommError(handle_, &errors, &stat)) RaiseWithLastError(CError_ClearComFailed);
  TComErrors e;
  if (errors & serial::CE_FRAME) e.Include(ceFrame);
  if ((errors & serial::CE_RXPARITY) && parity_->Check()) e.Include(ceRxParity);
  if (errors & serial::CE_OVERRUN) e.Include(ceOverrun);
  if (errors & serial::CE_RXOVER) e.Include(ceRxOver);
  if (errors & serial::CE_TXFULL) e.Include(ceTxFull);
  if (errors & serial::CE_BREAK) e.Include(ceBreak);
  if (errors & serial::CE_IOE) e.Include(ceIO);
  if (errors & serial::CE_MODE) e.Include(ceMode);
  return e;
}

// --- event processing ---------------------------------------------------------------------

void TCustomComPort::ProcessRxChar() {
  const std::int32_t n = PendingInputCount();
  if (n > 0) NotifyRxChar(n);
}
void TCustomComPort::ProcessTxEmpty() { NotifyTxEmpty(); }
void TCustomComPort::ProcessBreak() { NotifyBreak(); }
void TCustomComPort::ProcessRing() { NotifyRing(); }
void TCustomComPort::ProcessCtsChange() { NotifyCtsChange(ModemSignals().Contains(lsCTS)); }
void TCustomComPort::ProcessDsrChange() { NotifyDsrChange(ModemSignals().Contains(lsDSR)); }
void TCustomComPort::ProcessRlsdChange() { NotifyRlsdChange(ModemSignals().Contains(lsRLSD)); }
void TCustomComPort::ProcessError() {
  const TComErrors e = ReadLineErrors();
  if (!e.Empty()) NotifyError(e);
}
void TCustomComPort::ProcessRxFlag() { NotifyRxFlag(); }
void TCustomComPort::ProcessRx80Full() { NotifyRx80Full(); }

std::intptr_t TCustomComPort::HandleEventMessage(unsigned message, std::uintptr_t wParam,
                                                 std::intptr_t /*lParam*/) {
  // The sender was released when the message was taken (TUiDispatcher::Send).
  if (message != PortEventMessage || !connected_) return 0;
  try {
    switch (wParam) {
      case serial::EV_ERR:
        ProcessError();
        break;
      case serial::EV_RXCHAR:
        ProcessRxChar();
        break;
      case serial::EV_TXEMPTY:
        ProcessTxEmpty();
        break;
      case serial::EV_BREAK:
        ProcessBreak();
        break;
      case serial::EV_RING:
        ProcessRing();
        break;
      case serial::EV_CTS:
        ProcessCtsChange();
        break;
      case serial::EV_DSR:
        ProcessDsrChange();
        break;
      case serial::EV_RXFLAG:
        ProcessRxFlag();
        break;
      case serial::EV_RLSD:
        ProcessRlsdChange();
        break;
      case serial::EV_RX80FULL:
        ProcessRx80Full();
        break;
      default:
        break;
    }
  } catch (const std::exception& e) {
    ReportApplicationError(e);
  } catch (...) {
    ReportApplicationError(std::runtime_error("Unknown error in a port event handler"));
  }
  return 0;
}
