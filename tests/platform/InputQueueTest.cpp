// The layer's own input queue over a pseudo-terminal: what a purge drops and when the queue
// counts as 80 % full. The test keeps the slave side open too, so it can wait in poll() until
// sent bytes have reached the kernel's buffer.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "LinuxSerialApi.h"
#include "SerialApi.h"

using namespace serial;

namespace {

struct Request {
  Event ev{true};
  Overlapped ov;
  Request() { ov.hEvent = &ev; }
};

class InputQueue : public ::testing::Test {
 protected:
  SerialApi& api = SystemSerialApi();
  int master = -1, slave = -1;
  Handle h = InvalidHandle;

  void SetUp() override {
    char name[128];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    h = api.CreateFile(name);
    ASSERT_NE(h, InvalidHandle) << GetLastError();
    Dcb d;
    d.BaudRate = 19200;
    d.Flags = dcb::fBinary;
    d.ByteSize = 8;
    d.XonChar = 17;
    d.XoffChar = 19;
    ASSERT_TRUE(api.SetCommState(h, d)) << GetLastError();
    // Reads end at once with what is there: no test here waits for a time-out.
    ASSERT_TRUE(api.SetCommTimeouts(h, CommTimeouts{MaxDword, 0, 0, 0, 0}));
  }
  void TearDown() override {
    if (h != InvalidHandle) {
      EXPECT_TRUE(api.CloseHandle(h));
    }
    ::close(slave);
    ::close(master);
  }
  void Send(const std::string& s) const {
    ASSERT_EQ(::write(master, s.data(), s.size()), ssize_t(s.size()));
  }
  // Waits until the sent bytes are in the kernel's buffer, unread.
  bool InKernel() const {
    pollfd p{slave, POLLIN, 0};
    return poll(&p, 1, 5000) == 1;
  }
  std::uint32_t InQueue() {
    std::uint32_t errors = 0;
    ComStat st;
    EXPECT_TRUE(api.ClearCommError(h, &errors, &st));
    return st.cbInQue;
  }
  // Lets the layer take n sent bytes into its queue (ClearCommError drains the kernel's buffer).
  void Queue(std::uint32_t n) {
    while (InQueue() < n) ASSERT_TRUE(InKernel()) << "only " << InQueue() << " of " << n;
  }
  std::string ReadNow(std::uint32_t n) {
    std::string buf(n, '\0');
    Request rq;
    std::uint32_t got = 0;
    if (!api.ReadFile(h, buf.data(), n, &got, &rq.ov)) {
      EXPECT_EQ(GetLastError(), ErrorIoPending);
      EXPECT_TRUE(rq.ev.Wait(5000));
      EXPECT_TRUE(api.GetOverlappedResult(h, &rq.ov, &got, false));
    }
    buf.resize(got);
    return buf;
  }
};

// Input the layer has not fetched yet sits in the kernel; a receive purge must drop it there,
// whether or not the output is cleared in the same call.
TEST_F(InputQueue, ReceivePurgeDropsInputStillInTheKernel) {
  for (const std::uint32_t flags : {PURGE_RXCLEAR, PURGE_RXCLEAR | PURGE_TXCLEAR}) {
    Send("stale");
    ASSERT_TRUE(InKernel());
    ASSERT_TRUE(api.PurgeComm(h, flags));
    Send("fresh");
    ASSERT_TRUE(InKernel());
    EXPECT_EQ(ReadNow(16), "fresh") << "flags " << flags;
  }
}

TEST_F(InputQueue, ReceivePurgeEmptiesTheLayersQueue) {
  Send("stale");
  Queue(5);
  ASSERT_TRUE(api.PurgeComm(h, PURGE_RXCLEAR));
  EXPECT_EQ(InQueue(), 0u);
  Send("fresh");
  ASSERT_TRUE(InKernel());
  EXPECT_EQ(ReadNow(16), "fresh");
}

// EV_RX80FULL comes with the byte that fills the queue to 80 % of its size, not one byte
// earlier; a size below 16 counts as 16.
TEST_F(InputQueue, EightyPercentEventComesWithTheByteThatReachesIt) {
  struct Case {
    std::uint32_t size, below;  // below + 1 bytes reach 80 %
  };
  for (const Case c : {Case{100, 79}, Case{1, 12}, Case{0, 12}}) {
    SCOPED_TRACE("queue size " + std::to_string(c.size));
    ASSERT_TRUE(api.PurgeComm(h, PURGE_RXCLEAR));
    ASSERT_TRUE(api.SetupComm(h, c.size, 1024));
    ASSERT_TRUE(api.SetCommMask(h, EV_RX80FULL));
    Send(std::string(c.below, 'a'));
    Queue(c.below);
    Request ev;
    std::uint32_t mask = 0;
    ASSERT_FALSE(api.WaitCommEvent(h, &mask, &ev.ov)) << "raised at " << c.below << " bytes";
    ASSERT_EQ(GetLastError(), ErrorIoPending);
    Send("b");
    const bool raised = ev.ev.Wait(5000);
    ASSERT_TRUE(api.SetCommMask(h, 0));  // ends a wait that is still running
    ASSERT_TRUE(raised);
    EXPECT_EQ(mask, std::uint32_t(EV_RX80FULL));
  }
}

}  // namespace
