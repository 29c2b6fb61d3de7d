// Several simulated devices on one line: every request reaches all of them and the one at
// its address answers, as on a real RS-485 bus.
#pragma once

#include <vector>

#include "DeviceSim.h"

namespace devicesim {

class Bus {
 public:
  Bus() = default;
  explicit Bus(Device& device) { Attach(device); }
  Bus(const Bus&) = delete;
  Bus& operator=(const Bus&) = delete;

  // Before serving starts. The device stays the caller's and must outlive the bus. Two
  // devices at one address would answer over each other: throws std::invalid_argument.
  void Attach(Device& device);
  const std::vector<Device*>& Devices() const { return devices_; }

  // Complete requests in the bytes received so far, in any pieces.
  std::vector<ByteString> Receive(const ByteString& bytes) { return input_.Feed(bytes); }
  // What a complete request causes: the answer of the device at its address, or silence.
  Exchange Deliver(const ByteString& request);
  std::vector<Exchange> Feed(const ByteString& bytes);

  void ResetInput() { input_.Reset(); }
  bool HasPartialInput() const { return input_.HasPartial(); }

 private:
  std::vector<Device*> devices_;
  FrameReader input_;
};

}  // namespace devicesim
