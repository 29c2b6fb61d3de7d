#include "DeviceSim.h"

namespace devicesim {

namespace {

std::uint8_t ByteAt(const ByteString& s, std::size_t i) { return static_cast<std::uint8_t>(s[i]); }

void SetLengthAndCrc(ByteString& frame, int length) {
  frame.resize(frame.size() - 2);
  frame[3] = static_cast<char>((length >> 8) & 0xFF);
  frame[4] = static_cast<char>(length & 0xFF);
  AppendCrc(frame);
}

}  // namespace

ByteString Exchange::ReplyBytes() const {
  ByteString all;
  for (const auto& piece : reply) all += piece.bytes;
  return all;
}

Device::Device(DeviceAddress address) : address_(address) {}

DeviceAddress Device::Address() const { return address_; }

DeviceState Device::State() const {
  std::lock_guard lock(mutex_);
  return state_;
}

void Device::SetState(const DeviceState& state) {
  std::lock_guard lock(mutex_);
  state_ = state;
}

Faults Device::GetFaults() const {
  std::lock_guard lock(mutex_);
  return faults_;
}

void Device::SetFaults(const Faults& faults) {
  std::lock_guard lock(mutex_);
  faults_ = faults;
}

int Device::RequestCount() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

void Device::ResetInput() {
  std::lock_guard lock(mutex_);
  input_.Reset();
}

bool Device::HasPartialInput() const {
  std::lock_guard lock(mutex_);
  return input_.HasPartial();
}

// The offset of the first complete frame with a valid checksum at or after from, or npos.
std::size_t FrameReader::FindCompleteFrame(std::size_t from) const {
  for (std::size_t pos = from; input_.size() - pos >= static_cast<std::size_t>(FrameOverhead);
       ++pos) {
    const int length = ByteAt(input_, pos + 3) * 256 + ByteAt(input_, pos + 4);
    if (length < FrameOverhead || length > MaxRequestLength ||
        input_.size() - pos < static_cast<std::size_t>(length))
      continue;
    if (ChecksumValid(input_.substr(pos, length))) return pos;
  }
  return ByteString::npos;
}

std::vector<ByteString> FrameReader::Feed(const ByteString& bytes) {
  input_ += bytes;
  std::vector<ByteString> frames;
  std::size_t pos = 0;
  // Resynchronise byte by byte: a frame starts where a plausible head meets a valid checksum.
  while (input_.size() - pos >= static_cast<std::size_t>(FrameHeadLength)) {
    const int length = ByteAt(input_, pos + 3) * 256 + ByteAt(input_, pos + 4);
    if (length < FrameOverhead || length > MaxRequestLength) {
      ++pos;
      continue;
    }
    if (input_.size() - pos < static_cast<std::size_t>(length)) {
      // Noise may look like the head of a long frame; a complete frame behind it wins.
      const std::size_t next = FindCompleteFrame(pos + 1);
      if (next == ByteString::npos) break;
      pos = next;
      continue;
    }
    ByteString frame = input_.substr(pos, length);
    if (!ChecksumValid(frame)) {
      ++pos;
      continue;
    }
    pos += length;
    frames.push_back(std::move(frame));
  }
  input_.erase(0, pos);
  return frames;
}

std::vector<Exchange> Device::Feed(const ByteString& bytes) {
  std::lock_guard lock(mutex_);
  std::vector<Exchange> exchanges;
  for (const ByteString& frame : input_.Feed(bytes)) exchanges.push_back(TakeLocked(frame));
  return exchanges;
}

Exchange Device::Take(const ByteString& request) {
  std::lock_guard lock(mutex_);
  return TakeLocked(request);
}

Exchange Device::TakeLocked(const ByteString& request) {
  // Only what a FrameReader passes is a request; anything else is ignored, not trusted.
  if (request.size() < static_cast<std::size_t>(FrameOverhead) ||
      request.size() != static_cast<std::size_t>(DeclaredLength(request)) ||
      !ChecksumValid(request))
    return {request, {}, "not a request"};
  if (ByteAt(request, 0) != address_)
    return {request, {}, "for address " + std::to_string(ByteAt(request, 0))};
  ++requests_;
  return Respond(request);
}

ByteString Device::Answer(const ByteString& request, std::string& note) {
  const std::uint8_t function = ByteAt(request, 1);
  const std::uint8_t parameter = ByteAt(request, 2);
  const ByteString data = FrameData(request);

  if (faults_.refuseOutsideConfig && !state_.configMode &&
      !(function == FunctionWrite && parameter == ParamEnterConfig)) {
    note = "refused: not in configuration mode";
    return RefusalFor(request);
  }
  if (function == FunctionWrite) {
    switch (parameter) {
      case ParamEnterConfig:
        state_.configMode = true;
        return BuildFrame(address_, function, parameter);
      case ParamLeaveConfig:
        state_.configMode = false;
        return BuildFrame(address_, function, parameter);
      case ParamOperatingMode:
        if (data.size() != 1) break;
        state_.mode = ByteAt(data, 0);
        return BuildFrame(address_, function, parameter, data);
      case ParamIpAddress:
      case ParamIpPort:
        if (data.size() > MaxTextLength) break;
        (parameter == ParamIpAddress ? state_.ip : state_.port) = data;
        return request;  // a text write is confirmed by its own echo
    }
  } else if (function == FunctionRead && data.empty()) {
    switch (parameter) {
      case ParamOperatingMode:
        return BuildFrame(address_, function, parameter,
                          ByteString(1, static_cast<char>(state_.mode)));
      case ParamIpAddress:
        return BuildFrame(address_, function, parameter, state_.ip);
      case ParamIpPort:
        return BuildFrame(address_, function, parameter, state_.port);
    }
  }
  note = "refused: unknown request";
  return RefusalFor(request);
}

Exchange Device::Respond(const ByteString& request) {
  Exchange exchange{request, {}, {}};
  ByteString reply = Answer(request, exchange.note);
  const bool textRead = ByteAt(request, 1) == FunctionRead &&
                        (ByteAt(request, 2) == ParamIpAddress || ByteAt(request, 2) == ParamIpPort);
  bool active = faults_.times != 0;
  if (faults_.after > 0) {
    --faults_.after;
    active = false;
  }
  if (!active) {
    exchange.reply.push_back({std::chrono::milliseconds(0), reply});
    return exchange;
  }
  if (faults_.times > 0) --faults_.times;
  if (!ApplyFaults(reply, exchange, textRead)) return exchange;

  std::chrono::milliseconds delay(faults_.delayMs);
  if (faults_.splitBytes > 0) {
    for (std::size_t at = 0; at < reply.size(); at += faults_.splitBytes) {
      exchange.reply.push_back({delay, reply.substr(at, faults_.splitBytes)});
      delay = std::chrono::milliseconds(faults_.gapMs);
    }
  } else {
    exchange.reply.push_back({delay, reply});
  }
  return exchange;
}

// False when the device stays silent.
bool Device::ApplyFaults(ByteString& reply, Exchange& exchange, bool textRead) {
  const Faults& f = faults_;
  if (f.silent) {
    exchange.note = "silent";
    return false;
  }
  if (f.refuseAll) {
    reply = RefusalFor(exchange.request);
    exchange.note = "refused";
    return true;
  }
  if (textRead && (f.nulPadding > 0 || f.spacePadding > 0)) {
    const ByteString text =
        ByteString(f.spacePadding, ' ') + FrameData(reply) + ByteString(f.nulPadding, '\0');
    reply = BuildFrame(ByteAt(reply, 0), ByteAt(reply, 1), ByteAt(reply, 2), text);
  }
  if (f.declaredLength >= 0) SetLengthAndCrc(reply, f.declaredLength & 0xFFFF);
  if (f.foreignAddress) {
    reply[0] = static_cast<char>(address_ + 1);
    SetLengthAndCrc(reply, ByteAt(reply, 3) * 256 + ByteAt(reply, 4));
  }
  if (f.badChecksum) reply.back() = static_cast<char>(reply.back() ^ 0x5A);
  if (f.shortBy > 0)
    reply.resize(reply.size() > static_cast<std::size_t>(f.shortBy) ? reply.size() - f.shortBy : 0);
  return true;
}

}  // namespace devicesim
