#include "IntEdit.h"

#include <limits>

#include "FieldTestSupport.h"

namespace {

// The port field as the configuration window sets it up: no limits.
class IntEditTest : public FieldWindowTest {
 protected:
  void SetUp() override {
    port = new TIntEdit(&window);
    port->setGeometry(144, 176, 97, 21);
    other = new QLineEdit(&window);
    other->setGeometry(144, 200, 97, 21);
    QWidget::setTabOrder(port, other);
    ShowWindow();
    Focus(port);
  }

  void Leave() {
    QTest::keyClick(port, Qt::Key_Tab);
    ASSERT_TRUE(other->hasFocus());
  }

  TIntEdit* port = nullptr;
  QLineEdit* other = nullptr;
};

TEST_F(IntEditTest, StartsAtZero) {
  EXPECT_EQ(port->text(), "0");
  EXPECT_EQ(port->Value(), 0);
}

TEST_F(IntEditTest, LeavingPutsTheTextInNormalFormWithoutLimits) {
  Retype(port, "+0080");
  Leave();
  EXPECT_EQ(port->text(), "80");

  Retype(port, "70000");
  Leave();
  EXPECT_EQ(port->text(), "70000");
  EXPECT_EQ(port->Value(), 70000);

  Retype(port, "-1");
  Leave();
  EXPECT_EQ(port->Value(), -1);
  EXPECT_TRUE(alerts.sounds.empty());
}

TEST_F(IntEditTest, EmptyTextReadsAsDefaultAndStaysEmpty) {
  Retype(port, "");
  EXPECT_EQ(port->Value(), 0);
  Leave();
  EXPECT_EQ(port->text(), "");
}

TEST_F(IntEditTest, RefusesLettersWithASimpleBeep) {
  Retype(port, "8a0");
  EXPECT_EQ(port->text(), "80");
  EXPECT_EQ(alerts.sounds, std::vector{TAlertSound::asSimple});
  // Signs go anywhere while typing.
  QTest::keyClicks(port, "-+");
  EXPECT_EQ(port->text(), "80-+");
  EXPECT_EQ(alerts.sounds.size(), 1u);
}

TEST_F(IntEditTest, TextThatIsNoNumberIsKeptAndReported) {
  Retype(port, "1-2");
  Leave();
  EXPECT_EQ(port->text(), "1-2");
  EXPECT_EQ(port->TryValue(), std::nullopt);
  EXPECT_THROW(port->Value(), EIntEditValue);
  EXPECT_TRUE(port->hasFocus());  // the user is taken to the bad text

  QTest::keyClick(port, Qt::Key_Up);
  EXPECT_EQ(port->text(), "1-2");
  EXPECT_EQ(alerts.sounds, std::vector{TAlertSound::asSimple});

  port->setText("99999999999");
  EXPECT_EQ(port->TryValue(), std::nullopt);
}

TEST_F(IntEditTest, UpAndDownRewriteWithTheIncrement) {
  Retype(port, "+080");
  QTest::keyClick(port, Qt::Key_Up);
  EXPECT_EQ(port->text(), "80");
  Retype(port, "");
  QTest::keyClick(port, Qt::Key_Down);
  EXPECT_EQ(port->text(), "0");

  port->SetIncrement(5);
  port->SetValue(10);
  QTest::keyClick(port, Qt::Key_Up);
  EXPECT_EQ(port->text(), "15");
  QTest::keyClick(port, Qt::Key_Down);
  QTest::keyClick(port, Qt::Key_Down);
  EXPECT_EQ(port->text(), "5");

  // Stepping past the 32-bit range stops at its end instead of wrapping.
  port->SetValue(std::numeric_limits<std::int32_t>::max() - 2);
  QTest::keyClick(port, Qt::Key_Up);
  EXPECT_EQ(port->Value(), std::numeric_limits<std::int32_t>::max());
}

TEST(IntEditLimits, ClampOnWriteAndWhenALimitChanges) {
  TIntEdit edit;
  edit.SetValue(500);
  edit.SetMaxValue(100);
  EXPECT_EQ(edit.text(), "100");  // written back under the new limit
  edit.SetMinValue(10);
  EXPECT_EQ(edit.DefaultValue(), 10);  // the default follows the limits
  edit.SetValue(3);
  EXPECT_EQ(edit.text(), "10");
  edit.SetValue(1000);
  EXPECT_EQ(edit.text(), "100");

  edit.setText("");
  EXPECT_EQ(edit.Value(), 10);
  edit.SetMaxValue(50);
  EXPECT_EQ(edit.text(), "10");  // the empty text read as the default and was written back

  edit.setText("abc");
  edit.SetMaxValue(40);
  EXPECT_EQ(edit.text(), "abc");
  EXPECT_EQ(edit.MaxValue(), 40);
}

TEST(IntEditLimits, DefaultValueMustLieWithinTheLimits) {
  TIntEdit edit;
  edit.SetMaxValue(100);
  edit.SetDefaultValue(200);
  EXPECT_EQ(edit.DefaultValue(), 0);
  edit.SetDefaultValue(42);
  EXPECT_EQ(edit.DefaultValue(), 42);
  edit.setText("");
  EXPECT_EQ(edit.Value(), 42);

  TIntEdit unlimited;
  unlimited.SetDefaultValue(-70000);
  EXPECT_EQ(unlimited.DefaultValue(), -70000);
}

}  // namespace
