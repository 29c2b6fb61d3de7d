#include "Json.h"

#include <algorithm>

namespace cli {

Json JsonText(const std::string& bytes) {
  std::string utf8;
  utf8.reserve(bytes.size());
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x80) {
      utf8 += c;
    } else {
      utf8 += static_cast<char>(0xC0 | (b >> 6));
      utf8 += static_cast<char>(0x80 | (b & 0x3F));
    }
  }
  return Json(std::move(utf8));
}

Json JsonTextOrNull(const std::string& bytes) {
  return bytes.empty() ? Json(nullptr) : JsonText(bytes);
}

Json JsonTexts(const std::vector<std::string>& items) {
  Json list = Json::array();
  for (const std::string& item : items) list.push_back(JsonText(item));
  return list;
}

std::string JsonLine(const Json& value) { return value.dump(-1, ' ', true) + "\n"; }

std::string JsonString(const std::string& text) { return JsonText(text).dump(-1, ' ', true); }

std::string OneLine(std::string text) {
  std::string out;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    // The indents and the columns of a terminal mean nothing on one line.
    std::string line;
    for (std::size_t i = start; i < end; ++i)
      if (text[i] != ' ' || (!line.empty() && line.back() != ' ')) line += text[i];
    while (!line.empty() && line.back() == ' ') line.pop_back();
    if (!line.empty()) {
      // Items of a list under a heading are kept apart as items.
      if (!out.empty()) out += out.back() == ':' || out.back() == '.' ? " " : "; ";
      out += line;
    }
    start = end + 1;
  }
  return out;
}

Json JsonError(const std::string& kind, const std::string& message) {
  Json e;
  e["kind"] = kind;
  e["message"] = JsonText(OneLine(message));
  return e;
}

}  // namespace cli
