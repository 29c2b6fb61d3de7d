#include "ParseInteger.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

namespace {

constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();

struct Case {
  const char* text;
  std::optional<std::int32_t> expected;
};

void PrintTo(const Case& c, std::ostream* os) { *os << '"' << c.text << '"'; }

class ParseIntegerCases : public ::testing::TestWithParam<Case> {};

TEST_P(ParseIntegerCases, YieldsTheValueOrFails) {
  const Case& c = GetParam();
  EXPECT_EQ(ParseInteger(c.text), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Decimal, ParseIntegerCases,
                         ::testing::Values(Case{"42", 42}, Case{" 42", 42}, Case{"   -7", -7},
                                           Case{"+0080", 80}, Case{"0", 0}, Case{"-0", 0},
                                           Case{"0000000000000000000042", 42}));

INSTANTIATE_TEST_SUITE_P(DecimalRange, ParseIntegerCases,
                         ::testing::Values(Case{"2147483647", kMax}, Case{"-2147483648", kMin},
                                           Case{"+2147483647", kMax}, Case{"2147483648", {}},
                                           Case{"-2147483649", {}}, Case{"4294967295", {}},
                                           Case{"99999999999999999999999999", {}}));

INSTANTIATE_TEST_SUITE_P(Hexadecimal, ParseIntegerCases,
                         ::testing::Values(Case{"$10", 16}, Case{"x1f", 31}, Case{"X1F", 31},
                                           Case{"0x10", 16}, Case{"0XaB", 171}, Case{"-0x10", -16},
                                           Case{"+$FF", 255}, Case{" $ff", 255},
                                           Case{"$FFFFFFFF", -1}, Case{"$7FFFFFFF", kMax},
                                           Case{"$80000000", kMin}, Case{"-$80000000", kMin},
                                           Case{"-$FFFFFFFF", 1}, Case{"$0000000010", 16},
                                           Case{"$100000000", {}}));

INSTANTIATE_TEST_SUITE_P(Refused, ParseIntegerCases,
                         ::testing::Values(Case{"", {}}, Case{" ", {}}, Case{"+", {}},
                                           Case{"-", {}}, Case{"42 ", {}}, Case{"4 2", {}},
                                           Case{"- 4", {}}, Case{"\t42", {}}, Case{"12a", {}},
                                           Case{"--1", {}}, Case{"+-1", {}}, Case{"1.5", {}},
                                           Case{"$", {}}, Case{"0x", {}}, Case{"-x", {}},
                                           Case{"$G", {}}, Case{"00x10", {}}, Case{"$-1", {}},
                                           Case{"0x 1", {}}, Case{"$1 ", {}}));

TEST(ParseInteger, DigitsAfterANulByteDoNotCount) {
  const std::string text(
      "12\0"
      "3",
      4);
  EXPECT_EQ(ParseInteger(text), std::nullopt);
}

TEST(ParseInteger, OutputFormWritesOnlyOnSuccess) {
  std::int32_t value = 1234;
  EXPECT_FALSE(ParseInteger("abc", value));
  EXPECT_EQ(value, 1234);
  EXPECT_TRUE(ParseInteger("-2147483648", value));
  EXPECT_EQ(value, kMin);
}

}  // namespace
