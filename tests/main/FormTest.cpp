// The window as the operator first sees it.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QFontInfo>
#include <QGuiApplication>
#include <QScreen>
#include <QTest>

#include <string>
#include <vector>

#include "ErrorReport.h"
#include "IntEdit.h"
#include "JvIPAddress.h"
#include "RxSpinEdit.h"
#include "komunikacja.h"
#include "main.h"

namespace {

struct Place {
  QWidget* widget;
  QRect rect;
};

QStringList Items(const QComboBox* c) {
  QStringList items;
  for (int i = 0; i < c->count(); ++i) items << c->itemText(i);
  return items;
}

}  // namespace

TEST(Form, CaptionFrameAndFixedClientSize) {
  TForm1 form;
  EXPECT_EQ(form.windowTitle(), "Konfiguracja");
  const Qt::WindowFlags flags = form.windowFlags();
  EXPECT_EQ(flags & Qt::WindowType_Mask, Qt::Tool);
  EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
  EXPECT_FALSE(flags & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
  EXPECT_EQ(form.size(), QSize(310, 267));
  EXPECT_EQ(form.minimumSize(), QSize(310, 267));
  EXPECT_EQ(form.maximumSize(), QSize(310, 267));
}

TEST(Form, CentredOnTheScreenWhenShown) {
  TForm1 form;
  form.CentreOnScreen();
  form.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
  const QPoint screenCentre = QGuiApplication::primaryScreen()->availableGeometry().center();
  // Within the width of a frame the platform adds only once the window is shown.
  EXPECT_LE((form.frameGeometry().center() - screenCentre).manhattanLength(), 6);
}

TEST(Form, EveryControlAtItsPlace) {
  TForm1 f;
  const Place places[] = {
      {f.Label6, {16, 17, 123, 14}},        {f.RxSpinEditadres, {170, 12, 105, 22}},
      {f.Label9, {16, 41, 123, 14}},        {f.ComboBox2, {170, 37, 105, 22}},
      {f.Label10, {16, 64, 123, 14}},       {f.ComboBox3, {170, 60, 105, 22}},
      {f.ComboBox1, {64, 104, 177, 21}},    {f.JvIPAddress1, {64, 144, 177, 21}},
      {f.IntEdit1, {144, 176, 97, 21}},     {f.SpeedButton1, {71, 232, 81, 22}},
      {f.SpeedButton2, {159, 232, 81, 22}},
  };
  for (const Place& p : places) {
    EXPECT_EQ(p.widget->geometry(), p.rect) << p.widget->metaObject()->className();
    EXPECT_EQ(p.widget->parentWidget(), &f);
  }
}

TEST(Form, CaptionsAreNotClippedByAWiderFallbackFont) {
  TForm1 f;
  const Place places[] = {
      {f.Label1, {64, 88, 50, 13}}, {f.Label2, {64, 130, 40, 13}}, {f.Label3, {94, 178, 19, 13}}};
  for (const Place& p : places) {
    auto* l = static_cast<QLabel*>(p.widget);
    EXPECT_EQ(l->pos(), p.rect.topLeft());
    EXPECT_EQ(l->height(), p.rect.height());
    EXPECT_EQ(l->width(), std::max(p.rect.width(), l->fontMetrics().horizontalAdvance(l->text())))
        << l->text().toStdString();
  }
}

TEST(Form, TextsWithPolishLettersIntact) {
  TForm1 f;
  EXPECT_EQ(f.Label6->text(), "Adres RS 485:");
  EXPECT_EQ(f.Label9->text(), "Port COM:");
  // Spelled by code point, so a source file read in the wrong encoding shows here.
  EXPECT_EQ(f.Label10->text(), QString::fromUtf16(u"Pr\u0119dko\u015B\u0107 transmisji:"));
  EXPECT_EQ(f.Label1->text(), "Tryb pracy");
  EXPECT_EQ(f.Label2->text(), "Adres IP");
  EXPECT_EQ(f.Label3->text(), "Port");
  EXPECT_EQ(f.SpeedButton1->text(), "Czytaj");
  EXPECT_EQ(f.SpeedButton2->text(), QString::fromUtf16(u"Wy\u015Blij"));
  for (QLabel* l : {f.Label6, f.Label9, f.Label10}) EXPECT_TRUE(l->alignment() & Qt::AlignRight);
}

TEST(Form, ListsAndFieldsStartWithTheirInitialItemsAndValues) {
  TForm1 f;
  EXPECT_EQ(Items(f.ComboBox1), QStringList({"LAN", "RS485"}));
  EXPECT_EQ(f.ComboBox1->currentIndex(), 0);

  const QStringList ports = Items(f.ComboBox2);
  ASSERT_EQ(ports.size(), 81);
  EXPECT_EQ(ports.first(), "COM1");
  EXPECT_EQ(ports[79], "COM80");
  EXPECT_EQ(ports[80], "");
  EXPECT_EQ(f.ComboBox2->currentText(), "COM2");

  EXPECT_EQ(Items(f.ComboBox3),
            QStringList({"110", "300", "600", "1200", "2400", "4800", "9600", "14400", "19200",
                         "38400", "56000", "57600", "115200", "128000", "256000"}));
  EXPECT_EQ(f.ComboBox3->currentText(), "19200");

  for (QComboBox* c : {f.ComboBox1, f.ComboBox2, f.ComboBox3}) EXPECT_FALSE(c->isEditable());

  EXPECT_EQ(f.RxSpinEditadres->text(), "2");
  EXPECT_EQ(f.RxSpinEditadres->MinValue(), 0);
  EXPECT_EQ(f.RxSpinEditadres->MaxValue(), 255);
  EXPECT_EQ(f.RxSpinEditadres->Increment(), 1);
  EXPECT_EQ(f.IntEdit1->text(), "0");
  EXPECT_EQ(f.JvIPAddress1->Text(), "0.0.0.0");
}

TEST(Form, TabOrderAndButtonsThatNeverTakeFocus) {
  TForm1 f;
  QWidget* const fields[] = {f.ComboBox1,       f.JvIPAddress1, f.IntEdit1,
                             f.RxSpinEditadres, f.ComboBox2,    f.ComboBox3};
  // Walk the focus chain once around, naming each field at its first appearance (the IP
  // field's octet boxes count as the field).
  std::vector<QWidget*> order;
  QWidget* w = f.ComboBox1;
  do {
    for (QWidget* field : fields) {
      if ((w == field || field->isAncestorOf(w)) &&
          std::find(order.begin(), order.end(), field) == order.end())
        order.push_back(field);
    }
    w = w->nextInFocusChain();
  } while (w != f.ComboBox1);
  EXPECT_EQ(order, std::vector<QWidget*>(std::begin(fields), std::end(fields)));

  for (QPushButton* b : {f.SpeedButton1, f.SpeedButton2}) {
    EXPECT_EQ(b->focusPolicy(), Qt::NoFocus);
    EXPECT_FALSE(b->autoDefault());
  }
  for (QLabel* l : {f.Label1, f.Label2, f.Label3, f.Label6, f.Label9, f.Label10})
    EXPECT_EQ(l->focusPolicy(), Qt::NoFocus);
}

// Neither face exists here; what stands in must still be a proportional sans face.
static bool SansStandIn(const QFont& font) {
  const QFontInfo info(font);
  return !info.fixedPitch() && (!info.family().contains("Serif") || info.family().contains("Sans"));
}

TEST(Form, FontsFallBackToSansFacesTheSystemHas) {
  TForm1 f;
  EXPECT_EQ(f.font().family(), "MS Sans Serif");
  EXPECT_EQ(f.font().pixelSize(), 11);
  EXPECT_TRUE(SansStandIn(f.font())) << QFontInfo(f.font()).family().toStdString();
  for (QWidget* w : std::initializer_list<QWidget*>{f.Label6, f.Label9, f.Label10,
                                                    f.RxSpinEditadres, f.ComboBox2, f.ComboBox3}) {
    EXPECT_EQ(w->font().family(), "Arial");
    EXPECT_EQ(w->font().pixelSize(), 11);
    EXPECT_TRUE(SansStandIn(w->font())) << QFontInfo(w->font()).family().toStdString();
  }
  EXPECT_EQ(f.Label1->font().family(), "MS Sans Serif");
}

TEST(Form, CreatingTheWindowSwitchesTheTransactionLogOn) {
  LoggingEnabled = false;
  TForm1 f;
  EXPECT_TRUE(LoggingEnabled);
}

TEST(Form, AnErrorInAButtonHandlerGoesToTheErrorReportAndTheWindowGoesOn) {
  std::vector<std::string> reported;
  SetApplicationErrorReport([&](const std::exception& e) { reported.emplace_back(e.what()); });
  {
    TForm1 form;  // no module yet: both handlers fail before touching any port
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    QTest::mouseClick(form.SpeedButton1, Qt::LeftButton);
    QTest::mouseClick(form.SpeedButton2, Qt::LeftButton);
    QTest::mouseClick(form.SpeedButton1, Qt::LeftButton);
    EXPECT_TRUE(form.isVisible());
  }
  SetApplicationErrorReport({});
  EXPECT_EQ(reported, std::vector<std::string>(3, "No communication module"));
}

TEST(Form, ComListDropsDownAsAListWithAScrollBarNotAsTallAsTheScreen) {
  TForm1 form;
  form.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
  form.ComboBox2->showPopup();
  QWidget* popup = form.ComboBox2->view()->window();
  ASSERT_TRUE(popup->isVisible());
  const int row = form.ComboBox2->view()->sizeHintForRow(0);
  const int rows = popup->height() / row;
  form.ComboBox2->hidePopup();
  EXPECT_GE(rows, 15);
  EXPECT_LE(rows, 30);
  EXPECT_LT(popup->height(), form.screen()->availableGeometry().height() / 2);
}
