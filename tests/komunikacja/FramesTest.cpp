#include "Frames.h"

#include <gtest/gtest.h>

namespace {

ByteString Bytes(std::initializer_list<int> values) {
  ByteString s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

TEST(Crc16, StandardCheckValueAndEmptyInput) {
  EXPECT_EQ(Crc16("123456789"), 0x4B37);
  EXPECT_EQ(Crc16(""), 0xFFFF);
  // Only the first count bytes count, and never more than there are.
  EXPECT_EQ(Crc16("123456789xyz", 9), 0x4B37);
  EXPECT_EQ(Crc16("123456789", 200), 0x4B37);
  EXPECT_EQ(Crc16(Bytes({0x00, 0x00}), 2), Crc16(ByteString(2, '\0')));
  EXPECT_NE(Crc16(Bytes({0x00})), Crc16(""));
}

TEST(Requests, EachFixedRequestHasItsFunctionParameterAndLength) {
  EXPECT_EQ(EnterConfigModeRequest(1), Bytes({0x01, 0x47, 0xC9, 0x00, 0x07, 0x9C, 0x88}));
  const struct {
    ByteString frame;
    int function, parameter, length;
  } cases[] = {
      {EnterConfigModeRequest(0), 0x47, 0xC9, 7},
      {LeaveConfigModeRequest(0), 0x47, 0xCA, 7},
      {ReadOperatingModeRequest(0), 0x46, 0xCB, 7},
      {WriteOperatingModeRequest(0, 1), 0x47, 0xCB, 8},
      {ReadIpAddressRequest(0), 0x46, 0x64, 7},
      {ReadIpPortRequest(0), 0x46, 0x65, 7},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(c.frame.size(), static_cast<std::size_t>(c.length));
    EXPECT_EQ(c.frame[0], 0) << "address 0 is sent like any other";
    EXPECT_EQ(static_cast<std::uint8_t>(c.frame[1]), c.function);
    EXPECT_EQ(static_cast<std::uint8_t>(c.frame[2]), c.parameter);
    EXPECT_EQ(DeclaredLength(c.frame), c.length);
    EXPECT_TRUE(ChecksumValid(c.frame));
  }
}

TEST(Requests, OperatingModeSendsOnlyTheLowByte) {
  EXPECT_EQ(WriteOperatingModeRequest(5, 1)[5], 0x01);
  EXPECT_EQ(WriteOperatingModeRequest(5, 257), WriteOperatingModeRequest(5, 1));
  EXPECT_EQ(static_cast<std::uint8_t>(WriteOperatingModeRequest(5, -1)[5]), 0xFF);
}

TEST(Requests, TextWritesCarryTheirFinalLength) {
  const ByteString empty = WriteIpAddressRequest(3, "");
  EXPECT_EQ(empty.size(), 7u);
  EXPECT_EQ(empty.substr(0, 5), Bytes({0x03, 0x47, 0x64, 0x00, 0x07}));
  EXPECT_TRUE(ChecksumValid(empty));

  const ByteString ip = WriteIpAddressRequest(3, "192.168.0.10");
  ASSERT_EQ(ip.size(), 19u);
  EXPECT_EQ(ip.substr(0, 5), Bytes({0x03, 0x47, 0x64, 0x00, 0x13}));
  EXPECT_EQ(ip.substr(5, 12), "192.168.0.10");
  EXPECT_TRUE(ChecksumValid(ip));

  const ByteString port = WriteIpPortRequest(3, "502");
  EXPECT_EQ(port.substr(0, 5), Bytes({0x03, 0x47, 0x65, 0x00, 0x0A}));
  EXPECT_EQ(FrameData(port), "502");

  // A text with NUL bytes inside is data, and a length over 255 uses the high byte.
  const ByteString long_text(300, '\0');
  const ByteString big = WriteIpPortRequest(3, long_text);
  EXPECT_EQ(DeclaredLength(big), 307);
  EXPECT_EQ(FrameData(big), long_text);
}

TEST(Requests, TextTooLongForTheLengthFieldIsRefused) {
  const ByteString largest(MaxFrameLength - FrameOverhead, 'x');
  const ByteString frame = WriteIpAddressRequest(1, largest);
  EXPECT_EQ(DeclaredLength(frame), 0xFFFF);
  EXPECT_TRUE(ChecksumValid(frame));
  EXPECT_THROW(WriteIpAddressRequest(1, largest + "x"), FrameError);
  EXPECT_THROW(WriteIpPortRequest(1, ByteString(70000, '1')), FrameError);
}

TEST(Replies, RefusalRule) {
  const ByteString request = ReadOperatingModeRequest(9);
  const ByteString refusal = RefusalFor(request, 0x33);
  ASSERT_EQ(refusal.size(), 5u);
  EXPECT_EQ(static_cast<std::uint8_t>(refusal[1]), 0xC6);
  EXPECT_TRUE(IsRefusal(refusal, request));

  ByteString bad_crc = refusal;
  bad_crc[4] ^= 1;
  EXPECT_FALSE(IsRefusal(bad_crc, request));
  EXPECT_FALSE(IsRefusal(RefusalFor(ReadOperatingModeRequest(8)), request)) << "other address";
  EXPECT_FALSE(IsRefusal(RefusalFor(EnterConfigModeRequest(9)), request)) << "other function";
  ByteString no_flag = Bytes({9, 0x46, 0x01});
  AppendCrc(no_flag);
  EXPECT_FALSE(IsRefusal(no_flag, request));
  ByteString longer = Bytes({9, 0xC6, 0x01, 0x00});
  AppendCrc(longer);
  EXPECT_FALSE(IsRefusal(longer, request));
}

TEST(Replies, DataAndTrimming) {
  const ByteString reply =
      BuildFrame(2, FunctionRead, ParamIpAddress, ByteString(" 10.0.0.1\0\0", 11));
  EXPECT_EQ(DeclaredLength(reply), 18);
  EXPECT_EQ(TrimText(FrameData(reply)), "10.0.0.1");
  EXPECT_EQ(TrimText(ByteString("\x01 a b\x20\x00", 6)), "a b");
  EXPECT_EQ(TrimText(ByteString("\x7f\x80", 2)), ByteString("\x7f\x80", 2)) << "only <= 0x20";
  EXPECT_EQ(TrimText("   "), "");
  // Frames of 5 or 6 bytes have no data; they must not yield a negative slice.
  EXPECT_EQ(FrameData(RefusalFor(reply)), "");
  EXPECT_EQ(FrameData(ByteString(6, 'x')), "");
  EXPECT_EQ(FrameData(BuildFrame(2, FunctionRead, ParamIpPort)), "");
}

TEST(HexDump, TwoUpperCaseDigitsAndASpacePerByte) {
  EXPECT_EQ(HexDump(Bytes({0x0A, 0xFF, 0x00, 0x9c})), "0A FF 00 9C ");
  EXPECT_EQ(HexDump(""), "");
}

}  // namespace
