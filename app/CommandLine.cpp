#include "CommandLine.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

namespace {

void SetUp(QCommandLineParser& parser) {
  parser.setApplicationDescription(QCoreApplication::translate(
      "CommandLine",
      "Reads and writes the network settings (operating mode, IP address, IP port) of a field "
      "device on an RS-485 bus, in a window.\n\n"
      "From its first exchange with the device until it is closed, the window keeps the "
      "serial port open, and konfigurator-cli is refused that port meanwhile."));
  parser.addHelpOption();
  parser.addVersionOption();
}

}  // namespace

std::optional<int> AnswerCommandLine(int argc, char** argv) {
  if (argc <= 1) return std::nullopt;
  // A core application needs no display, so --help works from a terminal without one.
  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationVersion(QStringLiteral(KONFIGURATOR_VERSION));
  QCommandLineParser parser;
  SetUp(parser);
  // The toolkit's own options are unknown here; they are looked at once it has taken them.
  parser.parse(QCoreApplication::arguments());
  // The toolkit's own help prints and ends the process itself.
  if (parser.isSet(QStringLiteral("help-all"))) parser.process(app);
  if (parser.isSet(QStringLiteral("help"))) {
    std::fputs(qPrintable(parser.helpText()), stdout);
    return 0;
  }
  if (parser.isSet(QStringLiteral("version"))) {
    std::printf("Konfigurator %s\n", KONFIGURATOR_VERSION);
    return 0;
  }
  return std::nullopt;
}

std::optional<int> RefuseUnknownArguments(const QStringList& arguments) {
  QCommandLineParser parser;
  SetUp(parser);
  QString error;
  if (!parser.parse(arguments)) {
    error = parser.errorText();
  } else if (!parser.positionalArguments().isEmpty()) {
    error = QCoreApplication::translate("CommandLine", "Unexpected argument '%1'.")
                .arg(parser.positionalArguments().constFirst());
  } else {
    return std::nullopt;
  }
  std::fprintf(
      stderr, "Konfigurator: %s\n%s\n", qPrintable(error),
      qPrintable(QCoreApplication::translate("CommandLine", "Try 'Konfigurator --help'.")));
  return 2;
}
