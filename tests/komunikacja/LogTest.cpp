// The transaction log "trans.txt".
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <ctime>

#include "LinkTestSupport.h"

namespace {

using namespace linktest;

class Log : public ::testing::Test {
 protected:
  void SetUp() override { LoggingEnabled = true; }
  void TearDown() override { LoggingEnabled = false; }
};

TEST_F(Log, NothingIsWrittenWhileLoggingIsOff) {
  LoggingEnabled = false;
  FakeBench bench;
  ByteString reply;
  EXPECT_EQ(bench.module->Transact(EnterConfigModeRequest(2), reply, 7, kCom2), 0);
  bench.module->LogTransaction("a", "b", 0);
  EXPECT_FALSE(fs::exists(bench.LogFile()));
}

TEST_F(Log, AnEntryIsFiveLines) {
  FakeBench bench(1);
  devicesim::Faults silent;
  silent.silent = true;
  bench.device.SetFaults(silent);
  ByteString reply;
  const std::time_t before = std::time(nullptr);
  EXPECT_EQ(bench.module->Transact(EnterConfigModeRequest(1), reply, 7, LinkSettings{0, 6}), 3);

  const auto lines = LogLines(bench.LogFile());
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], " ");
  EXPECT_EQ(lines[2], " ");
  EXPECT_EQ(lines[3], "  M: 01 47 C9 00 07 9C 88    [7]");
  EXPECT_EQ(lines[4], "  S:    [0] 3");
  // The date in the locale's short form, then the time unless it is midnight.
  std::tm tm{};
  localtime_r(&before, &tm);
  char date[64];
  std::strftime(date, sizeof date, "%x", &tm);
  EXPECT_EQ(lines[1].rfind(date, 0), 0u) << lines[1];

  bench.module->LogTransaction(Bytes({0x0A, 0xFF}), Bytes({0x00}), 10);
  const auto more = LogLines(bench.LogFile());
  ASSERT_EQ(more.size(), 10u);
  EXPECT_EQ(more[8], "  M: 0A FF    [2]");
  EXPECT_EQ(more[9], "  S: 00    [1] 10");
}

TEST_F(Log, EntriesAreAppendedAcrossModuleLifetimes) {
  TempDir dir;
  for (int run = 0; run < 2; ++run) {
    serial::FakeSerialApi fake;
    TFkomunikacja::Options options;
    options.logDirectory = dir.path().string();  // no trailing "/": one is added
    TFkomunikacja module(fake, options);
    EXPECT_EQ(module.LogFilePath(), (dir.path() / "trans.txt").string());
    module.LogTransaction(EnterConfigModeRequest(run), "", 0);
  }
  const auto lines = LogLines(dir.path() / "trans.txt");
  ASSERT_EQ(lines.size(), 10u);
  EXPECT_EQ(lines[3], "  M: " + HexDump(EnterConfigModeRequest(0)) + "   [7]");
  EXPECT_EQ(lines[8], "  M: 01 47 C9 00 07 9C 88    [7]");
}

TEST_F(Log, AnUnwritableLogLeavesResultsAlone) {
  FakeBench bench;
  // A read-only file stops everyone but root; a folder in its place stops root too.
  { std::ofstream(bench.LogFile()) << "old"; }
  ASSERT_EQ(chmod(bench.LogFile().c_str(), 0444), 0);
  ByteString reply;
  EXPECT_EQ(bench.module->Transact(EnterConfigModeRequest(2), reply, 7, kCom2), 0);
  if (geteuid() != 0) {
    EXPECT_EQ(fs::file_size(bench.LogFile()), 3u);
  }

  fs::remove(bench.LogFile());
  fs::create_directory(bench.LogFile());
  EXPECT_EQ(bench.module->Transact(EnterConfigModeRequest(2), reply, 7, kCom2), 0);
  EXPECT_EQ(bench.module->TransactLengthPrefixed(ReadIpPortRequest(2), reply, kCom2), 0);
  devicesim::Faults bad;
  bad.badChecksum = true;
  bench.device.SetFaults(bad);
  EXPECT_EQ(bench.module->Transact(EnterConfigModeRequest(2), reply, 7, kCom2), 4);

  // A log folder that does not exist either.
  TFkomunikacja::Options options;
  options.logDirectory = (bench.dir.path() / "missing" / "deeper").string();
  serial::FakeSerialApi fake;
  TFkomunikacja lost(fake, options);
  lost.LogTransaction("x", "y", 0);
  EXPECT_FALSE(fs::exists(bench.dir.path() / "missing"));
}

TEST_F(Log, EachEntryReleasesItsFile) {
  FakeBench bench;
  auto openFiles = [] {
    return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator{});
  };
  const auto before = openFiles();
  for (int i = 0; i < 50; ++i) bench.module->LogTransaction("a", "b", 0);
  EXPECT_EQ(openFiles(), before);
  EXPECT_EQ(LogLines(bench.LogFile()).size(), 250u);
}

TEST(LogDate, TheTimeIsLeftOutAtMidnightExactlyAndAtNoOtherMoment) {
  std::tm tm{};
  tm.tm_year = 2026 - 1900;
  tm.tm_mon = 11;
  tm.tm_mday = 8;
  char date[64], time[64];
  std::strftime(date, sizeof date, "%x", &tm);
  EXPECT_EQ(LogDateTime(tm), date) << "00:00:00";
  const struct { int h, m, s; } moments[] = {{0, 0, 1}, {0, 1, 0}, {1, 0, 0}, {23, 59, 59}};
  for (const auto& at : moments) {
    tm.tm_hour = at.h;
    tm.tm_min = at.m;
    tm.tm_sec = at.s;
    std::strftime(time, sizeof time, "%X", &tm);
    EXPECT_EQ(LogDateTime(tm), std::string(date) + " " + time)
        << at.h << ":" << at.m << ":" << at.s;
  }
}

TEST(LogPath, BesideTheExecutableWithOneSeparator) {
  EXPECT_EQ(WithTrailingBackslash("/opt/konf"), "/opt/konf/");
  EXPECT_EQ(WithTrailingBackslash("/opt/konf/"), "/opt/konf/");
  EXPECT_EQ(WithTrailingBackslash("/"), "/");
  serial::FakeSerialApi fake;
  TFkomunikacja module(fake);
  const fs::path exe = fs::read_symlink("/proc/self/exe");
  EXPECT_EQ(module.LogFilePath(), (exe.parent_path() / "trans.txt").string());
}

using Kind = LogFailure::Kind;

std::string FileText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

TEST_F(Log, ALinkWhereTheLogBelongsIsNeverFollowed) {
  struct Case {
    const char* what;
    const char* target;  // inside the test's folder
    bool exists;
  };
  for (const Case c : {Case{"a file of one's own", "mine.txt", true},
                       Case{"nowhere", "nowhere.txt", false}, Case{"a folder", "sub", true}}) {
    SCOPED_TRACE(c.what);
    FakeBench bench;
    const fs::path target = bench.dir.path() / c.target;
    if (std::string(c.target) == "sub") {
      fs::create_directory(target);
    } else if (c.exists) {
      std::ofstream(target) << "keep";
    }
    fs::create_symlink(target, bench.LogFile());
    bench.module->LogTransaction("a", "b", 0);
    ByteString reply;
    EXPECT_EQ(bench.module->Transact(EnterConfigModeRequest(2), reply, 7, kCom2), 0);

    EXPECT_TRUE(fs::is_symlink(bench.LogFile()));
    EXPECT_EQ(fs::exists(target), c.exists) << "nothing is created through a dangling link";
    if (fs::is_regular_file(target)) {
      EXPECT_EQ(FileText(target), "keep");
    }
    if (fs::is_directory(target)) {
      EXPECT_TRUE(fs::is_empty(target));
    }
    const LogFailure& f = bench.module->FirstLogFailure();
    EXPECT_EQ(f.kind, Kind::NotRegularFile);
    EXPECT_EQ(f.fileType, unsigned(S_IFLNK));
    EXPECT_EQ(f.error, ELOOP);
    EXPECT_EQ(f.failedEntries, 2);
  }
}

TEST_F(Log, OnlyAFileWithNoOtherNameIsWritten) {
  {
    FakeBench bench;
    fs::create_directory(bench.LogFile());
    bench.module->LogTransaction("a", "b", 0);
    EXPECT_TRUE(fs::is_empty(bench.LogFile()));
    const LogFailure& f = bench.module->FirstLogFailure();
    EXPECT_EQ(f.kind, Kind::NotRegularFile);
    EXPECT_EQ(f.fileType, unsigned(S_IFDIR));
    EXPECT_EQ(f.error, EISDIR);
  }
  {
    // A FIFO with a reader opens without blocking; nothing reaches the reader.
    FakeBench bench;
    ASSERT_EQ(mkfifo(bench.LogFile().c_str(), 0666), 0);
    bench.module->LogTransaction("a", "b", 0);
    EXPECT_EQ(bench.module->FirstLogFailure().kind, Kind::NotRegularFile);
    EXPECT_EQ(bench.module->FirstLogFailure().error, ENXIO);
    const int reader = ::open(bench.LogFile().c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    bench.module->LogTransaction("a", "b", 0);
    char c;
    EXPECT_EQ(::read(reader, &c, 1), 0) << "no writer, no bytes";
    ::close(reader);
    EXPECT_EQ(bench.module->FirstLogFailure().failedEntries, 2);
    EXPECT_EQ(bench.module->FirstLogFailure().fileType, unsigned(S_IFIFO));
  }
  {
    // A second name planted for another file: appending would write into that file.
    FakeBench bench;
    const fs::path other = bench.dir.path() / "other.txt";
    std::ofstream(other) << "keep";
    fs::create_hard_link(other, bench.LogFile());
    bench.module->LogTransaction("a", "b", 0);
    EXPECT_EQ(FileText(other), "keep");
    EXPECT_EQ(bench.module->FirstLogFailure().kind, Kind::NotRegularFile);
    EXPECT_EQ(bench.module->FirstLogFailure().fileType, unsigned(S_IFREG));
    EXPECT_EQ(bench.module->FirstLogFailure().error, 0);
  }
}

TEST_F(Log, TheFirstFailureIsKeptAndEveryLostEntryCounted) {
  FakeBench bench;
  bench.module->LogTransaction("a", "b", 0);
  EXPECT_EQ(bench.module->FirstLogFailure().kind, Kind::None);
  EXPECT_EQ(bench.module->FirstLogFailure().failedEntries, 0);

  fs::remove(bench.LogFile());
  fs::create_directory(bench.LogFile());
  bench.module->LogTransaction("a", "b", 0);
  fs::remove(bench.LogFile());
  bench.module->LogTransaction("a", "b", 0);  // goes in again
  EXPECT_EQ(LogLines(bench.LogFile()).size(), 5u);
  fs::remove(bench.LogFile());
  fs::create_symlink("nowhere", bench.LogFile());
  bench.module->LogTransaction("a", "b", 0);
  const LogFailure& f = bench.module->FirstLogFailure();
  EXPECT_EQ(f.kind, Kind::NotRegularFile);
  EXPECT_EQ(f.fileType, unsigned(S_IFDIR)) << "the first failure, not the last";
  EXPECT_EQ(f.failedEntries, 2);

  TFkomunikacja::Options options;
  options.logDirectory = (bench.dir.path() / "missing").string();
  serial::FakeSerialApi fake;
  TFkomunikacja lost(fake, options);
  lost.LogTransaction("x", "y", 0);
  EXPECT_EQ(lost.FirstLogFailure().kind, Kind::Open);
  EXPECT_EQ(lost.FirstLogFailure().error, ENOENT);
}

TEST_F(Log, ANewLogIs0644LessTheUmask) {
  for (const mode_t mask : {mode_t(0), mode_t(027)}) {
    FakeBench bench;
    const mode_t old = umask(mask);
    bench.module->LogTransaction("a", "b", 0);
    umask(old);
    struct stat st {};
    ASSERT_EQ(stat(bench.LogFile().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644 & ~mask);
  }
}

// Run as nobody, a file root owns is read-only; run as anyone else, a file of one's own
// that is read-only.
TEST_F(Log, AReadOnlyFileIsLeftAsItIsAndItsOpenFailureKept) {
  FakeBench bench;
  std::ofstream(bench.LogFile()) << "old";
  const bool root = geteuid() == 0;
  ASSERT_EQ(chmod(bench.LogFile().c_str(), root ? 0644 : 0444), 0);
  ASSERT_EQ(chmod(bench.dir.path().c_str(), 0777), 0);
  const pid_t child = fork();
  if (child == 0) {
    if (root && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(10);
    bench.module->LogTransaction("a", "b", 0);
    const LogFailure& f = bench.module->FirstLogFailure();
    _exit(f.kind == Kind::Open && f.error == EACCES && f.failedEntries == 1 ? 0 : 11);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "10: no drop to nobody; 11: not an open failure";
  EXPECT_EQ(FileText(bench.LogFile()), "old");
}

}  // namespace
