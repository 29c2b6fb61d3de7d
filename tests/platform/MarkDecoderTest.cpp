// Line errors as the tty marks them in the data; a pty cannot produce them.
#include <string>

#include <gtest/gtest.h>

#include "Internal.h"

using serial::detail::MarkDecoder;

namespace {
struct Decoded {
  std::string data;
  std::uint32_t errors = 0;
};

// Marked bytes count as parity errors unless they are zero (a break).
Decoded DecodeAll(MarkDecoder& d, const std::string& raw, MarkDecoder::Options o = {}) {
  Decoded r;
  std::string out(raw.size(), '\0');
  const std::size_t k =
      d.Decode(reinterpret_cast<const unsigned char*>(raw.data()), raw.size(),
               reinterpret_cast<unsigned char*>(out.data()), r.errors, o,
               [](unsigned char b) { return b == 0 ? serial::CE_BREAK : serial::CE_RXPARITY; });
  r.data = out.substr(0, k);
  return r;
}
}  // namespace

TEST(MarkDecoder, DoubledFFIsDataAndMarksAreErrors) {
  MarkDecoder d;
  Decoded r = DecodeAll(d, std::string("a\xff\xff"
                                       "b\xff\x00"
                                       "c\xff\x00\x00"
                                       "d",
                                       11));
  EXPECT_EQ(r.data, std::string("a\xff"
                                "bcd"));
  EXPECT_EQ(r.errors, serial::CE_RXPARITY | serial::CE_BREAK);
}

TEST(MarkDecoder, AMarkSplitAcrossReadsIsStillOneMark) {
  MarkDecoder d;
  Decoded a = DecodeAll(d, "x\xff");
  Decoded b = DecodeAll(d, std::string("\x00", 1));
  Decoded c = DecodeAll(d, "Qy");
  EXPECT_EQ(a.data + b.data + c.data, "xQy");
  EXPECT_EQ(a.errors | b.errors, 0u);
  EXPECT_EQ(c.errors, serial::CE_RXPARITY);
}

TEST(MarkDecoder, ErrorCharacterAndNullDiscarding) {
  MarkDecoder d;
  MarkDecoder::Options o;
  o.replace = true;
  o.errorChar = '?';
  o.dropNull = true;
  Decoded r = DecodeAll(d,
                        std::string("a\x00"
                                    "b\xff\x00"
                                    "c",
                                    6),
                        o);
  EXPECT_EQ(r.data, "ab?");
}
