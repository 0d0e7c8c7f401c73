#include <QApplication>
#include <QWidget>
#include <memory>

#include "app/startup.h"

int main(int argc, char *argv[]) {
  QApplication app(argc, argv);
  const std::unique_ptr<QWidget> mainWindow(startUp());
  return app.exec();
}
