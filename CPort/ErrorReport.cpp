#include "ErrorReport.h"

#include <cstdio>
#include <mutex>

namespace {

std::mutex& ReportMutex() {
  static std::mutex m;
  return m;
}

TApplicationErrorReport& Report() {
  static TApplicationErrorReport report;
  return report;
}

}  // namespace

void SetApplicationErrorReport(TApplicationErrorReport report) {
  std::lock_guard lock(ReportMutex());
  Report() = std::move(report);
}

void ReportApplicationError(const std::exception& error) noexcept {
  TApplicationErrorReport report;
  {
    std::lock_guard lock(ReportMutex());
    report = Report();
  }
  try {
    if (report)
      report(error);
    else
      std::fprintf(stderr, "%s\n", error.what());
  } catch (...) {
  }
}
