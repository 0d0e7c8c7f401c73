// The program started as main.cpp starts it. Run by startup_benchmark:
//   startup_probe          reports the moment its main window is first on screen (first_expose.h);
//   startup_probe --holds  prints the longest time that the interface thread went without turning
//                          its event loop, from the main window's first paint until 1.5 s later,
//                          and the most processor time it spent in one such time.
#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "app/startup.h"
#include "tests/app/first_expose.h"

namespace {

double ThreadCpuMs() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// A timer of 1 ms, started at the main window's first paint: the longest gap between its ticks,
// and the most processor time that this thread spent in one gap (which other programs on a busy
// machine do not lengthen).
class HoldWatch : public QObject {
 public:
  HoldWatch() {
    qApp->installEventFilter(this);
    tick_.setTimerType(Qt::PreciseTimer);
    tick_.setInterval(1);
    connect(&tick_, &QTimer::timeout, this, [this] {
      const double cpu = ThreadCpuMs();
      longest_ = std::max(longest_, static_cast<double>(since_.nsecsElapsed()) / 1e6);
      longestCpu_ = std::max(longestCpu_, cpu - cpuSince_);
      since_.restart();
      cpuSince_ = cpu;
    });
  }
  double Longest() const { return longest_; }
  double LongestCpu() const { return longestCpu_; }

 protected:
  bool eventFilter(QObject *object, QEvent *event) override {
    if (!tick_.isActive() && event->type() == QEvent::Paint && object->objectName() == "TForm3") {
      since_.start();
      cpuSince_ = ThreadCpuMs();
      tick_.start();
    }
    return false;
  }

 private:
  QTimer tick_;
  QElapsedTimer since_;
  double cpuSince_ = 0;
  double longest_ = 0, longestCpu_ = 0;
};

}  // namespace

int main(int argc, char *argv[]) {
  QApplication app(argc, argv);
  if (argc > 1 && std::strcmp(argv[1], "--holds") == 0) {
    HoldWatch watch;
    const std::unique_ptr<QWidget> mainWindow(startUp());
    QTimer::singleShot(1500, [&] {
      std::printf("%.1f %.1f\n", watch.Longest(), watch.LongestCpu());
      std::fflush(stdout);
      std::_Exit(0);
    });
    return app.exec();
  }
  FirstExposeReport report;
  const std::unique_ptr<QWidget> mainWindow(startUp());
  return app.exec();
}
