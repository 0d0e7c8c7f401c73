// The program started as main.cpp starts it, reporting the moment its main window is first on
// screen (see first_expose.h). Run by startup_benchmark.
#include <QApplication>
#include <QWidget>
#include <memory>

#include "app/startup.h"
#include "tests/app/first_expose.h"

int main(int argc, char *argv[]) {
  QApplication app(argc, argv);
  FirstExposeReport report;
  const std::unique_ptr<QWidget> mainWindow(startUp());
  return app.exec();
}
