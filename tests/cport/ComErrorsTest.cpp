#include <gtest/gtest.h>

#include <string>

#include "EComPort.h"

namespace {

TEST(EComPortTest, MessageTableIsCompleteAndExact) {
  const char* expected[] = {
      "Unable to open com port",
      "WriteFile function failed",
      "ReadFile function failed",
      "Invalid Async parameter",
      "PurgeComm function failed",
      "Unable to get async status",
      "SetCommState function failed",
      "SetCommTimeouts failed",
      "SetupComm function failed",
      "ClearCommError function failed",
      "GetCommModemStatus function failed",
      "EscapeCommFunction function failed",
      "TransmitCommChar function failed",
      "Cannot set property while connected",
      "EnumPorts function failed",
      "Failed to store settings",
      "Failed to load settings",
      "Link (un)registration failed",
      "Cannot change led state if ComPort is selected",
      "Cannot wait for event if event thread is created",
      "WaitForEvent method failed",
      "A component is linked to OnRxBuf event",
      "Registry error",
  };
  for (int code = 1; code <= 23; ++code) {
    SCOPED_TRACE(code);
    const EComPort bare(code);
    EXPECT_EQ(bare.what(), std::string(expected[code - 1]));
    EXPECT_EQ(bare.PortErrorCode(), code);
    EXPECT_EQ(bare.SystemErrorCode(), -1);
    EXPECT_EQ(std::string(EComPort::MessageOf(code)).find('%'), std::string::npos);
  }
}

TEST(EComPortTest, PlatformCodeIsAppendedAsSignedDecimal) {
  const EComPort open(1, 2);
  EXPECT_STREQ(open.what(), "Unable to open com port (win error code: 2)");
  EXPECT_EQ(open.PortErrorCode(), 1);
  EXPECT_EQ(open.SystemErrorCode(), 2);

  EXPECT_STREQ(EComPort(10, 0).what(), "ClearCommError function failed (win error code: 0)");
  EXPECT_STREQ(EComPort(8, 5).what(), "SetCommTimeouts failed (win error code: 5)");
  // An unsigned platform value above INT32_MAX arrives as its signed bit pattern.
  const EComPort high(2, static_cast<std::int32_t>(0x80000001u));
  EXPECT_STREQ(high.what(), "WriteFile function failed (win error code: -2147483647)");
}

TEST(EComPortTest, CodesFourAndFourteenCarryNoPlatformCode) {
  const EComPort async(CError_InvalidAsync);
  EXPECT_STREQ(async.what(), "Invalid Async parameter");
  EXPECT_EQ(async.SystemErrorCode(), -1);
  const EComPort prop(CError_ConnChangeProp);
  EXPECT_STREQ(prop.what(), "Cannot set property while connected");
  EXPECT_EQ(prop.SystemErrorCode(), -1);
}

TEST(EComPortTest, IsCaughtAsTheCommonBase) {
  try {
    throw EComPort(5, 11);
  } catch (const EComponentError& e) {
    EXPECT_STREQ(e.what(), "PurgeComm function failed (win error code: 11)");
  }
}

}  // namespace
