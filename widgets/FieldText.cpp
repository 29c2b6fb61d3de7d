#include "FieldText.h"

#include <QKeyEvent>
#include <string_view>

#include "ParseInteger.h"

std::optional<std::int32_t> ParseFieldInteger(const QString& text) {
  const QByteArray bytes = text.toUtf8();
  return ParseInteger(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
}

bool IsTypedText(const QKeyEvent& event) {
  if (event.text().isEmpty()) return false;
  const Qt::KeyboardModifiers mods = event.modifiers() & ~Qt::KeypadModifier;
  return mods != Qt::ControlModifier && mods != (Qt::ControlModifier | Qt::ShiftModifier);
}

bool IsLeaveReason(Qt::FocusReason reason) {
  return reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason &&
         reason != Qt::MenuBarFocusReason;
}
