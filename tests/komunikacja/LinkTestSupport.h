// Test benches for the device link: the simulated device behind the fake platform device or
// behind a pseudo-terminal, a scratch folder for links and the log, and a delay recorder.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "DeviceSim.h"
#include "FakeSerialApi.h"
#include "LinuxSerialApi.h"
#include "PtyServer.h"
#include "komunikacja.h"

namespace linktest {

namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "konf-link-XXXXXX").string();
    path_ = ::mkdtemp(tmpl.data());
  }
  ~TempDir() {
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all, ec);
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// The lines of the log, without their CR LF; fails the test on a line without CR.
inline std::vector<std::string> LogLines(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream all;
  all << in.rdbuf();
  std::vector<std::string> lines;
  std::string text = all.str();
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = text.find("\r\n", at);
    if (end == std::string::npos) {
      lines.push_back("<no CR LF>" + text.substr(at));
      break;
    }
    lines.push_back(text.substr(at, end - at));
    at = end + 2;
  }
  return lines;
}

// Records every PreciseDelay while alive.
class DelayRecorder {
 public:
  struct Delay {
    std::int32_t amount;
    bool micros;
    bool operator==(const Delay&) const = default;
  };
  DelayRecorder() {
    SetPreciseDelayObserver([this](std::int32_t amount, bool micros) {
      std::lock_guard lock(mutex_);
      delays_.push_back({amount, micros});
    });
  }
  ~DelayRecorder() { SetPreciseDelayObserver({}); }
  std::vector<Delay> Delays() {
    std::lock_guard lock(mutex_);
    return delays_;
  }
  std::vector<std::int32_t> Pauses() {  // the millisecond ones
    std::vector<std::int32_t> ms;
    for (const Delay& d : Delays())
      if (!d.micros) ms.push_back(d.amount);
    return ms;
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    delays_.clear();
  }

 private:
  std::mutex mutex_;
  std::vector<Delay> delays_;
};

// The simulated device answering through the fake platform device: every write reaches the
// device, its reply is queued as received bytes. Reads end at once with what is there.
class FakeBench {
 public:
  explicit FakeBench(DeviceAddress address = 2, int platformId = VerPlatformWin32Nt)
      : device(address) {
    fake.SetReadCompletion(serial::FakeSerialApi::ReadCompletion::Immediate);
    fake.SetOnWrite([this](const std::string& bytes) { Answer(bytes); });
    TFkomunikacja::Options options;
    options.platformId = platformId;
    options.logDirectory = dir.path().string();
    module = std::make_unique<TFkomunikacja>(fake, options);
  }
  ~FakeBench() { module.reset(); }

  // Queues raw bytes as the reply to the next write instead of the device's.
  void ReplyOnce(const ByteString& bytes) {
    std::lock_guard lock(mutex_);
    raw_ = bytes;
    rawSet_ = true;
  }
  // Feeds what the device answers to bytes sent immediately (the program-driven path).
  void AnswerImmediates() { Answer(fake.Immediates()); }
  fs::path LogFile() const { return dir.path() / "trans.txt"; }

  TempDir dir;
  serial::FakeSerialApi fake;
  devicesim::Device device;
  std::unique_ptr<TFkomunikacja> module;

 private:
  void Answer(const std::string& bytes) {
    {
      std::lock_guard lock(mutex_);
      if (rawSet_) {
        rawSet_ = false;
        fake.Feed(raw_);
        return;
      }
    }
    for (const auto& exchange : device.Feed(bytes)) fake.Feed(exchange.ReplyBytes());
  }
  std::mutex mutex_;
  ByteString raw_;
  bool rawSet_ = false;
};

// The simulated device on a pseudo-terminal linked as COM2 in a scratch ports folder.
class PtyBench {
 public:
  explicit PtyBench(DeviceAddress address = 2, int platformId = VerPlatformWin32Nt)
      : device(address) {
    Start();
    TFkomunikacja::Options options;
    options.platformId = platformId;
    options.logDirectory = dir.path().string();
    options.portsDirectory = dir.path().string();
    module = std::make_unique<TFkomunikacja>(serial::SystemSerialApi(), options);
    // Silent-device cases stay short.
    module->ComPort1->Timeouts().SetReadTotalConstant(150);
  }
  ~PtyBench() {
    module.reset();
    server.reset();
    serial::SetPortsDirectory("");
  }

  // A new terminal under the same name, as when an adapter is plugged back in.
  void Start(const std::string& name = "COM2") {
    server = std::make_unique<devicesim::PtyServerThread>(device);
    const fs::path link = dir.path() / name;
    std::error_code ec;
    fs::remove(link, ec);
    fs::create_symlink(server->SlavePath(), link);
  }
  fs::path LogFile() const { return dir.path() / "trans.txt"; }

  TempDir dir;
  devicesim::Device device;
  std::unique_ptr<devicesim::PtyServerThread> server;
  std::unique_ptr<TFkomunikacja> module;
};

// COM2 at 19200 bit/s, the window's defaults.
inline const LinkSettings kCom2{1, 8};

inline ByteString Bytes(std::initializer_list<int> values) {
  ByteString s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

}  // namespace linktest
