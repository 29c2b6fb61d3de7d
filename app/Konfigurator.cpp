// Start-up and shutdown of the program.
#include <QString>

#include <memory>

#include "Adapters.h"
#include "Application.h"
#include "CommandLine.h"
#include "ErrorReport.h"
#include "LinuxSerialApi.h"
#include "Locations.h"
#include "QtUiDispatcher.h"
#include "Translations.h"
#include "komunikacja.h"
#include "main.h"

int main(int argc, char** argv) {
  const auto polish = [](QCoreApplication& app) { InstallPolishTranslations(app); };
  if (const auto answered = AnswerCommandLine(argc, argv, polish)) return *answered;
  TApplication app(argc, argv);
  app.setApplicationName(ApplicationTitle(QCoreApplication::applicationFilePath()));
  InstallPolishTranslations(app);
  if (const auto refused = RefuseUnknownArguments(QCoreApplication::arguments())) return *refused;
  // The configuration window is a tool window, which Qt does not count as a last window; its
  // closing ends the program explicitly below.
  app.setQuitOnLastWindowClosed(false);

  TQtUiDispatcher dispatcher;
  SetUiDispatcher(&dispatcher);
  SetApplicationErrorReport(ReportErrorInBox);

  // The COMn links and the log: beside the program in a folder of its own, else the user's.
  const portinfo::Locations& where = portinfo::CurrentLocations();
  if (!where.portsDir.empty()) serial::SetPortsDirectory(where.portsDir);
  TFkomunikacja::Options options;
  options.logDirectory = where.logDir;
  if (!where.logDir.empty()) portinfo::MakeFolders(where.logDir);
  // USB adapters plugged in before the start have their COM numbers before the first "Czytaj".
  portinfo::DeviceTree tree;
  tree.portsDir = serial::PortsDirectory();
  std::vector<portinfo::SerialDevice> devices = portinfo::FindSerialDevices(tree);
  portinfo::NumberDevices(tree, devices);

  auto Form1 = std::make_unique<TForm1>();  // its creation switches the transaction log on
  // Nowhere of the user's own (no home folder): nothing is written beside an installed program.
  if (where.logDir.empty()) LoggingEnabled = false;
  auto Fkomunikacja = std::make_unique<TFkomunikacja>(serial::SystemSerialApi(), options);
  Form1->SetKomunikacja(Fkomunikacja.get());

  QObject::connect(Form1.get(), &TForm1::Closed, &app, &QCoreApplication::quit,
                   Qt::QueuedConnection);
  CloseOnTerminationSignals(Form1.get());

  Form1->CentreOnScreen();
  Form1->show();
  const int rc = app.exec();

  // The module goes first: it closes the port, and the close may still hand the window a
  // last batch of line events.
  Fkomunikacja.reset();
  Form1.reset();
  SetApplicationErrorReport({});
  SetUiDispatcher(nullptr);
  return rc;
}
