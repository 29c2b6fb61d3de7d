// The transaction log under load and on a broken file system, with the simulated device
// answering in-process through the fake platform device (the fastest real path).
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include "DeviceSim.h"
#include "FakeSerialApi.h"
#include "FaultSupport.h"
#include "komunikacja.h"

using namespace faults;

namespace {

const LinkSettings kCom2{1, 8};

// The device behind the fake port: what the engine writes reaches it, its reply is queued as
// received bytes, and reads end at once with what is there.
class Line {
 public:
  Line() : device(2) {
    fake.SetReadCompletion(serial::FakeSerialApi::ReadCompletion::Immediate);
    fake.SetOnWrite([this](const std::string& bytes) {
      sent.push_back(bytes);
      for (const auto& e : device.Feed(bytes)) fake.Feed(e.ReplyBytes());
    });
  }
  serial::FakeSerialApi fake;
  devicesim::Device device;
  std::vector<ByteString> sent;
};

std::unique_ptr<TFkomunikacja> Module(Line& line, const fs::path& logDir) {
  TFkomunikacja::Options options;
  options.logDirectory = logDir.string();
  return std::make_unique<TFkomunikacja>(line.fake, options);
}

// Transaction i of a script that reaches every logged outcome: success, silence (3), bad
// checksum (4), refusal (7), another address (10), a short head, through all eight attempts.
TransactionResult Step(TFkomunikacja& m, Line& line, int i) {
  devicesim::Faults f;
  f.times = 1;
  switch (i % 7) {
    case 1:
      f.silent = true;
      break;
    case 2:
      f.badChecksum = true;
      break;
    case 3:
      f.refuseAll = true;
      break;
    case 4:
      f.foreignAddress = true;
      break;
    case 5:
      f.shortBy = 4;
      break;
    default:
      f.times = 0;
      break;
  }
  line.device.SetFaults(f);
  std::int32_t mode = 0;
  std::string text;
  switch (i % 8) {
    case 0:
      return m.EnterConfigModeOnce(2, kCom2);
    case 1:
      return m.ReadOperatingModeOnce(2, kCom2, mode);
    case 2:
      return m.ReadIpAddressOnce(2, kCom2, text);
    case 3:
      return m.ReadIpPortOnce(2, kCom2, text);
    case 4:
      return m.WriteOperatingModeOnce(i & 1, 2, kCom2);
    case 5:
      return m.WriteIpAddressOnce("10.0.0." + std::to_string(i % 250), 2, kCom2);
    case 6:
      return m.WriteIpPortOnce(std::to_string(i), 2, kCom2);
    default:
      return m.LeaveConfigModeOnce(2, kCom2);
  }
}

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override { LoggingEnabled = true; }
  void TearDown() override { LoggingEnabled = false; }
};

TEST_F(LogTest, TenThousandTransactionsAcrossThreeModuleLifetimes) {
  TempDir dir;
  Line line;
  std::vector<TransactionResult> results;
  const int lifetimes[] = {3334, 3333, 3333};
  int i = 0;
  for (int count : lifetimes) {
    auto module = Module(line, dir.path());
    for (int k = 0; k < count; ++k, ++i) {
      results.push_back(Step(*module, line, i));
      if (i % 500 == 0) line.fake.ClearCalls();
    }
  }
  ASSERT_EQ(line.sent.size(), 10000u);
  std::vector<LogEntry> log;
  ASSERT_NO_THROW(log = ReadLog(dir.path() / "trans.txt"));
  ASSERT_EQ(log.size(), 10000u);
  std::map<int, int> seen;
  for (std::size_t n = 0; n < log.size(); ++n) {
    ASSERT_EQ(log[n].request, line.sent[n]) << "entry " << n;
    ASSERT_EQ(log[n].code, results[n]) << "entry " << n;
    ++seen[results[n]];
  }
  // The script reached every outcome the log can show.
  for (int code : {0, 3, 4, 7, 10}) EXPECT_GT(seen[code], 0) << "code " << code;
}

// The results of the script with a working log: what every broken log must not change.
std::vector<TransactionResult> Reference() {
  TempDir dir;
  Line line;
  auto module = Module(line, dir.path());
  std::vector<TransactionResult> results;
  for (int i = 0; i < 56; ++i) results.push_back(Step(*module, line, i));
  EXPECT_EQ(ReadLog(dir.path() / "trans.txt").size(), 56u);
  return results;
}

std::vector<TransactionResult> RunWithLogIn(const fs::path& logDir) {
  Line line;
  auto module = Module(line, logDir);
  std::vector<TransactionResult> results;
  for (int i = 0; i < 56; ++i) results.push_back(Step(*module, line, i));
  return results;
}

TEST_F(LogTest, LogThatIsADirectoryChangesNoResult) {
  TempDir dir;
  fs::create_directory(dir.path() / "trans.txt");
  EXPECT_EQ(RunWithLogIn(dir.path()), Reference());
  EXPECT_TRUE(fs::is_directory(dir.path() / "trans.txt"));
  EXPECT_TRUE(fs::is_empty(dir.path() / "trans.txt"));
}

TEST_F(LogTest, LogThatIsADanglingLinkIntoNowhereChangesNoResult) {
  TempDir dir;
  fs::create_symlink(dir.path() / "missing" / "trans.txt", dir.path() / "trans.txt");
  EXPECT_EQ(RunWithLogIn(dir.path()), Reference());
}

// A small tmpfs of our own; skips the test where mounting is not allowed.
class Tmpfs {
 public:
  explicit Tmpfs(const fs::path& at, const char* options) : at_(at) {
    fs::create_directories(at);
    if (::mount("konf-faults", at.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options) == 0)
      mounted_ = true;
    else
      error_ = std::strerror(errno);
  }
  ~Tmpfs() {
    if (mounted_) ::umount2(at_.c_str(), MNT_DETACH);
  }
  bool Mounted() const { return mounted_; }
  const std::string& Error() const { return error_; }
  bool MakeReadOnly() {
    return ::mount("konf-faults", at_.c_str(), "tmpfs",
                   MS_REMOUNT | MS_RDONLY | MS_NOSUID | MS_NODEV, nullptr) == 0;
  }

 private:
  fs::path at_;
  bool mounted_ = false;
  std::string error_;
};

std::string Contents(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST_F(LogTest, ReadOnlyLogChangesNoResultAndStaysAsItWas) {
  TempDir dir;
  const fs::path logDir = dir.path() / "ro";
  const std::string before = " \r\nearlier\r\n \r\n  M: 01    [1]\r\n  S:    [0] 3\r\n";
  if (::geteuid() != 0) {
    // Without privileges the file mode is what stops the writes.
    fs::create_directories(logDir);
    std::ofstream(logDir / "trans.txt", std::ios::binary) << before;
    fs::permissions(logDir / "trans.txt", fs::perms::owner_read | fs::perms::group_read);
    EXPECT_EQ(RunWithLogIn(logDir), Reference());
    EXPECT_EQ(Contents(logDir / "trans.txt"), before);
    return;
  }
  // Root writes through file modes; a read-only file system stops it.
  Tmpfs tmpfs(logDir, "size=64k");
  if (!tmpfs.Mounted()) GTEST_SKIP() << "cannot mount a tmpfs here: " << tmpfs.Error();
  std::ofstream(logDir / "trans.txt", std::ios::binary) << before;
  ASSERT_TRUE(tmpfs.MakeReadOnly()) << std::strerror(errno);
  ASSERT_FALSE(std::ofstream(logDir / "trans.txt", std::ios::app) << "x" << std::flush)
      << "the file system still takes writes";
  EXPECT_EQ(RunWithLogIn(logDir), Reference());
  EXPECT_EQ(Contents(logDir / "trans.txt"), before);
}

TEST_F(LogTest, FullFileSystemChangesNoResultAndTheLogGoesOnOnceThereIsRoom) {
  TempDir dir;
  const fs::path logDir = dir.path() / "full";
  Tmpfs tmpfs(logDir, "size=16k");
  if (!tmpfs.Mounted()) GTEST_SKIP() << "cannot mount a tmpfs here: " << tmpfs.Error();
  {
    std::ofstream filler(logDir / "filler", std::ios::binary);
    const std::string block(1024, 'x');
    for (int k = 0; k < 64 && filler; ++k) filler << block << std::flush;
  }
  struct statvfs fsStat {};
  ASSERT_EQ(::statvfs(logDir.c_str(), &fsStat), 0);
  ASSERT_EQ(fsStat.f_bavail, 0u) << "the file system is not full";
  EXPECT_EQ(RunWithLogIn(logDir), Reference());

  fs::remove(logDir / "filler");
  Line line;
  auto module = Module(line, logDir);
  EXPECT_EQ(module->EnterConfigModeOnce(2, kCom2), 0);
  // Whatever the full disk cut short stays; the new entry follows it whole.
  const std::string tail = "  M: " + HexDump(EnterConfigModeRequest(2)) +
                           "   [7]\r\n  S: " + HexDump(EnterConfigModeRequest(2)) + "   [7] 0\r\n";
  const std::string all = Contents(logDir / "trans.txt");
  ASSERT_GE(all.size(), tail.size());
  EXPECT_EQ(all.substr(all.size() - tail.size()), tail);
}

// A link to a device that is always full: not followed, so the device sees no write.
TEST_F(LogTest, LogLinkedToADeviceThatIsAlwaysFullChangesNoResult) {
  TempDir dir;
  fs::create_symlink("/dev/full", dir.path() / "trans.txt");
  EXPECT_EQ(RunWithLogIn(dir.path()), Reference());
}

}  // namespace
