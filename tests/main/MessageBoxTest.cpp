// The real message box of the flows, opened modally and answered from a zero-delay timer.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QMessageBox>
#include <QScreen>
#include <QTest>
#include <QTimer>

#include "main.h"

namespace {

class BoxForm : public TForm1 {
 public:
  using TForm1::ShowMessage;
};

struct SeenBox {
  bool seen = false;
  QString title, text;
  QMessageBox::Icon icon = QMessageBox::Warning;
  int buttons = 0;
  bool okIsDefault = false;
  bool formBlocked = false;
};

// Inspects the box that is open when the loop next runs, then answers it with key.
void AnswerNextBox(SeenBox& seen, QWidget* form, int key) {
  QTimer::singleShot(0, [&seen, form, key] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box) return;
    seen.seen = true;
    seen.title = box->windowTitle();
    seen.text = box->text();
    seen.icon = box->icon();
    seen.buttons = int(box->buttons().size());
    seen.okIsDefault = box->defaultButton() == box->button(QMessageBox::Ok);
    seen.formBlocked = QApplication::activeModalWidget() != form && box->isModal();
    QTest::keyClick(box, Qt::Key(key));
  });
}

// Closes a box that the key did not close, so a failure cannot hang the run.
struct HangGuard {
  QTimer timer;
  bool forced = false;
  HangGuard() {
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, [this] {
      if (QWidget* w = QApplication::activeModalWidget()) {
        forced = true;
        w->close();
      }
    });
    timer.start(5000);
  }
};

}  // namespace

TEST(MessageBox, TextNoIconOneOkTitledWithTheApplication) {
  BoxForm form;
  form.show();
  SeenBox seen;
  HangGuard guard;
  AnswerNextBox(seen, &form, Qt::Key_Return);
  form.ShowMessage(QString::fromUtf16(u"B\u0142\u0105d odczytu IP"));
  ASSERT_TRUE(seen.seen) << "no modal box was shown";
  EXPECT_EQ(seen.title, "Konfigurator");
  EXPECT_EQ(seen.text, QString::fromUtf16(u"B\u0142\u0105d odczytu IP"));
  EXPECT_EQ(seen.icon, QMessageBox::NoIcon);
  EXPECT_EQ(seen.buttons, 1);
  EXPECT_TRUE(seen.okIsDefault);
  EXPECT_TRUE(seen.formBlocked);
  EXPECT_FALSE(guard.forced) << "Enter did not close the box";
}

TEST(MessageBox, EscapeAnswersItToo) {
  BoxForm form;
  form.show();
  SeenBox seen;
  HangGuard guard;
  AnswerNextBox(seen, &form, Qt::Key_Escape);
  form.ShowMessage("x");
  EXPECT_TRUE(seen.seen);
  EXPECT_FALSE(guard.forced) << "Escape did not close the box";
}

TEST(MessageBox, CentredOnTheScreenWhereverTheWindowStandsWithTheReasonInItsDetails) {
  BoxForm form;
  form.move(0, 0);
  form.show();
  QGuiApplication::setOverrideCursor(Qt::WaitCursor);  // as inside a flow
  QRect boxFrame;
  QString details;
  bool busyWhileOpen = true;
  QTimer::singleShot(0, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box) return;
    boxFrame = box->frameGeometry();
    details = box->detailedText();
    busyWhileOpen = QGuiApplication::overrideCursor() != nullptr;
    QTest::keyClick(box, Qt::Key_Escape);
  });
  HangGuard guard;
  form.ShowMessage(QString::fromUtf8("Błąd zapisu IP"), QStringLiteral("No answer."));
  const bool busyAfter = QGuiApplication::overrideCursor() != nullptr;
  QGuiApplication::restoreOverrideCursor();
  ASSERT_FALSE(boxFrame.isNull()) << "no modal box was shown";
  const QPoint centre = form.screen()->availableGeometry().center();
  EXPECT_LE((boxFrame.center() - centre).manhattanLength(), 2)
      << boxFrame.center().x() << "," << boxFrame.center().y();
  EXPECT_EQ(details, "No answer.");
  EXPECT_FALSE(busyWhileOpen) << "the operator answers the box with the normal pointer";
  EXPECT_TRUE(busyAfter) << "the flow goes on busy";
  EXPECT_FALSE(guard.forced);
}
