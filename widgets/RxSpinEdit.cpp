#include "RxSpinEdit.h"

#include <QFocusEvent>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QToolButton>
#include <charconv>
#include <cmath>
#include <limits>

#include "AlertSound.h"
#include "FieldText.h"
#include "ParseInteger.h"

TRxSpinEdit::TRxSpinEdit(QWidget* parent)
    : QLineEdit(parent), upButton_(new QToolButton(this)), downButton_(new QToolButton(this)) {
  const auto setUp = [this](QToolButton* button, Qt::ArrowType arrow, const char* name) {
    button->setObjectName(QLatin1String(name));
    button->setArrowType(arrow);
    button->setAutoRepeat(true);
    button->setFocusPolicy(Qt::NoFocus);
    button->setCursor(Qt::ArrowCursor);
    button->setIconSize(QSize(7, 7));
    connect(button, &QToolButton::pressed, this, &TRxSpinEdit::ArrowPressed);
  };
  setUp(upButton_, Qt::UpArrow, "UpButton");
  setUp(downButton_, Qt::DownArrow, "DownButton");
  connect(upButton_, &QToolButton::clicked, this, [this] { UpClick(); });
  connect(downButton_, &QToolButton::clicked, this, [this] { DownClick(); });
  setTextMargins(0, 0, ButtonWidth(), 0);
  setText(QStringLiteral("0"));
}

long double TRxSpinEdit::Value() const {
  const QString t = text();
  switch (valueType_) {
    case vtInteger:
      if (const auto v = ParseFieldInteger(t)) return *v;
      break;
    case vtHex:
      if (const auto v = ParseFieldInteger(QLatin1Char('$') + t)) return *v;
      break;
    case vtFloat: {
      const QByteArray bytes = t.toUtf8();
      const char* first = bytes.constData();
      const char* last = first + bytes.size();
      while (first != last && *first == ' ') ++first;
      // from_chars takes no plus sign, but must not see a second sign behind it.
      if (first != last && *first == '+' && !(last - first > 1 && first[1] == '-')) ++first;
      long double v = 0;
      const auto [end, ec] = std::from_chars(first, last, v);
      if (ec == std::errc() && end == last && first != last && std::isfinite(v)) return v;
      return minValue_;
    }
  }
  return std::trunc(minValue_);
}

long double TRxSpinEdit::ClampValue(long double value) const {
  if (maxValue_ != minValue_) {
    if (value < minValue_) return minValue_;
    if (value > maxValue_) return maxValue_;
  }
  return value;
}

void TRxSpinEdit::SetValue(long double value) {
  value = ClampValue(value);
  QString shown;
  if (valueType_ == vtFloat) {
    char buffer[64];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    shown = QString::fromLatin1(buffer, ec == std::errc() ? end - buffer : 0);
  } else {
    const long double rounded = std::round(value);
    if (valueType_ == vtHex) {
      const auto pattern = static_cast<std::uint32_t>(
          std::fabs(rounded) < 9.2e18L ? static_cast<std::int64_t>(rounded) : 0);
      shown = QString::number(pattern, 16).toUpper();
    } else if (std::fabs(rounded) < 9.2e18L) {
      shown = QString::number(static_cast<qlonglong>(rounded));
    } else {
      shown = QString::number(static_cast<double>(rounded), 'f', 0);
    }
  }
  // The change notification fires only when the text really changes.
  if (shown != text()) setText(shown);
}

std::int32_t TRxSpinEdit::TruncatedValue() const {
  const long double v = std::trunc(Value());
  if (std::isnan(v)) return 0;
  if (v <= std::numeric_limits<std::int32_t>::min())
    return std::numeric_limits<std::int32_t>::min();
  if (v >= std::numeric_limits<std::int32_t>::max())
    return std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(v);
}

void TRxSpinEdit::SetValueType(TValueType type) {
  if (type == valueType_) return;
  const long double v = Value();
  valueType_ = type;
  SetValue(v);
}

void TRxSpinEdit::SetEditorEnabled(bool on) {
  editorEnabled_ = on;
  UpdateEditable();
}

void TRxSpinEdit::SetReadOnly(bool on) {
  readOnly_ = on;
  UpdateEditable();
}

void TRxSpinEdit::SetButtonKind(TSpinButtonKind kind) {
  // Both kinds are drawn as the platform's up/down pair.
  buttonKind_ = kind;
}

void TRxSpinEdit::UpdateEditable() { setReadOnly(readOnly_ || !editorEnabled_); }

bool TRxSpinEdit::IsValidChar(QChar key) const {
  const char16_t c = key.unicode();
  if (c < 0x20 || c == 0x7F) return true;  // backspace, Enter, Escape and the like
  if (!editorEnabled_) return false;
  if (c == '+' || c == '-' || (c >= '0' && c <= '9')) return true;
  if (valueType_ == vtHex) return (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
  if (valueType_ == vtFloat) return c == '.' || c == 'e' || c == 'E';
  return false;
}

void TRxSpinEdit::UpClick() { Step(increment_); }

void TRxSpinEdit::DownClick() { Step(-increment_); }

void TRxSpinEdit::Step(long double delta) {
  if (readOnly_) {
    PlayAlertSound(TAlertSound::asDefault);
    return;
  }
  SetValue(Value() + delta);
}

void TRxSpinEdit::ArrowPressed() {
  if (!hasFocus()) setFocus(Qt::MouseFocusReason);
}

void TRxSpinEdit::keyPressEvent(QKeyEvent* event) {
  if (arrowKeys_ && (event->key() == Qt::Key_Up || event->key() == Qt::Key_Down)) {
    if (event->key() == Qt::Key_Up)
      UpClick();
    else
      DownClick();
    event->accept();
    return;
  }
  if (IsTypedText(*event)) {
    for (const QChar c : event->text()) {
      if (!IsValidChar(c)) {
        PlayAlertSound(TAlertSound::asDefault);
        event->accept();
        return;
      }
    }
  }
  QLineEdit::keyPressEvent(event);
}

void TRxSpinEdit::inputMethodEvent(QInputMethodEvent* event) {
  for (const QChar c : event->commitString()) {
    if (!IsValidChar(c)) {
      PlayAlertSound(TAlertSound::asDefault);
      event->accept();
      return;
    }
  }
  QLineEdit::inputMethodEvent(event);
}

void TRxSpinEdit::focusOutEvent(QFocusEvent* event) {
  QLineEdit::focusOutEvent(event);
  if (!IsLeaveReason(event->reason())) return;
  // A text that does not parse reads as a value the clamp keeps, so it stays.
  const long double v = Value();
  const long double clamped = ClampValue(v);
  if (clamped != v) SetValue(clamped);
}

int TRxSpinEdit::ButtonWidth() const { return 15; }

void TRxSpinEdit::LayoutButtons() {
  QStyleOptionFrame option;
  initStyleOption(&option);
  const int frame =
      hasFrame() ? style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, this) : 0;
  const int inner = height() - 2 * frame;
  const int upHeight = (inner + 1) / 2;
  const int x = width() - frame - ButtonWidth();
  upButton_->setGeometry(x, frame, ButtonWidth(), upHeight);
  downButton_->setGeometry(x, frame + upHeight, ButtonWidth(), inner - upHeight);
}

void TRxSpinEdit::resizeEvent(QResizeEvent* event) {
  QLineEdit::resizeEvent(event);
  LayoutButtons();
}

void TRxSpinEdit::changeEvent(QEvent* event) {
  QLineEdit::changeEvent(event);
  if (event->type() == QEvent::StyleChange) LayoutButtons();
}
