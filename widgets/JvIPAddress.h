// IP-address field: four octet boxes in a row with dots between them, used for
// the device's IP address.
#pragma once

#include <QElapsedTimer>
#include <QLineEdit>
#include <QPoint>
#include <QString>
#include <QWidget>
#include <array>
#include <cstdint>
#include <optional>
#include <utility>

struct TJvIPAddressValues {
  std::uint8_t Value1 = 0;
  std::uint8_t Value2 = 0;
  std::uint8_t Value3 = 0;
  std::uint8_t Value4 = 0;

  // The first octet in the most significant byte.
  std::uint32_t Address() const;
  void SetAddress(std::uint32_t address);
  bool operator==(const TJvIPAddressValues&) const = default;
};

// The values each box accepts while the user types.
struct TJvIPAddressRange {
  std::uint8_t Field1Min = 0, Field1Max = 255;
  std::uint8_t Field2Min = 0, Field2Max = 255;
  std::uint8_t Field3Min = 0, Field3Max = 255;
  std::uint8_t Field4Min = 0, Field4Max = 255;

  // Box 0 to 3.
  std::uint8_t Min(int box) const;
  std::uint8_t Max(int box) const;
  bool operator==(const TJvIPAddressRange&) const = default;
};

class TJvIPAddress;

// One octet box: digits only, at most three of them. What a key or a click does here, beyond
// moving the cursor inside the box, the field decides. The box takes the focus by Tab only;
// a click is given it by the field, which must know whether the focus was already inside.
class TJvIPOctetEdit : public QLineEdit {
  Q_OBJECT

 public:
  TJvIPOctetEdit(TJvIPAddress* owner, int index);

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void inputMethodEvent(QInputMethodEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  bool focusNextPrevChild(bool next) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  friend class TJvIPAddress;

  // The end of this box's selection that stays put while it is extended.
  int SelectionAnchor() const;

  TJvIPAddress* owner_;  // null once the field is being destroyed
  int index_;
  // Entered by auto-advance or by a dot, and nothing typed since: its old text is only
  // waiting to be replaced, so a dot here must not move on again.
  bool justReached_ = false;
  // Digits typed since the box was entered. Until then a lone 0 is only what an empty box
  // shows, and the first digit takes its place.
  bool typed_ = false;
  // The press gave the field the focus and selected this box's text: the pointer's small
  // slips before the release must not shrink that selection.
  bool pressEntered_ = false;
  QPoint pressAt_;
  int dragAnchor_ = 0;  // where the press put the cursor: the fixed end of a drag
};

class TJvIPAddress : public QWidget {
  Q_OBJECT

 public:
  explicit TJvIPAddress(QWidget* parent = nullptr);
  ~TJvIPAddress() override;

  // The four octets as the boxes hold them, joined by "."; a blank box is 0.
  QString Text() const;
  // Never fails: each dot-separated part goes through ParseInteger (0 where
  // it fails) and keeps its low eight bits; a fourth part takes the rest.
  void SetText(const QString& text);

  TJvIPAddressValues AddressValues() const;
  void SetAddressValues(const TJvIPAddressValues& values);

  TJvIPAddressRange Range() const { return range_; }
  void SetRange(const TJvIPAddressRange& range) { range_ = range; }

  bool TabThroughFields() const { return tabThroughFields_; }
  void SetTabThroughFields(bool on) { tabThroughFields_ = on; }

  // Box 0 (first octet, leftmost) to 3.
  TJvIPOctetEdit* OctetBox(int index) const { return boxes_[index]; }

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 signals:
  // The text changed, by typing or by SetText; once per change.
  void Change();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;

 private:
  friend class TJvIPOctetEdit;

  // Typing, one character at a time, into box `box`; returns the box the next character goes
  // to. Digits fill the box and pass on after the third, "." and space close a filled box,
  // anything else is refused with the alert sound.
  int Type(int box, QChar c);
  // A dotted address replaces the whole field by the text-write rule; anything else is typed.
  void Paste(int box, const QString& text);
  // Leaving a box: its normal form, brought into its range (with the alert when that changed
  // the value).
  void Settle(int box);
  // Puts the focus into a box with its whole text selected.
  void Enter(int box, Qt::FocusReason reason, bool justReached);
  // Puts the focus into a box with the cursor at its start or end.
  void Place(int box, bool atEnd);

  // A place between two characters of the address: a box and a cursor position in it.
  struct Spot {
    int box;
    int pos;
  };
  // Selects from `anchor` to `active`, across the dots when they lie in different boxes; the
  // focus and the cursor go to `active`.
  void SelectSpan(Spot anchor, Spot active);
  void SelectWhole();
  // Extends the focused box's selection, or the selection across boxes, to `active`.
  void ExtendTo(int box, Spot active);
  // Forgets a selection across boxes; only the focused box keeps its own.
  void Collapse();
  // Removes the text selected across boxes, one change; the cursor goes where it began.
  Spot ClearSpan();
  QString SpanText() const;
  // What a key does while a selection crosses boxes; false leaves the key to the box.
  bool SpanKey(int box, QKeyEvent* event);
  // Typed or committed text, over a selection across boxes if there is one.
  void TypeText(int box, const QString& text);
  // The press of a click at `at` (field coordinates) that lands on box `box`; false leaves
  // the press to the box's own handling.
  bool Press(int box, QMouseEvent* event, QPoint at);
  bool HasFocusInside() const;
  int BoxAt(int x) const;

  std::uint8_t BoxOctet(int index) const;
  void SetOctets(const std::array<std::uint8_t, 4>& octets);
  bool FocusOutside(bool next);
  int FrameWidth() const;
  int DotWidth() const;
  void LayoutBoxes();

  std::array<TJvIPOctetEdit*, 4> boxes_{};
  TJvIPAddressRange range_;
  bool tabThroughFields_ = true;
  // Set while a selection runs across the dots: its fixed end, then its moving end.
  std::optional<std::pair<Spot, Spot>> span_;
  // The last double click, so that a third click in time selects the whole address.
  QElapsedTimer doubleClicked_;
  QPoint doubleClickAt_;
};
