// UUCP lock files left by crashes, by old programs and by other users: which of them keep a
// port from opening, and that the open and BlockingLockFile read them alike. The locks live
// in a folder of the test's own, so no root is needed.
#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "LinuxSerialApi.h"
#include "SerialApi.h"

using namespace serial;
namespace fs = std::filesystem;

namespace {

struct LockFolder {
  std::string dir;
  LockFolder() {
    char tmpl[] = "/tmp/konf-lockXXXXXX";
    dir = mkdtemp(tmpl);
    SetLockDirectory(dir);
  }
  ~LockFolder() {
    SetLockDirectory("");
    fs::remove_all(dir);
  }
};

struct Pty {
  int master = -1, slave = -1;
  std::string path;
  Pty() {
    char name[128];
    if (openpty(&master, &slave, name, nullptr, nullptr) == 0) path = name;
  }
  ~Pty() {
    ::close(slave);
    ::close(master);
  }
  std::string LockName() const {
    std::string n = path.substr(5);  // pts/N
    std::replace(n.begin(), n.end(), '/', '_');
    return "LCK.." + n;
  }
};

// A regular file's bytes; empty for anything else (a FIFO would not answer).
std::string Read(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void Write(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string Ascii(long pid) {
  char text[16];
  std::snprintf(text, sizeof text, "%10ld\n", pid);
  return text;
}

std::string Binary(std::int32_t pid) { return std::string(reinterpret_cast<char*>(&pid), 4); }

// Moves the file's (or the link's own) time stamp by seconds from now.
void Age(const std::string& path, long seconds) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  const timespec times[2] = {{now.tv_sec - seconds, now.tv_nsec},
                             {now.tv_sec - seconds, now.tv_nsec}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

pid_t DeadPid() {
  const pid_t pid = fork();
  if (pid == 0) _exit(0);
  waitpid(pid, nullptr, 0);
  return pid;
}

}  // namespace

TEST(UucpLock, EachLeftoverIsHeldOrTakenOverAndTheDiagnosisAgreesWithTheOpen) {
  const long live = getppid();  // alive, and not this process
  const long dead = DeadPid();
  struct Case {
    const char* what;
    std::function<void(const std::string& lock, const std::string& dir)> make;
    bool blocks;
    long pid;  // what BlockingLockFile names
  };
  const Case cases[] = {
      {"ascii pid of a live process", [&](auto& l, auto&) { Write(l, Ascii(live)); }, true, live},
      {"ascii pid without padding or newline",
       [&](auto& l, auto&) { Write(l, std::to_string(live)); }, true, live},
      {"ascii pid followed by a program name",
       [&](auto& l, auto&) { Write(l, "  " + std::to_string(live) + " minicom root\n"); }, true,
       live},
      {"binary pid of a live process", [&](auto& l, auto&) { Write(l, Binary(live)); }, true, live},
      {"ascii pid of a dead process", [&](auto& l, auto&) { Write(l, Ascii(dead)); }, false, 0},
      {"binary pid of a dead process", [&](auto& l, auto&) { Write(l, Binary(dead)); }, false, 0},
      {"empty, being written now", [&](auto& l, auto&) { Write(l, ""); }, true, 0},
      {"empty, 4 s old", [&](auto& l, auto&) { Write(l, ""), Age(l, 4); }, true, 0},
      {"empty, 5 s old (a crashed writer)", [&](auto& l, auto&) { Write(l, ""), Age(l, 5); }, false,
       0},
      {"empty, stamped far in the future", [&](auto& l, auto&) { Write(l, ""), Age(l, -86400); },
       false, 0},
      {"text that is no pid, fresh", [&](auto& l, auto&) { Write(l, "12ab\n"); }, true, 0},
      {"text that is no pid, old", [&](auto& l, auto&) { Write(l, "12ab\n"), Age(l, 60); }, false,
       0},
      {"pid 0, old", [&](auto& l, auto&) { Write(l, Ascii(0)), Age(l, 60); }, false, 0},
      {"negative pid, old", [&](auto& l, auto&) { Write(l, "-1\n"), Age(l, 60); }, false, 0},
      {"11 digits, old", [&](auto& l, auto&) { Write(l, "12345678901\n"), Age(l, 60); }, false, 0},
      {"5 bytes of a binary pid, old",
       [&](auto& l, auto&) { Write(l, Binary(live) + "x"), Age(l, 60); }, false, 0},
      {"fresh link to a live pid's lock: not read through",
       [&](auto& l, auto& d) {
         Write(d + "/elsewhere", Ascii(live));
         fs::create_symlink(d + "/elsewhere", l);
       },
       true, 0},
      {"old link to a live pid's lock",
       [&](auto& l, auto& d) {
         Write(d + "/elsewhere", Ascii(live));
         fs::create_symlink(d + "/elsewhere", l);
         Age(l, 60);
       },
       false, 0},
      {"old dangling link",
       [&](auto& l, auto& d) {
         fs::create_symlink(d + "/nowhere", l);
         Age(l, 60);
       },
       false, 0},
      {"old FIFO", [&](auto& l, auto&) { mkfifo(l.c_str(), 0644), Age(l, 60); }, false, 0},
  };

  SerialApi& api = SystemSerialApi();
  const mode_t oldMask = umask(077);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LockFolder folder;
    Pty pty;
    ASSERT_FALSE(pty.path.empty());
    const std::string lock = folder.dir + "/" + pty.LockName();
    c.make(lock, folder.dir);
    const std::string before = Read(lock);

    const auto holder = BlockingLockFile(pty.path);
    ASSERT_EQ(holder.has_value(), c.blocks);
    if (holder) {
      EXPECT_EQ(holder->path, lock);
      EXPECT_EQ(holder->pid, c.pid);
    }

    errno = 0;
    const Handle h = api.CreateFile(pty.path);
    if (c.blocks) {
      EXPECT_EQ(h, InvalidHandle);
      EXPECT_EQ(GetLastError(), EBUSY);
      EXPECT_EQ(Read(lock), before) << "a held lock is left as it is";
      continue;
    }
    ASSERT_NE(h, InvalidHandle) << GetLastError();
    struct stat st {};
    ASSERT_EQ(lstat(lock.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode)) << "our own lock, a file in place of what was there";
    EXPECT_EQ(st.st_mode & 07777, 0644u) << "others may read our pid whatever the umask";
    EXPECT_EQ(Read(lock), Ascii(getpid()));
    EXPECT_FALSE(BlockingLockFile(pty.path)) << "our own lock does not block us";
    EXPECT_TRUE(api.CloseHandle(h));
    EXPECT_FALSE(fs::exists(fs::symlink_status(lock)));
    // Whatever a link pointed at is untouched, and nothing was made where it pointed.
    if (fs::exists(folder.dir + "/elsewhere")) {
      EXPECT_EQ(Read(folder.dir + "/elsewhere"), Ascii(live));
    }
    EXPECT_FALSE(fs::exists(folder.dir + "/nowhere"));
  }
  umask(oldMask);
}

TEST(UucpLock, AStaleLockThatCannotBeRemovedDoesNotKeepThePort) {
  LockFolder folder;
  Pty pty;
  ASSERT_FALSE(pty.path.empty());
  // A folder where the lock should be: old, so stale, but unlink cannot remove it.
  const std::string lock = folder.dir + "/" + pty.LockName();
  ASSERT_EQ(mkdir(lock.c_str(), 0755), 0);
  Age(lock, 60);
  EXPECT_FALSE(BlockingLockFile(pty.path));
  SerialApi& api = SystemSerialApi();
  const Handle h = api.CreateFile(pty.path);
  ASSERT_NE(h, InvalidHandle) << GetLastError();
  EXPECT_TRUE(api.CloseHandle(h));
  EXPECT_TRUE(fs::is_directory(lock)) << "what is not ours is not removed at close";
}

TEST(UucpLock, ALockOfAnotherUserThatCannotBeReadIsHeld) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make a lock of another user";
  LockFolder folder;
  Pty pty;
  ASSERT_FALSE(pty.path.empty());
  const std::string lock = folder.dir + "/" + pty.LockName();
  Write(lock, Ascii(DeadPid()));
  Age(lock, 60);
  ASSERT_EQ(chmod(lock.c_str(), 0600), 0);
  ASSERT_EQ(chmod(folder.dir.c_str(), 0777), 0);
  ASSERT_EQ(chmod(pty.path.c_str(), 0666), 0);
  // As nobody: the pid cannot be read, so nothing says that its owner is gone.
  const pid_t child = fork();
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(10);
    const auto holder = BlockingLockFile(pty.path);
    if (!holder || holder->path != lock || holder->pid != 0) _exit(11);
    if (SystemSerialApi().CreateFile(pty.path) != InvalidHandle) _exit(12);
    if (GetLastError() != EBUSY) _exit(13);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "10 no drop to nobody, 11 diagnosis, 12-13 open";
  // Root reads it and takes the dead pid's lock over.
  EXPECT_FALSE(BlockingLockFile(pty.path));
}
