// The simulated device's request parser and fault shaping: any bytes, in any pieces, under any
// faults. Every exchange must stand for a real frame of the input, and an honest device must
// answer it with a frame or a refusal.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "DeviceSim.h"

namespace {

[[noreturn]] void Fail(const char* what, const ByteString& request, const ByteString& reply) {
  std::fprintf(stderr, "%s\n  request: %s\n  reply:   %s\n", what, HexDump(request).c_str(),
               HexDump(reply).c_str());
  std::abort();
}

std::uint8_t At(const ByteString& s, std::size_t i) { return static_cast<std::uint8_t>(s[i]); }

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  ByteString Take(std::size_t n) {
    n = std::min(n, size_ - at_);
    ByteString s(reinterpret_cast<const char*>(data_ + at_), n);
    at_ += n;
    return s;
  }
  bool Done() const { return at_ >= size_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  const std::uint8_t flags = in.Byte();
  devicesim::Faults f;
  f.silent = flags & 0x01;
  f.refuseAll = flags & 0x02;
  f.badChecksum = flags & 0x04;
  f.foreignAddress = flags & 0x08;
  f.refuseOutsideConfig = flags & 0x10;
  const std::uint8_t shortBy = in.Byte();
  const int declared = in.Byte() * 256 + in.Byte();
  const std::uint8_t pad = in.Byte();
  const std::uint8_t split = in.Byte();
  const std::uint8_t times = in.Byte();
  if (flags & 0x20) f.shortBy = shortBy;
  if (flags & 0x40) f.declaredLength = declared;
  if (flags & 0x80) {
    f.nulPadding = pad & 0x0F;
    f.spacePadding = pad >> 4;
  }
  f.splitBytes = split & 0x07;
  f.times = times == 0xFF ? -1 : times;
  const bool misbehaves = (flags & 0xEF) != 0;
  int remaining = f.times;  // the faults touch this many more requests

  devicesim::Device device(in.Byte());
  device.SetFaults(f);

  ByteString all;
  std::size_t cursor = 0;  // requests are found in the input in order, without overlap
  int addressed = 0;
  while (!in.Done()) {
    const std::uint8_t piece = in.Byte();
    if (piece == 0xFF) {
      device.ResetInput();
      cursor = all.size();
      continue;
    }
    const ByteString bytes = in.Take(piece % 64);
    all += bytes;
    for (const devicesim::Exchange& e : device.Feed(bytes)) {
      const ByteString& r = e.request;
      const ByteString reply = e.ReplyBytes();
      if (r.size() < FrameOverhead || r.size() > devicesim::MaxRequestLength ||
          DeclaredLength(r) != static_cast<int>(r.size()) || !ChecksumValid(r))
        Fail("taken as a request, but no frame", r, reply);
      const std::size_t found = all.find(r, cursor);
      if (found == ByteString::npos)
        Fail("request not found in the input after the last", r, reply);
      cursor = found + r.size();
      if (At(r, 0) != device.Address()) {
        if (!e.reply.empty()) Fail("answered a request for another address", r, reply);
        continue;
      }
      ++addressed;
      const bool active = remaining != 0;
      if (remaining > 0) --remaining;
      for (const auto& p : e.reply) {
        if (active && f.splitBytes > 0 && p.bytes.size() > static_cast<std::size_t>(f.splitBytes))
          Fail("piece longer than the split", r, reply);
        if (p.delay.count() != 0) Fail("delay without a delay fault", r, reply);
      }
      if (active && misbehaves) continue;
      if (reply.empty()) Fail("an honest device stayed silent", r, reply);
      const bool frame = reply.size() >= FrameOverhead && ChecksumValid(reply) &&
                         DeclaredLength(reply) == static_cast<int>(reply.size()) &&
                         At(reply, 0) == At(r, 0) && At(reply, 1) == At(r, 1) &&
                         At(reply, 2) == At(r, 2);
      if (!frame && !IsRefusal(reply, r)) Fail("neither a frame nor a refusal", r, reply);
    }
    const devicesim::DeviceState s = device.State();
    if (s.ip.size() > devicesim::MaxTextLength || s.port.size() > devicesim::MaxTextLength)
      Fail("stored a text longer than the device keeps", s.ip, s.port);
  }
  if (device.RequestCount() != addressed) Fail("request count off", {}, {});
  return 0;
}
