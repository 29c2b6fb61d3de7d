// Link timing constants.
#pragma once

#include <cstdint>

// Outside the NT family the program switches the RS-485 transmitter itself: it waits this
// long before raising RTS and again after the last byte before dropping it.
inline constexpr std::int32_t TxGuardMicros = 5000;
