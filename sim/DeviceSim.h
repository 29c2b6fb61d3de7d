// A simulated field device: bytes of requests in, bytes of replies out. It keeps the
// device's configuration and can misbehave on request, so the link can be tried and
// tested without hardware.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "Frames.h"

namespace devicesim {

struct DeviceState {
  bool configMode = false;
  std::uint8_t mode = 0;
  ByteString ip = "192.168.1.10";
  ByteString port = "502";
};

// What the device does wrong. Every fault but refuseOutsideConfig applies to the next
// `times` requests addressed to the device (-1: to all of them), once the first `after` of
// them have been answered soundly.
struct Faults {
  bool silent = false;          // no reply at all
  bool refuseAll = false;       // a refusal to every request
  bool badChecksum = false;     // last byte of the reply flipped
  bool foreignAddress = false;  // reply from address + 1, checksum valid
  int shortBy = 0;              // bytes cut off the end of the reply
  int declaredLength = -1;      // length field of the reply (checksum kept valid); -1: true
  int nulPadding = 0;           // NUL bytes after the text of a text read
  int spacePadding = 0;         // spaces before the text of a text read
  int delayMs = 0;              // before the first byte of the reply
  int splitBytes = 0;           // reply in pieces of this many bytes...
  int gapMs = 0;                // ...with this gap between them
  int times = -1;
  int after = 0;
  bool refuseOutsideConfig = false;  // refuse all but entering configuration mode
};

struct ReplyPiece {
  std::chrono::milliseconds delay{0};  // to wait before writing the bytes
  ByteString bytes;
};

struct Exchange {
  ByteString request;
  std::vector<ReplyPiece> reply;  // empty: the device stays silent
  std::string note;               // why the reply is what it is, for people watching

  ByteString ReplyBytes() const;
};

// Longest request the device takes; a head declaring more is line noise.
constexpr int MaxRequestLength = 1024;
// Longest text the device stores.
constexpr std::size_t MaxTextLength = 64;

// Cuts complete requests out of the bytes on the line. Bytes that cannot start a valid
// frame are skipped, so any input is safe.
class FrameReader {
 public:
  // Takes received bytes in any pieces; returns every request completed by them.
  std::vector<ByteString> Feed(const ByteString& bytes);
  void Reset() { input_.clear(); }
  bool HasPartial() const { return !input_.empty(); }

 private:
  std::size_t FindCompleteFrame(std::size_t from) const;

  ByteString input_;
};

class Device {
 public:
  explicit Device(DeviceAddress address = 2);

  // Takes received bytes in any pieces; returns the exchanges of every complete request.
  // Bytes that cannot start a valid frame are skipped, so any input is safe.
  std::vector<Exchange> Feed(const ByteString& bytes);
  // Forgets a partly received request (the line went quiet, or the client went away).
  void ResetInput();
  bool HasPartialInput() const;

  DeviceAddress Address() const;
  DeviceState State() const;
  void SetState(const DeviceState& state);
  Faults GetFaults() const;
  void SetFaults(const Faults& faults);
  // Requests addressed to this device so far.
  int RequestCount() const;

  // One complete request heard on the line: the exchange it causes, silence when the
  // request is for another address.
  Exchange Take(const ByteString& request);

 private:
  Exchange TakeLocked(const ByteString& request);
  Exchange Respond(const ByteString& request);
  ByteString Answer(const ByteString& request, std::string& note);
  bool ApplyFaults(ByteString& reply, Exchange& exchange, bool textRead);

  mutable std::mutex mutex_;
  const DeviceAddress address_;
  DeviceState state_;
  Faults faults_;
  FrameReader input_;
  int requests_ = 0;
};

}  // namespace devicesim
