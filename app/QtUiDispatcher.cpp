#include "QtUiDispatcher.h"

#include <QMetaObject>
#include <QThread>

TQtUiDispatcher::TQtUiDispatcher() : receiver_(std::make_unique<QObject>()) {}

TQtUiDispatcher::~TQtUiDispatcher() = default;

bool TQtUiDispatcher::OnUiThread() const { return QThread::currentThread() == receiver_->thread(); }

void TQtUiDispatcher::WorkQueued() {
  QMetaObject::invokeMethod(
      receiver_.get(), [this] { Serve(); }, Qt::QueuedConnection);
}
