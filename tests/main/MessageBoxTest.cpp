// The real message box of the flows, opened modally and answered from a zero-delay timer.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QMessageBox>
#include <QScreen>
#include <QTest>
#include <QTextEdit>
#include <QTimer>

#include <cerrno>
#include <filesystem>

#include "FakeSerialApi.h"
#include "LinuxSerialApi.h"
#include "komunikacja.h"
#include "main.h"

namespace fs = std::filesystem;

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

// What the operator meets after a failed "Wyślij": Qt's buttons and the reason, all in Polish,
// and a device path of sixty characters readable on one line.
TEST(MessageBox, DetailsAndButtonsArePolishAndAPathStaysOnOneLine) {
  std::string tmpl = (fs::temp_directory_path() / "konf-box-XXXXXX").string();
  ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
  const fs::path ports = fs::path(tmpl) / "a-folder-named-to-make-sixty-chars";
  fs::create_directories(ports);
  const std::string link = (ports / "COM2").string();
  ASSERT_GE(link.size(), 60u);
  fs::create_symlink(ports / "unplugged", link);
  serial::FakeSerialApi fake;
  fake.FailAlways("CreateFile", ENOENT);
  TFkomunikacja::Options options;
  options.portsDirectory = ports.string();
  options.logDirectory = ports.string();
  TFkomunikacja module(fake, options);
  TForm1 form(&module);
  form.show();

  QString details, showLabel, hideLabel, okLabel;
  QString pathLine;
  int spareWidth = -1, screenWidth = 0, boxWidth = 0;
  QTimer::singleShot(0, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box) return;
    details = box->detailedText();
    okLabel = box->button(QMessageBox::Ok)->text();
    QAbstractButton* toggle = nullptr;
    for (QAbstractButton* b : box->buttons())
      if (box->buttonRole(b) == QMessageBox::ActionRole) toggle = b;
    if (!toggle) return;
    showLabel = toggle->text();
    toggle->click();
    hideLabel = toggle->text();
    auto* area = box->findChild<QTextEdit*>();
    if (area && area->isVisible()) {
      QTest::qWait(0);
      boxWidth = box->frameGeometry().width();
      screenWidth = box->screen()->availableGeometry().width();
      for (const QString& line : area->toPlainText().split(u'\n'))
        if (line.contains(QString::fromStdString(link))) pathLine = line;
      spareWidth = area->viewport()->width() - 2 * int(area->document()->documentMargin()) -
                   area->fontMetrics().horizontalAdvance(pathLine);
    }
    QTest::keyClick(box, Qt::Key_Escape);
  });
  HangGuard guard;
  QTest::mouseClick(form.SpeedButton2, Qt::LeftButton);
  serial::SetPortsDirectory("");
  std::error_code ec;
  fs::remove_all(tmpl, ec);

  EXPECT_FALSE(guard.forced);
  EXPECT_TRUE(
      details.simplified().contains(QString::fromStdString("Port COM2 nie istnieje: " + link)))
      << details.toStdString();
  EXPECT_EQ(okLabel, "OK");
  EXPECT_EQ(showLabel, QString::fromUtf8("Pokaż szczegóły..."));
  EXPECT_EQ(hideLabel, QString::fromUtf8("Ukryj szczegóły..."));
  // The whole path on one line of the details, and that line in view without scrolling.
  EXPECT_FALSE(pathLine.isEmpty()) << "the path is split in the details";
  EXPECT_GE(spareWidth, 0) << pathLine.toStdString();
  EXPECT_LE(boxWidth, screenWidth);
}
