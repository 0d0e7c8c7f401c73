// The least a Qt program does to show a window: an empty QWidget, reporting the moment it is
// first on screen (see first_expose.h). Run by startup_benchmark as the yardstick.
#include <QApplication>
#include <QWidget>

#include "tests/app/first_expose.h"

int main(int argc, char *argv[]) {
  QApplication app(argc, argv);
  FirstExposeReport report;
  QWidget window;
  window.show();
  return app.exec();
}
