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
  while (!text.empty() && text.back() == '\n') text.pop_back();
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\n') {
      out += text[i];
      continue;
    }
    // The indent of a continued line is for terminals only.
    while (!out.empty() && out.back() == ' ') out.pop_back();
    out += ' ';
    while (i + 1 < text.size() && text[i + 1] == ' ') ++i;
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
