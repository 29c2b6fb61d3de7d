#include "RxSpinEdit.h"

#include <QSignalSpy>
#include <QToolButton>

#include "FieldTestSupport.h"
#include "IntEdit.h"

namespace {

// Counts the key presses that reach the window.
class KeyCounter : public QObject {
 public:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::KeyPress) keys.push_back(static_cast<QKeyEvent*>(event)->key());
    return false;
  }
  std::vector<int> keys;
};

// The address field as the configuration window sets it up, with a second
// control to leave it for.
class RxSpinEditTest : public FieldWindowTest {
 protected:
  void SetUp() override {
    spin = new TRxSpinEdit(&window);
    spin->setGeometry(170, 12, 105, 22);
    spin->SetMinValue(0);
    spin->SetMaxValue(255);
    spin->SetIncrement(1);
    spin->SetValue(2);
    other = new TIntEdit(&window);
    other->setGeometry(170, 40, 105, 22);
    QWidget::setTabOrder(spin, other);
    ShowWindow();
    Focus(spin);
  }

  void Leave() { QTest::keyClick(spin, Qt::Key_Tab); }

  TRxSpinEdit* spin = nullptr;
  TIntEdit* other = nullptr;
};

TEST_F(RxSpinEditTest, TypingNeverClampsButLeavingDoes) {
  Retype(spin, "300");
  EXPECT_EQ(spin->text(), "300");
  EXPECT_EQ(spin->TruncatedValue(), 300);  // a flow may still see it before the field is left
  Leave();
  EXPECT_TRUE(other->hasFocus());
  EXPECT_EQ(spin->text(), "255");

  Retype(spin, "-5");
  Leave();
  EXPECT_EQ(spin->text(), "0");
  EXPECT_TRUE(alerts.sounds.empty());
}

TEST_F(RxSpinEditTest, TextsThatDoNotParseStayOnLeaveAndReadAsZero) {
  Retype(spin, "");
  Leave();
  EXPECT_EQ(spin->text(), "");
  EXPECT_EQ(spin->TruncatedValue(), 0);

  Retype(spin, "-");
  Leave();
  EXPECT_EQ(spin->text(), "-");
  EXPECT_EQ(spin->Value(), 0);

  Retype(spin, "1-2");
  Leave();
  EXPECT_EQ(spin->text(), "1-2");
}

TEST_F(RxSpinEditTest, AnotherWindowTakingTheFocusIsNotLeaving) {
  Retype(spin, "300");
  QFocusEvent out(QEvent::FocusOut, Qt::ActiveWindowFocusReason);
  QApplication::sendEvent(spin, &out);
  EXPECT_EQ(spin->text(), "300");
}

TEST_F(RxSpinEditTest, ReadingNeitherClampsNorChangesTheText) {
  spin->setText("0300");
  EXPECT_EQ(spin->Value(), 300);
  EXPECT_EQ(spin->text(), "0300");
  spin->setText("$1F");  // hexadecimal text parses as well
  EXPECT_EQ(spin->TruncatedValue(), 31);
}

TEST_F(RxSpinEditTest, KeepsOnlySignsDigitsAndControlCharacters) {
  Retype(spin, "1a2");
  EXPECT_EQ(spin->text(), "12");
  ASSERT_EQ(alerts.sounds.size(), 1u);
  EXPECT_EQ(alerts.sounds[0], TAlertSound::asDefault);

  QTest::keyClicks(spin, ". ,x");
  EXPECT_EQ(spin->text(), "12");
  EXPECT_EQ(alerts.sounds.size(), 5u);

  QTest::keyClicks(spin, "+-");
  QTest::keyClick(spin, Qt::Key_Backspace);
  EXPECT_EQ(spin->text(), "12+");
  EXPECT_EQ(alerts.sounds.size(), 5u);
}

TEST_F(RxSpinEditTest, UpAndDownKeysStepWithinTheLimitsAndGoNoFurther) {
  KeyCounter counter;
  window.installEventFilter(&counter);
  QSignalSpy changes(spin, &QLineEdit::textChanged);

  QTest::keyClick(spin, Qt::Key_Up);
  EXPECT_EQ(spin->text(), "3");
  QTest::keyClick(spin, Qt::Key_Down);
  QTest::keyClick(spin, Qt::Key_Down);
  EXPECT_EQ(spin->text(), "1");
  EXPECT_EQ(changes.count(), 3);

  spin->SetValue(255);
  changes.clear();
  QTest::keyClick(spin, Qt::Key_Up);
  EXPECT_EQ(spin->text(), "255");
  EXPECT_EQ(changes.count(), 0);  // nothing changed, nothing notified

  spin->SetValue(0);
  QTest::keyClick(spin, Qt::Key_Down);
  EXPECT_EQ(spin->text(), "0");

  spin->setText("300");
  QTest::keyClick(spin, Qt::Key_Up);
  EXPECT_EQ(spin->text(), "255");

  spin->setText("");
  QTest::keyClick(spin, Qt::Key_Up);
  EXPECT_EQ(spin->text(), "1");

  EXPECT_TRUE(counter.keys.empty());
  EXPECT_TRUE(alerts.sounds.empty());
}

TEST_F(RxSpinEditTest, WithoutArrowKeysUpIsTheWindowsKey) {
  KeyCounter counter;
  window.installEventFilter(&counter);
  spin->SetArrowKeys(false);
  QTest::keyClick(spin, Qt::Key_Up);
  EXPECT_EQ(spin->text(), "2");
  EXPECT_EQ(counter.keys, std::vector<int>{Qt::Key_Up});
}

TEST_F(RxSpinEditTest, EnterAndEscapeReachTheWindowAndChangeNothing) {
  KeyCounter counter;
  window.installEventFilter(&counter);
  Retype(spin, "300");
  QTest::keyClick(spin, Qt::Key_Return);
  QTest::keyClick(spin, Qt::Key_Escape);
  EXPECT_EQ(spin->text(), "300");
  EXPECT_EQ(counter.keys, (std::vector<int>{Qt::Key_Return, Qt::Key_Escape}));
  EXPECT_TRUE(alerts.sounds.empty());
}

TEST_F(RxSpinEditTest, ArrowButtonTakesTheFocusFirstThenSteps) {
  other->setText("+080");
  Focus(other);
  QTest::mouseClick(spin->UpButton(), Qt::LeftButton);
  EXPECT_TRUE(spin->hasFocus());
  EXPECT_EQ(other->text(), "80");  // the port field was left
  EXPECT_EQ(spin->text(), "3");
  QTest::mouseClick(spin->DownButton(), Qt::LeftButton);
  QTest::mouseClick(spin->DownButton(), Qt::LeftButton);
  EXPECT_EQ(spin->text(), "1");
}

TEST_F(RxSpinEditTest, ReadOnlyFieldOnlyBeepsWhenStepped) {
  spin->SetReadOnly(true);
  QTest::keyClick(spin, Qt::Key_Up);
  QTest::mouseClick(spin->UpButton(), Qt::LeftButton);
  QTest::keyClicks(spin, "7");
  EXPECT_EQ(spin->text(), "2");
  EXPECT_EQ(alerts.sounds, (std::vector{TAlertSound::asDefault, TAlertSound::asDefault}));
}

TEST_F(RxSpinEditTest, DisabledEditorStillSteps) {
  spin->SetEditorEnabled(false);
  QTest::keyClicks(spin, "7");
  QTest::keyClick(spin, Qt::Key_Backspace);
  EXPECT_EQ(spin->text(), "2");
  EXPECT_EQ(alerts.sounds.size(), 1u);
  QTest::keyClick(spin, Qt::Key_Up);
  EXPECT_EQ(spin->text(), "3");
}

TEST(RxSpinEditValue, ClampsOnWriteUnlessTheLimitsAreEqual) {
  TRxSpinEdit spin;
  spin.SetMinValue(0);
  spin.SetMaxValue(255);
  spin.SetValue(1000);
  EXPECT_EQ(spin.text(), "255");
  spin.SetValue(-3);
  EXPECT_EQ(spin.text(), "0");
  spin.SetValue(41.6L);
  EXPECT_EQ(spin.text(), "42");

  spin.SetMaxValue(0);
  spin.SetValue(1000);
  EXPECT_EQ(spin.text(), "1000");
  spin.SetValue(-1e12L);
  EXPECT_EQ(spin.text(), "-1000000000000");
  EXPECT_EQ(spin.TruncatedValue(), 0);  // beyond 32 bits the text no longer parses
  spin.SetValueType(vtFloat);
  spin.SetValue(-1e12L);
  EXPECT_EQ(spin.TruncatedValue(), std::numeric_limits<std::int32_t>::min());
}

TEST(RxSpinEditValue, FailedTextReadsAsMinValueTruncated) {
  TRxSpinEdit spin;
  spin.SetMinValue(-7.9L);
  spin.SetMaxValue(10);
  spin.setText("abc");
  EXPECT_EQ(spin.Value(), -7);
  EXPECT_EQ(spin.TruncatedValue(), -7);
}

TEST(RxSpinEditValue, HexAndFloatKinds) {
  TRxSpinEdit spin;
  spin.SetValue(255);
  spin.SetValueType(vtHex);
  EXPECT_EQ(spin.text(), "FF");
  spin.setText("1a");
  EXPECT_EQ(spin.Value(), 26);

  spin.SetValueType(vtFloat);
  EXPECT_EQ(spin.text(), "26");
  spin.SetValue(2.5L);
  EXPECT_EQ(spin.text(), "2.5");
  spin.setText(" 1e3");
  EXPECT_EQ(spin.Value(), 1000);
  for (const char* refused : {"1,5", "+-5", "inf", "1e5000"}) {
    spin.setText(refused);
    EXPECT_EQ(spin.Value(), 0) << refused;
  }
}

TEST(RxSpinEditLook, ArrowsSitInsideTheFieldBesideTheText) {
  QWidget window;
  QFont font(QStringLiteral("Arial"));
  font.setPixelSize(11);
  window.setFont(font);
  TRxSpinEdit spin(&window);
  spin.setGeometry(170, 12, 105, 22);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  const QRect up = spin.UpButton()->geometry();
  const QRect down = spin.DownButton()->geometry();
  EXPECT_TRUE(spin.rect().contains(up));
  EXPECT_TRUE(spin.rect().contains(down));
  EXPECT_EQ(up.bottom() + 1, down.top());
  EXPECT_GE(up.height(), 8);
  EXPECT_LE(std::abs(up.height() - down.height()), 1);
  EXPECT_GE(spin.textMargins().right(), up.width());
  // "255" must fit the room the arrows leave.
  EXPECT_GT(up.left() - spin.fontMetrics().horizontalAdvance(QStringLiteral("255")), 20);
}

}  // namespace
