#include "IntEdit.h"

#include <QFocusEvent>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <algorithm>
#include <limits>

#include "AlertSound.h"
#include "FieldText.h"

namespace {

bool IsAcceptedChar(QChar key) {
  const char16_t c = key.unicode();
  return c < 0x20 || c == 0x7F || c == '+' || c == '-' || (c >= '0' && c <= '9');
}

bool AllAccepted(const QString& text) {
  return std::all_of(text.begin(), text.end(), IsAcceptedChar);
}

}  // namespace

TIntEdit::TIntEdit(QWidget* parent) : QLineEdit(parent) { setText(QStringLiteral("0")); }

std::optional<std::int32_t> TIntEdit::TryValue() const {
  if (text().isEmpty()) return defaultValue_;
  return ParseFieldInteger(text());
}

std::int32_t TIntEdit::Value() {
  if (const auto v = TryValue()) return *v;
  setFocus(Qt::OtherFocusReason);
  throw EIntEditValue("\"" + text().toStdString() + "\" nie jest liczbą całkowitą");
}

std::int32_t TIntEdit::ClampValue(std::int32_t value) const {
  if (maxValue_ != minValue_) {
    if (value < minValue_) return minValue_;
    if (value > maxValue_) return maxValue_;
  }
  return value;
}

void TIntEdit::SetValue(std::int32_t value) {
  const QString shown = QString::number(ClampValue(value));
  if (shown != text()) setText(shown);
}

void TIntEdit::SetDefaultValue(std::int32_t value) {
  if (value != defaultValue_ && ClampValue(value) == value) defaultValue_ = value;
}

void TIntEdit::LimitsChanged(std::int32_t& limit, std::int32_t value) {
  if (value == limit) return;
  // Read with the old limits and default, write back under the new ones.
  const auto current = TryValue();
  limit = value;
  if (current) SetValue(*current);
  defaultValue_ = ClampValue(defaultValue_);
}

void TIntEdit::SetMinValue(std::int32_t value) { LimitsChanged(minValue_, value); }

void TIntEdit::SetMaxValue(std::int32_t value) { LimitsChanged(maxValue_, value); }

void TIntEdit::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Up || event->key() == Qt::Key_Down) {
    event->accept();
    const auto current = TryValue();
    if (!current) {
      // No number to step from: say so, and keep what the user typed.
      PlayAlertSound(TAlertSound::asSimple);
      return;
    }
    const std::int64_t step = event->key() == Qt::Key_Up ? increment_ : -std::int64_t{increment_};
    const std::int64_t next =
        std::clamp<std::int64_t>(*current + step, std::numeric_limits<std::int32_t>::min(),
                                 std::numeric_limits<std::int32_t>::max());
    SetValue(static_cast<std::int32_t>(next));
    return;
  }
  if (IsTypedText(*event) && !AllAccepted(event->text())) {
    PlayAlertSound(TAlertSound::asSimple);
    event->accept();
    return;
  }
  QLineEdit::keyPressEvent(event);
}

void TIntEdit::inputMethodEvent(QInputMethodEvent* event) {
  if (!AllAccepted(event->commitString())) {
    PlayAlertSound(TAlertSound::asSimple);
    event->accept();
    return;
  }
  QLineEdit::inputMethodEvent(event);
}

void TIntEdit::focusOutEvent(QFocusEvent* event) {
  QLineEdit::focusOutEvent(event);
  if (!IsLeaveReason(event->reason()) || text().isEmpty()) return;
  // A text that does not parse stays as typed; the next read of the value
  // brings the user back to it.
  if (const auto current = TryValue()) SetValue(*current);
}
