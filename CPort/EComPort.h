// The component's one error type, and the conversion error of its settings objects.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

// Common root of the errors the component raises; carries the message text.
class EComponentError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class EComPort : public EComponentError {
 public:
  // Message with " (win error code: n)" appended; systemErrorCode is the platform's last error.
  EComPort(int portErrorCode, std::int32_t systemErrorCode);
  // Bare message, for failures that involve no platform call.
  explicit EComPort(int portErrorCode);

  std::int32_t SystemErrorCode() const { return systemErrorCode_; }
  std::int32_t PortErrorCode() const { return portErrorCode_; }

  // The message of a component code, 1 to 23; empty for any other code.
  static const char* MessageOf(int portErrorCode);

 private:
  std::int32_t systemErrorCode_;
  std::int32_t portErrorCode_;
};

// A settings object cannot take the values of an object of another class (or of none).
class EConvertError : public EComponentError {
 public:
  using EComponentError::EComponentError;
};

// Component error codes.
enum : int {
  CError_OpenFailed = 1,
  CError_WriteFailed = 2,
  CError_ReadFailed = 3,
  CError_InvalidAsync = 4,
  CError_PurgeFailed = 5,
  CError_AsyncCheck = 6,
  CError_SetStateFailed = 7,
  CError_TimeoutsFailed = 8,
  CError_SetupComFailed = 9,
  CError_ClearComFailed = 10,
  CError_ModemStatFailed = 11,
  CError_EscapeComFailed = 12,
  CError_TransmitFailed = 13,
  CError_ConnChangeProp = 14,
  CError_EnumPortsFailed = 15,
  CError_StoreFailed = 16,
  CError_LoadFailed = 17,
  CError_RegFailed = 18,
  CError_LedStateFailed = 19,
  CError_ThreadCreated = 20,
  CError_WaitFailed = 21,
  CError_HasLink = 22,
  CError_RegError = 23,
};
