// The JSON the tool prints: one object per run, members in the order they are added.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace cli {

using Json = nlohmann::ordered_json;

// Device texts need not be UTF-8: every byte becomes its own code point, so nothing is lost
// and the printed string shows it as \u00NN.
Json JsonText(const std::string& bytes);
// A text, or null when it is empty.
Json JsonTextOrNull(const std::string& bytes);
Json JsonTexts(const std::vector<std::string>& items);
// One line, ASCII only, newline at the end.
std::string JsonLine(const Json& value);
// The string literal of a text, as JsonLine prints it.
std::string JsonString(const std::string& text);

// {"kind":..,"message":..}: the "error" member of a command that did not succeed. A message
// of several lines becomes one.
Json JsonError(const std::string& kind, const std::string& message);
// A message of several lines as one.
std::string OneLine(std::string text);

}  // namespace cli
