// The four settings objects a port owns. Each setter stores a changed value and asks the owner
// to push its group to the device; without an owner they only store.
#pragma once

#include <cstdint>

#include "ComTypes.h"

class TCustomComPort;

// Common base so that copying can refuse an object of another class, as the port's object-valued
// properties require.
class TComSettings {
 public:
  virtual ~TComSettings() = default;
  virtual const char* ClassName() const = 0;
  // Copies every field from an object of the same class without running the setters; anything
  // else (or nullptr) raises EConvertError and changes nothing.
  virtual void Assign(const TComSettings* source) = 0;
  TCustomComPort* Owner() const { return owner_; }

 protected:
  TComSettings() = default;
  // A copy is a plain value holder: the owner is never copied.
  TComSettings(const TComSettings&) : owner_(nullptr) {}
  TComSettings& operator=(const TComSettings&) { return *this; }
  [[noreturn]] void RefuseAssign(const TComSettings* source) const;

 private:
  friend class TCustomComPort;
  TCustomComPort* owner_ = nullptr;
};

class TComTimeouts : public TComSettings {
 public:
  TComTimeouts() = default;
  TComTimeouts(const TComTimeouts& other) = default;
  TComTimeouts& operator=(const TComTimeouts& other) {
    Assign(&other);
    return *this;
  }
  const char* ClassName() const override { return "TComTimeouts"; }
  void Assign(const TComSettings* source) override;

  std::int32_t ReadInterval() const { return readInterval_; }
  std::int32_t ReadTotalMultiplier() const { return readTotalMultiplier_; }
  std::int32_t ReadTotalConstant() const { return readTotalConstant_; }
  std::int32_t WriteTotalMultiplier() const { return writeTotalMultiplier_; }
  std::int32_t WriteTotalConstant() const { return writeTotalConstant_; }
  void SetReadInterval(std::int32_t v);
  void SetReadTotalMultiplier(std::int32_t v);
  void SetReadTotalConstant(std::int32_t v);
  void SetWriteTotalMultiplier(std::int32_t v);
  void SetWriteTotalConstant(std::int32_t v);

 private:
  void Set(std::int32_t& field, std::int32_t v);
  std::int32_t readInterval_ = -1;
  std::int32_t readTotalMultiplier_ = 0;
  std::int32_t readTotalConstant_ = 0;
  std::int32_t writeTotalMultiplier_ = 100;
  std::int32_t writeTotalConstant_ = 1000;
};

class TComFlowControl : public TComSettings {
 public:
  TComFlowControl() = default;
  TComFlowControl(const TComFlowControl& other) = default;
  TComFlowControl& operator=(const TComFlowControl& other) {
    Assign(&other);
    return *this;
  }
  const char* ClassName() const override { return "TComFlowControl"; }
  void Assign(const TComSettings* source) override;

  bool OutCTSFlow() const { return outCTSFlow_; }
  bool OutDSRFlow() const { return outDSRFlow_; }
  TDTRFlowControl ControlDTR() const { return controlDTR_; }
  TRTSFlowControl ControlRTS() const { return controlRTS_; }
  bool XonXoffOut() const { return xonXoffOut_; }
  bool XonXoffIn() const { return xonXoffIn_; }
  bool DSRSensitivity() const { return dsrSensitivity_; }
  bool TxContinueOnXoff() const { return txContinueOnXoff_; }
  char XonChar() const { return xonChar_; }
  char XoffChar() const { return xoffChar_; }
  // Derived from ControlRTS, OutCTSFlow, XonXoffIn and XonXoffOut only.
  TFlowControl FlowControl() const;

  void SetOutCTSFlow(bool v);
  void SetOutDSRFlow(bool v);
  void SetControlDTR(TDTRFlowControl v);
  void SetControlRTS(TRTSFlowControl v);
  void SetXonXoffOut(bool v);
  void SetXonXoffIn(bool v);
  void SetDSRSensitivity(bool v);
  void SetTxContinueOnXoff(bool v);
  void SetXonChar(char v);
  void SetXoffChar(char v);
  // Shortcut over the four switches; always re-applies, even for an unchanged value.
  void SetFlowControl(TFlowControl v);

 private:
  template <typename T>
  void Set(T& field, T v);
  void Apply();
  bool outCTSFlow_ = false;
  bool outDSRFlow_ = false;
  TDTRFlowControl controlDTR_ = dtrDisable;
  TRTSFlowControl controlRTS_ = rtsDisable;
  bool xonXoffOut_ = false;
  bool xonXoffIn_ = false;
  bool dsrSensitivity_ = false;
  bool txContinueOnXoff_ = false;
  char xonChar_ = 17;
  char xoffChar_ = 19;
};

class TComParity : public TComSettings {
 public:
  TComParity() = default;
  TComParity(const TComParity& other) = default;
  TComParity& operator=(const TComParity& other) {
    Assign(&other);
    return *this;
  }
  const char* ClassName() const override { return "TComParity"; }
  void Assign(const TComSettings* source) override;

  TParityBits Bits() const { return bits_; }
  bool Check() const { return check_; }
  bool Replace() const { return replace_; }
  char ReplaceChar() const { return replaceChar_; }
  void SetBits(TParityBits v);
  void SetCheck(bool v);
  void SetReplace(bool v);
  void SetReplaceChar(char v);

 private:
  template <typename T>
  void Set(T& field, T v);
  TParityBits bits_ = prNone;
  bool check_ = false;
  bool replace_ = false;
  char replaceChar_ = 0;
};

class TComBuffer : public TComSettings {
 public:
  TComBuffer() = default;
  TComBuffer(const TComBuffer& other) = default;
  TComBuffer& operator=(const TComBuffer& other) {
    Assign(&other);
    return *this;
  }
  const char* ClassName() const override { return "TComBuffer"; }
  void Assign(const TComSettings* source) override;

  std::int32_t InputSize() const { return inputSize_; }
  std::int32_t OutputSize() const { return outputSize_; }
  // A changed odd positive size is stored one less: driver queues take even sizes.
  void SetInputSize(std::int32_t v);
  void SetOutputSize(std::int32_t v);

 private:
  void Set(std::int32_t& field, std::int32_t v);
  std::int32_t inputSize_ = 1024;
  std::int32_t outputSize_ = 1024;
};
