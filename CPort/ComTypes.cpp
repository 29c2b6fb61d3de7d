#include "ComTypes.h"

#include <array>
#include <cstddef>

namespace {

constexpr std::array<const char*, 16> kBaudText = {
    "Custom", "110",   "300",   "600",   "1200",  "2400",   "4800",   "9600",
    "14400",  "19200", "38400", "56000", "57600", "115200", "128000", "256000"};
constexpr std::array<std::int32_t, 16> kBaudValue = {0,     110,    300,    600,   1200,  2400,
                                                     4800,  9600,   14400,  19200, 38400, 56000,
                                                     57600, 115200, 128000, 256000};
constexpr std::array<const char*, 3> kStopText = {"1", "1.5", "2"};
constexpr std::array<const char*, 4> kDataText = {"5", "6", "7", "8"};
constexpr std::array<const char*, 5> kParityText = {"None", "Odd", "Even", "Mark", "Space"};
constexpr std::array<const char*, 3> kDtrText = {"Disable", "Enable", "Handshake"};
constexpr std::array<const char*, 4> kRtsText = {"Disable", "Enable", "Handshake", "Toggle"};
constexpr std::array<const char*, 4> kFlowText = {"Hardware", "Software", "None", "Custom"};

char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool SameUpper(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  return true;
}

template <typename E, std::size_t N>
E FromText(const std::array<const char*, N>& forms, std::string_view text, E fallback) {
  for (std::size_t i = 0; i < N; ++i)
    if (SameUpper(forms[i], text)) return static_cast<E>(i);
  return fallback;
}

template <std::size_t N>
std::string ToText(const std::array<const char*, N>& forms, unsigned ordinal) {
  return ordinal < N ? forms[ordinal] : "";
}

}  // namespace

std::int32_t BaudRateValue(TBaudRate rate) {
  return rate < kBaudValue.size() ? kBaudValue[rate] : 0;
}

std::string BaudRateToStr(TBaudRate v) { return ToText(kBaudText, v); }
std::string StopBitsToStr(TStopBits v) { return ToText(kStopText, v); }
std::string DataBitsToStr(TDataBits v) { return ToText(kDataText, v); }
std::string ParityToStr(TParityBits v) { return ToText(kParityText, v); }
std::string DTRToStr(TDTRFlowControl v) { return ToText(kDtrText, v); }
std::string RTSToStr(TRTSFlowControl v) { return ToText(kRtsText, v); }
std::string FlowControlToStr(TFlowControl v) { return ToText(kFlowText, v); }

TBaudRate StrToBaudRate(std::string_view t) { return FromText(kBaudText, t, br9600); }
TStopBits StrToStopBits(std::string_view t) { return FromText(kStopText, t, sbOneStopBit); }
TDataBits StrToDataBits(std::string_view t) { return FromText(kDataText, t, dbEight); }
TParityBits StrToParity(std::string_view t) { return FromText(kParityText, t, prNone); }
TDTRFlowControl StrToDTR(std::string_view t) { return FromText(kDtrText, t, dtrDisable); }
TRTSFlowControl StrToRTS(std::string_view t) { return FromText(kRtsText, t, rtsDisable); }
TFlowControl StrToFlowControl(std::string_view t) { return FromText(kFlowText, t, fcCustom); }
