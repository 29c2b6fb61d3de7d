#include "JvIPAddress.h"

#include <QSignalSpy>

#include "FieldTestSupport.h"

namespace {

struct TextCase {
  const char* written;
  const char* shown;
};

void PrintTo(const TextCase& c, std::ostream* os) { *os << '"' << c.written << '"'; }

class IpTextWrite : public ::testing::TestWithParam<TextCase> {};

TEST_P(IpTextWrite, ShowsFourOctets) {
  TJvIPAddress ip;
  ip.SetText(QString::fromUtf8(GetParam().written));
  EXPECT_EQ(ip.Text(), QString::fromUtf8(GetParam().shown));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, IpTextWrite,
    ::testing::Values(TextCase{"192.168.1.10", "192.168.1.10"}, TextCase{"10.0.0", "10.0.0.0"},
                      TextCase{"1.2.3.4.5", "1.2.3.0"}, TextCase{"1.2.3.4.", "1.2.3.0"},
                      TextCase{"abc", "0.0.0.0"}, TextCase{"", "0.0.0.0"},
                      TextCase{"300.1.1.1", "44.1.1.1"}, TextCase{"256.-1.1.1", "0.255.1.1"},
                      TextCase{"10 .1.1.1", "0.1.1.1"}, TextCase{" 7.8.9.10", "7.8.9.10"},
                      TextCase{"$10.0.0.1", "16.0.0.1"}, TextCase{"1..2.3", "1.0.2.3"},
                      TextCase{"10.1.2", "10.1.2.0"}, TextCase{"ąę.2.3.4", "0.2.3.4"}));

TEST(IpValues, KeptInStepWithTheText) {
  TJvIPAddress ip;
  EXPECT_EQ(ip.Text(), "0.0.0.0");
  ip.SetText("192.168.1.10");
  const TJvIPAddressValues v = ip.AddressValues();
  EXPECT_EQ(v, (TJvIPAddressValues{192, 168, 1, 10}));
  EXPECT_EQ(v.Address(), 0xC0A8010Au);

  TJvIPAddressValues w;
  w.SetAddress(0x0A000001u);
  ip.SetAddressValues(w);
  EXPECT_EQ(ip.Text(), "10.0.0.1");

  // A box left blank reads as 0, in the text and in the values.
  ip.OctetBox(2)->setText("");
  EXPECT_EQ(ip.Text(), "10.0.0.1");
  ip.OctetBox(3)->setText("");
  EXPECT_EQ(ip.Text(), "10.0.0.0");
  EXPECT_EQ(ip.AddressValues().Address(), 0x0A000000u);
}

TEST(IpValues, OneNotificationPerChangedText) {
  TJvIPAddress ip;
  QSignalSpy changes(&ip, &TJvIPAddress::Change);
  ip.SetText("1.2.3.4");
  EXPECT_EQ(changes.count(), 1);
  ip.SetText("1.2.3.4");
  EXPECT_EQ(changes.count(), 1);
  ip.SetText("01.2.3.$4");  // different text, same octets
  EXPECT_EQ(changes.count(), 1);
}

// The IP field between two other controls, tab order before -> ip -> after.
class IpFieldTest : public FieldWindowTest {
 protected:
  void SetUp() override {
    // Created out of order, so only the tab order set below puts the field in place.
    ip = new TJvIPAddress(&window);
    before = new QLineEdit(&window);
    after = new QLineEdit(&window);
    before->setGeometry(64, 104, 177, 21);
    ip->setGeometry(64, 144, 177, 21);
    after->setGeometry(144, 176, 97, 21);
    QWidget::setTabOrder(after, before);
    QWidget::setTabOrder(before, ip);
    QWidget::setTabOrder(ip, after);
    ShowWindow();
  }

  QWidget* Focused() const { return QApplication::focusWidget(); }
  QLineEdit* Box(int i) const { return ip->OctetBox(i); }

  TJvIPAddress* ip = nullptr;
  QLineEdit* before = nullptr;
  QLineEdit* after = nullptr;
};

TEST_F(IpFieldTest, TabWalksThroughTheBoxesAndOnToTheNextControl) {
  ip->SetText("10.20.30.40");
  Focus(before);
  QTest::keyClick(before, Qt::Key_Tab);
  ASSERT_EQ(Focused(), Box(0));
  EXPECT_EQ(Box(0)->selectedText(), "10");
  for (int i = 1; i < 4; ++i) {
    QTest::keyClick(Focused(), Qt::Key_Tab);
    ASSERT_EQ(Focused(), Box(i));
    EXPECT_EQ(Box(i)->selectedText(), Box(i)->text());
  }
  QTest::keyClick(Focused(), Qt::Key_Tab);
  EXPECT_EQ(Focused(), after);
}

TEST_F(IpFieldTest, ShiftTabWalksBackToThePreviousControl) {
  Focus(after);
  QTest::keyClick(after, Qt::Key_Backtab);
  ASSERT_EQ(Focused(), Box(3));
  for (int i = 2; i >= 0; --i) {
    QTest::keyClick(Focused(), Qt::Key_Tab, Qt::ShiftModifier);
    ASSERT_EQ(Focused(), Box(i));
  }
  QTest::keyClick(Focused(), Qt::Key_Backtab);
  EXPECT_EQ(Focused(), before);
}

TEST_F(IpFieldTest, WithoutTabThroughFieldsTabLeavesFromAnyBox) {
  ip->SetTabThroughFields(false);
  Focus(Box(1));
  QTest::keyClick(Box(1), Qt::Key_Tab);
  EXPECT_EQ(Focused(), after);
  Focus(Box(2));
  QTest::keyClick(Box(2), Qt::Key_Backtab);
  EXPECT_EQ(Focused(), before);
}

TEST_F(IpFieldTest, TypingFillsTheBoxesInTurn) {
  ip->setFocus(Qt::TabFocusReason);
  ASSERT_EQ(Focused(), Box(0));
  QTest::keyClicks(Focused(), "192");  // a full box passes on to the next
  ASSERT_EQ(Focused(), Box(1));
  QTest::keyClicks(Focused(), "168");
  QTest::keyClicks(Focused(), "1.");  // a dot closes a box
  ASSERT_EQ(Focused(), Box(3));
  QTest::keyClicks(Focused(), "10");
  EXPECT_EQ(ip->Text(), "192.168.1.10");
  EXPECT_TRUE(alerts.sounds.empty());
}

TEST_F(IpFieldTest, BoxesHoldOnlyOctetsInTheirRange) {
  Focus(Box(0));
  Box(0)->selectAll();
  QTest::keyClicks(Box(0), "3a");
  EXPECT_EQ(Box(0)->text(), "3");
  EXPECT_EQ(alerts.sounds, std::vector{TAlertSound::asDefault});
  QTest::keyClicks(Box(0), "00");
  EXPECT_EQ(Box(0)->text(), "255");
  EXPECT_EQ(alerts.sounds.size(), 2u);

  TJvIPAddressRange range;
  range.Field2Min = 10;
  range.Field2Max = 20;
  ip->SetRange(range);
  Focus(Box(1));
  Box(1)->selectAll();
  QTest::keyClicks(Box(1), "5");
  QTest::keyClick(Box(1), Qt::Key_Tab);
  EXPECT_EQ(Box(1)->text(), "10");  // raised to the minimum on leaving the box
  EXPECT_EQ(ip->Text(), "255.10.0.0");

  Box(2)->selectAll();
  QTest::keyClicks(Box(2), "007");
  QTest::keyClick(Box(2), Qt::Key_Backtab);
  EXPECT_EQ(Box(2)->text(), "7");
}

TEST_F(IpFieldTest, ArrowsAndBackspaceCrossBoxEdges) {
  ip->SetText("1.22.3.4");
  Focus(Box(1));
  Box(1)->setCursorPosition(0);
  QTest::keyClick(Box(1), Qt::Key_Left);
  ASSERT_EQ(Focused(), Box(0));
  EXPECT_EQ(Box(0)->cursorPosition(), 1);
  QTest::keyClick(Box(0), Qt::Key_Right);
  ASSERT_EQ(Focused(), Box(1));
  EXPECT_EQ(Box(1)->cursorPosition(), 0);
  QTest::keyClick(Box(1), Qt::Key_Backspace);
  ASSERT_EQ(Focused(), Box(0));
  QTest::keyClick(Box(0), Qt::Key_Backspace);
  EXPECT_EQ(ip->Text(), "0.22.3.4");
}

TEST(IpLook, BoxesShareTheFieldWithRoomForThreeDigits) {
  QWidget window;
  QFont font(QStringLiteral("MS Sans Serif"));
  font.setPixelSize(11);
  window.setFont(font);
  TJvIPAddress ip(&window);
  ip.setGeometry(64, 144, 177, 21);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  for (int i = 0; i < 4; ++i) {
    const QRect box = ip.OctetBox(i)->geometry();
    EXPECT_TRUE(ip.rect().contains(box)) << i;
    EXPECT_GE(box.height(), ip.OctetBox(i)->fontMetrics().height()) << i;
    EXPECT_GT(box.width(),
              ip.OctetBox(i)->fontMetrics().horizontalAdvance(QStringLiteral("255")) + 4)
        << i;
    if (i > 0) {
      EXPECT_GT(box.left(), ip.OctetBox(i - 1)->geometry().right() + 1) << "room for the dot";
    }
  }
}

}  // namespace
