#include "LogReport.h"

#include <sys/stat.h>

#include <cstring>

namespace cli {

namespace {

std::string WhatIsThere(unsigned type) {
  switch (type) {
    case S_IFLNK:
      return "a symbolic link";
    case S_IFDIR:
      return "a folder";
    case S_IFIFO:
      return "a FIFO";
    case S_IFCHR:
    case S_IFBLK:
      return "a device";
    case S_IFSOCK:
      return "a socket";
    case S_IFREG:
      return "a file with other names (a hard link)";
    default:
      return "not a regular file";
  }
}

}  // namespace

std::string LogFailureText(const std::string& path, const LogFailure& failure) {
  using Kind = LogFailure::Kind;
  const std::string why = failure.error != 0 ? std::strerror(failure.error) : "";
  std::string text =
      "the log " + (path.empty() ? std::string("trans.txt") : path) + " cannot be written: ";
  switch (failure.kind) {
    case Kind::None:
      return {};
    case Kind::Open:
      text += "opening it failed (" + why + ")";
      break;
    case Kind::NotRegularFile:
      text += "it is " + WhatIsThere(failure.fileType) + ", not a file of its own";
      break;
    case Kind::Write:
      text += "writing failed (" + why + ")";
      break;
    case Kind::ShortWrite:
      text += "it took only part of an entry (" + (why.empty() ? "no more room" : why) + ")";
      break;
    case Kind::Close:
      text += "closing it failed, what was written may be lost (" + why + ")";
      break;
  }
  const int n = failure.failedEntries;
  return text + "; " + std::to_string(n) + (n == 1 ? " entry" : " entries") +
         " not written or incomplete.";
}

}  // namespace cli
