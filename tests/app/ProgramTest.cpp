// The real program, started and closed without a button press: it must not touch a port nor
// write its transaction log. Asked for help or its version, it answers without a display.
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
#include <vector>

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

struct Finished {
  int status = -1;  // the wait status, -1 when it did not end in time (it is killed then)
  std::string out, err;
};

std::string Drain(int fd) {
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, n);
  ::close(fd);
  return text;
}

// Runs the program with these arguments and environment, stdout and stderr each in a pipe
// (what it prints here fits in one).
Finished RunProgram(const fs::path& exe, std::vector<std::string> args,
                    std::vector<std::string> env) {
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return {};
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_adddup2(&files, out[1], 1);
  posix_spawn_file_actions_adddup2(&files, err[1], 2);
  args.insert(args.begin(), exe.string());
  std::vector<char*> argv, envp;
  for (std::string& a : args) argv.push_back(a.data());
  for (std::string& e : env) envp.push_back(e.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  pid_t pid = 0;
  const int spawned =
      ::posix_spawn(&pid, args[0].c_str(), &files, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&files);
  ::close(out[1]);
  ::close(err[1]);
  Finished done;
  if (spawned == 0) {
    done.status = WaitForExit(pid, 20000);
    if (done.status == -1) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  }
  done.out = Drain(out[0]);
  done.err = Drain(err[0]);
  return done;
}

int ExitCode(const Finished& f) { return WIFEXITED(f.status) ? WEXITSTATUS(f.status) : -1; }

}  // namespace

TEST(Program, HelpAndVersionPrintAndEndWithoutOpeningTheWindow) {
  TempDir dir;
  const fs::path exe = dir.path / "Konfigurator";
  fs::copy_file(KONFIGURATOR_EXE, exe);
  // No display at all: a window could not even start.
  const std::vector<std::string> noDisplay = {"HOME=" + dir.path.string(), "PATH=/usr/bin:/bin"};

  for (const char* help : {"--help", "-h"}) {
    const Finished f = RunProgram(exe, {help}, noDisplay);
    EXPECT_EQ(ExitCode(f), 0) << help << ": " << f.err;
    EXPECT_NE(f.out.find("--version"), std::string::npos) << f.out;
    // In Polish, as the window speaks, and with the port the window holds.
    EXPECT_NE(f.out.find("Wypisuje tę pomoc"), std::string::npos) << f.out;
    EXPECT_NE(f.out.find("konfigurator-cli"), std::string::npos) << f.out;
  }
  for (const char* version : {"--version", "-v"}) {
    const Finished f = RunProgram(exe, {version}, noDisplay);
    EXPECT_EQ(ExitCode(f), 0) << version << ": " << f.err;
    EXPECT_EQ(f.out, "Konfigurator " KONFIGURATOR_VERSION "\n");
  }
  EXPECT_FALSE(fs::exists(dir.path / "trans.txt"));
  EXPECT_FALSE(fs::exists(dir.path / "ports"));
}

TEST(Program, ArgumentsItDoesNotKnowAreRefusedBeforeTheWindowOpens) {
  TempDir dir;
  const fs::path exe = dir.path / "Konfigurator";
  fs::copy_file(KONFIGURATOR_EXE, exe);
  const std::vector<std::string> noDisplay = {"HOME=" + dir.path.string(), "PATH=/usr/bin:/bin"};
  struct Case {
    std::vector<std::string> args;
    const char* named;  // what the refusal names
  };
  // The toolkit's own options are left to it; what is left after them is refused too.
  for (const Case& c : {Case{{"--bogus"}, "'bogus'"}, Case{{"COM2"}, "'COM2'"},
                        Case{{"-platform", "offscreen", "extra"}, "'extra'"}}) {
    const Finished f = RunProgram(exe, c.args, noDisplay);
    EXPECT_EQ(ExitCode(f), 2) << c.args.back() << ": " << f.err;
    EXPECT_NE(f.err.find(c.named), std::string::npos) << f.err;
    EXPECT_NE(f.err.find("Konfigurator --help"), std::string::npos) << f.err;
    EXPECT_TRUE(f.out.empty()) << f.out;
  }
}

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
