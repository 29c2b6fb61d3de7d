// The whole Read flow ("Czytaj") of the real window against the simulated device on a
// pseudo-terminal: five transactions, the transaction log on, and the prescribed 1000 ms
// wait. What the flow takes beyond that wait is the program's own cost.
// Run: bench_readflow [repetitions=10]
#include <QApplication>
#include <QComboBox>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>

#include "BenchSupport.h"
#include "LinuxSerialApi.h"
#include "PtyServer.h"
#include "QtUiDispatcher.h"
#include "komunikacja.h"
#include "main.h"

namespace fs = std::filesystem;
using namespace bench;

namespace {

class QuietForm : public TForm1 {
 public:
  using TForm1::TForm1;
  int messages = 0;

 protected:
  void ShowMessage(const QString& text, const QString&) override {
    ++messages;
    std::fprintf(stderr, "message: %s\n", text.toLocal8Bit().constData());
  }
};

}  // namespace

int main(int argc, char** argv) {
  const int reps = ArgInt(argc, argv, 1, 10);
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  int qargc = 1;
  QApplication app(qargc, argv);
  // As the program does: the port's monitor reaches this thread through the Qt loop.
  TQtUiDispatcher dispatcher;
  SetUiDispatcher(&dispatcher);

  std::string tmpl = (fs::temp_directory_path() / "konf-bench-XXXXXX").string();
  if (!::mkdtemp(tmpl.data())) Die("mkdtemp");
  const fs::path dir = tmpl;

  devicesim::Device device(2);
  // The simulator counts an exchange once its reply is written, which may be after the flow
  // has taken the reply and returned: the count is awaited, not read at once.
  std::mutex countMu;
  std::condition_variable counted;
  int exchanges = 0;
  devicesim::PtyServerThread server(device, [&](const devicesim::Exchange&) {
    std::lock_guard<std::mutex> lk(countMu);
    ++exchanges;
    counted.notify_all();
  });
  auto countNow = [&] {
    std::lock_guard<std::mutex> lk(countMu);
    return exchanges;
  };
  // The count once it has reached at least `want`, or what it is after a second.
  auto countOnceAtLeast = [&](int want) {
    std::unique_lock<std::mutex> lk(countMu);
    counted.wait_for(lk, std::chrono::seconds(1), [&] { return exchanges >= want; });
    return exchanges;
  };
  fs::create_symlink(server.SlavePath(), dir / "COM2");

  TFkomunikacja::Options o;
  o.logDirectory = dir.string();
  o.portsDirectory = dir.string();
  auto module = std::make_unique<TFkomunikacja>(serial::SystemSerialApi(), o);
  QuietForm form(module.get());  // its defaults: COM2, 19200 bit/s, address 2
  form.show();
  if (!LoggingEnabled) Die("the window did not switch the transaction log on");

  std::vector<double> own;
  for (int i = 0; i < reps + 1; ++i) {
    const int before = countNow();
    const auto t0 = Clock::now();
    form.SpeedButton1Click(nullptr);
    const double ms = Micros(t0) / 1000.0 - 1000.0;
    app.processEvents();
    if (form.messages != 0) Die("the Read flow reported a failure");
    if (i > 0) own.push_back(ms);  // the first one also opens the port
    const int done = countOnceAtLeast(before + 5) - before;
    if (done != 5) Die("expected five exchanges per Read, counted " + std::to_string(done));
  }
  std::printf("Read flow against the simulator, %d repetitions, minus its 1000 ms wait\n", reps);
  const Percentiles p = Summarise(own);
  std::printf("%-40s median %9.3f ms  p90 %9.3f  max %9.3f\n", "Read flow, own cost", p.median,
              p.p90, p.max);
  module.reset();
  SetUiDispatcher(nullptr);
  std::error_code ec;
  fs::remove_all(dir, ec);
  return 0;
}
