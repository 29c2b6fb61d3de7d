// Serves a Device on a pseudo-terminal: clients open the slave side as if it were a
// serial port, the server answers on the master side.
#pragma once

#include <functional>
#include <string>
#include <thread>

#include "DeviceSim.h"

namespace devicesim {

class PtyServer {
 public:
  explicit PtyServer(Device& device);
  ~PtyServer();
  PtyServer(const PtyServer&) = delete;
  PtyServer& operator=(const PtyServer&) = delete;

  // Opens the pseudo-terminal; throws std::system_error.
  void Open();
  // The path clients open, e.g. "/dev/pts/3".
  const std::string& SlavePath() const { return slavePath_; }

  using ExchangeCallback = std::function<void(const Exchange&)>;
  // Answers requests until stopFd becomes readable. Clients may open and close the slave
  // any number of times meanwhile. Throws std::system_error when the terminal fails.
  void Serve(int stopFd, const ExchangeCallback& onExchange = {});

 private:
  void ClientClosed();
  // False when stopFd became readable first.
  bool WaitUnlessStopped(int stopFd, std::chrono::milliseconds delay);
  bool WriteAll(int stopFd, const ByteString& bytes);

  Device& device_;
  int master_ = -1;
  int slave_ = -1;  // held open so the master survives clients closing theirs
  int inotify_ = -1;
  std::string slavePath_;
};

// A PtyServer on a thread of its own, for tests.
class PtyServerThread {
 public:
  explicit PtyServerThread(Device& device, PtyServer::ExchangeCallback onExchange = {});
  ~PtyServerThread();
  const std::string& SlavePath() const { return server_.SlavePath(); }
  void Stop();
  // Why serving ended early, once stopped; empty when it did not.
  const std::string& Error() const { return error_; }

 private:
  PtyServer server_;
  std::string error_;
  int stop_ = -1;
  std::thread thread_;
};

}  // namespace devicesim
