// The COM list marks what is plugged in each time it opens.
#include <gtest/gtest.h>

#include <QFont>
#include <QTest>

#include "FakeDeviceTree.h"
#include "PortList.h"
#include "main.h"

namespace {

using portinfotest::FakeAdapter;
using portinfotest::FakeDeviceTree;

bool Bold(const QComboBox* c, int index) {
  const QVariant f = c->itemData(index, Qt::FontRole);
  return f.isValid() && f.value<QFont>().bold();
}

TEST(PortList, PresentDevicesBoldWithTheirNameAndRefreshedOnOpening) {
  FakeDeviceTree t;
  t.BuiltIn(0, 4);
  FakeAdapter a;
  a.serial = "FT1234AB";
  t.Plug(a, "ttyUSB0", 1);

  TForm1 form;
  auto* list = dynamic_cast<TPortList*>(form.ComboBox2);
  ASSERT_NE(list, nullptr);
  list->SetDeviceTree(t.Tree());
  form.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));

  list->showPopup();
  ASSERT_EQ(list->count(), 81);
  for (int i = 0; i < 80; ++i) EXPECT_EQ(list->itemText(i), QStringLiteral("COM%1").arg(i + 1));
  EXPECT_EQ(list->itemText(80), QString());
  EXPECT_EQ(list->currentIndex(), 1);  // opening changes no choice

  EXPECT_TRUE(Bold(list, 0));
  EXPECT_FALSE(Bold(list, 1));
  EXPECT_TRUE(Bold(list, 2));
  EXPECT_EQ(list->itemData(2, Qt::ToolTipRole).toString(),
            QString::fromStdString("FTDI USB-RS485 Cable, nr seryjny FT1234AB \u2014 " +
                                   t.Tree().dev + "/ttyUSB0"));
  EXPECT_FALSE(list->itemData(3, Qt::ToolTipRole).isValid());
  EXPECT_FALSE(Bold(list, 3));
  list->hidePopup();

  // Plugged in while the window runs: there the next time the list opens.
  FakeAdapter b;
  b.serial = "FT5678CD";
  t.Plug(b, "ttyUSB1", 2);
  EXPECT_FALSE(Bold(list, 3));
  list->showPopup();
  EXPECT_TRUE(Bold(list, 3));
  list->hidePopup();

  // And unplugged: plain again, its number kept.
  t.Unplug("ttyUSB0");
  list->showPopup();
  EXPECT_FALSE(Bold(list, 2));
  EXPECT_TRUE(list->itemData(2, Qt::ToolTipRole)
                  .toString()
                  .startsWith(QString::fromUtf8("Niepodłączony: ")));
  EXPECT_TRUE(Bold(list, 3));
  list->hidePopup();
}

}  // namespace
