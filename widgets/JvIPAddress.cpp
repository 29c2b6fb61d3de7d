#include "JvIPAddress.h"

#include <QAction>
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
  if (event->matches(QKeySequence::Paste)) {
    if (!isReadOnly()) owner_->Paste(index_, QGuiApplication::clipboard()->text());
    event->accept();
    return;
  }
  const bool plain = (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
  const bool atStart = cursorPosition() == 0 && !hasSelectedText();
  const bool atEnd = cursorPosition() == text().size() && !hasSelectedText();
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
    if (!isReadOnly()) {
      int box = index_;
      for (const QChar c : typed) box = owner_->Type(box, c);
    }
    event->accept();
    return;
  }
  if (!IsModifierKey(event->key())) justReached_ = false;
  QLineEdit::keyPressEvent(event);
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
  int box = index_;
  for (const QChar c : commit) box = owner_->Type(box, c);
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
  QLineEdit::mousePressEvent(event);
}

void TJvIPOctetEdit::mouseReleaseEvent(QMouseEvent* event) {
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

void TJvIPOctetEdit::contextMenuEvent(QContextMenuEvent* event) {
  QMenu* menu = createStandardContextMenu();
  if (!menu) return;
  for (QAction* action : menu->actions()) {
    // Newer toolkits name the action; older ones are known by their own caption.
    const bool paste = action->objectName() == QLatin1String("edit-paste") ||
                       action->text().section(QLatin1Char('\t'), 0, 0) == QLineEdit::tr("&Paste");
    if (!paste) continue;
    disconnect(action, &QAction::triggered, nullptr, nullptr);
    connect(action, &QAction::triggered, this,
            [this] { owner_->Paste(index_, QGuiApplication::clipboard()->text()); });
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

void TJvIPAddress::Paste(int index, const QString& text) {
  const QString pasted = text.trimmed();
  if (pasted.contains(QLatin1Char('.'))) {
    SetText(pasted);
    return;
  }
  for (const QChar c : pasted) index = Type(index, c);
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
  box->selectAll();
  box->justReached_ = justReached;
}

void TJvIPAddress::Place(int index, bool atEnd) {
  for (TJvIPOctetEdit* b : boxes_) b->justReached_ = b->typed_ = false;
  TJvIPOctetEdit* box = boxes_[index];
  box->setFocus(Qt::OtherFocusReason);
  box->deselect();
  box->setCursorPosition(atEnd ? box->text().size() : 0);
}

// ---------------------------------------------------------------------------

TJvIPAddress::TJvIPAddress(QWidget* parent) : QWidget(parent) {
  for (int i = 0; i < 4; ++i) boxes_[i] = new TJvIPOctetEdit(this, i);
  // One tab stop for the window's tab order; Tab from outside lands in the first box.
  setFocusPolicy(Qt::StrongFocus);
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
  const int x = event->position().toPoint().x();
  TJvIPOctetEdit* nearest = *std::min_element(boxes_.begin(), boxes_.end(), [x](auto* a, auto* b) {
    return std::abs(a->geometry().center().x() - x) < std::abs(b->geometry().center().x() - x);
  });
  nearest->setFocus(Qt::MouseFocusReason);
  event->accept();
}
