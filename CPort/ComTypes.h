// Enumerations and sets of the serial port component. Ordinals are fixed: the device link picks
// a speed by ordinal, so never reorder them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

enum TBaudRate : std::uint8_t {
  brCustom,
  br110,
  br300,
  br600,
  br1200,
  br2400,
  br4800,
  br9600,
  br14400,
  br19200,
  br38400,
  br56000,
  br57600,
  br115200,
  br128000,
  br256000
};
enum TStopBits : std::uint8_t { sbOneStopBit, sbOne5StopBits, sbTwoStopBits };
enum TDataBits : std::uint8_t { dbFive, dbSix, dbSeven, dbEight };
enum TParityBits : std::uint8_t { prNone, prOdd, prEven, prMark, prSpace };
enum TDTRFlowControl : std::uint8_t { dtrDisable, dtrEnable, dtrHandshake };
enum TRTSFlowControl : std::uint8_t { rtsDisable, rtsEnable, rtsHandshake, rtsToggle };
enum TFlowControl : std::uint8_t { fcHardware, fcSoftware, fcNone, fcCustom };
enum TComEvent : std::uint8_t {
  evRxChar,
  evTxEmpty,
  evRxFlag,
  evRing,
  evBreak,
  evCTS,
  evDSR,
  evError,
  evRLSD,
  evRx80Full
};
enum TComError : std::uint8_t {
  ceFrame,
  ceRxParity,
  ceOverrun,
  ceBreak,
  ceIO,
  ceMode,
  ceRxOver,
  ceTxFull
};
enum TSyncMethod : std::uint8_t { smThreadSync, smWindowSync, smNone };
enum LineSignal : std::uint8_t { lsCTS, lsDSR, lsRing, lsRLSD };
enum RequestKind : std::uint8_t { rkWrite, rkRead };

// A set of enumeration members, bit n for ordinal n.
template <typename E, typename Bits>
class TEnumSet {
 public:
  constexpr TEnumSet() = default;
  constexpr TEnumSet(std::initializer_list<E> members) {
    for (E m : members) bits_ |= Bit(m);
  }
  static constexpr TEnumSet FromBits(Bits bits) {
    TEnumSet s;
    s.bits_ = bits;
    return s;
  }
  constexpr Bits ToBits() const { return bits_; }
  constexpr bool Contains(E m) const { return (bits_ & Bit(m)) != 0; }
  constexpr bool Empty() const { return bits_ == 0; }
  constexpr TEnumSet& Include(E m) {
    bits_ = static_cast<Bits>(bits_ | Bit(m));
    return *this;
  }
  constexpr TEnumSet& Exclude(E m) {
    bits_ = static_cast<Bits>(bits_ & ~Bit(m));
    return *this;
  }
  constexpr bool operator==(const TEnumSet&) const = default;

 private:
  static constexpr Bits Bit(E m) { return static_cast<Bits>(Bits{1} << static_cast<unsigned>(m)); }
  Bits bits_ = 0;
};

using TComEvents = TEnumSet<TComEvent, std::uint16_t>;
using TComErrors = TEnumSet<TComError, std::uint8_t>;
using LineSignals = TEnumSet<LineSignal, std::uint8_t>;

inline constexpr TComEvents AllComEvents = TComEvents::FromBits(0x3FF);

// Bits per second of a speed; 0 for brCustom, whose speed is the port's CustomBaudRate.
std::int32_t BaudRateValue(TBaudRate rate);

// Text forms. Converting back compares in ASCII upper case, in ordinal order; text that matches
// no form gives the enumeration's fallback silently.
std::string BaudRateToStr(TBaudRate v);
std::string StopBitsToStr(TStopBits v);
std::string DataBitsToStr(TDataBits v);
std::string ParityToStr(TParityBits v);
std::string DTRToStr(TDTRFlowControl v);
std::string RTSToStr(TRTSFlowControl v);
std::string FlowControlToStr(TFlowControl v);

TBaudRate StrToBaudRate(std::string_view text);        // fallback br9600
TStopBits StrToStopBits(std::string_view text);        // fallback sbOneStopBit
TDataBits StrToDataBits(std::string_view text);        // fallback dbEight
TParityBits StrToParity(std::string_view text);        // fallback prNone
TDTRFlowControl StrToDTR(std::string_view text);       // fallback dtrDisable
TRTSFlowControl StrToRTS(std::string_view text);       // fallback rtsDisable
TFlowControl StrToFlowControl(std::string_view text);  // fallback fcCustom
