// The application's standard report for errors nobody catches: an open that fails when stored
// settings are restored, a handler that fails under smWindowSync.
#pragma once

#include <exception>
#include <functional>

using TApplicationErrorReport = std::function<void(const std::exception&)>;

// Process-wide; an empty report restores the default, which prints the message to stderr.
void SetApplicationErrorReport(TApplicationErrorReport report);
// Never throws: a report that fails is dropped.
void ReportApplicationError(const std::exception& error) noexcept;
