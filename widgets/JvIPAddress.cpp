#include "JvIPAddress.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFocusEvent>
#include <QGuiApplication>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QStyle>
#include <QStyleOptionFrame>
#include <algorithm>
#include <cstdlib>
#include <utility>

#include "AlertSound.h"
#include "FieldText.h"

namespace {

bool IsControlChar(QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7F; }

bool IsModifierKey(int key) {
  return key == Qt::Key_Shift || key == Qt::Key_Control || key == Qt::Key_Alt ||
         key == Qt::Key_Meta || key == Qt::Key_AltGr || key == Qt::Key_CapsLock;
}

}  // namespace

std::uint32_t TJvIPAddressValues::Address() const {
  return std::uint32_t{Value1} << 24 | std::uint32_t{Value2} << 16 | std::uint32_t{Value3} << 8 |
         std::uint32_t{Value4};
}

void TJvIPAddressValues::SetAddress(std::uint32_t address) {
  Value1 = static_cast<std::uint8_t>(address >> 24);
  Value2 = static_cast<std::uint8_t>(address >> 16);
  Value3 = static_cast<std::uint8_t>(address >> 8);
  Value4 = static_cast<std::uint8_t>(address);
}

std::uint8_t TJvIPAddressRange::Min(int box) const {
  const std::uint8_t mins[] = {Field1Min, Field2Min, Field3Min, Field4Min};
  return mins[box];
}

std::uint8_t TJvIPAddressRange::Max(int box) const {
  const std::uint8_t maxes[] = {Field1Max, Field2Max, Field3Max, Field4Max};
  return maxes[box];
}

// ---------------------------------------------------------------------------

TJvIPOctetEdit::TJvIPOctetEdit(TJvIPAddress* owner, int index)
    : QLineEdit(owner), owner_(owner), index_(index) {
  setObjectName(QStringLiteral("Octet%1").arg(index + 1));
  setFrame(false);
  setAlignment(Qt::AlignCenter);
  setMaxLength(3);
  setTextMargins(0, 0, 0, 0);
  // A click is given the focus by the field, which must see where the focus was before.
  setFocusPolicy(Qt::TabFocus);
  // Typing and pasting go through the field; this only guards what still reaches the
  // line edit on its own (a drop).
  setValidator(
      new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,3}")), this));
  setText(QStringLiteral("0"));
  // The field paints one panel behind all four boxes.
  QPalette see = palette();
  see.setColor(QPalette::Base, Qt::transparent);
  setPalette(see);
  connect(this, &QLineEdit::textChanged, owner, &TJvIPAddress::Change);
}

void TJvIPOctetEdit::keyPressEvent(QKeyEvent* event) {
  if (event->matches(QKeySequence::SelectAll)) {
    owner_->SelectWhole();
    event->accept();
    return;
  }
  if (owner_->span_ && owner_->SpanKey(index_, event)) {
    event->accept();
    return;
  }
  if (event->matches(QKeySequence::Paste)) {
    if (!isReadOnly()) owner_->Paste(index_, QGuiApplication::clipboard()->text());
    event->accept();
    return;
  }
  const Qt::KeyboardModifiers mods = event->modifiers() & ~Qt::KeypadModifier;
  const bool plain = mods == Qt::NoModifier;
  const bool atStart = cursorPosition() == 0 && !hasSelectedText();
  const bool atEnd = cursorPosition() == text().size() && !hasSelectedText();
  if (mods == Qt::ShiftModifier) {
    // Shift with the arrows, Home and End selects on over the dots.
    const int at = cursorPosition();
    std::optional<TJvIPAddress::Spot> to;
    switch (event->key()) {
      case Qt::Key_Left:
        if (at > 0)
          to = {index_, at - 1};
        else if (index_ > 0)
          to = {index_ - 1, int(owner_->boxes_[index_ - 1]->text().size())};
        break;
      case Qt::Key_Right:
        if (at < text().size())
          to = {index_, at + 1};
        else if (index_ < 3)
          to = {index_ + 1, 0};
        break;
      case Qt::Key_Home:
        to = {0, 0};
        break;
      case Qt::Key_End:
        to = {3, int(owner_->boxes_[3]->text().size())};
        break;
      default:
        break;
    }
    if (to) {
      justReached_ = false;
      owner_->ExtendTo(index_, *to);
      event->accept();
      return;
    }
  }
  if (plain) {
    switch (event->key()) {
      case Qt::Key_Left:
      case Qt::Key_Backspace:
        if (atStart && index_ > 0) {
          owner_->Place(index_ - 1, true);
          return;
        }
        break;
      case Qt::Key_Right:
        if (atEnd && index_ < 3) {
          owner_->Place(index_ + 1, false);
          return;
        }
        break;
      case Qt::Key_Home:
        owner_->Place(0, false);
        return;
      case Qt::Key_End:
        owner_->Place(3, true);
        return;
      default:
        break;
    }
  }
  QString typed = event->text();
  // The keypad's decimal key types "," on Polish layouts; in an address it means the dot.
  if ((event->modifiers() & Qt::KeypadModifier) && typed == QLatin1String(","))
    typed = QStringLiteral(".");
  if (IsTypedText(*event) && std::none_of(typed.begin(), typed.end(), IsControlChar)) {
    if (!isReadOnly()) owner_->TypeText(index_, typed);
    event->accept();
    return;
  }
  if (!IsModifierKey(event->key())) justReached_ = false;
  QLineEdit::keyPressEvent(event);
}

int TJvIPOctetEdit::SelectionAnchor() const {
  if (!hasSelectedText()) return cursorPosition();
  const int start = selectionStart();
  return cursorPosition() == start ? start + int(selectedText().size()) : start;
}

void TJvIPOctetEdit::inputMethodEvent(QInputMethodEvent* event) {
  const QString commit = event->commitString();
  if (commit.isEmpty() || isReadOnly()) {
    QLineEdit::inputMethodEvent(event);
    return;
  }
  // The composition ends as the line edit sees it; what it commits is typed.
  QInputMethodEvent rest(QString(), event->attributes());
  QLineEdit::inputMethodEvent(&rest);
  owner_->TypeText(index_, commit);
  event->accept();
}

void TJvIPOctetEdit::focusInEvent(QFocusEvent* event) {
  QLineEdit::focusInEvent(event);
  if (owner_) owner_->update();
}

void TJvIPOctetEdit::focusOutEvent(QFocusEvent* event) {
  QLineEdit::focusOutEvent(event);
  // A field being destroyed takes the focus from its box on the way out.
  if (!owner_) return;
  owner_->update();
  if (!IsLeaveReason(event->reason())) return;
  justReached_ = typed_ = false;
  owner_->Settle(index_);
  if (!owner_->isAncestorOf(QApplication::focusWidget())) owner_->Collapse();
}

bool TJvIPOctetEdit::focusNextPrevChild(bool next) {
  const int target = index_ + (next ? 1 : -1);
  if (owner_->tabThroughFields_ && target >= 0 && target <= 3) {
    owner_->Enter(target, next ? Qt::TabFocusReason : Qt::BacktabFocusReason, false);
    return true;
  }
  return owner_->FocusOutside(next) || QLineEdit::focusNextPrevChild(next);
}

void TJvIPOctetEdit::mousePressEvent(QMouseEvent* event) {
  justReached_ = false;
  pressEntered_ = false;
  if (owner_->Press(index_, event, mapTo(owner_, event->position().toPoint()))) return;
  QLineEdit::mousePressEvent(event);
  dragAnchor_ = cursorPosition();
}

void TJvIPOctetEdit::mouseMoveEvent(QMouseEvent* event) {
  const QPoint at = event->position().toPoint();
  if (!(event->buttons() & Qt::LeftButton)) {
    QLineEdit::mouseMoveEvent(event);
    return;
  }
  if (pressEntered_) {
    if ((at - pressAt_).manhattanLength() < QApplication::startDragDistance()) return;
    // A real drag after all: it selects from where the press was.
    pressEntered_ = false;
    dragAnchor_ = cursorPositionAt(pressAt_);
    setCursorPosition(dragAnchor_);
  }
  const int target = owner_->BoxAt(mapTo(owner_, at).x());
  if (target == index_ && !owner_->span_) {
    QLineEdit::mouseMoveEvent(event);
    return;
  }
  TJvIPOctetEdit* over = owner_->boxes_[target];
  owner_->SelectSpan({index_, dragAnchor_},
                     {target, over->cursorPositionAt(over->mapFrom(owner_, mapTo(owner_, at)))});
}

void TJvIPOctetEdit::mouseReleaseEvent(QMouseEvent* event) {
  const bool entered = std::exchange(pressEntered_, false);
  // What the click into the field selected is there to be typed over; it must not replace
  // the X11 selection the operator may be about to paste with the middle button.
  if (entered && event->button() == Qt::LeftButton) {
    event->accept();
    return;
  }
  // The X11 selection pasted with the middle button; the press has placed the cursor.
  QClipboard* clipboard = QGuiApplication::clipboard();
  if (event->button() == Qt::MiddleButton && clipboard->supportsSelection() && !isReadOnly() &&
      rect().contains(event->position().toPoint())) {
    owner_->Paste(index_, clipboard->text(QClipboard::Selection));
    event->accept();
    return;
  }
  QLineEdit::mouseReleaseEvent(event);
}

void TJvIPOctetEdit::mouseDoubleClickEvent(QMouseEvent* event) {
  owner_->Collapse();
  QLineEdit::mouseDoubleClickEvent(event);  // the number under the pointer
  if (event->button() != Qt::LeftButton) return;
  owner_->doubleClicked_.start();
  owner_->doubleClickAt_ = event->globalPosition().toPoint();
}

void TJvIPOctetEdit::contextMenuEvent(QContextMenuEvent* event) {
  QMenu* menu = createStandardContextMenu();
  if (!menu) return;
  // Newer toolkits name the actions; older ones are known by their own captions.
  const auto is = [](const QAction* action, const char* name, const char* caption) {
    return action->objectName() == QLatin1String(name) ||
           action->text().section(QLatin1Char('\t'), 0, 0) == QLineEdit::tr(caption);
  };
  const auto redirect = [this](QAction* action, auto to) {
    disconnect(action, &QAction::triggered, nullptr, nullptr);
    connect(action, &QAction::triggered, this, to);
  };
  const bool span = owner_->span_.has_value();
  for (QAction* action : menu->actions()) {
    if (is(action, "edit-paste", "&Paste")) {
      redirect(action, [this] { owner_->Paste(index_, QGuiApplication::clipboard()->text()); });
    } else if (is(action, "select-all", "Select All")) {
      redirect(action, [this] { owner_->SelectWhole(); });
    } else if (span && is(action, "edit-copy", "&Copy")) {
      redirect(action, [this] { QGuiApplication::clipboard()->setText(owner_->SpanText()); });
    } else if (span && !isReadOnly() && is(action, "edit-cut", "Cu&t")) {
      redirect(action, [this] {
        QGuiApplication::clipboard()->setText(owner_->SpanText());
        owner_->ClearSpan();
      });
    } else if (span && !isReadOnly() && is(action, "edit-delete", "Delete")) {
      redirect(action, [this] { owner_->ClearSpan(); });
    }
  }
  menu->setAttribute(Qt::WA_DeleteOnClose);
  menu->popup(event->globalPos());
}

// ---------------------------------------------------------------------------

int TJvIPAddress::Type(int index, QChar c) {
  TJvIPOctetEdit* box = boxes_[index];
  if (c == QLatin1Char('.') || c == QLatin1Char(' ')) {
    // Typed right after the box was entered, the dot only closes the box just left.
    if (box->text().isEmpty() || box->justReached_ || index == 3) return index;
    Settle(index);
    Enter(index + 1, Qt::OtherFocusReason, true);
    return index + 1;
  }
  if (c < QLatin1Char('0') || c > QLatin1Char('9')) {
    PlayAlertSound(TAlertSound::asDefault);
    return index;
  }
  box->justReached_ = false;
  if (!box->hasSelectedText()) {
    if (!box->typed_ && box->text() == QLatin1String("0")) {
      box->clear();
    } else if (box->text().size() >= box->maxLength()) {
      if (box->cursorPosition() < box->text().size() || index == 3) {
        PlayAlertSound(TAlertSound::asDefault);
        return index;
      }
      // Typing on at the end of a full box starts the next one.
      Settle(index);
      Enter(index + 1, Qt::OtherFocusReason, true);
      return Type(index + 1, c);
    }
  }
  box->insert(QString(c));
  box->typed_ = true;
  if (box->text().size() == box->maxLength() && box->cursorPosition() == box->text().size()) {
    Settle(index);
    if (index < 3) {
      Enter(index + 1, Qt::OtherFocusReason, true);
      return index + 1;
    }
  }
  return index;
}

void TJvIPAddress::TypeText(int index, const QString& text) {
  if (span_) index = ClearSpan().box;
  for (const QChar c : text) index = Type(index, c);
}

void TJvIPAddress::Paste(int index, const QString& text) {
  const QString pasted = text.trimmed();
  if (pasted.contains(QLatin1Char('.'))) {
    SetText(pasted);
    return;
  }
  TypeText(index, pasted);
}

void TJvIPAddress::Settle(int index) {
  TJvIPOctetEdit* box = boxes_[index];
  if (box->text().isEmpty()) return;  // a blank box stays blank and reads as 0
  const int value = ParseFieldInteger(box->text()).value_or(0);
  const int settled = std::max<int>(std::min<int>(value, range_.Max(index)), range_.Min(index));
  if (settled != value) PlayAlertSound(TAlertSound::asDefault);
  const QString shown = QString::number(settled);
  if (shown != box->text()) box->setText(shown);
}

void TJvIPAddress::Enter(int index, Qt::FocusReason reason, bool justReached) {
  for (TJvIPOctetEdit* b : boxes_) b->justReached_ = b->typed_ = false;
  TJvIPOctetEdit* box = boxes_[index];
  box->setFocus(reason);
  Collapse();
  box->selectAll();
  box->justReached_ = justReached;
}

void TJvIPAddress::Place(int index, bool atEnd) {
  for (TJvIPOctetEdit* b : boxes_) b->justReached_ = b->typed_ = false;
  TJvIPOctetEdit* box = boxes_[index];
  box->setFocus(Qt::OtherFocusReason);
  Collapse();
  box->deselect();
  box->setCursorPosition(atEnd ? box->text().size() : 0);
}

bool TJvIPAddress::HasFocusInside() const {
  return std::any_of(boxes_.begin(), boxes_.end(), [](const QWidget* b) { return b->hasFocus(); });
}

int TJvIPAddress::BoxAt(int x) const {
  int nearest = 0;
  for (int i = 1; i < 4; ++i)
    if (std::abs(boxes_[i]->geometry().center().x() - x) <
        std::abs(boxes_[nearest]->geometry().center().x() - x))
      nearest = i;
  return nearest;
}

bool TJvIPAddress::Press(int index, QMouseEvent* event, QPoint at) {
  TJvIPOctetEdit* box = boxes_[index];
  const bool entering = !HasFocusInside();
  const QPoint local = box->mapFrom(this, at);
  const bool inBox = box->rect().contains(local);
  if (event->button() == Qt::LeftButton && doubleClicked_.isValid() &&
      doubleClicked_.elapsed() < QApplication::doubleClickInterval() &&
      (event->globalPosition().toPoint() - doubleClickAt_).manhattanLength() <
          QApplication::startDragDistance()) {
    doubleClicked_.invalidate();
    SelectWhole();
    return true;
  }
  if (event->button() == Qt::RightButton) {
    // The menu works on what is selected, across the dots too.
    if (entering) box->setFocus(Qt::MouseFocusReason);
    return true;
  }
  if (entering) {
    // Coming in by a click is like coming in by Tab: typing replaces the box's number.
    Enter(index, Qt::MouseFocusReason, false);
    if (event->button() == Qt::LeftButton) {
      box->pressEntered_ = true;
      box->pressAt_ = local;
      return true;
    }
  } else if (event->button() == Qt::LeftButton && (event->modifiers() & Qt::ShiftModifier)) {
    QWidget* focused = QApplication::focusWidget();
    for (TJvIPOctetEdit* from : boxes_) {
      if (from != focused) continue;
      ExtendTo(from->index_, {index, box->cursorPositionAt(local)});
      return true;
    }
  } else {
    Collapse();
    if (!box->hasFocus()) box->setFocus(Qt::MouseFocusReason);
  }
  if (inBox) return false;
  // Beside the box (a gap, the frame): the cursor goes to the nearer end.
  box->deselect();
  box->setCursorPosition(local.x() < box->width() / 2 ? 0 : box->text().size());
  box->dragAnchor_ = box->cursorPosition();
  return true;
}

void TJvIPAddress::SelectSpan(Spot anchor, Spot active) {
  TJvIPOctetEdit* focus = boxes_[active.box];
  if (!focus->hasFocus()) focus->setFocus(Qt::OtherFocusReason);
  // Leaving a box may have put its text in normal form.
  for (Spot* s : {&anchor, &active})
    s->pos = std::clamp(s->pos, 0, int(boxes_[s->box]->text().size()));
  const bool forward =
      anchor.box < active.box || (anchor.box == active.box && anchor.pos <= active.pos);
  const Spot lo = forward ? anchor : active;
  const Spot hi = forward ? active : anchor;
  if (anchor.box == active.box) {
    span_.reset();
  } else {
    span_ = std::make_pair(anchor, active);
  }
  for (int i = 0; i < 4; ++i) {
    TJvIPOctetEdit* box = boxes_[i];
    if (i < lo.box || i > hi.box) {
      box->deselect();
      continue;
    }
    const int from = i == lo.box ? lo.pos : 0;
    const int to = i == hi.box ? hi.pos : int(box->text().size());
    // The focused box's cursor stands at the moving end.
    if (i == active.box && !forward)
      box->setSelection(to, from - to);
    else
      box->setSelection(from, to - from);
  }
}

void TJvIPAddress::SelectWhole() {
  for (TJvIPOctetEdit* b : boxes_) b->justReached_ = b->typed_ = false;
  // The focus in the first box, where typing over the address begins.
  SelectSpan({3, int(boxes_[3]->text().size())}, {0, 0});
}

void TJvIPAddress::ExtendTo(int index, Spot active) {
  const Spot anchor = span_ ? span_->first : Spot{index, boxes_[index]->SelectionAnchor()};
  SelectSpan(anchor, active);
}

void TJvIPAddress::Collapse() {
  span_.reset();
  for (TJvIPOctetEdit* box : boxes_)
    if (!box->hasFocus()) box->deselect();
}

TJvIPAddress::Spot TJvIPAddress::ClearSpan() {
  const auto [anchor, active] = *span_;
  const bool forward = anchor.box < active.box;
  const Spot lo = forward ? anchor : active;
  const Spot hi = forward ? active : anchor;
  bool changed = false;
  for (int i = lo.box; i <= hi.box; ++i) {
    TJvIPOctetEdit* box = boxes_[i];
    const QString was = box->text();
    const int from = i == lo.box ? lo.pos : 0;
    const int to = i == hi.box ? hi.pos : int(was.size());
    const QString kept = was.left(from) + was.mid(to);
    if (kept == was) continue;
    const QSignalBlocker block(box);
    box->setText(kept);
    changed = true;
  }
  Place(lo.box, false);
  boxes_[lo.box]->setCursorPosition(lo.pos);
  if (changed) emit Change();
  return lo;
}

QString TJvIPAddress::SpanText() const {
  QStringList parts;
  for (const TJvIPOctetEdit* box : boxes_)
    if (box->hasSelectedText()) parts << box->selectedText();
  return parts.join(QLatin1Char('.'));
}

bool TJvIPAddress::SpanKey(int index, QKeyEvent* event) {
  const Qt::KeyboardModifiers mods = event->modifiers() & ~Qt::KeypadModifier;
  if (IsModifierKey(event->key())) return true;
  if (event->matches(QKeySequence::Copy)) {
    QGuiApplication::clipboard()->setText(SpanText());
    return true;
  }
  const bool readOnly = boxes_[index]->isReadOnly();
  if (event->matches(QKeySequence::Cut)) {
    QGuiApplication::clipboard()->setText(SpanText());
    if (!readOnly) ClearSpan();
    return true;
  }
  if (mods == Qt::NoModifier) {
    const auto [anchor, active] = *span_;
    const bool forward = anchor.box < active.box;
    switch (event->key()) {
      case Qt::Key_Backspace:
      case Qt::Key_Delete:
        if (!readOnly) ClearSpan();
        return true;
      case Qt::Key_Left:
      case Qt::Key_Right: {
        const Spot to = (event->key() == Qt::Key_Left) == forward ? anchor : active;
        Place(to.box, false);
        boxes_[to.box]->setCursorPosition(to.pos);
        return true;
      }
      default:
        break;
    }
  }
  // Typing, pasting and selecting on are the box's, which knows about the span; anything
  // else ends the selection across boxes first.
  const QString text = event->text();
  const bool typed = IsTypedText(*event) && std::none_of(text.begin(), text.end(), IsControlChar);
  const bool shifted =
      mods == Qt::ShiftModifier && (event->key() == Qt::Key_Left || event->key() == Qt::Key_Right ||
                                    event->key() == Qt::Key_Home || event->key() == Qt::Key_End);
  if (!typed && !shifted && !event->matches(QKeySequence::Paste)) Collapse();
  return false;
}

// ---------------------------------------------------------------------------

TJvIPAddress::TJvIPAddress(QWidget* parent) : QWidget(parent) {
  for (int i = 0; i < 4; ++i) boxes_[i] = new TJvIPOctetEdit(this, i);
  // One tab stop for the window's tab order; Tab from outside lands in the first box. Clicks
  // are handled by the field itself, as for the boxes.
  setFocusPolicy(Qt::TabFocus);
  setFocusProxy(boxes_[0]);
  setBackgroundRole(QPalette::Base);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

std::uint8_t TJvIPAddress::BoxOctet(int index) const {
  // A blank box, as the platform entry leaves it, reads as 0. A box still being edited reads
  // as it will show once left, so a button pressed meanwhile takes what the field settles on.
  const auto v = ParseFieldInteger(boxes_[index]->text());
  if (!v) return 0;
  return static_cast<std::uint8_t>(
      std::max<int>(std::min<int>(*v, range_.Max(index)), range_.Min(index)));
}

TJvIPAddress::~TJvIPAddress() {
  for (TJvIPOctetEdit* box : boxes_) box->owner_ = nullptr;
}

QString TJvIPAddress::Text() const {
  QStringList parts;
  for (int i = 0; i < 4; ++i) parts << QString::number(BoxOctet(i));
  return parts.join(QLatin1Char('.'));
}

void TJvIPAddress::SetText(const QString& text) {
  std::array<std::uint8_t, 4> octets{};
  qsizetype from = 0;
  for (int i = 0; i < 4; ++i) {
    if (from > text.size()) break;  // no dot left: the remaining parts are empty
    qsizetype dot = i < 3 ? text.indexOf(QLatin1Char('.'), from) : -1;
    const qsizetype end = dot < 0 ? text.size() : dot;
    const auto v = ParseFieldInteger(text.mid(from, end - from));
    octets[i] = v ? static_cast<std::uint8_t>(static_cast<std::uint32_t>(*v) & 0xFFu) : 0;
    from = dot < 0 ? text.size() + 1 : dot + 1;
  }
  SetOctets(octets);
}

TJvIPAddressValues TJvIPAddress::AddressValues() const {
  return {BoxOctet(0), BoxOctet(1), BoxOctet(2), BoxOctet(3)};
}

void TJvIPAddress::SetAddressValues(const TJvIPAddressValues& values) {
  SetOctets({values.Value1, values.Value2, values.Value3, values.Value4});
}

void TJvIPAddress::SetOctets(const std::array<std::uint8_t, 4>& octets) {
  for (TJvIPOctetEdit* b : boxes_) b->justReached_ = b->typed_ = false;
  Collapse();
  bool changed = false;
  for (int i = 0; i < 4; ++i) {
    const QString shown = QString::number(octets[i]);
    if (boxes_[i]->text() == shown) continue;
    // All four boxes first, then one notification.
    const QSignalBlocker block(boxes_[i]);
    boxes_[i]->setText(shown);
    changed = true;
  }
  if (changed) emit Change();
}

bool TJvIPAddress::FocusOutside(bool next) {
  // Walk the window's focus chain from the end of this field that is being left.
  QWidget* const start = next ? static_cast<QWidget*>(boxes_[3]) : boxes_[0];
  QWidget* w = start;
  for (;;) {
    w = next ? w->nextInFocusChain() : w->previousInFocusChain();
    if (!w || w == start) return false;
    if (w == this || isAncestorOf(w) || w->window() != window()) continue;
    if ((w->focusPolicy() & Qt::TabFocus) && !w->focusProxy() && w->isEnabled() &&
        w->isVisibleTo(window())) {
      w->setFocus(next ? Qt::TabFocusReason : Qt::BacktabFocusReason);
      return true;
    }
  }
}

int TJvIPAddress::FrameWidth() const {
  QStyleOptionFrame option;
  option.initFrom(this);
  return style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, this);
}

int TJvIPAddress::DotWidth() const { return fontMetrics().horizontalAdvance(QLatin1Char('.')) + 3; }

void TJvIPAddress::LayoutBoxes() {
  const int frame = FrameWidth();
  const QRect inner = rect().adjusted(frame, frame, -frame, -frame);
  const int dot = DotWidth();
  const int room = std::max(0, inner.width() - 3 * dot);
  int x = inner.left();
  for (int i = 0; i < 4; ++i) {
    const int w = room / 4 + (i < room % 4 ? 1 : 0);
    boxes_[i]->setGeometry(x, inner.top(), w, inner.height());
    x += w + dot;
  }
}

QSize TJvIPAddress::sizeHint() const {
  const int frame = FrameWidth();
  const int box = fontMetrics().horizontalAdvance(QStringLiteral("888")) + 8;
  return {4 * box + 3 * DotWidth() + 2 * frame, boxes_[0]->sizeHint().height() + 2 * frame};
}

QSize TJvIPAddress::minimumSizeHint() const { return sizeHint(); }

void TJvIPAddress::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  QStyleOptionFrame option;
  option.initFrom(this);
  option.lineWidth = FrameWidth();
  option.midLineWidth = 0;
  option.state |= QStyle::State_Sunken;
  if (std::any_of(boxes_.begin(), boxes_.end(), [](const QWidget* b) { return b->hasFocus(); }))
    option.state |= QStyle::State_HasFocus;
  style()->drawPrimitive(QStyle::PE_PanelLineEdit, &option, &painter, this);

  painter.setPen(
      palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::Text));
  for (int i = 0; i < 3; ++i) {
    const QRect left = boxes_[i]->geometry();
    const QRect gap(left.right() + 1, left.top(),
                    boxes_[i + 1]->geometry().left() - left.right() - 1, left.height());
    painter.drawText(gap, Qt::AlignCenter, QStringLiteral("."));
  }
}

void TJvIPAddress::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  LayoutBoxes();
}

void TJvIPAddress::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange) LayoutBoxes();
  update();
}

void TJvIPAddress::mousePressEvent(QMouseEvent* event) {
  // A click between the boxes goes to the nearest one.
  const QPoint at = event->position().toPoint();
  if (!Press(BoxAt(at.x()), event, at)) Place(BoxAt(at.x()), false);
  event->accept();
}

void TJvIPAddress::mouseDoubleClickEvent(QMouseEvent* event) {
  event->accept();
  if (event->button() != Qt::LeftButton) return;
  const int index = BoxAt(event->position().toPoint().x());
  Collapse();
  boxes_[index]->selectAll();
  doubleClicked_.start();
  doubleClickAt_ = event->globalPosition().toPoint();
  event->accept();
}
