// The tool against far ends that are no honest device: frames that answer nothing, a line that
// echoes, values no device can hold.
#include <gtest/gtest.h>

#include "ProcessSupport.h"
#include "ScriptedLine.h"

using namespace clitest;

namespace {

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::uint8_t Param(const ByteString& request) { return static_cast<std::uint8_t>(request[2]); }
DeviceAddress AddressOf(const ByteString& request) {
  return static_cast<DeviceAddress>(request[0]);
}

// A frame with a valid checksum whose length field says length, whatever its size.
ByteString WithLengthField(ByteString frame, int length) {
  frame.resize(frame.size() - 2);
  frame[3] = static_cast<char>((length >> 8) & 0xFF);
  frame[4] = static_cast<char>(length & 0xFF);
  AppendCrc(frame);
  return frame;
}

// A device that answers every request soundly, but with these values.
ScriptedLine::Script DeviceWith(const ByteString& ip, const ByteString& port) {
  return [ip, port](const ByteString& request) -> ByteString {
    const DeviceAddress a = AddressOf(request);
    switch (Param(request)) {
      case ParamOperatingMode:
        return BuildFrame(a, FunctionRead, ParamOperatingMode, ByteString(1, '\0'));
      case ParamIpAddress:
        return BuildFrame(a, FunctionRead, ParamIpAddress, ip);
      case ParamIpPort:
        return BuildFrame(a, FunctionRead, ParamIpPort, port);
      default:
        return request;  // entering and leaving configuration mode
    }
  };
}

struct Lie {
  const char* name;
  ScriptedLine::Script script;
};

class CliScanAgainstLies : public testing::TestWithParam<Lie> {};

// The engine takes each of these for a valid reply (right size, address and checksum); the
// scan must not count any of them as a device.
TEST_P(CliScanAgainstLies, FindsNothing) {
  ScriptedLine line(GetParam().script);
  const Output r =
      RunCli({"scan", "-jp", line.Path(), "-A", "0-3", "-S", "19200,9600", "-t", "20"});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_TRUE(Contains(r.out,
                       "\"devices\":[],\"probes\":8,\"complete\":true,"
                       "\"rejected_replies\":8,"))
      << r.out;
  EXPECT_TRUE(Contains(r.out, "\"error\":{\"kind\":\"none-found\"")) << r.out;
  EXPECT_TRUE(Contains(r.err, "8 replies did not answer their probe")) << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    Replies, CliScanAgainstLies,
    testing::Values(
        Lie{"LengthFieldZero", [](const ByteString& q) { return WithLengthField(q, 0); }},
        Lie{"LengthFieldFive", [](const ByteString& q) { return WithLengthField(q, 5); }},
        Lie{"LengthFieldMax", [](const ByteString& q) { return WithLengthField(q, 0xFFFF); }},
        Lie{"OtherFunction",
            [](const ByteString& q) { return BuildFrame(AddressOf(q), FunctionRead, Param(q)); }},
        Lie{"OtherParameter",
            [](const ByteString& q) {
              return BuildFrame(AddressOf(q), FunctionWrite, ParamLeaveConfig);
            }},
        // Passes every check of the probe's reply: only the mode read shows it up.
        Lie{"Echo", ScriptedLine::Echo}),
    [](const testing::TestParamInfo<Lie>& info) { return std::string(info.param.name); });

TEST(CliScanAgainstLies, AnEchoIsAskedForTheModeAndToldToLeave) {
  ScriptedLine line(ScriptedLine::Echo);
  const Output r = RunCli({"scan", "-p", line.Path(), "-A", "4", "-S", "9600"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  std::vector<std::string> heard;
  for (const ByteString& q : line.Requests()) heard.push_back(HexDump(q.substr(0, 3)));
  const std::vector<std::string> expected = {"04 47 C9 ", "04 46 CB ", "04 47 CA "};
  EXPECT_EQ(heard, expected);
}

TEST(CliWriteOnAnEcho, FailsNamingWhatWasWrittenAndWhatWasRead) {
  ScriptedLine line(ScriptedLine::Echo);
  Output r = RunCli({"write", "-p", line.Path(), "-i", "10.0.0.5"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "ip: 10.0.0.5 written, but read back as \"\"\n");
  EXPECT_TRUE(Contains(r.err, "the IP address read back is \"\", not the \"10.0.0.5\" written"))
      << r.err;
  // Read back inside the configuration bracket.
  std::vector<std::string> heard;
  for (const ByteString& q : line.Requests()) heard.push_back(HexDump(q.substr(0, 3)));
  const std::vector<std::string> expected = {"02 47 C9 ", "02 47 64 ", "02 46 64 ", "02 47 CA "};
  EXPECT_EQ(heard, expected);

  r = RunCli({"write", "-jp", line.Path(), "-P", "8080"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.out, "\"written\":{\"ip_port\":8080},\"unchanged\":{},\"verified\":false"))
      << r.out;
  EXPECT_TRUE(Contains(r.out,
                       "\"error\":{\"kind\":\"mismatch\",\"message\":\"the IP port read "
                       "back is \\\"\\\", not the \\\"8080\\\" written"))
      << r.out;
  EXPECT_TRUE(Contains(r.out, "\"operation\":\"ReadIpPort\",\"written\":\"8080\",\"read\":\"\"}}"))
      << r.out;
}

TEST(CliWriteOnAnEcho, NoVerifyTakesTheConfirmationAsItIs) {
  ScriptedLine line(ScriptedLine::Echo);
  const Output r = RunCli({"write", "-p", line.Path(), "-i", "10.0.0.5", "--no-verify", "-j"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.out,
                       "\"written\":{\"ip\":\"10.0.0.5\"},\"unchanged\":{},"
                       "\"verified\":false,\"errors\":[]}"))
      << r.out;
  std::vector<std::string> heard;
  for (const ByteString& q : line.Requests()) heard.push_back(HexDump(q.substr(0, 3)));
  const std::vector<std::string> expected = {"02 47 C9 ", "02 47 64 ", "02 47 CA "};
  EXPECT_EQ(heard, expected);
  EXPECT_NE(RunCli({"read", "--no-verify"}).status, 0) << "belongs to write";
}

struct Impossible {
  const char* name;
  ByteString ip, port;
  const char* field;
  const char* reason;
  const char* jsonValue;  // "field":value as printed
};

class CliReadImpossible : public testing::TestWithParam<Impossible> {};

TEST_P(CliReadImpossible, IsKeptAndFlagged) {
  const Impossible& c = GetParam();
  ScriptedLine line(DeviceWith(c.ip, c.port));
  Output r = RunCli({"read", "-jp", line.Path()});
  EXPECT_EQ(r.status, 4) << r.err;
  EXPECT_TRUE(Contains(r.out, c.jsonValue)) << r.out;
  EXPECT_TRUE(Contains(r.out, std::string("\"warnings\":[{\"field\":\"") + c.field +
                                  "\",\"reason\":\"" + c.reason + "\"}],\"errors\":[]}"))
      << r.out;
  EXPECT_TRUE(Contains(r.err, std::string("warning: the device's ") + c.field)) << r.err;
  EXPECT_TRUE(Contains(r.err, c.reason)) << r.err;
  r = RunCli({"read", "-p", line.Path()});
  EXPECT_EQ(r.status, 4);
}

INSTANTIATE_TEST_SUITE_P(
    Values, CliReadImpossible,
    testing::Values(Impossible{"OctetAbove255", "999.1.1.1", "502", "ip",
                               "is not an IP address (four numbers 0-255 with dots)",
                               "\"ip\":\"999.1.1.1\",\"ip_port\":502,"},
                    Impossible{"NulInside", ByteString("10.0\0.1", 7), "502", "ip",
                               "holds NUL bytes", "\"ip\":\"10.0\\u0000.1\""},
                    Impossible{"TooLong", ByteString(300, '1'), "502", "ip",
                               "is 300 bytes long; an IP address has at most 15", "\"ip\":\"111"},
                    // A number only when it is a port: otherwise the text as it came.
                    Impossible{"PortAbove65535", "10.1.1.1", "99999", "ip_port", "is above 65535",
                               "\"ip_port\":\"99999\""},
                    Impossible{"PortNoNumber", "10.1.1.1", "80a", "ip_port", "is not a number",
                               "\"ip_port\":\"80a\""}),
    [](const testing::TestParamInfo<Impossible>& info) { return std::string(info.param.name); });

TEST(CliReadImpossible, TheLargestPortIsNoWarning) {
  ScriptedLine line(DeviceWith("255.255.255.255", "65535"));
  const Output r = RunCli({"read", "-jp", line.Path()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "\"ip\":\"255.255.255.255\",\"ip_port\":65535,\"warnings\":[],"))
      << r.out;
  EXPECT_EQ(r.err, "");
}

}  // namespace
