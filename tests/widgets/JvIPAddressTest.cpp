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
  Tab,                // Tab from the control before: the first box's text is selected
  ShiftTab,           // Shift+Tab from the control after: the last box's text is selected
  Click,              // a click into the middle of the first box's digits
  ClickLeftEdge,      // a click at the first box's left edge
  ClickAfterDigits,   // a click to the right of the first box's digits
  ClickGap,           // a click on the dot after the first box
  ClickOtherBox,      // a click into the third box
  ClickWhileFocused,  // Tab in, then a click into the middle of the first box's digits
  SelectAll,          // a click into the second box, then Ctrl+A
  DoubleClick,        // a double click on the first box
  TripleClick,        // a triple click on the second box
  MenuSelectAll,      // "select all" from the third box's context menu
};

const char* const kEntryNames[] = {"Tab",           "ShiftTab",          "Click",
                                   "ClickLeftEdge", "ClickAfterDigits",  "ClickGap",
                                   "ClickOtherBox", "ClickWhileFocused", "SelectAll",
                                   "DoubleClick",   "TripleClick",       "MenuSelectAll"};

struct TypedCase {
  const char* before;
  Entry entry;
  // Characters, and keys in angle brackets: <BS> <Del> <Left> <Right> <Home> <End> <Tab>, and
  // with Shift held: <S-Left> <S-Right> <S-Home> <S-End>.
  const char* keys;
  const char* text;
  int focus;  // box 0 to 3 holding the focus afterwards; 4 is the control after the field
  int alerts = 0;
};

void PrintTo(const TypedCase& c, std::ostream* os) {
  *os << c.before << " " << kEntryNames[int(c.entry)] << " \"" << c.keys << '"';
}

// A double click as the platform delivers it: the second press comes before the double click.
void DoubleClick(QWidget* w, QPoint at) {
  QTest::mouseClick(w, Qt::LeftButton, {}, at);
  QTest::mousePress(w, Qt::LeftButton, {}, at);
  QTest::mouseDClick(w, Qt::LeftButton, {}, at);
  QTest::mouseRelease(w, Qt::LeftButton, {}, at);
}

// Opens the box's context menu and triggers the action with that caption.
void TriggerMenuAction(QLineEdit* box, const char* caption) {
  // The right button's press comes first, as from the mouse.
  QTest::mouseClick(box, Qt::RightButton, {}, box->rect().center());
  QContextMenuEvent menuEvent(QContextMenuEvent::Mouse, box->rect().center(),
                              box->mapToGlobal(box->rect().center()));
  QApplication::sendEvent(box, &menuEvent);
  QMenu* menu = nullptr;
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* m = qobject_cast<QMenu*>(w); m && m->isVisible()) menu = m;
  ASSERT_NE(menu, nullptr);
  QAction* action = nullptr;
  for (QAction* a : menu->actions())
    if (a->text().section(QLatin1Char('\t'), 0, 0) == QLatin1String(caption)) action = a;
  ASSERT_NE(action, nullptr) << caption;
  // As a pick from the menu: the menu closes, the window has its focus back, the action runs.
  menu->close();
  action->trigger();
  // The popup's own activation and its end are delivered late here; let them pass.
  QCoreApplication::processEvents();
  box->window()->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(box->window()));
}

class IpTyping : public IpFieldTest, public ::testing::WithParamInterface<TypedCase> {
 protected:
  QPoint Middle(int i) const { return Box(i)->rect().center(); }

  void Enter(Entry entry) {
    const int h = Box(0)->height() / 2;
    int expected = 0;
    // Each way in starts with the focus in another control.
    Focus(entry == Entry::ShiftTab ? after : before);
    switch (entry) {
      case Entry::Tab:
        QTest::keyClick(before, Qt::Key_Tab);
        break;
      case Entry::ShiftTab:
        QTest::keyClick(after, Qt::Key_Backtab);
        expected = 3;
        break;
      case Entry::Click:
        QTest::mouseClick(Box(0), Qt::LeftButton, {}, Middle(0));
        break;
      case Entry::ClickLeftEdge:
        QTest::mouseClick(Box(0), Qt::LeftButton, {}, QPoint(1, h));
        break;
      case Entry::ClickAfterDigits:
        QTest::mouseClick(Box(0), Qt::LeftButton, {}, QPoint(Box(0)->width() - 2, h));
        break;
      case Entry::ClickGap: {
        const QPoint dot = Box(0)->geometry().topRight() + QPoint(2, h);
        QTest::mouseClick(ip, Qt::LeftButton, {}, dot);
        break;
      }
      case Entry::ClickOtherBox:
        QTest::mouseClick(Box(2), Qt::LeftButton, {}, Middle(2));
        expected = 2;
        break;
      case Entry::ClickWhileFocused:
        QTest::keyClick(before, Qt::Key_Tab);
        QTest::mouseClick(Box(0), Qt::LeftButton, {}, Middle(0));
        break;
      case Entry::SelectAll:
        QTest::mouseClick(Box(1), Qt::LeftButton, {}, Middle(1));
        QTest::keyClick(kFocused, Qt::Key_A, Qt::ControlModifier);
        break;
      case Entry::DoubleClick:
        DoubleClick(Box(0), Middle(0));
        break;
      case Entry::TripleClick:
        DoubleClick(Box(1), Middle(1));
        QTest::mouseClick(Box(1), Qt::LeftButton, {}, Middle(1));
        break;
      case Entry::MenuSelectAll:
        TriggerMenuAction(Box(2), "Select All");
        break;
    }
    ASSERT_EQ(Focused(), Box(expected));
  }

  // Each key goes to the window, which hands it to whatever holds the focus by then.
  static void Press(const std::string& keys) {
    static const std::map<std::string, Qt::Key> named = {
        {"BS", Qt::Key_Backspace}, {"Del", Qt::Key_Delete}, {"Left", Qt::Key_Left},
        {"Right", Qt::Key_Right},  {"Home", Qt::Key_Home},  {"End", Qt::Key_End},
        {"Tab", Qt::Key_Tab}};
    for (std::size_t i = 0; i < keys.size(); ++i) {
      if (keys[i] == '<') {
        const std::size_t close = keys.find('>', i);
        std::string name = keys.substr(i + 1, close - i - 1);
        Qt::KeyboardModifiers mods;
        if (name.rfind("S-", 0) == 0) {
          mods = Qt::ShiftModifier;
          name.erase(0, 2);
        }
        QTest::keyClick(kFocused, named.at(name), mods);
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
  ASSERT_NO_FATAL_FAILURE(Enter(c.entry));
  Press(c.keys);
  EXPECT_EQ(ip->Text(), c.text);
  TJvIPAddress reference;
  reference.SetText(c.text);
  EXPECT_EQ(ip->AddressValues(), reference.AddressValues());
  EXPECT_EQ(FocusedBox(), c.focus);
  EXPECT_EQ(alerts.sounds.size(), std::size_t(c.alerts));
}

// Everyday addresses typed over old contents, after every way in that puts the typing at the
// start of the address: what was typed is what the field holds.
std::vector<TypedCase> EverydayAddresses() {
  std::vector<TypedCase> cases;
  for (const char* address : {"10.20.30.40", "172.16.5.9", "8.8.4.4", "192.168.100.200"}) {
    for (const char* before : {"0.0.0.0", "192.168.7.33", "255.255.255.255"}) {
      for (Entry entry : {Entry::Tab, Entry::Click, Entry::ClickLeftEdge, Entry::ClickAfterDigits,
                          Entry::ClickGap, Entry::SelectAll, Entry::DoubleClick, Entry::TripleClick,
                          Entry::MenuSelectAll})
        cases.push_back({before, entry, address, address, 3});
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
        TypedCase{"11.22.33.44", Entry::Tab, "<Tab><Tab><Tab><Tab>", "11.22.33.44", 4},
        // Entered from the end, the last box is replaced; a digit with nowhere to go is refused.
        TypedCase{"192.168.7.33", Entry::ShiftTab, "7", "192.168.7.7", 3},
        TypedCase{"192.168.7.33", Entry::ShiftTab, "10.20", "192.168.7.102", 3, 1},
        TypedCase{"1.2.3.254", Entry::Tab, "<End>7", "1.2.3.254", 3, 1},
        // A click on a later box starts the typing there.
        TypedCase{"192.168.7.33", Entry::ClickOtherBox, "5.6", "192.168.5.6", 3},
        // A click while the field has the focus places the cursor: a full box takes no digit
        // in its middle.
        TypedCase{"192.168.7.33", Entry::ClickWhileFocused, "1", "192.168.7.33", 0, 1},
        // The whole address selected: Backspace and Delete empty it, typing starts over.
        TypedCase{"192.168.7.33", Entry::SelectAll, "<BS>", "0.0.0.0", 0},
        TypedCase{"192.168.7.33", Entry::TripleClick, "<Del>9", "9.0.0.0", 0},
        TypedCase{"192.168.7.33", Entry::SelectAll, "1.2", "1.2.0.0", 1},
        // Arrows end the selection at its start or end.
        TypedCase{"192.168.7.33", Entry::SelectAll, "<Left>5", "192.168.7.33", 0, 1},
        TypedCase{"192.168.7.3", Entry::SelectAll, "<Right>5", "192.168.7.35", 3},
        // Shift with the arrows selects across the dots; typing replaces that, Backspace and
        // Delete remove it.
        TypedCase{"192.168.7.33", Entry::Tab, "<Home><Right><S-Right><S-Right><S-Right><S-Right>5",
                  "15.68.7.33", 0},
        TypedCase{"192.168.7.33", Entry::Tab,
                  "<Home><Right><S-Right><S-Right><S-Right><S-Right><Del>", "1.68.7.33", 0},
        TypedCase{"192.168.7.33", Entry::Tab, "<End><S-Left><S-Left><S-Left><S-Left><BS>9",
                  "192.168.9.0", 2},
        TypedCase{"192.168.7.33", Entry::Tab, "<Tab><Tab><S-Home>1", "1.0.7.33", 0},
        TypedCase{"192.168.7.33", Entry::Tab, "<Home><S-End><S-Left><S-Left>4", "4.0.0.33", 0},
        TypedCase{"192.168.7.33", Entry::Tab, "<Home><S-Right><S-Left>7", "192.168.7.33", 0, 1}));

// The boxes' selections, joined as the field shows them ("192||7|" for a drag over 168.7).
std::string Selections(const TJvIPAddress& ip) {
  std::string shown;
  for (int i = 0; i < 4; ++i)
    shown += (i ? "|" : "") + ip.OctetBox(i)->selectedText().toStdString();
  return shown;
}

TEST_F(IpFieldTest, MouseDragSelectsAcrossTheDotsAndASlipDoesNot) {
  ip->SetText("192.168.7.33");
  Focus(before);
  // A press that brings the focus in, a slip of one pixel, the release: the box stays selected.
  const QPoint middle = Box(1)->rect().center();
  QTest::mousePress(Box(1), Qt::LeftButton, {}, middle);
  QTest::mouseMove(Box(1), middle + QPoint(1, 0));
  QTest::mouseRelease(Box(1), Qt::LeftButton, {}, middle + QPoint(1, 0));
  EXPECT_EQ(Selections(*ip), "|168||");

  // From the second box's left edge to the end of the third: typing replaces both.
  Focus(before);
  const int h = Box(1)->height() / 2;
  QTest::mousePress(Box(1), Qt::LeftButton, {}, QPoint(1, h));
  const QPoint end = Box(2)->geometry().topRight() - Box(1)->geometry().topLeft() + QPoint(-1, h);
  QTest::mouseMove(Box(1), end);
  QTest::mouseRelease(Box(1), Qt::LeftButton, {}, end);
  EXPECT_EQ(Selections(*ip), "|168|7|");
  EXPECT_EQ(Focused(), Box(2));
  QTest::keyClicks(kFocused, "5.6");
  EXPECT_EQ(ip->Text(), "192.5.6.33");
  EXPECT_EQ(Focused(), Box(2));
  EXPECT_TRUE(alerts.sounds.empty());
}

TEST_F(IpFieldTest, WholeAddressIsCopiedAndPastedOver) {
  QClipboard* clipboard = QGuiApplication::clipboard();
  ip->SetText("192.168.7.33");
  Focus(Box(2));
  QTest::keyClick(kFocused, Qt::Key_A, Qt::ControlModifier);
  EXPECT_EQ(Selections(*ip), "192|168|7|33");
  QTest::keyClick(kFocused, Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(clipboard->text(), "192.168.7.33");

  // The right button leaves the selection for the menu to work on.
  clipboard->clear();
  ASSERT_NO_FATAL_FAILURE(TriggerMenuAction(Box(3), "&Copy"));
  EXPECT_EQ(clipboard->text(), "192.168.7.33");

  // Digits pasted over it start the address anew.
  QTest::keyClick(kFocused, Qt::Key_A, Qt::ControlModifier);
  clipboard->setText(QStringLiteral("10"));
  QTest::keyClick(kFocused, Qt::Key_V, Qt::ControlModifier);
  EXPECT_EQ(ip->Text(), "10.0.0.0");
  EXPECT_EQ(Focused(), Box(0));

  ip->SetText("192.168.7.33");
  QTest::keyClick(kFocused, Qt::Key_A, Qt::ControlModifier);
  ASSERT_NO_FATAL_FAILURE(TriggerMenuAction(Box(1), "Delete"));
  EXPECT_EQ(ip->Text(), "0.0.0.0");
  EXPECT_EQ(Selections(*ip), "|||");
}

TEST_F(IpFieldTest, LeavingEndsTheSelectionAndAClickComingBackSelectsOneBox) {
  ip->SetText("192.168.7.33");
  Focus(Box(1));
  QTest::keyClick(kFocused, Qt::Key_A, Qt::ControlModifier);
  QTest::mouseClick(after, Qt::LeftButton);
  ASSERT_EQ(Focused(), after);
  EXPECT_EQ(Selections(*ip), "|||");

  QTest::mouseClick(Box(3), Qt::LeftButton, {}, QPoint(1, Box(3)->height() / 2));
  ASSERT_EQ(Focused(), Box(3));
  EXPECT_EQ(Selections(*ip), "|||33");
  // A second click, now that the field has the focus, places the cursor where it falls.
  QTest::mouseClick(Box(3), Qt::LeftButton, {}, QPoint(1, Box(3)->height() / 2));
  EXPECT_EQ(Selections(*ip), "|||");
  EXPECT_EQ(Box(3)->cursorPosition(), 0);
  // Shift and a click on another box select from the cursor to there.
  QTest::mouseClick(Box(1), Qt::LeftButton, Qt::ShiftModifier, QPoint(1, Box(1)->height() / 2));
  EXPECT_EQ(Selections(*ip), "|168|7|");
  EXPECT_EQ(Focused(), Box(1));
}

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
  ASSERT_NO_FATAL_FAILURE(TriggerMenuAction(Box(3), "&Paste"));
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
