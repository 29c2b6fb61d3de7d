#include "AlertSound.h"

#include <QApplication>
#include <utility>

namespace {
TAlertSoundHandler& Handler() {
  static TAlertSoundHandler handler;
  return handler;
}
}  // namespace

TAlertSoundHandler SetAlertSoundHandler(TAlertSoundHandler handler) {
  return std::exchange(Handler(), std::move(handler));
}

void PlayAlertSound(TAlertSound sound) {
  if (Handler()) {
    Handler()(sound);
    return;
  }
  QApplication::beep();
}
