#include "JvIPAddress.h"

#include <QClipboard>
#include <QMenu>
#include <QSignalSpy>

#include <map>
#include <string>

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

// Typing as operators do: keys in one go, after the focus came into the field in one of the
// usual ways, from whatever the field held before.
// Keys sent here reach whatever widget holds the focus when each key arrives.
QWidget* const kFocused = nullptr;

enum class Entry {
  Tab,        // Tab from the control before: the first box's text is selected
  Click,      // a click into the first box: the cursor stands in its text
  SelectAll,  // a click, then Ctrl+A: the first box's text is selected
};

struct TypedCase {
  const char* before;
  Entry entry;
  // Characters, and keys in angle brackets: <BS> <Left> <Right> <Home> <End> <Tab>.
  const char* keys;
  const char* text;
  int focus;  // box 0 to 3 holding the focus afterwards; 4 is the control after the field
  int alerts = 0;
};

void PrintTo(const TypedCase& c, std::ostream* os) {
  const char* entries[] = {"Tab", "Click", "SelectAll"};
  *os << c.before << " " << entries[int(c.entry)] << " \"" << c.keys << '"';
}

class IpTyping : public IpFieldTest, public ::testing::WithParamInterface<TypedCase> {
 protected:
  void Enter(Entry entry) {
    switch (entry) {
      case Entry::Tab:
        Focus(before);
        QTest::keyClick(before, Qt::Key_Tab);
        break;
      case Entry::Click:
        QTest::mouseClick(Box(0), Qt::LeftButton, {}, Box(0)->rect().center());
        break;
      case Entry::SelectAll:
        QTest::mouseClick(Box(0), Qt::LeftButton, {}, Box(0)->rect().center());
        QTest::keyClick(kFocused, Qt::Key_A, Qt::ControlModifier);
        break;
    }
    ASSERT_EQ(Focused(), Box(0));
  }

  // Each key goes to the window, which hands it to whatever holds the focus by then.
  static void Press(const std::string& keys) {
    static const std::map<std::string, Qt::Key> named = {
        {"BS", Qt::Key_Backspace}, {"Left", Qt::Key_Left}, {"Right", Qt::Key_Right},
        {"Home", Qt::Key_Home},    {"End", Qt::Key_End},   {"Tab", Qt::Key_Tab}};
    for (std::size_t i = 0; i < keys.size(); ++i) {
      if (keys[i] == '<') {
        const std::size_t close = keys.find('>', i);
        QTest::keyClick(kFocused, named.at(keys.substr(i + 1, close - i - 1)));
        i = close;
      } else {
        QTest::keyClick(kFocused, keys[i]);
      }
    }
  }

  int FocusedBox() const {
    for (int i = 0; i < 4; ++i)
      if (Focused() == Box(i)) return i;
    return Focused() == after ? 4 : -1;
  }
};

TEST_P(IpTyping, GivesTheAddressTyped) {
  const TypedCase& c = GetParam();
  ip->SetText(c.before);
  Enter(c.entry);
  Press(c.keys);
  EXPECT_EQ(ip->Text(), c.text);
  TJvIPAddress reference;
  reference.SetText(c.text);
  EXPECT_EQ(ip->AddressValues(), reference.AddressValues());
  EXPECT_EQ(FocusedBox(), c.focus);
  EXPECT_EQ(alerts.sounds.size(), std::size_t(c.alerts));
}

// The four addresses of everyday typing, from each entry and over old contents.
std::vector<TypedCase> EverydayAddresses() {
  std::vector<TypedCase> cases;
  for (const char* address : {"192.168.1.20", "192.168.100.200", "10.1.20.254", "1.2.3.4"}) {
    for (Entry entry : {Entry::Tab, Entry::Click, Entry::SelectAll})
      cases.push_back({"0.0.0.0", entry, address, address, 3});
    for (const char* before : {"10.20.30.40", "255.255.255.255", "192.168.1.10"}) {
      cases.push_back({before, Entry::Tab, address, address, 3});
      cases.push_back({before, Entry::SelectAll, address, address, 3});
    }
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Everyday, IpTyping, ::testing::ValuesIn(EverydayAddresses()));

INSTANTIATE_TEST_SUITE_P(
    Keys, IpTyping,
    ::testing::Values(
        // A dot right after a box was entered by auto-advance or by a dot does nothing.
        TypedCase{"0.0.0.0", Entry::Tab, "192.", "192.0.0.0", 1},
        TypedCase{"0.0.0.0", Entry::Tab, "1..2", "1.2.0.0", 1},
        TypedCase{"5.6.7.8", Entry::Tab, "192...", "192.6.7.8", 1},
        // A dot in a box that holds digits moves on; in the last box there is nowhere to go.
        TypedCase{"5.6.7.8", Entry::Tab, ".", "5.6.7.8", 1},
        TypedCase{"0.0.0.0", Entry::Tab, "1.2.3.4.", "1.2.3.4", 3},
        // A space is a dot.
        TypedCase{"0.0.0.0", Entry::Tab, "10 20 30 40", "10.20.30.40", 3},
        // Digits alone fill the boxes in turn, three each; typed zeros count.
        TypedCase{"0.0.0.0", Entry::Tab, "1921680120", "192.168.12.0", 3},
        TypedCase{"0.0.0.0", Entry::Tab, "192168001020", "192.168.1.20", 3},
        // Over the maximum: the maximum, with the alert, on auto-advance or leaving.
        TypedCase{"0.0.0.0", Entry::Tab, "300", "255.0.0.0", 1, 1},
        TypedCase{"0.0.0.0", Entry::Tab, "255", "255.0.0.0", 1, 0},
        TypedCase{"0.0.0.0", Entry::Tab, "256", "255.0.0.0", 1, 1},
        TypedCase{"0.0.0.0", Entry::Tab, "1.2.3.999", "1.2.3.255", 3, 1},
        // A full last box takes no more digits.
        TypedCase{"0.0.0.0", Entry::Tab, "1.2.3.2545", "1.2.3.254", 3, 1},
        // Other characters are refused.
        TypedCase{"0.0.0.0", Entry::Tab, "12a3", "123.0.0.0", 1, 1},
        TypedCase{"0.0.0.0", Entry::Tab, "1,2", "12.0.0.0", 0, 1},
        // Left and Right cross box edges; Home and End go to the first and last box.
        TypedCase{"0.0.0.0", Entry::Tab, "192<Left><End><Home><End><Left><Left><Left>", "192.0.0.0",
                  2},
        // A digit at the end of a full box starts the next one.
        TypedCase{"0.0.0.0", Entry::Tab, "192<Left><Left>5", "192.5.0.0", 1},
        // Typed into the middle, a value over the maximum reads as the maximum at once and
        // shows as it once the box is left.
        TypedCase{"10.20.30.40", Entry::Tab, "<Right><Right>5", "10.255.30.40", 1},
        TypedCase{"10.20.30.40", Entry::Tab, "<Right><Right>5<Tab>", "10.255.30.40", 2, 1},
        // Backspace in an empty box goes to the end of the previous box.
        TypedCase{"0.0.0.0", Entry::Tab, "192<BS><BS><BS>5", "195.0.0.0", 1},
        TypedCase{"1.2.3.4", Entry::Tab, "<End><BS><BS><BS>9", "1.2.9.0", 2},
        // Home and End select nothing: typing there inserts.
        TypedCase{"1.2.3.4", Entry::Tab, "<End>5", "1.2.3.45", 3},
        TypedCase{"1.2.3.4", Entry::Tab, "<End><Home>7", "71.2.3.4", 0},
        // Tab through the boxes selects each box's text, so typing replaces it.
        TypedCase{"11.22.33.44", Entry::Tab, "<Tab>5<Tab>6", "11.5.6.44", 2},
        TypedCase{"11.22.33.44", Entry::Tab, "<Tab><Tab><Tab><Tab>", "11.22.33.44", 4}));

TEST_F(IpFieldTest, KeypadDecimalKeyIsTheDotEvenWhereItTypesAComma) {
  ip->setFocus(Qt::TabFocusReason);
  QTest::keyClicks(kFocused, "10");
  QTest::keyClick(kFocused, Qt::Key_Comma, Qt::KeypadModifier);
  QTest::keyClick(kFocused, Qt::Key_1, Qt::KeypadModifier);
  QTest::keyClick(kFocused, Qt::Key_Period, Qt::KeypadModifier);
  QTest::keyClick(kFocused, Qt::Key_2, Qt::KeypadModifier);
  EXPECT_EQ(ip->Text(), "10.1.2.0");
  EXPECT_EQ(Focused(), Box(2));
  EXPECT_TRUE(alerts.sounds.empty());
}

// Pasting: a dotted address sets the whole field, digits are typed.
TEST_F(IpFieldTest, PastedAddressSetsTheWholeFieldAndDigitsAreTyped) {
  QClipboard* clipboard = QGuiApplication::clipboard();
  ip->SetText("9.9.9.9");
  Focus(Box(2));
  clipboard->setText(QStringLiteral(" 192.168.100.200\n"));
  QTest::keyClick(kFocused, Qt::Key_V, Qt::ControlModifier);
  EXPECT_EQ(ip->Text(), "192.168.100.200");
  EXPECT_EQ(Focused(), Box(2));

  clipboard->setText(QStringLiteral("10.1.2"));  // by the text-write rule
  QTest::keyClick(kFocused, Qt::Key_Insert, Qt::ShiftModifier);
  EXPECT_EQ(ip->Text(), "10.1.2.0");

  // Digits are typed into the box with the focus, selection and auto-advance included.
  ip->SetText("1.2.3.4");
  Box(1)->setFocus(Qt::TabFocusReason);
  Box(1)->selectAll();
  clipboard->setText(QStringLiteral("1682"));
  QTest::keyClick(kFocused, Qt::Key_V, Qt::ControlModifier);
  EXPECT_EQ(ip->Text(), "1.168.2.4");
  EXPECT_EQ(Focused(), Box(2));
  EXPECT_TRUE(alerts.sounds.empty());

  clipboard->setText(QStringLiteral("x"));
  QTest::keyClick(kFocused, Qt::Key_V, Qt::ControlModifier);
  EXPECT_EQ(ip->Text(), "1.168.2.4");
  EXPECT_EQ(alerts.sounds.size(), 1u);
}

TEST_F(IpFieldTest, ContextMenuPasteGoesThroughTheField) {
  ip->SetText("9.9.9.9");
  Focus(Box(3));
  QGuiApplication::clipboard()->setText(QStringLiteral("172.16.5.6"));
  QContextMenuEvent menuEvent(QContextMenuEvent::Mouse, Box(3)->rect().center(),
                              Box(3)->mapToGlobal(Box(3)->rect().center()));
  QApplication::sendEvent(Box(3), &menuEvent);
  QMenu* menu = nullptr;
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* m = qobject_cast<QMenu*>(w); m && m->isVisible()) menu = m;
  ASSERT_NE(menu, nullptr);
  QAction* paste = nullptr;
  for (QAction* a : menu->actions())
    if (a->text().startsWith(QLatin1String("&Paste"))) paste = a;
  ASSERT_NE(paste, nullptr);
  paste->trigger();
  menu->close();
  EXPECT_EQ(ip->Text(), "172.16.5.6");
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
