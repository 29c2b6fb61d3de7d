#include "Application.h"

#include <QFileInfo>
#include <QMessageBox>
#include <QMetaObject>
#include <QSocketNotifier>
#include <QThread>
#include <QWidget>

#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <exception>

QString ApplicationTitle(const QString& programPath) {
  QString name = QFileInfo(programPath).fileName();
  const qsizetype dot = name.indexOf(QLatin1Char('.'));
  if (dot >= 0) name.truncate(dot);
  if (name.size() > 1) name = name.left(1) + name.mid(1).toLower();
  return name;
}

QString ErrorBoxText(const QString& message) {
  if (!message.isEmpty() && message.back() > QLatin1Char('.')) return message + QLatin1Char('.');
  return message;
}

QMessageBox* CreateErrorBox(const QString& message, QWidget* parent) {
  auto* box = new QMessageBox(QMessageBox::Critical, QCoreApplication::applicationName(),
                              ErrorBoxText(message), QMessageBox::Ok, parent);
  box->setDefaultButton(QMessageBox::Ok);
  box->setEscapeButton(QMessageBox::Ok);
  return box;
}

void ShowErrorBox(const QString& message) {
  QMessageBox* box = CreateErrorBox(message, QApplication::activeWindow());
  box->exec();
  delete box;
}

void ReportErrorInBox(const std::exception& error) {
  const QString text = QString::fromLocal8Bit(error.what());
  QCoreApplication* app = QCoreApplication::instance();
  if (!app) return;
  if (QThread::currentThread() == app->thread())
    ShowErrorBox(text);
  else
    QMetaObject::invokeMethod(
        app, [text] { ShowErrorBox(text); }, Qt::QueuedConnection);
}

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& e) {
    ShowErrorBox(QString::fromLocal8Bit(e.what()));
  } catch (...) {
    ShowErrorBox(tr("Unknown exception"));
  }
  return false;
}

namespace {

int signalPipe[2] = {-1, -1};

void OnTerminationSignal(int) {
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] ssize_t n = ::write(signalPipe[1], &byte, 1);
  errno = saved;
}

}  // namespace

void CloseOnTerminationSignals(QWidget* window) {
  if (signalPipe[0] < 0 &&
      ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalPipe) != 0)
    return;
  auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, window);
  QObject::connect(notifier, &QSocketNotifier::activated, window, Guarded([window] {
                     char buf[16];
                     while (::read(signalPipe[0], buf, sizeof buf) > 0) {
                     }
                     window->close();
                   }));
  struct sigaction sa {};
  sa.sa_handler = OnTerminationSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  ::sigaction(SIGTERM, &sa, nullptr);
  ::sigaction(SIGINT, &sa, nullptr);
  // A launcher may have blocked them; a signal that waited meanwhile closes the window as soon
  // as the loop runs.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}
