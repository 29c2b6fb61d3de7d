#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <stdexcept>
#include <thread>

#include "EComPort.h"
#include "ErrorReport.h"

#include "Application.h"

TEST(ApplicationTitle, NameWithoutDirectoryAndExtensionsRestLowerCase) {
  EXPECT_EQ(ApplicationTitle("/home/op/build/bin/Konfigurator"), "Konfigurator");
  EXPECT_EQ(ApplicationTitle("/opt/tools/PortTool.backup.exe"), "Porttool");
  EXPECT_EQ(ApplicationTitle("KONFIGURATOR"), "Konfigurator");
  // Dots in a directory name do not count, only those of the file name.
  EXPECT_EQ(ApplicationTitle("/srv/v1.2/konfigurator"), "konfigurator");
  EXPECT_EQ(ApplicationTitle(QString::fromUtf8("/x/ŁÓDŹ.exe")), QString::fromUtf8("Łódź"));
  EXPECT_EQ(ApplicationTitle("/x/.hidden"), "");
}

TEST(ErrorBoxText, DotAddedOnlyAfterCharactersSortingAfterDot) {
  EXPECT_EQ(ErrorBoxText("ReadFile function failed"), "ReadFile function failed.");
  EXPECT_EQ(ErrorBoxText("Already said."), "Already said.");
  // ')' sorts before '.': a platform code suffix keeps its bracket last.
  EXPECT_EQ(ErrorBoxText("Unable to open com port (win error code: 2)"),
            "Unable to open com port (win error code: 2)");
  EXPECT_EQ(ErrorBoxText("Stop!"), "Stop!");
  EXPECT_EQ(ErrorBoxText("a/"), "a/.");
  EXPECT_EQ(ErrorBoxText("99"), "99.");
  EXPECT_EQ(ErrorBoxText(QString::fromUtf8("Błąd")), QString::fromUtf8("Błąd."));
  EXPECT_EQ(ErrorBoxText(""), "");
}

TEST(ErrorBox, ErrorIconOneOkAndApplicationTitle) {
  QMessageBox* box = CreateErrorBox("SetCommTimeouts failed");
  EXPECT_EQ(box->icon(), QMessageBox::Critical);
  EXPECT_EQ(box->windowTitle(), "Konfigurator");
  EXPECT_EQ(box->text(), "SetCommTimeouts failed.");
  ASSERT_EQ(box->buttons().size(), 1);
  EXPECT_EQ(box->standardButton(box->buttons().first()), QMessageBox::Ok);
  EXPECT_EQ(box->escapeButton(), box->buttons().first());
  delete box;
}

namespace {

// Closes the next error box that opens and remembers what it showed.
struct BoxWatcher {
  QString text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  int seen = 0;
  void Arm(int triesLeft = 200) {
    QTimer::singleShot(triesLeft == 200 ? 0 : 10, [this, triesLeft] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!box) {
        if (triesLeft > 0) Arm(triesLeft - 1);
        return;
      }
      text = box->text();
      icon = box->icon();
      ++seen;
      box->button(QMessageBox::Ok)->click();
    });
  }
};

}  // namespace

TEST(ErrorBox, ErrorEscapingAHandlerIsShownAndTheProgramGoesOn) {
  QWidget window;
  auto* button = new QPushButton("x", &window);
  int clicks = 0;
  QObject::connect(button, &QPushButton::clicked, Guarded([&] {
                     ++clicks;
                     if (clicks == 3) throw 42;
                     throw std::runtime_error("Nie ma portu");
                   }));
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));

  BoxWatcher watcher;
  watcher.Arm();
  QTest::mouseClick(button, Qt::LeftButton);
  EXPECT_EQ(watcher.seen, 1);
  EXPECT_EQ(watcher.text, "Nie ma portu.");
  EXPECT_EQ(watcher.icon, QMessageBox::Critical);

  // The loop survived: the same handler runs again and is reported again.
  watcher.Arm();
  QTest::mouseClick(button, Qt::LeftButton);
  EXPECT_EQ(clicks, 2);
  EXPECT_EQ(watcher.seen, 2);

  // Something that is no std::exception still gets a box.
  watcher.Arm();
  QTest::mouseClick(button, Qt::LeftButton);
  EXPECT_EQ(clicks, 3);
  EXPECT_EQ(watcher.seen, 3);
  EXPECT_EQ(watcher.text, "Unknown exception.");
}

TEST(ErrorBox, TheSerialComponentsReportShowsTheBoxOnTheUiThread) {
  SetApplicationErrorReport(ReportErrorInBox);
  BoxWatcher watcher;
  watcher.Arm();
  ReportApplicationError(EComPort(CError_ConnChangeProp));
  EXPECT_EQ(watcher.seen, 1);
  EXPECT_EQ(watcher.text, "Cannot set property while connected.");

  // From another thread the report only hands the box over; the UI thread shows it.
  std::thread monitor([] { ReportApplicationError(EComPort(CError_SetStateFailed, 22)); });
  monitor.join();
  EXPECT_EQ(watcher.seen, 1);
  watcher.Arm();
  EXPECT_TRUE(QTest::qWaitFor([&] { return watcher.seen == 2; }, 3000));
  EXPECT_EQ(watcher.text, "SetCommState function failed (win error code: 22)");
  SetApplicationErrorReport({});
}
