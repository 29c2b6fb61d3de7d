// The real message box of the flows, opened modally and answered from a zero-delay timer.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
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
