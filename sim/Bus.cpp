#include "Bus.h"

#include <stdexcept>
#include <string>

namespace devicesim {

void Bus::Attach(Device& device) {
  for (const Device* d : devices_) {
    if (d == &device) return;
    if (d->Address() == device.Address())
      throw std::invalid_argument("two devices at address " + std::to_string(device.Address()));
  }
  devices_.push_back(&device);
}

Exchange Bus::Deliver(const ByteString& request) {
  for (Device* d : devices_) {
    if (!request.empty() && static_cast<std::uint8_t>(request[0]) == d->Address())
      return d->Take(request);
  }
  if (devices_.empty()) return {request, {}, "no device on the line"};
  // Nobody there: any device reports it the same way.
  return devices_.front()->Take(request);
}

std::vector<Exchange> Bus::Feed(const ByteString& bytes) {
  std::vector<Exchange> exchanges;
  for (const ByteString& request : Receive(bytes)) exchanges.push_back(Deliver(request));
  return exchanges;
}

}  // namespace devicesim
