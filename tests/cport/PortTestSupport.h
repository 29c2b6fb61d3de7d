// Shared helpers of the port tests: a port over the scriptable fake device.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ComPort.h"
#include "FakeSerialApi.h"

// Runs f, expects EComPort, and returns it for closer checks.
template <typename F>
EComPort CatchComPort(F&& f) {
  try {
    f();
  } catch (const EComPort& e) {
    return e;
  }
  ADD_FAILURE() << "no EComPort raised";
  return EComPort(0);
}

class FakePortTest : public ::testing::Test {
 protected:
  // Opens without a monitor, so the recorded calls are the port's own.
  void OpenQuiet() {
    port.SetEvents(TComEvents{});
    port.OpenDevice();
    fake.ClearCalls();
  }
  std::vector<std::string> Names() const { return fake.CallNames(); }

  serial::FakeSerialApi fake;
  TComPort port{fake};
};
