// The event monitor: waits on the device for the port's line events and hands each batch to the
// port by the port's SyncMethod. Owned by the port while it is open.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "ComTypes.h"
#include "platform/SerialApi.h"

class TCustomComPort;
class TUiDispatcher;

class TComThread {
 public:
  // Programs the event mask from the port's Events and starts waiting.
  TComThread(TCustomComPort& port, TUiDispatcher& ui);
  // Stops the monitor and returns once its thread has ended, serving the UI queue meanwhile
  // (a delivery the monitor is blocked in must be able to run).
  ~TComThread();
  TComThread(const TComThread&) = delete;
  TComThread& operator=(const TComThread&) = delete;

  // Destroys a monitor. Called from inside one of the monitor's own deliveries (a handler that
  // closes the port) it cannot wait for the thread: the monitor then delivers nothing more and
  // frees itself when its thread ends.
  static void Destroy(std::unique_ptr<TComThread> monitor);

  void StopMonitor();
  bool Finished() const { return finished_.load(); }

 private:
  void Execute();
  void DispatchEvents();
  void DeliverEvents();
  void SendEventMessages();
  bool InOwnDelivery() const;

  TCustomComPort& port_;
  TUiDispatcher& ui_;
  serial::Event stopEvent_{false};
  TComEvents events_;
  // The wait record outlives the thread body, so a wait still pending when the body leaves by an
  // exception never completes into freed memory.
  serial::Event waitEvent_{true};
  serial::Overlapped waitRecord_;
  std::uint32_t mask_ = 0;
  std::atomic<bool> finished_{false};
  std::atomic<bool> abandoned_{false};
  std::atomic<std::thread::id> deliveringOn_{};
  std::mutex endMutex_;
  std::thread thread_;
};
