// Failures of the log that no local file system shows on demand: a write that takes part of
// an entry, one interrupted by a signal, a close that reports a lost write (as NFS does when
// the disk fills). This program answers write and close on "trans.txt" itself.
#include <dlfcn.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include "LinkTestSupport.h"

namespace {

struct Fault {
  // Per write call on the log, in order: -1 passes it on; n >= 0 lets only n bytes through
  // (0: the call returns 0); negative errno values below -1 fail it with -value.
  std::vector<long> writes;
  std::size_t nextWrite = 0;
  int closeError = 0;
  int logWrites = 0;
};
Fault gFault;

bool IsLog(int fd) {
  char link[64], path[PATH_MAX];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t n = readlink(link, path, sizeof path - 1);
  if (n <= 0) return false;
  path[n] = '\0';
  const std::size_t len = std::strlen(path);
  return len >= 10 && std::strcmp(path + len - 10, "/trans.txt") == 0;
}

}  // namespace

extern "C" ssize_t write(int fd, const void* buf, size_t count) {
  static const auto next =
      reinterpret_cast<ssize_t (*)(int, const void*, size_t)>(dlsym(RTLD_NEXT, "write"));
  if (!IsLog(fd)) return next(fd, buf, count);
  ++gFault.logWrites;
  const long step =
      gFault.nextWrite < gFault.writes.size() ? gFault.writes[gFault.nextWrite++] : -1;
  if (step == -1) return next(fd, buf, count);
  if (step < -1) {
    errno = int(-step);
    return -1;
  }
  if (step == 0) return 0;
  return next(fd, buf, std::min(count, size_t(step)));
}

extern "C" int close(int fd) {
  static const auto next = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "close"));
  const bool log = gFault.closeError != 0 && IsLog(fd);
  const int r = next(fd);
  if (!log || r != 0) return r;
  errno = gFault.closeError;
  return -1;
}

namespace {

using namespace linktest;
using Kind = LogFailure::Kind;

class LogFault : public ::testing::Test {
 protected:
  void SetUp() override {
    LoggingEnabled = true;
    gFault = {};
  }
  void TearDown() override {
    gFault = {};
    LoggingEnabled = false;
  }
};

std::size_t Size(const fs::path& p) { return fs::exists(p) ? fs::file_size(p) : 0; }

TEST_F(LogFault, EachKindOfWriteAndCloseFailureIsKeptWithItsError) {
  struct Case {
    const char* what;
    std::vector<long> writes;
    int closeError;
    Kind kind;
    int error;
    bool partial;  // part of the entry went in
  };
  const Case cases[] = {
      {"full at the first byte", {-ENOSPC}, 0, Kind::Write, ENOSPC, false},
      {"an I/O error", {-EIO}, 0, Kind::Write, EIO, false},
      {"part, then full", {10, -ENOSPC}, 0, Kind::ShortWrite, ENOSPC, true},
      {"part, then nothing more taken", {10, 0}, 0, Kind::ShortWrite, 0, true},
      {"the loss shows at close", {}, EIO, Kind::Close, EIO, false},
      {"a full disk at close", {}, ENOSPC, Kind::Close, ENOSPC, false},
      {"the write's failure is the one kept, not the close's",
       {-ENOSPC},
       EIO,
       Kind::Write,
       ENOSPC,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeBench bench;
    gFault = {};
    gFault.writes = c.writes;
    gFault.closeError = c.closeError;
    ByteString reply;
    // The transaction's result is the device's, whatever the log met.
    EXPECT_EQ(bench.module->Transact(EnterConfigModeRequest(2), reply, 7, kCom2), 0);
    gFault = {};
    const LogFailure& f = bench.module->FirstLogFailure();
    EXPECT_EQ(f.kind, c.kind);
    EXPECT_EQ(f.error, c.error);
    EXPECT_EQ(f.failedEntries, 1);
    if (c.kind == Kind::Close) {
      EXPECT_EQ(LogLines(bench.LogFile()).size(), 5u);
    } else {
      EXPECT_EQ(Size(bench.LogFile()), c.partial ? 10u : 0u) << "lines written stay";
    }
    // The next entry starts afresh; the first failure stays.
    bench.module->LogTransaction("a", "b", 0);
    EXPECT_EQ(bench.module->FirstLogFailure().kind, c.kind);
    EXPECT_EQ(bench.module->FirstLogFailure().failedEntries, 1);
  }
}

TEST_F(LogFault, AWriteInterruptedBySignalIsDoneAgain) {
  FakeBench bench;
  gFault.writes = {-EINTR, 10, -EINTR};
  bench.module->LogTransaction("a", "b", 0);
  EXPECT_EQ(bench.module->FirstLogFailure().kind, Kind::None);
  EXPECT_EQ(gFault.logWrites, 4);
  const auto lines = LogLines(bench.LogFile());
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[3], "  M: 61    [1]");
  EXPECT_EQ(lines[4], "  S: 62    [1] 0");
}

}  // namespace
