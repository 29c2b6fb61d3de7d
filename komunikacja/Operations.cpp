#include "komunikacja.h"

namespace {

constexpr std::int32_t kModeTimeoutMs = 2000;  // entering and leaving configuration mode
constexpr std::int32_t kTimeoutMs = 1000;
constexpr std::int32_t kPauseMs = 100;
constexpr std::int32_t kWritePauseMs = 500;  // the device stores written data meanwhile

template <typename Attempt>
TransactionResult WithRetries(TFkomunikacja& module, std::int32_t readTotalConstant,
                              std::int32_t pauseMs, const LinkSettings& settings, Attempt attempt) {
  try {
    module.ComPort1->Timeouts().SetReadTotalConstant(readTotalConstant);
  } catch (...) {
    // The transaction itself will find out whether the port works.
  }
  const LinkSettings copy = settings;
  TransactionResult result = 0;
  for (int i = 0; i < 2; ++i) {
    result = attempt(copy);
    if (result == 0 || result == 7) return result;
    PreciseDelay(pauseMs, false);
  }
  return result;
}

}  // namespace

TransactionResult EnterConfigMode(TFkomunikacja& module, DeviceAddress address,
                                  const LinkSettings& settings) {
  return WithRetries(module, kModeTimeoutMs, kPauseMs, settings,
                     [&](const LinkSettings& s) { return module.EnterConfigModeOnce(address, s); });
}

TransactionResult LeaveConfigMode(TFkomunikacja& module, DeviceAddress address,
                                  const LinkSettings& settings) {
  return WithRetries(module, kModeTimeoutMs, kPauseMs, settings,
                     [&](const LinkSettings& s) { return module.LeaveConfigModeOnce(address, s); });
}

TransactionResult ReadOperatingMode(TFkomunikacja& module, DeviceAddress address,
                                    const LinkSettings& settings, std::int32_t& mode) {
  return WithRetries(module, kTimeoutMs, kPauseMs, settings, [&](const LinkSettings& s) {
    return module.ReadOperatingModeOnce(address, s, mode);
  });
}

TransactionResult WriteOperatingMode(TFkomunikacja& module, std::int32_t mode,
                                     DeviceAddress address, const LinkSettings& settings) {
  return WithRetries(module, kTimeoutMs, kWritePauseMs, settings, [&](const LinkSettings& s) {
    return module.WriteOperatingModeOnce(mode, address, s);
  });
}

TransactionResult ReadIpAddress(TFkomunikacja& module, DeviceAddress address,
                                const LinkSettings& settings, std::string& ip) {
  return WithRetries(module, kTimeoutMs, kPauseMs, settings, [&](const LinkSettings& s) {
    return module.ReadIpAddressOnce(address, s, ip);
  });
}

TransactionResult WriteIpAddress(TFkomunikacja& module, const std::string& ip,
                                 DeviceAddress address, const LinkSettings& settings) {
  return WithRetries(module, kTimeoutMs, kWritePauseMs, settings, [&](const LinkSettings& s) {
    return module.WriteIpAddressOnce(ip, address, s);
  });
}

TransactionResult ReadIpPort(TFkomunikacja& module, DeviceAddress address,
                             const LinkSettings& settings, std::string& port) {
  return WithRetries(module, kTimeoutMs, kPauseMs, settings, [&](const LinkSettings& s) {
    return module.ReadIpPortOnce(address, s, port);
  });
}

TransactionResult WriteIpPort(TFkomunikacja& module, const std::string& port, DeviceAddress address,
                              const LinkSettings& settings) {
  return WithRetries(module, kTimeoutMs, kWritePauseMs, settings, [&](const LinkSettings& s) {
    return module.WriteIpPortOnce(port, address, s);
  });
}
