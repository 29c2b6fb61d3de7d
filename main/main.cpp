#include "main.h"

#include <QApplication>
#include <QCoreApplication>
#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPalette>
#include <QScreen>
#include <QShowEvent>
#include <QStyle>
#include <QTextEdit>

#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include "ErrorReport.h"
#include "IntEdit.h"
#include "JvIPAddress.h"
#include "ParseInteger.h"
#include "PortList.h"
#include "PortProblem.h"
#include "RxSpinEdit.h"
#include "Wording.h"
#include "komunikacja.h"

namespace {

QFont DialogFont(const char* family) {
  QFont f(QString::fromLatin1(family));
  f.setPixelSize(11);
  // Neither face ships with Linux; the hint lets fontconfig pick the nearest sans.
  f.setStyleHint(QFont::SansSerif, QFont::PreferMatch);
  return f;
}

QLabel* MakeLabel(QWidget* parent, const char* utf8, int x, int y, int w, int h,
                  Qt::Alignment align = Qt::AlignLeft | Qt::AlignTop) {
  auto* l = new QLabel(QString::fromUtf8(utf8), parent);
  l->setGeometry(x, y, w, h);
  l->setAlignment(align);
  return l;
}

QComboBox* MakeList(QWidget* parent, const QStringList& items, int current, int x, int y, int w,
                    int h, QComboBox* c = nullptr) {
  if (!c) c = new QComboBox(parent);
  c->setEditable(false);
  c->addItems(items);
  c->setCurrentIndex(current);
  c->setGeometry(x, y, w, h);
  return c;
}

QPushButton* MakeButton(QWidget* parent, const char* utf8, int x, int y, int w, int h) {
  auto* b = new QPushButton(QString::fromUtf8(utf8), parent);
  b->setGeometry(x, y, w, h);
  // Mouse only: pressing it must leave the focus, and an unfinished edit, where they are.
  b->setFocusPolicy(Qt::NoFocus);
  b->setAutoDefault(false);
  b->setDefault(false);
  return b;
}

// A button's handler runs inside this: an error it lets escape goes to the application's error
// report (the error box) here, at the slot, instead of unwinding through the toolkit's frames.
// The window goes on.
template <class F>
auto Guarded(F handler) {
  return [handler = std::move(handler)] {
    try {
      handler();
    } catch (const std::exception& e) {
      ReportApplicationError(e);
    } catch (...) {
      ReportApplicationError(
          std::runtime_error(TForm1::tr("Unknown exception").toUtf8().toStdString()));
    }
  };
}

// The busy pointer over the program while a flow runs, back to normal however the flow ends.
class BusyCursor {
 public:
  BusyCursor() { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }
  ~BusyCursor() { QGuiApplication::restoreOverrideCursor(); }
  BusyCursor(const BusyCursor&) = delete;
  BusyCursor& operator=(const BusyCursor&) = delete;
};

// The ordinary pointer while a message box waits for the operator, busy again afterwards.
class CursorLifted {
 public:
  CursorLifted() : busy_(QGuiApplication::overrideCursor() != nullptr) {
    if (busy_) QGuiApplication::restoreOverrideCursor();
  }
  ~CursorLifted() {
    if (busy_) QGuiApplication::setOverrideCursor(Qt::WaitCursor);
  }
  CursorLifted(const CursorLifted&) = delete;
  CursorLifted& operator=(const CursorLifted&) = delete;

 private:
  bool busy_;
};

// Centred on the screen once its size is known, wherever the window stands.
class ScreenCentredBox : public QMessageBox {
 public:
  using QMessageBox::QMessageBox;

 protected:
  void showEvent(QShowEvent* event) override {
    QMessageBox::showEvent(event);
    QScreen* screen = QGuiApplication::primaryScreen();
    if (parentWidget() && parentWidget()->screen()) screen = parentWidget()->screen();
    if (!screen) return;
    QRect frame = frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
  }
};

// The lines of text broken at blanks so that none is wider than width, unless a single word
// is. A line's indent is kept on its continuations.
QString BrokenAtBlanks(const QString& text, const QFontMetrics& metrics, int width) {
  QStringList out;
  for (const QString& line : text.split(u'\n')) {
    qsizetype indentSize = 0;
    while (indentSize < line.size() && line[indentSize] == u' ') ++indentSize;
    const QString indent = line.left(indentSize);
    QString current = indent;
    bool started = false;
    for (const QString& word : line.mid(indentSize).split(u' ', Qt::SkipEmptyParts)) {
      const QString longer = started ? current + u' ' + word : current + word;
      if (started && metrics.horizontalAdvance(longer) > width) {
        out << current;
        current = indent + word;
      } else {
        current = longer;
      }
      started = true;
    }
    out << current;
  }
  return out.join(u'\n');
}

std::string ToBytes(const QString& s) { return s.toLatin1().toStdString(); }

QString FromBytes(const std::string& s) {
  return QString::fromLatin1(s.data(), qsizetype(s.size()));
}

}  // namespace

TForm1::TForm1(TFkomunikacja* komunikacja, QWidget* parent)
    : QWidget(parent,
              Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      komunikacja_(komunikacja) {
  setWindowTitle(QStringLiteral("Konfiguracja"));
  setFixedSize(310, 267);
  setFont(DialogFont("MS Sans Serif"));
  QPalette pal = palette();
  pal.setColor(QPalette::Window, pal.color(QPalette::Button));
  setPalette(pal);
  setAutoFillBackground(true);

  const QFont arial = DialogFont("Arial");
  const Qt::Alignment right = Qt::AlignRight | Qt::AlignTop;

  ComboBox1 = MakeList(this, {QStringLiteral("LAN"), QStringLiteral("RS485")}, 0, 64, 104, 177, 21);
  Label1 = MakeLabel(this, "Tryb pracy", 64, 88, 50, 13);

  JvIPAddress1 = new TJvIPAddress(this);
  JvIPAddress1->setGeometry(64, 144, 177, 21);
  Label2 = MakeLabel(this, "Adres IP", 64, 130, 40, 13);

  IntEdit1 = new TIntEdit(this);
  IntEdit1->setGeometry(144, 176, 97, 21);
  Label3 = MakeLabel(this, "Port", 94, 178, 19, 13);

  SpeedButton1 = MakeButton(this, "Czytaj", 71, 232, 81, 22);
  SpeedButton2 = MakeButton(this, "Wyślij", 159, 232, 81, 22);

  Label6 = MakeLabel(this, "Adres RS 485:", 16, 17, 123, 14, right);
  Label6->setFont(arial);
  RxSpinEditadres = new TRxSpinEdit(this);
  RxSpinEditadres->setGeometry(170, 12, 105, 22);
  RxSpinEditadres->setFont(arial);

  Label9 = MakeLabel(this, "Port COM:", 16, 41, 123, 14, right);
  Label9->setFont(arial);
  QStringList ports;
  for (int i = 1; i <= 80; ++i) ports << QStringLiteral("COM%1").arg(i);
  ports << QString();  // the empty last item names COM81
  ComboBox2 = MakeList(this, ports, 1, 170, 37, 105, 22, new TPortList(this));
  ComboBox2->setFont(arial);
  // 81 ports: a list of two dozen rows with a scroll bar, not a popup as tall as the screen.
  ComboBox2->setStyleSheet(QStringLiteral("QComboBox { combobox-popup: 0; }"));
  ComboBox2->setMaxVisibleItems(24);

  Label10 = MakeLabel(this, "Prędkość transmisji:", 16, 64, 123, 14, right);
  Label10->setFont(arial);
  ComboBox3 = MakeList(this,
                       {"110", "300", "600", "1200", "2400", "4800", "9600", "14400", "19200",
                        "38400", "56000", "57600", "115200", "128000", "256000"},
                       8, 170, 60, 105, 22);
  ComboBox3->setFont(arial);
  ComboBox3->setFrame(false);  // the flat one of the three

  RxSpinEditadres->SetMinValue(0);
  RxSpinEditadres->SetMaxValue(255);
  RxSpinEditadres->SetIncrement(1);
  RxSpinEditadres->SetValue(2);

  // The boxes were measured for a face Linux lacks; a wider fallback must not clip the text.
  for (QLabel* l : {Label1, Label2, Label3}) {
    const int needed = l->fontMetrics().horizontalAdvance(l->text());
    if (needed > l->width()) l->resize(needed, l->height());
  }

  setTabOrder(ComboBox1, JvIPAddress1);
  setTabOrder(JvIPAddress1, IntEdit1);
  setTabOrder(IntEdit1, RxSpinEditadres);
  setTabOrder(RxSpinEditadres, ComboBox2);
  setTabOrder(ComboBox2, ComboBox3);

  connect(SpeedButton1, &QPushButton::clicked, this,
          Guarded([this] { SpeedButton1Click(SpeedButton1); }));
  connect(SpeedButton2, &QPushButton::clicked, this,
          Guarded([this] { SpeedButton2Click(SpeedButton2); }));

  FormCreate(this);
}

TForm1::~TForm1() = default;

void TForm1::FormCreate(QObject*) { LoggingEnabled = true; }

void TForm1::closeEvent(QCloseEvent* event) {
  QWidget::closeEvent(event);
  emit Closed();
}

void TForm1::CentreOnScreen() {
  QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
  if (!screen) return;
  QRect frame = frameGeometry();
  frame.moveCenter(screen->availableGeometry().center());
  move(frame.topLeft());
}

TFkomunikacja& TForm1::Module() {
  if (!komunikacja_) throw std::logic_error("No communication module");
  return *komunikacja_;
}

std::uint8_t TForm1::DeviceAddressNow() {
  // Buttons take no focus, so a typed 300 may still stand in the field: let the field apply
  // the clamp it would apply on leaving, and show what is actually used.
  const long double value = RxSpinEditadres->Value();
  const long double clamped = RxSpinEditadres->ClampValue(value);
  if (clamped != value) RxSpinEditadres->SetValue(clamped);
  return static_cast<std::uint8_t>(RxSpinEditadres->TruncatedValue());
}

QMessageBox* CreateMessageBox(const QString& text, const QString& details, QWidget* parent) {
  auto* box = new ScreenCentredBox(QMessageBox::NoIcon, QCoreApplication::applicationName(), text,
                                   QMessageBox::Ok, parent);
  if (!details.isEmpty()) {
    box->setDetailedText(details);
    if (auto* area = box->findChild<QTextEdit*>()) {
      // Wide enough for a by-id device path on one line, and broken at blanks only: the
      // widget's own wrapping would split a path at its hyphens.
      const QFontMetrics metrics = area->fontMetrics();
      const int width = metrics.horizontalAdvance(
          QStringLiteral("(/dev/serial/by-id/usb-FTDI_USB-RS485_Cable_FT1234AB-if00-port0 ->"));
      area->setLineWrapMode(QTextEdit::NoWrap);
      box->setDetailedText(BrokenAtBlanks(details, metrics, width));
      const int margins = 2 * int(area->document()->documentMargin()) + 2 * area->frameWidth() +
                          area->style()->pixelMetric(QStyle::PM_ScrollBarExtent);
      area->setMinimumWidth(width + margins);
    }
  }
  box->setDefaultButton(QMessageBox::Ok);
  box->setEscapeButton(QMessageBox::Ok);
  box->setWindowModality(Qt::ApplicationModal);
  return box;
}

void TForm1::ShowMessage(const QString& text, const QString& details) {
  const CursorLifted lifted;
  const std::unique_ptr<QMessageBox> box(CreateMessageBox(text, details, this));
  box->exec();
}

void TForm1::Fail(const char* message, int result, const LinkSettings& settings) {
  ShowMessage(QString::fromUtf8(message), FailureDetails(result, settings));
}

QString TForm1::FailureDetails(int result, const LinkSettings& settings) {
  portinfo::PortTarget target;
  if (portinfo::PreparePortTarget(
          "COM" + std::to_string(static_cast<std::int64_t>(settings.portIndex) + 1), "", target))
    return tr("The port's name cannot be set up.");
  const TFkomunikacja::PortFailure& kept = Module().LastPortFailure();
  portinfo::PortFailure port;
  port.openFailed = kept.portErrorCode == CError_OpenFailed;
  port.systemError = kept.systemErrorCode;
  port.message = kept.message;
  const int speed = ComboBox3->itemText(settings.baudIndex).toInt();
  // The ports found are those the COM list shows, from the same place.
  auto* list = static_cast<TPortList*>(ComboBox2);
  return TWording::Failure(portinfo::FailureFactsOf(
      target, result, port, RxSpinEditadres->TruncatedValue(), speed, list->Tree(), list->count()));
}

void TForm1::SpeedButton1Click(QObject*) {
  const BusyCursor busy;
  TFkomunikacja& module = Module();
  LinkSettings settings{ComboBox2->currentIndex(), ComboBox3->currentIndex()};

  if (const int r = EnterConfigMode(module, DeviceAddressNow(), settings); r != 0) {
    Fail("Błąd wprowadzania w tryb", r, settings);
    return;
  }

  // The device needs this long to settle into configuration mode; the window is meant to
  // stay blocked meanwhile.
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));

  std::int32_t mode = 0;
  const int modeResult = ReadOperatingMode(module, DeviceAddressNow(), settings, mode);
  if (modeResult != 0) {
    Fail("Błąd odczytu", modeResult, settings);
  } else {
    ComboBox1->setCurrentIndex(mode < ComboBox1->count() ? mode : -1);
  }

  // Without a mode there is nothing to say whether the device has an IP side at all.
  if (modeResult == 0 && mode == 0) {
    try {
      std::string ip;
      if (const int r = ReadIpAddress(module, DeviceAddressNow(), settings, ip); r != 0) {
        Fail("Błąd odczytu IP", r, settings);
      } else {
        JvIPAddress1->SetText(FromBytes(ip));
      }

      std::string port;
      if (const int r = ReadIpPort(module, DeviceAddressNow(), settings, port); r != 0) {
        Fail("Błąd odczytu port", r, settings);
      } else {
        const auto value = ParseInteger(port);
        if (!value) throw std::invalid_argument("port text is not an integer");
        IntEdit1->SetValue(*value);
      }
    } catch (const std::exception&) {
      // A reply the fields cannot take ends the block; what it already set stays.
    }
  }

  LeaveConfigMode(module, DeviceAddressNow(), settings);
}

void TForm1::SpeedButton2Click(QObject*) {
  const BusyCursor busy;
  TFkomunikacja& module = Module();
  LinkSettings settings{ComboBox2->currentIndex(), ComboBox3->currentIndex()};

  if (const int r = EnterConfigMode(module, DeviceAddressNow(), settings); r != 0) {
    Fail("Błąd wprowadzania w tryb", r, settings);
    return;
  }

  if (const int r =
          WriteIpAddress(module, ToBytes(JvIPAddress1->Text()), DeviceAddressNow(), settings);
      r != 0)
    Fail("Błąd zapisu IP", r, settings);

  // A port text that is not a number has no value to send. The field takes the focus to show
  // it; the message stands where the write would have failed, and the flow goes on so that the
  // device is still released at the end.
  std::optional<std::int32_t> port;
  try {
    port = IntEdit1->Value();
  } catch (const EIntEditValue&) {
  }
  if (!port) {
    ShowMessage(QString::fromUtf8("Błąd zapisu port"),
                tr("Nothing was sent: the port field does not hold a whole number."));
  } else if (const int r = WriteIpPort(module, std::to_string(*port), DeviceAddressNow(), settings);
             r != 0) {
    Fail("Błąd zapisu port", r, settings);
  }

  std::int32_t mode = 0;
  if (const int r = ReadOperatingMode(module, DeviceAddressNow(), settings, mode); r != 0) {
    Fail("Błąd odczytu trybu", r, settings);
  } else {
    const int selected = ComboBox1->currentIndex();
    // No selection (a Read found a mode the list does not know) means nothing to write.
    if (selected >= 0 && selected != mode) {
      if (const int w = WriteOperatingMode(module, selected, DeviceAddressNow(), settings); w != 0)
        Fail("Błąd zapisu", w, settings);
    }
  }

  LeaveConfigMode(module, DeviceAddressNow(), settings);
}
