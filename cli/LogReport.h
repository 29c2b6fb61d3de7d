// The log's first failure in the CLI's words.
#pragma once

#include <string>

#include "komunikacja.h"

namespace cli {

// One line for the log at path, or empty when nothing was lost.
std::string LogFailureText(const std::string& path, const LogFailure& failure);

}  // namespace cli
