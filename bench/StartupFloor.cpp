// The least a Qt Widgets program does to show a window: the floor for start-up.
#include <QApplication>
#include <QWidget>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QWidget w;
  w.resize(400, 300);
  w.show();
  return app.exec();
}
