#include "ComSettings.h"

#include <string>

#include "ComPort.h"
#include "EComPort.h"

void TComSettings::RefuseAssign(const TComSettings* source) const {
  throw EConvertError(std::string("Cannot assign a ") + (source ? source->ClassName() : "nil") +
                      " to a " + ClassName());
}

// --- TComTimeouts -------------------------------------------------------------------------

void TComTimeouts::Assign(const TComSettings* source) {
  auto* s = dynamic_cast<const TComTimeouts*>(source);
  if (!s) RefuseAssign(source);
  readInterval_ = s->readInterval_;
  readTotalMultiplier_ = s->readTotalMultiplier_;
  readTotalConstant_ = s->readTotalConstant_;
  writeTotalMultiplier_ = s->writeTotalMultiplier_;
  writeTotalConstant_ = s->writeTotalConstant_;
}

void TComTimeouts::Set(std::int32_t& field, std::int32_t v) {
  if (field == v) return;
  field = v;
  if (Owner()) Owner()->ApplyTimeoutSettings();
}

void TComTimeouts::SetReadInterval(std::int32_t v) { Set(readInterval_, v); }
void TComTimeouts::SetReadTotalMultiplier(std::int32_t v) { Set(readTotalMultiplier_, v); }
void TComTimeouts::SetReadTotalConstant(std::int32_t v) { Set(readTotalConstant_, v); }
void TComTimeouts::SetWriteTotalMultiplier(std::int32_t v) { Set(writeTotalMultiplier_, v); }
void TComTimeouts::SetWriteTotalConstant(std::int32_t v) { Set(writeTotalConstant_, v); }

// --- TComFlowControl ----------------------------------------------------------------------

void TComFlowControl::Assign(const TComSettings* source) {
  auto* s = dynamic_cast<const TComFlowControl*>(source);
  if (!s) RefuseAssign(source);
  outCTSFlow_ = s->outCTSFlow_;
  outDSRFlow_ = s->outDSRFlow_;
  controlDTR_ = s->controlDTR_;
  controlRTS_ = s->controlRTS_;
  xonXoffOut_ = s->xonXoffOut_;
  xonXoffIn_ = s->xonXoffIn_;
  dsrSensitivity_ = s->dsrSensitivity_;
  txContinueOnXoff_ = s->txContinueOnXoff_;
  xonChar_ = s->xonChar_;
  xoffChar_ = s->xoffChar_;
}

template <typename T>
void TComFlowControl::Set(T& field, T v) {
  if (field == v) return;
  field = v;
  Apply();
}

void TComFlowControl::Apply() {
  if (Owner()) Owner()->ApplyLineSettings();
}

void TComFlowControl::SetOutCTSFlow(bool v) { Set(outCTSFlow_, v); }
void TComFlowControl::SetOutDSRFlow(bool v) { Set(outDSRFlow_, v); }
void TComFlowControl::SetControlDTR(TDTRFlowControl v) { Set(controlDTR_, v); }
void TComFlowControl::SetControlRTS(TRTSFlowControl v) { Set(controlRTS_, v); }
void TComFlowControl::SetXonXoffOut(bool v) { Set(xonXoffOut_, v); }
void TComFlowControl::SetXonXoffIn(bool v) { Set(xonXoffIn_, v); }
void TComFlowControl::SetDSRSensitivity(bool v) { Set(dsrSensitivity_, v); }
void TComFlowControl::SetTxContinueOnXoff(bool v) { Set(txContinueOnXoff_, v); }
void TComFlowControl::SetXonChar(char v) { Set(xonChar_, v); }
void TComFlowControl::SetXoffChar(char v) { Set(xoffChar_, v); }

TFlowControl TComFlowControl::FlowControl() const {
  if (controlRTS_ == rtsHandshake && outCTSFlow_ && !xonXoffIn_ && !xonXoffOut_) return fcHardware;
  if (controlRTS_ == rtsDisable && !outCTSFlow_ && xonXoffIn_ && xonXoffOut_) return fcSoftware;
  if (controlRTS_ == rtsDisable && !outCTSFlow_ && !xonXoffIn_ && !xonXoffOut_) return fcNone;
  return fcCustom;
}

void TComFlowControl::SetFlowControl(TFlowControl v) {
  if (v != fcCustom) {
    controlRTS_ = rtsDisable;
    outCTSFlow_ = false;
    xonXoffIn_ = false;
    xonXoffOut_ = false;
    if (v == fcHardware) {
      controlRTS_ = rtsHandshake;
      outCTSFlow_ = true;
    } else if (v == fcSoftware) {
      xonXoffIn_ = true;
      xonXoffOut_ = true;
    }
  }
  Apply();
}

// --- TComParity ---------------------------------------------------------------------------

void TComParity::Assign(const TComSettings* source) {
  auto* s = dynamic_cast<const TComParity*>(source);
  if (!s) RefuseAssign(source);
  bits_ = s->bits_;
  check_ = s->check_;
  replace_ = s->replace_;
  replaceChar_ = s->replaceChar_;
}

template <typename T>
void TComParity::Set(T& field, T v) {
  if (field == v) return;
  field = v;
  if (Owner()) Owner()->ApplyLineSettings();
}

void TComParity::SetBits(TParityBits v) { Set(bits_, v); }
void TComParity::SetCheck(bool v) { Set(check_, v); }
void TComParity::SetReplace(bool v) { Set(replace_, v); }
void TComParity::SetReplaceChar(char v) { Set(replaceChar_, v); }

// --- TComBuffer ---------------------------------------------------------------------------

void TComBuffer::Assign(const TComSettings* source) {
  auto* s = dynamic_cast<const TComBuffer*>(source);
  if (!s) RefuseAssign(source);
  inputSize_ = s->inputSize_;
  outputSize_ = s->outputSize_;
}

void TComBuffer::Set(std::int32_t& field, std::int32_t v) {
  if (field == v) return;
  field = (v > 0 && v % 2 != 0) ? v - 1 : v;
  if (Owner()) Owner()->ApplyBufferSizes();
}

void TComBuffer::SetInputSize(std::int32_t v) { Set(inputSize_, v); }
void TComBuffer::SetOutputSize(std::int32_t v) { Set(outputSize_, v); }
