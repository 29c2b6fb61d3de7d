#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "Locations.h"

namespace {

using portinfo::ChooseLocations;
using portinfo::Environment;
namespace fs = std::filesystem;

Environment Installed() {
  Environment env;
  env.programDir = "/usr/bin";
  env.home = "/home/op";
  return env;
}

TEST(Locations, ProgramFolderOfItsOwnKeepsBoth) {
  Environment env = Installed();
  env.programDir = "/work/build/bin";
  env.programDirWritable = true;
  auto loc = ChooseLocations(env);
  EXPECT_FALSE(loc.installed);
  EXPECT_EQ(loc.portsDir, "/work/build/bin/ports");
  EXPECT_EQ(loc.logDir, "/work/build/bin");

  // A ports/ folder beside a program the user cannot write keeps the old layout too.
  env.programDirWritable = false;
  env.programDirHoldsPorts = true;
  loc = ChooseLocations(env);
  EXPECT_FALSE(loc.installed);
  EXPECT_EQ(loc.portsDir, "/work/build/bin/ports");

  env.programDir = "/";
  EXPECT_EQ(ChooseLocations(env).portsDir, "/ports");
}

TEST(Locations, InstalledProgramUsesTheUsersFolders) {
  Environment env = Installed();
  auto loc = ChooseLocations(env);
  EXPECT_TRUE(loc.installed);
  EXPECT_EQ(loc.portsDir, "/home/op/.config/konfigurator/ports");
  EXPECT_EQ(loc.logDir, "/home/op/.local/state/konfigurator");

  env.xdgConfigHome = "/cfg";
  env.xdgStateHome = "/state/";
  loc = ChooseLocations(env);
  EXPECT_EQ(loc.portsDir, "/cfg/konfigurator/ports");
  EXPECT_EQ(loc.logDir, "/state/konfigurator");

  // Relative values are not paths the base-directory rules accept.
  env.xdgConfigHome = "cfg";
  env.xdgStateHome = "state";
  loc = ChooseLocations(env);
  EXPECT_EQ(loc.portsDir, "/home/op/.config/konfigurator/ports");
  EXPECT_EQ(loc.logDir, "/home/op/.local/state/konfigurator");

  env = Installed();
  env.home = "/";
  EXPECT_EQ(ChooseLocations(env).portsDir, "/.config/konfigurator/ports");
  env.home.clear();
  loc = ChooseLocations(env);
  EXPECT_TRUE(loc.installed);
  EXPECT_TRUE(loc.portsDir.empty());
  EXPECT_TRUE(loc.logDir.empty());
}

struct Scratch {
  fs::path path;
  Scratch() {
    std::string tmpl = (fs::temp_directory_path() / "konfigurator-loc-XXXXXX").string();
    path = ::mkdtemp(tmpl.data());
    fs::permissions(path, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  }
  ~Scratch() {
    std::error_code ec;
    fs::permissions(path / "ro", fs::perms::owner_all, ec);
    fs::remove_all(path, ec);
  }
};

// The layout a program in dir would choose, worked out by a process of an ordinary user: root
// may write in any folder. Returns "ports|log".
std::string ChosenFor(const fs::path& dir, bool asNobody) {
  int out[2];
  if (pipe(out) != 0) return "pipe";
  const pid_t pid = fork();
  if (pid == 0) {
    if (asNobody && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
    setenv("HOME", "/home/op", 1);
    unsetenv("XDG_CONFIG_HOME");
    unsetenv("XDG_STATE_HOME");
    const auto loc = ChooseLocations(portinfo::EnvironmentFor(dir.string()));
    const std::string text = loc.portsDir + "|" + loc.logDir;
    if (write(out[1], text.data(), text.size()) < 0) _exit(3);
    _exit(0);
  }
  close(out[1]);
  std::string text;
  char buf[512];
  for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;) text.append(buf, std::size_t(n));
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return text;
}

TEST(Locations, WritableFolderVersusReadOnlyOne) {
  Scratch s;
  const bool root = geteuid() == 0;
  fs::create_directory(s.path / "rw");
  fs::create_directory(s.path / "ro");
  if (root && chown((s.path / "rw").c_str(), 65534, 65534) != 0) FAIL() << "chown";
  fs::permissions(s.path / "ro", fs::perms::owner_read | fs::perms::owner_exec |
                                     fs::perms::group_exec | fs::perms::others_exec);

  EXPECT_EQ(ChosenFor(s.path / "rw", root),
            (s.path / "rw/ports").string() + "|" + (s.path / "rw").string());
  EXPECT_EQ(ChosenFor(s.path / "ro", root),
            "/home/op/.config/konfigurator/ports|/home/op/.local/state/konfigurator");
  // Unless it already holds a ports/ folder.
  fs::permissions(s.path / "ro", fs::perms::owner_all);
  fs::create_directory(s.path / "ro/ports");
  fs::permissions(s.path / "ro", fs::perms::owner_read | fs::perms::owner_exec |
                                     fs::perms::group_exec | fs::perms::others_exec);
  EXPECT_EQ(ChosenFor(s.path / "ro", root),
            (s.path / "ro/ports").string() + "|" + (s.path / "ro").string());
}

TEST(Locations, SystemProgramFoldersAreNeverTheUsers) {
  EXPECT_FALSE(portinfo::FolderWritable("/usr/bin"));
  EXPECT_FALSE(portinfo::FolderWritable("/usr/local/bin"));
  EXPECT_FALSE(portinfo::FolderWritable("/usr/lib/konfigurator"));
  EXPECT_FALSE(portinfo::FolderWritable(""));
  Scratch s;
  EXPECT_TRUE(portinfo::FolderWritable(s.path.string()));
}

TEST(Locations, MakeFoldersCreatesParentsPrivately) {
  Scratch s;
  const fs::path deep = s.path / "a/b/c";
  EXPECT_EQ(portinfo::MakeFolders(deep.string()), "");
  EXPECT_TRUE(fs::is_directory(deep));
  EXPECT_EQ(fs::status(s.path / "a").permissions() & fs::perms::all, fs::perms::owner_all);
  EXPECT_EQ(portinfo::MakeFolders(deep.string()), "");  // there already
  std::ofstream((s.path / "file").string()) << "x";
  EXPECT_NE(portinfo::MakeFolders((s.path / "file/sub").string()), "");
}

}  // namespace
