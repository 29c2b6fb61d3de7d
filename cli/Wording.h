// The diagnosis of a port, and what transaction results mean, in English for the terminal.
#pragma once

#include <string>
#include <vector>

#include "PortProblem.h"

namespace cli {

// What a transaction result means, in words.
std::string ResultMeaning(int result);
// The same, short, as what went wrong: "the device did not answer".
std::string ResultWords(int result);

// Why a port name cannot be used.
std::string TargetProblemText(const portinfo::TargetProblem& problem);

// Why an open failed, and what to do about it; several lines.
std::string OpenFailureText(const portinfo::OpenFailureFacts& facts);

// "pid 1234 (minicom)".
std::string HolderText(const portinfo::Holder& holder);
std::vector<std::string> HolderTexts(const std::vector<portinfo::Holder>& holders);

// "Ports found:" and one line for each, or why none is.
std::string PortsFoundText(const portinfo::PortsFound& ports);

}  // namespace cli
