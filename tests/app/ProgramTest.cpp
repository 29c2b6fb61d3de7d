// The real program, started and closed without a button press: it must not touch a port nor
// write its transaction log.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;

extern char** environ;

namespace {

struct TempDir {
  fs::path path;
  TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "konfigurator-XXXXXX").string();
    path = ::mkdtemp(tmpl.data());
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};

// Waits in the kernel for the child to end, at most timeoutMs; returns its wait status or -1.
int WaitForExit(pid_t pid, int timeoutMs) {
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (pidfd >= 0) {
    pollfd p{pidfd, POLLIN, 0};
    const int ready = ::poll(&p, 1, timeoutMs);
    ::close(pidfd);
    if (ready <= 0) return -1;
  }
  int status = 0;
  return ::waitpid(pid, &status, 0) == pid ? status : -1;
}

}  // namespace

TEST(Program, StartedAndClosedItOpensNoPortAndWritesNoLog) {
  TempDir dir;
  // A copy, so that the program's own directory (log, ports/) is ours alone.
  const fs::path exe = dir.path / "Konfigurator";
  fs::copy_file(KONFIGURATOR_EXE, exe);

  // COM2, the window's default port, leads to a pseudo-terminal we watch for opens.
  int master = -1, slave = -1;
  char slaveName[128] = {};
  ASSERT_EQ(::openpty(&master, &slave, slaveName, nullptr, nullptr), 0);
  ::close(slave);
  fs::create_directory(dir.path / "ports");
  fs::create_symlink(slaveName, dir.path / "ports" / "COM2");
  const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(::inotify_add_watch(watch, slaveName, IN_OPEN), 0);

  // SIGTERM stays blocked until the program has its handler: it is sent at once and must
  // arrive as a close of the window, not as a kill.
  sigset_t term;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setsigmask(&attr, &term);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  const std::string exeText = exe.string();
  char* argv[] = {const_cast<char*>(exeText.c_str()), nullptr};
  pid_t pid = 0;
  ASSERT_EQ(::posix_spawn(&pid, exeText.c_str(), nullptr, &attr, argv, environ), 0);
  posix_spawnattr_destroy(&attr);

  ASSERT_EQ(::kill(pid, SIGTERM), 0);
  const int status = WaitForExit(pid, 20000);
  if (status == -1) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    FAIL() << "the program did not close on SIGTERM";
  }
  EXPECT_TRUE(WIFEXITED(status)) << "ended by signal "
                                 << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0);

  char events[4096];
  EXPECT_LT(::read(watch, events, sizeof events), 0) << "the port behind COM2 was opened";
  EXPECT_FALSE(fs::exists(dir.path / "trans.txt"));
  EXPECT_TRUE(fs::is_symlink(dir.path / "ports" / "COM2"));
  ::close(watch);
  ::close(master);
}
