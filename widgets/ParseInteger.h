// The one text-to-integer rule of the window and its input fields. Plain C++ so
// that the device link and fuzzers can share it without Qt.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// Leading spaces, an optional sign, then decimal digits or hexadecimal digits
// after "$", "x", "X", "0x" or "0X". Nothing may follow the digits. Decimal text
// must fit a signed 32-bit integer; hexadecimal text is a 32-bit pattern of at
// most eight significant digits ("$FFFFFFFF" is -1), negated by a "-".
std::optional<std::int32_t> ParseInteger(std::string_view text);

// The same rule; `value` is written only when the text parses.
bool ParseInteger(std::string_view text, std::int32_t& value);
