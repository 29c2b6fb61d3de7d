// Spin field: a single-line edit with up/down arrows at its right edge, used
// for the device's bus address.
#pragma once

#include <QLineEdit>
#include <cstdint>

class QToolButton;

enum TValueType { vtInteger, vtFloat, vtHex };
enum TSpinButtonKind { bkStandard, bkDiagonal };

class TRxSpinEdit : public QLineEdit {
  Q_OBJECT

 public:
  explicit TRxSpinEdit(QWidget* parent = nullptr);

  // The number the text stands for; MinValue truncated toward zero when the
  // text does not parse. Reading never changes the text and never clamps.
  long double Value() const;
  // Clamps, then shows the value as text.
  void SetValue(long double value);
  // Value() truncated toward zero, saturated to the 32-bit range.
  std::int32_t TruncatedValue() const;

  TValueType ValueType() const { return valueType_; }
  void SetValueType(TValueType type);
  long double MinValue() const { return minValue_; }
  void SetMinValue(long double value) { minValue_ = value; }
  long double MaxValue() const { return maxValue_; }
  void SetMaxValue(long double value) { maxValue_ = value; }
  long double Increment() const { return increment_; }
  void SetIncrement(long double value) { increment_ = value; }
  bool ArrowKeys() const { return arrowKeys_; }
  void SetArrowKeys(bool on) { arrowKeys_ = on; }
  bool EditorEnabled() const { return editorEnabled_; }
  void SetEditorEnabled(bool on);
  TSpinButtonKind ButtonKind() const { return buttonKind_; }
  void SetButtonKind(TSpinButtonKind kind);
  bool ReadOnly() const { return readOnly_; }
  void SetReadOnly(bool on);

  // Equal limits mean no limit.
  long double ClampValue(long double value) const;

  QToolButton* UpButton() const { return upButton_; }
  QToolButton* DownButton() const { return downButton_; }

 protected:
  virtual bool IsValidChar(QChar key) const;
  virtual void UpClick();
  virtual void DownClick();

  void keyPressEvent(QKeyEvent* event) override;
  void inputMethodEvent(QInputMethodEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void Step(long double delta);
  void ArrowPressed();
  void UpdateEditable();
  void LayoutButtons();
  int ButtonWidth() const;

  TValueType valueType_ = vtInteger;
  long double minValue_ = 0;
  long double maxValue_ = 0;
  long double increment_ = 1;
  bool arrowKeys_ = true;
  bool editorEnabled_ = true;
  bool readOnly_ = false;
  TSpinButtonKind buttonKind_ = bkStandard;
  QToolButton* upButton_;
  QToolButton* downButton_;
};
