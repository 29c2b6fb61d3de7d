// The command line and the texts the tool prints: pieces a wrong value would slip through.
#include <gtest/gtest.h>

#include <algorithm>

#include "CliOptions.h"
#include "Commands.h"
#include "Json.h"

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
  // The most used speeds first, 110 bit/s last; each of the fifteen once.
  const std::vector<int> all = *ParseSpeedList("ALL");
  ASSERT_EQ(all.size(), 15u);
  std::vector<int> speeds;
  for (const int index : all) speeds.push_back(SpeedOf(index));
  EXPECT_EQ(std::vector<int>(speeds.begin(), speeds.begin() + 5),
            std::vector<int>({19200, 9600, 38400, 57600, 115200}));
  EXPECT_EQ(speeds.back(), 110);
  std::vector<int> sorted = speeds;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(sorted, Speeds());
  EXPECT_EQ(*ParseSpeedList("common"), std::vector<int>(all.begin(), all.begin() + 5));

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
  EXPECT_EQ(o.baudIndexes, *ParseSpeedList("all"));
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

TEST(CliOptions, ShortOptionsAreTheLongOnes) {
  Options o = Parsed({"read", "-p", "/dev/ttyUSB1", "-s", "9600", "-a", "255", "-j"});
  EXPECT_EQ(o.port, "/dev/ttyUSB1");
  EXPECT_EQ(o.baudIndex, 6);
  EXPECT_EQ(o.address, 255);
  EXPECT_TRUE(o.json);
  // The value may be joined to the letter.
  o = Parsed({"-pCOM3", "-s115200", "-a0", "write", "--mode", "LAN"});
  EXPECT_EQ(o.port, "COM3");
  EXPECT_EQ(o.baudIndex, 12);
  EXPECT_EQ(o.address, 0);
  EXPECT_FALSE(o.json);

  EXPECT_EQ(Parsed({"read", "-h"}).command, Command::Help);
  EXPECT_EQ(Parsed({"-V"}).command, Command::Version);
  EXPECT_EQ(Parsed({"help"}).command, Command::Help);
  EXPECT_EQ(ParseCommandLine({"read", "help"}).error, "unexpected \"help\" after the command");
  EXPECT_EQ(ParseCommandLine({"read", "-a", "256"}).error,
            "address \"256\" is not a number from 0 to 255");
  EXPECT_EQ(ParseCommandLine({"read", "-p"}).error,
            "--port needs a port, e.g. COM2 or /dev/ttyUSB0");
  for (const char* bad : {"-x", "-jx", "-hx", "-"})
    EXPECT_NE(ParseCommandLine({"read", bad}).error, "") << bad;

  EXPECT_TRUE(WantsJson({"read", "--speed", "7", "-j"}));
  EXPECT_TRUE(WantsJson({"--json"}));
  // Bundled, or cut short as the parser allows.
  EXPECT_TRUE(WantsJson({"read", "-ja", "2"}));
  EXPECT_TRUE(WantsJson({"read", "-fj"}));
  EXPECT_TRUE(WantsJson({"--js", "read"}));
  // A letter's value is no flag.
  EXPECT_FALSE(WantsJson({"read", "-pj"}));
  EXPECT_FALSE(WantsJson({"read", "--json=1", "--", "-j"}));
  EXPECT_FALSE(WantsJson({"read", "-Sj", "-sj"}));
}

TEST(CliOptions, ShortFlagsBundleAsInOtherTools) {
  Options o = Parsed({"read", "-ja", "7"});
  EXPECT_TRUE(o.json);
  EXPECT_EQ(o.address, 7);
  o = Parsed({"-jpCOM7", "write", "-mRS485", "-i", "10.0.0.1", "-P", "80", "--no-verify"});
  EXPECT_TRUE(o.json);
  EXPECT_EQ(o.port, "COM7");
  EXPECT_EQ(o.mode, 1);
  EXPECT_EQ(o.ip, "10.0.0.1");
  EXPECT_EQ(o.ipPort, 80);
  EXPECT_FALSE(o.verify);
  EXPECT_TRUE(Parsed({"write", "-P", "80"}).verify);
  o = Parsed({"scan", "-jfA", "1-3", "-S", "common", "-t", "20"});
  EXPECT_TRUE(o.json);
  EXPECT_TRUE(o.first);
  EXPECT_EQ(o.addresses, std::vector<int>({1, 2, 3}));
  EXPECT_EQ(o.baudIndexes, *ParseSpeedList("common"));
  EXPECT_EQ(o.timeoutMs, 20);
  o = Parsed({"read", "-l/tmp/logs"});
  EXPECT_TRUE(o.log);
  EXPECT_EQ(o.logDir, "/tmp/logs");
  o = Parsed({"read", "-l"});
  EXPECT_TRUE(o.log);
  EXPECT_EQ(o.logDir, "");
  // A long option may be cut short while it stays one.
  EXPECT_EQ(Parsed({"read", "--ports", "/x"}).portsDir, "/x");
  EXPECT_EQ(ParseCommandLine({"scan", "--addr", "9"}).error, "unknown option --addr")
      << "--address or --addresses";
  EXPECT_EQ(ParseCommandLine({"read", "-jq"}).error, "unknown option -q");
  EXPECT_EQ(ParseCommandLine({"read", "-ja"}).error, "--address needs an address 0-255");
  EXPECT_EQ(ParseCommandLine({"read", "--json=yes"}).error, "--json takes no value");
  EXPECT_EQ(ParseCommandLine({"read", "--ip-po=1"}).error,
            "--mode, --ip, --ip-port and --no-verify belong to write");
}

TEST(CliTexts, DeviceBytesAreEscaped) {
  EXPECT_EQ(Printable("10.0.0.1"), "10.0.0.1");
  EXPECT_EQ(Printable(std::string("a\0\x1b\\\xff", 5)), "a\\x00\\x1B\\x5C\\xFF");
  // Bytes that are no UTF-8 stay bytes, each its own code point.
  EXPECT_EQ(JsonString(std::string("\"a\\\n\0\xe9\x1b", 7)),
            "\"\\\"a\\\\\\n\\u0000\\u00e9\\u001b\"");
}

TEST(CliTexts, EveryResultCodeHasItsOwnMeaning) {
  for (auto* words : {&ResultMeaning, &ResultWords}) {
    std::vector<std::string> seen;
    for (int code : {1, 2, 3, 4, 5, 7, 10}) {
      const std::string m = (*words)(code);
      EXPECT_NE(m, (*words)(99)) << code;
      EXPECT_EQ(std::find(seen.begin(), seen.end(), m), seen.end()) << code;
      seen.push_back(m);
    }
  }
  EXPECT_EQ(ResultWords(3), "the device did not answer");
}

TEST(CliTexts, Durations) {
  EXPECT_EQ(DurationText(1), "1 s");
  EXPECT_EQ(DurationText(59000), "59 s");
  EXPECT_EQ(DurationText(59001), "1 min");
  EXPECT_EQ(DurationText(81000), "1 min 21 s");
  EXPECT_EQ(DurationText(3600000), "1 h 0 min");
}

TEST(CliTexts, AScanEstimateGrowsWithAddressesSpeedsAndTimeOut) {
  Options o = Parsed({"scan", "--addresses", "0-9", "--speeds", "115200"});
  const long long ten = ScanEstimateMs(o);
  // Ten probes of at least the time-out, and the wait for a late reply after them.
  EXPECT_GE(ten, 10 * 50 + 250);
  o.addresses = *ParseAddressList("0-19");
  const long long twenty = ScanEstimateMs(o);
  EXPECT_GE(twenty, ten + 10 * 50);
  // 50 ms more for each of twenty probes.
  o.timeoutMs = 100;
  EXPECT_GE(ScanEstimateMs(o), twenty + 20 * 50);
  // A slow speed costs more per probe than a fast one.
  Options slow = Parsed({"scan", "--addresses", "0-9", "--speeds", "110"});
  EXPECT_GT(ScanEstimateMs(slow), ten + 10 * 1000);
}

TEST(CliTexts, AMessageOfSeveralLinesIsOneForJson) {
  EXPECT_EQ(OneLine("port COM4 does not exist.\nPorts found:\n  COM1 -> /dev/ttyS0  (built-in)\n"
                    "  COM3 -> /dev/pts/3  (pseudo-terminal)\n"),
            "port COM4 does not exist. Ports found: COM1 -> /dev/ttyS0 (built-in); COM3 -> "
            "/dev/pts/3 (pseudo-terminal)");
  EXPECT_EQ(OneLine("one line"), "one line");
  EXPECT_EQ(OneLine(""), "");
}

TEST(CliTexts, EachUsageLineNamesEveryOptionOfItsCommand) {
  const std::string usage = kUsage;
  auto section = [&](const std::string& command) {
    const std::size_t from = usage.find("konfigurator-cli " + command);
    return usage.substr(from, usage.find("konfigurator-cli", from + 1) - from);
  };
  const std::vector<std::string> common = {"-p PORT", "--ports-dir DIR", "-j", "-l|--log[=DIR]"};
  const std::vector<std::pair<std::string, std::vector<std::string>>> commands = {
      {"read", {"-s BPS", "-a N"}},
      {"write", {"-s BPS", "-a N", "-m LAN|RS485", "-i A.B.C.D", "-P N", "--no-verify"}},
      {"scan", {"-A LIST", "-S LIST", "-t MS", "-f"}}};
  for (const auto& [command, own] : commands) {
    const std::string text = section(command);
    for (const std::vector<std::string>* list : {&common, &own})
      for (const std::string& option : *list)
        EXPECT_NE(text.find("[" + option), std::string::npos) << command << ": " << option;
  }
}
