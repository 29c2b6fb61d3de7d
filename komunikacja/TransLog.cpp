#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <ctime>

#include "LinuxSerialApi.h"
#include "komunikacja.h"

bool LoggingEnabled = false;

namespace {

// The user's date and time formats, whatever the program set its own locale to.
locale_t UserTimeLocale() {
  static const locale_t locale = [] {
    locale_t l = newlocale(LC_TIME_MASK, "", static_cast<locale_t>(0));
    return l ? l : newlocale(LC_TIME_MASK, "C", static_cast<locale_t>(0));
  }();
  return locale;
}

// Appends the date line for now; the text of one second is formatted once.
void AppendDateTimeLine(std::string& out) {
  thread_local std::time_t cachedAt = -1;
  thread_local std::string cached;
  const std::time_t now = std::time(nullptr);
  if (now != cachedAt) {
    std::tm tm{};
    localtime_r(&now, &tm);
    cached = LogDateTime(tm);
    cachedAt = now;
  }
  out += cached;
}

void AppendNumber(std::string& out, std::int64_t value) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, r.ptr);
}

// Appends text to the regular file at path, created 0644 less the umask if missing. The
// folder may be writable by others: a link there is never followed, nothing is created
// through one, and only a file with no other name is written (checked on what was opened).
LogFailure AppendToLog(const std::string& path, const std::string& text) {
  using Kind = LogFailure::Kind;
  const int fd =
      ::open(path.c_str(),
             O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
  struct stat st {};
  if (fd < 0) {
    const int err = errno;
    if (lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
      return {Kind::NotRegularFile, err, unsigned(st.st_mode & S_IFMT), 0};
    return {Kind::Open, err, 0, 0};
  }
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink > 1) {
    ::close(fd);
    return {Kind::NotRegularFile, 0, unsigned(st.st_mode & S_IFMT), 0};
  }
  LogFailure failure;
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failure = {done == 0 ? Kind::Write : Kind::ShortWrite, n < 0 ? errno : 0, 0, 0};
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  // Some file systems tell of a full disk only here.
  if (::close(fd) != 0 && failure.kind == Kind::None) failure = {Kind::Close, errno, 0, 0};
  return failure;
}

}  // namespace

std::string LogDateTime(const std::tm& tm) {
  char buf[128];
  std::string text;
  if (strftime_l(buf, sizeof buf, "%x", &tm, UserTimeLocale()) > 0) text = buf;
  if (tm.tm_hour != 0 || tm.tm_min != 0 || tm.tm_sec != 0) {
    if (strftime_l(buf, sizeof buf, "%X", &tm, UserTimeLocale()) > 0) {
      text += ' ';
      text += buf;
    }
  }
  return text;
}

std::string WithTrailingBackslash(const std::string& dir) {
  if (!dir.empty() && dir.back() == '/') return dir;
  return dir + "/";
}

std::string TFkomunikacja::LogFilePath() const {
  const std::string dir = logDirectory_.empty() ? serial::ExecutableDirectory() : logDirectory_;
  if (dir.empty()) return {};
  return WithTrailingBackslash(dir) + "trans.txt";
}

void TFkomunikacja::LogTransaction(const ByteString& request, const ByteString& reply,
                                   std::int32_t code) noexcept {
  if (!LoggingEnabled) return;
  try {
    if (logPath_.empty()) logPath_ = LogFilePath();
    if (logPath_.empty()) {
      NoteLogFailure({LogFailure::Kind::Open, ENOENT, 0, 0});
      return;
    }
    std::string& entry = logEntry_;
    entry.clear();
    entry += " \r\n";
    AppendDateTimeLine(entry);
    entry += "\r\n \r\n  M: ";
    AppendHexDump(entry, request);
    entry += "   [";
    AppendNumber(entry, static_cast<std::int64_t>(request.size()));
    entry += "]\r\n  S: ";
    AppendHexDump(entry, reply);
    entry += "   [";
    AppendNumber(entry, static_cast<std::int64_t>(reply.size()));
    entry += "] ";
    AppendNumber(entry, code);
    entry += "\r\n";
    // Opened and closed per entry, so others can read or remove the file in between.
    const LogFailure failure = AppendToLog(logPath_, entry);
    if (failure.kind != LogFailure::Kind::None) NoteLogFailure(failure);
  } catch (...) {
    // The log never disturbs a transaction.
  }
}

void TFkomunikacja::NoteLogFailure(const LogFailure& failure) noexcept {
  if (logFailure_.kind == LogFailure::Kind::None) logFailure_ = failure;
  ++logFailure_.failedEntries;
}
