// The program's application object and what it shows when an error reaches it.
#pragma once

#include <QApplication>
#include <QString>

#include <exception>
#include <stdexcept>
#include <utility>

class QMessageBox;
class QWidget;

// The title of the program's boxes, from the program file's path: the name without its
// directory and without everything from its first ".", letters after the first in lower case.
// "/opt/x/PortTool.backup.exe" gives "Porttool".
QString ApplicationTitle(const QString& programPath);

// The text of the error box: the message, with a "." added when its last character sorts
// after "." (so "failed" gets one, "failed." and "(code: 5)" do not).
QString ErrorBoxText(const QString& message);

// The error box, built but not shown: error icon, one OK, the application title.
QMessageBox* CreateErrorBox(const QString& message, QWidget* parent = nullptr);
// Shows the error box modally; on the UI thread only.
void ShowErrorBox(const QString& message);

// The application-wide report of errors nobody caught (the serial component's): the error box,
// shown on the UI thread whichever thread reports.
void ReportErrorInBox(const std::exception& error);

// A slot for connect: runs handler and shows an error it lets escape in the error box, before
// the error could unwind through the toolkit's frames (which do not survive that). The
// program goes on.
template <class F>
auto Guarded(F handler) {
  return [handler = std::move(handler)]() mutable {
    try {
      handler();
    } catch (const std::exception& e) {
      ReportErrorInBox(e);
    } catch (...) {
      ReportErrorInBox(std::runtime_error("Unknown exception"));
    }
  };
}

// The last resort for an error escaping an event handler that no slot guard caught: shows it
// in the error box and keeps the loop going.
class TApplication : public QApplication {
  Q_OBJECT

 public:
  TApplication(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;
};

// SIGTERM and SIGINT close this window as its close button would; the handler only wakes the
// UI thread, which does the closing.
void CloseOnTerminationSignals(QWidget* window);
