// Helpers the three input fields share.
#pragma once

#include <QString>
#include <Qt>
#include <cstdint>
#include <optional>

class QKeyEvent;

// ParseInteger over a field's text; characters beyond ASCII never parse.
std::optional<std::int32_t> ParseFieldInteger(const QString& text);

// Whether the key event would put its text into a line edit, and so must
// pass the field's character filter. Control-key shortcuts carry text too.
bool IsTypedText(const QKeyEvent& event);

// Whether losing the focus for this reason means the user left the field for
// another control, rather than another window or a popup taking the focus.
bool IsLeaveReason(Qt::FocusReason reason);
