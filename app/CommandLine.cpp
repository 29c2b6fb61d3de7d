#include "CommandLine.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <algorithm>
#include <cstdio>

namespace {

void SetUp(QCommandLineParser& parser) {
  // -platform and its kind are the toolkit's words, not bundles of one-letter options.
  parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
  parser.setApplicationDescription(QCoreApplication::translate(
      "CommandLine",
      "Reads and writes the network settings (operating mode, IP address, IP port) of a field "
      "device on an RS-485 bus, in a window.\n\n"
      "From its first exchange with the device until it is closed, the window keeps the "
      "serial port open, and konfigurator-cli is refused that port meanwhile."));
  // Worded here rather than by the toolkit, whose Polish catalogue lacks these lines.
  parser.addOption(
      QCommandLineOption({QStringLiteral("h"), QStringLiteral("help")},
                         QCoreApplication::translate("CommandLine", "Print this help and end.")));
  parser.addOption(
      QCommandLineOption({QStringLiteral("v"), QStringLiteral("version")},
                         QCoreApplication::translate("CommandLine", "Print the version and end.")));
}

// The options the toolkit's application object takes for itself.
bool IsToolkitOption(const QString& name) {
  static const QStringList names = {
      QStringLiteral("platform"),      QStringLiteral("platformpluginpath"),
      QStringLiteral("platformtheme"), QStringLiteral("plugin"),
      QStringLiteral("qmljsdebugger"), QStringLiteral("qwindowgeometry"),
      QStringLiteral("qwindowicon"),   QStringLiteral("qwindowtitle"),
      QStringLiteral("reverse"),       QStringLiteral("session"),
      QStringLiteral("display"),       QStringLiteral("geometry"),
      QStringLiteral("style"),         QStringLiteral("stylesheet"),
      QStringLiteral("widgetcount"),   QStringLiteral("nograb"),
      QStringLiteral("dograb"),        QStringLiteral("sync")};
  return names.contains(name);
}

int Refuse(const QString& error) {
  std::fprintf(
      stderr, "Konfigurator: %s\n%s\n", qPrintable(error),
      qPrintable(QCoreApplication::translate("CommandLine", "Try 'Konfigurator --help'.")));
  return 2;
}

// What the parser found that the program does not take, or nothing. With `toolkitToCome`
// the toolkit's options, and the values that may follow them, are still in the list.
std::optional<int> RefuseWhatIsLeft(const QCommandLineParser& parser, bool toolkitToCome) {
  const QStringList unknown = parser.unknownOptionNames();
  const auto foreign = std::find_if(unknown.begin(), unknown.end(), [&](const QString& name) {
    return !(toolkitToCome && IsToolkitOption(name));
  });
  if (foreign != unknown.end())
    return Refuse(QCoreApplication::translate("CommandLine", "Unknown option '%1'.").arg(*foreign));
  if (!parser.positionalArguments().isEmpty() && unknown.isEmpty())
    return Refuse(QCoreApplication::translate("CommandLine", "Unexpected argument '%1'.")
                      .arg(parser.positionalArguments().constFirst()));
  return std::nullopt;
}

}  // namespace

std::optional<int> AnswerCommandLine(int argc, char** argv, void (*prepare)(QCoreApplication&)) {
  if (argc <= 1) return std::nullopt;
  // A core application needs no display, so the answers need none either.
  QCoreApplication app(argc, argv);
  prepare(app);
  QCommandLineParser parser;
  SetUp(parser);
  parser.parse(QCoreApplication::arguments());
  if (parser.isSet(QStringLiteral("help"))) {
    std::fputs(qPrintable(parser.helpText()), stdout);
    return 0;
  }
  if (parser.isSet(QStringLiteral("version"))) {
    std::printf("Konfigurator %s\n", KONFIGURATOR_VERSION);
    return 0;
  }
  return RefuseWhatIsLeft(parser, true);
}

std::optional<int> RefuseUnknownArguments(const QStringList& arguments) {
  QCommandLineParser parser;
  SetUp(parser);
  parser.parse(arguments);
  return RefuseWhatIsLeft(parser, false);
}
