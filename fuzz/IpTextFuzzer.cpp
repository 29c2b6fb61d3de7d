// The IP-address field's text write: any text, as UTF-8 or as Latin-1, gives four octets by
// the splitting rule written out again here, and never throws.
#include <QApplication>
#include <QByteArray>
#include <QString>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "JvIPAddress.h"
#include "ParseInteger.h"

namespace {

QApplication* app = nullptr;
TJvIPAddress* field = nullptr;

// Four parts: up to the first three dots, the last one takes the rest, dots and all.
std::array<std::uint8_t, 4> ReferenceOctets(const std::string& text) {
  std::array<std::uint8_t, 4> octets{};
  std::string rest = text;
  bool exhausted = false;
  for (int i = 0; i < 4; ++i) {
    std::string part;
    if (!exhausted) {
      const std::size_t dot = i < 3 ? rest.find('.') : std::string::npos;
      if (dot == std::string::npos) {
        part = rest;
        exhausted = true;
      } else {
        part = rest.substr(0, dot);
        rest = rest.substr(dot + 1);
      }
    }
    octets[i] = static_cast<std::uint8_t>(ParseInteger(part).value_or(0));
  }
  return octets;
}

[[noreturn]] void Fail(const QString& input, const QString& shown, const std::string& want) {
  std::fprintf(stderr, "SetText(\"%s\") shows \"%s\", expected \"%s\"\n",
               input.toUtf8().constData(), shown.toUtf8().constData(), want.c_str());
  std::abort();
}

void Check(const QString& input) {
  const auto octets = ReferenceOctets(input.toUtf8().toStdString());
  const std::string want = std::to_string(octets[0]) + "." + std::to_string(octets[1]) + "." +
                           std::to_string(octets[2]) + "." + std::to_string(octets[3]);
  QString shown;
  try {
    field->SetText(input);
    shown = field->Text();
  } catch (...) {
    Fail(input, "<threw>", want);
  }
  if (shown.toStdString() != want) Fail(input, shown, want);
  const TJvIPAddressValues v = field->AddressValues();
  if (v.Value1 != octets[0] || v.Value2 != octets[1] || v.Value3 != octets[2] ||
      v.Value4 != octets[3])
    Fail(input, "<address values differ>", want);
  // What the field shows reads back as itself.
  field->SetText(shown);
  if (field->Text() != shown) Fail(shown, field->Text(), shown.toStdString());
}

}  // namespace

// Fontconfig keeps caches for the process's lifetime; they are not ours to free.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig\n"; }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  static int argc = 1;
  static char name[] = "fuzz_ip_text";
  static char* argv[] = {name, nullptr};
  app = new QApplication(argc, argv);
  field = new TJvIPAddress;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto* chars = reinterpret_cast<const char*>(data);
  const auto n = static_cast<qsizetype>(size);
  Check(QString::fromUtf8(chars, n));
  Check(QString::fromLatin1(chars, n));
  return 0;
}
