#include "Bus.h"
#include "DeviceSim.h"

#include <gtest/gtest.h>

#include <random>

namespace {

using devicesim::Bus;
using devicesim::Device;
using devicesim::Exchange;
using devicesim::Faults;

// One request in, the one exchange it causes out.
Exchange Ask(Device& device, const ByteString& request) {
  auto exchanges = device.Feed(request);
  EXPECT_EQ(exchanges.size(), 1u);
  return exchanges.empty() ? Exchange{} : exchanges.front();
}

ByteString Reply(Device& device, const ByteString& request) {
  return Ask(device, request).ReplyBytes();
}

TEST(DeviceSim, AnswersEveryKindOfRequestAndKeepsWhatIsWritten) {
  Device device(7);
  EXPECT_EQ(Reply(device, EnterConfigModeRequest(7)),
            BuildFrame(7, FunctionWrite, ParamEnterConfig));
  EXPECT_TRUE(device.State().configMode);
  EXPECT_EQ(Reply(device, ReadOperatingModeRequest(7)),
            BuildFrame(7, FunctionRead, ParamOperatingMode, ByteString(1, '\0')));
  EXPECT_EQ(Reply(device, ReadIpAddressRequest(7)),
            BuildFrame(7, FunctionRead, ParamIpAddress, "192.168.1.10"));
  EXPECT_EQ(Reply(device, ReadIpPortRequest(7)), BuildFrame(7, FunctionRead, ParamIpPort, "502"));

  const ByteString write_mode = WriteOperatingModeRequest(7, 1);
  EXPECT_EQ(Reply(device, write_mode).size(), 8u);
  const ByteString write_ip = WriteIpAddressRequest(7, "10.1.2.3");
  EXPECT_EQ(Reply(device, write_ip), write_ip) << "a text write is answered as long as sent";
  const ByteString write_port = WriteIpPortRequest(7, "8080");
  EXPECT_EQ(Reply(device, write_port), write_port);
  EXPECT_EQ(device.State().mode, 1);
  EXPECT_EQ(device.State().ip, "10.1.2.3");
  EXPECT_EQ(device.State().port, "8080");
  EXPECT_EQ(FrameData(Reply(device, ReadIpAddressRequest(7))), "10.1.2.3");

  EXPECT_EQ(Reply(device, LeaveConfigModeRequest(7)),
            BuildFrame(7, FunctionWrite, ParamLeaveConfig));
  EXPECT_FALSE(device.State().configMode);
  EXPECT_EQ(device.RequestCount(), 9);
}

TEST(DeviceSim, RefusesWhatItDoesNotKnow) {
  Device device(1);
  const ByteString unknown = BuildFrame(1, 0x03, 0x10);
  EXPECT_TRUE(IsRefusal(Reply(device, unknown), unknown));
  const ByteString too_long =
      WriteIpAddressRequest(1, ByteString(devicesim::MaxTextLength + 1, '1'));
  EXPECT_TRUE(IsRefusal(Reply(device, too_long), too_long));
  EXPECT_EQ(device.State().ip, "192.168.1.10");
}

TEST(DeviceSim, StrictDeviceRefusesEverythingOutsideConfigurationMode) {
  Device device(2);
  Faults f;
  f.refuseOutsideConfig = true;
  device.SetFaults(f);
  const ByteString read = ReadIpPortRequest(2);
  EXPECT_TRUE(IsRefusal(Reply(device, read), read));
  EXPECT_TRUE(IsRefusal(Reply(device, LeaveConfigModeRequest(2)), LeaveConfigModeRequest(2)));
  EXPECT_EQ(Reply(device, EnterConfigModeRequest(2)).size(), 7u);
  EXPECT_EQ(FrameData(Reply(device, read)), "502");
}

TEST(DeviceSim, IgnoresOtherAddressesAndSurvivesNoise) {
  Device device(2);
  Exchange other = Ask(device, EnterConfigModeRequest(3));
  EXPECT_TRUE(other.reply.empty());
  EXPECT_FALSE(device.State().configMode);

  // Noise, including a head that declares a long frame, then a real request in pieces.
  const ByteString request = ReadIpPortRequest(2);
  ByteString noisy = ByteString("\xFF\x00\x01", 3) + request.substr(0, 5);
  EXPECT_TRUE(device.Feed(noisy).empty());
  auto exchanges = device.Feed(request.substr(5));
  ASSERT_EQ(exchanges.size(), 1u);
  EXPECT_EQ(exchanges[0].request, request);

  // Noise whose last byte and the request's first pass for the head of a 7-byte frame that
  // fails its checksum: the search goes on from the next byte, not from behind that false head.
  Device seven(7);
  const ByteString enter = EnterConfigModeRequest(7);
  const auto found = seven.Feed(ByteString("\x11\x22\x33\x00", 4) + enter);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].request, enter);

  // A corrupted request gets no answer; the next good one does.
  ByteString corrupt = request;
  corrupt[6] ^= 1;
  EXPECT_TRUE(device.Feed(corrupt).empty());
  device.ResetInput();
  EXPECT_FALSE(device.HasPartialInput());
  EXPECT_EQ(device.Feed(request + request).size(), 2u);

  // Random bytes never crash it or make it answer with anything but frames.
  std::mt19937 rng(42);
  ByteString junk;
  for (int i = 0; i < 20000; ++i) junk.push_back(static_cast<char>(rng() & 0xFF));
  for (std::size_t at = 0; at < junk.size(); at += 97) {
    for (const Exchange& e : device.Feed(junk.substr(at, 97))) {
      EXPECT_TRUE(ChecksumValid(e.request));
    }
  }
  device.ResetInput();
  EXPECT_EQ(Reply(device, request).size(), 10u);
}

TEST(DeviceSim, FaultsChangeTheReplyAsAsked) {
  Device device(2);
  const ByteString enter = EnterConfigModeRequest(2);
  const ByteString read_ip = ReadIpAddressRequest(2);
  auto with = [&](auto change) {
    Faults f;
    change(f);
    device.SetFaults(f);
  };

  with([](Faults& f) { f.silent = true; });
  EXPECT_TRUE(Ask(device, enter).reply.empty());

  with([](Faults& f) { f.refuseAll = true; });
  EXPECT_TRUE(IsRefusal(Reply(device, read_ip), read_ip));

  with([](Faults& f) { f.badChecksum = true; });
  ByteString r = Reply(device, enter);
  EXPECT_EQ(r.size(), 7u);
  EXPECT_FALSE(ChecksumValid(r));

  with([](Faults& f) { f.foreignAddress = true; });
  r = Reply(device, enter);
  EXPECT_TRUE(ChecksumValid(r));
  EXPECT_EQ(r[0], 3);

  with([](Faults& f) { f.shortBy = 2; });
  EXPECT_EQ(Reply(device, enter).size(), 5u);

  with([](Faults& f) { f.declaredLength = 10005; });
  r = Reply(device, read_ip);
  EXPECT_EQ(DeclaredLength(r), 10005);
  EXPECT_TRUE(ChecksumValid(r));
  EXPECT_EQ(FrameData(r), "192.168.1.10");

  with([](Faults& f) {
    f.nulPadding = 2;
    f.spacePadding = 1;
  });
  r = Reply(device, read_ip);
  EXPECT_EQ(FrameData(r), ByteString(" 192.168.1.10\0\0", 15));
  EXPECT_EQ(DeclaredLength(r), static_cast<int>(r.size()));
  EXPECT_EQ(Reply(device, enter).size(), 7u) << "padding is for texts only";

  with([](Faults& f) {
    f.delayMs = 30;
    f.splitBytes = 3;
    f.gapMs = 5;
  });
  Exchange split = Ask(device, read_ip);
  ASSERT_EQ(split.reply.size(), 7u);  // 19 bytes in pieces of 3
  EXPECT_EQ(split.reply[0].delay.count(), 30);
  EXPECT_EQ(split.reply[1].delay.count(), 5);
  EXPECT_EQ(split.reply[6].bytes.size(), 1u);
  EXPECT_EQ(split.ReplyBytes(), BuildFrame(2, FunctionRead, ParamIpAddress, "192.168.1.10"));
}

TEST(DeviceSim, FaultsForAFewRequestsOnly) {
  Device device(2);
  Faults f;
  f.silent = true;
  f.times = 1;
  device.SetFaults(f);
  EXPECT_TRUE(Ask(device, EnterConfigModeRequest(2)).reply.empty());
  EXPECT_EQ(Reply(device, EnterConfigModeRequest(2)).size(), 7u);
  EXPECT_EQ(device.GetFaults().times, 0);
}

TEST(DeviceSim, FaultsBeginAfterTheFirstSoundAnswers) {
  Device device(2);
  Faults f;
  f.silent = true;
  f.after = 2;
  f.times = 1;
  device.SetFaults(f);
  EXPECT_EQ(Reply(device, EnterConfigModeRequest(2)).size(), 7u);
  EXPECT_EQ(Reply(device, ReadOperatingModeRequest(2)).size(), 8u);
  EXPECT_TRUE(Ask(device, ReadOperatingModeRequest(2)).reply.empty()) << "third request: silent";
  EXPECT_EQ(Reply(device, ReadOperatingModeRequest(2)).size(), 8u) << "the one silent time is over";
}

TEST(DeviceSim, TakesOnlyWholeFramesWithAValidChecksum) {
  Device device(2);
  const ByteString good = EnterConfigModeRequest(2);
  ByteString bad_crc = good;
  bad_crc.back() ^= 1;
  ByteString wrong_length = good;
  wrong_length[4] = 9;  // declares more than it carries
  AppendCrc(wrong_length.erase(5));
  for (const ByteString& junk : {ByteString(), good.substr(0, 6), bad_crc, wrong_length}) {
    EXPECT_TRUE(device.Take(junk).reply.empty()) << HexDump(junk);
  }
  EXPECT_EQ(device.RequestCount(), 0);
  EXPECT_FALSE(device.State().configMode);
  EXPECT_EQ(device.Take(good).ReplyBytes(), BuildFrame(2, FunctionWrite, ParamEnterConfig));
}

TEST(Bus, TheDeviceAtTheAddressAnswersAndTheOthersKeepTheirState) {
  Device two(2), five(5);
  Bus bus;
  bus.Attach(two);
  bus.Attach(five);

  // One burst of bytes, three requests: each reaches the device it names, or nobody.
  const auto exchanges = bus.Feed(EnterConfigModeRequest(5) + WriteIpAddressRequest(2, "10.0.0.2") +
                                  ReadIpPortRequest(17));
  ASSERT_EQ(exchanges.size(), 3u);
  EXPECT_EQ(exchanges[0].ReplyBytes(), BuildFrame(5, FunctionWrite, ParamEnterConfig));
  EXPECT_EQ(exchanges[1].ReplyBytes(), WriteIpAddressRequest(2, "10.0.0.2"));
  EXPECT_TRUE(exchanges[2].reply.empty());
  EXPECT_EQ(exchanges[2].note, "for address 17");

  EXPECT_TRUE(five.State().configMode);
  EXPECT_FALSE(two.State().configMode);
  EXPECT_EQ(two.State().ip, "10.0.0.2");
  EXPECT_EQ(five.State().ip, "192.168.1.10");
  EXPECT_EQ(two.RequestCount(), 1);
  EXPECT_EQ(five.RequestCount(), 1);

  // A request split across reads is framed once, for the bus as a whole.
  const ByteString read = ReadIpAddressRequest(5);
  EXPECT_TRUE(bus.Feed(read.substr(0, 4)).empty());
  EXPECT_TRUE(bus.HasPartialInput());
  const auto rest = bus.Feed(read.substr(4));
  ASSERT_EQ(rest.size(), 1u);
  EXPECT_EQ(FrameData(rest[0].ReplyBytes()), "192.168.1.10");
  EXPECT_EQ(five.RequestCount(), 2);
}

TEST(Bus, RefusesTwoDevicesAtOneAddress) {
  Device a(4), b(4);
  Bus bus(a);
  EXPECT_THROW(bus.Attach(b), std::invalid_argument);
  bus.Attach(a);  // the same device again changes nothing
  ASSERT_EQ(bus.Devices().size(), 1u);
  EXPECT_EQ(bus.Feed(EnterConfigModeRequest(4)).size(), 1u);
  EXPECT_EQ(a.RequestCount(), 1);
  EXPECT_EQ(b.RequestCount(), 0);

  Bus empty;
  const auto nobody = empty.Feed(EnterConfigModeRequest(4));
  ASSERT_EQ(nobody.size(), 1u);
  EXPECT_TRUE(nobody[0].reply.empty());
}

}  // namespace
