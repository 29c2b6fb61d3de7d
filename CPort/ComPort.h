// The serial port component: settings, lifecycle, data transfer and line events of one COM
// device, written against the Win32-shaped serial interface of the platform layer.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "ComSettings.h"
#include "ComTypes.h"
#include "EComPort.h"
#include "platform/SerialApi.h"

class TCustomComPort;
class TComThread;
class TUiDispatcher;

using TNotifyEvent = std::function<void(TCustomComPort& sender)>;
using TRxCharEvent = std::function<void(TCustomComPort& sender, std::int32_t count)>;
using TRxBufEvent =
    std::function<void(TCustomComPort& sender, const void* buffer, std::int32_t count)>;
using TComErrorEvent = std::function<void(TCustomComPort& sender, TComErrors errors)>;
using TComSignalEvent = std::function<void(TCustomComPort& sender, bool onOff)>;

// One overlapped write or read and the event it completes on. The event starts signalled, so
// awaiting a request on which nothing was started returns 0 at once.
struct AsyncRequest {
  serial::Event event{true};
  serial::Overlapped overlapped;
  RequestKind kind = rkWrite;
  bool started = false;
  // The platform finished it within the start call, on this thread: no other thread touches
  // its event, and the wait for it can be skipped.
  bool doneAtOnce = false;
  AsyncRequest() { overlapped.hEvent = &event; }
};

// Platform event value of each TComEvent.
std::uint32_t EventsToMask(TComEvents events);
TComEvents MaskToEvents(std::uint32_t mask);

// The message the monitor sends to the port's event window under smWindowSync (WM_USER + 1).
constexpr unsigned PortEventMessage = 0x401;

class TCustomComPort {
 public:
  // The platform is fixed for the life of the port; tests pass a fake.
  explicit TCustomComPort(serial::SerialApi& api = serial::SystemSerialApi());
  virtual ~TCustomComPort();
  TCustomComPort(const TCustomComPort&) = delete;
  TCustomComPort& operator=(const TCustomComPort&) = delete;

  // --- settings ---------------------------------------------------------------------------
  bool Connected() const { return connected_; }
  void SetConnected(bool v);
  TBaudRate BaudRate() const { return baudRate_; }
  void SetBaudRate(TBaudRate v);
  std::int32_t CustomBaudRate() const { return customBaudRate_; }
  void SetCustomBaudRate(std::int32_t v);
  // Device name without the device-path prefix, compared letter case included.
  const std::string& Port() const { return port_; }
  void SetPort(const std::string& v);
  TStopBits StopBits() const { return stopBits_; }
  void SetStopBits(TStopBits v);
  TDataBits DataBits() const { return dataBits_; }
  void SetDataBits(TDataBits v);
  bool DiscardNull() const { return discardNull_; }
  void SetDiscardNull(bool v);
  char EventChar() const { return eventChar_; }
  void SetEventChar(char v);
  // Read by the monitor when it starts: a change while open takes effect at the next open.
  TComEvents Events() const { return events_; }
  void SetEvents(TComEvents v) { events_ = v; }
  TSyncMethod SyncMethod() const { return syncMethod_; }
  // Refused with code 14 while open.
  void SetSyncMethod(TSyncMethod v);

  // The owned settings objects; setting one copies the fields in and applies the group once.
  TComParity& Parity() { return *parity_; }
  const TComParity& Parity() const { return *parity_; }
  void SetParity(const TComParity& v);
  TComFlowControl& FlowControl() { return *flowControl_; }
  const TComFlowControl& FlowControl() const { return *flowControl_; }
  void SetFlowControl(const TComFlowControl& v);
  TComTimeouts& Timeouts() { return *timeouts_; }
  const TComTimeouts& Timeouts() const { return *timeouts_; }
  void SetTimeouts(const TComTimeouts& v);
  TComBuffer& Buffer() { return *buffer_; }
  const TComBuffer& Buffer() const { return *buffer_; }
  void SetBuffer(const TComBuffer& v);

  // --- handlers ---------------------------------------------------------------------------
  const TNotifyEvent& OnAfterOpen() const { return onAfterOpen_; }
  void SetOnAfterOpen(TNotifyEvent h) { onAfterOpen_ = std::move(h); }
  const TNotifyEvent& OnAfterClose() const { return onAfterClose_; }
  void SetOnAfterClose(TNotifyEvent h) { onAfterClose_ = std::move(h); }
  const TNotifyEvent& OnBeforeOpen() const { return onBeforeOpen_; }
  void SetOnBeforeOpen(TNotifyEvent h) { onBeforeOpen_ = std::move(h); }
  const TNotifyEvent& OnBeforeClose() const { return onBeforeClose_; }
  void SetOnBeforeClose(TNotifyEvent h) { onBeforeClose_ = std::move(h); }
  const TRxCharEvent& OnRxChar() const { return onRxChar_; }
  void SetOnRxChar(TRxCharEvent h) { onRxChar_ = std::move(h); }
  const TRxBufEvent& OnRxBuf() const { return onRxBuf_; }
  void SetOnRxBuf(TRxBufEvent h) { onRxBuf_ = std::move(h); }
  const TNotifyEvent& OnTxEmpty() const { return onTxEmpty_; }
  void SetOnTxEmpty(TNotifyEvent h) { onTxEmpty_ = std::move(h); }
  const TNotifyEvent& OnBreak() const { return onBreak_; }
  void SetOnBreak(TNotifyEvent h) { onBreak_ = std::move(h); }
  const TNotifyEvent& OnRing() const { return onRing_; }
  void SetOnRing(TNotifyEvent h) { onRing_ = std::move(h); }
  const TComSignalEvent& OnCTSChange() const { return onCTSChange_; }
  void SetOnCTSChange(TComSignalEvent h) { onCTSChange_ = std::move(h); }
  const TComSignalEvent& OnDSRChange() const { return onDSRChange_; }
  void SetOnDSRChange(TComSignalEvent h) { onDSRChange_ = std::move(h); }
  const TComSignalEvent& OnRLSDChange() const { return onRLSDChange_; }
  void SetOnRLSDChange(TComSignalEvent h) { onRLSDChange_ = std::move(h); }
  const TNotifyEvent& OnRxFlag() const { return onRxFlag_; }
  void SetOnRxFlag(TNotifyEvent h) { onRxFlag_ = std::move(h); }
  const TComErrorEvent& OnError() const { return onError_; }
  void SetOnError(TComErrorEvent h) { onError_ = std::move(h); }
  const TNotifyEvent& OnRx80Full() const { return onRx80Full_; }
  void SetOnRx80Full(TNotifyEvent h) { onRx80Full_ = std::move(h); }

  // --- loading state ----------------------------------------------------------------------
  // While loading, Connected only stores and the apply operations do nothing; FinishLoading
  // opens the port if Connected was set meanwhile.
  void BeginLoading() { loading_ = true; }
  bool Loading() const { return loading_; }
  virtual void FinishLoading();

  // --- lifecycle --------------------------------------------------------------------------
  void OpenDevice();
  void CloseDevice();
  virtual void ApplyLineSettings();
  virtual void ApplyTimeoutSettings();
  virtual void ApplyBufferSizes();
  virtual void ApplyAllSettings();
  serial::Handle DeviceHandle() const { return handle_; }
  serial::SerialApi& Api() const { return api_; }

  // --- data transfer ----------------------------------------------------------------------
  static std::unique_ptr<AsyncRequest> CreateRequest();
  static void ReleaseRequest(std::unique_ptr<AsyncRequest>& request);
  // Start forms return the count reported at the start (0 while pending); the buffer stays the
  // caller's until AwaitRequest on the same request has returned.
  std::int32_t StartWrite(const void* buffer, std::int32_t count, AsyncRequest* request);
  std::int32_t StartWriteText(const std::string& text, AsyncRequest* request);
  std::int32_t StartRead(void* buffer, std::int32_t count, AsyncRequest* request);
  // Sizes text to count (empty for count <= 0) and reads into it.
  std::int32_t StartReadText(std::string& text, std::int32_t count, AsyncRequest* request);
  std::int32_t AwaitRequest(AsyncRequest* request);
  // Blocking forms: bytes transferred, fewer than asked when the device time-out ran out.
  std::int32_t WriteText(const std::string& text);
  std::int32_t ReadBytes(void* buffer, std::int32_t count);
  // text holds exactly the bytes read.
  std::int32_t ReadText(std::string& text, std::int32_t count);
  void SendImmediate(char byte);
  void PurgeBuffers(bool input, bool output);
  void SetRtsLine(bool on);
  std::int32_t PendingInputCount();
  LineSignals ModemSignals();
  TComErrors ReadLineErrors();

  // --- event processing -------------------------------------------------------------------
  void ProcessRxChar();
  void ProcessTxEmpty();
  void ProcessBreak();
  void ProcessRing();
  void ProcessCtsChange();
  void ProcessDsrChange();
  void ProcessRlsdChange();
  void ProcessError();
  void ProcessRxFlag();
  void ProcessRx80Full();
  // The event window's message handler (smWindowSync), on the UI thread. Returns the message
  // result; a failing step goes to the application error report.
  virtual std::intptr_t HandleEventMessage(unsigned message, std::uintptr_t wParam,
                                           std::intptr_t lParam);
  // True while a monitor runs for this open; false once it has ended (stopped or failed).
  bool MonitorActive() const;

 protected:
  virtual void AcquireDeviceHandle();
  virtual void ReleaseDeviceHandle();
  virtual void NotifyAfterClose();
  virtual void NotifyAfterOpen();
  virtual void NotifyBeforeClose();
  virtual void NotifyBeforeOpen();
  virtual void NotifyRxChar(std::int32_t count);
  virtual void NotifyRxBuf(const void* buffer, std::int32_t count);
  virtual void NotifyTxEmpty();
  virtual void NotifyBreak();
  virtual void NotifyRing();
  virtual void NotifyRxFlag();
  virtual void NotifyCtsChange(bool onOff);
  virtual void NotifyDsrChange(bool onOff);
  virtual void NotifyError(TComErrors errors);
  virtual void NotifyRlsdChange(bool onOff);
  virtual void NotifyRx80Full();

 private:
  friend class TComThread;
  // The receiving end of smWindowSync messages. A message can outlive the open it was sent in;
  // once the window is released it reaches nothing.
  struct EventWindow {
    TCustomComPort* port;
    void Deliver(std::uint32_t value) const {
      if (port) port->HandleEventMessage(PortEventMessage, value, 0);
    }
  };
  void CreateEventWindow();
  void ReleaseEventWindow();
  [[noreturn]] static void RaiseWithLastError(int code);
  template <typename T>
  void SetLineSetting(T& field, T v);
  serial::SerialApi& api_;
  // run-time state
  std::unique_ptr<TComThread> monitor_;
  bool monitorStarted_ = false;
  serial::Handle handle_ = serial::InvalidHandle;
  std::shared_ptr<EventWindow> eventWindow_;
  bool connected_ = false;
  bool loading_ = false;
  // settings
  TBaudRate baudRate_ = br9600;
  std::int32_t customBaudRate_ = 9600;
  std::string port_ = "COM1";
  TStopBits stopBits_ = sbOneStopBit;
  TDataBits dataBits_ = dbEight;
  bool discardNull_ = false;
  char eventChar_ = 0;
  TComEvents events_ = AllComEvents;
  TSyncMethod syncMethod_ = smThreadSync;
  std::unique_ptr<TComParity> parity_;
  std::unique_ptr<TComFlowControl> flowControl_;
  std::unique_ptr<TComTimeouts> timeouts_;
  std::unique_ptr<TComBuffer> buffer_;
  // handlers
  TNotifyEvent onAfterOpen_, onAfterClose_, onBeforeOpen_, onBeforeClose_;
  TRxCharEvent onRxChar_;
  TRxBufEvent onRxBuf_;
  TNotifyEvent onTxEmpty_, onBreak_, onRing_, onRxFlag_, onRx80Full_;
  TComSignalEvent onCTSChange_, onDSRChange_, onRLSDChange_;
  TComErrorEvent onError_;
};

// The published port.
class TComPort : public TCustomComPort {
 public:
  using TCustomComPort::TCustomComPort;
};
