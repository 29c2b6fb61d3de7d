// Both transaction engines and the eight attempt methods, with any byte string as the device's
// answer, through the fake platform device. Each result is checked against a classification
// written here from the protocol's rules, and so are the decoded outputs, the bytes sent and
// the one log entry a transaction leaves.
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>

#include "FakeSerialApi.h"
#include "UiDispatcher.h"
#include "komunikacja.h"

namespace {

using Bytes = std::string;

std::uint8_t At(const Bytes& s, std::size_t i) { return static_cast<std::uint8_t>(s[i]); }

std::uint16_t ModbusCrc(const Bytes& s, std::size_t count) {
  std::uint16_t crc = 0xFFFF;
  for (std::size_t i = 0; i < count; ++i) {
    crc ^= At(s, i);
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
  }
  return crc;
}

// The last two bytes are the CRC, low byte first, of the bytes before them.
bool CrcClosed(const Bytes& s) {
  if (s.size() < 2) return false;
  const std::uint16_t crc = ModbusCrc(s, s.size() - 2);
  return At(s, s.size() - 2) == (crc & 0xFF) && At(s, s.size() - 1) == (crc >> 8);
}

struct Expected {
  TransactionResult result;
  Bytes read;  // what the engine has read when it logs
};

// The device's answer sits whole in the input queue when the engine reads.
Expected FixedLength(const Bytes& request, const Bytes& answer, std::int32_t length) {
  if (length < 4) return {5, {}};
  const Bytes read = answer.substr(0, static_cast<std::size_t>(length));
  if (read.size() == static_cast<std::size_t>(length)) {
    if (!CrcClosed(read)) return {4, read};
    return {read[0] == request[0] ? 0 : 10, read};
  }
  // A request of one byte has no function byte for a refusal to echo.
  const bool refusal = read.size() == 5 && request.size() >= 2 && CrcClosed(read) &&
                       read[0] == request[0] && At(read, 1) == (At(request, 1) | 0x80);
  return {refusal ? 7 : 3, read};
}

Expected LengthPrefixed(const Bytes& request, const Bytes& answer) {
  const Bytes head = answer.substr(0, 5);
  if (head.size() < 5) return {3, head};
  const long rest = At(head, 3) * 256L + At(head, 4) - 5;
  const Bytes more = rest > 0 && rest < 10000 ? answer.substr(5, rest) : Bytes();
  if (static_cast<long>(more.size()) != rest) return {3, head};
  const Bytes reply = head + more;
  if (!CrcClosed(reply)) return {4, reply};
  return {reply[0] == request[0] ? 0 : 10, reply};
}

Bytes Trimmed(const Bytes& frame) {
  if (frame.size() <= 7) return {};
  Bytes text = frame.substr(5, frame.size() - 7);
  while (!text.empty() && At(text, 0) <= ' ') text.erase(0, 1);
  while (!text.empty() && At(text, text.size() - 1) <= ' ') text.pop_back();
  return text;
}

std::string Hex(const Bytes& s) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (char c : s) {
    const auto b = static_cast<std::uint8_t>(c);
    out += digits[b >> 4];
    out += digits[b & 15];
    out += ' ';
  }
  return out;
}

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  Bytes Take(std::size_t n) {
    n = std::min(n, size_ - at_);
    Bytes s(reinterpret_cast<const char*>(data_ + at_), n);
    at_ += n;
    return s;
  }
  Bytes Rest() { return Take(size_ - at_); }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// The fake device and the module, renewed now and then so the fake's records stay small.
struct Bench {
  Bench(const std::string& logDir) {
    fake.SetReadCompletion(serial::FakeSerialApi::ReadCompletion::Immediate);
    fake.SetOnWrite([this](const std::string&) {
      std::lock_guard lock(mutex);
      fake.Feed(answer);
      answer.clear();
    });
    TFkomunikacja::Options options;
    options.logDirectory = logDir;
    module = std::make_unique<TFkomunikacja>(fake, options);
  }
  ~Bench() { module.reset(); }
  serial::FakeSerialApi fake;
  std::mutex mutex;
  Bytes answer;
  std::unique_ptr<TFkomunikacja> module;
};

std::string logDir;
// The UI side of the port's event monitor, served after every input as an event loop would.
// Never destroyed: a port may still be open while the program exits.
TQueuedUiDispatcher* dispatcher = nullptr;
std::unique_ptr<Bench> bench;
int runs = 0;

[[noreturn]] void Fail(const char* what, int op, const Bytes& request, const Bytes& answer,
                       long got, long want) {
  std::fprintf(stderr, "%s: operation %d got %ld, expected %ld\n  request: %s\n  answer:  %s\n",
               what, op, got, want, Hex(request).c_str(), Hex(answer).c_str());
  std::abort();
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char tmpl[] = "/tmp/konf-fuzz-XXXXXX";
  logDir = ::mkdtemp(tmpl);
  LoggingEnabled = true;
  dispatcher = new TQueuedUiDispatcher;
  SetUiDispatcher(dispatcher);
  return 0;
}

namespace {

void RunOne(const std::uint8_t* data, std::size_t size) {
  if (!bench || ++runs % 2000 == 0) {
    bench.reset();
    bench = std::make_unique<Bench>(logDir);
  }
  Input in(data, size);
  const int op = in.Byte() % 10;
  const DeviceAddress address = in.Byte();
  // Now and then a serial call fails: the transaction must end with 1 and log nothing.
  static const char* const kFailing[] = {"CreateFile", "PurgeComm", "WriteFile", "ReadFile"};
  const int failure = in.Byte() % 8 - 4;
  const LinkSettings com2{1, 8};
  TFkomunikacja& m = *bench->module;

  Bytes request;
  std::int32_t length = 0;
  Bytes text;
  std::int32_t mode = 0;
  switch (op) {
    case 0:
      request = EnterConfigModeRequest(address);
      length = 7;
      break;
    case 1:
      request = LeaveConfigModeRequest(address);
      length = 7;
      break;
    case 2:
      request = ReadOperatingModeRequest(address);
      length = 8;
      break;
    case 3:
      mode = in.Byte();
      request = WriteOperatingModeRequest(address, mode);
      length = 8;
      break;
    case 4:
      request = ReadIpAddressRequest(address);
      break;
    case 5:
      text = in.Take(in.Byte() % 32);
      request = WriteIpAddressRequest(address, text);
      break;
    case 6:
      request = ReadIpPortRequest(address);
      break;
    case 7:
      text = in.Take(in.Byte() % 32);
      request = WriteIpPortRequest(address, text);
      break;
    case 8: {
      const int high = in.Byte();
      length = static_cast<std::int16_t>(high << 8 | in.Byte());
    }
      request = in.Take(in.Byte() % 32 + 1);
      break;
    case 9:
      request = in.Take(in.Byte() % 32 + 1);
      break;
  }
  // A request is never empty (the input may run out before its bytes).
  if (request.empty()) request.push_back('\0');
  if (op == 5 || op == 7) length = static_cast<std::int32_t>(request.size());
  const Bytes answer = in.Rest();
  const bool prefixed = op == 4 || op == 6 || op == 9;
  Expected want = prefixed ? LengthPrefixed(request, answer) : FixedLength(request, answer, length);

  if (failure >= 0 && want.result != 5) want = {1, {}};
  {
    std::lock_guard lock(bench->mutex);
    bench->answer = answer;
  }
  bench->fake.ClearFailures();
  // Opening happens only on a closed port.
  if (failure == 0) m.ComPort1->CloseDevice();
  bench->fake.ClearCalls();
  if (failure >= 0) bench->fake.FailNext(kFailing[failure], EIO);
  const std::string logFile = logDir + "/trans.txt";
  ::unlink(logFile.c_str());

  const Bytes unset = "\x01untouched";
  std::int32_t modeOut = -12345;
  std::string textOut = unset;
  TransactionResult got = -1;
  switch (op) {
    case 0:
      got = m.EnterConfigModeOnce(address, com2);
      break;
    case 1:
      got = m.LeaveConfigModeOnce(address, com2);
      break;
    case 2:
      got = m.ReadOperatingModeOnce(address, com2, modeOut);
      break;
    case 3:
      got = m.WriteOperatingModeOnce(mode, address, com2);
      break;
    case 4:
      got = m.ReadIpAddressOnce(address, com2, textOut);
      break;
    case 5:
      got = m.WriteIpAddressOnce(text, address, com2);
      break;
    case 6:
      got = m.ReadIpPortOnce(address, com2, textOut);
      break;
    case 7:
      got = m.WriteIpPortOnce(text, address, com2);
      break;
    case 8: {
      Bytes reply = unset;
      got = m.Transact(request, reply, length, com2);
      if (got == 5 && reply != unset)
        Fail("reply touched without a transaction", op, request, answer, 0, 0);
      break;
    }
    case 9: {
      Bytes reply;
      got = m.TransactLengthPrefixed(request, reply, com2);
      if (want.result != 1 && reply != want.read)
        Fail("reply differs from the bytes read", op, request, answer, 0, 0);
      break;
    }
  }
  if (got != want.result) Fail("result", op, request, answer, got, want.result);
  {
    std::lock_guard lock(bench->mutex);
    bench->answer.clear();
  }

  // Outputs only on success, decoded from the reply.
  if (op == 2 && modeOut != (got == 0 ? At(want.read, 5) : -12345))
    Fail("mode", op, request, answer, modeOut, got);
  if ((op == 4 || op == 6) && textOut != (got == 0 ? Trimmed(want.read) : unset))
    Fail("text", op, request, answer, static_cast<long>(textOut.size()), got);

  // Length 5 ends before the port is touched and is not logged; everything else sent the
  // request once, whole, and left one entry with the bytes read and the outcome.
  const auto calls = bench->fake.Calls();
  std::string written;
  int engineCalls = 0;  // the event monitor makes calls of its own meanwhile
  for (const auto& c : calls) {
    if (c.name == "WriteFile") written += c.text;
    for (const char* name :
         {"CreateFile", "PurgeComm", "WriteFile", "ReadFile", "TransmitCommChar"})
      if (c.name == name) ++engineCalls;
  }
  const std::string log = ReadAll(logFile);
  if (want.result == 1) {
    if (!log.empty()) Fail("logged a failed transaction", op, request, answer, 0, 0);
    return;
  }
  if (want.result == 5) {
    if (engineCalls != 0)
      Fail("port touched for a reply shorter than 4", op, request, answer, 0, 0);
    if (!log.empty()) Fail("logged a transaction that never ran", op, request, answer, 0, 0);
    return;
  }
  if (written != request) Fail("bytes sent differ from the request", op, request, answer, 0, 0);
  const std::string sent =
      "  M: " + Hex(request) + "   [" + std::to_string(request.size()) + "]\r\n";
  const std::string received = "  S: " + Hex(want.read) + "   [" +
                               std::to_string(want.read.size()) + "] " +
                               std::to_string(want.result) + "\r\n";
  const std::size_t dateEnd = log.find("\r\n", 3);
  if (log.rfind(" \r\n", 0) != 0 || dateEnd == std::string::npos ||
      log.compare(dateEnd, std::string::npos, "\r\n \r\n" + sent + received) != 0) {
    std::fprintf(stderr, "log:\n%s\nexpected to end:\n%s%s", log.c_str(), sent.c_str(),
                 received.c_str());
    Fail("log entry", op, request, answer, 0, 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  RunOne(data, size);
  dispatcher->Serve();
  return 0;
}
