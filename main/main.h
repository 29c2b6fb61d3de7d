// The configuration window: link and address on top, the device's network settings below,
// and the two buttons that read them from the device or write them into it.
#pragma once

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QString>
#include <QWidget>

#include <cstdint>

class QMessageBox;
class TFkomunikacja;
struct LinkSettings;
class TJvIPAddress;
class TIntEdit;
class TRxSpinEdit;

class TForm1 : public QWidget {
  Q_OBJECT

 public:
  // The window talks to the device through the module given here or later, before the first
  // button press; it is not owned. The program creates the window first, then the module.
  explicit TForm1(TFkomunikacja* komunikacja = nullptr, QWidget* parent = nullptr);
  ~TForm1() override;
  void SetKomunikacja(TFkomunikacja* komunikacja) { komunikacja_ = komunikacja; }

  QComboBox* ComboBox1;
  QLabel* Label1;
  TJvIPAddress* JvIPAddress1;
  QLabel* Label2;
  TIntEdit* IntEdit1;
  QLabel* Label3;
  QPushButton* SpeedButton1;
  QPushButton* SpeedButton2;
  QLabel* Label6;
  TRxSpinEdit* RxSpinEditadres;
  QLabel* Label9;
  QComboBox* ComboBox2;
  QLabel* Label10;
  QComboBox* ComboBox3;

  void SpeedButton1Click(QObject* Sender);
  void SpeedButton2Click(QObject* Sender);
  void FormCreate(QObject* Sender);

  // Centres the window on its screen; done once, before it is first shown.
  void CentreOnScreen();

 signals:
  // The operator closed the window (or the system did): the program ends.
  void Closed();

 protected:
  void closeEvent(QCloseEvent* event) override;

  // Every message of the flows goes through here: a modal box with the text, no icon, one OK,
  // titled with the application title, centred on the screen; details, when given, behind
  // the box's "Show Details..." button. Tests override it to record the messages.
  virtual void ShowMessage(const QString& text, const QString& details = QString());

 private:
  // A failed device operation: its message, with the reason in the details.
  void Fail(const char* message, int result, const LinkSettings& settings);
  QString FailureDetails(int result, const LinkSettings& settings);

  // The address a device operation goes to. A typed value outside the field's range is
  // clamped first, by the field itself, so the device never sees the low byte of 300.
  std::uint8_t DeviceAddressNow();
  TFkomunikacja& Module();

  TFkomunikacja* komunikacja_;
};

// The modal message box the window's ShowMessage opens, built but not shown. It centres itself
// on the screen when shown.
QMessageBox* CreateMessageBox(const QString& text, const QString& details, QWidget* parent);
