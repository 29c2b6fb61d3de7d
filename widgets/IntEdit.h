// Integer field: a plain single-line edit for a 32-bit signed number, used for
// the device's IP port.
#pragma once

#include <QLineEdit>
#include <cstdint>
#include <optional>
#include <stdexcept>

// Raised by TIntEdit::Value() when the text is neither empty nor a number.
class EIntEditValue : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TIntEdit : public QLineEdit {
  Q_OBJECT

 public:
  explicit TIntEdit(QWidget* parent = nullptr);

  // DefaultValue for an empty text, otherwise the parsed text, unclamped.
  // For a text that does not parse the field takes the keyboard focus, so the
  // user sees what is wrong, and EIntEditValue is raised.
  std::int32_t Value();
  // The same without side effects: no value for a text that does not parse.
  std::optional<std::int32_t> TryValue() const;
  // Clamps, then shows the decimal text.
  void SetValue(std::int32_t value);

  std::int32_t MinValue() const { return minValue_; }
  void SetMinValue(std::int32_t value);
  std::int32_t MaxValue() const { return maxValue_; }
  void SetMaxValue(std::int32_t value);
  std::int32_t DefaultValue() const { return defaultValue_; }
  // Taken only when it differs and lies within the limits.
  void SetDefaultValue(std::int32_t value);
  std::int32_t Increment() const { return increment_; }
  void SetIncrement(std::int32_t value) { increment_ = value; }

  // Equal limits mean no limit.
  std::int32_t ClampValue(std::int32_t value) const;

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void inputMethodEvent(QInputMethodEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;

 private:
  void LimitsChanged(std::int32_t& limit, std::int32_t value);

  std::int32_t minValue_ = 0;
  std::int32_t maxValue_ = 0;
  std::int32_t defaultValue_ = 0;
  std::int32_t increment_ = 0;
};
