#include "JvIPAddress.h"

#include <QFocusEvent>
#include <QInputMethodEvent>
#include <QKeyEvent>
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

bool IsBoxChar(QChar key) {
  const char16_t c = key.unicode();
  return c < 0x20 || c == 0x7F || (c >= '0' && c <= '9');
}

// A blank box, as the platform entry leaves it, reads as 0.
std::uint8_t BoxOctet(const QString& text) {
  const auto v = ParseFieldInteger(text);
  return v ? static_cast<std::uint8_t>(static_cast<std::uint32_t>(*v) & 0xFFu) : 0;
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
  // Pasted text must be an octet too.
  setValidator(
      new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,3}")), this));
  setText(QStringLiteral("0"));
  // The field paints one panel behind all four boxes.
  QPalette see = palette();
  see.setColor(QPalette::Base, Qt::transparent);
  setPalette(see);
  connect(this, &QLineEdit::textEdited, this, &TJvIPOctetEdit::Edited);
  connect(this, &QLineEdit::textChanged, owner, &TJvIPAddress::Change);
}

bool TJvIPOctetEdit::MoveTo(int index, Qt::FocusReason reason, bool cursorAtEnd) {
  if (index < 0 || index > 3) return false;
  TJvIPOctetEdit* box = owner_->boxes_[index];
  box->setFocus(reason);
  if (reason != Qt::TabFocusReason && reason != Qt::BacktabFocusReason) {
    box->deselect();
    box->setCursorPosition(cursorAtEnd ? box->text().size() : 0);
  }
  return true;
}

void TJvIPOctetEdit::keyPressEvent(QKeyEvent* event) {
  const bool plain = (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
  const bool atStart = cursorPosition() == 0 && !hasSelectedText();
  const bool atEnd = cursorPosition() == text().size() && !hasSelectedText();
  switch (event->key()) {
    case Qt::Key_Left:
      if (plain && atStart && MoveTo(index_ - 1, Qt::OtherFocusReason, true)) return;
      break;
    case Qt::Key_Right:
      if (plain && atEnd && MoveTo(index_ + 1, Qt::OtherFocusReason, false)) return;
      break;
    case Qt::Key_Backspace:
      if (plain && atStart && MoveTo(index_ - 1, Qt::OtherFocusReason, true)) return;
      break;
    default:
      break;
  }
  const QString typed = event->text();
  if (typed == QLatin1String(".") || typed == QLatin1String(" ")) {
    // A dot closes a filled box and goes on to the next one.
    if (!text().isEmpty()) MoveTo(index_ + 1, Qt::TabFocusReason, false);
    event->accept();
    return;
  }
  if (IsTypedText(*event) && !std::all_of(typed.begin(), typed.end(), IsBoxChar)) {
    PlayAlertSound(TAlertSound::asDefault);
    event->accept();
    return;
  }
  const QString before = text();
  QLineEdit::keyPressEvent(event);
  const bool typedDigit = IsTypedText(*event) && typed.back().isDigit();
  if (typedDigit && text() != before && text().size() == maxLength() &&
      cursorPosition() == text().size())
    MoveTo(index_ + 1, Qt::TabFocusReason, false);
}

void TJvIPOctetEdit::inputMethodEvent(QInputMethodEvent* event) {
  const QString commit = event->commitString();
  if (!std::all_of(commit.begin(), commit.end(), IsBoxChar)) {
    PlayAlertSound(TAlertSound::asDefault);
    event->accept();
    return;
  }
  QLineEdit::inputMethodEvent(event);
}

void TJvIPOctetEdit::Edited() {
  const auto v = ParseFieldInteger(text());
  const int max = owner_->range_.Max(index_);
  if (v && *v > max) {
    PlayAlertSound(TAlertSound::asDefault);
    setText(QString::number(max));
  }
}

void TJvIPOctetEdit::focusInEvent(QFocusEvent* event) {
  QLineEdit::focusInEvent(event);
  owner_->update();
}

void TJvIPOctetEdit::focusOutEvent(QFocusEvent* event) {
  QLineEdit::focusOutEvent(event);
  owner_->update();
  if (text().isEmpty()) return;
  // Settle the box: its normal form, and not below its range.
  const auto v = ParseFieldInteger(text());
  const int settled = std::max<int>(v.value_or(0), owner_->range_.Min(index_));
  const QString shown = QString::number(settled);
  if (shown != text()) setText(shown);
}

bool TJvIPOctetEdit::focusNextPrevChild(bool next) {
  const Qt::FocusReason reason = next ? Qt::TabFocusReason : Qt::BacktabFocusReason;
  if (owner_->tabThroughFields_ && MoveTo(index_ + (next ? 1 : -1), reason, false)) return true;
  return owner_->FocusOutside(next) || QLineEdit::focusNextPrevChild(next);
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

QString TJvIPAddress::Text() const {
  QStringList parts;
  for (const TJvIPOctetEdit* box : boxes_) parts << QString::number(BoxOctet(box->text()));
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
  return {BoxOctet(boxes_[0]->text()), BoxOctet(boxes_[1]->text()), BoxOctet(boxes_[2]->text()),
          BoxOctet(boxes_[3]->text())};
}

void TJvIPAddress::SetAddressValues(const TJvIPAddressValues& values) {
  SetOctets({values.Value1, values.Value2, values.Value3, values.Value4});
}

void TJvIPAddress::SetOctets(const std::array<std::uint8_t, 4>& octets) {
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
