// Start-up and shutdown of the program.
#include <QString>

#include <memory>

#include "Application.h"
#include "ErrorReport.h"
#include "QtUiDispatcher.h"
#include "komunikacja.h"
#include "main.h"

int main(int argc, char** argv) {
  TApplication app(argc, argv);
  app.setApplicationName(ApplicationTitle(QCoreApplication::applicationFilePath()));
  // The configuration window is a tool window, which Qt does not count as a last window; its
  // closing ends the program explicitly below.
  app.setQuitOnLastWindowClosed(false);

  TQtUiDispatcher dispatcher;
  SetUiDispatcher(&dispatcher);
  SetApplicationErrorReport(ReportErrorInBox);

  auto Form1 = std::make_unique<TForm1>();  // its creation switches the transaction log on
  auto Fkomunikacja = std::make_unique<TFkomunikacja>();
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
