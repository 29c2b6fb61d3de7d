// Shared pieces of the input-field tests: a window that really holds the
// keyboard focus, and a recorder for the alert sounds.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QFont>
#include <QLineEdit>
#include <QTest>
#include <QWidget>
#include <ostream>
#include <vector>

#include "AlertSound.h"

// Readable failure messages for texts.
inline void PrintTo(const QString& text, std::ostream* os) {
  *os << '"' << text.toStdString() << '"';
}

class AlertRecorder {
 public:
  AlertRecorder() {
    previous_ = SetAlertSoundHandler([this](TAlertSound s) { sounds.push_back(s); });
  }
  ~AlertRecorder() { SetAlertSoundHandler(previous_); }
  AlertRecorder(const AlertRecorder&) = delete;
  AlertRecorder& operator=(const AlertRecorder&) = delete;

  std::vector<TAlertSound> sounds;

 private:
  TAlertSoundHandler previous_;
};

// A shown, active top-level window, so that focus changes send real focus
// events. The window's own font is the one the configuration window asks for.
class FieldWindowTest : public ::testing::Test {
 protected:
  void ShowWindow() {
    window.resize(310, 267);
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
  }

  // Puts the focus into `w` as a click would.
  static void Focus(QWidget* w) {
    w->setFocus(Qt::MouseFocusReason);
    ASSERT_TRUE(w->hasFocus());
  }

  static void Retype(QLineEdit* edit, const char* text) {
    Focus(edit);
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Backspace);
    QTest::keyClicks(edit, QString::fromUtf8(text));
  }

  QWidget window;
  AlertRecorder alerts;
};
