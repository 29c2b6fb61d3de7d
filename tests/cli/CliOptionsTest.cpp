// The command line and the texts the tool prints: pieces a wrong value would slip through.
#include <gtest/gtest.h>

#include "CliOptions.h"
#include "Commands.h"

using namespace cli;

namespace {

Options Parsed(std::vector<std::string> args) {
  const ParseResult r = ParseCommandLine(args);
  EXPECT_EQ(r.error, "");
  return r.options;
}

}  // namespace

TEST(CliOptions, SpeedsAreTheFifteenOfTheWindowByIndex) {
  EXPECT_EQ(BaudIndexOf("110"), 0);
  EXPECT_EQ(BaudIndexOf("19200"), 8);
  EXPECT_EQ(BaudIndexOf("256000"), 14);
  for (const char* bad : {"", "0", "9601", "19200 ", "+9600", "-110", "99999999999"})
    EXPECT_EQ(BaudIndexOf(bad), -1) << bad;
}

TEST(CliOptions, AddressLists) {
  EXPECT_EQ(ParseAddressList("0-255")->size(), 256u);
  EXPECT_EQ(*ParseAddressList("7"), std::vector<int>({7}));
  EXPECT_EQ(*ParseAddressList("255,0"), std::vector<int>({255, 0})) << "both ends alone";
  // In the order given, each address once.
  EXPECT_EQ(*ParseAddressList("10-12,3,11,0"), std::vector<int>({10, 11, 12, 3, 0}));
  for (const char* bad : {"", "256", "5-3", "1,,2", "1-", "-1", "a", "0-256", "1 2"})
    EXPECT_FALSE(ParseAddressList(bad)) << bad;
}

TEST(CliOptions, SpeedLists) {
  EXPECT_EQ(ParseSpeedList("ALL")->size(), 15u);
  EXPECT_EQ(*ParseSpeedList("19200,9600,19200"), std::vector<int>({8, 6}));
  EXPECT_FALSE(ParseSpeedList("9600,1"));
  EXPECT_FALSE(ParseSpeedList(""));
}

TEST(CliOptions, IpAddressesAreFourOctets) {
  EXPECT_EQ(*ParseIpAddress("192.168.1.10"), "192.168.1.10");
  EXPECT_EQ(*ParseIpAddress("010.000.1.255"), "10.0.1.255");
  for (const char* bad :
       {"1.2.3", "1.2.3.4.5", "256.1.1.1", "1..2.3", "1.2.3.4 ", "0001.1.1.1", "a.b.c.d", ""})
    EXPECT_FALSE(ParseIpAddress(bad)) << bad;
}

TEST(CliOptions, Modes) {
  EXPECT_EQ(*ParseMode("lan"), 0);
  EXPECT_EQ(*ParseMode("RS485"), 1);
  EXPECT_EQ(*ParseMode("7"), 7);
  EXPECT_FALSE(ParseMode("256"));
  EXPECT_FALSE(ParseMode("wifi"));
  EXPECT_EQ(ModeName(1), "RS485");
  EXPECT_EQ(ModeName(2), "mode 2");
}

TEST(CliOptions, CommandLines) {
  Options o = Parsed({"read"});
  EXPECT_EQ(o.command, Command::Read);
  EXPECT_EQ(o.baudIndex, 8);  // the window's defaults: 19200 bit/s, address 2, COM2
  EXPECT_EQ(o.address, 2);
  EXPECT_FALSE(o.log);

  o = Parsed({"--port=/dev/ttyUSB0", "write", "--ip-port", "0", "--speed=9600", "--log=/tmp"});
  EXPECT_EQ(o.command, Command::Write);
  EXPECT_EQ(o.port, "/dev/ttyUSB0");
  EXPECT_EQ(o.baudIndex, 6);
  EXPECT_EQ(o.ipPort, 0);
  EXPECT_TRUE(o.log);
  EXPECT_EQ(o.logDir, "/tmp");

  o = Parsed({"scan"});
  EXPECT_EQ(o.addresses.size(), 256u);
  EXPECT_EQ(o.baudIndexes.size(), 15u);
  EXPECT_EQ(o.timeoutMs, 50);

  EXPECT_NE(ParseCommandLine({"read", "write"}).error, "");
  EXPECT_NE(ParseCommandLine({"read", "--address"}).error, "");
  EXPECT_NE(ParseCommandLine({"write", "--ip-port", "65536"}).error, "");
  EXPECT_NE(ParseCommandLine({"read", "--json=yes"}).error, "");
  EXPECT_NE(ParseCommandLine({"scan", "--timeout", "0"}).error, "");
  EXPECT_EQ(ParseCommandLine({"read", "--bogus", "--help"}).error, "unknown option --bogus");
}

TEST(CliTexts, DeviceBytesAreEscaped) {
  EXPECT_EQ(Printable("10.0.0.1"), "10.0.0.1");
  EXPECT_EQ(Printable(std::string("a\0\x1b\\\xff", 5)), "a\\x00\\x1B\\x5C\\xFF");
  EXPECT_EQ(JsonString(std::string("\"a\\\n\0\xe9", 6)), "\"\\\"a\\\\\\u000A\\u0000\\u00E9\"");
}

TEST(CliTexts, EveryResultCodeHasItsOwnMeaning) {
  std::vector<std::string> seen;
  for (int code : {1, 2, 3, 4, 5, 7, 10}) {
    const std::string m = ResultMeaning(code);
    EXPECT_NE(m, ResultMeaning(99)) << code;
    EXPECT_EQ(std::find(seen.begin(), seen.end(), m), seen.end()) << code;
    seen.push_back(m);
  }
}
