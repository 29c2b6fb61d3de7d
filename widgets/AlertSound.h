// The sounds the input fields make when they refuse a key. Both reach the
// speaker through QApplication::beep(); a test can take them over to count them.
#pragma once

#include <functional>

enum class TAlertSound {
  asDefault,  // the platform's default alert (spin field, IP field)
  asSimple,   // a plain beep (integer field)
};

using TAlertSoundHandler = std::function<void(TAlertSound)>;

// Routes every later alert to `handler`; an empty handler restores the
// speaker. Returns the handler that was in place.
TAlertSoundHandler SetAlertSoundHandler(TAlertSoundHandler handler);

void PlayAlertSound(TAlertSound sound);
