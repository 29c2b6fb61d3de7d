#include <exception>
#include <string>
#include <utility>

#include "LinuxSerialApi.h"
#include "komunikacja.h"
#include "stale.h"

namespace {

std::uint8_t ByteAt(const ByteString& s, std::size_t i) { return static_cast<std::uint8_t>(s[i]); }

struct BaudText {
  TBaudRate rate;
  const char* text;
};
constexpr BaudText kBaudTexts[] = {
    {br110, "110"},       {br300, "300"},     {br600, "600"},     {br1200, "1200"},
    {br2400, "2400"},     {br4800, "4800"},   {br9600, "9600"},   {br14400, "14400"},
    {br19200, "19200"},   {br38400, "38400"}, {br56000, "56000"}, {br57600, "57600"},
    {br115200, "115200"},
};

// A refused immediate byte is tried again this many times in all.
constexpr int kImmediateTries = 1000;

}  // namespace

int SystemPlatformId() { return VerPlatformWin32Nt; }

TBaudRate BaudRateFromText(const std::string& text) {
  for (const auto& row : kBaudTexts) {
    if (text == row.text) return row.rate;
  }
  return br9600;
}

std::string BaudRateToText(TBaudRate rate) {
  for (const auto& row : kBaudTexts) {
    if (rate == row.rate) return row.text;
  }
  return "9600";
}

TStopBits StopBitsFromText(const std::string& text) {
  if (text == "1") return sbOneStopBit;
  if (text == "1.5") return sbOne5StopBits;
  return sbTwoStopBits;
}

std::string StopBitsToText(TStopBits bits) {
  switch (bits) {
    case sbOneStopBit:
      return "1";
    case sbOne5StopBits:
      return "1.5";
    case sbTwoStopBits:
      return "2";
  }
  return "2";
}

TFkomunikacja::TFkomunikacja(serial::SerialApi& api) : TFkomunikacja(api, Options{}) {}

TFkomunikacja::TFkomunikacja(serial::SerialApi& api, const Options& options)
    : ComPort1(std::make_unique<TComPort>(api)),
      platformId_(options.platformId),
      logDirectory_(options.logDirectory) {
  if (!options.portsDirectory.empty()) serial::SetPortsDirectory(options.portsDirectory);
  TComPort& port = *ComPort1;
  port.SetPort("COM1");
  port.SetBaudRate(br9600);
  port.SetDataBits(dbEight);
  port.Parity().SetBits(prNone);
  port.SetStopBits(sbTwoStopBits);
  port.SetEvents(AllComEvents);
  TComFlowControl& flow = port.FlowControl();
  flow.SetOutCTSFlow(false);
  flow.SetOutDSRFlow(false);
  flow.SetControlDTR(dtrDisable);
  flow.SetControlRTS(rtsDisable);
  flow.SetXonXoffOut(false);
  flow.SetXonXoffIn(false);
  port.Timeouts().SetReadTotalMultiplier(2);
  port.Timeouts().SetReadTotalConstant(1000);
  FormCreate();
}

TFkomunikacja::~TFkomunikacja() = default;

void TFkomunikacja::FormCreate() {
  // On the NT family the driver keys the transmitter around each write; elsewhere the
  // engine does it by hand.
  ComPort1->FlowControl().SetControlRTS(IsNtFamily() ? rtsToggle : rtsDisable);
}

std::string TFkomunikacja::predkoscTransmisji() const {
  return BaudRateToText(ComPort1->BaudRate());
}

void TFkomunikacja::predkoscTransmisji(const std::string& text) {
  ComPort1->CloseDevice();
  ComPort1->SetBaudRate(BaudRateFromText(text));
}

std::string TFkomunikacja::Numerportu() const { return ComPort1->Port(); }

void TFkomunikacja::Numerportu(const std::string& text) {
  ComPort1->CloseDevice();
  ComPort1->SetPort(text);
}

std::string TFkomunikacja::bityStopu() const { return StopBitsToText(ComPort1->StopBits()); }

void TFkomunikacja::bityStopu(const std::string& text) {
  ComPort1->CloseDevice();
  ComPort1->SetStopBits(StopBitsFromText(text));
}

void TFkomunikacja::ClosePortQuietly() noexcept {
  try {
    ComPort1->CloseDevice();
  } catch (...) {
  }
}

TransactionResult TFkomunikacja::PortFailed() noexcept {
  // Only ever called from inside a catch block.
  try {
    throw;
  } catch (const EComPort& e) {
    lastPortFailure_ = {e.PortErrorCode(), e.SystemErrorCode(), e.what()};
  } catch (const std::exception& e) {
    lastPortFailure_ = {0, 0, e.what()};
  } catch (...) {
    lastPortFailure_ = {0, 0, "unknown error"};
  }
  ClosePortQuietly();
  return 1;
}

std::int32_t TFkomunikacja::Transmit(const ByteString& request) {
  if (IsNtFamily()) return ComPort1->WriteText(request);

  PreciseDelay(TxGuardMicros, true);
  ComPort1->SetRtsLine(true);
  std::int32_t written = 0;
  for (std::size_t i = 0; i < request.size(); ++i) {
    bool sent = false;
    for (int tries = 0; tries < kImmediateTries && !sent; ++tries) {
      try {
        ComPort1->SendImmediate(request[i]);
        sent = true;
      } catch (const EComPort&) {
        // The previous byte is still leaving; the driver takes this one once it has.
      }
    }
    if (!sent) break;
    written = static_cast<std::int32_t>(i + 1);
  }
  if (TxGuardMicros > 0) PreciseDelay(TxGuardMicros, true);
  ComPort1->SetRtsLine(false);
  return written;
}

TransactionResult TFkomunikacja::Prepare(const ByteString& request, const LinkSettings& settings) {
  const std::string name =
      "COM" + std::to_string(static_cast<std::int64_t>(settings.portIndex) + 1);
  const auto ordinal = static_cast<std::uint8_t>(settings.baudIndex + 1);
  // No speed has a higher ordinal; such a value must not reach the port's settings.
  if (ordinal > br256000) {
    lastPortFailure_ = {0, 0, "no line speed of ordinal " + std::to_string(ordinal)};
    return 1;
  }
  if (name != ComPort1->Port() || ordinal != static_cast<std::uint8_t>(ComPort1->BaudRate())) {
    ComPort1->CloseDevice();
    ComPort1->SetPort(name);
    ComPort1->SetBaudRate(static_cast<TBaudRate>(ordinal));
    ComPort1->OpenDevice();
  }
  ComPort1->OpenDevice();
  ComPort1->PurgeBuffers(true, true);
  if (Transmit(request) != static_cast<std::int32_t>(request.size())) return 2;
  return 0;
}

TransactionResult TFkomunikacja::Transact(const ByteString& request, ByteString& reply,
                                          std::int32_t expectedLength,
                                          const LinkSettings& settings) {
  if (expectedLength < 4) return 5;
  try {
    const TransactionResult prepared = Prepare(request, settings);
    if (prepared != 0) return prepared;
    reply.clear();
    ComPort1->ReadText(reply, expectedLength);
  } catch (...) {
    return PortFailed();
  }

  TransactionResult result = 0;
  if (reply.size() == static_cast<std::size_t>(expectedLength)) {
    if (!ChecksumValid(reply)) result = 4;
  } else if (IsRefusal(reply, request)) {
    result = 7;
  } else {
    result = 3;
  }
  if (result == 0 && !request.empty() && reply[0] != request[0]) result = 10;
  // Logged once every check is done, so the entry shows how the transaction really ended.
  LogTransaction(request, reply, result);
  return result;
}

TransactionResult TFkomunikacja::TransactLengthPrefixed(const ByteString& request,
                                                        ByteString& reply,
                                                        const LinkSettings& settings) {
  TransactionResult result = 0;
  try {
    const TransactionResult prepared = Prepare(request, settings);
    if (prepared != 0) return prepared;
    reply.clear();
    ComPort1->ReadText(reply, FrameHeadLength);
    if (reply.size() < static_cast<std::size_t>(FrameHeadLength)) {
      result = 3;
    } else {
      const std::int32_t rest = DeclaredLength(reply) - FrameHeadLength;
      // A declared length below 5 or of 10005 and more cannot be a reply: no waiting for it.
      ByteString tail;
      if (rest < 10000) ComPort1->ReadText(tail, rest);
      if (static_cast<std::int64_t>(tail.size()) != rest) {
        result = 3;
      } else {
        reply += tail;
        if (!ChecksumValid(reply)) result = 4;
      }
    }
  } catch (...) {
    return PortFailed();
  }
  if (result == 0 && !request.empty() && ByteAt(reply, 0) != ByteAt(request, 0)) result = 10;
  LogTransaction(request, reply, result);
  return result;
}

TransactionResult TFkomunikacja::EnterConfigModeOnce(DeviceAddress address,
                                                     const LinkSettings& settings) {
  ByteString reply;
  return Transact(EnterConfigModeRequest(address), reply, FrameOverhead, settings);
}

TransactionResult TFkomunikacja::LeaveConfigModeOnce(DeviceAddress address,
                                                     const LinkSettings& settings) {
  ByteString reply;
  return Transact(LeaveConfigModeRequest(address), reply, FrameOverhead, settings);
}

TransactionResult TFkomunikacja::ReadOperatingModeOnce(DeviceAddress address,
                                                       const LinkSettings& settings,
                                                       std::int32_t& mode) {
  ByteString reply;
  const TransactionResult result =
      Transact(ReadOperatingModeRequest(address), reply, FrameOverhead + 1, settings);
  if (result == 0) mode = ByteAt(reply, FrameHeadLength);
  return result;
}

TransactionResult TFkomunikacja::WriteOperatingModeOnce(std::int32_t mode, DeviceAddress address,
                                                        const LinkSettings& settings) {
  ByteString reply;
  return Transact(WriteOperatingModeRequest(address, mode), reply, FrameOverhead + 1, settings);
}

namespace {

// A text too long for one frame cannot be sent at all; it counts as a request not sent.
template <typename Build>
TransactionResult WriteText(TFkomunikacja& module, Build build, const LinkSettings& settings) {
  ByteString request;
  try {
    request = build();
  } catch (const FrameError&) {
    return 2;
  }
  ByteString reply;
  return module.Transact(request, reply, static_cast<std::int32_t>(request.size()), settings);
}

}  // namespace

TransactionResult TFkomunikacja::ReadIpAddressOnce(DeviceAddress address,
                                                   const LinkSettings& settings, std::string& ip) {
  ByteString reply;
  const TransactionResult result =
      TransactLengthPrefixed(ReadIpAddressRequest(address), reply, settings);
  if (result == 0) ip = TrimText(FrameData(reply));
  return result;
}

TransactionResult TFkomunikacja::WriteIpAddressOnce(const std::string& ip, DeviceAddress address,
                                                    const LinkSettings& settings) {
  return WriteText(
      *this, [&] { return WriteIpAddressRequest(address, ip); }, settings);
}

TransactionResult TFkomunikacja::ReadIpPortOnce(DeviceAddress address, const LinkSettings& settings,
                                                std::string& port) {
  ByteString reply;
  const TransactionResult result =
      TransactLengthPrefixed(ReadIpPortRequest(address), reply, settings);
  if (result == 0) port = TrimText(FrameData(reply));
  return result;
}

TransactionResult TFkomunikacja::WriteIpPortOnce(const std::string& port, DeviceAddress address,
                                                 const LinkSettings& settings) {
  return WriteText(
      *this, [&] { return WriteIpPortRequest(address, port); }, settings);
}
