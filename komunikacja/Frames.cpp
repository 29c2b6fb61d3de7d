#include "Frames.h"

#include <array>

namespace {

std::uint8_t ByteAt(const ByteString& s, std::size_t i) { return static_cast<std::uint8_t>(s[i]); }

// The eight shifts of one byte, done once per byte value at compile time: every exchange
// checks a reply, and a look-up per byte costs a tenth of the shifts.
constexpr std::array<std::uint16_t, 256> CrcTable() {
  std::array<std::uint16_t, 256> table{};
  for (unsigned value = 0; value < 256; ++value) {
    auto crc = static_cast<std::uint16_t>(value);
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001)
                      : static_cast<std::uint16_t>(crc >> 1);
    }
    table[value] = crc;
  }
  return table;
}

constexpr std::array<std::uint16_t, 256> kCrcTable = CrcTable();

ByteString Head(DeviceAddress address, std::uint8_t function, std::uint8_t parameter,
                std::uint8_t lengthWithoutText) {
  ByteString frame;
  frame.push_back(static_cast<char>(address));
  frame.push_back(static_cast<char>(function));
  frame.push_back(static_cast<char>(parameter));
  frame.push_back('\0');
  frame.push_back(static_cast<char>(lengthWithoutText));
  return frame;
}

// The text writes: the length field is only known once the text is in.
ByteString TextWrite(DeviceAddress address, std::uint8_t parameter, const ByteString& text) {
  if (text.size() > static_cast<std::size_t>(MaxFrameLength - FrameOverhead)) {
    throw FrameError("text of " + std::to_string(text.size()) +
                     " bytes does not fit in a frame (at most " +
                     std::to_string(MaxFrameLength - FrameOverhead) + " bytes)");
  }
  ByteString frame = Head(address, FunctionWrite, parameter, FrameOverhead);
  frame += text;
  const std::size_t total = frame.size() + 2;
  frame[3] = static_cast<char>((total >> 8) & 0xFF);
  frame[4] = static_cast<char>(total & 0xFF);
  AppendCrc(frame);
  return frame;
}

}  // namespace

std::uint16_t Crc16(const ByteString& bytes, std::uint16_t count) {
  const std::size_t n = count < bytes.size() ? count : bytes.size();
  std::uint16_t crc = 0xFFFF;
  for (std::size_t i = 0; i < n; ++i)
    crc = static_cast<std::uint16_t>((crc >> 8) ^ kCrcTable[(crc ^ ByteAt(bytes, i)) & 0xFF]);
  return crc;
}

std::uint16_t Crc16(const ByteString& bytes) {
  if (bytes.size() > static_cast<std::size_t>(MaxFrameLength)) {
    throw FrameError("frame of " + std::to_string(bytes.size()) + " bytes is too long");
  }
  return Crc16(bytes, static_cast<std::uint16_t>(bytes.size()));
}

void AppendCrc(ByteString& frame) {
  const std::uint16_t crc = Crc16(frame);
  frame.push_back(static_cast<char>(crc & 0xFF));
  frame.push_back(static_cast<char>(crc >> 8));
}

ByteString BuildFrame(DeviceAddress address, std::uint8_t function, std::uint8_t parameter,
                      const ByteString& data) {
  if (data.size() > static_cast<std::size_t>(MaxFrameLength - FrameOverhead)) {
    throw FrameError("data of " + std::to_string(data.size()) + " bytes does not fit in a frame");
  }
  const std::size_t total = FrameOverhead + data.size();
  ByteString frame = Head(address, function, parameter, 0);
  frame[3] = static_cast<char>((total >> 8) & 0xFF);
  frame[4] = static_cast<char>(total & 0xFF);
  frame += data;
  AppendCrc(frame);
  return frame;
}

ByteString EnterConfigModeRequest(DeviceAddress address) {
  ByteString frame = Head(address, FunctionWrite, ParamEnterConfig, FrameOverhead);
  AppendCrc(frame);
  return frame;
}

ByteString LeaveConfigModeRequest(DeviceAddress address) {
  ByteString frame = Head(address, FunctionWrite, ParamLeaveConfig, FrameOverhead);
  AppendCrc(frame);
  return frame;
}

ByteString ReadOperatingModeRequest(DeviceAddress address) {
  ByteString frame = Head(address, FunctionRead, ParamOperatingMode, FrameOverhead);
  AppendCrc(frame);
  return frame;
}

ByteString WriteOperatingModeRequest(DeviceAddress address, std::int32_t mode) {
  ByteString frame = Head(address, FunctionWrite, ParamOperatingMode, FrameOverhead + 1);
  frame.push_back(static_cast<char>(mode & 0xFF));
  AppendCrc(frame);
  return frame;
}

ByteString ReadIpAddressRequest(DeviceAddress address) {
  ByteString frame = Head(address, FunctionRead, ParamIpAddress, FrameOverhead);
  AppendCrc(frame);
  return frame;
}

ByteString WriteIpAddressRequest(DeviceAddress address, const ByteString& text) {
  return TextWrite(address, ParamIpAddress, text);
}

ByteString ReadIpPortRequest(DeviceAddress address) {
  ByteString frame = Head(address, FunctionRead, ParamIpPort, FrameOverhead);
  AppendCrc(frame);
  return frame;
}

ByteString WriteIpPortRequest(DeviceAddress address, const ByteString& text) {
  return TextWrite(address, ParamIpPort, text);
}

int DeclaredLength(const ByteString& head) {
  if (head.size() < static_cast<std::size_t>(FrameHeadLength)) return -1;
  return ByteAt(head, 3) * 256 + ByteAt(head, 4);
}

bool ChecksumValid(const ByteString& frame) {
  if (frame.size() < 2 || frame.size() > static_cast<std::size_t>(MaxFrameLength)) return false;
  const std::size_t n = frame.size() - 2;
  const std::uint16_t crc = Crc16(frame, static_cast<std::uint16_t>(n));
  return ByteAt(frame, n) == (crc & 0xFF) && ByteAt(frame, n + 1) == (crc >> 8);
}

bool IsRefusal(const ByteString& reply, const ByteString& request) {
  if (reply.size() != static_cast<std::size_t>(RefusalLength) || request.size() < 2) return false;
  return ChecksumValid(reply) && reply[0] == request[0] &&
         ByteAt(reply, 1) == (ByteAt(request, 1) | RefusalFlag);
}

ByteString RefusalFor(const ByteString& request, std::uint8_t reason) {
  ByteString reply;
  reply.push_back(request.empty() ? '\0' : request[0]);
  reply.push_back(static_cast<char>((request.size() > 1 ? ByteAt(request, 1) : 0) | RefusalFlag));
  reply.push_back(static_cast<char>(reason));
  AppendCrc(reply);
  return reply;
}

ByteString FrameData(const ByteString& frame) {
  if (frame.size() <= static_cast<std::size_t>(FrameOverhead)) return {};
  return frame.substr(FrameHeadLength, frame.size() - FrameOverhead);
}

ByteString TrimText(const ByteString& text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && ByteAt(text, begin) <= 0x20) ++begin;
  while (end > begin && ByteAt(text, end - 1) <= 0x20) --end;
  return text.substr(begin, end - begin);
}

void AppendHexDump(std::string& out, const ByteString& bytes) {
  static const char digits[] = "0123456789ABCDEF";
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const std::uint8_t b = ByteAt(bytes, i);
    const char hex[3] = {digits[b >> 4], digits[b & 0xF], ' '};
    out.append(hex, 3);
  }
}

std::string HexDump(const ByteString& bytes) {
  std::string out;
  out.reserve(bytes.size() * 3);
  AppendHexDump(out, bytes);
  return out;
}
