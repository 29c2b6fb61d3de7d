#include "Locations.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "LinuxSerialApi.h"

namespace portinfo {

namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// An XDG base folder: the variable if it is an absolute path, else home + fallback.
std::string BaseFolder(const std::string& value, const std::string& home, const char* fallback) {
  auto trimmed = [](std::string s) {
    while (!s.empty() && s.back() == '/') s.pop_back();
    return s;
  };
  if (!value.empty() && value[0] == '/') return trimmed(value);
  if (home.empty()) return {};
  return trimmed(home) + "/" + fallback;
}

}  // namespace

Locations ChooseLocations(const Environment& env) {
  Locations loc;
  if (!env.programDir.empty() && (env.programDirHoldsPorts || env.programDirWritable)) {
    const std::string dir = env.programDir == "/" ? "" : env.programDir;
    loc.portsDir = dir + "/ports";
    loc.logDir = env.programDir;
    return loc;
  }
  loc.installed = true;
  const std::string config = BaseFolder(env.xdgConfigHome, env.home, ".config");
  const std::string state = BaseFolder(env.xdgStateHome, env.home, ".local/state");
  // Without a home there is nowhere of the user's own: no links, no log.
  if (!config.empty()) loc.portsDir = config + "/konfigurator/ports";
  if (!state.empty()) loc.logDir = state + "/konfigurator";
  return loc;
}

bool FolderWritable(const std::string& dir) {
  if (dir.empty() || faccessat(AT_FDCWD, dir.c_str(), W_OK, AT_EACCESS) != 0) return false;
  static const std::array<const char*, 8> kSystem = {
      "/usr/bin",       "/usr/sbin",       "/bin",        "/sbin", "/usr/games",
      "/usr/local/bin", "/usr/local/sbin", "/usr/libexec"};
  for (const char* s : kSystem)
    if (dir == s) return false;
  return dir.rfind("/usr/lib/", 0) != 0;
}

Environment EnvironmentFor(const std::string& programDir) {
  Environment env;
  env.programDir = programDir;
  if (!env.programDir.empty()) {
    env.programDirHoldsPorts =
        IsDirectory(env.programDir == "/" ? "/ports" : env.programDir + "/ports");
    env.programDirWritable = FolderWritable(env.programDir);
  }
  env.home = Env("HOME");
  if (env.home.empty()) {
    if (const passwd* p = getpwuid(geteuid()); p && p->pw_dir) env.home = p->pw_dir;
  }
  env.xdgConfigHome = Env("XDG_CONFIG_HOME");
  env.xdgStateHome = Env("XDG_STATE_HOME");
  return env;
}

Environment CurrentEnvironment() { return EnvironmentFor(serial::ExecutableDirectory()); }

const Locations& CurrentLocations() {
  static const Locations loc = ChooseLocations(CurrentEnvironment());
  return loc;
}

std::string MakeFolders(const std::string& dir) {
  if (dir.empty()) return "no folder given";
  if (IsDirectory(dir)) return {};
  const auto slash = dir.find_last_of('/');
  if (slash != std::string::npos && slash > 0) {
    if (std::string err = MakeFolders(dir.substr(0, slash)); !err.empty()) return err;
  }
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
    return "cannot create " + dir + ": " + std::strerror(errno);
  if (!IsDirectory(dir)) return "cannot create " + dir + ": it exists and is not a folder";
  return {};
}

}  // namespace portinfo
