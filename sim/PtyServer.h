// Serves a Device, or a Bus of several, on a pseudo-terminal: clients open the slave side
// as if it were a serial port, the server answers on the master side.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "Bus.h"

namespace devicesim {

class PtyServer {
 public:
  explicit PtyServer(Device& device);
  // The bus must outlive the server.
  explicit PtyServer(Bus& bus);
  ~PtyServer();
  PtyServer(const PtyServer&) = delete;
  PtyServer& operator=(const PtyServer&) = delete;

  // Opens the pseudo-terminal; throws std::system_error.
  void Open();
  // Serves on a serial port wired to the client's instead, its line set to bitsPerSecond;
  // throws std::system_error. The client's speed cannot be seen over a wire: SetLineSpeed
  // has no effect then.
  void OpenDevice(const std::string& path, unsigned bitsPerSecond);
  // The path clients open, e.g. "/dev/pts/3"; the port served on after OpenDevice.
  const std::string& SlavePath() const { return slavePath_; }

  // Answers only while the client's line runs at this many bit/s, in and out, as a device
  // set to one speed does; requests at any other speed are ignored. 0: at any speed.
  void SetLineSpeed(unsigned bitsPerSecond) { lineSpeed_ = bitsPerSecond; }
  unsigned LineSpeed() const { return lineSpeed_; }

  using ExchangeCallback = std::function<void(const Exchange&)>;
  // Answers requests until stopFd becomes readable. Clients may open and close the slave
  // any number of times meanwhile. Throws std::system_error when the terminal fails.
  void Serve(int stopFd, const ExchangeCallback& onExchange = {});

 private:
  void ClientClosed();
  // Why the devices cannot hear the line now; empty when they can.
  std::string LineMismatch();
  // False when stopFd became readable first.
  bool WaitUnlessStopped(int stopFd, std::chrono::milliseconds delay);
  bool WriteAll(int stopFd, const ByteString& bytes);

  Bus ownBus_;  // when serving a single device
  Bus& bus_;
  std::atomic<unsigned> lineSpeed_{0};
  unsigned lastOut_ = 0, lastIn_ = 0;
  int master_ = -1;
  int slave_ = -1;  // held open so the master survives clients closing theirs
  int inotify_ = -1;
  std::string slavePath_;
};

// A PtyServer on a thread of its own, for tests.
class PtyServerThread {
 public:
  explicit PtyServerThread(Device& device, PtyServer::ExchangeCallback onExchange = {});
  explicit PtyServerThread(Bus& bus, PtyServer::ExchangeCallback onExchange = {});
  // Serves on this serial port (see OpenDevice) when it is not empty.
  PtyServerThread(Device& device, PtyServer::ExchangeCallback onExchange, const std::string& port);
  ~PtyServerThread();
  const std::string& SlavePath() const { return server_.SlavePath(); }
  // Takes effect from the next bytes received.
  void SetLineSpeed(unsigned bitsPerSecond) { server_.SetLineSpeed(bitsPerSecond); }
  void Stop();
  // Why serving ended early, once stopped; empty when it did not.
  const std::string& Error() const { return error_; }

 private:
  void Start(PtyServer::ExchangeCallback onExchange, const std::string& port = {});

  PtyServer server_;
  std::string error_;
  int stop_ = -1;
  std::thread thread_;
};

}  // namespace devicesim
