// Request frames, reply layouts and the CRC of the device protocol.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

// Requests, replies and the texts they carry: every byte value, zero included, is data.
using ByteString = std::string;
using DeviceAddress = std::uint8_t;
using TransactionResult = std::int32_t;

constexpr std::uint8_t FunctionRead = 0x46;
constexpr std::uint8_t FunctionWrite = 0x47;
constexpr std::uint8_t RefusalFlag = 0x80;
constexpr std::uint8_t ParamEnterConfig = 0xC9;
constexpr std::uint8_t ParamLeaveConfig = 0xCA;
constexpr std::uint8_t ParamOperatingMode = 0xCB;
constexpr std::uint8_t ParamIpAddress = 0x64;
constexpr std::uint8_t ParamIpPort = 0x65;

// Address, function, parameter, two length bytes.
constexpr int FrameHeadLength = 5;
// Head plus the two checksum bytes: the length of a frame without data.
constexpr int FrameOverhead = 7;
constexpr int RefusalLength = 5;
// The length field has 16 bits.
constexpr int MaxFrameLength = 0xFFFF;

// A frame that cannot be built, e.g. a text too long for the 16-bit length field.
class FrameError : public std::length_error {
 public:
  using std::length_error::length_error;
};

// CRC-16/MODBUS over the first count bytes (never beyond the end of bytes).
std::uint16_t Crc16(const ByteString& bytes, std::uint16_t count);
// Over the whole string; throws FrameError when it is longer than 65535 bytes.
std::uint16_t Crc16(const ByteString& bytes);

// Appends the CRC of everything so far, low byte first.
void AppendCrc(ByteString& frame);

// A complete frame: head, data, CRC; the length field holds the final length.
ByteString BuildFrame(DeviceAddress address, std::uint8_t function, std::uint8_t parameter,
                      const ByteString& data = {});

// The requests of the eight device operations.
ByteString EnterConfigModeRequest(DeviceAddress address);
ByteString LeaveConfigModeRequest(DeviceAddress address);
ByteString ReadOperatingModeRequest(DeviceAddress address);
// Only the low byte of mode travels.
ByteString WriteOperatingModeRequest(DeviceAddress address, std::int32_t mode);
ByteString ReadIpAddressRequest(DeviceAddress address);
ByteString WriteIpAddressRequest(DeviceAddress address, const ByteString& text);
ByteString ReadIpPortRequest(DeviceAddress address);
ByteString WriteIpPortRequest(DeviceAddress address, const ByteString& text);

// The total length a head (at least 5 bytes) declares in bytes 3 and 4.
int DeclaredLength(const ByteString& head);

// True when the last two bytes are the CRC (low, high) of all bytes before them.
bool ChecksumValid(const ByteString& frame);

// A refusal of request: exactly 5 bytes, valid CRC over the first 3, the request's address
// and the request's function with the refusal flag set.
bool IsRefusal(const ByteString& reply, const ByteString& request);

// The refusal a device sends for request; reason is the byte the system does not interpret.
ByteString RefusalFor(const ByteString& request, std::uint8_t reason = 0x01);

// The data bytes of a frame: offset 5 up to the checksum; empty when the frame has none.
ByteString FrameData(const ByteString& frame);

// Text without the bytes of value 0x20 or less at either end.
ByteString TrimText(const ByteString& text);

// "01 47 C9 " - two upper-case hex digits and a space per byte.
std::string HexDump(const ByteString& bytes);
// The same text appended to out.
void AppendHexDump(std::string& out, const ByteString& bytes);
