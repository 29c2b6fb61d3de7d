#include "EComPort.h"

#include <cstdio>

namespace {

constexpr const char* kMessages[] = {
    "",
    "Unable to open com port",
    "WriteFile function failed",
    "ReadFile function failed",
    "Invalid Async parameter",
    "PurgeComm function failed",
    "Unable to get async status",
    "SetCommState function failed",
    "SetCommTimeouts failed",
    "SetupComm function failed",
    "ClearCommError function failed",
    "GetCommModemStatus function failed",
    "EscapeCommFunction function failed",
    "TransmitCommChar function failed",
    "Cannot set property while connected",
    "EnumPorts function failed",
    "Failed to store settings",
    "Failed to load settings",
    "Link (un)registration failed",
    "Cannot change led state if ComPort is selected",
    "Cannot wait for event if event thread is created",
    "WaitForEvent method failed",
    "A component is linked to OnRxBuf event",
    "Registry error",
};
constexpr int kLastCode = static_cast<int>(sizeof kMessages / sizeof kMessages[0]) - 1;

std::string WithSystemCode(int portErrorCode, std::int32_t systemErrorCode) {
  char suffix[40];
  std::snprintf(suffix, sizeof suffix, " (win error code: %d)", static_cast<int>(systemErrorCode));
  return std::string(EComPort::MessageOf(portErrorCode)) + suffix;
}

}  // namespace

const char* EComPort::MessageOf(int portErrorCode) {
  return portErrorCode >= 1 && portErrorCode <= kLastCode ? kMessages[portErrorCode] : "";
}

EComPort::EComPort(int portErrorCode, std::int32_t systemErrorCode)
    : EComponentError(WithSystemCode(portErrorCode, systemErrorCode)),
      systemErrorCode_(systemErrorCode),
      portErrorCode_(portErrorCode) {}

EComPort::EComPort(int portErrorCode)
    : EComponentError(MessageOf(portErrorCode)),
      systemErrorCode_(-1),
      portErrorCode_(portErrorCode) {}
