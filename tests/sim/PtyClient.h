// A client's side of the simulator's pseudo-terminal: plain reads and writes on the slave.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "Frames.h"

namespace simtest {

// Reads until count bytes came or nothing more arrives for timeoutMs.
inline ByteString ReadReply(int fd, std::size_t count, int timeoutMs = 2000) {
  ByteString got;
  char buf[256];
  while (got.size() < count) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) break;
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    got.append(buf, static_cast<std::size_t>(n));
  }
  return got;
}

inline void Send(int fd, const ByteString& bytes) {
  ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

// How long a test waits for a reply that must not come.
constexpr int kSilenceMs = 300;

}  // namespace simtest
