#include <limits.h>
#include <locale.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "komunikacja.h"

bool LoggingEnabled = false;

namespace {

std::string ExecutableDir() {
  char path[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return {};
  const std::string p(path, static_cast<std::size_t>(n));
  const auto slash = p.rfind('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? "/" : p.substr(0, slash);
}

// The user's date and time formats, whatever the program set its own locale to.
locale_t UserTimeLocale() {
  static const locale_t locale = [] {
    locale_t l = newlocale(LC_TIME_MASK, "", static_cast<locale_t>(0));
    return l ? l : newlocale(LC_TIME_MASK, "C", static_cast<locale_t>(0));
  }();
  return locale;
}

std::string DateTimeLine() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char buf[128];
  std::string line;
  if (strftime_l(buf, sizeof buf, "%x", &tm, UserTimeLocale()) > 0) line = buf;
  if (tm.tm_hour != 0 || tm.tm_min != 0 || tm.tm_sec != 0) {
    if (strftime_l(buf, sizeof buf, "%X", &tm, UserTimeLocale()) > 0)
      line += std::string(" ") + buf;
  }
  return line;
}

}  // namespace

std::string WithTrailingBackslash(const std::string& dir) {
  if (!dir.empty() && dir.back() == '/') return dir;
  return dir + "/";
}

std::string TFkomunikacja::LogFilePath() const {
  const std::string dir = logDirectory_.empty() ? ExecutableDir() : logDirectory_;
  if (dir.empty()) return {};
  return WithTrailingBackslash(dir) + "trans.txt";
}

void TFkomunikacja::LogTransaction(const ByteString& request, const ByteString& reply,
                                   std::int32_t code) noexcept {
  if (!LoggingEnabled) return;
  try {
    const std::string path = LogFilePath();
    if (path.empty()) return;
    const std::string entry = " \r\n" + DateTimeLine() + "\r\n \r\n" + "  M: " + HexDump(request) +
                              "   [" + std::to_string(request.size()) + "]\r\n" +
                              "  S: " + HexDump(reply) + "   [" + std::to_string(reply.size()) +
                              "] " + std::to_string(code) + "\r\n";
    // Opened and closed per entry, so others can read or remove the file in between.
    std::FILE* file = std::fopen(path.c_str(), "ab");
    if (!file) return;
    std::fwrite(entry.data(), 1, entry.size(), file);
    std::fflush(file);
    std::fclose(file);
  } catch (...) {
    // The log never disturbs a transaction.
  }
}
