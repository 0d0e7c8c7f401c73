// The program started as main.cpp starts it. Run by startup_benchmark:
//   startup_probe          reports the moment its main window is first on screen (first_expose.h);
//   startup_probe --holds  prints the longest time that the interface thread went without turning
//                          its event loop, from the main window's first paint until 1.5 s later.
#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "app/startup.h"
#include "tests/app/first_expose.h"

namespace {

// A timer of 1 ms, started at the main window's first paint: the longest gap between its ticks.
class HoldWatch : public QObject {
 public:
  HoldWatch() {
    qApp->installEventFilter(this);
    tick_.setTimerType(Qt::PreciseTimer);
    tick_.setInterval(1);
    connect(&tick_, &QTimer::timeout, this, [this] {
      longest_ = std::max(longest_, since_.nsecsElapsed() / 1e6);
      since_.restart();
    });
  }
  double Longest() const { return longest_; }

 protected:
  bool eventFilter(QObject *object, QEvent *event) override {
    if (!tick_.isActive() && event->type() == QEvent::Paint && object->objectName() == "TForm3") {
      since_.start();
      tick_.start();
    }
    return false;
  }

 private:
  QTimer tick_;
  QElapsedTimer since_;
  double longest_ = 0;
};

}  // namespace

int main(int argc, char *argv[]) {
  QApplication app(argc, argv);
  if (argc > 1 && std::strcmp(argv[1], "--holds") == 0) {
    HoldWatch watch;
    const std::unique_ptr<QWidget> mainWindow(startUp());
    QTimer::singleShot(1500, [&] {
      std::printf("%.1f\n", watch.Longest());
      std::fflush(stdout);
      std::_Exit(0);
    });
    return app.exec();
  }
  FirstExposeReport report;
  const std::unique_ptr<QWidget> mainWindow(startUp());
  return app.exec();
}
