// ParseInteger against a reference written separately from it: any text, and texts made from
// a 32-bit value in every form the rule accepts, must give the same answer from both.
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "ParseInteger.h"

namespace {

bool IsDigit(char c, int base) {
  if (c >= '0' && c <= '9') return true;
  return base == 16 && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'));
}

// Strips the text down to its significant digits and lets from_chars do the arithmetic.
std::optional<std::int32_t> Reference(std::string_view s) {
  const std::size_t first = s.find_first_not_of(' ');
  if (first == std::string_view::npos) return std::nullopt;
  s.remove_prefix(first);
  bool negative = false;
  if (s.front() == '+' || s.front() == '-') {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  int base = 10;
  if (s.starts_with('$') || s.starts_with('x') || s.starts_with('X')) {
    base = 16;
    s.remove_prefix(1);
  } else if (s.starts_with("0x") || s.starts_with("0X")) {
    base = 16;
    s.remove_prefix(2);
  }
  if (s.empty()) return std::nullopt;
  for (char c : s)
    if (!IsDigit(c, base)) return std::nullopt;
  const std::size_t nonZero = s.find_first_not_of('0');
  const std::string_view significant =
      nonZero == std::string_view::npos ? std::string_view() : s.substr(nonZero);
  if (significant.size() > (base == 16 ? 8u : 10u)) return std::nullopt;
  std::uint64_t magnitude = 0;
  if (!significant.empty()) {
    const auto [end, ec] = std::from_chars(
        significant.data(), significant.data() + significant.size(), magnitude, base);
    if (ec != std::errc() || end != significant.data() + significant.size()) std::abort();
  }
  if (base == 16) {
    std::uint32_t pattern = static_cast<std::uint32_t>(magnitude);
    if (negative) pattern = ~pattern + 1;
    return static_cast<std::int32_t>(pattern);
  }
  const std::int64_t value =
      negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
  if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
  return static_cast<std::int32_t>(value);
}

void Fail(std::string_view text, const char* what) {
  std::fprintf(stderr, "ParseInteger(\"%.*s\"): %s\n", static_cast<int>(text.size()), text.data(),
               what);
  std::abort();
}

void Check(std::string_view text) {
  const std::optional<std::int32_t> got = ParseInteger(text);
  const std::optional<std::int32_t> want = Reference(text);
  if (got.has_value() != want.has_value())
    Fail(text, got ? "parses, should fail" : "fails, should parse");
  if (got && *got != *want) Fail(text, "wrong value");

  std::int32_t out = 0x5A5A5A5A;
  const bool ok = ParseInteger(text, out);
  if (ok != got.has_value()) Fail(text, "the two forms disagree");
  if (ok ? out != *got : out != 0x5A5A5A5A) Fail(text, "output written wrongly");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  Check(text);

  // The forms a valid value takes, each decorated by the bytes that follow the value.
  if (size >= 4) {
    std::int32_t v;
    std::memcpy(&v, data, 4);
    const auto u = static_cast<std::uint32_t>(v);
    const std::string tail(text.substr(4, 3));
    char buf[64];
    auto checkForm = [&](int n) {
      const std::string s(buf, static_cast<std::size_t>(n));
      Check(s);
      Check(s + tail);
      Check(tail + s);
    };
    for (const char* form : {"%d", "   %d", "%+d"})
      checkForm(std::snprintf(buf, sizeof buf, form, v));
    for (const char* form : {"+%u", "$%X", "-$%x", "0x%08X", "X%x", "-0X%X", "%u0"})
      checkForm(std::snprintf(buf, sizeof buf, form, u));
    const std::optional<std::int32_t> back = ParseInteger(std::to_string(v));
    if (!back || *back != v) Fail(std::to_string(v), "decimal text does not come back");
  }
  return 0;
}
