// For the start-up benchmark's two programs: writes "exposed" to standard output once the first
// window has been exposed and its first frame painted, then ends the process at once.
#pragma once

#include <unistd.h>
#include <QCoreApplication>
#include <QEvent>
#include <QTimer>
#include <QWindow>
#include <cstdlib>

class FirstExposeReport : public QObject {
 public:
  FirstExposeReport() { QCoreApplication::instance()->installEventFilter(this); }

 protected:
  bool eventFilter(QObject *object, QEvent *event) override {
    if (!reported_ && event->type() == QEvent::Expose && object->isWindowType() &&
        static_cast<QWindow *>(object)->isExposed()) {
      reported_ = true;
      // Posted now, so it runs once the expose (and the paint it brings) has been handled.
      QTimer::singleShot(0, [] {
        constexpr char line[] = "exposed\n";
        if (write(STDOUT_FILENO, line, sizeof line - 1) < 0) std::_Exit(1);
        std::_Exit(0);
      });
    }
    return false;
  }

 private:
  bool reported_ = false;
};
