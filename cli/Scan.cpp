#include "Scan.h"

#include <algorithm>
#include <cstdio>

#include "Commands.h"

namespace cli {

namespace {

constexpr int kBitsPerChar = 11;                // start bit, 8 data bits, 2 stop bits
constexpr int kProbeChars = 2 * FrameOverhead;  // request and reply of a probe
constexpr int kLateReplyMs = 250;               // least wait for a late reply after the last probe
// A device that answered late gets this long for the request that confirms it.
constexpr int kSlowConfirmMs = 2000;
// A probe's wait already counts the bytes' time at its speed; the port's usual 2 ms per byte
// on top would make a full scan a fifth longer for nothing.
constexpr int kScanReadMultiplier = 0;
constexpr int kModeReplyLength = FrameOverhead + 1;

// How long a probe waits for its reply: the bytes of request and reply at this speed, plus
// the time-out given.
int ProbeWaitMs(int speed, int timeoutMs) {
  return timeoutMs + (kProbeChars * kBitsPerChar * 1000 + speed - 1) / speed;
}

long long ProbeEstimateMs(int speed, int timeoutMs) {
  // The request leaves, then the read waits; the purge and the system calls around it add
  // about a millisecond.
  const long long requestMs = (FrameOverhead * kBitsPerChar * 1000LL + speed - 1) / speed;
  return requestMs + ProbeWaitMs(speed, timeoutMs) + kScanReadMultiplier * FrameOverhead + 1;
}

// The engine takes any frame of the right length, address and checksum; a scan counts only a
// frame that is the answer to this request: its function, its parameter, its own length.
bool AnswersRequest(const ByteString& reply, const ByteString& request, int length) {
  return reply.size() == static_cast<std::size_t>(length) && reply[0] == request[0] &&
         reply[1] == request[1] && reply[2] == request[2] && DeclaredLength(reply) == length &&
         ChecksumValid(reply);
}

std::string SpeedsText(const std::vector<int>& baudIndexes) {
  std::string text;
  for (const int b : baudIndexes) text += (text.empty() ? "" : ", ") + std::to_string(SpeedOf(b));
  return text;
}

}  // namespace

Scan::Scan(Session& session, const Options& options)
    : s_(session), o_(options), m_(session.Module()) {}

void Scan::Add(int address, int baudIndex, bool refused, bool slow) {
  auto it = std::find_if(found_.begin(), found_.end(),
                         [&](const Found& f) { return f.address == address; });
  if (it == found_.end()) {
    found_.push_back({address, {baudIndex}, refused, slow});
    return;
  }
  if (std::find(it->baudIndexes.begin(), it->baudIndexes.end(), baudIndex) == it->baudIndexes.end())
    it->baudIndexes.push_back(baudIndex);
  it->refused = it->refused || refused;
  it->slow = it->slow || slow;
}

bool Scan::Knows(int address, int baudIndex) const {
  return std::any_of(found_.begin(), found_.end(), [&](const Found& f) {
    return f.address == address &&
           std::find(f.baudIndexes.begin(), f.baudIndexes.end(), baudIndex) != f.baudIndexes.end();
  });
}

// Where a reply may belong: first the speed it came at (-1: none), then the speeds its
// address was asked at before, latest first. Over a pseudo-terminal, or a converter that
// buffers, a reply too late for the wait of its own speed arrives at the next speed.
std::vector<int> Scan::SpeedsToTry(int address, int current) const {
  std::vector<int> speeds;
  if (current >= 0) speeds.push_back(current);
  for (auto p = probed_.rbegin(); p != probed_.rend(); ++p) {
    if (p->first == address && std::find(speeds.begin(), speeds.end(), p->second) == speeds.end())
      speeds.push_back(p->second);
  }
  return speeds;
}

void Scan::ShortTimeout(int waitMs) {
  try {
    m_.ComPort1->Timeouts().SetReadTotalConstant(waitMs);
    m_.ComPort1->Timeouts().SetReadTotalMultiplier(kScanReadMultiplier);
  } catch (...) {
    // The next transaction finds out whether the port still works.
  }
}

// The reply to entering configuration mode is the request itself, which a line that echoes
// gives as well; the mode read's reply is not. Returns the speed at which the device answers
// it, or -1. waitMs < 0: a probe's wait at each speed.
int Scan::Confirm(int address, const std::vector<int>& speeds, int waitMs) {
  const ByteString request = ReadOperatingModeRequest(static_cast<DeviceAddress>(address));
  for (const int at : speeds) {
    if (Interrupted && at != speeds.front()) break;
    ShortTimeout(waitMs >= 0 ? waitMs : ProbeWaitMs(SpeedOf(at), o_.timeoutMs));
    ByteString reply;
    const int r = m_.Transact(request, reply, kModeReplyLength, s_.Link(at));
    if (r == ResultRefused || (r == ResultOk && AnswersRequest(reply, request, kModeReplyLength)))
      return at;
  }
  return -1;
}

// A device the probe put into configuration mode is left as it was found. Returns the speed
// at which it confirms that; -1 when it confirms at none.
int Scan::Release(int address, const std::vector<int>& speeds) {
  std::string tried;
  for (const int at : speeds) {
    if (Interrupted && !tried.empty()) break;
    if (LeaveConfigMode(m_, static_cast<DeviceAddress>(address), s_.Link(at)) == ResultOk)
      return at;
    tried += (tried.empty() ? "" : ", ") + std::to_string(SpeedOf(at));
  }
  s_.Out().Say(
      "address " + std::to_string(address) + " did not confirm leaving configuration mode" +
      (speeds.size() > 1 ? " at " + tried + " bit/s" : std::string()) + "; it may still be in it.");
  return -1;
}

// A valid enter reply from frame's address outside its own probe: a device slower than the
// time-out answering an earlier probe, or one answering from another address. Either way
// something is now in configuration mode.
void Scan::StrayReply(const ByteString& frame, int probing, int baudIndex) {
  const int other = static_cast<unsigned char>(frame[0]);
  const LinkSettings link = s_.Link(baudIndex);
  const int waitMs = ProbeWaitMs(SpeedOf(baudIndex), o_.timeoutMs);
  if (!AnswersRequest(frame, EnterConfigModeRequest(static_cast<DeviceAddress>(other)),
                      FrameOverhead)) {
    return;
  }
  std::vector<int> speeds = SpeedsToTry(other, -1);
  if (speeds.empty()) {
    // One format string, not pieces: the compiler stores concatenated literals in fragments
    // that read as misspelt words to lintian.
    char prefix[48] = "";
    if (probing >= 0) std::snprintf(prefix, sizeof prefix, "probing address %d ", probing);
    char text[160];
    std::snprintf(text, sizeof text, "%sat %d bit/s, a reply came from address %d.", prefix,
                  SpeedOf(baudIndex), other);
    s_.Out().Say(text);
    m_.LeaveConfigModeOnce(static_cast<DeviceAddress>(other), link);
    if (probing >= 0) m_.LeaveConfigModeOnce(static_cast<DeviceAddress>(probing), link);
  } else if (const int at = Confirm(other, speeds, kSlowConfirmMs); at < 0) {
    ++rejected_;
    m_.LeaveConfigModeOnce(static_cast<DeviceAddress>(other), link);
  } else {
    std::rotate(speeds.begin(), std::find(speeds.begin(), speeds.end(), at), speeds.end());
    if (const int left = Release(other, speeds); left >= 0 && !Knows(other, left))
      Add(other, left, false, true);
  }
  ShortTimeout(waitMs);
}

// A late reply that came between two probes would be thrown away by the next probe's purge,
// with its device left in configuration mode.
void Scan::TakeWaitingReplies(int baudIndex) {
  ByteString waiting;
  try {
    if (const std::int32_t n = m_.ComPort1->PendingInputCount(); n > 0)
      m_.ComPort1->ReadText(waiting, n);
  } catch (...) {
    // The probe finds out whether the port still works.
  }
  for (std::size_t at = 0; at + FrameOverhead <= waiting.size(); at += FrameOverhead) {
    const ByteString frame = waiting.substr(at, FrameOverhead);
    if (ChecksumValid(frame)) StrayReply(frame, -1, baudIndex);
  }
}

// A slow device may still answer the last probe of a speed; waiting a little longer once per
// speed costs far less than leaving it in configuration mode.
void Scan::TakeLateReply(int baudIndex) {
  const int waitMs = ProbeWaitMs(SpeedOf(baudIndex), o_.timeoutMs);
  ByteString late;
  try {
    m_.ComPort1->Timeouts().SetReadTotalConstant(std::max(4 * waitMs, kLateReplyMs));
    m_.ComPort1->ReadText(late, FrameOverhead);
  } catch (...) {
  }
  if (late.size() == static_cast<std::size_t>(FrameOverhead) && ChecksumValid(late))
    StrayReply(late, -1, baudIndex);
}

void Scan::ShowProgress(int address, int baudIndex) {
  const std::size_t total = o_.addresses.size() * o_.baudIndexes.size();
  s_.Out().Progress("scanning " + std::to_string(SpeedOf(baudIndex)) + " bit/s, address " +
                    std::to_string(address) + " (" + std::to_string(probes_) + " of " +
                    std::to_string(total) + "), " + std::to_string(found_.size()) + " found");
}

void Scan::Probe(int address, int baudIndex) {
  const LinkSettings link = s_.Link(baudIndex);
  const ByteString request = EnterConfigModeRequest(static_cast<DeviceAddress>(address));
  ByteString reply;
  const int r = m_.Transact(request, reply, FrameOverhead, link);
  probed_.emplace_back(address, baudIndex);
  const int waitMs = ProbeWaitMs(SpeedOf(baudIndex), o_.timeoutMs);
  if (r == ResultOk) {
    if (!AnswersRequest(reply, request, FrameOverhead)) {
      ++rejected_;
      return;
    }
    // The same reply from an earlier speed's probe looks just like this one's.
    std::vector<int> speeds = SpeedsToTry(address, baudIndex);
    const int at = Confirm(address, speeds, -1);
    if (at < 0) {
      ++rejected_;
      ShortTimeout(waitMs);
      m_.LeaveConfigModeOnce(static_cast<DeviceAddress>(address), link);
    } else {
      std::rotate(speeds.begin(), std::find(speeds.begin(), speeds.end(), at), speeds.end());
      const int left = Release(address, speeds);
      const int where = left >= 0 ? left : at;
      Add(address, where, false, where != baudIndex);
    }
    ShortTimeout(waitMs);
  } else if (r == ResultRefused) {
    Add(address, baudIndex, true, false);
  } else if (r == ResultOtherAddress) {
    StrayReply(reply, address, baudIndex);
  } else if (r == ResultPortFailed) {
    s_.Report("EnterConfigMode", r, "Scan stopped.",
              "probing address " + std::to_string(address) + " at " +
                  std::to_string(SpeedOf(baudIndex)) + " bit/s");
    portFailed_ = true;
  }
}

void Scan::ProbeAt(int baudIndex) {
  ShortTimeout(ProbeWaitMs(SpeedOf(baudIndex), o_.timeoutMs));
  for (const int address : o_.addresses) {
    if (s_.Out().ReaderGone() || (o_.first && !found_.empty())) break;
    TakeWaitingReplies(baudIndex);
    ++probes_;
    ShowProgress(address, baudIndex);
    Probe(address, baudIndex);
    if (portFailed_) return;
  }
  TakeLateReply(baudIndex);
}

std::string Scan::DeviceLine(const Found& f) const {
  return "address " + std::to_string(f.address) + " at " + SpeedsText(f.baudIndexes) + " bit/s" +
         (f.refused ? " (refuses configuration mode)" : "") +
         (f.slow ? " (answered late: a longer --timeout suits it)" : "") + "\n";
}

std::string Scan::JsonResult() const {
  Json devices = Json::array();
  for (const Found& f : found_) {
    Json speeds = Json::array();
    for (const int b : f.baudIndexes) speeds.push_back(SpeedOf(b));
    devices.push_back({{"address", f.address},
                       {"speed", SpeedOf(f.baudIndexes.front())},
                       {"speeds", speeds},
                       {"refused", f.refused},
                       {"slow", f.slow}});
  }
  Json j = s_.JsonHead(-1);
  j["devices"] = devices;
  j["probes"] = probes_;
  j["complete"] = probes_ + skipped_ == o_.addresses.size() * o_.baudIndexes.size();
  j["rejected_replies"] = rejected_;
  j["errors"] = s_.JsonFailures();
  Json error = s_.JsonOutcome();
  if (error.is_null() && found_.empty())
    error = JsonError("none-found", "no device answered (" + std::to_string(probes_) + " probes)");
  if (!error.is_null()) j["error"] = error;
  return JsonLine(j);
}

int Scan::Run() {
  if (s_.Out().ShowsProgress()) {
    s_.Out().Say("scanning " + std::to_string(o_.addresses.size()) + " address" +
                 (o_.addresses.size() == 1 ? "" : "es") + " at " +
                 std::to_string(o_.baudIndexes.size()) + " speed" +
                 (o_.baudIndexes.size() == 1 ? "" : "s") + " takes up to " +
                 DurationText(ScanEstimateMs(o_)) + "; Ctrl-C stops it.");
  }
  for (const int baudIndex : o_.baudIndexes) {
    if (Interrupted || portFailed_ || (o_.first && !found_.empty())) break;
    PortFailure failure;
    if (!s_.Open(baudIndex, failure)) {
      s_.Out().Say(failure.message);
      if (failure.fatal) {
        if (o_.json) s_.Out().Print(s_.JsonPortFailure(-1, failure));
        return ExitPort;
      }
      skipped_ += o_.addresses.size();
      continue;
    }
    ProbeAt(baudIndex);
  }
  s_.Out().ClearProgress();

  if (rejected_ > 0)
    s_.Out().Say(std::to_string(rejected_) + " repl" + (rejected_ == 1 ? "y" : "ies") +
                 " did not answer their probe (another function, parameter or length, or the "
                 "request echoed back); no device was counted for them.");
  if (o_.json) {
    s_.Out().Print(JsonResult());
  } else {
    std::string text;
    for (const Found& f : found_) text += DeviceLine(f);
    if (!text.empty()) s_.Out().Print(text);
    if (found_.empty() && !Interrupted)
      s_.Out().Say("no device answered (" + std::to_string(probes_) + " probes).");
  }
  if (Interrupted) {
    s_.Out().Say("interrupted.");
    return ExitInterrupted;
  }
  if (portFailed_) return ExitFailed;
  return found_.empty() ? ExitFailed : ExitOk;
}

long long ScanEstimateMs(const Options& o) {
  long long ms = 0;
  for (const int baudIndex : o.baudIndexes) {
    const int speed = SpeedOf(baudIndex);
    ms += static_cast<long long>(o.addresses.size()) * ProbeEstimateMs(speed, o.timeoutMs) +
          std::max<long long>(4LL * ProbeWaitMs(speed, o.timeoutMs), kLateReplyMs);
  }
  return ms;
}

}  // namespace cli
