// A client's side of the simulator's pseudo-terminal: plain reads and writes on the slave, and
// the simulator program started as a process.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <unistd.h>

#include <cstdio>

#include <gtest/gtest.h>

#include "Frames.h"

extern char** environ;

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

// Starts konfigurator-sim with argv and reads the first line it prints (the ready line, or
// nothing when it refused to start). *lines stays open until the caller has stopped it: the
// simulator prints as it stops.
inline void StartSimulator(const char* const* argv, pid_t* pid, FILE** lines, char* line,
                           int size) {
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  const int spawned =
      posix_spawn(pid, KONFIGURATOR_SIM, &actions, nullptr, const_cast<char**>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  ASSERT_EQ(spawned, 0);
  *lines = fdopen(fds[0], "r");
  line[0] = '\0';
  ASSERT_NE(fgets(line, size, *lines), nullptr) << "no line from " << argv[0];
}

// How long a test waits for a reply that must not come.
constexpr int kSilenceMs = 300;

}  // namespace simtest
