// The log as konfigurator-cli meets it in a folder others can write: links are never
// followed, and every kind of loss is told once, run as root or as nobody.
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include "ProcessSupport.h"

using namespace clitest;

namespace {

constexpr uid_t kNobody = 65534;

std::string FileText(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// A read of the simulated device with the log in logDir.
struct Bench {
  TempDir dir;
  fs::path logDir = dir.path / "shared";
  Sim sim{dir.path / "ports", "COM5", 2};
  Bench() {
    fs::create_directory(logDir);
    // Like /tmp: everyone may plant files there.
    fs::permissions(logDir, fs::perms::all | fs::perms::sticky_bit);
    // Reachable by nobody too.
    fs::permissions(dir.path / "ports", fs::perms::owner_all | fs::perms::group_exec |
                                            fs::perms::others_exec | fs::perms::others_read);
    ::chmod(sim.Pty().c_str(), 0666);
  }
  fs::path Log() const { return logDir / "trans.txt"; }
  Output Read(bool asNobody) {
    SpawnOptions as;
    as.asNobody = asNobody;
    return RunCli({"read", "--speed", "19200", "--address", "2", "--port", "COM5", "--ports-dir",
                   (dir.path / "ports").string(), "--log=" + logDir.string()},
                  20000, as);
  }
};

struct Runner {
  const char* who;
  bool asNobody;
};

// Ourselves, and nobody when we may become it.
std::vector<Runner> Runners() {
  std::vector<Runner> r{{"as ourselves", false}};
  if (geteuid() == 0) r.push_back({"as nobody", true});
  return r;
}

void ExpectReportedOnce(const Output& r, const std::string& why) {
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("ip: 192.168.1.10"), std::string::npos)
      << "the read itself goes on: " << r.out;
  EXPECT_EQ(Count(r.err, "cannot be written"), 1u) << r.err;
  EXPECT_EQ(Count(r.err, why), 1u) << r.err;
}

}  // namespace

TEST(CliLog, ALinkInTheLogsPlaceIsNeverFollowed) {
  if (geteuid() != 0)
    std::cout << "not root: another user's file and the run as nobody are left out\n";
  for (const Runner& runner : Runners()) {
    const uid_t uid = runner.asNobody ? kNobody : geteuid();
    struct Target {
      const char* what;
      bool exists;
      uid_t owner;
    };
    std::vector<Target> targets{{"a file of one's own", true, uid}, {"nowhere", false, uid}};
    if (geteuid() == 0)
      targets.push_back({"another user's file", true, runner.asNobody ? 0 : kNobody});
    for (const Target& t : targets) {
      SCOPED_TRACE(std::string(runner.who) + ", a link to " + t.what);
      Bench bench;
      const fs::path target = bench.dir.path / "target.txt";
      if (t.exists) {
        std::ofstream(target) << "keep\n";
        // Writable by its owner's rules for anyone: only the link stands in the way.
        ASSERT_EQ(::chmod(target.c_str(), 0666), 0);
        ASSERT_EQ(::chown(target.c_str(), t.owner, t.owner), 0);
      }
      fs::create_symlink(target, bench.Log());
      const Output r = bench.Read(runner.asNobody);
      if (runner.asNobody && r.status == 126) GTEST_SKIP() << "cannot switch to user nobody";
      ExpectReportedOnce(r, "it is a symbolic link, not a file of its own");
      EXPECT_TRUE(fs::is_symlink(bench.Log()));
      if (t.exists) {
        EXPECT_EQ(FileText(target), "keep\n");
      } else {
        EXPECT_FALSE(fs::exists(target)) << "nothing is created through a dangling link";
      }
    }
  }
}

TEST(CliLog, AFolderAndAReadOnlyFileAreEachReportedOnce) {
  for (const Runner& runner : Runners()) {
    {
      SCOPED_TRACE(std::string(runner.who) + ", a folder");
      Bench bench;
      fs::create_directory(bench.Log());
      const Output r = bench.Read(runner.asNobody);
      if (runner.asNobody && r.status == 126) GTEST_SKIP() << "cannot switch to user nobody";
      ExpectReportedOnce(r, "it is a folder, not a file of its own; 5 entries");
    }
    // Root writes any file whatever its mode: read-only is a file that is not nobody's.
    if (geteuid() == 0 && !runner.asNobody) continue;
    SCOPED_TRACE(std::string(runner.who) + ", a read-only file");
    Bench bench;
    std::ofstream(bench.Log()) << "old\n";
    ASSERT_EQ(::chmod(bench.Log().c_str(), geteuid() == 0 ? 0644 : 0444), 0);
    const Output r = bench.Read(runner.asNobody);
    ExpectReportedOnce(r, "opening it failed (Permission denied); 5 entries");
    EXPECT_EQ(FileText(bench.Log()), "old\n");
  }
}

// A small tmpfs of this test's own: a mount namespace keeps it from the rest of the machine.
TEST(CliLog, AFullFileSystemAndAReadOnlyOneAreEachReportedOnce) {
  if (geteuid() != 0)
    GTEST_SKIP() << "not root: no tmpfs can be mounted (faults are injected "
                    "instead in komunikacja_logfault_tests)";
  if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr))
    GTEST_SKIP() << "no mount namespace here: " << std::strerror(errno);
  for (const Runner& runner : Runners()) {
    Bench bench;
    const fs::path full = bench.logDir;
    ASSERT_EQ(::mount("tmpfs", full.c_str(), "tmpfs", 0, "size=64k,mode=1777"), 0)
        << std::strerror(errno);
    struct Unmount {
      fs::path p;
      ~Unmount() { ::umount2(p.c_str(), MNT_DETACH); }
    } unmount{full};
    {
      SCOPED_TRACE(std::string(runner.who) + ", full");
      {
        std::ofstream filler(full / "filler", std::ios::binary);
        const std::string block(4096, 'x');
        while (filler.write(block.data(), block.size()) && filler.flush()) {
        }
      }
      const Output r = bench.Read(runner.asNobody);
      if (runner.asNobody && r.status == 126) GTEST_SKIP() << "cannot switch to user nobody";
      ExpectReportedOnce(r, "writing failed (No space left on device); 5 entries");
      // Some room, less than an entry: the first one goes in part of the way.
      fs::remove(full / "filler");
      std::ofstream(bench.Log(), std::ios::binary | std::ios::trunc) << std::string(4096 - 20, 'x');
      ::chmod(bench.Log().c_str(), 0666);
      {
        std::ofstream filler(full / "filler", std::ios::binary);
        const std::string block(4096, 'x');
        while (filler.write(block.data(), block.size()) && filler.flush()) {
        }
      }
      const Output part = bench.Read(runner.asNobody);
      ExpectReportedOnce(part, "it took only part of an entry (No space left on device)");
      EXPECT_EQ(fs::file_size(bench.Log()), 4096u);
    }
    {
      SCOPED_TRACE(std::string(runner.who) + ", read-only");
      fs::remove(full / "filler");
      ASSERT_EQ(::mount(nullptr, full.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0)
          << std::strerror(errno);
      const Output r = bench.Read(runner.asNobody);
      ExpectReportedOnce(r, "opening it failed (Read-only file system); 5 entries");
      EXPECT_EQ(fs::file_size(bench.Log()), 4096u);
    }
  }
}
