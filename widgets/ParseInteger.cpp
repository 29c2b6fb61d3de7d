#include "ParseInteger.h"

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::optional<std::int32_t> ParseInteger(std::string_view text) {
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n && text[i] == ' ') ++i;

  bool negative = false;
  if (i < n && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }

  bool hex = false;
  if (i < n && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
    hex = true;
    ++i;
  } else if (i + 1 < n && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i == n) return std::nullopt;  // no digit at all

  // Unsigned arithmetic throughout: wrapping is the hexadecimal rule, and the
  // decimal range is checked before it could matter.
  std::uint64_t magnitude = 0;
  if (hex) {
    int significant = 0;
    for (; i < n; ++i) {
      const int d = HexDigit(text[i]);
      if (d < 0) return std::nullopt;
      if (significant > 0 || d != 0) ++significant;
      if (significant > 8) return std::nullopt;
      magnitude = magnitude * 16 + static_cast<unsigned>(d);
    }
    std::uint32_t pattern = static_cast<std::uint32_t>(magnitude);
    if (negative) pattern = 0u - pattern;
    return static_cast<std::int32_t>(pattern);
  }

  const std::uint64_t limit = negative ? 2147483648u : 2147483647u;
  for (; i < n; ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return std::nullopt;
    magnitude = magnitude * 10 + static_cast<unsigned>(c - '0');
    if (magnitude > limit) return std::nullopt;
  }
  if (negative) return static_cast<std::int32_t>(0u - static_cast<std::uint32_t>(magnitude));
  return static_cast<std::int32_t>(magnitude);
}

bool ParseInteger(std::string_view text, std::int32_t& value) {
  const auto parsed = ParseInteger(text);
  if (parsed) value = *parsed;
  return parsed.has_value();
}
