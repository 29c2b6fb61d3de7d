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
  if (request.empty()) return {request, {}, "not a request"};
  const auto address = static_cast<DeviceAddress>(request[0]);
  for (Device* d : devices_) {
    if (d->Address() == address) return d->Take(request);
  }
  return {request, {}, "for address " + std::to_string(address)};
}

std::vector<Exchange> Bus::Feed(const ByteString& bytes) {
  std::vector<Exchange> exchanges;
  for (const ByteString& request : Receive(bytes)) exchanges.push_back(Deliver(request));
  return exchanges;
}

}  // namespace devicesim
