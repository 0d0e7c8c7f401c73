#include <QApplication>
#include <QWidget>

int main(int argc, char *argv[]) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("Tolvane");
  QWidget window;
  window.show();
  return app.exec();
}
