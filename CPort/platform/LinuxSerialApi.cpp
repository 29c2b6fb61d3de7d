// Interim: the Linux backend follows in the next commit.
#include <cerrno>

#include "SerialApi.h"

namespace serial {
namespace {
class Unavailable final : public SerialApi {
  static bool No() {
    SetLastError(ENOSYS);
    return false;
  }

 public:
  Handle CreateFile(const std::string&) override {
    SetLastError(ENOSYS);
    return InvalidHandle;
  }
  bool CloseHandle(Handle) override { return No(); }
  bool SetCommState(Handle, const Dcb&) override { return No(); }
  bool GetCommState(Handle, Dcb&) override { return No(); }
  bool SetCommTimeouts(Handle, const CommTimeouts&) override { return No(); }
  bool GetCommTimeouts(Handle, CommTimeouts&) override { return No(); }
  bool SetupComm(Handle, std::uint32_t, std::uint32_t) override { return No(); }
  bool PurgeComm(Handle, std::uint32_t) override { return No(); }
  bool EscapeCommFunction(Handle, std::uint32_t) override { return No(); }
  bool TransmitCommChar(Handle, char) override { return No(); }
  bool ClearCommError(Handle, std::uint32_t*, ComStat*) override { return No(); }
  bool GetCommModemStatus(Handle, std::uint32_t*) override { return No(); }
  bool SetCommMask(Handle, std::uint32_t) override { return No(); }
  bool GetCommMask(Handle, std::uint32_t*) override { return No(); }
  bool WaitCommEvent(Handle, std::uint32_t*, Overlapped*) override { return No(); }
  bool WriteFile(Handle, const void*, std::uint32_t, std::uint32_t*, Overlapped*) override {
    return No();
  }
  bool ReadFile(Handle, void*, std::uint32_t, std::uint32_t*, Overlapped*) override { return No(); }
  bool GetOverlappedResult(Handle, Overlapped*, std::uint32_t*, bool) override { return No(); }
};
}  // namespace

SerialApi& SystemSerialApi() {
  static Unavailable api;
  return api;
}
}  // namespace serial
