// Where the COMn links and the transaction log live, for the window, the simulator and the
// command-line tool alike.
#pragma once

#include <string>

namespace portinfo {

// What the choice depends on; CurrentEnvironment() reads it from this process.
struct Environment {
  std::string programDir;             // folder of the running executable
  bool programDirHoldsPorts = false;  // it has a ports/ folder
  bool programDirWritable = false;    // this user may create files in it
  std::string home;                   // $HOME, else the user database's home folder
  std::string xdgConfigHome;          // as set; a relative value counts as unset
  std::string xdgStateHome;
};

struct Locations {
  bool installed = false;  // per-user folders instead of the program's own
  std::string portsDir;    // folder of the COMn links; empty when there is no home folder
  std::string logDir;      // folder of "trans.txt"; empty likewise
};

// A program in a folder of its own (one holding ports/, or one the user may write) keeps both
// beside itself; an installed one uses $XDG_CONFIG_HOME/konfigurator/ports and
// $XDG_STATE_HOME/konfigurator, with the usual defaults under the home folder.
Locations ChooseLocations(const Environment& env);

// The facts about programDir, and the home and XDG variables of this process.
Environment EnvironmentFor(const std::string& programDir);
Environment CurrentEnvironment();
// ChooseLocations(CurrentEnvironment()), looked up once.
const Locations& CurrentLocations();

// Whether the user may create files in dir. Root may write almost anywhere, yet the system's
// program folders are still no place for a user's links and log: those count as read-only.
bool FolderWritable(const std::string& dir);

// Creates dir and its missing parents (new ones private to the user). Returns an error text,
// or empty.
std::string MakeFolders(const std::string& dir);

}  // namespace portinfo
