// Under --json, stdout holds exactly one JSON object whatever the exit: scripts read the
// error's kind and message there instead of parsing standard error.
#include <gtest/gtest.h>

#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>

#include "ProcessSupport.h"

using namespace clitest;

namespace {

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// One object on one line, and nothing else.
void ExpectOneObject(const std::string& out) {
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(out.front(), '{') << out;
  EXPECT_EQ(out.substr(out.size() - 2), "}\n") << out;
  EXPECT_EQ(out.find('\n'), out.size() - 1) << out;
}

}  // namespace

TEST(CliJson, WrongUsageIsAnObjectWhereverTheFlagStands) {
  // Before and after the word the parser stops at, long and short.
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--json", "read", "--speed", "7"},
        std::vector<std::string>{"read", "--speed", "7", "-j"}}) {
    const Output r = RunCli(args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(
        r.out,
        "{\"error\":{\"kind\":\"usage\",\"message\":\"unknown speed \\\"7\\\"; one of 110 300 "
        "600 1200 2400 4800 9600 14400 19200 38400 56000 57600 115200 128000 256000\"}}\n");
    EXPECT_TRUE(Contains(r.err, "Try konfigurator-cli --help.")) << r.err;
  }
  // Without the flag, stdout stays empty.
  EXPECT_EQ(RunCli({"read", "--speed", "7"}).out, "");
  const Output r = RunCli({"-j"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out,
            "{\"error\":{\"kind\":\"usage\",\"message\":\"no command given; read, write, scan or "
            "ports\"}}\n");
}

TEST(CliJson, AMissingPortCarriesItsDiagnosis) {
  TempDir dir;
  const std::string ports = (dir.path / "ports").string();
  fs::create_directories(dir.path / "ports");
  fs::create_symlink(dir.path / "unplugged", dir.path / "ports" / "COM4");
  Output r = RunCli({"read", "-p", "COM4", "--ports-dir", ports, "-j"});
  EXPECT_EQ(r.status, 3);
  ExpectOneObject(r.out);
  EXPECT_EQ(r.out.rfind("{\"port\":\"COM4\",\"speed\":19200,\"error\":{\"kind\":\"port\",", 0), 0u)
      << r.out;
  EXPECT_TRUE(Contains(r.out, "\"message\":\"port COM4 does not exist: " + ports +
                                  "/COM4 points at " + (dir.path / "unplugged").string()))
      << r.out;
  EXPECT_TRUE(Contains(r.out, "\"cause\":\"missing\",\"path\":\"" + ports +
                                  "/COM4\",\"link_target\":\"" + (dir.path / "unplugged").string() +
                                  "\",\"group\":null,\"holders\":[]}}\n"))
      << r.out;

  // scan fails on the port the same way, with its own head.
  r = RunCli({"scan", "-p", "COM4", "--ports-dir", ports, "--json"});
  EXPECT_EQ(r.status, 3);
  ExpectOneObject(r.out);
  EXPECT_EQ(r.out.rfind("{\"port\":\"COM4\",\"error\":{\"kind\":\"port\",", 0), 0u) << r.out;

  // A name that is no port at all: no path to diagnose.
  r = RunCli({"read", "--port", "COM0", "--json"});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.out,
            "{\"port\":\"COM0\",\"error\":{\"kind\":\"port\",\"message\":\"\\\"COM0\\\" is not a "
            "port name like COM2 (COM1 to COM99999)\",\"cause\":\"name\"}}\n");
}

TEST(CliJson, AHeldPortNamesItsGroupAndHolder) {
  TempDir dir;
  Sim sim(dir.path / "ports", "COM5", 2);
  const int fd = ::open(sim.Pty().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
  const Output r =
      RunCli({"read", "--port", "COM5", "--ports-dir", (dir.path / "ports").string(), "--json"});
  ::close(fd);
  struct stat st {};
  ASSERT_EQ(::stat(sim.Pty().c_str(), &st), 0);
  const group* g = ::getgrgid(st.st_gid);
  const std::string groupName = g ? g->gr_name : std::to_string(st.st_gid);

  EXPECT_EQ(r.status, 3);
  ExpectOneObject(r.out);
  EXPECT_TRUE(Contains(r.out, "\"cause\":\"busy\",\"path\":\"" +
                                  (dir.path / "ports" / "COM5").string() + "\",\"link_target\":\"" +
                                  sim.Pty() + "\",\"group\":\"" + groupName +
                                  "\",\"holders\":[{\"pid\":" + std::to_string(::getpid()) +
                                  ",\"program\":\"cli_tests\"}]}}\n"))
      << r.out;
  EXPECT_TRUE(Contains(r.out, "Close it and try again.")) << r.out;
}

TEST(CliJson, AnInterruptedReadStillPrintsItsObject) {
  TempDir dir;
  Sim sim(dir.path / "ports", "COM5", 2);
  Child cli(
      {KONFIGURATOR_CLI, "read", "-j", "-p", "COM5", "--ports-dir", (dir.path / "ports").string()});
  // In the wait after entering configuration mode.
  ASSERT_TRUE(sim.Process().WaitForOutput("02 47 C9", 5000));
  ::kill(cli.Pid(), SIGTERM);
  const Output r = cli.Finish(10000);
  EXPECT_EQ(r.status, 130);
  ExpectOneObject(r.out);
  EXPECT_TRUE(Contains(r.out, "\"mode\":null,"));
  EXPECT_TRUE(Contains(r.out,
                       ",\"errors\":[],\"error\":{\"kind\":\"interrupted\",\"message\":"
                       "\"interrupted\"}}\n"))
      << r.out;
  EXPECT_EQ(sim.Requests("02 47 CA"), 1);
}

TEST(CliJson, AScanThatFindsNothingSaysSo) {
  TempDir dir;
  Sim sim(dir.path / "ports", "COM5", 200);
  const Output r = RunCli({"scan", "--addresses", "0-2", "--speeds", "115200", "-j", "-p", "COM5",
                           "--ports-dir", (dir.path / "ports").string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "{\"port\":\"COM5\",\"devices\":[],\"probes\":3,\"complete\":true,"
            "\"rejected_replies\":0,\"errors\":[],"
            "\"error\":{\"kind\":\"none-found\",\"message\":\"no device answered (3 probes)\"}}\n");
}
